import array
import enum

import pytest

import zivane.types as zt
from zivane.types import HttpRequest, HttpResponse, HttpSerializerError, encode_chunked


def test_request_wire_layout():
    assert bytes(HttpRequest("GET", "/")) == b"GET / HTTP/1.1\r\n\r\n"
    assert bytes(HttpRequest("POST", "/x", body=b"hello")) == (
        b"POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello")
    assert bytes(HttpRequest("POST", "/", headers={"A": "1"}, body=b"")) == (
        b"POST / HTTP/1.1\r\nA: 1\r\nContent-Length: 0\r\n\r\n")
    # letter case, order and values kept as stored
    assert bytes(HttpRequest("get", "/?q=é", "HTTP/1.0", {"x-B": "ü", "A": ""})) == (
        "get /?q=é HTTP/1.0\r\nx-B: ü\r\nA: \r\n\r\n".encode())


def test_response_wire_layout():
    assert bytes(HttpResponse(404, body=b"nope")) == (
        b"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope")
    assert bytes(HttpResponse(200, "")) == b"HTTP/1.1 200 \r\n\r\n"
    assert bytes(HttpResponse(299)) == b"HTTP/1.1 299 Unknown\r\n\r\n"


def test_content_length_rules():
    # an existing Content-Length is kept whatever its value
    assert bytes(HttpResponse(200, headers={"Content-Length": "99"}, body=b"ab")).endswith(
        b"Content-Length: 99\r\n\r\nab")
    # only the exact key counts
    out = bytes(HttpResponse(200, headers={"content-length": "2"}, body=b"ab"))
    assert b"content-length: 2\r\nContent-Length: 2\r\n" in out
    # no body: nothing added
    assert b"Content-Length" not in bytes(HttpResponse(200))


def test_chunked_framing():
    body = bytes(range(256)) * 40  # 10240 bytes
    r = HttpResponse(200, headers={"A": "1", "Transfer-Encoding": "Chunked", "Content-Length": "5", "Z": "2"},
                     body=body)
    out = bytes(r)
    head, _, rest = out.partition(b"\r\n\r\n")
    assert head == b"HTTP/1.1 200 OK\r\nA: 1\r\nTransfer-Encoding: chunked\r\nZ: 2"
    assert rest == (b"1000\r\n" + body[:4096] + b"\r\n1000\r\n" + body[4096:8192] + b"\r\n800\r\n"
                    + body[8192:] + b"\r\n0\r\n\r\n")
    assert r.headers["Transfer-Encoding"] == "Chunked" and "Content-Length" in r.headers
    assert bytes(r) == out
    assert bytes(HttpRequest("POST", "/", headers={"Transfer-Encoding": "chunked"}, body=b"")).endswith(
        b"chunked\r\n\r\n0\r\n\r\n")
    # no body: header written as stored, no terminator
    assert bytes(HttpRequest("GET", "/", headers={"Transfer-Encoding": "Chunked"})) == (
        b"GET / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n")
    # only a whole "chunked" value in the exact key selects chunked coding
    for headers in ({"Transfer-Encoding": "gzip, chunked"}, {"transfer-encoding": "chunked"}):
        out = bytes(HttpRequest("POST", "/", headers=headers, body=b"abc"))
        assert out.endswith(b"Content-Length: 3\r\n\r\nabc")
    # Unicode lower case, as str.lower() gives it (KELVIN SIGN lowers to k)
    assert bytes(HttpRequest("POST", "/", headers={"Transfer-Encoding": "chun\u212aed"}, body=b"a")).endswith(
        b"1\r\na\r\n0\r\n\r\n")


def test_encode_chunked():
    assert encode_chunked(b"") == b"0\r\n\r\n"
    assert encode_chunked(b"x" * 4096) == b"1000\r\n" + b"x" * 4096 + b"\r\n0\r\n\r\n"
    assert encode_chunked(b"x" * 4097) == b"1000\r\n" + b"x" * 4096 + b"\r\n1\r\nx\r\n0\r\n\r\n"
    data = bytes(range(256)) * 50
    assert encode_chunked(bytearray(data)) == encode_chunked(data) == encode_chunked(memoryview(data))
    with pytest.raises(TypeError):
        encode_chunked("text")
    with pytest.raises(TypeError):
        encode_chunked(5)


def test_encode_chunked_is_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(zt, "encode_chunked", lambda body: b"<" + bytes(body) + b">")
    out = bytes(HttpRequest("POST", "/", headers={"Transfer-Encoding": "chunked"}, body=b"ab"))
    assert out == b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n<ab>"


