"""An isolated Reticulum network on loopback for end-to-end tests and benchmarks.

Every process of one `Network` attaches to a shared Reticulum instance that a dedicated
process owns, over TCP on 127.0.0.1 with ports picked for this run. The configuration
lives in a temporary directory (no AutoInterface, no other interfaces, its own rpc_key),
so nothing touches the machine's own Reticulum or the default local socket name.

    with Network() as net:
        srv = net.start_server(port=80, setup='''
    @server.route("/hello")
    def hello(request):
        return HttpResponse(status=200, body=b"hi")
    ''')
        peer = net.start_peer(srv.dest_hash, 80)
        peer.send(b"GET /hello HTTP/1.1\\r\\n\\r\\n")
        [response] = peer.recv(1)          # raw bytes of each framed response

Pieces:
- `Network(directory=None)`: writes the configuration and starts the instance owner on
  entry; on exit stops every process it started (stdin closed, then SIGTERM, then
  SIGKILL, each bounded in time) and removes the directory it created.
- `net.config_dir`: pass it as `RNS.Reticulum(config_dir)` or `--config` to a command.
- `net.start_server(port, setup="", identity_path=None)`: a process running
  `zivane.server.HttpServer` with `setup` executed where `server`, `HttpResponse`,
  `HttpRequest` and `asyncio` are bound; returns a `Proc` whose `dest_hash` is the
  server's destination hash. The server stops when the process's stdin closes.
- `net.spawn(source, *args, ready="READY")`: any Python source run as a process that
  attaches to the network (`CONFIG` is bound to the config directory, `ARGS` to the
  arguments); waits for a stdout line starting with `ready`, whose remaining words
  become `proc.ready_words`.
- `net.start_peer(dest_hash, port)`: a process that links to the destination "HTTP" +
  port and talks through `RNS.Buffer` on receive stream 1 / send stream 0, driven by
  line commands (see `Peer`).
- `net.env()`: environment for child processes (PYTHONPATH, RNS_CONFIG_PATH).

Processes print their own output; `Proc.lines` collects their stdout lines (for
example the server's progress lines). Children's stdout is block-buffered, as on any
pipe, so lines a process does not flush show up when its buffer fills or it exits.
"""

import base64
import contextlib
import os
import queue
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

START_TIMEOUT = 30.0
STOP_TIMEOUT = 5.0


@contextlib.contextmanager
def isolated_home(path):
    """HOME set to `path` for this process and the processes it starts, then put back: the
    user's own ~/.zivane is never touched."""
    saved = os.environ.get("HOME")
    os.environ["HOME"] = str(path)
    try:
        yield path
    finally:
        if saved is None:
            del os.environ["HOME"]
        else:
            os.environ["HOME"] = saved


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


CONFIG_TEMPLATE = """\
[reticulum]
  enable_transport = No
  share_instance = Yes
  shared_instance_type = tcp
  shared_instance_port = {shared_port}
  instance_control_port = {control_port}
  rpc_key = {rpc_key}
  panic_on_interface_error = No

[logging]
  loglevel = 2

[interfaces]
"""

PRELUDE = """\
import sys, os, time, threading, base64
import RNS
CONFIG = sys.argv[1]
ARGS = sys.argv[2:]
"""

INSTANCE_SOURCE = """\
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
print("READY", flush=True)
sys.stdin.read()
"""

SERVER_SOURCE = """\
import asyncio
from zivane.server import HttpServer
from zivane.types import HttpRequest, HttpResponse
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
server = HttpServer(int(ARGS[0]), ARGS[1])
exec(compile(base64.b64decode(ARGS[2]).decode(), "<setup>", "exec"))
asyncio.run(server.start())
print("READY", server.destination_hash, flush=True)
sys.stdin.read()
asyncio.run(server.stop())
sys.stdout.flush()
"""

