#!/usr/bin/env bash
# The remove (-U) and the repair (-R) of the real program, after a real
# install that someone then changed:
#   maintenance_test.sh SETUP_BINARY DPKPACK_BINARY
# 1. Install; edit one member, add a file, delete a member, make one older.
#    -R -N names exactly what -R then does, writes nothing; -R makes every
#    member the package's again and keeps the edited file beside itself.
#    -U -N names what -U then does; -U leaves only the added and edited
#    files, takes the directory from the launcher's list only when nothing
#    of ours is left, and keeps the file's other lines byte for byte; a
#    second -U has nothing to remove.
# 2. SIGKILL at many moments of -U and of -R: every file is old or new,
#    and the same run again finishes the job with no run name left over.
#    SIGTERM puts everything back (exit 3) unless the run was done.
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8

SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
WORK=$(mktemp -d /tmp/setup-maint-XXXXXX)
trap 'umount "$WORK/small/mnt" 2>/dev/null; rm -rf "$WORK"' EXIT
FAILED=0
fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

W=$WORK/world
T=$W/opt/tmplts
CFG=$W/home/.KX/kxlaunch/kxlaunch.cfg
export HOME=$W/home TMPDIR=$W/tmp

run() {
  (cd "$W/pkg" && exec "$SETUP" usecwd "$@" "-D$T" -Len) > "$WORK/out" 2> "$WORK/err"
  STATUS=$?
}
summary() { tail -n 1 "$WORK/out"; }
lines() { grep -v ' result=' "$WORK/out"; }
# "path type size content-hash" of everything below the target.
tree() {
  (cd "$T" 2>/dev/null && find . -mindepth 1 -printf '%p %y %s\n' | sort |
    while read -r p y s; do
      if [ "$y" = f ]; then echo "$p f $s $(sha256sum < "$p" | cut -c1-16) $(stat -c %Y "$p")"; else echo "$p $y"; fi
    done)
}
world() {
  find "$W" -path "$T" -prune -o -printf '%p %y %s %T@\n' | sort
  cat "$CFG" 2>/dev/null
}

# The package: a few members in nested folders, one empty, all with one
# old time.
rm -rf "$W"
mkdir -p "$W/home/.KX/kxlaunch" "$W/tmp" "$W/pkg" "$W/src/t/deep" "$W/src/z"
echo alpha > "$W/src/a.cfg"
echo beta > "$W/src/t/b.cfg"
echo gamma > "$W/src/t/deep/c.cfg"
echo delta > "$W/src/t/d.cfg"
echo eps > "$W/src/t/e.cfg"
: > "$W/src/z/empty.cfg"
find "$W/src" -type f -exec touch -t 202001011200 {} +
"$DPKPACK" -o "$W/pkg/kxq5.dpk" "$W/src" > /dev/null || fail "cannot build the package"
# Other lines and another folder in the launcher's file stay as they are.
printf 'Owner=Fran\xe7ois\r\nConfigurationTemplatesLocation=/elsewhere\nLast=1\n' > "$CFG"
CFG_BEFORE=$(od -c "$CFG")

run -S
[ "$STATUS" = 0 ] || fail "install: exit status $STATUS: $(cat "$WORK/err")"
INSTALLED=$(tree)

# The user's changes.
echo "my edit" >> "$T/t/b.cfg"
echo "mine" > "$T/t/mine.txt"
rm "$T/t/d.cfg"
echo "old eps" > "$T/t/e.cfg" && touch -t 201901011200 "$T/t/e.cfg"
CHANGED=$(tree)
EDITED=$(sha256sum < "$T/t/b.cfg")

# check_case NAME ARGS STATUS LINES SUMMARY: runs one case of a table below
# (@ in LINES and SUMMARY is the target) and checks its exit status, its
# path lines and its summary line; a dry run must change nothing anywhere.
check_case() {
  local name=$1 args=$2 status=$3 expect_lines=$4 expect_summary=$5 before_tree before_world want_lines
  before_tree=$(tree)
  before_world=$(world)
  # shellcheck disable=SC2086
  run $args
  [ "$STATUS" = "$status" ] || fail "$name: exit status $STATUS, expected $status ($(cat "$WORK/err"))"
  want_lines=$(printf '%b' "${expect_lines//@/$T}")
  [ "$(lines)" = "$want_lines" ] || fail "$name: lines
$(lines)
expected
$want_lines"
  [ "$(summary)" = "setup: ${expect_summary//@/$T}" ] || fail "$name: summary '$(summary)'"
  if [[ "$args" == *-N* ]]; then
    [ "$(tree)" = "$before_tree" ] || fail "$name: the dry run changed the target"
    [ "$(world)" = "$before_world" ] || fail "$name: the dry run wrote outside the target"
  fi
}

