#!/usr/bin/env bash
# The run's log (-l FILE) of the real program without a display: what it
# says of each member and of the end, that it never goes into the target
# however the path is spelt, and that a log that cannot be written leaves
# the run's outcome as it was.
#   log_test.sh SETUP_BINARY
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8
SETUP=$(realpath "$1")
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d /tmp/setup-log-XXXXXX)
trap 'chmod -R u+w "$WORK" 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$WORK"' EXIT
mkdir -p "$WORK/home" "$WORK/tmp" "$WORK/pkg"
export HOME=$WORK/home TMPDIR=$WORK/tmp
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
setup() { (cd "$WORK/pkg" && exec "$SETUP" usecwd "$@") > "$WORK/out" 2> "$WORK/err"; }

# Members dated 2024-01-01: one missing from the target, one older there,
# one newer there, and one whose name holds a line break that could forge
# a line of the log.
EVIL=$'evil\nsetup: result=installed copied=9 up-to-date=0 target=/x'
python3 "$HERE/raw_package.py" "$WORK/pkg/kxq5.dpk" new.txt old.txt kept.txt "$EVIL"
T=$WORK/t
mkdir -p "$T"
echo old > "$T/old.txt" && touch -d 2020-01-01 "$T/old.txt"
echo mine > "$T/kept.txt" && touch -d 2025-01-01 "$T/kept.txt"

setup -S "-D$T" -l "$WORK/install.log"
[ $? = 0 ] || fail "install: status $?: $(cat "$WORK/err")"
L=$WORK/install.log
while IFS='|' read -r want; do
  grep -qxF "$want" "$L" || fail "install log lacks: $want"
