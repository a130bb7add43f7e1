# The example client against the real set-user-ID dorq, with blocking waits, started by the scheduler user.
load helper
client() { capture sched "$DORQ_CLIENT" --dorq "$W/bin/dorq" --flags 4 "$@" > out 2> err; }
@test "a started job shows its pid, its exit status and its output" {
  echo "$JOBPW" | client dqjob /bin/sh -c 'echo $$; id -un; echo e >&2; exit 3'
  pid=$(head -1 out) # as the job saw it; the client's from the child pid record
  [ "$(cat rc)" = 3 ]; [ "$(cat out)" = "$pid"$'\ndqjob\ne' ]; [ "$(cat err)" = "dorq-client: started, pid $pid, exit status 3" ]
}
@test "a wrong password is authentication failed" {
  echo "not the password" | client dqjob /bin/echo never
  [ "$(cat rc)" = 7 ]; [ ! -s out ]; [ "$(cat err)" = "dorq-client: authentication failed (7)" ]
}
@test "a kill request through the client ends a job the client started, whose end is then status 12" {
  mkdir -m 1777 job; (cd job && echo "$JOBPW" | client dqjob /bin/sh -c 'echo $$ > pid; exec sleep 60') &
  for _ in $(seq 200); do [ ! -s job/pid ] || break; sleep 0.05; done
  echo "$JOBPW" | client dqjob kill "$(cat job/pid)"
  [ "$(cat rc)" = 0 ]; [ "$(cat err)" = "dorq-client: kill request sent: SIGKILL to the job's cgroup or process group (0)" ]
  wait %1; [ "$(cat job/rc)" = 12 ]
  [ "$(cat job/err)" = "dorq-client: started, pid $(cat job/pid), ended through a signal, named in dorq's audit line (12)" ]
}