# Each case: name, arguments, exit status, the path lines, the summary.
while IFS='|' read -r name args status expect_lines expect_summary; do
  [ -n "$name" ] || continue
  check_case "$name" "$args" "$status" "$expect_lines" "$expect_summary"
  case "$name" in
    repair)
      [ "$(tree | grep -v kxq5-modified | grep -v mine.txt)" = "$INSTALLED" ] ||
        fail "repair: not the package's files: $(diff <(echo "$INSTALLED") <(tree))"
      [ "$(sha256sum < "$T/t/b.cfg.kxq5-modified")" = "$EDITED" ] || fail "repair: the edit was not kept beside"
      ;;
    repair-again)
      [ ! -e "$T/t/b.cfg.kxq5-modified-2" ] || fail "repair-again: kept a file that was the package's"
      ;;
  esac
  [ -z "$(find "$T" -name '.q5stp-*' -print -quit 2>/dev/null)" ] || fail "$name: run names left"
  # Each case works on what the one before it left; some change it first.
  case "$name" in
    repair-again) echo "edited again" >> "$T/t/b.cfg" ;;
  esac
done <<EOF
repair-dry|-R -N|0|setup: would replace @/t/b.cfg (modified, kept as @/t/b.cfg.kxq5-modified)\nsetup: would restore @/t/d.cfg (missing)\nsetup: would replace @/t/e.cfg (outdated)|result=would-repair restored=1 replaced=2 kept-beside=1 up-to-date=3 registration=unchanged signature=none target=@
repair|-R|0|setup: replaced @/t/b.cfg (modified, kept as @/t/b.cfg.kxq5-modified)\nsetup: restored @/t/d.cfg (missing)\nsetup: replaced @/t/e.cfg (outdated)|result=repaired restored=1 replaced=2 kept-beside=1 up-to-date=3 registration=unchanged signature=none target=@
repair-again|-R|0||result=repaired restored=0 replaced=0 kept-beside=0 up-to-date=6 registration=unchanged signature=none target=@
edit-again|-R -N|0|setup: would replace @/t/b.cfg (modified, kept as @/t/b.cfg.kxq5-modified-2)|result=would-repair restored=0 replaced=1 kept-beside=1 up-to-date=5 registration=unchanged signature=none target=@
edit-kept|-R|0|setup: replaced @/t/b.cfg (modified, kept as @/t/b.cfg.kxq5-modified-2)|result=repaired restored=0 replaced=1 kept-beside=1 up-to-date=5 registration=unchanged signature=none target=@
EOF

# The remove, on a target with the edited file again and one more of the
# user's, whose name holds a tab (named escaped): the package's unchanged
# files go, the others stay and are named.
echo "edited once more" >> "$T/t/b.cfg"
echo note > "$T/z/note	tab"
while IFS='|' read -r name args status expect_lines expect_summary; do
  [ -n "$name" ] || continue
  check_case "$name" "$args" "$status" "$expect_lines" "$expect_summary"
  case "$name" in
    remove)
      [ "$(cd "$T" && find . -mindepth 1 | sort | tr '\n' ' ')" = \
        "$(printf './t ./t/b.cfg ./t/b.cfg.kxq5-modified ./t/b.cfg.kxq5-modified-2 ./t/mine.txt ./z ./z/note\ttab ')" ] ||
        fail "remove: left $(cd "$T" && find . -mindepth 1 | sort | tr '\n' ' ')"
      grep -q "ConfigurationTemplatesLocation=$T" "$CFG" || fail "remove: unlisted while the edited member is left"
      ;;
    remove-last)
      [ -d "$T" ] || fail "remove-last: the target itself went"
      [ "$(od -c "$CFG")" = "$CFG_BEFORE" ] || fail "remove-last: the launcher's file is not as before: $(od -c "$CFG")"
      ;;
  esac
  [ -z "$(find "$T" -name '.q5stp-*' -print -quit 2>/dev/null)" ] || fail "$name: run names left"
  case "$name" in
    remove-again) rm "$T/t/b.cfg" "$T/z/note	tab" ;;
  esac
