"""Helpers for the web tests: an application served over Reticulum by the gateway
command or by `zivane.web.serve` in a process of its own, and a client process that runs
snippets of Python with httpx and requests through zivane's transports.

    with Network() as net:
        server = serve_app(net, "webapps:starlette_app")
        client = start_client(net, server.dest_hash)
        result = client.run("result = http.get(base + '/json').json()")

Snippets run in one namespace that lives as long as the process: `base` is the site's
URL, `http` an httpx.Client, `ahttp` an httpx.AsyncClient (run coroutines with `run`),
`session` a requests.Session, `who` an httpx.Client whose links identify, and `identity`
that identity's hash. A snippet sets `result` to something JSON can carry.
"""

import base64
import json
import os
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))

COMMAND_SOURCE = """\
import asyncio, signal
sys.path.insert(0, ARGS[0])
import zivane.gateway as gateway
sys.stderr = sys.stdout  # the listening lines become the readiness line
def stop_when_stdin_closes():
    sys.stdin.read()
    os.kill(os.getpid(), signal.SIGTERM)
threading.Thread(target=stop_when_stdin_closes, daemon=True).start()
try:
    asyncio.run(gateway.main(ARGS[1:] + ["--config", CONFIG]))
    print("STOPPED", flush=True)
except SystemExit as exc:
    print("EXITED", exc.code, flush=True)
"""

SERVE_SOURCE = """\
import asyncio, importlib
sys.path.insert(0, ARGS[0])
module, name = ARGS[1].split(":")
app = getattr(importlib.import_module(module), name)
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
import zivane.web
identity_path = os.path.join(CONFIG, "serve-identity")
RNS.Identity().to_file(identity_path)
identity = RNS.Identity.from_file(identity_path)
dest_hash = RNS.Destination.hash(identity, "HTTP", ARGS[2]).hex()

async def main():
    task = asyncio.ensure_future(zivane.web.serve(app, int(ARGS[2]), identity_path=identity_path))
    await asyncio.sleep(0.5)
    if task.done():
        task.result()
    print("READY", dest_hash, flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        print("CANCELLED", flush=True)
asyncio.run(main())
print("STOPPED", flush=True)
"""

CLIENT_SOURCE = """\
import asyncio, faulthandler, hashlib, json, traceback
faulthandler.enable(all_threads=True)
import httpx, requests
import zivane.web as web
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
base = "http://%s.rns:%s" % (ARGS[0], ARGS[1])
mine = os.path.join(CONFIG, "client-identity")
loop = asyncio.new_event_loop()
def run(coroutine):
    return loop.run_until_complete(coroutine)
http = httpx.Client(transport=web.HttpxTransport(identity_path=mine), timeout=60)
ahttp = httpx.AsyncClient(transport=web.AsyncHttpxTransport(identity_path=mine), timeout=60)
who = httpx.Client(transport=web.HttpxTransport(identity_path=mine, identify=True), timeout=60)
session = requests.Session()
session.mount("http://", web.RequestsAdapter(identity_path=mine))
identity = RNS.Identity.from_file(mine).hash.hex() if os.path.exists(mine) else None
space = dict(globals())
print("READY", flush=True)
for line in sys.stdin:
    words = line.split()
    if len(words) != 2 or words[0] != "RUN":
        continue
    try:
        exec(base64.b64decode(words[1]).decode(), space)
        out = {"result": space.get("result")}
    except BaseException as exc:
        out = {"error": type(exc).__name__, "text": str(exc), "trace": traceback.format_exc()}
    print("RESULT", base64.b64encode(json.dumps(out).encode()).decode(), flush=True)
"""


def pattern_piece(index, size):
    return bytes((index + i) % 251 for i in range(size))


def serve_app(net, spec, port=80, how="command", extra=()):
    """The application `spec` ("module:attribute", importable from tests/) served as
    HTTP.<port>, by `zivane-gateway PORT spec` or by zivane.web.serve; `dest_hash` set."""
    if how == "command":
        proc = net.spawn(COMMAND_SOURCE, HERE, port, spec, *extra, ready="Destination hash:", name="gateway")
    else:
        proc = net.spawn(SERVE_SOURCE, HERE, spec, port, name="serve")
    proc.dest_hash = proc.ready_words[-1]
    return proc


class Client:
    def __init__(self, proc):
        self.proc = proc

    def run(self, source, timeout=120):
        encoded = base64.b64encode(textwrap.dedent(source).encode()).decode()
        line = self.proc.command("RUN " + encoded, "RESULT", timeout)
        out = json.loads(base64.b64decode(line.split()[1]))
        if "error" in out:
            return out
        return out["result"]

    def check(self, source, timeout=120):
        out = self.run(source, timeout)
        if isinstance(out, dict) and "trace" in out:
            raise AssertionError(out["trace"])
        return out


def start_client(net, dest_hash, port=80):
    proc = net.spawn(CLIENT_SOURCE, dest_hash, port, name="client")
    return Client(proc)
