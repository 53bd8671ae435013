#!/usr/bin/env bash
# Sets everything up and opens the wizard on the bundled sample package.
# HOME and TMPDIR point into ./demo-run, so trying the installer changes
# nothing in your own launcher configuration. Extra arguments go to setup
# (for example -Lde for German, or -S for a silent install).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
demo="$root/demo-run"
mkdir -p "$demo/home" "$demo/tmp"
log="$demo/build.log"

# The build talks a lot; a newcomer needs only to know it worked, or where
# to read why not.
echo "Installing dependencies and building (output in $log)..."
if ! { bash scripts/deps.sh &&
       cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$root/build" -j"$(nproc)" --target setup sample_package; } > "$log" 2>&1; then
  echo "The build failed. The last lines of $log:" >&2
  tail -n 20 "$log" >&2
  exit 1
fi
echo "Built $root/build/app/setup."

echo "Scratch HOME: $demo/home   scratch TMPDIR: $demo/tmp"
if [ -z "${DISPLAY:-}" ] && [[ " $* " != *" -S "* ]]; then
  echo "No DISPLAY is set: the wizard needs an X display (run it from a desktop session," >&2
  echo "or install without one: bash scripts/demo.sh -S)." >&2
  exit 1
fi
status=0
HOME="$demo/home" TMPDIR="$demo/tmp" "$root/build/app/setup" "$@" || status=$?

case $status in
  0) words="installed: the templates are in place and registered with the launcher" ;;
  1) words="not started: the installer stopped before copying anything (see its message)" ;;
  2) words="failed: the copy went wrong and was undone, nothing changed" ;;
  3) words="cancelled: the copy was stopped and undone (or the wizard was closed), nothing changed" ;;
  4) words="installed, but the launcher's configuration could not be updated" ;;
  *) words="ended unexpectedly" ;;
esac
echo
echo "setup ended with exit status $status: $words."

config="$demo/home/.KX/kxlaunch/kxlaunch.cfg"
if [ -f "$config" ]; then
  target=$(sed -n 's/^ConfigurationTemplatesLocation=//p' "$config" | head -n 1)
  if [ -n "$target" ] && [ -d "$target" ]; then
    echo "The templates went to $target:"
    (cd "$target" && find . -mindepth 1 -maxdepth 2 | sort | head -n 15 | sed 's/^\.\//  /')
    total=$(find "$target" -type f | wc -l)
    echo "  ($total files in all)"
  fi
  echo "The launcher configuration is $config:"
  sed 's/^/  /' "$config"
else
  echo "No launcher configuration was written (it would be $config)."
fi
echo "To start over: rm -rf $demo && bash scripts/demo.sh"
exit $status
