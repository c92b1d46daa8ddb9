"""The gateway between hostile peers and upstreams, over the real Reticulum: forged
identity fields in every spelling, and upstreams that answer more than they were asked
or close kept connections under a request."""

import itertools
import json
import os
import socket
import threading
import time
import wsgiref.simple_server

import pytest
import RNS

from bridgenet import start_fetcher, start_gateway
from rnsnet import Network
from webnet import serve_app
from zivane.types import HttpResponse


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def fetcher(net):
    return start_fetcher(net)


class RawUpstream:
    """A kept-alive HTTP/1.1 server on plain sockets that records every request as
    (connection number, method, path, body size). An idle connection is closed
    `keep_alive` seconds after its last answer unless a next request has begun. Paths:
    /stray?S answers, then S seconds later sends an answer nobody asked for; /double
    answers twice in one send; /once closes the connection without answering unless it
    is the connection's first request; anything else answers with its path and body size."""

    def __init__(self, keep_alive=30.0):
        self.keep_alive = keep_alive
        self.seen = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.connections = 0
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self.serve, args=(conn, self.connections), daemon=True).start()

    def close(self):
        self.listener.close()

    @staticmethod
    def answer(text):
        body = text.encode()
        return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)

    def read_request(self, conn, buffer):
        """(method, path, body, rest of buffer), or None once the connection should end."""
        conn.settimeout(self.keep_alive)
        while b"\r\n\r\n" not in buffer:
            try:
                more = conn.recv(65536)
            except OSError:  # idle too long, or reset
                return None
            if not more:
                return None
            buffer += more
            conn.settimeout(30)
        head, _, buffer = buffer.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        method, path, _ = lines[0].split(" ")
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        while len(buffer) < length:
            more = conn.recv(65536)
            if not more:
                return None
            buffer += more
        return method, path, buffer[:length], buffer[length:]

    def serve(self, conn, number):
        buffer = b""
        with conn:
            for count in itertools.count():
                if not (request := self.read_request(conn, buffer)):
                    return
                method, path, body, buffer = request
                self.seen.append((number, method, path, len(body)))
                if path == "/once" and count > 0:
                    return
                if path.startswith("/stray"):
                    conn.sendall(self.answer("asked"))
                    time.sleep(float(path.partition("?")[2]))
                    conn.sendall(self.answer("STRAY"))
                elif path == "/double":
                    conn.sendall(self.answer("asked") + self.answer("STRAY"))
                else:
                    conn.sendall(self.answer(f"{path} {len(body)}"))


@pytest.fixture
def raw_upstream():
    upstream = RawUpstream()
    yield upstream
    upstream.close()


def body_of(peer, timeout=30):
    [raw] = peer.recv(1, timeout)
    response = HttpResponse.parse(raw)
    return response.status, (response.body or b"").decode()