done <<EOF
remove-dry|-U -N|0|setup: would remove @/a.cfg\nsetup: would keep @/t/b.cfg (modified)\nsetup: would remove @/t/d.cfg\nsetup: would remove @/t/deep/c.cfg\nsetup: would remove @/t/e.cfg\nsetup: would remove @/z/empty.cfg\nsetup: would keep @/t/b.cfg.kxq5-modified (added)\nsetup: would keep @/t/b.cfg.kxq5-modified-2 (added)\nsetup: would keep @/t/mine.txt (added)\nsetup: would keep @/z/note\\\\ttab (added)|result=would-keep-modified removed=5 kept=5 registration=would-keep signature=none target=@
remove|-U|6|setup: removed @/a.cfg\nsetup: kept @/t/b.cfg (modified)\nsetup: removed @/t/d.cfg\nsetup: removed @/t/deep/c.cfg\nsetup: removed @/t/e.cfg\nsetup: removed @/z/empty.cfg\nsetup: kept @/t/b.cfg.kxq5-modified (added)\nsetup: kept @/t/b.cfg.kxq5-modified-2 (added)\nsetup: kept @/t/mine.txt (added)\nsetup: kept @/z/note\\\\ttab (added)|result=kept-modified removed=5 kept=5 registration=kept signature=none target=@
remove-again|-U|6|setup: kept @/t/b.cfg (modified)\nsetup: kept @/t/b.cfg.kxq5-modified (added)\nsetup: kept @/t/b.cfg.kxq5-modified-2 (added)\nsetup: kept @/t/mine.txt (added)\nsetup: kept @/z/note\\\\ttab (added)\nsetup: nothing to remove in @|result=kept-modified removed=0 kept=5 registration=kept signature=none target=@
remove-last|-U|6|setup: kept @/t/b.cfg.kxq5-modified (added)\nsetup: kept @/t/b.cfg.kxq5-modified-2 (added)\nsetup: kept @/t/mine.txt (added)\nsetup: nothing to remove in @|result=kept-modified removed=0 kept=3 registration=removed signature=none target=@
remove-unlisted|-U|6|setup: kept @/t/b.cfg.kxq5-modified (added)\nsetup: kept @/t/b.cfg.kxq5-modified-2 (added)\nsetup: kept @/t/mine.txt (added)\nsetup: nothing to remove in @|result=kept-modified removed=0 kept=3 registration=not-listed signature=none target=@
EOF

# A remove of a target with nothing but the package's files leaves the
# target empty, and none of the package's folders.
rm -rf "$T"
run -S
run -U
[ "$STATUS" = 0 ] || fail "clean remove: exit status $STATUS"
[ "$(summary)" = "setup: result=removed removed=6 kept=0 registration=removed signature=none target=$T" ] ||
  fail "clean remove: summary '$(summary)'"
[ -d "$T" ] && [ -z "$(ls -A "$T")" ] || fail "clean remove: left $(ls -A "$T")"

# A target that is not there: nothing to remove, nothing to repair (the
# install makes it: the repair fails as its dry run says), and nothing is
# made by asking.
rm -rf "$T"
while IFS='|' read -r args status expect_summary; do
  # shellcheck disable=SC2086
  run $args
  [ "$STATUS" = "$status" ] || fail "missing target, $args: exit status $STATUS, expected $status"
  [ "$(summary)" = "setup: ${expect_summary//@/$T}" ] || fail "missing target, $args: summary '$(summary)'"
  [ ! -e "$T" ] || fail "missing target, $args: the target was made"
done <<EOF
-U -N|0|result=would-remove removed=0 kept=0 registration=not-listed signature=none target=@
-U|0|result=removed removed=0 kept=0 registration=not-listed signature=none target=@
-R -N|2|result=would-fail restored=0 replaced=0 kept-beside=0 up-to-date=0 registration=unchanged signature=none target=@
-R|2|result=failed-restored restored=0 replaced=0 kept-beside=0 up-to-date=0 registration=unchanged signature=none target=@
EOF

