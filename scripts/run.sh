#!/usr/bin/env bash
# Installs what Kelvane needs, builds the release preset and starts it.
# Arguments are passed to the program (for example: -v 2 --env).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then bash scripts/install-deps.sh; else sudo bash scripts/install-deps.sh; fi
bash scripts/build.sh release
exec ./build/release/kelvane "$@"
