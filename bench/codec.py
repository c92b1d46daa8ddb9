"""Codec benchmark: zivane.types against a plain Python codec measured in the same run.

    PYTHONPATH=build/<dir> .venv/bin/python bench/codec.py [--rounds N]

Each case runs both implementations in alternating rounds (so allocator state and caches
favour neither) and reports the best per-call time of each and the ratio baseline/zivane.
The chunked-encoding row compares encode_chunked with copying the same bytes once.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import codec_baseline as base  # noqa: E402
import zivane.types as zt  # noqa: E402

BODY_2K = bytes(range(256)) * 8
BODY_100K = os.urandom(100 * 1024)

GET_8 = (
    b"GET /api/items?page=2&sort=name HTTP/1.1\r\n"
    b"Host: example.rns\r\n"
    b"User-Agent: zivane-bench/1.0\r\n"
    b"Accept: application/json\r\n"
    b"Accept-Language: en-GB,en;q=0.9\r\n"
    b"Accept-Encoding: identity\r\n"
    b"Connection: keep-alive\r\n"
    b"Cache-Control: no-cache\r\n"
    b"X-Request-Id: 5f0c3a1e-77b2-4c1d-9a8e-2d6b1f0e4c3a\r\n"
    b"\r\n"
)


def six_headers():
    return {
        "Content-Type": "application/octet-stream",
        "Server": "zivane",
        "Cache-Control": "max-age=60",
        "ETag": '"abc123"',
        "X-Frame-Options": "DENY",
        "Connection": "keep-alive",
    }


def response_2k(mod):
    return mod.HttpResponse(200, headers=six_headers(), body=BODY_2K)


def request_no_body(mod):
    return mod.HttpRequest("GET", "/index.html", headers={"Host": "example.rns", "Accept": "*/*"})


def chunked_response(mod):
    return mod.HttpResponse(200, headers={"Transfer-Encoding": "chunked"}, body=BODY_100K)


RESP_2K = bytes(response_2k(zt))
RESP_CHUNKED = bytes(chunked_response(zt))


def cases():
    """(name, zivane callable, baseline callable, iterations per round)."""
    zreq, breq = request_no_body(zt), request_no_body(base)
    zresp, bresp = response_2k(zt), response_2k(base)
    zch, bch = chunked_response(zt), chunked_response(base)
    hdrs = {"Host": "example.rns"}
    return [
        ("construct request", lambda: zt.HttpRequest("GET", "/", "HTTP/1.1", hdrs, None),
         lambda: base.HttpRequest("GET", "/", "HTTP/1.1", hdrs, None), 20000),
        ("construct response", lambda: zt.HttpResponse(200), lambda: base.HttpResponse(200), 20000),
        ("serialize request, no body", lambda: bytes(zreq), lambda: bytes(breq), 20000),
        ("serialize response, 6 headers, 2 KiB", lambda: bytes(zresp), lambda: bytes(bresp), 20000),
        ("serialize response, 100 KiB chunked", lambda: bytes(zch), lambda: bytes(bch), 300),
        ("parse GET, 8 headers", lambda: zt.HttpRequest.parse(GET_8),
         lambda: base.HttpRequest.parse(GET_8), 5000),
        ("parse response, 2 KiB", lambda: zt.HttpResponse.parse(RESP_2K),
         lambda: base.HttpResponse.parse(RESP_2K), 5000),
        ("parse response, 100 KiB chunked", lambda: zt.HttpResponse.parse(RESP_CHUNKED),
         lambda: base.HttpResponse.parse(RESP_CHUNKED), 300),
        ("encode_chunked 100 KiB vs one copy", lambda: zt.encode_chunked(BODY_100K),
         lambda: bytes(bytearray(BODY_100K)), 300),
    ]


def check_agreement():
    assert bytes(request_no_body(zt)) == bytes(request_no_body(base))
    assert bytes(response_2k(zt)) == bytes(response_2k(base))
    assert bytes(chunked_response(zt)) == bytes(chunked_response(base))
    assert zt.encode_chunked(BODY_100K) == base.encode_chunked(BODY_100K)
    for data, z, b in ((GET_8, zt.HttpRequest, base.HttpRequest),
                       (RESP_2K, zt.HttpResponse, base.HttpResponse),
                       (RESP_CHUNKED, zt.HttpResponse, base.HttpResponse)):
        zr, br = z.parse(data), b.parse(data)
        for name in z.__slots__:
            assert getattr(zr, name) == getattr(br, name), name


def per_call(fn, n):
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n


# Large buffers (100 KiB) otherwise go back to the system after every free and come back
# page by page, which charges page faults to whichever case allocates next. Fixed
# thresholds keep that out of both columns.
TUNABLES = "glibc.malloc.trim_threshold=268435456:glibc.malloc.mmap_threshold=268435456"


def main():
    if os.environ.get("GLIBC_TUNABLES") is None and sys.platform.startswith("linux"):
        os.environ["GLIBC_TUNABLES"] = TUNABLES
        os.execv(sys.executable, [sys.executable, *sys.argv])
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=21)
    args = parser.parse_args()
    check_agreement()
    rows = []
    for name, zfn, bfn, n in cases():
        zbest = bbest = float("inf")
        per_call(zfn, n // 10 + 1)
        per_call(bfn, n // 10 + 1)
        for r in range(args.rounds):
            order = (zfn, bfn) if r % 2 == 0 else (bfn, zfn)
            for fn in order:
                t = per_call(fn, max(1, n // 3))
                if fn is zfn:
                    zbest = min(zbest, t)
                else:
                    bbest = min(bbest, t)
        rows.append((name, zbest, bbest))
    print(f"GLIBC_TUNABLES={os.environ.get('GLIBC_TUNABLES', '')}")
    print(f"{'case':40} {'zivane':>12} {'baseline':>12} {'ratio':>8}")
    for name, z, b in rows:
        print(f"{name:40} {z / 1000:10.3f}us {b / 1000:10.3f}us {b / z:7.2f}x")
    print("(ratio = baseline / zivane; for encode_chunked the baseline is one copy of the body,"
          " so a ratio of 0.33 or more means within 3x of a copy)")


if __name__ == "__main__":
    main()
