"""zivane over simulated LoRa links, against raw RNS.Buffer use and RNS's own request API.

Run:  PYTHONPATH=build/<name> .venv/bin/python bench/radio.py [--quick] [--rounds N]

Every case runs in a radio lab (tests/radiolab.py): Reticulum instances in processes of their
own, joined through a relay that plays one shared half-duplex medium per segment at the given
bit rate, 250 ms one-way latency, MTU 500 and optional frame loss. In each lab one server
process answers the same bytes three ways (zivane's HttpServer; a raw RNS.Buffer server; a
`register_request_handler` server) and one client process asks them the same way (zivane's
HttpClient; a raw Buffer stream writing as much as RNS's writer takes while the channel is
ready; `link.request`). The variants take turns on the same medium, one exchange at a time,
each starting and ending on a quiet medium; "air" is every byte the relay carried from the
start of an exchange until the medium fell quiet again (frames from both ends, lost ones too).

Cases: 9600 bit/s GET of a 10 KiB JSON body (compresses about 8:1), 200 B, 10 KiB random, POST
of 10 KiB; 1200 bit/s connect (path + link, the path forgotten first), GET 10 KiB JSON and
POST 10 KiB (an upload that takes minutes: one round);
9600 bit/s with 5 % frame loss; connect through a transport node (two 9600 bit/s hops); direct
TCP on loopback (no relay): connect, and 5 clients connecting and fetching 200 B at once.
Figures are medians over the rounds; a case that fails shows its error in the table.
"""

import argparse
import os
import statistics
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from radiolab import Lab  # noqa: E402

VIA = ("zivane", "raw", "request")
TITLES = {"zivane": "zivane", "raw": "raw Buffer", "request": "link.request"}
KIB10 = 10240
ANNOUNCE_BYTES, ANNOUNCE_CAP = 183, 0.02  # an announce as a transport node relays it; RNS's default cap


@dataclass
class Sample:
    result: dict
    air: object = None  # radiolab.Air, None without a relay

    @property
    def ok(self):
        return self.result.get("ok", False)


@dataclass
class Case:
    label: str
    samples: dict = field(default_factory=lambda: {via: [] for via in VIA})
    error: str = ""  # the whole case failed (its lab did not come up)

    def add(self, via, sample):
        self.samples[via].append(sample)


class Bench:
    """One lab's server and client processes and the exchanges measured on them."""

    def __init__(self, lab, servers, driver, radio=True):
        self.lab, self.servers, self.driver, self.radio = lab, servers, driver, radio
        self.linked = set()

    def measure(self, **op):
        if self.radio:
            self.lab.wait_quiet()
            before = self.lab.air()
        result = self.driver.run(**op)
        if not self.radio:
            return Sample(result)
        self.lab.wait_quiet(timeout=120)
        return Sample(result, self.lab.air() - before)

    def connect(self, via, fresh, settle=None):
        self.driver.run(op="close", via=via)
        self.linked.discard(via)
        if settle:
            self.lab.wait_quiet(quiet=settle)
        sample = self.measure(op="connect", via=via, dest=self.servers.dests[via], fresh=fresh)
        if sample.ok:
            self.linked.add(via)
        return sample

    def fetch(self, via, path, method="GET", body=0):
        tries = 0
        while via not in self.linked:
            # not measured; on a lossy medium a link request or its proof may be lost
            connected = self.connect(via, fresh=False)
            tries += 1
            if not connected.ok and tries == 3:
                return Sample({"ok": False, "time": 0.0, "error": "connect: " + connected.result.get("error", "?")})
        sample = self.measure(op="fetch", via=via, path=path, method=method, body=body)
        if not sample.ok:
            # whatever was left of it must not go on the air during the next exchange
            self.driver.run(op="close", via=via)
            self.linked.discard(via)
        return sample

    def check(self, via, sample, expected):
        if sample.ok and (sample.result["status"], sample.result["sha256"]) != expected:
            sample.result.update(ok=False, error=f"wrong answer: status {sample.result['status']}, "
                                                 f"{sample.result['length']} bytes")
        return sample


def expected_answers():
    from radiolab import content
    import hashlib
    c = content()

    def expect(method, path, body=0):
        response = c["answer"](method, path, c["make_body"](body) if body else None)
        return response.status, hashlib.sha256(response.body or b"").hexdigest()
    return expect


EXPECT = None


def fetch_cases(bench, rounds, cases):
    """cases: [(Case, method, path, body size)]; rounds interleave the variants."""
    for _ in range(rounds):
        for case, method, path, body in cases:
            for via in VIA:
                sample = bench.fetch(via, path, method, body)
                case.add(via, bench.check(via, sample, EXPECT(method, path, body)))


