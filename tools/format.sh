#!/usr/bin/env bash
# Formats the project's C++ sources with the committed .clang-format, or, with
# --check, lists the files that differ from it and exits 1 when there are any.
#   tools/format.sh [--check]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "format.sh: clang-format is not installed (tools/setup.sh)" >&2; exit 2; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
case "${1:-}" in
  --check)
    bad=()
    for f in "${files[@]}"; do
      clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
    done
    if [ ${#bad[@]} -gt 0 ]; then
      printf 'not formatted: %s\n' "${bad[@]}" >&2
      echo "format.sh: ${#bad[@]} of ${#files[@]} files differ from .clang-format; run tools/format.sh" >&2
      exit 1
    fi
    echo "format.sh: all ${#files[@]} files match .clang-format"
    ;;
  "") clang-format -i "${files[@]}" ;;
  *) echo "usage: tools/format.sh [--check]" >&2; exit 2 ;;
esac
