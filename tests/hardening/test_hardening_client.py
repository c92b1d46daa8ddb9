"""HttpClient against a hostile server over a real loopback Reticulum.

The server here is a raw RNS destination "HTTP"/port of our own that reads request heads
on stream 0 and answers on stream 1 with whatever a test asks for by path: silence, an
answer announcing more than it sends, interim answers, bodies delimited by the link
closing, two answers for one request, bytes that are not HTTP, endless bodies, answers that
take longer than Reticulum's idle time. A client process runs the requests one command at
a time and reports outcome, connection state and memory. Framing details that need no
network run against the stand-in Reticulum (fakes/client.py); the writer hand-off runs in a
process of its own, so that a hang shows as a time-out."""

import asyncio
import json
import os
import subprocess

import pytest

from helpers import SANITIZED, run_python
from zivane.client import HttpClient, TransportError
from zivane.types import HttpParserError, HttpResponse

PORT = 8321

# ARGS: port. Prints READY <hash>; stdin: LINKS -> LINKS <established> <open>.
RAW_SERVER = """
import re
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
identity = RNS.Identity()
destination = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", ARGS[0])
links = []

def ok(body):
    return b"HTTP/1.1 200 OK\\r\\nContent-Length: %d\\r\\n\\r\\n" % len(body) + body

def send(link, channel, buf, data):
    piece = 16384
    for i in range(0, len(data), piece):
        while not channel.is_ready_to_send():
            if link.status == RNS.Link.CLOSED:
                return False
            time.sleep(0.001)
        buf.write(data[i:i + piece])
        buf.flush()
    return True

def endless(link, channel, buf, head, chunk):
    send(link, channel, buf, head)
    block = b"x" * 16384
    while send(link, channel, buf, chunk(block)):
        pass

def close_later(link, seconds=0.5):
    time.sleep(seconds)
    link.teardown()

def answer(link, channel, buf, path, query):
    say = lambda data: send(link, channel, buf, data)
    if path == "/ok":
        say(ok(("answer " + query).encode()))
    elif path == "/silent":
        pass
    elif path == "/announce":
        say(b"HTTP/1.1 200 OK\\r\\nContent-Length: 10000000\\r\\n\\r\\nonly this")
    elif path == "/continue":
        say(b"HTTP/1.1 100 Continue\\r\\n\\r\\n" * 20 + ok(b"after twenty"))
    elif path == "/until-close":
        say(b"HTTP/1.1 200 OK\\r\\n\\r\\n" + b"delimited by the close " * 100)
        close_later(link)
    elif path == "/until-eof":
        say(b"HTTP/1.1 200 OK\\r\\nTransfer-Encoding: gzip\\r\\n\\r\\nends with the stream")
        time.sleep(0.3)
        buf.close()
    elif path == "/twice":
        say(ok(b"first") + ok(b"second"))
    elif path == "/stray":
        say(ok(b"asked for"))
        time.sleep(0.3)
        say(ok(b"nobody asked"))
    elif path == "/garbage":
        say(b"this is not http")
    elif path == "/endless-chunked":
        endless(link, channel, buf, b"HTTP/1.1 200 OK\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n",
                lambda b: b"%x\\r\\n" % len(b) + b + b"\\r\\n")
    elif path == "/endless-close":
        endless(link, channel, buf, b"HTTP/1.1 200 OK\\r\\n\\r\\n", lambda b: b)
    elif path == "/endless-length":
        endless(link, channel, buf, b"HTTP/1.1 200 OK\\r\\nContent-Length: 1000000000000\\r\\n\\r\\n",
                lambda b: b)
    elif path == "/big":
        say(ok(b"b" * int(query)))
    elif path == "/slow":
        time.sleep(float(query))
        say(ok(b"slow answer"))
    elif path == "/then-close":
        say(ok(b"last one"))
        close_later(link)

def on_link(link):
    links.append(link)
    channel = link.get_channel()
    pending = bytearray()
    lock = threading.Lock()
    def ready(n):
        with lock:
            while True:
                data = buf.read(65536)
                if not data:
                    break
                pending.extend(data)
            heads = []
            while b"\\r\\n\\r\\n" in pending:
                end = pending.index(b"\\r\\n\\r\\n") + 4
                heads.append(bytes(pending[:end]))
                del pending[:end]
        for head in heads:
            target = head.split(b" ")[1].decode()
            path, _, query = target.partition("?")
            threading.Thread(target=answer, args=(link, channel, buf, path, query), daemon=True).start()
    buf = RNS.Buffer.create_bidirectional_buffer(0, 1, channel, ready)

destination.set_link_established_callback(on_link)
destination.announce()
print("READY", destination.hash.hex(), flush=True)
for line in sys.stdin:
    if line.startswith("LINKS"):
        alive = sum(l.status != RNS.Link.CLOSED for l in links)
        print("LINKS", len(links), alive, flush=True)
"""

