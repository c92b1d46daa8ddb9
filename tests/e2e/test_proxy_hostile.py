"""zivane-proxy between hostile browser connections and a raw Reticulum site that logs
every byte it gets: framing the proxy passes on is the framing it read, answers go to the
connection that asked, and a head that dribbles in does not hold a connection for ever."""

import base64
import concurrent.futures
import socket
import threading
import time

import pytest

from proxynet import fetch, raw, start_proxy

# A site on "HTTP", "80" that speaks through RNS.Buffer as the server does (reads stream 0,
# writes stream 1). It logs what arrives ("GOT <b64>") and each request it makes of it
# ("REQ <method> <path> <body size>"), taking framing from Content-Length or chunked coding
# only, as a lenient server would. Paths choose odd answers (/never: none at all); anything
# else gets its request line and body size back.
RAW_SITE = r'''
identity = RNS.Identity()
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
destination = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", "80")

ODD = {
    "/length-named-in-connection":
        b"HTTP/1.1 200 OK\r\nConnection: content-length\r\nContent-Length: 5\r\n\r\nhello",
    "/length-and-chunked":
        b"HTTP/1.1 200 OK\r\nContent-Length: 999\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
}

def take_request(data):
    """(method, path, body, rest) of the first whole request in `data`, or None."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return None
    lines = data[:end].decode("latin-1").split("\r\n")
    method, path = lines[0].split(" ")[:2]
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    rest = data[end + 4:]
    if fields.get("transfer-encoding", "").lower().endswith("chunked"):
        body = b""
        while True:
            nl = rest.find(b"\r\n")
            if nl < 0:
                return None
            size = int(rest[:nl].split(b";")[0], 16)
            if len(rest) < nl + 2 + size + 2:
                return None
            body += rest[nl + 2:nl + 2 + size]
            rest = rest[nl + 2 + size + 2:]
            if size == 0:
                return method, path, body, rest
    size = int(fields.get("content-length", "0"))
    if len(rest) < size:
        return None
    return method, path, rest[:size], rest[size:]

def answer(method, path, body):
    if path == "/never":
        return b""
    if path in ODD:
        return ODD[path]
    text = f"{method} {path} {len(body)}".encode()
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(text), text)

def on_link(link):
    state = {"inbox": b""}
    def ready(n):
        data = buffer.read(n)
        if not data:
            return
        print("GOT", base64.b64encode(data).decode(), flush=True)
        state["inbox"] += data
        while (found := take_request(state["inbox"])) is not None:
            method, path, body, state["inbox"] = found
            print("REQ", method, path, len(body), flush=True)
            buffer.write(answer(method, path, body))
            buffer.flush()
    buffer = RNS.Buffer.create_bidirectional_buffer(0, 1, link.get_channel(), ready)

destination.set_link_established_callback(on_link)
destination.announce()
print("READY", destination.hash.hex(), flush=True)
sys.stdin.read()
'''


@pytest.fixture(scope="module")
def site(net):
    proc = net.spawn(RAW_SITE, name="raw-site")
    proc.dest_hash = proc.ready_words[0]
    return proc


@pytest.fixture(scope="module")
def proxy(net, site):
    return start_proxy(net, tunables={"_IDLE_TIMEOUT": 3.0})


def url(site, path):
    return f"http://{site.dest_hash}.rns{path}"


def requests_seen(site):
    return [line.split()[1:] for line in site.lines if line.startswith("REQ ")]


def bytes_seen(site):
    return b"".join(base64.b64decode(line.split()[1]) for line in site.lines if line.startswith("GOT "))


