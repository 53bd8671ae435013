#!/usr/bin/env bash
# Drives the real installer under the current X display with xdotool:
#   e2e_test.sh SETUP_BINARY DPKPACK_BINARY
# 1. interactive: Next, type a directory, Next, Finish (readme opened);
# 2. silent: installs into the default template directory, then into a
#    listed directory whose name is not UTF-8;
# 3. damaged package: error box, exit 1, nothing changed; the same for a
#    silent run of a package with one flipped byte in a member's data, and
#    of a FIFO in the package's place; a silent run whose copy fails ends
#    with exit 2 once its box is answered;
# 4. cancel during the copy of a large package: exit 3, target unchanged.
# Every wait has a deadline, so a wrong turn fails instead of hanging.
set -u

SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
TITLE="Installing configuration"
WORK=$(mktemp -d /tmp/setup-e2e-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILED=0
PID=

fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

# Fresh HOME, TMPDIR, package folder and a stand-in for the desktop's opener.
fresh_world() {
  rm -rf "$WORK/world"
  mkdir -p "$WORK/world/home" "$WORK/world/tmp" "$WORK/world/pkg" "$WORK/world/bin" "$WORK/world/src"
  export HOME=$WORK/world/home TMPDIR=$WORK/world/tmp
  export XDG_OPEN_LOG=$WORK/world/xdg-open.log
  printf '#!/bin/sh\nfor a in "$@"; do printf "[%%s]\\n" "$a"; done >> "$XDG_OPEN_LOG"\n' \
    > "$WORK/world/bin/xdg-open"
  chmod +x "$WORK/world/bin/xdg-open"
}

start_setup() {
  (cd "$WORK/world/pkg" && PATH="$WORK/world/bin:$PATH" exec "$SETUP" usecwd "$@" -Len) \
    > "$WORK/stdout" 2> "$WORK/stderr" &
  PID=$!
}

# Waits (up to $2 seconds, default 60: a loaded machine running the
# sanitized build can take that long to map a window) for the number of visible windows
# titled TITLE to reach $1; prints the id of one that is not $3.
wait_windows() {
  local want=$1 limit=${2:-60} other=${3:-none} ids
  for ((i = 0; i < limit * 10; i++)); do
    ids=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null)
    if [ "$(printf '%s\n' $ids | grep -c .)" -ge "$want" ]; then
      printf '%s\n' $ids | grep -vx "$other" | tail -n 1
      return 0
    fi
    sleep 0.1
  done
  return 1
}

wait_file() {
  for ((i = 0; i < ${2:-200}; i++)); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# Waits for the installer to end and sets STATUS to its exit status (124:
# it did not end in time and was killed). Not in a subshell: only this
# shell can reap the process.
wait_exit() {
  for ((i = 0; i < ${1:-300}; i++)); do
    if running; then
      sleep 0.1
      continue
    fi
    wait "$PID"
    STATUS=$?
    return
  done
  kill "$PID" 2>/dev/null
  wait "$PID" 2>/dev/null
  STATUS=124
}

# Answers the installer's error box with Return until the installer ends,
# then sets STATUS as wait_exit does; BOXES tells whether a window was seen.
# Damage behind the header is found once the wizard's window is up (the box
# then comes on top of it) or, in a small package, already before it; the
# window of a silent run takes no key, so Return goes to every window.
answer_until_exit() {
  BOXES=0
  for ((i = 0; i < ${1:-300}; i++)); do
    running || break
    for wid in $(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null); do
      BOXES=1
      xdotool key --window "$wid" Return 2>/dev/null
    done
    sleep 0.2
  done
  wait_exit 50
}

# Clicks at (x, y) inside window $1: the wizard's widgets sit at fixed places.
click_at() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
  sleep 0.2
}
NEXT=(350 335)
CANCEL=(450 335)
ENTRY=(310 290)

type_into_entry() {
  click_at "$1" "${ENTRY[@]}"
  xdotool key --clearmodifiers ctrl+a BackSpace
  xdotool type --delay 5 "$2"
  sleep 0.2
}

running() { [ -n "$(ps -o stat= -p "$PID" 2>/dev/null | grep -v '^Z')" ]; }

