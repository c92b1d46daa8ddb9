"""The transports used as httpx and requests expect them; it must type-check clean."""

import httpx
import requests

from zivane.web import AsyncHttpxTransport, HttpxTransport, RequestsAdapter


def fetch(destination: str) -> str:
    with httpx.Client(transport=HttpxTransport()) as client:
        return client.get(f"http://{destination}.rns/items/1").text


async def fetch_async(destination: str) -> int:
    transport = AsyncHttpxTransport(identify=True, connect_timeout=300.0, timeout=90.0)
    async with httpx.AsyncClient(transport=transport) as client:
        response = await client.get(f"http://{destination}.rns/")
        return response.status_code


def fetch_with_requests(destination: str) -> bytes:
    session = requests.Session()
    session.mount("http://", RequestsAdapter(identity_path=None, timeout=30.0))
    return session.get(f"http://{destination}.rns/", timeout=(60.0, 30.0)).content


def mounted_elsewhere() -> list[httpx.BaseTransport]:
    with HttpxTransport() as transport:
        return [transport, httpx.HTTPTransport()]
