#!/usr/bin/env bash
# What the program says back on the command line. Standard output that
# cannot be written (a reader that went away, a full device, a closed
# stream): for the install, the dry run and the verify the exit status must
# still tell the outcome, and the summary line must reach standard error
# with the reason it did not reach standard output. Then the usage, and
# arguments that mean nothing.
#   output_test.sh SETUP_BINARY
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8
SETUP=$(realpath "$1")
PACKAGE=$(dirname "$SETUP")/kxq5.dpk
WORK=$(mktemp -d /tmp/setup-output-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/home" "$WORK/tmp" "$WORK/pkg"
cp "$PACKAGE" "$WORK/pkg/"
export HOME=$WORK/home TMPDIR=$WORK/tmp
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }

# run NAME EXPECTED_STATUS EXPECTED_RESULT HOW ARGS...: HOW is pipe, full or closed.
run() {
  local name=$1 want=$2 result=$3 how=$4
  shift 4
  local status
  case $how in
    pipe)
      # A pipe whose reader is gone before the program starts: a FIFO opened
      # for both ends, then for writing, and its reading end closed.
      rm -f "$WORK/fifo" && mkfifo "$WORK/fifo"
      exec 5<> "$WORK/fifo" 6> "$WORK/fifo" 5<&-
      (cd "$WORK/pkg" && exec "$SETUP" usecwd "$@") >&6 2> "$WORK/err"
      status=$?
      exec 6>&- ;;
    full) (cd "$WORK/pkg" && exec "$SETUP" usecwd "$@") > /dev/full 2> "$WORK/err"; status=$? ;;
    closed) (cd "$WORK/pkg" && exec "$SETUP" usecwd "$@") >&- 2> "$WORK/err"; status=$? ;;
  esac
  [ "$status" = "$want" ] || fail "$name ($how): exit status $status, expected $want"
  grep -q "^setup: result=$result " "$WORK/err" || fail "$name ($how): no summary line on stderr: $(cat "$WORK/err")"
  [ "$(grep -c 'standard output' "$WORK/err")" = 1 ] || fail "$name ($how): the failure is not told once: $(cat "$WORK/err")"
  grep -q '(error\|error [0-9]' "$WORK/err" && fail "$name ($how): a raw error number: $(cat "$WORK/err")"
}

for how in pipe full closed; do
  rm -rf "$WORK/t-$how"
  run "dry run" 0 would-install $how -N "-D$WORK/t-$how"
  [ -e "$WORK/t-$how" ] && fail "dry run ($how) wrote the target"
  run "install" 0 installed $how -S "-D$WORK/t-$how"
  [ -f "$WORK/t-$how/readme_en.txt" ] || [ -n "$(ls -A "$WORK/t-$how" 2>/dev/null)" ] || fail "install ($how): nothing installed"
  run "verify" 0 verified $how -V "-D$WORK/t-$how"
  chmod 000 "$WORK/pkg/kxq5.dpk" 2>/dev/null
  mv "$WORK/pkg/kxq5.dpk" "$WORK/pkg/away.dpk"
  run "no package" 1 not-started $how -S "-D$WORK/t-$how"
  mv "$WORK/pkg/away.dpk" "$WORK/pkg/kxq5.dpk"
  chmod 644 "$WORK/pkg/kxq5.dpk"
done

# The usage needs no display and no package; the dry run and the verify
# refuse what they do not know, with nothing written; the install names
# what it ignores and goes on.
(cd "$WORK" && exec "$SETUP" --help) > "$WORK/out" 2> "$WORK/err"
[ $? = 0 ] && grep -q '^usage: setup' "$WORK/out" && [ ! -s "$WORK/err" ] || fail "--help: $(cat "$WORK/out" "$WORK/err")"
for mode in -N -V; do
  (cd "$WORK/pkg" && exec "$SETUP" usecwd $mode -q "-D$WORK/t-refused") > "$WORK/out" 2> "$WORK/err"
  status=$?
  [ "$status" = 2 ] || fail "$mode -q: exit status $status, expected 2"
  grep -q '^setup: unknown option: -q$' "$WORK/err" && grep -q '^usage: setup' "$WORK/err" ||
    fail "$mode -q: stderr $(cat "$WORK/err")"
  [ -s "$WORK/out" ] && fail "$mode -q: printed $(cat "$WORK/out")"
done
[ -e "$WORK/t-refused" ] && fail "a refused dry run or verify wrote the target"
(cd "$WORK/pkg" && exec "$SETUP" usecwd -S -n stray "-D$WORK/t-named") > "$WORK/out" 2> "$WORK/err"
status=$?
[ "$status" = 0 ] || fail "-S -n stray: exit status $status, expected 0"
[ "$(grep -c '^setup: Ignored argument: ' "$WORK/err")" = 2 ] || fail "-S -n stray: stderr $(cat "$WORK/err")"

[ "$FAILED" = 0 ] && echo "all output cases behaved"
exit "$FAILED"
