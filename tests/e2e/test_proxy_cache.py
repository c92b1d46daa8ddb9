"""The proxy's HTTP cache over real Reticulum: proxy -> Reticulum -> gateway -> an upstream
in this process that answers what each test tells it to and logs every request it gets,
so "no request on the link" is "nothing reached the upstream"."""

import concurrent.futures
import glob
import http.server
import os
import subprocess
import sys
import threading
import time

import pytest

from bridgenet import start_gateway
from proxynet import fetch, start_proxy, stored_answers
from rnsnet import Network, free_port


class Site:
    """Routes path -> (status, headers, body); a request whose If-None-Match names the
    route's ETag gets 304. `seen` logs (method, path, headers) of every request."""

    def __init__(self):
        self.routes = {}
        self.delays = {}  # path -> seconds before answering
        self.seen = []
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self, with_body):
                length = int(self.headers.get("Content-Length") or 0)
                self.rfile.read(length)
                site.seen.append((self.command, self.path, dict(self.headers)))
                time.sleep(site.delays.get(self.path, 0))
                status, headers, body = site.routes.get(self.path, (404, {}, b"none"))
                etag = headers.get("ETag")
                if etag and self.headers.get("If-None-Match") == etag:
                    status, body = 304, b""
                self.send_response(status)
                for name, value in headers.items():
                    for one in value if isinstance(value, list) else [value]:
                        self.send_header(name, one)
                if status != 304:
                    self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if with_body and status != 304:
                    self.wfile.write(body)

            def do_GET(self):
                self.answer(True)

            def do_HEAD(self):
                self.answer(False)

            def do_POST(self):
                self.answer(True)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", free_port()), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def count(self, path):
        return sum(1 for _, p, _ in self.seen if p == path)

    def last(self, path):
        return [h for _, p, h in self.seen if p == path][-1]


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def site():
    s = Site()
    yield s
    s.server.shutdown()


@pytest.fixture(scope="module")
def gateway(net, site):
    return start_gateway(net, 80, site.url)


@pytest.fixture(scope="module")
def proxy(net, gateway):
    return start_proxy(net, "--connect-timeout", "10", "--timeout", "5")


def get(proxy, gateway, path, **kw):
    return fetch(proxy, f"http://{gateway.dest_hash}.rns{path}", **kw)


def cache_files(net):
    return glob.glob(os.path.join(net.config_dir, ".zivane", "cache", "*.zc"))


def keys_on_disk(net):
    keys = []
    for path in cache_files(net):
        with open(path, "rb") as f:
            f.readline()
            f.readline()
            keys.append(f.readline().decode().strip())
    return keys


def test_fresh_answers_take_nothing_from_the_link(site, gateway, proxy):
    site.routes["/fresh"] = (200, {"Cache-Control": "max-age=600", "ETag": '"f1"'}, b"fresh body")
    first = get(proxy, gateway, "/fresh")
    time.sleep(1.1)
    second = get(proxy, gateway, "/fresh")
    head = get(proxy, gateway, "/fresh", method="HEAD")
    assert first[0] == second[0] == head[0] == 200
    assert second[2] == b"fresh body" and head[2] == b""
    assert int(second[1]["Age"]) >= 1 and head[1]["Content-Length"] == "10"
    assert site.count("/fresh") == 1 and " cached" in proxy.stderr
    # the browser's own conditional request, answered from the store
    status, headers, _ = get(proxy, gateway, "/fresh", headers={"If-None-Match": '"f1"'})
    assert status == 304 and "Age" in headers and site.count("/fresh") == 1
    # a reload asks the site, conditionally
    status, _, body = get(proxy, gateway, "/fresh", headers={"Cache-Control": "no-cache"})
    assert (status, body) == (200, b"fresh body") and site.last("/fresh").get("If-None-Match") == '"f1"'


