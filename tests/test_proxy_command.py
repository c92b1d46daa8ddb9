"""The zivane-proxy command line: what it refuses before anything starts, and how it ends."""

import socket
import subprocess
import sys

import pytest

from proxynet import start_proxy
from rnsnet import Network

COMMAND = [sys.executable, "-m", "zivane.proxy"]


@pytest.mark.parametrize("listen", ["8118", "localhost:", ":8118", "127.0.0.1:70000", "127.0.0.1:80a"])
def test_unusable_listen_address_is_a_usage_error(listen):
    proc = subprocess.run([*COMMAND, "--listen", listen], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr.startswith("Error: invalid --listen") and "Traceback" not in proc.stderr


def test_port_in_use_fails_with_one_line_and_sigterm_ends_with_status_0(tmp_path):
    with Network() as net, socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        proc = subprocess.run([*COMMAND, "--listen", f"127.0.0.1:{port}", "--identity", str(tmp_path / "id")],
                              capture_output=True, text=True, timeout=60, env=net.env())
        assert proc.returncode == 1, proc.stderr
        assert proc.stderr.startswith(f"Error: cannot listen on 127.0.0.1:{port}")

        proxy = start_proxy(net, "--identify", identity_path=str(tmp_path / "id"))
        proxy.stop()
        assert proxy.popen.returncode == 0
        lines = proxy.stderr.splitlines()
        assert lines[0] == f"Proxy listening on http://127.0.0.1:{proxy.port}"
        assert lines[1].startswith("Identity hash: ") and len(lines[1].split()[-1]) == 32
