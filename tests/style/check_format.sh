#!/usr/bin/env bash
# Every tracked C and C++ file is as .clang-format lays it out. Other clang-format versions lay
# some constructs out differently, so only the version the style was applied with judges; without
# it, or outside a git checkout, the check skips (exit 77).
set -euo pipefail
root=$1
command -v clang-format > /dev/null || { echo "clang-format not installed: skipped"; exit 77; }
version=$(clang-format --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
[ "$version" = 14 ] || { echo "clang-format $version is not 14: skipped"; exit 77; }
git -C "$root" rev-parse --is-inside-work-tree > /dev/null 2>&1 || { echo "not a git checkout: skipped"; exit 77; }
cd "$root"
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run -Werror
