"""HTTP/1.1 server over RNS."""

import argparse as argparse
import asyncio as asyncio
import io as io
import os as os
import sys as sys
from collections.abc import Awaitable as Awaitable, Callable as Callable
from typing import Any, TypeVar as TypeVar

import RNS as RNS  # type: ignore[import-untyped]

from .types import HttpRequest as HttpRequest, HttpResponse as HttpResponse

HandlerType = Callable[[HttpRequest], HttpResponse] | Callable[[HttpRequest], Awaitable[HttpResponse]]
T = TypeVar("T")

def await_in_sync(awaitable: Awaitable[T]) -> T:
    """Run any awaitable from synchronous code safely."""

class HttpServer:
    """HTTP/1.1 server using RNS for transport."""

    _port: int
    _identity_path: str
    _request_timeout: float
    _read_timeout: float
    _destination: Any
    _handlers: dict[tuple[str, str], HandlerType]
    _default_handler: HandlerType | None
    _running: bool
    _links: dict[int, tuple[Any, Any]]
    def __init__(
        self,
        port: int,
        identity_path: str | None = None,
        request_timeout: float = 60.0,
        read_timeout: float = 30.0,
    ) -> None: ...
    @staticmethod
    def _default_identity_path() -> str:
        """Get default identity path."""
    def _load_or_create_identity(self) -> Any:
        """Load existing identity or create new one."""
    def route(self, path: str, method: str = "GET") -> Callable[[HandlerType], HandlerType]:
        """Decorator to register a handler for a path and method."""
    def add_handler(self, path: str, handler: HandlerType, method: str = "GET") -> None:
        """Add a handler for a path and method."""
    def set_default_handler(self, handler: HandlerType) -> None:
        """Set a default handler for all requests."""
    async def start(self) -> None:
        """Start the HTTP server."""
    async def stop(self) -> None:
        """Stop the HTTP server."""
    def _on_link(self, link: Any) -> None:
        """Handle incoming link."""
    async def _send_response(
        self, writer: io.BufferedRWPair, response: HttpResponse | Awaitable[HttpResponse]
    ) -> None:
        """Send response back on the link."""
    def _on_close(self, link: Any) -> None:
        """Handle link close."""
    def _handle_request(
        self, link: Any, request: HttpRequest
    ) -> HttpResponse | Awaitable[HttpResponse]:
        """Handle incoming HTTP request."""
    def _match_pattern(self, pattern: str, path: str) -> bool:
        """Simple pattern matching for routes."""
    @property
    def port(self) -> int:
        """Get the server port."""
    @property
    def destination_hash(self) -> str | None:
        """Get the server destination hash as hex string."""
    @property
    def is_running(self) -> bool:
        """Check if server is running."""

async def main() -> None: ...
