"""zivane-gateway and a raw Reticulum peer whose requests frame their bodies ambiguously:
such a request never reaches the upstream, and the framing the upstream gets is the one
the gateway read."""

import pytest

from bridgenet import Upstream, start_gateway
from zivane.types import HttpResponse


@pytest.fixture(scope="module")
def web(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    (root / "index.html").write_bytes(b"hello\n")
    with Upstream(str(root)) as upstream:
        yield upstream


@pytest.fixture(scope="module")
def gateway(net, web):
    return start_gateway(net, 80, web.url)


def answers(peer, n):
    return [HttpResponse.parse(raw) for raw in peer.recv(n, 30)]


@pytest.mark.parametrize("fields", [
    b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
    b"Content-Length: 5\r\nContent-Length: 6\r\n",
    b"Transfer-Encoding: chunked, gzip\r\n",
])
def test_ambiguous_framing_is_refused_before_the_upstream_sees_it(net, gateway, web, fields):
    path = "/ambiguous-%d" % len(fields)
    peer = net.start_peer(gateway.dest_hash, 80)
    try:
        peer.send(b"POST " + path.encode() + b" HTTP/1.1\r\nHost: x\r\n" + fields + b"\r\n5\r\nhello\r\n0\r\n\r\n")
        [answer] = answers(peer, 1)
        assert answer.status == 400
    finally:
        peer.stop()
    assert path not in [seen["path"] for seen in web.seen]


def test_a_length_named_in_connection_still_frames_the_body(net, gateway, web):
    peer = net.start_peer(gateway.dest_hash, 80)
    try:
        peer.send(b"POST /named HTTP/1.1\r\nConnection: content-length\r\nContent-Length: 5\r\n\r\nhello"
                  b"GET /index.html HTTP/1.1\r\n\r\n")
        posted, got = answers(peer, 2)
        assert (posted.status, got.status, got.body) == (200, 200, b"hello\n")
    finally:
        peer.stop()
    assert [(s["path"], s["size"]) for s in web.seen if s["method"] == "POST"] == [("/named", 5)]
