#!/usr/bin/env bash
# The real program on a FUSE target (bindfs over a scratch folder), whose
# file system refuses a rename that must not replace: the dry run, the
# install, a second run, an update and the verify agree, and a replaced
# file keeps its mode and group. Skipped (77) where FUSE cannot be mounted.
#   fuse_test.sh SETUP_BINARY DPKPACK_BINARY
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8
SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
if ! command -v bindfs > /dev/null || [ ! -w /dev/fuse ]; then
  echo "skipped: bindfs or /dev/fuse is not available here"
  exit 77
fi
WORK=$(mktemp -d /tmp/setup-fuse-XXXXXX)
MNT=$WORK/mnt
trap 'fusermount3 -u "$MNT" 2>/dev/null || umount "$MNT" 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir -p "$WORK/back" "$MNT" "$WORK/src/t" "$WORK/pkg" "$WORK/home"
if ! bindfs "$WORK/back" "$MNT" 2>/dev/null; then
  echo "skipped: bindfs cannot mount here"
  exit 77
fi
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
export HOME=$WORK/home TMPDIR=$WORK
for i in 1 2 3; do echo "member $i" > "$WORK/src/t/m$i.cfg"; done
touch -d @1700000001 "$WORK/src/t/"*
"$DPKPACK" -o "$WORK/pkg/kxq5.dpk" -l en -p P -v V "$WORK/src" > /dev/null
run() { (cd "$WORK/pkg" && exec "$SETUP" usecwd "$@" "-D$MNT/t") 2> "$WORK/err" | tee "$WORK/out" | tail -n 1; }

# Each step: the options, then the summary line it must print.
while IFS='|' read -r what options want; do
  [ -n "$what" ] || continue
  case $what in
    update) # an older copy an administrator gave another mode and group
      touch -d @1600000000 "$MNT/t/t/m2.cfg"
      chmod 0604 "$MNT/t/t/m2.cfg"
      chgrp 4242 "$MNT/t/t/m2.cfg" ;;
    repair) # an edited member of another mode and group, and one deleted
      echo edited >> "$MNT/t/t/m1.cfg"
      chmod 0604 "$MNT/t/t/m1.cfg"
      chgrp 4242 "$MNT/t/t/m1.cfg"
      rm "$MNT/t/t/m3.cfg" ;;
  esac
  # shellcheck disable=SC2086
  got=$(run $options)
  [ "$got" = "setup: $want target=$MNT/t" ] || fail "$what: $got ($(cat "$WORK/err"))"
done <<'STEPS'
dry run|-N|result=would-install copied=3 up-to-date=0 registration=would-change signature=none
install|-S|result=installed copied=3 up-to-date=0 signature=none
again|-S|result=installed copied=0 up-to-date=3 signature=none
update|-S|result=installed copied=1 up-to-date=2 signature=none
verify|-V|result=verified ok=3 missing=0 modified=0 outdated=0 registered=yes signature=none
repair|-R|result=repaired restored=1 replaced=1 kept-beside=1 up-to-date=1 registration=unchanged signature=none
STEPS
[ "$(stat -c '%a %g' "$WORK/back/t/t/m2.cfg")" = "604 4242" ] ||
  fail "the replaced file lost its mode or group: $(stat -c '%a %g' "$WORK/back/t/t/m2.cfg")"
[ "$(cat "$WORK/back/t/t/m2.cfg")" = "member 2" ] || fail "the update did not replace m2.cfg"
[ "$(stat -c '%a %g' "$WORK/back/t/t/m1.cfg")" = "604 4242" ] ||
  fail "the repaired file lost its mode or group: $(stat -c '%a %g' "$WORK/back/t/t/m1.cfg")"
[ "$(cat "$WORK/back/t/t/m1.cfg")" = "member 1" ] && [ "$(cat "$WORK/back/t/t/m3.cfg")" = "member 3" ] ||
  fail "the repair did not put the package's files back"
# The remove takes the package's files and leaves the edited copy.
got=$(run -U)
[ "$got" = "setup: result=kept-modified removed=3 kept=1 registration=removed signature=none target=$MNT/t" ] ||
  fail "remove: $got ($(cat "$WORK/out" "$WORK/err"))"
[ "$(cd "$WORK/back/t" && find . -type f)" = "./t/m1.cfg.kxq5-modified" ] ||
  fail "remove left: $(cd "$WORK/back/t" && find . -type f)"
leftovers=$(find "$WORK/back" -name '.q5stp-*' ! -name '*-lock')
[ -z "$leftovers" ] || fail "the run left: $leftovers"
exit $FAILED
