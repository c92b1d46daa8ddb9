"""Python web applications over real Reticulum: a Starlette app and a Flask app served by
`zivane-gateway PORT module:app` (and by zivane.web.serve), called through zivane's httpx
and requests transports from another process."""

import hashlib
import os
import time

import pytest

pytest.importorskip("httpx")
pytest.importorskip("requests")
pytest.importorskip("starlette")
pytest.importorskip("flask")

from rnsnet import Network
from webnet import pattern_piece, serve_app, start_client

UPLOAD = 5 << 20


@pytest.fixture(scope="module")
def starlette_site(tmp_path_factory):
    marker = tmp_path_factory.mktemp("web") / "shutdown"
    os.environ["WEBAPP_SHUTDOWN_MARKER"] = str(marker)
    try:
        with Network() as net:
            server = serve_app(net, "webapps:starlette_app")
            yield net, server, start_client(net, server.dest_hash), marker
    finally:
        os.environ.pop("WEBAPP_SHUTDOWN_MARKER", None)


@pytest.fixture(scope="module")
def flask_site():
    with Network() as net:
        server = serve_app(net, "webapps:flask_app")
        yield server, start_client(net, server.dest_hash)


def stream_digest(count, size):
    digest = hashlib.sha256()
    for i in range(count):
        digest.update(pattern_piece(i, size))
    return digest.hexdigest()


def test_asgi_routes_through_every_transport_run_on_the_lifespans_loop(starlette_site):
    _, _, client, _ = starlette_site
    got = client.check("""
        result = [http.get(base + "/json?x=1").json(),
                  run(ahttp.get(base + "/json")).json(),
                  session.get(base + "/json", timeout=60).json(),
                  http.get(base + "/items/a%20b").json(),
                  session.get(base + "/items/%C3%A9t%C3%A9").json()]
    """)
    for answer in got[:3]:
        # The resource the lifespan opened is open, and the request ran on its loop.
        assert answer["open"] is True and answer["same_loop"] is True
    assert got[0]["query"] == "x=1"
    assert got[3] == {"item": "a b"} and got[4] == {"item": "été"}


def test_asgi_bodies_stream_both_ways_byte_identical(starlette_site):
    _, _, client, _ = starlette_site
    got = client.check(f"""
        data = bytes(i * 7 % 256 for i in range({UPLOAD}))
        want = hashlib.sha256(data).hexdigest()
        sync_up = http.post(base + "/upload", content=data).json()
        async def pieces():
            for i in range(0, len(data), 100000):
                yield data[i:i + 100000]
        async_up = run(ahttp.post(base + "/upload", content=pieces())).json()
        req_up = session.post(base + "/upload", data=data, timeout=120).json()
        gen_up = session.post(base + "/upload", data=(data[i:i + 65536] for i in range(0, len(data), 65536)),
                              timeout=120).json()
        with http.stream("GET", base + "/stream?count=40&size=20000") as r:
            sync_down = hashlib.sha256(b"".join(r.iter_raw())).hexdigest()
            chunked = r.headers.get("transfer-encoding")
        async def down():
            async with ahttp.stream("GET", base + "/stream?count=40&size=20000") as r:
                d = hashlib.sha256()
                async for piece in r.aiter_raw():
                    d.update(piece)
                return d.hexdigest()
        r = session.get(base + "/stream?count=40&size=20000", stream=True, timeout=60)
        req_down = hashlib.sha256(b"".join(r.iter_content(8192))).hexdigest()
        result = [want, sync_up, async_up, req_up, gen_up, sync_down, run(down()), req_down, chunked]
    """, timeout=300)
    want, *ups = got[:5]
    for up in ups:
        assert up == {"sha256": want, "size": UPLOAD}
    expected = stream_digest(40, 20000)
    assert got[5:8] == [expected] * 3
    assert got[8] == "chunked"


def test_identity_reaches_the_app_only_when_the_client_identified(starlette_site):
    _, _, client, _ = starlette_site
    got = client.check("""
        plain = http.get(base + "/whoami", headers={"X-Reticulum-Identity": "f" * 32}).json()
        known = who.get(base + "/whoami", headers={"X-Reticulum-Identity": "f" * 32}).json()
        result = [plain, known, RNS.Identity.from_file(mine).hash.hex()]
    """)
    plain, known, mine = got
    # Not identified: a per-link name, and the spoofed field is gone.
    assert plain["client"].startswith("link-") and plain["header"] is None
    assert known["client"] == mine and known["header"] == mine and known["port"] == 0


