#!/usr/bin/env bash
# The README's first command on a machine without a display:
#   demo_test.sh SOURCE_DIR BUILD_DIR
# Runs scripts/demo.sh against BUILD_DIR as it is (nothing is installed or
# built, so a suite running in parallel keeps its build), in scratch
# folders. Without a display and without a silent switch, the demo must
# install the sample silently and photograph every page of the wizard;
# with a silent switch in any spelling setup accepts, it installs and takes
# no pictures. Skipped (77) without Xvfb, xdotool or ImageMagick.
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8

SRC=$(realpath "$1")
BUILD=$(realpath "$2")
for tool in Xvfb xdotool import; do
  command -v "$tool" > /dev/null 2>&1 || { echo "SKIPPED: $tool is not installed"; exit 77; }
done
WORK=$(mktemp -d /tmp/setup-demo-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILED=0
fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

# demo NAME ARGS...: runs the demo in $WORK/NAME; sets STATUS and OUT.
demo() {
  local name=$1
  shift
  STATUS=0
  DEMO_DIR="$WORK/$name" DEMO_BUILD="$BUILD" DEMO_NO_BUILD=1 bash "$SRC/scripts/demo.sh" "$@" \
    > "$WORK/$name.out" 2>&1 || STATUS=$?
  OUT=$(cat "$WORK/$name.out")
}
# installed NAME ARGS: the sample's whole tree is in the directory the
# launcher configuration names.
installed() {
  local config="$WORK/$1/home/.KX/kxlaunch/kxlaunch.cfg" target
  target=$(sed -n 's/^ConfigurationTemplatesLocation=//p' "$config" 2> /dev/null | head -n 1)
  if [ -z "$target" ]; then
    fail "$2: no template directory registered in $config"
  elif ! diff -r "$SRC/sample/tree" "$target" > /dev/null; then
    fail "$2: $target does not hold the sample's tree"
  fi
}

# Not silent as setup reads it: the scan stops at the language option, so
# the -S after it does not count. The demo must put its own switch first.
demo wizard -Lde -S
[ "$STATUS" -eq 0 ] || fail "-Lde -S: exit status $STATUS"$'\n'"$OUT"
installed wizard "-Lde -S"
for page in welcome directory success error-box error progress cancel-box cancelled; do
  png="$WORK/wizard/screenshots/de-$page.png"
  [ "$(head -c 8 "$png" 2> /dev/null | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    fail "-Lde -S: $png is not a picture"
done
grep -qF "$WORK/wizard/screenshots" <<< "$OUT" || fail "-Lde -S: the output does not say where the pictures are"

# Silent in every spelling setup accepts: installed, and no wizard to
# photograph.
n=0
for args in "-s" "/S" "-Silent" "/s -Lde"; do
  name=silent$((++n))
  # shellcheck disable=SC2086  # the spelling is split into its arguments
  demo "$name" $args
  [ "$STATUS" -eq 0 ] || fail "$args: exit status $STATUS"$'\n'"$OUT"
  installed "$name" "$args"
  [ ! -e "$WORK/$name/screenshots" ] || fail "$args: pictures were taken of a silent run"
done

[ "$FAILED" -eq 0 ] && echo "demo without a display: all checks passed"
exit "$FAILED"
