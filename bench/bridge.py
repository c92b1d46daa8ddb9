"""The gateway (and, when the build has it, the proxy) against zivane answering directly.

Run:  PYTHONPATH=build/<name> .venv/bin/python bench/bridge.py [--rounds N]

One isolated loopback network (tests/rnsnet.py). The same small page and the same 10 MiB
file are fetched:
- direct:  HttpClient -> HttpServer answering from memory (the baseline);
- gateway: HttpClient -> zivane-gateway -> http.server in this process;
- bridge:  http.client through zivane-proxy -> zivane-gateway -> http.server (only when
  `zivane.proxy` exists in the build).
Rows: median small-page round trip (target at most 1.3 times direct), 10 MiB download
throughput (target at least 0.8 times direct), and the peak resident memory of the
gateway (and proxy) process during a 100 MiB download (target under 64 MiB each).
Rounds of the cases are interleaved, so a slower moment of the machine hits all alike.
"""

import argparse
import importlib.util
import os
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import psutil  # noqa: E402

from bridgenet import Upstream, pattern, start_gateway  # noqa: E402
from rnsnet import Network  # noqa: E402

MIB = 1 << 20
PAGE = b"<html><head><title>bench</title></head><body>" + b"small page " * 40 + b"</body></html>\n"
BIG = 10 * MIB
HUGE = 100 * MIB

DIRECT_SETUP = f"""
import sys
sys.path.insert(0, {os.path.join(os.path.dirname(HERE), "tests")!r})
from bridgenet import pattern
PAGE = {PAGE!r}
BIG = pattern({BIG}, seed=1)
server.add_handler("/page.html", lambda r: HttpResponse(status=200, headers={{"Content-Type": "text/html"}}, body=PAGE))
server.add_handler("/big.bin", lambda r: HttpResponse(status=200, body=BIG))
"""

# Line commands, one reply each:
#   ZIV <dest> <port> <path> <n>   -> TIMES <s,...>   n fetches on one HttpClient link
#   PROXY <proxy port> <url> <n>   -> TIMES <s,...>   n fetches through the proxy (one
#                                                     kept-alive connection)
# Each reply also names the size of the last body.
CLIENT_SOURCE = """\
import asyncio, http.client, sys
sys.path.insert(0, ARGS[0])
import zivane.client
from zivane.client import HttpClient
zivane.client._RESPONSE_LIMIT = None  # the 100 MiB download
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)

async def ziv(dest, port, path, n):
    times, size = [], 0
    async with HttpClient(dest, int(port), identity_path=os.path.join(CONFIG, "bench-client"),
                          request_timeout=300) as client:
        for _ in range(n):
            t0 = time.perf_counter()
            resp = await client.get(path)
            times.append(time.perf_counter() - t0)
            size = len(resp.body or b"")
            del resp
    return times, size

def through_proxy(proxy_port, url, n):
    times, size = [], 0
    conn = http.client.HTTPConnection("127.0.0.1", int(proxy_port), timeout=300)
    for _ in range(n):
        t0 = time.perf_counter()
        conn.request("GET", url)
        resp = conn.getresponse()
        size = 0
        while True:
            piece = resp.read(1 << 20)
            if not piece:
                break
            size += len(piece)
        times.append(time.perf_counter() - t0)
    conn.close()
    return times, size

print("READY", flush=True)
for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    if words[0] == "ZIV":
        times, size = asyncio.run(ziv(words[1], words[2], words[3], int(words[4])))
    else:
        times, size = through_proxy(words[1], words[2], int(words[3]))
    print("TIMES", ",".join("%.6f" % t for t in times), size, flush=True)
"""

class Client:
    def __init__(self, net):
        self.proc = net.spawn(CLIENT_SOURCE, os.path.join(os.path.dirname(HERE), "tests"), name="client")

    def run(self, command, timeout=900):
        words = self.proc.command(command, "TIMES", timeout).split()
        return [float(t) for t in words[1].split(",")], int(words[2])


class Peak:
    """Peak resident memory of a process while the block runs, sampled every 20 ms."""

    def __init__(self, pid):
        self.process = psutil.Process(pid)
        self.peak = 0
        self.running = False

    def sample(self):
        while self.running:
            self.peak = max(self.peak, self.process.memory_info().rss)
            time.sleep(0.02)

    def __enter__(self):
        self.running = True
        self.peak = self.process.memory_info().rss
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