def test_app_failures_give_500_or_a_cut_answer_and_the_link_goes_on(starlette_site):
    _, server, client, _ = starlette_site
    got = client.check("""
        out = []
        for c in (http, who):
            out.append(c.get(base + "/boom").status_code)
            out.append(c.get(base + "/json").status_code)
            with c.stream("GET", base + "/boom-late") as r:
                out.append([r.status_code, b"".join(r.iter_raw()).decode()])
            out.append(c.get(base + "/json").status_code)
        out.append(session.get(base + "/boom", timeout=60).status_code)
        out.append(session.get(base + "/json", timeout=60).status_code)
        result = out
    """)
    assert got == [500, 200, [200, "first piece"], 200] * 2 + [500, 200]
    assert "boom before the response" in "\n".join(server.lines)


def test_transport_errors_map_to_the_libraries_exceptions(starlette_site):
    _, _, client, _ = starlette_site
    got = client.check("""
        out = []
        try:
            http.get(base + "/slow?t=3", timeout=httpx.Timeout(30, read=1))
        except httpx.ReadTimeout as exc:
            out.append("read-timeout")
        out.append(http.get(base + "/json").status_code)   # a new link after the late answer
        for url in ("http://example.com/", "http://" + "0" * 31 + ".rns/"):
            try:
                http.get(url)
            except httpx.UnsupportedProtocol:
                out.append("unsupported")
        try:
            http.get("http://" + "ab" * 16 + ".rns/", timeout=httpx.Timeout(2))
        except (httpx.ConnectTimeout, httpx.ConnectError) as exc:
            out.append("connect")
        try:
            session.get("http://" + "ab" * 16 + ".rns/", timeout=(2, 5))
        except requests.exceptions.ConnectionError as exc:
            out.append("requests-connect")
        try:
            session.get(base + "/slow?t=3", timeout=(30, 1))
        except requests.exceptions.ReadTimeout:
            out.append("requests-read-timeout")
        result = out
    """)
    assert got == ["read-timeout", 200, "unsupported", "unsupported", "connect", "requests-connect",
                   "requests-read-timeout"]


def test_concurrent_requests_on_one_link_run_at_once(starlette_site):
    _, _, client, _ = starlette_site
    elapsed = client.check("""
        async def many():
            await ahttp.get(base + "/json")
            start = time.monotonic()
            answers = await asyncio.gather(*[ahttp.get(base + "/slow?t=1") for _ in range(10)])
            assert all(a.status_code == 200 for a in answers)
            return time.monotonic() - start
        result = run(many())
    """)
    assert elapsed < 5, elapsed  # one after the other would take 10 s


