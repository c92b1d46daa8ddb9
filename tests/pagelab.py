"""A page lab: a small web site loaded over the radio lab (tests/radiolab.py), by headless
Chromium through zivane-proxy and zivane-gateway, and by raw Reticulum requests.

Two segments of the same settings carry the two ways, so neither counts the other's frames:

- "zivane": Chromium → zivane-proxy (node "proxy") → air → zivane-gateway (node "gateway")
  → a standard-library web server over the site's directory (`SiteServer`);
- "raw": a fetcher process (node "fetcher") asks the same files with `link.request` of a
  `register_request_handler` server (node "site") that reads them from the same directory;
  answers above one packet travel as RNS's own compressed Resource.

The site is an HTML page (~5.7 KB) with a stylesheet (~4.1 KB), two PNGs (~3 and ~8 KB) and a
script that fetches a JSON answer (~10 KB) and writes what it saw into the page. The web
server sends what http.server sends (Content-Type, Last-Modified, 304 to If-Modified-Since)
plus `Cache-Control: no-cache`, so a second visit from the same browser profile revalidates
every file. The raw fetcher follows the browser's order: the page; then the stylesheet and
the images at once; the JSON once the stylesheet is in (a script waits for pending
stylesheets); on its second visit it asks each file with If-Modified-Since.

    with PageLab(bitrate=9600) as lab:
        first = lab.visit_zivane()
        print(first.air.bytes, first.time, first.air.describe())

A visit starts and ends on a quiet medium; its air is every frame on its segment between,
and its time runs from the first frame queued to the delivery of the last frame the server
side sent other than a proof or keepalive (what the page waits for, without the start-up of
Chromium or of a process).
"""

import http.server
import json
import os
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bridgenet import GATEWAY_SOURCE  # noqa: E402
from pngs import textured  # noqa: E402
from proxynet import ProxyProc, wait_listening  # noqa: E402
from radiolab import Air, Lab, content  # noqa: E402
from rnsnet import free_port  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

BACKGROUND = "rgb(245, 240, 230)"
IMAGES = {"/img/photo.png": (56, 50), "/img/logo.png": (36, 30)}
WORDS = ("mesh radio node packet link relay station antenna channel hop route signal battery "
         "solar valley ridge village weather reading humidity wind rain temperature forecast "
         "market school clinic water pump field harvest message neighbour open quiet slow "
         "the a of and to in on for with by from is are was will can every each our their").split()


def prose(rng, words):
    text = " ".join(rng.choice(WORDS) for _ in range(words))
    return text[0].upper() + text[1:] + "."


def make_page(rng):
    parts = ["<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
             "<title>Valley weather network</title>\n"
             "<link rel=\"icon\" href=\"data:,\">\n"
             "<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n"
             "<header class=\"top\"><img id=\"logo\" src=\"/img/logo.png\" alt=\"logo\">"
             "<nav><a href=\"/\">Home</a> <a href=\"/stations\">Stations</a> "
             "<a href=\"/about\">About</a></nav></header>\n<main>\n"]
    for section in range(6):
        parts.append(f"<section class=\"card c{section}\"><h2>{prose(rng, 4)[:-1]}</h2>\n")
        for _ in range(2):
            parts.append(f"<p>{prose(rng, 54)}</p>\n")
        if section == 1:
            parts.append("<figure><img id=\"photo\" src=\"/img/photo.png\" alt=\"the valley\">"
                         "<figcaption>The valley from the ridge station</figcaption></figure>\n")
        parts.append("</section>\n")
    parts.append("<ul id=\"readings\"></ul>\n<p id=\"report\">waiting</p>\n</main>\n")
    parts.append(PAGE_SCRIPT)
    return "".join(parts).encode()


PAGE_SCRIPT = """<script>
const seen = {load: false, data: null};
function report() {
  if (!seen.load || !seen.data) return;
  const images = [...document.images].map(i => i.id + "=" + i.naturalWidth + "x" + i.naturalHeight);
  document.getElementById("report").textContent = "page ready " + images.join(" ") +
    " readings=" + seen.data.readings.length + " bg=" + getComputedStyle(document.body).backgroundColor;
}
window.addEventListener("load", () => { seen.load = true; report(); });
fetch("/data.json").then(r => r.json()).then(d => {
  seen.data = d;
  const list = document.getElementById("readings");
  for (const r of d.readings.slice(0, 5)) {
    const item = document.createElement("li");
    item.textContent = r.station + " " + r.kind + " " + r.value;
    list.appendChild(item);
  }
  report();
}).catch(e => { document.getElementById("report").textContent = "failed " + e; });
</script>
</body></html>
"""


