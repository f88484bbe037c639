#!/usr/bin/env bash
# clang-tidy (Debian 12's, 14) with the repository's .clang-tidy files over the product code:
# the package's sources, the tools but their tests, the PC's NPU runtime and the benchmarks.
# Each source is checked with its own compile command from the build in BUILD_DIR (default
# build/, `make build`): the package's from colcon's folder, the NPU runtime's and the
# workspace's beside it. Headers are checked through the sources that include them, ours only.
# Fails on any finding (.clang-tidy makes every warning an error) and on a source that is in no
# compile database.
#
# A source takes 10 to 20 s here (PCL's templates), the whole set over 20 min on two cores, so a
# source that passed is remembered in TIDY_CACHE (default /var/tmp/veltrax-tidy-cache;
# TIDY_CACHE=off checks everything) under a hash of its compile command, of every file it
# includes (the build's dependency files list them), of the .clang-tidy files and of clang-tidy's
# version: it is checked again as soon as any of them changes. Findings are never cached.
#   scripts/check-tidy.sh [REGEX]    # only the sources whose path matches REGEX
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd -P)
build=$(cd "${BUILD_DIR:-$repo/build}" 2>/dev/null && pwd -P) ||
  { echo "check-tidy: no build folder ${BUILD_DIR:-$repo/build}; run 'make build' first" >&2; exit 2; }
jobs=${JOBS:-$(nproc)}
cache=${TIDY_CACHE:-/var/tmp/veltrax-tidy-cache}
only=${1:-}
start=$SECONDS

command -v clang-tidy >/dev/null || { echo "check-tidy: clang-tidy not found (scripts/setup.sh)" >&2; exit 2; }

databases=("$build/colcon/veltrax_cv_model" "$build/npu-runtime-build" "$build")
for db in "${databases[@]}"; do
  [ -f "$db/compile_commands.json" ] ||
    { echo "check-tidy: no $db/compile_commands.json; run 'make build' first" >&2; exit 2; }
done

cd "$repo"
mapfile -t sources < <(git ls-files -- 'veltrax_cv_model/src/*.cpp' 'tools/*.cpp' 'host/rknn/src/*.cpp' \
                         'bench/*.cpp' | grep -v '^tools/test/' | grep -E "${only:-.}")
