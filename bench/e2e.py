"""End-to-end speed of zivane over one loopback Reticulum link, against raw RNS.Buffer use.

Run:  PYTHONPATH=build/<name> .venv/bin/python bench/e2e.py [--rounds N] [--latency-count N]

Everything runs in one isolated network (tests/rnsnet.py): a shared instance, the
zivane server, and raw Reticulum servers that play the baselines, each reached by its own
peer process over its own link:

- latency: median round trip of a small GET; baseline: a raw buffer echo of the same bytes.
- throughput: one-way transfer of a 1 MiB random response, timed by the peer from request
  to last byte; baselines: a raw writer doing one `buffer.write` + `flush`, a paced
  raw writer (423-byte pieces while the channel is ready), and the same paced writer
  with pieces as large as one message on the link may carry (channel MDU, at most 16 KiB).
- CPU per MiB: CPU seconds of the serving process during the throughput rounds.
- client latency: median round trip of `HttpClient.get` of the same small resource from
  zivane's client to zivane's server; baseline: the raw buffer echo above.

A measurement is a `Case` (what to serve, which request, how many rounds); a `Row` of the
table compares one case with a baseline case. A client-side row is one more Case whose
measure function drives zivane.client instead of the raw peer.
"""

import argparse
import os
import statistics
import sys
from dataclasses import dataclass, field
from typing import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import psutil  # noqa: E402

from rnsnet import Network  # noqa: E402

MIB = 1 << 20
SMALL_GET = b"GET /small HTTP/1.1\r\nHost: bench\r\n\r\n"
BIG_GET = b"GET /big HTTP/1.1\r\nHost: bench\r\n\r\n"

ZIVANE_SETUP = f"""
import random
BIG = random.Random(7).randbytes({MIB})
server.add_handler("/small", lambda r: HttpResponse(status=200, body=b"hi"))
server.add_handler("/big", lambda r: HttpResponse(status=200, body=BIG))
"""

# A raw Reticulum server on destination "HTTP"/<port>. Mode "echo" writes each request
# back as it came; "single" and "paced" answer with a 1 MiB random response.
RAW_SERVER = f"""
import random
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
port, mode = ARGS
BIG = random.Random(7).randbytes({MIB})
RESPONSE = b"HTTP/1.1 200 OK\\r\\nContent-Length: %d\\r\\n\\r\\n" % len(BIG) + BIG
PIECE = sys.modules["RNS.Buffer"].StreamDataMessage.MAX_DATA_LEN
identity = RNS.Identity()
dest = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", port)

def on_link(link):
    pending = bytearray()
    lock = threading.Lock()
    channel = link.get_channel()

    def on_ready(n):
        with lock:
            while True:
                data = buf.read(65536)
                if not data:
                    break
                pending.extend(data)
            while True:
                end = pending.find(b"\\r\\n\\r\\n")
                if end < 0:
                    return
                request = bytes(pending[:end + 4])
                del pending[:end + 4]
                if mode == "echo":
                    buf.write(request)
                    buf.flush()
                elif mode == "single":
                    buf.write(RESPONSE)
                    buf.flush()
                else:
                    piece = PIECE if mode == "paced" else min(channel.mdu - 2, 16384)
                    for i in range(0, len(RESPONSE), piece):
                        while not channel.is_ready_to_send():
                            time.sleep(0.001)
                        buf.write(RESPONSE[i:i + piece])
                        buf.flush()

    buf = RNS.Buffer.create_bidirectional_buffer(0, 1, channel, on_ready)

dest.accepts_links(True)
dest.set_link_established_callback(on_link)
dest.announce()
print("READY", dest.hexhash, flush=True)
sys.stdin.read()
"""


# A zivane client process with the peer's `roundtrip` interface: on "ROUND n" it makes n
# `HttpClient.get` calls of the small resource over one link and prints their times.
CLIENT = '''
import asyncio, time
from zivane.client import HttpClient
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)

async def main():
    async with HttpClient(ARGS[0], int(ARGS[1]), identity_path=ARGS[2]) as client:
        await client.get("/small")
        print("READY", flush=True)
        for line in sys.stdin:
            times = []
            for _ in range(int(line.split()[1])):
                started = time.perf_counter()
                response = await client.get("/small")
                times.append(time.perf_counter() - started)
                assert response.status == 200 and response.body == b"hi"
            print("TIMES", ",".join(f"{t:.6f}" for t in times), flush=True)

asyncio.run(main())
'''


class ClientPeer:
    def __init__(self, net, dest_hash, port):
        identity = os.path.join(net.config_dir, f"client-{port}")
        self.proc = net.spawn(CLIENT, dest_hash, port, identity, name="client")

    def roundtrip(self, request, count):
        line = self.proc.command(f"ROUND {count}", "TIMES", 600)
        return [float(t) for t in line.split()[1].split(",")]

    def stop(self):
        self.proc.stop()


def raw_peer(net, dest_hash, port):
    return net.start_peer(dest_hash, port)


@dataclass
class Case:
    name: str
    start: Callable  # (net, port) -> serving process with .dest_hash
    request: bytes
    rounds: int
    result: dict = field(default_factory=dict)
    peer: Callable = raw_peer  # (net, dest_hash, port) -> object with roundtrip(request, n)


def zivane_server(net, port):
    return net.start_server(port=port, setup=ZIVANE_SETUP)


def raw_server(mode):
    def start(net, port):
        proc = net.spawn(RAW_SERVER, port, mode, name=f"raw-{mode}")
        proc.dest_hash = proc.ready_words[0]
        return proc
    return start


