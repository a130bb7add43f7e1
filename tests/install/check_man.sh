#!/usr/bin/env bash
# Fails on any warning of man (and the formatters behind it) for each page
# given, at the usual terminal widths; skips (77) when man is not installed.
set -euo pipefail
command -v man >/dev/null || { echo "man is not installed: skipped"; exit 77; }
for page in "$@"; do
  [ -r "$page" ] || { echo "no manual page at $page"; exit 1; }
  for width in 80 66 120; do
    status=0
    warnings=$(MANWIDTH=$width man --warnings "$page" 2>&1 >/dev/null) || status=$?
    if [ -n "$warnings" ] || [ "$status" != 0 ]; then
      echo "man --warnings $page (width $width, exit $status):"; echo "$warnings"; exit 1
    fi
  done
done