class Color(enum.Enum):
    RED = "red"

    def __format__(self, spec):
        return "RED!"


def test_general_values_go_through_format_and_dict():
    r = HttpResponse(201, headers=[("X-N", 5), (Color.RED, Color.RED)], body=bytearray(b"ab"))
    assert bytes(r) == b"HTTP/1.1 201 Created\r\nX-N: 5\r\nRED!: RED!\r\nContent-Length: 2\r\n\r\nab"
    assert bytes(HttpResponse(True, 2.5, 1)) == b"1 True 2.5\r\n\r\n"

    class Text(str):
        def __format__(self, spec):
            return "formatted"

    assert bytes(HttpRequest(Text("GET"), "/")) == b"formatted / HTTP/1.1\r\n\r\n"
    # Content-Length counts len(), while the body is written as its bytes
    mv = memoryview(array.array("H", [1, 2]))
    assert b"Content-Length: 2\r\n\r\n" in bytes(HttpRequest("POST", "/", body=mv))


def test_errors_propagate_without_output():
    with pytest.raises(UnicodeEncodeError) as info:
        bytes(HttpRequest("GET", "/", headers={"X": "\ud800"}))
    assert info.value.start == 3  # position within the header line "X: \ud800"
    with pytest.raises(UnicodeEncodeError):
        bytes(HttpRequest("GET", "/\udcff"))
    with pytest.raises((TypeError, ValueError)):
        bytes(HttpRequest("GET", "/", headers=5))
    with pytest.raises(AttributeError):
        bytes(HttpRequest("GET", "/", headers={"Transfer-Encoding": 1}, body=b""))
    with pytest.raises(TypeError, match="can't concat str to bytes"):
        bytes(HttpRequest("GET", "/", body="text"))
    with pytest.raises(TypeError):
        bytes(HttpRequest("GET", "/", body=5))
    r = HttpRequest("GET", "/")
    del r.path
    with pytest.raises(AttributeError):
        bytes(r)


@pytest.mark.parametrize("bad", ["a\r\nb", "a\nb", "a\rb", "a\0b", "\r\n", "x" * 17 + "\n" + "y" * 9, "z" * 15 + "\0"])
def test_line_breaks_are_refused_in_every_field(bad):
    cases = [
        (HttpRequest(bad, "/"), "method"),
        (HttpRequest("GET", bad), "path"),
        (HttpRequest("GET", "/", bad), "version"),
        (HttpResponse(200, bad), "reason"),
        (HttpResponse(200, version=bad), "version"),
        (HttpRequest("GET", "/", headers={bad: "v"}), "header name"),
        (HttpRequest("GET", "/", headers={"X-Name": bad}), "header value for 'X-Name'"),
        (HttpResponse(200, headers={"X-Name": bad}, body=b"x"), "header value for 'X-Name'"),
    ]
    for record, field in cases:
        with pytest.raises(HttpSerializerError, match=f"Invalid character in {field}"):
            bytes(record)


def test_line_breaks_are_refused_after_format_and_in_slow_path(monkeypatch):
    class Sneaky:
        def __format__(self, spec):
            return "x\r\nInjected: 1"

    with pytest.raises(HttpSerializerError, match="header value for 'X'"):
        bytes(HttpRequest("GET", "/", headers={"X": Sneaky()}))
    with pytest.raises(HttpSerializerError, match="status"):
        bytes(HttpResponse(Sneaky()))
    with pytest.raises(HttpSerializerError, match="header value for 'Ü'"):
        bytes(HttpRequest("GET", "/", headers={"Ü": "é\n"}))
    # the serializer error class is looked up when raised
    class Replaced(Exception):
        pass

    monkeypatch.setattr(zt, "HttpSerializerError", Replaced)
    with pytest.raises(Replaced, match="Invalid character in path"):
        bytes(HttpRequest("GET", "/\r\n"))


def test_fast_and_general_paths_agree():
    class Sub(HttpResponse):
        pass

    for headers, body in [({}, None), ({"A": "1", "B": "22"}, b"xyz"), ({"Transfer-Encoding": "CHUNKED"}, b"q" * 5000),
                          ({"Content-Length": "7", "Transfer-Encoding": "chunked"}, b""),
                          ({"Content-Length": "1"}, b"abc"), ({f"H{i}": "v" * i for i in range(40)}, b"x"),
                          ({**{f"H{i}": "v" for i in range(30)}, "Transfer-Encoding": "chunked"}, b"y")]:
        fast = HttpResponse(503, headers=dict(headers), body=body)
        general = Sub(503, headers=list(headers.items()), body=body)
        assert bytes(fast) == bytes(general)
