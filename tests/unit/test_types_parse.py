import threading

import h11
import httptools
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zivane.types as zt
from zivane.types import HttpParserError, HttpRequest, HttpResponse, RequestCallbacks, ResponseCallbacks


@pytest.fixture
def ordinary_parsing(monkeypatch):
    """Forces the parse methods through Python-visible callbacks objects."""
    monkeypatch.setattr(zt, "RequestCallbacks", type("RequestCallbacks", (RequestCallbacks,), {}))
    monkeypatch.setattr(zt, "ResponseCallbacks", type("ResponseCallbacks", (ResponseCallbacks,), {}))


def test_callbacks_classes():
    cb = RequestCallbacks()
    assert vars(cb) == {"method": b"", "url": b"", "version": b"HTTP/1.1", "headers": {}, "body_chunks": []}
    cb.on_method(b"PUT")
    cb.on_url(b"/a")
    cb.on_url(b"/b")
    cb.on_header(b"A", b"1")
    cb.on_header(b"a", b"2")
    cb.on_header(b"A", b"3")
    cb.on_body(b"x")
    assert (cb.method, cb.url, cb.headers, cb.body_chunks) == (b"PUT", b"/b", {b"A": b"3", b"a": b"2"}, [b"x"])
    rc = ResponseCallbacks()
    assert vars(rc) == {"version": b"HTTP/1.1", "status": 0, "reason": b"", "headers": {}, "body_chunks": []}
    rc.on_status_code(b"204")
    assert rc.status == 204 and rc.on_message_begin() is None
    assert RequestCallbacks.__doc__ == "Callback handler for request parsing."
    assert RequestCallbacks.on_header.__annotations__ == {"name": bytes, "value": bytes, "return": None}
    assert not hasattr(RequestCallbacks, "on_status_code") and not hasattr(ResponseCallbacks, "on_url")


PATHS = ["fast", "ordinary"]


@pytest.fixture(params=PATHS)
def parse_path(request, monkeypatch):
    if request.param == "ordinary":
        request.getfixturevalue("ordinary_parsing")
    return request.param


