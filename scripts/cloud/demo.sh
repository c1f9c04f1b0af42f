#!/usr/bin/env bash
# Brings the local cloud up (installing what it needs) and starts Kelvane
# with the demo user's OS_* environment, so a newcomer sees a real cloud
# without owning one. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/cloud/start.sh
else
  sudo KVN_CLOUD_DIR="${KVN_CLOUD_DIR:-}" KVN_CLOUD_EXTRAS="${KVN_CLOUD_EXTRAS:-1}" bash scripts/cloud/start.sh
fi
. "${KVN_CLOUD_DIR:-/tmp/kvn-cloud}/demo-openrc"
exec bash scripts/run.sh --env "$@"
