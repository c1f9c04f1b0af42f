#!/usr/bin/env bash
# Shows each recorded service of the local cloud with its pid and the
# resident memory of its process group, and exits 0 only when every service
# runs and Keystone answers, directly and through the TLS front. With --wait
# SECONDS it waits for that first.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"

limit=0
[ "${1:-}" = "--wait" ] && limit=${2:-300}

# The core services, then whatever else was recorded (the extras).
names=$SERVICE_ORDER
for f in "$RUN"/*.pid; do
  [ -e "$f" ] || continue
  n=$(basename "$f" .pid)
  grep -qw -- "$n" <<<"$names" || names="$names $n"
done

check() {
  local name missing=0
  for name in $names; do
    # epmd is only recorded when the cloud had to start it.
    [ "$name" = epmd ] && [ ! -f "$RUN/epmd.pid" ] && continue
    is_running "$name" || missing=1
  done
  [ $missing -eq 0 ] && curl -s -o /dev/null -m 5 http://127.0.0.1:5000/v3 || return 1
  # The TLS front, when it runs, must reach Keystone with a trusted certificate.
  [ ! -f "$RUN/nginx.pid" ] || curl -sf -o /dev/null -m 5 --cacert "$TLS_DIR/ca.pem" "$FRONT_URL/identity/v3"
}

for ((i = 0; ; i++)); do
  check && ok=1 || ok=0
  [ $ok -eq 1 ] || [ $i -ge $((limit * 2)) ] && break
  sleep 0.5
done

total=0
printf '%-26s %8s %10s\n' service pid rss_MiB
for name in $names; do
  [ "$name" = epmd ] && [ ! -f "$RUN/epmd.pid" ] && continue
  if pid=$(recorded_pid "$name"); then
    kb=$(ps -eo pgid=,rss= | awk -v g="$pid" '$1 == g { s += $2 } END { print s + 0 }')
    total=$((total + kb))
    printf '%-26s %8s %10s\n' "$name" "$pid" $((kb / 1024))
  else
    printf '%-26s %8s %10s\n' "$name" - "not running"
  fi
done
printf '%-26s %8s %10s\n' total "" $((total / 1024))
[ $ok -eq 1 ] && echo "cloud: up in $D" || echo "cloud: not (fully) up in $D"
[ $ok -eq 1 ]
