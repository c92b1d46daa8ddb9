"""What zivane-proxy tells its operator: where it listens and how to use and stop it, then
one line per request (and every refusal with its reason); -q keeps the refusals only."""

import re
import time

import pytest

from proxynet import fetch, raw, start_proxy
from rnsnet import Network

SETUP = '''
server.set_default_handler(lambda request: HttpResponse(status=200, body=b"x" * 1000))
'''

LINE = re.compile(r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d 127\.0\.0\.1:\d+ "(\S+) (\S+)" (\d+) (\d+) (\d+\.\d\d)s(.*)$')


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network


def logged(proxy, count, deadline=30):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        lines = [m.groups() for m in map(LINE.match, proxy.stderr.splitlines()) if m]
        if len(lines) >= count:
            return lines
        time.sleep(0.05)
    raise AssertionError(proxy.stderr)


def test_start_lines_then_a_line_per_request_and_refusal(net):
    site = net.start_server(port=80, setup=SETUP)
    proxy = start_proxy(net)
    lines = proxy.stderr.splitlines()
    assert lines[0] == f"Proxy listening on http://127.0.0.1:{proxy.port}"
    assert "curl -x http://127.0.0.1:" in lines[1] and "Ctrl-C to stop" in lines[1]

    url = f"http://{site.dest_hash}.rns/page"
    assert fetch(proxy, url)[0] == 200
    assert fetch(proxy, "http://example.com/")[0] == 400
    assert raw(proxy, b"GET http://x.rns/ HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n")
    served, refused, bad = logged(proxy, 3)
    assert served[:4] == ("GET", url, "200", "1000") and served[5] == ""
    assert refused[:3] == ("GET", "http://example.com/", "400") and refused[5].startswith(" refused: ")
    assert bad[2] == "400" and "bad request" in bad[5]


def test_quiet_keeps_refusals_only(net):
    site = net.start_server(port=81, setup=SETUP)
    proxy = start_proxy(net, "-q")
    assert fetch(proxy, f"http://{site.dest_hash}.rns:81/")[0] == 200
    assert fetch(proxy, "http://example.com/")[0] == 400
    (only,) = logged(proxy, 1)
    assert only[:3] == ("GET", "http://example.com/", "400")
    time.sleep(0.5)
    assert len(logged(proxy, 1)) == 1
