#!/usr/bin/env bash
# dorq's benchmark, as root: hyperfine times bench/launch.c starting each row's program with
# /bin/true as the job, in the end-to-end tests' sandbox (tests/e2e/helper.bash); bench/ratios.py
# prints the tables. docs/PERFORMANCE.md says what each row and figure is.
#
#   bash bench/run.sh [--runs N] [--rounds N] [--dorq PATH] [--alt-dorq PATH] [--out DIR]
#   bash bench/run.sh [--pam unix] --exec COMMAND [ARG...]
#
# --runs launches per row (200) in --rounds passes over every row (10), each pass starting one
# row later; --dorq times that build instead of this tree's, --alt-dorq a second build's rows
# too; --out keeps the records. --exec runs COMMAND as root in the sandbox instead (profilers),
# with "su" and "dorq" pam_permit (pam_unix with --pam unix) and the copies and request files in
# the environment. DORQ_BENCH_BUILD: the build directory (build/default); DORQ_BENCH_RT=0: normal
# priority instead of SCHED_FIFO 20. Missing packages come from apt-get; the host's /etc,
# /var/lib and /dev are never written (a private mount namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
inside=0
[ "${1-}" != --inside ] || { inside=1 && shift; }
args=("$@")
runs=200 rounds=10 dorq='' alt='' out='' pam=permit command=()
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2 ;;
    --rounds) rounds=$2 ;;
    --dorq) dorq=$(realpath "$2") ;;
    --alt-dorq) alt=$(realpath "$2") ;;
    --out) out=$(realpath -m "$2") ;;
    --pam) pam=$2 ;;
    --exec) shift && command=("$@") && break ;;
    *) echo "bench/run.sh: unknown option $1" >&2 && exit 2 ;;
  esac
  shift 2 || { echo "bench/run.sh: $1 needs a value" >&2 && exit 2; }
done
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

if [ $inside = 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "bench/run.sh: run as root" >&2 && exit 1; }
  installed libpam0g-dev || bash .ci/deps >/dev/null
  missing=()
  for p in sudo hyperfine whois python3; do installed $p || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  build=$(realpath -m "${DORQ_BENCH_BUILD:-build/default}")
  cmake --preset default -B "$build" >/dev/null
  targets=(dorq_bench_launch dorq_bench_pam dorq_bench_null)
  [ -n "$dorq" ] || targets+=(dorq)
  cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
  echo "command: bash bench/run.sh ${args[*]}"
  # As ctest starts an end-to-end file: setup_file refuses the namespace it was started from.
  exec unshare -m --propagation private env DORQ_E2E_OUTER_NS="$(readlink /proc/self/ns/mnt)" \
    DORQ="$(realpath "${dorq:-$build/app/dorq}")" BENCH="$build/bench" \
    bash bench/run.sh --inside "${args[@]}"
fi

# The distribution's PAM texts for the "Debian's PAM text" rows, read before the sandbox hides them.
declare -A debian
for f in runuser sudo common-auth common-account common-session common-session-noninteractive; do
  debian[$f]=$(cat "/etc/pam.d/$f" 2>/dev/null || true)
done
# shellcheck source=tests/e2e/helper.bash
source tests/e2e/helper.bash
trap teardown_file EXIT
setup_file
rt=()
if [ "${DORQ_BENCH_RT:-1}" != 0 ]; then
  # The system log takes the audit lines at the programs' priority: starved, it would hold up
  # every program that logs once its socket's queue is full.
  rt=(chrt --fifo 20) && chrt --fifo -p 20 "$LOGSINK"
