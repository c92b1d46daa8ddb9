"""What zivane-gateway tells its operator: a line per request (who, what, status, bytes,
seconds) and one for every answer it gave in the upstream's place, with the reason; -q
keeps only those."""

import re
import time

import pytest

from bridgenet import Upstream, start_fetcher, start_gateway
from rnsnet import Network

LINE = re.compile(r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\S+) "(\S+) (\S+)" (\d+) (\d+) (\d+\.\d\d)s(.*)$')


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def web(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    (root / "index.html").write_bytes(b"x" * 500)
    with Upstream(str(root)) as upstream:
        yield upstream


def logged(proc, count, deadline=30):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        found = [m.groups() for m in map(LINE.match, proc.lines) if m]
        if len(found) >= count:
            return found
        time.sleep(0.05)
    raise AssertionError(proc.lines)


def test_a_line_per_request_and_per_refusal(net, web):
    gateway = start_gateway(net, 80, web.url, "--allow", "ab" * 16)
    open_gateway = start_gateway(net, 81, web.url)
    fetcher = start_fetcher(net)
    fetcher.fetch(gateway.dest_hash, 80, [{"path": "/index.html"}])
    fetcher.fetch(open_gateway.dest_hash, 81, [{"path": "/index.html"}, {"path": "/none"}])
    (refused,) = logged(gateway, 1)
    assert refused[0].startswith("link:") and refused[1:4] == ("GET", "/index.html", "403")
    assert refused[6] == " gateway: Forbidden: this link has not identified as an allowed identity"
    served, missing = logged(open_gateway, 2)
    assert served[1:4] == ("GET", "/index.html", "200") and int(served[4]) > 500 and served[6] == ""
    assert missing[1:4] == ("GET", "/none", "404")


def test_quiet_keeps_the_gateways_own_answers_only(net, web):
    gateway = start_gateway(net, 82, "http://127.0.0.1:9", "-q")
    fetcher = start_fetcher(net)
    fetcher.fetch(gateway.dest_hash, 82, [{"path": "/a"}])
    (only,) = logged(gateway, 1)
    assert only[3] == "502" and "refused the connection" in only[6]
    time.sleep(0.5)
    assert len(logged(gateway, 1)) == 1
