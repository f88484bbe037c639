#!/usr/bin/env bash
# Mutation testing of the pure modules: applies each mutant of scripts/mutants.txt, one at a time,
# to a scratch copy of the sources, rebuilds that module's test programs there, runs them and
# counts the mutant killed when a test fails, crashes or times out.
#
#   scripts/mutants.sh [module...]     all modules of the list, or only the ones named
#
# Prints each mutant's fate as it goes (a killed one with the tests that caught it, in the first
# program that failed), then a table (module, mutants, killed, percent) and the survivors; logs
# go to MUTANTS_DIR/logs. Exit status: 0 when every module kills at least MUTANTS_MIN_PERCENT
# (90) % of its mutants, 1 when one kills fewer, 2 when the list itself is broken (an original
# text not found exactly once, a mutant that does not compile, tests that fail without any
# mutant) or the arguments are.
#
# The working tree is never modified. The scratch copy and its build tree live in MUTANTS_DIR
# (default build-mutants/ at the top of the repository); both are reused, so a second run
# rebuilds only what changed. Settings: MUTANTS_DIR, MUTANTS_LIST, MUTANTS_MIN_PERCENT,
# JOBS (parallel compile jobs, default 2), MUTANTS_MEMORY_KB (virtual memory cap of one test
# run, default 4 GiB), MUTANTS_TIMEOUT (seconds per test run; default three times the unmutated
# run plus 10 s).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list=${MUTANTS_LIST:-$root/scripts/mutants.txt}
work=${MUTANTS_DIR:-$root/build-mutants}
jobs=${JOBS:-2}
min_percent=${MUTANTS_MIN_PERCENT:-90}
memory_kb=${MUTANTS_MEMORY_KB:-4194304}
package=veltrax_cv_model

# The test programs that judge each module's mutants.
declare -A module_tests=(
  [yolo_decode]="test_yolo_decode test_portability"
  [anchor_table]="test_anchor_table"
  [fault_log]="test_fault_log"
  [back_projection]="test_back_projection test_portability"
  [detection_cloud]="test_back_projection"
  [ground_removal]="test_ground_removal"
  [kmeans_1d]="test_kmeans_1d"
  [cluster]="test_cluster"
  [cluster_merge]="test_cluster_merge"
  [footprint]="test_footprint"
  [detection_cloud_builder]="test_detection_cloud_builder"
  [fused_region_cloud]="test_detection_cloud_builder"
  [planar_proximity]="test_detection_cloud_builder"
  [depth_filters]="test_depth_filters"
  [obstacle_outliner]="test_obstacle_outliner"
  [report_builder]="test_report_builder"
)

