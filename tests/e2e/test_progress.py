"""What the commands say on standard error while a stage of a request takes a while (path,
link, answer), what -q leaves out, and the --connect-timeout / --timeout options."""

import os
import re
import socket
import subprocess
import sys
import threading
import time

import pytest

from bridgenet import start_gateway
from proxynet import fetch, start_proxy
from rnsnet import Network

BIN = os.path.dirname(sys.executable)
CLIENT = os.path.join(BIN, "zivane-client")
NOWHERE = "00112233445566778899aabbccddeeff"

# A destination whose every stage the test releases by a line on its stdin: it is made and
# announced on ANNOUNCE (a destination that exists answers path requests at once), takes
# links from ACCEPT on (the client's first link request goes unanswered) and answers the
# request it holds on ANSWER.
SLOW_PEER = """
identity = RNS.Identity()
buffers = []
got_request = threading.Event()

def established(link):
    buffers.append(RNS.Buffer.create_bidirectional_buffer(
        0, 1, link.get_channel(), lambda n: buffers[0].read(n) and got_request.set()))

print("READY", RNS.Destination.hash(identity, "HTTP", "80").hex(), flush=True)
for line in sys.stdin:
    command = line.strip()
    if command == "ANNOUNCE":
        dest = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", "80")
        dest.accepts_links(False)
        dest.set_link_established_callback(established)
        dest.announce()
    elif command == "ACCEPT":
        dest.accepts_links(True)
    elif command == "ANSWER":
        got_request.wait(30)
        buffers[0].write(b"HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\n\\r\\nok")
        buffers[0].flush()
    print(command, "DONE", flush=True)
"""
SLOW_PEER = "reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)\n" + SLOW_PEER


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


