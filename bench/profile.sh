#!/usr/bin/env bash
# Profiles of one dorq request in the benchmark's sandbox, as root (bench/run.sh --exec builds
# both): CPU time and page faults against setpriv and a do-nothing program, system calls, and where
# the page faults come from. The plain (not set-user-ID) copy takes the same path through the
# program and lets the tools see into it. Tools that are not installed are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != --in-sandbox ]; then
  exec bash bench/run.sh --exec /bin/bash "$PWD/bench/profile.sh" --in-sandbox
fi

# Inside the sandbox: a profile that fails (or a reader that stops early) does not end the others.
set +e +o pipefail
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
have() { command -v "$1" >/dev/null 2>&1; }
job="setpriv --reuid=dqjob --regid=dqjob --init-groups /bin/true"

if have perf; then
  echo "== perf stat, 100 runs each (a starting shell included in every row)"
  for row in "null|exec $DORQ_NULL_SETUID" "dorq empty|exec $DORQ_PLAIN < $DORQ_REQUEST_EMPTY" \
    "dorq polling|exec $DORQ_PLAIN < $DORQ_REQUEST_POLLING" \
    "dorq blocking|exec $DORQ_PLAIN < $DORQ_REQUEST_BLOCKING" "setpriv|exec $job"; do
    perf stat -e task-clock,page-faults -r 100 -- sh -c "${row#*|}" 2>&1 >/dev/null |
      awk -v l="${row%%|*}" '/task-clock/ {t=$1} /page-faults/ {f=$1} /elapsed/ {e=$1*1000}
        END {printf "  %-14s cpu %6.2f ms  faults %4s  elapsed %6.2f ms\n", l, t, f, e}'
  done
  echo "== page faults of one dorq request by function (inclusive, dorq's own process)"
  perf record -q -e page-faults -c 1 --call-graph dwarf -o "$out/pf.data" -- \
    "$DORQ_PLAIN" <"$DORQ_REQUEST_POLLING" >/dev/null 2>&1
  perf report -i "$out/pf.data" --comm dorq-plain --children --sort sym --stdio -g none \
    2>/dev/null | grep -v '^#' | grep -v '^$' | head -40
fi
if have strace; then
  echo "== strace -f -c: dorq polling request (with its job)"
  strace -f -c -o "$out/dorq.strace" "$DORQ_PLAIN" <"$DORQ_REQUEST_POLLING"
  sort -k4 -n -r "$out/dorq.strace" | head -14
  echo "== strace -f -c: setpriv (with its job)"
  strace -f -c -o "$out/setpriv.strace" setpriv --reuid=dqjob --regid=dqjob --init-groups /bin/true
  grep total "$out/setpriv.strace"
fi