# --- The list ----------------------------------------------------------------------------------
m_module=()
m_file=()
m_original=()
m_replacement=()
modules=()
line_number=0
while IFS= read -r line || [ -n "$line" ]; do
  line_number=$((line_number + 1))
  [[ -z "${line//[[:space:]]/}" || "$line" == \#* ]] && continue
  [[ "$line" == *' |' ]] && line+=' '
  fields=$(grep -o ' | ' <<<"$line" | wc -l)
  if [ "$fields" -ne 3 ]; then
    echo "mutants: $list:$line_number: expected 'module | file | original | replacement'" >&2
    exit 2
  fi
  module=${line%% | *}
  rest=${line#* | }
  if [ -z "${module_tests[$module]+set}" ]; then
    echo "mutants: $list:$line_number: no test programs known for module '$module'" >&2
    exit 2
  fi
  m_module+=("$module")
  m_file+=("${rest%% | *}")
  rest=${rest#* | }
  m_original+=("${rest%% | *}")
  m_replacement+=("${rest#* | }")
  [[ " ${modules[*]} " == *" $module "* ]] || modules+=("$module")
done <"$list"

if [ $# -gt 0 ]; then
  for wanted in "$@"; do
    if [[ " ${modules[*]} " != *" $wanted "* ]]; then
      echo "mutants: no mutants listed for '$wanted' (modules: ${modules[*]})" >&2
      exit 2
    fi
  done
  modules=("$@")
fi

# --- Scratch copy and build tree ---------------------------------------------------------------
src=$work/src
build=$work/build
logs=$work/logs
mkdir -p "$src" "$build" "$logs"

# Files that differ from the working tree are copied with a fresh time stamp, so the build sees
# them as changed; files gone from the working tree go from the copy.
sync_sources()
{
  local listing=$work/files.txt
  (cd "$root" && git ls-files -co --exclude-standard) | sort >"$listing"
  (cd "$src" && find . -type f -printf '%P\n') | sort | comm -13 "$listing" - |
    while IFS= read -r stale; do rm -f "$src/$stale"; done
  while IFS= read -r f; do
    [ -f "$root/$f" ] || continue
    if ! cmp -s "$root/$f" "$src/$f"; then
      mkdir -p "$(dirname "$src/$f")"
      cp "$root/$f" "$src/$f"
    fi
  done <"$listing"
}

# Puts the unmutated file back, also when the run is interrupted.
mutated=""
restore()
{
  if [ -n "$mutated" ]; then
    cp "$work/unmutated" "$src/$mutated"
    mutated=""
  fi
}
trap restore EXIT
trap 'exit 130' INT TERM

echo "mutants: scratch copy in $work"
sync_sources
if [ ! -f "$build/CMakeCache.txt" ]; then
  # No debug info (faster rebuilds); tests are listed when they run, not after each link.
  # The pure modules and their tests alone, without ROS 2.
  nice -n 10 cmake -S "$src/veltrax_cv_model" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTRAX_PURE_MODULES_ONLY=ON -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$build/bin" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$logs/configure.log" 2>&1 || {
    echo "mutants: configuring failed, see $logs/configure.log" >&2
    exit 2
  }
fi

build_tests()  # <log> <targets...>
{
  local log=$1
  shift
  nice -n 10 cmake --build "$build" -j"$jobs" --target "$@" >"$log" 2>&1
}

run_tests()  # <timeout s> <programs...>: status 0 when every program passes
{
  local limit=$1
  shift
  local program status
  for program in "$@"; do
    # The group's stderr is the shell's own note of a crash ("Segmentation fault"): the run log
    # records the exit status instead.
    status=0
    {
      (
        ulimit -v "$memory_kb"
        cd "$build"
        timeout -k 5 "$limit" "$build/bin/$program"
      ) >>"$logs/run.log" 2>&1 || status=$?
    } 2>/dev/null
    if [ "$status" -ne 0 ]; then
      echo "$program: exit status $status" >>"$logs/run.log"
      return 1
    fi
  done
}

# The tests that failed in the last run, and the one that was running when a program crashed or
# timed out.
killers()
{
  awk '$2 == "RUN" { running = $4 }
       $2 == "OK" { running = "" }
       $2 == "FAILED" && $5 ~ /^\(/ { names = names sep $4; sep = ", "; running = "" }
       END {
         if (running != "") names = names sep running " (crashed or timed out)"
         print names
       }' "$logs/run.log"
}

# Replaces the one occurrence of ORIGINAL in FILE by REPLACEMENT ("\n" is a line break); prints
# how often the original occurs and changes nothing unless that is exactly once.
apply_mutant()  # <file> <original> <replacement>
{
  ORIGINAL=$2 REPLACEMENT=$3 perl -0777 -e '
    my ($from, $to) = ($ENV{ORIGINAL}, $ENV{REPLACEMENT});
    s/\\n/\n/g for ($from, $to);
    my $path = $ARGV[0];
    open(my $in, "<", $path) or die "$path: $!\n";
    my $text = <$in>;
    close($in);
    my ($count, $at) = (0, -1);
    while (($at = index($text, $from, $at + 1)) >= 0) { $count++; }
    print "$count\n";
    exit 0 unless $count == 1;
    substr($text, index($text, $from), length($from)) = $to;
    open(my $out, ">", $path) or die "$path: $!\n";
    print $out $text;
    close($out);
  ' "$1"
}

# --- Runs --------------------------------------------------------------------------------------
broken=0
below=0
table=()
survivors=()
for module in "${modules[@]}"; do
  read -r -a tests <<<"${module_tests[$module]}"
  echo "mutants: $module: building ${tests[*]}"
  if ! build_tests "$logs/$module-original.log" "${tests[@]}"; then
    echo "mutants: $module: the unmutated sources do not build, see $logs/$module-original.log" >&2
    broken=1
    continue
  fi
  : >"$logs/run.log"
  started=$SECONDS
  if ! run_tests 600 "${tests[@]}"; then
    echo "mutants: $module: tests fail without any mutant, see $logs/run.log" >&2
    broken=1
    continue
  fi
  limit=${MUTANTS_TIMEOUT:-$((3 * (SECONDS - started) + 10))}

  total=0
  killed=0
  number=0
  for i in "${!m_module[@]}"; do
    [ "${m_module[$i]}" = "$module" ] || continue
    number=$((number + 1))
    file=$package/${m_file[$i]}
    label="$module #$number (${m_file[$i]}): '${m_original[$i]}' -> '${m_replacement[$i]}'"
    if [ ! -f "$src/$file" ]; then
      echo "  $label: no such file" >&2
      broken=1
      continue
    fi
    cp "$src/$file" "$work/unmutated"
    mutated=$file
    found=$(apply_mutant "$src/$file" "${m_original[$i]}" "${m_replacement[$i]}")
    if [ "$found" != 1 ]; then
      restore
      echo "  $label: the original text occurs $found times, not once" >&2
      broken=1
      continue
    fi
    log=$logs/$module-$number.log
    if ! build_tests "$log" "${tests[@]}"; then
      restore
      echo "  $label: does not compile, see $log" >&2
      broken=1
      continue
    fi
    : >"$logs/run.log"
    total=$((total + 1))
    if run_tests "$limit" "${tests[@]}"; then
      echo "  survived  $label"
      survivors+=("$label")
    else
      echo "  killed    $module #$number by $(killers)"
      killed=$((killed + 1))
    fi
    restore
  done
  percent=0
  [ "$total" -gt 0 ] && percent=$((100 * killed / total))
  [ "$percent" -lt "$min_percent" ] && below=1
  table+=("$(printf '%-16s %7d %7d %6d %%' "$module" "$total" "$killed" "$percent")")
done

echo
printf '%-16s %7s %7s %8s\n' module mutants killed percent
for row in "${table[@]}"; do echo "$row"; done
if [ ${#survivors[@]} -gt 0 ]; then
  echo
  echo "Survivors:"
  for s in "${survivors[@]}"; do echo "  $s"; done
fi
if [ "$broken" -ne 0 ]; then
  echo "mutants: the list or the build is broken (see above)" >&2
  exit 2
fi
if [ "$below" -ne 0 ]; then
  echo "mutants: a module kills fewer than $min_percent % of its mutants" >&2
  exit 1
fi
