"""Names declared by tables: what a Python module body would bind, in its order, with the
objects of that moment as annotations and defaults."""

import argparse
import asyncio
import collections.abc
import contextlib
import inspect
import io
import sys

import pytest
import RNS

import zivane._cli as cli
import zivane.server as server_mod
from zivane.server import HttpServer
from zivane.types import HttpRequest, HttpResponse


def test_server_module_and_class_bind_names_in_order():
    names = [n for n in vars(server_mod) if not n.startswith("__")]
    assert names == [
        "argparse", "asyncio", "io", "os", "sys", "Awaitable", "Callable", "TypeVar", "RNS",
        "HttpRequest", "HttpResponse", "HandlerType", "T", "await_in_sync", "HttpServer", "main",
        "_LINK_BUFFER_LIMIT", "_TOTAL_BUFFER_LIMIT", "_HEAD_LIMIT", "_WRITE_STALL_TIMEOUT",
    ]
    assert list(vars(HttpServer))[:2] == ["__module__", "__doc__"]
    body = [n for n in vars(HttpServer) if not n.startswith("__") or n == "__init__"]
    assert body == [
        "__init__", "_default_identity_path", "_load_or_create_identity", "route", "add_handler",
        "set_default_handler", "start", "stop", "_on_link", "_send_response", "_on_close",
        "_handle_request", "_match_pattern", "port", "destination_hash", "is_running",
    ]
    assert [n for n in vars(cli) if not n.startswith("__")] == ["server", "client", "proxy", "gateway"]


def test_kinds_and_qualified_names():
    static = inspect.getattr_static(HttpServer, "_default_identity_path")
    assert isinstance(static, staticmethod)
    assert static.__func__.__qualname__ == "HttpServer._default_identity_path"
    for name in ("port", "destination_hash", "is_running"):
        prop = inspect.getattr_static(HttpServer, name)
        assert isinstance(prop, property) and prop.fset is None
        assert prop.fget.__qualname__ == f"HttpServer.{name}" and prop.__doc__ == prop.fget.__doc__
    coroutines = {n for n, v in vars(HttpServer).items() if inspect.iscoroutinefunction(v)}
    assert coroutines == {"start", "stop", "_send_response"}
    assert inspect.iscoroutinefunction(server_mod.main) and server_mod.main.__annotations__ == {}
    assert not inspect.iscoroutinefunction(server_mod.await_in_sync)
    assert cli.server.__qualname__ == "server" and cli.server.__annotations__ == {"return": int}


def test_annotations_are_the_objects_the_module_binds():
    ns = vars(server_mod)
    handler_type = ns["HandlerType"]
    assert handler_type == (collections.abc.Callable[[HttpRequest], HttpResponse]
                            | collections.abc.Callable[[HttpRequest], collections.abc.Awaitable[HttpResponse]])
    assert HttpServer.add_handler.__annotations__["handler"] is handler_type
    assert HttpServer.set_default_handler.__annotations__["handler"] is handler_type
    assert HttpServer.route.__annotations__["return"] == collections.abc.Callable[[handler_type], handler_type]
    assert HttpServer._on_link.__annotations__ == {"link": RNS.Link, "return": None}
    assert HttpServer._on_close.__annotations__["link"] is RNS.Link
    assert HttpServer._load_or_create_identity.__annotations__ == {"return": RNS.Identity}
    send = HttpServer._send_response.__annotations__
    assert send["writer"] is io.BufferedRWPair
    assert send["response"] == HttpResponse | collections.abc.Awaitable[HttpResponse]
    assert HttpServer._handle_request.__annotations__["return"] is send["response"]
    assert HttpServer._handle_request.__annotations__["request"] is HttpRequest
    init = HttpServer.__init__.__annotations__
    assert init["identity_path"] is HttpServer.destination_hash.fget.__annotations__["return"]
    assert list(init) == ["port", "identity_path", "request_timeout", "read_timeout", "return"]
    wait = server_mod.await_in_sync.__annotations__
    assert wait["return"] is ns["T"] and wait["awaitable"] == collections.abc.Awaitable[ns["T"]]


def test_defaults_keep_their_types():
    defaults = HttpServer.__init__.__defaults__
    assert defaults == (None, 60.0, 30.0) and [type(d) for d in defaults] == [type(None), float, float]
    assert HttpServer.route.__defaults__ == ("GET",)
    assert HttpServer.add_handler.__defaults__ == ("GET",)
    assert isinstance(server_mod._WRITE_STALL_TIMEOUT, float)
    assert server_mod._LINK_BUFFER_LIMIT == 16 * 1024 * 1024


def test_nested_function_reads_module_globals_when_made(monkeypatch):
    server = HttpServer(1)
    before = server.route("/a")
    assert before.__annotations__ == {"handler": server_mod.HandlerType, "return": server_mod.HandlerType}
    monkeypatch.setattr(server_mod, "HandlerType", bytes)
    after = server.route("/b")
    assert after.__annotations__ == {"handler": bytes, "return": bytes}
    assert before.__annotations__["handler"] is not bytes
    assert after.__qualname__ == "HttpServer.route.<locals>.decorator" and after.__module__ == "zivane.server"


def server_help(monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["zivane-server", "--help"])
    with pytest.raises(SystemExit) as exited:
        asyncio.run(server_mod.main())
    assert exited.value.code == 0
    return capsys.readouterr().out


def test_command_parser_is_the_argparse_one_would_write(monkeypatch, capsys):
    twin = argparse.ArgumentParser(prog="zivane-server", description="HTTP/1.1 server over Reticulum")
    twin.add_argument("port", type=int, help="Port number")
    twin.add_argument("--config", type=str, help="RNS config directory")
    twin.add_argument("--identity", type=str, help="Identity file path")
    twin.add_argument("-v", "--verbose", action="store_true", dest="verbose", help="Enable verbose logging")
    assert server_help(monkeypatch, capsys) == twin.format_help()

    # argparse is the module global of the moment the command runs
    made = []

    class Recording(argparse.ArgumentParser):
        def add_argument(self, *args, **kwargs):
            made.append((args, kwargs))
            return super().add_argument(*args, **kwargs)

    fake = type(sys)("argparse")
    fake.ArgumentParser = Recording
    monkeypatch.setattr(server_mod, "argparse", fake)
    server_help(monkeypatch, capsys)
    assert made[1:] == [  # after argparse's own -h
        (("port",), {"type": int, "help": "Port number"}),
        (("--config",), {"type": str, "help": "RNS config directory"}),
        (("--identity",), {"type": str, "help": "Identity file path"}),
        (("-v", "--verbose"), {"action": "store_true", "dest": "verbose", "help": "Enable verbose logging"}),
    ]


def test_command_rejects_a_port_that_is_no_number(monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["zivane-server", "eighty"])
    with pytest.raises(SystemExit) as exited, contextlib.redirect_stdout(io.StringIO()):
        asyncio.run(server_mod.main())
    assert exited.value.code == 2
    assert "argument port: invalid int value: 'eighty'" in capsys.readouterr().err
