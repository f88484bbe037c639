#!/usr/bin/env bash
# The node as an integrator runs it on real ROS 2 Humble: the launch file (own process and
# component container), parameters, remapping, sensor-data QoS, a wrong parameter type, Ctrl-C,
# sim time and the staleness rule. Input: run_demo's recording, played with `ros2 bag play` and
# recorded again with the real `ros2 bag record`, once in sqlite3 and once in mcap storage.
#
#   scripts/integration-test.sh [BUILD_DIR]      (default build/; sources BUILD_DIR/setup.bash)
#
# Prints one PASS or FAIL line per check with its reason and exits 1 when a check failed, 2 when
# it cannot run. VELTRAX_ITEST_KEEP=1 keeps the temporary folder with every process's log.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" 2>/dev/null && pwd) || {
  echo "FAIL setup: no build folder ${1:-$repo/build}"
  exit 2
}
[ -f "$build/setup.bash" ] || {
  echo "FAIL setup: $build/setup.bash missing (scripts/build.sh)"
  exit 2
}
set +u
# shellcheck disable=SC1091
source "$build/setup.bash"
set -u
# The ros2 tools' output reaches their log files even when they are stopped.
export PYTHONUNBUFFERED=1 RCUTILS_COLORIZED_OUTPUT=0

# One DDS domain per concurrently running test, by the C++ harness's lock files. The lock is held
# on an fd of this shell (and of its direct children) until the script ends.
export ROS_DOMAIN_ID=
for n in $(seq 1 100); do
  exec {lock_fd}<>"/tmp/veltrax-ros-domain-$n.lock" 2>/dev/null || continue
  if flock -n "$lock_fd"; then
    ROS_DOMAIN_ID=$n
    break
  fi
  exec {lock_fd}>&-
done
[ -n "$ROS_DOMAIN_ID" ] || {
  echo "FAIL setup: no free ROS domain in 1..100 (/tmp/veltrax-ros-domain-*.lock)"
  exit 2
}

tmp=$(mktemp -d /tmp/veltrax-itest.XXXXXX)
export ROS_LOG_DIR=$tmp/ros-log
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do stop "$pid"; done 2>/dev/null
  timeout -k 2 15 ros2 daemon stop >/dev/null 2>&1
  if [ "${VELTRAX_ITEST_KEEP:-0}" = 1 ]; then echo "logs kept in $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

node_exe=$build/install/lib/veltrax_cv_model/yolov5s_predictor
params=$build/install/share/veltrax_cv_model/config/params.yaml
model=$repo/host/rknn/models/colour_key_640.yaml
outline=/perception/yolov5/obstacle_pointcloud
# The node's inputs (harness/include/veltrax_harness/topics.hpp).
images=(/berxel_camera1/berxel_camera1/color/color_raw
        /berxel_camera1/berxel_camera1/depth/depth_raw
        /berxel_camera2/berxel_camera2/color/color_raw
        /berxel_camera2/berxel_camera2/depth/depth_raw)
cameras=("${images[@]}"
         /berxel_camera1/berxel_camera1/depth/camera_info
         /berxel_camera2/berxel_camera2/depth/camera_info)
frames=30

# --- processes --------------------------------------------------------------------------------

# start LOG CMD...: runs CMD in the background with its output in $tmp/LOG.log; its pid in $started.
# Started under job control, it leads its own process group: it keeps SIGINT (which bash ignores
# in background commands otherwise) and is stopped together with its children. Foreground
# commands stay in the script's group, so Ctrl-C at a terminal ends the script and its clean-up.
start() {
  local log=$1
  shift
  set -m
  "$@" </dev/null >"$tmp/$log.log" 2>&1 &
  started=$!
  set +m
  pids+=("$started")
}

# forget PID: PID has been waited for; the clean-up leaves it (and a reused pid) alone.
forget() {
  local pid kept=()
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
}

# wait_exit PID SECONDS: PID's exit status once it has ended; 124, with PID still running, when
# SECONDS pass first.
wait_exit() {
  local pid=$1 deadline=$((SECONDS + $2)) status
  while kill -0 "$pid" 2>/dev/null; do
    ((SECONDS < deadline)) || return 124
    sleep 0.1
  done
  wait "$pid" 2>/dev/null
  status=$?
  forget "$pid"
  return "$status"
}

