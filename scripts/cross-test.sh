#!/usr/bin/env bash
# The cross test for the robot's CPU (AArch64) on an x86-64 PC, in CROSS_BUILD_DIR (default
# build-aarch64/). It covers:
#   - the pure modules (veltrax_cv_model built with -DVELTRAX_PURE_MODULES_ONLY=ON: core, decode,
#     depth, clusters, pipeline) and their GoogleTest programs, built for AArch64 and run under
#     qemu-aarch64 by ctest;
#   - the node's sources (veltrax_cv_model/src/node) and the PC's NPU runtime (host/rknn), compiled
#     for AArch64 (cmake/cross), not run. There is no ROS 2 for AArch64 here, so the node's objects
#     are not linked; its headers are the PC's ROS 2 install's and the PC build's generated
#     veltrax_protocol messages (PC_BUILD_DIR, default build/, from `make build`). Without that
#     build the node's sources are left out with a message, before and after the test report, and
#     the run passes on the rest. The NPU runtime is linked as its shared library too.
# The node's own tests run on the PC (`make test`) and on the robot (colcon test), not here.
#
# Steps:
#   1. installs the cross toolchain, qemu-user and mmdebstrap when missing;
#   2. builds a Debian 12 arm64 sysroot with the -dev packages both builds need once, and reuses
#      it (ARM64_SYSROOT, default /var/tmp/veltrax-arm64-sysroot; rebuilt when the package list
#      changes);
#   3. configures and builds the pure modules with cmake/toolchains/aarch64-linux-gnu.cmake and
#      JOBS jobs (default 2);
#   4. compiles the node's and the NPU runtime's sources in CROSS_BUILD_DIR/sources, with ROS 2's
#      headers from ROS2_INSTALL (default /opt/ros/humble when installed, else
#      /var/tmp/ros2-humble/install);
#   5. runs ctest on the pure modules' build, which starts every test through qemu (the toolchain's
#      emulator setting), so no binfmt handler is needed.
# Extra arguments go to ctest, e.g. `scripts/cross-test.sh -R Decode`.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${ARM64_SYSROOT:-/var/tmp/veltrax-arm64-sysroot}
build_dir=${CROSS_BUILD_DIR:-$root/build-aarch64}
jobs=${JOBS:-2}
build_type=${BUILD_TYPE:-RelWithDebInfo}
pc_build_dir=${PC_BUILD_DIR:-$root/build}
if [ -z "${ROS2_INSTALL:-}" ]; then
  if [ -f /opt/ros/humble/setup.bash ]; then ROS2_INSTALL=/opt/ros/humble; else
    ROS2_INSTALL=${ROS2_HUMBLE_CACHE:-/var/tmp/ros2-humble}/install; fi
fi
triple=aarch64-linux-gnu
toolchain=$root/cmake/toolchains/aarch64-linux-gnu.cmake

# What the sysroot holds: the libraries of the pure modules and their tests (PCL, OpenCV, Eigen,
# GoogleTest), the NPU runtime's yaml-cpp, console_bridge (class_loader's headers, under the node's
# component), and the C and C++ runtime headers the cross compiler takes from the sysroot.
sysroot_packages=libpcl-dev,libopencv-dev,libeigen3-dev,libyaml-cpp-dev,libconsole-bridge-dev,libgtest-dev,libgmock-dev,libc6-dev,libstdc++-12-dev,linux-libc-dev
sysroot_stamp_text="bookworm arm64 extract: $sysroot_packages; repaired v1"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

phase_start=$SECONDS
phase() {
  local now=$SECONDS
  echo "cross-test: $1 took $((now - phase_start)) s"
  phase_start=$now
}

# --- 1. Host tools ---------------------------------------------------------------------------------
tools=(crossbuild-essential-arm64 qemu-user mmdebstrap)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "cross-test: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
phase "host tools"

# --- 2. Sysroot --------------------------------------------------------------------------------------
# Repairs needed because the packages are only unpacked (no maintainer scripts ran).
repair_sysroot() {
  local dir lib
  dir=$(realpath "$1")
  lib="$dir/usr/lib/$triple"
  # Absolute symlinks (libz.so, libm.so, ...) would point into the PC's own /usr: make them relative.
  find "$dir" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$(readlink "$link")")" "$link"
  done
  # The BLAS/LAPACK alternatives opencv_core links against, and hdf5.pc.
  for l in blas lapack; do
    for f in "lib$l.so.3" "lib$l.so" "lib$l.a"; do
      if [ -e "$lib/$l/$f" ]; then ln -sfn "$l/$f" "$lib/$f"; fi
    done
  done
  if [ -e "$lib/pkgconfig/hdf5-serial.pc" ]; then ln -sfn hdf5-serial.pc "$lib/pkgconfig/hdf5.pc"; fi
  # CMake package files whose imported targets hard-code /usr/: prefix the sysroot.
  find "$dir/usr/lib" "$dir/usr/share" -path '*cmake*' -name '*.cmake' -type f -print0 |
    xargs -0 grep -lE '(INTERFACE_|IMPORTED_)[A-Z_]*[[:space:]]+"([^"]*;)?/usr/' |
    while read -r f; do
      sed -i -E '/(INTERFACE_|IMPORTED_)[A-Z_]*[[:space:]]+"/{s#"/usr/#"${CMAKE_SYSROOT}/usr/#g; s#;/usr/#;${CMAKE_SYSROOT}/usr/#g}' "$f"
    done
}

