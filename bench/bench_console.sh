#!/usr/bin/env bash
# The console window under a flood, under Xvfb: frame time while 10 MB/s of
# busy output arrives against the idle console, and bytes per second from
# the server into the terminal cells against the terminal model's own parse
# rate on the same bytes. The WebSocket peer is tests/ws_server.py, started
# here on a free port; its send rate of each flood is printed after.
# Arguments: [seconds per round] [rounds] [MiB]
set -euo pipefail
cd "$(dirname "$0")/.."
KVN_WERROR=${KVN_WERROR:-ON} cmake --preset release >/dev/null
cmake --build build/release --target bench_console >/dev/null
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
log=$(mktemp)
block=$(mktemp)
/usr/bin/python3 tests/ws_server.py --flood-block 1048576 >"$block"
/usr/bin/python3 tests/ws_server.py --port "$port" >"$log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -f "$log" "$block"' EXIT
for _ in $(seq 1 200); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
xvfb=(xvfb-run -a -s "-screen 0 1280x800x24")
bench=(./build/release/bench/bench_console "$port" "$block" "$@")
if [ -x /usr/bin/time ]; then
  "${xvfb[@]}" /usr/bin/time -f "peak RSS %M KiB" "${bench[@]}"
else
  "${xvfb[@]}" "${bench[@]}"
fi
echo "server send rates (MB/s):" $(awk '/^flood/ {printf "%.1f ", $2 / $5 / 1e6}' "$log")
