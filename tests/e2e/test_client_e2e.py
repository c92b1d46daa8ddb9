"""HttpClient over the real Reticulum: a server process and client processes on loopback."""

import json
import os
import subprocess
import sys

import pytest


SETUP = """
import hashlib, random

BIG = random.Random(7).randbytes(1 << 20)

@server.route("/hello/*")
def hello(request):
    return HttpResponse(status=200, body=request.path.encode())

@server.route("/big")
def big(request):
    return HttpResponse(status=200, headers={"X-Sha": hashlib.sha256(BIG).hexdigest()}, body=BIG)

@server.route("/chunked")
def chunked(request):
    return HttpResponse(status=200, headers={"Transfer-Encoding": "chunked"}, body=b"part-" * 300)

@server.route("/nobody")
def nobody(request):
    # 204 has no body by its status
    return HttpResponse(status=204)

@server.route("/unframed")
def unframed(request):
    # no body and so no length: the answer runs to the end of the stream, which the server
    # then closes
    return HttpResponse(status=200)

@server.route("/sleep")
async def sleep(request):
    await asyncio.sleep(1.5)
    return HttpResponse(status=200, body=b"late")

def echo(request):
    return HttpResponse(status=201, body=request.method.encode() + b" " + (request.body or b""))

for method in ("POST", "PUT", "DELETE"):
    server.add_handler("/data", echo, method)
"""

# Runs in a client process: CONFIG, ARGS bound by the harness. Prints one RESULT line.
CLIENT = """
import asyncio, hashlib, json
from zivane.client import HttpClient, TransportError
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
dest, port, scenario = ARGS[0], int(ARGS[1]), ARGS[2]
out = {}

async def sequential(c):
    bodies = [(await c.get(f"/hello/{i}")).body for i in range(100)]
    out["sequential_ok"] = bodies == [f"/hello/{i}".encode() for i in range(100)]
    r = await c.get("/big")
    out["big"] = (len(r.body), hashlib.sha256(r.body).hexdigest() == r.headers.get("x-sha"))
    out["post"] = (await c.post("/data", b"p-body")).body.decode()
    out["put"] = (await c.put("/data", b"u-body")).body.decode()
    out["delete"] = (await c.delete("/data")).body.decode()
    r = await c.get("/chunked")
    out["chunked"] = r.body == b"part-" * 300
    out["nobody"] = (await c.get("/nobody")).status
    r = await c.get("/unframed")
    out["unframed"] = [r.status, len(r.body or b""), c.is_connected]
    out["after unframed"] = (await c.get("/hello/again")).body.decode()

async def timeout(c):
    await c.get("/hello/warm")
    c._request_timeout = 0.5
    try:
        await c.get("/sleep")
        out["timeout"] = "no error"
    except TransportError as e:
        out["timeout"] = str(e)
    out["connected"] = c.is_connected
    c._request_timeout = 10.0
    out["after"] = (await c.get("/hello/after")).body.decode()
    out["again"] = (await c.get("/hello/again")).body.decode()
    # The link goes away while an answer is awaited.
    import threading, time
    threading.Timer(0.3, c._link.teardown).start()
    t0 = time.monotonic()
    try:
        await c.get("/sleep")
    except TransportError as e:
        out["torn"] = [str(e), time.monotonic() - t0 < 1.5]
    await c.close()
    out["reconnected"] = (await c.get("/hello/back")).body.decode()
    # Nobody answers for a destination that does not exist.
    t0 = time.monotonic()
    try:
        await HttpClient("00" * 16, port, identity_path=ARGS[3], connect_timeout=1.0).connect()
    except TransportError as e:
        out["unknown"] = [str(e), time.monotonic() - t0 < 3.0]

def parallel():
    import threading
    results = {}

    def worker(i):
        async def go():
            async with HttpClient(dest, port, identity_path=ARGS[3] + f"-{i}",
                                  request_timeout=30.0) as c:
                return [(await c.get(f"/hello/{i}/{j}")).body for j in range(10)]
        try:
            results[i] = asyncio.run(go()) == [f"/hello/{i}/{j}".encode() for j in range(10)]
        except Exception as e:
            results[i] = repr(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(10)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    out["parallel"] = [results.get(i) for i in range(10)]

async def main():
    if scenario == "parallel":
        parallel()
        return
    async with HttpClient(dest, port, identity_path=ARGS[3], request_timeout=30.0) as c:
        await globals()[scenario](c)

asyncio.run(main())
print("RESULT", json.dumps(out), flush=True)
"""


@pytest.fixture(scope="module")
def server(net):
    return net.start_server(port=8181, setup=SETUP)


def run_client(net, server, scenario, timeout=180):
    proc = net.spawn(CLIENT, server.dest_hash, 8181, scenario, f"{net.config_dir}/client-{scenario}",
                     ready=None, name=f"client-{scenario}")
    try:
        line = proc.reply("RESULT", timeout)
    finally:
        proc.stop()
    return json.loads(line.split(" ", 1)[1])


def test_sequential_large_methods_and_framings(net, server):
    out = run_client(net, server, "sequential")
    assert out == {
        "sequential_ok": True,
        "big": [1 << 20, True],
        "post": "POST p-body",
        "put": "PUT u-body",
        "delete": "DELETE ",
        "chunked": True,
        "nobody": 204,
        "unframed": [200, 0, False],
        "after unframed": "/hello/again",
    }


def test_timeout_then_next_request_gets_its_own_answer(net, server):
    out = run_client(net, server, "timeout")
    assert out == {"timeout": "Request timeout", "connected": False,
                   "after": "/hello/after", "again": "/hello/again",
                   "torn": ["No response received", True], "reconnected": "/hello/back",
                   "unknown": ["Timeout waiting for path to server", True]}


def test_ten_clients_in_parallel_never_crossed(net, server):
    out = run_client(net, server, "parallel", timeout=240)
    assert out["parallel"] == [True] * 10


def test_command_prints_head_then_body_with_exit_status(net, server):
    command = os.path.join(os.path.dirname(sys.executable), "zivane-client")
    identity = os.path.join(net.config_dir, "command-identity")

    def run(*argv):
        done = subprocess.run([command, server.dest_hash, "8181", *argv, "--identity", identity],
                              env=net.env(), capture_output=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    code, out, err = run("get", "/hello/cmd")
    assert code == 0, err
    assert out == b"HTTP/1.1 200 OK\ncontent-length: 10\n\n/hello/cmd"
    code, out, _ = run("GET", "/missing", "-r")
    assert (code, out) == (1, b"404\n")
    code, out, _ = run("POST", "/data", "--body", "b\u00e9", "-H", "X-A: 1")
    assert code == 0 and out.endswith(b"\n\nPOST b\xc3\xa9")