def get(peer, path, timeout=30):
    peer.send(f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
    return body_of(peer, timeout)


def test_stray_answers_from_the_upstream_reach_no_one(net, raw_upstream):
    gw = start_gateway(net, 90, raw_upstream.url)
    first, second = net.start_peer(gw.dest_hash, 90), net.start_peer(gw.dest_hash, 90)
    try:
        # the second answer comes half a second late, while another link's request is out
        assert get(first, "/stray?0.5") == (200, "asked")
        assert get(second, "/next") == (200, "/next 0")
        # two answers in one send: the connection that carried them carries nothing more
        assert get(first, "/double") == (200, "asked")
        time.sleep(1.5)
        assert get(second, "/after") == (200, "/after 0")
        assert get(first, "/last") == (200, "/last 0")
    finally:
        first.stop()
        second.stop()
        gw.stop()
    by_path = {path: number for number, _, path, _ in raw_upstream.seen}
    assert sorted(by_path) == ["/after", "/double", "/last", "/next", "/stray?0.5"]
    assert len(raw_upstream.seen) == 5  # each request reached the upstream once
    assert by_path["/after"] != by_path["/double"] and by_path["/last"] != by_path["/double"]


def test_requests_are_neither_lost_to_the_upstreams_idle_close_nor_sent_twice(net):
    upstream = RawUpstream(keep_alive=2.0)
    gw = start_gateway(net, 91, upstream.url)
    peer = net.start_peer(gw.dest_hash, 91)
    size = 300_000
    try:
        assert get(peer, "/warm") == (200, "/warm 0")
        time.sleep(0.5)
        # the body comes in two parts with a pause between them longer than the
        # upstream keeps an idle connection: the request must already be under way
        peer.send(b"POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % size + b"a" * 1000)
        time.sleep(2.5)
        peer.send(b"b" * (size - 1000))
        assert body_of(peer, 60) == (200, f"/upload {size}")
        assert get(peer, "/after") == (200, "/after 0")
        # a kept connection closed without an answer: a POST was not sent on it, as it
        # could not be sent again without the upstream perhaps acting on it twice
        time.sleep(1.2)
        peer.send(b"POST /once HTTP/1.1\r\nHost: x\r\n\r\n")
        assert body_of(peer) == (200, "/once 0")
    finally:
        peer.stop()
        gw.stop()
        upstream.close()
    assert [(method, path, n) for _, method, path, n in upstream.seen] == [
        ("GET", "/warm", 0), ("POST", "/upload", size), ("GET", "/after", 0), ("POST", "/once", 0)]


FORGED = {"X_Reticulum_Identity": "a" * 32, "x_reticulum_identity": "b" * 32, "X-Reticulum_Identity": "c" * 32,
          "X-RETICULUM-IDENTITY": "d" * 32, "X-Other_Field": "1", "X-Kept": "yes"}


def make_identity(net, name):
    identity = RNS.Identity()
    identity.to_file(os.path.join(net.config_dir, "fetcher-0-" + name))
    return identity.hash.hex()


def fetch_as_anyone_and_identified(net, fetcher, dest, port, path):
    true_hash = make_identity(net, f"known-{port}")
    [anonymous] = fetcher.fetch(dest, port, [{"path": path, "headers": FORGED}])[0]
    known, me = fetcher.fetch(dest, port, [{"path": path, "headers": FORGED}], identify=True,
                              identity=f"known-{port}")[0]
    assert me["identity"] == true_hash
    return json.loads(anonymous["body"]), json.loads(known["body"]), true_hash


def environ_app(environ, start_response):
    body = json.dumps({k: v for k, v in environ.items() if k.startswith("HTTP_")}).encode()
    start_response("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(body)))])
    return [body]


class QuietHandler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, *args):
        pass


@pytest.mark.parametrize("where", ["upstream", "wsgi", "asgi"])
def test_a_forged_identity_reaches_no_upstream_or_application_in_any_spelling(net, fetcher, where):
    port = {"upstream": 92, "wsgi": 93, "asgi": 94}[where]
    if where == "upstream":  # the standard library's WSGI server maps '-' and '_' alike
        upstream = wsgiref.simple_server.make_server("127.0.0.1", 0, environ_app, handler_class=QuietHandler)
        threading.Thread(target=upstream.serve_forever, daemon=True).start()
        gw = start_gateway(net, port, f"http://127.0.0.1:{upstream.server_port}")
    else:
        upstream = None
        gw = serve_app(net, "hostile_apps:wsgi_environ" if where == "wsgi" else "hostile_apps:asgi_heads", port)
    try:
        anonymous, known, true_hash = fetch_as_anyone_and_identified(net, fetcher, gw.dest_hash, port, "/")
    finally:
        gw.stop()
        if upstream:
            upstream.shutdown()
            upstream.server_close()
    if where == "asgi":
        anonymous, known = ({name.replace("_", "-"): value for name, value in fields} for fields in (anonymous, known))
        identity, other, kept = "x-reticulum-identity", "x-other-field", "x-kept"
    else:
        identity, other, kept = "HTTP_X_RETICULUM_IDENTITY", "HTTP_X_OTHER_FIELD", "HTTP_X_KEPT"
    assert identity not in anonymous and anonymous[kept] == "yes"
    assert known[identity] == true_hash and known[kept] == "yes"
    # a field with '_' in its name is dropped whatever it is
    assert other not in anonymous and other not in known


def test_slow_asgi_answers_on_many_links_hold_up_no_other_link(net):
    gw = serve_app(net, "webapps:starlette_app", 96)
    slow_fetcher, fast_fetcher = start_fetcher(net), start_fetcher(net)
    slow = {}
    # more links waiting for their application than the gateway has threads to write answers
    waiting = threading.Thread(target=lambda: slow.update(results=slow_fetcher.fetch(
        gw.dest_hash, 96, [{"path": "/slow?t=40"}], parallel=36, timeout=300)))
    try:
        waiting.start()
        time.sleep(15)
        start = time.monotonic()
        [fast] = fast_fetcher.fetch(gw.dest_hash, 96, [{"path": "/json"}])[0]
        assert fast["status"] == 200
        assert time.monotonic() - start < 20  # well before the slow answers end
        waiting.join(300)
        # every slow answer that came is the right one (a busy machine may lose a link)
        answers = [r[0] for r in slow["results"]]
        assert all(a.get("status") == 200 or "error" in a for a in answers)
        assert sum(a.get("status") == 200 for a in answers) >= 30
    finally:
        waiting.join(300)
        gw.stop()