def test_stale_answers_are_revalidated(site, gateway, proxy):
    site.routes["/stale"] = (200, {"Cache-Control": "no-cache", "ETag": '"s1"', "X-Version": "1"}, b"stale body")
    site.routes["/dated"] = (200, {"Cache-Control": "max-age=0", "Last-Modified": "Sun, 06 Nov 1994 08:49:37 GMT"},
                             b"dated body")
    get(proxy, gateway, "/stale")
    get(proxy, gateway, "/dated")
    site.routes["/stale"] = (200, {"Cache-Control": "no-cache", "ETag": '"s1"', "X-Version": "2"}, b"stale body")
    status, headers, body = get(proxy, gateway, "/stale")
    assert (status, body) == (200, b"stale body") and "Age" in headers
    assert headers["X-Version"] == "2"  # the 304's fields refresh the stored head
    assert site.last("/stale")["If-None-Match"] == '"s1"'
    # the upstream's 304 to a conditional asks nothing of the body; If-Modified-Since for Last-Modified
    status, _, body = get(proxy, gateway, "/dated")
    assert site.last("/dated")["If-Modified-Since"] == "Sun, 06 Nov 1994 08:49:37 GMT"
    # a changed page replaces the stored one
    site.routes["/stale"] = (200, {"Cache-Control": "no-cache", "ETag": '"s2"'}, b"new body")
    assert get(proxy, gateway, "/stale")[2] == b"new body"
    assert get(proxy, gateway, "/stale")[2] == b"new body"
    assert site.last("/stale")["If-None-Match"] == '"s2"'


def test_stale_while_revalidate_and_stale_if_error(site, gateway, proxy):
    site.routes["/swr"] = (200, {"Cache-Control": "max-age=0, stale-while-revalidate=600", "ETag": '"a"'}, b"old")
    site.routes["/sie"] = (200, {"Cache-Control": "max-age=0, stale-if-error=600", "ETag": '"b"'}, b"kept")
    get(proxy, gateway, "/swr")
    get(proxy, gateway, "/sie")
    site.routes["/swr"] = (200, {"Cache-Control": "max-age=0, stale-while-revalidate=600", "ETag": '"c"'}, b"new")
    status, headers, body = get(proxy, gateway, "/swr")
    assert (status, body) == (200, b"old") and "110" in headers["Warning"]
    deadline = time.monotonic() + 30
    while site.count("/swr") < 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.5)
    assert get(proxy, gateway, "/swr")[2] == b"new"
    site.routes["/sie"] = (503, {}, b"down for a moment")
    status, headers, body = get(proxy, gateway, "/sie")
    assert (status, body) == (200, b"kept") and "Age" in headers


def test_heuristic_freshness(site, gateway, proxy):
    # a tenth of the time since Last-Modified, for statuses that allow it: the favicon's 404 too
    ten_days_ago = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(time.time() - 10 * 86400))
    rfc850 = time.strftime("%A, %d-%b-%y %H:%M:%S GMT", time.gmtime(time.time() - 10 * 86400))
    site.routes["/favicon.ico"] = (404, {"Last-Modified": ten_days_ago}, b"no icon")
    site.routes["/old"] = (200, {"Last-Modified": rfc850}, b"old page")
    site.routes["/moved"] = (302, {"Last-Modified": ten_days_ago, "Location": "/old"}, b"")
    site.routes["/missing"] = (404, {}, b"nothing here")  # nothing to go by: a few minutes
    site.routes["/dynamic"] = (200, {}, b"made just now")  # nothing to go by: asked each time
    paths = ("/favicon.ico", "/old", "/moved", "/missing", "/dynamic")
    for path in paths:
        get(proxy, gateway, path)
        get(proxy, gateway, path)
    assert [site.count(p) for p in paths] == [1, 1, 2, 1, 2]
    # a browser's condition holds for a 2xx only: the stored 404 is no 304 for it
    now = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime())
    status, _, body = get(proxy, gateway, "/favicon.ico", headers={"If-Modified-Since": now})
    assert (status, body) == (404, b"no icon") and site.count("/favicon.ico") == 1


def test_freshness_by_the_sites_word(site, gateway, proxy):
    later = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(time.time() + 3600))
    cases = {
        "/expires": ({"Expires": later}, 1),
        "/expires-invalid": ({"Expires": "0", "ETag": '"x"'}, 2),  # in the past, whatever it says
        "/aged": ({"Cache-Control": "max-age=600", "Age": "700"}, 2),  # older than its lifetime already
        "/max-age-wins": ({"Cache-Control": "max-age=600", "Expires": "Thu, 01 Jan 1970 00:00:00 GMT"}, 1),
        "/max-age-junk": ({"Cache-Control": "max-age=" + "9x" * 12}, 2),  # not a number: stale
    }
    for path, (fields, _) in cases.items():
        site.routes[path] = (200, fields, b"body")
        get(proxy, gateway, path)
        status, headers, _ = get(proxy, gateway, path)
    assert {path: site.count(path) for path in cases} == {path: case[1] for path, case in cases.items()}
    assert int(get(proxy, gateway, "/expires")[1]["Age"]) < 60


