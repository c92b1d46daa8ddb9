#!/usr/bin/env bash
# Sets up a fresh machine for zivane: a Python 3.13 virtual environment in .venv with the
# build and test dependencies, and zivane itself built (warnings as errors) and installed.
# Usage: source scripts/setup.sh   (or bash scripts/setup.sh)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."


if ! command -v g++ >/dev/null 2>&1 || ! command -v clang-format >/dev/null 2>&1; then
    # clang-format keeps the C++ in the style of .clang-format
    apt-get update -qq && apt-get install -y -qq g++ clang-format >/dev/null
fi
# clang builds the framer's libFuzzer target (fuzz/run.sh)
if ! command -v clang++ >/dev/null 2>&1; then
    { apt-get install -y -qq clang || { apt-get update -qq && apt-get install -y -qq clang; }; } >/dev/null
fi
# headless Chromium loads a page through zivane-proxy in the browser test; curl is the
# ordinary command-line client of the proxy tests
if ! command -v chromium >/dev/null 2>&1 || ! command -v curl >/dev/null 2>&1; then
    { apt-get install -y -qq chromium curl || { apt-get update -qq && apt-get install -y -qq chromium curl; }; } >/dev/null
fi
source scripts/python.sh

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    rm -rf .venv
    "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q scikit-build-core cmake ninja rns httptools \
    pytest pytest-timeout hypothesis h11 psutil atheris mypy requests types-requests httpx starlette \
    flask
# Declared dependencies are resolved from pyproject.toml as a user's install would.
ZIVANE_WERROR=ON .venv/bin/python -m pip install -q --no-build-isolation --force-reinstall .
