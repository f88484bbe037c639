#!/usr/bin/env bash
# Installs the Debian 12 packages the host build, tests, tools and benchmarks need, or only the
# packages given as arguments (scripts/setup.sh clang).
# Without arguments also Node.js and the npm packages of tools/mcap_check (npm ci).
# Idempotent: does nothing when everything is already installed.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config git ca-certificates
  libpcl-dev libopencv-dev libopencv-dnn-dev libeigen3-dev libyaml-cpp-dev
  libsqlite3-dev libzstd-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-onnx python3-numpy
  colcon python3-colcon-cmake python3-colcon-ros python3-colcon-recursive-crawl
  python3-colcon-package-information python3-colcon-package-selection
)
if [ $# -gt 0 ]; then
  packages=("$@")
fi

# Node.js and npm for the MCAP check (tools/mcap_check), from Debian when no node is on the PATH
# (Debian 12: node 18, npm 9; the lock file suits both).
npm_check=false
if [ $# -eq 0 ]; then
  npm_check=true
  command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The npm packages exactly as locked, again whenever the lock file is newer than the install.
check_dir="$(cd "$(dirname "$0")/.." && pwd)/tools/mcap_check"
if $npm_check && { [ ! -f "$check_dir/node_modules/.package-lock.json" ] ||
                   [ "$check_dir/package-lock.json" -nt "$check_dir/node_modules/.package-lock.json" ]; }; then
  echo "Installing the npm packages of tools/mcap_check"
  (cd "$check_dir" && npm ci --no-audit --no-fund)
fi