# ARGS: dest_hash port identity. One JSON command per stdin line, one RESULT line each:
#   {"path": p, "timeout": t}        a GET; -> status, body, error, seconds, connected
#   {"set": name, "value": v}        sets a zivane.client module global
#   {"sleep": s}                     waits, then reports the connection state
#   {"stale": s}                     waits up to s for the link to go stale, then the same
# "rss": true samples the resident size while the request runs: rss_growth is the peak above
# the start, seen by sampling and by the process's own high-water mark (when passed).
CLIENT = """
import asyncio, json, psutil, resource
import zivane.client as client_mod
from zivane.client import HttpClient

reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
client = HttpClient(ARGS[0], int(ARGS[1]), identity_path=ARGS[2], connect_timeout=30.0)
asyncio.run(client.connect())
print("READY", flush=True)
process = psutil.Process()

def link_status():
    link = client._link
    return None if link is None else link.status

def get(command):
    client._request_timeout = command.get("timeout", 10.0)
    out = {"status": None, "body": None, "error": None}
    before = id(client._link)
    peak = [process.memory_info().rss]
    start_rss = peak[0]
    start_max = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    sampling = threading.Event()
    def sample():
        while not sampling.wait(0.005):
            peak[0] = max(peak[0], process.memory_info().rss)
    if command.get("rss"):
        threading.Thread(target=sample, daemon=True).start()
    start = time.monotonic()
    try:
        r = asyncio.run(client.get(command["path"]))
        body = r.body or b""
        out.update(status=r.status, body_len=len(body), body=body[:60].decode("latin-1"))
    except Exception as e:
        out["error"] = "%s: %s" % (type(e).__name__, e)
    out["seconds"] = time.monotonic() - start
    sampling.set()
    if command.get("rss"):
        high = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        out["rss_growth"] = max(peak[0], high if high > start_max else 0) - start_rss
    out.update(connected=client.is_connected, same_link=id(client._link) == before,
               link_status=link_status())
    return out

for line in sys.stdin:
    command = json.loads(line)
    if "set" in command:
        setattr(client_mod, command["set"], command["value"])
        out = {}
    elif "stale" in command:
        until = time.monotonic() + command["stale"]
        while link_status() not in (None, RNS.Link.STALE) and time.monotonic() < until:
            time.sleep(0.01)
        out = {"connected": client.is_connected, "link_status": link_status()}
    elif "sleep" in command:
        time.sleep(command["sleep"])
        out = {"connected": client.is_connected, "link_status": link_status()}
    else:
        out = get(command)
    print("RESULT", json.dumps(out), flush=True)
"""


@pytest.fixture(scope="module")
def server(net):
    proc = net.spawn(RAW_SERVER, PORT, name="raw-server")
    proc.dest_hash = proc.ready_words[0]
    return proc


class Client:
    def __init__(self, net, server, name):
        self.proc = net.spawn(CLIENT, server.dest_hash, PORT, os.path.join(net.config_dir, name),
                              name=name)

    def __call__(self, **command):
        line = self.proc.command(json.dumps(command), "RESULT", 120)
        return json.loads(line.split(" ", 1)[1])

    def get(self, path, timeout=10.0, **extra):
        return self(path=path, timeout=timeout, **extra)


@pytest.fixture
def client(net, server, request):
    c = Client(net, server, "client-" + request.node.name.replace("/", "_")[:40])
    yield c
    c.proc.stop()


def links(server):
    words = server.command("LINKS", "LINKS", 10).split()
    return int(words[1]), int(words[2])


def answered_on_a_new_link(client, server):
    """The next request connects again (a new link) and gets its own answer."""
    established = links(server)[0]
    r = client.get("/ok?next")
    assert (r["status"], r["body"], r["error"]) == (200, "answer next", None), r
    assert not r["same_link"] and links(server)[0] == established + 1, r


# ----- a request that gets no answer in time ------------------------------------------------

