"""A straightforward pure-Python codec with the same behaviour as zivane.types.

Used only as the reference point of bench/codec.py: plain classes with __slots__, f-strings
and list joins for serialization, httptools with Python callbacks for parsing.
"""

from httptools import HttpParserError as HttptoolsParserError
from httptools import HttpRequestParser, HttpResponseParser

_REASONS = {
    100: "Continue", 101: "Switching Protocols", 200: "OK", 201: "Created", 202: "Accepted",
    204: "No Content", 301: "Moved Permanently", 302: "Found", 304: "Not Modified",
    400: "Bad Request", 401: "Unauthorized", 403: "Forbidden", 404: "Not Found",
    405: "Method Not Allowed", 408: "Request Timeout", 409: "Conflict",
    413: "Payload Too Large", 414: "URI Too Long", 500: "Internal Server Error",
    501: "Not Implemented", 502: "Bad Gateway", 503: "Service Unavailable",
    504: "Gateway Timeout",
}


class HttpParserError(Exception):
    pass


class HttpSerializerError(Exception):
    pass


def reason_text(status):
    return _REASONS.get(status, "Unknown")


def encode_chunked(body):
    parts = []
    for offset in range(0, len(body), 4096):
        chunk = body[offset:offset + 4096]
        parts.append(b"%x\r\n" % len(chunk))
        parts.append(chunk)
        parts.append(b"\r\n")
    parts.append(b"0\r\n\r\n")
    return b"".join(parts)


def _check(text, what):
    if "\r" in text or "\n" in text or "\0" in text:
        raise HttpSerializerError(f"Invalid character in {what}")
    return text


def _serialize(start, headers, body):
    headers = dict(headers)
    if body is not None:
        if headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = encode_chunked(body)
            headers["Transfer-Encoding"] = "chunked"
            headers.pop("Content-Length", None)
        elif "Content-Length" not in headers:
            headers["Content-Length"] = str(len(body))
    lines = [start.encode()]
    for name, value in headers.items():
        name, value = format(name), format(value)
        _check(name, "header name")
        _check(value, "header value")
        lines.append(f"{name}: {value}".encode())
    lines.append(b"")
    lines.append(body if body is not None else b"")
    return b"\r\n".join(lines)


class RequestCallbacks:
    def __init__(self):
        self.method = b""
        self.url = b""
        self.version = b"HTTP/1.1"
        self.headers = {}
        self.body_chunks = []

    def on_message_begin(self):
        pass

    def on_url(self, url):
        self.url = url

    def on_header(self, name, value):
        self.headers[name] = value

    def on_body(self, body):
        self.body_chunks.append(body)


class ResponseCallbacks:
    def __init__(self):
        self.version = b"HTTP/1.1"
        self.status = 0
        self.reason = b""
        self.headers = {}
        self.body_chunks = []

    def on_message_begin(self):
        pass

    def on_header(self, name, value):
        self.headers[name] = value

    def on_body(self, body):
        self.body_chunks.append(body)


def _headers(raw):
    return {name.decode().lower(): value.decode() for name, value in raw.items()}


class HttpRequest:
    __slots__ = ("method", "path", "version", "headers", "body")

    def __init__(self, method, path, version="HTTP/1.1", headers=None, body=None):
        self.method = method
        self.path = path
        self.version = version
        self.headers = headers if headers is not None else {}
        self.body = body

    @staticmethod
    def parse(data):
        if not data:
            raise HttpParserError("Incomplete request")
        callbacks = RequestCallbacks()
        parser = HttpRequestParser(callbacks)
        try:
            parser.feed_data(data)
        except HttptoolsParserError as exc:
            raise HttpParserError(str(exc)) from exc
        method = parser.get_method()
        if not method:
            raise HttpParserError("Incomplete request")
        version = parser.get_http_version()
        return HttpRequest(
            method=method.decode(),
            path=callbacks.url.decode() if callbacks.url else "/",
            version=f"HTTP/{version}" if version else "HTTP/1.1",
            headers=_headers(callbacks.headers),
            body=b"".join(callbacks.body_chunks) if callbacks.body_chunks else None,
        )

    def __bytes__(self):
        start = (f"{_check(format(self.method), 'method')} {_check(format(self.path), 'path')} "
                 f"{_check(format(self.version), 'version')}")
        return _serialize(start, self.headers, self.body)


class HttpResponse:
    __slots__ = ("version", "status", "reason", "headers", "body")

    def __init__(self, status, reason=None, version="HTTP/1.1", headers=None, body=None):
        self.version = version
        self.status = status
        self.reason = reason if reason is not None else reason_text(status)
        self.headers = headers if headers is not None else {}
        self.body = body

    @staticmethod
    def parse(data):
        if not data:
            raise HttpParserError("Incomplete response")
        callbacks = ResponseCallbacks()
        parser = HttpResponseParser(callbacks)
        try:
            parser.feed_data(data)
        except HttptoolsParserError as exc:
            raise HttpParserError(str(exc)) from exc
        status = parser.get_status_code()
        if not status:
            raise HttpParserError("Incomplete response")
        version = parser.get_http_version()
        return HttpResponse(
            version=f"HTTP/{version}" if version else "HTTP/1.1",
            status=status,
            reason=callbacks.reason.decode() if callbacks.reason else None,
            headers=_headers(callbacks.headers),
            body=b"".join(callbacks.body_chunks) if callbacks.body_chunks else None,
        )

    def __bytes__(self):
        start = (f"{_check(format(self.version), 'version')} {_check(format(self.status), 'status')} "
                 f"{_check(format(self.reason), 'reason')}")
        return _serialize(start, self.headers, self.body)
