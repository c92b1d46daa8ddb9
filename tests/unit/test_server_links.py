"""HttpServer link handling driven through the stand-in Reticulum (fakes/server.py)."""

import asyncio
import threading
import time

import pytest

import zivane.server as server_mod
from fakes.server import PacedChannel, ServerRNS, StatusLink, open_link, split_responses
from zivane.types import HttpRequest, HttpResponse


@pytest.fixture
def rns(monkeypatch):
    fake = ServerRNS()
    monkeypatch.setattr(server_mod, "RNS", fake)
    return fake


@pytest.fixture
def server(rns):
    s = server_mod.HttpServer(8080)
    s._running = True
    return s


def req(path, body=None, method="GET"):
    return bytes(HttpRequest(method=method, path=path, body=body))


def echo(request):
    return HttpResponse(status=200, body=request.path.encode() + b":" + (request.body or b""))


def test_one_request_prints_dispatches_and_writes_once(server, rns, capsys):
    server.set_default_handler(echo)
    link, buf = open_link(server, rns, StatusLink())
    wire = req("/a")
    buf.deliver(wire)
    out = capsys.readouterr().out.splitlines()
    assert out == ["Connected: link", f"Reader ready link: {len(wire)}", "link GET /a"]
    assert len(buf.writes) == 1 and buf.flushes == 1
    assert split_responses(buf.sent)[0].body == b"/a:"
    assert server._links == {id(link): (link, buf)}


def test_split_pipelined_and_chunked_requests_are_assembled(server, rns):
    server.set_default_handler(echo)
    _, buf = open_link(server, rns, StatusLink())
    chunked = bytes(HttpRequest(method="POST", path="/c", headers={"Transfer-Encoding": "chunked"},
                                body=b"x" * 5000))
    wire = req("/1", b"one", "POST") + chunked + req("/2") + req("/3", b"three", "PUT")
    for i in range(0, len(wire), 7):  # split across many notifications
        buf.deliver(wire[i:i + 7])
    got = [r.body for r in split_responses(buf.sent)]
    assert got == [b"/1:one", b"/c:" + b"x" * 5000, b"/2:", b"/3:three"]
    # an empty notification (bytes taken by an earlier callback) answers nothing
    buf.deliver(b"")
    assert len(split_responses(buf.sent)) == 4


def test_concurrent_notifications_answer_each_request_once_in_order(server, rns):
    def slow(request):
        time.sleep(0.002)
        return echo(request)

    server.set_default_handler(slow)
    _, buf = open_link(server, rns, StatusLink())
    wire = b"".join(req(f"/{i}", b"b" * (i % 5)) for i in range(60))
    threads = [buf.deliver_threaded(wire[i:i + 50]) for i in range(0, len(wire), 50)]
    for t in threads:
        t.join(10)
    got = [r.body.split(b":")[0] for r in split_responses(buf.sent)]
    assert got == [f"/{i}".encode() for i in range(60)]


def test_a_blocked_handler_does_not_hold_up_other_links(server, rns):
    release = threading.Event()

    def handler(request):
        if request.path == "/block":
            release.wait(5)
        return echo(request)

    server.set_default_handler(handler)
    _, slow_buf = open_link(server, rns, StatusLink(name="a"))
    _, fast_buf = open_link(server, rns, StatusLink(name="b"))
    blocked = slow_buf.deliver_threaded(req("/block"))
    time.sleep(0.05)
    # more bytes on the blocked link are read and queued, not waited on
    slow_buf.deliver_threaded(req("/next")).join(2)
    fast_buf.deliver_threaded(req("/fast")).join(2)
    assert split_responses(fast_buf.sent)[0].body == b"/fast:"
    assert slow_buf.sent == b""
    release.set()
    blocked.join(5)
    assert [r.body for r in split_responses(slow_buf.sent)] == [b"/block:", b"/next:"]


