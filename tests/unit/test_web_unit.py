"""zivane.web's transports and the shared link code (proxy/links) against a stand-in
Reticulum (fakes/client.py): a link whose server side answers as each test scripts it.

`ProvingLink` adds what a real RNS.Channel shows: every message sent gets a sequence
number, incoming messages pass the channel's handlers before the buffer has them, and a
shut window (`is_ready_to_send`) holds what the client writes back."""

import asyncio
import queue
import threading
import time

import pytest

httpx = pytest.importorskip("httpx")
requests = pytest.importorskip("requests")

import zivane.client as client_mod  # noqa: E402
import zivane.web as web  # noqa: E402
from fakes.client import ClientLink, ClientRNS  # noqa: E402
from zivane.types import HttpRequest  # noqa: E402

DEST = "00" * 16
BASE = f"http://{DEST}.rns"


def answer(body, status=200, headers=(), length=None):
    """An HTTP/1.1 answer; `length` claims another Content-Length than the body has."""
    body = body.encode() if isinstance(body, str) else body
    lines = [f"HTTP/1.1 {status} {'OK' if status == 200 else 'Moved'}"]
    lines += [f"{name}: {value}" for name, value in headers]
    lines.append(f"Content-Length: {len(body) if length is None else length}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def path_answer(request):
    return answer(request.path)


class Message:
    def __init__(self, data):
        self.stream_id, self.data = 1, data


class ProvingChannel:
    def __init__(self, link):
        self.link = link
        self._next_sequence = 0
        self.handlers = []
        self.open = threading.Event()
        self.open.set()

    def is_ready_to_send(self):
        return self.open.is_set()

    def __getitem__(self, index):  # what the stand-in buffer factory reads
        return ("channel", self.link)[index]

    def add_message_handler(self, handler):
        self.handlers.append(handler)


class ProvingLink(ClientLink):
    """Answers are pieces of bytes, seconds of silence, or calls (on the answering thread)."""

    def __init__(self, *args):
        self.channel = ProvingChannel(self)
        self.queue = queue.Queue()
        super().__init__(*args)
        threading.Thread(target=self.carry, daemon=True).start()

    def get_channel(self):
        return self.channel

    def set_link_closed_callback(self, callback):
        self.closed_callback = callback

    def identify(self, identity):
        self.identified = identity

    def on_request(self, buffer, data):
        self.channel._next_sequence += 1
        self.received += data
        while (message := self.take_request()) is not None:
            self.raw.append(message)
            reply = (self.server or ClientLink.responder or path_answer)(HttpRequest.parse(message))
            for piece in reply if isinstance(reply, list) else [reply] if reply else []:
                self.queue.put(("data", buffer, piece))  # bytes, or seconds of silence

    def carry(self):
        while True:
            _, buffer, data = self.queue.get()
            if isinstance(data, float):
                time.sleep(data)
                continue
            if callable(data):
                data(self)
                continue
            for i in range(0, len(data), 97):
                piece = data[i:i + 97]
                for handler in self.channel.handlers:
                    handler(Message(piece))
                buffer.deliver(piece).join()


class ProvingRNS(ClientRNS):
    Link = ProvingLink


@pytest.fixture
def rns(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    ClientRNS.reset()
    monkeypatch.setattr(client_mod, "RNS", ProvingRNS)
    monkeypatch.setattr(web, "RNS", ProvingRNS)
    return ProvingRNS


@pytest.fixture
def identity(tmp_path):
    return str(tmp_path / "id" / "identity")


def paths_answered(got):
    """(asked, answered) for each outcome that was an answer."""
    return [(asked, body) for asked, body in got if body is not None]


# ----- answers nobody asked for -----------------------------------------------------------


def twice(request):
    return answer(request.path) + answer("extra for " + request.path)


def twice_late(request):
    # The extra answer comes while the next request waits for the channel's window.
    return [lambda link: link.channel.open.clear(), answer(request.path), 0.3,
            answer("extra for " + request.path), 0.1, lambda link: link.channel.open.set()]


@pytest.mark.parametrize("kind", ["requests", "httpx"])
@pytest.mark.parametrize("server", [twice, twice_late])
def test_an_answer_nobody_asked_for_ends_the_link_and_never_reaches_a_request(rns, identity, kind, server):
    ClientLink.responder = server
    got = []
    if kind == "requests":
        session = requests.Session()
        session.mount("http://", web.RequestsAdapter(identity_path=identity))
        call, error = (lambda url: session.get(url, timeout=5).text), requests.exceptions.ConnectionError
    else:
        client = httpx.Client(transport=web.HttpxTransport(identity_path=identity), timeout=5)
        call, error = (lambda url: client.get(url).text), httpx.TransportError
    for i in range(6):
        try:
            got.append((f"/r{i}", call(f"{BASE}/r{i}")))
        except error:
            got.append((f"/r{i}", None))
    answered = paths_answered(got)
    assert all(asked == body for asked, body in answered), got
    assert len(answered) >= 3 and len(ClientLink.instances) >= 2


def test_bytes_before_any_request_and_without_proofs_still_end_the_link(monkeypatch, rns, identity):
    # A channel that shows no proofs: only bytes arriving while nothing waits are judged.
    monkeypatch.setattr(ProvingLink, "get_channel", lambda self: ("channel", self))
    ClientLink.responder = lambda request: answer(request.path) + answer("extra")
    client = httpx.Client(transport=web.HttpxTransport(identity_path=identity), timeout=5)
    assert client.get(BASE + "/one").text == "/one"
    time.sleep(0.3)  # the extra answer arrives while nothing waits
    assert client.get(BASE + "/two").text == "/two"
    assert len(ClientLink.instances) == 2


# ----- closing answers ----------------------------------------------------------------------


def endless(request):
    if request.path == "/endless":
        return answer(b"x" * 50, length=10_000_000)
    return answer(request.path)


def test_async_close_while_a_read_waits_returns_at_once_and_the_next_request_goes_out(rns, identity):
    ClientLink.responder = endless

    async def main():
        client = httpx.AsyncClient(transport=web.AsyncHttpxTransport(identity_path=identity), timeout=20)
        async with client.stream("GET", BASE + "/endless") as response:
            pieces = response.aiter_raw()
            assert len(await pieces.__anext__()) > 0
            reading = asyncio.ensure_future(pieces.__anext__())
            await asyncio.sleep(0.3)  # the read now waits on a pool thread
            started = time.monotonic()
            await response.aclose()
            closed_in = time.monotonic() - started
            reading.cancel()
            await asyncio.gather(reading, return_exceptions=True)
        started = time.monotonic()
        text = (await client.get(BASE + "/after")).text
        return closed_in, text, time.monotonic() - started

    closed_in, text, next_in = asyncio.run(main())
    assert closed_in < 5 and next_in < 10  # against time-outs of 20 s
    assert text == "/after"


def test_closing_an_unfinished_answer_sends_the_next_request_on_a_new_link(rns, identity):
    ClientLink.responder = endless
    client = httpx.Client(transport=web.HttpxTransport(identity_path=identity), timeout=20)
    with client.stream("GET", BASE + "/endless") as response:
        next(response.iter_raw())
    started = time.monotonic()
    assert client.get(BASE + "/after").text == "/after"
    assert time.monotonic() - started < 10
    assert len(ClientLink.instances) == 2
    assert ClientLink.instances[0].teardowns >= 1  # nobody else waited on it

    session = requests.Session()
    session.mount("http://", web.RequestsAdapter(identity_path=identity))
    streamed = session.get(BASE + "/endless", stream=True, timeout=20)
    streamed.close()
    assert session.get(BASE + "/later", timeout=20).text == "/later"


def test_an_answer_given_up_with_another_queued_behind_is_dropped_and_the_link_retired(rns, identity):
    long = answer(b"y" * 30000)
    ClientLink.responder = lambda request: [long[:200], 1.0, long[200:]] if request.path == "/long" \
        else answer(request.path)
    client = httpx.Client(transport=web.HttpxTransport(identity_path=identity), timeout=20)
    behind = {}
    with client.stream("GET", BASE + "/long") as response:
        next(response.iter_raw())
        thread = threading.Thread(target=lambda: behind.update(text=client.get(BASE + "/behind").text))
        thread.start()
        time.sleep(0.3)  # /behind is written on the same link, its answer after /long's
    thread.join(20)
    assert behind == {"text": "/behind"}
    assert client.get(BASE + "/new").text == "/new"
    first, second = ClientLink.instances
    assert [r.split(b" ")[1] for r in first.raw] == [b"/long", b"/behind"]
    assert [r.split(b" ")[1] for r in second.raw] == [b"/new"]
    assert first.teardowns >= 1  # once nobody waited on it any more


def test_a_request_given_up_while_queued_leaves_the_others_their_own_answers(rns, identity):
    release = threading.Event()

    def slow_first(request):
        if request.path == "/slow":
            release.wait(10)
        return answer(request.path)

    ClientLink.responder = slow_first

    async def main():
        client = httpx.AsyncClient(transport=web.AsyncHttpxTransport(identity_path=identity), timeout=20)
        slow = asyncio.ensure_future(client.get(BASE + "/slow"))
        await asyncio.sleep(0.3)
        queued = asyncio.ensure_future(client.get(BASE + "/queued"))
        await asyncio.sleep(0.3)
        queued.cancel()  # its request went out behind /slow; its answer is dropped
        await asyncio.gather(queued, return_exceptions=True)
        release.set()
        first = (await slow).text
        after = [(await client.get(BASE + f"/after{i}")).text for i in range(3)]
        return first, after

    first, after = asyncio.run(main())
    assert first == "/slow" and after == ["/after0", "/after1", "/after2"]


def test_a_cancelled_task_before_its_answer_started_does_not_shift_later_answers(rns, identity):
    def late(request):
        if request.path == "/late":
            time.sleep(0.5)
        return answer(request.path)

    ClientLink.responder = late

    async def main():
        client = httpx.AsyncClient(transport=web.AsyncHttpxTransport(identity_path=identity), timeout=20)
        task = asyncio.ensure_future(client.get(BASE + "/late"))
        await asyncio.sleep(0.2)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        return [(await client.get(BASE + f"/n{i}")).text for i in range(3)]

    assert asyncio.run(main()) == ["/n0", "/n1", "/n2"]


def test_a_time_out_on_a_shared_link_fails_the_requests_behind_it_and_not_the_next(rns, identity):
    def silent_first(request):
        return None if request.path in ("/silent", "/behind") else answer(request.path)

    ClientLink.responder = silent_first
    client = httpx.Client(transport=web.HttpxTransport(identity_path=identity), timeout=1.5)
    outcomes = {}

    def get(path):
        try:
            outcomes[path] = client.get(BASE + path).text
        except httpx.TransportError as exc:
            outcomes[path] = type(exc).__name__

    first = threading.Thread(target=get, args=("/silent",))
    first.start()
    time.sleep(0.3)
    behind = threading.Thread(target=get, args=("/behind",))
    behind.start()
    first.join(15)
    behind.join(15)
    assert outcomes["/silent"] == "ReadTimeout"
    assert outcomes["/behind"] in ("ReadTimeout", "RemoteProtocolError")
    assert client.get(BASE + "/next").text == "/next"


# ----- requests: what it reads from raw -------------------------------------------------------


def cookie_site(request):
    if request.path == "/login":
        return answer("in", status=302, headers=[("Location", "/home"), ("Set-Cookie", "sid=abc; Path=/"),
                                                 ("Set-Cookie", "theme=dark; Path=/")])
    if request.path == "/home":
        return answer(request.headers.get("cookie", ""), headers=[("X-Multi", "a"), ("X-Multi", "b")])
    return answer(request.path)


def test_requests_keeps_cookies_set_on_answers_and_redirects(rns, identity):
    ClientLink.responder = cookie_site
    session = requests.Session()
    session.mount("http://", web.RequestsAdapter(identity_path=identity))
    response = session.get(BASE + "/login", timeout=10)
    assert response.status_code == 200 and response.history[0].status_code == 302
    assert response.history[0].cookies.get("sid") == "abc"
    assert sorted(response.text.split("; ")) == ["sid=abc", "theme=dark"]
    assert session.cookies.get("sid") == "abc" and session.cookies.get("theme") == "dark"
    assert response.headers["X-Multi"] == "a, b"
    assert response.reason == "OK" and response.raw.version == 11
    assert response.history[0].reason == "Moved"
