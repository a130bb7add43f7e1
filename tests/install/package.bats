#!/usr/bin/env bats
# The package from DORQ_PACKAGE_DIR installed as an administrator would, on an overlay of the
# host's root (upper layer a tmpfs) in a private mount namespace, so the host is never touched.
user=pkgjob password='pkg job password' program=/usr/libexec/dorq/dorq
bats_require_minimum_version 1.5.0
in_root() { chroot "$ROOT" "$@"; }
as_scheduler() { in_root setpriv --reuid=pkgsched --regid=pkgsched --init-groups "$@"; }
setup_file() {
  # A mount made in the host's namespace would outlive the test.
  [ "$(readlink /proc/self/ns/mnt)" != "$(readlink /proc/1/ns/mnt)" ] || return 1
  local layers=$BATS_FILE_TMPDIR/layers node
  export ROOT=$BATS_FILE_TMPDIR/root UPPER=$layers/upper
  mkdir "$ROOT" "$layers" && mount -t tmpfs tmpfs "$layers" && mkdir "$UPPER" "$layers/work"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$UPPER,workdir=$layers/work" "$ROOT"
  mount -t proc proc "$ROOT/proc"
  # Device nodes of its own: removing the temporary directory must not reach the host's /dev.
  for node in null:3 zero:5 random:8 urandom:9; do
    rm -f "$ROOT/dev/${node%:*}"; mknod -m 666 "$ROOT/dev/${node%:*}" c 1 "${node#*:}"
  done
  rm -f "$ROOT/var/lib/man-db/auto-update" # man-db would rebuild its index on every install
  cp "$DORQ_PACKAGE_DIR"/dorq_*.deb "$ROOT/tmp/dorq.deb"; in_root dpkg -i /tmp/dorq.deb
  in_root useradd --no-create-home "$user"
  printf '%s:%s\n' "$user" "$password" | in_root chpasswd
  in_root useradd --system --no-create-home --groups dorq pkgsched
}
teardown_file() { umount -R -l "$ROOT" "$BATS_FILE_TMPDIR/layers"; }
# request PASSWORD FLAGS COMMAND: a request with no arguments to the installed dorq.
request() { printf '%s\n%s\n%s\n%s\n0\n' "$user" "$@" | as_scheduler $program; }
@test "dpkg -i makes dorq set-user-ID root for a new system group dorq, with its PAM service" {
  [ "$(in_root stat -c '%U %G %a' $program)" = "root dorq 4750" ]
  [ "$(in_root dpkg-statoverride --list $program)" = "root dorq 4750 $program" ]
  [ "$(in_root getent group dorq | cut -d: -f3)" -lt 1000 ]
  cmp "$ROOT/etc/pam.d/dorq" "$BATS_TEST_DIRNAME/../../debian/dorq.pam"
  in_root dpkg-query -W -f='${Conffiles}\n' dorq | grep -q '^ /etc/pam.d/dorq '
}
# With "su" closed to all but root, as an administrator may close it, the service dorq alone decides.
# dorq counts every attempt in its own records and clears them once PAM accepts.
@test "dorq counts a wrong password, and the dorq service accepts the right one" {
  sed -i '/pam_rootok.so/a auth requisite pam_deny.so' "$ROOT/etc/pam.d/su"
  failures() { in_root faillock --dir /var/lib/dorq/faillock --user "$user" | grep -c ' V$' || true; }
  run -7 request 'not the password' 0 /bin/true; [ "$(failures)" -eq 1 ]
  run -0 request "$password" 0 /bin/true; [ "$(failures)" -eq 0 ]
}
# "started" means dorq gave the status word 0 and no frame; install.docs checks the versions shown.
@test "the installed client runs a job as the user through the installed dorq, with the manual pages" {
  run --separate-stderr -0 as_scheduler dorq-client "$user" /usr/bin/id -un <<<"$password"
  [ "$output" = "$user" ]; [[ $stderr =~ ^dorq-client:\ started,\ pid\ [0-9]+,\ exit\ status\ 0$ ]]
  [ "$(zcat "$ROOT"/usr/share/man/{man8/dorq.8,man1/dorq-client.1}.gz | grep -c '^\.TH ')" = 2 ]
  zgrep -qF "$program" "$ROOT/usr/share/man/man8/dorq.8.gz"; run -1 zgrep -q /usr/local/libexec "$ROOT/usr/share/man/man8/dorq.8.gz"
  [ -z "$(MANWIDTH=80 in_root man --warnings -l /usr/share/man/man8/dorq.8.gz 2>&1 >/dev/null)" ]
  # Every PAM file the page's FILES section names, the service's source included, is installed.
  local pam; pam=$(zcat "$ROOT/usr/share/man/man8/dorq.8.gz" |
    sed -n '/^\.SH FILES/,/^\.SH /s|^\.IR* \(/[^ ]*/pam\.d/[^ ]*\).*|\1|p')
  [[ $pam == *'/etc/pam.d/dorq'* ]]; for path in $pam; do [ -f "$ROOT$path" ]; done
}
@test "dpkg -i refuses a group dorq that is not a local system group" {
  local gid; gid=$(in_root getent group dorq | cut -d: -f3)
  in_root groupmod -g 5000 dorq
  run ! in_root dpkg -i /tmp/dorq.deb; [[ $output == *"group dorq (gid 5000) is not a local system group"* ]]
  in_root groupmod -g "$gid" dorq; in_root dpkg --configure dorq
}
@test "an administrator's own statoverride survives an upgrade" {
  in_root groupadd --system pkgother
  in_root dpkg-statoverride --update --force-statoverride-add --add root pkgother 4710 $program
  in_root dpkg -i /tmp/dorq.deb
  [ "$(in_root stat -c '%U %G %a' $program)" = "root pkgother 4710" ]
}
@test "dpkg --purge leaves nothing of the package but the group" {
  rm "$ROOT/tmp/dorq.deb"; in_root dpkg --purge dorq
  run ! in_root dpkg-query -W dorq
  run ! in_root dpkg-statoverride --list $program
  in_root getent group dorq
  # Whatever was written to the root since the mount is in the upper layer; devices 0/0 are removals.
  [ -z "$(find "$UPPER" -name '*dorq*' ! -type c)" ]
}
