#!/usr/bin/env bash
# The demo itself, on an already set-up machine (see scripts/demo.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# ZIVANE_VENV: the environment zivane is installed in (the project's own by default)
export PATH="${ZIVANE_VENV:-$PWD/.venv}/bin:$PATH"

demo=$PWD/.rns-demo
source scripts/demo_rns.sh

zivane-server 8080 --config "$demo" --identity "$demo/server_identity" 2>"$demo/server.err" >"$demo/server.out" &
pids=("$!" "${pids[@]}")
hash=""
for _ in $(seq 300); do
    hash=$(sed -n 's/^Destination hash: //p' "$demo/server.err")
    [ -n "$hash" ] && break
    sleep 0.1
done
[ -n "$hash" ] || { echo "server did not start:"; cat "$demo/server.err"; exit 1; }
echo "Server listening on HTTP.8080, destination $hash"
echo "--- zivane-client $hash 8080 GET /"
zivane-client "$hash" 8080 GET / --config "$demo" --identity "$demo/client_identity"
echo
kill -TERM "${pids[0]}" && status=0 && wait "${pids[0]}" || status=$?
echo "--- zivane-server stopped (exit status $status)"
pids=("${pids[@]:1}")
