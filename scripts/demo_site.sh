#!/usr/bin/env bash
# The second demo, on an already set-up machine: a folder served by `python -m http.server`,
# published with zivane-gateway, fetched with `curl -x` through zivane-proxy, all over a
# self-contained local Reticulum. Prints the page and the browser command to view it, then
# keeps serving until Ctrl-C. Without a terminal on standard input, or with
# ZIVANE_DEMO_ONCE=1, it stops once the page is printed (for tests and CI).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export PATH="$PWD/.venv/bin:$PATH"

demo=$PWD/.rns-demo-site
source scripts/demo_rns.sh

mkdir -p "$demo/site"
cat > "$demo/site/index.html" <<'HTML'
<!doctype html>
<html><head><title>zivane</title></head>
<body><h1>Hello from a web server published over Reticulum</h1></body></html>
HTML
read -r web_port proxy_port < <(python -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

python -m http.server "$web_port" --bind 127.0.0.1 --directory "$demo/site" >"$demo/web.log" 2>&1 &
pids=("$!" "${pids[@]}")
zivane-gateway 80 "http://127.0.0.1:$web_port" --config "$demo" --identity "$demo/gateway_identity" \
    2>"$demo/gateway.err" &
pids=("$!" "${pids[@]}")
hash=""
for _ in $(seq 300); do
    hash=$(sed -n 's/^Destination hash: //p' "$demo/gateway.err")
    [ -n "$hash" ] && break
    sleep 0.1
done
[ -n "$hash" ] || { echo "gateway did not start:"; cat "$demo/gateway.err"; exit 1; }
echo "Gateway listening on HTTP.80, destination $hash, publishing http://127.0.0.1:$web_port"

zivane-proxy --listen "127.0.0.1:$proxy_port" --config "$demo" --identity "$demo/proxy_identity" \
    2>"$demo/proxy.err" &
pids=("$!" "${pids[@]}")
for _ in $(seq 300); do
    (echo >/dev/tcp/127.0.0.1/"$proxy_port") 2>/dev/null && break
    sleep 0.1
done
echo "--- curl -x http://127.0.0.1:$proxy_port http://$hash.rns/"
curl -sS --max-time 60 -x "http://127.0.0.1:$proxy_port" "http://$hash.rns/"
echo "--- in a browser: chromium --proxy-server=http://127.0.0.1:$proxy_port http://$hash.rns/"
if [ "${ZIVANE_DEMO_ONCE:-0}" = 1 ] || [ ! -t 0 ]; then
    exit 0
fi

# Ctrl-C reaches only this shell: commands started with & by a script ignore SIGINT, so the
# clean-up on exit stops them one at a time, Reticulum's instance last.
trap 'echo; echo "--- stopping"; exit 0' INT TERM
echo "--- serving until Ctrl-C"
status=0
wait -n "${pids[@]}" || status=$?
echo "--- a demo process ended by itself (exit status $status); stopping the others"
exit 1
