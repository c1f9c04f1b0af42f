#!/usr/bin/env bash
# Builds the release preset's program and peers and runs the main window's
# benchmark on the local cloud: start-up, connected start-up, idle CPU and
# RSS against the bare Allegro and libcurl peers. Arguments: [runs] [openrc]
set -euo pipefail
cd "$(dirname "$0")/.."
KVN_WERROR=${KVN_WERROR:-ON} cmake --preset release >/dev/null
cmake --build build/release --target kelvane bench_bare_allegro bench_bare_idle bench_main_peer >/dev/null
exec python3 bench/bench_main.py build/release "${1:-7}" "${2:-/tmp/kvn-cloud/demo-openrc}"
