"""The native function and coroutine types behave like Python functions and coroutines.

They are exercised through package members: `HttpServer.route` (a plain method with a
default) and `HttpServer._send_response` (a coroutine function that suspends exactly while
it awaits an awaitable response)."""

import asyncio
import collections.abc
import gc
import inspect
import pickle
import types
import warnings

import pytest

from helpers import Writer
from zivane.server import HttpServer
from zivane.types import HttpResponse


@pytest.fixture
def server():
    return HttpServer(8080, identity_path="unused")


def python_twin(name, qualname, params):
    """A Python function with the same parameters, to compare the interpreter's messages."""
    namespace = {}
    exec(f"def {name}({params}): pass", namespace)
    fn = namespace[name]
    fn.__qualname__ = qualname
    return fn


class TestFunctions:
    def test_binding_errors_match_python(self, server):
        twin = python_twin("route", "HttpServer.route", "self, path, method='GET'")
        calls = [
            ((), {}),
            (("/a", "GET", "extra"), {}),
            (("/a",), {"path": "/b"}),
            (("/a",), {"nope": 1}),
            ((), {"method": "GET"}),
        ]
        for args, kwargs in calls:
            with pytest.raises(TypeError) as ours:
                server.route(*args, **kwargs)
            with pytest.raises(TypeError) as theirs:
                twin(server, *args, **kwargs)
            assert str(ours.value) == str(theirs.value)

    def test_keyword_and_default_binding(self, server):
        handler = object()
        server.route(method="post", path="/x")(handler)
        server.route("/y")(handler)
        assert list(server._handlers) == [("POST", "/x"), ("GET", "/y")]

    def test_defaults_are_read_at_call_time(self, server):
        route = HttpServer.route
        saved = route.__defaults__
        try:
            route.__defaults__ = ("PUT",)
            server.route("/z")(print)
            assert ("PUT", "/z") in server._handlers
            with pytest.raises(TypeError):
                route.__defaults__ = ["not", "a", "tuple"]
        finally:
            route.__defaults__ = saved

    def test_identity_and_pickling(self):
        route = HttpServer.route
        assert repr(route).startswith("<function HttpServer.route at 0x")
        assert pickle.loads(pickle.dumps(route)) is route
        assert route.__get__(None, HttpServer) is route
        assert inspect.ismethod(HttpServer(1).route)
        route.custom_attribute = 1
        assert route.__dict__["custom_attribute"] == 1
        del route.custom_attribute

    def test_signature_reflects_later_changes(self):
        route = HttpServer.route
        saved = dict(route.__annotations__)
        try:
            route.__annotations__["path"] = bytes
            assert inspect.signature(route).parameters["path"].annotation is bytes
        finally:
            route.__annotations__.clear()
            route.__annotations__.update(saved)


async def suspending_response(log, delay=0.01):
    try:
        await asyncio.sleep(delay)
        return HttpResponse(200, body=b"late")
    finally:
        log.append("finally")


@types.coroutine
def pause(value):
    """Suspends once, yielding `value` to whoever drives the coroutine."""
    received = yield value
    return received


async def paused_response(log):
    try:
        received = await pause("tick")
        log.append(received)
        return HttpResponse(200, body=b"resumed")
    finally:
        log.append("finally")


class TestCoroutines:
    def test_is_recognised_as_coroutine(self, server):
        coro = server._send_response(Writer(), HttpResponse(204))
        assert isinstance(coro, collections.abc.Coroutine)
        assert asyncio.iscoroutine(coro)
        assert inspect.iscoroutinefunction(HttpServer._send_response)
        assert inspect.iscoroutinefunction(server._send_response)
        assert coro.__qualname__ == "HttpServer._send_response"
        coro.close()

    def test_awaiting_a_suspending_awaitable(self, server):
        writer, log = Writer(), []
        asyncio.run(server._send_response(writer, suspending_response(log)))
        assert writer.data.endswith(b"\r\n\r\nlate") and log == ["finally"]

    def test_works_under_gather_and_wait_for(self, server):
        writers = [Writer() for _ in range(3)]

        async def main():
            log = []
            await asyncio.gather(*(server._send_response(w, suspending_response(log)) for w in writers))
            await asyncio.wait_for(server._send_response(writers[0], HttpResponse(204)), 1)

        asyncio.run(main())
        assert all(w.data.startswith(b"HTTP/1.1 200 OK") for w in writers)

    def test_cancellation_reaches_the_awaited_delegate(self, server):
        log = []

        async def main():
            task = asyncio.create_task(server._send_response(Writer(), suspending_response(log, 10)))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
        assert log == ["finally"]

    def test_yielded_values_and_sent_values_pass_through(self, server):
        writer, log = Writer(), []
        coro = server._send_response(writer, paused_response(log))
        assert coro.send(None) == "tick"
        assert coro.cr_suspended and not coro.cr_running and coro.cr_await is not None
        with pytest.raises(StopIteration):
            coro.send("sent")
        assert log == ["sent", "finally"] and writer.data.endswith(b"resumed")

    def test_throw_and_close_while_suspended(self, server):
        log = []
        coro = server._send_response(Writer(), paused_response(log))
        coro.send(None)
        coro.close()
        assert log == ["finally"]
        assert coro.close() is None

        log.clear()
        coro = server._send_response(Writer(), paused_response(log))
        coro.send(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("boom"))
        assert log == ["finally"]
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_protocol_errors(self, server):
        coro = server._send_response(Writer(), HttpResponse(204))
        with pytest.raises(TypeError, match="just-started"):
            coro.send(1)
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value is None
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

        coro = server._send_response(Writer(), HttpResponse(204))
        with pytest.raises(ValueError):
            coro.throw(ValueError("early"))
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_never_awaited_warns_like_cpython(self, server):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            server._send_response(Writer(), HttpResponse(204))
            gc.collect()
        messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
        assert "coroutine 'HttpServer._send_response' was never awaited" in messages


def test_keyword_only_defaults_show_and_change_as_a_python_functions_do():
    import inspect

    import zivane.web as web

    def twin(app, port, identity_path=None, *, name=None, announce_interval=1800.0):
        pass

    saved = web.serve.__defaults__
    try:
        assert web.serve.__defaults__ == twin.__defaults__
        assert web.serve.__kwdefaults__ == twin.__kwdefaults__
        web.serve.__defaults__ = twin.__defaults__ = ()
        assert not web.serve.__defaults__ and not twin.__defaults__
        parameters = inspect.signature(web.serve).parameters
        assert parameters["identity_path"].default is inspect.Parameter.empty
        assert parameters["announce_interval"].default == 1800.0
        web.serve.__defaults__ = ("elsewhere",)
        assert inspect.signature(web.serve).parameters["identity_path"].default == "elsewhere"
        assert web.serve.__kwdefaults__ == {"name": None, "announce_interval": 1800.0}
    finally:
        web.serve.__defaults__ = saved
