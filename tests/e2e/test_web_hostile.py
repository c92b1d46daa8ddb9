"""zivane.web's transports against a hostile Reticulum server, over real loopback
Reticulum: a raw RNS.Buffer server that answers twice, or streams an answer without end."""

import pytest

pytest.importorskip("httpx")
pytest.importorskip("requests")

from rnsnet import Network
from webnet import start_client

# Paths: /once/ID answers ID; /twice/ID answers ID and a second answer in the same write
# (one that waited for the channel's window could leave after the next request came in,
# and then nothing tells it from an answer to that request); /endless
# sends a head promising a gigabyte and then 1 kB every 20 ms while the link lasts; /stall
# the same head and 1 kB, then nothing.
HOSTILE_SERVER = """\
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
identity = RNS.Identity()
destination = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", "80")
seen = []

def ok(body):
    return b"HTTP/1.1 200 OK\\r\\nContent-Length: %d\\r\\n\\r\\n" % len(body) + body

def send(link, buf, data):
    channel = link.get_channel()
    for i in range(0, len(data), 300):
        while not channel.is_ready_to_send():
            if link.status == RNS.Link.CLOSED:
                return False
            time.sleep(0.002)
        buf.write(data[i:i + 300])
        buf.flush()
    return True

def answer(link, buf, path):
    seen.append(path)
    _, kind, ident = (path.split("/") + ["", ""])[:3]
    if kind == "once":
        send(link, buf, ok(ident.encode()))
    elif kind == "twice":
        send(link, buf, ok(ident.encode()) + ok(b"extra " + ident.encode()))
    elif kind == "stall":
        send(link, buf, b"HTTP/1.1 200 OK\\r\\nContent-Length: 1000000000\\r\\n\\r\\n" + b"x" * 1000)
        while link.status != RNS.Link.CLOSED:
            time.sleep(0.1)
    elif kind == "endless":
        send(link, buf, b"HTTP/1.1 200 OK\\r\\nContent-Length: 1000000000\\r\\n\\r\\n")
        while link.status != RNS.Link.CLOSED and send(link, buf, b"x" * 1000):
            time.sleep(0.02)

def on_link(link):
    pending = bytearray()
    lock = threading.Lock()
    def ready(n):
        with lock:
            while (data := buf.read(65536)):
                pending.extend(data)
            heads = []
            while b"\\r\\n\\r\\n" in pending:
                end = pending.index(b"\\r\\n\\r\\n") + 4
                heads.append(bytes(pending[:end]))
                del pending[:end]
        for head in heads:
            path = head.split(b" ")[1].decode()
            threading.Thread(target=answer, args=(link, buf, path), daemon=True).start()
    buf = RNS.Buffer.create_bidirectional_buffer(0, 1, link.get_channel(), ready)

destination.set_link_established_callback(on_link)
destination.announce()
print("READY", destination.hash.hex(), flush=True)
for line in sys.stdin:
    if line.startswith("SEEN"):
        print("SEEN", ",".join(seen) or "-", flush=True)
"""


@pytest.fixture(scope="module")
def hostile():
    with Network() as net:
        server = net.spawn(HOSTILE_SERVER, name="hostile")
        yield server, start_client(net, server.ready_words[0])


def wrong_and_right(outcomes):
    """Answers that were another request's, and answers that were right."""
    wrong = [(asked, got) for asked, got in outcomes if got is not None and got != asked]
    right = [asked for asked, got in outcomes if got == asked]
    return wrong, right


def test_a_second_answer_to_one_request_never_reaches_another_request(hostile):
    server, client = hostile
    outcomes = client.check("""
        outcomes = []
        calls = [("requests", lambda u: session.get(u, timeout=20).text, requests.RequestException),
                 ("httpx", lambda u: http.get(u, timeout=20).text, httpx.TransportError),
                 ("async", lambda u: run(ahttp.get(u, timeout=20)).text, httpx.TransportError)]
        for name, call, error in calls:
            for i in range(5):
                ident = f"{name}{i}"
                try:
                    outcomes.append((ident, call(base + "/twice/" + ident)))
                except error:
                    outcomes.append((ident, None))
        result = outcomes
    """, timeout=300)
    wrong, right = wrong_and_right([tuple(o) for o in outcomes])
    assert wrong == [], outcomes
    assert len(right) >= 6, outcomes  # the requests after a failed link go out on a new one
    seen = server.command("SEEN", "SEEN").split()[1].split(",")
    twice = [path for path in seen if path.startswith("/twice/")]
    assert len(twice) == len(set(twice)) == 15  # each request reached the server once


def test_closing_an_unfinished_answer_neither_blocks_the_loop_nor_the_next_request(hostile):
    _, client = hostile
    got = client.check("""
        async def main():
            async with ahttp.stream("GET", base + "/stall", timeout=8) as response:
                pieces = response.aiter_raw()
                got = 0
                while got < 1000:  # all the server sent: the next read waits
                    got += len(await pieces.__anext__())
                reading = asyncio.ensure_future(pieces.__anext__())
                await asyncio.sleep(0.5)  # the next read waits on a pool thread
                ticks = []
                async def tick():
                    while True:
                        ticks.append(time.monotonic())
                        await asyncio.sleep(0.05)
                ticker = asyncio.ensure_future(tick())
                started = time.monotonic()
                await response.aclose()
                closed_in = time.monotonic() - started
                reading.cancel()
                await asyncio.gather(reading, return_exceptions=True)
                await asyncio.sleep(0.2)
                ticker.cancel()
            started = time.monotonic()
            after = (await ahttp.get(base + "/once/after", timeout=8)).text
            gaps = [b - a for a, b in zip(ticks, ticks[1:])]
            return closed_in, max(gaps or [0]), after, time.monotonic() - started
        async_figures = run(main())
        with http.stream("GET", base + "/endless", timeout=8) as response:
            next(response.iter_raw())
        started = time.monotonic()
        sync_after = http.get(base + "/once/sync", timeout=8).text
        result = [*async_figures, sync_after, time.monotonic() - started]
    """, timeout=120)
    closed_in, longest_gap, after, after_in, sync_after, sync_after_in = got
    assert closed_in < 4 and longest_gap < 4, got  # the read's time-out is 8 s
    assert after == "after" and sync_after == "sync", got
    assert after_in < 8 and sync_after_in < 8, got
