#!/usr/bin/env bash
# Configures and builds one preset (release, debug, asan, tsan, fuzz) into
# build/<preset>/. Warnings are errors here, as in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
export KVN_WERROR=${KVN_WERROR:-ON}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
