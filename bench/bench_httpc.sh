#!/usr/bin/env bash
# Builds the release preset and compares the HTTP client with libcurl on a
# local nginx: keep-alive request rate (plain and TLS) and the throughput of
# one large download to a file, as ratios of medians. Peak memory of the
# whole run comes from /usr/bin/time when it is installed.
# Arguments: [requests per round] [rounds] [download MiB]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release >/dev/null
if [ -x /usr/bin/time ]; then
  exec /usr/bin/time -f "peak RSS %M KiB" ./build/release/bench/bench_httpc "$@"
fi
exec ./build/release/bench/bench_httpc "$@"
