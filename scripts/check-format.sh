#!/usr/bin/env bash
# Fails when a tracked C/C++ source or header is not laid out as the repository's .clang-format
# says (Debian 12's clang-format 14, as in CI); changes nothing. `make format` fixes the tree.
# CMake templates (*.in) are left out: their @VARIABLES@ are not C++.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v clang-format >/dev/null || { echo "check-format: clang-format not found (scripts/setup.sh)" >&2; exit 2; }

mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.hxx')
if [ ${#files[@]} -eq 0 ]; then
  echo "check-format: no C/C++ files tracked" >&2
  exit 2
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if printf '%s\0' "${files[@]}" | xargs -0 clang-format --dry-run --Werror >"$log" 2>&1; then
  echo "check-format: ${#files[@]} files formatted as .clang-format says"
  exit 0
fi
# One line per file, then the first few places: the full diagnostics are long.
echo "check-format: FAILED; files not formatted (run 'make format'):" >&2
grep -E '^[^:[:space:]]+:[0-9]+:[0-9]+: error: .*clang-format-violations' "$log" | cut -d: -f1 | sort | uniq -c |
  awk '{printf "  %s (%d places)\n", $2, $1}' >&2 || true
# Anything else clang-format said (a bad .clang-format, an unreadable file).
grep -iE 'error|warning' "$log" | grep -v 'clang-format-violations' | sort -u | head -5 >&2 || true
exit 1
