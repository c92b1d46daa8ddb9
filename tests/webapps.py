"""Applications the web tests serve: a Starlette app (ASGI, with a lifespan that opens a
resource) and a Flask app (WSGI), each with the same few routes."""

import asyncio
import contextlib
import hashlib
import os

from flask import Flask, Response as FlaskResponse, request as flask_request
from starlette.applications import Starlette
from starlette.responses import JSONResponse, StreamingResponse
from starlette.routing import Route


def pattern_piece(index, size):
    return bytes((index + i) % 251 for i in range(size))


class Resource:
    """What the lifespan opens: bound to the loop it was opened on."""

    def __init__(self):
        self.loop = asyncio.get_running_loop()
        self.open = True
        self.lock = asyncio.Lock()  # usable only on its own loop

    def close(self):
        self.open = False
        marker = os.environ.get("WEBAPP_SHUTDOWN_MARKER")
        if marker:
            with open(marker, "w") as f:
                f.write("closed")


@contextlib.asynccontextmanager
async def lifespan(app):
    resource = Resource()
    yield {"resource": resource}
    resource.close()


async def json_route(request):
    resource = request.state.resource
    async with resource.lock:
        same_loop = asyncio.get_running_loop() is resource.loop
    return JSONResponse({"hello": "world", "open": resource.open, "same_loop": same_loop,
                         "path": request.url.path, "query": request.url.query})


async def item(request):
    return JSONResponse({"item": request.path_params["item_id"]})


async def stream(request):
    count = int(request.query_params.get("count", "4"))
    size = int(request.query_params.get("size", "1000"))

    async def pieces():
        for i in range(count):
            yield pattern_piece(i, size)
            await asyncio.sleep(0)
    return StreamingResponse(pieces(), media_type="application/octet-stream")


BLOCK = bytes(range(256)) * 256  # 64 KiB


async def big(request):
    """`mib` MiB in 64 KiB pieces, chunked: what a large download costs on its way."""
    pieces = int(request.query_params.get("mib", "100")) * 16

    async def blocks():
        for _ in range(pieces):
            yield BLOCK
    return StreamingResponse(blocks(), media_type="application/octet-stream")


async def upload(request):
    digest, size = hashlib.sha256(), 0
    async for piece in request.stream():
        digest.update(piece)
        size += len(piece)
    return JSONResponse({"sha256": digest.hexdigest(), "size": size})


async def whoami(request):
    return JSONResponse({"client": request.client.host, "port": request.client.port,
                         "header": request.headers.get("x-reticulum-identity")})


async def boom(request):
    raise RuntimeError("boom before the response")


async def boom_late(request):
    async def pieces():
        yield b"first piece"
        raise RuntimeError("boom inside the response")
    return StreamingResponse(pieces())


DISCONNECTS = []


async def until_disconnect(request):
    """Reads the body until the peer goes away; counts the disconnects it saw."""
    while True:
        message = await request.receive()
        if message["type"] == "http.disconnect":
            DISCONNECTS.append(1)
            return JSONResponse({"disconnected": True})


async def disconnects(request):
    return JSONResponse({"count": len(DISCONNECTS)})


async def slow(request):
    await asyncio.sleep(float(request.query_params.get("t", "0.5")))
    return JSONResponse({"slept": True})


starlette_app = Starlette(lifespan=lifespan, routes=[
    Route("/json", json_route), Route("/items/{item_id}", item), Route("/stream", stream), Route("/big", big),
    Route("/upload", upload, methods=["POST"]), Route("/whoami", whoami), Route("/boom", boom),
    Route("/boom-late", boom_late), Route("/slow", slow),
    Route("/until-disconnect", until_disconnect, methods=["POST"]), Route("/disconnects", disconnects),
])


flask_app = Flask(__name__)


@flask_app.get("/json")
def flask_json():
    return {"hello": "world", "path": flask_request.path, "query": flask_request.query_string.decode()}


@flask_app.get("/items/<item_id>")
def flask_item(item_id):
    return {"item": item_id}


@flask_app.get("/stream")
def flask_stream():
    count = int(flask_request.args.get("count", "4"))
    size = int(flask_request.args.get("size", "1000"))
    return FlaskResponse((pattern_piece(i, size) for i in range(count)), mimetype="application/octet-stream")


@flask_app.post("/upload")
def flask_upload():
    digest, size = hashlib.sha256(), 0
    while piece := flask_request.stream.read(65536):
        digest.update(piece)
        size += len(piece)
    return {"sha256": digest.hexdigest(), "size": size}


@flask_app.get("/whoami")
def flask_whoami():
    return {"client": flask_request.remote_addr, "header": flask_request.headers.get("X-Reticulum-Identity")}


CLOSED = []


@flask_app.get("/environ")
def flask_environ():
    keys = ("REQUEST_METHOD", "SCRIPT_NAME", "PATH_INFO", "QUERY_STRING", "SERVER_PROTOCOL", "SERVER_PORT",
            "CONTENT_LENGTH", "HTTP_X_TWICE", "wsgi.url_scheme", "wsgi.multithread", "wsgi.input_terminated")
    env = flask_request.environ
    return {key: env.get(key) for key in keys} | {"version": list(env["wsgi.version"])}


@flask_app.get("/closing")
def flask_closing():
    response = FlaskResponse(iter([b"a", b"b", b"c"]))
    response.call_on_close(lambda: CLOSED.append(1))
    return response


@flask_app.get("/closed")
def flask_closed():
    return {"count": len(CLOSED)}


@flask_app.get("/boom")
def flask_boom():
    raise RuntimeError("boom before the response")


async def no_lifespan_app(scope, receive, send):
    """A bare ASGI app that refuses lifespan scopes, as many small apps do."""
    if scope["type"] != "http":
        raise RuntimeError("only http")
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"bare " + scope["path"].encode()})
