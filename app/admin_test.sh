#!/usr/bin/env bash
# The dry run (-N) and the verify (-V) of the real program, checked against
# real installs of the same package:
#   admin_test.sh SETUP_BINARY DPKPACK_BINARY
# The dry run must name exactly the files the following install writes,
# with the install's counts; the verify must tell missing, outdated and
# modified files apart; and neither may write anything anywhere.
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8

SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
WORK=$(mktemp -d /tmp/setup-admin-XXXXXX)
MOUNTED=""
trap '[ -n "$MOUNTED" ] && umount "$MOUNTED"; rm -rf "$WORK"' EXIT
FAILED=0
fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

W=$WORK/world
T=$W/opt/tmplts
OLD=202001011200  # the package's member times
mkdir -p "$W/home" "$W/tmp" "$W/pkg" "$W/src/t/deep"
export HOME=$W/home TMPDIR=$W/tmp

# Runs setup usecwd ARGS in the package folder; sets STATUS, OUT, ERR.
run() {
  (cd "$W/pkg" && exec "$SETUP" usecwd "$@") > "$WORK/out" 2> "$WORK/err"
  STATUS=$?
  OUT=$(cat "$WORK/out")
  ERR=$(cat "$WORK/err")
}
summary() { tail -n 1 "$WORK/out"; }
members() { grep -v ' result=' "$WORK/out"; }
expect_status() { [ "$STATUS" = "$2" ] || fail "$1: exit status $STATUS, expected $2 (stderr: $ERR)"; }
expect_summary() { [ "$(summary)" = "$2" ] || fail "$1: summary '$(summary)', expected '$2'"; }
expect_members() { [ "$(members)" = "$2" ] || fail "$1: member lines
$(members)
expected
$2"; }

# Path, size, time, mode and content of everything below the folders given.
snapshot() {
  for d in "$@"; do
    find "$d" -printf '%p %y %s %T@ %m %l\n' | sort
    find "$d" -type f -print0 | sort -z | xargs -0 -r sha256sum
  done
}
# Runs ARGS and fails when the target, TMPDIR or HOME changed meanwhile.
run_readonly() {
  local name=$1
  shift
  local before after
  before=$(snapshot "$W/opt" "$TMPDIR" "$HOME")
  run "$@"
  after=$(snapshot "$W/opt" "$TMPDIR" "$HOME")
  [ "$before" = "$after" ] || fail "$name wrote: $(diff <(echo "$before") <(echo "$after"))"
}
pack() { "$DPKPACK" -o "$W/pkg/kxq5.dpk" "$W/src" > /dev/null; }

# The package: one member of each kind against the target below, and one
# large enough to come in many pieces.
for f in new older equal newer other; do echo "$f from the package" > "$W/src/t/$f.cfg"; done
echo "deep from the package" > "$W/src/t/deep/d.cfg"
head -c 3000000 /dev/urandom > "$W/src/t/big.bin"
find "$W/src" -type f -exec touch -t "$OLD" {} +
pack
mkdir -p "$T/t"
echo "an old copy" > "$T/t/older.cfg"
touch -t 201901010000 "$T/t/older.cfg"
cp -p "$W/src/t/equal.cfg" "$W/src/t/big.bin" "$T/t/"
cp "$W/src/t/newer.cfg" "$T/t/"
echo "edited by hand" > "$T/t/other.cfg"  # newer, other bytes: kept

# Before the install: what -N and -V say, and that they write nothing.
run_readonly "dry run" -N "-D$T"
expect_status "dry run" 0
expect_summary "dry run" "setup: result=would-install copied=3 up-to-date=4 registration=would-change signature=none target=$T"
expect_members "dry run" "$(printf 'setup: would copy %s\n' \
  "$T/t/deep/d.cfg (new)" "$T/t/new.cfg (new)" "$T/t/older.cfg (replaces an older file)" | sort)"
[ -z "$ERR" ] || fail "dry run: stderr: $ERR"
DRY=$(members | sed -e 's/^setup: would copy //' -e 's/ (.*)$//' | sort)
DRYSUMMARY=$(summary)

run_readonly "verify before" -V "-D$T"
expect_status "verify before" 5
expect_summary "verify before" "setup: result=drift ok=3 missing=2 modified=1 outdated=1 registered=no signature=none target=$T"
[ "$(members | sort)" = "$(printf '%s\n' "setup: missing $T/t/deep/d.cfg" "setup: missing $T/t/new.cfg" \
  "setup: modified $T/t/other.cfg" "setup: outdated $T/t/older.cfg" | sort)" ] ||
  fail "verify before: lines $(members)"

# Both options: the verify is done.
run_readonly "both" -N -V "-D$T"
expect_status "both" 5

# The real install writes exactly what the dry run named, with its counts.
files() { (cd "$T" && find . -type f -printf '%p %T@ %s ' -exec sh -c 'sha256sum < "$1"' sh {} \; | sort); }
BEFORE=$(files)
run -S "-D$T"
expect_status "install" 0
expect_summary "install" "$(echo "$DRYSUMMARY" | sed -e 's/would-install/installed/' -e 's/ registration=[a-z-]*//')"
AFTER=$(files)
WRITTEN=$(comm -13 <(echo "$BEFORE") <(echo "$AFTER") | awk '{print $1}' | sort -u | sed "s|^\./|$T/|")
[ "$WRITTEN" = "$DRY" ] || fail "install wrote
$WRITTEN
the dry run named
$DRY"

run_readonly "dry run after" -N "-D$T"
expect_status "dry run after" 0
expect_summary "dry run after" "setup: result=would-install copied=0 up-to-date=7 registration=unchanged signature=none target=$T"
run_readonly "verify after" -V "-D$T"
expect_status "verify after" 0
expect_summary "verify after" "setup: result=verified ok=6 missing=0 modified=1 outdated=0 registered=yes signature=none target=$T"
expect_members "verify after" "setup: modified $T/t/other.cfg"

# The default target is the launcher's first entry, as for an install.
run_readonly "verify default" -V
expect_summary "verify default" "setup: result=verified ok=6 missing=0 modified=1 outdated=0 registered=yes signature=none target=$T"

# Drift made by hand: a byte changed deep in the large file with its time
# kept, a file deleted, one made older.
python3 -c "import sys; p=sys.argv[1]; b=bytearray(open(p,'rb').read()); b[2500000]^=1; open(p,'r+b').write(b)" "$T/t/big.bin"
touch -t "$OLD" "$T/t/big.bin"
rm "$T/t/new.cfg"
touch -t 201901010000 "$T/t/equal.cfg"
run_readonly "verify drift" -V "-D$T"
expect_status "verify drift" 5
expect_summary "verify drift" "setup: result=drift ok=3 missing=1 modified=2 outdated=1 registered=yes signature=none target=$T"
[ "$(members | sort)" = "$(printf '%s\n' "setup: missing $T/t/new.cfg" "setup: modified $T/t/big.bin" \
  "setup: modified $T/t/other.cfg" "setup: outdated $T/t/equal.cfg" | sort)" ] ||
  fail "verify drift: lines $(members)"

# Links are never followed inside the target: a link in the way of a
# folder stops the dry run as it stops the install, with the same words,
# and the verify finds nothing behind it.
mkdir -p "$W/elsewhere"
cp -p "$T"/t/deep/d.cfg "$W/elsewhere/"
rm -r "$T/t/deep"
ln -s "$W/elsewhere" "$T/t/deep"
run_readonly "link dry run" -N "-D$T"
expect_status "link dry run" 2
[[ "$(summary)" == "setup: result=would-fail "* ]] || fail "link dry run: $(summary)"
DRYERR=$ERR
run_readonly "link verify" -V "-D$T"
echo "$OUT" | grep -qx "setup: missing $T/t/deep/d.cfg" || fail "link verify: $OUT"
run -S "-D$T"
expect_status "link install" 2
[ "$ERR" = "$DRYERR" ] || fail "link: the dry run said '$DRYERR', the install '$ERR'"
rm "$T/t/deep"
echo "in the way" > "$T/t/deep"
run_readonly "file in the way dry run" -N "-D$T"
expect_status "file in the way dry run" 2
DRYERR=$ERR
run -S "-D$T"
[ "$ERR" = "$DRYERR" ] || fail "file in the way: the dry run said '$DRYERR', the install '$ERR'"
rm "$T/t/deep"

# A folder, or a pipe, where a member goes: the same, and named.
for kind in folder pipe; do
  if [ $kind = folder ]; then mkdir "$T/t/new.cfg"; else mkfifo "$T/t/new.cfg"; fi
  run_readonly "$kind dry run" -N "-D$T"
  expect_status "$kind dry run" 2
  [[ "$ERR" == *"$T/t/new.cfg: "* ]] || fail "$kind dry run: the member is not named: $ERR"
  DRYERR=$ERR
  run_readonly "$kind verify" -V "-D$T"
  echo "$OUT" | grep -qx "setup: modified $T/t/new.cfg" || fail "$kind verify: $OUT"
  run -S "-D$T"
  [ "$ERR" = "$DRYERR" ] || fail "$kind: the dry run said '$DRYERR', the install '$ERR'"
  rm -r "$T/t/new.cfg"
done

# A target that cannot be written, and one without room. Permissions do
# not bind root, so root makes a small read-only and a small full tmpfs.
if [ "$(id -u)" = 0 ]; then
  mkdir -p "$W/small"
  if mount -t tmpfs -o size=1m tmpfs "$W/small" 2> /dev/null; then
    MOUNTED=$W/small
    run_readonly "no room" -N "-D$W/small/t"
    expect_status "no room" 2
    DRYERR=$ERR
    run -S "-D$W/small/t"
    expect_status "no room install" 2
    [ "$ERR" = "$DRYERR" ] || fail "no room: the dry run said '$DRYERR', the install '$ERR'"
    mount -o remount,ro "$W/small"
    run_readonly "read-only" -N "-D$W/small/t"
    expect_status "read-only" 2
    DRYERR=$ERR
    run -S "-D$W/small/t"
    [ "$ERR" = "$DRYERR" ] || fail "read-only: the dry run said '$DRYERR', the install '$ERR'"
    umount "$W/small" && MOUNTED=""
  else
    echo "SKIPPED: no room / read-only (tmpfs cannot be mounted)"
  fi
  # A folder the user may not write, as nobody: the same words as the install.
  mkdir -p "$W/locked"
  chmod a+x "$WORK" "$W"
  chmod -R a+rwX "$HOME" "$TMPDIR" "$W/pkg"
  nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  for option in -N -S; do
    (cd "$W/pkg" && exec "${nobody[@]}" "$SETUP" usecwd $option "-D$W/locked") > "$WORK/out" 2> "$WORK/err$option"
    STATUS=$?
    expect_status "no permission $option" 2
  done
  [ -s "$WORK/err-N" ] && cmp -s "$WORK/err-N" "$WORK/err-S" ||
    fail "no permission: the dry run said '$(cat "$WORK/err-N")', the install '$(cat "$WORK/err-S")'"
else
  mkdir -p "$W/ro"
  chmod 555 "$W/ro"
  run_readonly "read-only" -N "-D$W/ro/t"
  expect_status "read-only" 2
  echo "SKIPPED: no room (needs root for a small tmpfs)"
fi

# SIGTERM while the package is read: like any silent run, the check ends
# as cancelled and still prints its summary line. A signal that comes
# before the program has begun at all kills it (143), and one may come
# after the check is done: try another moment. A sanitized build on a busy
# machine takes a good part of a second to begin.
mkdir -p "$W/sig/src/t" "$W/sig/pkg"
head -c 100000000 /dev/urandom > "$W/sig/src/t/noise.bin"
"$DPKPACK" -o "$W/sig/pkg/kxq5.dpk" "$W/sig/src" > /dev/null
for option in -N -V; do
  signalled=0
  for delay in 0.003 0.006 0.012 0.025 0.05 0.1 0.2 0.4 0.8 1.6; do
    (cd "$W/sig/pkg" && exec "$SETUP" usecwd $option "-D$W/sig/t") > "$WORK/out" 2> "$WORK/err" &
    pid=$!
    sleep $delay
    kill -TERM "$pid" 2> /dev/null
    wait "$pid"
    STATUS=$?
    [ "$STATUS" = 143 ] && continue
    [ "$STATUS" != 3 ] && grep -q "result=would-install\|result=drift" "$WORK/out" && continue
    signalled=1
    expect_status "SIGTERM $option" 3
    # The target is named once it is known; a signal before that names none.
    case $(cat "$WORK/out") in
      "setup: result=cancelled-rolled-back copied=0 up-to-date=0 signature=none target=$W/sig/t" | \
        "setup: result=cancelled-rolled-back copied=0 up-to-date=0 signature=none target=") ;;
      *) fail "SIGTERM $option: summary line '$(cat "$WORK/out")' (stderr: $(cat "$WORK/err"))" ;;
    esac
    break
  done
  [ $signalled = 1 ] || fail "SIGTERM $option: never reached the program"
