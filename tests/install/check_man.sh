#!/usr/bin/env bash
# Fails on any warning of man (and the formatters behind it) at the usual
# terminal widths; skips (77) when man is not installed.
set -euo pipefail
command -v man >/dev/null || { echo "man is not installed: skipped"; exit 77; }
[ -r "$1" ] || { echo "no manual page at $1"; exit 1; }
for width in 80 66 120; do
  status=0
  warnings=$(MANWIDTH=$width man --warnings "$1" 2>&1 >/dev/null) || status=$?
  if [ -n "$warnings" ] || [ "$status" != 0 ]; then
    echo "man --warnings $1 (width $width, exit $status):"; echo "$warnings"; exit 1
  fi
done
