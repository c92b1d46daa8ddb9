"""The README as a new user follows it: its Python programs run as pasted, over the
Reticulum configurations it shows (a TCP pair on loopback, a shared instance), and pass
mypy --strict with the installed stubs and the mypy configuration it shows; every bench
script it names imports, and the load bench leaves no thread; scripts/demo_site.sh keeps
its proxy serving until Ctrl-C, and stops by itself without a terminal."""

import http.client
import os
import pty
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from rnsnet import REPO, STOP_TIMEOUT, Proc, free_port

README = os.path.join(REPO, "README.md")
BIN = os.path.dirname(sys.executable)

# Each program of the README that serves, with the programs that ask it and what they print.
ASKED_BY = {
    "server.py": {
        "client.py": r"200 b'hi'",
        "many.py": r"\['hi'(, 'hi'){9}\]",
    },
    "app.py": {
        "web_client.py": r"httpx: GET /items/1 for [0-9a-f]{32}\n"
                         r"requests: GET /items/1 for link-[0-9a-f]{32}\n"
                         r"AsyncHttpxTransport: 10 answers in [0-9.]+ s",
    },
}

def readme():
    with open(README, encoding="utf-8") as f:
        return f.read()


def fenced(language):
    """{file name: text} of the README's ```language blocks; each starts with `# <file name>`."""
    blocks = {}
    for body in re.findall(rf"^```{language}\n(.*?)^```$", readme(), re.M | re.S):
        first = body.split("\n", 1)[0]
        assert first.startswith("# "), f"a ```{language} block does not start with its file name: {first!r}"
        blocks[first[2:].strip()] = body
    return blocks


@pytest.fixture(scope="module")
def workspace(tmp_path_factory):
    """The README's Python files and Reticulum configurations in a folder of their own, with
    a port and an instance name picked for this run in place of the README's."""
    root = tmp_path_factory.mktemp("readme")
    for name, text in fenced("python").items():
        (root / name).write_text(text)
    port, instance = str(free_port()), f"zivane-readme-{os.getpid()}"
    for name, text in fenced("ini").items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text.replace("4242", port).replace("zivane-demo", instance))
    (root / "home").mkdir()
    return root


def user_env(root):
    """A user's shell: the package's commands on the path, a home of its own (so
    ~/.zivane/identity lands in the test's folder), no Reticulum configuration implied."""
    env = dict(os.environ, HOME=str(root / "home"), PATH=BIN + os.pathsep + os.environ["PATH"])
    env.pop("RNS_CONFIG_PATH", None)
    return env


def start_program(root, name, config):
    proc = Proc([sys.executable, str(root / name), str(root / config)], user_env(root),
                "Destination hash:", name)
    proc.dest_hash = proc.ready_words[-1]
    return proc


def run_program(root, name, config, dest_hash):
    done = subprocess.run([sys.executable, str(root / name), str(root / config), dest_hash],
                          env=user_env(root), capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, f"{name}: {done.returncode}\n{done.stdout}\n{done.stderr}"
    return done.stdout.strip()


def interrupt(proc):
    """Ctrl-C, as a terminal sends it: the program must end by itself, with status 0."""
    try:
        proc.popen.send_signal(signal.SIGINT)
        status = proc.popen.wait(STOP_TIMEOUT * 6)
        assert status == 0, f"{proc.name} after Ctrl-C: {status}\n{proc.stderr}"
    finally:
        proc.stop()


def test_every_python_block_is_run_here():
    asked = {name for clients in ASKED_BY.values() for name in clients}
    assert set(fenced("python")) == set(ASKED_BY) | asked


@pytest.mark.parametrize("server", sorted(ASKED_BY))
def test_programs_answer_each_other_over_the_tcp_pair(workspace, server):
    proc = start_program(workspace, server, "rns-a")
    try:
        for client, expected in ASKED_BY[server].items():
            out = run_program(workspace, client, "rns-b", proc.dest_hash)
            assert re.fullmatch(expected, out), f"{client} printed:\n{out}"
    finally:
        interrupt(proc)


def test_programs_answer_each_other_over_the_shared_instance(workspace):
    # The first program started on the shared configuration owns the instance.
    proc = start_program(workspace, "server.py", "rns-shared")
    try:
        assert run_program(workspace, "client.py", "rns-shared", proc.dest_hash) == "200 b'hi'"
    finally:
        interrupt(proc)


@pytest.fixture(scope="module")
def mypy_errors(workspace):
    """mypy --strict's complaints about each Python block, under the README's mypy.ini."""
    names = sorted(fenced("python"))
    assert "mypy.ini" in fenced("ini")
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--cache-dir",
                           str(workspace / ".mypy_cache"), "--no-error-summary", *names],
                          cwd=workspace, env=user_env(workspace), capture_output=True, text=True, timeout=600)
    assert done.returncode in (0, 1), done.stdout + done.stderr  # 2: mypy could not check at all
    errors = {name: [] for name in names}
    for line in done.stdout.splitlines():
        errors.setdefault(line.split(":", 1)[0], []).append(line)
    return errors