fi
out=${out:-$W/out}
mkdir -p "$out" && rm -f "$out"/*.json "$out"/{rows,texts,memory,*.times}
# The job user's password hashed as the distribution hashes it (yescrypt), so that pam_unix
# does what administrators see; written in place, since the file is bind-mounted.
hash=$(mkpasswd -m yescrypt -s <<<"$JOBPW")
awk -F: -v OFS=: -v h="$hash" '$1 == "dqjob" { $2 = h } 1' /etc/shadow >"$W/shadow.y"
cat "$W/shadow.y" >/etc/shadow
grep -q '^dqjob:[$]y[$]' /etc/shadow || { echo "bench/run.sh: no yescrypt hash" >&2 && exit 1; }
# What the programs write below /var/lib (dorq's failure counts, sudo's) stays in the sandbox.
if ! mountpoint -q /var/lib; then
  mkdir "$W/lib-up" "$W/lib-work"
  mount -t overlay overlay -o lowerdir=/var/lib,"upperdir=$W/lib-up,workdir=$W/lib-work" /var/lib
fi
printf 'Defaults timestampdir=%s/sudo-ts\ndqsched ALL=(dqjob) NOPASSWD: ALL\n' "$W" >"$W/sudoers"
chmod 0440 "$W/sudoers" && mount --bind "$W/sudoers" /etc/sudoers
for f in common-auth common-account common-session common-session-noninteractive; do
  service $f "${debian[$f]}"
done
service bench-unix "$UNIX" && service bench-permit "$PERMIT"
ALL=$'auth required pam_permit.so\naccount required pam_permit.so\n'
ALL+=$'session required pam_permit.so\npassword required pam_permit.so'
install -m 4755 "$BENCH/dorq_bench_null" "$W/bin/null"
install -m 0755 "$BENCH/dorq_bench_null" "$W/bin/null-plain"
[ -z "$alt" ] || install -m 4755 "$alt" "$W/bin/dorq-alt"
L=$BENCH/dorq_bench_launch PAMCHECK=$BENCH/dorq_bench_pam SCHED=(-u 23001:23001)
echo "$JOBPW" >"$W/password" && echo "$JOBPW-wrong" >"$W/wrong"

# request FLAGS JOB...: the name of a file that holds dqjob's request for JOB.
request() {
  local file=$W/request.$1.${2##*/}
  [ -e "$file" ] || job "$@" >"$file"
  echo "$file"
}
# row KEY JOB...: for that job, sets LABEL, BY (who starts it), EXPECT (its exit status), JOBROW
# (1 when JOB runs as dqjob), TEXT (the name of the PAM text its services hold: permit for
# $PERMIT, unix for $UNIX, permit-all for $ALL, debian for the distribution's, none when it runs
# no PAM) and ARGS (the launcher's), and writes the row's PAM services.
row() {
  local key=$1 dorq=$W/bin/dorq name=dorq
  shift
  BY=dqsched EXPECT=0 JOBROW=1 TEXT=none
  [[ $key != alt-* ]] || dorq=$W/bin/dorq-alt name="dorq (--alt-dorq)"
  case $key in
    launcher) LABEL="launcher, do-nothing program (the launcher's own cost)" JOBROW=0
      ARGS=("${SCHED[@]}" /dev/null "$W/bin/null-plain") ;;
    setpriv) LABEL="setpriv --reuid --regid --init-groups" BY=root
      ARGS=(/dev/null /usr/bin/setpriv --reuid=dqjob --regid=dqjob --init-groups -- "$@") ;;
    pool-*) row "${key#*-}" "$@" && LABEL="$LABEL: $pool requests $width at a time"
      ARGS=(-j "$width" -n "$pool" "${ARGS[@]}") ;;
    pam-*) LABEL="PAM check alone, pam_permit (whole process)" BY=root JOBROW=0 TEXT=${key#*-}
      [ "$key" = pam-permit ] || LABEL="PAM check alone, pam_unix yescrypt (whole process)"
      ARGS=("$W/password" "$PAMCHECK" "bench-${key#*-}" dqjob "$out/$key.times") ;;
    null) LABEL="do-nothing C program (set-user-ID)" JOBROW=0
      ARGS=("${SCHED[@]}" /dev/null "$W/bin/null") ;;
    *-empty) LABEL="$name, empty request (set-user-ID)" EXPECT=3 JOBROW=0
      ARGS=("${SCHED[@]}" /dev/null "$dorq") ;;
    *-blocking | *-polling | *-unix)
      local flags=0 text=$PERMIT what="pam_permit, polling (flags 0)" && TEXT=permit
      [[ $key != *-blocking ]] || flags=4 what="pam_permit, blocking (flags 4)"
      [[ $key != *-unix ]] || text=$UNIX TEXT=unix what="pam_unix yescrypt, polling (flags 0)"
      service su "$text" && service dorq "$text"
      LABEL="$name, $what" ARGS=("${SCHED[@]}" "$(request $flags "$@")" "$dorq") ;;
    runuser-*) LABEL="runuser -u, pam_permit" BY=root
      ARGS=(/dev/null /usr/sbin/runuser -u dqjob -- "$@") ;;&
    sudo-*) LABEL="sudo -u, pam_permit" ARGS=("${SCHED[@]}" /dev/null /usr/bin/sudo -n -u dqjob -- "$@") ;;&
    *-permit) service "${key%-*}" "$ALL" && TEXT=permit-all ;;
    *-debian) service "${key%-*}" "${debian[${key%-*}]}" && TEXT=debian
      LABEL="${LABEL%, *}, Debian's PAM text" ;;
  esac
}
pool=200 width=8
keys=(launcher setpriv dorq-blocking dorq-polling dorq-unix runuser-permit sudo-permit
  runuser-debian sudo-debian pam-unix pam-permit null dorq-empty)
pools=(pool-setpriv pool-dorq-polling)
if [ -n "$alt" ]; then
  keys+=(alt-blocking alt-polling alt-unix alt-empty) && pools+=(pool-alt-polling)
fi