# Line commands, one reply line each:
#   SEND <b64>            -> SENT            (written in pieces while the channel is ready;
#                                             the rest dropped once the link is closed)
#   RECV <n> <timeout>    -> DATA <b64> ...  (the first n framed responses) or TIMEOUT <b64>
#   ROUNDTRIP <b64> <n>   -> TIMES <s,...>   (n times: send, wait for one response)
#   STATUS                -> STATUS <link status> <channel ready> <bytes unframed>
#   CLOSE                 -> CLOSED
PEER_SOURCE = """\
import threading
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
dest_hash = bytes.fromhex(ARGS[0])
port = ARGS[1]
piece = sys.modules["RNS.Buffer"].StreamDataMessage.MAX_DATA_LEN

if not RNS.Transport.has_path(dest_hash):
    RNS.Transport.request_path(dest_hash)
    deadline = time.time() + 20
    while not RNS.Transport.has_path(dest_hash) and time.time() < deadline:
        time.sleep(0.02)
identity = RNS.Identity.recall(dest_hash)
destination = RNS.Destination(identity, RNS.Destination.OUT, RNS.Destination.SINGLE, "HTTP", port)
established = threading.Event()
link = RNS.Link(destination, lambda l: established.set())
if not established.wait(20):
    print("FAILED link", flush=True)
    sys.exit(1)

incoming = bytearray()
cond = threading.Condition()

def on_ready(n):
    with cond:
        while True:
            data = buf.read(65536)
            if not data:
                break
            incoming.extend(data)
        cond.notify_all()

channel = link.get_channel()
buf = RNS.Buffer.create_bidirectional_buffer(1, 0, channel, on_ready)

def frame_length(data):
    end = data.find(b"\\r\\n\\r\\n")
    if end < 0:
        return None
    length = 0
    for line in bytes(data[:end]).split(b"\\r\\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    total = end + 4 + length
    return total if len(data) >= total else None

def take(n, timeout):
    out = []
    deadline = time.time() + timeout
    with cond:
        while len(out) < n:
            total = frame_length(incoming)
            if total is None:
                left = deadline - time.time()
                if left <= 0:
                    return out, False
                cond.wait(left)
                continue
            out.append(bytes(incoming[:total]))
            del incoming[:total]
    return out, True

# Pieces go straight to a raw writer of the send stream: RNS's buffered writer retries for
# ever when the server closes the link under it.
raw_writer = sys.modules["RNS.Buffer"].RawChannelWriter(0, channel)

def send(data):
    for i in range(0, len(data), piece):
        chunk = data[i:i + piece]
        while chunk:
            if link.status == RNS.Link.CLOSED:  # closed by the server: the rest is moot
                return
            if not channel.is_ready_to_send():
                time.sleep(0.001)
                continue
            try:
                chunk = chunk[raw_writer.write(chunk) or 0:]
            except Exception:
                return

print("READY", flush=True)
for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    cmd = words[0]
    if cmd == "SEND":
        send(base64.b64decode(words[1]))
        print("SENT", flush=True)
    elif cmd == "RECV":
        got, ok = take(int(words[1]), float(words[2]))
        tag = "DATA" if ok else "TIMEOUT"
        print(tag, *[base64.b64encode(g).decode() or "-" for g in got], flush=True)
    elif cmd == "ROUNDTRIP":
        data = base64.b64decode(words[1])
        times = []
        for _ in range(int(words[2])):
            t0 = time.perf_counter()
            send(data)
            got, ok = take(1, 60)
            if not ok:
                break
            times.append(time.perf_counter() - t0)
        print("TIMES", ",".join(f"{t:.6f}" for t in times), flush=True)
    elif cmd == "STATUS":
        print("STATUS", link.status, channel.is_ready_to_send(), len(incoming), flush=True)
    elif cmd == "CLOSE":
        link.teardown()
        print("CLOSED", flush=True)
"""


