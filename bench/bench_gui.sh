#!/usr/bin/env bash
# Toolkit frame cost against direct Allegro drawing, and mouse-move routing,
# under Xvfb. usage: bench/bench_gui.sh [preset] [frames]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
exec xvfb-run -a -s "-screen 0 1600x1000x24" "build/$preset/bench/bench_gui" "${2:-60}"
