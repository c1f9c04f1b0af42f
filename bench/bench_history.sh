#!/usr/bin/env bash
# History view of a 100,000-line history file: load + first frame and a hover
# frame against a 100-line file's, under Xvfb, with peak memory.
# usage: bench/bench_history.sh [preset] [lines] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
exec xvfb-run -a -s "-screen 0 1600x1000x24" /usr/bin/time -f "peak RSS %M KiB" \
    "build/$preset/bench/bench_history" "${2:-100000}" "${3:-9}"