# Presses Finish until the installer ends: Next stays insensitive (and the
# clicks do nothing) until the final page is up. Sets STATUS.
finish() {
  for ((n = 0; n < 120; n++)); do
    running || break
    xdotool mousemove --window "$1" "${NEXT[@]}" click 1 2>/dev/null
    sleep 0.5
  done
  wait_exit 100
}

# Names of the folders; name, size, time and checksum of the files. (Folder
# times and sizes change when files come and go again, as a rollback does.)
snapshot() {
  (cd "$1" && find . -type d | sort && find . -type f -printf '%p %s %T@\n' | sort &&
    find . -type f -exec md5sum {} + | sort)
}

make_package() { "$DPKPACK" -o "$WORK/world/pkg/kxq5.dpk" "$@" "$WORK/world/src" > /dev/null; }

# 1. Interactive happy path.
fresh_world
mkdir -p "$WORK/world/src/templates" "$WORK/world/src/docs"
echo "alpha" > "$WORK/world/src/templates/a.cfg"
echo "read me" > "$WORK/world/src/docs/readme.txt"
make_package -l en -p "Sample" -v "Vendor" -r docs/readme.txt
TARGET="$WORK/world/home/my templates"
start_setup
if wid=$(wait_windows 1); then
  click_at "$wid" "${NEXT[@]}"
  type_into_entry "$wid" "$TARGET"
  click_at "$wid" "${NEXT[@]}"
  finish "$wid"
  [ "$STATUS" = 0 ] || fail "interactive: exit status $STATUS, expected 0"
  [ "$(cat "$TARGET/templates/a.cfg" 2>/dev/null)" = alpha ] || fail "interactive: template not installed"
  grep -qx "ConfigurationTemplatesLocation=$TARGET" "$HOME/.KX/kxlaunch/kxlaunch.cfg" ||
    fail "interactive: target not registered"
  [ "$(cat "$XDG_OPEN_LOG" 2>/dev/null)" = "[$TARGET/docs/readme.txt]" ] ||
    fail "interactive: readme not opened as one argument"
else
  fail "interactive: no wizard window"
  kill "$PID" 2>/dev/null
fi

# 2. Silent install into the default template directory.
fresh_world
mkdir -p "$WORK/world/src/t"
echo "beta" > "$WORK/world/src/t/b.cfg"
make_package
start_setup -S
wait_exit
[ "$STATUS" = 0 ] || fail "silent: exit status $STATUS, expected 0"
[ "$(cat "$HOME/.kxq5/KX/kxq5/tmplts/t/b.cfg" 2>/dev/null)" = beta ] ||
  fail "silent: template not in the default directory"
[ ! -e "$XDG_OPEN_LOG" ] || fail "silent: readme opened"
# With a display too, a silent run ends with its summary line.
[ "$(cat "$WORK/stdout")" = "setup: result=installed copied=1 up-to-date=0 signature=none target=$HOME/.kxq5/KX/kxq5/tmplts" ] ||
  fail "silent: summary line '$(cat "$WORK/stdout")'"

# 2b. Silent install into a listed directory whose name is Latin-1, with
# the other programs' lines in CP1251 and Latin-1: the directory is used
# and registered with its exact bytes, every other line is kept byte for byte.
fresh_world
mkdir -p "$WORK/world/src/t"
echo "gamma" > "$WORK/world/src/t/c.cfg"
make_package
LATIN=$(printf '%s/t\xe9mplates' "$HOME")
mkdir -p "$LATIN" "$HOME/.KX/kxlaunch"
OTHER=$(printf 'InstalledLocation=C:\\\xcf\xf0\xee\xe3\xf0\xe0\xec\xec\xfb')
OWNER=$(printf 'Owner=Fran\xe7ois')
printf '%s\n%s\n%s\n%s\n' "$OTHER" "ConfigurationTemplatesLocation=/nonexistent/dir" \
  "ConfigurationTemplatesLocation=$LATIN" "$OWNER" > "$HOME/.KX/kxlaunch/kxlaunch.cfg"
start_setup -S
wait_exit
[ "$STATUS" = 0 ] || fail "silent latin-1: exit status $STATUS, expected 0"
[ "$(cat "$LATIN/t/c.cfg" 2>/dev/null)" = gamma ] || fail "silent latin-1: template not in the listed directory"
expected=$(printf '%s\n%s\n%s\n%s\n_' "$OTHER" "ConfigurationTemplatesLocation=$LATIN" \
  "ConfigurationTemplatesLocation=/nonexistent/dir" "$OWNER")
