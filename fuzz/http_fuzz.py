"""Coverage-guided fuzz target (atheris) for parsing and the server's per-link assembly.

The first input byte picks the target:
  0  HttpRequest.parse on the rest
  1  HttpResponse.parse on the rest
  2  server link: well-formed requests built from the input, optionally followed by a
     hostile tail, delivered in pieces the input chooses; every well-formed request must
     be answered exactly once, in order, before anything else
  3  server link: the rest as raw bytes in pieces; nothing may escape the ready callback
     and every answer must be a well-formed response

Only HttpParserError and UnicodeDecodeError may come out of parsing; anything else, or a
broken invariant, is a crash. Run through fuzz/run.sh.
"""

import contextlib
import os
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

with atheris.instrument_imports():
    from fakes import server as fake

import zivane.server as server_mod  # noqa: E402
from zivane.types import HttpParserError, HttpRequest, HttpResponse  # noqa: E402

METHODS = ["GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH"]
HOSTILE = [
    b"",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffffffffff\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 184467440737095516160\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 4503599627370495\r\n\r\n",
    b"GET / HTTP/1.1\r\nX: " + b"x" * 70000 + b"\r\n\r\n",
    b"\x00\x01\x02\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab",
]
LIMIT = 64 * 1024


def echo(request):
    return HttpResponse(status=200, body=request.path.encode() + b"|" + (request.body or b""))


RNS = fake.ServerRNS()
server_mod.RNS = RNS
server_mod._LINK_BUFFER_LIMIT = LIMIT
SERVER = server_mod.HttpServer(8080)
SERVER._running = True
SERVER.set_default_handler(echo)


def parse_only(parse, data):
    try:
        parse(data)
    except (HttpParserError, UnicodeDecodeError):
        pass


def deliver(fdp, wire):
    link, buf = fake.open_link(SERVER, RNS)
    try:
        pos = 0
        while pos < len(wire):
            step = fdp.ConsumeIntInRange(1, 2048) if fdp.remaining_bytes() else len(wire)
            buf.deliver(wire[pos:pos + step])
            pos += step
        return fake.split_responses(buf.sent)
    finally:
        link.teardown()
        RNS.buffers.clear()
        if SERVER._links:
            raise AssertionError("link state kept after close")


def structured(fdp):
    reqs = []
    for _ in range(fdp.ConsumeIntInRange(1, 5)):
        headers = {}
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            name = fdp.ConsumeUnicodeNoSurrogates(8).encode("ascii", "ignore").decode()
            name = "".join(c for c in name if c.isalnum() or c == "-") or "X"
            if name.lower() in ("content-length", "transfer-encoding"):
                continue
            value = "".join(c for c in fdp.ConsumeUnicodeNoSurrogates(16) if " " < c < "\x7f")
            headers[name] = value
        body = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 5000)) if fdp.ConsumeBool() else None
        if body is not None and fdp.ConsumeBool():
            headers["Transfer-Encoding"] = "chunked"
        path = "/" + "".join(c for c in fdp.ConsumeUnicodeNoSurrogates(20) if "!" <= c <= "~")
        reqs.append(HttpRequest(METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 2)], path,
                                headers=headers, body=body))
    tail = HOSTILE[fdp.ConsumeIntInRange(0, len(HOSTILE) - 1)]
    wire = b"".join(bytes(r) for r in reqs) + tail
    got = deliver(fdp, wire)
    expected = [(200, r.path.encode() + b"|" + (r.body or b"")) for r in reqs]
    if [(r.status, r.body) for r in got[:len(reqs)]] != expected:
        raise AssertionError(f"answers {got!r} for {reqs!r}")
    if any(r.status not in (400, 413, 431, 505) for r in got[len(reqs):]):
        raise AssertionError(f"unexpected answer to the tail: {got[len(reqs):]!r}")


def raw(fdp):
    data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4096))
    got = deliver(fdp, data)
    if any(r.status not in (200, 400, 413, 431, 505) for r in got):
        raise AssertionError(f"unexpected answers {got!r}")
    if any(r.status in (413, 431, 505) for r in got[:-1]):
        raise AssertionError(f"answers after a refusal that ends the link: {got!r}")


def test_one_input(data):
    if not data:
        return
    mode = data[0] % 4
    rest = data[1:]
    if mode == 0:
        parse_only(HttpRequest.parse, rest)
    elif mode == 1:
        parse_only(HttpResponse.parse, rest)
    else:
        fdp = atheris.FuzzedDataProvider(rest)
        with contextlib.redirect_stdout(fake.NullOut()):
            (structured if mode == 2 else raw)(fdp)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
