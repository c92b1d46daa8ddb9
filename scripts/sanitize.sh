#!/usr/bin/env bash
# Builds zivane with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan and runs
# the test suite against that build (after scripts/setup.sh). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
cmake -S . -B build/asan -G Ninja -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
    -DZIVANE_SANITIZE=ON -DZIVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan
# The interpreter itself is not instrumented: preload the runtime, and leave leak checking
# to the reference-count tests (CPython keeps objects alive until exit by design).
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/build/asan"
exec .venv/bin/python -m pytest -p no:cacheprovider --timeout=900 -q "${@:-tests}"
