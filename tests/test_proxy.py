"""zivane-proxy in front of a zivane server over real Reticulum (separate processes): what
ordinary HTTP clients get through it, and what hostile browser connections get."""

import concurrent.futures
import hashlib
import json
import os
import socket
import subprocess
import time

import pytest
import requests

from proxynet import fetch, raw, start_proxy
from rnsnet import Network

# The sanitizer holds freed memory in quarantine: memory figures say nothing under it.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# Programs that are not Python run without the sanitizer's runtime (curl hangs with it).
PLAIN_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}

SETUP = '''
import hashlib, json, time
def blob(n):
    return b"".join(hashlib.sha256(b"%d-%d" % (n, i)).digest() for i in range(n // 32 + 1))[:n]

def answer(request):
    path = request.path
    if path.startswith("/blob/"):
        return HttpResponse(status=200, body=blob(int(path[6:])), headers={"Content-Type": "application/octet-stream"})
    if path == "/echo":
        seen = {"method": request.method, "path": path, "headers": request.headers,
                "sha": hashlib.sha256(request.body or b"").hexdigest(), "size": len(request.body or b"")}
        return HttpResponse(status=200, body=json.dumps(seen).encode(), headers={"Content-Type": "application/json"})
    if path == "/moved":
        return HttpResponse(status=302, headers={"Location": "/echo"}, body=b"")
    if path == "/slow":
        time.sleep(3)
        return HttpResponse(status=200, body=b"late")
    return HttpResponse(status=404, body=b"no such page")

server.set_default_handler(answer)
'''


