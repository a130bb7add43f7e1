#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset and runs each one for
# SECONDS seconds on a copy of its seed corpus, with its kept regressions and
# its dictionary. Prints per target the executions, coverage (cov/ft) and
# corpus size; fails when any target reports a finding (crash, sanitizer
# report, broken rule, leak, timeout or out-of-memory). Reproducers land in
# fuzz/findings/<target>/.
#
#   bash fuzz/run.sh SECONDS [TARGET...]
#
# DORQ_FUZZ_BUILD_DIR  build directory (default: the preset's build/fuzz)
# DORQ_FUZZ_WORK_DIR   where the corpus copies and logs go (default: a new
#                      temporary directory, kept and printed at the end)
# DORQ_FUZZ_NO_BUILD=1 use the targets already built (for runs side by side)
set -euo pipefail

usage() {
  echo "usage: bash fuzz/run.sh SECONDS [TARGET...]" >&2
  exit 2
}
[[ $# -ge 1 && $1 =~ ^[0-9]+$ && $1 -gt 0 ]] || usage
seconds=$1
shift

cd "$(dirname "$0")/.."
root=$PWD
all_targets=(request args trace_name settings_line settings_file guarded_open error_record escape)
targets=("${all_targets[@]}")
[[ $# -eq 0 ]] || targets=("$@")
for t in "${targets[@]}"; do
  [[ " ${all_targets[*]} " == *" $t "* ]] || { echo "unknown target: $t" >&2; usage; }
done

build=${DORQ_FUZZ_BUILD_DIR:-$root/build/fuzz}
if [[ ${DORQ_FUZZ_NO_BUILD:-0} != 1 ]]; then
  cmake --preset fuzz -B "$build" >/dev/null
  cmake --build "$build" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")
fi

work=${DORQ_FUZZ_WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/dorq-fuzz-run-XXXXXX")}
mkdir -p "$work"

# Options each target needs beyond the common ones: inputs long enough to
# reach its length limits.
target_options() {
  case $1 in
    request) echo "-max_len=263000" ;;     # two lines over the 131068-character limit
    args) echo "-max_len=10000" ;;         # a -trcfile value past 4070 characters
    trace_name) echo "-max_len=10000" ;;   # names past the 4096-byte buffer
    settings_line) echo "-max_len=4096" ;;
    settings_file) echo "-max_len=8192" ;; # several 1088-byte pieces
    guarded_open) echo "-max_len=12000" ;; # directory and name past 4094 characters
    error_record) echo "-max_len=4096" ;;
    escape) echo "-max_len=10000" ;;       # texts past the trace line's 8192 bytes
  esac
}

dictionary() {
  case $1 in
    settings_line | settings_file) echo "$root/fuzz/dict/settings.dict" ;;
    *) [[ -f $root/fuzz/dict/$1.dict ]] && echo "$root/fuzz/dict/$1.dict" ;;
  esac
  return 0
}

failed=()
printf '\n%-14s %10s %7s %7s %8s  %s\n' target execs cov ft corpus result
for t in "${targets[@]}"; do
  corpus=$work/corpus/$t
  mkdir -p "$corpus" "$root/fuzz/findings/$t"
  cp -a "$root/fuzz/corpus/$t/." "$corpus/"
  inputs=("$corpus")
  regressions=$root/fuzz/regressions/$t
  if [[ -d $regressions ]] && compgen -G "$regressions/*" >/dev/null; then
    inputs+=("$regressions")  # read, never written to
  fi
  dict=$(dictionary "$t")
  log=$work/$t.log
  cmd=("$build/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=30
    -artifact_prefix="$root/fuzz/findings/$t/" $(target_options "$t")
    ${dict:+-dict="$dict"} "${inputs[@]}")
  echo "${cmd[*]}" >"$work/$t.cmd"
  rc=0
  "${cmd[@]}" >"$log" 2>&1 || rc=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  final=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$final")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$final")
  size=$(find "$corpus" -type f | wc -l)
  result=ok
  if [[ $rc -ne 0 ]]; then
    result="FINDING (exit $rc), see $log"
    failed+=("$t")
  fi
  printf '%-14s %10s %7s %7s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$size" "$result"
done

# Only the findings directories that hold something stay in the tree.
rmdir "$root"/fuzz/findings/* "$root/fuzz/findings" 2>/dev/null || true
echo
echo "logs, commands and corpora: $work"
if [[ ${#failed[@]} -gt 0 ]]; then
  for t in "${failed[@]}"; do
    echo "---- $t: end of $work/$t.log"
    tail -n 40 "$work/$t.log"
  done
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: no findings in ${#targets[@]} targets, ${seconds}s each"