def test_notification_before_registration_is_not_lost(server, rns):
    server.set_default_handler(echo)
    rns.early = req("/early")
    _, buf = open_link(server, rns, StatusLink())
    deadline = time.monotonic() + 5
    while not buf.writes and time.monotonic() < deadline:
        time.sleep(0.01)
    assert split_responses(buf.sent)[0].body == b"/early:"


def test_error_answers(server, rns, monkeypatch):
    def handler(request):
        if request.path == "/fail":
            raise ValueError("broken handler ü")
        return echo(request)

    server.set_default_handler(handler)
    monkeypatch.setattr(server_mod, "_LINK_BUFFER_LIMIT", 1000)
    link, buf = open_link(server, rns, StatusLink())

    buf.deliver(req("/fail"))
    buf.deliver(b"\x01\x02 garbage\r\n\r\n")  # framed, but not HTTP: the parser refuses it
    buf.deliver(req("/after"))
    got = split_responses(buf.sent)
    assert [r.status for r in got] == [500, 400, 200]
    assert got[0].body == "broken handler ü".encode()
    assert got[0].reason == "Internal Server Error"
    assert got[2].body == b"/after:"

    # refused framing, and a request too large (refused on its head, before its body
    # arrives): one answer, then the link ends
    big = req("/big", b"z" * 3000, "POST")
    for wire, status in [(b"GET / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", 400), (big[:900], 413)]:
        link, buf = open_link(server, rns, StatusLink())
        buf.deliver(wire)
        assert [r.status for r in split_responses(buf.sent)] == [status]
        buf.deliver(req("/after"))
        assert len(split_responses(buf.sent)) == 1
        assert link.teardowns == 1 and id(link) not in server._links


def test_async_handler_and_none_result(server, rns):
    async def handler(request):
        await asyncio.sleep(0)
        if request.path == "/none":
            return None
        return HttpResponse(status=201, body=b"async")

    server.set_default_handler(handler)
    link, buf = open_link(server, rns, StatusLink())
    buf.deliver(req("/x"))
    assert split_responses(buf.sent)[0].status == 201
    buf.deliver(req("/none"))  # not serializable: the link is dropped
    assert server._links == {}
    assert link.teardowns == 1


def test_large_response_is_paced_in_message_pieces(server, rns):
    body = bytes(range(256)) * 40
    server.set_default_handler(lambda r: HttpResponse(status=200, body=body))
    channel = PacedChannel()
    _, buf = open_link(server, rns, StatusLink(channel))
    buf.deliver(req("/"))
    assert all(len(w) <= 423 for w in buf.writes)
    assert len(buf.writes) == buf.flushes > 20
    assert channel.probes >= 2 * len(buf.writes)
    assert split_responses(buf.sent)[0].body == body


def test_large_response_without_readiness_is_one_write(server, rns):
    body = b"q" * 20000
    server.set_default_handler(lambda r: HttpResponse(status=200, body=body))
    _, buf = open_link(server, rns, StatusLink())
    buf.deliver(req("/"))
    assert len(buf.writes) == 1 and buf.flushes == 1


def test_link_closing_or_stalling_mid_write_drops_it(server, rns, monkeypatch):
    server.set_default_handler(lambda r: HttpResponse(status=200, body=b"w" * 5000))
    channel = PacedChannel()
    link, buf = open_link(server, rns, StatusLink(channel))
    buf.on_write = lambda data: link.teardown() if len(buf.writes) == 3 else None
    buf.deliver(req("/"))
    assert len(buf.writes) == 4  # the piece in flight; nothing after the close
    assert server._links == {} and link.teardowns == 1

    class Stuck:
        def is_ready_to_send(self):
            return False

    monkeypatch.setattr(server_mod, "_WRITE_STALL_TIMEOUT", 0.1)
    link2, buf2 = open_link(server, rns, StatusLink(Stuck()))
    started = time.monotonic()
    buf2.deliver(req("/"))
    assert time.monotonic() - started < 2
    assert buf2.writes == [] and id(link2) not in server._links
    assert link2.teardowns == 1


