"""The bytes a site's announce carries on a radio, with and without what it says of itself.

Run:  PYTHONPATH=build/<name> .venv/bin/python bench/announce.py

Each variant is a command on its own Reticulum instance in a radio lab (tests/radiolab.py:
one 1200 bit/s medium, MTU 500): zivane-server (no application data), zivane-gateway
without --name (the port), with a 30-byte and a 64-byte --name, and a destination that
announces port and features (no command sets a feature yet: the data is written here by
the format, 'z', 1, then tag-length-value fields). The relay sees every frame; the table
shows the size of the announce frame each sent, what it adds to the bare announce, its air
time at 1200 bit/s and the least spacing Reticulum's announce cap (2 % of the air) then
keeps between two announces of one interface.
"""

import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from radiolab import Lab  # noqa: E402
from rnsnet import Proc  # noqa: E402

BITRATE, ANNOUNCE_CAP = 1200, 0.02
PORT = "8080"

# A destination HTTP.<port> announced once with the data in ARGS[1] (hex).
FEATURES_SOURCE = """\
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
identity = RNS.Identity()
dest = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", ARGS[0])
dest.announce(bytes.fromhex(ARGS[1]))
print("READY", flush=True)
sys.stdin.read()
"""


def site_data(port, features):
    return bytes([0x7A, 1, 1, 2]) + int(port).to_bytes(2, "big") + bytes([3, 1, features])


def variants(directory):
    name30, name64 = "Recipes from the valley farms.", "Community wiki of the valley: recipes, tools, maps and timetable"
    assert len(name30.encode()) == 30 and len(name64.encode()) == 64
    identity = ["--identity", os.path.join(directory, "id")]
    server = [sys.executable, "-m", "zivane.server", PORT, *identity]
    gateway = [sys.executable, "-m", "zivane.gateway", PORT, "http://127.0.0.1:9", *identity]
    return [
        ("no app data (zivane-server)", server),
        ("port (gateway)", gateway),
        ("port + features", None),
        ("port + 30-byte name", gateway + ["--name", name30]),
        ("port + 64-byte name", gateway + ["--name", name64]),
    ]


def announce_frame(lab, node, command, timeout=60.0):
    """Starts `command` on `node` (None: the features destination) and returns the size of
    the first announce frame it sends."""
    lab.wait_quiet()
    lab.trace()
    if command is None:
        proc = lab.spawn(node, FEATURES_SOURCE, PORT, site_data(PORT, 1).hex(), name="features")
    else:
        proc = Proc(command, lab.env(node), None, "command")
        lab.procs.append(proc)
    try:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            sizes = [f["size"] for f in lab.trace() if f["kind"] == "announce"]
            if sizes:
                return sizes[0]
            time.sleep(0.2)
        raise TimeoutError(f"no announce from {command}: {proc.stderr}")
    finally:
        proc.stop()


def main():
    rows = []
    with Lab() as lab, tempfile.TemporaryDirectory() as directory:
        lab.segment("air", bitrate=BITRATE)
        node = lab.node("site", ["air"])
        for label, command in variants(directory):
            rows.append((label, announce_frame(lab, node, command)))
    bare = rows[0][1]
    print(f"Announce frames on a {BITRATE} bit/s medium (Reticulum {rns_version()}):")
    print(f"{'announce':30} {'bytes':>6} {'added':>6} {'air ms':>7} {'cap spacing s':>14}")
    for label, size in rows:
        air = size * 8 / BITRATE
        print(f"{label:30} {size:6d} {size - bare:+6d} {air * 1000:7.0f} {air / ANNOUNCE_CAP:14.1f}")


def rns_version():
    import RNS
    return getattr(RNS, "__version__", None) or __import__("importlib.metadata").metadata.version("rns")


if __name__ == "__main__":
    main()
