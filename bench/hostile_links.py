"""Hostile links: memory and time bounds of a server under peers that never finish a request.

    PYTHONPATH=build/<dir> .venv/bin/python bench/hostile_links.py [--links 8] [--mib 15]
        [--read-timeout 30] [--rate 1]

Over a loopback Reticulum, `--links` peer processes each announce a POST body of a little
more than `--mib` MiB and send `--mib` MiB of it as zeros (compressible: one 16 KiB
buffer message each) at no more than `--rate` MiB/s, then dribble a byte every half
second, so the request never ends while the link stays in use. A well-behaved peer on another link sends GET requests all
the while. The server process reports its resident memory (idle, before the peers
start; the peak while they send; after they were refused) and each hostile peer reports
what it got: 413 (too much held over all links), 408 (read time-out, counted from the
first byte of its request) or nothing. Prints the figures and the peak/idle ratio; run it
against two builds to compare them.
"""

import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from rnsnet import Network  # noqa: E402
from zivane.types import HttpRequest, HttpResponse  # noqa: E402

PORT = 7200

SERVER_SOURCE = """\
import asyncio, gc
import psutil
from zivane.server import HttpServer
from zivane.types import HttpResponse

reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
server = HttpServer(int(ARGS[0]), ARGS[1], read_timeout=float(ARGS[2]))

@server.route("/hello")
def hello(request):
    return HttpResponse(status=200, body=b"hi")

sys.stdout = open(os.devnull, "w")
reply = sys.__stdout__
asyncio.run(server.start())
print("READY", server.destination_hash, file=reply, flush=True)
for line in sys.stdin:
    if line.startswith("STATE"):
        gc.collect()
        print("STATE", psutil.Process().memory_info().rss, len(server._links), file=reply, flush=True)
asyncio.run(server.stop())
"""

# ARGS: dest_hash port body_bytes bytes_per_second. Sends a head announcing a little more
# than body_bytes, then body_bytes at that rate, then one byte every half second, and
# prints what came back: GOT <status> <seconds since its first byte>, or CLOSED.
HOSTILE_SOURCE = """\
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
dest_hash, port, size, rate = bytes.fromhex(ARGS[0]), ARGS[1], int(ARGS[2]), float(ARGS[3])
if not RNS.Transport.has_path(dest_hash):
    RNS.Transport.request_path(dest_hash)
    deadline = time.time() + 20
    while not RNS.Transport.has_path(dest_hash) and time.time() < deadline:
        time.sleep(0.02)
destination = RNS.Destination(RNS.Identity.recall(dest_hash), RNS.Destination.OUT,
                              RNS.Destination.SINGLE, "HTTP", port)
established = threading.Event()
link = RNS.Link(destination, lambda l: established.set())
established.wait(20)
got = bytearray()
arrived = threading.Event()
def on_ready(n):
    data = buf.read(65536)
    if data:
        got.extend(data)
        arrived.set()
channel = link.get_channel()
buf = RNS.Buffer.create_bidirectional_buffer(1, 0, channel, on_ready)
# Written straight through a raw channel writer: RNS's buffered writer retries for ever
# once the server has closed the link.
writer = sys.modules["RNS.Buffer"].RawChannelWriter(0, channel)
print("READY", flush=True)
sys.stdin.readline()
def send(data):
    while data:
        if link.status == RNS.Link.CLOSED:
            return False
        if not channel.is_ready_to_send():
            time.sleep(0.001)
            continue
        try:
            data = data[writer.write(data) or 0:]
        except Exception:
            return False
    return True
started = time.monotonic()
send(b"POST /upload HTTP/1.1\\r\\nContent-Length: %d\\r\\n\\r\\n" % (size + 4096))
zeros = bytes(16384)
left = size
while left > 0 and not arrived.is_set():
    n = min(left, len(zeros))
    if not send(zeros[:n]):
        break
    left -= n
    ahead = (size - left) / rate - (time.monotonic() - started)
    if ahead > 0:
        time.sleep(ahead)
print("SENT", size - left, "%.2f" % (time.monotonic() - started), flush=True)
# then a byte now and then: the link stays in use, the request never ends
while not arrived.wait(0.5) and link.status != RNS.Link.CLOSED:
    send(b"z")
while not arrived.wait(0.05) and link.status != RNS.Link.CLOSED:
    pass
arrived.wait(1)
when = time.monotonic() - started
if got:
    print("GOT", bytes(got).split(b" ")[1].decode(), "%.2f" % when, flush=True)
else:
    print("CLOSED", link.teardown_reason, "%.2f" % when, flush=True)
sys.stdin.read()
"""


