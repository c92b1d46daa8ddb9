"""zivane-gateway over the real Reticulum: an upstream http.server in this process, the
gateway command in a process of its own, HttpClient (or a raw peer) in a third."""

import hashlib
import json
import os
import time

import pytest
import RNS

from bridgenet import Upstream, pattern, start_fetcher, start_gateway
from rnsnet import Network, free_port
from zivane.types import HttpResponse

FILES = {f"file{i}.bin": pattern(150_000 + i * 1000, seed=i) for i in range(8)}
BIG = pattern(2 * 1024 * 1024, seed=99)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    (root / "index.html").write_bytes(b"<html><body>hello</body></html>\n")
    (root / "big.bin").write_bytes(BIG)
    (root / "sub").mkdir()
    (root / "sub" / "index.html").write_bytes(b"under the prefix\n")
    for name, data in FILES.items():
        (root / name).write_bytes(data)
    return str(root)


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def web(site):
    with Upstream(site) as upstream:
        yield upstream


@pytest.fixture(scope="module")
def gateway(net, web):
    return start_gateway(net, 80, web.url, tunables={"_UPSTREAM_TIMEOUT": 1.0})


@pytest.fixture(scope="module")
def fetcher(net):
    return start_fetcher(net)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def test_static_site_passes_through_unchanged(gateway, fetcher, web):
    got = fetcher.fetch(gateway.dest_hash, 80, [
        {"path": "/big.bin"},
        {"path": "/missing"},
        {"path": "/redirect"},
        {"path": "/index.html", "method": "HEAD"},
        {"path": "/chunked"},
        {"path": "/index.html"},
    ])[0]
    big, missing, redirect, head, chunked, index = got
    assert (big["status"], big["size"], big["sha256"]) == (200, len(BIG), digest(BIG))
    assert missing["status"] == 404 and "Error code: 404" in missing["body"]
    assert redirect["status"] == 302 and redirect["headers"]["location"] == "/index.html"
    assert redirect["body"] == "moved"
    # HEAD: the length of the body it would have, and no body
    assert head["status"] == 200 and head["size"] == 0 and head["headers"]["content-length"] == "32"
    # a chunked answer reaches the link re-chunked, whole, and the link goes on
    assert chunked["body"] == "first second third"
    assert index["body"] == "<html><body>hello</body></html>\n"


def test_post_body_and_request_head_reach_upstream(gateway, fetcher, web):
    before = len(web.seen)
    post, echo = fetcher.fetch(gateway.dest_hash, 80, [
        # the upstream's interim 100 Continue is not passed on; its final answer is
        {"path": "/upload?x=1", "method": "POST", "size": 1024 * 1024, "headers": {"Expect": "100-continue"}},
        {"path": "/echo-headers", "headers": {
            "X-Reticulum-Identity": "0" * 32, "Connection": "X-Secret", "X-Secret": "hop",
            "Keep-Alive": "timeout=5", "TE": "trailers", "Proxy-Authorization": "Basic x", "X-Kept": "yes"}},
    ])[0]
    body = bytes(i % 251 for i in range(1024 * 1024))
    assert json.loads(post["body"]) == {"sha256": digest(body), "size": len(body)}
    seen = web.seen[before]
    assert (seen["method"], seen["path"], seen["sha256"]) == ("POST", "/upload?x=1", digest(body))
    sent = {k.lower(): v for k, v in json.loads(echo["body"]).items()}
    # an unidentified link: a client-sent identity is dropped, not passed on
    assert "x-reticulum-identity" not in sent
    for hop in ("connection", "x-secret", "keep-alive", "te", "proxy-authorization"):
        assert hop not in sent
    assert sent["x-kept"] == "yes" and sent["host"] == f"127.0.0.1:{web.port}"
    # and the answer's own hop-by-hop fields (Connection, the X-Hop it names) are dropped
    assert "x-hop" not in echo["headers"] and "connection" not in echo["headers"]


def test_eight_concurrent_clients_get_their_own_files(gateway, fetcher):
    names = sorted(FILES)
    # eight links at once, link i starting at file i: different files are in flight together
    results = fetcher.fetch(gateway.dest_hash, 80, [{"path": "/" + n} for n in names], parallel=8, rotate=True)
    assert len(results) == 8
    for i, result in enumerate(results):
        order = names[i:] + names[:i]
        assert [(r["status"], r["sha256"]) for r in result] == [(200, digest(FILES[n])) for n in order]


def test_upstream_failures_answer_502_or_504_and_the_gateway_goes_on(gateway, fetcher):
    garbage, early, cut, slow, after = fetcher.fetch(gateway.dest_hash, 80, [
        {"path": "/garbage"}, {"path": "/cut?early"}, {"path": "/cut"}, {"path": "/slow"},
        {"path": "/index.html"}])[0]
    assert garbage["status"] == 502 and "invalid answer" in garbage["body"]
    # cut short while nothing of it had gone out yet: a 502 in its place, the link goes on
    assert early["status"] == 502 and "cut short" in early["body"]
    # cut short once its head and part of its body went out: the link ends mid-answer
    assert "error" in cut
    assert slow["status"] == 504 and "did not answer in time" in slow["body"]
    assert after["status"] == 200


