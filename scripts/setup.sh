#!/usr/bin/env bash
# Installs the Debian 12 packages the host build, tests, tools and benchmarks need, or only the
# packages given as arguments (scripts/setup.sh clang).
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

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
