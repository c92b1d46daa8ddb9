# Sourced by the demos: a local Reticulum (a shared instance on loopback, configured in
# $demo, no network hardware) started with rnsd, and `pids` with a clean-up on exit that
# stops every process listed in it (the newest first).
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
# One at a time, so that Reticulum's own instance (listed first, stopped last) outlives
# every process attached to it.
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

rnsd --config "$demo" >"$demo/rnsd.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    (echo >/dev/tcp/127.0.0.1/"$shared_port") 2>/dev/null && break
    sleep 0.1
done

