#!/usr/bin/env bash
# Root with the HOME of another user, as sudo leaves it: an install and a
# dry run are refused before anything is written, naming the home and its
# owner; the verify still answers; root's own HOME installs as usual.
#   home_owner_test.sh SETUP_BINARY DPKPACK_BINARY
# Skipped (77) when not run as root.
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8
[ "$(id -u)" = 0 ] || { echo "SKIPPED: needs root"; exit 77; }
SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
WORK=$(mktemp -d /tmp/setup-home-XXXXXX)
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
mkdir -p "$WORK/pkg" "$WORK/src/t" "$WORK/user" "$WORK/root" "$WORK/tmp"
echo alpha > "$WORK/src/t/a.cfg"
"$DPKPACK" -o "$WORK/pkg/kxq5.dpk" -l en -p P -v V "$WORK/src" > /dev/null
chown 65534:65534 "$WORK/user"
OWNER=$(getent passwd 65534 | cut -d: -f1)
OWNER=${OWNER:-65534}
export TMPDIR=$WORK/tmp

# run HOME ARGS...: sets STATUS, OUT, ERR.
run() {
  local home=$1; shift
  (cd "$WORK/pkg" && HOME=$home exec "$SETUP" usecwd "$@") > "$WORK/out" 2> "$WORK/err"
  STATUS=$?
  OUT=$(cat "$WORK/out")
  ERR=$(cat "$WORK/err")
}

# The refusals: NAME STATUS RESULT ARGS...
refused() {
  local name=$1 status=$2 result=$3
  shift 3
  run "$WORK/user" "$@"
  [ "$STATUS" = "$status" ] || fail "$name: exit $STATUS, expected $status ($ERR)"
  echo "$OUT" | tail -n 1 | grep -q "^setup: result=$result " || fail "$name: summary '$OUT'"
  echo "$ERR" | grep -q "home directory $WORK/user belongs to the user $OWNER.*sudo -u $OWNER" ||
    fail "$name: the refusal does not say why and what to run: $ERR"
}
refused "install" 1 not-started -S
refused "install into a chosen directory" 1 not-started -S "-D$WORK/opt"
refused "dry run" 2 would-fail -N
[ -z "$(ls -A "$WORK/user")" ] || fail "the user's home got: $(ls -A "$WORK/user")"
[ ! -e "$WORK/opt" ] || fail "the chosen directory was made"

# The verify writes nothing: it answers.
run "$WORK/user" -V "-D$WORK/opt"
[ "$STATUS" = 5 ] || fail "verify: exit $STATUS, expected 5 ($ERR)"

# Root's own home: as usual, and everything root's.
run "$WORK/root" -S "-D$WORK/opt"
[ "$STATUS" = 0 ] || fail "root's own home: exit $STATUS ($ERR)"
[ "$(stat -c %u "$WORK/root/.KX/kxlaunch/kxlaunch.cfg")" = 0 ] || fail "root's own home: the file is not root's"

[ "$FAILED" = 0 ] && echo "home owner: all checks passed"
exit "$FAILED"
