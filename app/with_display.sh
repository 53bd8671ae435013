#!/usr/bin/env bash
# Runs a test that needs an X display:  with_display.sh PROGRAM [ARGS...]
# With a working DISPLAY it runs there. Otherwise it starts a private Xvfb
# (on a free display number that Xvfb picks itself) for the length of the
# test, and when Xvfb is not installed it ends with 77, which the suite
# counts as "skipped", not as a failure. Listing the tests of a gtest
# program needs no display and runs straight away.
set -u

for arg in "$@"; do
  [ "$arg" = --gtest_list_tests ] && exec "$@"
done

display_works() {
  [ -n "${DISPLAY:-}" ] || return 1
  # Without xdpyinfo, trust the variable.
  command -v xdpyinfo > /dev/null 2>&1 || return 0
  xdpyinfo > /dev/null 2>&1
}

if display_works; then
  exec "$@"
fi

if ! command -v Xvfb > /dev/null 2>&1; then
  echo "SKIPPED: no X display (DISPLAY=${DISPLAY:-}) and no Xvfb to start one; install xvfb" >&2
  exit 77
fi

dir=$(mktemp -d /tmp/setup-xvfb-XXXXXX)
mkfifo "$dir/number"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$dir/number" > /dev/null 2>&1 &
xvfb=$!
cleanup() {
  kill "$xvfb" 2> /dev/null
  wait "$xvfb" 2> /dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
# Xvfb writes the number once it accepts connections.
if ! read -r -t 30 number < "$dir/number" || [ -z "$number" ]; then
  echo "with_display: Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=":$number"
unset WAYLAND_DISPLAY
"$@"
