"""Air bytes of a page visit through zivane-proxy's cache on a simulated LoRa link.

Run:  .venv/bin/python bench/proxy_cache.py   (PYTHONPATH=build/<name> for a build of your own)

A radio lab (tests/radiolab.py) at 9600 bit/s, 250 ms one way, MTU 500: zivane-gateway on
one node in front of a standard-library web server, zivane-proxy on another. A "visit" asks
for a five-file page (5.7 KB page, 4.1 KB stylesheet, PNG-like files of 3 and 8 KB, a 10 KB
JSON answer; files last changed ten days ago) and /favicon.ico (404), one after the other,
with request heads the size of a browser's. Each row is what the air carried from the
first request until the medium fell quiet again, and how long the visit took:

- first visit: nothing stored yet;
- second visit: everything within freshness (a tenth of ten days);
- reload: the browser asks for revalidation (Cache-Control: max-age=0), the proxy
  confirms what it has with conditional requests;
- reload without the cache: the same, through a proxy started with --no-cache, the
  browser's own If-Modified-Since carrying the validation (what a visit cost before).
"""

import hashlib
import http.client
import json
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from bridgenet import Upstream  # noqa: E402
from radiolab import Lab  # noqa: E402
from rnsnet import START_TIMEOUT, Proc, free_port  # noqa: E402

FILES = {"index.html": 5700, "style.css": 4100, "small.png": 3000, "large.png": 8000, "data.json": 10000}
BROWSER_FIELDS = {
    "User-Agent": "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Safari/537.36",
    "Accept": "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8",
    "Accept-Language": "en-GB,en;q=0.9",
    "Accept-Encoding": "gzip, deflate",
}
TEN_DAYS = 10 * 86400


def content(name, size):
    if name.endswith(".png"):  # incompressible, as images are
        block, out = name.encode(), bytearray()
        while len(out) < size:
            block = hashlib.sha256(block).digest()
            out += block
        return bytes(out[:size])
    if name.endswith(".json"):
        return json.dumps([{"id": i, "name": f"item {i}", "tags": ["mesh", "radio"]} for i in range(size)])[
            :size].encode()
    return (b"<p>zivane over the mesh, a line of text for the page.</p>\n" * (size // 56 + 1))[:size]


def start(lab, node, name, argv, ready):
    env = lab.env(node)
    env["HOME"] = os.path.join(node.config_dir, "home")
    os.makedirs(env["HOME"], exist_ok=True)
    proc = Proc([sys.executable, "-m", *argv, "--config", node.config_dir,
                 "--identity", os.path.join(node.config_dir, "identity")], env, None, name)
    lab.procs.append(proc)
    deadline = time.monotonic() + START_TIMEOUT
    while ready not in proc.stderr:
        if proc.popen.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"{name} did not start:\n{proc.stderr}")
        time.sleep(0.1)
    return proc


def visit(port, base, reload=False, dated=None):
    """Every file of the page and the favicon, one after the other: their statuses."""
    statuses = []
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    for name in [*FILES, "favicon.ico"]:
        fields = dict(BROWSER_FIELDS)
        if reload:
            fields["Cache-Control"] = "max-age=0"
        if dated and name != "favicon.ico":
            fields["If-Modified-Since"] = dated
        conn.request("GET", f"{base}/{name}", headers=fields)
        response = conn.getresponse()
        response.read()
        statuses.append(response.status)
    conn.close()
    return statuses


def measured(lab, what, *args, **kwargs):
    lab.wait_quiet()
    before, started = lab.air(), time.monotonic()
    statuses = what(*args, **kwargs)
    seconds = time.monotonic() - started
    lab.wait_quiet()
    return statuses, (lab.air() - before).bytes, seconds


def main():
    with tempfile.TemporaryDirectory() as root, Lab() as lab:
        old = time.time() - TEN_DAYS
        for name, size in FILES.items():
            path = os.path.join(root, name)
            with open(path, "wb") as f:
                f.write(content(name, size))
            os.utime(path, (old, old))
        dated = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(old))
        with Upstream(root) as web:
            lab.segment("air", bitrate=9600, latency=0.25)
            site, browser, plain = lab.node("site", ["air"]), lab.node("browser", ["air"]), lab.node("plain", ["air"])
            ports = {"cache": free_port(), "plain": free_port()}
            start(lab, browser, "proxy", ["zivane.proxy", "-q", "--listen", f"127.0.0.1:{ports['cache']}"],
                  "Proxy listening")
            start(lab, plain, "plain-proxy",
                  ["zivane.proxy", "-q", "--no-cache", "--listen", f"127.0.0.1:{ports['plain']}"], "Proxy listening")
            gateway = start(lab, site, "gateway", ["zivane.gateway", "80", web.url], "Destination hash:")
            dest = gateway.stderr.split("Destination hash:")[1].split()[0]
            base = f"http://{dest}.rns"
            rows = [
                ("first visit", measured(lab, visit, ports["cache"], base)),
                ("second visit", measured(lab, visit, ports["cache"], base)),
                ("reload", measured(lab, visit, ports["cache"], base, reload=True)),
            ]
            visit(ports["plain"], base)  # its link up, as the cache's is
            rows.append(("reload without the cache",
                         measured(lab, visit, ports["plain"], base, reload=True, dated=dated)))
    print(f"{'9600 bit/s, 5 files + favicon':32} {'air bytes':>10} {'seconds':>8}  statuses")
    for label, (statuses, air, seconds) in rows:
        print(f"{label:32} {air:>10} {seconds:>8.1f}  {' '.join(map(str, statuses))}")


if __name__ == "__main__":
    main()
