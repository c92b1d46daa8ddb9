"""One million parse-and-serialize round trips must leave memory and reference counts flat."""

import gc
import sys

import psutil

import zivane.types as zt
from helpers import SANITIZED
from zivane.types import HttpParserError, HttpRequest, HttpResponse, HttpSerializerError

REQUEST = bytes(HttpRequest("POST", "/items?x=1", headers={"Host": "h", "Accept": "*/*"}, body=b"b" * 300))
RESPONSE = bytes(HttpResponse(200, headers={"Transfer-Encoding": "chunked", "Server": "z"}, body=b"r" * 5000))


def round_trips(n):
    for i in range(n):
        req = HttpRequest.parse(REQUEST)
        bytes(req)
        if i % 8 == 0:
            resp = HttpResponse.parse(RESPONSE)
            bytes(resp)
            repr(resp)
            resp == req
        if i % 64 == 0:
            # error paths and the ordinary (non-quick) roads
            try:
                HttpRequest.parse(b"\x01\x02 / HTTP/1.1\r\n\r\n")
            except HttpParserError:
                pass
            try:
                bytes(HttpRequest("GET", "/", headers={"X": "a\r\nb"}))
            except HttpSerializerError:
                pass
            bytes(HttpRequest("GET", "/", headers=[("A", 1)], body=bytearray(b"x")))
            zt.encode_chunked(memoryview(b"abc"))
            HttpRequest.parse(b"GET / HTTP/1.1\r\nA: 1\r\nA: 2\r\nB:\t3\r\n\r\n")


# Under the sanitizer (SANITIZED) only the reference counts are checked.

def rss():
    gc.collect()
    return psutil.Process().memory_info().rss


def test_million_round_trips_keep_memory_flat():
    counted = [HttpRequest, HttpResponse, zt.RequestCallbacks, zt.ResponseCallbacks, REQUEST, RESPONSE, None,
               zt.HttpParserError, zt.HttpSerializerError]
    round_trips(20_000)  # warm caches, interned strings, allocator pools
    gc.collect()  # garbage left by earlier tests still holds some of these
    before_refs = [sys.getrefcount(o) for o in counted]
    before = rss()
    total = 1_000_000
    step = 100_000
    samples = []
    for _ in range(total // step):
        round_trips(step)
        samples.append(rss())
    gc.collect()
    after_refs = [sys.getrefcount(o) for o in counted]
    assert after_refs == before_refs
    if SANITIZED:
        return
    growth = samples[-1] - before
    # a leak of even one small object per round trip would be tens of MB here
    assert growth < 4 * 1024 * 1024, (before, samples)
    assert samples[-1] - samples[len(samples) // 2] < 2 * 1024 * 1024, samples
