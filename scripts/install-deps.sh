#!/usr/bin/env bash
# Installs every Debian package that building and testing Kelvane needs.
# Idempotent: packages already present are skipped by apt-get; the package
# lists are refreshed only when something is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  liballegro5-dev liballegro-ttf5-dev liballegro-image5-dev
  libcjson-dev libssl-dev ca-certificates
  # fonts shipped next to the executable
  fonts-inter fonts-jetbrains-mono
  # tests, fuzzing and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  xvfb xauth x11-utils
  # real peers of the HTTP client tests, and the benchmark's peer client
  nginx tinyproxy libcurl4-openssl-dev
  # the terminal model's second opinion in its tests and benchmark
  libvterm-dev
  # the openstack command and the plug-ins whose commands the API
  # descriptors show as hints
  python3-openstackclient python3-heatclient python3-barbicanclient python3-ironicclient
  python3-manilaclient python3-octaviaclient python3-designateclient python3-magnumclient
  python3-aodhclient python3-gnocchiclient python3-mistralclient python3-zaqarclient
  python3-senlinclient python3-troveclient python3-watcherclient python3-cloudkittyclient
  python3-masakariclient python3-zunclient python3-cyborgclient
  python3-websockets # real peer of the WebSocket tests and benchmark
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get needs it)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