# A file where a member's folder goes: the repair fails as its dry run
# says it would, with the same words, and changes nothing.
run -S
rm -rf "$T/t/deep" && echo mine > "$T/t/deep"
for args in "-R -N" -R; do
  before=$(tree)
  # shellcheck disable=SC2086
  run $args
  [ "$STATUS" = 2 ] || fail "file on the way, $args: exit status $STATUS, expected 2"
  grep -qxF "setup: Installation error $T/t/deep: a file stands where a directory is needed" "$WORK/err" ||
    fail "file on the way, $args: $(cat "$WORK/err")"
  [ "$(tree)" = "$before" ] || fail "file on the way, $args: the target changed"
done
# The remove keeps and names what stands where a package folder was: the
# user's file, or a link, never followed.
mkdir -p "$W/outside" && echo gamma > "$W/outside/c.cfg"
for blocker in added link; do
  run -S
  rm -rf "$T/t/deep"
  if [ "$blocker" = link ]; then ln -s "$W/outside" "$T/t/deep"; else echo mine > "$T/t/deep"; fi
  run -U
  [ "$STATUS" = 6 ] && lines | grep -qxF "setup: kept $T/t/deep ($blocker)" ||
    fail "remove with a $blocker where a folder was: exit status $STATUS: $(cat "$WORK/out")"
  [ -L "$T/t/deep" ] || [ -f "$T/t/deep" ] || fail "remove with a $blocker where a folder was: it went"
  [ "$(cat "$W/outside/c.cfg")" = gamma ] || fail "remove with a link: the file behind it went"
  rm -rf "$T"
done

# A disk with room for the changed file but not for every file a repair
# writes (each member beside its place until its comparison is over): the
# dry run and the repair refuse alike, with the room they need, and
# nothing changes. Needs a tmpfs of its own: root only.
S=$WORK/small
mkdir -p "$S/mnt" "$S/src/t" "$S/pkg"
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=1200k tmpfs "$S/mnt" 2>/dev/null; then
  for i in 1 2 3 4; do head -c 200000 /dev/urandom > "$S/src/t/m$i.bin"; done
  "$DPKPACK" -o "$S/pkg/kxq5.dpk" "$S/src" > /dev/null
  (cd "$S/pkg" && exec "$SETUP" usecwd -S "-D$S/mnt/t" -Len) > /dev/null 2>&1
  echo edited >> "$S/mnt/t/t/m1.bin"
  head -c 300000 /dev/zero > "$S/mnt/fill"
  before=$(cd "$S/mnt" && find . -type f -printf '%p %s %T@\n' | sort)
  for args in "-R -N" -R; do
    # shellcheck disable=SC2086
    (cd "$S/pkg" && exec "$SETUP" usecwd $args "-D$S/mnt/t" -Len) > "$WORK/out" 2> "$WORK/err"
    st=$?
    [ "$st" = 2 ] && grep -q "Insufficient space in the directory $S/mnt/t: 784 KiB needed" "$WORK/err" ||
      fail "no room for a repair, $args: exit status $st: $(cat "$WORK/err")"
    [ "$(cd "$S/mnt" && find . -type f -printf '%p %s %T@\n' | sort)" = "$before" ] ||
      fail "no room for a repair, $args: the disk changed"
  done
  umount "$S/mnt"
else
  echo "maintenance: SKIP no room for a repair: cannot mount a tmpfs here"
fi

# Folders the user may not write: the target, then only a folder in it.
# The dry runs of the remove and the repair fail where and as the runs
# fail, and nothing changes. Root only: run as nobody.
R=$WORK/ro
if [ "$(id -u)" = 0 ] && setpriv --reuid=65534 --regid=65534 --clear-groups true 2> /dev/null; then
  mkdir -p "$R/home" "$R/tmp"
  (cd "$W/pkg" && HOME=$R/home exec "$SETUP" usecwd -S "-D$R/t" -Len) > /dev/null 2>&1
  echo edited >> "$R/t/t/b.cfg"
  chown -R 65534 "$R/home" "$R/tmp"
  chmod a+x "$WORK" "$W" && chmod -R a+rX "$W/pkg" "$R"
  as_nobody() {
    (cd "$W/pkg" && HOME=$R/home TMPDIR=$R/tmp exec setpriv --reuid=65534 --regid=65534 --clear-groups \
      "$SETUP" usecwd "$@" "-D$R/t" -Len) > "$WORK/out" 2> "$WORK/err"
  }
  ro_tree() { (cd "$R/t" && find . -type f -printf '%p %s %T@ %u\n' | sort); }
  while IFS='|' read -r owner mode where; do
    chown "$owner" "$R/t"
    for args in "$mode -N" "$mode"; do
      before=$(ro_tree)
      # shellcheck disable=SC2086
      as_nobody $args
      st=$?
      [ "$st" = 2 ] && [ "$(cat "$WORK/err")" = "setup: Installation error $R/t$where: permission denied" ] ||
        fail "not writable ($owner), $args: exit status $st: $(cat "$WORK/err")"
      [ "$(ro_tree)" = "$before" ] || fail "not writable ($owner), $args: the target changed"
    done
  done <<EOF
