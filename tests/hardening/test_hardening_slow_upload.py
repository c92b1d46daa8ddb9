"""The server's read time-out on slow links: a request whose bytes keep coming at a fair
share of what its link carries is answered however long it takes, while a dribble, or a
silence longer than the time-out (or than Reticulum's own resends on that link), still
ends in 408. Through a stand-in Reticulum whose links tell their measured rate and RTT."""

import time

import pytest

from fakes.server import open_link, split_responses
from test_hardening_server import serving  # noqa: F401  (the stand-in server fixture)
from zivane.types import HttpResponse

TIMEOUT = 0.4
RATE = 400.0  # bytes a second the link was measured at: a quarter of it must be kept up


@pytest.fixture
def slow_link(serving):
    """One link measured at RATE on a running stand-in server; yields (link, buffer)."""
    server, rns, _ = serving
    server._read_timeout = TIMEOUT
    server.set_default_handler(lambda r: HttpResponse(status=200, body=str(len(r.body or b"")).encode()))
    link, buf = open_link(server, rns, "slow")
    link.establishment_rate, link.rtt = RATE, 0.005
    return link, buf


def statuses(buf):
    return [(r.status, r.body) for r in split_responses(buf.sent)]


def trickle(buf, wire, rate, piece=20):
    """Delivers `wire` at `rate` bytes a second, stopping early once an answer was sent."""
    started = time.monotonic()
    for at in range(0, len(wire), piece):
        if buf.sent:
            return
        buf.deliver(wire[at:at + piece])
        time.sleep(max(0.0, started + (at + piece) / rate - time.monotonic()))


def upload(size):
    return b"POST /up HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % size + b"u" * size


def wait_answer(buf, seconds):
    deadline = time.monotonic() + seconds
    while not buf.sent and time.monotonic() < deadline:
        time.sleep(0.01)
    return time.monotonic()


def test_upload_at_the_links_pace_outlasts_the_time_out(slow_link):
    link, buf = slow_link
    started = time.monotonic()
    trickle(buf, upload(500), rate=RATE * 0.6)  # about 2 s, five times the time-out
    assert statuses(buf) == [(200, b"500")]
    assert time.monotonic() - started > 3 * TIMEOUT


@pytest.mark.parametrize("rate", [RATE * 0.05, RATE * 0.15])
def test_dribble_below_the_least_rate_gets_408(slow_link, rate):
    link, buf = slow_link
    started = time.monotonic()
    trickle(buf, upload(2000), rate=rate, piece=4)
    assert statuses(buf) == [(408, b"Request timeout")]
    # the time-out: the bytes never kept up a quarter of the rate
    assert TIMEOUT <= time.monotonic() - started < 3.0


@pytest.mark.parametrize("rtt, silence", [
    (None, TIMEOUT),  # no round trip measured yet: the time-out counts
    (0.02, 2.06),      # five tries from 0.125 s growing by half: 1.65 s, and a quarter more
])
def test_silence_ends_the_request_after_the_time_out_or_reticulums_resends(slow_link, rtt, silence):
    link, buf = slow_link
    link.rtt = rtt
    wire = upload(600)
    buf.deliver(wire[:200])
    time.sleep(0.3)
    buf.deliver(wire[200:400])  # fresh bytes: the silence counts from here
    last = time.monotonic()
    answered = wait_answer(buf, silence + 2)
    assert statuses(buf) == [(408, b"Request timeout")]
    assert silence - 0.05 <= answered - last < silence + 0.6


@pytest.mark.parametrize("burst", [400, 4000])
def test_trickle_after_a_burst_gets_408_once_the_burst_leaves_the_window(slow_link, burst):
    # What a burst brought buys no time later: once its bytes are older than the window,
    # only what keeps arriving counts, and a byte or so every tenth of a second is a
    # tenth of the link's fair share.
    link, buf = slow_link
    wire = upload(burst + 10000)
    started = time.monotonic()
    buf.deliver(wire[:burst])
    trickle(buf, wire[burst:], rate=RATE * 0.1, piece=4)
    assert statuses(buf) == [(408, b"Request timeout")]
    assert time.monotonic() - started < 3.0


def play(buf, wire, steps):
    """Delivers `wire` by (seconds to wait, bytes) steps, then the rest at once; stops early
    once an answer was sent."""
    at = 0
    for wait, size in steps:
        if buf.sent:
            return
        time.sleep(wait)
        buf.deliver(wire[at:at + size])
        at += size
    if not buf.sent:
        buf.deliver(wire[at:])


STEADY = [(0.05, 12)] * 20  # a second at 240 bytes a second


@pytest.mark.parametrize("steps, answer", [
    # a stall within Reticulum's resends after a healthy stretch, twice: Reticulum at work
    (STEADY + [(1.5, 12)] + STEADY + [(1.5, 12)] + STEADY, (200, b"1200")),
    # a burst now and then with silences as long in between: judged on every window
    ([(0, 200)] + [(1.5, 200)] * 4, (408, b"Request timeout")),
])
def test_silences_are_forgiven_only_after_bytes_that_kept_up(slow_link, steps, answer):
    link, buf = slow_link
    link.rtt = 0.02  # silences up to about 2 s may be Reticulum's resends
    play(buf, upload(1200), steps)
    wait_answer(buf, 3)
    assert statuses(buf) == [answer]
