#!/usr/bin/env bash
# Builds the release preset and compares the terminal model's parse throughput
# with libvterm's on the same generated 64 MiB console stream, with `cat` of
# the stream as the floor. Prints the medians, the ratio and each engine's
# peak RSS (every measurement runs in a child process of its own).
# Arguments: [MiB] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release >/dev/null
exec ./build/release/bench/bench_term "$@"
