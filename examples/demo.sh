#!/usr/bin/env bash
# Runs one real request through dorq end to end, in a private sandbox: a
# private mount namespace with its own /etc/passwd, group, shadow and pam.d
# (a demo user "dorqdemo" with a known password, and a scheduler user
# "dorqsched"), and a set-user-ID root copy of dorq on a private tmpfs. The
# scheduler user starts dorq, as a scheduler would, and the script prints what
# came back on each channel. Needs root; the host's /etc is never changed.
#
#   bash examples/demo.sh [path/to/dorq]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dorq=${1:-$here/build/default/app/dorq}
[ -x "$dorq" ] || { echo "demo: no dorq binary at $dorq (build first)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "demo: run as root (it builds a private sandbox)" >&2; exit 1; }

if [ "${DORQ_DEMO_INSIDE:-}" != 1 ]; then
  exec env DORQ_DEMO_INSIDE=1 unshare -m --propagation private bash "$0" "$dorq"
fi

# The password hash of "demo-password" (SHA-512).
hash='$6$dorqdemo$a5saKOzkPsmIKGR44jckirNguMTjfn476.0B20iNkmCtGa9t01qtgFI6xV5eNBrarnV8WSKl9243rhZ/8uuq6.'
box=$(mktemp -d /tmp/dorq-demo-XXXXXX)
trap 'umount "$box/bin" 2>/dev/null; rm -rf "$box"' EXIT
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
mount -t tmpfs -o mode=0755 tmpfs "$box/bin"
install -o root -g root -m 4755 "$dorq" "$box/bin/dorq"

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

request dorqdemo demo-password 2 /usr/bin/id | show "the demo user runs /usr/bin/id (flags 2: status words)"
request dorqdemo wrong-password 2 /usr/bin/id | show "a wrong password (status 7 after a 3-second pause)"
request dorqdemo demo-password 2 /no/such/command | show "a command that cannot be executed (10)"