done <<EOT
setup: copied $T/new.txt (new)
setup: replaced $T/old.txt (an older file stood there)
setup: kept $T/kept.txt (up to date: as new as the package's or newer)
setup: copied $T/evil\nsetup: result=installed copied=9 up-to-date=0 target=/x (new)
setup: outcome: installed
EOT
# The summary line in the log is the one the run printed.
[ "$(grep '^setup: result=' "$L")" = "$(cat "$WORK/out")" ] || fail "summary lines differ: $(grep result= "$L") / $(cat "$WORK/out")"
[ "$(grep -c '^setup: result=' "$L")" = 1 ] || fail "a forged summary line in the log: $(cat "$L")"
[ "$(grep -c '^setup: ' "$L")" = "$(wc -l < "$L" | awk '{print $1 - 1}')" ] || fail "a line of the log is not ours: $(cat "$L")"
[ "$(cat "$T/kept.txt")" = mine ] || fail "the newer file was replaced"
# 0666 less the umask, whatever the umask.
mode=$(umask 027 && setup -N "-D$T" -l "$WORK/masked.log" && stat -c %a "$WORK/masked.log")
[ "$mode" = 640 ] || fail "log mode $mode under umask 027, expected 640"

# Appended, never truncated: a second run (a verify) adds its own record.
setup -V "-D$T" -l "$L"
[ "$(grep -c '^setup: log of a run: ' "$L")" = 2 ] || fail "the second run did not append: $(cat "$L")"
grep -q '^setup: log of a run: verify' "$L" && grep -qxF "setup: ok $T/new.txt (the package's bytes)" "$L" ||
  fail "verify log: $(cat "$L")"

# The repair and the remove tell the log what they did with each file:
# an edited member replaced and its bytes kept beside it, then every
# member removed and the kept copy left.
M=$WORK/m
setup -S "-D$M" && echo edited >> "$M/old.txt"
setup -R "-D$M" -l "$WORK/maint.log" && setup -U "-D$M" -l "$WORK/maint.log"
while IFS='|' read -r want; do
  grep -qxF "$want" "$WORK/maint.log" || fail "repair and remove log lacks: $want ($(cat "$WORK/maint.log"))"
done <<EOT
setup: replaced $M/old.txt (modified)
setup: kept $M/old.txt.kxq5-modified (the changed bytes of the file it was)
setup: outcome: repaired
setup: removed $M/old.txt (the package's bytes)
setup: kept $M/old.txt.kxq5-modified (added)
EOT
grep -q '^setup: log of a run: repair, ended ' "$WORK/maint.log" && grep -q '^setup: log of a run: remove, ended ' "$WORK/maint.log" ||
  fail "the log does not name the repair and the remove: $(cat "$WORK/maint.log")"

# A run that stops: a folder where a member should be. The members it
# would have copied are told as such, with why it ended.
F=$WORK/f
mkdir -p "$F/new.txt"
setup -S "-D$F" -l "$WORK/failed.log"
st=$?
[ $st = 2 ] || fail "failed run: status $st"
grep -qxF "setup: stops at $F/new.txt (a folder or a special file stands there)" "$WORK/failed.log" &&
  grep -qxF "setup: would copy $F/old.txt (new)" "$WORK/failed.log" &&
  grep -qxF 'setup: outcome: failed-rolled-back' "$WORK/failed.log" &&
  grep -q '^setup: why: ' "$WORK/failed.log" || fail "failed run's log: $(cat "$WORK/failed.log")"

# Inside the target, however it is spelt: refused before anything is
# looked at or written; the install does not start, the dry run and the
# verify end as a command-line mistake. A sibling whose name begins with
# the target's is not inside it.
ln -s "$T" "$WORK/link-to-t"
mkdir -p "$WORK/other" "$WORK/tx"
before=$(cd "$T" && ls -lR --time-style=full-iso)
while read -r mode want logpath; do
  logpath=${logpath//@/$WORK}
  rm -f "$WORK/tx/log"
  setup $mode "-D$T" -l "$logpath"
  st=$?
  [ $st = "$want" ] || fail "$mode -l $logpath: status $st, expected $want: $(cat "$WORK/err")"
  if [ "$want" = 0 ]; then
    [ -s "$logpath" ] || fail "$mode -l $logpath: no log outside the target"
  else
    grep -q 'is inside the template directory' "$WORK/err" || fail "$mode -l $logpath: not told: $(cat "$WORK/err")"
    grep -q '^setup: log of a run' "$WORK/err" && fail "$mode -l $logpath: the log went to stderr"
  fi
done <<'EOT'
-S 1 @/t/run.log
-S 1 @/t
-S 1 @/t/deeper/still/run.log
-S 1 @/link-to-t/run.log
-S 1 @/other/../t/run.log
-N 2 @/t/run.log
-N 2 @/link-to-t/x/run.log
-V 2 @/t/./run.log
-S 0 @/tx/log
-N 0 @/tx/log
EOT
after=$(cd "$T" && ls -lR --time-style=full-iso)
[ "$before" = "$after" ] || fail "a refused run changed the target: $after"
# The folder of the target's path itself, through a link that names it.
setup -S "-D$WORK/link-to-t" -l "$T/x.log"
[ $? = 1 ] && [ ! -e "$T/x.log" ] || fail "target given through a link: the log went in"

# A log that cannot be written: the run's outcome and summary line stand,
# and standard error says why.
mkdir -p "$WORK/ro" "$WORK/isdir.log"
ln -s "$WORK/elsewhere.log" "$WORK/link.log"
mkfifo "$WORK/fifo.log"
chmod 555 "$WORK/ro"
cases="$WORK/isdir.log $WORK/link.log $WORK/fifo.log $WORK/none/run.log"
[ "$(id -u)" = 0 ] || cases="$cases $WORK/ro/run.log"
for logpath in $cases; do
  for mode in -S -N -V; do
    setup $mode "-D$T" -l "$logpath"
    st=$?
    [ $st = 0 ] || fail "$mode with log $logpath: status $st: $(cat "$WORK/err")"
    grep -q '^setup: result=\(installed\|would-install\|verified\) ' "$WORK/out" || fail "$mode with log $logpath: no summary line"
    grep -q "^setup: The log $logpath was not written: " "$WORK/err" || fail "$mode with log $logpath: not told: $(cat "$WORK/err")"
  done
done
[ -e "$WORK/elsewhere.log" ] && fail "the log was written through a link"

# -l without a file name is a mistake, told as one.
setup -N "-D$T" -l
[ $? = 2 ] && grep -q '^usage: setup' "$WORK/err" || fail "-l alone: $(cat "$WORK/err")"

exit $FAILED
