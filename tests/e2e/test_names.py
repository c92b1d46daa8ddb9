"""Names of the user's address book (~/.zivane/names) in place of destination hashes, over real
Reticulum: through zivane-proxy, the httpx and requests transports and zivane-client; and what
a line of the file that cannot be used does to each."""

import os
import subprocess
import sys

import pytest

from proxynet import fetch, raw, start_proxy
from rnsnet import Network, isolated_home
from webnet import start_client

CLIENT = os.path.join(os.path.dirname(sys.executable), "zivane-client")

SITE = '''
@server.route("/hello")
def hello(request):
    return HttpResponse(status=200, body=b"hello from %d" % server.port)
'''


@pytest.fixture(scope="module")
def home(tmp_path_factory):
    """HOME for this module's processes: the real ~/.zivane is never touched."""
    with isolated_home(tmp_path_factory.mktemp("home")) as path:
        (path / ".zivane").mkdir()
        yield path


@pytest.fixture(scope="module")
def net(home):
    with Network() as network:
        yield network


@pytest.fixture(scope="module")
def sites(net):
    return net.start_server(port=80, setup=SITE), net.start_server(port=8080, setup=SITE)


@pytest.fixture(scope="module")
def proxy(net, sites):
    return start_proxy(net, home=os.environ["HOME"])  # before the names file exists: it is read once it does


def write_names(home, text):
    path = home / ".zivane" / "names"
    path.write_text(text)
    return str(path)


def client(net, *argv):
    identity = os.path.join(net.config_dir, "command-identity")
    done = subprocess.run([CLIENT, *argv, "--identity", identity], env=net.env(), capture_output=True, timeout=180)
    return done.returncode, done.stdout, done.stderr


def test_a_name_reaches_its_site_everywhere(net, sites, proxy, home):
    site, other = sites
    write_names(home, f"# my sites\n\nlibrary = {site.dest_hash}\n"
                      f"wiki = <{other.dest_hash.upper()}>:8080   # the port comes with the name\n")
    for url, body in [("http://library.rns/hello", b"hello from 80"), ("http://LIBRARY.rns./hello", b"hello from 80"),
                      ("http://wiki.rns/hello", b"hello from 8080"),
                      (f"http://{site.dest_hash}.rns/hello", b"hello from 80")]:
        assert fetch(proxy, url)[::2] == (200, body), url
    answer = raw(proxy, b"GET /hello HTTP/1.1\r\nHost: library.rns\r\nConnection: close\r\n\r\n")
    assert answer.startswith(b"HTTP/1.1 200 ") and answer.endswith(b"hello from 80")
    transports = start_client(net, site.dest_hash)
    assert transports.check("""
result = [http.get("http://library.rns/hello").text, session.get("http://wiki.rns/hello").text,
          run(ahttp.get("http://library.rns/hello")).text]
""") == ["hello from 80", "hello from 8080", "hello from 80"]
    for destination in ("library", "library.rns", site.dest_hash):
        code, out, err = client(net, destination, "80", "GET", "/hello")
        assert code == 0 and out.endswith(b"\n\nhello from 80"), (destination, err)


def test_an_unusable_line_is_named_where_the_name_is_used(net, sites, proxy, home):
    site, _ = sites
    path = write_names(home, "\n".join([
        f"good = {site.dest_hash}",
        "broken = not-a-hash",
        f"{site.dest_hash} = {site.dest_hash}",
        f"twice = {site.dest_hash}",
        f"twice = {site.dest_hash}:8080",
        "no equals sign here",
        f"Upper = {site.dest_hash}",
        f"port = {site.dest_hash}:70000",
    ]) + "\n")
    assert fetch(proxy, "http://good.rns/hello")[::2] == (200, b"hello from 80")  # the rest does not stop it
    for name, line in [("broken", 2), ("twice", 5), ("port", 8)]:
        status, _, body = fetch(proxy, f"http://{name}.rns/hello")
        assert status == 502 and f"{path}:{line}:".encode() in body, (name, body)
        code, out, err = client(net, name, "80")
        assert code == 2 and f"{path}:{line}:".encode() in err and out == b"", (name, err)
    status, _, body = fetch(proxy, "http://nobody.rns/hello")  # lines without a usable name are told too
    assert status == 400 and b"no name 'nobody'" in body and f"{path}:6:".encode() in body
    code, _, err = client(net, "nobody.rns", "80")
    assert code == 2 and b"no name 'nobody'" in err and f"{path}:6:".encode() in err
    code, _, err = client(net, "not_a_name", "80")  # neither a name nor a hash: as before
    assert code == 2 and b"invalid destination hash" in err
    # a proxy that starts with this file says what is wrong with it
    second = start_proxy(net, home=os.environ["HOME"])
    for line in (3, 6, 7):
        assert f"warning: {path}:{line}:" in second.stderr, second.stderr
    second.stop()