def test_upstream_down_gives_502_then_recovers(net, fetcher, site):
    port = free_port()
    gw = start_gateway(net, 81, f"http://127.0.0.1:{port}")
    try:
        [down] = fetcher.fetch(gw.dest_hash, 81, [{"path": "/index.html"}])[0]
        assert down["status"] == 502
        assert f"127.0.0.1:{port} refused the connection" in down["body"]
        with Upstream(site, port=port):
            [up] = fetcher.fetch(gw.dest_hash, 81, [{"path": "/index.html"}])[0]
        assert up["status"] == 200
    finally:
        gw.stop()
    assert gw.popen.returncode == 0 and "STOPPED" in gw.lines


def make_identity(net, name):
    identity = RNS.Identity()
    identity.to_file(os.path.join(net.config_dir, "fetcher-0-" + name))
    return identity.hash.hex()


def test_allow_list_and_identity_header(net, fetcher, web):
    allowed = make_identity(net, "allowed")
    make_identity(net, "stranger")
    gw = start_gateway(net, 82, web.url, "--allow", allowed.upper())
    spoof = {"X-Reticulum-Identity": "f" * 32}
    try:
        before = len(web.seen)
        [anonymous] = fetcher.fetch(gw.dest_hash, 82, [{"path": "/echo-headers", "headers": spoof}])[0]
        stranger = fetcher.fetch(gw.dest_hash, 82, [{"path": "/upload", "method": "POST", "size": 5000}],
                                 identify=True, identity="stranger")[0][0]
        assert anonymous["status"] == 403 and stranger["status"] == 403
        assert len(web.seen) == before  # nothing reached the upstream
        echo, me = fetcher.fetch(gw.dest_hash, 82, [{"path": "/echo-headers", "headers": spoof}],
                                 identify=True, identity="allowed")[0]
        assert me["identity"] == allowed
        assert echo["status"] == 200
        assert json.loads(echo["body"])["X-Reticulum-Identity"] == allowed
    finally:
        gw.stop()


def test_unix_socket_upstream_with_host_and_path_prefix(net, fetcher, site, tmp_path, web):
    sock = str(tmp_path / "web.sock")
    with Upstream(site, unix=sock) as local:
        gw_unix = start_gateway(net, 83, local.url, "--host", "site.example")
        gw_prefix = start_gateway(net, 84, web.url + "/sub/")
        try:
            [echo] = fetcher.fetch(gw_unix.dest_hash, 83, [{"path": "/echo-headers"}])[0]
            assert json.loads(echo["body"])["Host"] == "site.example"
            [sub] = fetcher.fetch(gw_prefix.dest_hash, 84, [{"path": "/index.html"}])[0]
            assert sub["body"] == "under the prefix\n"
        finally:
            gw_unix.stop()
            gw_prefix.stop()


def wait_link_closed(peer, timeout=10):
    deadline = time.monotonic() + timeout
    while peer.command("STATUS", "STATUS").split()[1] != str(RNS.Link.CLOSED):
        assert time.monotonic() < deadline, "the gateway kept the link"
        time.sleep(0.1)


def raw_answers(peer, n, timeout=30):
    return [HttpResponse.parse(raw) for raw in peer.recv(n, timeout)]


@pytest.mark.parametrize("request_bytes, status", [
    (b"\x16\x03\x01\x02\x00 not http at all\r\n\r\n", 400),
    (b"GET / HTTP/2.0\r\n\r\n", 505),
    (b"GET / HTTP/1.1\r\nX: " + b"a" * 70_000 + b"\r\n\r\n", 431),
    (b"GET / HTTP/1.1\r\nBad Header\r\n\r\n", 400),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400),
])
def test_hostile_peer_gets_a_clear_status_and_loses_its_link(net, gateway, fetcher, request_bytes, status):
    peer = net.start_peer(gateway.dest_hash, 80)
    try:
        peer.send(request_bytes)
        [response] = raw_answers(peer, 1)
        assert response.status == status
        wait_link_closed(peer)
    finally:
        peer.stop()
    [ok] = fetcher.fetch(gateway.dest_hash, 80, [{"path": "/index.html"}])[0]
    assert ok["status"] == 200


def test_peer_closing_mid_request_leaves_the_gateway_serving(net, gateway, fetcher, web):
    peer = net.start_peer(gateway.dest_hash, 80)
    try:
        peer.send(b"POST /upload HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" + b"x" * 20_000)
        peer.send(b"GET /index.html HTTP/1.1\r\nHost: x\r\n")  # never ends: its body is still open
        peer.close_link()
    finally:
        peer.stop()
    pipelined = net.start_peer(gateway.dest_hash, 80)
    try:
        # two requests in one send: the answers come back in order
        pipelined.send(b"GET /index.html HTTP/1.1\r\n\r\nGET /missing HTTP/1.1\r\n\r\n")
        first, second = raw_answers(pipelined, 2)
        assert (first.status, second.status) == (200, 404)
    finally:
        pipelined.stop()


@pytest.mark.parametrize("request_bytes", [
    b"GET /index.html HTTP/1.1\r\nHost: x\r\n",                       # a head that never ends
    b"POST /upload HTTP/1.1\r\nContent-Length: 1000\r\n\r\n0123456789",  # a body that stops
])
def test_a_request_that_stops_arriving_gets_408_and_loses_its_link(net, web, request_bytes):
    gw = start_gateway(net, 85, web.url, tunables={"_READ_TIMEOUT": 1.0})
    peer = net.start_peer(gw.dest_hash, 85)
    try:
        start = time.monotonic()
        peer.send(request_bytes)
        [response] = raw_answers(peer, 1, timeout=15)
        assert response.status == 408 and time.monotonic() - start < 10
        wait_link_closed(peer)
    finally:
        peer.stop()
        gw.stop()
