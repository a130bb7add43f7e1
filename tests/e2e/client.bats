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