def test_hostile_peers_get_clear_answers_and_pipelined_answers_keep_their_order(starlette_site):
    net, server, client, _ = starlette_site
    peer = net.start_peer(server.dest_hash, 80)
    # A slow request, then quick ones behind it on the same link: answered in order.
    peer.send(b"GET /slow?t=0.5 HTTP/1.1\r\nHost: x\r\n\r\nGET /items/2 HTTP/1.1\r\nHost: x\r\n\r\n"
              b"GET /items/3 HTTP/1.1\r\nHost: x\r\n\r\n")
    answers = peer.recv(3)
    assert [b'{"slept":true}' in answers[0], b'{"item":"2"}' in answers[1], b'{"item":"3"}' in answers[2]] == [
        True] * 3
    peer.send(b"NOT HTTP AT ALL\r\n\r\n")
    [refused] = peer.recv(1)
    assert refused.split(b" ")[1] in (b"400", b"505")
    # A body cut short by the link closing: the app sees the disconnect, others go on.
    cut = net.start_peer(server.dest_hash, 80)
    cut.send(b"POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + b"x" * 5000)
    cut.close_link()
    assert client.check("result = http.get(base + '/json').status_code") == 200
    # An app reading a body that never ends hears http.disconnect when the link closes.
    before = client.check("result = http.get(base + '/disconnects').json()['count']")
    waiting = net.start_peer(server.dest_hash, 80)
    waiting.send(b"POST /until-disconnect HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")
    time.sleep(1)  # the app is reading by then
    waiting.close_link()
    assert client.check("""
        deadline = time.monotonic() + 20
        while http.get(base + "/disconnects").json()["count"] == %d and time.monotonic() < deadline:
            time.sleep(0.2)
        result = http.get(base + "/disconnects").json()["count"]
    """ % before) == before + 1


def test_lifespan_shutdown_runs_when_the_gateway_stops(starlette_site):
    net, server, client, marker = starlette_site
    assert client.check("result = http.get(base + '/json').status_code") == 200
    server.stop()
    assert server.popen.returncode == 0
    assert marker.read_text() == "closed"


def test_wsgi_app_routes_bodies_identity_and_failures(flask_site):
    server, client = flask_site
    got = client.check(f"""
        data = os.urandom({UPLOAD})
        out = [http.get(base + "/json?a=b").json(), session.get(base + "/items/x%20y", timeout=60).json(),
               session.post(base + "/upload", data=data, timeout=120).json() == {{
                   "sha256": hashlib.sha256(data).hexdigest(), "size": len(data)}},
               run(ahttp.post(base + "/upload", content=data[:100000])).json()["size"]]
        with http.stream("GET", base + "/stream?count=30&size=5000") as r:
            out.append(hashlib.sha256(b"".join(r.iter_raw())).hexdigest())
        out.append(http.get(base + "/whoami").json())
        out.append(who.get(base + "/whoami", headers={{"X-Reticulum-Identity": "e" * 32}}).json())
        out.append(RNS.Identity.from_file(mine).hash.hex())
        out.append([http.get(base + "/boom").status_code, http.get(base + "/json").status_code])
        result = out
    """, timeout=300)
    assert got[0] == {"hello": "world", "path": "/json", "query": "a=b"}
    assert got[1] == {"item": "x y"}
    assert got[2] is True and got[3] == 100000
    assert got[4] == stream_digest(30, 5000)
    anonymous, known, mine = got[5], got[6], got[7]
    assert anonymous["client"].startswith("link-") and anonymous["header"] is None
    assert known == {"client": mine, "header": mine}
    assert got[8] == [500, 200]


def test_wsgi_environ_follows_pep_3333_and_iterables_are_closed(flask_site):
    _, client = flask_site
    env, body, closed = client.check("""
        env = http.get(base + "/environ?q=%41", headers=[("X-Twice", "1"), ("X-Twice", "2")]).json()
        body = http.get(base + "/closing").text
        result = [env, body, http.get(base + "/closed").json()["count"]]
    """)
    assert env == {"REQUEST_METHOD": "GET", "SCRIPT_NAME": "", "PATH_INFO": "/environ", "QUERY_STRING": "q=%41",
                   "SERVER_PROTOCOL": "HTTP/1.1", "SERVER_PORT": "80", "CONTENT_LENGTH": None,
                   "HTTP_X_TWICE": "1,2", "wsgi.url_scheme": "http", "wsgi.multithread": True,
                   "wsgi.input_terminated": True, "version": [1, 0]}
    assert body == "abc" and closed >= 1


def test_a_request_on_a_link_gone_stale_is_sent_on_a_new_one(flask_site):
    """Reticulum takes no more bytes on a link it marked stale: a request that finds its
    transport's link so goes out on a new link instead of failing."""
    _, client = flask_site
    first, then, after = client.check("""
        import gc
        first = http.get(base + "/whoami").json()["client"]
        for link in [o for o in gc.get_objects() if isinstance(o, RNS.Link)]:
            if link.initiator and link.status == RNS.Link.ACTIVE:
                link.status = RNS.Link.STALE
        result = [first, http.get(base + "/whoami").json()["client"], http.get(base + "/json").status_code]
    """)
    assert first.startswith("link-") and then.startswith("link-") and then != first
    assert after == 200


def test_serve_coroutine_serves_until_cancelled_and_bare_apps_need_no_lifespan(tmp_path):
    marker = tmp_path / "shutdown"
    os.environ["WEBAPP_SHUTDOWN_MARKER"] = str(marker)
    try:
        with Network() as net:
            server = serve_app(net, "webapps:starlette_app", port=8080, how="serve")
            bare = serve_app(net, "webapps:no_lifespan_app", port=8081, how="serve")
            client = start_client(net, server.dest_hash, 8080)
            got = client.check(f"""
                other = "http://{bare.dest_hash}.rns:8081"
                result = [http.get(base + "/json").json()["same_loop"], http.get(other + "/x y").text]
            """)
            assert got == [True, "bare /x y"]
            server.stop()
            assert "CANCELLED" in server.lines
    finally:
        os.environ.pop("WEBAPP_SHUTDOWN_MARKER", None)
    assert marker.read_text() == "closed"

