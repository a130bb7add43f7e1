#!/usr/bin/env bash
# Builds the Debian package from a copy of the tree, which gets dpkg-buildpackage's leftovers,
# checks it with lintian and leaves dorq_<version>_<arch>.deb in OUT_DIR.
#   build_package.sh SOURCE_DIR OUT_DIR
set -euo pipefail
source_dir=$1 out_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The tree as it stands, uncommitted changes included, without build output.
mkdir "$work/dorq"
tar -C "$source_dir" --exclude-vcs --exclude=./build --exclude='./build-*' \
  --exclude='./obj-*' --exclude=./fuzz/findings -cf - . | tar -C "$work/dorq" -xf -
(cd "$work/dorq" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -us -uc -b)
debs=("$work"/dorq_*.deb)
lintian --fail-on error,warning --display-info "${debs[@]}"
mkdir -p "$out_dir"
rm -f "$out_dir"/dorq_*.deb
cp "${debs[@]}" "$out_dir"/
