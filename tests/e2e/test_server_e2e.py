"""HttpServer over the real Reticulum: a server process and a raw peer process on loopback."""

import hashlib
import os
import time

import pytest

from zivane.types import HttpRequest, HttpResponse

SETUP = """
import hashlib

@server.route("/hello")
def hello(request):
    return HttpResponse(status=200, body=b"hi")

@server.route("/echo", method="POST")
def echo(request):
    return HttpResponse(status=200, headers={"X-Sha": hashlib.sha256(request.body).hexdigest()},
                        body=request.body)

@server.route("/slow/*")
async def slow(request):
    await asyncio.sleep(0.05)
    return HttpResponse(status=202, body=request.path.encode())

@server.route("/fail")
def fail(request):
    raise RuntimeError("handler failed")
"""


@pytest.fixture(scope="module")
def server(net):
    return net.start_server(port=8080, setup=SETUP)


@pytest.fixture
def peer(net, server):
    p = net.start_peer(server.dest_hash, 8080)
    yield p
    p.stop()


def get(path, **kw):
    return bytes(HttpRequest(method="GET", path=path, **kw))


def test_small_get_async_and_failing_handlers(peer):
    peer.send(get("/hello"))
    [raw] = peer.recv(1)
    assert HttpResponse.parse(raw).body == b"hi"
    # pipelined in one write: answered in order, the async one included
    peer.send(get("/slow/1") + get("/fail") + get("/slow/2") + get("/nothing"))
    got = [HttpResponse.parse(r) for r in peer.recv(4)]
    assert [(r.status, r.body) for r in got] == [
        (202, b"/slow/1"), (500, b"handler failed"), (202, b"/slow/2"), (404, b"Not Found")]


def test_one_mebibyte_post_is_echoed_intact(peer):
    body = os.urandom(1 << 20)
    peer.send(bytes(HttpRequest(method="POST", path="/echo", body=body)))
    [raw] = peer.recv(1, timeout=120)
    response = HttpResponse.parse(raw)
    assert response.headers["x-sha"] == hashlib.sha256(body).hexdigest()
    assert hashlib.sha256(response.body).digest() == hashlib.sha256(body).digest()


def test_garbage_then_a_good_request(peer):
    peer.send(b"\x00\x01\x02 nonsense\r\n\r\n")
    [raw] = peer.recv(1)
    assert HttpResponse.parse(raw).status == 400
    peer.send(get("/hello"))
    assert HttpResponse.parse(peer.recv(1)[0]).body == b"hi"


def test_oversized_request_is_refused(net):
    srv = net.start_server(port=8081, setup="""
import zivane.server
zivane.server._LINK_BUFFER_LIMIT = 64 * 1024
server.set_default_handler(lambda r: HttpResponse(status=200, body=b"ok"))
""")
    peer = net.start_peer(srv.dest_hash, 8081)
    try:
        peer.send(bytes(HttpRequest(method="POST", path="/", body=b"x" * 100_000)) + get("/"))
        got = [HttpResponse.parse(r) for r in peer.recv(1, timeout=60)]
        assert [r.status for r in got] == [413]
        # the stream's position is lost with the refused body: the link ends with the answer
        deadline = time.monotonic() + 10
        while peer.command("STATUS", "STATUS").split()[1] != "4" and time.monotonic() < deadline:
            time.sleep(0.1)
        assert peer.command("STATUS", "STATUS").split()[1] == "4"  # RNS.Link.CLOSED
    finally:
        peer.stop()
        srv.stop()
