#!/usr/bin/env bash
# Runs real requests through dorq end to end, in a private sandbox: a private
# mount namespace with its own /etc/passwd, group, shadow and pam.d (a demo
# user "dorqdemo" with a known password, and a scheduler user "dorqsched"), a
# system log of its own at /dev/log, a /var/lib whose changes stay in the
# sandbox (dorq keeps its failure records there), and a copy of dorq installed
# the way the build installs it: owner root, the scheduler's group, mode 4750.
# The scheduler user runs the example client (examples/dorq_client.cpp), which
# starts dorq as a scheduler would and says what came back; then requests go
# to dorq directly, to show its raw channels, the child pid record and a kill
# request. Each request is followed by the audit lines it left in the log.
# Needs root; the host's /etc, /dev and /var/lib are never changed.
#
#   bash examples/demo.sh [path/to/dorq [path/to/dorq-client]]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dorq=${1:-$here/build/default/app/dorq}
client=${2:-$here/build/default/examples/dorq-client}
[ -x "$dorq" ] || { echo "demo: no dorq binary at $dorq (build first)" >&2; exit 1; }
[ -x "$client" ] || { echo "demo: no dorq-client at $client (build first)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "demo: run as root (it builds a private sandbox)" >&2; exit 1; }

if [ "${DORQ_DEMO_INSIDE:-}" != 1 ]; then
  exec env DORQ_DEMO_INSIDE=1 unshare -m --propagation private bash "$0" "$dorq" "$client"
fi

# The password hash of "demo-password" (SHA-512).
hash='$6$dorqdemo$a5saKOzkPsmIKGR44jckirNguMTjfn476.0B20iNkmCtGa9t01qtgFI6xV5eNBrarnV8WSKl9243rhZ/8uuq6.'
box=$(mktemp -d /tmp/dorq-demo-XXXXXX)
# Everything below lives on a tmpfs over $box, seen only in this namespace;
# the log sink and a job left running would keep the namespace alive.
cleanup() {
  [ -z "${sink-}" ] || kill "$sink"
  [ -z "${longjob-}" ] || kill -KILL -- "-$longjob" 2>/dev/null || true
  umount -l "$box" && rmdir "$box"
}
trap cleanup EXIT
mount -t tmpfs -o mode=0711 tmpfs "$box" # the scheduler user reaches its password files below it
mkdir -p "$box/etc/pam.d" "$box/bin" "$box/home"
grep -v -e '^dorqdemo:' -e '^dorqsched:' /etc/passwd >"$box/etc/passwd"
grep -v -e '^dorqdemo:' -e '^dorqsched:' -e '^dorqjobs:' /etc/group >"$box/etc/group"
grep -v -e '^dorqdemo:' -e '^dorqsched:' /etc/shadow >"$box/etc/shadow" || true
cat >>"$box/etc/passwd" <<PASSWD
dorqsched:x:61000:61000:scheduler:/nonexistent:/usr/sbin/nologin
dorqdemo:x:61001:61001:demo user:$box/home:/bin/sh
PASSWD
cat >>"$box/etc/group" <<GROUP
dorqsched:x:61000:
dorqdemo:x:61001:
dorqjobs:x:61002:dorqdemo
GROUP
echo "dorqdemo:$hash:19000:0:99999:7:::" >>"$box/etc/shadow"
echo "dorqsched:!:19000:0:99999:7:::" >>"$box/etc/shadow"
chmod 0640 "$box/etc/shadow"
for service in su dorq; do
  cat >"$box/etc/pam.d/$service" <<PAM
auth     required pam_unix.so nodelay
account  required pam_unix.so
session  required pam_permit.so
PAM
done
for f in passwd group shadow; do mount --bind "$box/etc/$f" "/etc/$f"; done
mount --bind "$box/etc/pam.d" /etc/pam.d
# What dorq writes under /var/lib lands in $box: an overlay over it.
mkdir "$box/lib-up" "$box/lib-work"
mount -t overlay overlay -o "lowerdir=/var/lib,upperdir=$box/lib-up,workdir=$box/lib-work" /var/lib
# A system log of its own: /dev gets an overlay (its sub-mounts carried over)
# with a /dev/log whose lines go to $box/log, facility and level in words.
mkdir "$box/dev" "$box/dev-up" "$box/dev-work" && mount --rbind /dev "$box/dev"
mount -t overlay overlay -o "lowerdir=/dev,upperdir=$box/dev-up,workdir=$box/dev-work" /dev
for f in pts shm mqueue; do [ ! -d "$box/dev/$f" ] || mount --rbind "$box/dev/$f" "/dev/$f"; done
rm -f /dev/log
perl -MIO::Socket::UNIX -e '
  my $log = IO::Socket::UNIX->new(Type => SOCK_DGRAM, Local => "/dev/log") or die "/dev/log: $!";
  chmod 0666, "/dev/log"; open(my $out, ">>", $ARGV[0]) or die "$ARGV[0]: $!"; $out->autoflush;
  my @level = qw(emerg alert crit err warning notice info debug);
  print "ready\n"; close STDOUT;
  while (defined recv($log, $_, 16384, 0)) {
    s/^<(\d+)>(\w{3} [ \d]\d [\d:]{8} )?/($1 >> 3 == 10 ? "authpriv" : "facility" . ($1 >> 3)) . ".$level[$1 & 7] "/e;
    print $out "$_\n";
  }' "$box/log" >"$box/log.ready" &
sink=$!
while [ ! -s "$box/log.ready" ]; do sleep 0.01; done
# Only the scheduler's group may start it.
install -o root -g dorqsched -m 4750 "$dorq" "$box/bin/dorq"
# The scheduler keeps the job user's password in a file of its own.
install -o dorqsched -g dorqsched -m 0600 /dev/null "$box/password"
echo demo-password >"$box/password"
install -o dorqsched -g dorqsched -m 0600 /dev/null "$box/wrong-password"
echo wrong-password >"$box/wrong-password"
as_scheduler=(setpriv --reuid=dorqsched --regid=dorqsched --clear-groups)

request() { # user password flags path args...
  printf '%s\n' "$1" "$2" "$3" "$4" $(($# - 4)) "${@:5}"
}

# audit FROM [PID]: the audit lines that came after the log's line FROM (of the
# dorq with that PID alone, when given). A started job's end is sent just
# before dorq ends, and the sink may lag: wait for it.
audit() {
  local lines=""
  for _ in $(seq 200); do
    lines=$(tail -n +"$(($1 + 1))" "$box/log" | grep "dorq\[${2:-[0-9]*}\]: caller=") || true
    [ -n "$lines" ] && [[ $lines != *event=started* || $lines == *event=ended* ]] && break
    sleep 0.01
  done
  sed 's/^/   log   | /' <<<"${lines:-(no audit line)}"
}

words() { # the words as a shell would take them back, quoted where needed
  local word line=""
  for word in "$@"; do
    if [[ $word =~ ^[A-Za-z0-9_./=:-]+$ ]]; then
      line+=" $word"
    else
      line+=" '${word//\'/\'\\\'\'}'"
    fi
  done
  echo "${line# }"
}

client() { # title, password file, then the client's words: [--flags N] user command args...
  local title=$1 password=$2 status=0 from
  shift 2
  echo "== $title"
  echo "   \$ dorq-client --password-file $(basename "$password") $(words "$@")"
  from=$(wc -l <"$box/log")
  "${as_scheduler[@]}" "$client" --dorq "$box/bin/dorq" --password-file "$password" "$@" \
    >"$box/out" 2>"$box/err" || status=$?
  sed 's/^/   stdout| /' "$box/out"
  sed 's/^/   stderr| /' "$box/err"
  echo "   exit status: $status"
  audit "$from"
}

# start NAME [OPTION...] < RECORD: dorq with the options, as the scheduler
# user, in the background; its pid in $pid, its channels in $box/NAME.*.
start() {
  local name=$1
  shift
  wc -l <"$box/log" >"$box/$name.from"
  cat >"$box/$name.request"
  echo "   request     : $(paste -sd '|' "$box/$name.request" | sed 's/|/ | /g')"
  "${as_scheduler[@]}" "$box/bin/dorq" "$@" <"$box/$name.request" >"$box/$name.out" 2>"$box/$name.err" &
  pid=$!
}

# finish NAME PID: waits for that dorq, then shows its channels, the status
# words (the bytes on standard output) in decimal, and its audit lines.
finish() {
  local status=0 err
  wait "$2" || status=$?
  err=$(cat "$box/$1.err")
  echo "   exit status : $status"
  echo "   stdout bytes: $(od -An -tu1 -v "$box/$1.out" | xargs)"
  echo "   stderr      : ${err:-(empty)}"
  audit "$(cat "$box/$1.from")" "$2"
}

# Flags 4: dorq waits for the job blocking instead of polling once a second.
client "the demo user runs /usr/bin/id" "$box/password" --flags 4 dorqdemo /usr/bin/id
client "a wrong password (dorq pauses 3 seconds)" "$box/wrong-password" dorqdemo /usr/bin/id
client "a command that cannot be executed" "$box/password" --flags 4 dorqdemo /no/such/command
client "a job that ends through a signal" "$box/password" --flags 4 \
  dorqdemo /bin/sh -c 'echo about to stop; kill -KILL $$'

echo
echo "Straight into dorq, flags 2: stdout carries the status words (as decimal bytes), stderr the frame:"
echo "== a command that cannot be executed"
start exec < <(request dorqdemo demo-password 2 /no/such/command)
finish exec "$pid"
echo "== a long job, started with -childpidfile 3: its pid comes back on descriptor 3"
start long -childpidfile 3 3>"$box/long.pid" < <(request dorqdemo demo-password 2 /bin/sleep 600)
long=$pid
for _ in $(seq 500); do [ ! -s "$box/long.pid" ] || break; sleep 0.02; done
echo "   child pid record: $(cat "$box/long.pid")"
longjob=$(sed -n 's/^DORQ_CHILD_PID\([0-9]*\)DORQ_CHILD_PID$/\1/p' "$box/long.pid")
[ -n "$longjob" ] || { echo "demo: the long job did not start" >&2; exit 1; }
echo "== a kill request for it: its cgroup (or, without one, its process group $longjob) is killed"
start kill < <(request dorqdemo demo-password 2 kill "$longjob")
finish kill "$pid"
echo "== the long job's dorq, once the job was killed"
finish long "$long"
longjob=""
