#!/usr/bin/env bash
# Makes ROS 2 Humble available and prints the setup file to source.
#  - /opt/ros/humble/setup.bash when Humble is installed (Ubuntu 22.04, apt packages: README.md);
#  - otherwise the pinned subset of ROS2_HUMBLE_SOURCES (default ../shared/ros2-humble) in
#    ROS2_HUMBLE_CACHE (default /var/tmp/ros2-humble), kept while its MANIFEST.tsv is unchanged:
#    the prebuilt install of the same manifest is unpacked when there is one, else everything is
#    built from the sources (about an hour on two cores).
# Everything but the path of the setup file goes to stderr.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ -f /opt/ros/humble/setup.bash ] && [ -z "${ROS2_HUMBLE_SOURCES:-}" ]; then
  echo /opt/ros/humble/setup.bash
  exit 0
fi

sources=${ROS2_HUMBLE_SOURCES:-$repo/../shared/ros2-humble}
cache=${ROS2_HUMBLE_CACHE:-/var/tmp/ros2-humble}
manifest=$sources/MANIFEST.tsv
[ -f "$manifest" ] || { echo "ros2-humble: no $manifest (set ROS2_HUMBLE_SOURCES)" >&2; exit 1; }
hash=$(sha256sum "$manifest" | cut -d' ' -f1)
stamp=$cache/install/.veltrax-manifest-sha256

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$hash" ] && [ -f "$cache/install/setup.bash" ]; then
  echo "$cache/install/setup.bash"
  exit 0
fi

# Debian's python3 must run colcon and the ROS 2 tools (it has catkin_pkg, empy, lark, numpy).
export PATH=/usr/bin:$PATH
rm -rf "$cache/install"
mkdir -p "$cache"

# The prebuilt archive's setup scripts name /var/tmp/ros2-humble/install: only usable there.
prebuilt=$sources/prebuilt/ros2-humble-debian12-$(dpkg --print-architecture 2>/dev/null || echo none).tar.zst
if [ -f "$prebuilt" ] && [ "$cache" = /var/tmp/ros2-humble ] &&
   grep -q "$hash" "$sources/prebuilt/README.md" 2>/dev/null; then
  echo "ros2-humble: unpacking the prebuilt install of manifest ${hash:0:12} into $cache" >&2
  zstd -dc "$prebuilt" | tar -x -C "$cache"
else
  echo "ros2-humble: building the pinned sources into $cache (about an hour on two cores;" \
       "the guide: shared/guides/ros2-humble-from-source.md)" >&2
  rm -rf "$cache/src" "$cache/vendor" "$cache/build"
  mkdir -p "$cache/src" "$cache/vendor" "$cache/cmake"
  for f in "$sources"/src/*.tar.gz; do
    case $(basename "$f") in
      # Not colcon packages: sources that three vendor packages would otherwise download.
      foxglove+mcap.tar.gz | lz4+lz4.tar.gz | yaml+libyaml.tar.gz) tar -C "$cache/vendor" -xzf "$f" ;;
      *) tar -C "$cache/src" -xzf "$f" ;;
    esac
  done
  cp "$repo/cmake/ros2/offline-vendor.cmake" "$cache/cmake/"
  top="rclcpp rclcpp_action rclcpp_components rclcpp_lifecycle rcl_lifecycle rcl_action
    sensor_msgs geometry_msgs std_msgs image_transport cv_bridge tf2 tf2_ros tf2_eigen
    pcl_conversions pcl_ros rosidl_default_generators rosidl_default_runtime launch_ros
    rmw_cyclonedds_cpp rmw_implementation ros2cli ros2launch ros2run ros2topic ros2param
    ros2node ros2pkg ros2bag rosbag2_cpp rosbag2_storage rosbag2_storage_default_plugins
    rosbag2_storage_mcap rosbag2_compression_zstd rosbag2_transport rosbag2_py rclpy
    message_filters ros_environment"
  ignore="test_msgs rosbag2_test_common rosbag2_storage_mcap_testdata std_srvs launch_testing
    launch_testing_ros launch_testing_ament_cmake ament_cmake_google_benchmark"
  # Progress: a line as each of the 127 packages starts and ends, with its time.
  events=(--event-handlers console_direct- console_start_end+ console_cohesion-)
  # shellcheck disable=SC2086
  (cd "$cache" && MAKEFLAGS=-j$(nproc) RMW_IMPLEMENTATION=rmw_cyclonedds_cpp nice -n 10 \
    colcon build --base-paths src --merge-install --build-base build --install-base install \
      --parallel-workers 1 "${events[@]}" \
      --packages-up-to $top --packages-ignore $ignore \
      --cmake-args -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
        -DFETCHCONTENT_FULLY_DISCONNECTED=ON \
        -DFETCHCONTENT_SOURCE_DIR_MCAP="$cache/vendor/mcap" \
        -DFETCHCONTENT_SOURCE_DIR_LZ4="$cache/vendor/lz4" \
        -DROS2_OFFLINE_VENDOR_DIR="$cache/vendor" \
        -DCMAKE_PROJECT_libyaml_vendor_INCLUDE="$cache/cmake/offline-vendor.cmake" \
        -DCMAKE_PROJECT_shared_queues_vendor_INCLUDE="$cache/cmake/offline-vendor.cmake") >&2
  rm -rf "$cache/build" "$cache/src"
fi
echo "$hash" >"$stamp"
echo "$cache/install/setup.bash"
