# 48 requests of every kind with every flags value, 4 at a time: each ends as it should, and nothing is
# left: no process of a test user, no zombie, no descriptor.
load helper
# one K W: request K of worker W, in a directory of its own; audit lines come in any order: each request
# ends with one line of its end, counted at the end.
one() {
  local flags=$((2 * ($1 % 4))) word="" AUDIT=""
  mkdir -m 1777 $2-$1; cd $2-$1; [ $flags = 0 ] || [ $flags = 4 ] || word=00
  case $((($1 + $2) % 4)) in
    0) job $flags /bin/sh -c "exit $1" | dq; check "$word" "" $1 ;;
    1) req dqjob wrong $flags /bin/true | dq; check "${word:+07}" 7 7 ;;
    2) job $flags kill 1 | dq; check "${word:+0e 0e}" 14 14 ;;
    3) PRE=(perl -e '$SIG{USR2} = "IGNORE"; exec @ARGV' --)
       job $flags /bin/sh -c 'find /proc/$$/fd -mindepth 1 -fprintf seen "%f "; exec grep ^SigIgn /proc/self/status >> seen' | dq
       check "$word" "" 0; printf '0 1 2 SigIgn:\t0000000000000800\n' | cmp - seen ;;
  esac
}
@test "48 requests, 4 at a time, leave nothing behind" {
  ls /proc/$$/fd > fds.before; n=$(wc -l < "$W/log") # to files: a $(...) pipe's ends may show in the list
  for w in 0 1 2 3; do (for k in $(seq 0 11); do (one $k $w); done) & workers+=($!); done
  for pid in "${workers[@]}"; do wait $pid; done
  mnt=$(readlink /proc/self/ns/mnt)
  for p in /proc/[0-9]*; do
    [[ $(readlink $p/ns/mnt) != "$mnt" ]] || ! grep -qE '^Uid:\s+(23001|23002)\s' $p/status 2> /dev/null || { cat $p/status; false; }
  done
  [ -z "$(ps -o stat= --ppid $$ | grep Z)" ]; ls /proc/$$/fd > fds.after; cmp fds.before fds.after
  [ "$(tail -n +$((n + 1)) "$W/log" | grep -c ']: caller=.* event=\(ended\|refused\|kill\) ')" = 48 ]
  not grep -qE "wrong|$JOBPW" "$W/log"
}
# One user's array of jobs against a yescrypt hash (each check as slow as on a real host): 48 requests with the right
# password, 16 at a time, all run; then 20 wrong guesses at once reach PAM (su's pam_exec notes each) at most 5
# times: the others wait for them to settle, and are then refused as locked.
@test "a burst for one user all runs, and wrong guesses at once reach PAM at most 5 times" {
  local hash shadow n batch; hash=$(perl -e 'print crypt($ARGV[0], q($y$j9T$abcdefghijklmnop))' "$JOBPW")
  [[ $hash == '$y$'* ]]; shadow=$(sed "s|^dqjob:[^:]*:|dqjob:$hash:|" "$W/shadow"); echo "$shadow" > "$W/shadow"
  echo "echo x >> $T/asked" > note; service su "auth optional pam_exec.so /bin/sh $T/note"$'\n'"$UNIX"
  n=$(wc -l < "$W/log")
  for batch in $(seq 16); do # check's own w must not be a name here
    (for k in 1 2 3; do mkdir -m 1777 b$batch.$k && cd b$batch.$k && { job 2 /bin/true | dq; AUDIT= check 00 "" 0; } && cd .. || exit 1; done) &
    workers+=($!)
  done
  for pid in "${workers[@]}"; do wait $pid; done
  [ "$(tail -n +$((n + 1)) "$W/log" | grep -c ' event=started user=dqjob ')" = 48 ]
  rm asked; workers=()
  for batch in $(seq 20); do (mkdir -m 1777 g$batch && cd g$batch && req dqjob "wrong $batch" 2 /bin/true | dq && AUDIT= check 07 7 7) & workers+=($!); done
  for pid in "${workers[@]}"; do wait $pid; done
  [ "$(wc -l < asked)" -le 5 ]
}
