"""The transports are what httpx and requests take them for, the libraries are imported
only when a transport is made, and their link time-outs are set where they are made."""

import inspect
import subprocess
import sys
import textwrap
import time

import pytest

httpx = pytest.importorskip("httpx")
requests = pytest.importorskip("requests")

import zivane.web as web  # noqa: E402
from fakes.client import ClientLink  # noqa: E402
from test_web_unit import BASE, identity, rns  # noqa: E402,F401  (fixtures)

LIBRARY_BASES = [
    ("HttpxTransport", "httpx", "BaseTransport"),
    ("AsyncHttpxTransport", "httpx", "AsyncBaseTransport"),
    ("RequestsAdapter", "requests.adapters", "BaseAdapter"),
]


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


@pytest.mark.parametrize("name, library, base", LIBRARY_BASES)
def test_a_transport_made_is_a_subclass_of_its_library_base_imported_no_sooner(name, library, base):
    other = "requests" if library == "httpx" else "httpx"
    out = run_python(f"""
        import sys, zivane.web as web
        print("{library}" in sys.modules, "{other}" in sys.modules)
        class Mine(web.{name}):
            pass
        made, mine = web.{name}(), Mine()
        base = getattr(sys.modules["{library}"], "{base}")
        print(isinstance(made, base), isinstance(mine, base), issubclass(Mine, base))
        print("{other}" in sys.modules, made._state is not None)
    """)
    assert out == ["False", "False", "True", "True", "True", "False", "True"]


def test_a_library_imported_first_makes_its_transports_subclasses_at_once():
    out = run_python("""
        import httpx, zivane.web as web
        print(issubclass(web.HttpxTransport, httpx.BaseTransport),
              issubclass(web.AsyncHttpxTransport, httpx.AsyncBaseTransport),
              web.RequestsAdapter.__mro__[1].__name__)
    """)
    assert out == ["True", "True", "_LibraryBase"]


def test_a_library_base_laid_out_otherwise_leaves_the_transport_working():
    out = run_python("""
        import sys, types
        fake = types.ModuleType("httpx")
        fake.BaseTransport = type("BaseTransport", (), {"__slots__": ()})
        sys.modules["httpx"] = fake
        import zivane.web as web
        transport = web.HttpxTransport(connect_timeout=5.0)
        print(isinstance(transport, fake.BaseTransport), transport._state is not None)
    """)
    assert out == ["False", "True"]


def test_the_libraries_take_the_transports_where_they_check():
    transport = web.HttpxTransport()
    with httpx.Client(transport=transport) as client:
        assert client._transport is transport
    session = requests.Session()
    adapter = web.RequestsAdapter()
    session.mount("http://", adapter)
    assert session.get_adapter("http://x.rns/") is adapter
    assert isinstance(httpx.AsyncClient(transport=web.AsyncHttpxTransport())._transport,
                      httpx.AsyncBaseTransport)
    for name, _, _ in LIBRARY_BASES:
        cls = getattr(web, name)
        assert (cls.__module__, cls.__qualname__) == ("zivane.web", name)
        assert str(inspect.signature(cls)) == (
            "(identity_path: str | None = None, identify: bool = False, "
            "connect_timeout: float = 120.0, timeout: float = 60.0) -> None")


@pytest.mark.parametrize("bad", [0, -1.0, float("nan"), float("inf")])
@pytest.mark.parametrize("argument", ["connect_timeout", "timeout"])
def test_time_outs_must_be_positive_seconds(argument, bad):
    with pytest.raises(ValueError, match=argument):
        web.HttpxTransport(**{argument: bad})


# ----- the link's time-outs against the libraries' own --------------------------------------

def seconds_to_fail(call, error):
    started = time.monotonic()
    with pytest.raises(error):
        call()
    return time.monotonic() - started


@pytest.mark.parametrize("transport_seconds, httpx_connect, waits", [
    (2.0, None, 2.0),   # httpx gives none: the transport's own
    (30.0, 1.0, 1.0),   # the request's own wins
])
def test_linking_waits_the_requests_connect_time_out_else_the_transports(
        rns, identity, transport_seconds, httpx_connect, waits):
    ClientLink.establish = False
    transport = web.HttpxTransport(identity_path=identity, connect_timeout=transport_seconds)
    client = httpx.Client(transport=transport, timeout=httpx.Timeout(5.0, connect=httpx_connect))
    waited = seconds_to_fail(lambda: client.get(BASE + "/"), httpx.ConnectTimeout)
    assert waits - 0.1 <= waited < waits + 15


def test_requests_without_a_time_out_get_the_adapters_answer_time_out(rns, identity):
    ClientLink.responder = lambda request: None  # never answers
    session = requests.Session()
    session.mount("http://", web.RequestsAdapter(identity_path=identity, timeout=1.0))
    waited = seconds_to_fail(lambda: session.get(BASE + "/"), requests.exceptions.ReadTimeout)
    assert 0.9 <= waited < 20
