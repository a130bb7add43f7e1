#!/usr/bin/env bash
# Fails when a source includes a folder that comes after its own in link
# order: port/, securefile/, settings/, then app/'s parts base, trace and
# audit, authentication and job, driver. A part may include itself and the
# parts its line below names; app/main.cpp may include any of them.
#   check_layers.sh SOURCE_DIR
set -euo pipefail
cd "$1"
declare -A may=(
  [port]="port"
  [securefile]="port securefile"
  [settings]="port securefile settings"
  [app/base]="port securefile settings app/base"
  [app/trace]="port securefile settings app/base app/trace"
  [app/audit]="port securefile settings app/base app/audit"
  [app/authentication]="port securefile settings app/base app/trace app/audit app/authentication"
  [app/job]="port securefile settings app/base app/trace app/audit app/job"
  [app/driver]="port securefile settings app/base app/trace app/audit app/authentication app/job app/driver"
)
bad=0
checked=0
for part in "${!may[@]}"; do
  while IFS= read -r file; do
    checked=$((checked + 1))
    while IFS= read -r included; do
      folder=${included%/*}
      [[ " ${may[$part]} " == *" $folder "* ]] && continue
      echo "$file includes $included: $part may include only ${may[$part]}"
      bad=1
    done < <(sed -n 's/^#include "\([a-z_/]*\/[a-z_]*\.h\)"$/\1/p' "$file")
  done < <(git ls-files "$part/*.cpp" "$part/*.h" | grep -E "^$part/[^/]+$")
done
[ "$checked" -gt 0 ] || { echo "no sources found"; exit 1; }
[ "$bad" -eq 0 ] && echo "layers: $checked files include only what comes before them"
exit "$bad"
