#!/usr/bin/env bash
# Runs dorq's benchmark once, as root: builds dorq and the benchmark with the
# default preset, installs the build's packages and sudo when they are
# missing (the benchmark compares against sudo), then times every row in one
# run and prints the tables.
#
#   bash bench/run.sh [dorq_bench options, e.g. --runs 200 --alt-dorq PATH]
#
# Environment:
#   DORQ_BENCH_BUILD  build directory (default: the preset's build/default)
#   DORQ_BENCH_RT     0 to run at normal priority; by default the benchmark and
#                     every program it starts run under SCHED_FIFO priority 20,
#                     so that other work on a shared machine does not land in
#                     the timings (it only shortens the waits for a CPU).
#
# Everything it sets up (users, PAM services, /etc/sudoers, the set-user-ID
# copy) lives in the benchmark's private mount namespace; the host's /etc is
# not written.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
  echo "bench/run.sh: run as root" >&2
  exit 1
fi
# The build's own packages (libpam headers, compilers) come from .ci/deps, so
# the benchmark also runs on a machine that has not built dorq yet.
if ! dpkg-query -W -f='${Status}' libpam0g-dev 2>/dev/null | grep -q 'ok installed'; then
  bash .ci/deps >/dev/null
fi
if ! command -v sudo >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends sudo >/dev/null
fi

build=${DORQ_BENCH_BUILD:-build/default}
cmake --preset default -B "$build" >/dev/null
cmake --build "$build" -j2 --target dorq_bench >/dev/null

bench=("$build/bench/dorq_bench" "$@")
if [ "${DORQ_BENCH_RT:-1}" != 0 ]; then
  bench=(chrt --fifo 20 "${bench[@]}")
fi
echo "command: bash bench/run.sh $*"
exec "${bench[@]}"
