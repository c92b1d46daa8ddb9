"""zivane-proxy's own page over real Reticulum: the sites it hears announced (checked against
their destination hash, kept across restarts), the links it holds, and the form that binds a
name, which only the page itself can use."""

import concurrent.futures
import ctypes
import os
import re
import shutil
import socket
import struct
import subprocess
import time
import urllib.parse

import pytest

from proxynet import fetch, raw, start_proxy
from rnsnet import Network, free_port, isolated_home

# A process that announces destinations on demand: ANNOUNCE <app> <aspect> <app data hex>.
ANNOUNCER = """\
reticulum = RNS.Reticulum(CONFIG, RNS.LOG_WARNING)
identity = RNS.Identity()
print("READY", flush=True)
for line in sys.stdin:
    words = line.split()
    if words[0] == "ANNOUNCE":
        app, aspect, data = words[1], words[2], bytes.fromhex(words[3]) if len(words) > 3 else None
        destination = RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, app, aspect)
        destination.announce(app_data=data)
        print("ANNOUNCED", destination.hash.hex(), flush=True)
"""

SITE = '''
@server.route("/hello")
def hello(request):
    return HttpResponse(status=200, body=b"hello from the site")
'''


Directory_bound = 500  # sites the proxy keeps


def site_data(port=None, name=None, features=None, version=1):
    """A site's announce data as zivane writes it: marker, version, tag-length-value fields."""
    out = bytes([0x7A, version])
    if port is not None:
        out += bytes([1, 2]) + port.to_bytes(2, "big")
    if name is not None:
        out += bytes([2, len(name)]) + name
    if features is not None:
        out += bytes([3, 1, features])
    return out


@pytest.fixture(scope="module")
def home(tmp_path_factory):
    """HOME for this module's processes: the real ~/.zivane is never touched."""
    with isolated_home(tmp_path_factory.mktemp("home")) as path:
        yield path


@pytest.fixture(scope="module")
def net(home):
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def proxy(net):
    return start_proxy(net, home=os.environ["HOME"])


@pytest.fixture(scope="module")
def announcer(net, proxy):
    return net.spawn(ANNOUNCER, name="announcer")


def announce(announcer, app, aspect, data=None):
    command = f"ANNOUNCE {app} {aspect}" + (f" {data.hex()}" if data is not None else "")
    return announcer.command(command, "ANNOUNCED", 30).split()[1]


def page(proxy):
    status, headers, body = fetch(proxy, f"http://127.0.0.1:{proxy.port}/")
    assert status == 200, body
    return headers, body.decode()