# stop PID [SIGNAL]: signals PID's process group (SIGINT: a clean stop), gives it 10 s, then kills
# what is left of the group. Returns PID's exit status.
stop() {
  local pid=$1 status
  kill -s "${2:-INT}" -- "-$pid" 2>/dev/null
  wait_exit "$pid" 10
  status=$?
  kill -KILL -- "-$pid" 2>/dev/null
  if ((status == 124)); then
    wait "$pid" 2>/dev/null
    forget "$pid"
  fi
  return "$status"
}

# wait_for FILE REGEX SECONDS [PID]: true once FILE holds a line matching REGEX; false when
# SECONDS pass or PID ends first.
wait_for() {
  local file=$1 regex=$2 deadline=$((SECONDS + $3)) pid=${4:-}
  until grep -Eq -- "$regex" "$file" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      grep -Eq -- "$regex" "$file" 2>/dev/null
      return
    fi
    sleep 0.1
  done
}

# last_error LOG: the node's last ERROR or FATAL line in LOG, for a failure's reason.
last_error() { grep -E 'ERROR|FATAL' "$tmp/$1.log" 2>/dev/null | tail -1 | cut -c1-200; }

# field LOG NAME: a scalar field of the message `ros2 topic echo` wrote into $tmp/LOG.log.
field() { sed -n "s/^ *$2: '\{0,1\}\([^']*\)'\{0,1\}\$/\1/p" "$tmp/$1.log" | head -1; }

# --- recordings -------------------------------------------------------------------------------

# record_demo: run_demo's recording of the demo scene in $tmp/demo, as rosbag2 reads it.
record_demo() {
  timeout -k 5 300 "$build/bin/run_demo" --out "$tmp/demo" --frames "$frames" --model "$model" \
    --quiet </dev/null >"$tmp/run_demo.log" 2>&1 || {
    reason="run_demo ended with status $?: $(tail -1 "$tmp/run_demo.log")"
    return 1
  }
  timeout -k 2 30 ros2 bag info "$tmp/demo" >"$tmp/info_demo.log" 2>&1 || {
    reason="ros2 bag info on run_demo's recording: $(tail -2 "$tmp/info_demo.log" | tr '\n' ' ')"
    return 1
  }
  reason="ros2 bag info reads run_demo's recording: $(grep -m1 'Messages:' "$tmp/info_demo.log" |
    tr -s ' ')"
}

# record_input STORAGE: plays run_demo's recording into the real `ros2 bag record`, in
# $tmp/rec_STORAGE. The recorder runs on the player's clock, so the new recording keeps the
# original timing and its clock stays consistent with the messages' header stamps.
record_input() {
  local storage=$1 rec play status
  start "record_$storage" ros2 bag record -s "$storage" --use-sim-time -o "$tmp/rec_$storage" \
    "${cameras[@]}" /tf_static
  rec=$started
  start "play_for_$storage" ros2 bag play "$tmp/demo" --clock 100 --start-paused \
    --topics "${cameras[@]}" /tf_static
  play=$started
  if ! wait_for "$tmp/record_$storage.log" 'All requested topics are subscribed' 60 "$rec"; then
    stop "$play"
    stop "$rec"
    reason="the recorder did not subscribe to all topics: $(tail -1 "$tmp/record_$storage.log")"
    return 1
  fi
  timeout -k 2 30 ros2 service call /rosbag2_player/resume rosbag2_interfaces/srv/Resume \
    >"$tmp/resume_$storage.log" 2>&1
  # The player ends by itself after the last message.
  wait_exit "$play" 60
  status=$?
  ((status != 124)) || stop "$play"
  stop "$rec"
  if ((status != 0)); then
    reason="ros2 bag play of run_demo's recording ended with status $status:"
    reason+=" $(grep -E 'ERROR|rror' "$tmp/play_for_$storage.log" | tail -2 | tr '\n' ' ')"
    return 1
  fi
  timeout -k 2 30 ros2 bag info "$tmp/rec_$storage" >"$tmp/info_$storage.log" 2>&1 || {
    reason="ros2 bag info: $(tail -2 "$tmp/info_$storage.log" | tr '\n' ' ')"
    return 1
  }
  local topic count least counts=
  for topic in "${cameras[@]}" /tf_static; do
    count=$(grep -F "Topic: $topic |" "$tmp/info_$storage.log" |
      sed -n 's/.*Count: \([0-9]*\).*/\1/p')
    counts+=" ${count:-0}"
    # A loaded machine may lose a few frames on the way; the mounts come once.
    least=$((frames / 2))
    [ "$topic" != /tf_static ] || least=1
    if [ "${count:-0}" -lt "$least" ]; then
      reason="recorded ${count:-0} messages on $topic, expected at least $least"
      return 1
    fi
  done
  reason="recorded$counts messages (camera topics, /tf_static)"
}

