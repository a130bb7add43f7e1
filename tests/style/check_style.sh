#!/usr/bin/env bash
# Fails when a C++ source of the tree is not formatted by .clang-format, or when clang-tidy warns
# about a C or C++ source of the program, examples, tests, benchmark or fuzz targets (these with
# the compile commands of the fuzz preset, configured for the check).
#   check_style.sh format SOURCE_DIR | check_style.sh tidy SOURCE_DIR BUILD_DIR
set -euo pipefail
cd "$2"
if [ "$1" = format ]; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h')
  clang-format-14 --dry-run -Werror "${files[@]}"
else
  fuzz_db=$(mktemp -d); trap 'rm -rf "$fuzz_db"' EXIT; cmake --preset fuzz -B "$fuzz_db" >/dev/null
  mapfile -t files < <(git ls-files {app,port,securefile,settings,examples,tests,bench}/'*.'{c,cpp})
  mapfile -t fuzz < <(git ls-files fuzz/'*.cpp')
  tidy() { xargs -P "$(nproc)" -n 4 clang-tidy-14 -p "$1" --quiet; }
  out=$({ printf '%s\n' "${files[@]}" | tidy "$3" && printf '%s\n' "${fuzz[@]}" | tidy "$fuzz_db"; } 2>&1) &&
    ! grep -qE 'warning:|error:' <<<"$out" || { echo "$out"; exit 1; }
  files+=("${fuzz[@]}")
fi
echo "clang-$1: ${#files[@]} files clean"