def connect_case(bench, case, rounds, settle=None):
    for _ in range(rounds):
        for via in VIA:
            case.add(via, bench.connect(via, fresh=True, settle=settle))


def radio_lab(bitrate, loss=0.0, chain=False):
    lab = Lab().__enter__()
    try:
        topology = lab.chain if chain else lab.pair
        server, client = topology(bitrate=bitrate, loss=loss)
        servers = lab.start_servers(server)
        driver = lab.start_driver(client)
        return lab, Bench(lab, servers, driver)
    except BaseException:
        lab.__exit__(None, None, None)
        raise


def run_lab(cases, body, start):
    """Runs body(bench) in a fresh lab from start(); a lab that fails marks its cases failed."""
    started = time.monotonic()
    print(f"measuring {', '.join(c.label for c in cases)} ...", file=sys.stderr, flush=True)
    lab = None
    try:
        lab, bench = start()
        body(bench)
        if bench.radio:
            stats = lab.stats()
            for case in cases:
                case.max_frame = max(f.get("max_frame", 0) for s in stats["segments"].values()
                                     for f in s["from"].values())
                case.oversize = sum(f.get("oversize", 0) for s in stats["segments"].values()
                                    for f in s["from"].values())
    except Exception as e:
        traceback.print_exc()
        for case in cases:
            case.error = case.error or f"{type(e).__name__}: {e}"
    finally:
        if lab:
            lab.__exit__(None, None, None)
    print(f"  done in {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)


def tcp_lab():
    lab = Lab().__enter__()
    try:
        server, client = lab.tcp_pair()
        servers = lab.start_servers(server)
        driver = lab.start_driver(client)
        return lab, Bench(lab, servers, driver, radio=False)
    except BaseException:
        lab.__exit__(None, None, None)
        raise


def plan(rounds, slow_rounds):
    """[(cases, body, lab factory)] in the order they run."""
    json9600, small, random10, post10 = (Case("9600 GET 10 KiB JSON"), Case("9600 GET 200 B"),
                                         Case("9600 GET 10 KiB random"), Case("9600 POST 10 KiB"))
    connect1200, json1200 = Case("1200 connect (path + link)"), Case("1200 GET 10 KiB JSON")
    post1200 = Case("1200 POST 10 KiB")
    loss = Case("9600 5% loss GET 10 KiB JSON")
    chain = Case("via transport node connect")
    tcp_connect, tcp_burst = Case("direct TCP connect"), Case("direct TCP 5 clients at once")

    def fast(bench):
        fetch_cases(bench, rounds, [(json9600, "GET", "/json", 0), (small, "GET", "/small", 0)])
        fetch_cases(bench, slow_rounds, [(random10, "GET", "/random", 0), (post10, "POST", "/echo", KIB10)])

    def slow(bench):
        connect_case(bench, connect1200, rounds)
        fetch_cases(bench, slow_rounds, [(json1200, "GET", "/json", 0)])
        fetch_cases(bench, 1, [(post1200, "POST", "/echo", KIB10)])

    def lossy(bench):
        fetch_cases(bench, slow_rounds, [(loss, "GET", "/json", 0)])

    def via_transport(bench):
        # The middle node answers a path request with its copy of the announce, and that
        # answer waits for its announce cap (2 % of the air: 7.6 s after each 183-byte
        # announce at 9600 bit/s). Each connect starts once the cap has cleared, so that no
        # variant pays for the one measured before it.
        connect_case(bench, chain, rounds, settle=ANNOUNCE_BYTES * 8 / 9600 / ANNOUNCE_CAP + 1.0)

    def tcp(bench):
        # milliseconds, and zivane's vary between two modes (about 10 and 60 ms): many rounds
        connect_case(bench, tcp_connect, 15)
        for _ in range(5):
            for via in ("zivane", "raw"):
                tcp_burst.add(via, bench.measure(op="burst", via=via, dest=bench.servers.dests[via],
                                                 count=5, path="/small"))

    return [
        ([json9600, small, random10, post10], fast, lambda: radio_lab(9600)),
        ([connect1200, json1200, post1200], slow, lambda: radio_lab(1200)),
        ([loss], lossy, lambda: radio_lab(9600, loss=0.05)),
        ([chain], via_transport, lambda: radio_lab(9600, chain=True)),
        ([tcp_connect, tcp_burst], tcp, tcp_lab),
    ]


# --- the table ------------------------------------------------------------------------------

def median_sample(samples):
    """The sample whose air is the median (by bytes), for the frames-by-kind table."""
    ordered = sorted(samples, key=lambda s: s.air.bytes if s.air else 0)
    return ordered[len(ordered) // 2] if ordered else None


def cell(samples):
    if not samples:
        return "-"
    good = [s for s in samples if s.ok]
    air = [s.air.bytes for s in samples if s.air is not None]
    air_text = f" {statistics.median(air):6.0f} B" if air else ""
    if not good:
        failed = samples[0].result
        return f"FAIL {failed.get('error', '?')[:24]} @{failed.get('time', 0):.1f}s{air_text}"
    times = [s.result["time"] for s in good]
    spread = f" ({min(times):.3g}-{max(times):.3g})" if len(times) > 1 else ""
    text = f"{statistics.median(times):.3f}{spread} s{air_text}"
    return text + ("*" if len(good) < len(samples) else "")


def air_ratio(case):
    def med(via):
        air = [s.air.bytes for s in case.samples[via] if s.ok and s.air is not None]
        return statistics.median(air) if air else None
    z, r = med("zivane"), med("raw")
    return f"{z / r:5.2f}" if z and r else "    -"


def time_ratio(case):
    def med(via):
        good = [s.result["time"] for s in case.samples[via] if s.ok]
        return statistics.median(good) if good else None
    z, r = med("zivane"), med("raw")
    return f"{z / r:5.2f}" if z and r else "    -"


def print_table(cases):
    width = 40
    print(f"\n{'case':30} " + " ".join(f"{TITLES[v]:>{width}}" for v in VIA) + "  air z/raw  time z/raw")
    for case in cases:
        if case.error:
            print(f"{case.label:30} FAILED: {case.error}")
            continue
        cells = " ".join(f"{cell(case.samples[v]):>{width}}" for v in VIA)
        print(f"{case.label:30} {cells}  {air_ratio(case):>9}  {time_ratio(case):>10}")
    print("(median time (fastest-slowest) and median air bytes; * some rounds failed; FAIL: every round "
          "failed, with its error and the time it took)")


def print_air(cases):
    print("\nOn the air (frames by kind, in the median round):")
    for case in cases:
        for via in VIA:
            sample = median_sample([s for s in case.samples[via] if s.air is not None])
            if sample is None:
                continue
            print(f"  {case.label:30} {TITLES[via]:13} {sample.air.frames:4} frames  {sample.air.describe()}")


def print_errors(cases):
    lines = [f"  {case.label} / {TITLES[via]} round {i + 1}: {s.result.get('error')} "
             f"(after {s.result.get('time', 0):.1f} s)"
             for case in cases for via in VIA for i, s in enumerate(case.samples[via]) if not s.ok]
    if lines:
        print("\nErrors:")
        print("\n".join(lines))


def print_links(cases):
    facts = {}
    for case in cases:
        for via in VIA:
            for s in case.samples[via]:
                if s.ok and "mdu" in s.result:
                    key = (case.label, s.result["mtu"], s.result["mdu"], s.result["channel_mdu"],
                           s.result["stream_piece"], s.result["hops"])
                    facts.setdefault(key, set()).add(TITLES[via])
    print("\nLinks (mtu, mdu, channel mdu, buffer piece, hops):")
    for (label, mtu, mdu, cmdu, piece, hops), vias in facts.items():
        print(f"  {label:30} mtu {mtu}, mdu {mdu}, channel mdu {cmdu}, piece {piece}, hops {hops}"
              f"  ({', '.join(sorted(vias))})")
    for case in cases:
        if hasattr(case, "max_frame"):
            print(f"  {case.label:30} largest frame on the air {case.max_frame} B, "
                  f"{case.oversize} over the MTU")


def main():
    global EXPECT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round per case (a few minutes)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of the quicker cases")
    parser.add_argument("--slow-rounds", type=int, default=3, help="rounds of the slow cases")
    parser.add_argument("--serial", action="store_true",
                        help="one lab at a time (by default the 1200 bit/s lab runs beside the others)")
    args = parser.parse_args()
    rounds, slow_rounds = (1, 1) if args.quick else (args.rounds, args.slow_rounds)
    EXPECT = expected_answers()
    started = time.monotonic()
    steps = plan(rounds, slow_rounds)
    fast, slow, lossy, chain, tcp = steps
    # Labs share nothing but the machine, and the radio cases are bound by simulated air
    # time (their processes use a few percent of a core), so the slowest lab runs beside the
    # others. Direct TCP figures are milliseconds: that lab runs alone.
    lanes = [[fast, slow, lossy, chain]] if args.serial else [[slow], [fast, lossy, chain]]
    threads = [threading.Thread(target=lambda lane=lane: [run_lab(*step) for step in lane]) for lane in lanes]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    run_lab(*tcp)
    cases = [case for step in steps for case in step[0]]
    print_table(cases)
    print_air(cases)
    print_links(cases)
    print_errors(cases)
    print(f"\n{time.monotonic() - started:.0f} s in all")


if __name__ == "__main__":
    main()
