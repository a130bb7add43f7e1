#!/usr/bin/env bash
# The manual pages render without a warning of man at the usual widths; the Debian changelog's
# latest entry, the pages' footers and dorq-client --version show project(dorq VERSION ...).
#   check_docs.sh VERSION CHANGELOG CLIENT MANPAGE...
set -euo pipefail
version=$1 changelog=$2 client=$3 status=0
shift 3
expect() { [ "$2" = "$3" ] || { echo "$1 shows '$2', not '$3'"; status=1; }; } # what, found, expected
expect "$changelog" "$(sed -n '1s/^dorq (\([^)]*\)).*/\1/p' "$changelog")" "$version"
expect "$client --version" "$("$client" --version)" "dorq-client $version"
for page in "$@"; do
  expect "$page" "$(sed -n 's/^\.TH [^ ]* [0-9] [^ ]* "dorq \([^"]*\)".*/\1/p' "$page")" "$version"
  for width in 80 66 120; do
    warnings=$(MANWIDTH=$width man --warnings "$page" 2>&1 >/dev/null) || warnings+=" (exit $?)"
    [ -z "$warnings" ] || { echo "man --warnings $page at width $width: $warnings"; status=1; }
  done
done
exit $status
