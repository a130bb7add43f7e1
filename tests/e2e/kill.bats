# Kill requests against real process groups, the orphaned run, and the child pid record.
load helper
# retry COMMAND...: until it succeeds, for up to 10 seconds.
retry() { for _ in $(seq 200); do "$@" && return; sleep 0.05; done; false; }
# What the user may not or cannot kill is refused with 14.
@test "a kill request ends the user's own job with its whole group, and nothing else" {
  mkdir run; job 6 /bin/sh -c 'sleep 60 & sleep 60' | (cd run && dq -childpidfile "$T/job.pid") &
  retry eval '[ -s job.pid ] && [ "$(pgrep -c -g "$(cat job.pid)")" = 3 ]'
  setpriv --reuid=23003 --regid=23003 --clear-groups setsid sleep 60 & other=$!
  true & gone=$!; wait $gone
  for pid in $other $gone 0 1 -1 abc -2147483648 ""; do job 2 kill $pid | dq; check "0e 0e" 14 14; done
  kill -9 $other # alive until now
  job 2 kill "$(cat job.pid)" | dq; check 00 "" 0
  wait %1; (cd run; check "00 0c" 12 12)
  retry eval '[ "$(pgrep -c -g "$(cat job.pid)")" = 0 ]'
}
# dorq, polling, is adopted by the first process of its PID namespace, which kills the caller once the job
# runs, then lists each process it reaps with its status.
@test "an orphaned dorq kills its job and ends with 0" {
  job 2 /bin/sleep 60 > in
  unshare -p -f perl -e 'if (!($caller = fork)) { exec "sh", "-c", $ARGV[0] }
    select(undef, undef, undef, 0.05) until -s "job.pid";
    kill "KILL", $caller;
    while (($pid = waitpid(-1, 0)) > 0) { print "$pid $?\n" }' \
    "${AS[*]} $W/bin/dorq -childpidfile job.pid < in > out & echo \$! > dorq.pid; wait" > reaped
  grep -qx "$(cat dorq.pid) 0" reaped; grep -qx "$(cat job.pid) 9" reaped; printf '\0' | cmp out
}
# Framed to a descriptor dorq was started with (the value's leading number), after status word 0 on a shared one;
# or over the start of a file the caller creates or owns, never through a final link nor to a FIFO, where dorq could hang.
@test "the child pid record on a descriptor, in a new file, an old file, a link and a FIFO" {
  KEEP=5; job 0 /bin/sh -c 'printf $$ > jobpid' | dq -childpidfile 5abc 5> record
  check "" "" 0; [ "$(cat record)" = "DORQ_CHILD_PID$(cat jobpid)DORQ_CHILD_PID" ]
  job 2 /bin/sh -c 'printf $$ > jobpid' | dq -childpidfile 1; check 00 "" 0 "DORQ_CHILD_PID$(cat jobpid)DORQ_CHILD_PID"
  echo -n XXXXXXXXXXXXXXXXXXXXtail > old; chown 23001:23001 old; echo untouched > target; ln -s target link; mkfifo fifo
  for file in fresh old link fifo; do
    (umask 0; job 2 /bin/sh -c "printf \$\$ > $file.job" | dq -childpidfile "$T/$file"); check 00 "" 0
  done
  [ "$(stat -c %a:%u:%g fresh)" = "660:23001:23001" ]
  pid=$(cat old.job); [ "$(cat old)" = "$pid$(cut -c $((${#pid} + 1))- <<< XXXXXXXXXXXXXXXXXXXXtail)" ]
  cmp fresh fresh.job; [ "$(cat target)" = untouched ]; [ -L link ]
}
