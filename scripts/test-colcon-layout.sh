#!/usr/bin/env bash
# What colcon sees when an integrator clones this repository into a ROS 2 workspace (the first
# step of the robot build): exactly the two ament_cmake packages, the node after its messages,
# and `--packages-up-to veltrax_cv_model` resolving to both. Clones the committed tree given as
# the first argument (default: this checkout) into src/<any name>/ of a temporary workspace.
set -euo pipefail
repo=${1:-$(cd "$(dirname "$0")/.." && pwd)}
ws=$(mktemp -d)
trap 'rm -rf "$ws"' EXIT
git clone -q "$repo" "$ws/src/some_checkout"
cd "$ws"

failures=0
expect() {
  local what=$1 expected=$2 actual=$3
  if [ "$expected" != "$actual" ]; then
    printf 'colcon %s:\n--- expected\n%s\n--- found\n%s\n' "$what" "$expected" "$actual"
    failures=$((failures + 1))
  fi
}

expect list "$(printf '%s\t%s\t%s\n' \
  veltrax_protocol src/some_checkout/veltrax_protocol '(ros.ament_cmake)' \
  veltrax_cv_model src/some_checkout/veltrax_cv_model '(ros.ament_cmake)')" \
  "$(colcon list --topological-order)"
# graph: build order, each package's own column '+', and the '*' on veltrax_protocol's line in
# veltrax_cv_model's column: the node depends on the messages directly.
expect graph "$(printf '%s\n' 'veltrax_protocol  +*' 'veltrax_cv_model   +')" "$(colcon graph)"
expect "list --packages-up-to veltrax_cv_model" "$(printf '%s\n' veltrax_protocol veltrax_cv_model)" \
  "$(colcon list --names-only --topological-order --packages-up-to veltrax_cv_model)"

[ "$failures" -eq 0 ] && echo "colcon finds veltrax_protocol and veltrax_cv_model, nothing else"
exit "$failures"
