"""The support layer under pressure: native coroutines and the garbage collector, names
interned when allocation fails, a cleared client module, the identity file against
planted links, and long create/close/throw loops that must not grow."""

import asyncio
import gc
import os
import stat
import tracemalloc
import types
import warnings
import weakref

import pytest
import RNS

import zivane.types as zt
from fakes.server import ServerRNS
from helpers import SANITIZED, Writer, run_python
from zivane.client import HttpClient
from zivane.server import HttpServer
from zivane.types import HttpRequest, HttpResponse


async def never_finishes():
    await asyncio.get_running_loop().create_future()


@types.coroutine
def suspend_forever():
    while True:
        yield


async def suspended_handler():
    await suspend_forever()


# ----- native coroutines and the garbage collector -----------------------------------------

class TestCoroutineCollection:
    def test_abandoned_task_releases_the_awaited_handler(self):
        """task -> coroutine -> handler coroutine -> future -> task: a cycle the collector
        can only break if it sees inside the native coroutine."""
        server = HttpServer(1, "unused")
        loop = asyncio.new_event_loop()
        loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed ..."
        handler = never_finishes()
        handler_ref = weakref.ref(handler)
        coro = server._send_response(Writer(), handler)
        assert gc.is_tracked(coro)
        task = loop.create_task(coro)
        loop.run_until_complete(asyncio.sleep(0.01))
        assert coro.cr_await is handler
        loop.close()
        del task, coro, handler, loop
        gc.collect()
        assert handler_ref() is None

    def test_unstarted_coroutine_in_a_cycle_with_its_argument(self):
        server = HttpServer(1, "unused")
        server.pending = server._send_response(Writer(), HttpResponse(204))
        server_ref = weakref.ref(server)
        del server
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            gc.collect()
        assert server_ref() is None
        assert any("was never awaited" in str(w.message) for w in caught)

    def test_collection_while_suspended_runs_the_handlers_cleanup(self):
        log = []

        async def handler():
            try:
                await asyncio.get_running_loop().create_future()
            finally:
                log.append("cleaned up")

        server = HttpServer(1, "unused")
        loop = asyncio.new_event_loop()
        loop.set_exception_handler(lambda loop, context: None)
        task = loop.create_task(server._send_response(Writer(), handler()))
        loop.run_until_complete(asyncio.sleep(0.01))
        loop.close()
        del task, loop
        gc.collect()
        assert log == ["cleaned up"]


# ----- interned names ------------------------------------------------------------------------

def test_names_survive_an_allocation_failure_at_first_use():
    """A name interned lazily and failing once stayed NULL for good (a crash at next use)."""
    pytest.importorskip("_testcapi")
    for k in range(4):
        done = run_python(f"""
            import _testcapi
            from zivane.server import HttpServer
            s = HttpServer(1)
            _testcapi.set_nomemory({k}, {k + 1})
            try:
                s._match_pattern("a*", "ab")
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
            print(s._match_pattern("a*", "ab"), s._match_pattern("x", "ab"))
        """)
        assert (done.returncode, done.stdout) == (0, "True False\n"), (k, done.stderr[-2000:])


# ----- a cleared client module -----------------------------------------------------------------

def test_ready_callback_after_the_client_module_was_cleared():
    """Reticulum may still deliver data once the module state is gone (interpreter exit)."""
    done = run_python("""
        import asyncio, ctypes, os, tempfile
        import zivane.client as zc
        from fakes.client import ClientRNS, ClientBufferFactory

        callbacks = []
        made = ClientBufferFactory.create_bidirectional_buffer
        def capture(rx, tx, channel, callback):
            callbacks.append(callback)
            return made(rx, tx, channel, callback)
        ClientBufferFactory.create_bidirectional_buffer = staticmethod(capture)
        zc.RNS = ClientRNS
        client = zc.HttpClient(bytes(16), 80, identity_path=os.path.join(tempfile.mkdtemp(), "id"))
        assert asyncio.run(client.get("/x")).status == 200
        [ready] = callbacks

        # module_type.tp_clear(module): what the collector does to an unreachable module
        slot = 24 * ctypes.sizeof(ctypes.c_void_p)
        base = id(type(zc))
        flags = ctypes.c_ulong.from_address(base + 21 * ctypes.sizeof(ctypes.c_void_p)).value
        assert flags == type(zc).__flags__
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(
            ctypes.c_void_p.from_address(base + slot).value)
        clear(zc)
        print(ready(100))
        os._exit(0)
    """)
    assert (done.returncode, done.stdout) == (0, "None\n"), done.stderr[-2000:]


# ----- the identity file -------------------------------------------------------------------------

