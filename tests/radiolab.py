"""A radio lab: Reticulum instances joined by simulated LoRa segments, for tests and benchmarks.

Every instance is a process of its own with its own configuration directory (no shared
instance, no AutoInterface, nothing on the default local socket names). Its interfaces are
`PipeInterface`s whose command is a small bridge (this file run as `bridge`) that connects
to one relay process (this file run as `relay`) over a unix socket in the lab's directory.
The relay plays the air:

- a segment is ONE half-duplex medium shared by every node attached to it: a frame from any
  end waits until the medium is free, occupies it for len*8/bitrate seconds, and reaches the
  other ends `latency` seconds after its last bit;
- a lost frame (seeded RNG, probability `loss`) still occupies the medium but reaches nobody;
- a frame larger than the segment's `mtu` (500, as an RNode carries) is refused and counted;
- per segment and sender it counts frames, bytes, air time and lost frames, and what kind of
  Reticulum packet each frame was (announce, path request, link request, proof, keepalive,
  channel data, ...) from its header and context byte.

Reticulum keeps links over these interfaces at its network MTU of 500 bytes (link MDU 431):
PipeInterface, like RNodeInterface, sets neither AUTOCONFIGURE_MTU nor FIXED_MTU, so an
initiator signals Reticulum.MTU in its link request and a transport node strips the signalling
when forwarding onto such an interface. Each interface is configured with the segment's bit
rate, as an RNode reports its own, so Reticulum's time-outs and announce caps scale with it.

    with Lab() as lab:
        server_node, client_node = lab.pair(bitrate=9600)
        servers = lab.start_servers(server_node)        # zivane, raw Buffer, link.request
        driver = lab.start_driver(client_node)
        before = lab.air()
        driver.run(op="connect", via="zivane", dest=servers.dests["zivane"], fresh=True)
        print((lab.air() - before).describe())

Pieces:
- `Lab()`: starts the relay on entry; on exit stops every process it started (stdin closed,
  then SIGTERM, then SIGKILL), ends any bridge still running and removes its directory.
- `lab.segment(name, bitrate, latency, loss, seed, mtu)`, `lab.node(name, segments,
  transport, tcp_listen, tcp_connect)`: a medium, and an instance configuration.
- Topologies: `lab.pair(...)` (two nodes on one segment), `lab.chain(...)` (client - middle
  transport node - server, a segment per hop; starts the middle instance), `lab.tcp_pair()`
  (TCPServerInterface / TCPClientInterface on loopback, no relay).
- `lab.spawn(node, source, *args)`: Python source run as an instance process (`CONFIG`, `ARGS`
  bound as in rnsnet); `lab.start_servers(node)`: zivane's HttpServer (port 80), a raw
  RNS.Buffer server ("HTTP"/"81") and an RNS request-handler server ("HTTP"/"82") answering
  the same bytes (`CONTENT`); `lab.start_driver(node)`: a client process driven by `Driver.run`.
- `lab.air()`: an `Air` snapshot of the relay counters; `lab.wait_quiet()`: waits until no
  frame has been on any medium for a while; `lab.trace()`: frames since the last call.
"""

import base64
import heapq
import itertools
import json
import os
import random
import shlex
import shutil
import signal
import socket
import sys
import tempfile
import textwrap
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
THIS = os.path.abspath(__file__)
sys.path.insert(0, HERE)

from rnsnet import PRELUDE, Proc, free_port  # noqa: E402

HDLC_FLAG, HDLC_ESC, HDLC_MASK = 0x7E, 0x7D, 0x20


def hdlc_frame(data):
    """A frame as PipeInterface writes and reads it."""
    escaped = data.replace(b"\x7d", b"\x7d\x5d").replace(b"\x7e", b"\x7d\x5e")
    return b"\x7e" + escaped + b"\x7e"


class Deframer:
    """Frames out of a PipeInterface byte stream, fed in arbitrary pieces."""

    def __init__(self):
        self.pending = bytearray()
        self.synced = False

    def feed(self, data):
        self.pending += data
        *pieces, rest = bytes(self.pending).split(b"\x7e")
        self.pending = bytearray(rest)
        frames = []
        for piece in pieces:
            if self.synced and piece:
                frames.append(piece.replace(b"\x7d\x5e", b"\x7e").replace(b"\x7d\x5d", b"\x7d"))
            self.synced = True
        return frames