def test_request_parse(parse_path):
    r = HttpRequest.parse(b"POST /a?b=%20 HTTP/1.0\r\nContent-Type: text/plain\r\nX-A: 1\r\nx-a: 2\r\n"
                          b"Content-Length: 3\r\n\r\nabc")
    assert (r.method, r.path, r.version, r.body) == ("POST", "/a?b=%20", "HTTP/1.0", b"abc")
    assert r.headers == {"content-type": "text/plain", "x-a": "2", "content-length": "3"}
    assert list(r.headers) == ["content-type", "x-a", "content-length"]
    assert HttpRequest.parse(b"GET / HTTP/1.1\r\n\r\n").body is None
    assert HttpRequest.parse(b"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n").body is None
    chunked = HttpRequest.parse(b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")
    assert chunked.body == b"abcde"
    trailer = HttpRequest.parse(b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\nT: v\r\n\r\n")
    assert trailer.headers == {"transfer-encoding": "chunked", "t": "v"}
    # cut short: built from whatever was reported
    cut = HttpRequest.parse(b"POST /p HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc")
    assert cut.body == b"abc"
    assert HttpRequest.parse(b"GET /p HTTP/1.1\r\nHost: a\r\nAccept: b").headers == {"host": "a"}
    # a second message is parsed too: its URL and headers win
    two = HttpRequest.parse(b"GET /1 HTTP/1.1\r\nA: 1\r\n\r\nGET /2 HTTP/1.1\r\nB: 2\r\n\r\n")
    assert two.path == "/2" and two.headers == {"a": "1", "b": "2"}
    assert HttpRequest.parse(b"GET / HTTP/1.1\r\nX:  \tv \r\nY:\r\n\r\n").headers == {"x": "v ", "y": ""}


def test_response_parse(parse_path):
    r = HttpResponse.parse(b"HTTP/1.1 404 Whatever\r\nServer: z\r\nContent-Length: 2\r\n\r\nno")
    assert (r.status, r.reason, r.version, r.headers, r.body) == (404, "Not Found", "HTTP/1.1", {"server": "z", "content-length": "2"}, b"no")
    assert HttpResponse.parse(b"HTTP/1.0 299 Fine\r\n\r\n").reason == "Unknown"
    assert HttpResponse.parse(b"HTTP/1.1 200 OK\r\n\r\nuntil the end").body == b"until the end"
    body = bytes(range(256)) * 40
    wire = bytes(HttpResponse(200, headers={"Transfer-Encoding": "chunked"}, body=body))
    assert HttpResponse.parse(wire).body == body


def test_parse_errors(parse_path):
    for cls, text in ((HttpRequest, "Incomplete request"), (HttpResponse, "Incomplete response")):
        for empty in (b"", None, bytearray()):
            with pytest.raises(HttpParserError) as info:
                cls.parse(empty)
            assert info.value.args == (text,)
    with pytest.raises(HttpParserError, match="^Incomplete response$"):
        HttpResponse.parse(b"HTTP/1.1 ")
    with pytest.raises(HttpParserError) as info:
        HttpRequest.parse(b"BOGUS\x01 / HTTP/1.1\r\n\r\n")
    assert isinstance(info.value.__cause__, httptools.HttpParserError)
    assert str(info.value) == str(info.value.__cause__) and len(info.value.args) == 1
    with pytest.raises(httptools.HttpParserUpgrade):
        HttpRequest.parse(b"GET / HTTP/1.1\r\nConnection: upgrade\r\nUpgrade: websocket\r\n\r\n")
    with pytest.raises(UnicodeDecodeError):
        HttpRequest.parse(b"GET / HTTP/1.1\r\nA: \xff\r\n\r\n")
    with pytest.raises(UnicodeDecodeError):
        HttpResponse.parse(b"HTTP/1.1 200 OK\r\nX: \xff\r\n\r\n")


def test_names_are_looked_up_at_call_time(monkeypatch):
    calls = []

    class Spy(RequestCallbacks):
        def on_header(self, name, value):
            calls.append(name)
            super().on_header(name, value)

    monkeypatch.setattr(zt, "RequestCallbacks", Spy)
    HttpRequest.parse(b"GET / HTTP/1.1\r\nA: 1\r\n\r\n")
    assert calls == [b"A"]
    monkeypatch.undo()

    class Marked(HttpRequest):
        pass

    monkeypatch.setattr(zt, "HttpRequest", Marked)
    assert type(HttpRequest.parse(b"GET / HTTP/1.1\r\n\r\n")) is Marked
    monkeypatch.undo()

    monkeypatch.setattr(zt, "reason_text", lambda status: f"phrase {status}")
    assert HttpResponse.parse(b"HTTP/1.1 200 OK\r\n\r\n").reason == "phrase 200"
    monkeypatch.undo()
    monkeypatch.setattr(HttpResponse, "__init__", lambda self, **kw: setattr(self, "status", -kw["status"]))
    assert HttpResponse.parse(b"HTTP/1.1 200 OK\r\n\r\n").status == -200
    monkeypatch.undo()

    class Boom(Exception):
        pass

    class Failing:
        def __init__(self, callbacks):
            pass

        def feed_data(self, data):
            raise Boom("x")

    monkeypatch.setattr(zt, "HttpResponseParser", Failing)
    with pytest.raises(Boom):
        HttpResponse.parse(b"HTTP/1.1 200 OK\r\n\r\n")
    monkeypatch.setattr(zt.ResponseCallbacks, "on_body", lambda self, body: None)
    monkeypatch.undo()
    # a patched callbacks class (same object, changed method) is honoured too
    monkeypatch.setattr(RequestCallbacks, "on_body", lambda self, body: self.body_chunks.append(body.upper()))
    assert HttpRequest.parse(b"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nab").body == b"AB"


def test_parsing_from_threads_shares_nothing():
    wire = bytes(HttpRequest("POST", "/t", headers={"Host": "h"}, body=b"b" * 100))
    errors = []

    def work():
        try:
            for _ in range(2000):
                assert HttpRequest.parse(wire).body == b"b" * 100
        except Exception as exc:  # pragma: no cover
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors


# ----- generated messages -----------------------------------------------------------------

token = st.text(alphabet="abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-!#$%&'*+.^_`|~",
                min_size=1, max_size=12)
value = st.text(alphabet=st.characters(min_codepoint=0x21, max_codepoint=0x7E), max_size=30)
header_maps = st.dictionaries(token.filter(lambda n: n.lower() not in ("content-length", "transfer-encoding",
                                                                       "connection", "upgrade")),
                              value, max_size=6)
paths = st.text(alphabet="abcdefghijklmnopqrstuvwxyz0123456789/-._~%?=&", min_size=0, max_size=40).map(lambda p: "/" + p)
bodies = st.one_of(st.none(), st.just(b""), st.binary(min_size=1, max_size=9000))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(method=st.sampled_from(["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"]), path=paths,
       headers=header_maps, body=bodies, chunked=st.booleans())
def test_request_round_trip(method, path, headers, body, chunked):
    headers = dict(headers)
    if chunked:
        headers["Transfer-Encoding"] = "chunked"
    original = HttpRequest(method, path, headers=headers, body=body)
    wire = bytes(original)
    parsed = HttpRequest.parse(wire)
    expected = {}
    for k, v in headers.items():
        expected[k.lower()] = v
    if body is not None and not chunked:
        expected["content-length"] = str(len(body))
    body = body or None  # an empty body parses as none
    assert parsed == HttpRequest(method, path, "HTTP/1.1", expected, body)
    assert bytes(parsed) == bytes(HttpRequest(method, path, "HTTP/1.1", expected, body))


@settings(max_examples=150, deadline=None)
@given(status=st.integers(200, 599).filter(lambda s: s not in (204, 304)), headers=header_maps, body=bodies)
def test_response_agrees_with_h11(status, headers, body):
    wire = bytes(HttpResponse(status, headers=headers, body=body))
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="GET", target="/", headers=[("Host", "x")]))
    conn.receive_data(wire)
    event = conn.next_event()
    assert isinstance(event, h11.Response) and event.status_code == status
    h11_body = b""
    while True:
        e = conn.next_event()
        if isinstance(e, h11.Data):
            h11_body += e.data
        else:
            break
    parsed = HttpResponse.parse(wire)
    assert parsed.status == status
    assert parsed.headers == {k.decode(): v.decode() for k, v in event.headers}
    assert (parsed.body or b"") == h11_body


