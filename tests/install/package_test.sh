#!/usr/bin/env bash
# Runs package.bats on the one dorq_*.deb in PACKAGE_DIR, in a private mount
# namespace: the test mounts an overlay of the host's root there and
# installs into that. Needs root: skips (77) without it, fails under CI=true.
#   package_test.sh PACKAGE_DIR
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  [ "${CI:-}" != true ] || { echo "this test needs root, and CI=true forbids a skip"; exit 1; }
  echo "this test needs root: skipped"; exit 77
fi
debs=("$1"/dorq_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || { echo "no single dorq_*.deb in $1"; exit 1; }
export DORQ_DEB=${debs[0]}
exec unshare -m --propagation private bats "$(dirname "$0")/package.bats"
