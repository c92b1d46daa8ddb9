"""HTTP/1.1 client over RNS."""

import argparse as argparse
import asyncio as asyncio
import os as os
import sys as sys
import threading as threading
from typing import Any as Any, cast as cast

import RNS as RNS  # type: ignore[import-untyped]

from .types import HttpRequest as HttpRequest, HttpResponse as HttpResponse

class TransportError(Exception):
    """Exception raised for transport errors."""

class HttpClient:
    """HTTP/1.1 client using RNS for transport."""

    _destination_hash: bytes
    _port: int
    _identity_path: str
    _connect_timeout: float
    _request_timeout: float
    _read_timeout: float
    _identity: Any
    _link: Any
    def __init__(
        self,
        destination_hash: bytes | str,
        port: int,
        identity_path: str | None = None,
        connect_timeout: float = 30.0,
        request_timeout: float = 60.0,
        read_timeout: float = 30.0,
    ) -> None: ...
    @staticmethod
    def _default_identity_path() -> str:
        """Get default identity path."""
    def _load_or_create_identity(self) -> Any:
        """Load existing identity or create new one."""
    async def connect(self) -> None:
        """Connect to the server."""
    async def request(
        self,
        path: str,
        method: str = "GET",
        headers: dict[str, str] | None = None,
        body: bytes | None = None,
    ) -> HttpResponse:
        """Send an HTTP request."""
    async def _send_request(self, data: bytes) -> bytes:
        """Send request data and wait for response."""
    async def get(self, path: str, headers: dict[str, str] | None = None) -> HttpResponse:
        """Send GET request."""
    async def post(
        self, path: str, body: bytes | None = None, headers: dict[str, str] | None = None
    ) -> HttpResponse:
        """Send POST request."""
    async def put(
        self, path: str, body: bytes | None = None, headers: dict[str, str] | None = None
    ) -> HttpResponse:
        """Send PUT request."""
    async def delete(self, path: str, headers: dict[str, str] | None = None) -> HttpResponse:
        """Send DELETE request."""
    async def close(self) -> None:
        """Close the connection."""
    @property
    def is_connected(self) -> bool:
        """Check if client is connected."""
    async def __aenter__(self) -> HttpClient:
        """Async context manager entry."""
    async def __aexit__(self, _exc_type: Any, _exc_val: Any, _exc_tb: Any) -> None:
        """Async context manager exit."""

async def main() -> None: ...
