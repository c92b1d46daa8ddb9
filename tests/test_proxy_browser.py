"""A real browser: headless Chromium loads a page with a stylesheet and three images through
zivane-proxy → Reticulum → zivane-gateway → a standard-library web server, and what it
rendered is checked (the DOM after load, and the screenshot's pixels)."""

import os
import shutil
import subprocess

import pytest

from bridgenet import Upstream, start_gateway
from pngs import pixels, solid
from proxynet import start_proxy
from rnsnet import Network

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(not CHROMIUM, reason="chromium is not installed (apt-get install chromium)")

COLOURS = {"red.png": (230, 20, 20), "green.png": (20, 200, 40), "blue.png": (30, 40, 220)}
BACKGROUND = (250, 220, 40)

PAGE = b"""<!DOCTYPE html>
<html><head><link rel="stylesheet" href="/style.css"><title>over reticulum</title></head>
<body><img id="red" src="/red.png"><img id="green" src="/green.png"><img id="blue" src="img/blue.png">
<p id="report">waiting</p>
<script>
window.addEventListener("load", () => {
  const sizes = [...document.images].map(i => i.id + "=" + i.naturalWidth + "x" + i.naturalHeight);
  document.getElementById("report").textContent =
    "loaded " + sizes.join(" ") + " bg=" + getComputedStyle(document.body).backgroundColor;
});
</script></body></html>"""

STYLE = b"""body { margin: 0; background: rgb(%d, %d, %d); }
img { position: absolute; top: 0; width: 100px; height: 100px; }
#red { left: 0; } #green { left: 100px; } #blue { left: 200px; }
p { position: absolute; top: 300px; }""" % BACKGROUND


@pytest.fixture(scope="module")
def road(tmp_path_factory):
    root = tmp_path_factory.mktemp("browser-site")
    (root / "index.html").write_bytes(PAGE)
    (root / "style.css").write_bytes(STYLE)
    (root / "img").mkdir()
    for name, rgb in COLOURS.items():
        (root / ("img" if name == "blue.png" else "") / name).write_bytes(solid(100, 100, rgb))
    with Network() as net, Upstream(str(root)) as web:
        gateway = start_gateway(net, 80, web.url)
        proxy = start_proxy(net)
        yield gateway, proxy, web


def chromium(proxy, tmp_path, *what):
    profile = tmp_path / "profile"
    args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars",
            f"--proxy-server=http://127.0.0.1:{proxy.port}", "--proxy-bypass-list=<-loopback>",
            f"--user-data-dir={profile}", "--window-size=400,400", "--virtual-time-budget=20000", *what]
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in Chromium
    return subprocess.run(args, capture_output=True, timeout=180, cwd=tmp_path, env=plain)


def test_chromium_renders_the_page_with_its_stylesheet_and_images(road, tmp_path):
    gateway, proxy, web = road
    url = f"http://{gateway.dest_hash}.rns/index.html"
    dom = chromium(proxy, tmp_path, "--dump-dom", url)
    text = dom.stdout.decode(errors="replace")
    assert "loaded red=100x100 green=100x100 blue=100x100 bg=rgb(250, 220, 40)" in text, dom.stderr[-2000:]

    shot = tmp_path / "shot.png"
    result = chromium(proxy, tmp_path, f"--screenshot={shot}", url)
    assert shot.exists(), result.stderr[-2000:]
    width, height, rows = pixels(shot.read_bytes())
    for x, name in ((50, "red.png"), (150, "green.png"), (250, "blue.png")):
        assert close(rows[50][x], COLOURS[name]), (name, rows[50][x])
    assert close(rows[200][350], BACKGROUND)
    paths = {seen["path"] for seen in web.seen}
    assert {"/index.html", "/style.css", "/red.png", "/green.png", "/img/blue.png"} <= paths


def close(got, want, slack=12):
    return all(abs(a - b) <= slack for a, b in zip(got, want))
