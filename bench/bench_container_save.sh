#!/usr/bin/env bash
# Container save on the local cloud as the demo user: a container of 1,000
# small objects in pseudo folders and one holding a single 1 GiB object, each
# saved by Kelvane, by `openstack container save` and by `swift download`,
# one after the other in the same run. Prints each tool's wall time and peak
# RSS (both from /usr/bin/time -v) and the ratios against Kelvane; no figure
# is asserted. The containers go at the end, also when interrupted.
# usage: bench/bench_container_save.sh [preset] [objects] [MiB]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
count=${2:-1000}
mib=${3:-1024}
bin="$PWD/build/$preset/bench/bench_container_save"
cloud=${KVN_CLOUD_DIR:-/tmp/kvn-cloud}
tag="kvn-bench-save-$$"
work=$(mktemp -d)
cleanup() {
  "$bin" "$tag" --cleanup || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The peers read the demo user's openrc; their peak RSS is the largest of
# the shell and what it runs, as GNU time reports it.
peer=(env -u OS_CLOUD -u OS_CLIENT_CONFIG_FILE bash -c)
rc=". '$cloud/demo-openrc'"

# One timed run: "<wall seconds> <peak RSS KiB>" from GNU time's report.
timed() {
  local out="$work/time.txt"
  /usr/bin/time -v -o "$out" "$@" >"$work/run.log" 2>&1 || { cat "$work/run.log" >&2; return 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i] }
              /Maximum resident set size/ { r = $2 } END { printf "%.2f %d\n", s, r }' "$out"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "filling $tag-small ($count objects) and $tag-big (${mib} MiB)..."
"$bin" "$tag" --setup "$count" "$mib"

for kind in small big; do
  c="$tag-$kind"
  rm -rf "$work/ours" "$work/cli" "$work/swift"
  mkdir -p "$work/cli"
  read -r ours_t ours_r < <(timed "$bin" "$tag" --save "$c" "$work/ours")
  grep "^saved" "$work/run.log" | sed "s/^/  kelvane: /" || true
  rm -rf "$work/ours"
  read -r cli_t cli_r < <(timed "${peer[@]}" "$rc && cd '$work/cli' && openstack container save '$c'")
  rm -rf "$work/cli"
  read -r swift_t swift_r < <(timed "${peer[@]}" "$rc && swift download '$c' -D '$work/swift' -q")
  rm -rf "$work/swift"
  echo "$kind: kelvane ${ours_t} s ${ours_r} KiB | openstack container save ${cli_t} s ${cli_r} KiB | swift download ${swift_t} s ${swift_r} KiB"
  awk -v o="$ours_t" -v c="$cli_t" -v s="$swift_t" -v or="$ours_r" -v cr="$cli_r" -v sr="$swift_r" -v k="$kind" \
    'BEGIN { printf "%s: time cli/kelvane %.2fx, swift/kelvane %.2fx; RSS cli/kelvane %.2fx, swift/kelvane %.2fx\n", k, c / o, s / o, cr / or, sr / or }'
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
