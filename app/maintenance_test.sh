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
trap 'rm -rf "$WORK"' EXIT
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

# Each case: name, arguments, exit status, the path lines, the summary.
P=$T
while IFS='|' read -r name args status expect_lines expect_summary; do
  [ -n "$name" ] || continue
  before_tree=$(tree)
  before_world=$(world)
  # shellcheck disable=SC2086
  run $args
  [ "$STATUS" = "$status" ] || fail "$name: exit status $STATUS, expected $status ($(cat "$WORK/err"))"
  want_lines=$(printf '%b' "${expect_lines//@/$P}")
  [ "$(lines)" = "$want_lines" ] || fail "$name: lines
$(lines)
expected
$want_lines"
  [ "$(summary)" = "setup: ${expect_summary//@/$P}" ] || fail "$name: summary '$(summary)'"
  if [[ "$args" == *-N* ]]; then
    [ "$(tree)" = "$before_tree" ] || fail "$name: the dry run changed the target"
    [ "$(world)" = "$before_world" ] || fail "$name: the dry run wrote outside the target"
  fi
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
  before_tree=$(tree)
  before_world=$(world)
  # shellcheck disable=SC2086
  run $args
  [ "$STATUS" = "$status" ] || fail "$name: exit status $STATUS, expected $status ($(cat "$WORK/err"))"
  want_lines=$(printf '%b' "${expect_lines//@/$P}")
  [ "$(lines)" = "$want_lines" ] || fail "$name: lines
$(lines)
expected
$want_lines"
  [ "$(summary)" = "setup: ${expect_summary//@/$P}" ] || fail "$name: summary '$(summary)'"
  if [[ "$args" == *-N* ]]; then
    [ "$(tree)" = "$before_tree" ] || fail "$name: the dry run changed the target"
    [ "$(world)" = "$before_world" ] || fail "$name: the dry run wrote outside the target"
  fi
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

[ "$FAILED" = 0 ] && echo "maintenance test: all cases passed"
exit "$FAILED"