actual=$(cat "$HOME/.KX/kxlaunch/kxlaunch.cfg"; printf _)
[ "$actual" = "$expected" ] ||
  fail "silent latin-1: launcher file not as expected: $(diff <(echo "$expected") <(echo "$actual") | od -c | head -8)"

# 3. Damaged package: one error box, exit 1, nothing changed.
fresh_world
head -c 4096 /dev/urandom > "$WORK/world/pkg/kxq5.dpk"
before=$(snapshot "$WORK/world")
start_setup
if wid=$(wait_windows 1); then
  sleep 0.3
  xdotool key --window "$wid" Return 2>/dev/null
  wait_exit
  [ "$STATUS" = 1 ] || fail "damaged: exit status $STATUS, expected 1"
  after=$(snapshot "$WORK/world")
  [ "$before" = "$after" ] || fail "damaged: something changed: $(diff <(echo "$before") <(echo "$after"))"
else
  fail "damaged: no error box"
  kill "$PID" 2>/dev/null
fi

# 3b. One flipped byte in a member's data: the stream and the header are
# intact, only the member's checksum tells. Silent: the error box, exit 1,
# nothing installed, no image left behind.
fresh_world
mkdir -p "$WORK/world/src/t"
echo "gamma marker gamma" > "$WORK/world/src/t/c.cfg"
make_package -L 0
at=$(grep -obUa marker "$WORK/world/pkg/kxq5.dpk" | head -n 1 | cut -d: -f1)
printf 'M' | dd of="$WORK/world/pkg/kxq5.dpk" bs=1 seek="$at" conv=notrunc status=none
before=$(snapshot "$WORK/world")
start_setup -S
if wait_windows 1 >/dev/null; then
  answer_until_exit
  [ "$STATUS" = 1 ] || fail "flipped byte: exit status $STATUS, expected 1"
  after=$(snapshot "$WORK/world")
  [ "$before" = "$after" ] || fail "flipped byte: something changed: $(diff <(echo "$before") <(echo "$after"))"
else
  fail "flipped byte: no error box"
  kill "$PID" 2>/dev/null
fi

# 3c. A copy that fails after the window is up: the box comes from the main
# loop's watch over the copy; once it is answered the run must end (exit 2),
# not hang with the window's lock held.
fresh_world
echo "gamma" > "$WORK/world/src/c.cfg"
make_package
echo "a plain file" > "$WORK/world/target-file"
start_setup -S "-D$WORK/world/target-file"
if wait_windows 1 >/dev/null; then
  answer_until_exit
  [ "$STATUS" = 2 ] || fail "failed copy: exit status $STATUS, expected 2"
  # Whoever started a silent run reads standard error, not the box.
  grep -q "^setup: Installation error $WORK/world/target-file: " "$WORK/stderr" ||
    fail "failed copy: no error on standard error: $(cat "$WORK/stderr")"
  [ "$(cat "$WORK/world/target-file")" = "a plain file" ] || fail "failed copy: the file in the way changed"
else
  fail "failed copy: no window"
  kill "$PID" 2>/dev/null
fi

# 3c. A FIFO named like the package: no hang, the error box, exit 1.
fresh_world
mkfifo "$WORK/world/pkg/kxq5.dpk"
start_setup -S
if wid=$(wait_windows 1); then
  sleep 0.3
  xdotool key --window "$wid" Return 2>/dev/null
  wait_exit
  [ "$STATUS" = 1 ] || fail "FIFO: exit status $STATUS, expected 1"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "FIFO: temporary files left: $(ls -A "$TMPDIR")"
else
  fail "FIFO: no error box (the installer hangs?)"
  kill "$PID" 2>/dev/null
fi

