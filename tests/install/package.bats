#!/usr/bin/env bats
# The package installed the way an administrator installs it, without
# touching the host: on an overlay of the host's root whose upper layer is a
# tmpfs, in the private mount namespace package_test.sh made, dpkg -i, a job
# through the installed dorq and the installed client as a scheduler account
# of the group dorq, the PAM service with the real modules, an upgrade over
# an administrator's statoverride, dpkg --purge.
# DORQ_DEB names the package.
job_user=pkgjob job_password='pkg job password' scheduler=pkgsched
bats_require_minimum_version 1.5.0
in_root() { chroot "$ROOT" "$@"; }
as_scheduler() { in_root setpriv --reuid="$scheduler" --regid="$scheduler" --init-groups "$@"; }
setup_file() {
  # A mount made in the host's namespace would outlive the test.
  if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/1/ns/mnt)" ]; then
    echo "not in a private mount namespace: run package_test.sh" >&2; return 1
  fi
  local layers=$BATS_FILE_TMPDIR/layers
  export ROOT=$BATS_FILE_TMPDIR/root UPPER=$layers/upper
  mkdir "$ROOT" "$layers" && mount -t tmpfs tmpfs "$layers" && mkdir "$UPPER" "$layers/work"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$UPPER,workdir=$layers/work" "$ROOT"
  mount -t proc proc "$ROOT/proc"
  # Device nodes of its own instead of the host's /dev, which a recursive
  # removal of the temporary directory could otherwise reach.
  local node
  for node in null:3 zero:5 random:8 urandom:9; do
    rm -f "$ROOT/dev/${node%:*}"; mknod -m 666 "$ROOT/dev/${node%:*}" c 1 "${node#*:}"
  done
  # man-db would rebuild its index on every install.
  rm -f "$ROOT/var/lib/man-db/auto-update"
  cp "$DORQ_DEB" "$ROOT/tmp/dorq.deb"; in_root dpkg -i /tmp/dorq.deb
  in_root useradd --no-create-home "$job_user"
  printf '%s:%s\n' "$job_user" "$job_password" | in_root chpasswd
  in_root useradd --system --no-create-home --groups dorq "$scheduler"
}
teardown_file() { umount -R -l "$ROOT" "$BATS_FILE_TMPDIR/layers"; }
@test "dpkg -i makes dorq set-user-ID root for a new system group dorq, with its PAM service" {
  [ "$(in_root stat -c '%U %G %a' /usr/libexec/dorq/dorq)" = "root dorq 4750" ]
  [ "$(in_root dpkg-statoverride --list /usr/libexec/dorq/dorq)" = "root dorq 4750 /usr/libexec/dorq/dorq" ]
  [ "$(in_root getent group dorq | cut -d: -f3)" -lt 1000 ]
  cmp "$ROOT/etc/pam.d/dorq" "$BATS_TEST_DIRNAME/../../debian/dorq.pam"
  in_root dpkg-query -W -f='${Conffiles}\n' dorq | grep -q '^ /etc/pam.d/dorq '
}
@test "a request through the installed dorq runs the job as the user" {
  printf '%s\n%s\n2\n/usr/bin/id\n0\n' "$job_user" "$job_password" | as_scheduler /usr/libexec/dorq/dorq >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err"
  # The status word 0, which the job's first output may come before.
  [ "$(tr -cd '\0' <"$BATS_TEST_TMPDIR/out" | wc -c)" -eq 1 ]
  tr -d '\0' <"$BATS_TEST_TMPDIR/out" | grep -qx "uid=[0-9]*($job_user) gid=.*"
  [ ! -s "$BATS_TEST_TMPDIR/err" ]
}
# With "su" closed to all but root, as an administrator may close it, the
# service dorq alone decides. pam_faillock's authsucc clears the count, so a
# count back at 0 shows that the right password went through the whole stack.
@test "the dorq service counts a wrong password and accepts the right one" {
  sed -i '/pam_rootok.so/a auth requisite pam_deny.so' "$ROOT/etc/pam.d/su"
  request() { printf '%s\n%s\n0\n/bin/true\n0\n' "$job_user" "$1" | as_scheduler /usr/libexec/dorq/dorq >/dev/null 2>&1; }
  failures() { in_root faillock --user "$job_user" | grep -c ' V$' || true; }
  run request 'not the password'; [ "$status" -eq 7 ]; [ "$(failures)" -eq 1 ]
  run request "$job_password"; [ "$status" -eq 0 ]; [ "$(failures)" -eq 0 ]
}
@test "the installed client runs a job, and the client and manual pages show the package's version" {
  printf '%s\n' "$job_password" | as_scheduler dorq-client "$job_user" /usr/bin/id -un >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err"
  [ "$(cat "$BATS_TEST_TMPDIR/out")" = "$job_user" ]
  grep -qx 'dorq-client: started, pid [0-9]*, exit status 0' "$BATS_TEST_TMPDIR/err"
  local version; version=$(in_root dpkg-query -W -f='${Version}' dorq)
  [ "$(in_root dorq-client --version)" = "dorq-client $version" ]
  for page in man8/dorq.8 man1/dorq-client.1; do
    zcat "$ROOT/usr/share/man/$page.gz" | grep -q "^\.TH .* \"dorq $version\""
  done
}
@test "an administrator's own statoverride survives an upgrade" {
  in_root groupadd --system pkgother
  in_root dpkg-statoverride --update --force-statoverride-add --add root pkgother 4710 /usr/libexec/dorq/dorq
  in_root dpkg -i /tmp/dorq.deb
  [ "$(in_root stat -c '%U %G %a' /usr/libexec/dorq/dorq)" = "root pkgother 4710" ]
}
@test "dpkg --purge leaves nothing of the package but the group" {
  rm "$ROOT/tmp/dorq.deb"; in_root dpkg --purge dorq
  run ! in_root dpkg-query -W dorq
  run ! in_root dpkg-statoverride --list /usr/libexec/dorq/dorq
  in_root getent group dorq
  # Every file written to the root since the overlay was mounted is in the
  # upper layer; the devices 0/0 there are whiteouts, marks of removals.
  [ -z "$(find "$UPPER" -name '*dorq*' ! -type c)" ]
}
