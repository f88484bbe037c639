# Cross-build for the robot's CPU (AArch64, Debian 12 / glibc) from an x86-64 Debian 12 PC.
#
# Needs the GNU cross toolchain (crossbuild-essential-arm64), qemu-user, and an arm64 sysroot
# holding the -dev packages of the host build (scripts/cross-test.sh makes one). Give the sysroot
# as -DARM64_SYSROOT=<dir> or in the environment variable ARM64_SYSROOT.
#
# There is no binfmt_misc on the build machines, so arm64 programs only start through
# qemu-aarch64; the emulator setting below lets ctest, gtest_discover_tests and try_run do that.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT ARM64_SYSROOT)
  set(ARM64_SYSROOT "$ENV{ARM64_SYSROOT}")
endif()
if(NOT ARM64_SYSROOT OR NOT IS_DIRECTORY "${ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "ARM64_SYSROOT ('${ARM64_SYSROOT}') is not an arm64 sysroot; "
                      "scripts/cross-test.sh builds one")
endif()
# try_compile projects re-read this file in a fresh scope.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM64_SYSROOT)

set(CMAKE_SYSROOT "${ARM64_SYSROOT}")
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# GCC notes on every std::pair<float, float> argument that its passing changed in GCC 10.1; all
# code on the robot comes from newer compilers, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

set(CMAKE_FIND_ROOT_PATH "${ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (used by PCL's and OpenCV's package files) must read the sysroot's .pc files only.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ARM64_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${ARM64_SYSROOT}/usr/lib/pkgconfig:${ARM64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-aarch64;-L;${ARM64_SYSROOT}")
