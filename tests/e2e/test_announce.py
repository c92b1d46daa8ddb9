"""What a site says about itself in its announces, as another process on the mesh hears it,
and the announces that long-running commands send again while they run."""

import asyncio
import os
import subprocess
import sys
import time

import pytest
import RNS

from helpers import end_process, start_server_command
from rnsnet import Network

# Prints every announce this process hears: destination hash, announcing public key, the
# application data ("none" or "x" + hex), the announce's packet hash (the same for a copy
# of one announce that reaches the listener twice) and when it came (monotonic seconds).
LISTENER_SOURCE = """\
class Listener:
    aspect_filter = None

    def received_announce(self, destination_hash, announced_identity, app_data, announce_packet_hash):
        data = "none" if app_data is None else "x" + app_data.hex()
        print("ANNOUNCE", destination_hash.hex(), announced_identity.get_public_key().hex(), data,
              announce_packet_hash.hex(), time.monotonic(), flush=True)

reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
RNS.Transport.register_announce_handler(Listener())
print("READY", flush=True)
sys.stdin.read()
"""

SERVE_SOURCE = """\
import asyncio
from zivane.web import serve

def app(environ, start_response):
    start_response("200 OK", [])
    return [b"hi"]

reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
print("READY", flush=True)
asyncio.run(serve(app, 8093, ARGS[0], name=ARGS[1], announce_interval=float(ARGS[2])))
"""

GATEWAY = [sys.executable, "-m", "zivane.gateway"]
SERVER = [sys.executable, "-m", "zivane.server"]


def decode_site(data):
    """A zivane site's announce data: 'z', version 1, then tag, length, value fields (1 port,
    2 name, 3 features); the first of repeated tags counts. None when not that format."""
    if len(data) < 2 or data[0] != 0x7A or data[1] != 1:
        return None
    site, i = {}, 2
    while i < len(data):
        if i + 2 > len(data) or i + 2 + data[i + 1] > len(data):
            return None
        tag, value = data[i], data[i + 2:i + 2 + data[i + 1]]
        key = {1: "port", 2: "name", 3: "features"}.get(tag)
        if key and key not in site:
            site[key] = (int.from_bytes(value, "big") if key == "port" else
                         value.decode() if key == "name" else value[0])
        i += 2 + data[i + 1]
    return site


def heard(listener, dest, count=1, timeout=30.0):
    """The first `count` announces of `dest` the listener hears: (public key, app data, when)."""
    found, seen, deadline = [], set(), time.monotonic() + timeout
    while len(found) < count:
        words = listener.reply("ANNOUNCE", max(0.1, deadline - time.monotonic())).split()
        if words[1] == dest and words[4] not in seen:
            seen.add(words[4])
            data = None if words[3] == "none" else bytes.fromhex(words[3][1:])
            found.append((bytes.fromhex(words[2]), data, float(words[5])))
    return found


def http_hash(public_key, port):
    identity = RNS.Identity(create_keys=False)
    identity.load_public_key(public_key)
    return RNS.Destination.hash(identity, "HTTP", str(port)).hex()


def gateway(net, tmp_path, port, *options):
    proc, lines = start_server_command(
        [*GATEWAY, str(port), "http://127.0.0.1:9", "--identity", str(tmp_path / f"id-{port}"), *options],
        net.env())
    [dest] = [line.removeprefix("Destination hash: ") for line in lines if line.startswith("Destination hash: ")]
    return proc, lines, dest


def test_gateway_announces_its_port_and_name_that_a_listener_can_check(tmp_path):
    with Network() as net:
        listener = net.spawn(LISTENER_SOURCE, name="listener")
        # A tab, an escape, a mark that reverses the text after it; 102 bytes of UTF-8 in all.
        name = "Café\tRecipes \x1b[31m\u202e" + "é" * 40
        proc, lines, dest = gateway(net, tmp_path, 8091, "--name", name)
        try:
            [(key, data, _)] = heard(listener, dest)
            site = decode_site(data)
            assert site["port"] == 8091 and http_hash(key, site["port"]) == dest
            # Control characters and marks said as spaces, cut at a character boundary.
            said = "Café Recipes  [31m " + "é" * 22
            assert site["name"] == said and len(said.encode()) == 64
            assert site["features"] == 1  # it takes compact links
            deadline = time.monotonic() + 15
            while len(lines) < 4 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert lines == [
                f"Warning: the name is longer than the 64 bytes an announce takes; announced as {said!r}",
                "Server listening on HTTP.8091", f"Destination hash: {dest}",
                f"Browse http://{dest}.rns:8091/ through zivane-proxy; Ctrl-C to stop"]
        finally:
            end_process(proc)


