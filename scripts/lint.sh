#!/usr/bin/env bash
# The project's style and static checks, as CI runs them:
#   - clang-format (.clang-format) leaves every tracked C and C++ file as it is;
#   - clang-tidy (.clang-tidy) finds nothing in the sources of the framework,
#     the stubs, the module and the stand-ins.
# Uses the compile commands of an already configured build folder.
#   lint.sh [BUILD_DIR]   (default build/lint, the lint preset)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/lint}
[ -f "$build/compile_commands.json" ] || { echo "lint: no $build/compile_commands.json; configure first" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' | grep -v '^fuzz/corpus/')
clang-format-14 --dry-run --Werror "${files[@]}"
echo "lint: clang-format: ${#files[@]} files as formatted"

mapfile -t sources < <(git ls-files 'framework/*.cpp' 'stubs/*.cpp' 'zip/*.cpp' 'standins/*.cpp')
# run-clang-tidy takes file patterns; anchored, escaped paths name exactly these files.
patterns=()
for f in "${sources[@]}"; do patterns+=("^$(realpath "$f" | sed 's/[.+]/\\&/g')\$"); done
run-clang-tidy-14 -p "$build" -quiet -j "$(nproc)" "${patterns[@]}" >"$build/clang-tidy.log" 2>&1 || {
  sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" | grep -E "(warning|error):" | sort -u
  echo "lint: clang-tidy found problems (full output: $build/clang-tidy.log)" >&2
  exit 1
}
echo "lint: clang-tidy: ${#sources[@]} sources clean"
