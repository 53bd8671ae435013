#!/usr/bin/env bash
# Renders the wizard's pages on the current X display and saves them as PNG:
#   app/screenshots.sh SETUP_BINARY DPKPACK_BINARY OUT_DIR [LANG...]
# For each language (default: en): welcome, directory, progress, success,
# error and cancelled pages, named LANG-PAGE.png, and the boxes. With
# LARGE_FONT set (a font name, such as "Sans 16"), each language is also
# shown at that font, driven from the keyboard, as LANG-large-PAGE.png.
# Needs xdotool and ImageMagick's import. Exits 0 when every picture was
# taken, 1 when one is missing (each missing one is named on standard error).
set -u
FAILED=0

SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
OUT=$(realpath -m "$3")
shift 3
LANGS=("$@")
[ ${#LANGS[@]} -gt 0 ] || LANGS=(en)
PAGES=(welcome directory success error-box error progress cancel-box cancelled)
mkdir -p "$OUT"
# A picture left from an earlier run must not stand in for one not taken.
for lang in "${LANGS[@]}"; do
  for page in "${PAGES[@]}"; do rm -f "$OUT/$lang-$page.png"; done
done
WORK=$(mktemp -d /tmp/setup-shots-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export HOME=$WORK/home TMPDIR=$WORK/tmp
mkdir -p "$HOME" "$TMPDIR" "$WORK/small/src/templates" "$WORK/big/src/big" "$WORK/bin"
# The readme is not opened while taking pictures.
printf '#!/bin/sh\nexit 0\n' > "$WORK/bin/xdg-open"
chmod +x "$WORK/bin/xdg-open"
export PATH=$WORK/bin:$PATH

echo "alpha" > "$WORK/small/src/templates/accounting.cfg"
echo "read me" > "$WORK/small/src/readme.txt"
"$DPKPACK" -o "$WORK/small/kxq5.dpk" -l en -p "Ledger Templates 5" -v "Northwind Software" \
  -r readme.txt "$WORK/small/src" > /dev/null
head -c 60000000 /dev/zero | tr '\0' 'x' > "$WORK/blob"
(cd "$WORK/big/src/big" && split -b 500 -a 4 "$WORK/blob" m)
"$DPKPACK" -L 1 -o "$WORK/big/kxq5.dpk" -l en -p "Ledger Templates 5" -v "Northwind Software" \
  "$WORK/big/src" > /dev/null
echo "a plain file" > "$WORK/blocker"

# A busy X server now and then drops a new connection at once; every tool
# here opens one per call, so a call that could not connect is made again.
xdotool() {
  local i status=0
  for ((i = 0; i < 5; i++)); do
    command xdotool "$@" 2> "$WORK/xdo.err"
    status=$?
    grep -q "open display" "$WORK/xdo.err" || { cat "$WORK/xdo.err" >&2; return $status; }
    sleep 0.1
  done
  return $status
}

NEXT=(350 335)
CANCEL=(450 335)
ENTRY=(310 290)

# The wizard window of process $1 (500 x 360, or larger at a large font).
wizard_of() {
  for ((i = 0; i < 100; i++)); do
    for id in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
      if xdotool getwindowgeometry "$id" 2>/dev/null | grep -q -E 'Geometry: [5-9][0-9]{2}x[3-9][0-9]{2}'; then
        echo "$id"
        return 0
      fi
    done
    sleep 0.1
  done
  return 1
}
# Any other visible window of process $1 (a message box).
box_of() {
  for ((i = 0; i < 50; i++)); do
    for id in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
      [ "$id" != "$2" ] && { echo "$id"; return 0; }
    done
    sleep 0.1
  done
  return 1
}
wait_for() {
  for ((i = 0; i < 200; i++)); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  return 1
}
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.3; }
# Yes is the last button of a question box, at its lower right. (Its
# mnemonic is the language's own letter, so no one key answers them all.)
answer_yes() {
  local geometry w h
  geometry=$(xdotool getwindowgeometry "$1" 2>/dev/null | sed -n 's/.*Geometry: //p')
  w=${geometry%x*}
  h=${geometry#*x}
  [ -n "$w" ] && click "$1" $((w - 55)) $((h - 29))
}
shot() {
  [ -n "$1" ] || { echo "no window for $2" >&2; FAILED=1; return; }
  sleep 0.4
  for ((i = 0; i < 5; i++)); do
    import -window "$1" "$OUT/$2.png" 2>/dev/null && return
    sleep 0.1
  done
  echo "could not take $2" >&2
  FAILED=1
}
type_target() {
  click "$1" "${ENTRY[@]}"
  xdotool key --clearmodifiers ctrl+a BackSpace
  xdotool type --delay 2 "$2"
  sleep 0.2
}
run() {  # package folder, language: starts the wizard, sets PID and WID
  (cd "$1" && exec "$SETUP" usecwd "-L$2") &
  PID=$!
  WID=$(wizard_of "$PID")
}
# A process that has ended but is not yet reaped still answers kill -0.
running() { [ -n "$(ps -o stat= -p "$PID" 2>/dev/null | grep -v '^Z')" ]; }
finish() {
  for ((n = 0; n < 240; n++)); do
    running || break
    click "$WID" "${NEXT[@]}" 2>/dev/null
    sleep 0.2
  done
  wait "$PID" 2>/dev/null
}

for lang in "${LANGS[@]}"; do
  rm -rf "$HOME/.KX" "$HOME/.kxq5" "$WORK/target"
  # Welcome, directory, success (into a long path, which breaks only
  # after a "/").
  run "$WORK/small" "$lang"
  shot "$WID" "$lang-welcome"
  click "$WID" "${NEXT[@]}"
  shot "$WID" "$lang-directory"
  type_target "$WID" "$WORK/target/accounting-department/templates-for-the-annual-report/2026"
  click "$WID" "${NEXT[@]}"
  wait_for "$HOME/.KX/kxlaunch/kxlaunch.cfg"
  shot "$WID" "$lang-success"
  finish

  # Error: a folder cannot be made below a plain file.
  run "$WORK/small" "$lang"
  click "$WID" "${NEXT[@]}"
  type_target "$WID" "$WORK/blocker/sub"
  click "$WID" "${NEXT[@]}"
  BOX=$(box_of "$PID" "$WID")
  shot "$BOX" "$lang-error-box"
  xdotool key --window "$BOX" Return 2>/dev/null
  shot "$WID" "$lang-error"
  finish

  # Progress, then cancelled.
  rm -rf "$WORK/target"
  run "$WORK/big" "$lang"
  click "$WID" "${NEXT[@]}"
  type_target "$WID" "$WORK/target"
  click "$WID" "${NEXT[@]}"
  # Members get their names only at the end of the copy; their folder
  # shows that it has begun.
  wait_for "$WORK/target/big"
  sleep 1
  shot "$WID" "$lang-progress"
  click "$WID" "${CANCEL[@]}"
  BOX=$(box_of "$PID" "$WID")
  shot "$BOX" "$lang-cancel-box"
  answer_yes "$BOX"
  # The rollback removes the folder the copy made.
  for ((i = 0; i < 300; i++)); do
    [ -e "$WORK/target/big" ] || break
    sleep 0.1
  done
  sleep 1
  shot "$WID" "$lang-cancelled"
  finish
done

# The same wizard at a large font, from the keyboard (the buttons are where
# the font puts them): Enter is Next, Escape closes a final page.
key() { xdotool key --window "$1" "${@:2}"; sleep 0.4; }
type_keys() {
  key "$1" ctrl+a BackSpace
  xdotool type --delay 2 "$2"
  sleep 0.2
}
if [ -n "${LARGE_FONT:-}" ]; then
  printf 'gtk-font-name = "%s"\n' "$LARGE_FONT" > "$WORK/large.rc"
  export GTK2_RC_FILES=$WORK/large.rc
  for lang in "${LANGS[@]}"; do
    rm -rf "$HOME/.KX" "$HOME/.kxq5" "$WORK/target"
    run "$WORK/small" "$lang"
    shot "$WID" "$lang-large-welcome"
    key "$WID" Return
    shot "$WID" "$lang-large-directory"
    type_keys "$WID" "$WORK/target"
    key "$WID" Return
    wait_for "$HOME/.KX/kxlaunch/kxlaunch.cfg"
    shot "$WID" "$lang-large-success"
    key "$WID" Escape
    wait "$PID" 2>/dev/null

    run "$WORK/small" "$lang"
    key "$WID" Return
    type_keys "$WID" "$WORK/blocker/sub"
    key "$WID" Return
    BOX=$(box_of "$PID" "$WID")
    shot "$BOX" "$lang-large-error-box"
    xdotool key --window "$BOX" Return 2>/dev/null
    shot "$WID" "$lang-large-error"
    key "$WID" Escape
    wait "$PID" 2>/dev/null

    # The progress page, naming the file being copied; then a cancel.
    rm -rf "$WORK/target"
    run "$WORK/big" "$lang"
    key "$WID" Return
    type_keys "$WID" "$WORK/target"
    key "$WID" Return
    wait_for "$WORK/target/big"
    sleep 1
    shot "$WID" "$lang-large-progress"
    key "$WID" Escape
    answer_yes "$(box_of "$PID" "$WID")"
    for ((i = 0; i < 300; i++)); do
      [ -e "$WORK/target/big" ] || break
      sleep 0.1
    done
    key "$WID" Escape
    wait "$PID" 2>/dev/null
  done
fi

# The last wizard ended cancelled; the pictures, not its exit status, are
# what this script answers for.
missing=0
for lang in "${LANGS[@]}"; do
  for page in "${PAGES[@]}"; do
    [ -s "$OUT/$lang-$page.png" ] || { echo "missing: $OUT/$lang-$page.png" >&2; missing=1; }
  done
done
[ "$FAILED" -eq 0 ] || missing=1
exit $missing
