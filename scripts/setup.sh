#!/usr/bin/env bash
# Installs the Debian 12 packages the PC build, ROS 2 Humble, tests, tools and benchmarks need, or only the
# packages given as arguments (scripts/setup.sh clang).
# Without arguments also Node.js and the npm packages of tools/mcap_check (npm ci).
# Idempotent: does nothing when everything is already installed.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config git ca-certificates zstd
  libpcl-dev libopencv-dev libopencv-dnn-dev libeigen3-dev libyaml-cpp-dev
  libsqlite3-dev libzstd-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-onnx python3-numpy
  # What ROS 2 Humble needs to run and to build on, from source or prebuilt
  # (scripts/ros2-humble.sh; the guide's step 1).
  python3-dev python3-empy python3-lark python3-catkin-pkg python3-yaml
  python3-setuptools python3-netifaces python3-psutil python3-packaging python3-argcomplete
  colcon python3-colcon-cmake python3-colcon-ros python3-colcon-package-selection
  python3-colcon-output python3-colcon-bash python3-colcon-library-path python3-colcon-metadata
  python3-colcon-defaults python3-colcon-parallel-executor python3-colcon-python-setup-py
  python3-colcon-recursive-crawl python3-colcon-pkg-config python3-colcon-package-information
  cyclonedds-dev libspdlog-dev libtinyxml2-dev libconsole-bridge-dev
  pybind11-dev liborocos-kdl-dev libconcurrentqueue-dev libreaderwriterqueue-dev
  libboost-dev libboost-python-dev
  # CI's style and lint checks (make format-check, make tidy).
  clang-format clang-tidy
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
