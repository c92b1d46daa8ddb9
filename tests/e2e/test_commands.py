"""The two console commands, run as processes against each other over an isolated
Reticulum on loopback (a shared instance, as next to a running Reticulum daemon)."""

import os
import subprocess
import sys

import pytest

from helpers import end_process, start_server_command


BIN = os.path.dirname(sys.executable)
SERVER = os.path.join(BIN, "zivane-server")
CLIENT = os.path.join(BIN, "zivane-client")

pytestmark = pytest.mark.skipif(not (os.path.exists(SERVER) and os.path.exists(CLIENT)),
                                reason="console scripts are not installed")

ROUTES = """
@server.route("/missing")
def missing(request):
    return HttpResponse(status=404, body=b"nothing here")

@server.route("/echo", method="POST")
def echo(request):
    seen = ";".join(f"{k}={v}" for k, v in request.headers.items() if k.startswith("x-"))
    return HttpResponse(status=201, headers={"X-Seen": seen}, body=request.body)
"""


@pytest.fixture(scope="module")
def server_command(net, tmp_path_factory):
    """`zivane-server 8070` attached to the network; yields its destination hash."""
    identity = str(tmp_path_factory.mktemp("server") / "identity")
    proc, lines = start_server_command([SERVER, "8070", "--identity", identity], net.env())
    try:
        assert len(lines) >= 2 and lines[0] == "Server listening on HTTP.8070", lines
        yield proc, lines[1].removeprefix("Destination hash: ")
    finally:
        end_process(proc)


@pytest.fixture(scope="module")
def route_server(net):
    proc = net.start_server(port=8071, setup=ROUTES)
    yield proc.dest_hash


def client(net, *argv, timeout=120):
    identity = os.path.join(net.config_dir, "client-identity")
    done = subprocess.run([CLIENT, *argv, "--identity", identity], env=net.env(),
                          capture_output=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def test_default_answer_of_the_server_command(net, server_command):
    _, dest = server_command
    code, out, err = client(net, dest, "8070", "get", "/any/path")
    assert (code, out) == (0, b"HTTP/1.1 200 OK\ncontent-length: 12\n\nHello world!"), err
    code, out, _ = client(net, dest, "8070")  # method and path may be left out
    assert (code, out) == (0, b"HTTP/1.1 200 OK\ncontent-length: 12\n\nHello world!")
    assert client(net, dest, "8070", "-r")[:2] == (0, b"200\n")


def test_status_code_option_and_exit_statuses(net, route_server):
    assert client(net, route_server, "8071", "GET", "/missing", "-r")[:2] == (1, b"404\n")
    code, out, err = client(net, route_server, "8071", "GET", "/missing")
    assert (code, err) == (1, b"")
    assert out == b"HTTP/1.1 404 Not Found\ncontent-length: 12\n\nnothing here"


def test_headers_in_both_forms_and_body(net, route_server):
    code, out, err = client(net, route_server, "8071", "post", "/echo", "-H", "X-A:  spaced ",
                            "-H", "X-B=c=d", "--body", "h\u00e9llo")
    assert code == 0, err
    head, body = out.split(b"\n\n", 1)
    assert head.splitlines()[0] == b"HTTP/1.1 201 Created"
    assert b"x-seen: x-a=spaced;x-b=c=d" in head.splitlines()
    assert body == "h\u00e9llo".encode()


def test_usage_errors_exit_2_before_reticulum_starts(net):
    for argv in ([], ["abcd", "not-a-port"], ["abcd", "80", "-H", "no separator"],
                 ["abcd", "80", "--bogus"]):
        code, out, err = client(net, *argv, timeout=60)
        assert code == 2 and out == b"" and err.startswith(b"usage: zivane-client"), (argv, err)
    done = subprocess.run([SERVER], capture_output=True, timeout=60)
    assert done.returncode == 2 and done.stderr.startswith(b"usage: zivane-server")


def test_exit_status_and_output_survive_many_runs(net, route_server):
    """RNS may end an attached process from its own thread at exit; the commands end first."""
    for _ in range(12):
        code, out, err = client(net, route_server, "8071", "GET", "/missing")
        assert code == 1, err
        assert out.endswith(b"\n\nnothing here")
