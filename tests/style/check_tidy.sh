#!/usr/bin/env bash
# Fails when clang-tidy warns about any source of the program (app, port,
# securefile, settings) or of the examples.
set -euo pipefail
src=$1 build=$2
cd "$src"
mapfile -t files < <(git ls-files 'app/*.cpp' 'port/*.cpp' 'securefile/*.cpp' 'settings/*.cpp' \
  'examples/*.cpp' 2>/dev/null)
out=$(clang-tidy-14 -p "$build" --quiet "${files[@]}" 2>&1) || { echo "$out"; exit 1; }
! grep -qE 'warning:|error:' <<<"$out" || { echo "$out"; exit 1; }
echo "clang-tidy: ${#files[@]} files clean"
