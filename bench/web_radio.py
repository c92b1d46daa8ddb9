"""A web page over simulated LoRa: Chromium through zivane against raw Reticulum requests.

Run:  .venv/bin/python bench/web_radio.py [--quick] [--rounds N] [--slow-rounds N]

Each round is a fresh page lab (tests/pagelab.py): headless Chromium loads a small site
(HTML 5.7 KB, stylesheet 4.1 KB, PNGs of 3 and 8 KB, a 10 KB JSON answer the page's script
fetches) through zivane-proxy → radio relay → zivane-gateway → http.server, and a raw client
fetches the same five files in the browser's order with `link.request` from a
`register_request_handler` server (answers above one packet travel as RNS's compressed
Resource), on a second segment with the same settings (250 ms one way, one half-duplex
medium, MTU 500). Both start with no path and no link; the second visit reuses the browser's
profile (every file revalidates: five 304s) and the raw client's link (asking with
If-Modified-Since). Air is every frame on the segment from a visit's start until the medium
is quiet again; time runs from the first frame queued to the delivery of the last answer
frame. Figures are medians over the rounds.

Cases: 9600 bit/s (--rounds, default 3) and 1200 bit/s (--slow-rounds, default 1; a first
visit takes about four minutes), the two rates in labs side by side. --quick: 9600 bit/s,
one round; --slim: the proxy runs with --slim. The zivane commands run with this interpreter
(`sys.executable -m zivane.proxy`), so a build is measured by running this script with its
virtual environment's python.
"""

import argparse
import os
import statistics
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from pagelab import CHROMIUM, PageLab  # noqa: E402

WAYS = ("zivane", "raw")