def test_what_is_not_stored(net, site, gateway, proxy):
    long_vary = ", ".join(f"X-H{i}" for i in range(20))
    cases = {
        "/no-store": ({"Cache-Control": "no-store"}, {}, 2),
        "/cookie": ({"Cache-Control": "max-age=600", "Set-Cookie": "id=1"}, {}, 2),
        "/auth": ({"Cache-Control": "max-age=600"}, {"Authorization": "Basic eDp5"}, 2),
        "/auth-public": ({"Cache-Control": "public, max-age=600"}, {"Authorization": "Basic eDp5"}, 1),
        "/private": ({"Cache-Control": "private, max-age=600"}, {}, 1),
        "/vary-star": ({"Cache-Control": "max-age=600", "Vary": "*"}, {}, 2),
        "/vary-long": ({"Cache-Control": "max-age=600", "Vary": long_vary}, {}, 2),
        "/asked-no-store": ({"Cache-Control": "max-age=600"}, {"Cache-Control": "no-store"}, 2),
        "/not-found": ({"Cache-Control": "max-age=600"}, {}, 1),
    }
    for path, (answer_fields, request_fields, _) in cases.items():
        site.routes[path] = (404 if path == "/not-found" else 200, answer_fields, b"body of " + path.encode())
        for _ in range(2):
            status, headers, body = get(proxy, gateway, path, headers=request_fields)
            assert body == b"body of " + path.encode()
    assert {path: site.count(path) for path in cases} == {path: case[2] for path, case in cases.items()}
    # the cookie reached the browser both times, and never the disk
    assert all("Set-Cookie" not in open(p, "rb").read().decode("latin-1") for p in cache_files(net))


def test_a_proxy_other_machines_reach_keeps_no_private_answers(net, site, gateway):
    home, port = os.path.join(net.config_dir, "wide-home"), free_port()
    wide = start_proxy(net, "--listen", f"0.0.0.0:{port}", home=home)
    wide.port = port
    site.routes["/mine"] = (200, {"Cache-Control": "private, max-age=600"}, b"my account")
    site.routes["/ours"] = (200, {"Cache-Control": "max-age=600"}, b"everyone's")
    for path in ("/mine", "/ours") * 2:
        get(wide, gateway, path)
    assert (site.count("/mine"), site.count("/ours")) == (2, 1)
    # nor an answer to one browser's cookie, unless the site says it is for everyone
    site.routes["/signed-in"] = (200, {"Cache-Control": "max-age=600"}, b"hello, alice")
    site.routes["/signed-in-public"] = (200, {"Cache-Control": "public, max-age=600"}, b"the news")
    for path in ("/signed-in", "/signed-in-public"):
        get(wide, gateway, path, headers={"Cookie": "session=alice"})
        get(wide, gateway, path)
    assert (site.count("/signed-in"), site.count("/signed-in-public")) == (2, 1)
    # nor serves one that the user's loopback proxy stored in the same directory
    site.routes["/mine-too"] = (200, {"Cache-Control": "private, max-age=600"}, b"my mail")
    get(start_proxy(net, home=home), gateway, "/mine-too")
    assert get(wide, gateway, "/mine-too")[2] == b"my mail" and site.count("/mine-too") == 2


def test_variants_by_vary(site, gateway, proxy):
    site.routes["/lang"] = (200, {"Cache-Control": "max-age=600", "Vary": "Accept-Language"}, b"lang")
    for language in ("en", "fr", "en", "fr"):
        assert get(proxy, gateway, "/lang", headers={"Accept-Language": language})[0] == 200
    assert [h["Accept-Language"] for _, p, h in site.seen if p == "/lang"] == ["en", "fr"]


def test_a_url_keeps_a_bounded_number_of_variants(net, site, gateway, proxy):
    # each is read whole on every look-up of the URL: a site's Vary must not make them many
    site.routes["/many"] = (200, {"Cache-Control": "max-age=600", "Vary": "X-Variant"}, b"v" * 5000)
    for i in range(40):
        get(proxy, gateway, "/many", headers={"X-Variant": str(i)})
    assert keys_on_disk(net).count(f"http://{gateway.dest_hash}:80/many") <= 16
    get(proxy, gateway, "/many", headers={"X-Variant": "39"})  # the latest are kept
    assert site.count("/many") == 40


