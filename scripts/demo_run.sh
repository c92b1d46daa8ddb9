#!/usr/bin/env bash
# The demo itself, on an already set-up machine (see scripts/demo.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export PATH="$PWD/.venv/bin:$PATH"

demo=$PWD/.rns-demo
rm -rf "$demo" && mkdir -p "$demo"
read -r shared_port control_port < <(python - <<'PY'
import socket
ports = []
socks = []
for _ in range(2):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
    ports.append(s.getsockname()[1])
print(*ports)
PY
)
cat > "$demo/config" <<CFG
[reticulum]
  enable_transport = No
  share_instance = Yes
  shared_instance_type = tcp
  shared_instance_port = $shared_port
  instance_control_port = $control_port
  rpc_key = $(python -c 'import secrets; print(secrets.token_hex(32))')
  panic_on_interface_error = No

[logging]
  loglevel = 2

[interfaces]
CFG

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

rnsd --config "$demo" >"$demo/rnsd.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    (echo >/dev/tcp/127.0.0.1/"$shared_port") 2>/dev/null && break
    sleep 0.1
done

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
