#!/usr/bin/env bash
# Fails when a C++ source of the tree is not formatted by .clang-format, or
# when clang-tidy warns about a source of the program or of the examples.
#   check_style.sh format SOURCE_DIR | check_style.sh tidy SOURCE_DIR BUILD_DIR
set -euo pipefail
cd "$2"
if [ "$1" = format ]; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h')
  clang-format-14 --dry-run -Werror "${files[@]}"
else
  mapfile -t files < <(git ls-files {app,port,securefile,settings,examples}/'*.cpp')
  out=$(clang-tidy-14 -p "$3" --quiet "${files[@]}" 2>&1) && ! grep -qE 'warning:|error:' <<<"$out" ||
    { echo "$out"; exit 1; }
fi
echo "clang-$1: ${#files[@]} files clean"