@settings(max_examples=100, deadline=None)
@given(method=st.sampled_from(["GET", "POST", "PUT"]), path=paths, headers=header_maps,
       body=st.binary(max_size=5000), chunked=st.booleans())
def test_requests_agree_with_h11_both_ways(method, path, headers, body, chunked):
    headers = {"Host": "example", **{k: v for k, v in headers.items() if k.lower() != "host"}}
    if chunked:
        headers["Transfer-Encoding"] = "chunked"
    wire = bytes(HttpRequest(method, path, headers=headers, body=body))
    server = h11.Connection(h11.SERVER)
    server.receive_data(wire)
    event = server.next_event()
    assert (event.method.decode(), event.target.decode()) == (method, path)
    data = b""
    while isinstance(e := server.next_event(), h11.Data):
        data += e.data
    assert isinstance(e, h11.EndOfMessage) and data == body
    # and h11's own serialization parses to the same fields
    client = h11.Connection(h11.CLIENT)
    fields = list(headers.items()) if chunked else [*headers.items(), ("Content-Length", str(len(body)))]
    out = client.send(h11.Request(method=method, target=path, headers=fields))
    out += client.send(h11.Data(data=body)) if body else b""
    out += client.send(h11.EndOfMessage())
    parsed = HttpRequest.parse(out)
    assert (parsed.method, parsed.path, parsed.body or b"") == (method, path, body)
    assert parsed.headers == {k.decode(): v.decode() for k, v in event.headers}


