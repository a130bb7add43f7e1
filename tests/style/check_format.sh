#!/usr/bin/env bash
# Fails when a C++ source of the tree is not formatted by .clang-format.
set -euo pipefail
cd "$1"
mapfile -t files < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h')
clang-format-14 --dry-run -Werror "${files[@]}"
echo "clang-format: ${#files[@]} files clean"
