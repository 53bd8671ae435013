#!/usr/bin/env bash
# The real program against another run in the same target, without a
# display: a check while a stopped install holds the target, a target
# renamed or removed under a run, a member named like a run's lock file,
# and the empty lock file of a run killed as it made it.
#   lock_test.sh SETUP_BINARY DPKPACK_BINARY
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8
SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
WORK=$(mktemp -d /tmp/setup-lock-XXXXXX)
STOPPED=""
trap '[ -n "$STOPPED" ] && kill -KILL "$STOPPED" 2>/dev/null; rm -rf "$WORK"' EXIT
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
LOCK_LINE="setup run lock"
CFG=.KX/kxlaunch/kxlaunch.cfg

# A package of many members, big enough that a run can be caught holding
# the target; and a small one whose only member is named like a dead run's
# lock file and holds its line.
mkdir -p "$WORK/big/src/t" "$WORK/named/src"
# Enough members that the run still holds the target well after its lock
# file appears, even on a machine busy with other tests: a run ends as
# soon as its outcome is posted.
N=900
for i in $(seq 1 $N); do head -c 40000 /dev/urandom > "$WORK/big/src/t/m$i.cfg"; done
"$DPKPACK" -o "$WORK/big/kxq5.dpk" -l en -p P -v V "$WORK/big/src" > /dev/null
printf '%s\n' "$LOCK_LINE" > "$WORK/named/src/.q5stp-999991-5-lock"
echo alpha > "$WORK/named/src/a.cfg"
"$DPKPACK" -o "$WORK/named/kxq5.dpk" -l en -p P -v V "$WORK/named/src" > /dev/null

fresh() {
  rm -rf "$WORK/home" "$WORK/tmp"
  mkdir -p "$WORK/home" "$WORK/tmp"
  export HOME=$WORK/home TMPDIR=$WORK/tmp
}
# setup PACKAGE_DIR ARGS...: in the package's folder.
setup() { local dir=$1; shift; (cd "$dir" && exec "$SETUP" usecwd "$@"); }

# Starts a silent install of the big package into $1 and stops it once it
# holds the target (its lock file is there), after $2 seconds more (0.08
# without it); STOPPED is its pid. A copy fast enough to end between two
# looks is undone (its folder and registration) and started again.
start_and_stop() {
  for _ in 1 2 3 4 5; do
    (cd "$WORK/big" && exec "$SETUP" usecwd -S "-D$1") > "$WORK/run.out" 2> "$WORK/run.err" &
    STOPPED=$!
    for _ in $(seq 1 500); do
      compgen -G "$1/.q5stp-*-lock" > /dev/null && break
      sleep 0.01
    done
    sleep "${2:-0.08}"
    kill -STOP "$STOPPED" 2>/dev/null
    compgen -G "$1/.q5stp-*-lock" > /dev/null && return
    kill -CONT "$STOPPED" 2>/dev/null
    wait "$STOPPED"
    rm -rf "$1" "$HOME/.KX"
  done
  STOPPED=""
  fail "the install never was caught holding the target: $(cat "$WORK/run.out" "$WORK/run.err")"
}
finish_stopped() {
  kill -CONT "$STOPPED"
  wait "$STOPPED"
  RUN_STATUS=$?
  STOPPED=""
}

# A dry run and a verify while a stopped install holds the target: they say
# so and wait for it, then answer about what it left.
for mode in -N -V; do
  fresh
  target=$WORK/check$mode
  start_and_stop "$target"
  (cd "$WORK/big" && exec "$SETUP" usecwd "$mode" "-D$target") > "$WORK/check.out" 2> "$WORK/check.err" &
  check=$!
  sleep 1.5
  kill -0 "$check" 2>/dev/null || fail "$mode did not wait for the install that holds the target"
  grep -qx "setup: Waiting for another installation into $target" "$WORK/check.err" ||
    fail "$mode does not say that another run holds $target: $(cat "$WORK/check.err")"
  finish_stopped
  wait "$check"
  status=$?
  [ "$RUN_STATUS" = 0 ] || fail "$mode: the held install ended with $RUN_STATUS"
  case $mode in
    -N) want="setup: result=would-install copied=0 up-to-date=$N registration=unchanged signature=none target=$target" ;;
    -V) want="setup: result=verified ok=$N missing=0 modified=0 outdated=0 registered=yes signature=none target=$target" ;;
  esac
  [ "$status" = 0 ] && [ "$(tail -n 1 "$WORK/check.out")" = "$want" ] ||
    fail "$mode after the install: exit $status, $(tail -n 1 "$WORK/check.out")"
