# Hostile requests and a hostile system: over-long lines, NUL bytes, absurd counts, closed or broken
# standard streams and a full file system.
load helper
# limit LINE TEXT WORDS FRAME RC: request line LINE of 131068 characters ending in TEXT (its first one repeated
# in front) has that outcome; one more character is refused with 4.
limit() {
  local lines=(dqjob pw 2 /bin/true 1 x); service su "$PERMIT"
  lines[$1 - 1]=$(head -c $((131068 - ${#2})) /dev/zero | tr '\0' "${2:0:1}")$2
  printf '%s\n' "${lines[@]}" | dq; check "$3" "$4" "$5"
  lines[$1 - 1]+=z
  printf '%s\n' "${lines[@]}" | dq; check "" 4 4
}
@test "the user line at its limit, and above" { limit 1 u "0a 00" 7 7; } # no such user
@test "the password line at its limit, and above" { limit 2 p 00 "" 0; }
@test "the flags line at its limit, and above" { limit 3 02 00 "" 0; }
@test "the command line at its limit, and above" { limit 4 //bin/true "0a 00" 10 10; } # too long to run
@test "the count line at its limit, and above" { limit 5 01 00 "" 0; }
@test "an argument line at its limit, and above" { limit 6 a 00 "" 0; }
@test "a last line at its limit without a newline" {
  service su "$PERMIT"; { req dqjob pw 2 /bin/true 1 | head -n 5; printf "%0131068d" 0; } | dq; check 00 "" 0
}
# "su" denies permission and "dorq" checks the password, so a wrong password shows at once as 21.
nul() { service su "auth requisite pam_debug.so auth=perm_denied"; printf "$1" "$JOBPW" | dq; }
@test "a NUL byte ends the user name" { nul 'dqjob\0dqother\n%s\n0\n/usr/bin/id\n1\n-u\n'; check "" "" 0 '23002\n'; }
@test "a NUL byte ends the password" { nul 'dqjob\n%s\0tail\n2\n/bin/true\n0\n'; check 00 "" 0; }
@test "a carriage return stays in the password" { nul 'dqjob\n%s\r\n2\n/bin/true\n0\n'; check 15 21 21; }
@test "a NUL byte ends the flags" { nul 'dqjob\n%s\n2\0004\n/bin/true\n0\n'; check 00 "" 0; }
@test "a NUL byte ends the command" { nul 'dqjob\n%s\n2\n/bin/true\0/x\n0\n'; check 00 "" 0; }
@test "a carriage return stays in the command" { nul 'dqjob\n%s\n2\n/bin/true\r\n0\n'; check "0a 00" 10 10; }
@test "a NUL byte ends the word kill" { nul 'dqjob\n%s\n2\nkill\0x\n0\n'; check "0e 0e" 14 14; }
@test "a NUL byte ends the count" { nul 'dqjob\n%s\n2\n/bin/sh\n2\0009\n-c\nexit 6\n'; check 00 "" 6; }
@test "a NUL byte ends an argument" { nul 'dqjob\n%s\n2\n/bin/sh\n2\n-c\nexit 6\0; exit 9\n'; check 00 "" 6; }
@test "user names are only looked up: separators of paths and account records name nobody" {
  service su "$PERMIT"
  for name in dqjob/x ../dqjob dqjob:x:0:0::/:/bin/sh "dqjob "; do req "$name" pw 2 /bin/true | dq; check "0a 00" 7 7; done
  [ ! -e /var/lib/dorq ] # nor a failure record
}
# count FLAGS-TO-END: a request of dqjob's from its flags line on. The vector has count + 2 slots, computed
# in 32 bits: a huge one cannot be had (2), or the input ends first (3).
count() { service su "$PERMIT"; printf "dqjob\npw\n$1\n" | dq; }
@test "count -3" { count '2\n/bin/true\n-3\nx'; check "" 2 2 || check "" 3 3; }
@test "count 2^31-1" {
  [ "$DORQ_SANITIZED" = 0 ] || skip "the sanitizer's allocator would make 16 GiB real"
  count '2\n/bin/true\n2147483647\nx'; check "" 2 2 || check "" 3 3
}
@test "count 2^32+1 wraps to 1" { count '2\n/bin/true\n4294967297\nx'; check 00 "" 0; }
@test "a count that is no number is 0" { count '2\n/bin/true\nabc'; check 00 "" 0; }
@test "more arguments counted than given: 3" { count '2\n/bin/true\n3\nx\ny'; check "" 3 3; }
# The terminator takes slot 0: an empty vector, which the kernel may turn into one empty string.
@test "count -1" { count "0\n$HELPERS/dorq_noargs\n-1"; check "" "" 0 'argc 0 \n' || check "" "" 0 'argc 1 \n'; }
# Were the environment entries read as options, "-trclvl 2" would end the run with 20.
@test "dorq started with argument count 0" {
  job 2 /bin/true | capture sched "$HELPERS/dorq_noargs" "$W/bin/dorq" -childpidfile "$T/env" -trclvl 2 PATH=/bin > out 2> err
  check 00 "" 0; [ ! -e env ]
}
# streams FD HOW FLAGS STARTS RC: FD closed, or a pipe nobody reads (broken; ignored: with SIGPIPE ignored).
# The C library fills a closed slot with /dev/null (stdin: /dev/full) opened the wrong way, so writes fail;
# without flags value 1 the child cannot keep a copy of such a standard error: 13.
streams() {
  local fd=$1
  if [ $4 = runs ]; then job $3 /bin/sh -c 'touch ran; exit 5'; else job $3 /no/such/command; fi > in
  if [ $2 = closed ]; then capture sched "$W/bin/dorq" < in > out 2> err {fd}>&-; else
    [ $2 = broken ] || PRE=(perl -e '$SIG{PIPE} = "IGNORE"; exec @ARGV' --)
    mkfifo pipe; exec {r}<> pipe {w}> pipe {r}<&-
    eval 'capture sched "$W/bin/dorq" < in > out 2> err '$fd'>&$w'
  fi
  [ "$(cat rc) $(ls ran 2> /dev/null)" = "$5 $([ $5 != 5 ] || echo ran)" ]
}
@test "standard input closed: 3" { streams 0 closed 2 runs 3; }
@test "standard output closed, a job that runs" { streams 1 closed 2 runs 5; }
@test "standard output closed, a job that cannot start" { streams 1 closed 2 fails 10; }
@test "standard error closed, flags value 1, a job that runs" { streams 2 closed 3 runs 5; }
@test "standard error closed, flags value 1, a job that cannot start" { streams 2 closed 3 fails 10; }
@test "standard error closed, without flags value 1: 13" { streams 2 closed 2 runs 13; }
@test "standard output a pipe nobody reads, a job that runs" { streams 1 broken 2 runs 5; }
@test "standard output a pipe nobody reads, a job that cannot start" { streams 1 broken 2 fails 10; }
@test "standard error a pipe nobody reads, a job that cannot start" { streams 2 broken 0 fails 10; }
@test "standard error a pipe nobody reads, flags value 1, a job that cannot start" { streams 2 broken 3 fails 10; }
@test "standard output a pipe nobody reads, SIGPIPE ignored" { streams 1 ignored 2 fails 10; }
@test "standard error a pipe nobody reads, SIGPIPE ignored" { streams 2 ignored 0 fails 10; }
@test "trace file and child pid file on a file system with no block, or no inode, left" {
  for fs in size=4k size=64k,nr_inodes=2; do
    mkdir $fs; mount -t tmpfs -o $fs,mode=1777 tmpfs $fs; echo "$T/$fs" >> mounts
    for i in 1 2 3; do head -c 70000 /dev/zero > $fs/f$i; done 2> /dev/null || true
    job 2 /bin/sh -c 'touch ran; exit 3' | dq -trclvl 0x3A -trcfile "$T/$fs/trace" -childpidfile "$T/$fs/job.pid"
    check 00 "" 3; [ -e ran ]; [ -z "$(cat $fs/dorq_* $fs/job.pid 2> /dev/null)" ]; rm ran
  done
}