class Case:
    def __init__(self, bitrate, visit):
        self.bitrate, self.visit = bitrate, visit
        self.samples = {way: [] for way in WAYS}
        self.errors = []

    @property
    def label(self):
        return f"{self.bitrate} bit/s, {'first' if self.visit == 1 else 'second'} visit"

    def good(self, way):
        return [v for v in self.samples[way] if v.ok]

    def median(self, way, what):
        values = [what(v) for v in self.good(way)]
        return statistics.median(values) if values else None

    def typical(self, way):
        """The sample whose air is the median, for the breakdown by kind."""
        good = sorted(self.good(way), key=lambda v: v.air.bytes)
        return good[len(good) // 2] if good else None


def run_rounds(bitrate, rounds, first, second, proxy_args):
    for index in range(rounds):
        started = time.monotonic()
        print(f"{bitrate} bit/s round {index + 1} ...", file=sys.stderr, flush=True)
        # Alternate which way goes first, so neither always meets a machine just woken up.
        order = WAYS if index % 2 == 0 else WAYS[::-1]
        try:
            with PageLab(bitrate=bitrate, proxy_args=proxy_args) as lab:
                for case in (first, second):
                    for way in order:
                        visit = lab.visit_zivane() if way == "zivane" else lab.visit_raw()
                        case.samples[way].append(visit)
                        if not visit.ok:
                            case.errors.append(f"{way} round {index + 1}: {visit.result.get('error')}")
        except Exception as e:
            traceback.print_exc()
            first.errors.append(f"round {index + 1}: {type(e).__name__}: {e}")
        print(f"  {bitrate} bit/s round {index + 1} done in {time.monotonic() - started:.0f} s",
              file=sys.stderr, flush=True)


def kb(size):
    return f"{size / 1000:.1f} KB"


def air_cell(case, way):
    total = case.median(way, lambda v: v.air.bytes)
    if total is None:
        return "FAIL"
    up, down = case.median(way, lambda v: v.up), case.median(way, lambda v: v.down)
    frames = case.median(way, lambda v: v.air.frames)
    return f"{kb(total)} ({up / 1000:.1f} up / {down / 1000:.1f} down), {frames:.0f} frames"


def ratio(case, what):
    z, r = case.median("zivane", what), case.median("raw", what)
    return f"{z / r:.2f}" if z and r else "-"


def time_cell(case, way):
    t = case.median(way, lambda v: v.time)
    if t is None:
        return "FAIL"
    times = [v.time for v in case.good(way)]
    spread = f" ({min(times):.1f}-{max(times):.1f})" if len(times) > 1 else ""
    return f"{t:.1f} s{spread}"


def print_table(cases):
    print("\n| case | zivane air | raw air | air ratio | zivane time | raw time | time ratio |")
    print("|---|---|---|---|---|---|---|")
    for case in cases:
        print(f"| {case.label} | {air_cell(case, 'zivane')} | {air_cell(case, 'raw')} | "
              f"{ratio(case, lambda v: v.air.bytes)} | {time_cell(case, 'zivane')} | {time_cell(case, 'raw')} | "
              f"{ratio(case, lambda v: v.time)} |")
    rounds = {case.label: len(case.samples["zivane"]) for case in cases}
    print(f"(medians; rounds: {', '.join(f'{k} {v}' for k, v in rounds.items())})")


GROUPS = (("path", {"path-request", "path-response", "announce"}),
          ("link set-up", {"link-request", "link-proof", "link-rtt"}),
          ("proofs", {"proof", "resource-proof"}),
          ("resource control", {"resource-adv", "resource-req", "resource-hmu", "resource-cancel"}))


def group_of(kind):
    return next((name for name, kinds in GROUPS if kind in kinds), "data")


def by_group(air, sender):
    """{group: [frames, bytes]} of what `sender` put on the air."""
    out = {}
    for (_, who, field), value in air.counts.items():
        if who == sender and field.startswith("kind:"):
            _, kind, what = field.split(":")
            entry = out.setdefault(group_of(kind), [0, 0])
            entry[what == "bytes"] += value
    return out


def print_kinds(cases):
    print("\nOn the air by packet kind (frames/bytes, median round):")
    for case in cases:
        for way in WAYS:
            visit = case.typical(way)
            if visit:
                print(f"  {case.label:26} {way:6} {visit.describe()}")
    print("\nUp and down by group (frames/bytes, median round):")
    senders = {"zivane": ("proxy", "gateway"), "raw": ("fetcher", "site")}
    for case in cases:
        for way in WAYS:
            visit = case.typical(way)
            if visit:
                halves = [", ".join(f"{group} {frames}/{size}" for group, (frames, size) in
                                    sorted(by_group(visit.air, sender).items(), key=lambda kv: -kv[1][1]))
                          for sender in senders[way]]
                print(f"  {case.label:26} {way:6} up: {halves[0]} | down: {halves[1]}")


def print_answers(cases):
    print("\nWhat the web server answered the browser; the raw answers' resource parts on the air against"
          " those they needed (the rest were sent again) (median round):")
    for case in cases:
        visit = case.typical("zivane")
        if visit:
            answers = " ".join(f"{path} {int(status)}" for _, path, status in visit.result["answers"])
            print(f"  {case.label:26} {answers}")
        visit = case.typical("raw")
        if visit and visit.result.get("parts"):
            _, needed = visit.result["parts"]
            print(f"  {case.label:26} raw resource parts: {visit.air.count('resource')} on the air, {needed} needed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="9600 bit/s only, one round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds at 9600 bit/s")
    parser.add_argument("--slow-rounds", type=int, default=1, help="rounds at 1200 bit/s")
    parser.add_argument("--slim", action="store_true", help="the proxy drops headers that only identify the browser")
    args = parser.parse_args()
    if not CHROMIUM:
        sys.exit("chromium is not installed (apt-get install chromium)")
    import zivane
    print(f"zivane from {os.path.dirname(zivane.__file__)}", file=sys.stderr, flush=True)
    plan = [(9600, 1 if args.quick else args.rounds)] + ([] if args.quick else [(1200, args.slow_rounds)])
    cases = {bitrate: (Case(bitrate, 1), Case(bitrate, 2)) for bitrate, _ in plan}
    started = time.monotonic()
    # The labs are bound by simulated air time, not the processor: the rates run side by side.
    proxy_args = ["--slim"] if args.slim else []
    lanes = [threading.Thread(target=run_rounds, args=(bitrate, rounds, *cases[bitrate], proxy_args))
             for bitrate, rounds in plan]
    for lane in lanes:
        lane.start()
    for lane in lanes:
        lane.join()
    ordered = [case for pair in cases.values() for case in pair]
    print_table(ordered)
    print_kinds(ordered)
    print_answers(ordered)
    errors = [f"  {case.label}: {error}" for case in ordered for error in case.errors]
    if errors:
        print("\nErrors:\n" + "\n".join(errors))
    print(f"\n{time.monotonic() - started:.0f} s in all")


if __name__ == "__main__":
    main()