if [ ${#command[@]} -gt 0 ]; then
  row "dorq-$([ "$pam" = unix ] && echo unix || echo polling)" /bin/true
  export DORQ_SETUID=$W/bin/dorq DORQ_PLAIN=$W/bin/dorq-plain DORQ_NULL_SETUID=$W/bin/null
  DORQ_REQUEST_POLLING=$(request 0 /bin/true) DORQ_REQUEST_BLOCKING=$(request 4 /bin/true)
  export DORQ_REQUEST_POLLING DORQ_REQUEST_BLOCKING DORQ_REQUEST_EMPTY=/dev/null DORQ_SCHED_USER=dqsched
  "${command[@]}" </dev/null
  exit
fi

# Each row once with /usr/bin/id as the job, which must print dqjob's whole identity, so that no
# row is fast because it does less (a refused sudo, a job without its groups).
identity='uid=23002(dqjob) gid=23002(dqjob) groups=23002(dqjob),23010(dqjoba),23011(dqjobb)'
for key in "${keys[@]}"; do
  row "$key" /usr/bin/id
  rc=0 && got=$("$L" "${ARGS[@]}" 2>"$W/check.err") || rc=$?
  if [ $rc != "$EXPECT" ] || { [ $JOBROW = 1 ] && [ "$got" != "$identity" ]; }; then
    echo "bench/run.sh: row $key exited $rc (wanted $EXPECT), printed: $got $(cat "$W/check.err")" >&2
    exit 1
  fi
  printf '%s\t%s\t%s\t%s\n' "$key" "$BY" "$EXPECT" "$LABEL" >>"$out/rows"
  printf '%s\t%s\n' "$key" "$TEXT" >>"$out/texts"
done
for key in "${pools[@]}"; do
  row "$key" /bin/true && printf '%s\t%s\t0\t%s\n' "$key" "$BY" "$LABEL" >>"$out/rows"
done
# The PAM check refuses a wrong password, so the pam_unix rows do check it.
if "$L" "$W/wrong" "$PAMCHECK" bench-unix dqjob 2>/dev/null; then
  echo "bench/run.sh: the PAM check accepted a wrong password" >&2 && exit 1
fi
rm -f "$out"/*.times
echo "checked: every row runs the job as dqjob with its groups; yescrypt hash; wrong password refused"

# time KEY RUNS WARMUP ROUND: hyperfine over the row, the JSON to ROUND.KEY.json (exit codes are
# checked from it: hyperfine ignores them here, since some rows end with a status of their own).
time_row() {
  row "$1" /bin/true
  "${rt[@]}" hyperfine -N -i --style none --runs "$2" --warmup "$3" -n "$1" \
    --export-json "$out/$4.$1.json" \
    "$(printf '%q ' "$L" "${ARGS[@]}")" >/dev/null 2>"$W/hyperfine.err" ||
    { cat "$W/hyperfine.err" >&2 && exit 1; }
}
per=$(((runs + rounds - 1) / rounds))
for ((r = 0; r < rounds; r++)); do
  echo "round $((r + 1)) of $rounds: ${#keys[@]} rows, $per launches each; ${#pools[@]} pools"
  for ((k = 0; k < ${#keys[@]}; k++)); do time_row "${keys[(r + k) % ${#keys[@]}]}" $per 2 $r; done
  for ((k = 0; k < ${#pools[@]}; k++)); do time_row "${pools[(r + k) % ${#pools[@]}]}" 1 0 $r; done
done

# Peak resident memory (VmHWM) of the programs that wait for their job: the largest of three
# readings, each taken while the job sleeps.
children() { cat "/proc/$1/task/$1/children" 2>/dev/null || true; }
peak() {
  local best=0 n launcher pid kib
  row "$1" /bin/sleep 1
  for _ in 1 2 3; do
    "$L" "${ARGS[@]}" >/dev/null 2>&1 &
    launcher=$! pid='' kib=0
    for ((n = 0; n < 200 && ${#pid} == 0; n++)); do sleep 0.01 && pid=$(children $launcher); done
    pid=${pid%% *}
    for ((n = 0; n < 200 && $(children "$pid" | wc -w) == 0; n++)); do sleep 0.01; done
    sleep 0.2
    kib=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
    wait $launcher || true
    [ "${kib:-0}" -le "$best" ] || best=$kib
  done
  printf '%s\t%s\n' "$1" "$best" >>"$out/memory"
}
for key in "${keys[@]}"; do
  [[ $key == *-empty || $key == pam-* || $key =~ ^(setpriv|launcher|null)$ ]] || peak "$key"
done
echo "machine: $(uname -sr), $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "versions: $(hyperfine --version), sudo $(dpkg-query -W -f='${Version}' sudo)," \
  "libpam $(dpkg-query -W -f='${Version}' libpam0g)"
python3 bench/ratios.py "$out"