# --- what a frame is, from its Reticulum header --------------------------------------

PATH_REQUEST_HASH = bytes.fromhex("6b9f66014d9853faab220fba47d02761")  # rnstransport.path.request
LINK_DATA_KINDS = {
    0x01: "resource", 0x02: "resource-adv", 0x03: "resource-req", 0x04: "resource-hmu",
    0x06: "resource-cancel", 0x07: "resource-cancel", 0x09: "request", 0x0A: "response",
    0x0E: "channel", 0xFA: "keepalive", 0xFB: "link-identify", 0xFC: "link-close", 0xFE: "link-rtt",
}


def frame_kind(frame):
    """Kind of Reticulum packet a frame carries (no IFAC on the lab's interfaces)."""
    if len(frame) < 19:
        return "runt"
    flags = frame[0]
    header_2 = flags & 0x40
    packet_type, destination_type = flags & 0x03, (flags >> 2) & 0x03
    at = 34 if header_2 else 18
    if len(frame) <= at:
        return "runt"
    context, destination = frame[at], frame[at - 16:at]
    if packet_type == 1:
        return "path-response" if context == 0x0B else "announce"
    if packet_type == 2:
        return "link-request"
    if packet_type == 3:
        return {0xFF: "link-proof", 0x05: "resource-proof"}.get(context, "proof")
    if destination == PATH_REQUEST_HASH:
        return "path-request"
    if destination_type == 3:
        return LINK_DATA_KINDS.get(context, "link-data")
    return "data"


# --- the relay --------------------------------------------------------------------------

class Segment:
    def __init__(self, name):
        self.name = name
        self.bitrate, self.latency, self.loss, self.mtu = 9600, 0.25, 0.0, 500
        self.rng = random.Random(1)
        self.ends = {}          # node name -> socket
        self.busy_until = 0.0
        self.counts = {}        # sender -> {field: number}

    def configure(self, settings):
        for key in ("bitrate", "latency", "loss", "mtu"):
            if key in settings:
                setattr(self, key, settings[key])
        if "seed" in settings:
            self.rng = random.Random(settings["seed"])

    def count(self, sender, kind, size, airtime, lost, oversize):
        c = self.counts.setdefault(sender, {})
        fields = [("oversize", 1)] if oversize else [
            ("frames", 1), ("bytes", size), ("airtime", airtime), ("lost", int(lost)),
            (f"kind:{kind}:frames", 1), (f"kind:{kind}:bytes", size)]
        for key, value in fields:
            c[key] = c.get(key, 0) + value
        c["max_frame"] = max(c.get("max_frame", 0), size)
        c.setdefault("oversize", 0)


