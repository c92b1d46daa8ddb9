"""Web applications over Reticulum through zivane's transports, on a loopback Reticulum.

Run:  PYTHONPATH=build/<name> .venv/bin/python bench/web.py [--mib N] [--delay S]

A Starlette app is served by `zivane-gateway 80 webapps:starlette_app`; a client process
(another process, as on any two machines) calls it through zivane.web:
- 20 GETs from asyncio.gather through one httpx.AsyncClient(transport=AsyncHttpxTransport())
  against the same 20 GETs awaited one after the other, in the same run: for a route that
  answers at once (/json) and for one that takes --delay seconds (/slow). The ratio
  sequential / concurrent shows the loop is never blocked while Reticulum is waited on
  (the 20 share one link, and the app runs them at once).
- an N MiB streaming (chunked) answer read with httpx.Client(transport=HttpxTransport())
  and client.stream(): the client's resident size is sampled every 10 ms, and the peak
  growth above its size when the download starts is given against the size of the body.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from rnsnet import Network  # noqa: E402
from webnet import serve_app, start_client  # noqa: E402

CONCURRENCY = """
async def timed(path, n=20):
    await ahttp.get(base + "/json")  # the link is up before the clock starts
    start = time.monotonic()
    answers = await asyncio.gather(*[ahttp.get(base + path) for _ in range(n)])
    together = time.monotonic() - start
    assert all(a.status_code == 200 for a in answers)
    start = time.monotonic()
    for _ in range(n):
        assert (await ahttp.get(base + path)).status_code == 200
    return [together, time.monotonic() - start]
result = {"json": run(timed("/json")), "slow": run(timed("/slow?t=%s"))}
"""

MEMORY = """
import psutil
me = psutil.Process()
peak = [0]
done = threading.Event()
def sample():
    while not done.wait(0.01):
        peak[0] = max(peak[0], me.memory_info().rss)
http.get(base + "/json")
baseline = me.memory_info().rss
peak[0] = baseline
sampler = threading.Thread(target=sample)
sampler.start()
start = time.monotonic()
size = 0
with http.stream("GET", base + "/big?mib=%d") as r:
    for piece in r.iter_raw():
        size += len(piece)
seconds = time.monotonic() - start
done.set()
sampler.join()
result = {"size": size, "seconds": seconds, "baseline": baseline, "peak": peak[0]}
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=100)
    parser.add_argument("--delay", type=float, default=0.2)
    args = parser.parse_args()
    with Network() as net:
        server = serve_app(net, "webapps:starlette_app")
        client = start_client(net, server.dest_hash)
        times = client.check(CONCURRENCY % args.delay, timeout=600)
        memory = client.check(MEMORY % args.mib, timeout=3600)

    print("20 GETs through AsyncHttpxTransport, one link (seconds)")
    print(f"{'route':<18}{'gather':>10}{'sequential':>12}{'ratio':>8}")
    for name, label in (("json", "/json"), ("slow", f"/slow ({args.delay} s)")):
        together, one_by_one = times[name]
        print(f"{label:<18}{together:>10.3f}{one_by_one:>12.3f}{one_by_one / together:>7.1f}x")
    print(f"gather vs the slowest single request ({args.delay} s): {times['slow'][0] / args.delay:.2f}x")
    print()
    mib = 1 << 20
    growth = (memory["peak"] - memory["baseline"]) / mib
    print(f"{memory['size'] / mib:.0f} MiB streamed through HttpxTransport in {memory['seconds']:.1f} s "
          f"({memory['size'] / mib / memory['seconds']:.2f} MiB/s)")
    print(f"client RSS at start {memory['baseline'] / mib:.1f} MiB, peak growth {growth:.1f} MiB "
          f"({growth / (memory['size'] / mib):.3f} of the body)")


if __name__ == "__main__":
    main()