def rss_and_links(server):
    words = server.command("STATE", "STATE", 30).split()
    return int(words[1]), int(words[2])


def watch_memory(server, stop, peak):
    while not stop.is_set():
        peak[0] = max(peak[0], rss_and_links(server)[0])
        time.sleep(0.25)


def polite_client(peer, stop, latencies, failures):
    request = bytes(HttpRequest("GET", "/hello"))
    while not stop.is_set():
        started = time.monotonic()
        peer.send(request)
        try:
            [raw] = peer.recv(1, timeout=20)
            assert HttpResponse.parse(raw).body == b"hi"
            latencies.append(time.monotonic() - started)
        except (TimeoutError, AssertionError) as e:
            failures.append(repr(e))
        time.sleep(0.2)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--links", type=int, default=8)
    ap.add_argument("--mib", type=float, default=15.0)
    ap.add_argument("--read-timeout", type=float, default=30.0)
    ap.add_argument("--rate", type=float, default=1.0, help="MiB/s each hostile peer sends at most")
    args = ap.parse_args()
    size = int(args.mib * 2**20)

    with Network() as net:
        server = net.spawn(SERVER_SOURCE, PORT, os.path.join(net.config_dir, "bench-identity"),
                           args.read_timeout, name="server")
        dest = server.ready_words[0]
        polite = net.start_peer(dest, PORT)
        polite.roundtrip(bytes(HttpRequest("GET", "/hello")), 3)  # warm-up
        hostile = [net.spawn(HOSTILE_SOURCE, dest, PORT, size, args.rate * 2**20,
                             name=f"hostile{i}") for i in range(args.links)]
        idle, _ = rss_and_links(server)

        stop = threading.Event()
        peak, latencies, failures = [idle], [], []
        threads = [threading.Thread(target=watch_memory, args=(server, stop, peak)),
                   threading.Thread(target=polite_client, args=(polite, stop, latencies, failures))]
        for t in threads:
            t.start()
        started = time.monotonic()
        for h in hostile:
            h.popen.stdin.write("GO\n")
            h.popen.stdin.flush()
        outcomes = []
        deadline = started + args.read_timeout + 30  # a build without a read time-out
        for h in hostile:
            sent_words = h.reply("SENT", 900).split()
            try:
                words = h.reply(("GOT", "CLOSED"), max(1.0, deadline - time.monotonic())).split()
            except TimeoutError:
                words = ["OPEN", "-", "%.2f" % (time.monotonic() - started)]
            outcomes.append((words[0], words[1], float(words[-1]), int(sent_words[1]), float(sent_words[2])))
        wall = time.monotonic() - started
        time.sleep(1)
        stop.set()
        for t in threads:
            t.join()
        after, links = rss_and_links(server)

    mib = 2**20
    print(f"{args.links} hostile links, each sending {args.mib:g} MiB of a longer body, then dribbling; "
          f"read time-out {args.read_timeout:g} s")
    for i, (kind, status, when, sent, sending) in enumerate(outcomes):
        what = {"GOT": f"answered {status}", "CLOSED": f"link closed without an answer (reason {status})",
                "OPEN": "no answer, link still open"}[kind]
        print(f"  link {i}: sent {sent / mib:6.2f} MiB in {sending:5.2f} s, {what} {when:6.2f} s after its first byte")
    print(f"server RSS: idle {idle / mib:.1f} MiB -> peak {peak[0] / mib:.1f} MiB "
          f"(ratio {peak[0] / idle:.2f}); after the refusals {after / mib:.1f} MiB, {links} links left "
          f"(the polite one)")
    if latencies:
        ordered = sorted(latencies)
        print(f"polite link meanwhile: {len(latencies)} GETs answered, median {ordered[len(ordered) // 2] * 1000:.0f} ms, "
              f"max {ordered[-1] * 1000:.0f} ms; {len(failures)} failed")
    print(f"wall time {wall:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
