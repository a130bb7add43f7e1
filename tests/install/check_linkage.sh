#!/usr/bin/env bash
# The optimised dorq loads the C library and nothing else at start, and
# carries no C++ exception machinery (its unwinder would only add pages).
set -euo pipefail
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = libc.so.6 ] || { echo "dorq needs more than libc.so.6:" $needed >&2; exit 1; }
if nm "$1" | grep -qE ' (__cxa_throw|__cxa_allocate_exception)$'; then
  echo "dorq carries the C++ exception machinery:" >&2; nm -C "$1" | grep -E 'std::__throw_' >&2; exit 1
fi