def read_answer(sock, timeout=30):
    """One answer read by its framing, which must be one of Content-Length or chunked:
    (head text in lower case, body)."""
    sock.settimeout(timeout)
    data = b""

    def more():
        nonlocal data
        chunk = sock.recv(65536)
        assert chunk, data
        data += chunk

    while b"\r\n\r\n" not in data:
        more()
    head, _, data = data.partition(b"\r\n\r\n")
    head = head.decode().lower()
    fields = [line.split(": ", 1)[0] for line in head.split("\r\n")[1:]]
    assert fields.count("content-length") + fields.count("transfer-encoding") == 1, head
    if "content-length" in fields:
        size = int(head.split("content-length: ")[1].split("\r\n")[0])
        while len(data) < size:
            more()
        assert len(data) == size, (head, data)
        return head, data
    body = b""
    while True:
        while b"\r\n" not in data:
            more()
        line, _, data = data.partition(b"\r\n")
        size = int(line, 16)
        while len(data) < size + 2:
            more()
        body, data = body + data[:size], data[size + 2:]
        if size == 0:
            assert data == b"", data
            return head, body


def test_a_body_is_never_sent_without_its_length(site, proxy):
    smuggled = b"GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n"
    head = (b"POST " + url(site, "/upload").encode() + b" HTTP/1.1\r\nHost: x\r\n"
            b"Connection: content-length\r\nContent-Length: %d\r\n\r\n" % len(smuggled))
    with socket.create_connection(("127.0.0.1", proxy.port)) as browser:
        browser.sendall(head + smuggled + b"GET " + url(site, "/pipelined").encode() + b" HTTP/1.1\r\n\r\n")
        assert read_answer(browser)[1] == b"POST /upload %d" % len(smuggled)
        assert read_answer(browser)[1] == b"GET /pipelined 0"
    # another connection's request gets its own answer, not the smuggled one's
    assert fetch(proxy, url(site, "/mine"))[2] == b"GET /mine 0"
    assert ["POST", "/upload", str(len(smuggled))] in requests_seen(site)
    assert ["GET", "/smuggled", "0"] not in requests_seen(site)


@pytest.mark.parametrize("fields", [
    b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
    b"Content-Length: 5\r\nContent-Length: 6\r\n",
    b"Transfer-Encoding: chunked, gzip\r\n",
    b"Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n",
])
def test_ambiguous_framing_is_refused_and_nothing_goes_out(site, proxy, fields):
    marker = "/ambiguous-%d" % len(fields)
    answer = raw(proxy, b"POST " + url(site, marker).encode() + b" HTTP/1.1\r\nHost: x\r\n" + fields +
                 b"\r\n5\r\nhello\r\n0\r\n\r\nGET " + url(site, "/after").encode() + b" HTTP/1.1\r\n\r\n")
    assert answer.startswith(b"HTTP/1.1 400 "), answer[:200]
    assert answer.count(b"HTTP/1.1") == 1, answer  # the connection ends with the refusal
    assert marker.encode() not in bytes_seen(site)


