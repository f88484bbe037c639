#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz/ and runs each one for
# FUZZ_SECONDS (default 60) on a scratch copy of its seed corpus, FUZZ_PARALLEL (default 2)
# at a time. Fails when any target reports a finding; crash inputs and logs stay in
# FUZZ_WORK (default build-fuzz/runs/). Not part of `make test`.
#   FUZZ_TARGETS="fuzz_decode fuzz_anchor_text" scripts/fuzz.sh   # a subset
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
work="${FUZZ_WORK:-$build/runs}"
seconds="${FUZZ_SECONDS:-60}"
parallel="${FUZZ_PARALLEL:-2}"
jobs="${JOBS:-2}"
all_targets=(fuzz_decode fuzz_anchor_text fuzz_model_file fuzz_back_projection fuzz_cdr fuzz_mcap)
read -r -a targets <<<"${FUZZ_TARGETS:-${all_targets[*]}}"

# clang and its libFuzzer runtime (Debian 12: clang 14).
"$root/scripts/setup.sh" clang libclang-rt-14-dev

cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

# One target: a fresh scratch corpus seeded from fuzz/corpus/<target>, findings in its folder.
run_target() {
  local target="$1"
  local dir="$work/$target"
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/findings"
  cp -r "$root/fuzz/corpus/$target/." "$dir/corpus/" 2>/dev/null || true
  # UBSan findings abort (the sources are built with -fno-sanitize-recover); leaks count too.
  if TMPDIR="$dir" ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
     UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
     "$build/bin/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
       -max_len=8192 -print_final_stats=1 -artifact_prefix="$dir/findings/" \
       "$dir/corpus" >"$dir/log.txt" 2>&1; then
    echo "$target: ok ($(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$dir/log.txt" | tail -1))"
  else
    echo "$target: FINDING (log: $dir/log.txt, inputs: $dir/findings/)"
    grep -E 'ERROR:|runtime error:|==[0-9]+==|SUMMARY' "$dir/log.txt" | head -5 || true
    return 1
  fi
}

status=0
pids=()
names=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
  names+=("$target")
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
if [ "$status" -ne 0 ]; then
  echo "fuzz: findings reported (see above)" >&2
fi
exit "$status"