class Watched:
    """A command whose standard error is read line by line as it comes."""

    def __init__(self, argv, env):
        self.popen = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.reader = threading.Thread(target=lambda: self.lines.extend(self.popen.stderr), daemon=True)
        self.reader.start()

    def until(self, fragment, timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for line in list(self.lines):
                if fragment in line:
                    return line.rstrip("\n")
            if self.popen.poll() is not None and not self.reader.is_alive():
                break
            time.sleep(0.02)
        raise AssertionError(f"no {fragment!r} in {self.lines}")

    def finish(self, timeout=60):
        out = self.popen.stdout.read()
        code = self.popen.wait(timeout)
        self.reader.join(10)
        return code, out, [line.rstrip("\n") for line in self.lines]


def client_argv(net, *argv):
    return [CLIENT, *argv, "--identity", os.path.join(net.config_dir, "client-identity")]


def run_client(net, *argv, timeout=120):
    started = time.monotonic()
    done = subprocess.run(client_argv(net, *argv), env=net.env(), capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr, time.monotonic() - started


def test_each_slow_stage_is_told_as_it_waits_then_how_it_ended(net):
    peer = net.spawn(SLOW_PEER, name="slow-peer")
    dest = peer.ready_words[0]
    client = Watched(client_argv(net, dest, "80", "--connect-timeout", "90"), net.env())
    try:
        path = client.until(f"Path to {dest} requested, waiting for an answer (giving up in ")
        peer.command("ANNOUNCE", "ANNOUNCE DONE")
        found = client.until(f"Path to {dest} found after ")
        assert re.fullmatch(rf"Path to {dest} found after \d+\.\d s: \d+ hops?", found), found
        client.until(f"Link to {dest} requested, waiting for it to come up (giving up in ")
        peer.command("ACCEPT", "ACCEPT DONE")
        up = client.until(f"Link to {dest} up after ")
        client.until(f"Waiting for the answer from {dest} (time-out 60 s)")
        peer.command("ANSWER", "ANSWER DONE")
        code, out, lines = client.finish()
    finally:
        if client.popen.poll() is None:
            client.popen.kill()
    assert (code, out) == (0, "HTTP/1.1 200 OK\ncontent-length: 2\n\nok"), lines
    assert lines[:5] == [path, found, lines[2], up, lines[4]] and len(lines) == 6, lines
    assert re.fullmatch(rf"Answer from {dest} after \d+\.\d s", lines[5]), lines


def test_connect_timeout_is_the_limit_and_quiet_leaves_only_the_error(net):
    code, out, err, took = run_client(net, NOWHERE, "80", "--connect-timeout", "2.5")
    assert (code, out) == (1, "")
    waited, failed = err.splitlines()
    assert re.fullmatch(rf"Path to {NOWHERE} requested, waiting for an answer \(giving up in [0-2] s\)", waited)
    assert failed == "Error: Timeout waiting for path to server"
    assert took < 60, took  # the default limit is 120 s
    code, _, err, _ = run_client(net, NOWHERE, "80", "--connect-timeout", "1.5", "-q")
    assert (code, err) == (1, "Error: Timeout waiting for path to server\n")


LIBRARY = f"""
import asyncio, sys, RNS
from zivane.client import HttpClient, TransportError
RNS.Reticulum(sys.argv[1], RNS.LOG_WARNING)

async def attempt(watch):
    client = HttpClient("{NOWHERE}", 80, identity_path=sys.argv[2], connect_timeout=1.5)
    if watch:
        client._progress = lambda text: print("heard:", text, flush=True)
    try:
        await client.connect()
    except TransportError as error:
        print("failed:", error, flush=True)

asyncio.run(attempt(False))
asyncio.run(attempt(True))
"""


def test_the_library_says_nothing_unless_its_hook_is_set(net):
    done = subprocess.run([sys.executable, "-c", LIBRARY, net.config_dir, os.path.join(net.config_dir, "lib-id")],
                          env=net.env(), capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert done.stderr == "", done.stderr
    failed = "failed: Timeout waiting for path to server"
    quiet, heard, loud = done.stdout.splitlines()
    assert (quiet, loud) == (failed, failed)
    assert heard.startswith(f"heard: Path to {NOWHERE} requested, waiting for an answer"), heard


def test_time_outs_that_are_no_number_of_seconds_are_usage_errors():
    for command, argv in (("zivane-client", [NOWHERE, "80"]), ("zivane-proxy", []),
                          ("zivane-gateway", ["80", "http://127.0.0.1:9"])):
        path = os.path.join(BIN, command)
        for flag, value in (("--timeout", "0"), ("--connect-timeout", "-5"), ("--timeout", "nan"),
                            ("--connect-timeout", "inf")):
            done = subprocess.run([path, *argv, flag, value], capture_output=True, text=True, timeout=60,
                                  stdin=subprocess.DEVNULL)
            assert done.returncode == 2 and done.stdout == "", (command, flag, value, done)
            assert done.stderr.startswith(f"Error: invalid {flag} ") and done.stderr.count("\n") == 1, done.stderr
        helped = subprocess.run([path, "--help"], capture_output=True, text=True, timeout=60)
        assert "--connect-timeout SECONDS" in helped.stdout and "--timeout SECONDS" in helped.stdout
        assert "-q, --quiet" in helped.stdout and "(default " in helped.stdout


def test_proxy_logs_what_a_slow_link_waits_for_and_its_options_win(net):
    proxy = start_proxy(net, "--connect-timeout", "2", tunables={"_CONNECT_TIMEOUT": 100.0})
    started = time.monotonic()
    status, _, body = fetch(proxy, f"http://{NOWHERE}.rns/")
    assert status == 502 and b"no path" in body and time.monotonic() - started < 60
    assert re.search(rf"^\d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d Path to {NOWHERE} requested, waiting for an "
                     r"answer \(giving up in [01] s\)$", proxy.stderr, re.M), proxy.stderr

    quiet = start_proxy(net, "-q", "--connect-timeout", "1.5")
    assert fetch(quiet, f"http://{NOWHERE}.rns/")[0] == 502
    time.sleep(0.2)
    assert "Path to" not in quiet.stderr


def test_gateway_time_outs_bound_its_upstream_and_a_slow_connect_is_logged(net):
    silent = socket.socket()  # takes connections and never answers
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)
    full = socket.socket()  # its backlog is full: a connection to it waits
    full.bind(("127.0.0.1", 0))
    full.listen(0)
    filler = socket.create_connection(full.getsockname())
    try:
        gateway = start_gateway(net, 8090, f"http://127.0.0.1:{silent.getsockname()[1]}", "--timeout", "1.5",
                                tunables={"_UPSTREAM_TIMEOUT": 100.0})
        code, out, err, took = run_client(net, gateway.dest_hash, "8090", "-r", "-q")
        assert (code, out, err) == (1, "504\n", ""), err
        assert took < 60, took

        upstream = f"127.0.0.1:{full.getsockname()[1]}"
        for port, quiet in ((8091, ()), (8092, ("-q",))):
            gateway = start_gateway(net, port, f"http://{upstream}", "--connect-timeout", "1.5", *quiet,
                                    tunables={"_CONNECT_TIMEOUT": 100.0})
            code, out, _, took = run_client(net, gateway.dest_hash, str(port), "-r", "-q")
            assert (code, out) == (1, "504\n") and took < 60, took
            line = re.compile(rf"\d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d Upstream {upstream} gave no connection "
                              r"in \d+\.\d s")
            time.sleep(0.5)  # its output (standard error made standard output) is read by a thread
            logged = [text for text in gateway.lines if line.fullmatch(text)]
            assert len(logged) == (0 if quiet else 1), gateway.lines
    finally:
        for s in (silent, full, filler):
            s.close()