def load_identity(kind, path):
    if kind == "server":
        return HttpServer(80, str(path))._load_or_create_identity()
    return HttpClient(bytes(16), 80, identity_path=str(path))._load_or_create_identity()


KINDS = ["server", "client"]


@pytest.mark.parametrize("kind", KINDS)
class TestIdentityFile:
    def test_new_identity_is_its_private_key_in_a_private_file(self, kind, tmp_path):
        path = tmp_path / "dir" / "identity"
        old_umask = os.umask(0)
        try:
            identity = load_identity(kind, path)
        finally:
            os.umask(old_umask)
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        assert path.read_bytes() == identity.get_private_key()
        again = load_identity(kind, path)
        assert again.hash == identity.hash

    @pytest.mark.parametrize("target_exists", [True, False])
    def test_planted_symlink_is_never_written_through(self, kind, tmp_path, target_exists):
        victim = tmp_path / "victim"
        if target_exists:
            victim.write_bytes(b"precious, and no identity")
            victim.chmod(0o644)
        (tmp_path / "id").mkdir()
        path = tmp_path / "id" / "identity"
        path.symlink_to(victim)
        with pytest.raises(OSError, match="symbolic link") as info:
            load_identity(kind, path)
        assert info.value.filename == str(path)
        if target_exists:
            assert victim.read_bytes() == b"precious, and no identity"
            assert stat.S_IMODE(victim.stat().st_mode) == 0o644
        else:
            assert not victim.exists()

    def test_symlink_to_a_good_identity_is_read(self, kind, tmp_path):
        real = tmp_path / "real"
        first = load_identity(kind, real)
        link = tmp_path / "link"
        link.symlink_to(real)
        assert load_identity(kind, link).hash == first.hash

    def test_directory_at_the_path_is_an_error_naming_it(self, kind, tmp_path):
        path = tmp_path / "identity"
        path.mkdir()
        with pytest.raises(IsADirectoryError) as info:
            load_identity(kind, path)
        assert str(path) in str(info.value)
        assert list(path.iterdir()) == []

    def test_unloadable_file_is_replaced_not_rewritten_in_place(self, kind, tmp_path):
        path = tmp_path / "identity"
        path.write_bytes(b"junk")
        path.chmod(0o644)
        hard = tmp_path / "hardlink"
        os.link(path, hard)  # another name for the same file keeps the old bytes
        identity = load_identity(kind, path)
        assert path.read_bytes() == identity.get_private_key()
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        assert hard.read_bytes() == b"junk"

    def test_identity_readable_by_others_is_warned_about(self, kind, tmp_path, capsys):
        path = tmp_path / "identity"
        load_identity(kind, path)
        capsys.readouterr()
        load_identity(kind, path)
        assert capsys.readouterr().err == ""
        path.chmod(0o640)
        load_identity(kind, path)
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and str(path) in err and "chmod 600" in err


def test_identity_class_without_private_key_accessor_saves_through_to_file(tmp_path, monkeypatch):
    import zivane.server as server_mod

    class Plain:
        @staticmethod
        def from_file(path):
            return None

        def to_file(self, path):
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600  # created private first
            with open(path, "wb") as f:
                f.write(b"plain")

    rns = ServerRNS()
    rns.Identity = Plain
    monkeypatch.setattr(server_mod, "RNS", rns)
    path = tmp_path / "identity"
    assert isinstance(HttpServer(1, str(path))._load_or_create_identity(), Plain)
    assert path.read_bytes() == b"plain"


# ----- long loops stay flat ----------------------------------------------------------------------

@pytest.mark.skipif(SANITIZED, reason="sanitizer quarantine")
def test_coroutine_and_codec_loops_do_not_grow():
    server = HttpServer(1, "unused")
    writer = Writer()
    request = bytes(HttpRequest("POST", "/p", headers={"A": "1"}, body=b"x" * 100))
    response = HttpResponse(200, headers={"Transfer-Encoding": "chunked"}, body=b"y" * 500)

    def loops(n):
        for i in range(n):
            coro = server._send_response(writer, suspended_handler())
            coro.send(None)
            if i % 2:
                coro.close()
            else:
                try:
                    coro.throw(KeyError("k"))
                except KeyError:
                    pass
            server._send_response(writer, response).close()
            HttpRequest.parse(request)
            bytes(response)
            zt.encode_chunked(b"z" * 64)
            writer.data = b""

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        loops(2000)
        gc.collect()
        objects_before = len(gc.get_objects())
        tracemalloc.start()
        try:
            loops(20_000)
            gc.collect()
            current, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        objects_after = len(gc.get_objects())
    # one leaked object per loop would be 20 000 objects and well over 1 MB
    assert objects_after - objects_before < 500
    assert current < 256 * 1024, current
