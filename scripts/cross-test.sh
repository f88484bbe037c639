#!/usr/bin/env bash
# Builds the host workspace (stand-ins included) for AArch64 and runs every test under qemu-aarch64.
#
#   1. installs the cross toolchain, qemu-user and mmdebstrap when missing;
#   2. builds a Debian 12 arm64 sysroot with the workspace's -dev packages once, and reuses it
#      (ARM64_SYSROOT, default /var/tmp/veltrax-arm64-sysroot; rebuilt when the package list changes);
#   3. configures CROSS_BUILD_DIR (default build-aarch64/) with cmake/toolchains/aarch64-linux-gnu.cmake,
#      builds it with JOBS jobs (default 2) and runs ctest, which starts every test through qemu;
#      tests that start one of the build's programs put the same qemu command before it, so no
#      binfmt handler is needed.
# Extra arguments go to ctest, e.g. `scripts/cross-test.sh -R Decode`.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${ARM64_SYSROOT:-/var/tmp/veltrax-arm64-sysroot}
build_dir=${CROSS_BUILD_DIR:-$root/build-aarch64}
jobs=${JOBS:-2}
build_type=${BUILD_TYPE:-RelWithDebInfo}
triple=aarch64-linux-gnu

# What the sysroot holds: the -dev packages scripts/setup.sh installs for the host build, plus the
# C and C++ runtime headers the cross compiler takes from the sysroot.
sysroot_packages=libpcl-dev,libopencv-dev,libeigen3-dev,libyaml-cpp-dev,libsqlite3-dev,libzstd-dev,nlohmann-json3-dev,libgtest-dev,libgmock-dev,libbenchmark-dev,libc6-dev,libstdc++-12-dev,linux-libc-dev
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
  rm -f "$build_dir/CMakeCache.txt"
fi
phase "sysroot"

# --- 3. Configure and build --------------------------------------------------------------------------
cmake -S "$root/cmake/workspace" -B "$build_dir" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake" \
  -DARM64_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE="$build_type"
cmake --build "$build_dir" -j"$jobs"
phase "configure and build"

# --- 4. Tests under qemu -----------------------------------------------------------------------------
status=0
(cd "$build_dir" && ctest --output-on-failure -j"$jobs" "$@") || status=$?
phase "tests under qemu"
exit $status
