# Every outcome: status words, frame and exit status, and the audit lines it leaves, in order.
load helper
# failing NR ERRNO: dorq's x86-64 system call NR fails with ERRNO: a seccomp filter set as root (so the
# set-user-ID exec still counts) that the caller inherits.
failing() {
  PRE=(perl -e 'syscall(157, 22, 2, pack("S x6 p", 4, pack("(SCCL)4", 0x20, 0, 0, 0, 0x15, 0, 1, shift,
    6, 0, 0, 0x50000 + shift, 6, 0, 0, 0x7fff0000))) == 0 && exec @ARGV or die $!' $1 $2)
}
# row WORDS FRAME RC [LINE...]: check, then the run's audit lines are LINE..., each with its priority (info or
# notice) for the log header and the caller (dqsched), pid numbers P, wall times S, the usage U (CPU times, and
# the memory peak where known) and the job cgroup's name C.
row() {
  AUDIT= check "$1" "$2" "$3" || return
  sed -E 's/^<86>[^]]*]: caller=dqsched\(23001\) event=/info /; s/^<85>[^]]*]: caller=dqsched\(23001\) event=/notice /
    s/ pid=[0-9]+/ pid=P/; s/ wall=[0-9]+\.[0-9]{3} / wall=S /; s/ user_cpu=[0-9.]+ system_cpu=[0-9.]+( memory_peak=[0-9]+kB)?/ U/
    s/ cgroup=dorq-job\.[0-9]+\.[0-9a-f]{8} / cgroup=C /' audited > got
  printf '%s\n' "${@:4}" | grep . | diff -u - got
}
# The lines of a request that reached PAM (REQUEST: its fields), then: a job that started and ended (END), a
# child that failed before its exec (REFUSAL), or no job at all (REFUSAL).
started() { printf '%s\n' "info authenticating $1" "info spawned $1 pid=P" "info started $1 pid=P" "info ended $1 pid=P $2"; }
spawned() { printf '%s\n' "info authenticating $1" "info spawned $1 pid=P" "notice refused $1 pid=P $2"; }
asked() { printf '%s\n' "info authenticating $1" "notice refused $1 $2"; }
@test "every outcome and its audit lines: nothing of the request before it was read, never an argument" {
  local t='user=dqjob command=/bin/true args=0' x end='wall=S U cgroup=C orphaned=no'
  job 2 /bin/true a b | head -n 6 | dq; row "" 3 3 'notice refused status=3 reason=request-incomplete'
  job 2 /bin/true a b | head -n 6 > file; dq < file; row "" 3 3 'notice refused status=3 reason=request-incomplete'
  printf 'dqjob\npw\n2\n/bin/true\n-2\n' | dq; row "" 2 2 'notice refused status=2 reason=bad-argument-count'
  { printf %131069d 0; echo; } | dq; row "" 4 4 'notice refused status=4 reason=request-line-too-long'
  { printf %131069d 0; echo; } > file; dq < file; row "" 4 4 'notice refused status=4 reason=request-line-too-long'
  job 2 /bin/true | dq -trclvl 2; row "" 20 20 'notice refused status=20 reason=bad-option'
  job 2 /bin/true | BIN=dorq-plain dq; row 05 5 5 "notice refused $t status=5 reason=not-setuid-root"
  req dqjob wrong 2 /bin/true | dq; row 07 7 7 "$(asked "$t" "status=7 reason=authentication-failed")"
  (PRE=(timeout -s KILL 1); req dqjob wrong 2 /bin/true | dq # killed in the pause: the refusal is logged before it
    [ "$(cat rc)" = 137 ]; grep -q " event=refused $t status=7 reason=authentication-failed\$" audit)
  service su "auth requisite pam_debug.so auth=perm_denied"
  req dqjob wrong 2 /bin/true | dq; row 15 21 21 "$(asked "$t" "status=21 reason=su-refuses-dorq")"
  # A cancel while PAM is asked (pam_exec's command is dorq's child): refused at once, "dorq" not asked.
  echo 'kill -TERM $PPID' > cancel; service su "auth optional pam_exec.so /bin/sh $T/cancel"$'\n'"$PERMIT"
  job 2 /usr/bin/touch ran | dq; [ ! -e ran ]
  row 07 7 7 "$(asked 'user=dqjob command=/usr/bin/touch args=1' "status=7 reason=cancelled signal=SIGTERM")"
  service su "auth optional pam_exec.so /bin/sh $T/cancel"$'\n'"$DENY"
  job 2 /usr/bin/touch ran | dq -trcfile "$T/t" -trclvl 0x12; [ ! -e ran ]; not grep -q 'PAM service dorq' dorq_*.trc
  row 07 7 7 "$(asked 'user=dqjob command=/usr/bin/touch args=1' "status=7 reason=cancelled signal=SIGTERM")"
  service su "$PERMIT"; printf -v x %300s; x=${x// /x} # a user name cut in the line: 229 bytes, room for any mark
  echo "dqbadid:x:4294967295:23002::/:/bin/sh" >> "$W/passwd"
  echo 'exit 4' > bare; printf '#!/bin/sh\n' > root-only; chmod 0755 bare; chmod 0700 root-only
  local sh='user=dqjob command=sh args=3' sig='user=dqjob command=/bin/sh args=2' bare="user=dqjob command=$T/bare args=0"
  # Polling (flags value 4 clear), then blocking; every flags value starts a job once.
  for b in 0 4; do
    job $((2 + b)) sh -c 'exit 5' secret | dq; row 00 "" 5 "$(started "$sh" "exit=5 $end")"
    job $b "$T/bare" | dq; row "" "" 4 "$(started "$bare" "exit=4 $end")"
    job $((3 + b)) /bin/sh -c 'kill -9 $$' | dq; row "00 0c" 12 12 "$(started "$sig" "signal=SIGKILL $end")"
    (failing 61 10; E=(ASAN_OPTIONS=detect_leaks=0); job $((1 + b)) /bin/true | dq # wait4, which the leak check needs too
      row "" 11 11 "$(started "$t" "status=11 reason=wait-failed error=ECHILD $end" | sed '$s/^info/notice/')")
    req $x any $((2 + b)) /bin/true | dq
    row "0a 00" 7 7 "$(spawned "user=${x:0:229}[cut:300] command=/bin/true args=0" "status=7 reason=unknown-user")"
    req dqbadid any $((2 + b)) /bin/true | dq
    row "0a 00" 8 8 "$(spawned "user=dqbadid command=/bin/true args=0" "status=8 reason=identity-not-taken error=EINVAL")"
    job $((2 + b)) $'/no\tsuch\e' | dq
    row "0a 00" 10 10 "$(spawned 'user=dqjob command=/no\x09such\x1b args=0' "status=10 reason=command-not-executed error=ENOENT")"
    job $b "$T/root-only" | dq # the path search and the exec happen as the user
    row "" 10 10 "$(spawned "user=dqjob command=$T/root-only args=0" "status=10 reason=command-not-executed error=EACCES")"
    (PRE=(sh -c 'exec "$@" 2< /dev/null' sh); job $((2 + b)) /bin/true | dq # no copy of stderr kept
      row 00 "" 13 "$(spawned "$t" "status=13 reason=stderr-not-set-up error=EBADF")")
    (failing 33 9; job $((2 + b)) /bin/true | dq # dup2: stderr not joined
      row "0a 00" 13 13 "$(spawned "$t" "status=13 reason=stderr-not-set-up error=EBADF")")
    # The caller (its exit status 0) goes away once the job runs: only a polling dorq kills the job.
    (PRE=(perl -e 'fork or exec @ARGV; select(undef, undef, undef, 0.01) until -s "job.pid"' --)
      rm -f job.pid; job $((2 + b)) /bin/sleep 1 | dq -childpidfile job.pid; x='user=dqjob command=/bin/sleep args=1'
      [ $b = 4 ] && end="exit=0 $end" || end='signal=SIGKILL wall=S U cgroup=C orphaned=yes'
      row 00 "" 0 "$(started "$x" "$end")")
  done
  local k="user=dqjob kill=" # a target outside any job cgroup: signalled with the user's ids
  setpriv --reuid=23002 --regid=23002 --clear-groups setsid sleep 60 &
  job 2 kill $! | dq; row 00 "" 0 "info authenticating $k$!" "info kill $k$! status=0 reason=signal-sent"
  not wait $!; job 2 kill $! | dq; row "0e 0e" 14 14 "info authenticating $k$!" "notice kill $k$! status=14 reason=kill-failed error=ESRCH"
  job 2 kill '1 =x' | dq; row "0e 0e" 14 14 "info authenticating ${k}1\x20\x3dx" 'notice kill user=dqjob kill=1\x20\x3dx status=14 reason=bad-target'
  # A pids cgroup that admits one task, joined just before dorq's exec: no child, nor the leak check's thread.
  local cg=/sys/fs/cgroup/pids
  if [ -e /sys/fs/cgroup/cgroup.controllers ]; then
    cg=/sys/fs/cgroup; grep -qw pids $cg/cgroup.subtree_control || echo +pids > $cg/cgroup.subtree_control
  fi
  cg+=/dorq-fork-$$; mkdir $cg; echo 1 > $cg/pids.max
  (E=(ASAN_OPTIONS=detect_leaks=0) PRE=(sh -c 'echo $$ > "$0" && exec "$@"' $cg/cgroup.procs)
    job 2 /bin/true | dq; rmdir $cg; row "09 09" 9 9 "$(asked "$t" "status=9 reason=fork-failed error=EAGAIN")")
  service su "auth required $HELPERS/pam_dorq_keepfd.so leave=2"$'\n'"account required pam_permit.so" # 2 descriptors free
  (PRE=(prlimit --nofile=64 --); job 2 /bin/true | dq; row "0a 0a" 10 10 "$(asked "$t" "status=10 reason=job-pipe-failed error=EMFILE")")
  for lib in $(readlink -f /{usr/,}lib/x86_64-linux-gnu/libpam.so{,.0} | sort -u); do over /dev/null "$lib"; done
  rm -rf /var/lib/dorq; job 2 /bin/true | dq; row 10 16 16 "$(asked "$t" "status=16 reason=no-pam-library")"
  [ ! -s /var/lib/dorq/faillock/dqjob ] # counted, then taken back
}
@test "a missing log changes nothing else, and no descriptor of it reaches the job" {
  over /dev/null /dev/log
  job 2 /bin/sh -c 'find /proc/$$/fd -mindepth 1 -fprintf fds "%f "; exit' | dq; row 00 "" 0
  [ "$(cat fds)" = "0 1 2 " ] # to a file: the job's output may come before the word 0
}
