"""HttpClient and the client command against the stand-in Reticulum (fakes/client.py)."""

import asyncio
import bz2
import hashlib
import io
import os
import random
import stat
import sys
import threading
import time

import pytest

import zivane.client as client_mod
from fakes.client import ClientBuffer, ClientBufferFactory, ClientIdentity, ClientLink, ClientRNS, ClientTransport, echo
from zivane.client import HttpClient, TransportError
from zivane.types import HttpParserError, HttpRequest, HttpResponse

DEST = bytes(range(16))


@pytest.fixture
def rns(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    # small pieces, each notification on its own thread and not waited for
    return ClientRNS.install(monkeypatch, chunk=37, gap=0.0005, overlap=True)


def make_client(tmp_path, **kw):
    kw.setdefault("connect_timeout", 2.0)
    kw.setdefault("request_timeout", 5.0)
    return HttpClient(DEST, 4000, identity_path=str(tmp_path / "id" / "identity"), **kw)


def run(coro):
    return asyncio.run(coro)


def connected_client(tmp_path, **kw):
    c = make_client(tmp_path, **kw)
    run(c.connect())
    return c, c._link


# ----- the Python-visible surface -------------------------------------------------------


def test_module_and_class_surface():
    import inspect

    names = [n for n in vars(client_mod) if not n.startswith("__")]
    assert names == ["argparse", "asyncio", "os", "sys", "threading", "Any", "cast", "RNS",
                     "HttpRequest", "HttpResponse", "TransportError", "HttpClient", "main",
                     "_RESPONSE_LIMIT", "_WRITER_IDLE"]
    assert client_mod.__doc__ == "HTTP/1.1 client over RNS."
    assert TransportError.__bases__ == (Exception,)
    assert TransportError.__doc__ == "Exception raised for transport errors."
    members = [n for n in vars(HttpClient) if not n.startswith("__") or n in ("__init__", "__aenter__", "__aexit__")]
    assert members == ["__init__", "_default_identity_path", "_load_or_create_identity", "connect",
                       "request", "_send_request", "get", "post", "put", "delete", "close",
                       "is_connected", "__aenter__", "__aexit__"]
    assert HttpClient.__static_attributes__ == (
        "_destination_hash", "_port", "_identity_path", "_connect_timeout", "_request_timeout",
        "_read_timeout", "_identity", "_link")
    sig = lambda f: str(inspect.signature(f))  # noqa: E731
    assert sig(HttpClient) == ("(destination_hash: bytes | str, port: int, identity_path: str | None = None, "
                               "connect_timeout: float = 30.0, request_timeout: float = 60.0, "
                               "read_timeout: float = 30.0) -> None")
    assert sig(HttpClient.request) == ("(self, path: str, method: str = 'GET', headers: dict[str, str] | None = None, "
                                       "body: bytes | None = None) -> zivane.types.HttpResponse")
    assert sig(HttpClient.post) == ("(self, path: str, body: bytes | None = None, "
                                    "headers: dict[str, str] | None = None) -> zivane.types.HttpResponse")
    assert sig(HttpClient.__aexit__) == "(self, _exc_type: Any, _exc_val: Any, _exc_tb: Any) -> None"
    assert HttpClient.__aenter__.__annotations__ == {"return": "HttpClient"}
    for name in ("connect", "request", "_send_request", "get", "post", "put", "delete", "close",
                 "__aenter__", "__aexit__"):
        assert inspect.iscoroutinefunction(getattr(HttpClient, name)), name
    assert not inspect.iscoroutinefunction(HttpClient._load_or_create_identity)
    assert inspect.iscoroutinefunction(client_mod.main) and str(inspect.signature(client_mod.main)) == "()"
    assert HttpClient.request.__doc__.startswith("Send an HTTP request.\n")
    assert HttpClient.is_connected.__doc__ == "Check if client is connected."


# ----- construction and identity -----------------------------------------------------


def test_construction_stores_arguments_and_touches_nothing(rns, tmp_path):
    c = HttpClient("ab01", 7, identity_path="", read_timeout=1.5)
    assert c._destination_hash == b"\xab\x01"
    assert c._identity_path == os.path.join(str(tmp_path), ".zivane", "identity")
    assert (c._read_timeout, c._identity, c._link, c.is_connected) == (1.5, None, None, False)
    assert not (tmp_path / ".zivane").exists()
    raw = b"\x01\x02"
    assert HttpClient(raw, "p")._destination_hash is raw
    with pytest.raises(ValueError):
        HttpClient("zz", 1)


def test_identity_created_private_then_cached(rns, tmp_path):
    c = make_client(tmp_path)
    run(c.connect())
    path = tmp_path / "id" / "identity"
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert stat.S_IMODE(path.parent.stat().st_mode) == 0o700
    first = c._identity
    assert isinstance(first, ClientIdentity)
    run(c.close())
    path.unlink()
    run(c.connect())  # cached: the file is neither read nor written again
    assert c._identity is first and not path.exists()
    assert c._identity is not None

    # A second client loads the saved file instead of creating one.
    run(c.connect())
    c2 = make_client(tmp_path)
    first.to_file(str(path))
    assert c2._load_or_create_identity() is first


def test_identity_bare_file_name_and_unloadable_file(rns, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = HttpClient(DEST, 1, identity_path="bare-id")
    ident = c._load_or_create_identity()
    assert (tmp_path / "bare-id").exists() and c._identity is ident
    (tmp_path / "bare-id").write_bytes(b"garbage")
    c2 = HttpClient(DEST, 1, identity_path="bare-id")
    replaced = c2._load_or_create_identity()
    assert replaced is not ident and (tmp_path / "bare-id").read_bytes() != b"garbage"


def test_identity_save_failure_propagates_but_identity_is_kept(rns, tmp_path, monkeypatch):
    c = make_client(tmp_path)

    def refuse(*a, **k):
        raise PermissionError("no")

    monkeypatch.setattr(client_mod.os, "makedirs", refuse)
    with pytest.raises(PermissionError):
        run(c.connect())
    kept = c._identity
    assert kept is not None and c._link is None
    monkeypatch.undo()
    monkeypatch.setattr(client_mod, "RNS", ClientRNS)
    run(c.connect())
    assert c._identity is kept


# ----- connect failures ----------------------------------------------------------------


def test_connect_path_known_asks_nothing_and_builds_destination(rns, tmp_path):
    c, link = connected_client(tmp_path)
    names = [call[0] for call in ClientTransport.calls]
    assert names == ["has_path"]
    assert link.destination.args == ("server-identity", "out", "single", "HTTP", "4000")
    assert c.is_connected
    assert HttpClient.connect.__qualname__ == "HttpClient.connect"
    assert link.established.__qualname__ == "HttpClient.connect.<locals>.on_established"
    assert link.established.__annotations__ == {"_link": ClientLink, "return": None}


@pytest.mark.parametrize(
    "setup, message",
    [
        (lambda: setattr(ClientTransport, "path_known", False) or setattr(ClientTransport, "path_arrives", False),
         "Timeout waiting for path to server"),
        (lambda: setattr(ClientIdentity, "recall_result", None), "Could not recall server identity"),
        (lambda: setattr(ClientLink, "establish", False), "Connection timeout"),
    ],
)
def test_connect_failures(rns, tmp_path, setup, message):
    setup()
    c = make_client(tmp_path, connect_timeout=0.2)
    with pytest.raises(TransportError) as info:
        run(c.connect())
    assert str(info.value) == message and c._link is None and c._identity is not None
    if message == "Connection timeout":
        assert ClientLink.instances[0].teardowns == 1
    if message.startswith("Timeout"):
        # one request, not repeated before Reticulum's own time-out for it
        names = {call[0] for call in ClientTransport.calls}
        assert names == {"has_path", "request_path"}
        assert ClientTransport.calls.count(("request_path", DEST)) == 1


def test_connect_reticulum_errors_propagate(rns, tmp_path):
    c, old = connected_client(tmp_path)
    ClientIdentity.recall_error = KeyError("rpc")
    with pytest.raises(KeyError):
        run(c.connect())
    assert c._link is old


def test_connect_bounded_when_reticulum_calls_hang(rns, tmp_path, monkeypatch):
    never = threading.Event()
    calls = []

    def recall_hangs_once(h):
        calls.append(h)
        if len(calls) == 1:
            never.wait(10)
        return "server-identity"

    monkeypatch.setattr(ClientIdentity, "recall", staticmethod(recall_hangs_once))
    c = make_client(tmp_path, connect_timeout=5.0)
    run(c.connect())  # the stuck call is abandoned and tried again
    assert c.is_connected and len(calls) == 2

    monkeypatch.setattr(ClientIdentity, "recall", staticmethod(lambda h: never.wait(10)))
    c = make_client(tmp_path, connect_timeout=0.5)
    start = time.monotonic()
    with pytest.raises(TransportError, match="^Could not recall server identity$"):
        run(c.connect())
    assert time.monotonic() - start < 1.5

    monkeypatch.setattr(ClientIdentity, "recall", staticmethod(lambda h: "server-identity"))
    c, _ = connected_client(tmp_path)
    monkeypatch.setattr(ClientRNS, "Link", lambda dest, cb: never.wait(10))
    c._connect_timeout = 0.5
    start = time.monotonic()
    with pytest.raises(TransportError, match="^Connection timeout$"):
        run(c.connect())
    assert time.monotonic() - start < 1.5 and c._link is None
    never.set()


class TestPathRequests:
    """One path request where one will do; repeats after Reticulum's own time-out for it,
    quicker ones only through a shared instance, whose answers to simultaneous requests
    can get lost on the way."""

    @staticmethod
    def arrives_after(monkeypatch, seconds, request_path=None):
        start = time.monotonic()
        asked = []

        def request(h):
            asked.append(time.monotonic() - start)
            if request_path:
                request_path(len(asked))

        monkeypatch.setattr(ClientTransport, "request_path", staticmethod(request))
        monkeypatch.setattr(ClientTransport, "has_path",
                            staticmethod(lambda h: time.monotonic() - start > seconds))
        return asked

    def test_repeats_wait_for_reticulums_time_out_and_back_off(self, rns, tmp_path, monkeypatch):
        monkeypatch.setattr(ClientTransport, "PATH_REQUEST_TIMEOUT", 0.25, raising=False)
        asked = self.arrives_after(monkeypatch, 1.0)
        c = make_client(tmp_path, connect_timeout=3.0)
        run(c.connect())
        assert c.is_connected and len(asked) == 3, asked
        assert asked[1] >= 0.25 and asked[2] - asked[1] >= 0.5  # each gap twice the last
        assert ("await_path", DEST, 3.0) not in ClientTransport.calls  # it would ask once more

    def test_slow_medium_stretches_the_time_out(self, rns, tmp_path, monkeypatch):
        monkeypatch.setattr(ClientTransport, "PATH_REQUEST_TIMEOUT", 0.2, raising=False)
        monkeypatch.setattr(ClientTransport, "medium_path_timeout", staticmethod(lambda: 0.7), raising=False)
        asked = self.arrives_after(monkeypatch, 0.6)
        run(make_client(tmp_path, connect_timeout=3.0).connect())
        assert len(asked) == 1, asked

    def test_shared_instance_is_asked_again_soon(self, rns, tmp_path, monkeypatch):
        class Shared:
            is_connected_to_shared_instance = True

        monkeypatch.setattr(ClientRNS, "Reticulum", type("R", (), {"get_instance": staticmethod(Shared)}))
        never = threading.Event()
        # the repeats never come back: they must not hold up the wait
        asked = self.arrives_after(monkeypatch, 1.3, lambda n: n > 1 and never.wait(10))
        c = make_client(tmp_path, connect_timeout=3.0)
        start = time.monotonic()
        run(c.connect())
        never.set()
        assert c.is_connected and time.monotonic() - start < 1.6
        assert len(asked) == 2 and 0.45 < asked[1] < 0.8  # one repeat in flight at a time

    def test_path_that_never_comes_ends_in_time(self, rns, tmp_path, monkeypatch):
        self.arrives_after(monkeypatch, 1e9)
        c = make_client(tmp_path, connect_timeout=0.3)
        start = time.monotonic()
        with pytest.raises(TransportError, match="^Timeout waiting for path to server$"):
            run(c.connect())
        assert time.monotonic() - start < 0.8


class TestPendingLink:
    """A link that Reticulum closes before it is established (its request or proof was
    lost) is followed by a new one while the connect time-out lasts."""

    @staticmethod
    def flaky_links(monkeypatch, lost):
        made = []

        class Flaky(ClientLink):
            CLOSED = "closed"

            def __init__(self, destination, established):
                ClientLink.establish = len(made) >= lost
                super().__init__(destination, established)
                self.status = "pending"
                made.append((time.monotonic(), self))
                if not ClientLink.establish:
                    threading.Timer(0.2, setattr, (self, "status", "closed")).start()

        monkeypatch.setattr(ClientRNS, "Link", Flaky)
        return made

    def test_new_link_after_a_lost_one(self, rns, tmp_path, monkeypatch):
        made = self.flaky_links(monkeypatch, lost=1)
        c = make_client(tmp_path, connect_timeout=3.0)
        run(c.connect())
        (first_at, first), (second_at, second) = made
        assert c._link is second and c.is_connected
        assert first.teardowns == 0  # Reticulum closed it already
        assert 0.9 < second_at - first_at < 1.5  # not back to back
        assert run(c.get("/x")).body == b"GET /x"

    def test_links_lost_until_the_time_out(self, rns, tmp_path, monkeypatch):
        made = self.flaky_links(monkeypatch, lost=99)
        c = make_client(tmp_path, connect_timeout=2.5)
        start = time.monotonic()
        with pytest.raises(TransportError, match="^Connection timeout$"):
            run(c.connect())
        assert 2.4 < time.monotonic() - start < 3.0
        assert len(made) == 3 and c._link is None
        assert made[-1][1].teardowns == 1


def test_close_and_context_manager(rns, tmp_path):
    c, link = connected_client(tmp_path)
    run(c.close())
    run(c.close())
    assert link.teardowns == 1 and not c.is_connected

    class Boom(Exception):
        pass

    async def body_raises():
        async with make_client(tmp_path) as entered:
            assert entered.is_connected
            raise Boom

    with pytest.raises(Boom):
        run(body_raises())
    assert ClientLink.instances[-1].teardowns == 1

    ClientLink.establish = False

    async def enter_fails():
        async with make_client(tmp_path, connect_timeout=0.1):
            pass

    with pytest.raises(TransportError):
        run(enter_fails())
    assert ClientLink.instances[-1].teardowns == 1  # from the connect time-out, not from close


def test_teardown_error_in_close_keeps_link(rns, tmp_path):
    c, link = connected_client(tmp_path)

    def broken():
        raise OSError("gone")

    link.teardown = broken
    with pytest.raises(OSError):
        run(c.close())
    assert c._link is link


# ----- requests ------------------------------------------------------------------------


def test_request_connects_first_and_sends_what_it_was_given(rns, tmp_path):
    c = make_client(tmp_path)
    seen = []
    headers = {"A": "b"}
    resp = run(c.get("/x"))
    assert c.is_connected and resp.status == 200 and resp.body == b"GET /x"
    link = c._link
    link.server = lambda req: seen.append(req) or echo(req)
    assert run(c.post("/p", b"abc")).body == b"POST /p abc"
    assert run(c.put("/q", None, headers)).body == b"PUT /q"
    assert run(c.delete("/d")).body == b"DELETE /d"
    assert run(c.request("/l", "get")).status == 400
    assert link.raw[-1] == b"get /l HTTP/1.1\r\n\r\n"
    assert [(r.method, r.path, r.body) for r in seen] == [
        ("POST", "/p", b"abc"), ("PUT", "/q", None), ("DELETE", "/d", None)]
    assert seen[1].headers == {"a": "b"} and seen[2].headers == {}


def test_request_passes_caller_headers_object(rns, tmp_path, monkeypatch):
    c, _ = connected_client(tmp_path)
    made = []
    real = HttpRequest

    def spy(**kw):
        made.append(kw)
        return real(**kw)

    monkeypatch.setattr(client_mod, "HttpRequest", spy)
    headers = {"K": "v"}
    run(c.get("/", headers))
    run(c.get("/", {}))
    assert made[0]["headers"] is headers
    assert made[1]["headers"] == {} and made[1]["headers"] is not None


def test_not_connected(rns, tmp_path):
    c = make_client(tmp_path)
    with pytest.raises(TransportError, match="^Not connected$"):
        run(c._send_request(b"GET / HTTP/1.1\r\n\r\n"))
    assert ClientTransport.calls == []

    async def noop():
        return None

    c.connect = lambda: noop()
    with pytest.raises(TransportError, match="^Not connected$"):
        run(c.get("/"))


@pytest.mark.parametrize("chunk", [1, 7, 423, 100000])
def test_response_assembled_across_notifications(rns, tmp_path, chunk):
    c, link = connected_client(tmp_path)
    link.chunk = chunk
    payload = os.urandom(20000 if chunk > 100 else 3000)
    link.server = lambda req: bytes(HttpResponse(200, body=payload))
    assert hashlib.sha256(run(c.get("/big")).body).digest() == hashlib.sha256(payload).digest()
    chunked = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"
    link.server = lambda req: chunked
    assert run(c.get("/c")).body == b"hello world"
    link.server = lambda req: b"HTTP/1.1 204 No Content\r\n\r\n"
    assert run(c.get("/n")).status == 204
    # A HEAD answer announces a length but carries no body.
    link.server = lambda req: b"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n"
    assert run(c.request("/h", "HEAD")).status == 200
    link.server = echo
    assert run(c.get("/after")).body == b"GET /after"
    assert len(ClientBufferFactory.created) == 1
    assert ClientBufferFactory.created == [(1, 0)]
    callback = link.buffers[0].callback
    assert callback.__qualname__ == "HttpClient._send_request.<locals>.on_reader_ready"
    assert callback.__annotations__ == {"ready": int, "return": None}


def test_late_response_after_timeout_is_discarded(rns, tmp_path):
    c, link = connected_client(tmp_path, request_timeout=0.3)
    link.delay = 0.6
    start = time.monotonic()
    with pytest.raises(TransportError, match="^Request timeout$"):
        run(c.get("/slow"))
    assert 0.25 < time.monotonic() - start < 1.5
    link.delay = 0.0
    c._request_timeout = 5.0
    assert run(c.get("/next")).body == b"GET /next"
    assert run(c.get("/third")).body == b"GET /third"


class TestTimeoutsFollowTheLink:
    """The request time-out bounds each silence until the answer's first bytes (writing
    the request included), the read time-out each silence after them; a transfer that
    keeps moving goes on however long it takes."""

    def test_answer_trickling_in_outlasts_both_time_outs(self, rns, tmp_path):
        c, link = connected_client(tmp_path, request_timeout=0.6, read_timeout=0.4)
        link.delay, link.chunk, link.gap = 0.3, 100, 0.1
        body = os.urandom(1500)
        link.server = lambda req: bytes(HttpResponse(200, body=body))
        start = time.monotonic()
        assert run(c.get("/slow")).body == body
        assert time.monotonic() - start > 1.2

    @pytest.mark.parametrize("first", [10.0, None])
    def test_silence_in_the_answer_ends_it_after_the_read_time_out(self, rns, tmp_path, first):
        c, link = connected_client(tmp_path, request_timeout=first, read_timeout=0.3)
        link.server = lambda req: b"HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n\r\nthe start"
        start = time.monotonic()
        with pytest.raises(TransportError, match="^Request timeout$"):
            run(c.get("/cut"))
        assert 0.25 < time.monotonic() - start < 1.5
        assert not c.is_connected and link.teardowns == 1

    def test_no_read_time_out_waits_for_the_answer(self, rns, tmp_path):
        c, link = connected_client(tmp_path, request_timeout=0.3, read_timeout=None)
        link.chunk, link.gap = 50, 0.35
        assert run(c.get("/x")).body == b"GET /x"

    def test_request_written_slowly_is_not_cut_short(self, rns, tmp_path, monkeypatch):
        class Channel:
            """Ready once every `every` seconds, as a window that opens with each proof."""

            def __init__(self, link, every):
                self.link, self.every, self.opens = link, every, time.monotonic()

            def __getitem__(self, i):
                return ("channel", self.link)[i]

            def is_ready_to_send(self):
                if time.monotonic() < self.opens:
                    return False
                self.opens = time.monotonic() + self.every
                return True

        c, link = connected_client(tmp_path, request_timeout=0.4, read_timeout=0.4)
        link.get_channel = lambda: Channel(link, 0.1)
        body = os.urandom(6000)  # 15 messages, one every 0.1 s
        start = time.monotonic()
        assert run(c.post("/up", body)).body == b"POST /up " + body
        assert time.monotonic() - start > 1.2


def test_silent_server_times_out_and_closes_link(rns, tmp_path):
    """A request left unanswered would hold its place in the answer order for good, so
    every later request on that link would time out too: the link goes, the next request
    connects again."""
    c, link = connected_client(tmp_path, request_timeout=0.2)
    link.server = lambda req: None
    with pytest.raises(TransportError, match="^Request timeout$"):
        run(c.get("/"))
    assert link.teardowns == 1 and c._link is None and not c.is_connected
    assert run(c.get("/after")).body == b"GET /after"
    assert c._link is not link and len(ClientLink.instances) == 2


def test_link_closing_ends_the_wait_and_is_replaced(rns, tmp_path, monkeypatch):
    monkeypatch.setattr(ClientLink, "CLOSED", "closed", raising=False)
    c, link = connected_client(tmp_path, request_timeout=10.0)
    link.status = "active"
    link.server = lambda req: None
    threading.Timer(0.3, setattr, (link, "status", "closed")).start()
    start = time.monotonic()
    with pytest.raises(TransportError, match="^No response received$"):
        run(c.get("/"))
    assert time.monotonic() - start < 2.5 and not c.is_connected
    assert run(c.get("/again")).status == 200  # a fresh link
    assert c._link is not link and link.teardowns == 0  # already closed: nothing to tear down


def test_is_connected_follows_link_status(rns, tmp_path, monkeypatch):
    monkeypatch.setattr(ClientLink, "CLOSED", "closed", raising=False)
    c, link = connected_client(tmp_path)
    del link.status
    assert c.is_connected  # a link without status: as before
    link.status = "active"
    assert c.is_connected
    link.status = "closed"
    assert not c.is_connected and c._link is link
    with pytest.raises(TransportError, match="^Not connected$"):
        run(c._send_request(b"GET / HTTP/1.1\r\n\r\n"))  # does not connect by itself
    assert run(c.get("/x")).body == b"GET /x" and c.is_connected


@pytest.mark.parametrize("text, expected", [("boom", "Request failed: boom"), ("", "Request failed: ")])
def test_read_error_becomes_transport_error_with_cause(rns, tmp_path, text, expected):
    c, link = connected_client(tmp_path)
    run(c.get("/warm"))
    err = ValueError(text)
    link.buffers[0].read_error = err
    with pytest.raises(TransportError) as info:
        run(c.get("/x"))
    assert str(info.value) == expected and info.value.__cause__ is err


def test_unparsable_response_raises_parser_error_and_client_recovers(rns, tmp_path):
    c, link = connected_client(tmp_path)
    link.server = lambda req: b"NOT HTTP AT ALL\r\n\r\n"
    with pytest.raises(HttpParserError):
        run(c.get("/bad"))
    link.server = echo
    assert run(c.get("/good")).body == b"GET /good"


def test_exchanges_from_many_threads_are_serialized_and_never_crossed(rns, tmp_path):
    c, link = connected_client(tmp_path)
    link.chunk = 5
    results, errors = {}, []

    def worker(i):
        try:
            for j in range(5):
                path = f"/t{i}/{j}"
                results[path] = run(c.get(path)).body
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors
    assert len(results) == 40
    assert all(body == b"GET " + path.encode() for path, body in results.items())
    assert link.max_in_flight == 1
    assert len(ClientBufferFactory.created) == 1


# ----- writes through RNS's own raw writer ---------------------------------------------


class WindowChannel:
    """What RNS's raw writer needs of a channel, on a base-MTU link: its MDU, send, and a
    window of two messages whose proofs come back shortly. Each message is unpacked as the
    far end does and handed to the link's server."""

    mdu = 425

    def __init__(self, link):
        self.link, self.buffer = link, None
        self.messages, self.refused, self.in_flight = [], 0, 0
        self.lock = threading.Lock()

    def __getitem__(self, i):
        return ("channel", self.link)[i]

    def is_ready_to_send(self):
        with self.lock:
            return self.in_flight < 2

    def send(self, message):
        from RNS.Channel import CEType, ChannelException
        with self.lock:
            if self.in_flight >= 2:
                self.refused += 1  # the buffered writer above is spinning
                raise ChannelException(CEType.ME_LINK_NOT_READY, "not ready")
            self.in_flight += 1
        self.messages.append(message)
        threading.Timer(0.002, self.proved).start()
        data = bz2.decompress(message.data) if message.compressed else message.data
        self.link.on_request(self.buffer, data)

    def proved(self):
        with self.lock:
            self.in_flight -= 1


class RawWriterBuffer(ClientBuffer):
    """Writes go through io.BufferedWriter over RNS.RawChannelWriter, as in RNS.Buffer."""

    def __init__(self, link, callback, channel):
        super().__init__(link, callback)
        import RNS
        self.channel, channel.buffer = channel, self
        self.writer = io.BufferedWriter(RNS.RawChannelWriter(0, channel))
        self.per_flush = []

    def write(self, data):
        self.before = len(self.channel.messages)
        return self.writer.write(data)

    def flush(self):
        self.writer.flush()
        self.per_flush.append(len(self.channel.messages) - self.before)  # messages of write + flush


def sensor_json(size):
    import json
    import random
    rng, rows = random.Random(5), []
    while len(text := json.dumps(rows, indent=1)) < size:
        rows.append({"station": "node-%02d" % rng.randrange(16), "value": round(rng.uniform(0, 40), 2),
                     "kind": rng.choice(["temp", "hum", "wind"]), "ok": rng.random() > 0.1})
    return text.encode()[:size]


def raw_writer_messages(data):
    """Messages RNS's own writer makes of `data` when handed all of it at every write."""
    import RNS

    class Always:
        mdu, sent = WindowChannel.mdu, 0

        def send(self, message):
            self.sent += 1

        def is_ready_to_send(self):
            return True

    channel = Always()
    writer, view = RNS.RawChannelWriter(0, channel), memoryview(data)
    while view:
        view = view[writer.write(bytes(view[:writer.MAX_CHUNK_LEN])):]
    return channel.sent


class TestWritesThroughRawWriter:
    """Each write is what RNS's raw writer sends as one message, compressed at least as
    well as that writer does when given everything: no write it has to split (which
    spins the buffered writer while the window is shut), and the bytes arrive exact."""

    @pytest.fixture
    def client(self, rns, tmp_path, monkeypatch):
        import RNS
        monkeypatch.setattr(ClientRNS, "RawChannelWriter", RNS.RawChannelWriter, raising=False)

        def create(rx, tx, channel, callback):
            buffer = RawWriterBuffer(channel.link, callback, channel)
            channel.link.buffers.append(buffer)
            return buffer

        monkeypatch.setattr(ClientBufferFactory, "create_bidirectional_buffer", staticmethod(create))
        c, link = connected_client(tmp_path)
        channel = WindowChannel(link)
        link.get_channel = lambda: channel
        return c, channel

    @staticmethod
    def written(client, body):
        c, channel = client
        channel.messages.clear()
        channel.buffer and channel.buffer.per_flush.clear()
        assert run(c.post("/up", body)).body == b"POST /up " + body
        sent = b"".join(bz2.decompress(m.data) if m.compressed else m.data for m in channel.messages)
        assert sent == bytes(HttpRequest(method="POST", path="/up", headers={}, body=body))
        assert channel.refused == 0 and set(channel.buffer.per_flush) == {1}
        return len(channel.messages), raw_writer_messages(sent)

    @pytest.mark.parametrize("kind", ["json", "random", "repetitive"])
    def test_one_message_per_write_packed_at_least_as_tight(self, client, kind):
        rng = random.Random(kind)
        body = {"json": lambda: sensor_json(10240), "random": lambda: rng.randbytes(10240),
                "repetitive": lambda: b"radio lab " * 5000}[kind]()
        ours, raw = self.written(client, body)
        assert ours <= raw
        if kind == "random":
            assert ours == -(-(len(body) + 44) // 423)  # an MDU each, nothing lost to packing

    def test_changing_data_packed_no_looser_overall(self, client):
        rng, ours, raw = random.Random(3), 0, 0
        for _ in range(8):
            body = b"".join(rng.choice([rng.randbytes, sensor_json, lambda n: b"ab%d" % n * (n // 4)])(
                rng.randrange(200, 6000)) for _ in range(rng.randrange(2, 5)))
            counts = self.written(client, body)
            ours, raw = ours + counts[0], raw + counts[1]
        assert ours <= raw


# ----- the command ---------------------------------------------------------------------


def prepare_main(monkeypatch, argv, server=echo, establish=True):
    """Sets the stage for client_mod.main(): argv, captured output, the link's server and a
    client with a short connect time-out. Returns the output's bytes, its text layer and the
    captured standard error."""
    ClientLink.establish = establish
    out_bytes = io.BytesIO()
    out = io.TextIOWrapper(out_bytes, encoding="utf-8")
    err = io.StringIO()
    monkeypatch.setattr(sys, "argv", ["zivane-client", *argv])
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    original_init = ClientLink.__init__

    def init(self, *a):
        original_init(self, *a)
        self.server = server

    monkeypatch.setattr(ClientLink, "__init__", init)

    class QuickClient(HttpClient):
        def __init__(self, **kw):
            super().__init__(**{**kw, "connect_timeout": 0.3})

    monkeypatch.setattr(client_mod, "HttpClient", QuickClient)
    return out_bytes, out, err


def run_main(monkeypatch, argv, server=echo, establish=True):
    out_bytes, out, err = prepare_main(monkeypatch, argv, server, establish)
    with pytest.raises(SystemExit) as info:
        asyncio.run(client_mod.main())
    out.flush()
    return info.value.code, out_bytes.getvalue(), err.getvalue()


def test_main_prints_head_then_body(rns, tmp_path, monkeypatch):
    seen = []

    def server(req):
        seen.append(req)
        return bytes(HttpResponse(200, headers={"X-A": "1"}, body=b"Hello world!"))

    code, out, err = run_main(monkeypatch, [DEST.hex(), "80", "--identity", str(tmp_path / "i")], server)
    assert code == 0 and err == ""
    assert out == b"HTTP/1.1 200 OK\nx-a: 1\ncontent-length: 12\n\nHello world!"
    assert (seen[0].method, seen[0].path, seen[0].headers, seen[0].body) == ("GET", "/", {}, None)
    assert ClientRNS.reticulum_calls == [(None, ClientRNS.LOG_WARNING)]
    assert ClientLink.instances[0].teardowns == 1


def test_main_options(rns, tmp_path, monkeypatch):
    seen = []

    def server(req):
        seen.append(req)
        return bytes(HttpResponse(404, body=b""))

    argv = [DEST.hex(), "80", "post", "/p", "-H", "Accept: text/plain ", "-H", "A=b=c",
            "-H", "X-T: a=b", "--body", "é", "-r", "-v", "--config", str(tmp_path)]
    code, out, err = run_main(monkeypatch, argv, server)
    assert (code, out, err) == (1, b"404\n", "")
    req = seen[0]
    assert (req.method, req.path, req.body) == ("POST", "/p", "é".encode())
    assert req.headers == {"accept": "text/plain", "a": "b=c", "x-t": "a=b", "content-length": "2"}
    assert ClientRNS.reticulum_calls == [(str(tmp_path), ClientRNS.LOG_VERBOSE)]

    code, out, _ = run_main(monkeypatch, [DEST.hex(), "80", "-r", "--body", ""],
                            lambda r: seen.append(r) or bytes(HttpResponse(399, body=b"")))
    assert (code, out, seen[-1].body) == (0, b"399\n", None)


def test_main_leaves_the_client_as_async_with_does(rns, tmp_path, monkeypatch):
    """The exit after printing leaves the `async with` body: __aexit__ hears of it and may
    swallow it; an exception of __aexit__'s own has it as its context."""
    argv = [DEST.hex(), "80", "-r", "--identity", str(tmp_path / "i")]
    exits = []

    async def swallow(self, exc_type, exc, tb):
        exits.append((exc_type, exc.code, tb is exc.__traceback__))
        return True

    monkeypatch.setattr(HttpClient, "__aexit__", swallow)
    out_bytes, out, err = prepare_main(monkeypatch, argv)
    assert asyncio.run(client_mod.main()) is None
    out.flush()
    assert out_bytes.getvalue() == b"200\n" and exits == [(SystemExit, 0, True)]

    async def fail(self, exc_type, exc, tb):
        raise RuntimeError("exit failed")

    monkeypatch.setattr(HttpClient, "__aexit__", fail)
    prepare_main(monkeypatch, argv)
    with pytest.raises(RuntimeError, match="exit failed") as info:
        asyncio.run(client_mod.main())
    assert isinstance(info.value.__context__, SystemExit) and info.value.__context__.code == 0


def test_reader_callback_is_nested_and_the_writer_ends_with_its_session(rns, tmp_path, monkeypatch):
    monkeypatch.setattr(client_mod, "_WRITER_IDLE", 60.0)  # only the session's end stops it
    c, link = connected_client(tmp_path)
    before = set(threading.enumerate())
    assert run(c.get("/")).status == 200
    callback = link.buffers[0].callback
    assert callback.__qualname__ == "HttpClient._send_request.<locals>.on_reader_ready"
    assert (callback.__module__, callback.__annotations__) == ("zivane.client", {"ready": int, "return": None})
    writers = [t for t in set(threading.enumerate()) - before if t.name.endswith("(writer)")]
    assert len(writers) == 1
    run(c.close())
    writers[0].join(5)
    assert not writers[0].is_alive()


def test_main_errors(rns, tmp_path, monkeypatch):
    code, out, err = run_main(monkeypatch, [DEST.hex(), "80", "-H", "NoSeparator"])
    assert code == 2 and out == b"" and "NoSeparator" in err and "usage:" in err
    assert ClientRNS.reticulum_calls == []
    code, out, err = run_main(monkeypatch, [DEST.hex(), "notaport"])
    assert code == 2
    code, out, err = run_main(monkeypatch, [DEST.hex(), "80"], establish=False)
    assert (code, out, err) == (1, b"", "Error: Connection timeout\n")
    code, out, err = run_main(monkeypatch, [DEST.hex(), "80"],
                              lambda r: bytes(HttpResponse(500, body=b"bad")))
    assert code == 1 and out.endswith(b"\n\nbad") and err == ""
    ClientTransport.path_known = ClientTransport.path_arrives = False  # a destination nobody knows
    code, out, err = run_main(monkeypatch, ["00" * 16, "80"])
    assert (code, out, err) == (1, b"", "Error: Timeout waiting for path to server\n")