[ ${#sources[@]} -gt 0 ] || { echo "check-tidy: no source matches '$only'" >&2; exit 2; }

# One source, with its findings in its own log; a clean pass is remembered under its key.
# Diagnostics in our own headers only: the installed copies of the package's headers are
# checked through the package's sources. GCC's warning options that clang lacks are no finding.
# shellcheck disable=SC2317  # run by xargs
tidy_one() {
  local key="$1" file="$2" log
  log="$work/logs/$(tr / _ <<<"${file#"$repo"/}").log"
  if clang-tidy --quiet -p "$work" --extra-arg=-Wno-unknown-warning-option \
       "--header-filter=^$repo/(veltrax_cv_model/(include|src)|tools|bench|host/rknn/(include|src))/" \
       "$file" >"$log" 2>&1; then
    rm -f "$log"
    if [ "$key" != - ]; then touch "$cache/$key"; fi
  fi
}

work="$build/tidy"
rm -rf "$work"
mkdir -p "$work/logs"
if [ "$cache" != off ]; then
  mkdir -p "$cache"
  # A hit renews its entry; what no run has used for a month goes.
  find "$cache" -type f -mtime +30 -delete
fi

# One database of the three for the sources above (each source's first compile command: the
# three builds compile disjoint sources), and the list of sources to check with their keys.
{ clang-tidy --version; declare -f tidy_one
  git ls-files -z -co --exclude-standard -- '.clang-tidy' '*/.clang-tidy' | xargs -0 -r tail -n +1 --
} >"$work/settings"
printf '%s\n' "${sources[@]}" >"$work/sources"
python3 - "$repo" "$build" "$work" "$cache" "${databases[@]}" <<'EOF'
import hashlib, json, os, shlex, sys
repo, build, work, cache, dbs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
with open(os.path.join(work, "sources")) as f:
    wanted = {os.path.join(repo, line.strip()) for line in f if line.strip()}
found = {}
for db in dbs:
    with open(os.path.join(db, "compile_commands.json")) as f:
        for entry in json.load(f):
            path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
            if path in wanted and path not in found:
                entry["file"] = path
                found[path] = entry
missing = sorted(wanted - found.keys())
for path in missing:
    print("check-tidy: %s is in no compile database (not built?)" % os.path.relpath(path, repo),
          file=sys.stderr)
with open(os.path.join(work, "compile_commands.json"), "w") as f:
    json.dump([found[p] for p in sorted(found)], f, indent=1)

# Paths without the checkout's and the build's own folder, so that a clone elsewhere (CI's)
# finds what this one cached.
def portable(text):
    return text.replace(build, "@BUILD@").replace(repo, "@REPO@")

digests = {}
def digest(path):
    if path not in digests:
        try:
            with open(path, "rb") as f:
                digests[path] = hashlib.sha256(f.read()).hexdigest()
        except OSError:
            digests[path] = "unreadable"
    return digests[path]

# The files a source includes, from the dependency file GCC wrote beside its object file.
def dependencies(entry):
    args = entry.get("arguments") or shlex.split(entry["command"])
    output = entry.get("output") or next(
        (b for a, b in zip(args, args[1:]) if a == "-o"), None)
    if not output:
        return None
    try:
        with open(os.path.join(entry["directory"], output + ".d")) as f:
            text = f.read()
    except OSError:
        return None
    text = text.replace("\\\n", " ").split(":", 1)[-1].replace("\\ ", "\0")
    return sorted({os.path.realpath(os.path.join(entry["directory"], p.replace("\0", " ")))
                   for p in text.split()})

with open(os.path.join(work, "settings"), "rb") as f:
    settings = portable(f.read().decode())
with open(os.path.join(work, "todo"), "w") as todo:
    for path in sorted(found):
        entry = found[path]
        command = entry.get("command") or " ".join(entry["arguments"])
        deps = dependencies(entry)
        if cache == "off" or deps is None or path not in deps:
            key = "-"
        else:
            h = hashlib.sha256()
            for part in [settings, portable(command), portable(path)] + \
                        [portable(d) + " " + digest(d) for d in deps]:
                h.update(part.encode() + b"\n")
            key = h.hexdigest()
            marker = os.path.join(cache, key)
            if os.path.exists(marker):
                os.utime(marker)
                continue
        todo.write("%s %s\n" % (key, path))
sys.exit(1 if missing else 0)
EOF

export -f tidy_one
export repo work cache

todo=$(wc -l <"$work/todo")
echo "check-tidy: ${#sources[@]} sources, $((${#sources[@]} - todo)) unchanged since they passed," \
     "$todo to check, $jobs at a time"
# xargs rather than run-clang-tidy: the cache needs each source's own result.
# shellcheck disable=SC2016
xargs -r -P "$jobs" -L 1 bash -c 'tidy_one "$@"' _ <"$work/todo"

mapfile -t failed < <(find "$work/logs" -name '*.log' | sort)
if [ ${#failed[@]} -eq 0 ]; then
  echo "check-tidy: no findings ($((SECONDS - start)) s)"
  exit 0
fi
# Each failing source's diagnostics with their notes, then one line per finding.
for log in "${failed[@]}"; do
  grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Error while processing|warnings treated as errors$' \
    "$log" | sed "s|$repo/||g" | head -100 >&2 || true
done
findings=$(cat "${failed[@]}" | grep -E '^/[^:]+:[0-9]+:[0-9]+: (warning|error): ' |
           sed "s|^$repo/||" | sort -u || true)
echo "check-tidy: FAILED in ${#failed[@]} source(s), $(grep -c . <<<"$findings") finding(s):" >&2
echo "$findings" >&2
exit 1