@pytest.mark.parametrize("name", sorted(fenced("python")))
def test_mypy_strict_accepts_each_python_block(mypy_errors, name):
    errors = mypy_errors[name]
    assert not errors, "\n".join(errors)


IMPORT_EACH = """\
import importlib.util, os, sys, traceback
failed = 0
for path in sys.argv[1:]:
    name = "bench_" + os.path.basename(path)[:-3]
    try:
        spec = importlib.util.spec_from_file_location(name, path)
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except BaseException:
        failed += 1
        print(path, traceback.format_exc())
sys.exit(failed)
"""


def test_every_bench_script_the_readme_names_imports():
    scripts = sorted(set(re.findall(r"\bbench/\w+\.py\b", readme())))
    assert "bench/load.py" in scripts
    done = subprocess.run([sys.executable, "-c", IMPORT_EACH, *scripts], cwd=REPO,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_load_bench_leaves_no_thread_in_the_server():
    done = subprocess.run([sys.executable, "bench/load.py", "--clients", "2", "--requests", "5"], cwd=REPO,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    counts = re.search(r"threads \(Python/OS\) (\d+)/(\d+) -> (\d+)/(\d+)", done.stdout)
    assert counts, done.stdout
    before_py, before_os, after_py, after_os = map(int, counts.groups())
    assert after_py <= before_py and after_os <= before_os, done.stdout


# ----- scripts/demo_site.sh -------------------------------------------------------------

PAGE_TEXT = "Hello from a web server published over Reticulum"
BROWSER_LINE = re.compile(
    r"--- in a browser: chromium --proxy-server=http://127\.0\.0\.1:(\d+) http://([0-9a-f]{32})\.rns/")


def demo_env():
    env = dict(os.environ)
    env.pop("ZIVANE_DEMO_ONCE", None)
    return env


def test_demo_site_without_a_terminal_prints_the_page_and_stops():
    done = subprocess.run(["bash", "scripts/demo_site.sh"], cwd=REPO, env=demo_env(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert PAGE_TEXT in done.stdout and BROWSER_LINE.search(done.stdout), done.stdout


def lines_of(stream):
    """A queue of the stream's lines, read on a thread of its own (None at its end)."""
    lines = queue.Queue()

    def pump():
        for line in stream:
            lines.put(line)
        lines.put(None)
    threading.Thread(target=pump, daemon=True).start()
    return lines


def read_until(lines, marker, seen, timeout):
    deadline = time.monotonic() + timeout
    while marker not in "".join(seen):
        try:
            line = lines.get(timeout=max(0.1, deadline - time.monotonic()))
        except queue.Empty:
            pytest.fail(f"no {marker!r} within {timeout} s:\n" + "".join(seen))
        assert line is not None, "the demo ended:\n" + "".join(seen)
        seen.append(line)


def test_demo_site_on_a_terminal_serves_its_browser_command_until_ctrl_c():
    terminal, its_end = pty.openpty()
    demo = subprocess.Popen(["bash", "scripts/demo_site.sh"], cwd=REPO, env=demo_env(), stdin=its_end,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    os.close(its_end)
    seen = []
    try:
        lines = lines_of(demo.stdout)
        read_until(lines, "--- serving until Ctrl-C", seen, timeout=300)
        port, dest_hash = BROWSER_LINE.search("".join(seen)).groups()
        # what the printed browser command does: the page through the proxy, a while later
        time.sleep(2)
        conn = http.client.HTTPConnection("127.0.0.1", int(port), timeout=60)
        conn.request("GET", f"http://{dest_hash}.rns/")
        response = conn.getresponse()
        assert (response.status, PAGE_TEXT in response.read().decode()) == (200, True)
        conn.close()

        os.killpg(demo.pid, signal.SIGINT)  # Ctrl-C reaches the terminal's whole process group
        assert demo.wait(120) == 0, "".join(seen)
        with pytest.raises(ProcessLookupError):  # nothing of the demo is left running
            os.killpg(demo.pid, 0)
    finally:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(demo.pid, sig)
                time.sleep(1)
            except ProcessLookupError:
                break
        demo.wait(30)
        os.close(terminal)
