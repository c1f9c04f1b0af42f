#!/usr/bin/env bash
# Receive throughput of the WebSocket client on loopback against the send
# rate of Debian's python3-websockets server (tests/ws_server.py), started
# here on a free port.
# Arguments: [message KiB] [messages per round] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build build/release --target bench_ws >/dev/null
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
log=$(mktemp)
/usr/bin/python3 tests/ws_server.py --port "$port" >"$log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 1 200); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
if [ -x /usr/bin/time ]; then
  /usr/bin/time -f "peak RSS %M KiB" ./build/release/bench/bench_ws "$port" "$@"
else
  ./build/release/bench/bench_ws "$port" "$@"
fi
