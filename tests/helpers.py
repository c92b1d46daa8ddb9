"""Small things many tests share."""

import os
import signal
import subprocess
import sys
import textwrap
import threading

TESTS = os.path.dirname(os.path.abspath(__file__))

# Under AddressSanitizer (scripts/sanitize.sh preloads it) memory sizes mean nothing and
# some thread-exit paths of an uninstrumented interpreter trip the sanitizer.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def child_env(**extra):
    """This interpreter's import path for a child: the build under test, and this folder."""
    paths = [TESTS] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths), **extra)


def run_python(code, timeout=120):
    """`code` (dedented) in a child interpreter that imports what the tests import."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=child_env())


class Writer:
    """Takes what the server writes as its buffer would."""

    def __init__(self):
        self.data = b""

    def write(self, data):
        self.data += data
        return len(data)

    def flush(self):
        pass


def start_server_command(argv, env):
    """A server command as a process, and its progress lines (stderr) up to its destination
    hash; fewer lines if it has not printed that within a minute."""
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    lines, ready = [], threading.Event()

    def pump():
        for line in proc.stderr:
            lines.append(line.rstrip("\n"))
            if line.startswith("Destination hash: "):
                ready.set()

    threading.Thread(target=pump, daemon=True).start()
    ready.wait(60)
    return proc, lines


def end_process(proc):
    """SIGTERM, then SIGKILL if it has not ended after 15 seconds."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