@pytest.mark.parametrize("path", ["/silent", "/announce"])
def test_unanswered_request_closes_its_link(client, server, path):
    r = client.get(path, timeout=1.5)
    assert r["error"] == "TransportError: Request timeout" and not r["connected"], r
    answered_on_a_new_link(client, server)
    r = client.get("/ok?again")
    assert r["body"] == "answer again" and r["same_link"], r


# ----- framing ------------------------------------------------------------------------------

def test_interim_answers_are_skipped(client, server):
    for _ in range(2):
        r = client.get("/continue")
        assert (r["status"], r["body"], r["connected"]) == (200, "after twenty", True), r
    r = client.get("/ok?after")
    assert (r["body"], r["same_link"]) == ("answer after", True), r


@pytest.mark.parametrize("path, body", [
    ("/until-close", "delimited by the close " * 3),
    ("/until-eof", "ends with the stream"),
])
def test_body_delimited_by_the_end_of_the_stream(client, server, path, body):
    r = client.get(path)
    assert (r["status"], r["error"]) == (200, None), r
    assert r["body"] == body[:60] and not r["connected"], r
    answered_on_a_new_link(client, server)


@pytest.mark.parametrize("path", ["/twice", "/stray"])
def test_bytes_nobody_asked_for_drop_the_link(client, server, path):
    r = client.get(path)
    assert r["status"] == 200 and r["body"] in ("first", "asked for"), r
    state = client(sleep=1.0)
    assert not state["connected"], state
    answered_on_a_new_link(client, server)


def test_bytes_that_cannot_be_http_fail_at_once(client, server):
    r = client.get("/garbage", timeout=8.0)
    assert r["error"].startswith("HttpParserError: "), r
    assert r["seconds"] < 3.0 and not r["connected"], r
    answered_on_a_new_link(client, server)


# ----- size ----------------------------------------------------------------------------------

@pytest.mark.parametrize("path", ["/endless-chunked", "/endless-close", "/endless-length"])
def test_endless_answer_is_refused_past_the_limit(client, server, path):
    client(set="_RESPONSE_LIMIT", value=2 << 20)
    r = client.get(path, timeout=30.0, rss=True)
    assert r["error"] == "TransportError: Response too large" and not r["connected"], r
    if not SANITIZED:
        assert r["rss_growth"] < 24 << 20, r
    answered_on_a_new_link(client, server)


@pytest.mark.skipif(SANITIZED, reason="sanitizer quarantine")
def test_accepted_body_costs_at_most_twice_its_size(client, server):
    size = 24 << 20
    client.get("/big?1000")  # the first large buffers of every kind are made
    r = client.get(f"/big?{size}", timeout=60.0, rss=True)
    assert (r["status"], r["body_len"]) == (200, size), r
    assert r["rss_growth"] < 2.5 * size, r["rss_growth"] / size
    client(set="_RESPONSE_LIMIT", value=size - 1)
    r = client.get(f"/big?{size}", timeout=60.0)
    assert r["error"] == "TransportError: Response too large", r


# ----- links that Reticulum closes ------------------------------------------------------------

def test_link_closed_by_the_server_is_noticed_and_replaced(client, server):
    r = client.get("/then-close")
    assert r["body"] == "last one", r
    state = client(sleep=1.5)
    assert not state["connected"] and state["link_status"] == 4, state  # RNS.Link.CLOSED
    answered_on_a_new_link(client, server)


def test_link_in_use_is_kept_alive_and_idle_one_replaced(client, server):
    """Reticulum closes a link about 15 s after the last packet it received when the two
    ends disagree on its keep-alive interval (here: client 5 s, server far longer). A
    request that takes longer than that still gets its answer; once idle, the link may
    close, and the next request then connects again."""
    r = client.get("/slow?18", timeout=40.0)
    assert (r["status"], r["body"]) == (200, "slow answer"), r
    state = client(sleep=17.0)
    assert state["connected"] == (state["link_status"] != 4), state
    r = client.get("/ok?idle")
    assert r["body"] == "answer idle", r


def test_request_on_a_stale_link_goes_on_a_new_one(client, server):
    """Reticulum sends nothing on a stale link (it closes it a few seconds later unless a
    packet comes in): a request there is not left to wait out its time-out."""
    assert client.get("/ok?first")["body"] == "answer first"
    state = client(stale=90.0)  # Reticulum marks it stale on its own schedule, later on a busy machine
    assert state["link_status"] == 3 and state["connected"], state  # RNS.Link.STALE
    r = client.get("/ok?stale")
    assert (r["body"], r["same_link"]) == ("answer stale", False), r
    assert r["seconds"] < 8.0, r  # not the 10 s request time-out


