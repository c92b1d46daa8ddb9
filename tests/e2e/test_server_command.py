"""The server command as a process on an isolated Reticulum, started the three ways a
user can: the console script, `python -m zivane.server`, and `main()` run by hand."""

import os
import signal
import subprocess
import sys

import pytest

from helpers import end_process, start_server_command

SCRIPT = os.path.join(os.path.dirname(sys.executable), "zivane-server")
RUN_MAIN = "import asyncio, zivane.server as s; asyncio.run(s.main())"
RUNNERS = {
    "console script": [SCRIPT],
    "python -m": [sys.executable, "-m", "zivane.server"],
    "main by hand": [sys.executable, "-c", RUN_MAIN],
}
PORTS = {"console script": 8075, "python -m": 8074, "main by hand": 8090}


@pytest.mark.parametrize("runner", RUNNERS)
def test_serves_hello_world_and_stops_on_sigterm(net, tmp_path, runner):
    if not os.path.exists(RUNNERS[runner][0]):
        pytest.skip("console scripts are not installed")
    port = str(PORTS[runner])
    proc, lines = start_server_command(RUNNERS[runner] + [port, "--identity", str(tmp_path / "id")], net.env())
    try:
        assert len(lines) >= 2, lines
        assert lines[0] == f"Server listening on HTTP.{port}"
        dest = lines[1].removeprefix("Destination hash: ")
        assert len(dest) == 32 and int(dest, 16) >= 0
        # the default answer, whatever the method and path
        done = subprocess.run([sys.executable, "-m", "zivane.client", dest, port, "delete", "/any/thing",
                               "--identity", os.path.join(net.config_dir, "client-identity")],
                              env=net.env(), capture_output=True, timeout=120)
        assert (done.returncode, done.stdout, done.stderr) == (
            0, b"HTTP/1.1 200 OK\ncontent-length: 12\n\nHello world!", b"")
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(15) == 0
    finally:
        end_process(proc)


def test_bad_command_line_exits_2():
    proc = subprocess.run([sys.executable, "-c", RUN_MAIN, "not-a-port"], capture_output=True,
                          text=True, timeout=30)
    assert proc.returncode == 2 and "usage:" in proc.stderr
