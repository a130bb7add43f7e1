# The outcomes on all three channels: status words, frame, exit status. Elsewhere: PAM's (5, 7, 21) in pam.bats,
# kills (0, 14) and the orphaned run in kill.bats, 4, 9, 13 in hostile.bats, options (20) in trace.bats.
load helper
@test "a command's own exit status passes through, after status word 0" { job 2 /bin/sh -c 'exit 5' | dq; check 00 "" 5; }
@test "without flags value 2 there are no status words" { job 0 /bin/sh -c 'exit 3' | dq; check "" "" 3; }
# The request cannot be read: the frame alone, even with flags value 2.
@test "count -2: 2" { printf 'dqjob\npw\n2\n/bin/true\n-2\n' | dq; check "" 2 2; }
@test "empty input: 3" { dq < /dev/null; check "" 3 3; }
@test "input that ends inside the request: 3" { job 2 /bin/true a b | head -n 6 | dq; check "" 3 3; }
@test "the trace file level without a trace file: 20" { job 2 /bin/true | dq -trclvl 2; check "" 20 20; }
@test "a user the account database does not know: 7 from the child" {
  service su "$PERMIT"; req dqnobody any 2 /bin/true | dq; check "0a 00" 7 7
}
@test "a user id setuid refuses: 8 from the child" {
  echo "dqbadid:x:4294967295:23002::/:/bin/sh" >> "$W/passwd"
  service su "$PERMIT"; req dqbadid any 2 /bin/true | dq; check "0a 00" 8 8
}
@test "a missing command: 10" { job 2 /no/such/command | dq; check "0a 00" 10 10; }
@test "a command only root may run: 10, for the path search and the exec happen as the user" {
  printf '#!/bin/sh\n' > root-only; chmod 0700 root-only; job 2 "$T/root-only" | dq; check "0a 00" 10 10
}
@test "a command found along PATH" { job 2 sh -c 'exit 6' | dq; check 00 "" 6; }
@test "a script without an interpreter line runs in the shell" {
  echo 'exit 4' > bare; chmod 0755 bare; job 2 "$T/bare" | dq; check 00 "" 4
}
# Audited as started: without status words there is no start report.
@test "a file nobody may execute, without status words: 10" { job 0 /etc/passwd | dq; check "" 10 10; }
@test "no job pipe, for PAM left one descriptor free: 10" {
  service su "auth required $HELPERS/pam_dorq_keepfd.so leave=1"$'\n'"account required pam_permit.so"
  PRE=(prlimit --nofile=64 --); job 2 /bin/true | dq; check "0a 0a" 10 10
}
@test "a job ended by a signal: 12" { job 2 /bin/sh -c 'kill -9 $$' | dq; check "00 0c" 12 12; }
@test "standard error open for reading only: the child cannot keep a copy, 13" {
  PRE=(sh -c 'exec "$@" 2< /dev/null' sh); job 2 /bin/true | dq; AUDIT=13 check 00 "" 13
}
@test "no libpam: 16" {
  for lib in $(readlink -f /{usr/,}lib/x86_64-linux-gnu/libpam.so{,.0} | sort -u); do over /dev/null "$lib"; done
  job 2 /bin/true | dq; check 10 16 16
}
# Caller, user, command and argument count (never the arguments), the job's pid, the outcome; text escaped.
@test "every request leaves one audit line, and a missing log changes nothing else" {
  local head='dorq\[[0-9]*\]: caller=dqsched(23001)'
  job 2 /bin/sh -c 'printf $$ > jobpid' secret-arg | dq; check 00 "" 0
  grep -q "$head event=started user=dqjob command=/bin/sh args=3 pid=$(cat jobpid)$" audited
  not grep -q secret-arg audited
  req dqjob wrong-pw 2 /bin/true | dq; check 07 7 7
  grep -q "$head event=refused user=dqjob command=/bin/true args=0 status=7 reason=authentication-failed$" audited
  job 2 kill 1 | dq; check "0e 0e" 14 14
  grep -q "$head event=kill user=dqjob kill=1 status=14 reason=bad-target$" audited
  dq -trclvl < /dev/null; check "" 20 20
  grep -q "$head event=refused status=20 reason=bad-option$" audited
  job 2 $'/no\tsuch\e' | dq; check "0a 00" 10 10
  grep -qF 'command=/no\x09such\x1b args=0 pid=' audited
  not grep -qE "wrong-pw|$JOBPW" "$W/log"
  over /dev/null /dev/log # no log to write to: the same outcome, no descriptor of it in the job
  job 2 /bin/sh -c 'find /proc/$$/fd -mindepth 1 -fprintf fds "%f "; exit' | dq; rm audit; check 00 "" 0
  [ "$(cat fds)" = "0 1 2 " ] # to a file: the job's output may come before the word 0
}
