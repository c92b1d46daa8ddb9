"""The type stubs describe the runtime exactly, and catch wrong calls in user code."""

import os
import re
import subprocess
import sys

import pytest

from helpers import TESTS

TYPING = os.path.join(TESTS, "typing")

pytest.importorskip("mypy")


def run(*args, cwd=TYPING):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def test_stubtest_finds_no_difference_from_the_runtime():
    # No allow-list: every public name of every module has its exact runtime signature.
    result = run("mypy.stubtest", "zivane")
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_program_checks_clean_and_wrong_calls_are_reported(tmp_path):
    cache = ["--cache-dir", str(tmp_path / "cache"), "--strict", "--no-error-summary"]
    good = run("mypy", *cache, "user_program.py", "web_program.py")
    assert good.returncode == 0, good.stdout + good.stderr

    bad = run("mypy", *cache, "wrong_calls.py")
    with open(os.path.join(TYPING, "wrong_calls.py")) as f:
        expected = {n for n, line in enumerate(f, 1) if line.rstrip().endswith("# wrong")}
    reported = {int(m.group(1)) for m in re.finditer(r"wrong_calls\.py:(\d+): error", bad.stdout)}
    assert reported == expected, bad.stdout
