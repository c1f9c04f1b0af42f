#!/usr/bin/env bash
# Data grid at 100,000 rows: fill and sort times, memory, and the frame cost
# against a 100-row grid, under Xvfb. usage: bench/bench_datagrid.sh [preset] [rows] [frames]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
exec xvfb-run -a -s "-screen 0 1600x1000x24" "build/$preset/bench/bench_datagrid" "${2:-100000}" "${3:-60}"
