"""Time-outs that hold: whichever Reticulum call hangs (as calls answered by a shared
instance can), `connect` and an exchange end within their time-outs plus a small margin,
with the error of the stage that could not finish, and the client stays usable."""

import asyncio
import os
import threading
import time

import pytest

import zivane.client as client_mod
from fakes.client import ClientIdentity, ClientLink, ClientRNS, ClientTransport
from zivane.client import HttpClient, TransportError

TIMEOUT = 1.0
HANG = TIMEOUT + 2.5  # a hung call comes back after this, so an unbounded wait shows
MARGIN = 1.0


@pytest.fixture
def rns(monkeypatch):
    ClientRNS.install(monkeypatch)
    release = threading.Event()
    yield release
    release.set()  # lets hung calls return so their threads end


def make_client(tmp_path):
    return HttpClient(b"\x02" * 16, 80, identity_path=str(tmp_path / "identity"),
                      connect_timeout=TIMEOUT, request_timeout=TIMEOUT)


def hang(release, result=None):
    def call(*args):
        release.wait(HANG)
        return result
    return call


def timed(coro):
    start = time.monotonic()
    try:
        asyncio.run(coro)
        error = None
    except TransportError as e:
        error = str(e)
    return error, time.monotonic() - start


# The path stage may take the connect time-out and the rest of connect another one.
CONNECT_STAGES = [
    ("request_path", "Timeout waiting for path to server", 2),
    ("has_path", "Timeout waiting for path to server", 2),
    ("await_path", "Timeout waiting for path to server", 2),
    ("repeated_request_path", "Timeout waiting for path to server", 2),
    ("recall", "Could not recall server identity", 1),
    ("Destination", "Connection timeout", 1),
    ("Link", "Connection timeout", 1),
    ("never_established", "Connection timeout", 1),
]


def install_connect_hang(stage, release):
    if stage == "repeated_request_path":
        # the first path request returns, the repeats made while the path is awaited do not
        calls = []
        ClientTransport.hooks.update(
            request_path=lambda h: calls.append(h) if not calls else release.wait(HANG),
            has_path=lambda h: False, await_path=hang(release, False))
    elif stage in ("request_path", "has_path", "await_path"):
        ClientTransport.hooks[stage] = hang(release)
        if stage != "has_path":
            ClientTransport.hooks["has_path"] = lambda h: False
    elif stage == "recall":
        ClientIdentity.recall_hook = hang(release, "server-identity")
    elif stage == "never_established":
        ClientLink.establish = False
    else:
        ClientLink.hooks[stage] = hang(release)


@pytest.mark.parametrize("stage, message, budgets", CONNECT_STAGES)
def test_connect_ends_in_time_whatever_hangs(rns, tmp_path, stage, message, budgets):
    install_connect_hang(stage, rns)
    client = make_client(tmp_path)
    error, elapsed = timed(client.connect())
    assert error == message
    assert elapsed < budgets * TIMEOUT + MARGIN, elapsed
    assert client._link is None
    # once Reticulum answers again, the same client connects
    ClientRNS.reset()
    client_mod.RNS = ClientRNS
    assert timed(client.connect()) [0] is None and client.is_connected


EXCHANGE_STAGES = ["get_channel", "create_bidirectional_buffer", "write", "flush", "read", "late"]


@pytest.mark.parametrize("stage", EXCHANGE_STAGES)
def test_exchange_ends_in_time_whatever_hangs(rns, tmp_path, stage):
    client = make_client(tmp_path)
    asyncio.run(client.connect())
    if stage == "late":
        ClientLink.hooks["delay"] = TIMEOUT + 0.5  # answered, but after the time-out
    else:
        ClientLink.hooks[stage] = hang(rns)
    link = client._link
    error, elapsed = timed(client.get("/"))
    assert error == "Request timeout"
    assert elapsed < TIMEOUT + MARGIN, elapsed
    # The link is let go of; once Reticulum behaves again the next exchange connects
    # anew, and the late answer is not taken for the next one's.
    assert not client.is_connected and link.teardowns == 1
    ClientLink.hooks.clear()
    rns.set()
    response = asyncio.run(client.get("/again"))
    assert response.headers["x-path"] == "/again" and client._link is not link


def test_concurrent_connects_with_stuck_recalls_all_end_in_time(rns, tmp_path):
    """Several clients at once, most of whose recalls never come back."""
    calls = []
    lock = threading.Lock()

    def recall(h):
        with lock:
            calls.append(h)
            n = len(calls)
        if n % 3:
            rns.wait(HANG)
        return "server-identity"

    ClientIdentity.recall_hook = recall
    results = []

    def one(i):
        c = HttpClient(b"\x03" * 16, 80, identity_path=str(tmp_path / f"id{i}"),
                       connect_timeout=3.0, request_timeout=TIMEOUT)
        results.append(timed(c.connect()))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(HANG + 5)
    assert len(results) == 6
    for error, elapsed in results:
        assert error in (None, "Could not recall server identity")
        assert elapsed < 3.0 + MARGIN, elapsed
    # stuck calls are tried again, so most of them get through
    assert sum(error is None for error, _ in results) >= 3


def os_threads():
    return len(os.listdir("/proc/self/task"))


def test_workers_are_reused_and_a_stuck_one_holds_up_no_later_call(rns, tmp_path):
    """Bounded calls go to long-lived workers: a run of connects starts no thread per call,
    and a call that never comes back keeps only its own worker busy."""
    client = make_client(tmp_path)
    asyncio.run(client.connect())  # workers started
    before = os_threads()
    for _ in range(30):
        assert timed(client.connect())[0] is None
    assert os_threads() <= before + 1
    ClientIdentity.recall_hook = hang(rns, "server-identity")
    error, _ = timed(make_client(tmp_path).connect())
    assert error == "Could not recall server identity"  # its calls are still stuck now
    ClientIdentity.recall_hook = None
    assert timed(client.connect())[0] is None