stamp="$sysroot/.veltrax-sysroot"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sysroot_stamp_text" ]; then
  echo "cross-test: reusing the sysroot in $sysroot"
else
  # Built beside the final place and renamed at the end, so an interrupted run leaves nothing
  # that looks finished. mmdebstrap takes the PC's own apt sources (with security updates).
  echo "cross-test: building the arm64 sysroot in $sysroot (about 600 MB download, 3 GB on disk)"
  staging="$sysroot.partial"
  "${sudo_cmd[@]}" rm -rf "$staging"
  "${sudo_cmd[@]}" mmdebstrap --arch=arm64 --variant=extract --mode=root \
    --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr --include="$sysroot_packages" \
    bookworm "$staging"
  "${sudo_cmd[@]}" bash -c "$(declare -f repair_sysroot); triple=$triple; repair_sysroot '$staging'"
  echo "$sysroot_stamp_text" | "${sudo_cmd[@]}" tee "$staging/.veltrax-sysroot" >/dev/null
  "${sudo_cmd[@]}" rm -rf "$sysroot"
  "${sudo_cmd[@]}" mv "$staging" "$sysroot"
  # The repairs made relative links, so the move keeps them valid; a cache that already holds
  # a configured build refers to the old files by path and must be reconfigured.
  rm -f "$build_dir/CMakeCache.txt" "$build_dir/sources/CMakeCache.txt"
fi
phase "sysroot"

# --- 3. Pure modules ----------------------------------------------------------------------------------
# A build folder left by an older cross test, configured from another source folder, is started
# afresh: CMake refuses to reuse it.
if [ -f "$build_dir/CMakeCache.txt" ] &&
   ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root/veltrax_cv_model" "$build_dir/CMakeCache.txt"; then
  echo "cross-test: $build_dir was configured from another source folder; starting it afresh"
  rm -rf "$build_dir"
fi
cross_args=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DARM64_SYSROOT="$sysroot"
            -DCMAKE_BUILD_TYPE="$build_type" -DVELTRAX_WERROR=ON)
cmake -S "$root/veltrax_cv_model" -B "$build_dir" "${cross_args[@]}" -DVELTRAX_PURE_MODULES_ONLY=ON
cmake --build "$build_dir" -j"$jobs"
phase "pure modules: configure and build"

# --- 4. Node and NPU runtime sources, compiled only ---------------------------------------------------
# The NPU runtime needs only the sysroot; the node needs the PC's ROS 2 headers and the PC build's
# generated veltrax_protocol headers, and is left out, loudly, when they are missing.
protocol_include=$pc_build_dir/install/include/veltrax_protocol
skipped=""
if [ ! -f "$protocol_include/veltrax_protocol/msg/trashes.hpp" ]; then
  skipped="the node's sources were NOT compiled for AArch64: they need the generated veltrax_protocol
headers of the PC build, and $protocol_include is missing;
run \`make build\` (or set PC_BUILD_DIR) and the cross test again"
elif [ ! -d "$ROS2_INSTALL/include/rclcpp" ]; then
  skipped="the node's sources were NOT compiled for AArch64: no ROS 2 headers in
$ROS2_INSTALL/include (set ROS2_INSTALL)"
fi
node_args=(-DVELTRAX_CROSS_NODE=OFF)
if [ -z "$skipped" ]; then
  node_args=(-DVELTRAX_CROSS_NODE=ON -DROS2_INSTALL="$ROS2_INSTALL"
             -DVELTRAX_PROTOCOL_INCLUDE_DIR="$protocol_include")
else
  echo "cross-test: $skipped" >&2
fi
cmake -S "$root/cmake/cross" -B "$build_dir/sources" "${cross_args[@]}" "${node_args[@]}"
cmake --build "$build_dir/sources" -j"$jobs"
phase "node and NPU runtime sources: compile"

# --- 5. Tests under qemu -----------------------------------------------------------------------------
status=0
(cd "$build_dir" && ctest --output-on-failure -j"$jobs" "$@") || status=$?
phase "tests under qemu"
# Repeated after ctest's report, where it is not lost in the build output.
if [ -n "$skipped" ]; then echo "cross-test: $skipped" >&2; fi
exit $status
