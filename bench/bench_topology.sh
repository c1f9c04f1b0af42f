#!/usr/bin/env bash
# Topology graph of 2,000 servers: build, layout, memory and the fitted frame
# against an empty view, under Xvfb. usage: bench/bench_topology.sh [preset] [servers] [frames]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
exec xvfb-run -a -s "-screen 0 1600x1000x24" "build/$preset/bench/bench_topology" "${2:-2000}" "${3:-40}"
