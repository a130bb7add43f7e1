# Jobs in cgroups of their own: what a job starts ends with it, and what it used is logged. Each test runs dorq
# in a parent cgroup of its own below the unified hierarchy's root ($U), which it removes at the end.
load helper
U=$(findmnt -rn -t cgroup2 -o TARGET | tail -1)
# incg: the caller (so dorq) starts in the test's cgroup $CG.
incg() { CG=$U/dorq-test-$$-$BATS_TEST_NUMBER; mkdir "$CG"; PRE=(sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$CG"); }
teardown() {
  [ ! -s "$T/mounts" ] || tac "$T/mounts" | xargs -r umount -l
  [ -z "${CG-}" ] || { for d in "$CG"/*/; do [ ! -d "$d" ] || { echo 1 > "$d/cgroup.kill"; rmdir "$d"; }; done; rmdir "$CG"; }
}
# gone PID: no such process, or only its zombie; waits up to 5 seconds.
gone() { for _ in $(seq 100); do grep -qs '^State:.[^Z]' /proc/$1/status || return 0; sleep 0.05; done; false; }
# await FILE...: until each exists and is not empty.
await() { for _ in $(seq 200); do for f; do [ -s "$f" ] || { sleep 0.05; continue 2; }; done; return 0; done; false; }
DAEMON='setsid sleep 300 & echo $! > daemon'
@test "a daemon the job leaves behind ends with the job, with a kill request, and with the caller" {
  incg; job 2 /bin/sh -c "$DAEMON" | dq; check 00 "" 0; gone "$(cat daemon)"
  grep -q ' event=ended .* cgroup=dorq-job\.[0-9]*\.[0-9a-f]* orphaned=no$' audited; [ -z "$(ls -d "$CG"/*/ 2> /dev/null)" ]
  rm daemon; mkdir -m 1777 run; (job 0 /bin/sh -c "$DAEMON; exec sleep 300" | (cd run && dq -childpidfile "$T/job.pid")) &
  await run/daemon job.pid; mv run/daemon .
  job 2 kill "$(cat job.pid)" | dq; check 00 "" 0; grep -q ' reason=cgroup-killed$' audited; gone "$(cat daemon)"
  wait; (cd run; AUDIT=0 check "" 12 12)
  rm daemon job.pid; job 0 /bin/sh -c "$DAEMON; exec sleep 300" > in
  perl -e 'if (!($caller = fork)) { exec @ARGV } select(undef, undef, undef, 0.05) until -s "daemon" && -s "job.pid";
    kill "KILL", $caller; waitpid($caller, 0)' sh -c "echo \$\$ > $CG/cgroup.procs; ${AS[*]} $W/bin/dorq -childpidfile job.pid < in & wait"
  gone "$(cat daemon)"; gone "$(cat job.pid)"
}
# SIGKILL cannot be caught: the job's main process ends with dorq (its parent-death signal), the rest runs on in the
# job's cgroup, and a kill request for any of its processes ends the whole cgroup.
@test "a dorq killed by SIGKILL takes its job's main process along; a kill request ends what is left" {
  incg; mkdir -m 1777 run; (job 0 /bin/sh -c "$DAEMON; exec sleep 300" | (cd run && dq -childpidfile "$T/job.pid")) &
  await run/daemon job.pid; kill -9 "$(pgrep -o -f "^$W/bin/dorq")"; gone "$(cat job.pid)"; wait
  grep -qs '^State:.[^Z]' /proc/"$(cat run/daemon)"/status
  job 2 kill "$(cat run/daemon)" | dq; check 00 "" 0; grep -q ' reason=cgroup-killed$' audited; gone "$(cat run/daemon)"
}
# The busy grandchild is never waited for by the job, so only the cgroup's count sees its time.
@test "the CPU time a detached grandchild used is in the job's end line" {
  incg; job 2 /bin/sh -c '(setsid perl -e "1 while (times)[0] < 0.3; open(F, q(>done))" &); until [ -e done ]; do sleep 0.02; done' | dq
  check 00 "" 0; awk '/ event=ended / { for (i = 1; i <= NF; i++) if ($i ~ /^(user|system)_cpu=/) { sub(/.*=/, "", $i); t += $i } }
    END { exit !(t >= 0.3) }' audited
}
@test "a kill request cannot reach another user's job, nor can a job's user move out of its cgroup" {
  local move="echo \$\$ > $T/daemon; echo \$\$ > $CG/cgroup.procs || touch $T/refused; exec sleep 300"
  incg; mkdir -m 1777 run; (job 0 /bin/sh -c "setsid sh -c '$move' & exec sleep 300" | (cd run && dq -childpidfile "$T/job.pid")) &
  await daemon job.pid
  req dqother 'Other-Pass 1618' 2 kill "$(cat job.pid)" | dq; check "0e 0e" 14 14
  [ -e refused ]; grep -qs '^State:.[^Z]' /proc/"$(cat job.pid)"/status; grep -q "^0::/${CG#$U/}/dorq-job\." /proc/"$(cat daemon)"/cgroup
  job 2 kill "$(cat job.pid)" | dq; check 00 "" 0; wait; gone "$(cat daemon)"
}
@test "without the unified hierarchy a job runs as it always did, with no cgroup" {
  mount -t tmpfs tmpfs "$U" && echo "$U" >> "$T/mounts"
  job 2 /bin/sh -c "$DAEMON; exit 3" | dq; check 00 "" 3; grep -q ' event=ended .* cgroup=none orphaned=no$' audited
  grep -qs '^State:.[^Z]' /proc/"$(cat daemon)"/status; kill "$(cat daemon)"
}
# A tmpfs over the hierarchy's place, made to look like dorq's cgroup there (its cgroup.procs names dorq): no
# cgroup2 file system, so nothing of it is used, nor is anything made in it.
@test "a file system that only looks like the hierarchy is not taken for it" {
  local p; p=$(sed -n 's|^0::/||p' /proc/self/cgroup)
  mount -t tmpfs tmpfs "$U" && echo "$U" >> "$T/mounts" && mkdir -p "$U/$p"
  PRE=(sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$U/$p")
  job 2 /bin/sh -c "exit 3" | dq -trclvl 0x22 -trcfile "$T/t"; check 00 "" 3
  grep -q ' event=ended .* cgroup=none orphaned=no$' audited
  grep -q 'No cgroup for the job: no unified hierarchy' dorq_*.trc; [ "$(ls "$U/$p")" = cgroup.procs ]
}
# A cgroup mounted over the hierarchy's place, below which dorq's own path (P/P: incg's path now leads to $CG/P) leads
# to another cgroup: not dorq's, so the job gets none.
@test "a cgroup mounted where the hierarchy's root was is not taken for dorq's own" {
  incg; local p=${CG#$U/}; mkdir -p "$CG/$p/$p"; mount --bind "$CG" "$U"
  job 2 /bin/sh -c "exit 3" | dq; umount "$U"; rmdir "$CG/$p/$p"
  check 00 "" 3; grep -q ' event=ended .* cgroup=none orphaned=no$' audited
}
@test "the memory peak comes from the job's cgroup where its memory controller is enabled" {
  grep -qw memory "$U/cgroup.controllers" || skip "no memory controller on $U: the peak is the largest resident size the wait reports"
  skip "a job cgroup below dorq's own cannot have the memory controller: dorq's cgroup holds processes"
}