# --- fixtures: the node and a player, shared by consecutive checks ----------------------------

fixture_pids=()
node_pid=
node_log=

# play LOG STORAGE [OPTION...]: one of the real recordings, looped, with its clock on /clock.
play() {
  local log=$1 storage=$2
  shift 2
  start "$log" ros2 bag play "$tmp/rec_$storage" --loop --clock "$@"
  fixture_pids+=("$started")
}

launch() {
  start "$1" ros2 launch veltrax_cv_model yolov5s.launch.py "model_path:=$model" "${@:2}"
  node_pid=$started node_log=$1
  fixture_pids+=("$started")
}

run_node() {
  start "$1" "$node_exe" --ros-args --params-file "$params" -p "rknn_model_path:=$model" "${@:2}"
  node_pid=$started node_log=$1
  fixture_pids+=("$started")
}

fixture_launch() {
  launch launch use_sim_time:=true
  play play_launch sqlite3
}

fixture_remap() {
  local topic remaps=() play_remaps=()
  for topic in "${cameras[@]}"; do
    remaps+=(-r "$topic:=/remapped$topic")
    play_remaps+=("$topic:=/remapped$topic")
  done
  run_node node_remap -p use_sim_time:=true "${remaps[@]}"
  play play_remap mcap --remap "${play_remaps[@]}"
}

# best_effort_overrides FILE TOPIC...: a QoS override file for `ros2 bag play` giving TOPIC... the
# QoS of a driver that publishes with sensor-data QoS.
best_effort_overrides() {
  local file=$1 topic
  shift
  for topic; do
    printf '%s:\n  history: keep_last\n  depth: 5\n' "$topic"
    printf '  reliability: best_effort\n  durability: volatile\n'
  done >"$file"
}

fixture_qos_images() {
  best_effort_overrides "$tmp/qos_images.yaml" "${images[@]}"
  run_node node_qos_images -p use_sim_time:=true
  play play_qos_images mcap --qos-profile-overrides-path "$tmp/qos_images.yaml"
}

fixture_qos_all() {
  best_effort_overrides "$tmp/qos_all.yaml" "${cameras[@]}"
  run_node node_qos_all -p use_sim_time:=true
  play play_qos_all mcap --qos-profile-overrides-path "$tmp/qos_all.yaml"
}

# The node on the wall clock, fed the recording's stamps, by now more than 10 s old.
fixture_wall_time() {
  run_node node_wall
  play play_wall sqlite3
}

fixture_container() {
  launch container use_container:=true use_sim_time:=true
  play play_container mcap
}

stop_fixture() {
  local pid
  for pid in "${fixture_pids[@]}"; do stop "$pid"; done
  fixture_pids=()
}

# --- checks: each sets $reason and returns non-zero on failure --------------------------------

# An outline in base_footprint with points in it, within 30 s. Stops early when the node reports
# a publisher it cannot receive from.
check_outline() {
  local started_at=$SECONDS echo log=echo_$node_log mismatch
  start "$log" timeout -k 2 30 ros2 topic echo --no-daemon --once --no-arr "$@" "$outline" \
    sensor_msgs/msg/PointCloud2
  echo=$started
  until grep -q '^---' "$tmp/$log.log"; do
    mismatch=$(grep -m1 "Yolov5sPredictor.*offering incompatible QoS" "$tmp/$node_log.log")
    if [ -n "$mismatch" ]; then
      stop "$echo"
      reason="no outline: the node cannot receive a publisher: ${mismatch#*]: }"
      return 1
    fi
    if ! kill -0 "$echo" 2>/dev/null; then
      reason="no outline on $outline within 30 s; node: $(last_error "$node_log")"
      return 1
    fi
    sleep 0.1
  done
  stop "$echo"
  local frame width
  frame=$(field "$log" frame_id)
  width=$(field "$log" width)
  if [ "$frame" != base_footprint ] || [ "${width:-0}" -lt 1 ]; then
    reason="outline in frame '$frame' with ${width:-0} points, expected base_footprint and points"
    return 1
  fi
  reason="outline in base_footprint with $width points after $((SECONDS - started_at)) s"
}

