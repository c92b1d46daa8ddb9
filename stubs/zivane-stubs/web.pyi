"""Python web applications and HTTP clients over Reticulum."""

import asyncio as asyncio
import inspect as inspect
import os as os
import sys as sys
import types as types
from typing import Any, Self

import httpx
import requests
import requests.adapters
import RNS as RNS  # type: ignore[import-untyped]

from .client import HttpClient as HttpClient
from .server import HttpServer as HttpServer

async def serve(
    app: Any,
    port: int,
    identity_path: str | None = None,
    *,
    name: str | None = None,
    announce_interval: float = 1800.0,
) -> None:
    """Serve the ASGI or WSGI application app as the Reticulum destination HTTP.<port> until cancelled.

    Its announces say name (a short description of the site, at most 64 bytes of UTF-8; a
    longer one is cut) and its port, and are sent again every announce_interval seconds so
    that directories and paths stay fresh (0: only at start).
    """

class HttpxTransport(httpx.BaseTransport):
    """An httpx transport that sends requests for <hash>.rns URLs over Reticulum."""

    def __init__(
        self,
        identity_path: str | None = None,
        identify: bool = False,
        connect_timeout: float = 120.0,
        timeout: float = 60.0,
    ) -> None:
        """connect_timeout: seconds to find a path to a destination and set up a link to it; timeout:
seconds for an answer to start and of silence within it. Each holds where the library's request
carries no time-out of its own (httpx: timeout=None; requests: no timeout=)."""
    def handle_request(self, request: httpx.Request) -> httpx.Response:
        """Send request over Reticulum and return its response."""
    def close(self) -> None:
        """Close the links this transport opened."""
    def __enter__(self) -> Self: ...
    def __exit__(self, exc_type: Any = None, exc_value: Any = None, traceback: Any = None) -> None: ...

class AsyncHttpxTransport(httpx.AsyncBaseTransport):
    """An async httpx transport that sends requests for <hash>.rns URLs over Reticulum."""

    def __init__(
        self,
        identity_path: str | None = None,
        identify: bool = False,
        connect_timeout: float = 120.0,
        timeout: float = 60.0,
    ) -> None:
        """connect_timeout: seconds to find a path to a destination and set up a link to it; timeout:
seconds for an answer to start and of silence within it. Each holds where the library's request
carries no time-out of its own (httpx: timeout=None; requests: no timeout=)."""
    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        """Send request over Reticulum and return its response."""
    async def aclose(self) -> None:
        """Close the links this transport opened."""
    async def __aenter__(self) -> Self: ...
    async def __aexit__(self, exc_type: Any = None, exc_value: Any = None, traceback: Any = None) -> None: ...

class RequestsAdapter(requests.adapters.BaseAdapter):
    """A requests transport adapter for <hash>.rns URLs over Reticulum."""

    def __init__(
        self,
        identity_path: str | None = None,
        identify: bool = False,
        connect_timeout: float = 120.0,
        timeout: float = 60.0,
    ) -> None:
        """connect_timeout: seconds to find a path to a destination and set up a link to it; timeout:
seconds for an answer to start and of silence within it. Each holds where the library's request
carries no time-out of its own (httpx: timeout=None; requests: no timeout=)."""
    def send(
        self,
        request: requests.PreparedRequest,
        stream: bool = False,
        timeout: Any = None,
        verify: Any = True,
        cert: Any = None,
        proxies: Any = None,
    ) -> requests.Response:
        """Send request over Reticulum and return its response."""
    def close(self) -> None:
        """Close the links this adapter opened."""
