"""What a large or endless answer costs HttpClient in memory, over a loopback Reticulum.

Run:  PYTHONPATH=build/<name> .venv/bin/python bench/client_memory.py [--mib N] [--limit-mib N]

A raw server (the hostile server of tests/hardening/test_hardening_client.py) answers one client
process: first a small warm-up answer, then an N MiB body with Content-Length, a chunked
one and one delimited by the link closing, then an endless body (chunked, no length). The
client samples its resident size every 5 ms while each request runs; the table gives the
peak growth above the size at the request's start, as a ratio to the body (for the endless
answer: to the response size limit, `zivane.client._RESPONSE_LIMIT`, or "unbounded" when
the request ran into its time-out instead), and the time each took.
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
sys.path[:0] = [TESTS, os.path.join(TESTS, "hardening")]

from rnsnet import Network  # noqa: E402
from test_hardening_client import CLIENT, PORT, RAW_SERVER  # noqa: E402

MIB = 1 << 20


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=50)
    parser.add_argument("--limit-mib", type=int, default=64)
    parser.add_argument("--endless-timeout", type=float, default=30.0)
    args = parser.parse_args()
    size = args.mib * MIB
    with Network() as net:
        server = net.spawn(RAW_SERVER, PORT, name="raw-server")
        client = net.spawn(CLIENT, server.ready_words[0], PORT, os.path.join(net.config_dir, "bench-id"),
                           name="client")

        def run(**command):
            line = client.command(json.dumps(command), "RESULT", 600)
            return json.loads(line.split(" ", 1)[1])

        run(set="_RESPONSE_LIMIT", value=args.limit_mib * MIB)
        run(path="/big?1000", timeout=30.0)
        print(f"{'answer':<34} {'result':<38} {'peak growth':>12} {'ratio':>8} {'seconds':>8}")
        cases = [
            (f"{args.mib} MiB, Content-Length", f"/big?{size}", size),
            ("endless, chunked", "/endless-chunked", None),
            ("endless, Content-Length 10^12", "/endless-length", None),
            ("endless, until the link closes", "/endless-close", None),
        ]
        for name, path, body in cases:
            r = run(path=path, timeout=args.endless_timeout if body is None else 600.0, rss=True)
            growth = r["rss_growth"]
            outcome = f"{r['status']} {r['body_len']} bytes" if r["error"] is None else r["error"]
            if body is not None:
                ratio = f"{growth / body:.2f}"
            elif r["error"] == "TransportError: Response too large":
                ratio = f"{growth / (args.limit_mib * MIB):.2f}"
            else:
                ratio = "unbounded"
            print(f"{name:<34} {outcome[:38]:<38} {growth / MIB:>8.1f} MiB {ratio:>8} {r['seconds']:>8.1f}")


if __name__ == "__main__":
    main()
