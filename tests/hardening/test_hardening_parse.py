"""Hostile and random input: the parsers raise only their documented errors, and a server
link answers every complete request exactly once, in order, however the bytes are cut."""

import contextlib
import threading

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import zivane.server as server_mod
from fakes.server import NullOut, ServerRNS, open_link, split_responses
from zivane.types import HttpParserError, HttpRequest, HttpResponse

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

token = st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", min_size=1,
                max_size=12)
path = st.text(alphabet="abcdefghijklmnopqrstuvwxyz0123456789/._-~?=&%", min_size=0, max_size=40).map(
    lambda p: "/" + p)
value = st.text(alphabet=st.characters(min_codepoint=0x21, max_codepoint=0x7E), max_size=30)
headers = st.dictionaries(token.filter(lambda n: n.lower() not in ("content-length", "transfer-encoding")),
                          value, max_size=5)
body = st.one_of(st.none(), st.binary(max_size=3000))


@st.composite
def requests(draw):
    h = draw(headers)
    b = draw(body)
    if b is not None and draw(st.booleans()):
        h["Transfer-Encoding"] = "chunked"
    method = draw(st.sampled_from(["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"]))
    return HttpRequest(method=method, path=draw(path), headers=h, body=b)


@st.composite
def mutated(draw, messages):
    """A valid message with a few bytes replaced, inserted or removed."""
    data = bytearray(bytes(draw(messages)))
    for _ in range(draw(st.integers(1, 4))):
        i = draw(st.integers(0, len(data)))
        op = draw(st.sampled_from(["set", "insert", "delete"]))
        b = draw(st.sampled_from([0, 9, 10, 13, 32, 58, 0x80, 0xFF, ord("0"), ord("f"), ord("-")]))
        if op == "set" and i < len(data):
            data[i] = b
        elif op == "insert":
            data[i:i] = bytes([b])
        elif i < len(data):
            del data[i]
    return bytes(data)


responses_st = st.builds(
    lambda status, h, b: HttpResponse(status=status, headers=h, body=b),
    st.integers(200, 599).filter(lambda s: s not in (204, 304)), headers, body)


def check_documented(parse, data):
    try:
        return parse(data)
    except HttpParserError as e:
        assert len(e.args) == 1 and isinstance(e.args[0], str)
        return None
    except UnicodeDecodeError:
        return None


@SETTINGS
@given(st.one_of(st.binary(max_size=600), mutated(requests()), mutated(responses_st)))
def test_parsers_raise_only_documented_errors(data):
    req = check_documented(HttpRequest.parse, data)
    if req is not None:
        assert isinstance(req.method, str) and isinstance(req.path, str)
        assert all(k == k.lower() for k in req.headers)
        assert req.body is None or isinstance(req.body, bytes)
    resp = check_documented(HttpResponse.parse, data)
    if resp is not None:
        assert isinstance(resp.status, int) and resp.status > 0


@pytest.mark.parametrize("data", [
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffffffff\r\nx\r\n0\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\nabc",
    b"POST / HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n",
    b"GET / HTTP/1.1\r\nX: " + b"a" * 1_000_000 + b"\r\n\r\n",
    b"GET /" + b"p" * 1_000_000 + b" HTTP/1.1\r\n\r\n",
    b"GET / HTTP/1.1\r\n" + b"H: v\r\n" * 50_000 + b"\r\n",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n",
    b"HTTP/1.1 99999999999 OK\r\n\r\n",
    b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n" + b"x" * 10_000,
    b"\xff\xfe\r\n\r\n", b"\r\n" * 1000, b"\x00" * 100,
])
def test_hostile_messages_give_a_record_or_a_parse_error(data):
    check_documented(HttpRequest.parse, data)
    check_documented(HttpResponse.parse, data)


# ----- the server's per-link assembly -------------------------------------------------------

def echo(request):
    return HttpResponse(status=200, headers={"X-Method": request.method},
                        body=request.path.encode() + b"|" + (request.body or b""))


@contextlib.contextmanager
def serving(handler=echo, limit=None):
    """A running server on a stand-in Reticulum, its progress lines swallowed."""
    saved_rns = server_mod.RNS
    saved_limit = server_mod._LINK_BUFFER_LIMIT
    rns = ServerRNS()
    server_mod.RNS = rns
    if limit is not None:
        server_mod._LINK_BUFFER_LIMIT = limit
    server = server_mod.HttpServer(8080)
    server._running = True
    server.set_default_handler(handler)
    try:
        with contextlib.redirect_stdout(NullOut()):
            yield server, rns
            for link, _ in list(server._links.values()):
                link.teardown()
        assert server._links == {}
    finally:
        server_mod.RNS = saved_rns
        server_mod._LINK_BUFFER_LIMIT = saved_limit


