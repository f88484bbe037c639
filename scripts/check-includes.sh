#!/usr/bin/env bash
# The package's pure modules (src/core and its public headers but the node's) build and run
# without ROS 2 or the NPU runtime: the AArch64 cross test, the mutants and the fuzz targets rely
# on it. Fails on any #include there of a ROS 2, message or NPU header, or of one of the node's
# own headers (src/node/*, yolov5s_predictor.hpp) by any path.
#   scripts/check-includes.sh [ROOT]     # ROOT: a checkout (default: this one)
#   scripts/check-includes.sh --self-test
set -euo pipefail

# The first path component of a forbidden <header> or "header", as an extended regex.
forbidden_dirs='rcl[a-z_]*|rmw[a-z_]*|rcutils|rcpputils|rosidl[a-z_]*|ament_index_cpp|[a-z0-9_]+_(msgs|srvs|interfaces)|veltrax_protocol|cv_bridge|tf2[a-z_]*|image_transport|pcl_conversions|pcl_ros|message_filters|pluginlib|class_loader'
forbidden_files='rknn_api\.h'

check_tree() {
  local root="$1" pkg="$1/veltrax_cv_model"
  if [ ! -d "$pkg/src/core" ] || [ ! -d "$pkg/include/veltrax_cv_model" ]; then
    echo "check-includes: no veltrax_cv_model package in $root" >&2
    return 2
  fi

  # The node's headers, by file name: a pure file may reach them through an include path as well
  # as through ../node/.
  local -A node_headers=() pure_set=()
  local f
  while IFS= read -r f; do node_headers[${f##*/}]=1; done < <(
    find "$pkg/src/node" -type f \( -name '*.hpp' -o -name '*.h' \) 2>/dev/null
    echo "$pkg/include/veltrax_cv_model/yolov5s_predictor.hpp")

  local pure=()
  while IFS= read -r f; do pure+=("$f"); done < <(
    { find "$pkg/src/core" -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.hpp' -o -name '*.h' \)
      find "$pkg/include/veltrax_cv_model" -maxdepth 1 -type f \( -name '*.hpp' -o -name '*.h' \) \
        ! -name yolov5s_predictor.hpp; } | xargs -r realpath -m | sort)
  for f in "${pure[@]}"; do pure_set[$f]=1; done

  local node_dir
  node_dir=$(realpath -m "$pkg/src/node")
  # Whether one of the places an include may resolve to is a pure file (checked on its own).
  is_pure() {
    local p
    for p in "$@"; do
      if [ -f "$p" ] && [ -n "${pure_set[$(realpath -m "$p")]:-}" ]; then return 0; fi
    done
    return 1
  }

  local include_re='^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]*)[>"]'
  local bad=0 line number header name dir why
  for f in "${pure[@]}"; do
    dir=${f%/*}
    while IFS= read -r line; do
      [[ $line =~ $include_re ]] || continue
      number=${BASH_REMATCH[1]}
      header=${BASH_REMATCH[2]}
      name=${header##*/}
      why=
      if [[ $header =~ ^($forbidden_dirs)(/|\.h$|\.hpp$|$) ]]; then
        why="a ROS 2, message or NPU header"
      elif [[ $name =~ ^($forbidden_files)$ ]]; then
        why="the NPU runtime's header"
      elif ! is_pure "$dir/$header" "$pkg/include/$header" "$pkg/src/core/$header"; then
        if [[ $header == node/* ]] || [ -n "${node_headers[$name]:-}" ] ||
           { [[ $header == *..* ]] && [[ "$(realpath -m "$dir/$header")" == "$node_dir"/* ]]; }; then
          why="a header of the node"
        fi
      fi
      if [ -n "$why" ]; then
        echo "${f#"$root"/}:$number: includes '$header', $why; pure modules stay free of ROS 2 and the NPU runtime" >&2
        bad=$((bad + 1))
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "$f" || true)
  done
  if [ "$bad" -gt 0 ]; then
    echo "check-includes: FAILED, $bad forbidden include(s) in the pure modules" >&2
    return 1
  fi
  echo "check-includes: ${#pure[@]} pure files include no ROS 2, message, NPU or node header"
}

# A scratch package with one clean file and one file per way of breaking the rule; the check must
# pass the clean tree and name every bad line.
self_test() {
  local tmp pkg out
  tmp=$(realpath "$(mktemp -d)")
  trap 'rm -rf "$tmp"' RETURN
  pkg="$tmp/veltrax_cv_model"
  mkdir -p "$pkg/src/core" "$pkg/src/node" "$pkg/include/veltrax_cv_model"
  printf '#include "sensor_msgs/msg/image.hpp"\n' >"$pkg/src/node/message_views.hpp"
  printf '#include <rclcpp/rclcpp.hpp>\n#include "rknn_api.h"\n' \
    >"$pkg/include/veltrax_cv_model/yolov5s_predictor.hpp"
  printf '#pragma once\n#include <vector>\n#include <pcl/point_types.h>\n#include <opencv2/core.hpp>\n#include <yaml-cpp/node/node.h>\n// #include <rclcpp/rclcpp.hpp>\n#include "veltrax_cv_model/types.hpp"\n#include "depth_points.hpp"\n' \
    >"$pkg/include/veltrax_cv_model/types.hpp"
  cp "$pkg/include/veltrax_cv_model/types.hpp" "$pkg/src/core/types.cpp"
  check_tree "$tmp" >/dev/null 2>&1 || { echo "check-includes self-test: a clean tree failed" >&2; return 1; }

  local cases=(
    'src/core/a.cpp|#include <rclcpp/rclcpp.hpp>'
    'src/core/b.cpp|  #  include "rcl_interfaces/msg/parameter.hpp"'
    'src/core/c.cpp|#include <sensor_msgs/msg/image.hpp>'
    'src/core/d.cpp|#include "vision_msgs/msg/detection2_d.hpp"'
    'src/core/e.cpp|#include "veltrax_protocol/msg/obstacle.hpp"'
    'src/core/f.cpp|#include <cv_bridge/cv_bridge.h>'
    'src/core/g.cpp|#include <tf2_ros/buffer.h>'
    'src/core/h.cpp|#include "tf2/LinearMath/Transform.h"'
    'src/core/i.cpp|#include <image_transport/image_transport.hpp>'
    'src/core/j.cpp|#include <pcl_conversions/pcl_conversions.h>'
    'src/core/k.cpp|#include <pcl_ros/transforms.hpp>'
    'src/core/l.cpp|#include "rknn_api.h"'
    'src/core/m.cpp|#include <message_filters/subscriber.h>'
    'src/core/n.cpp|#include "../node/frame_glue.hpp"'
    'src/core/o.cpp|#include "message_views.hpp"'
    'include/veltrax_cv_model/p.hpp|#include "../../src/node/message_views.hpp"'
    'include/veltrax_cv_model/q.hpp|#include "veltrax_cv_model/yolov5s_predictor.hpp"'
    'src/core/sub/r.hpp|#include <rknn/rknn_api.h>'
  )
  local c file text failed=0
  for c in "${cases[@]}"; do
    file=${c%%|*}
    text=${c#*|}
    mkdir -p "$(dirname "$pkg/$file")"
    printf '#pragma once\n#include <vector>\n%s\n' "$text" >"$pkg/$file"
    if out=$(check_tree "$tmp" 2>&1); then
      echo "check-includes self-test: missed '$text' in $file" >&2
      failed=1
    elif ! grep -q "^veltrax_cv_model/$file:3: " <<<"$out"; then
      echo "check-includes self-test: '$text' not reported as $file:3: $out" >&2
      failed=1
    fi
    rm "$pkg/$file"
  done
  [ "$failed" -eq 0 ] && echo "check-includes self-test: ${#cases[@]} forbidden includes caught"
  return "$failed"
}

if [ "${1:-}" = --self-test ]; then
  self_test
else
  check_tree "$(cd "${1:-$(dirname "$0")/..}" && pwd -P)"
fi
