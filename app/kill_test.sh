#!/usr/bin/env bash
# The installer killed or signalled at any moment, with the real program:
#   kill_test.sh SETUP_BINARY DPKPACK_BINARY
# 1. SIGKILL at 30 moments of the copy of a silent install that replaces
#    older files (half spread over the writing of the members, half over
#    the moments when they are put in place): every member is whole, old or new, with its time;
#    other files are untouched; a re-run then leaves exactly the tree one
#    run would have left, with nothing of either run left over.
# 2. SIGTERM, SIGHUP or SIGINT outside the copy (start-up decompression,
#    welcome page, an open question box): exit 3, nothing left behind.
# The silent run needs a display: without DISPLAY the test is skipped (77).
set -u

SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
if [ -z "${DISPLAY:-}" ]; then
  echo "kill test skipped: DISPLAY is not set"
  exit 77
fi
TITLE="Installing configuration"
WORK=$(mktemp -d /tmp/setup-kill-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILED=0
PID=
KILLS=30

fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

export HOME=$WORK/home TMPDIR=$WORK/tmp
mkdir -p "$HOME" "$TMPDIR" "$WORK/pkg" "$WORK/new" "$WORK/old"
TARGET=$HOME/.kxq5/KX/kxq5/tmplts

# A package of a few hundred members: four of several MiB, the rest small,
# in nested directories. The old tree holds older versions of most of
# them, and files of its own.
make_trees() {
  local i d
  for ((i = 0; i < 296; i++)); do
    d="$WORK/new/t$((i % 7))/s$((i % 3))"
    mkdir -p "$d" "${d/new/old}"
    head -c $((200 + i * 37)) /dev/urandom > "$d/m$i.cfg"
    touch -d "@$((1600000000 + i))" "$d/m$i.cfg"
    if ((i % 10 != 0)); then  # every tenth member is new to the target
      head -c $((100 + i)) /dev/urandom > "${d/new/old}/m$i.cfg"
      touch -d "@$((1500000000 + i))" "${d/new/old}/m$i.cfg"
    fi
  done
  for ((i = 0; i < 4; i++)); do
    mkdir -p "$WORK/new/big" "$WORK/old/big"
    head -c $(((3 + i) << 20)) /dev/urandom > "$WORK/new/big/b$i.bin"
    head -c $(((2 + i) << 20)) /dev/urandom > "$WORK/old/big/b$i.bin"
    touch -d "@1600000000" "$WORK/new/big/b$i.bin"
    touch -d "@1500000000" "$WORK/old/big/b$i.bin"
  done
  "$DPKPACK" -L 1 -o "$WORK/pkg/kxq5.dpk" "$WORK/new" > /dev/null || fail "cannot build the package"
  # Files that are not the package's, in its directories and beside them.
  mkdir -p "$WORK/old/t1/s1" "$WORK/old/mine"
  echo "mine" > "$WORK/old/t1/s1/mine.txt"
  echo "mine too" > "$WORK/old/mine/notes.txt"
  touch -d "@1400000000" "$WORK/old/t1/s1/mine.txt" "$WORK/old/mine/notes.txt"
  # What one whole run leaves: the old tree with the package over it.
  mkdir -p "$WORK/expected"
  cp -a "$WORK/old/." "$WORK/expected/"
  cp -a "$WORK/new/." "$WORK/expected/"
}

# "path mtime md5" for every file below $1 (run names included).
state() {
  (cd "$1" && join <(find . -type f -printf '%p %T@\n' | sort) \
    <(find . -type f -print0 | xargs -0 -r md5sum | awk '{print $2, $1}' | sort))
}

reset_target() {
  rm -rf "$TARGET"
  mkdir -p "$TARGET"
  cp -a "$WORK/old/." "$TARGET/"
}

running() { [ -n "$(ps -o stat= -p "$PID" 2>/dev/null | grep -v '^Z')" ]; }

# Waits for the installer to end; sets STATUS (124: killed after the limit).
wait_exit() {
  for ((i = 0; i < ${1:-600}; i++)); do
    if running; then
      sleep 0.05
      continue
    fi
    wait "$PID"
    STATUS=$?
    return
  done
  kill -9 "$PID" 2>/dev/null
  wait "$PID" 2>/dev/null
  STATUS=124
}

start_setup() {
  (cd "$WORK/pkg" && exec "$SETUP" usecwd "$@" -Len) &
  PID=$!
}

# Seconds (fractional) since the epoch.
now() { date +%s.%N; }

# Starts a silent run and waits until its copy has begun. On a busy machine
# a whole copy can slip between two looks; that run proves nothing either
# way, so another one is started, a few times at most.
start_copy() {
  local try
  for ((try = 0; try < 5; try++)); do
    reset_target
    start_setup -S
    wait_copy_start && return 0
    kill -9 "$PID" 2>/dev/null
    wait "$PID" 2>/dev/null
  done
  return 1
}

# Waits until the copy has begun: the run's first temporary file shows.
wait_copy_start() {
  for ((i = 0; i < 2000; i++)); do
    [ -n "$(find "$TARGET" -name '.q5stp-*' -print -quit 2>/dev/null)" ] && return 0
    running || return 1
    sleep 0.005
  done
  return 1
}

make_trees
OLD_STATE=$(state "$WORK/old")
NEW_STATE=$(state "$WORK/expected")

# One whole run measures the copy: from its first temporary file to its end
# (less the one second that the finished run lingers).
start_copy || fail "measure: the copy did not start"
t0=$(now)
wait_exit
t1=$(now)
[ "$STATUS" = 0 ] || fail "measure: exit status $STATUS"
COPY=$(awk -v a="$t0" -v b="$t1" 'BEGIN { c = b - a - 1; printf "%.3f", c < 0.05 ? 0.05 : c }')
echo "copy takes about $COPY s; killing at $KILLS moments within it"

whole=0
outcomes=
for ((k = 0; k < KILLS; k++)); do
  if ! start_copy; then
    fail "kill $k: the copy did not start"
    continue
  fi
  if ((k < KILLS / 2)); then
    # Spread over the writing of the members under their temporary names.
    sleep "$(awk -v c="$COPY" -v k="$k" -v n="$((KILLS / 2))" 'BEGIN { printf "%.4f", c * k / n }')"
  else
    # The members are put in place in a few milliseconds, once the backup
    # tree appears: kill at steps of half a millisecond from then on.
    shopt -s nullglob
    while running; do
      roots=("$TARGET"/.q5stp-*-b*)
      ((${#roots[@]})) && break
    done
    shopt -u nullglob
    sleep "$(awk -v k="$((k - KILLS / 2))" 'BEGIN { printf "%.4f", k * 0.0005 }')"
  fi
  kill -9 "$PID" 2>/dev/null
  wait "$PID" 2>/dev/null
  # Every path is its old or its new version, or absent where the old tree
  # had none; nothing else shows but the run's own names.
  bad=$(awk -v OLD="$OLD_STATE" -v NEW="$NEW_STATE" '
    BEGIN {
      n = split(OLD, lines, "\n"); for (i = 1; i <= n; i++) { split(lines[i], f, " "); old[f[1]] = lines[i]; all[f[1]] = 1 }
      n = split(NEW, lines, "\n"); for (i = 1; i <= n; i++) { split(lines[i], f, " "); new[f[1]] = lines[i]; all[f[1]] = 1 }
    }
    $1 ~ /\/\.q5stp-/ { next }
    { cur[$1] = $0 }
    END {
      for (p in all) {
        c = (p in cur) ? cur[p] : "-"; o = (p in old) ? old[p] : "-"; w = (p in new) ? new[p] : "-"
        if (c != o && c != w) print "partial or missing: " c " (" p ")"
      }
      for (p in cur) if (!(p in all)) print "stray: " p
      for (p in cur) if ((p in new) && cur[p] == new[p] && !((p in old) && old[p] == new[p])) done++
      print "renamed " done + 0
    }' <(state "$TARGET"))
  renamed=$(echo "$bad" | sed -n 's/^renamed //p')
  bad=$(echo "$bad" | grep -v '^renamed ')
  outcomes="$outcomes $renamed"
  if [ -n "$bad" ]; then
    fail "kill $k: $(echo "$bad" | head -3)"
    continue
  fi
  [ -z "$(ls -A "$TMPDIR")" ] || fail "kill $k: left in TMPDIR: $(ls -A "$TMPDIR")"
  start_setup -S
  wait_exit
  [ "$STATUS" = 0 ] || { fail "kill $k: the re-run ended with $STATUS"; continue; }
  after=$(state "$TARGET")
  if [ "$after" != "$NEW_STATE" ]; then
    fail "kill $k: re-run left another tree: $(diff <(echo "$NEW_STATE") <(echo "$after") | head -4)"
    continue
  fi
  [ -z "$(find "$TARGET" -name '.q5stp-*' -print -quit)" ] || fail "kill $k: run names left"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "kill $k: left in TMPDIR after the re-run"
  whole=$((whole + 1))
done
echo "members already new at each kill:$outcomes"
echo "kill test: $whole of $KILLS killed runs left whole members and were finished by a re-run"

# 2. Signals outside the copy end the program with a cancel's status.
# Waits (up to $2 seconds) for $1 visible windows of the installer.
wait_windows() {
  local want=$1 limit=${2:-20} ids
  for ((i = 0; i < limit * 10; i++)); do
    ids=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null)
    [ "$(printf '%s\n' $ids | grep -c .)" -ge "$want" ] && return 0
    sleep 0.1
  done
  return 1
}
if command -v xdotool > /dev/null; then
  reset_target
  before=$(state "$TARGET")
  # The start-up decompression of a large package.
  head -c 150000000 /dev/zero > "$WORK/pkg/zeros"
  mkdir -p "$WORK/huge" && mv "$WORK/pkg/zeros" "$WORK/huge/"
  "$DPKPACK" -L 1 -o "$WORK/pkg/huge.dpk" "$WORK/huge" > /dev/null
  mv "$WORK/pkg/kxq5.dpk" "$WORK/pkg/small.dpk"
  mv "$WORK/pkg/huge.dpk" "$WORK/pkg/kxq5.dpk"
  start_setup
  sleep 0.3
  kill -TERM "$PID"
  wait_exit
  [ "$STATUS" = 3 ] || fail "SIGTERM during the decompression: exit status $STATUS, expected 3"
  [ -z "$(ls -A "$TMPDIR")" ] || fail "SIGTERM during the decompression: left $(ls -A "$TMPDIR")"
  mv "$WORK/pkg/small.dpk" "$WORK/pkg/kxq5.dpk"
  # The welcome page, and a question box open over it.
  for how in welcome question; do
    start_setup
    if wait_windows 1; then
      if [ "$how" = question ]; then
        xdotool key --window "$(xdotool search --onlyvisible --name "^$TITLE\$" | head -1)" Escape
        wait_windows 2 10 || fail "no question box"
      fi
      kill -HUP "$PID"
      wait_exit 100
      [ "$STATUS" = 3 ] || fail "SIGHUP on the $how: exit status $STATUS, expected 3"
    else
      fail "$how: no window"
      kill -9 "$PID" 2>/dev/null
    fi
  done
  [ -z "$(ls -A "$TMPDIR")" ] || fail "signals: left in TMPDIR: $(ls -A "$TMPDIR")"
  [ "$(state "$TARGET")" = "$before" ] || fail "signals: the target changed"
else
  echo "signals outside the copy skipped: xdotool is missing"
fi

[ "$FAILED" = 0 ] && echo "kill test: all scenarios passed"
exit "$FAILED"
