"""The gateway command as the console script runs it: its usage errors, and its start and
stop on an isolated Reticulum."""

import signal
import subprocess
import sys
import time

import pytest

from helpers import start_server_command
from rnsnet import Network

RUN_SCRIPT = "import sys, zivane._cli; sys.argv[0] = 'zivane-gateway'; sys.exit(zivane._cli.gateway())"


@pytest.mark.parametrize("args, message", [
    (["80", "ftp://example.org"], "invalid upstream 'ftp://example.org'"),
    (["80", "http://"], "invalid upstream 'http://'"),
    (["80", "http://host:99999"], "invalid upstream"),
    (["80", "unix:"], "a unix socket path is missing"),
    (["70000", "http://127.0.0.1:1"], "invalid port 70000"),
    (["80", "http://127.0.0.1:1", "--allow", "abc"], "invalid identity hash 'abc'"),
])
def test_usage_errors_exit_2_with_one_line(args, message):
    proc = subprocess.run([sys.executable, "-c", RUN_SCRIPT, *args], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2, proc.stderr
    [line] = proc.stderr.splitlines()
    assert line.startswith("Error: ") and message in line


def test_module_run_announces_like_the_server_and_stops_on_sigterm(tmp_path):
    with Network() as net:
        proc, lines = start_server_command(
            [sys.executable, "-m", "zivane.gateway", "8091", "http://127.0.0.1:9", "--identity",
             str(tmp_path / "id")], net.env())
        try:
            assert len(lines) >= 2, lines
            assert lines[0] == "Server listening on HTTP.8091"
            dest = lines[1].removeprefix("Destination hash: ")
            assert len(dest) == 32
            deadline = time.monotonic() + 15
            while len(lines) < 3 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert lines[2] == f"Browse http://{dest}.rns:8091/ through zivane-proxy; Ctrl-C to stop"
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(15) == 0
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(5)