class Proc:
    """A child process with line-oriented stdout read on a background thread."""

    def __init__(self, args, env, ready, name):
        self.name = name
        self.popen = subprocess.Popen(
            args, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, bufsize=1, start_new_session=True)
        self.lines = []
        self._replies = queue.Queue()
        self._stderr = []
        self.ready_words = []
        threading.Thread(target=self._pump, daemon=True).start()
        threading.Thread(target=self._pump_err, daemon=True).start()
        if ready:
            line = self.reply(ready, START_TIMEOUT)
            self.ready_words = line.split()[1:]

    @property
    def pid(self):
        return self.popen.pid

    def _pump(self):
        for line in self.popen.stdout:
            self.lines.append(line.rstrip("\n"))
            self._replies.put(line.rstrip("\n"))
        self._replies.put(None)

    def _pump_err(self):
        for line in self.popen.stderr:
            self._stderr.append(line)

    @property
    def stderr(self):
        return "".join(self._stderr)

    def reply(self, prefix, timeout):
        """Next stdout line starting with `prefix`, skipping others (kept in `lines`)."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"{self.name}: no {prefix!r} line; stderr:\n{self.stderr}")
            try:
                line = self._replies.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise RuntimeError(f"{self.name} exited ({self.popen.poll()}); stderr:\n{self.stderr}")
            if line.startswith(prefix):
                return line

    def command(self, text, reply, timeout=60.0):
        self.popen.stdin.write(text + "\n")
        self.popen.stdin.flush()
        return self.reply(reply, timeout)

    def stop(self):
        if self.popen.poll() is None:
            try:
                self.popen.stdin.close()
            except OSError:
                pass
            try:
                self.popen.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if self.popen.poll() is not None:
                break
            try:
                os.killpg(self.popen.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.popen.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass


class Peer(Proc):
    """Raw link partner of a server: speaks bytes through RNS.Buffer."""

    def send(self, data):
        self.command("SEND " + base64.b64encode(data).decode(), "SENT")

    def recv(self, n, timeout=30.0):
        line = self.command(f"RECV {n} {timeout}", ("DATA", "TIMEOUT"), timeout + 30)
        words = line.split()
        got = [b"" if w == "-" else base64.b64decode(w) for w in words[1:]]
        if words[0] == "TIMEOUT":
            raise TimeoutError(f"{len(got)} of {n} responses")
        return got

    def roundtrip(self, data, count):
        line = self.command(f"ROUNDTRIP {base64.b64encode(data).decode()} {count}", "TIMES",
                            90 + 70 * count)
        words = line.split()
        return [float(t) for t in words[1].split(",")] if len(words) > 1 else []

    def close_link(self):
        self.command("CLOSE", "CLOSED")


class Network:
    def __init__(self, directory=None):
        self._own_dir = directory is None
        self.config_dir = directory or tempfile.mkdtemp(prefix="zivane-rns-")
        self.procs = []

    def env(self):
        env = dict(os.environ)
        build = os.environ.get("PYTHONPATH", "")
        env["PYTHONPATH"] = build
        env["RNS_CONFIG_PATH"] = self.config_dir
        # Children's stdout stays block-buffered as it would be on any pipe: readiness
        # lines are flushed explicitly, and an unbuffered server would pay a system call
        # (and wake this process) for every progress line it prints.
        env.pop("PYTHONUNBUFFERED", None)
        return env

    def __enter__(self):
        with open(os.path.join(self.config_dir, "config"), "w") as f:
            f.write(CONFIG_TEMPLATE.format(shared_port=free_port(), control_port=free_port(),
                                           rpc_key=secrets.token_hex(32)))
        try:
            self.spawn(INSTANCE_SOURCE, name="instance")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            proc.stop()
        self.procs.clear()
        if self._own_dir:
            shutil.rmtree(self.config_dir, ignore_errors=True)

    def spawn(self, source, *args, ready="READY", name="proc", cls=Proc):
        code = PRELUDE + textwrap.dedent(source)
        proc = cls([sys.executable, "-c", code, self.config_dir, *map(str, args)],
                   self.env(), None, name)
        self.procs.append(proc)
        if ready:
            line = proc.reply(ready, START_TIMEOUT)
            proc.ready_words = line.split()[1:]
        return proc

    def start_server(self, port=80, setup="", identity_path=None):
        identity_path = identity_path or os.path.join(self.config_dir, f"server-{port}-identity")
        encoded = base64.b64encode(textwrap.dedent(setup).encode()).decode()
        proc = self.spawn(SERVER_SOURCE, port, identity_path, encoded, name="server")
        proc.dest_hash = proc.ready_words[0]
        return proc

    def start_peer(self, dest_hash, port=80):
        return self.spawn(PEER_SOURCE, dest_hash, port, name="peer", cls=Peer)
