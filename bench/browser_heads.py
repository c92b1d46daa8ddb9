"""Bytes of Chromium's request heads on the link, with and without zivane-proxy --slim.

Run:  .venv/bin/python bench/browser_heads.py   (PYTHONPATH=build/<name> for a build of your own)

Headless Chromium loads a page with a stylesheet and three images through zivane-proxy,
Reticulum and zivane-gateway from a standard-library web server; the web server records
every request head as it arrived. The table shows the size of each head as the proxy
wrote it on the link (request line, fields, empty line; the fields the gateway adds
itself left out), once through a plain proxy and once through one with --slim.
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
# the harnesses live in tests/, the browser test's page and images beside its test in tests/e2e/
sys.path[0:0] = [TESTS, os.path.join(TESTS, "e2e")]

from bridgenet import Upstream, start_gateway  # noqa: E402
from pngs import solid  # noqa: E402
from proxynet import start_proxy  # noqa: E402
from rnsnet import Network  # noqa: E402
from test_proxy_browser import COLOURS, PAGE, STYLE  # noqa: E402

ADDED_BY_GATEWAY = {"x-reticulum-identity", "connection"}


def head_bytes(seen):
    fields = "".join(f"{k}: {v}\r\n" for k, v in seen["headers"].items() if k.lower() not in ADDED_BY_GATEWAY)
    return len(f"{seen['method']} {seen['path']} HTTP/1.1\r\n{fields}\r\n".encode())


def load(chromium, proxy, url, workdir):
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    f"--proxy-server=http://127.0.0.1:{proxy.port}", "--proxy-bypass-list=<-loopback>",
                    f"--user-data-dir={workdir}/profile-{proxy.port}", "--dump-dom", url],
                   capture_output=True, timeout=180, cwd=workdir)


def main():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        sys.exit("chromium is not installed")
    with tempfile.TemporaryDirectory() as root:
        with open(os.path.join(root, "index.html"), "wb") as f:
            f.write(PAGE)
        with open(os.path.join(root, "style.css"), "wb") as f:
            f.write(STYLE)
        os.mkdir(os.path.join(root, "img"))
        for name, rgb in COLOURS.items():
            with open(os.path.join(root, "img" if name == "blue.png" else "", name), "wb") as f:
                f.write(solid(100, 100, rgb))
        sizes = {}
        with Network() as net, Upstream(root) as web:
            gateway = start_gateway(net, 80, web.url)
            for label, flags in (("plain", ()), ("slim", ("--slim",))):
                proxy = start_proxy(net, *flags)
                before = len(web.seen)
                load(chromium, proxy, f"http://{gateway.dest_hash}.rns/index.html", root)
                for seen in web.seen[before:]:
                    sizes.setdefault(seen["path"], {})[label] = head_bytes(seen)
                proxy.stop()
    print(f"{'request':<16}{'plain':>8}{'--slim':>8}{'ratio':>8}")
    for path, row in sizes.items():
        plain, slim = row.get("plain", 0), row.get("slim", 0)
        print(f"{path:<16}{plain:>8}{slim:>8}{slim / plain if plain else 0:>8.2f}")


if __name__ == "__main__":
    main()