@pytest.mark.parametrize("path, body", [
    ("/length-named-in-connection", b"hello"),
    ("/length-and-chunked", b"hello"),
])
def test_answers_are_framed_by_what_the_proxy_read(site, proxy, path, body):
    with socket.create_connection(("127.0.0.1", proxy.port)) as browser:
        for _ in range(2):  # the second answer shows that the first one ended where it should
            browser.sendall(b"GET " + url(site, path).encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n")
            assert read_answer(browser)[1] == body


def test_a_chunked_answer_reaches_an_http_1_0_browser_unframed_until_the_end(site, proxy):
    answer = raw(proxy, b"GET " + url(site, "/length-and-chunked").encode() + b" HTTP/1.0\r\n\r\n")
    head, _, body = answer.partition(b"\r\n\r\n")
    assert body == b"hello"
    assert b"connection: close" in head.lower()
    assert b"content-length" not in head.lower() and b"transfer-encoding" not in head.lower(), head


def test_a_dribbled_head_gets_408_within_the_idle_time_out_and_others_go_on(site, proxy):
    head = b"GET " + url(site, "/slowly").encode() + b" HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"a" * 100

    def dribble():
        with socket.create_connection(("127.0.0.1", proxy.port)) as s:
            started = time.monotonic()
            try:
                for byte in head:
                    s.sendall(bytes([byte]))
                    time.sleep(0.5)
                    if time.monotonic() - started > 40:
                        break
                s.settimeout(10)
                answer = s.recv(1000)
            except OSError:  # the proxy closed first: a reset
                answer = b""
            return answer, time.monotonic() - started

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        dribblers = [pool.submit(dribble) for _ in range(3)]
        time.sleep(1)
        assert fetch(proxy, url(site, "/meanwhile"))[2] == b"GET /meanwhile 0"
        results = [d.result() for d in dribblers]
    for answer, seconds in results:
        # 3 s of idle time-out, bounded generously for a busy machine
        assert seconds < 20, seconds
        assert answer == b"" or answer.startswith(b"HTTP/1.1 408 "), answer
    assert "/slowly" not in bytes_seen(site).decode("latin-1")


def test_a_browser_that_leaves_mid_answer_or_mid_body_leaves_the_link_in_step(site, proxy):
    # leaves while its body is still to come: nothing of it may go out whole
    with socket.create_connection(("127.0.0.1", proxy.port)) as s:
        s.sendall(b"POST " + url(site, "/half").encode() + b" HTTP/1.1\r\nContent-Length: 1000\r\n\r\nabc")
    # sends a request and leaves before its answer
    with socket.create_connection(("127.0.0.1", proxy.port)) as s:
        s.sendall(b"GET " + url(site, "/gone").encode() + b" HTTP/1.1\r\n\r\n")
    time.sleep(1)
    for path in ("/next", "/and-next"):
        assert fetch(proxy, url(site, path))[2] == b"GET %s 0" % path.encode()
    assert ["POST", "/half", "1000"] not in requests_seen(site)


def test_a_dribbled_body_does_not_hold_the_shared_link(net, site):
    proxy = start_proxy(net, tunables={"_READ_TIMEOUT": 2.0})
    assert fetch(proxy, url(site, "/first"))[2] == b"GET /first 0"  # the link is open

    def dribble():
        with socket.create_connection(("127.0.0.1", proxy.port)) as s:
            s.sendall(b"POST " + url(site, "/dribble").encode() + b" HTTP/1.1\r\nContent-Length: 100\r\n\r\n")
            started = time.monotonic()
            try:
                while time.monotonic() - started < 30 and not done.is_set():
                    s.sendall(b"x")
                    time.sleep(0.5)
                s.settimeout(10)
                return s.recv(1000)
            except OSError:
                return b""

    done = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        dribbler = pool.submit(dribble)
        time.sleep(1)
        started = time.monotonic()
        try:
            assert fetch(proxy, url(site, "/meanwhile-too"))[2] == b"GET /meanwhile-too 0"
            # the read time-out of 2 s, bounded generously for a busy machine
            assert time.monotonic() - started < 15
        finally:
            done.set()
        answer = dribbler.result()
        assert answer == b"" or answer.startswith(b"HTTP/1.1 408 "), answer
    assert ["POST", "/dribble", "100"] not in requests_seen(site)
    proxy.stop()


def test_stopping_ends_connections_that_wait_on_an_answer_or_a_head(net, site):
    proxy = start_proxy(net)
    waiting = socket.create_connection(("127.0.0.1", proxy.port))
    waiting.sendall(b"GET " + url(site, "/never").encode() + b" HTTP/1.1\r\n\r\n")
    half = socket.create_connection(("127.0.0.1", proxy.port))
    half.sendall(b"GET " + url(site, "/half-a-head").encode())
    deadline = time.monotonic() + 30
    while "GET /never" not in bytes_seen(site).decode("latin-1"):
        assert time.monotonic() < deadline
        time.sleep(0.1)
    started = time.monotonic()
    proxy.stop()
    assert proxy.popen.returncode == 0 and time.monotonic() - started < 15
    for s in (waiting, half):
        s.settimeout(10)
        answer = s.recv(1000)
        assert answer == b"" or answer.startswith(b"HTTP/1.1 502 "), answer
        s.close()