def test_a_site_without_a_name_still_announces_its_port_and_nothing_else_on_stderr(tmp_path):
    with Network() as net:
        listener = net.spawn(LISTENER_SOURCE, name="listener")
        proc, lines, dest = gateway(net, tmp_path, 80)
        try:
            [(key, data, _)] = heard(listener, dest)
            assert decode_site(data) == {"port": 80, "features": 1} and http_hash(key, 80) == dest
            time.sleep(2)
            assert lines == ["Server listening on HTTP.80", f"Destination hash: {dest}",
                             f"Browse http://{dest}.rns/ through zivane-proxy; Ctrl-C to stop"]
        finally:
            end_process(proc)


def test_commands_announce_again_on_their_interval_the_server_without_data(tmp_path):
    with Network() as net:
        listener = net.spawn(LISTENER_SOURCE, name="listener")
        gw, _, gw_dest = gateway(net, tmp_path, 8092, "--name", "again", "--announce-interval", "2")
        server, lines = start_server_command(
            [*SERVER, "8094", "--identity", str(tmp_path / "server-id"), "--announce-interval", "2"],
            net.env())
        quiet, _, quiet_dest = gateway(net, tmp_path, 8095, "--announce-interval", "0")
        try:
            server_dest = lines[1].removeprefix("Destination hash: ")
            for dest, data in ((gw_dest, {"port": 8092, "name": "again", "features": 1}), (server_dest, None)):
                announces = heard(listener, dest, count=4, timeout=60)
                assert all((decode_site(d) if d else d) == data for _, d, _ in announces)
                # Two intervals apart at least, give or take the delivery of each.
                # Reticulum adds one of its own at the start (a destination registered by a
                # client of a shared instance answers a path request nobody made); the rest
                # are two intervals apart at least, give or take the delivery of each.
                assert announces[3][2] - announces[0][2] >= 3.0
            assert len({line.split()[4] for line in listener.lines if quiet_dest in line}) <= 2
        finally:
            for proc in (gw, server, quiet):
                end_process(proc)


def test_serve_announces_the_name_it_is_given(tmp_path):
    with Network() as net:
        listener = net.spawn(LISTENER_SOURCE, name="listener")
        # Short enough: the mark said as a space is no reason for a warning.
        app = net.spawn(SERVE_SOURCE, tmp_path / "serve-id", "A little\u202e wiki", 2, name="serve")
        announces, seen = [], set()
        deadline = time.monotonic() + 60
        while len(announces) < 4 and time.monotonic() < deadline:
            words = listener.reply("ANNOUNCE", 60).split()
            key, data = bytes.fromhex(words[2]), bytes.fromhex(words[3][1:])
            if http_hash(key, 8093) == words[1] and words[4] not in seen:
                seen.add(words[4])
                announces.append(decode_site(data))
        assert announces == [{"port": 8093, "name": "A little  wiki", "features": 1}] * 4, app.stderr
        assert app.stderr == ""


@pytest.mark.parametrize("command", [[*GATEWAY, "80", "http://127.0.0.1:9"], [*SERVER, "80"]])
@pytest.mark.parametrize("interval", ["-1", "nan", "inf"])
def test_an_interval_that_is_no_number_of_seconds_is_a_usage_error(command, interval, tmp_path):
    proc = subprocess.run([*command, "--announce-interval", interval], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, HOME=str(tmp_path)))
    assert proc.returncode == 2, proc.stderr
    [line] = proc.stderr.splitlines()
    assert line == f"Error: invalid --announce-interval {float(interval)!r}: expected a number of seconds, 0 or above"


def test_serve_refuses_its_keywords_before_it_serves():
    from zivane.web import serve

    with pytest.raises(ValueError, match="announce_interval"):
        asyncio.run(serve(object(), 80, announce_interval=-1.0))
    with pytest.raises(TypeError, match="name must be a str"):
        asyncio.run(serve(object(), 80, name=b"bytes"))
    with pytest.raises(TypeError, match="positional"):
        serve(object(), 80, None, "a name")