check_launch() {
  check_outline || return 1
  local first=$reason rate window
  start hz ros2 topic hz -w 20 "$outline"
  local hz=$started
  # One full window of 20 outlines.
  wait_for "$tmp/hz.log" 'window: 20' 30 "$hz"
  stop "$hz"
  rate=$(sed -n 's/^average rate: \([0-9.]*\)/\1/p' "$tmp/hz.log" | tail -1)
  window=$(sed -n 's/.*window: \([0-9]*\)/\1/p' "$tmp/hz.log" | tail -1)
  if [ -z "$rate" ] || ! awk -v r="$rate" 'BEGIN { exit !(r >= 7 && r <= 12) }'; then
    reason="outline rate ${rate:-unmeasured} Hz over ${window:-0} messages, expected 7..12 Hz"
    return 1
  fi
  reason="$first; $rate Hz over $window messages"
}

# A double, an integer and a string as config/params.yaml gives them.
check_params() {
  local name expected actual
  for name in box_conf_threshold cluster_method anchors; do
    expected=$(/usr/bin/python3 -c '
import sys, yaml
value = yaml.safe_load(open(sys.argv[1]))["Yolov5sPredictor"]["ros__parameters"][sys.argv[2]]
kind = {bool: "Boolean", int: "Integer", float: "Double", str: "String"}[type(value)]
print(f"{kind} value is: {value}")' "$params" "$name")
    actual=$(timeout -k 2 30 ros2 param get --no-daemon /Yolov5sPredictor "$name" 2>&1 | tail -1)
    if [ "$actual" != "$expected" ]; then
      reason="$name: '$actual', expected '$expected'"
      return 1
    fi
  done
  reason="box_conf_threshold, cluster_method and anchors as in params.yaml"
}

# Under sim time the outline carries a stamp of the recording, far behind the wall clock: the
# node judged the inputs' age on the recording's clock, or it would have dropped them as stale.
check_sim_time() {
  check_outline || return 1
  local verdict
  verdict=$(/usr/bin/python3 - "$tmp/rec_sqlite3" "$(field "echo_$node_log" sec)" \
    "$(field "echo_$node_log" nanosec)" "${cameras[@]}" 2>&1 <<'EOF'
import glob, sqlite3, struct, sys, time
bag, sec, nanosec, topics = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
db = sqlite3.connect(glob.glob(bag + "/*.db3")[0])
query = ("select data from messages join topics on topics.id = messages.topic_id"
         " where topics.name in (%s)" % ",".join("?" * len(topics)))
# Each camera message opens with its header: after the CDR encapsulation, sec and nanosec.
stamps = [s + ns * 1e-9 for (data,) in db.execute(query, topics)
          for s, ns in [struct.unpack_from("<iI", data, 4)]]
stamp, first, last = sec + nanosec * 1e-9, min(stamps), max(stamps)
behind = time.time() - stamp
span = f"the recording's stamps {first:.3f}..{last:.3f}"
# The node carries a stamp through a double: a nanosecond either way is the same stamp.
if not first - 1e-6 <= stamp <= last + 1e-6:
    print(f"FAIL stamp {stamp:.3f} outside {span}")
elif behind <= 10:
    print(f"FAIL stamp only {behind:.1f} s behind wall time: sim time and wall time look alike")
else:
    print(f"PASS stamp {stamp:.3f} within {span}, {behind:.0f} s behind wall time")
EOF
  )
  case $verdict in
    PASS\ * | FAIL\ *) reason=${verdict#* } ;;
    *) reason="cannot read the stamps: $(tail -1 <<<"$verdict")" ;;
  esac
  [ "${verdict%% *}" = PASS ]
}

# The same old recording on the wall clock: skipped as stale.
check_staleness() {
  if wait_for "$tmp/$node_log.log" 'camera1_pub_info_time except' 30 "$node_pid"; then
    reason="inputs stamped more than 10 s before wall time skipped (camera1_pub_info_time except!)"
    return 0
  fi
  reason="no staleness report within 30 s; node: $(last_error "$node_log")"
  return 1
}

