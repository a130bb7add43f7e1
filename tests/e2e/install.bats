# `cmake --install` of this build tree into throw-away prefixes, as root and without root's rights.
load helper
program=$DORQ_LIBEXECDIR/dorq/dorq
@test "as root: owner root, the configured group, mode 4750, and the manual page" {
  getent group "$DORQ_GROUP" > /dev/null || echo "$DORQ_GROUP:x:23090:" >> "$W/group"
  capture "$DORQ_CMAKE" --install "$DORQ_BUILD" --prefix "$T/prefix" > out 2> err < /dev/null
  [ "$(cat rc)" = 0 ]; not grep Warning err
  [ "$(stat -c %U:%G:%a "prefix/$program")" = "root:$DORQ_GROUP:4750" ]
  cmp "prefix/$DORQ_MANDIR/man8/dorq.8" "$DORQ_BUILD/docs/dorq.8"
}
# The installer owns its staging tree, and a manifest of its own: the build tree is root's.
@test "without root's rights: completes and names the commands for root, chown before chmod" {
  install -d -o nobody stage; install -m 0666 /dev/null manifest
  touch "$DORQ_BUILD/install_manifest.txt"; over manifest "$DORQ_BUILD/install_manifest.txt"
  E=(DESTDIR=$T/stage) AS=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  capture sched "$DORQ_CMAKE" --install "$DORQ_BUILD" --prefix /usr/local > out 2> err < /dev/null
  [ "$(cat rc)" = 0 ]; [ "$(stat -c %U:%a "stage/usr/local/$program")" = nobody:4750 ]
  [ "$(grep -E '^ +(chown|chmod) ' err | xargs)" = "chown root:$DORQ_GROUP $T/stage/usr/local/$program chmod 4750 $T/stage/usr/local/$program" ]
}
