import inspect
import typing
import weakref

import httptools
import pytest

import zivane._compat
import zivane.types as zt
from zivane.types import HttpRequest, HttpResponse, reason_text


def test_namespace_binds_names_in_order():
    names = [n for n in vars(zt) if not n.startswith("__")]
    assert names == [
        "final", "HttptoolsParserError", "HttpRequestParser", "HttpResponseParser", "override",
        "HttpParserError", "HttpSerializerError", "RequestCallbacks", "ResponseCallbacks",
        "encode_chunked", "HttpRequest", "reason_text", "HttpResponse",
    ]
    assert zt.__doc__.splitlines()[0] == "HTTP/1.1 protocol parser and serializer."
    assert zt.final is typing.final
    assert zt.HttptoolsParserError is httptools.HttpParserError
    assert zt.HttpRequestParser is httptools.HttpRequestParser
    assert zt.override is zivane._compat.override
    for cls in (zt.HttpParserError, zt.HttpSerializerError):
        assert cls.__bases__ == (Exception,) and cls.__module__ == "zivane.types"
    assert zt.HttpParserError is not httptools.HttpParserError


def test_signatures_annotations_and_metadata():
    sig = inspect.signature(HttpRequest.__init__)
    assert str(sig) == ("(self, method: str, path: str, version: str = 'HTTP/1.1', "
                        "headers: dict[str, str] | None = None, body: bytes | None = None) -> None")
    sig = inspect.signature(HttpResponse.__init__)
    assert list(sig.parameters) == ["self", "status", "reason", "version", "headers", "body"]
    assert sig.parameters["reason"].annotation == (str | None)
    assert HttpRequest.parse.__annotations__ == {"data": bytes, "return": "HttpRequest"}
    assert HttpResponse.parse.__annotations__["return"] == "HttpResponse"
    assert HttpRequest.parse.__doc__ is None
    assert HttpResponse.parse.__doc__.splitlines()[0] == "Parse an HTTP/1.1 response from raw bytes."
    assert isinstance(inspect.getattr_static(HttpRequest, "parse"), staticmethod)
    assert HttpRequest.__eq__.__annotations__ == {"other": object, "return": bool}
    assert HttpRequest.__bytes__.__annotations__ == {"return": bytes}
    assert reason_text.__doc__ == "Return default reason phrase for status code."
    assert inspect.signature(zt.encode_chunked).parameters["body"].annotation is bytes
    for fn, qual in [(HttpRequest.parse, "HttpRequest.parse"), (HttpResponse.__repr__, "HttpResponse.__repr__"),
                     (zt.RequestCallbacks.on_header, "RequestCallbacks.on_header"), (reason_text, "reason_text")]:
        assert fn.__qualname__ == qual and fn.__module__ == "zivane.types"
    for cls in (HttpRequest, HttpResponse):
        assert cls.__repr__.__override__ is True and cls.__eq__.__override__ is True
        assert not hasattr(cls.__bytes__, "__override__")
        assert cls.__final__ is True and cls.__hash__ is None and cls.__bases__ == (object,)
    wanted = ("__init__", "parse", "__repr__", "__eq__", "__bytes__")
    for cls in (HttpRequest, HttpResponse):
        assert [n for n in vars(cls) if n in wanted] == list(wanted)


def test_slots_semantics():
    r = HttpRequest("GET", "/")
    assert HttpRequest.__slots__ == ("method", "path", "version", "headers", "body")
    assert HttpResponse.__slots__ == ("version", "status", "reason", "headers", "body")
    with pytest.raises(AttributeError):
        r.other = 1
    with pytest.raises(AttributeError):
        r.__dict__
    with pytest.raises(TypeError):
        weakref.ref(r)
    with pytest.raises(TypeError):
        hash(r)
    r.method = 42  # fields stay writable and unvalidated
    assert r.method == 42