def blob(n):
    return b"".join(hashlib.sha256(b"%d-%d" % (n, i)).digest() for i in range(n // 32 + 1))[:n]


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def site(net):
    return net.start_server(port=80, setup=SETUP, identity_path=os.path.join(net.config_dir, "site-identity"))


@pytest.fixture(scope="module")
def proxy(net, site):
    return start_proxy(net)


def url(site, path, port=None):
    return f"http://{site.dest_hash}.rns{'' if port is None else f':{port}'}{path}"


def proxies(proxy):
    address = f"http://127.0.0.1:{proxy.port}"
    return {"http": address, "https": address}


def test_ordinary_clients_get_the_site(site, proxy):
    # requests, curl -x and http.client, as a browser would use a proxy
    r = requests.get(url(site, "/blob/2097152"), proxies=proxies(proxy), timeout=120)
    assert r.status_code == 200 and r.content == blob(2097152)
    out = subprocess.run(["curl", "-s", "-x", f"http://127.0.0.1:{proxy.port}", url(site, "/blob/1000")],
                         capture_output=True, timeout=60, env=PLAIN_ENV)
    assert out.returncode == 0 and out.stdout == blob(1000)
    status, headers, body = fetch(proxy, url(site, "/missing"))
    assert (status, body) == (404, b"no such page")
    r = requests.get(url(site, "/moved"), proxies=proxies(proxy), allow_redirects=False, timeout=60)
    assert r.status_code == 302 and r.headers["Location"] == "/echo"
    status, headers, body = fetch(proxy, url(site, "/blob/5000"), method="HEAD")
    assert status == 200 and body == b"" and headers["Content-Length"] == "5000"


def test_request_goes_out_in_origin_form_with_bodies_intact(site, proxy):
    body = os.urandom(1 << 20)
    r = requests.post(url(site, "/echo"), data=body, proxies=proxies(proxy), timeout=120,
                      headers={"Proxy-Connection": "keep-alive", "X-Custom": "kept"})
    seen = r.json()
    assert seen["path"] == "/echo" and seen["method"] == "POST"
    assert seen["size"] == len(body) and seen["sha"] == hashlib.sha256(body).hexdigest()
    names = {k.lower(): v for k, v in seen["headers"].items()}
    assert names["host"] == f"{site.dest_hash}.rns" and names["x-custom"] == "kept"
    assert "proxy-connection" not in names
    # a chunked upload is carried chunked and arrives whole
    pieces = [os.urandom(n) for n in (1, 70000, 3)]
    r = requests.post(url(site, "/echo"), data=iter(pieces), proxies=proxies(proxy), timeout=120)
    assert r.json()["sha"] == hashlib.sha256(b"".join(pieces)).hexdigest()


def test_concurrent_clients_share_one_link_and_get_their_own_answers(site, proxy):
    sizes = [1000 * (i + 1) + i for i in range(8)] + [300_000]

    def one(n):
        r = requests.get(url(site, f"/blob/{n}"), proxies=proxies(proxy), timeout=120)
        return r.status_code, r.content == blob(n)

    with concurrent.futures.ThreadPoolExecutor(len(sizes)) as pool:
        results = list(pool.map(one, sizes))
    assert results == [(200, True)] * len(sizes)
    # keep-alive: many requests on one browser connection, and pipelined ones answered in order
    with requests.Session() as s:
        for n in (10, 20, 30):
            assert s.get(url(site, f"/blob/{n}"), proxies=proxies(proxy), timeout=60).content == blob(n)
    pipelined = b"".join(
        f"GET {url(site, f'/blob/{n}')} HTTP/1.1\r\nHost: {site.dest_hash}.rns\r\n\r\n".encode() for n in (7, 8))
    answer = raw(proxy, pipelined + b"GET " + url(site, "/blob/9").encode() + b" HTTP/1.1\r\nConnection: close\r\n\r\n")
    assert answer.count(b"HTTP/1.1 200") == 3
    assert answer.index(blob(7)) < answer.index(blob(8)) < answer.index(blob(9))
    # the destination named by Host (a client using the proxy as the server), any case, port 80 spelled out
    answer = raw(proxy, f"GET /blob/5 HTTP/1.1\r\nHost: {site.dest_hash.upper()}.RNS:80\r\n"
                        "Connection: close\r\n\r\n".encode())
    assert answer.startswith(b"HTTP/1.1 200 ") and answer.endswith(b"\r\n\r\n" + blob(5))


@pytest.mark.parametrize("request_bytes, status, words", [
    (b"GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n", 400, b"Reticulum destinations only"),
    (b"GET http://abc.rns/ HTTP/1.1\r\n\r\n", 400, b"malformed destination hash"),
    (b"GET http://" + b"g" * 32 + b".rns/ HTTP/1.1\r\n\r\n", 400, b"malformed destination hash"),
    (b"GET http://" + b"a" * 32 + b".rns:99999/ HTTP/1.1\r\n\r\n", 400, b"bad port"),
    (b"GET https://" + b"a" * 32 + b".rns/ HTTP/1.1\r\n\r\n", 400, b"Reticulum destinations only"),
    (b"GET /page HTTP/1.1\r\n\r\n", 400, b"no Host header"),
    (b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n", 405, b"encrypted end to end"),
    (b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03garbage\r\n\r\n", 400, b"bad request"),
    (b"GET / HTTP/1.1\r\nX: " + b"y" * 70000 + b"\r\n\r\n", 431, b""),
    (b"GET / HTTP/2.0\r\nHost: x\r\n\r\n", 505, b""),
])
def test_unusable_requests_get_a_clear_status(proxy, request_bytes, status, words):
    answer = raw(proxy, request_bytes)
    assert answer.startswith(b"HTTP/1.1 %d " % status), answer[:200]
    assert words in answer and b"text/plain" in answer


def test_hostile_connections_leave_the_others_working(site, proxy):
    quiet = [socket.create_connection(("127.0.0.1", proxy.port)) for _ in range(3)]
    quiet[0].sendall(b"GET " + url(site, "/blob/10").encode())  # half a head, then nothing
    quiet[1].sendall(b"POST " + url(site, "/echo").encode() + b" HTTP/1.1\r\nContent-Length: 100000\r\n\r\nabc")
    quiet[1].close()  # a body cut short: the link must not be left waiting for the rest
    for _ in range(20):  # open and close at once
        socket.create_connection(("127.0.0.1", proxy.port)).close()
    status, _, body = fetch(proxy, url(site, "/blob/4321"))
    assert (status, body) == (200, blob(4321))
    # a browser that goes away while its answer streams
    s = socket.create_connection(("127.0.0.1", proxy.port))
    s.sendall(b"GET " + url(site, "/blob/3000000").encode() + b" HTTP/1.1\r\n\r\n")
    s.recv(1000)
    s.close()
    status, _, body = fetch(proxy, url(site, "/blob/999"))
    assert (status, body) == (200, blob(999))
    for q in quiet:
        q.close()


def test_slim_drops_what_identifies_the_browser(net, site):
    slim = start_proxy(net, "--slim")
    headers = {"User-Agent": "Mozilla/5.0 (X11; Linux x86_64)", "Accept-Language": "en-GB,en;q=0.9",
               "Referer": "http://x.rns/", "Sec-Fetch-Mode": "navigate", "DNT": "1", "Priority": "u=0, i",
               "Upgrade-Insecure-Requests": "1", "Accept": "text/html", "Cookie": "a=b",
               "Authorization": "Basic eDp5", "If-None-Match": '"v1"', "Accept-Encoding": "gzip"}
    r = requests.get(url(site, "/echo"), headers=headers, proxies=proxies(slim), timeout=60)
    kept = {k.lower() for k in r.json()["headers"]}
    assert {"accept", "cookie", "authorization", "if-none-match", "accept-encoding", "host"} <= kept
    assert not kept & {"user-agent", "accept-language", "referer", "sec-fetch-mode", "dnt", "priority",
                       "upgrade-insecure-requests"}
    slim.stop()


def test_unreachable_destination_and_a_site_that_comes_back(net):
    identity = os.path.join(net.config_dir, "returning-identity")
    site = net.start_server(port=8080, setup=SETUP, identity_path=identity)
    proxy = start_proxy(net, tunables={"_CONNECT_TIMEOUT": 3.0})
    t = time.monotonic()
    status, _, body = fetch(proxy, f"http://{'0' * 32}.rns/")
    assert status == 502 and b"0" * 32 + b".rns" in body and b"unreachable" in body
    assert time.monotonic() - t < 20
    assert fetch(proxy, url(site, "/blob/10", 8080))[2] == blob(10)
    # the site's process ends while an answer is awaited: that request gets 502 naming
    # the destination; a new link is opened to the site started again
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        waiting = pool.submit(fetch, proxy, url(site, "/slow", 8080))
        time.sleep(1)
        site.stop()
        status, _, body = waiting.result()
    assert status == 502 and site.dest_hash.encode() in body and b"closed" in body
    again = net.start_server(port=8080, setup=SETUP, identity_path=identity)
    assert again.dest_hash == site.dest_hash
    deadline = time.monotonic() + 30
    while (status := fetch(proxy, url(site, "/blob/11", 8080))[0]) != 200 and time.monotonic() < deadline:
        time.sleep(0.5)
    assert status == 200
    proxy.stop()
    assert proxy.popen.returncode == 0


def test_a_browser_that_stops_reading_is_cut_off_and_memory_stays_bounded(net, site):
    psutil = pytest.importorskip("psutil")
    proxy = start_proxy(net, tunables={"_ANSWER_LIMIT": 1 << 20})
    assert fetch(proxy, url(site, "/blob/100"))[2] == blob(100)
    process = psutil.Process(proxy.popen.pid)
    before = process.memory_info().rss
    size = 3_000_000
    stuck = socket.create_connection(("127.0.0.1", proxy.port))
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    stuck.sendall(b"GET " + url(site, f"/blob/{size}").encode() + b" HTTP/1.1\r\nConnection: close\r\n\r\n")
    stuck.recv(1, socket.MSG_PEEK)  # its answer has begun: it is ahead of the next one
    # the answer behind the stuck one still arrives, once the link has carried the stuck one
    # past what the sockets hold and the proxy keeps for it
    status, _, body = fetch(proxy, url(site, "/blob/777"), timeout=120)
    assert (status, body) == (200, blob(777))
    assert SANITIZED or process.memory_info().rss - before < 24 << 20
    got = 0
    stuck.settimeout(90)
    while chunk := stuck.recv(1 << 16):
        got += len(chunk)
    stuck.close()
    assert got < size
    proxy.stop()


def test_a_destination_that_does_not_answer_in_time_gets_504_and_a_fresh_link_after(net, site):
    proxy = start_proxy(net, tunables={"_REQUEST_TIMEOUT": 1.0})
    status, _, body = fetch(proxy, url(site, "/slow"))
    assert status == 504 and site.dest_hash.encode() in body and b"in time" in body
    # the late answer is never taken for the next request's: that one goes out on a new link
    assert fetch(proxy, url(site, "/blob/64"))[2] == blob(64)
    proxy.stop()
