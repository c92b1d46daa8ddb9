#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs every test.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh
# Bounded fuzzing of the framer, the parsers and the server's link assembly (about a minute).
bash fuzz/run.sh
# Run from the tests folder against the installed package, not the source tree.
.venv/bin/python -m pytest -p no:cacheprovider --timeout=600 -q tests "$@"