# 4. Cancel during the copy of a large package.
fresh_world
# The cost of a run is mostly per member: 120000 small ones take seconds.
mkdir -p "$WORK/world/src/big"
head -c 60000000 /dev/zero | tr '\0' 'x' > "$WORK/world/blob"
(cd "$WORK/world/src/big" && split -b 500 -a 4 "$WORK/world/blob" m)
rm "$WORK/world/blob"
make_package -L 1
TARGET=$WORK/world/target
mkdir -p "$TARGET/big"
echo "an older copy" > "$TARGET/big/maaaa"
touch -d '2001-01-01' "$TARGET/big/maaaa"
before=$(snapshot "$TARGET")
start_setup
if wid=$(wait_windows 1); then
  click_at "$wid" "${NEXT[@]}"
  type_into_entry "$wid" "$TARGET"
  click_at "$wid" "${NEXT[@]}"
  # The older copy is one of the package's files: the maintenance page
  # comes first, its default the update.
  sleep 1
  click_at "$wid" "${NEXT[@]}"
  # Members are written under the run's temporary names first.
  for ((i = 0; i < 300; i++)); do
    [ -n "$(find "$TARGET/big" -name '.q5stp-*' -print -quit)" ] && break
    sleep 0.1
  done
  [ "$i" -lt 300 ] || fail "cancel: the copy did not start"
  click_at "$wid" "${CANCEL[@]}"
  if question=$(wait_windows 2 30 "$wid"); then
    # The box goes away on the key press, so the release finds no window.
    xdotool key --window "$question" alt+y 2>/dev/null
  else
    fail "cancel: no confirmation"
  fi
  finish "$wid"
  [ "$STATUS" = 3 ] || fail "cancel: exit status $STATUS, expected 3"
  after=$(snapshot "$TARGET")
  [ "$before" = "$after" ] || fail "cancel: target changed: $(diff <(echo "$before") <(echo "$after") | head -5)"
  [ ! -e "$HOME/.KX" ] || fail "cancel: launcher configuration written"
else
  fail "cancel: no wizard window"
  kill "$PID" 2>/dev/null
fi

# 5. Repair and remove chosen in the wizard, as a user reaches them: the
# same outcome, lines and summary as -R and -U, and a signal during the
# run puts everything back. Each row: the choice's mnemonic, a signal to
# send while the run waits before its renames (or none), the exit status,
# the summary's result, and what the folder holds afterwards.
while IFS='|' read -r key signal want result files; do
  fresh_world
  mkdir -p "$WORK/world/src/templates"
  for n in a b c; do echo "$n" > "$WORK/world/src/templates/$n.cfg"; done
  make_package
  TARGET=$WORK/world/target
  (cd "$WORK/world/pkg" && "$SETUP" usecwd -S "-D$TARGET") > /dev/null 2>&1
  echo "edited" >> "$TARGET/templates/a.cfg"
  rm "$TARGET/templates/c.cfg"
  before=$(snapshot "$TARGET")
  if [ "$signal" = none ]; then start_setup "-D$TARGET"
  else SETUP_TEST_PAUSE_BEFORE_COMMIT_MS=3000 start_setup "-D$TARGET"; fi
  if wid=$(wait_windows 1); then
    click_at "$wid" "${NEXT[@]}"
    click_at "$wid" "${NEXT[@]}"
    sleep 1
    xdotool key --window "$wid" "alt+$key" 2>/dev/null
    sleep 0.3
    click_at "$wid" "${NEXT[@]}"
    if [ "$signal" = none ]; then
      finish "$wid"
    else
      sleep 1.5
      kill -s "$signal" "$PID"
      wait_exit 60
    fi
    [ "$STATUS" = "$want" ] || fail "wizard $key $signal: exit status $STATUS, expected $want"
    grep -q "^setup: result=$result " "$WORK/stdout" ||
      fail "wizard $key $signal: no result=$result: $(cat "$WORK/stdout")"
    if [ "$files" = unchanged ]; then
      [ "$before" = "$(snapshot "$TARGET")" ] || fail "wizard $key $signal: the folder changed"
    else
      [ "$(cd "$TARGET/templates" && ls | tr '\n' ' ')" = "$files" ] ||
        fail "wizard $key $signal: the folder holds $(ls "$TARGET/templates"), expected $files"
    fi
  else
    fail "wizard $key $signal: no window"
    kill "$PID" 2>/dev/null
  fi
done << 'ROWS'
r|none|0|repaired|a.cfg a.cfg.kxq5-modified b.cfg c.cfg 
m|none|6|kept-modified|a.cfg 
r|TERM|3|cancelled-restored|unchanged
m|INT|3|cancelled-restored|unchanged
ROWS

[ "$FAILED" = 0 ] && echo "e2e: all scenarios passed"
exit "$FAILED"