# Ctrl-C reaches the node itself: it ends with status 0 within 10 s.
check_ctrl_c() {
  local status started_at=$SECONDS
  kill -0 "$node_pid" 2>/dev/null || { reason="the node ended before SIGINT"; return 1; }
  kill -INT "$node_pid"
  wait_exit "$node_pid" 10
  status=$?
  if ((status == 124)); then
    reason="still running 10 s after SIGINT"
    return 1
  fi
  reason="SIGINT: exit status $status after $((SECONDS - started_at)) s"
  ((status == 0))
}

# An integer where a double belongs: the node refuses to start and names the parameter.
check_wrong_type() {
  timeout -k 2 15 "$node_exe" --ros-args --params-file "$params" -p "rknn_model_path:=$model" \
    -p box_conf_threshold:=1 </dev/null >"$tmp/wrong_type.log" 2>&1
  local status=$?
  local line
  line=$(grep -E 'FATAL|ERROR' "$tmp/wrong_type.log" | head -1 | cut -c1-200)
  if ((status == 124)); then
    reason="still running 15 s after start, expected exit status 1; last log line:"
    reason+=" $(tail -1 "$tmp/wrong_type.log" | cut -c1-200)"
    return 1
  fi
  if ((status != 1)); then
    reason="exit status $status, expected 1; log: ${line:-$(tail -1 "$tmp/wrong_type.log")}"
    return 1
  fi
  if ! grep -E 'FATAL|ERROR' "$tmp/wrong_type.log" | grep -q box_conf_threshold; then
    reason="exit status 1, but no error line names box_conf_threshold: '$line'"
    return 1
  fi
  reason="exit status 1: $line"
}

# Best-effort images in, and a best-effort subscriber to the outline.
check_best_effort() {
  check_outline --qos-reliability best_effort || return 1
  reason="best-effort images received; a best-effort subscriber got the $reason"
}

check_container() {
  local index
  index=$(/usr/bin/python3 -c 'from ament_index_python import get_resource
print(get_resource("rclcpp_components", "veltrax_cv_model")[0].strip())' 2>&1)
  if ! grep -q '^veltrax_cv_model::Yolov5sPredictor;' <<<"$index"; then
    reason="component not registered in the ament index: $index"
    return 1
  fi
  wait_for "$tmp/$node_log.log" "(Loaded|Failed to load) node '/?Yolov5sPredictor'" 60 "$node_pid"
  if ! grep -q "Loaded node '/Yolov5sPredictor'" "$tmp/$node_log.log"; then
    reason="not loaded into the container: $(grep -E 'ERROR|rror' "$tmp/$node_log.log" | tail -1)"
    return 1
  fi
  check_outline || return 1
  reason="loaded into component_container, $reason"
}

# --- the checks, in order -------------------------------------------------------------------
# Consecutive checks share a fixture. sim-time and staleness come late, when the recorded stamps
# lie well over 10 s behind wall time.
# name          fixture        check
cases=(
  "wrong-type    -             check_wrong_type"
  "remap         remap         check_outline"
  "qos-images    qos_images    check_best_effort"
  "qos-all       qos_all       check_outline"
  "launch        launch        check_launch"
  "params        launch        check_params"
  "sim-time      launch        check_sim_time"
  "staleness     wall_time     check_staleness"
  "ctrl-c        wall_time     check_ctrl_c"
  "container     container     check_container"
)

failures=0
# report STATUS NAME: the check's line; returns STATUS.
report() {
  if (($1 == 0)); then
    echo "PASS $2: $reason"
  else
    echo "FAIL $2: $reason"
    failures=$((failures + 1))
  fi
  return "$1"
}

echo "ROS_DOMAIN_ID=$ROS_DOMAIN_ID, logs in $tmp"
# Without the input recordings no check can run.
record_demo
report $? recording-demo || exit 1
for storage in sqlite3 mcap; do
  record_input "$storage"
  report $? "recording-$storage" || exit 1
done

current=-
for entry in "${cases[@]}"; do
  read -r name fixture check <<<"$entry"
  if [ "$fixture" != "$current" ]; then
    stop_fixture
    [ "$fixture" = - ] || "fixture_$fixture"
    current=$fixture
  fi
  "$check"
  report $? "$name"
done
stop_fixture
((failures == 0))
