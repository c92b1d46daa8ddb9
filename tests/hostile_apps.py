"""Bare applications that show the gateway's tests what reached them."""

import json


async def asgi_heads(scope, receive, send):
    """Answers with the request's header fields as the scope has them, in order."""
    if scope["type"] != "http":
        return
    fields = [[name.decode("latin-1"), value.decode("latin-1")] for name, value in scope["headers"]]
    body = json.dumps(fields).encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


def wsgi_environ(environ, start_response):
    """Answers with the environ's HTTP_* keys."""
    body = json.dumps({k: v for k, v in environ.items() if k.startswith("HTTP_")}).encode()
    start_response("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(body)))])
    return [body]
