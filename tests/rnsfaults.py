"""Processes for the robustness tests and the load benchmark, on a loopback Reticulum
(`rnsnet.Network`); the stand-in Reticulum families live in `fakes/`.

- `start_control_server(net, port)`: a zivane server with test routes and a line
  command interface (`STATE`, `STOP`) to look at its links, threads and memory.
- `CLIENT_SOURCE`: a process running `HttpClient` requests, reporting each outcome.
- `CHURN_SOURCE`: a process that opens and closes many links to a destination.
"""

import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# ----- processes on a loopback Reticulum --------------------------------------------------

CONTROL_SERVER_SOURCE = """\
import asyncio, gc, json, resource
from zivane.server import HttpServer
from zivane.types import HttpRequest, HttpResponse
import psutil

reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
server = HttpServer(int(ARGS[0]), ARGS[1])
release = threading.Event()
entered = []

@server.route("/echo", method="POST")
def echo(request):
    return HttpResponse(status=200, headers={"X-Id": request.headers.get("x-id", "")},
                        body=request.body)

@server.route("/hello")
def hello(request):
    return HttpResponse(status=200, body=b"hi")

@server.route("/raise")
def raises(request):
    raise RuntimeError("handler failed on purpose")

@server.route("/none")
def none(request):
    return None

@server.route("/notresponse")
def not_response(request):
    return {"status": 200}

@server.route("/block")
def block(request):
    entered.append(request.path)
    release.wait(float(request.headers.get("x-seconds", "30")))
    return HttpResponse(status=200, body=b"unblocked")

@server.route("/big")
def big(request):
    return HttpResponse(status=200, body=os.urandom(int(request.headers.get("x-size", "200000"))))

@server.route("/async")
async def slow(request):
    await asyncio.sleep(float(request.headers.get("x-seconds", "0.05")))
    return HttpResponse(status=200, body=b"async")

sys.stdout = open(os.devnull, "w")  # the progress lines are not under test here
reply = sys.__stdout__
asyncio.run(server.start())
print("READY", server.destination_hash, file=reply, flush=True)

def state():
    gc.collect()
    return {"links": len(server._links), "threads": threading.active_count(),
            "thread_names": sorted(t.name for t in threading.enumerate()),
            "rss": psutil.Process().memory_info().rss, "running": server.is_running,
            "alive_links": sum(isinstance(o, RNS.Link) for o in gc.get_objects()),
            "entered": len(entered)}

for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    if words[0] == "STATE":
        print("STATE", json.dumps(state()), file=reply, flush=True)
    elif words[0] == "RELEASE":
        release.set()
        print("RELEASED", file=reply, flush=True)
    elif words[0] == "STOP":
        asyncio.run(server.stop())
        print("STOPPED", json.dumps(state()), file=reply, flush=True)
asyncio.run(server.stop())
"""


def start_control_server(net, port):
    identity = os.path.join(net.config_dir, f"control-{port}-identity")
    proc = net.spawn(CONTROL_SERVER_SOURCE, port, identity, name="server")
    proc.dest_hash = proc.ready_words[0]
    return proc


def server_state(proc, command="STATE", reply="STATE"):
    line = proc.command(command, reply, timeout=30)
    return json.loads(line.split(" ", 1)[1])


def wait_state(proc, predicate, timeout=20.0):
    """Polls the server's state until `predicate(state)` holds; returns the last state."""
    deadline = time.monotonic() + timeout
    while True:
        state = server_state(proc)
        if predicate(state) or time.monotonic() > deadline:
            return state
        time.sleep(0.2)


# Requests through HttpClient. ARGS: dest_hash port count first_id [path [size]].
# Each request carries a unique id in a header and its body; the answer must echo both.
# Prints one line: RESULT {"ok": n, "errors": [...], "mismatch": n, "seconds": t}
CLIENT_SOURCE = """\
import asyncio, json, random
from zivane.client import HttpClient, TransportError

reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
dest, port, count, first = ARGS[0], int(ARGS[1]), int(ARGS[2]), int(ARGS[3])
identity = os.path.join(CONFIG, "client-identity-%d" % os.getpid())

async def run():
    ok, mismatch, errors = 0, 0, []
    client = HttpClient(dest, port, identity_path=identity, connect_timeout=30.0, request_timeout=60.0)
    await client.connect()
    print("CONNECTED", flush=True)
    for i in range(first, first + count):
        body = ("request %d " % i).encode() + random.randbytes(random.randrange(0, 600))
        try:
            r = await client.post("/echo", body, {"X-Id": str(i)})
        except TransportError as e:
            errors.append(str(e))
            continue
        if r.status == 200 and r.body == body and r.headers.get("x-id") == str(i):
            ok += 1
        else:
            mismatch += 1
    await client.close()
    return ok, mismatch, errors

start = time.monotonic()
try:
    ok, mismatch, errors = asyncio.run(run())
except Exception as e:
    ok, mismatch, errors = 0, 0, ["%s: %s" % (type(e).__name__, e)]
print("RESULT", json.dumps({"ok": ok, "mismatch": mismatch, "errors": errors,
                            "seconds": time.monotonic() - start}), flush=True)
sys.stdout.flush()
RNS.exit(0)
"""


