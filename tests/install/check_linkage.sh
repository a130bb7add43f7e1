#!/usr/bin/env bash
# Checks how the optimised dorq is linked: at start it may load the C library
# and nothing else, and it carries no C++ exception machinery (whose unwinder
# and emergency pool would only add pages to every start).
#   check_linkage.sh DORQ
set -euo pipefail
dorq=$1
needed=$(readelf -d "$dorq" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [ "$needed" != libc.so.6 ]; then
  echo "dorq needs more than libc.so.6 at start:" $needed >&2
  exit 1
fi
if nm "$dorq" | grep -qE ' (__cxa_throw|__cxa_allocate_exception)$'; then
  echo "dorq carries the C++ exception machinery; a range-checked library call pulls it in:" >&2
  nm -C "$dorq" | grep -E 'std::__throw_' >&2 || true
  exit 1
fi