done
[ ! -e "$W/sig/t" ] || fail "SIGTERM: the target was made"
rm -rf "$W/sig"

# A damaged package: nothing is trusted, both end as a run that cannot start.
python3 -c "import sys; p=sys.argv[1]; b=bytearray(open(p,'rb').read()); b[-100]^=0x20; open(p,'wb').write(b)" "$W/pkg/kxq5.dpk"
run_readonly "damaged dry run" -N "-D$T"
expect_status "damaged dry run" 1
[ "$OUT" = "setup: result=would-fail copied=0 up-to-date=0 registration=unchanged signature=none target=$T" ] ||
  fail "damaged dry run: $OUT"
[[ "$ERR" == *corrupted* ]] || fail "damaged dry run: stderr $ERR"
run_readonly "damaged verify" -V "-D$T"
expect_status "damaged verify" 1
[ "$OUT" = "setup: result=not-started copied=0 up-to-date=0 signature=none target=$T" ] || fail "damaged verify: $OUT"

# Members "a" and "a\b": "a" would be a file and a folder at once. The
# header alone refuses the package, naming both, and nothing is written.
python3 "$(dirname "$0")/raw_package.py" "$W/pkg/kxq5.dpk" a 'a\b'
CLASH="setup: Distribution kit file kxq5.dpk corrupted or not designed for this installation program. The package's files a and a\\b cannot both be installed: they would take the same place in the template directory."
for option in -N -V; do
  run_readonly "clashing members $option" $option "-D$W/opt/clash"
  expect_status "clashing members $option" 1
  [ "$ERR" = "$CLASH" ] || fail "clashing members $option: stderr '$ERR'"
  case $option in
    -N) want="setup: result=would-fail copied=0 up-to-date=0 registration=would-change signature=none target=$W/opt/clash" ;;
    -V) want="setup: result=not-started copied=0 up-to-date=0 signature=none target=$W/opt/clash" ;;
  esac
  [ "$OUT" = "$want" ] || fail "clashing members $option: summary '$OUT', expected '$want'"
