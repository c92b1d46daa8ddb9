"""Mistakes a new user makes, told plainly and at once: Reticulum not started, and the
right destination hash with the wrong port."""

import os
import subprocess
import sys
import time

import pytest

from rnsnet import Network

NOT_RUNNING = "Reticulum is not running: start it with RNS.Reticulum(...) first"


def test_nothing_works_before_reticulum_starts_and_says_so(tmp_path):
    source = f'''
import asyncio, httpx, requests
from zivane import HttpClient, HttpServer
from zivane.web import AsyncHttpxTransport, HttpxTransport, RequestsAdapter

async def main():
    for attempt in (lambda: HttpClient("00" * 16, 80).connect(), lambda: HttpServer(80).start()):
        try:
            await attempt()
        except RuntimeError as error:
            print("runtime:", error)
    try:
        httpx.Client(transport=HttpxTransport()).get("http://{'0' * 32}.rns/")
    except httpx.HTTPError as error:
        print("httpx:", error)
    session = requests.Session()
    session.mount("http://", RequestsAdapter())
    try:
        session.get("http://{'0' * 32}.rns/")
    except requests.RequestException as error:
        print("requests:", error)

asyncio.run(main())
'''
    env = dict(os.environ, HOME=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:2] == [f"runtime: {NOT_RUNNING}"] * 2
    assert all(NOT_RUNNING in line for line in lines[2:]) and len(lines) == 4, lines
    assert not (tmp_path / ".zivane").exists()


def test_the_right_hash_with_the_wrong_port_is_told_at_once():
    with Network() as net:
        site = net.start_server(port=80)
        started = time.monotonic()
        done = subprocess.run(
            [sys.executable, "-m", "zivane.client", site.dest_hash, "81", "--config", net.config_dir,
             "--identity", os.path.join(net.config_dir, "client-identity")],
            capture_output=True, text=True, timeout=60, env=net.env(), stdin=subprocess.DEVNULL)
        took = time.monotonic() - started
    assert done.returncode == 1
    assert f"Destination {site.dest_hash} is not an HTTP server on port 81" in done.stderr
    assert took < 25, took  # the connect time-out is 30 s: it did not wait it out
