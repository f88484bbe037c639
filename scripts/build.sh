#!/usr/bin/env bash
# The PC build, in BUILD_DIR (default build/):
#  1. ROS 2 Humble (scripts/ros2-humble.sh);
#  2. the PC's NPU runtime (host/rknn) installed as an RKNN_ROOT in BUILD_DIR/npu-runtime;
#  3. the two packages with colcon, as on the robot (README.md), installed in BUILD_DIR/install;
#  4. the workspace (cmake/workspace): harness, tools, benchmarks and node tests on that install;
# and BUILD_DIR/setup.bash, the one file a shell sources to use all of it.
# VELTRAX_SANITIZE (address,undefined or thread) instruments every step but ROS 2 itself.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${BUILD_DIR:-$repo/build}" && cd "${BUILD_DIR:-$repo/build}" && pwd)
build_type=${BUILD_TYPE:-RelWithDebInfo}
jobs=${JOBS:-$(nproc)}
sanitize=${VELTRAX_SANITIZE:-}
# Debian's python3 runs colcon, ament, the message generators and the ros2 tools, whatever other
# python3 (pyenv, conda, a venv) a shell may find first. Each step writes its
# compile_commands.json for clang-tidy (scripts/check-tidy.sh).
common_args=(-DCMAKE_BUILD_TYPE="$build_type" -DVELTRAX_SANITIZE="$sanitize" -DVELTRAX_WERROR=ON
             -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
             -DPYTHON_EXECUTABLE=/usr/bin/python3 -DPython3_EXECUTABLE=/usr/bin/python3)

ros2_setup=$("$repo/scripts/ros2-humble.sh")
[ "$(command -v python3)" = /usr/bin/python3 ] || export PATH=/usr/bin:$PATH
set +u
# shellcheck disable=SC1090
source "$ros2_setup"
set -u

echo "== NPU runtime for the PC (host/rknn) -> $build/npu-runtime"
cmake -S "$repo/host/rknn" -B "$build/npu-runtime-build" "${common_args[@]}" >/dev/null
cmake --build "$build/npu-runtime-build" -j"$jobs"
cmake --install "$build/npu-runtime-build" --prefix "$build/npu-runtime" >/dev/null

echo "== veltrax_protocol, veltrax_cv_model (colcon) -> $build/install"
MAKEFLAGS=-j$jobs colcon --log-base "$build/colcon-log" build \
  --base-paths "$repo/veltrax_protocol" "$repo/veltrax_cv_model" \
  --build-base "$build/colcon" --install-base "$build/install" --merge-install \
  --event-handlers console_cohesion+ \
  --cmake-args "${common_args[@]}" -DRKNN_ROOT="$build/npu-runtime"

cat >"$build/setup.bash" <<EOF
# ROS 2 Humble, veltrax_protocol and veltrax_cv_model as built in this folder (scripts/build.sh).
[ "\$(command -v python3)" = /usr/bin/python3 ] || export PATH=/usr/bin:\$PATH
source "$build/install/setup.bash"
export RMW_IMPLEMENTATION=rmw_cyclonedds_cpp
# DDS traffic stays on this machine (ROS 2's own setup exports 0).
export ROS_LOCALHOST_ONLY=1
EOF
set +u
# shellcheck disable=SC1091
source "$build/setup.bash"
set -u

echo "== workspace: harness, tools, benchmarks, node tests -> $build"
cmake -S "$repo/cmake/workspace" -B "$build" "${common_args[@]}" -DRKNN_ROOT="$build/npu-runtime" >/dev/null
cmake --build "$build" -j"$jobs"