def test_window_shut_while_reticulum_still_resends_is_waited_out(server, rns, monkeypatch):
    """On a slow link a message and its resends take longer than any fixed stall bound:
    a write gives up only once Reticulum itself would have (its resend schedule at the
    link's round trip), so a window that reopens before then loses nothing."""

    class Reopening:
        window, _max_tries = 1, 5  # RNS: about 0.8 s of resends at a 10 ms round trip

        def __init__(self, shut_for):
            self.opens = None
            self.shut_for = shut_for

        def is_ready_to_send(self):
            now = time.monotonic()
            if self.opens is None:
                self.opens = now + self.shut_for
            return now >= self.opens

    monkeypatch.setattr(server_mod, "_WRITE_STALL_TIMEOUT", 0.1)
    server.set_default_handler(lambda r: HttpResponse(status=200, body=b"w" * 2000))
    for shut_for, kept in ((0.6, True), (3.0, False)):
        link = StatusLink(Reopening(shut_for))
        link.rtt = 0.01
        link, buf = open_link(server, rns, link)
        started = time.monotonic()
        buf.deliver(req("/"))
        if kept:
            assert split_responses(buf.sent)[0].body == b"w" * 2000 and link.teardowns == 0
        else:
            assert buf.writes == [] and link.teardowns == 1
            assert 0.8 < time.monotonic() - started < 2.0


def test_stop_tears_down_in_order_and_refuses_new_links(server, rns, capsys):
    links = [open_link(server, rns, StatusLink(name=f"l{i}"))[0] for i in range(3)]
    order = []
    for link in links:
        link.set_link_closed_callback(None)
        link.teardown = (lambda l: lambda: order.append(l.name))(link)
    server._destination = None
    asyncio.run(server.stop())
    assert order == ["l0", "l1", "l2"] and server._links == {}
    capsys.readouterr()
    late = StatusLink(name="late")
    server._on_link(late)
    assert late.teardowns == 1 and capsys.readouterr().out == ""


def test_removed_link_only_prints(server, rns, capsys):
    server.set_default_handler(echo)
    link, buf = open_link(server, rns, StatusLink())
    server._on_close(link)
    server._on_close(link)  # unknown link: no error
    buf.deliver(req("/"))
    assert buf.writes == []
    assert capsys.readouterr().out.splitlines()[-1].startswith("Reader ready link: ")


def test_await_in_sync():
    async def value():
        await asyncio.sleep(0)
        return 42

    assert server_mod.await_in_sync(value()) == 42
    # inside a running loop the loop cannot be re-entered: asyncio says so
    async def nested():
        coro = value()
        try:
            server_mod.await_in_sync(coro)
        finally:
            coro.close()

    with pytest.raises(RuntimeError):
        asyncio.run(nested())


@pytest.mark.parametrize("wire,expected", [
    # chunk extensions and trailer fields end where the framing says
    (b"POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\n0\r\nX-T: 1\r\n\r\n",
     [(200, b"/c:abc")]),
    (b"\r\nGET /lead HTTP/1.1\r\n\r\n", [(200, b"/lead:")]),
    (b"GET / HTTP/1.1\r\nContent-Length: 1\r\ncontent-length: 1\r\n\r\nx", [(400, None)]),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", [(400, None)]),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", [(400, None)]),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabXX", [(400, None)]),
])
def test_framing_edges(server, rns, wire, expected):
    server.set_default_handler(echo)
    _, buf = open_link(server, rns, StatusLink())
    for i in range(len(wire)):  # byte by byte: every resume point of the framer
        buf.deliver(wire[i:i + 1])
    got = [(r.status, r.body if expected[0][1] is not None else None) for r in split_responses(buf.sent)]
    assert got == expected
