"""Long loops of server dispatch and client exchanges through stand-in Reticulum objects:
memory stays flat, reference counts of the records and handlers come back to where they
were, and every link object (with whatever was kept for it) is freed once closed."""

import asyncio
import contextlib
import gc
import sys
import weakref

import psutil

import zivane.client as client_mod
import zivane.server as server_mod
from fakes.client import ClientLink, ClientRNS
from fakes.server import NullOut, ServerRNS, open_link, split_responses
from helpers import SANITIZED
from zivane.client import HttpClient, TransportError
from zivane.types import HttpParserError, HttpRequest, HttpResponse

BODY = b"b" * 700
GET = bytes(HttpRequest("GET", "/hello", headers={"Host": "h"}))
POST = bytes(HttpRequest("POST", "/echo", headers={"X-A": "1"}, body=BODY))
CHUNKED = bytes(HttpRequest("POST", "/echo", headers={"Transfer-Encoding": "chunked"}, body=BODY * 8))
FAIL = bytes(HttpRequest("GET", "/fail"))
ASYNC = bytes(HttpRequest("GET", "/async"))
BAD = b"\x01\x02 nonsense\r\n\r\n"
BAD_FRAMING = b"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"
NONE = bytes(HttpRequest("GET", "/none"))


# Under the sanitizer (SANITIZED) the reference counts and freed links carry the test.

def rss():
    gc.collect()
    return psutil.Process().memory_info().rss


def hello(request):
    return HttpResponse(status=200, body=b"hi")


def echo(request):
    return HttpResponse(status=200, headers={"X-Len": str(len(request.body))}, body=request.body)


def fail(request):
    raise ValueError("handler failed")


async def later(request):
    await asyncio.sleep(0)
    return HttpResponse(status=201, body=b"async")


def nothing(request):
    return None


def dispatch_rounds(server, rns, n, dead):
    for i in range(n):
        link, buf = open_link(server, rns, "link")
        buf.deliver(GET)
        buf.deliver(POST[:100])
        buf.deliver(POST[100:] + CHUNKED[:1000])
        buf.deliver(CHUNKED[1000:] + FAIL)
        buf.deliver(BAD)
        if i % 10 == 0:
            buf.deliver(ASYNC)
        expected = [200, 200, 200, 500, 400] + ([201] if i % 10 == 0 else [])
        if i % 3 == 0:
            buf.deliver(NONE)  # not a response: the server drops the link itself
        elif i % 3 == 1:
            buf.deliver(BAD_FRAMING)  # answered, then the server ends the link
            expected.append(400)
        else:
            link.teardown()
        assert [r.status for r in split_responses(buf.sent)] == expected
        assert link.teardowns == 1
        dead.append(weakref.ref(link))
        dead.append(weakref.ref(buf))
        rns.buffers.clear()


def test_server_dispatch_loop_keeps_memory_and_references_flat():
    saved = server_mod.RNS
    rns = ServerRNS()
    server_mod.RNS = rns
    try:
        server = server_mod.HttpServer(8080)
        server._running = True
        handlers = [hello, echo, fail, later, nothing]
        for path, h in [("/hello", hello), ("/echo", echo), ("/fail", fail), ("/async", later),
                        ("/none", nothing)]:
            server.add_handler(path, h, "POST" if h is echo else "GET")
        counted = handlers + [server, HttpRequest, HttpResponse, HttpParserError, GET, POST, rns]
        dead = []
        with contextlib.redirect_stdout(NullOut()):
            dispatch_rounds(server, rns, 300, dead)  # warm up
            gc.collect()
            refs_before = [sys.getrefcount(o) for o in counted]
            before = rss()
            samples = []
            for _ in range(8):
                dispatch_rounds(server, rns, 1500, dead)
                samples.append(rss())
                # the weak references are this test's own bookkeeping: check and drop them
                # so that they do not count as growth
                assert all(ref() is None for ref in dead), "closed links or their buffers are still held"
                dead.clear()
        assert server._links == {}
        gc.collect()
        assert [sys.getrefcount(o) for o in counted] == refs_before
        assert all(ref() is None for ref in dead), "closed links or their buffers are still held"
        # 12,000 links and some 77,000 requests: a leak of one small object per request or link
        # would show as several megabytes
        if not SANITIZED:
            assert samples[-1] - before < 3 * 1024 * 1024, (before, samples)
            assert samples[-1] - samples[3] < 1024 * 1024, samples
    finally:
        server_mod.RNS = saved


def run(coro):
    return asyncio.run(coro)


async def exchanges(client, n):
    for i in range(n):
        r = await client.post("/p", BODY, {"X-I": "1"})
        assert r.status == 200 and r.body == BODY
        r = await client.get("/g")
        assert not r.body


def respond_or_garbage(request):
    if request.path == "/garbage":
        return b"HTTP/1.1 2x0\r\n\r\n"
    if request.path == "/silent":
        return None
    return bytes(HttpResponse(200, headers={"X-Path": request.path}, body=request.body or b""))


def test_client_exchange_loop_keeps_memory_and_references_flat(tmp_path):
    saved = client_mod.RNS
    ClientRNS.reset()
    client_mod.RNS = ClientRNS
    ClientLink.responder = respond_or_garbage
    try:
        client = HttpClient(b"\x01" * 16, 80, identity_path=str(tmp_path / "identity"),
                            connect_timeout=5.0, request_timeout=5.0)
        counted = [client, HttpResponse, HttpRequest, TransportError, HttpParserError, BODY,
                   respond_or_garbage]
        dead = []

        def rounds(n):
            run(client.connect())
            run(exchanges(client, n))
            # failures on the way: a reply that does not parse, one that never comes
            try:
                run(client.get("/garbage"))
            except HttpParserError:
                pass
            client._request_timeout = 0.01
            try:
                run(client.get("/silent"))
            except TransportError:
                pass
            client._request_timeout = 5.0
            # each failure lets its link go and the next request connects again
            dead.extend(weakref.ref(link) for link in ClientLink.instances)
            run(client.close())
            ClientLink.instances.clear()

        for _ in range(5):
            rounds(50)
        gc.collect()
        refs_before = [sys.getrefcount(o) for o in counted]
        before = rss()
        samples = []
        for _ in range(8):
            for _ in range(10):
                rounds(50)
            samples.append(rss())
        gc.collect()
        assert [sys.getrefcount(o) for o in counted] == refs_before
        assert all(ref() is None for ref in dead), "closed links are still held"
        if not SANITIZED:
            assert samples[-1] - before < 3 * 1024 * 1024, (before, samples)
            assert samples[-1] - samples[3] < 1024 * 1024, samples
    finally:
        client_mod.RNS = saved
        ClientRNS.reset()
