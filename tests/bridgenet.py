"""Helpers for the gateway's end-to-end tests: an upstream web server in a thread, the
gateway command as a process, and a process fetching through Reticulum with HttpClient.

    with Network() as net, Upstream(site) as web:
        gw = start_gateway(net, 80, web.url)
        fetcher = start_fetcher(net)
        [result] = fetcher.fetch(gw.dest_hash, 80, [{"path": "/index.html"}])

The upstream is the standard library's ThreadingHTTPServer speaking HTTP/1.1 (kept-alive
connections) over a directory, with a few extra paths (see `Handler`) and a record of
every request it saw (`web.seen`: method, path, headers, body digest and size).
"""

import base64
import hashlib
import http.server
import json
import os
import socket
import threading

from rnsnet import free_port

GATEWAY_SOURCE = """\
import asyncio, json, signal
import zivane.gateway as gateway
for name, value in json.loads(ARGS[0]).items():
    setattr(gateway, name, value)
sys.stderr = sys.stdout  # the listening lines become the readiness line
def stop_when_stdin_closes():
    sys.stdin.read()
    os.kill(os.getpid(), signal.SIGTERM)
threading.Thread(target=stop_when_stdin_closes, daemon=True).start()
asyncio.run(gateway.main(ARGS[1:] + ["--config", CONFIG]))
print("STOPPED", flush=True)
"""

# Line commands: FETCH <b64 json> -> RESULT <b64 json>. The job names the destination, the
# port, whether the link identifies, and requests, run one after the other on one link;
# "parallel": n runs n such jobs at once, each on its own thread, client and link
# ("rotate": thread i starts at request i).
FETCHER_SOURCE = """\
import asyncio, hashlib, json
from zivane.client import HttpClient
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)

async def run(job, index):
    identity = os.path.join(CONFIG, "fetcher-%d-%s" % (index, job.get("identity", "")))
    results = []
    try:
        async with HttpClient(job["dest"], job["port"], identity_path=identity,
                              request_timeout=job.get("timeout", 60)) as client:
            if job.get("identify"):
                client._link.identify(client._load_or_create_identity())
                time.sleep(0.3)
            requests = job["requests"]
            if job.get("rotate"):
                requests = requests[index:] + requests[:index]
            for r in requests:
                body = base64.b64decode(r["body"]) if "body" in r else None
                if "size" in r:
                    body = bytes(i % 251 for i in range(r["size"]))
                try:
                    resp = await client.request(r["path"], r.get("method", "GET"), r.get("headers"), body)
                except Exception as exc:
                    results.append({"error": str(exc)})
                    continue
                data = resp.body or b""
                results.append({"status": resp.status, "headers": dict(resp.headers),
                                "sha256": hashlib.sha256(data).hexdigest(), "size": len(data),
                                "body": data[:2000].decode("latin-1")})
            if job.get("identify"):
                results.append({"identity": client._load_or_create_identity().hash.hex()})
    except Exception as exc:
        results.append({"error": "connect: %s" % exc})
    return results

def one(job, index, out):
    out[index] = asyncio.run(run(job, index))

print("READY", flush=True)
for line in sys.stdin:
    words = line.split()
    if not words or words[0] != "FETCH":
        continue
    job = json.loads(base64.b64decode(words[1]))
    n = job.get("parallel", 1)
    out = [None] * n
    threads = [threading.Thread(target=one, args=(job, i, out)) for i in range(n)]
    for t in threads: t.start()
    for t in threads: t.join()
    print("RESULT", base64.b64encode(json.dumps(out).encode()).decode(), flush=True)
"""


def pattern(size, seed=0):
    """Deterministic bytes that do not compress much."""
    out = bytearray()
    block = hashlib.sha256(str(seed).encode()).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out.extend(block)
    return bytes(out[:size])


