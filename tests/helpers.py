"""Small things many tests share."""

import os
import subprocess
import sys
import textwrap

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
