#!/usr/bin/env bash
# Fuzzes the framer, the bridges' streaming message reader and the reading of a site's
# announce data (libFuzzer, with AddressSanitizer and UndefinedBehaviorSanitizer) and the
# parsers and server link assembly (atheris, against the zivane the venv imports; set
# PYTHONPATH to a build directory to fuzz that build instead).
#
#   bash fuzz/run.sh           bounded run, about a minute in all (part of scripts/test.sh)
#   bash fuzz/run.sh --long    30 minutes per target (FUZZ_SECONDS overrides either)
#
# New inputs go to a corpus under build/fuzz/ (kept between runs), seeded from fuzz/seeds/.
# A crash stops the run with the input saved as build/fuzz/crash-*; the script then exits 1.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

framer_seconds=20
http_seconds=30
site_seconds=10
if [ "${1:-}" = "--long" ]; then
    framer_seconds=1800
    http_seconds=1800
    site_seconds=1800
fi
if [ -n "${FUZZ_SECONDS:-}" ]; then
    framer_seconds=$FUZZ_SECONDS
    http_seconds=$FUZZ_SECONDS
    site_seconds=$FUZZ_SECONDS
fi

out=build/fuzz
mkdir -p "$out/corpus-framer" "$out/corpus-http"
python=.venv/bin/python
status=0

runs() { sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$1" | tail -1; }

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ not found (apt-get install -y clang); framer target skipped" >&2
else
    if [ ! -x "$out/framer_fuzz" ] || [ fuzz/framer_fuzz.cpp -nt "$out/framer_fuzz" ] ||
       [ src/zivane/transport/framing.cpp -nt "$out/framer_fuzz" ] || [ src/zivane/transport/framing.hpp -nt "$out/framer_fuzz" ]; then
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -Isrc/zivane fuzz/framer_fuzz.cpp src/zivane/transport/framing.cpp -o "$out/framer_fuzz"
    fi
    if ! "$out/framer_fuzz" -max_total_time="$framer_seconds" -dict=fuzz/http.dict \
            -artifact_prefix="$out/crash-framer-" -print_final_stats=1 \
            "$out/corpus-framer" fuzz/seeds/framer >"$out/framer.log" 2>&1; then
        tail -40 "$out/framer.log" >&2
        status=1
    fi
    echo "fuzz framer: $(runs "$out/framer.log") executions in ${framer_seconds}s" \
        "($( [ $status = 0 ] && echo "no crash" || echo "CRASH"))"

    # The streaming reader of the bridges: the same stream read whole and in pieces.
    stream_status=0
    mkdir -p "$out/corpus-stream"
    if [ ! -x "$out/message_stream_fuzz" ] || [ fuzz/message_stream_fuzz.cpp -nt "$out/message_stream_fuzz" ] ||
       [ src/zivane/transport/message_stream.cpp -nt "$out/message_stream_fuzz" ] ||
       [ src/zivane/transport/message_stream.hpp -nt "$out/message_stream_fuzz" ] ||
       [ src/zivane/transport/framing.cpp -nt "$out/message_stream_fuzz" ]; then
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -Isrc/zivane fuzz/message_stream_fuzz.cpp src/zivane/transport/message_stream.cpp \
        src/zivane/transport/framing.cpp -o "$out/message_stream_fuzz"
    fi
    if ! "$out/message_stream_fuzz" -max_total_time="$framer_seconds" -dict=fuzz/http.dict \
            -artifact_prefix="$out/crash-stream-" -print_final_stats=1 \
            "$out/corpus-stream" fuzz/seeds/stream >"$out/stream.log" 2>&1; then
        tail -40 "$out/stream.log" >&2
        stream_status=1
        status=1
    fi
    echo "fuzz message stream: $(runs "$out/stream.log") executions in ${framer_seconds}s" \
        "($( [ $stream_status = 0 ] && echo "no crash" || echo "CRASH"))"

    # What a site says about itself in its announces: data from anyone on the mesh.
    site_status=0
    mkdir -p "$out/corpus-site"
    if [ ! -x "$out/site_announce_fuzz" ] || [ fuzz/site_announce_fuzz.cpp -nt "$out/site_announce_fuzz" ] ||
       [ src/zivane/common/site_announce.cpp -nt "$out/site_announce_fuzz" ] ||
       [ src/zivane/common/site_announce.hpp -nt "$out/site_announce_fuzz" ]; then
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -Isrc/zivane fuzz/site_announce_fuzz.cpp src/zivane/common/site_announce.cpp -o "$out/site_announce_fuzz"
    fi
    if ! "$out/site_announce_fuzz" -max_total_time="$site_seconds" \
            -artifact_prefix="$out/crash-site-" -print_final_stats=1 \
            "$out/corpus-site" fuzz/seeds/site_announce >"$out/site.log" 2>&1; then
        tail -40 "$out/site.log" >&2
        site_status=1
        status=1
    fi
    echo "fuzz site announce: $(runs "$out/site.log") executions in ${site_seconds}s" \
        "($( [ $site_status = 0 ] && echo "no crash" || echo "CRASH"))"
fi

http_status=0
if ! "$python" -c 'import atheris' 2>/dev/null; then
    echo "fuzz: atheris not installed (pip install atheris); http target skipped" >&2
else
    if ! "$python" fuzz/http_fuzz.py -max_total_time="$http_seconds" -dict=fuzz/http.dict \
            -artifact_prefix="$out/crash-http-" -print_final_stats=1 \
            "$out/corpus-http" fuzz/seeds/http >"$out/http.log" 2>&1; then
        tail -40 "$out/http.log" >&2
        http_status=1
        status=1
    fi
    echo "fuzz http (parse, server assembly): $(runs "$out/http.log") executions in ${http_seconds}s" \
        "($( [ $http_status = 0 ] && echo "no crash" || echo "CRASH"))"
fi
exit $status
