# Attacks of an untrusted caller (in dorq's group, not root) trying to get more than a job as a user whose
# password PAM accepts, or a kill of such a user's group: nothing happens that the caller could not do itself.
load helper
@test "nothing is written in a directory only root may write, nor to a root-owned file anybody may write" {
  mkdir -m 0700 root; echo keep > root-file; chmod 0666 root-file
  job 2 /bin/true | dq -childpidfile "$T/root/pid" -trcfile "$T/root/t" -trclvl 0x0A; check 00 "" 0
  job 2 /bin/true | dq -childpidfile "$T/root-file" -trcfile "$T/root-file_x_y" -trclvl 0x0A; check 00 "" 0
  [ -z "$(ls -A root)" ]; [ "$(cat root-file)" = keep ]
}
@test "a file under /proc/sys is written only as the caller could: not at all" {
  PRE=(unshare -u sh -c 'hostname dq-unchanged && "$@"; hostname > '"$T/name" sh)
  job 2 /bin/true | dq -childpidfile /proc/sys/kernel/hostname; check 00 "" 0
  [ "$(cat "$T/name")" = dq-unchanged ]
}
# dorq runs as pid 1 of a PID namespace, so the coming trace name is known.
@test "files another user made under the coming names are left alone; the caller's own belong to the caller" {
  PRE=(unshare -p -f)
  setpriv --reuid=23003 --regid=23003 --clear-groups sh -c 'echo other > pid; echo other > dorq_1.trc'
  job 2 /bin/true | dq -childpidfile "$T/pid" -trcfile "$T/t" -trclvl 0x0A; check 00 "" 0
  [ "$(cat pid dorq_1.trc)" = "$(printf 'other\nother')" ]
  rm pid dorq_1.trc; job 2 /bin/true | dq -childpidfile "$T/pid" -trcfile "$T/t" -trclvl 0x0A; check 00 "" 0
  [ "$(stat -c %u:%g pid dorq_1.trc | sort -u)" = 23001:23001 ]
}
# Control bytes in every traced option value and request line (a command path may hold them too).
@test "control bytes from outside cannot forge or break a trace line" {
  local evil=$'x\nSCHED 01-01 00:00:00.000 1 dorq:1(forged)\r\t\x1b[2J\x1f\x7f'
  local line=${evil//$'\n'/} escaped='x\nSCHED 01-01 00:00:00.000 1 dorq:1(forged)\r\t\x1b[2J\x1f\x7f'
  ln -s /bin/true "$T/t$line"
  job 3 "$T/t$line" "a$line" | dq -trclvl 0xFFFB -trcfile "$T/t" -childpidfile "$T/p$evil"
  [ "$(cat rc)" = 0 ]; printf '\0' | cmp - out
  for sink in err dorq_*.trc; do
    [ "$(grep -c . $sink)" -gt 5 ]; grep -qF "Sending child pid to $T/p$escaped" $sink
    not grep -qv '^SCHED [0-9]\{2\}-[0-9]\{2\} [0-9:.]* [0-9]* s\?dorq:[0-9]*(' $sink
    not env LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]' $sink
  done
  grep -qF "Executing $T/t${escaped//\\n/}" err; grep -qF "argv[1] = a${escaped//\\n/}" err
}
# The caller's own terminal (script's pty, given to dqsched) on 0, 1 and 2; flags 1 keeps stderr apart.
@test "the job has no controlling terminal, and only write-only opens of the caller's" {
  echo '(exec 9</dev/tty) 2>/dev/null && echo has-tty || echo no-tty
    for fd in 1 2; do perl -MFcntl -e "print((fcntl(\$ARGV[0] == 1 ? STDOUT : STDERR, F_GETFL, 0) & O_ACCMODE) == O_WRONLY ? qq(w\n) : qq(rw\n))" $fd; done' > probe
  [ "$(script -qec 'sh ./probe' /dev/null | tr -d '\r' | xargs)" = "has-tty rw rw" ] # the caller has one
  job 3 /bin/sh "$T/probe" > request
  [ "$(script -qec "chown 23001 \$(tty); ${AS[*]} $W/bin/dorq < request" /dev/null | tr -d '\0\r' | xargs)" = "no-tty w w" ]
}
# The host's own "su" (Debian's: pam_unix nullok, no failure count) and the packaged "dorq", unchanged: dorq counts
# each attempt before PAM is asked and refuses a locked user without asking it. The caller has umask 0 and root's group.
@test "killed guesses lock the user for their caller, whatever su says, root too; faillock --reset lets the password in again" {
  cp "$W"/host-pam.d/{su,common-*} "$W/pam.d"; cp "$BATS_TEST_DIRNAME/../../debian/dorq.pam" "$W/pam.d/dorq"
  local tally=/var/lib/dorq/faillock rootpw='Root-Pass 577' shadow
  shadow=$(sed "s|^root:[^:]*:|root:$(openssl passwd -6 "$rootpw"):|" "$W/shadow"); echo "$shadow" > "$W/shadow"
  echo dqempty:x:23004:23004::/:/bin/sh >> "$W/passwd"; echo "dqempty::$(($(date +%s) / 86400)):0:99999:7:::" >> "$W/shadow"
  AS=(setpriv --reuid=23001 --regid=23001 --groups=0,23010); umask 0
  # Each killed guess leaves dorq's line of the attempt, written before PAM is asked.
  guesses() { (PRE=(timeout -s KILL 0.5); for g in 1 2 3 4 5; do
    req $1 "wrong $g" 2 /bin/true | dq; [ "$(cat rc)" = 137 ]; grep -q " event=authenticating user=$1 " audit; done); }
  unasked() { # USER PASSWORD REASON
    req "$1" "$2" 2 /bin/true | dq -trcfile "$T/t" -trclvl 0x1A; check 07 7 7; grep -q " reason=$3\$" audited
    not grep -q Trying dorq_*.trc; rm dorq_*.trc
  }
  owned() { [ "$(stat -c %U:%G:%a /var/lib/dorq $tally $tally/$1 | xargs)" = "root:root:700 root:root:700 root:root:600" ]; }
  guesses dqjob; owned dqjob
  not "${AS[@]}" truncate -s 0 $tally/dqjob; not "${AS[@]}" rm -rf /var/lib/dorq; owned dqjob
  unasked dqjob "$JOBPW" user-locked # the last guess, abandoned in flight, counts too
  [ "$(faillock --dir $tally --user dqjob | grep -c '^[-0-9]* [:0-9]* SVC  *dorq:23001  *V$')" = 5 ]
  # Another caller's count is its own: its job runs, and its failure is its own line in the records.
  (AS=(setpriv --reuid=23003 --regid=23003 --clear-groups); job 2 /bin/true | dq; check 00 "" 0
    req dqjob wrong 2 /bin/true | dq; check 07 7 7)
  [ "$(faillock --dir $tally --user dqjob | grep -c ' dorq:23003 ')" = 1 ]
  faillock --dir $tally --user dqjob --reset; job 2 /bin/true | dq; check 00 "" 0; owned dqjob
  guesses root; unasked root "$rootpw" user-locked
  faillock --dir $tally --user root --reset; req root "$rootpw" 2 /bin/true | dq; check 00 "" 0
  unasked dqempty "" empty-password; [ ! -e $tally/dqempty ]
  # su's pam_unix nullok would take any password for an empty password field: PAM is told to refuse it.
  req dqempty anything 2 /bin/true | dq; check 07 7 7; grep -q ' reason=authentication-failed$' audited
}
# Each spoil, made by root, leaves dorq's records unusable: every request is refused, nothing written through them.
# A full file keeps its newest 5 before the next; a known name that is no file name is refused.
@test "failure records not root's alone refuse every request; a full file is cut; no path from a user name" {
  local tally=/var/lib/dorq/faillock; touch x
  for spoil in "chmod 0720 /var/lib/dorq" "chgrp 23001 $tally" "mv $tally $tally.d; ln -s faillock.d $tally" \
    "ln -sf $T/x $tally/dqjob" "ln $tally/dqjob /var/lib/dorq/link"; do
    rm -rf /var/lib/dorq; job 2 /bin/true | dq; check 00 "" 0; eval "$spoil"; job 2 /bin/true | dq; check 07 7 7
  done
  [ ! -s x ]; rm -rf /var/lib/dorq; job 2 /bin/true | dq; check 00 "" 0
  perl -e 'print pack("Z52 S S Q", "old", 0, 1, 1) x 70' > $tally/dqjob
  req dqjob wrong 2 /bin/true | dq; check 07 7 7; [ "$(stat -c %s $tally/dqjob)" = $((6 * 64)) ]
  echo ../dqx:x:23005:23005::/:/bin/sh >> "$W/passwd"; req ../dqx pw 2 /bin/true | dq; check 07 7 7; [ ! -e /var/lib/dorq/dqx ]
}
@test "a FIFO as the settings file does not hold dorq" {
  mkdir home && mkfifo home/env.zan && chmod 0755 home
  E=(ZANTIX_HOME=$T/home) PRE=(timeout 20); job 2 /bin/true | dq; check 00 "" 0
}
# Read while the job runs (the request still held), in pieces overlapping by the text's length; regions
# past 1 GiB are a sanitizer's shadow, which holds no program data.
@test "no copy of the password stays in dorq's memory once authentication has ended" {
  job 0 /bin/sh -c 'touch started; exec sleep 5' | dq &
  for _ in $(seq 200); do [ ! -e started ] || break; sleep 0.05; done
  scan() {
    perl -e 'open(my $maps, "<", "/proc/$ARGV[0]/maps") && open(my $mem, "<:raw", "/proc/$ARGV[0]/mem") or exit 2;
      while (<$maps>) {
        my ($start, $end) = map { hex } /^(\w+)-(\w+) r/ or next;
        next if /\[vvar/ || $end - $start > 1 << 30;
        for (my $at = $start; $at < $end; $at += 1 << 20) {
          sysseek($mem, $at, 0) && sysread($mem, my $piece, (1 << 20) + length $ARGV[1]) or next;
          exit 0 if index($piece, $ARGV[1]) >= 0;
        }
      }
      exit 1' "$pid" "$1"
  }
  local pid; pid=$(pgrep -f -n "^$W/bin/dorq")
  scan "$(id -un)" # the scan works: root's name is in dorq's environment
  run scan "$JOBPW"; [ "$status" = 1 ]
  kill "$pid"; wait
}
# The caller's standard output a full pipe nobody reads: dorq blocks at status word 0 until the caller kills it.
@test "a standard output that blocks cannot keep a started job out of the audit log" {
  PRE=(timeout -s KILL 3 perl -MFcntl -e 'pipe(R, W); fcntl(R, F_SETFD, 0); fcntl(W, F_SETFL, O_NONBLOCK);
    1 while syswrite W, "x"; fcntl(W, F_SETFL, 0); open(STDOUT, ">&", W); exec @ARGV' --)
  job 2 /usr/bin/touch ran | dq; [ "$(cat rc)" = 137 ]; [ -e ran ]; grep -q ' event=started ' audit
}
@test "names, paths and the caller's TZ cannot add, repeat or move an audit line's fields" {
  local cmd="$T/x args=0 pid=1 status=7 (authentication failed)" long=/$(printf './%.0s' {1..600})bin/true stamp
  # No "/" in the name: dorq refuses a known user whose name cannot name its failure record.
  ln -s /bin/true "$cmd"; { cat /etc/passwd; echo 'dq command=bash x:x:23002:23002::/:/bin/sh'; } > passwd
  over passwd /etc/passwd; service su "$PERMIT"; E=(TZ=XYZ-5:30)
  job 2 "$cmd" | dq; check 00 "" 0; mv audited lines
  req "dq command=bash x" - 2 /bin/true | dq; check 00 "" 0; cat audited >> lines
  job 2 "$long" | dq; check 00 "" 0; cat audited >> lines; grep -qF "[cut:${#long}] args=0 " lines
  # After the header, every line has these fields (the attempt's no pid yet) and an ended line its end's; the
  # time is the system's.
  awk '{ pid = $6 == "event=authenticating" ? "" : " pid"; k = ""
    for (i = 5; i <= NF; i++) { bad += ($i !~ /^[a-z_]+=[^=]*$/); sub(/=.*/, "", $i); k = k " " $i }
    sub(/ exit wall user_cpu system_cpu( memory_peak)? cgroup orphaned$/, "", k); bad += (k != " caller event user command args" pid) } END { exit bad || NR != 12 }' lines
  while read -r stamp; do (( ($(date -d "$stamp" +%s) - $(date +%s)) ** 2 < 3600 )); done < <(cut -c5-19 lines)
}
# A full ext4 image (5% kept for root) the caller filled, and a /proc file only root may write to. The pid record
# on a descriptor and the trace on standard error go to files root opened there.
@test "dorq writes as the caller: no block kept for root, no /proc file the caller may not write" {
  truncate -s 4M img; mkfs.ext4 -q -m 5 img; mkdir disk; mount -o loop img disk; echo "$T/disk" >> mounts
  mkdir disk/d; chown 23001:23001 disk/d; not "${AS[@]}" dd if=/dev/zero of=disk/d/fill 2> /dev/null; sync
  free=$(stat -f -c %f disk)
  job 2 /bin/true | dq -trcfile "$T/disk/d/t" -trclvl 0xFFFA -childpidfile "$T/disk/d/pid"; check 00 "" 0
  KEEP=5; job 2 /bin/true | capture sched "$W/bin/dorq" -trclvl 0x19 -childpidfile 5 5>> disk/d/pid5 2>> disk/d/err > out
  printf '\0' | cmp - out; [ "$(cat rc)" = 0 ]
  sync; [ "$(stat -f -c %f disk)" = "$free" ]; [ -z "$(find disk/d -type f -size +0 ! -name fill)" ]
  "${AS[@]}" sleep 60 3>&- & other=$!; slack=$(cat /proc/$other/timerslack_ns)
  job 2 /bin/true | dq -childpidfile /proc/$other/timerslack_ns; check 00 "" 0
  [ "$(cat /proc/$other/timerslack_ns)" = "$slack" ]; kill $other
}
@test "the pid record's descriptor stays out of the job, and the caller's standard error keeps its flags" {
  KEEP=5; job 0 /bin/sh -c 'printf $$ > jobpid; find /proc/$$/fd -mindepth 1 -fprintf fds "%f "; exit' | dq -childpidfile 5 5> record
  check "" "" 0; [ "$(cat fds)" = "0 1 2 " ]; [ "$(cat record)" = "DORQ_CHILD_PID$(cat jobpid)DORQ_CHILD_PID" ]
  exec {e}> stderr; grep flags /proc/self/fdinfo/$e > want # no O_APPEND
  for f in {0..7}; do job $f /bin/true | sched "$W/bin/dorq" > /dev/null 2>&$e; grep flags /proc/self/fdinfo/$e | cmp want; done
}
# dqjob stops the child in its long path search; pid 1 then kills the caller and lists what it reaps, as in kill.bats.
@test "a child its user stops before the exec does not hold dorq once the caller has gone" {
  mkdir -p "$(printf 'a/%.0s' {1..2000})"; ln -s "$(printf 'a/%.0s' {1..2000})" L; job 2 dq-missing > in
  P=$(printf 'L:%.0s' {1..20000}) unshare -p -f perl -e '$SIG{ALRM} = sub { exit 1 }; alarm 10;
    exec qw(setpriv --reuid=23002 --regid=23002 --clear-groups perl -e),
      q{1 until @p = grep { $_ != $$ && kill 0, $_ } 2..99; kill STOP => @p} unless $stopper = fork;
    exec "sh", "-c", $ARGV[0] unless $caller = fork;
    waitpid($stopper, 0); kill "KILL", $caller; print "$pid $?\n" while ($pid = waitpid(-1, 0)) > 0' \
    "${AS[*]} env -i PATH=\"\$P\" $W/bin/dorq < in > out & echo \$! > dorq.pid; wait" > reaped
  grep -qx "$(cat dorq.pid) 0" reaped; [ "$(cut -d' ' -f2 reaped | sort | xargs)" = "0 9 9" ]
}
# The caller kills dorq (SIGKILL) the moment its child appears, 20 times: any job that ran is named by its pid in a
# line dorq wrote before it let the child go on.
@test "a dorq killed the moment its child appears leaves no job the log does not name" {
  for i in $(seq 20); do
    job 0 /usr/bin/touch "$T/ran.$i" | sched perl -e 'defined(my $pid = fork) or die; exec @ARGV unless $pid;
      my $c = ""; use POSIX ":sys_wait_h"; my $ended = 0;
      until ($c =~ /\d/ || ($ended = waitpid($pid, WNOHANG) > 0)) { open(my $f, "<", "/proc/$pid/task/$pid/children") or last; $c = <$f> // "" }
      kill "KILL", $pid; $ended or waitpid($pid, 0); print "$c\n"' "$W/bin/dorq" >> children
  done
  sleep 0.5; local i=0 pid rest
  while read -r pid rest; do
    i=$((i + 1)); [ -e ran.$i ] && [ -n "$pid" ] || continue # no pid: dorq ran to its end unseen
    grep -q "]: caller=dqsched(23001) event=spawned .* pid=$pid\$" "$W/log" || { echo "ran.$i: child $pid, no line"; return 1; }
  done < children
  [ "$i" = 20 ]
}
# In a PID namespace of its own, the job's user stops every process it may signal, over and over; a kill request for
# its process group outside any job cgroup still ends, as the caller's, with its line.
@test "the job's user cannot hold a kill request: dorq never takes its ids" {
  local n; n=$(wc -l < "$W/log"); job 2 kill 2 > in # the target, the namespace's first child, is pid 2
  unshare -p -f --mount-proc bash -c 'setpriv --reuid=23002 --regid=23002 --clear-groups setsid sleep 60 & target=$!
    setpriv --reuid=23002 --regid=23002 --clear-groups perl -e "1 while 1 + kill STOP => -1" & stopper=$!
    sleep 0.2; timeout -s KILL 20 '"${AS[*]}"' env -i PATH=/usr/bin:/bin "$0" < in > out 2> err; echo $? > rc
    kill -9 $stopper $target; [ $target = 2 ]' "$W/bin/dorq"
  [ "$(cat rc)" = 0 ] || check "0e 0e" 14 14
  for _ in $(seq 100); do tail -n +$((n + 1)) "$W/log" | grep -q ' event=kill ' && return; sleep 0.02; done; false
}
