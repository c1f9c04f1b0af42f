#!/usr/bin/env bash
# File chooser on a folder of 10,000 files: opening to the first frame and a
# scrolled frame against the same chooser on an empty folder, under Xvfb.
# usage: bench/bench_filechooser.sh [preset] [files] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
exec xvfb-run -a -s "-screen 0 1600x1000x24" "build/$preset/bench/bench_filechooser" "${2:-10000}" "${3:-30}"