done

# The target renamed away during the run, a few ticks after the run made
# it or at once (the run holds it from the moment it is made): the new
# place is registered and named; removed: nothing is registered.
for settle in 0.08 0; do
  fresh
  rm -rf "$WORK/before" "$WORK/after"
  start_and_stop "$WORK/before" "$settle"
  mv "$WORK/before" "$WORK/after"
  finish_stopped
  [ "$RUN_STATUS" = 0 ] || fail "moved target ($settle s): exit $RUN_STATUS ($(cat "$WORK/run.err"))"
  [ "$(cat "$WORK/run.out")" = "setup: result=installed copied=$N up-to-date=0 signature=none target=$WORK/after" ] ||
    fail "moved target ($settle s): $(cat "$WORK/run.out")"
  grep -q "=$WORK/after\$" "$HOME/$CFG" || fail "moved target ($settle s): the new place is not registered"
  grep -q "=$WORK/before\$" "$HOME/$CFG" && fail "moved target ($settle s): the old path is registered"
  [ "$(ls "$WORK/after/t" | wc -l)" = "$N" ] || fail "moved target ($settle s): the files are not all there"
done

fresh
start_and_stop "$WORK/removed"
rm -rf "$WORK/removed"
finish_stopped
# (The copy into a removed folder fails and is rolled back, or, once
# complete, the run ends installed but unregistered.)
case $RUN_STATUS in 2|4) ;; *) fail "removed target: exit $RUN_STATUS, expected 2 or 4" ;; esac
grep -q "^setup: result=\(failed-rolled-back\|installed-unregistered\) " "$WORK/run.out" ||
  fail "removed target: $(cat "$WORK/run.out")"
[ ! -e "$HOME/$CFG" ] || ! grep -q "removed" "$HOME/$CFG" || fail "removed target: registered"

# A member named like a dead run's lock file is the package's file: a
# second run finds it up to date and leaves it there.
fresh
target=$WORK/named-target
for run in 1 2 3; do
  setup "$WORK/named" -S "-D$target" > "$WORK/out" 2> "$WORK/err"
  case $run in 1) copied=2 up=0 ;; *) copied=0 up=2 ;; esac
  [ "$(cat "$WORK/out")" = "setup: result=installed copied=$copied up-to-date=$up signature=none target=$target" ] ||
    fail "member named like a lock file, run $run: $(cat "$WORK/out")"
  [ "$(cat "$target/.q5stp-999991-5-lock" 2>/dev/null)" = "$LOCK_LINE" ] ||
    fail "member named like a lock file, run $run: the member is gone"
done

# An empty lock file nobody holds (a run killed between making it and
# writing its line) goes with the next complete run; one that a live run
# holds stays.
fresh
target=$WORK/empty-lock
mkdir -p "$target"
: > "$target/.q5stp-999993-7-lock"
: > "$target/.q5stp-999994-8-lock"
exec 7< "$target/.q5stp-999994-8-lock"
flock -x 7
setup "$WORK/named" -S "-D$target" > "$WORK/out" 2> "$WORK/err" || fail "empty lock file: $(cat "$WORK/err")"
exec 7<&-
[ ! -e "$target/.q5stp-999993-7-lock" ] || fail "empty lock file: a dead run's stays"
[ -e "$target/.q5stp-999994-8-lock" ] || fail "empty lock file: a live run's was removed"

[ "$FAILED" = 0 ] && echo "locks: all checks passed"
exit "$FAILED"
