#!/usr/bin/env bash
# Project cleanup on the local cloud: two projects filled alike with ~200
# resources of cheap kinds, one emptied by Kelvane, the other by `openstack
# project cleanup` (confirmed on its input), in the same run; prints the ratio. The
# projects go at the end, also when interrupted.
# usage: bench/bench_cleanup.sh [preset] [resources]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
bin="build/$preset/bench/bench_cleanup"
trap '"$bin" "$PWD" --cleanup' INT TERM
"$bin" "$PWD" "${2:-200}"
