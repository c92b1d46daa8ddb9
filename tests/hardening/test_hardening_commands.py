"""The commands on bad command lines and configurations, run as `python -m`, and run by
hand under asyncio.run while attached to a shared Reticulum instance."""

import asyncio
import os
import signal
import subprocess
import sys
import time

import pytest

import zivane.server as server_mod
from fakes.server import ServerRNS

BIN = os.path.dirname(sys.executable)
SCRIPTS = {name: os.path.join(BIN, name) for name in ("zivane-server", "zivane-client", "zivane-gateway", "zivane-proxy")}
HASH = "00" * 16

# A standalone Reticulum with no interfaces: should a command get as far as starting one,
# it touches nothing on this machine.
QUIET_CONFIG = """\
[reticulum]
  enable_transport = No
  share_instance = No
  panic_on_interface_error = No
[logging]
  loglevel = 2
[interfaces]
"""


def runners(command):
    """The console script, when installed, and `python -m` for the same command."""
    module = "zivane." + command.removeprefix("zivane-")
    found = [[sys.executable, "-m", module]]
    if os.path.exists(SCRIPTS[command]):
        found.insert(0, [SCRIPTS[command]])
    return found


@pytest.fixture
def quiet_env(tmp_path):
    config = tmp_path / "rns"
    config.mkdir()
    (config / "config").write_text(QUIET_CONFIG)
    env = dict(os.environ, RNS_CONFIG_PATH=str(config), HOME=str(tmp_path))
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    return env