# ----- framing details, against a stand-in Reticulum --------------------------------------------

@pytest.fixture
def standin(tmp_path, monkeypatch):
    import zivane.client as client_mod
    from fakes.client import ClientLink, ClientRNS
    ClientRNS.install(monkeypatch)
    answers = {}
    ClientLink.responder = lambda request: answers[request.path]
    c = HttpClient(b"\x04" * 16, 80, identity_path=str(tmp_path / "identity"), request_timeout=3.0)
    return c, answers, client_mod


def run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize("method, answer, status, body", [
    # no body by status, or because the request was HEAD: complete without a length
    ("GET", b"HTTP/1.1 304 Not Modified\r\n\r\n", 304, None),
    ("GET", b"HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n", 204, None),
    ("HEAD", b"HTTP/1.1 200 OK\r\n\r\n", 200, None),
    # empty lines before the status line are skipped, as the parser skips them
    ("GET", b"\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", 200, b"hi"),
    ("GET", b"HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx",
     200, b"x"),
])
def test_answers_complete_without_waiting_for_the_close(standin, method, answer, status, body):
    c, answers, _ = standin
    answers["/a"] = answer
    r = run(c.request("/a", method))
    assert (r.status, r.body) == (status, body) and c.is_connected
    first = c._link
    answers["/b"] = bytes(HttpResponse(200, body=b"next"))
    assert run(c.get("/b")).body == b"next" and c._link is first


def test_stale_link_is_replaced_before_the_next_request(standin):
    """Reticulum sends nothing on a stale link and RNS's writer retries for ever on it: a
    request written there would wait out its time-out. It goes on a new link instead."""
    from fakes.client import ClientLink
    c, answers, _ = standin
    answers["/a"] = bytes(HttpResponse(200, body=b"fresh"))
    assert run(c.get("/a")).body == b"fresh"
    stale = c._link
    stale.status = ClientLink.STALE
    assert c.is_connected  # it may still come back: only a new request avoids it
    assert run(c.get("/a")).body == b"fresh"
    assert c._link is not stale and stale.teardowns == 1 and stale.raw == stale.raw[:1]


def test_size_limit_counts_the_whole_answer(standin):
    c, answers, client_mod = standin
    answer = bytes(HttpResponse(200, body=b"z" * 5000))
    answers["/a"] = answer
    client_mod._RESPONSE_LIMIT = len(answer)
    try:
        assert run(c.get("/a")).body == b"z" * 5000
        client_mod._RESPONSE_LIMIT = len(answer) - 1
        with pytest.raises(TransportError, match="^Response too large$"):
            run(c.get("/a"))
        assert not c.is_connected
        client_mod._RESPONSE_LIMIT = None  # no limit
        assert run(c.get("/a")).body == b"z" * 5000
    finally:
        client_mod._RESPONSE_LIMIT = 64 << 20


def test_switching_protocols_ends_the_link(standin):
    c, answers, _ = standin
    answers["/up"] = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nnot http any more"
    with pytest.raises(HttpParserError):
        run(c.get("/up"))
    assert not c.is_connected


# ----- the writer hand-off -------------------------------------------------------------------

HANDOFF = """
import asyncio
import zivane.client as client_mod
from fakes.client import ClientRNS
from zivane.client import HttpClient

client_mod.RNS = ClientRNS
client_mod._WRITER_IDLE = 0.0002  # the writer ends between requests, racing the next one
client = HttpClient(b"\\x01" * 16, 80, identity_path={identity!r}, request_timeout=5.0)

async def rounds():
    for i in range(600):
        await client.connect()
        for j in range(3):
            assert (await client.get("/x")).status == 200
        await client.close()

asyncio.run(rounds())
print("DONE", flush=True)
"""


def test_writer_handoff_never_deadlocks(tmp_path):
    """The writer thread and the exchanges hand requests over under one mutex; whoever
    holds it must never wait for the GIL, or the other side, waiting for the mutex with the
    GIL held, hangs both for good."""
    source = HANDOFF.format(identity=str(tmp_path / "identity"))
    try:
        done = run_python(source)
    except subprocess.TimeoutExpired:
        pytest.fail("the client hung in the writer hand-off")
    assert done.returncode == 0 and "DONE" in done.stdout, done.stderr
