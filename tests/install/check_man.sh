#!/usr/bin/env bash
# Fails when the manual page does not render cleanly: any warning of man (and
# of the formatters behind it) at the usual terminal widths. Skips (77) when
# man is not installed.
set -euo pipefail
page=$1
command -v man >/dev/null || { echo "man is not installed: skipped"; exit 77; }
[ -r "$page" ] || { echo "no manual page at $page"; exit 1; }
status=0
for width in 80 66 120; do
  warnings=$(MANWIDTH=$width man --warnings "$page" 2>&1 >/dev/null) || status=$?
  if [ -n "$warnings" ] || [ "$status" != 0 ]; then
    echo "man --warnings $page (width $width, exit $status):"
    echo "$warnings"
    exit 1
  fi
done
echo "man --warnings: $page renders cleanly"
