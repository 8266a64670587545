#!/usr/bin/env bash
# The share of test code: non-blank lines of everything under tests/ (C++, CMake, shell,
# Python; fuzz seed inputs aside) against the .cpp, .h and CMakeLists.txt of the product
# folders. Lists every file with its count, then the totals and the ratio (goal: at most 33%).
set -euo pipefail
cd "$(dirname "$0")/.."
count() { grep -c -v -E '^\s*$' "$1" || true; }
sum() {
    local total=0 file lines
    while IFS= read -r file; do
        lines=$(count "$file")
        printf '%6d  %s\n' "$lines" "$file" >&2
        total=$((total + lines))
    done
    echo "$total"
}
echo "tests:" >&2
tests=$(git ls-files tests | grep -v '/corpus/' | grep -E '\.(cpp|h|hpp|cmake|sh|py)$|CMakeLists\.txt$' | sum)
echo "product:" >&2
code=$(git ls-files protocol sender receiver library demo cli | grep -E '\.(cpp|h|hpp)$|CMakeLists\.txt$' | sum)
awk -v t="$tests" -v c="$code" 'BEGIN {
    printf "tests %d lines, product %d lines: %.1f%% (at most 33%%)\n", t, c, 100 * t / c }'
