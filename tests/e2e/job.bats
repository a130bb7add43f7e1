# What the job sees from inside: identity, groups, process group and session, standard streams,
# descriptors, signals and environment. With status words, a job reports to files (its output may come first).
load helper
# PAM runs in root's context (groups 0, umask 022, limits that cannot stop it); the job gets the caller's back.
@test "the job runs as the user with its groups, in a process group of its own, with the caller's umask and limits" {
  echo 'echo $(id -G) $(umask) $(ulimit -f) $(ulimit -n) $(ulimit -Hn) $(ulimit -c)' > probe
  service su "auth optional pam_exec.so quiet log=$T/pam /bin/sh $T/probe"$'\n'"account required pam_permit.so"
  PRE=(sh -c 'umask 027; ulimit -S -f 1000; ulimit -S -n 77; ulimit -S -c 5; exec "$@"' sh)
  { job 2 /bin/sh -c 'ps -o pid=,pgid=,sid= -p $$ > ids; cat > stdin; sh probe > limits; exec grep -E "^(Uid|Gid|Groups):" /proc/self/status > status'
    echo "the rest of standard input"; } | dq
  check 00 "" 0; [ "$(cat stdin)" = "the rest of standard input" ]; local hard; hard=$(ulimit -Hn)
  [ "$(tail -1 pam)" = "0 0022 unlimited 1024 $hard 0" ]
  printf 'Uid:\t23002\t23002\t23002\t23002\nGid:\t23002\t23002\t23002\t23002\nGroups:\t23002 23010 23011 \n' | cmp - status
  read -r pid pgid sid < ids; [ "$pgid $sid" = "$pid $pid" ] # a session of its own too
  [ "$(cat limits)" = "23002 23010 23011 0027 1000 77 $hard 5" ]
}
# A request on a file is read a block at a time; the job reads on from the end of the record.
@test "a request on a file leaves the rest of the file to the job, however long the record" {
  local arg
  for arg in short "$(printf %6000d 0)"; do
    { job 2 /bin/sh -c 'cat > stdin' "$arg"; printf 'the rest\nof the file\n'; } > request
    dq < request; check 00 "" 0; [ "$(cat stdin)" = $'the rest\nof the file' ]
    { echo a line before; cat request; } > later # the record starts where the file was left
    { read -r _; dq; } < later; check 00 "" 0; [ "$(cat stdin)" = $'the rest\nof the file' ]
  done
}
@test "the job's standard error is joined to its standard output, unless flags value 1" {
  for flags in 0 2 4 6; do job $flags /bin/sh -c 'echo 1 >&2; echo 2' | dq; [ "$(cat out err | tr -d '\0')" = $'1\n2' ]; done
  job 1 /bin/sh -c 'echo 1 >&2; echo 2' | dq; [ "$(cat out)" = 2 ]; [ "$(cat err)" = 1 ]
}
# None of dorq's own: the trace, settings and child pid files, the job pipe, the stderr copy, a PAM module's.
@test "the job has only the descriptors dorq was started with" {
  mkdir home; echo KVL_ADMIN=/net/admin > home/env.zan
  service su "auth required $HELPERS/pam_dorq_keepfd.so keep=3"$'\n'"$PERMIT"
  E=(ZANTIX_HOME=$T/home) KEEP=7
  job 2 /bin/sh -c 'find /proc/$$/fd -mindepth 1 -fprintf fds "%f "; exit' |
    dq -trclvl 0x22 -trcfile "$T/t" -childpidfile "$T/pid" 7> seven
  check 00 "" 0; [ "$(cat fds)" = "0 1 2 7 " ]
}
@test "a descriptor a PAM module left open above 65535" {
  prlimit --nofile=70001 true 2> /dev/null || skip "the descriptor limit cannot be raised past 65536 here"
  service su "auth required $HELPERS/pam_dorq_keepfd.so at=70000"$'\n'"$PERMIT"
  PRE=(prlimit --nofile=70001 --); job 0 /bin/sh -c 'ls -v /proc/$$/fd' | dq; check "" "" 0 '0\n1\n2\n'
}
# Filled before dorq opens anything: by the C library for a set-user-ID program, by dorq when root starts it.
@test "a closed standard descriptor is /dev/null for the job, and nothing of dorq's" {
  for run in "dorq 1" "dorq 2" "dorq-plain 1" "dorq-plain 2"; do
    echo "row: $run"; read -r bin fd <<< "$run"; [ $bin = dorq ] || AS=()
    rm -f pid # each caller writes only a pid file of its own
    job 3 /bin/sh -c 'printf $$ > jobpid; find /proc/$$/fd -mindepth 1 -fprintf fds "%f %l\n"; exit' |
      capture sched "$W/bin/$bin" -childpidfile "$T/pid" -trclvl 0x22 -trcfile "$T/t" > out 2> err {fd}>&-
    [ "$(cut -d' ' -f1 rc fds | xargs)" = "0 0 1 2" ]; grep -qx "$fd /dev/null" fds; cmp pid jobpid
  done
}
# dorq takes the default SIGCHLD for its own wait only.
@test "the job inherits the caller's signal mask and ignored signals, in either waiting mode" {
  PRE=(perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGUSR1)); $SIG{$_} = "IGNORE" for qw(USR2 CHLD PIPE); exec @ARGV' --)
  for flags in 0 4; do
    job $flags /bin/grep -E '^Sig(Blk|Ign)' /proc/self/status | dq
    check "" "" 0 'SigBlk:\t0000000000000200\nSigIgn:\t0000000000011800\n'
    job $((flags | 2)) /bin/sh -c 'kill -TERM $$' | dq; check "00 0c" 12 12 # still told apart from a failed wait
  done
}
@test "the environment is the caller's, less what the loader drops, with the library path and the user's account" {
  unsafe=(LD_PRELOAD=/no/dq.so LD_AUDIT=/no/dq.so GCONV_PATH=/no LOCPATH=/no LD_LIBRARY_PATH=/no)
  mine=(HOME=/sched USER=dqsched LOGNAME=dqsched SHELL=/bin/false) acct='HOME=/\nUSER=dqjob\nLOGNAME=dqjob\nSHELL=/bin/sh\n'
  E=(ZANTIX_HOME=/h LD_LIBRARY_PATH_SDORQ=/x "${unsafe[@]}" MARK=kept "${mine[@]}" TZ=XYZ-5:30); job 0 /usr/bin/env | dq
  check "" "" 0 "PATH=/usr/bin:/bin\nZANTIX_HOME=/h\nLD_LIBRARY_PATH_SDORQ=/x\nMARK=kept\nLD_LIBRARY_PATH=/h/lib32:/h/lib:/x\nTZ=XYZ-5:30\n$acct"
  E=(ZANTIX_HOME=/h "${unsafe[@]}"); job 0 /usr/bin/env | dq
  check "" "" 0 "PATH=/usr/bin:/bin\nZANTIX_HOME=/h\nLD_LIBRARY_PATH=/h/lib32:/h/lib\n$acct"
  E=(LD_LIBRARY_PATH_SDORQ=/x "${unsafe[@]}"); job 0 /usr/bin/env | dq
  check "" "" 0 "PATH=/usr/bin:/bin\nLD_LIBRARY_PATH_SDORQ=/x\n$acct"
}
# The caller cancels the job through dorq, as a scheduler or timeout(1) would: each signal goes on to the job, in
# either waiting mode, and the run ends as the job does, with its end line, and nothing of it left. A job that
# ignores SIGTERM is killed after the grace; one the job takes by default ends it (12); one dorq was started with
# ignored is neither caught nor sent on. The job, in perl, notes every signal it gets and exits with 40 at SIGTERM.
@test "a cancel sent to dorq goes on to the job, which ends as it chooses" {
  echo 'for my $s (qw(TERM INT HUP QUIT USR1 USR2)) { $SIG{$s} = sub { open(F, ">>got"); print F "$s\n"; close F; exit 40 if $s eq "TERM" } }
    for (@ARGV) { my ($s, $how) = split /=/; $SIG{$s} = $how } open(F, ">ready"); print F $$; close F; sleep 1 while 1' > takes
  # cancel FLAGS WORDS FRAME RC GOT END SIGNAL... [-- SIG=HOW...]: the job (perl's HOW for each SIG) gets SIGNAL...
  # from the caller through dorq, one after the other; it got GOT, and the run ends so, its end line with END.
  cancel() {
    local flags=$1 words=$2 frame=$3 rc=$4 got=$5 end=$6 sigs=() job; shift 6
    while [ $# -gt 0 ] && [ "$1" != -- ]; do sigs+=("$1"); shift; done; [ $# = 0 ] || shift
    local PRE=(timeout -s KILL 20 "${PRE[@]}") # bounds a dorq that would not end
    rm -f ready got; job "$flags" /usr/bin/perl "$T/takes" "$@" | dq & local run=$!
    for _ in $(seq 200); do [ -s ready ] && break; sleep 0.02; done; job=$(cat ready)
    for s in "${sigs[@]}"; do "${AS[@]}" kill -s "$s" "$(pgrep -o -f "^$W/bin/dorq")"; sleep 0.1; done
    wait $run; check "$words" "$frame" "$rc"; [ "$(cat got 2> /dev/null | xargs)" = "$got" ]
    grep -q " event=ended .* $end " audited; not kill -0 "$job" 2> /dev/null
  }
  for flags in 2 6; do
    for s in INT HUP QUIT USR1 USR2; do cancel $flags 00 "" 40 "$s TERM" exit=40 $s TERM; done
    cancel $flags "00 0c" 12 12 "" signal=SIGHUP HUP -- HUP=DEFAULT
  done
  cancel 2 "00 0c" 12 12 "" signal=SIGKILL TERM -- TERM=IGNORE # after the grace
  PRE=(perl -e '$SIG{INT} = "IGNORE"; exec @ARGV' --); cancel 6 00 "" 40 TERM exit=40 INT TERM
}
