# The sandbox: in the private mount namespace ctest starts each .bats file in, a tmpfs W with real users and
# PAM services bind-mounted over /etc's, a system log of its own and the set-user-ID copy of $DORQ. Requests
# come from the scheduler user dqsched; $HELPERS holds the built helper programs.
JOBPW='Job-Pass 3141!' # dqjob: uid 23002, also in groups 23010 and 23011
UNIX=$'auth required pam_unix.so nodelay\naccount required pam_unix.so'
PERMIT=$'auth required pam_permit.so\naccount required pam_permit.so'
DENY=$'auth required pam_deny.so\naccount required pam_deny.so'
setup_file() {
  # The mounts must never reach the host: only in a namespace other than ctest's, propagating nothing.
  [ -n "${DORQ_E2E_OUTER_NS-}" ] && [ "$(readlink /proc/self/ns/mnt)" != "$DORQ_E2E_OUTER_NS" ] &&
    [ "$(findmnt -no PROPAGATION /)" = private ] ||
    { echo "not in a private mount namespace of its own: start the tests through ctest" >&2; return 1; }
  filecg_enter
  export W; W=$(mktemp -d /tmp/dorq-e2e.XXXXXX)
  mount -t tmpfs -o mode=0755 tmpfs "$W" && mkdir "$W/pam.d" "$W/bin"
  # The host's system accounts, then the test users (shadow: changed today).
  for f in passwd group; do awk -F: '$3 < 1000 || $3 == 65534' "/etc/$f" > "$W/$f"; done
  awk -F: 'NR == FNR { keep[$1] = 1; next } keep[$1]' "$W/passwd" /etc/shadow > "$W/shadow"
  for user in "dqsched 23001 Sched-Pass 2718" "dqjob 23002 $JOBPW" "dqother 23003 Other-Pass 1618"; do
    set -- $user
    echo "$1:x:$2:$2:dorq test user:/:/bin/sh" >> "$W/passwd"
    echo "$1:$(openssl passwd -6 "${*:3}"):$(($(date +%s) / 86400)):0:99999:7:::" >> "$W/shadow"
    echo "$1:x:$2:" >> "$W/group"
  done
  printf '%s\n' dqjoba:x:23010:dqjob dqjobb:x:23011:dqjob dqothg:x:23012:dqother >> "$W/group"
  chown root:shadow "$W/shadow"; chmod 0640 "$W/shadow"
  service other "$DENY"; cp -a /etc/pam.d "$W/host-pam.d" # the host's own services, for a test to use
  for f in passwd group shadow pam.d; do mount --bind "$W/$f" "/etc/$f"; done
  install -m 4755 "$DORQ" "$W/bin/dorq"; install -m 0755 "$DORQ" "$W/bin/dorq-plain"
  # /dev/log (the host may lack it) appends to $W/log: /dev gets an overlay, its sub-mounts carried over.
  mkdir "$W/dev" "$W/dev-up" "$W/dev-work" && mount --rbind /dev "$W/dev"
  mount -t overlay overlay -o lowerdir=/dev,upperdir="$W/dev-up",workdir="$W/dev-work" /dev
  for f in pts shm mqueue; do [ ! -d "$W/dev/$f" ] || mount --rbind "$W/dev/$f" "/dev/$f"; done
  # dorq's failure records (/var/lib/dorq) stay in $W too: an overlay over /var/lib.
  mkdir "$W/lib-up" "$W/lib-work"
  mount -t overlay overlay -o lowerdir=/var/lib,upperdir="$W/lib-up",workdir="$W/lib-work" /var/lib
  rm -f /dev/log; perl -MIO::Socket::UNIX -e '
    my $log = IO::Socket::UNIX->new(Type => SOCK_DGRAM, Local => "/dev/log") or die "/dev/log: $!";
    chmod 0666, "/dev/log"; open(my $out, ">>", $ARGV[0]) or die "$ARGV[0]: $!"; $out->autoflush;
    print "ready\n"; close STDOUT;
    print $out "$_\n" while defined recv($log, $_, 16384, 0)' "$W/log" > "$W/logsink.ready" 3>&- & export LOGSINK=$!
  while [ ! -s "$W/logsink.ready" ]; do sleep 0.01; done
}
# Each test: pam_unix in both services, no failure counted yet, in a fresh directory every user may write.
setup() {
  service su "$UNIX"; service dorq "$UNIX"; rm -rf /var/lib/dorq
  T=$W/t$BATS_TEST_NUMBER; mkdir -m 1777 "$T"; cd "$T"
  AS=(setpriv --reuid=23001 --regid=23001 --clear-groups) # who starts dorq
  PRE=()  # run as root before that, for what the caller's process inherits
  E=()    # dorq's environment besides PATH
  KEEP="" # descriptors above 2 that dorq inherits
}
# A failure stops a test only as a command of its own, not after "!" (nor inside "a && b" but last).
not() { ! "$@"; }
teardown() { [ ! -s "$T/mounts" ] || tac "$T/mounts" | xargs -r umount -l; }
service() { printf '%s\n' "$2" > "$W/pam.d/$1"; }
# over FILE TARGET: bind-mounts FILE over TARGET until the test ends.
over() { mount --bind "$1" "$2" && echo "$2" >> "$T/mounts"; }
# req USER PASSWORD FLAGS PATH [ARG...]: a request record; job: from dqjob.
req() { printf '%s\n' "$1" "$2" "$3" "$4" $(($# - 4)) "${@:5}"; }
job() { req dqjob "$JOBPW" "$@"; }
# sched COMMAND...: COMMAND started as the caller, with PATH, E and KEEP.
sched() (
  for fd in $(ls /proc/$BASHPID/fd); do [[ $fd -le 2 || " $KEEP " == *" $fd "* ]] || eval "exec $fd>&-"; done
  exec "${PRE[@]}" "${AS[@]}" env -i PATH=/usr/bin:/bin "${E[@]}" "$@"
)
# capture COMMAND...: its exit status goes to the file rc.
capture() { local rc=0; "$@" || rc=$?; echo "$rc" > rc; }
# dq [WORD...]: dorq ($BIN: another copy) on this standard input, to the files out and err; to audit, the
# audit lines the log got after the start, up to the run's last (sent before dorq ends; the sink may lag).
dq() {
  local n i; n=$(wc -l < "$W/log"); rm -f audit
  capture sched "$W/bin/${BIN:-dorq}" "$@" > out 2> err
  for i in $(seq 200); do
    sed -n "$((n + 1)),\$ {/]: caller=/p}" "$W/log" > audit
    [ -s audit ] && { not grep -q ' event=started' audit || grep -q ' event=ended' audit; } && return; sleep 0.01
  done
}
# check WORDS FRAME RC [TEXT]: byte for byte, out is the status words WORDS (hex) then TEXT (printf %b), err
# the frame for FRAME alone (or nothing), exit status RC. After dq, the audit lines hold no password, and a
# started job or a kill (words from 00) left its line, any other run a line with the frame's code; AUDIT=N
# where neither holds, AUDIT= for none.
check() {
  { for w in $1; do printf "\\x$w"; done; printf '%b' "${4-}"; } > want.out
  if [ -n "$2" ]; then printf '!@#--!@#%s#@!--#@!' "$2"; fi > want.err
  if ! { cmp -s out want.out && cmp -s err want.err && [ "$(cat rc)" = "$3" ]; }; then
    echo "exit status $(cat rc), wanted $3"
    for f in out err; do echo "$f:" && od -An -c $f && echo wanted: && od -An -c want.$f; done
    return 1
  fi
  [ -e audit ] || return 0
  local want=${2:-0}; [[ $1 != 00* ]] || want=0
  want=${AUDIT-$want}; mv audit audited; [ -n "$want" ] || return 0
  not grep -qF "$JOBPW" audited || { echo "password in the audit lines"; return 1; }
  if [ "$want" = 0 ]; then grep -qE ' event=(started |kill .* status=0 )' audited; else grep -qE " status=$want( |\$)" audited; fi && return
  echo "audit lines: $(cat audited); wanted status=$want"; return 1
}
teardown_file() {
  [ -z "${LOGSINK-}" ] || kill "$LOGSINK"
  [ -z "${W-}" ] || { umount -l "$W"; rmdir "$W"; }
  filecg_leave
}
# The file's tests run in a cgroup of their own on the unified hierarchy (where there is one), so that what a
# test leaves there goes at the end: a dorq its caller kills cannot remove its job's cgroup.
filecg_enter() {
  local u; u=$(findmnt -rn -t cgroup2 -o TARGET | tail -1); [ -n "$u" ] || return 0
  FILECG_HOME=$u$(sed -n 's/^0:://p' /proc/self/cgroup); FILECG=$u/dorq-e2e-$BASHPID
  mkdir "$FILECG" && echo "$BASHPID" > "$FILECG/cgroup.procs"
}
filecg_leave() {
  [ -n "${FILECG-}" ] || return 0
  echo "$BASHPID" > "$FILECG_HOME/cgroup.procs" && echo 1 > "$FILECG/cgroup.kill"
  for _ in $(seq 100); do grep -qx 'populated 0' "$FILECG/cgroup.events" && break; sleep 0.05; done
  find "$FILECG" -mindepth 1 -depth -type d -exec rmdir {} + && rmdir "$FILECG"
}
