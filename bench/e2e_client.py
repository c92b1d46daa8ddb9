"""Client round-trip latency over loopback Reticulum: HttpClient.get against a raw RNS.Buffer
peer sending the same request bytes to the same server and waiting for the framed answer.

    PYTHONPATH=build/<dir> .venv/bin/python bench/e2e_client.py [--rounds 300] [--block 50]

Both run in their own processes attached to one isolated shared instance; the blocks
alternate so that drift on the machine hits both alike. Prints medians and the ratio.
"""

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from rnsnet import Network  # noqa: E402
from zivane.types import HttpRequest  # noqa: E402

SETUP = """
@server.route("/ping")
def ping(request):
    return HttpResponse(status=200, body=b"x" * 100)
"""

CLIENT = """
import asyncio, time
from zivane.client import HttpClient
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)

async def main():
    async with HttpClient(ARGS[0], int(ARGS[1]), identity_path=ARGS[2]) as c:
        await c.get("/ping")
        print("READY", flush=True)
        for line in sys.stdin:
            n = int(line.split()[1])
            times = []
            for _ in range(n):
                t0 = time.perf_counter()
                r = await c.get("/ping")
                times.append(time.perf_counter() - t0)
                assert r.status == 200 and len(r.body) == 100
            print("TIMES", ",".join(f"{t:.6f}" for t in times), flush=True)

asyncio.run(main())
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=300)
    ap.add_argument("--block", type=int, default=50)
    opts = ap.parse_args()
    request = bytes(HttpRequest(method="GET", path="/ping", headers={}))
    raw, ours = [], []
    with Network() as net:
        server = net.start_server(port=9090, setup=SETUP)
        peer = net.start_peer(server.dest_hash, 9090)
        client = net.spawn(CLIENT, server.dest_hash, 9090, os.path.join(net.config_dir, "client-id"),
                           name="client")
        peer.roundtrip(request, 5)  # warm both paths
        done = 0
        while done < opts.rounds:
            n = min(opts.block, opts.rounds - done)
            raw += peer.roundtrip(request, n)
            line = client.command(f"ROUND {n}", "TIMES", 600)
            ours += [float(t) for t in line.split()[1].split(",")]
            done += n
    raw_med, our_med = statistics.median(raw), statistics.median(ours)
    print(f"{'round trip (GET /ping, 100-byte body)':40} {'median ms':>10} {'p90 ms':>8} {'n':>5}")
    for name, xs in (("raw RNS.Buffer peer", raw), ("HttpClient.get", ours)):
        p90 = statistics.quantiles(xs, n=10)[-1]
        print(f"{name:40} {statistics.median(xs) * 1e3:10.3f} {p90 * 1e3:8.3f} {len(xs):5}")
    print(f"{'ratio HttpClient.get / raw':40} {our_med / raw_med:10.3f}   (target <= 1.15)")


if __name__ == "__main__":
    main()