class Relay:
    TRACE_LIMIT = 50000

    def __init__(self, path):
        self.cond = threading.Condition()
        self.segments = {}
        self.queue = []          # (deliver at, sequence, segment, sender, frame)
        self.sequence = itertools.count()
        self.trace = []
        self.epoch = time.monotonic()
        self.last_busy = 0.0
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(64)
        threading.Thread(target=self.accept_loop, daemon=True).start()
        threading.Thread(target=self.deliver_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            conn, _ = self.listener.accept()
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        data = b""
        while b"\n" not in data:
            more = conn.recv(4096)
            if not more:
                return conn.close()
            data += more
        hello, _, data = data.partition(b"\n")
        name, node = hello.decode().split()
        with self.cond:
            segment = self.segments.setdefault(name, Segment(name))
            segment.ends[node] = conn
        self.log(f"{node} joined {name}")
        deframer = Deframer()
        try:
            while True:
                for frame in deframer.feed(data):
                    self.transmit(segment, node, frame)
                data = conn.recv(65536)
                if not data:
                    break
        except OSError:
            pass
        with self.cond:
            if segment.ends.get(node) is conn:
                del segment.ends[node]
        self.log(f"{node} left {name}")
        conn.close()

    def log(self, text):
        print(f"[relay {time.monotonic() - self.epoch:9.3f}] {text}", file=sys.stderr, flush=True)

    def transmit(self, segment, sender, frame):
        with self.cond:
            now = time.monotonic()
            size, kind = len(frame), frame_kind(frame)
            oversize = size > segment.mtu
            start = max(now, segment.busy_until)
            airtime = 0.0 if oversize else size * 8 / segment.bitrate
            lost = not oversize and segment.loss > 0 and segment.rng.random() < segment.loss
            segment.count(sender, kind, size, airtime, lost, oversize)
            if oversize:
                return
            segment.busy_until = start + airtime
            self.last_busy = max(self.last_busy, segment.busy_until)
            if len(self.trace) < self.TRACE_LIMIT:
                self.trace.append({"segment": segment.name, "from": sender, "size": size, "kind": kind,
                                   "queued": now - self.epoch, "start": start - self.epoch,
                                   "end": segment.busy_until - self.epoch, "lost": lost})
            if not lost:
                deliver_at = segment.busy_until + segment.latency
                heapq.heappush(self.queue, (deliver_at, next(self.sequence), segment, sender, frame))
                self.cond.notify()

    def deliver_loop(self):
        while True:
            with self.cond:
                while not self.queue or self.queue[0][0] > time.monotonic():
                    self.cond.wait(self.queue[0][0] - time.monotonic() if self.queue else None)
                deliver_at, _, segment, sender, frame = heapq.heappop(self.queue)
                self.last_busy = max(self.last_busy, deliver_at)
                receivers = [c for node, c in segment.ends.items() if node != sender]
            wire = hdlc_frame(frame)
            for conn in receivers:
                try:
                    conn.sendall(wire)
                except OSError:
                    pass

    def stats(self):
        with self.cond:
            idle = 0.0 if self.queue else max(0.0, time.monotonic() - self.last_busy)
            return {"idle": idle, "segments": {
                s.name: {"bitrate": s.bitrate, "latency": s.latency, "loss": s.loss, "mtu": s.mtu,
                         "ends": sorted(s.ends), "from": {k: dict(v) for k, v in s.counts.items()}}
                for s in self.segments.values()}}

    def take_trace(self):
        with self.cond:
            trace, self.trace = self.trace, []
            return trace

    def control(self, lines):
        for line in lines:
            command, _, rest = line.strip().partition(" ")
            if command == "SEGMENT":
                name, _, settings = rest.partition(" ")
                with self.cond:
                    self.segments.setdefault(name, Segment(name)).configure(json.loads(settings))
                print("OK", flush=True)
            elif command == "STATS":
                print("STATS", json.dumps(self.stats()), flush=True)
            elif command == "TRACE":
                print("TRACE", json.dumps(self.take_trace()), flush=True)


def run_relay(path):
    relay = Relay(path)
    print("READY", flush=True)
    relay.control(sys.stdin)
    # stdin closed: the lab is stopping. Closing every end lets the bridges exit.
    with relay.cond:
        for segment in relay.segments.values():
            for conn in segment.ends.values():
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
    os._exit(0)


def run_bridge(path, segment, node):
    """PipeInterface's command: its stdin/stdout joined to the relay's socket."""
    conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    conn.connect(path)
    conn.sendall(f"{segment} {node}\n".encode())

    def upstream():
        while True:
            data = os.read(0, 65536)
            if not data:
                os._exit(0)
            conn.sendall(data)

    threading.Thread(target=upstream, daemon=True).start()
    while True:
        data = conn.recv(65536)
        if not data:
            os._exit(0)
        view = memoryview(data)
        while view:
            view = view[os.write(1, view):]


# --- what the servers answer ------------------------------------------------------------

# Executed in the server process (answers), the driver (request bodies) and the caller
# (expected answers), so every side agrees on the bytes.
CONTENT = """
import hashlib, json, random
from zivane.types import HttpResponse

def make_json(size=10240, seed=5):
    # Sensor readings: compresses about 8:1 (zlib), 10:1 (bz2).
    rng = random.Random(seed)
    rows = []
    while True:
        rows.append({"id": len(rows), "station": "node-%02d" % rng.randrange(16),
                     "kind": rng.choice(["temp", "hum", "wind", "rain"]),
                     "value": round(rng.uniform(0, 40), 2), "at": 1700000000 + rng.randrange(86400),
                     "ok": rng.random() > 0.1})
        text = json.dumps({"readings": rows, "pad": ""}, indent=1)
        if len(text) > size - 40:
            break
    rows.pop()
    text = json.dumps({"readings": rows, "pad": ""}, indent=1)
    return text.replace('"pad": ""', '"pad": "' + " " * (size - len(text)) + '"').encode()

def make_body(size):
    return random.Random(size).randbytes(size)

BODIES = {
    "/json": ("application/json", make_json()),
    "/small": ("text/plain", (b"radio lab " * 20)[:200]),
    "/random": ("application/octet-stream", random.Random(7).randbytes(10240)),
}

def answer(method, path, body):
    if method == "POST":
        digest = hashlib.sha256(body or b"").hexdigest().encode()
        return HttpResponse(status=201, headers={"Content-Type": "text/plain"}, body=digest)
    if path not in BODIES:
        return HttpResponse(status=404, body=b"no such resource")
    kind, data = BODIES[path]
    return HttpResponse(status=200, headers={"Content-Type": kind}, body=data)
"""


def content():
    """The namespace of CONTENT, for expected answers on the caller's side."""
    namespace = {}
    exec(CONTENT, namespace)
    return namespace


# Byte-stream helpers shared by the raw servers and the driver.
STREAM_HELPERS = """
RawChannelWriter = sys.modules["RNS.Buffer"].RawChannelWriter
CHUNK = RawChannelWriter.MAX_CHUNK_LEN

def message_length(data):
    end = data.find(b"\\r\\n\\r\\n")
    if end < 0:
        return 0
    length = 0
    for line in bytes(data[:end]).split(b"\\r\\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    total = end + 4 + length
    return total if len(data) >= total else 0

def split_message(message):
    end = message.find(b"\\r\\n\\r\\n")
    return message[:end].split(b"\\r\\n")[0].decode().split(" "), message[end + 4:]

def drain(reader, into):
    while True:
        data = reader.read(65536)
        if not data:
            return
        into.extend(data)

def write_all(writer, channel, link, data):
    # As much as RNS's own writer takes at a time (it compresses what it can), only while
    # the channel's window is open: no busy spinning, no piece size of ours.
    view = memoryview(data)
    while view:
        while not channel.is_ready_to_send():
            if link.status == RNS.Link.CLOSED:
                raise ConnectionError("Link closed")
            time.sleep(0.005)
        taken = writer.write(bytes(view[:CHUNK])) or 0
        view = view[taken:]
        if not taken:
            time.sleep(0.005)
"""

SERVERS_SOURCE = STREAM_HELPERS + """
import asyncio
exec(CONTENT_SOURCE)
from zivane.server import HttpServer
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
server = HttpServer(80, os.path.join(ARGS[0], "zivane-server-identity"))
server.set_default_handler(lambda request: answer(request.method, request.path, request.body))
asyncio.run(server.start())
identity = RNS.Identity()

def answer_bytes(message):
    (method, path, _), body = split_message(message)
    return bytes(answer(method, path, body))

def on_raw_link(link):
    channel = link.get_channel()
    writer = RawChannelWriter(1, channel)
    pending = bytearray()
    lock = threading.Lock()

    def on_ready(_):
        with lock:
            drain(reader, pending)
            while (length := message_length(pending)):
                message = bytes(pending[:length])
                del pending[:length]
                try:
                    write_all(writer, channel, link, answer_bytes(message))
                except ConnectionError:
                    return

    reader = RNS.Buffer.create_reader(0, channel, on_ready)

def on_request(path, data, request_id, link_id, remote_identity, requested_at):
    return answer_bytes(data)

raw = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", "81")
raw.accepts_links(True)
raw.set_link_established_callback(on_raw_link)
requests = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", "82")
requests.register_request_handler("http", on_request, allow=RNS.Destination.ALLOW_ALL)
raw.announce()
requests.announce()
print("READY", server.destination_hash, raw.hexhash, requests.hexhash, flush=True)
sys.stdin.read()
asyncio.run(server.stop())
sys.stdout.flush()
"""

# Ops, one JSON object a line: RUN {"op": ..., ...} -> DONE {"ok": ..., ...}
#   connect  via dest [fresh] [timeout]  link up (after forgetting the path if fresh):
#                                        time, mtu, mdu, hops, stream piece size
#   fetch    via path [method] [body: size] [timeout] [want_body]
#                                        time, status, length, sha256 (and body, base64)
#   burst    via dest count path         `count` fresh clients at once, each connects and
#                                        fetches `path`: time until all are done, errors
#   close    via
# via: "zivane" (HttpClient to port 80), "raw" (RNS.Buffer to "HTTP"/"81"), "request"
# (link.request to "HTTP"/"82").
DRIVER_SOURCE = STREAM_HELPERS + """
import asyncio, hashlib, json
exec(CONTENT_SOURCE)
from zivane.client import HttpClient
from zivane.types import HttpRequest
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
HOME = ARGS[0]
PORTS = {"zivane": 80, "raw": "81", "request": "82"}
conns = {}

def forget_path(h):
    RNS.Transport.expire_path(h)
    deadline = time.time() + 5
    while RNS.Transport.has_path(h) and time.time() < deadline:
        time.sleep(0.02)
    with RNS.Transport.path_table_lock:
        RNS.Transport.path_table.pop(h, None)

def await_path(h, deadline):
    # As RNS's own tools do: one request, repeated only after its time-out.
    asked = 0
    while not RNS.Transport.has_path(h):
        if time.time() > deadline:
            raise TimeoutError("No path")
        if time.time() - asked > RNS.Transport.PATH_REQUEST_TIMEOUT:
            RNS.Transport.request_path(h)
            asked = time.time()
        time.sleep(0.01)

class RawConn:
    def __init__(self, dest, port, timeout):
        h = bytes.fromhex(dest)
        deadline = time.time() + timeout
        await_path(h, deadline)
        destination = RNS.Destination(RNS.Identity.recall(h), RNS.Destination.OUT,
                                      RNS.Destination.SINGLE, "HTTP", port)
        up, self.closed = threading.Event(), threading.Event()
        self.link = RNS.Link(destination, lambda l: up.set(), lambda l: (self.closed.set(), up.set()))
        up.wait(max(0, deadline - time.time()))
        if self.link.status != RNS.Link.ACTIVE:
            self.link.teardown()
            raise TimeoutError("Link not established")
        self.cond = threading.Condition()
        self.incoming = bytearray()
        self.channel = self.reader = None

    def open_stream(self):
        self.channel = self.link.get_channel()
        self.writer = RawChannelWriter(0, self.channel)
        self.reader = RNS.Buffer.create_reader(1, self.channel, self.on_ready)

    def on_ready(self, _):
        with self.cond:
            drain(self.reader, self.incoming)
            self.cond.notify_all()

    def exchange(self, data, timeout):
        if self.reader is None:
            self.open_stream()
        write_all(self.writer, self.channel, self.link, data)
        deadline = time.time() + timeout
        with self.cond:
            while not (length := message_length(self.incoming)):
                if self.closed.is_set():
                    raise ConnectionError("Link closed")
                if not self.cond.wait(min(1.0, deadline - time.time())) and time.time() > deadline:
                    raise TimeoutError("No response")
            message = bytes(self.incoming[:length])
            del self.incoming[:length]
        return message

    def request(self, data, timeout):
        done, box = threading.Event(), {}
        def answered(receipt):
            box["response"] = receipt.response
            done.set()
        def failed(receipt):
            box["error"] = "Request failed (status %s)" % receipt.status
            done.set()
        if not self.link.request("http", data, answered, failed):
            raise ConnectionError("Request not sent")
        if not done.wait(timeout):
            raise TimeoutError("No response")
        if "error" in box:
            raise ConnectionError(box["error"])
        return box["response"]

    def close(self):
        self.link.teardown()

def link_facts(link, dest):
    return {"mtu": link.get_mtu(), "mdu": link.get_mdu(), "hops": RNS.Transport.hops_to(bytes.fromhex(dest)),
            "stream_piece": sys.modules["RNS.Buffer"].StreamDataMessage.MAX_DATA_LEN,
            "channel_mdu": link.get_channel().mdu}

async def close(via):
    conn = conns.pop(via, None)
    if conn is None:
        return
    if via == "zivane":
        await conn.close()
    else:
        conn.close()

async def op_connect(op):
    via, dest = op["via"], op["dest"]
    await close(via)
    if op.get("fresh"):
        forget_path(bytes.fromhex(dest))
    started = time.perf_counter()
    if via == "zivane":
        client = HttpClient(dest, 80, identity_path=os.path.join(HOME, "zivane-client"))
        await client.connect()
        conns[via], link = client, client._link
    else:
        conn = await asyncio.to_thread(RawConn, dest, PORTS[via], op.get("timeout", 60))
        conns[via], link = conn, conn.link
    elapsed = time.perf_counter() - started
    return {"ok": True, "time": elapsed, **link_facts(link, dest)}

def request_bytes(op):
    body = make_body(op["body"]) if op.get("body") else None
    return op.get("method", "GET"), body, bytes(HttpRequest(method=op.get("method", "GET"),
                                                            path=op["path"], headers={}, body=body))

async def op_fetch(op):
    via, (method, body, data) = op["via"], request_bytes(op)
    conn = conns[via]
    timeout = op.get("timeout", 120)
    started = time.perf_counter()
    if via == "zivane":
        response = await conn.request(op["path"], method, None, body)
        status, payload = response.status, response.body or b""
    else:
        exchange = conn.exchange if via == "raw" else conn.request
        message = await asyncio.to_thread(exchange, data, timeout)
        (_, status, *_), payload = split_message(message)
        status = int(status)
    elapsed = time.perf_counter() - started
    result = {"ok": True, "time": elapsed, "status": status, "length": len(payload),
              "sha256": hashlib.sha256(payload).hexdigest(), "request_bytes": len(data)}
    if op.get("want_body"):
        result["body"] = base64.b64encode(payload).decode()
    return result

async def op_burst(op):
    via, dest, path = op["via"], op["dest"], op["path"]
    forget_path(bytes.fromhex(dest))

    async def zivane_one(i):
        async with HttpClient(dest, 80, identity_path=os.path.join(HOME, f"zivane-client-{i}")) as client:
            return (await client.get(path)).status

    def raw_one(i):
        conn = RawConn(dest, PORTS[via], op.get("timeout", 60))
        try:
            (_, status, *_), _ = split_message(conn.exchange(request_bytes(op)[2], 60))
            return int(status)
        finally:
            conn.close()

    started = time.perf_counter()
    jobs = [zivane_one(i) if via == "zivane" else asyncio.to_thread(raw_one, i) for i in range(op["count"])]
    results = await asyncio.gather(*jobs, return_exceptions=True)
    elapsed = time.perf_counter() - started
    errors = [describe(r) for r in results if isinstance(r, BaseException)]
    return {"ok": not errors, "time": elapsed, "statuses": [r for r in results if isinstance(r, int)],
            "error": "; ".join(errors) or None}

async def op_close(op):
    await close(op["via"])
    return {"ok": True}

def describe(error):
    return str(error) or type(error).__name__

async def main():
    loop = asyncio.get_running_loop()
    print("READY", flush=True)
    while (line := await loop.run_in_executor(None, sys.stdin.readline)):
        op = json.loads(line.partition(" ")[2])
        started = time.perf_counter()
        try:
            result = await globals()["op_" + op["op"]](op)
        except Exception as e:
            result = {"ok": False, "error": describe(e), "time": time.perf_counter() - started}
        print("DONE", json.dumps(result), flush=True)
    for via in list(conns):
        await close(via)

asyncio.run(main())
sys.stdout.flush()
"""

INSTANCE_SOURCE = """
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
print("READY", flush=True)
sys.stdin.read()
"""


# --- the harness --------------------------------------------------------------------------

NODE_CONFIG = """\
[reticulum]
  enable_transport = {transport}
  share_instance = No
  panic_on_interface_error = No

[logging]
  loglevel = 2

[interfaces]
{interfaces}"""

PIPE_INTERFACE = """\
  [[{segment}]]
    type = PipeInterface
    enabled = Yes
    command = {command}
    respawn_delay = 1
    bitrate = {bitrate}
"""

TCP_SERVER_INTERFACE = """\
  [[tcp-server]]
    type = TCPServerInterface
    enabled = Yes
    listen_ip = 127.0.0.1
    listen_port = {port}
"""

TCP_CLIENT_INTERFACE = """\
  [[tcp-client]]
    type = TCPClientInterface
    enabled = Yes
    target_host = 127.0.0.1
    target_port = {port}
"""


class Node:
    def __init__(self, name, config_dir):
        self.name = name
        self.config_dir = config_dir


class Air:
    """Relay counters at one moment; `after - before` is what went on the air between."""

    def __init__(self, counts):
        self.counts = counts  # {(segment, sender, field): number}

    @classmethod
    def from_stats(cls, stats):
        counts = {}
        for segment, info in stats["segments"].items():
            for sender, fields in info["from"].items():
                for field, value in fields.items():
                    counts[(segment, sender, field)] = value
        return cls(counts)

    def __sub__(self, other):
        keys = set(self.counts) | set(other.counts)
        return Air({k: self.counts.get(k, 0) - other.counts.get(k, 0) for k in keys
                    if k[2] != "max_frame" and self.counts.get(k, 0) != other.counts.get(k, 0)})

    def total(self, field, segment=None, sender=None):
        return sum(v for (s, n, f), v in self.counts.items()
                   if f == field and segment in (None, s) and sender in (None, n))

    @property
    def bytes(self):
        return self.total("bytes")

    @property
    def frames(self):
        return self.total("frames")

    @property
    def airtime(self):
        return self.total("airtime")

    def max_frame(self):
        return max([v for (_, _, f), v in self.counts.items() if f == "max_frame"], default=0)

    def kinds(self):
        """{kind: (frames, bytes)}, most bytes first."""
        out = {}
        for (_, _, field), value in self.counts.items():
            if field.startswith("kind:"):
                _, kind, what = field.split(":")
                frames, size = out.get(kind, (0, 0))
                out[kind] = (frames + value, size) if what == "frames" else (frames, size + value)
        return dict(sorted(out.items(), key=lambda kv: -kv[1][1]))

    def count(self, kind):
        return self.kinds().get(kind, (0, 0))[0]

    def describe(self):
        return ", ".join(f"{kind} {frames}" for kind, (frames, _) in self.kinds().items())


class Servers(Proc):
    """zivane (port 80), raw Buffer ("HTTP"/"81") and request API ("HTTP"/"82") servers."""

    @property
    def dests(self):
        return dict(zip(("zivane", "raw", "request"), self.ready_words))


class Driver(Proc):
    def run(self, timeout=300.0, **op):
        line = self.command("RUN " + json.dumps(op), "DONE", timeout)
        return json.loads(line.partition(" ")[2])


class Lab:
    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="zivane-radio-")
        self.socket_path = os.path.join(self.directory, "relay.sock")
        self.procs = []
        self.nodes = {}
        self.segments = {}
        self.relay = None

    def env(self, node=None):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.environ.get("PYTHONPATH", "")
        env.pop("PYTHONUNBUFFERED", None)
        if node:
            env["RNS_CONFIG_PATH"] = node.config_dir
        return env

    def __enter__(self):
        try:
            self.relay = Proc([sys.executable, THIS, "relay", self.socket_path], self.env(), "READY", "relay")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            proc.stop()
        self.procs.clear()
        if self.relay:
            self.relay.stop()
        self.end_leftovers()
        shutil.rmtree(self.directory, ignore_errors=True)

    def leftovers(self):
        """Pids of processes whose command line names this lab's directory (bridges)."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if self.directory.encode() in f.read():
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def end_leftovers(self, grace=3.0):
        deadline = time.monotonic() + grace
        while (pids := self.leftovers()) and time.monotonic() < deadline:
            time.sleep(0.05)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    # --- media and nodes ---

    def segment(self, name, bitrate=9600, latency=0.25, loss=0.0, seed=1, mtu=500):
        settings = {"bitrate": bitrate, "latency": latency, "loss": loss, "seed": seed, "mtu": mtu}
        self.segments[name] = settings
        self.relay.command(f"SEGMENT {name} {json.dumps(settings)}", "OK", 10)

    def node(self, name, segments=(), transport=False, tcp_listen=None, tcp_connect=None):
        config_dir = os.path.join(self.directory, name)
        os.makedirs(config_dir)
        interfaces = [PIPE_INTERFACE.format(segment=s, bitrate=self.segments[s]["bitrate"],
                                            command=self.bridge_command(s, name)) for s in segments]
        if tcp_listen:
            interfaces.append(TCP_SERVER_INTERFACE.format(port=tcp_listen))
        if tcp_connect:
            interfaces.append(TCP_CLIENT_INTERFACE.format(port=tcp_connect))
        with open(os.path.join(config_dir, "config"), "w") as f:
            f.write(NODE_CONFIG.format(transport="Yes" if transport else "No", interfaces="".join(interfaces)))
        self.nodes[name] = node = Node(name, config_dir)
        return node

    def bridge_command(self, segment, node):
        command = shlex.join([sys.executable, THIS, "bridge", self.socket_path, segment, node])
        if any(c in command for c in ",\"'#"):
            raise ValueError(f"lab paths must not need quoting in a configuration file: {command}")
        return command

    def pair(self, bitrate=9600, latency=0.25, loss=0.0, seed=1):
        """Server and client nodes on one segment, "air"."""
        self.segment("air", bitrate, latency, loss, seed)
        return self.node("server", ["air"]), self.node("client", ["air"])

    def chain(self, bitrate=9600, latency=0.25, loss=0.0, seed=1):
        """Client - "near" - middle transport node - "far" - server; starts the middle."""
        self.segment("near", bitrate, latency, loss, seed)
        self.segment("far", bitrate, latency, loss, seed + 1)
        self.start_instance(self.node("middle", ["near", "far"], transport=True))
        return self.node("server", ["far"]), self.node("client", ["near"])

    def tcp_pair(self):
        port = free_port()
        return self.node("server", tcp_listen=port), self.node("client", tcp_connect=port)

    # --- processes ---

    def spawn(self, node, source, *args, ready="READY", name=None, cls=Proc):
        code = PRELUDE + f"CONTENT_SOURCE = {CONTENT!r}\n" + textwrap.dedent(source)
        proc = cls([sys.executable, "-c", code, node.config_dir, *map(str, args)], self.env(node), None,
                   name or node.name)
        self.procs.append(proc)
        if ready:
            line = proc.reply(ready, 60)
            proc.ready_words = line.split()[1:]
        return proc

    def start_instance(self, node):
        return self.spawn(node, INSTANCE_SOURCE)

    def start_servers(self, node):
        return self.spawn(node, SERVERS_SOURCE, node.config_dir, cls=Servers, name=f"{node.name}-servers")

    def start_driver(self, node):
        return self.spawn(node, DRIVER_SOURCE, node.config_dir, cls=Driver, name=f"{node.name}-driver")

    # --- the air ---

    def stats(self):
        return json.loads(self.relay.command("STATS", "STATS", 10).partition(" ")[2])

    def air(self):
        return Air.from_stats(self.stats())

    def trace(self):
        return json.loads(self.relay.command("TRACE", "TRACE", 10).partition(" ")[2])

    def wait_quiet(self, quiet=None, timeout=90.0):
        """Waits until no frame has been on any medium for `quiet` seconds (by default two
        latencies plus one full packet at the slowest bit rate). False on time-out."""
        if quiet is None:
            slowest = min((s["bitrate"] for s in self.segments.values()), default=1e9)
            latency = max((s["latency"] for s in self.segments.values()), default=0)
            quiet = 2 * latency + 500 * 8 / slowest + 0.2
        deadline = time.monotonic() + timeout
        while True:
            idle = self.stats()["idle"]
            if idle >= quiet:
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(min(quiet - idle, 0.5))


if __name__ == "__main__":
    role = sys.argv[1]
    if role == "relay":
        run_relay(sys.argv[2])
    elif role == "bridge":
        run_bridge(*sys.argv[2:5])
    else:
        sys.exit(f"unknown role {role!r}")