def start_clients(net, dest_hash, port, processes, requests_each):
    procs = []
    for p in range(processes):
        procs.append(net.spawn(CLIENT_SOURCE, dest_hash, port, requests_each, p * requests_each,
                               ready=None, name=f"client{p}"))
    return procs


def client_result(proc, timeout):
    line = proc.reply("RESULT", timeout)
    return json.loads(line.split(" ", 1)[1])


# Opens and closes links to "HTTP"/port. ARGS: dest_hash port total batch.
# Prints: CHURNED {"opened": n, "failed": n, "seconds": t}
CHURN_SOURCE = """\
import json
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
dest_hash = bytes.fromhex(ARGS[0])
port, total, batch = ARGS[1], int(ARGS[2]), int(ARGS[3])
if not RNS.Transport.has_path(dest_hash):
    RNS.Transport.request_path(dest_hash)
    deadline = time.time() + 20
    while not RNS.Transport.has_path(dest_hash) and time.time() < deadline:
        time.sleep(0.02)
identity = RNS.Identity.recall(dest_hash)
destination = RNS.Destination(identity, RNS.Destination.OUT, RNS.Destination.SINGLE, "HTTP", port)
print("READY", flush=True)
opened = failed = 0
start = time.monotonic()
while opened + failed < total:
    n = min(batch, total - opened - failed)
    events = [threading.Event() for _ in range(n)]
    links = [RNS.Link(destination, (lambda e: lambda l: e.set())(e)) for e in events]
    deadline = time.monotonic() + 30
    for e in events:
        e.wait(max(0.0, deadline - time.monotonic()))
    for e, link in zip(events, links):
        if e.is_set():
            opened += 1
        else:
            failed += 1
        link.teardown()
print("CHURNED", json.dumps({"opened": opened, "failed": failed,
                             "seconds": time.monotonic() - start}), flush=True)
sys.stdin.read()
"""


# One request through HttpClient, optionally tearing the link down while it runs.
# ARGS: dest_hash port method path headers_json teardown_after request_timeout
# Prints CONNECTED, then RESULT {"status", "body_len", "error", "seconds"}; exits on stdin EOF.
ONE_CLIENT_SOURCE = """\
import asyncio, json
from zivane.client import HttpClient, TransportError

reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
dest, port, method, path = ARGS[0], int(ARGS[1]), ARGS[2], ARGS[3]
headers, teardown_after, timeout = json.loads(ARGS[4]), float(ARGS[5]), float(ARGS[6])
client = HttpClient(dest, port, identity_path=os.path.join(CONFIG, "one-client-%d" % os.getpid()),
                    connect_timeout=30.0, request_timeout=timeout)
asyncio.run(client.connect())
print("CONNECTED", flush=True)
if teardown_after >= 0:
    threading.Timer(teardown_after, client._link.teardown).start()
start = time.monotonic()
result = {"status": None, "body_len": None, "error": None}
try:
    r = asyncio.run(client.request(path, method, headers))
    result.update(status=r.status, body_len=len(r.body or b""))
except TransportError as e:
    result["error"] = str(e)
except Exception as e:
    result["error"] = "%s: %s" % (type(e).__name__, e)
result["seconds"] = time.monotonic() - start
print("RESULT", json.dumps(result), flush=True)
sys.stdin.read()
sys.stdout.flush()
RNS.exit(0)
"""


def one_request(net, dest_hash, port, path, method="GET", headers=None, teardown_after=-1.0,
                timeout=30.0):
    """Starts a client process connected and running one request; returns the process."""
    return net.spawn(ONE_CLIENT_SOURCE, dest_hash, port, method, path, json.dumps(headers or {}),
                     teardown_after, timeout, ready="CONNECTED", name="client")


# ----- a direct TCP pair: fast link set-up for link churn ------------------------------------

DIRECT_TEMPLATE = """\
[reticulum]
  enable_transport = No
  share_instance = No
  panic_on_interface_error = No

[logging]
  loglevel = 2

[interfaces]
  [[loopback]]
    type = {kind}
    enabled = yes
    {where}
"""


def direct_config(base_dir, name, port, server):
    """A Reticulum configuration directory of its own, with one TCP interface on loopback."""
    path = os.path.join(base_dir, name)
    os.makedirs(path, exist_ok=True)
    if server:
        text = DIRECT_TEMPLATE.format(kind="TCPServerInterface",
                                      where=f"listen_ip = 127.0.0.1\n    listen_port = {port}")
    else:
        text = DIRECT_TEMPLATE.format(kind="TCPClientInterface",
                                      where=f"target_host = 127.0.0.1\n    target_port = {port}")
    with open(os.path.join(path, "config"), "w") as f:
        f.write(text)
    return path


def spawn_with_config(net, source, config_dir, *args, ready="READY", name="proc"):
    """Like `net.spawn`, with a configuration directory other than the network's."""
    import rnsnet
    import textwrap
    code = rnsnet.PRELUDE + textwrap.dedent(source)
    proc = rnsnet.Proc([sys.executable, "-c", code, config_dir, *map(str, args)], net.env(), None, name)
    net.procs.append(proc)
    if ready:
        proc.ready_words = proc.reply(ready, rnsnet.START_TIMEOUT).split()[1:]
    return proc