class Handler(http.server.SimpleHTTPRequestHandler):
    """Static files, plus: POST anywhere (recorded, answered with the body's digest),
    /redirect (302 to /index.html), /echo-headers (the request head as JSON), /garbage (no
    HTTP at all), /cut (a promised body cut short after 200 kB; /cut?early after 1 kB), /chunked (a chunked answer), /slow
    (answers after two seconds)."""

    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, body=b""):
        self.server.seen.append({"method": self.command, "path": self.path, "headers": dict(self.headers),
                                 "sha256": hashlib.sha256(body).hexdigest(), "size": len(body)})

    def send_text(self, status, text, headers=()):
        data = text.encode()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.record()
        special = {"/redirect": self.redirect, "/echo-headers": self.echo_headers, "/garbage": self.garbage,
                   "/cut": self.cut, "/chunked": self.chunked, "/slow": self.slow}.get(self.path.split("?")[0])
        if special:
            return special()
        return super().do_GET()

    def do_HEAD(self):
        self.record()
        return super().do_HEAD()

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        self.record(body)
        self.send_text(200, json.dumps({"sha256": hashlib.sha256(body).hexdigest(), "size": len(body)}))

    def redirect(self):
        self.send_text(302, "moved", [("Location", "/index.html")])

    def echo_headers(self):
        self.send_text(200, json.dumps(dict(self.headers)), [("Connection", "keep-alive, X-Hop"), ("X-Hop", "1")])

    def garbage(self):
        self.wfile.write(b"THIS IS NOT HTTP\r\n\r\n")
        self.close_connection = True

    def cut(self):
        self.send_response(200)
        self.send_header("Content-Length", "1000000")
        self.end_headers()
        self.wfile.write(b"x" * (1000 if "early" in self.path else 200_000))
        self.wfile.flush()
        self.close_connection = True

    def chunked(self):
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for piece in (b"first ", b"second ", b"third"):
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.write(b"0\r\n\r\n")

    def slow(self):
        import time
        time.sleep(2)
        self.send_text(200, "late")


class Upstream:
    """ThreadingHTTPServer over `directory` on 127.0.0.1 (or a unix socket with `unix`)."""

    def __init__(self, directory, port=None, unix=None):
        self.directory = directory
        self.port = port or free_port()
        self.unix = unix
        self.server = None

    @property
    def url(self):
        return f"unix:{self.unix}" if self.unix else f"http://127.0.0.1:{self.port}"

    @property
    def seen(self):
        return self.server.seen

    def start(self):
        directory = self.directory

        class Bound(Handler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=directory, **kwargs)

        if self.unix:
            class UnixServer(http.server.ThreadingHTTPServer):
                address_family = socket.AF_UNIX

                def server_bind(self):
                    socket.socket.bind(self.socket, self.server_address)
                    self.server_name, self.server_port = "localhost", 0

            class UnixHandler(Bound):
                def address_string(self):
                    return "unix"

            self.server = UnixServer(self.unix, UnixHandler)
        else:
            self.server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Bound)
        self.server.daemon_threads = True
        self.server.seen = []
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()
            self.server = None
            if self.unix and os.path.exists(self.unix):
                os.unlink(self.unix)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def start_gateway(net, port, upstream, *args, tunables=None, identity=None):
    identity = identity or os.path.join(net.config_dir, f"gateway-{port}-identity")
    argv = [str(port), upstream, "--identity", identity, *args]
    proc = net.spawn(GATEWAY_SOURCE, json.dumps(tunables or {}), *argv, ready="Destination hash:",
                     name="gateway")
    proc.dest_hash = proc.ready_words[-1]
    return proc


class Fetcher:
    def __init__(self, proc):
        self.proc = proc

    def fetch(self, dest, port, requests, timeout=120, **job):
        job.update(dest=dest, port=port, requests=requests)
        line = self.proc.command("FETCH " + base64.b64encode(json.dumps(job).encode()).decode(), "RESULT",
                                 timeout)
        return json.loads(base64.b64decode(line.split()[1]))


def start_fetcher(net):
    return Fetcher(net.spawn(FETCHER_SOURCE, name="fetcher"))
