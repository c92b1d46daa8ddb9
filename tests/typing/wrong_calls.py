"""Calls that the type checker must reject; each line marked `# wrong` is one error."""

import httpx
import requests

from zivane import HttpClient, HttpResponse, HttpServer
from zivane.web import AsyncHttpxTransport, HttpxTransport, RequestsAdapter

HttpServer("8080")  # wrong
HttpResponse(status="200")  # wrong


async def run(client: HttpClient) -> None:
    await client.post("/", "body")  # wrong
    client.get("/").status  # wrong


httpx.AsyncClient(transport=HttpxTransport())  # wrong
httpx.Client(transport=AsyncHttpxTransport())  # wrong
requests.Session().mount("http://", HttpxTransport())  # wrong
httpx.Client(transport=RequestsAdapter())  # wrong
HttpxTransport(connect_timeout="slow")  # wrong
