"""zivane-proxy processes on an isolated loopback Reticulum (see rnsnet.py), and a plain
HTTP client that talks to them the way browsers talk to a proxy.

    with Network() as net:
        srv = net.start_server(port=80)
        proxy = start_proxy(net)
        status, headers, body = fetch(proxy, f"http://{srv.dest_hash}.rns/hello")
"""

import glob
import http.client
import os
import signal
import socket
import sys
import time

from rnsnet import START_TIMEOUT, STOP_TIMEOUT, Proc, free_port


class ProxyProc(Proc):
    """The command under test; SIGTERM is how it is asked to stop."""

    def stop(self):
        if self.popen.poll() is None:
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(STOP_TIMEOUT)
            except Exception:
                pass
        super().stop()


# The command with some of its module's tunables set first.
TUNED = """\
import sys, zivane._cli, zivane.proxy
for name, value in eval(sys.argv[1]).items():
    setattr(zivane.proxy, name, value)
sys.argv[0:2] = ["zivane-proxy"]
sys.exit(zivane._cli.proxy())
"""


def start_proxy(net, *extra, identity_path=None, tunables=None, home=None):
    """`python -m zivane.proxy` on a free loopback port (its `port`), on the network's
    Reticulum; with `tunables`, those module globals set before it starts. HOME is `home`,
    else the network's directory: the proxy keeps what it hears under ~/.zivane."""
    port = free_port()
    identity_path = identity_path or os.path.join(net.config_dir, "proxy-identity")
    args = ["--listen", f"127.0.0.1:{port}", "--config", net.config_dir, "--identity", identity_path, *extra]
    command = ["-c", TUNED, repr(tunables)] if tunables else ["-m", "zivane.proxy"]
    env = net.env()
    env["HOME"] = str(home or net.config_dir)
    os.makedirs(env["HOME"], exist_ok=True)
    proc = ProxyProc([sys.executable, *command, *args], env, None, "proxy")
    net.procs.append(proc)
    return wait_listening(proc, port)


def wait_listening(proc, port, timeout=START_TIMEOUT):
    """`proc` once the proxy says it listens (on `port`, kept as its `port`)."""
    deadline = time.monotonic() + timeout
    while "Proxy listening on" not in proc.stderr:
        if proc.popen.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"proxy did not start ({proc.popen.poll()}):\n{proc.stderr}")
        time.sleep(0.05)
    proc.port = port
    return proc


def fetch(proxy, url, method="GET", body=None, headers=None, timeout=60):
    """One request through the proxy on a connection of its own: (status, headers, body)."""
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=timeout)
    try:
        conn.request(method, url, body=body, headers=headers or {})
        response = conn.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        conn.close()


def raw(proxy, data, timeout=30, shut=False):
    """Sends raw bytes to the proxy and returns everything it answers until it closes."""
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=timeout) as s:
        s.sendall(data)
        if shut:
            s.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


def stored_answers(home):
    """{URL key: (description, body)} of the answers the proxy's cache under `home` keeps
    (the file format of src/zivane/proxy/cache_entry.hpp)."""
    stored = {}
    for path in glob.glob(os.path.join(home, ".zivane", "cache", "*.zc")):
        with open(path, "rb") as f:
            data = f.read()
        _version, size, rest = data.split(b"\n", 2)
        meta, body = rest[:int(size)], rest[int(size):-39]
        stored[meta.split(b"\n", 1)[0].decode()] = (meta.decode("latin-1"), body)
    return stored