def cuts(data, points):
    points = sorted({p % (len(data) + 1) for p in points} | {0, len(data)})
    return [data[a:b] for a, b in zip(points, points[1:])]


@SETTINGS
@given(st.lists(requests(), min_size=1, max_size=6), st.lists(st.integers(0, 1 << 20), max_size=30))
def test_every_complete_request_is_answered_once_in_order(reqs, points):
    wire = b"".join(bytes(r) for r in reqs)
    with serving() as (server, rns):
        link, buf = open_link(server, rns)
        for piece in cuts(wire, points):
            buf.deliver(piece)
        got = split_responses(buf.sent)
    assert [(r.status, r.body) for r in got] == [
        (200, r.path.encode() + b"|" + (r.body or b"")) for r in reqs]
    assert [r.headers["x-method"] for r in got] == [r.method for r in reqs]


@settings(max_examples=25, deadline=None)
@given(st.lists(requests(), min_size=2, max_size=8), st.lists(st.integers(0, 1 << 20), max_size=40))
def test_concurrent_notifications_keep_order(reqs, points):
    wire = b"".join(bytes(r) for r in reqs)
    with serving() as (server, rns):
        link, buf = open_link(server, rns)
        threads = [buf.deliver_threaded(piece) for piece in cuts(wire, points)]
        for t in threads:
            t.join(30)
        got = split_responses(buf.sent)
    assert [r.body for r in got] == [r.path.encode() + b"|" + (r.body or b"") for r in reqs]


@SETTINGS
@given(st.lists(st.one_of(st.binary(max_size=200), mutated(requests())), max_size=8))
def test_arbitrary_bytes_never_escape_the_link(pieces):
    errors = []
    with serving(limit=4096) as (server, rns):
        link, buf = open_link(server, rns)
        for piece in pieces:
            try:
                buf.deliver(piece)
            except BaseException as e:  # noqa: BLE001 - anything escaping is the failure
                errors.append(e)
        got = split_responses(buf.sent)
        # whatever came before, a fresh link still works
        link2, buf2 = open_link(server, rns, "link2")
        buf2.deliver(b"GET /ok HTTP/1.1\r\n\r\n")
        assert split_responses(buf2.sent)[0].body == b"/ok|"
    assert errors == []
    assert {r.status for r in got} <= {200, 400, 413, 431, 505}


GOOD = b"GET /after HTTP/1.1\r\n\r\n"


@pytest.mark.parametrize("hostile, status", [
    # overflowing or malformed framing
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffffff\r\n", 400),
    # a chunk-size line without end: refused once too long
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + b"1" * 20000, 400),
    (b"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400),
    (b"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", 400),
    (b"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400),
    (b"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400),
    # a giant head is refused before it is buffered whole
    (b"GET / HTTP/1.1\r\nX-Big: " + b"b" * 300_000 + b"\r\n\r\n", 431),
    # a huge announced body is refused on its head
    (b"POST / HTTP/1.1\r\nContent-Length: 1099511627776\r\n\r\n", 413),
])
def test_hostile_framing_gets_one_answer_and_ends_the_link(hostile, status):
    with serving(limit=64 * 1024) as (server, rns):
        link, buf = open_link(server, rns)
        for i in range(0, len(hostile), 4096):
            buf.deliver(hostile[i:i + 4096])
        buf.deliver(GOOD)
        assert [r.status for r in split_responses(buf.sent)] == [status]
        assert link.teardowns == 1 and server._links == {}
        # other links are not affected
        _, buf2 = open_link(server, rns, "other")
        buf2.deliver(GOOD)
        assert split_responses(buf2.sent)[0].body == b"/after|"


def test_long_head_in_many_pieces_is_answered():
    big = b"GET /big HTTP/1.1\r\nX-Big: " + b"b" * 60_000 + b"\r\n\r\n"
    with serving() as (server, rns):
        _, buf = open_link(server, rns)
        for i in range(0, len(big), 423):
            buf.deliver(big[i:i + 423])
        [r] = split_responses(buf.sent)
        assert (r.status, r.body) == (200, b"/big|")


def test_many_links_interleaved_each_get_their_own_answers():
    threads_before = threading.active_count()
    with serving() as (server, rns):
        links = [open_link(server, rns, f"l{i}") for i in range(20)]
        wires = [b"".join(bytes(HttpRequest("POST", f"/{i}/{k}", body=b"%d" % k)) for k in range(5))
                 for i in range(20)]
        threads = []
        for offset in range(0, max(map(len, wires)), 50):
            for (link, buf), wire in zip(links, wires):
                if offset < len(wire):
                    threads.append(buf.deliver_threaded(wire[offset:offset + 50]))
        for t in threads:
            t.join(30)
        for i, (link, buf) in enumerate(links):
            assert [r.body for r in split_responses(buf.sent)] == [
                f"/{i}/{k}|{k}".encode() for k in range(5)]
        assert threading.active_count() <= threads_before
