#!/usr/bin/env bash
# Builds the release preset's quota benchmark and runs it on the local cloud:
# one quota sample against the same calls with libcurl (sequential, and the
# four services in parallel as a figure), and the load of a 100,000-line
# history with its peak RSS. Arguments: [servers] [volumes] [history lines]
set -euo pipefail
cd "$(dirname "$0")/.."
KVN_WERROR=${KVN_WERROR:-ON} cmake --preset release >/dev/null
cmake --build build/release --target bench_quota_sample -j2 >/dev/null
exec ./build/release/bench/bench_quota_sample "$@"
