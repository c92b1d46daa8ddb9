"""The server command (zivane.server.main) as a process on an isolated Reticulum."""

import signal
import subprocess
import sys
import threading

import pytest

from rnsnet import Network
from zivane.types import HttpRequest, HttpResponse

RUN_MAIN = "import asyncio, zivane.server as s; asyncio.run(s.main())"


def test_command_serves_hello_world_and_stops_on_sigterm(tmp_path):
    with Network() as net:
        proc = subprocess.Popen(
            [sys.executable, "-c", RUN_MAIN, "8090", "--identity", str(tmp_path / "id")],
            env=net.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True)
        try:
            lines = []
            done = threading.Event()

            def pump():
                for line in proc.stderr:
                    lines.append(line.rstrip("\n"))
                    if line.startswith("Destination hash: "):
                        done.set()

            threading.Thread(target=pump, daemon=True).start()
            assert done.wait(30), lines
            assert lines[:2] == ["Server listening on HTTP.8090", lines[1]]
            dest_hash = lines[1].removeprefix("Destination hash: ")
            assert len(dest_hash) == 32

            peer = net.start_peer(dest_hash, 8090)
            peer.send(bytes(HttpRequest(method="DELETE", path="/any/thing")))
            response = HttpResponse.parse(peer.recv(1)[0])
            assert (response.status, response.body) == (200, b"Hello world!")
            peer.stop()

            proc.send_signal(signal.SIGTERM)
            assert proc.wait(15) == 0
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(5)


def test_bad_command_line_exits_2():
    proc = subprocess.run([sys.executable, "-c", RUN_MAIN, "not-a-port"], capture_output=True,
                          text=True, timeout=30)
    assert proc.returncode == 2 and "usage:" in proc.stderr
