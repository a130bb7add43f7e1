#!/usr/bin/env bash
# The example scheduler unit as the build configured it: its [Service] delegates the cgroups below
# its own, runs as an account other than root in dorq's group, names dorq where the build installs
# it, and keeps every setting out that would stop a set-user-ID program from becoming root. Then,
# where systemd-analyze is installed, `systemd-analyze verify` of a copy that starts /bin/true
# instead of the scheduler, with the manual page as built, must say nothing.
#   check_unit.sh UNIT PROGRAM GROUP MANPAGE
set -euo pipefail
unit=$1 program=$2 group=$3 manpage=$4 status=0
fail() { echo "$unit: $*"; status=1; }
# service KEY: the values of KEY in [Service], one a line.
service() { awk -v key="$1" '/^\[/ { in_service = $0 == "[Service]" }
  in_service && index($0, key "=") == 1 { print substr($0, length(key) + 2) }' "$unit"; }

[ "$(service Delegate)" = yes ] || fail "Delegate= is '$(service Delegate)', not yes"
user=$(service User)
[ -n "$user" ] && [ "$user" != root ] && [ "$user" != 0 ] || fail "User= is '$user': the scheduler's own account"
[[ " $(service SupplementaryGroups | xargs) $(service Group) " == *" $group "* ]] ||
  fail "neither SupplementaryGroups= nor Group= names $group"
service ExecStartPre | grep -qxF "/usr/bin/test -x $program" || fail "no ExecStartPre= that tests $program"
[ -n "$(service ExecStart)" ] || fail "no ExecStart="
case $(service KillMode) in '' | control-group) ;; *) fail "KillMode=$(service KillMode) leaves jobs behind" ;; esac
# NoNewPrivileges=, and what implies it for a service with User= (systemd.exec(5)).
for key in NoNewPrivileges SystemCallFilter SystemCallArchitectures RestrictAddressFamilies \
  RestrictNamespaces PrivateDevices ProtectKernelTunables ProtectKernelModules ProtectKernelLogs \
  ProtectClock MemoryDenyWriteExecute RestrictRealtime RestrictSUIDSGID DynamicUser LockPersonality; do
  [ -z "$(service $key)" ] || fail "$key= keeps set-user-ID dorq from becoming root"
done

if command -v systemd-analyze > /dev/null; then
  work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/man/man8"; cp "$manpage" "$work/man/man8/"
  sed 's|^ExecStart=.*|ExecStart=/bin/true|' "$unit" > "$work/scheduler.service"
  # It exits 0 after a key it does not know or a value it cannot parse: any word of it fails.
  if out=$(MANPATH=$work/man systemd-analyze verify "$work/scheduler.service" 2>&1) && [ -z "$out" ]; then
    echo "systemd-analyze verify: no complaint"
  else
    fail "systemd-analyze verify: $out"
  fi
else
  echo "systemd-analyze is not installed: the keys alone were checked"
fi
[ $status = 0 ] && echo "$unit: clean"
exit $status