def run(argv, env, timeout=20):
    done = subprocess.run(argv, env=env, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr


class TestCommandLineErrors:
    @pytest.mark.parametrize("runner", runners("zivane-client"))
    @pytest.mark.parametrize("destination", ["zz" * 16, "abc", "00" * 15, "00" * 17])
    def test_client_destination_hash(self, quiet_env, runner, destination):
        expected = f"Error: invalid destination hash '{destination}': expected 32 hexadecimal digits\n"
        assert run(runner + [destination, "80"], quiet_env) == (2, b"", expected.encode())

    @pytest.mark.parametrize("command, argv", [
        ("zivane-client", [HASH, "65536"]),
        ("zivane-client", [HASH, "-1"]),
        ("zivane-server", ["70000"]),
    ])
    def test_port_out_of_range(self, quiet_env, command, argv):
        port = argv[-1]
        for runner in runners(command):
            expected = f"Error: invalid port {port}: expected a number from 0 to 65535\n"
            assert run(runner + argv, quiet_env) == (2, b"", expected.encode()), runner

    @pytest.mark.parametrize("command, argv", [("zivane-client", [HASH, "80"]), ("zivane-server", ["80"])])
    def test_configuration_that_cannot_be_used(self, quiet_env, tmp_path, command, argv):
        not_a_dir = tmp_path / "file"
        not_a_dir.write_text("x")
        broken = tmp_path / "broken"
        broken.mkdir()
        (broken / "config").write_text("[reticulum]\n  share_instance = No\n[[unclosed\n")
        for runner in runners(command):
            code, out, err = run(runner + argv + ["--config", str(not_a_dir)], quiet_env)
            assert (code, out) == (1, b"") and err == (
                f"Error: the Reticulum configuration directory '{not_a_dir}' is not a directory\n".encode())
            env = dict(quiet_env, RNS_CONFIG_PATH=str(broken))  # the environment is checked too
            code, out, err = run(runner + argv, env)
            assert (code, out) == (1, b""), (runner, out)
            assert err.startswith(f"Error: could not parse the Reticulum configuration {broken}/config: ".encode())
            assert err.count(b"\n") == 1 and b"unclosed" in err

    @pytest.mark.parametrize("command, argv", [
        ("zivane-client", [HASH, "80"]), ("zivane-server", ["80"]),
        ("zivane-gateway", ["80", "http://127.0.0.1:9"]), ("zivane-proxy", []),
    ])
    def test_configuration_directory_that_does_not_exist(self, quiet_env, tmp_path, command, argv):
        """A mistyped directory is an error, never a new default configuration (which would
        join the local network)."""
        typo = tmp_path / "typo"
        for runner in runners(command):
            code, out, err = run(runner + argv + ["--config", str(typo)], quiet_env)
            assert (code, out) == (1, b""), (runner, err)
            assert err == f"Error: the Reticulum configuration directory '{typo}' does not exist\n".encode()
            env = dict(quiet_env, RNS_CONFIG_PATH=str(typo))
            assert run(runner + argv, env)[0] == 1
            assert not typo.exists()


class TestInterrupt:
    @pytest.mark.parametrize("runner", runners("zivane-client"))
    def test_ctrl_c_while_the_client_waits_exits_130(self, quiet_env, tmp_path, runner):
        """An interrupted request is never reported as a success: status 130, at once."""
        proc = subprocess.Popen(runner + [HASH, "80", "--identity", str(tmp_path / "id")], env=quiet_env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 20
            while not (tmp_path / "id").exists() and time.monotonic() < deadline:
                time.sleep(0.05)  # the identity is made once Reticulum has started
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
            out, _ = proc.communicate(timeout=15)
        finally:
            proc.kill()
        assert (proc.returncode, out) == (130, b"")


class TestModuleEntryPoints:
    @pytest.mark.parametrize("command, argv, status, stream, start", [
        ("zivane-server", [], 2, 2, b"usage: zivane-server "),
        ("zivane-server", ["--help"], 0, 1, b"usage: zivane-server "),
        ("zivane-client", [HASH], 2, 2, b"usage: zivane-client "),
        ("zivane-client", ["zz", "1"], 2, 2, b"Error: invalid destination hash"),
    ])
    def test_same_output_and_status_as_the_console_script(self, quiet_env, command, argv, status, stream, start):
        module = run([sys.executable, "-m", "zivane." + command.removeprefix("zivane-")] + argv, quiet_env)
        assert module[0] == status and module[stream].startswith(start), module
        if os.path.exists(SCRIPTS[command]):
            assert module == run([SCRIPTS[command]] + argv, quiet_env)

    def test_modules_that_are_no_programs_say_so(self, quiet_env):
        code, _, err = run([sys.executable, "-m", "zivane.types"], quiet_env)
        assert code == 1 and err.endswith(b"No code object available for zivane.types\n")


# ----- attached to a shared instance ---------------------------------------------------------

ROUTES = """
@server.route("/missing")
def missing(request):
    return HttpResponse(status=404, body=b"nothing here")
"""


@pytest.fixture(scope="module")
def route_server(net):
    return net.start_server(port=8073, setup=ROUTES).dest_hash


def client_identity(net):
    return ["--identity", os.path.join(net.config_dir, "client-identity")]


def test_client_main_run_by_hand_keeps_output_and_status(net, route_server):
    """RNS ends an attached process at interpreter exit from its own thread (os._exit(0))."""
    source = "import asyncio, zivane.client as c; asyncio.run(c.main())"
    outcomes = []
    for _ in range(8):
        done = subprocess.run([sys.executable, "-c", source, route_server, "8073", "GET", "/missing", "-r",
                               *client_identity(net)], env=net.env(), capture_output=True, timeout=120)
        outcomes.append((done.returncode, done.stdout))
    assert outcomes == [(1, b"404\n")] * 8


# ----- the server command's wait --------------------------------------------------------------

def test_server_main_treats_an_interrupt_in_the_running_check_as_a_stop(monkeypatch):
    events = []

    class Interrupting:
        def __bool__(self):
            raise KeyboardInterrupt

    class Server(server_mod.HttpServer):
        async def start(self):
            events.append("start")

        async def stop(self):
            events.append("stop")

        @property
        def destination_hash(self):
            return "ab" * 16

        @property
        def is_running(self):
            return Interrupting()

    rns = ServerRNS()
    monkeypatch.setattr(server_mod, "RNS", rns)
    monkeypatch.setattr(server_mod, "HttpServer", Server)
    monkeypatch.setattr(sys, "argv", ["zivane-server", "80"])
    monkeypatch.delenv("RNS_CONFIG_PATH", raising=False)
    try:
        result = asyncio.run(server_mod.main())
    except KeyboardInterrupt:
        pytest.fail("the interrupt escaped the wait")
    assert result is None and events == ["start", "stop"]
    assert rns.reticulum_calls == [(None, rns.LOG_WARNING)]


class TestServedDestinations:
    def start(self, argv, env):
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        lines = []
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            line = proc.stderr.readline().decode()
            if not line:
                break
            lines.append(line)
            if line.startswith("Destination hash: "):
                break
        return proc, lines

    def test_each_service_its_own_destination_and_a_second_claim_is_told(self, quiet_env, tmp_path):
        """A gateway without --identity does not take the server's destination on its port,
        and a second command announcing a destination already served here says so."""
        procs = []
        try:
            server, lines = self.start(runners("zivane-server")[0] + ["80"], quiet_env)
            procs.append(server)
            server_hash = lines[-1].split(": ")[1].strip()
            gateway, lines = self.start(runners("zivane-gateway")[0] + ["80", "http://127.0.0.1:9"], quiet_env)
            procs.append(gateway)
            gateway_hash = lines[-1].split(": ")[1].strip()
            assert gateway_hash != server_hash
            assert (tmp_path / ".zivane" / "gateway-80-identity").is_file()

            again, lines = self.start(runners("zivane-server")[0] + ["80"], quiet_env)
            procs.append(again)
            warning = again.stderr.readline().decode()
            assert warning == (f"Warning: destination {server_hash} is already served by another zivane "
                               f"command on this machine (process {server.pid}): links from the network "
                               f"may reach either one\n")
        finally:
            for proc in procs:
                proc.terminate()
            for proc in procs:
                proc.wait(timeout=20)

        alone, lines = self.start(runners("zivane-server")[0] + ["80"], quiet_env)  # the claims ended with them
        try:
            alone.terminate()
            rest = alone.communicate(timeout=20)[1]
            assert b"Warning" not in rest and not any("Warning" in line for line in lines)
        finally:
            alone.kill()
