"""The compact link between zivane ends: zivane-proxy → Reticulum → zivane-gateway → a
standard-library web server, over real Reticulum. A gateway announces that it takes
compact links; a proxy that reads the announce speaks the compact form (binary heads,
bodies as resources), one told not to (`_COMPACT_LINKS = 0`) speaks HTTP/1.1: what a
browser gets must not differ. Raw Reticulum peers check both ends against plain and
hostile partners."""

import base64
import json
import re
import threading
import time

import pytest

from bridgenet import Upstream, pattern, start_gateway
from proxynet import fetch, raw, start_proxy
from rnsnet import Network

PAGE = (b"<!doctype html><html><head><title>radio</title></head><body>"
        + b"".join(b"<p class='row'>Line %d of a page that compresses well.</p>\n" % i for i in range(100))
        + b"</body></html>")
FILES = {
    "page.html": PAGE,
    "data.json": json.dumps([{"id": i, "name": f"item {i}"} for i in range(200)]).encode(),
    "image.bin": pattern(30_000, seed=3),
    "small.txt": b"tiny",
    "empty.txt": b"",
    "big.bin": pattern(2_300_000, seed=4),  # several resources in turn
}


@pytest.fixture(scope="module")
def net():
    with Network() as n:
        yield n


@pytest.fixture(scope="module")
def web(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    for name, data in FILES.items():
        (root / name).write_bytes(data)
    with Upstream(str(root)) as upstream:
        yield upstream


@pytest.fixture(scope="module")
def gateway(net, web):
    # bodies as resources even on loopback, whose stream messages are large
    return start_gateway(net, 80, web.url, tunables={"_RESOURCE_PIECE_LIMIT": 1 << 30})


@pytest.fixture(scope="module")
def compact_proxy(net):
    return start_proxy(net, "--no-cache")


@pytest.fixture(scope="module")
def plain_proxy(net):
    return start_proxy(net, "--no-cache", tunables={"_COMPACT_LINKS": 0})


def without_date(answer):
    """The answer without its Date field and, when chunked, with its body de-chunked: where
    chunks begin is the business of each hop."""
    head, _, body = re.sub(rb"\r\nDate: [^\r]*", b"", answer).partition(b"\r\n\r\n")
    if b"\r\nTransfer-Encoding: chunked" in head:
        pieces = bytearray()
        while (size := int(body.split(b"\r\n", 1)[0], 16)):
            at = body.index(b"\r\n") + 2
            pieces += body[at:at + size]
            body = body[at + size + 2:]
        body = bytes(pieces)
    return head, body


def ask(proxy, dest, head):
    return raw(proxy, head.replace(b"HOST", dest.encode()) + b"Connection: close\r\n\r\n", timeout=120)


def test_answers_are_the_same_as_on_a_plain_link(gateway, compact_proxy, plain_proxy):
    last_modified = None
    heads = [b"GET http://HOST.rns/%s HTTP/1.1\r\nHost: HOST.rns\r\n" % name.encode() for name in FILES]
    heads += [
        b"HEAD http://HOST.rns/page.html HTTP/1.1\r\nHost: HOST.rns\r\n",
        b"GET http://HOST.rns/chunked HTTP/1.1\r\nHost: HOST.rns\r\n",
        b"GET http://HOST.rns/missing HTTP/1.1\r\nHost: HOST.rns\r\nCookie: a=1\r\n",
    ]
    for head in heads:
        compact = ask(compact_proxy, gateway.dest_hash, head)
        plain = ask(plain_proxy, gateway.dest_hash, head)
        assert compact.startswith(b"HTTP/1.1 "), head
        assert without_date(compact) == without_date(plain), head
        if b"page.html" in head and head.startswith(b"GET"):
            assert compact.endswith(PAGE)
            last_modified = re.search(rb"Last-Modified: ([^\r]*)", compact).group(1)
        if b"big.bin" in head:
            assert compact.endswith(FILES["big.bin"])
    revalidate = b"GET http://HOST.rns/page.html HTTP/1.1\r\nHost: HOST.rns\r\nIf-Modified-Since: %s\r\n" % last_modified
    compact = ask(compact_proxy, gateway.dest_hash, revalidate)
    assert compact.startswith(b"HTTP/1.1 304 ")
    assert without_date(compact) == without_date(ask(plain_proxy, gateway.dest_hash, revalidate))


def test_one_link_carries_many_answers_and_uploads_in_order(gateway, compact_proxy):
    url = f"http://{gateway.dest_hash}.rns"
    for _ in range(2):  # the second round meets heads already in the link's tables
        for name, data in FILES.items():
            if name != "big.bin":
                status, _, body = fetch(compact_proxy, f"{url}/{name}")
                assert (status, body) == (200, data)
    # promised a megabyte, cut after 200 kB: nothing of it had left, so a 502 takes its place
    assert fetch(compact_proxy, f"{url}/cut")[0] == 502
    upload = pattern(50_000, seed=7)
    status, _, body = fetch(compact_proxy, f"{url}/upload", method="POST", body=upload)
    assert status == 200 and json.loads(body)["size"] == len(upload)


def test_a_raw_buffer_client_gets_plain_http_from_the_gateway(net, gateway):
    peer = net.start_peer(gateway.dest_hash, 80)
    peer.send(b"GET /page.html HTTP/1.1\r\nHost: x\r\n\r\n")
    [answer] = peer.recv(1, timeout=60)
    assert answer.startswith(b"HTTP/1.1 200 OK\r\n")
    assert b"\r\nContent-Length: %d\r\n" % len(PAGE) in answer and answer.endswith(PAGE)


# A raw Reticulum site: HTTP.<port> answering on RNS.Buffer what ARGS[2] lists, one entry
# per request it reads, in turn ({"teardown": 1}: the link is torn down instead). It announces ARGS[1] (hex, "-" for nothing) as its
# application data, and prints each request it reads: "REQUEST <hex>", and for each channel
# message that comes "MESSAGE compressed" or "MESSAGE plain". It reads a request
# as HTTP/1.1 up to its empty line, or as a compact head frame.
RAW_SITE = """\
import json
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
identity = RNS.Identity()
destination = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", ARGS[0])
answers = json.loads(base64.b64decode(ARGS[2]))
served = [0]

def varint(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        value |= (byte & 0x7F) << shift
        at += 1
        if byte < 0x80:
            return value, at
        shift += 7

def take_request(data):
    if data and data[0] == 0x80:
        try:
            size, at = varint(data, 1)
        except IndexError:
            return 0
        return at + size if len(data) >= at + size else 0
    end = data.find(b"\\r\\n\\r\\n")
    return end + 4 if end >= 0 else 0

def on_link(link):
    incoming = bytearray()
    def on_ready(n):
        incoming.extend(buffer.read(65536) or b"")
        while (size := take_request(incoming)):
            print("REQUEST", bytes(incoming[:size]).hex(), flush=True)
            del incoming[:size]
            answer = answers[min(served[0], len(answers) - 1)]
            served[0] += 1
            if "teardown" in answer:
                link.teardown()
                return
            if "resource" in answer:
                RNS.Resource(bytes.fromhex(answer["resource"]), link)
            else:
                buffer.write(bytes.fromhex(answer["stream"]))
                buffer.flush()
    def on_message(message):
        print("MESSAGE", "compressed" if getattr(message, "compressed", False) else "plain", flush=True)
        return False  # the buffer's own handler reads it
    link.get_channel().add_message_handler(on_message)
    buffer = RNS.Buffer.create_bidirectional_buffer(0, 1, link.get_channel(), on_ready)

destination.set_link_established_callback(on_link)
app_data = None if ARGS[1] == "-" else bytes.fromhex(ARGS[1])
destination.set_default_app_data(app_data)  # path answers carry it too, as a gateway's do
destination.announce()
print("READY", destination.hash.hex(), flush=True)
sys.stdin.read()
"""

COMPACT_SITE = bytes([0x7A, 1, 1, 2, 0, 80, 3, 1, 1]).hex()  # port 80, takes compact links


def start_raw_site(net, port, app_data, answers):
    encoded = base64.b64encode(json.dumps(answers).encode()).decode()
    proc = net.spawn(RAW_SITE, port, app_data, encoded, name="raw-site")
    proc.dest_hash = proc.ready_words[0]
    return proc


def requests_seen(site, count, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        seen = [bytes.fromhex(line.split()[1]) for line in site.lines if line.startswith("REQUEST")]
        if len(seen) >= count:
            return seen
        time.sleep(0.05)
    raise TimeoutError(f"the site saw fewer than {count} requests")


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    out.append(n)
    return bytes(out)


def frame(kind, payload):
    return bytes([kind]) + varint(len(payload)) + payload


# A compact "200 OK, Content-Length: 2, ok": a head with one literal field never added.
GOOD = frame(0x80, b"\x00" + varint(200) + b"\x00" + varint(2 << 2) + b"\x0eContent-Length\x02" + b"2" + b"\x00")
GOOD += frame(0x81, b"ok")


def warm_up(proxy, url):
    """A first request, which finds the site's announce: a proxy that had not heard it yet
    speaks plain HTTP/1.1 on that first link."""
    fetch(proxy, url + "warm-up")


def test_the_proxy_speaks_plain_http_to_a_site_that_does_not_announce_the_compact_form(net, compact_proxy):
    site = start_raw_site(net, 90, "-", [{"stream": b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok".hex()}])
    status, _, body = fetch(compact_proxy, f"http://{site.dest_hash}.rns:90/x")
    assert (status, body) == (200, b"ok")
    [request] = requests_seen(site, 1)
    assert request.startswith(b"GET /x HTTP/1.1\r\n")


def test_a_hostile_compact_site_ends_the_link_s_use_and_the_next_request_works(net):
    proxy = start_proxy(net, tunables={"_REQUEST_TIMEOUT": 20.0})
    hostile = [
        b"\x81" + b"\xff" * 11,  # a length no varint can be
        frame(0x80, b"\x00" + varint(200) + b"\x00" + varint(4000 << 2 | 1) + b"\x00"),  # no such entry
        frame(0x80, b"\x00" + varint(200) + b"\x00" + varint(28 << 2 | 3) + b"\x03" + varint(1) + b"\x00")
        + b"\x81" + varint(1 << 62),  # a body of exabytes, after a head that said one byte
        frame(0x80, b"\x04" + varint(200) + b"\x00\x00"),  # flags nobody knows
        frame(0x80, b"\x00" + varint(200) + b"\x00" + varint(1 << 2) + b"\x01a\x02\r\n" + b"\x00"),  # a CR LF
        b"\x99garbage",  # no such frame
    ]
    answers = [{"stream": h.hex()} for h in hostile]
    answers += [{"resource": b"x".hex() * 5000}, {"resource": (GOOD + b"\x81").hex()}, {"stream": GOOD.hex()}]
    site = start_raw_site(net, 91, COMPACT_SITE, [{"stream": GOOD.hex()}] + answers)
    url = f"http://{site.dest_hash}.rns:91/"
    warm_up(proxy, url)
    for case in range(len(answers) - 1):
        status, _, body = fetch(proxy, url + str(case))
        assert status in (502, 504), (case, body)
    status, _, body = fetch(proxy, url + "last")
    assert (status, body) == (200, b"ok")
    assert all(request[0] == 0x80 for request in requests_seen(site, len(answers) + 1)[1:])


def test_secrets_cost_their_full_length_every_time_other_fields_once(net, compact_proxy):
    site = start_raw_site(net, 92, COMPACT_SITE, [{"stream": GOOD.hex()}])
    warm_up(compact_proxy, f"http://{site.dest_hash}.rns:92/")
    cookie, note = "c=" + "s" * 300, "n" * 300
    for _ in range(2):
        status, _, _ = fetch(compact_proxy, f"http://{site.dest_hash}.rns:92/same",
                             headers={"Cookie": cookie, "X-Note": note})
        assert status == 200
    first, second = requests_seen(site, 3)[1:]
    assert first[0] == second[0] == 0x80
    assert len(second) > len(cookie) and len(first) - len(second) >= len(note)


def messages(site):
    return [line.split()[1] for line in site.lines if line.startswith("MESSAGE")]


def test_requests_asked_at_once_on_a_radio_link_share_a_message(net):
    # every link counts as a radio path here: loopback's channel messages are large
    proxy = start_proxy(net, "--no-cache", tunables={"_GATHER_PIECE_LIMIT": 1 << 30})
    site = start_raw_site(net, 94, COMPACT_SITE, [{"stream": GOOD.hex()}])
    url = f"http://{site.dest_hash}.rns:94/"
    warm_up(proxy, url)
    before = requests_seen(site, 1)
    messages_before = len(messages(site))
    start, results = threading.Barrier(6), []

    def page_part(n):
        start.wait()
        results.append((n, fetch(proxy, f"{url}part-{n}", headers={"X-Part": str(n)})))

    threads = [threading.Thread(target=page_part, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert sorted((n, status, body) for n, (status, _, body) in results) == [(n, 200, b"ok") for n in range(6)]
    asked = requests_seen(site, len(before) + 6)[len(before):]
    assert all(r[0] == 0x80 for r in asked)
    assert all(any(b"/part-%d" % n in r for r in asked) for n in range(6))
    assert len(messages(site)) - messages_before < 6
    # and a request alone still goes, after its moment of waiting for company
    assert fetch(proxy, url + "alone")[:3:2] == (200, b"ok")


def test_requests_gathered_on_a_link_that_dies_fail_and_the_next_ones_work(net):
    proxy = start_proxy(net, "--no-cache", tunables={"_GATHER_PIECE_LIMIT": 1 << 30, "_REQUEST_TIMEOUT": 20.0})
    good = {"stream": GOOD.hex()}
    site = start_raw_site(net, 96, COMPACT_SITE, [good, {"teardown": 1}] + [good] * 20)
    url = f"http://{site.dest_hash}.rns:96/"
    warm_up(proxy, url)
    start, results = threading.Barrier(4), []

    def ask_at_once(n):
        start.wait()
        results.append(fetch(proxy, f"{url}doomed-{n}", timeout=60)[::2])

    threads = [threading.Thread(target=ask_at_once, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(90)
    # The first request read tears the link down: those that went with it fail, any that
    # had not gone yet may go out on a new link; none is left waiting.
    assert len(results) == 4
    assert all(status in (200, 502) for status, _ in results), results
    assert any(status == 502 for status, _ in results), results
    assert all(body == b"ok" for status, body in results if status == 200), results
    assert fetch(proxy, url + "after")[::2] == (200, b"ok")


def test_a_request_with_a_secret_goes_uncompressed(net, compact_proxy):
    # A page chooses the target and fields of requests that carry the site's cookie: were
    # they compressed together, the size of the message would tell a right guess.
    site = start_raw_site(net, 95, COMPACT_SITE, [{"stream": GOOD.hex()}])
    url = f"http://{site.dest_hash}.rns:95/"
    warm_up(compact_proxy, url)
    guess = "a" * 600
    for headers in ({"X-Note": guess}, {"X-Note": guess, "Cookie": "session=" + guess},
                    {"X-Note": guess, "Authorization": "Bearer " + guess}):
        before = len(messages(site))
        assert fetch(compact_proxy, url + "x?" + guess, headers=headers)[0] == 200
        deadline = time.monotonic() + 30
        while len(messages(site)) == before and time.monotonic() < deadline:
            time.sleep(0.05)
        sent = set(messages(site)[before:])
        assert sent == ({"plain"} if len(headers) > 1 else {"compressed"}), headers
    assert all(guess.encode() in request for request in requests_seen(site, 4)[1:])


CHROMIUM = {
    "User-Agent": "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36",
    "Accept": "text/css,*/*;q=0.1",
    "Accept-Encoding": "gzip, deflate",
    "Accept-Language": "en-US,en;q=0.9",
    "Referer": "http://example.rns/",
    "Sec-Fetch-Site": "same-origin",
    "Sec-Fetch-Mode": "no-cors",
    "Sec-Fetch-Dest": "style",
}


def test_a_browser_s_repeated_request_head_costs_under_40_bytes(net, compact_proxy):
    site = start_raw_site(net, 93, COMPACT_SITE, [{"stream": GOOD.hex()}])
    url = f"http://{site.dest_hash}.rns:93/"
    warm_up(compact_proxy, url)
    for _ in range(2):
        assert fetch(compact_proxy, url + "style.css", headers=CHROMIUM)[0] == 200
    first, second = requests_seen(site, 3)[1:]
    assert len(second) < 40 < 150 < len(first)


# A raw Reticulum client of the gateway: links, sends ARGS[1] (hex) and prints "CLOSED"
# once the gateway has torn the link down, or "OPEN" after ten seconds.
RAW_CLIENT = """\
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
dest_hash = bytes.fromhex(ARGS[0])
RNS.Transport.request_path(dest_hash)
deadline = time.time() + 20
while not RNS.Transport.has_path(dest_hash) and time.time() < deadline:
    time.sleep(0.02)
destination = RNS.Destination(RNS.Identity.recall(dest_hash), RNS.Destination.OUT, RNS.Destination.SINGLE,
                              "HTTP", "80")
established = threading.Event()
link = RNS.Link(destination, lambda l: established.set())
established.wait(20)
buffer = RNS.Buffer.create_bidirectional_buffer(1, 0, link.get_channel(), lambda n: None)
buffer.write(bytes.fromhex(ARGS[1]))
buffer.flush()
deadline = time.time() + 10
while link.status != RNS.Link.CLOSED and time.time() < deadline:
    time.sleep(0.05)
print("CLOSED" if link.status == RNS.Link.CLOSED else "OPEN", flush=True)
sys.stdin.read()
"""


def test_hostile_compact_clients_lose_their_link_and_the_gateway_serves_on(net, gateway, compact_proxy):
    request = b"\x01" + varint(1) + b"/"  # GET /
    cases = [
        b"\x80" + b"\xff" * 11,
        frame(0x80, b"\x00" + request + varint(4000 << 2 | 1) + b"\x00"),
        frame(0x80, b"\x00" + request + varint(1 << 2) + b"\x04Host" + varint(2 << 20) + b"x" * 16),
        b"\x81" + varint(1 << 62),
        frame(0x80, b"\x00" + request + b"\x00") + bytes([0x83, 5]),  # a kind of frame that is no more
    ]
    for case in cases:
        client = net.spawn(RAW_CLIENT, gateway.dest_hash, case.hex(), ready="", name="raw-client")
        assert client.reply(("CLOSED", "OPEN"), 60).startswith("CLOSED"), case
        client.stop()
    status, _, body = fetch(compact_proxy, f"http://{gateway.dest_hash}.rns/small.txt")
    assert (status, body) == (200, b"tiny")
