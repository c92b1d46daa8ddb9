"""Python web applications and HTTP clients over Reticulum."""

import asyncio as asyncio
import inspect as inspect
import os as os
import sys as sys
import types as types
from typing import Any

import RNS as RNS  # type: ignore[import-untyped]

from .client import HttpClient as HttpClient
from .server import HttpServer as HttpServer

async def serve(app: Any, port: int, identity_path: str | None = None) -> None:
    """Serve the ASGI or WSGI application app as the Reticulum destination HTTP.<port> until cancelled."""

class HttpxTransport:
    """An httpx transport that sends requests for <hash>.rns URLs over Reticulum."""

    def __init__(self, identity_path: str | None = None, identify: bool = False) -> None: ...
    def handle_request(self, request: Any) -> Any:
        """Send request over Reticulum and return its response."""
    def close(self) -> None:
        """Close the links this transport opened."""
    def __enter__(self) -> HttpxTransport: ...
    def __exit__(self, exc_type: Any = None, exc_value: Any = None, traceback: Any = None) -> None: ...

class AsyncHttpxTransport:
    """An async httpx transport that sends requests for <hash>.rns URLs over Reticulum."""

    def __init__(self, identity_path: str | None = None, identify: bool = False) -> None: ...
    async def handle_async_request(self, request: Any) -> Any:
        """Send request over Reticulum and return its response."""
    async def aclose(self) -> None:
        """Close the links this transport opened."""
    async def __aenter__(self) -> AsyncHttpxTransport: ...
    async def __aexit__(self, exc_type: Any = None, exc_value: Any = None, traceback: Any = None) -> None: ...

class RequestsAdapter:
    """A requests transport adapter for <hash>.rns URLs over Reticulum."""

    def __init__(self, identity_path: str | None = None, identify: bool = False) -> None: ...
    def send(
        self,
        request: Any,
        stream: bool = False,
        timeout: Any = None,
        verify: Any = True,
        cert: Any = None,
        proxies: Any = None,
    ) -> Any:
        """Send request over Reticulum and return its response."""
    def close(self) -> None:
        """Close the links this adapter opened."""