0|-U|
0|-R|
65534|-U|/t/d.cfg
65534|-R|/t/b.cfg
EOF
else
  echo "maintenance: SKIP folders the user may not write: not root, or no setpriv"
fi

# 2. Killed and signalled. A larger package: many small members in nested
# folders and a few of several MiB, installed, then changed by its user.
KILLS=${MAINTENANCE_KILLS:-16}
rm -rf "$W/src" "$T" && mkdir -p "$W/src"
for ((i = 0; i < 160; i++)); do
  d="$W/src/k$((i % 5))/s$((i % 3))"
  mkdir -p "$d"
  head -c $((300 + i * 41)) /dev/urandom > "$d/m$i.cfg"
done
mkdir -p "$W/src/big"
for ((i = 0; i < 3; i++)); do head -c $(((2 + i) << 20)) /dev/urandom > "$W/src/big/b$i.bin"; done
find "$W/src" -type f -exec touch -t 202001011200 {} +
"$DPKPACK" -L 1 -o "$W/pkg/kxq5.dpk" "$W/src" > /dev/null || fail "cannot build the large package"
run -S
[ "$STATUS" = 0 ] || fail "large install: exit status $STATUS"
for ((i = 0; i < 160; i += 5)); do echo "edit $i" >> "$T/k$((i % 5))/s$((i % 3))/m$i.cfg"; done
for ((i = 1; i < 160; i += 7)); do rm -f "$T/k$((i % 5))/s$((i % 3))/m$i.cfg"; done
for ((i = 3; i < 160; i += 11)); do
  f="$T/k$((i % 5))/s$((i % 3))/m$i.cfg"
  echo "older $i" > "$f" && touch -t 201901011200 "$f"
done
echo "big edit" >> "$T/big/b1.bin"
echo mine > "$T/k1/mine.txt"
rm -rf "$WORK/old" && cp -a "$T" "$WORK/old"

# "path hash hash" of every file below the target, run names apart.
files() {
  (cd "$T" && find . -type f ! -name '.q5stp-*' -print0 | sort -z | xargs -0 -r sha256sum |
    awk '{ h = substr($1, 1, 16); print $2, h, h }')
}
reset() { rm -rf "$T" && cp -a "$WORK/old" "$T"; }
OLD_FILES=$(reset; files)
start_bg() { (cd "$W/pkg" && exec "$SETUP" usecwd "$@" "-D$T" -Len) > "$WORK/bg" 2>&1 & PID=$!; }
now() { date +%s.%N; }