def test_construction_defaults_and_sharing():
    a, b = HttpRequest("GET", "/"), HttpRequest("GET", "/")
    assert (a.version, a.headers, a.body) == ("HTTP/1.1", {}, None)
    assert a.headers is not b.headers
    h = {}
    r = HttpRequest("POST", "/x", headers=h)
    h["X"] = "1"
    assert r.headers is h and r.headers == {"X": "1"}
    assert HttpResponse(404).reason == "Not Found"
    assert HttpResponse(299).reason == "Unknown"
    assert HttpResponse(200, "").reason == ""
    resp = HttpResponse(200)
    resp.status = 404
    assert resp.reason == "OK"
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        HttpResponse([])


def test_reason_text_is_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(zt, "reason_text", lambda status: f"custom {status}")
    assert HttpResponse(200).reason == "custom 200"


def test_reason_text_table():
    assert reason_text(200) == "OK" and reason_text(504) == "Gateway Timeout"
    assert reason_text(200.0) == "OK" and reason_text(True) == "Unknown"
    assert reason_text(203) == "Unknown" and reason_text(10**30) == "Unknown"
    assert reason_text("200") == "Unknown"


def test_init_checks_the_instance_type():
    with pytest.raises(AttributeError):
        HttpRequest.__init__(object(), "GET", "/")

    class Extra(HttpRequest):
        __slots__ = ("extra",)

    e = Extra("GET", "/p", body=b"x")
    e.extra = 1
    assert (e.method, e.path, e.body, e.extra) == ("GET", "/p", b"x", 1)

    seen = []

    class Watched(HttpResponse):
        @property
        def status(self):
            return 7

        @status.setter
        def status(self, value):
            seen.append(value)

    w = Watched(201)
    assert seen == [201] and w.status == 7 and w.reason == "Created"


def test_class_changes_are_honoured_after_earlier_changes(monkeypatch):
    monkeypatch.setattr(HttpRequest, "extra_method", lambda self: 1, raising=False)
    assert HttpRequest("GET", "/").extra_method() == 1
    seen = []

    def spy(self, name, value):
        seen.append(name)
        object.__setattr__(self, name, value)

    monkeypatch.setattr(HttpRequest, "__setattr__", spy, raising=False)
    r = HttpRequest("GET", "/")
    assert seen == ["method", "path", "version", "headers", "body"]
    monkeypatch.undo()
    r = HttpRequest("PUT", "/x", body=b"1")
    assert bytes(r) == b"PUT /x HTTP/1.1\r\nContent-Length: 1\r\n\r\n1"
    monkeypatch.setattr(HttpRequest, "method", property(lambda self: "HIDDEN", lambda self, v: None))
    assert bytes(HttpRequest("GET", "/")) == b"HIDDEN / HTTP/1.1\r\n\r\n"


def test_repr():
    assert repr(HttpRequest("GET", "/")) == "HttpRequest(method='GET', path='/', version='HTTP/1.1', body_len=0)"
    assert repr(HttpResponse(404, body=b"not found")) == (
        "HttpResponse(status=404, reason='Not Found', version='HTTP/1.1', body_len=9)")
    assert repr(HttpRequest("GET", "/", body=b"")).endswith("body_len=0)")
    assert repr(HttpResponse(200, body=b"12345")).endswith("body_len=5)")
    with pytest.raises(TypeError):
        repr(HttpRequest("GET", "/", body=1))


def test_equality():
    assert HttpRequest("GET", "/", headers={"a": "1"}) == HttpRequest("GET", "/", headers={"a": "1"})
    assert HttpRequest("GET", "/") != HttpRequest("GET", "/", body=b"")
    assert HttpRequest("GET", "/") != HttpResponse(200)
    assert (HttpRequest("GET", "/") == "GET") is False
    assert HttpRequest("GET", "/").__eq__("GET") is NotImplemented
    assert HttpResponse(200, headers={"a": "1", "b": "2"}) == HttpResponse(200, headers={"b": "2", "a": "1"})

    class Sub(HttpRequest):
        pass

    assert Sub("GET", "/") == HttpRequest("GET", "/")
