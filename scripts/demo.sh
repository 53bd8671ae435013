#!/usr/bin/env bash
# Sets everything up and opens the wizard on the bundled sample package.
# HOME and TMPDIR point into ./demo-run, so trying the installer changes
# nothing in your own launcher configuration. Extra arguments go to setup
# (for example -Lde for German, or -S for a silent install).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target setup sample_package

demo="$root/demo-run"
mkdir -p "$demo/home" "$demo/tmp"
echo "Scratch HOME: $demo/home   scratch TMPDIR: $demo/tmp"
if [ -z "${DISPLAY:-}" ]; then
  echo "No DISPLAY is set: the wizard needs an X display (run it from a desktop session)." >&2
  exit 1
fi
status=0
HOME="$demo/home" TMPDIR="$demo/tmp" "$root/build/app/setup" "$@" || status=$?
echo "setup ended with exit status $status"
if [ -f "$demo/home/.KX/kxlaunch/kxlaunch.cfg" ]; then
  echo "Launcher configuration written to $demo/home/.KX/kxlaunch/kxlaunch.cfg:"
  cat "$demo/home/.KX/kxlaunch/kxlaunch.cfg"
fi
exit $status
