"""The whole road: an ordinary HTTP client → zivane-proxy → Reticulum → zivane-gateway → a
standard-library web server, each end in its own process, over real Reticulum."""

import concurrent.futures
import http.client
import hashlib
import os
import socket
import time

import pytest
import requests

from bridgenet import Upstream, pattern, start_gateway
from proxynet import fetch, raw, start_proxy
from rnsnet import Network

FILES = {f"file{i}.bin": pattern(20_000 + 777 * i, seed=i) for i in range(8)}
FILES["big.bin"] = pattern(2 << 20, seed=99)
FILES["index.html"] = b"<html><body>hello</body></html>"


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    for name, data in FILES.items():
        (root / name).write_bytes(data)
    return root


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def web(folder):
    with Upstream(str(folder)) as upstream:
        yield upstream


@pytest.fixture(scope="module")
def gateway(net, web):
    return start_gateway(net, 80, web.url, tunables={"_UPSTREAM_TIMEOUT": 5.0})


@pytest.fixture(scope="module")
def proxy(net, gateway):
    return start_proxy(net, "--identify")


def site(gateway, path):
    return f"http://{gateway.dest_hash}.rns{path}"


def via(proxy):
    return {"http": f"http://127.0.0.1:{proxy.port}"}


def test_files_arrive_byte_identical_also_to_concurrent_clients(gateway, proxy):
    r = requests.get(site(gateway, "/big.bin"), proxies=via(proxy), timeout=180)
    assert r.status_code == 200 and r.content == FILES["big.bin"]
    names = [f"file{i}.bin" for i in range(8)]

    def one(name):
        got = requests.get(site(gateway, "/" + name), proxies=via(proxy), timeout=180)
        return got.status_code, got.content == FILES[name]

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert list(pool.map(one, names)) == [(200, True)] * 8


def test_post_body_404_redirect_and_chunked_answers_pass_unchanged(gateway, proxy, web):
    body = os.urandom(1 << 20)
    r = requests.post(site(gateway, "/upload"), data=body, proxies=via(proxy), timeout=180)
    assert r.status_code == 200 and r.json() == {"sha256": hashlib.sha256(body).hexdigest(), "size": len(body)}
    assert web.seen[-1]["sha256"] == hashlib.sha256(body).hexdigest()
    r = requests.get(site(gateway, "/nothing-here"), proxies=via(proxy), timeout=60)
    assert r.status_code == 404
    r = requests.get(site(gateway, "/redirect"), proxies=via(proxy), allow_redirects=False, timeout=60)
    assert r.status_code == 302 and r.headers["Location"] == "/index.html"
    r = requests.get(site(gateway, "/redirect"), proxies=via(proxy), timeout=60)  # followed through the proxy
    assert r.status_code == 200 and r.content == FILES["index.html"]
    r = requests.get(site(gateway, "/chunked"), proxies=via(proxy), timeout=60)
    assert r.content == b"first second third"
    # an HTTP/1.0 client cannot take chunks: the body runs until the proxy closes
    answer = raw(proxy, b"GET " + site(gateway, "/chunked").encode() + b" HTTP/1.0\r\n\r\n")
    head, body = answer.split(b"\r\n\r\n", 1)
    assert b"chunked" not in head.lower() and b"connection: close" in head.lower()
    assert body == b"first second third"


def test_identity_header_is_the_proxy_s_and_cannot_be_spoofed(gateway, proxy):
    r = requests.get(site(gateway, "/echo-headers"), proxies=via(proxy), timeout=60,
                     headers={"X-Reticulum-Identity": "f" * 32})
    seen = {k.lower(): v for k, v in r.json().items()}
    assert seen["x-reticulum-identity"] == proxy_identity(proxy)
    assert "x-hop" not in {k.lower() for k in r.headers}  # named in Connection: dropped on the way back


def proxy_identity(proxy):
    for line in proxy.stderr.splitlines():
        if line.startswith("Identity hash: "):
            return line.split()[-1]
    raise AssertionError(proxy.stderr)


def test_allow_list_lets_in_the_identified_proxy_only(net, web):
    allowed = start_proxy(net, "--identify", identity_path=os.path.join(net.config_dir, "allowed-identity"))
    other = start_proxy(net, identity_path=os.path.join(net.config_dir, "other-identity"))
    guarded = start_gateway(net, 81, web.url, "--allow", proxy_identity(allowed))
    before = len(web.seen)
    status, _, body = fetch(other, site(guarded, "/index.html").replace(".rns/", ".rns:81/"))
    assert status == 403 and len(web.seen) == before
    status, _, body = fetch(allowed, site(guarded, "/index.html").replace(".rns/", ".rns:81/"))
    assert (status, body) == (200, FILES["index.html"])
    for p in (allowed, other, guarded):
        p.stop()


def test_upstream_failures_are_named_and_everything_keeps_running(net, folder, gateway, proxy):
    # garbage instead of HTTP, and a body cut short, from the web server
    status, _, body = fetch(proxy, site(gateway, "/garbage"))
    assert status == 502
    # a body cut short: cut off where it is, or, on a compact link where nothing of it had
    # left yet (it was to go as a resource), a 502 in its place
    try:
        assert fetch(proxy, site(gateway, "/cut"))[0] == 502
    except http.client.HTTPException:
        pass
    assert fetch(proxy, site(gateway, "/index.html"))[2] == FILES["index.html"]
    # a web server that is down, then comes up
    later = Upstream(str(folder))
    waiting = start_gateway(net, 82, later.url)
    status, _, body = fetch(proxy, site(waiting, "/index.html").replace(".rns/", ".rns:82/"))
    assert status == 502 and body
    with later:
        status, _, body = fetch(proxy, site(waiting, "/index.html").replace(".rns/", ".rns:82/"))
        assert (status, body) == (200, FILES["index.html"])
    waiting.stop()


def test_browser_connection_garbage_and_early_close_leave_the_road_open(gateway, proxy):
    assert raw(proxy, b"\x00\x01\x02 nonsense\r\n\r\n").startswith(b"HTTP/1.1 400 ")
    s = socket.create_connection(("127.0.0.1", proxy.port))
    s.sendall(b"GET " + site(gateway, "/big.bin").encode() + b" HTTP/1.1\r\n\r\n")
    s.recv(100)
    s.close()
    status, _, body = fetch(proxy, site(gateway, "/file3.bin"))
    assert (status, body) == (200, FILES["file3.bin"])
