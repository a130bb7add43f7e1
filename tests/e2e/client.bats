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
# The options the manual page describes, one a line, sorted.
manual_options() {
  sed -n '/^\.SH OPTIONS/,/^\.SH /{/^\.TP/{n;p}}' "$DORQ_BUILD/docs/dorq-client.1" |
    grep -oE '(\\-)+[a-z][a-z-]*' | tr -d '\\' | sort
}
@test "--help and -h print the usage and every option the manual describes, and exit 0; a bad option is 125" {
  manual=$(manual_options); [ "$(wc -l <<< "$manual")" -ge 5 ]
  # exit status, the file that gets the usage, the options
  while read -r rc to args; do
    capture sched "$DORQ_CLIENT" $args > out 2> err
    [ "$(cat rc)" = "$rc" ] || { echo "$args: exit status $(cat rc)"; return 1; }
    grep -qx 'usage: dorq-client \[--dorq PATH\] .* USER COMMAND \[ARG\.\.\.\]' "$to" ||
      { echo "$args: no usage in $to"; return 1; }
    if [ "$to" = out ]; then
      [ ! -s err ] || { echo "$args: $(cat err)"; return 1; }
      # each option line: "  -h, --help  text" or "  --dorq PATH  text"
      helped=$(awk '/^  -/ { for (i = 1; i <= NF && $i ~ /^-/; i++) { sub(/,$/, "", $i); print $i } }' out | sort)
      [ "$helped" = "$manual" ] || { echo "$args: options $helped, the manual's $manual"; return 1; }
    else
      [ ! -s out ] || { echo "$args: $(cat out)"; return 1; }
    fi
  done <<'ROWS'
0 out --help
0 out -h
0 out --flags 4 --dorq /nonexistent --help
125 err -x
125 err --no-such-option
125 err --flags
125 err --flags x dqjob /bin/true
125 err dqjob
ROWS
}
@test "after USER, -h and --help are the command's arguments" {
  echo "$JOBPW" | client dqjob /bin/echo -h --help
  [ "$(cat rc)" = 0 ]; [ "$(cat out)" = "-h --help" ]; [[ $(cat err) = "dorq-client: started, pid "*", exit status 0" ]]
}
