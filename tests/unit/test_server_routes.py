"""HttpServer construction, identity file, route table, dispatch and start/stop."""

import asyncio
import inspect
import os
import stat

import pytest

import zivane.server as server_mod
from fakes.server import ServerRNS
from zivane.server import HttpServer
from zivane.types import HttpRequest, HttpResponse


@pytest.fixture(autouse=True)
def rns(monkeypatch):
    fake = ServerRNS()
    monkeypatch.setattr(server_mod, "RNS", fake)
    return fake


def request(method, path):
    return HttpRequest(method=method, path=path)


def test_identity_file_created_private_then_reused(tmp_path, rns):
    path = tmp_path / "a" / "b" / "identity"
    server = HttpServer(80, str(path))
    assert not path.exists()
    asyncio.run(server.start())
    assert stat.S_IMODE(os.stat(path.parent).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert server.destination_hash == "ab" * 16
    dest = server._destination
    assert dest.args[1:] == ("in", "single", "HTTP", "80")
    assert [c[0] for c in dest.calls] == ["accepts_links", "callback", "announce"]
    assert dest.calls[1][1] == server._on_link
    # a file that loads is not rewritten; one that does not is replaced
    HttpServer(80, str(path))._load_or_create_identity()
    assert len(rns.saved) == 1
    path.write_bytes(b"junk")
    os.chmod(path, 0o644)
    HttpServer(80, str(path))._load_or_create_identity()
    assert path.read_bytes() == b"key" and stat.S_IMODE(os.stat(path).st_mode) == 0o600

    asyncio.run(server.stop())
    assert not server.is_running and server.destination_hash == "ab" * 16
    assert dest.calls[-1] == ("accepts_links", False)


def test_bare_identity_file_name(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    HttpServer(1, "ident")._load_or_create_identity()
    assert (tmp_path / "ident").read_bytes() == b"key"


def test_default_identity_path(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    for s in (HttpServer(5), HttpServer(5, "")):
        assert s._identity_path == str(tmp_path / ".zivane" / "identity")
    assert not (tmp_path / ".zivane").exists()


def test_dispatch_order_and_fallbacks(capsys):
    server = HttpServer(1)
    calls = []

    def h(name):
        def handler(r):
            calls.append(name)
            return name
        return handler

    server.add_handler("/x", h("post-x"), method="post")
    server.add_handler("/api/*", h("api-star"))
    server.add_handler("/api/x", h("api-x"))
    server.route("/a/*")(h("a-star"))
    server.add_handler("/*", h("star"))
    server.add_handler("/x", h("post-x2"), method="POST")  # replaces, keeps position

    cases = [
        ("Post", "/x", "post-x2"),
        ("GET", "/x", "post-x2"),  # fallback scan ignores the method
        ("GET", "/api/x", "api-x"),  # exact beats an earlier pattern
        ("GET", "/api/", "api-star"),
        ("GET", "/a/b", "a-star"),
        ("GET", "/x?a=1", "star"),
    ]
    for method, path, expected in cases:
        assert server._handle_request("L", request(method, path)) == expected
    assert list(server._handlers)[0] == ("POST", "/x")
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "L POST /x" and len(lines) == len(cases)


def test_no_match_default_then_404():
    server = HttpServer(1)
    server.add_handler("/only", lambda r: "only")
    not_found = server._handle_request("L", request("GET", "/other"))
    assert (not_found.status, not_found.reason, not_found.body) == (404, "Not Found", b"Not Found")
    server.set_default_handler(lambda r: "default")
    assert server._handle_request("L", request("GET", "/other")) == "default"


@pytest.mark.parametrize("pattern,path,expected", [
    ("/api/*", "/api", False),
    ("*", "", True),
    ("/a**", "/a*b", True),
    ("/a**", "/ab", False),
    ("/a*b", "/a*b", True),
])
def test_match_pattern(pattern, path, expected):
    assert HttpServer(1)._match_pattern(pattern, path) is expected


def test_decorator_returns_handler_and_reads_method_late():
    server = HttpServer(1)

    def f(r):
        return HttpResponse(status=200)

    deco = server.route("/d", method="put")
    assert deco.__qualname__ == "HttpServer.route.<locals>.decorator"
    assert deco(f) is f and server._handlers[("PUT", "/d")] is f
    with pytest.raises(AttributeError):
        server.route("/d", method=3)(f)


def test_public_shape():
    assert HttpServer.__static_attributes__[-1] == "_links"
    sig = inspect.signature(HttpServer._send_response)
    assert list(sig.parameters) == ["self", "writer", "response"]
    assert inspect.iscoroutinefunction(HttpServer._send_response)
    assert inspect.iscoroutinefunction(server_mod.main)
    assert server_mod.await_in_sync.__doc__ == "Run any awaitable from synchronous code safely."
    assert HttpServer(3).port == 3 and HttpServer(3).destination_hash is None
