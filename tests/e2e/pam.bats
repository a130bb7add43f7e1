# The PAM policy: the attempt with "su", then with "dorq", against real modules (or a stand-in libpam), each
# result as traced, and the run's outcome. Only PAM_SUCCESS runs the job; no trace line holds the password.
# (The pause after a plain failure: tests/app/authentication/auth_test.cpp.)
load helper
TEXT="auth optional pam_echo.so text"$'\n'"$UNIX" # pam_unix after a module that only shows a text
OTHER="auth required $HELPERS/pam_dorq_keepfd.so user=dqother"$'\n'"account required pam_permit.so"
# debug AUTH [ACCT [CRED]]: a service answering exactly these pam_debug values.
debug() { printf 'auth requisite pam_debug.so auth=%s cred=%s\naccount requisite pam_debug.so acct=%s' "$1" "${3-success}" "${2-success}"; }
# policy SU DORQ ATTEMPTS WORDS FRAME RC [PASSWORD [USER]]: the services, then a request from USER (dqjob)
# with PASSWORD (the right one) for a job that makes the file ran; every trace line goes to the file.
policy() {
  service su "$1"; service dorq "$2"
  req "${8-dqjob}" "${7-$JOBPW}" 2 /usr/bin/touch "$T/ran" | dq -trcfile "$T/t" -trclvl 0xFFFA
  check "$4" "$5" "$6"; not grep -qF "${7-$JOBPW}" dorq_*.trc
  [ "$(grep -o 'sdorqPAMAuth)Exit with status .*' dorq_*.trc | cut -d' ' -f4 | xargs)" = "$3" ]
  [ "$(ls ran 2> /dev/null)" = "$([ "$6" != 0 ] || echo ran)" ]
}
@test "su accepts: no second attempt" { policy "$UNIX" "$DENY" 0 00 "" 0; }
@test "su: a wrong password is 7, and dorq may accept" { policy "$UNIX" "$PERMIT" "7 0" 00 "" 0 "Wrong-Pw 1"; }
@test "su: an unknown user is 1" { policy "$UNIX" "$PERMIT" "1 0" "0a 00" 7 7 "Any-Pw 2" dqnobody; }
@test "su: authentication with permission denied is 6" { policy "$(debug perm_denied)" "$PERMIT" "6 0" 00 "" 0; }
@test "su: an account check with permission denied is 6" { policy "$(debug success perm_denied)" "$PERMIT" "6 0" 00 "" 0; }
@test "su: an expired account is 1" { policy "$(debug success acct_expired)" "$PERMIT" "1 0" 00 "" 0; }
@test "su: failing credentials are 1" { policy "$(debug success success cred_err)" "$PERMIT" "1 0" 00 "" 0; }
@test "su fails otherwise, and dorq's pam_unix accepts" { policy "$(debug system_err)" "$UNIX" "1 0" 00 "" 0; }
@test "su denies, and dorq accepts after showing text the password does not answer" { policy "$DENY" "$TEXT" "7 0" 00 "" 0; }
@test "su denies permission and dorq refuses the password: 21 at once" {
  policy "$(debug perm_denied)" "$(debug auth_err)" "6 7" 15 21 21; [ -s /var/lib/dorq/faillock/dqjob ] # counted
}
@test "both refuse the password: 7" { policy "$UNIX" "$UNIX" "7 7" 07 7 7 "Wrong-Pw 3"; }
@test "a wrong password after text is not shown either" { policy "$DENY" "$TEXT" "7 7" 07 7 7 "Wrong-Pw 777"; }
@test "su denies permission and dorq fails otherwise: 7" { policy "$(debug perm_denied)" "$(debug system_err)" "6 1" 07 7 7; }
@test "su refuses the password and dorq denies permission: 7" { policy "$(debug auth_err)" "$(debug perm_denied)" "7 6" 07 7 7; }
# A module made another user PAM's: refused, and "su" doing so leaves "dorq" unasked.
@test "su authenticates another PAM user: 3, and 7 at once" { policy "$OTHER" "$PERMIT" 3 07 7 7; }
@test "dorq authenticates another PAM user: 3, and 7" { policy "$DENY" "$OTHER" "7 3" 07 7 7; }
# A program that tested for failure instead of success would run these jobs.
@test "an incomplete su and a new password required by dorq: 7" {
  policy "$(debug incomplete)" "$(debug success new_authtok_reqd)" "1 1" 07 7 7 "Pw 1"
}
@test "su only ignoring (permission denied, 6) and failing credentials of dorq: 7" {
  policy "$(debug ignore)" "$(debug success success cred_err)" "6 1" 07 7 7 "Pw 2"
}
@test "not set-user-ID: 5, and no PAM library loaded" {
  job 2 /bin/true | BIN=dorq-plain dq -trcfile "$T/t" -trclvl 0x1A
  check 05 5 5; grep -q 'Dorq has not been setup, euid 23001' dorq_*.trc; not grep -q Trying dorq_*.trc
}
# What the loader finds: only libpam.so.0 (a whiteout hides libpam.so), or a stand-in.
libpam() { readlink -f /usr/lib/x86_64-linux-gnu/libpam.so.0; }
@test "only libpam.so.0 is there: the attempt goes on with it" {
  mkdir up work; mknod up/libpam.so c 0 0
  for dir in $(readlink -f /{usr/,}lib/x86_64-linux-gnu | sort -u); do
    mount -t overlay overlay -o lowerdir=$dir,upperdir=up,workdir=work $dir; echo $dir >> mounts
  done
  policy "$PERMIT" "$DENY" 0 00 "" 0; grep -q 'No libpam.so available' dorq_*.trc
}
@test "a libpam without pam_setcred: 1, and pam_start is never called" {
  over "$HELPERS/libdorq_fake_pam_no_setcred.so" "$(libpam)"; E=(DORQ_FAKE_PAM_LOG=$T/calls)
  policy "$PERMIT" "$PERMIT" "1 1" 07 7 7; grep -q 'while retrieving pam_setcred' dorq_*.trc; [ ! -e calls ]
}
@test "pam_end failing after a successful transaction: 1" {
  over "$HELPERS/libdorq_fake_pam_end_fails.so" "$(libpam)"; E=(DORQ_FAKE_PAM_LOG=$T/calls)
  policy "$PERMIT" "$PERMIT" "1 1" 07 7 7
  printf 'pam_start %s dqjob 1\npam_authenticate handle 1\npam_acct_mgmt handle 1\npam_setcred handle 0\npam_get_item handle 2\npam_end handle 0\n' \
    su dorq | cmp - calls
}
# A job of root's reads dorq's memory map: no PAM library or module is left.
@test "libpam is released after each attempt" {
  for su in "$PERMIT" "$DENY"; do
    service su "$su"; service dorq "$PERMIT"
    req root any 2 /bin/sh -c '! grep -e libpam -e pam_ /proc/$PPID/maps' | dq; check 00 "" 0
  done
}