def wait_listed(proxy, text, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        _, html = page(proxy)
        if text in html:
            return html
        assert time.monotonic() < deadline, f"{text} not listed:\n{html}"
        time.sleep(0.3)


def test_announced_sites_are_listed_only_as_their_hash_confirms(proxy, announcer):
    forged = announce(announcer, "HTTP", "8082", site_data(80, b"claims port 80"))  # its hash is 8082's
    oversized = announce(announcer, "HTTP", "8083", site_data(8083, b"x" * 60) + bytes(220))
    cut_short = announce(announcer, "HTTP", "8084", site_data(8084, b"cut")[:-2])
    newer_version = announce(announcer, "HTTP", "8085", site_data(8085, b"v2", version=2))
    not_http = announce(announcer, "chat", "80", site_data(80, b"not a web site"))
    described = announce(announcer, "HTTP", "8081", site_data(8081, b"<script>alert(1)</script> & co"))
    plain = announce(announcer, "HTTP", "80")  # no zivane data: port 80 by its hash
    wait_listed(proxy, f"http://{described}.rns:8081/")
    html = wait_listed(proxy, f"http://{plain}.rns/")
    # the one heard last is first, and a claim is text, never markup
    assert html.index(plain) < html.index(described)
    assert "claims: &lt;script&gt;alert(1)&lt;/script&gt; &amp; co" in html
    assert "<script" not in html
    time.sleep(1)  # the refused ones went out first: each announce is handled on a thread of its own
    _, html = page(proxy)
    for refused in (forged, oversized, cut_short, newer_version, not_http):
        assert refused not in html
    assert "claims port 80" not in html


def test_the_page_is_the_proxys_own_and_nothing_else_is(proxy):
    headers, html = page(proxy)
    assert headers["Cache-Control"] == "no-store"
    assert headers["Content-Security-Policy"] == \
        "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'"
    assert headers["X-Frame-Options"] == "DENY" and headers["Referrer-Policy"] == "no-referrer"
    assert "Access-Control-Allow-Origin" not in headers
    # origin-form with Host naming the proxy, or an absolute URL to it: the same page
    answer = raw(proxy, f"GET / HTTP/1.1\r\nHost: localhost:{proxy.port}\r\n\r\n".encode())
    assert answer.startswith(b"HTTP/1.1 200 ") and b"zivane-proxy" in answer
    for target in (f"http://127.0.0.1:{proxy.port}/elsewhere", "/favicon.ico"):
        answer = raw(proxy, f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{proxy.port}\r\n\r\n".encode())
        assert answer.startswith(b"HTTP/1.1 404 ") and b"text/plain" in answer
    # another port or host is not the proxy
    answer = raw(proxy, f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{proxy.port + 1}\r\n\r\n".encode())
    assert answer.startswith(b"HTTP/1.1 400 ") and b"Reticulum destinations only" in answer


def test_a_link_and_its_answer_show_on_the_page(net, proxy):
    site = net.start_server(port=80, setup=SITE)
    html = wait_listed(proxy, f"http://{site.dest_hash}.rns/")
    assert re.search(f"{site.dest_hash}.rns/</a>.*?not tried", html)
    status, _, body = fetch(proxy, f"http://{site.dest_hash}.rns/hello")
    assert (status, body) == (200, b"hello from the site")
    _, html = page(proxy)
    row = re.search(rf"<tr><td>{site.dest_hash}\.rns</td><td>open</td><td>0</td>.*?</tr>", html)
    assert row and re.search(r"<td>\d+ B</td><td>\d+ B</td></tr>", row.group(0)), html
    assert re.search(f"{site.dest_hash}.rns/</a>.*?<td>yes</td>", html)


def form_of(html, hash_):
    token = re.search(r'name="token" value="([0-9a-f]+)"', html).group(1)
    port = re.search(rf'name="hash" value="{hash_}"><input type="hidden" name="port" value="(\d+)"', html)
    return token, port.group(1)


def post_name(proxy, fields, headers=()):
    body = urllib.parse.urlencode(fields).encode()
    head = [f"POST /name HTTP/1.1", f"Host: 127.0.0.1:{proxy.port}",
            "Content-Type: application/x-www-form-urlencoded", f"Content-Length: {len(body)}", *headers]
    return raw(proxy, ("\r\n".join(head) + "\r\n\r\n").encode() + body)


def test_only_the_page_itself_binds_a_name(proxy, announcer, home):
    hash_ = announce(announcer, "HTTP", "8090", site_data(8090, b"to be named"))
    html = wait_listed(proxy, hash_)
    token, port = form_of(html, hash_)
    names = home / ".zivane" / "names"
    fields = {"token": token, "hash": hash_, "port": port, "name": "mine"}
    own = f"http://127.0.0.1:{proxy.port}"
    # a .rns page posting to the proxy: it cannot know the token, and its browser says where it is
    for why, tried, headers in [
        ("no token", {**fields, "token": ""}, ()),
        ("a guessed token", {**fields, "token": "0" * len(token)}, ()),
        ("a .rns origin", fields, (f"Origin: http://{hash_}.rns:8090", "Sec-Fetch-Site: cross-site")),
        ("another origin", fields, ("Origin: http://example.com",)),
        ("cross-site", fields, ("Sec-Fetch-Site: cross-site",)),
        ("an opaque origin", fields, ("Origin: null",)),
    ]:
        answer = post_name(proxy, tried, headers)
        assert answer.startswith(b"HTTP/1.1 403 "), (why, answer)
        assert not names.exists(), why
    # bad names never reach the file
    for name in ("UPPER", "a" * 64, "0123456789abcdef0123456789abcdef", "sp ace", ""):
        assert post_name(proxy, {**fields, "name": name}).startswith(b"HTTP/1.1 400 "), name
    assert not names.exists()
    # the page's own form, as a browser sends it
    answer = post_name(proxy, fields, (f"Origin: {own}", "Sec-Fetch-Site: same-origin"))
    assert answer.startswith(b"HTTP/1.1 303 ") and b"\r\nLocation: /\r\n" in answer
    assert names.read_text() == f"mine = {hash_}:8090\n"
    assert post_name(proxy, {**fields, "name": "mine"}).startswith(b"HTTP/1.1 400 ")  # bound already
    assert names.read_text().count("mine") == 1
    # a names file the user keeps elsewhere and links here stays where it is, linked
    kept = home / "kept-names"
    kept.write_text(names.read_text())
    names.unlink()
    names.symlink_to(kept)
    assert post_name(proxy, {**fields, "name": "linked"}).startswith(b"HTTP/1.1 303 ")
    assert names.is_symlink() and kept.read_text() == f"mine = {hash_}:8090\nlinked = {hash_}:8090\n"


def test_two_proxies_binding_at_once_lose_no_name(net, proxy, announcer, home):
    other = start_proxy(net, home=os.environ["HOME"])
    hash_ = announce(announcer, "HTTP", "8091", site_data(8091, b"named from two proxies"))
    tokens = [form_of(wait_listed(each, hash_), hash_)[0] for each in (proxy, other)]

    def bind(i):
        fields = {"token": tokens[i % 2], "hash": hash_, "port": "8091", "name": f"race{i}"}
        return post_name((proxy, other)[i % 2], fields)

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert all(answer.startswith(b"HTTP/1.1 303 ") for answer in pool.map(bind, range(40)))
    text = (home / ".zivane" / "names").read_text()
    assert [i for i in range(40) if f"race{i} = " not in text] == []
    other.stop()


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

# A .rns site whose page, once loaded, posts the naming form to the proxy (which it can
# address: it is the browser's proxy, on this machine) with the one field it cannot know.
HOSTILE_SITE = '''
PAGE = b"""<!DOCTYPE html><html><body><p id="site">a page of the site</p>
<form method="post" action="http://127.0.0.1:%d/name">
<input name="token" value="guessed"><input name="hash" value="%s"><input name="port" value="80">
<input name="name" value="hijacked"></form>
<script>window.addEventListener("load", () => document.forms[0].submit());</script></body></html>"""

@server.route("/")
def page(request):
    return HttpResponse(status=200, headers={"Content-Type": "text/html"}, body=PAGE)
'''


@pytest.mark.skipif(not CHROMIUM, reason="chromium is not installed (apt-get install chromium)")
def test_a_site_opened_by_name_in_chromium_cannot_bind_a_name(net, proxy, home, tmp_path):
    site = net.start_server(port=80, setup=HOSTILE_SITE % (proxy.port, "ab" * 16),
                            identity_path=os.path.join(net.config_dir, "hostile-identity"))
    names = home / ".zivane" / "names"
    names.parent.mkdir(exist_ok=True)
    before = names.read_text() if names.exists() else ""
    names.write_text(before + f"shop = {site.dest_hash}\n")
    args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            f"--proxy-server=http://127.0.0.1:{proxy.port}", "--proxy-bypass-list=<-loopback>",
            f"--user-data-dir={tmp_path / 'profile'}", "--virtual-time-budget=20000", "--dump-dom", "http://shop.rns/"]
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in Chromium
    subprocess.run(args, capture_output=True, timeout=180, cwd=tmp_path, env=plain)
    # the site loaded by its name, its page's form went to the proxy and was turned away (the
    # proxy's log says so: what --dump-dom prints of a page that navigates away varies)
    deadline = time.monotonic() + 30
    while f'"POST http://127.0.0.1:{proxy.port}/name" 403' not in proxy.stderr:
        assert time.monotonic() < deadline, proxy.stderr
        time.sleep(0.2)
    assert '"GET http://shop.rns/" 200' in proxy.stderr
    assert names.read_text() == before + f"shop = {site.dest_hash}\n"

class Renames:
    """Counts the files renamed into a directory, by name (inotify), from its making on."""

    def __init__(self, directory):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        assert self.libc.inotify_add_watch(self.fd, str(directory).encode(), 0x80) >= 0  # IN_MOVED_TO
        self.counts = {}

    def count(self, name):
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return self.counts.get(name, 0)
            while data:
                length = struct.unpack_from("iIII", data)[3]
                moved = data[16:16 + length].rstrip(b"\0").decode()
                self.counts[moved] = self.counts.get(moved, 0) + 1
                data = data[16 + length:]


def test_a_flood_of_announces_costs_few_writes(proxy, announcer, home):
    (home / ".zivane").mkdir(exist_ok=True)
    renames = Renames(home / ".zivane")
    started = time.monotonic()
    for port in range(9100, 9130):  # paced: each is listed before the next comes
        wait_listed(proxy, announce(announcer, "HTTP", str(port), site_data(port, b"one of many")))
    assert renames.count("directory") <= 2 + (time.monotonic() - started) / 5
    os.close(renames.fd)


def test_the_list_survives_a_restart_and_a_corrupted_file(net, proxy, announcer, home):
    hash_ = announce(announcer, "HTTP", "8095", site_data(8095, b"remembered"))
    wait_listed(proxy, hash_)
    proxy.stop()
    saved = home / ".zivane" / "directory"
    assert hash_ in saved.read_text()
    again = start_proxy(net, home=os.environ["HOME"])
    _, html = page(again)  # nothing announced meanwhile: it comes from the file
    assert f"http://{hash_}.rns:8095/" in html and "claims: remembered" in html
    again.stop()
    # a file of more sites than the bound: the least recently heard are dropped
    lines = [f"{i:032x} 80 {1700000000 + i} 1 -1 site {i}\n" for i in range(Directory_bound + 20)]
    saved.write_text("zivane-proxy directory 1\n" + "".join(lines))
    bounded = start_proxy(net, home=os.environ["HOME"])
    _, html = page(bounded)
    assert html.count("name this site") == Directory_bound
    assert f"{0:032x}" not in html and f"{19:032x}" not in html and f"{20:032x}.rns" in html
    bounded.stop()
    for damage in (b"\x00garbage\xff" * 1000, saved.read_bytes()[:-7], b"zivane-proxy directory 1\n" +
                   hash_.encode() + b" 99999 1 1 1 bad port\n", os.urandom(600000)):
        saved.write_bytes(damage)
        third = start_proxy(net, home=os.environ["HOME"])
        _, html = page(third)
        assert hash_ not in html
        third.stop()
        assert saved.read_text() == "zivane-proxy directory 1\n"  # rewritten


def own_address():
    """This machine's address on its network, not a loopback one (None without one)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("10.255.255.255", 1))
        except OSError:
            return None
        address = s.getsockname()[0]
    return None if address.startswith("127.") else address


def ask(host, port, data):
    with socket.create_connection((host, port), timeout=30) as s:
        s.sendall(data)
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
        return b"".join(chunks)


def test_on_every_address_only_this_machine_gets_the_form(net, announcer, home):
    address = own_address()
    if not address:
        pytest.skip("no address other than loopback")
    port = free_port()
    wide = start_proxy(net, "--listen", f"0.0.0.0:{port}", home=os.environ["HOME"])
    wide.port = port
    heard = announce(announcer, "HTTP", "8099", site_data(8099, b"seen from afar"))
    token, _ = form_of(wait_listed(wide, heard), heard)
    remote = ask(address, port, f"GET / HTTP/1.1\r\nHost: {address}:{port}\r\n\r\n".encode())
    assert remote.startswith(b"HTTP/1.1 200 ") and token.encode() not in remote and b"<form" not in remote
    body = f"token={token}&hash={'ab' * 16}&port=80&name=remote".encode()
    answer = ask(address, port, f"POST /name HTTP/1.1\r\nHost: {address}:{port}\r\nOrigin: http://{address}:{port}\r\n"
                                f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
    assert answer.startswith(b"HTTP/1.1 403 ") and b"only from this machine" in answer
    # a name of someone's domain resolving here (DNS rebinding) does not make its page the proxy's
    for host in (f"rebound.example:{port}", f"127.0.0.1.rebound.example:{port}"):
        answer = ask("127.0.0.1", port, f"GET / HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        assert answer.startswith(b"HTTP/1.1 400 "), host
    wide.stop()
    assert not (home / ".zivane" / "names").exists() or "remote" not in (home / ".zivane" / "names").read_text()
