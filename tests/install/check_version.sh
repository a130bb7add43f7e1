#!/usr/bin/env bash
# The version has one source, project(dorq VERSION ...) in CMakeLists.txt:
# the Debian changelog's latest entry, the manual pages' footers and
# dorq-client --version must all show it.
#   check_version.sh VERSION CHANGELOG CLIENT MANPAGE...
set -euo pipefail
version=$1 changelog=$2 client=$3 status=0
shift 3
expect() { [ "$2" = "$3" ] || { echo "$1 shows '$2', not '$3'"; status=1; }; } # what, found, expected
expect "$changelog" "$(sed -n '1s/^dorq (\([^)]*\)).*/\1/p' "$changelog")" "$version"
expect "$client --version" "$("$client" --version)" "dorq-client $version"
for page in "$@"; do
  expect "$page" "$(sed -n 's/^\.TH [^ ]* [0-9] [^ ]* "dorq \([^"]*\)".*/\1/p' "$page")" "$version"
done
exit $status
