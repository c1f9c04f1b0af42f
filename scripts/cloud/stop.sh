#!/usr/bin/env bash
# Stops the local cloud: ends exactly the process groups recorded in
# $KVN_CLOUD_DIR/run (never by name), newest first. With --purge it then
# removes the cloud folder, so the next start begins from scratch.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"

purge=0
[ "${1:-}" = "--purge" ] && purge=1

if [ -d "$RUN" ]; then
  order=$(for s in $SERVICE_ORDER; do echo "$s"; done | tac)
  # Services recorded under a name this script does not know (an older
  # checkout) are stopped too, before the message bus goes.
  for f in "$RUN"/*.pid; do
    [ -e "$f" ] || continue
    name=$(basename "$f" .pid)
    grep -qx "$name" <<<"$order" || order="$name"$'\n'"$order"
  done
  # The API and worker services go first, all at once; the message bus,
  # cache, database server and epmd they talk to go last.
  base="rabbitmq memcached postgres epmd"
  first=()
  for name in $order; do
    [ -e "$RUN/$name.pid" ] || continue
    grep -qw "$name" <<<"$base" || first+=("$name")
  done
  [ ${#first[@]} -eq 0 ] || stop_services "${first[@]}"
  stop_services $base
fi

left=$(ls "$RUN"/*.pid 2>/dev/null | wc -l)
[ "$left" -eq 0 ] || { echo "cloud: $left pid files left in $RUN" >&2; exit 1; }
if [ $purge -eq 1 ]; then
  case $D in /|/tmp|/tmp/|"") die "refusing to remove $D" ;; esac
  rm -rf "$D"
  log "removed $D"
fi