for mode in R U; do
  reset
  t0=$(now)
  run "-$mode"
  t1=$(now)
  NEW_FILES=$(files)
  took=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  echo "-$mode takes about $took s; killed at $KILLS moments within it"
  whole=0
  for ((k = 0; k < KILLS; k++)); do
    reset
    start_bg "-$mode"
    sleep "$(awk -v c="$took" -v k="$k" -v n="$KILLS" 'BEGIN { printf "%.4f", c * k / n }')"
    kill -9 "$PID" 2>/dev/null
    wait "$PID" 2>/dev/null
    # Every file is its old or its new self; a changed file may be kept
    # beside itself already, with its old bytes.
    bad=$(awk -v OLD="$OLD_FILES" -v NEW="$NEW_FILES" '
      BEGIN {
        n = split(OLD, l, "\n"); for (i = 1; i <= n; i++) { split(l[i], f, " "); old[f[1]] = l[i]; hash[f[3]] = 1; all[f[1]] = 1 }
        n = split(NEW, l, "\n"); for (i = 1; i <= n; i++) { split(l[i], f, " "); new[f[1]] = l[i]; all[f[1]] = 1 }
      }
      { cur[$1] = $0 }
      END {
        for (p in all) {
          c = (p in cur) ? cur[p] : "-"; o = (p in old) ? old[p] : "-"; w = (p in new) ? new[p] : "-"
          if (c != o && c != w) print "partial: " p
        }
        for (p in cur) if (!(p in all)) { split(cur[p], f, " "); if (!(p ~ /kxq5-modified/ && (f[3] in hash))) print "stray: " p }
      }' <(files))
    if [ -n "$bad" ]; then
      fail "-$mode kill $k: $(echo "$bad" | head -3)"
      continue
    fi
    run "-$mode"
    case "$STATUS" in 0 | 6) ;; *) fail "-$mode kill $k: the re-run ended with $STATUS"; continue ;; esac
    # A changed file kept beside itself just before the kill is kept again
    # by the re-run, under the next name: the user's bytes twice, never lost.
    after=$(files | grep -v 'kxq5-modified-[0-9]')
    if [ "$after" != "$NEW_FILES" ]; then
      fail "-$mode kill $k: the re-run left another tree: $(diff <(echo "$NEW_FILES") <(echo "$after") | head -4)"
      continue
    fi
    [ -z "$(find "$T" -name '.q5stp-*' -print -quit)" ] || { fail "-$mode kill $k: run names left"; continue; }
    whole=$((whole + 1))
  done
  echo "-$mode: $whole of $KILLS killed runs left whole files and were finished by a re-run"

  # SIGTERM half way: everything back as it was (3), or the run was done.
  for how in TERM INT; do
    reset
    start_bg "-$mode"
    sleep "$(awk -v c="$took" 'BEGIN { printf "%.4f", c / 2 }')"
    kill -"$how" "$PID" 2>/dev/null
    wait "$PID"
    status=$?
    case "$status" in
      3) [ "$(files)" = "$OLD_FILES" ] || fail "-$mode SIG$how: cancelled, but the tree is not the old one" ;;
      0 | 6) [ "$(files)" = "$NEW_FILES" ] || fail "-$mode SIG$how: done, but the tree is not the new one" ;;
      *) fail "-$mode SIG$how: exit status $status: $(tail -2 "$WORK/bg")" ;;
    esac
    [ -z "$(find "$T" -name '.q5stp-*' -print -quit)" ] || fail "-$mode SIG$how: run names left"
    echo "-$mode: SIG$how half way ended it with $status"
  done
  # A signal with every file changed and nothing committed yet puts every
  # one back.
  reset
  SETUP_TEST_PAUSE_BEFORE_COMMIT_MS=20000 start_bg "-$mode"
  for ((i = 0; i < 400; i++)); do
    grep -q "^setup: \(removed\|restored\|replaced\)" "$WORK/bg" 2>/dev/null && break
    sleep 0.05
  done
  sleep 0.2
  kill -TERM "$PID" 2>/dev/null
  wait "$PID"
  status=$?
  [ "$status" = 3 ] || fail "-$mode SIGTERM before the commit: exit status $status, expected 3"
  [ "$(files)" = "$OLD_FILES" ] || fail "-$mode SIGTERM before the commit: the tree is not the old one:
$(diff <(echo "$OLD_FILES") <(files) | head -5)"
  [ -z "$(find "$T" -name '.q5stp-*' -print -quit)" ] || fail "-$mode SIGTERM before the commit: run names left"
  tail -n 1 "$WORK/bg" | grep -q "result=cancelled-restored" || fail "-$mode SIGTERM before the commit: $(tail -n 1 "$WORK/bg")"
  # A signal once everything is done, before the summary: the line and the
  # status say what is on disk, once.
  reset
  SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS=20000 start_bg "-$mode"
  for ((i = 0; i < 400; i++)); do
    [ "$(files)" = "$NEW_FILES" ] && [ -z "$(find "$T" -name '.q5stp-*' -print -quit)" ] && break
    sleep 0.05
  done
  sleep 0.2
  kill -INT "$PID" 2>/dev/null
  wait "$PID"
  status=$?
  [ "$(files)" = "$NEW_FILES" ] || fail "-$mode SIGINT after the commit: the tree is not the new one"
  case "$mode:$status" in R:0 | U:6) ;; *) fail "-$mode SIGINT after the commit: exit status $status" ;; esac
  [ "$(grep -c ' result=' "$WORK/bg")" = 1 ] && tail -n 1 "$WORK/bg" | grep -q "result=\(repaired\|kept-modified\) " ||
    fail "-$mode SIGINT after the commit: $(grep ' result=' "$WORK/bg")"
done

[ "$FAILED" = 0 ] && echo "maintenance test: all cases passed"
exit "$FAILED"