def has_proxy():
    try:
        return importlib.util.find_spec("zivane.proxy") is not None
    except ImportError:
        return False


def run(rounds):
    site = tempfile.mkdtemp(prefix="zivane-bench-site-")
    with open(os.path.join(site, "page.html"), "wb") as f:
        f.write(PAGE)
    with open(os.path.join(site, "big.bin"), "wb") as f:
        f.write(pattern(BIG, seed=1))
    with open(os.path.join(site, "huge.bin"), "wb") as f:
        block = pattern(MIB, seed=2)
        for _ in range(HUGE // MIB):
            f.write(block)
    with Network() as net, Upstream(site) as web:
        direct = net.start_server(port=90, setup=DIRECT_SETUP)
        gateway = start_gateway(net, 91, web.url)
        client = Client(net)
        cases = {
            "direct": lambda path, n: client.run(f"ZIV {direct.dest_hash} 90 {path} {n}"),
            "gateway": lambda path, n: client.run(f"ZIV {gateway.dest_hash} 91 {path} {n}"),
        }
        proxy = None
        if has_proxy():
            from proxynet import start_proxy
            proxy = start_proxy(net, "--no-cache")  # the link's cost, not the proxy's cache
            cases["bridge"] = lambda path, n: client.run(
                f"PROXY {proxy.port} http://{gateway.dest_hash}.rns:91{path} {n}")
        for fetch in cases.values():  # links up, paths known, caches warm
            fetch("/page.html", 3)

        latency = {name: [] for name in cases}
        throughput = {name: [] for name in cases}
        for _ in range(rounds):
            for name, fetch in cases.items():
                times, size = fetch("/page.html", 20)
                assert size == len(PAGE), (name, size)
                latency[name].extend(times)
            for name, fetch in cases.items():
                times, size = fetch("/big.bin", 1)
                assert size == BIG, (name, size)
                throughput[name].append(BIG / times[0])
                print(f"  {name}: page {statistics.median(latency[name]) * 1e3:.2f} ms, "
                      f"10 MiB {BIG / times[0] / 1024:.0f} KiB/s", flush=True)

        memory = {}
        watched = {"gateway": gateway.pid}
        if proxy:
            watched["proxy"] = proxy.pid
        fetch = cases["bridge"] if proxy else cases["gateway"]
        idle = {name: psutil.Process(pid).memory_info().rss for name, pid in watched.items()}
        print("  idle RSS before the big download: " +
              ", ".join(f"{name} {rss / MIB:.1f} MiB" for name, rss in idle.items()), flush=True)
        with Peak(gateway.pid) as gw_peak, Peak(proxy.pid if proxy else gateway.pid) as px_peak:
            times, size = fetch("/huge.bin", 1)
        assert size == HUGE, size
        memory["gateway"] = gw_peak.peak
        if proxy:
            memory["proxy"] = px_peak.peak
        report(latency, throughput, memory, times[0], proxy is not None)


def report(latency, throughput, memory, huge_seconds, with_proxy):
    base_latency = statistics.median(latency["direct"])
    base_rate = statistics.median(throughput["direct"])
    print(f"{'measure':<44} {'value':>12} {'direct':>12} {'ratio':>7}  target")
    for name in latency:
        if name == "direct":
            continue
        ms = statistics.median(latency[name])
        print(f"{'small page, median ms (' + name + ')':<44} {ms * 1e3:>12.2f} {base_latency * 1e3:>12.2f} "
              f"{ms / base_latency:>7.2f}  <= 1.3")
    for name in throughput:
        if name == "direct":
            continue
        rate = statistics.median(throughput[name])
        print(f"{'10 MiB download, KiB/s (' + name + ')':<44} {rate / 1024:>12.0f} {base_rate / 1024:>12.0f} "
              f"{rate / base_rate:>7.2f}  >= 0.8")
    via = "proxy and gateway" if with_proxy else "gateway"
    for name, peak in memory.items():
        print(f"{'peak RSS, 100 MiB via ' + via + ' (' + name + ')':<44} {peak / MIB:>10.1f} MiB "
              f"{'':>12} {'':>7}  < 64 MiB")
    print(f"(100 MiB download took {huge_seconds:.1f} s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--huge-mib", type=int, default=100, help="size of the memory download")
    args = parser.parse_args()
    global HUGE
    HUGE = args.huge_mib * MIB
    run(args.rounds)


if __name__ == "__main__":
    main()
