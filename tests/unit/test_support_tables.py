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


def command_help(monkeypatch, capsys, module, prog):
    monkeypatch.setattr(sys, "argv", [prog, "--help"])
    with pytest.raises(SystemExit) as exited:
        asyncio.run(module.main())
    assert exited.value.code == 0
    return capsys.readouterr().out


def check_parser(monkeypatch, capsys, module, prog, description, calls):
    """The command's --help is that of the parser `calls` make, and the calls are made, in
    order and with their keywords in order, on the module's argparse of the moment."""
    twin = argparse.ArgumentParser(prog=prog, description=description)
    for args, kwargs in calls:
        twin.add_argument(*args, **kwargs)
    assert command_help(monkeypatch, capsys, module, prog) == twin.format_help()

    made = []

    class Recording(argparse.ArgumentParser):
        def add_argument(self, *args, **kwargs):
            made.append((args, kwargs))
            return super().add_argument(*args, **kwargs)

    fake = type(sys)("argparse")
    fake.ArgumentParser = Recording
    monkeypatch.setattr(module, "argparse", fake)
    command_help(monkeypatch, capsys, module, prog)
    assert made[1:] == calls  # after argparse's own -h
    assert [list(kwargs) for _, kwargs in made[1:]] == [list(kwargs) for _, kwargs in calls]


ANNOUNCE_INTERVAL_HELP = (
    "Seconds between announces, so that directories and paths stay fresh (default 1800: every 30 "
    "minutes keeps well under Reticulum's announce cap on slow radios; 0: only at start)")


def test_command_parser_is_the_argparse_one_would_write(monkeypatch, capsys):
    check_parser(monkeypatch, capsys, server_mod, "zivane-server", "HTTP/1.1 server over Reticulum", [
        (("port",), {"type": int, "help": "Port number"}),
        (("--config",), {"type": str, "help": "RNS config directory"}),
        (("--identity",), {"type": str, "help": "Identity file path"}),
        (("-v", "--verbose"), {"action": "store_true", "dest": "verbose", "help": "Enable verbose logging"}),
        (("--announce-interval",), {"type": float, "help": ANNOUNCE_INTERVAL_HELP, "metavar": "SECONDS"}),
    ])


def test_command_rejects_a_port_that_is_no_number(monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["zivane-server", "eighty"])
    with pytest.raises(SystemExit) as exited, contextlib.redirect_stdout(io.StringIO()):
        asyncio.run(server_mod.main())
    assert exited.value.code == 2
    assert "argument port: invalid int value: 'eighty'" in capsys.readouterr().err


# ----- zivane.client ------------------------------------------------------------------------

def test_client_annotations_and_defaults_are_shared_as_a_module_body_shares_them():
    import zivane.client as client_mod
    from zivane.client import HttpClient

    headers = HttpClient.request.__annotations__["headers"]
    assert headers == dict[str, str] | None
    for name in ("get", "post", "put", "delete"):
        annotations = getattr(HttpClient, name).__annotations__
        assert annotations["headers"] is headers and annotations["return"] is HttpResponse, name
    assert HttpClient.post.__annotations__["body"] is HttpClient.request.__annotations__["body"]
    assert HttpClient._load_or_create_identity.__annotations__ == {"return": RNS.Identity}
    assert HttpClient.__aexit__.__annotations__["_exc_tb"] is client_mod.Any
    defaults = HttpClient.__init__.__defaults__
    assert defaults == (None, 30.0, 60.0, 30.0) and defaults[1] is defaults[3]
    assert HttpClient.request.__defaults__ == ("GET", None, None)
    assert isinstance(inspect.getattr_static(HttpClient, "_default_identity_path"), staticmethod)
    prop = inspect.getattr_static(HttpClient, "is_connected")
    assert prop.fset is None and prop.fget.__qualname__ == "HttpClient.is_connected"
    assert (client_mod._RESPONSE_LIMIT, client_mod._WRITER_IDLE) == (64 * 1024 * 1024, 5.0)


def test_client_command_parser_is_the_argparse_one_would_write(monkeypatch, capsys):
    import zivane.client as client_mod

    check_parser(monkeypatch, capsys, client_mod, "zivane-client", "HTTP/1.1 client over Reticulum", [
        (("destination",), {"type": str, "help": "Server destination hash, or a name of ~/.zivane/names"}),
        (("port",), {"type": int, "help": "Server port"}),
        (("method",), {"nargs": "?", "type": str, "default": "GET", "help": "HTTP method"}),
        (("path",), {"nargs": "?", "type": str, "default": "/", "help": "Request path"}),
        (("--config",), {"type": str, "help": "RNS config directory"}),
        (("--identity",), {"type": str, "help": "Identity file path"}),
        (("-v", "--verbose"), {"action": "store_true", "dest": "verbose", "help": "Enable verbose logging"}),
        (("-H", "--header"), {"action": "append", "dest": "header", "help": "Add header (Format: Name: Value)"}),
        (("--body",), {"type": str, "help": "Request body"}),
        (("-r", "--response-code"),
         {"action": "store_true", "dest": "response_code", "help": "Print the response code and exit"}),
        (("-q", "--quiet"), {"action": "store_true", "dest": "quiet",
                             "help": "Say nothing on standard error about what a slow request waits for"}),
        (("--connect-timeout",), {"type": float, "default": "120",
                                  "help": "Seconds to find a path to the server and link to it (default 120: a "
                                          "route over several radio hops can take a minute)",
                                  "metavar": "SECONDS"}),
        (("--timeout",), {"type": float, "default": "60",
                          "help": "Seconds to wait for the answer to begin once the request is out (default 60)",
                          "metavar": "SECONDS"}),
    ])
