#!/usr/bin/env bash
# Runs real requests through dorq end to end, in a private sandbox: a
# private mount namespace with its own /etc/passwd, group, shadow and pam.d
# (a demo user "dorqdemo" with a known password, and a scheduler user
# "dorqsched"), and a copy of dorq on a private tmpfs installed the way the
# build installs it: owner root, the scheduler's group, mode 4750. The
# scheduler user runs the example client (examples/dorq_client.cpp), which
# starts dorq as a scheduler would and says what came back; then two requests
# go to dorq directly, to show its raw channels. Needs root; the host's /etc
# is never changed.
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
trap 'umount "$box/bin" 2>/dev/null; rm -rf "$box"' EXIT
mkdir -p "$box/etc/pam.d" "$box/bin" "$box/home"
chmod 0711 "$box"  # the scheduler user reaches its password files below it
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
mount -t tmpfs -o mode=0755 tmpfs "$box/bin"
# Only the scheduler's group may start it.
install -o root -g dorqsched -m 4750 "$dorq" "$box/bin/dorq"
# The scheduler keeps the job user's password in a file of its own.
install -o dorqsched -g dorqsched -m 0600 /dev/null "$box/password"
echo demo-password >"$box/password"
install -o dorqsched -g dorqsched -m 0600 /dev/null "$box/wrong-password"
echo wrong-password >"$box/wrong-password"

request() {  # user password flags path args...
  local user=$1 password=$2 flags=$3 path=$4
  shift 4
  printf '%s\n%s\n%s\n%s\n%s\n' "$user" "$password" "$flags" "$path" "$#"
  for arg in "$@"; do printf '%s\n' "$arg"; done
}

show() {  # title, then the request on stdin
  local title=$1 status=0
  echo "== $title"
  setpriv --reuid=dorqsched --regid=dorqsched --clear-groups \
    "$box/bin/dorq" >"$box/out" 2>"$box/err" || status=$?
  echo "   exit status : $status"
  echo "   stdout bytes: $(od -An -c -w4096 "$box/out" | tr -s " " | sed "s/^ //")"
  echo "   stderr      : $(cat "$box/err")"
}

words() {  # the words as a shell would take them back, quoted where needed
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

client() {  # title, password file, then the client's words: [--flags N] user command args...
  local title=$1 password=$2 status=0
  shift 2
  echo "== $title"
  echo "   \$ dorq-client --password-file $(basename "$password") $(words "$@")"
  setpriv --reuid=dorqsched --regid=dorqsched --clear-groups \
    "$client" --dorq "$box/bin/dorq" --password-file "$password" "$@" \
    >"$box/out" 2>"$box/err" || status=$?
  sed 's/^/   stdout| /' "$box/out"
  sed 's/^/   stderr| /' "$box/err"
  echo "   exit status: $status"
}

# Flags 4: dorq waits for the job blocking instead of polling once a second.
client "the demo user runs /usr/bin/id" "$box/password" --flags 4 dorqdemo /usr/bin/id
client "a wrong password (dorq pauses 3 seconds)" "$box/wrong-password" dorqdemo /usr/bin/id
client "a command that cannot be executed" "$box/password" --flags 4 dorqdemo /no/such/command
client "a job that ends through a signal" "$box/password" --flags 4 \
  dorqdemo /bin/sh -c 'echo about to stop; kill -KILL $$'

echo
echo "The same through dorq's raw channels (status words on stdout, the frame on stderr):"
request dorqdemo demo-password 2 /usr/bin/id | show "the demo user runs /usr/bin/id (flags 2: status words)"
request dorqdemo demo-password 2 /no/such/command | show "a command that cannot be executed (10)"
