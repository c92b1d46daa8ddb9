"""Downloads whose Reticulum link dies half-way, over real Reticulum (separate processes):
through zivane-proxy and the web transports, an answer that allows ranges goes on from a
new link and arrives whole; any other is cut short as before, never spliced.

The site is an ASGI application served by zivane.web.serve in a process of its own. Its
paths say how it answers: /<kind>/<size>/<cuts>/<name>. It streams the body and, `cuts`
times per path, tears its Reticulum links down a third of the way through an answer (the
link dies, the site stays up), or stalls in silence there. A request with Range and a
matching If-Range gets the rest as 206; `kind` chooses the validator and the ways a
continuation can go wrong.
"""

import hashlib
import inspect
import json
import os
import socket
import subprocess

import pytest

from proxynet import start_proxy, stored_answers
from rnsnet import Network
from webnet import start_client

# Programs that are not Python run without the sanitizer's runtime (curl hangs with it).
PLAIN_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def content(path, version, size):
    """The body of `path` in its `version` (the site's copy of this function makes it)."""
    seed = ("%s-%d" % (path, version)).encode()
    return b"".join(hashlib.sha256(seed + b"%d" % i).digest() for i in range(size // 32 + 1))[:size]


LAST_MODIFIED = "Mon, 07 Dec 2026 10:00:00 GMT"
SITE_SOURCE = inspect.getsource(content) + """
import asyncio, gc, hashlib, json
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
import zivane.web
identity_path = os.path.join(CONFIG, "resume-site-identity")
RNS.Identity().to_file(identity_path)
dest_hash = RNS.Destination.hash(RNS.Identity.from_file(identity_path), "HTTP", "80").hex()
STATE, LOG = {}, {}
PIECE = 8192

def tear_down_links():
    for thing in gc.get_objects():
        if isinstance(thing, RNS.Link) and thing.status == RNS.Link.ACTIVE:
            thing.teardown()

def answer_head(kind, version, fields, size):
    tag = '"v%d"' % version
    head = [("content-type", "application/octet-stream")]
    if kind != "noranges":
        head.append(("accept-ranges", "bytes"))
    if kind == "weak":
        validator = "W/" + tag
        head.append(("etag", validator))
    elif kind == "dated":
        validator = ARGS[0]
        head += [("last-modified", validator), ("date", "Mon, 07 Dec 2026 11:00:00 GMT")]
    else:
        validator = tag
        head.append(("etag", tag))
    asked = fields.get("range", "")
    if_range_holds = kind == "ignores" or fields.get("if-range") == validator
    if not (asked.startswith("bytes=") and if_range_holds):
        return 200, head, 0, size - 1
    first, last = int(asked[6:].rstrip("-")), size - 1
    if kind == "shifted":
        first += 1
    if kind == "short":
        last -= 1
    if kind == "retagged":
        head = [h for h in head if h[0] != "etag"] + [("etag", '"other"')]
    if kind == "ignores":  # deaf to If-Range, and silent about which version the bytes are of
        head = [h for h in head if h[0] != "etag"]
    head.append(("content-range", "bytes %d-%d/%d" % (first, last, size)))
    return 206, head, first, last

async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
    path = scope["path"]
    _, kind, size, cuts, _ = path.split("/")
    size, cuts = int(size), int(cuts)
    state = STATE.setdefault(path, {"version": 1, "cuts": 0})
    fields = {k.decode().lower(): v.decode() for k, v in scope["headers"]}
    LOG.setdefault(path, []).append([fields.get("range"), fields.get("if-range")])
    status, head, first, last = answer_head(kind, state["version"], fields, size)
    body = content(path, state["version"], size)[first:last + 1]
    head.append(("content-length", str(len(body))))
    await send({"type": "http.response.start", "status": status,
                "headers": [(k.encode(), v.encode()) for k, v in head]})
    cut_at = len(body) // 3 if state["cuts"] < cuts else None
    for i in range(0, len(body), PIECE):
        await send({"type": "http.response.body", "body": body[i:i + PIECE], "more_body": True})
        if cut_at is not None and i + PIECE >= cut_at:
            state["cuts"] += 1
            if kind in ("changes", "ignores"):
                state["version"] += 1
            await asyncio.sleep(1.0)  # what was sent reaches the other end first
            if kind == "stalls":  # the link stays up, silent
                await asyncio.sleep(5.0)
                return
            await asyncio.get_running_loop().run_in_executor(None, tear_down_links)
            return
    await send({"type": "http.response.body", "body": b"", "more_body": False})

async def main():
    task = asyncio.ensure_future(zivane.web.serve(app, 80, identity_path=identity_path))
    await asyncio.sleep(0.5)
    if task.done():
        task.result()
    print("READY", dest_hash, flush=True)
    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, sys.stdin.readline):
        if line.strip() == "LOG":
            print("LOG", json.dumps(LOG), flush=True)
    task.cancel()

asyncio.run(main())
"""


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def site(net):
    proc = net.spawn(SITE_SOURCE, LAST_MODIFIED, name="site")
    proc.dest_hash = proc.ready_words[0]
    return proc


@pytest.fixture(scope="module")
def proxy(net, site):
    return start_proxy(net)


@pytest.fixture(scope="module")
def client(net, site):
    return start_client(net, site.dest_hash)


def asked(site, path):
    """The Range and If-Range of each request the site got for `path`."""
    return json.loads(site.command("LOG", "LOG").split(" ", 1)[1]).get(path, [])


def through_proxy(proxy, site, path):
    """GET through the proxy on a raw connection: (head lines, body as far as it came)."""
    request = (f"GET http://{site.dest_hash}.rns{path} HTTP/1.1\r\nHost: {site.dest_hash}.rns\r\n"
               "Connection: close\r\n\r\n").encode()
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=120) as s:
        s.sendall(request)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode("latin-1").lower().split("\r\n"), body


def continued_from(requests, validator):
    """The byte each continuation asked from, checking each carried `validator`."""
    assert requests[0] == [None, None]
    assert all(if_range == validator for _, if_range in requests[1:])
    return [int(r[len("bytes="):-1]) for r, _ in requests[1:]]


@pytest.mark.parametrize("kind, cuts, how", [("strong", 1, "raw"), ("dated", 1, "raw"), ("strong", 3, "curl")])
def test_a_download_whose_link_dies_arrives_whole_through_the_proxy(net, site, proxy, kind, cuts, how):
    size = 300_000
    path = f"/{kind}/{size}/{cuts}/proxy-{how}"
    if how == "raw":
        head, body = through_proxy(proxy, site, path)
        assert head[0].startswith("http/1.1 200") and f"content-length: {size}" in head
    else:
        out = subprocess.run(["curl", "-s", "-S", "-x", f"http://127.0.0.1:{proxy.port}",
                              f"http://{site.dest_hash}.rns{path}"],
                             capture_output=True, timeout=300, env=PLAIN_ENV)
        assert out.returncode == 0, out.stderr
        body = out.stdout
    assert body == content(path, 1, size)
    # the proxy's cache kept the answer as the browser got it, not its pieces
    assert stored_answers(net.config_dir)[f"http://{site.dest_hash}:80{path}"][1] == body
    starts = continued_from(asked(site, path), LAST_MODIFIED if kind == "dated" else '"v1"')
    assert len(starts) == cuts and starts == sorted(starts) and 0 < starts[0] and starts[-1] < size


def test_a_link_silent_half_way_is_given_up_and_the_download_goes_on(net, site):
    impatient = start_proxy(net, tunables={"_READ_TIMEOUT": 2.0})
    path = "/stalls/100000/1/proxy"
    _, body = through_proxy(impatient, site, path)
    assert body == content(path, 1, 100_000)
    assert len(continued_from(asked(site, path), '"v1"')) == 1


# kind: how the site answers; continued: whether it was asked for the rest at all
CUT_SHORT = [
    ("weak", False),       # a weak ETag may not be used with If-Range
    ("noranges", False),   # no Accept-Ranges
    ("changes", True),     # changed between tries: If-Range gets the new version whole
    ("shifted", True),     # a 206 that starts a byte late
    ("short", True),       # a 206 that ends a byte early
    ("retagged", True),    # a 206 of another version
    ("ignores", True),     # a 206 of the new version, without the ETag that would tell
]


@pytest.mark.parametrize("kind, continued", CUT_SHORT)
def test_an_answer_that_cannot_go_on_is_cut_short_through_the_proxy(site, proxy, kind, continued):
    size = 60_000
    path = f"/{kind}/{size}/1/proxy"
    head, body = through_proxy(proxy, site, path)
    assert head[0].startswith("http/1.1 200") and f"content-length: {size}" in head
    assert 0 < len(body) < size and body == content(path, 1, size)[:len(body)]
    assert len(asked(site, path)) == (2 if continued else 1)


FETCH = """
path = %r
try:
    if %r == "async":
        async def fetch():
            async with ahttp.stream("GET", base + path) as r:
                return r.status_code, b"".join([piece async for piece in r.aiter_bytes()])
        status, body = run(fetch())
    elif %r == "requests":
        r = session.get(base + path, timeout=120)
        status, body = r.status_code, r.content
    else:
        r = http.get(base + path)
        status, body = r.status_code, r.content
    result = [status, hashlib.sha256(body).hexdigest(), len(body)]
except Exception as e:
    result = type(e).__name__
"""


@pytest.mark.parametrize("library", ["httpx", "async", "requests"])
def test_a_download_whose_link_dies_arrives_whole_through_the_transports(site, client, library):
    size = 300_000
    path = f"/strong/{size}/2/{library}"
    result = client.check(FETCH % (path, library, library), timeout=300)
    assert result == [200, hashlib.sha256(content(path, 1, size)).hexdigest(), size]
    assert len(continued_from(asked(site, path), '"v1"')) == 2


@pytest.mark.parametrize("kind, error", [("changes", "RemoteProtocolError"), ("weak", "RemoteProtocolError"),
                                         ("shifted", "RemoteProtocolError"),
                                         ("ignores", "RemoteProtocolError")])
def test_an_answer_that_cannot_go_on_raises_in_the_transports(site, client, kind, error):
    path = f"/{kind}/60000/1/httpx"
    assert client.check(FETCH % (path, "httpx", "httpx"), timeout=300) == error
