"""HTTP/1.1 request and response records, their serialization and parsing."""

from typing import final as final

from httptools import HttpParserError as HttptoolsParserError
from httptools import HttpRequestParser as HttpRequestParser
from httptools import HttpResponseParser as HttpResponseParser

from ._compat import override as override

class HttpParserError(Exception):
    """Exception raised for HTTP parsing errors."""

class HttpSerializerError(Exception):
    """Exception raised for HTTP serialization errors."""

class RequestCallbacks:
    """Callback handler for request parsing."""

    method: bytes
    url: bytes
    version: bytes
    headers: dict[bytes, bytes]
    body_chunks: list[bytes]
    def __init__(self) -> None: ...
    def on_message_begin(self) -> None: ...
    def on_method(self, method: bytes) -> None: ...
    def on_url(self, url: bytes) -> None: ...
    def on_version(self, version: bytes) -> None: ...
    def on_header(self, name: bytes, value: bytes) -> None: ...
    def on_body(self, body: bytes) -> None: ...

class ResponseCallbacks:
    """Callback handler for response parsing."""

    version: bytes
    status: int
    reason: bytes
    headers: dict[bytes, bytes]
    body_chunks: list[bytes]
    def __init__(self) -> None: ...
    def on_message_begin(self) -> None: ...
    def on_version(self, version: bytes) -> None: ...
    def on_status_code(self, status_code: bytes) -> None: ...
    def on_reason_phrase(self, reason: bytes) -> None: ...
    def on_header(self, name: bytes, value: bytes) -> None: ...
    def on_body(self, body: bytes) -> None: ...

def encode_chunked(body: bytes) -> bytes: ...

@final
class HttpRequest:
    """Represents an HTTP/1.1 request."""

    __slots__ = ("method", "path", "version", "headers", "body")
    method: str
    path: str
    version: str
    headers: dict[str, str]
    body: bytes | None
    def __init__(
        self,
        method: str,
        path: str,
        version: str = "HTTP/1.1",
        headers: dict[str, str] | None = None,
        body: bytes | None = None,
    ) -> None: ...
    @staticmethod
    def parse(data: bytes) -> HttpRequest: ...
    def __bytes__(self) -> bytes: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

def reason_text(status: int) -> str: ...

@final
class HttpResponse:
    """Represents an HTTP/1.1 response."""

    __slots__ = ("version", "status", "reason", "headers", "body")
    version: str
    status: int
    reason: str
    headers: dict[str, str]
    body: bytes | None
    def __init__(
        self,
        status: int,
        reason: str | None = None,
        version: str = "HTTP/1.1",
        headers: dict[str, str] | None = None,
        body: bytes | None = None,
    ) -> None: ...
    @staticmethod
    def parse(data: bytes) -> HttpResponse: ...
    def __bytes__(self) -> bytes: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]
