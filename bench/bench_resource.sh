#!/usr/bin/env bash
# The resource panel at scale on the local cloud, under Xvfb: listing against
# libcurl + cJSON and the openstack CLI, the filter frame and memory. The
# items it makes (image records without data, or ports) go at the end, also
# when interrupted.
# usage: bench/bench_resource.sh [preset] [items] [runs] [image|port]
#        bench/bench_resource.sh [preset] --offline [rounds]   (filter frames, no cloud)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
bin="build/$preset/bench/bench_resource"
if [ "${2:-}" = "--offline" ]; then
    exec xvfb-run -a -s "-screen 0 1600x1000x24" "$bin" "$PWD" --offline "${3:-9}"
fi
trap '"$bin" "$PWD" --cleanup' INT TERM
xvfb-run -a -s "-screen 0 1600x1000x24" "$bin" "$PWD" "${2:-10000}" "${3:-3}" "${4:-image}"