class Session:
    """A case's serving process and the peer linked to it, kept for the whole run."""

    def __init__(self, net, case, port):
        self.case = case
        self.server = case.start(net, port)
        self.peer = case.peer(net, self.server.dest_hash, port)
        self.cpu = psutil.Process(self.server.pid)
        self.times = []
        self.cpu_s = 0.0
        self.failed = False

    def rounds(self, count):
        if self.failed:
            return
        before = self.cpu.cpu_times()
        try:
            times = self.peer.roundtrip(self.case.request, count)
        except (TimeoutError, RuntimeError) as e:
            print(f"  {self.case.name}: {e}", file=sys.stderr)
            times = []
        after = self.cpu.cpu_times()
        self.cpu_s += (after.user - before.user) + (after.system - before.system)
        self.times += times
        if len(times) != count:
            # a round that never completed (the peer waits 60 s): no figure for this case
            print(f"  {self.case.name}: a round did not complete", file=sys.stderr)
            self.failed = True

    def finish(self):
        n = len(self.times)
        nan = float("nan")
        ok = not self.failed and n > 0
        self.case.result = {
            "median": statistics.median(self.times) if ok else nan,
            "total": sum(self.times) if ok else nan,
            "cpu": self.cpu_s if ok else nan,
            "count": n,
        }


def measure_all(net, cases, groups, block=20):
    """Measures each group of cases with their rounds interleaved in small blocks, so
    that a ratio within a group compares figures taken under the same machine load.
    A group's links are made just before it runs: Reticulum tears down a link that has
    been idle for about ten seconds here, so slow cases (the 423-byte paced writer, the
    single write that busy-spins a core) go in groups of their own."""
    ports = iter(range(9100, 9200))
    for group in groups:
        sessions = []
        for key in group:
            print(f"measuring {cases[key].name} ...", file=sys.stderr, flush=True)
            sessions.append(Session(net, cases[key], next(ports)))
        try:
            warmup = [s for s in sessions if s.case.request == SMALL_GET]
            for session in warmup:
                session.peer.roundtrip(session.case.request, 5)
            step = block if warmup else 1
            for done in range(0, max(s.case.rounds for s in sessions), step):
                for session in sessions:
                    left = session.case.rounds - done
                    if left > 0:
                        session.rounds(min(step, left))
        finally:
            for session in sessions:
                session.finish()
                session.peer.stop()
                session.server.stop()


@dataclass
class Row:
    label: str
    case: Case
    baseline: Case
    metric: Callable  # Case -> value
    unit: str
    better: str  # "lower" or "higher"
    target: float  # ratio bound (<= for lower, >= for higher)


def run(rounds, latency_count):
    cases = {
        "zivane-small": Case("zivane GET", zivane_server, SMALL_GET, latency_count),
        "raw-echo": Case("raw echo", raw_server("echo"), SMALL_GET, latency_count),
        "zivane-client": Case("zivane client", zivane_server, SMALL_GET, latency_count, peer=ClientPeer),
        "zivane-big": Case("zivane 1 MiB", zivane_server, BIG_GET, rounds),
        "raw-single": Case("raw single write", raw_server("single"), BIG_GET, 1),
        "raw-paced": Case("raw paced write", raw_server("paced"), BIG_GET, rounds),
        "raw-paced-full": Case("raw paced, full messages", raw_server("paced-full"), BIG_GET, rounds),
    }

    def latency_ms(c):
        return c.result["median"] * 1000

    def throughput_kbs(c):
        return c.result["count"] * MIB / c.result["total"] / 1000 if c.result["count"] else float("nan")

    def cpu_per_mib(c):
        return c.result["cpu"] / c.result["count"] if c.result["count"] else float("nan")

    rows = [
        Row("latency, small GET", cases["zivane-small"], cases["raw-echo"], latency_ms, "ms", "lower", 1.1),
        Row("latency, HttpClient.get", cases["zivane-client"], cases["raw-echo"], latency_ms, "ms", "lower",
            1.15),
        Row("throughput, 1 MiB", cases["zivane-big"], cases["raw-paced"], throughput_kbs, "KB/s", "higher", 0.9),
        Row("throughput vs single write", cases["zivane-big"], cases["raw-single"], throughput_kbs, "KB/s",
            "higher", 1.0),
        Row("throughput vs full messages", cases["zivane-big"], cases["raw-paced-full"], throughput_kbs, "KB/s",
            "higher", 0.9),
        Row("server CPU per MiB", cases["zivane-big"], cases["raw-paced"], cpu_per_mib, "s", "lower", 1.2),
        Row("CPU per MiB vs full messages", cases["zivane-big"], cases["raw-paced-full"], cpu_per_mib, "s",
            "lower", 1.2),
    ]

    with Network() as net:
        measure_all(net, cases, [["zivane-small", "raw-echo", "zivane-client"], ["zivane-big", "raw-paced-full"],
                                 ["raw-paced"], ["raw-single"]])

    print(f"{'measure':28} {'zivane':>12} {'baseline':>12} {'ratio':>7} {'target':>8}  baseline")
    ok = True
    for row in rows:
        value, base = row.metric(row.case), row.metric(row.baseline)
        ratio = value / base
        met = ratio <= row.target if row.better == "lower" else ratio >= row.target
        ok &= met
        sign = "<=" if row.better == "lower" else ">="
        print(f"{row.label:28} {value:10.3f}{row.unit:>2} {base:10.3f}{row.unit:>2} {ratio:7.2f} "
              f"{sign}{row.target:<6} {row.baseline.name}{'' if met else '  (missed)'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="1 MiB transfers per case")
    parser.add_argument("--latency-count", type=int, default=200, help="small round trips per case")
    args = parser.parse_args()
    run(args.rounds, args.latency_count)


if __name__ == "__main__":
    main()
