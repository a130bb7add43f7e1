# Tracing as the caller sees it: options, level, sinks, line header, the trace file's name, creation, refusals.
load helper
# notes WORD...: the level notes of the option parsing of dorq run with WORD.
notes() { dq "$@" < /dev/null; grep -o 'Tracing set to level .*' err | cut -d' ' -f5 | xargs; }
@test "options: levels scanned as C does with %i, no number changes nothing, other words skipped, in order, last wins" {
  [ "$(notes -trclvl 0x39)" = 57 ]; [ "$(notes -trclvl 011)" = 9 ]; [ "$(notes -trclvl ' -7junk')" = -7 ]
  [ "$(notes -trclvl 9 -trclvl abc)" = "9 9" ]; [ "$(notes junk -trclvl 9 -TRCLVL 4 -trclvl 25)" = "9 25" ]
  dq -trclvl 9 -trcfile "$T/a_1/x_2_y" -trcfile "$T/b/x" < /dev/null
  [ "$(grep -o 'file .*' err | sed 's/[0-9]*.trc$//' | xargs)" = "file $T/a_1/x_dorq_ file $T/b/dorq_" ]
}
@test "an option word last, without its value: 20" {
  for word in -trcfile -trclvl -childpidfile; do dq -trcfile "$T/x" $word < /dev/null; check "" 20 20; done
}
# dorq is looked at while it waits to write its answer into a full pipe.
@test "--version and --help alone: on standard output, exit 0, standard input untouched, privileges dropped" {
  [[ "$(echo rest | { sched "$W/bin/dorq" --version; cat; } | xargs)" =~ ^dorq\ [0-9]+\.[0-9]+\.[0-9]+\ rest$ ]]
  dq --help < /dev/null; [ "$(cat rc)" = 0 ]; [ ! -s err ]; grep -q '^usage: dorq ' out
  mkfifo pipe; exec 8<> pipe; head -c 65536 /dev/zero >&8
  sched "$W/bin/dorq" --help >&8 & local pid
  for _ in $(seq 100); do pid=$(pgrep -f -x "$W/bin/dorq --help") && break; sleep 0.05; done
  sleep 0.1; grep -E '^(Uid|Gid):' /proc/$pid/status | cut -f2- | xargs > ids; head -c 65536 <&8 > /dev/null; wait
  [ "$(cat ids)" = "$(echo 23001{,,,,,,,})" ]
}
# A name of up to 4070 characters fits the 4096-byte path with "dorq_<pid>.trc".
@test "a -trcfile value of 4071 characters leaves the trace file off" {
  printf -v long "%4070s" ""; long=$T/${long:${#T}+1}
  job 2 /bin/true | dq -trcfile "$long" -trclvl 0x0A; check 00 "" 0; [ -s dorq_*.trc ]
  job 2 /bin/true | dq -trcfile "${long}x" -trclvl 0x0A; check "" 20 20
  job 2 /bin/true | dq -trcfile "${long}x" -trclvl 0x08; check 00 "" 0
}
# Sinks: 1 standard error, 2 the file, 4 standard output; categories from 8 up.
@test "a sink and a category are both needed" { for l in 1 8 5; do job 2 /bin/true | dq -trclvl $l; check 00 "" 0; done; }
@test "each category bit brings its own lines, each sink bit its own sink" {
  job 2 /bin/true | dq -trclvl 9
  grep -q 'sdorqAuthenticateUser)Enter$' err; not grep -qE 'Trying|Openning' err; [ "$(cat out)" = "" ]
  job 2 /bin/true | dq -trclvl 0x3A -trcfile "$T/t" -childpidfile "$T/pid"
  grep -q 'Enter$' dorq_*.trc; grep -q 'Trying' dorq_*.trc; grep -q 'Openning' dorq_*.trc; check 00 "" 0
  job 2 /bin/true | dq -trclvl 0x44  # 64: no lines but the option notes
  [ "$(tr -d '\0' < out | cut -d' ' -f5-)" = "dorq:43(dorqParseArgs)Tracing set to level 68" ]
}
# One time stamp, in the system's local time whatever the caller's TZ, for all sinks.
@test "the same line in every sink, headed with the local time, the pid, the unit, the line and the function" {
  PRE=(unshare -p -f) E=(TZ=XYZ-5:30) # dorq runs as pid 1 of a PID namespace
  before=$(date '+%m-%d %H:%M'); job 2 /bin/true | dq -trcfile "$T/t" -trclvl 0x0F
  after=$(date '+%m-%d %H:%M')
  cmp err dorq_1.trc; printf '\0' | cat dorq_1.trc - | cmp - out
  not grep -vE '^SCHED [0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} 1 s?dorq:[0-9]+\([a-zA-Z]+\)' err
  minute=$(cut -c 7-17 err | sort -u); [[ $minute == "$before" || $minute == "$after" ]]
}
# trcname VALUE NAME: -trcfile VALUE gives the trace file NAME, with @ for the pid.
trcname() {
  job 2 /bin/true | dq -trcfile "$1" -trclvl 0x0A
  local files=("${2%%@*}"*) && [ "${files[*]}" = "${2/@/$(head -1 "$files" | cut -d' ' -f4)}" ] && rm "$files"
}
@test "the part after the last / or the last-but-one underscore becomes dorq_<pid>.trc" {
  mkdir -p d/a_b && chown -R 23001 d; trcname "$T/d/run_worker_12.trc" "$T/d/run_dorq_@.trc"; trcname "$T/d/a_b/c" "$T/d/a_b/dorq_@.trc"
  trcname "$T/d/" "$T/d/dorq_@.trc"; trcname a__b a_dorq_@.trc; trcname trace dorq_@.trc; trcname "" dorq_@.trc
}
# The directory lets the caller in only through a group /etc/group gives it.
@test "the trace file is created by the first line, as the caller with its groups, with mode 0644 less the umask" {
  { cat /etc/group; echo dqschg:x:23013:dqsched; } > "$T/group"; over "$T/group" /etc/group
  mkdir -m 0770 g; chgrp 23013 g; AS=(setpriv --reuid=23001 --regid=23001 --init-groups)
  umask 027; job 2 /bin/true | dq -trcfile "$T/g/t" -trclvl 0x0A
  [ "$(stat -c %a:%u:%g g/dorq_*.trc)" = "640:23001:23001" ]
}
# The child's lines after it took on the user's identity reach the caller's file only when the user is the caller.
@test "the trace file is appended to, by dorq and by the job's child when the file is the user's" {
  messages() { sed 's/^SCHED [^(]*([^)]*)//; s/^Job [0-9]* used .*/Job used/' dorq_1.trc; }
  PRE=(unshare -p -f); echo old > dorq_1.trc; chown 23001:23001 dorq_1.trc # dorq runs as pid 1
  job 2 /bin/true | dq -trcfile "$T/t" -trclvl 0x22 -childpidfile "$T/p"
  local spawned='Spawning the child by fork into its cgroup: execution detail is traced'
  [ "$(messages)" = $'old\nTracing set to level 34\nSending child pid to '"$T/p"$'\n'"$spawned"$'\nOpenning file '"$T/p"$'\nJob used' ]
  rm dorq_1.trc; req dqsched 'Sched-Pass 2718' 2 /bin/true | dq -trcfile "$T/t" -trclvl 0x22
  [ "$(messages)" = $'Tracing set to level 34\n'"$spawned"$'\nExecuting /bin/true\nargv[0] = /bin/true\nJob used' ]
}
# Refused lines reach standard error only, not what a link names (the caller's own file). Each row makes dorq_1.trc
# (dorq is pid 1), the last points -trcfile into a directory that is not there.
@test "a trace file that is a link, a hard link, a dangling link, a directory, a FIFO, a device or in no directory gets no line" {
  PRE=(unshare -p -f); echo keep > target; chown 23001:23001 target
  for make in 'ln -s target dorq_1.trc' 'ln target dorq_1.trc' 'ln -s missing dorq_1.trc' 'mkdir dorq_1.trc' 'mkfifo dorq_1.trc' \
    'mknod dorq_1.trc c 1 3' 'T=$T/missing'; do
    echo "row: $make"; (eval "$make"; job 2 /bin/true | dq -trcfile "$T/t" -trclvl 0x0F)
    grep -q 'Exiting with status 0' err; printf '\0' | cmp - out; [ "$(cat target)" = keep ]; [ ! -e missing ]
    rm -rf dorq_1.trc
  done
}