def make_style(rng):
    rules = ["body { margin: 0; font: 15px/1.5 sans-serif; background: %s; color: #222; }" % BACKGROUND,
             ".top { display: flex; align-items: center; padding: 8px 16px; background: #2d4a3e; }",
             ".top nav a { color: #f4f1ea; margin-right: 12px; text-decoration: none; }",
             "main { max-width: 760px; margin: 0 auto; padding: 16px; }",
             "figure { margin: 12px 0; } figcaption { font-size: 12px; color: #666; }"]
    properties = ("margin", "padding", "border-radius", "font-size", "line-height", "letter-spacing")
    for i in range(42):
        colour = "#%02x%02x%02x" % (rng.randrange(256), rng.randrange(256), rng.randrange(256))
        chosen = rng.sample(properties, 2)
        rules.append(f".card.c{i % 6} .item-{i}, .list-{i} > li {{ color: {colour}; "
                     f"{chosen[0]}: {rng.randrange(1, 24)}px; {chosen[1]}: {rng.randrange(1, 24)}px; }}")
    return ("\n".join(rules) + "\n").encode()


def make_site(directory):
    """Writes the site's files; returns {path: bytes}."""
    import random
    rng = random.Random(18)
    files = {"/index.html": make_page(rng), "/style.css": make_style(rng),
             "/data.json": content()["make_json"](10240)}
    for seed, (path, (width, height)) in enumerate(IMAGES.items()):
        files[path] = textured(width, height, seed + 1)
    for path, data in files.items():
        target = os.path.join(directory, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
    return files


def expected_report(files):
    readings = len(json.loads(files["/data.json"])["readings"])
    images = " ".join(f"{path.rsplit('/', 1)[1][:-4]}={w}x{h}" for path, (w, h) in
                      sorted(IMAGES.items(), key=lambda kv: kv[0] != "/img/logo.png"))
    return f"page ready {images} readings={readings} bg={BACKGROUND}"


# The order a browser asks the files in: each path once the one it names has arrived.
FETCH_ORDER = [("/index.html", None), ("/style.css", "/index.html"), ("/img/logo.png", "/index.html"),
               ("/img/photo.png", "/index.html"), ("/data.json", "/style.css")]


class SiteServer:
    """http.server over the site, HTTP/1.1 with kept-alive connections, recording
    (method, path, status) of every answer."""

    def __init__(self, directory):
        seen = self.seen = []

        class Handler(http.server.SimpleHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=directory, **kwargs)

            def log_message(self, *args):
                pass

            def send_response(self, code, message=None):
                seen.append((self.command, self.path, code))
                super().send_response(code, message)

            def end_headers(self):
                self.send_header("Cache-Control", "no-cache")
                super().end_headers()

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", free_port()), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


RAW_SITE_SOURCE = """
import email.utils, mimetypes
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
ROOT = os.path.realpath(ARGS[0])

def message(status, fields, body=b""):
    head = "HTTP/1.1 %d %s\\r\\n" % (status, {200: "OK", 304: "Not Modified", 404: "Not Found"}[status])
    head += "".join("%s: %s\\r\\n" % field for field in fields)
    return head.encode() + b"\\r\\n" + body

def on_request(path, data, request_id, link_id, remote_identity, requested_at):
    head = data.split(b"\\r\\n\\r\\n")[0].decode("latin-1").split("\\r\\n")
    target = head[0].split(" ")[1]
    fields = {name.strip().lower(): value.strip() for name, _, value in (l.partition(":") for l in head[1:])}
    file = os.path.realpath(os.path.join(ROOT, target.lstrip("/")))
    if not file.startswith(ROOT + os.sep) or not os.path.isfile(file):
        return message(404, [("Content-Length", 0)])
    mtime = int(os.stat(file).st_mtime)
    modified = email.utils.formatdate(mtime, usegmt=True)
    since = fields.get("if-modified-since")
    if since and email.utils.parsedate_to_datetime(since).timestamp() >= mtime:
        return message(304, [("Last-Modified", modified)])
    with open(file, "rb") as f:
        body = f.read()
    kind = mimetypes.guess_type(file)[0] or "application/octet-stream"
    return message(200, [("Content-Type", kind), ("Content-Length", len(body)), ("Last-Modified", modified)], body)

destination = RNS.Destination(RNS.Identity(), RNS.Destination.IN, RNS.Destination.SINGLE, "pagelab", "raw")
destination.register_request_handler("http", on_request, allow=RNS.Destination.ALLOW_ALL)
destination.announce()
print("READY", destination.hexhash, flush=True)
sys.stdin.read()
"""

# VISIT <json: dest, order, timeout> -> DONE <json: ok, time, answers {path: [status, length]},
#                                            parts [resource parts arrived, needed], error>
# The link stays up between visits; a second visit asks with If-Modified-Since.
RAW_FETCHER_SOURCE = """
import json
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
state = {"link": None, "modified": {}}

# Resource parts handed to the resources, and the parts the answers needed.
parts = {"arrived": 0, "needed": {}}
receive_part = RNS.Resource.receive_part
def counting_receive_part(resource, packet):
    parts["arrived"] += 1
    parts["needed"][resource.hash] = resource.total_parts
    return receive_part(resource, packet)
RNS.Resource.receive_part = counting_receive_part

def open_link(dest, deadline):
    h = bytes.fromhex(dest)
    RNS.Transport.request_path(h)
    while not RNS.Transport.has_path(h):
        if time.time() > deadline:
            raise TimeoutError("no path")
        time.sleep(0.01)
    destination = RNS.Destination(RNS.Identity.recall(h), RNS.Destination.OUT, RNS.Destination.SINGLE,
                                  "pagelab", "raw")
    up = threading.Event()
    link = RNS.Link(destination, lambda l: up.set(), lambda l: up.set())
    up.wait(max(0, deadline - time.time()))
    if link.status != RNS.Link.ACTIVE:
        raise TimeoutError("link not established")
    return link

def request_bytes(path):
    head = "GET %s HTTP/1.1\\r\\n" % path
    if path in state["modified"]:
        head += "If-Modified-Since: %s\\r\\n" % state["modified"][path]
    return (head + "\\r\\n").encode()

def visit(job):
    started = time.time()
    parts["arrived"], parts["needed"] = 0, {}
    deadline = started + job["timeout"]
    if state["link"] is None or state["link"].status != RNS.Link.ACTIVE:
        state["link"] = open_link(job["dest"], deadline)
    link, answers, done, failed = state["link"], {}, threading.Event(), []
    lock = threading.Lock()

    def start(path):
        def answered(receipt):
            data = receipt.response
            head, _, body = data.partition(b"\\r\\n\\r\\n")
            lines = head.decode("latin-1").split("\\r\\n")
            for line in lines[1:]:
                name, _, value = line.partition(":")
                if name.lower() == "last-modified":
                    state["modified"][path] = value.strip()
            with lock:
                answers[path] = [int(lines[0].split(" ")[1]), len(body)]
                ready = [p for p, after in job["order"] if after == path]
                if len(answers) == len(job["order"]):
                    done.set()
            for p in ready:
                start(p)
        def lost(receipt):
            failed.append("%s: status %s" % (path, receipt.status))
            done.set()
        if not link.request("http", request_bytes(path), answered, lost, timeout=job["timeout"]):
            failed.append(path + ": not sent")
            done.set()

    for path, after in job["order"]:
        if after is None:
            start(path)
    done.wait(max(0, deadline - time.time()))
    ok = not failed and len(answers) == len(job["order"])
    return {"ok": ok, "time": time.time() - started, "answers": answers,
            "parts": [parts["arrived"], sum(parts["needed"].values())],
            "error": "; ".join(failed) or (None if ok else "timed out")}

print("READY", flush=True)
for line in sys.stdin:
    try:
        result = visit(json.loads(line.partition(" ")[2]))
    except Exception as e:
        result = {"ok": False, "error": str(e) or type(e).__name__}
    print("DONE", json.dumps(result), flush=True)
"""


class Visit:
    """What one visit put on the air, how long it took and what it got."""

    def __init__(self, air, trace, client, server, result):
        self.air, self.result = air, result
        self.ok = result.get("ok", False)
        self.time = span(trace, server)
        self.up = air.total("bytes", sender=client)
        self.down = air.total("bytes", sender=server)

    def describe(self):
        return ", ".join(f"{kind} {frames}/{size} B" for kind, (frames, size) in self.air.kinds().items())


WAITING_KINDS = {"proof", "resource-proof", "link-proof", "keepalive", "link-close"}


def span(trace, server):
    """From the first frame queued to the delivery of the last answer frame from `server`."""
    if not trace:
        return 0.0
    latency = trace[0]["latency"]
    answers = [t for t in trace if t["from"] == server and t["kind"] not in WAITING_KINDS]
    last = max((t["end"] for t in answers), default=trace[-1]["end"])
    return last + latency - min(t["queued"] for t in trace)


class PageLab:
    """One radio lab with both ways up: gateway and proxy (with `proxy_args` on its command
    line), raw site and fetcher (without `raw`, the zivane way only)."""

    def __init__(self, bitrate=9600, latency=0.25, raw=True, proxy_args=()):
        self.bitrate, self.latency, self.raw, self.proxy_args = bitrate, latency, raw, list(proxy_args)
        self.lab = None
        self.site = None

    def __enter__(self):
        self.lab = Lab().__enter__()
        try:
            self.start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.site:
            self.site.stop()
        self.lab.__exit__(*exc)

    def start(self):
        lab = self.lab
        root = os.path.join(lab.directory, "www")
        self.files = make_site(root)
        self.site = SiteServer(root)
        for segment in ("zivane", "raw") if self.raw else ("zivane",):
            lab.segment(segment, bitrate=self.bitrate, latency=self.latency)
        gateway_node, proxy_node = lab.node("gateway", ["zivane"]), lab.node("proxy", ["zivane"])
        # The servers announce before the clients exist: a client's first visit pays for
        # its path request and the answer, as a browser's first visit to a site would.
        gateway = lab.spawn(gateway_node, GATEWAY_SOURCE, "{}", "80", self.site.url, "--identity",
                            os.path.join(lab.directory, "gateway-identity"),
                            ready="Destination hash:", name="gateway")
        self.gateway_hash = gateway.ready_words[-1]
        if self.raw:
            site_node = lab.node("site", ["raw"])
            self.raw_hash = lab.spawn(site_node, RAW_SITE_SOURCE, root, name="site").ready_words[0]
        for server in ("gateway", "site") if self.raw else ("gateway",):
            self.wait_announced(server)
        lab.wait_quiet(timeout=120)
        self.proxy = self.start_proxy(proxy_node)
        if self.raw:
            self.fetcher = lab.spawn(lab.node("fetcher", ["raw"]), RAW_FETCHER_SOURCE, name="fetcher")
        self.profile = os.path.join(lab.directory, "chromium-profile")
        lab.wait_quiet(timeout=120)

    def wait_announced(self, node, timeout=60):
        """Until the node's announce has been on the air (its interface may come up after
        the process says it is ready)."""
        deadline = time.monotonic() + timeout
        while not self.lab.air().total("kind:announce:frames", sender=node):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{node} did not announce")
            time.sleep(0.1)

    def start_proxy(self, node):
        port = free_port()
        args = [sys.executable, "-m", "zivane.proxy", "--listen", f"127.0.0.1:{port}", "--config",
                node.config_dir, "--identity", os.path.join(self.lab.directory, "proxy-identity"),
                *self.proxy_args]
        proc = ProxyProc(args, self.lab.env(node), None, "proxy")
        self.lab.procs.append(proc)
        return wait_listening(proc, port, timeout=60)

    def measure(self, segment, client, server, run, timeout):
        self.lab.wait_quiet(timeout=timeout)
        self.lab.trace()
        before = self.lab.air()
        result = run()
        self.lab.wait_quiet(timeout=timeout)
        air = self.lab.air() - before
        air = Air({k: v for k, v in air.counts.items() if k[0] == segment})
        trace = [dict(t, latency=self.latency) for t in self.lab.trace() if t["segment"] == segment]
        return Visit(air, trace, client, server, result)

    def visit_zivane(self, timeout=600):
        """Chromium loads the page (with the lab's one profile) and the DOM is checked."""
        seen_before = len(self.site.seen)

        def run():
            try:
                dom = self.chromium(f"http://{self.gateway_hash}.rns/index.html", timeout)
            except subprocess.TimeoutExpired:
                return {"ok": False, "error": f"Chromium did not finish in {timeout} s"}
            if expected_report(self.files) in dom.stdout:
                return {"ok": True}
            return {"ok": False, "error": f"page not ready: {dom.stdout[-300:]!r} {dom.stderr[-1500:]}"}

        visit = self.measure("zivane", "proxy", "gateway", run, timeout)
        visit.result["answers"] = self.site.seen[seen_before:]
        return visit

    def visit_raw(self, timeout=600):
        job = {"dest": self.raw_hash, "order": FETCH_ORDER, "timeout": timeout}
        line = lambda: self.fetcher.command("VISIT " + json.dumps(job), "DONE", timeout + 30)  # noqa: E731
        return self.measure("raw", "fetcher", "site", lambda: json.loads(line().partition(" ")[2]), timeout)

    def chromium(self, url, timeout):
        args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                f"--proxy-server=http://127.0.0.1:{self.proxy.port}", "--proxy-bypass-list=<-loopback>",
                f"--user-data-dir={self.profile}", "--window-size=800,600",
                "--virtual-time-budget=30000", "--dump-dom", url]
        plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in Chromium
        return subprocess.run(args, capture_output=True, text=True, timeout=timeout, cwd=self.lab.directory,
                              env=plain)