# Inputs near the edges of what the quick road handles, each compared with the ordinary road.
EDGE_INPUTS = [
    b"GET / HTTP/1.1\r\nA: 1\r\n\r\n",
    b"\r\nGET / HTTP/1.1\r\nA: 1\r\n\r\n",
    b"GET / HTTP/1.1\r\nA:1\r\nB:   2  \r\n\r\n",
    b"GET / HTTP/1.1\r\nA:\t1\r\n\r\n",
    b"GET / HTTP/1.1\r\nA: 1\r\n b\r\n\r\n",
    b"GET / HTTP/1.1\r\nA: \xc3\xa9\r\n\r\n",
    b"GET / HTTP/1.1\r\nHost: a\r\nHOST: b\r\nhost: c\r\nHost: d\r\n\r\n",
    b"GET / HTTP/1.1\r\nA: 1\r\n\r\n\r\n",
    b"GET / HTTP/1.1\r\nA: 1\r\n\r\nGET /2 HTTP/1.1\r\nB: 1\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nab",
    b"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nabGET /x HTTP/1.1\r\nZ: 9\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 02\r\n\r\nab",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2;ext=1\r\nab\r\n0\r\n\r\n",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\nX: t\r\n\r\n",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
    b"POST / HTTP/1.1\r\nX: 1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n",
    b"GET / HTTP/1.1\r\nX-Empty:\r\nHost: a\r\n\r\n",
    b"GET http://h/p?q HTTP/1.1\r\n\r\n",
    b"GET / HTTP/1.1\r\nA: 1\r\n",
    b"GET / HTTP/1.1\r\n",
]

RESPONSE_EDGE_INPUTS = [
    b"HTTP/1.1 200 OK\r\nA: 1\r\n\r\n",
    b"HTTP/1.1 200 OK\r\n\r\nrest of the stream",
    b"HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 200 OK\r\nB: 2\r\n\r\n",
    b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\naHTTP/1.1 201 Created\r\nC: 3\r\n\r\n",
    b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nD: 4\r\nContent-Length: 0\r\n\r\n",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
    b"HTTP/1.1 200\r\nX: y\r\n\r\n",
]


def outcome(fn, data):
    try:
        r = fn(data)
        return ("ok", type(r), {n: getattr(r, n) for n in type(r).__slots__})
    except Exception as exc:
        return ("error", type(exc), str(exc))


@pytest.mark.parametrize("cls,inputs", [(HttpRequest, EDGE_INPUTS), (HttpResponse, RESPONSE_EDGE_INPUTS)])
def test_quick_and_ordinary_roads_agree(cls, inputs, monkeypatch):
    quick = [outcome(cls.parse, d) for d in inputs]
    monkeypatch.setattr(zt, "RequestCallbacks", type("R", (RequestCallbacks,), {}))
    monkeypatch.setattr(zt, "ResponseCallbacks", type("S", (ResponseCallbacks,), {}))
    ordinary = [outcome(cls.parse, d) for d in inputs]
    for data, q, o in zip(inputs, quick, ordinary):
        assert q == o, data


raw_header = st.tuples(
    st.one_of(st.text(alphabet="aAbBcC-", min_size=1, max_size=4),
              st.sampled_from(["Content-Length", "content-LENGTH", "Transfer-Encoding", "Host"])),
    st.sampled_from([":", ": ", ":  ", ":\t"]),
    st.one_of(st.text(alphabet=st.sampled_from(list("xyZ ;=\t") + ["\xe9"]), max_size=5),
              st.sampled_from(["0", "2", "5", "chunked", "gzip, chunked", "Chunked"])),
)


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(raw_header, max_size=6), tail=st.sampled_from([b"", b"\r\n", b"ab", b"body", b"GET / HTTP/1.1\r\n", b"2\r\nab\r\n0\r\n\r\n",
                             b"2\r\nab\r\n0\r\nT: 1\r\n\r\n", b"2\r\nab\r\n0\r\n\r\nGET /n HTTP/1.1\r\nN: 1\r\n"]))
def test_quick_road_matches_ordinary_on_generated_heads(lines, tail, monkeypatch):
    data = b"GET / HTTP/1.1\r\n" + b"".join(
        (n + s + v).encode("utf-8") + b"\r\n" for n, s, v in lines) + b"\r\n" + tail
    quick = outcome(HttpRequest.parse, data)
    with monkeypatch.context() as m:
        m.setattr(zt, "RequestCallbacks", type("R", (RequestCallbacks,), {}))
        ordinary = outcome(HttpRequest.parse, data)
    assert quick == ordinary