done
[ ! -e "$W/opt/clash" ] || fail "clashing members: the target was made"
"$DPKPACK" --list "$W/pkg/kxq5.dpk" > /dev/null 2> "$WORK/err"
STATUS=$?
expect_status "clashing members --list" 1
grep -qxF "dpkpack: $W/pkg/kxq5.dpk: the members a and a\\b would be one entry of the target directory" "$WORK/err" ||
  fail "clashing members --list: $(cat "$WORK/err")"

# A member name with a line break (another packer's package) cannot forge
# a line: each member is one line, the break escaped, and the summary is
# the one result line. dpkpack itself refuses to pack such a name.
python3 "$(dirname "$0")/raw_package.py" "$W/pkg/kxq5.dpk" $'b\nsetup: result=installed copied=9 up-to-date=0 target=/x' $'tab\there'
for option in -N -V; do
  run_readonly "line break in a name $option" $option "-D$W/opt/forged"
  case $option in
    -N) want="setup: would copy $W/opt/forged/b\\nsetup: result=installed copied=9 up-to-date=0 target=/x (new)
setup: would copy $W/opt/forged/tab\\there (new)" ;;
    -V) want="setup: missing $W/opt/forged/b\\nsetup: result=installed copied=9 up-to-date=0 target=/x
setup: missing $W/opt/forged/tab\\there" ;;
  esac
  [ "$(head -n -1 "$WORK/out")" = "$want" ] || fail "line break in a name $option: $OUT"
  [ "$(grep -c '^setup: result=' "$WORK/out")" = 1 ] || fail "line break in a name $option: $OUT"
done
"$DPKPACK" --list "$W/pkg/kxq5.dpk" > "$WORK/out" 2> /dev/null
grep -qE '  b\\nsetup: result=installed copied=9 up-to-date=0 target=/x$' "$WORK/out" ||
  fail "line break in a name --list: $(cat "$WORK/out")"
[ "$(wc -l < "$WORK/out")" = 6 ] || fail "line break in a name --list: $(cat "$WORK/out")"
mkdir -p "$W/src-break"
touch "$W/src-break/"$'x\ny'
"$DPKPACK" -o "$WORK/break.dpk" "$W/src-break" > /dev/null 2> "$WORK/err"
STATUS=$?
expect_status "line break in a name, packing" 1
grep -qF 'dpkpack: the member x\ny holds a control character' "$WORK/err" || fail "packing a line break: $(cat "$WORK/err")"
[ ! -e "$WORK/break.dpk" ] || fail "packing a line break: a package was written"

[ "$FAILED" = 0 ] && echo "admin: all scenarios passed"
exit "$FAILED"
