"""A small program written against zivane's public API; it must type-check clean."""

import asyncio

from zivane import HttpClient, HttpRequest, HttpResponse, HttpServer
from zivane.client import TransportError
from zivane.server import await_in_sync
from zivane.types import HttpParserError, encode_chunked, reason_text

server = HttpServer(8080, identity_path=None, read_timeout=10.0)


@server.route("/hello")
def hello(request: HttpRequest) -> HttpResponse:
    name: str = request.headers.get("X-Name", "world")
    return HttpResponse(status=200, body=f"hi {name}".encode())


async def slow(request: HttpRequest) -> HttpResponse:
    await asyncio.sleep(0)
    return HttpResponse(200, reason=reason_text(200), body=encode_chunked(b"x"))


server.add_handler("/slow", slow, method="POST")


async def fetch(destination: str) -> int:
    async with HttpClient(destination, 8080, request_timeout=5.0) as client:
        try:
            response: HttpResponse = await client.get("/hello", headers={"X-Name": "you"})
        except (TransportError, HttpParserError):
            return -1
        connected: bool = client.is_connected
        wire: bytes = bytes(HttpRequest("GET", "/"))
        parsed = HttpResponse.parse(bytes(response))
        return parsed.status + len(wire) + int(connected)


def blocking() -> int:
    return await_in_sync(fetch("00" * 16))