def test_unsafe_methods_invalidate(site, gateway, proxy):
    site.routes["/doc"] = (200, {"Cache-Control": "max-age=600"}, b"doc")
    get(proxy, gateway, "/doc")
    get(proxy, gateway, "/doc")
    assert site.count("/doc") == 1
    assert get(proxy, gateway, "/doc", method="POST", body=b"edit")[0] == 200
    get(proxy, gateway, "/doc")
    assert [m for m, p, _ in site.seen if p == "/doc"] == ["GET", "POST", "GET"]


def test_answers_land_only_under_their_own_url(net, site, gateway, proxy):
    other = "ab" * 16
    site.routes["/poison"] = (200, {"Cache-Control": "max-age=600",
                                    "Content-Location": f"http://{other}.rns/victim"}, b"poison")
    site.routes["/victim"] = (200, {"Cache-Control": "max-age=600"}, b"victim")
    site.routes["/victim2"] = (200, {"Content-Location": "/victim"}, b"not the victim")
    get(proxy, gateway, "/poison")
    get(proxy, gateway, "/victim2")
    assert get(proxy, gateway, "/victim")[2] == b"victim"
    status, _, body = fetch(proxy, f"http://{other}.rns/victim", timeout=60)
    assert status in (502, 504) and body != b"poison"
    asked = {f"http://{gateway.dest_hash}:80{path}" for _, path, _ in site.seen}
    assert set(keys_on_disk(net)) <= asked


