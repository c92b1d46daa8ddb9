"""Load: many client processes against one server over a loopback Reticulum.

    PYTHONPATH=build/<dir> .venv/bin/python bench/load.py [--clients 20] [--requests 50]

Each client process connects once through HttpClient and posts `--requests` requests,
each with a unique id in a header and in its random body; the server echoes both, and a
response counts as correct only when both match its own request. The server's resident
memory and threads are read after a warm-up client and again after the run, each time once
the server holds no link and Reticulum has ended every link's own watchdog thread (it sleeps
up to five seconds between checks, so it outlives its closed link by that much; counted
before that, the run's last links look like threads the server kept). Threads are counted
twice: Python's and the operating system's (native threads included). Exits with 1 unless
every response is correct, memory stays within 10% and no thread is left over.
"""

import argparse
import os
import sys
import time

import psutil

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from rnsfaults import client_result, server_state, start_clients, start_control_server, wait_state  # noqa: E402
from rnsnet import Network  # noqa: E402

PORT = 7100
# What RNS names the thread each Link starts to watch itself (RNS.Link.__watchdog_job).
LINK_WATCHDOG = "(__watchdog_job)"


def settled(server, timeout):
    """The server's state once it holds no link and no Reticulum link thread is left
    (or when `timeout` runs out), with its operating-system thread count."""
    def quiet(state):
        return state["links"] == 0 and not any(n.endswith(LINK_WATCHDOG) for n in state["thread_names"])
    state = wait_state(server, quiet, timeout=timeout)
    state["os_threads"] = psutil.Process(server.pid).num_threads()
    return state


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--clients", type=int, default=20)
    ap.add_argument("--requests", type=int, default=50)
    args = ap.parse_args()

    with Network() as net:
        server = start_control_server(net, PORT)
        cold = server_state(server)
        warm_up = start_clients(net, server.dest_hash, PORT, 1, 10)
        warm = client_result(warm_up[0], 120)
        warm_up[0].stop()
        if warm["ok"] != 10:
            print("warm-up failed:", warm)
            return 1
        before = settled(server, timeout=30)

        started = time.monotonic()
        clients = start_clients(net, server.dest_hash, PORT, args.clients, args.requests)
        results = []
        for c in clients:
            try:
                results.append(client_result(c, 900))
            except (TimeoutError, RuntimeError) as e:
                results.append({"ok": 0, "mismatch": 0, "errors": [str(e)], "seconds": 0.0})
        wall = time.monotonic() - started
        for c in clients:
            c.stop()
        after = settled(server, timeout=60)

    total = args.clients * args.requests
    ok = sum(r["ok"] for r in results)
    mismatch = sum(r["mismatch"] for r in results)
    errors = [e for r in results for e in r["errors"]]
    ratio = after["rss"] / before["rss"]
    print(f"clients: {args.clients} processes x {args.requests} requests = {total}")
    print(f"answered correctly: {ok}/{total}; mismatched: {mismatch}; transport errors: {len(errors)}")
    for e in sorted(set(errors)):
        print(f"  error: {e} (x{errors.count(e)})")
    print(f"wall time: {wall:.1f} s ({ok / wall:.1f} requests/s overall, including process start-up)")
    per_client = sorted(r["seconds"] for r in results)
    print(f"per-client time: median {per_client[len(per_client) // 2]:.1f} s, max {per_client[-1]:.1f} s")
    print(f"server memory: {cold['rss'] / 2**20:.1f} MiB at start, {before['rss'] / 2**20:.1f} MiB after "
          f"warm-up, {after['rss'] / 2**20:.1f} MiB after the run (ratio {ratio:.3f})")
    print(f"server links after the run: {after['links']}; threads (Python/OS) "
          f"{before['threads']}/{before['os_threads']} -> {after['threads']}/{after['os_threads']}")
    threads_back = after["threads"] <= before["threads"] and after["os_threads"] <= before["os_threads"]
    if not threads_back:
        new = sorted(set(after["thread_names"]) - set(before["thread_names"]))
        print("  threads new since the warm-up:", ", ".join(new))
    good = (ok == total and mismatch == 0 and not errors and ratio <= 1.10 and after["links"] == 0
            and threads_back)
    print("result:", "PASS" if good else "FAIL")
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