def test_broken_files_are_never_served(net, site, gateway, proxy):
    site.routes["/one"] = (200, {"Cache-Control": "max-age=600"}, b"first page " * 100)
    site.routes["/two"] = (200, {"Cache-Control": "max-age=600"}, b"second page")
    get(proxy, gateway, "/one")
    get(proxy, gateway, "/two")

    def file_of(path):
        return next(p for p in cache_files(net) if keys_on_disk_of(p) == f"http://{gateway.dest_hash}:80{path}")

    def keys_on_disk_of(p):
        with open(p, "rb") as f:
            f.readline(), f.readline()
            return f.readline().decode().strip()

    # a flipped byte in the body, then a cut file: discarded, fetched again, stored again
    for spoil in (lambda data: data[:-60] + bytes([data[-60] ^ 1]) + data[-59:], lambda data: data[:-100]):
        path = file_of("/one")
        with open(path, "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(spoil(data))
        seen = site.count("/one")
        assert get(proxy, gateway, "/one")[2] == b"first page " * 100
        assert site.count("/one") == seen + 1
        assert get(proxy, gateway, "/one")[2] == b"first page " * 100 and site.count("/one") == seen + 1
    # a whole, sound file under another URL's name
    with open(file_of("/one"), "rb") as f:
        data = f.read()
    with open(file_of("/two"), "wb") as f:
        f.write(data)
    seen = site.count("/two")
    assert get(proxy, gateway, "/two")[2] == b"second page" and site.count("/two") == seen + 1


def test_the_bound_holds_and_a_restart_keeps_the_store(net, site, gateway):
    home = os.path.join(net.config_dir, "small-home")
    small = start_proxy(net, "--cache-size", "64K", home=home)
    directory = os.path.join(home, ".zivane", "cache")
    for i in range(40):
        site.routes[f"/page{i}"] = (200, {"Cache-Control": "max-age=600"}, b"%04d" % i * 500)
        assert get(small, gateway, f"/page{i}")[0] == 200
    site.routes["/big"] = (200, {"Cache-Control": "max-age=600"}, b"b" * 9000)  # over an eighth
    get(small, gateway, "/big")
    files = glob.glob(os.path.join(directory, "*.zc"))
    assert sum(os.path.getsize(p) for p in files) <= 64 * 1024 and len(files) < 40
    get(small, gateway, "/page39")
    get(small, gateway, "/page0")  # evicted long ago: asked again
    assert site.count("/page39") == 1 and site.count("/page0") == 2
    get(small, gateway, "/big")
    assert site.count("/big") == 2
    small.stop()
    again = start_proxy(net, "--cache-size", "64K", home=home)
    assert get(again, gateway, "/page39")[2] == b"0039" * 500 and site.count("/page39") == 1
    get(again, gateway, "/big")
    html = fetch(again, f"http://127.0.0.1:{again.port}/")[2].decode()
    assert "1 hits, 0 confirmed, 1 misses, 0 served offline" in html
    off = start_proxy(net, "--no-cache", home=home)
    get(off, gateway, "/page39")
    assert site.count("/page39") == 2
    assert "The cache is off." in fetch(off, f"http://127.0.0.1:{off.port}/")[2].decode()


def test_proxies_sharing_a_directory_keep_it_sound(net, site, gateway):
    home = os.path.join(net.config_dir, "shared-home")
    proxies = [start_proxy(net, home=home), start_proxy(net, home=home)]
    pages = {f"/shared{i}": b"%d" % i * (20000 + i) for i in range(5)}
    for path, body in pages.items():
        site.routes[path] = (200, {"Cache-Control": "no-cache", "ETag": f'"{path}"'}, body)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        jobs = [pool.submit(get, proxies[n % 2], gateway, path) for n in range(4) for path in pages]
        assert all(job.result()[2] == pages[path] for job, path in zip(jobs, list(pages) * 4))
    stored = stored_answers(home)
    assert {key.rsplit("/", 1)[1]: body for key, (_, body) in stored.items()} == \
        {path[1:]: body for path, body in pages.items()}
    assert not [n for n in os.listdir(os.path.join(home, ".zivane", "cache")) if n.startswith(".tmp")]


@pytest.mark.parametrize("size", ["", "50X", "M", "-1", "0", "99999999999G"])
def test_a_cache_size_that_is_no_size_is_a_usage_error(size, tmp_path):
    proc = subprocess.run([sys.executable, "-m", "zivane.proxy", "--cache-size", size], capture_output=True,
                          text=True, timeout=60, env=dict(os.environ, HOME=str(tmp_path)))
    assert proc.returncode == 2 and proc.stderr.startswith("Error: invalid --cache-size"), proc.stderr


def test_unreachable_sites_get_their_stored_copies(net, site, proxy):
    gw = start_gateway(net, 8080, site.url)
    base = f"http://{gw.dest_hash}.rns:8080"
    site.routes["/offline"] = (200, {"Cache-Control": "max-age=0", "ETag": '"o"'}, b"offline copy")
    site.routes["/guarded"] = (200, {"Cache-Control": "max-age=0, must-revalidate", "ETag": '"g"'}, b"g")
    assert fetch(proxy, base + "/offline")[0] == 200
    assert fetch(proxy, base + "/guarded")[0] == 200
    gw.stop()
    status, headers, body = fetch(proxy, base + "/offline", timeout=120)
    assert (status, body) == (200, b"offline copy")
    assert "111" in headers["Warning"] and "Age" in headers
    # the proxy knows the site is gone now: copies come at once
    start = time.monotonic()
    status, headers, body = fetch(proxy, base + "/offline")
    assert (status, body) == (200, b"offline copy") and time.monotonic() - start < 3
    assert fetch(proxy, base + "/never-seen", timeout=120)[0] in (502, 504)
    assert fetch(proxy, base + "/guarded", timeout=120)[0] in (502, 504)  # must-revalidate: no stale copy


def test_a_site_that_does_not_answer_in_time(site, gateway, proxy):
    # last of the module: the destination is taken for unreachable afterwards
    site.routes["/late"] = (200, {"Cache-Control": "max-age=0", "ETag": '"l"'}, b"on time once")
    get(proxy, gateway, "/late")
    site.delays["/late"] = 8
    status, headers, body = get(proxy, gateway, "/late")
    assert (status, body) == (200, b"on time once") and "111" in headers["Warning"]


def test_an_answer_is_stored_before_the_browser_has_all_of_it(site, gateway, proxy):
    # the browser's next request, on another connection, may come the moment the last byte does
    paths = [f"/at-once{i}" for i in range(30)]
    for path in paths:
        site.routes[path] = (200, {"Cache-Control": "max-age=600"}, path.encode() * 2000)
        get(proxy, gateway, path)
        assert get(proxy, gateway, path)[2] == path.encode() * 2000
    assert [site.count(path) for path in paths] == [1] * len(paths)
