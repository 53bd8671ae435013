#!/usr/bin/env bash
# Sets everything up and opens the wizard on the bundled sample package.
# HOME and TMPDIR point into ./demo-run, so trying the installer changes
# nothing in your own launcher configuration. Every argument goes to setup
# as it is (for example -Lde for German, or -S for a silent install).
#
# Without a working display (a server, a container, an ssh session) the
# sample is installed silently instead, and the wizard's pages are
# photographed on a private Xvfb into ./demo-run/screenshots.
#
# The environment can change where things go (the test suite uses this to
# run the demo against its own build while other tests run):
#   DEMO_DIR=DIR     the scratch folder instead of ./demo-run
#   DEMO_BUILD=DIR   the build folder instead of ./build
#   DEMO_NO_BUILD=1  install no packages and build nothing: use what
#                    DEMO_BUILD holds as it is
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
demo=$(realpath -m "${DEMO_DIR:-$root/demo-run}")
build=$(realpath -m "${DEMO_BUILD:-$root/build}")
mkdir -p "$demo/home" "$demo/tmp"
log="$demo/build.log"

# The build talks a lot; a newcomer needs only to know it worked, or where
# to read why not.
if [ "${DEMO_NO_BUILD:-}" = 1 ]; then
  for file in "$build/app/setup" "$build/app/kxq5.dpk" "$build/tools/dpkpack"; do
    [ -e "$file" ] || { echo "DEMO_NO_BUILD is set, but $file is missing." >&2; exit 1; }
  done
else
  echo "Installing dependencies and building (output in $log)..."
  if ! { bash scripts/deps.sh &&
         cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
         cmake --build "$build" -j"$(nproc)" --target setup sample_package dpkpack; } > "$log" 2>&1; then
    echo "The build failed. The last lines of $log:" >&2
    tail -n 20 "$log" >&2
    exit 1
  fi
  echo "Built $build/app/setup."
fi

# Whether setup will run silently, decided as setup decides it: an argument
# that starts with - or / and whose second letter is s or S; setup stops
# looking at the first language option (-L or /L, either case).
silent_requested() {
  local arg
  for arg in "$@"; do
    case $arg in
      [-/][sS]*) return 0 ;;
      [-/][lL]*) return 1 ;;
    esac
  done
  return 1
}
# The wizard's language: the first language option's code, when it looks
# like one (it becomes part of the screenshots' file names).
wizard_language() {
  local arg
  for arg in "$@"; do
    case $arg in
      [-/][lL]*)
        [[ ${arg:2} =~ ^[A-Za-z]+([_-][A-Za-z]+)?$ ]] && { echo "${arg:2}"; return; }
        break ;;
    esac
  done
  echo en
}
display_works() {
  [ -n "${DISPLAY:-}" ] || return 1
  command -v xdpyinfo > /dev/null 2>&1 || return 0
  xdpyinfo > /dev/null 2>&1
}

args=("$@")
shots=""
if ! display_works && ! silent_requested "$@"; then
  # The switch goes in front: after a language option setup would not see
  # it. A leading "usecwd" counts only as the first argument, so it stays so.
  if [ "${1:-}" = usecwd ]; then
    args=(usecwd -S "${@:2}")
  else
    args=(-S "$@")
  fi
  shots="$demo/screenshots"
  echo "No working display: installing silently (setup ${args[*]}); the wizard's pages"
  echo "are photographed on a private X display afterwards."
fi

echo "Scratch HOME: $demo/home   scratch TMPDIR: $demo/tmp"
status=0
HOME="$demo/home" TMPDIR="$demo/tmp" "$build/app/setup" "${args[@]}" || status=$?

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

if [ -n "$shots" ]; then
  echo
  shots_log="$demo/screenshots.log"
  echo "Photographing the wizard's pages on a private X display (a minute or so; log in $shots_log)..."
  rm -rf "$shots"
  shots_status=0
  # with_display.sh starts the private Xvfb on a free display number of its
  # own choosing; screenshots.sh works in a scratch HOME of its own.
  env -u DISPLAY -u WAYLAND_DISPLAY bash app/with_display.sh \
    bash app/screenshots.sh "$build/app/setup" "$build/tools/dpkpack" "$shots" "$(wizard_language "$@")" \
    > "$shots_log" 2>&1 || shots_status=$?
  if [ "$shots_status" -eq 0 ]; then
    echo "The wizard's pages are in $shots:"
    for png in "$shots"/*.png; do echo "  ${png##*/}"; done
  else
    echo "The wizard's pages could not all be photographed (status $shots_status). The last lines of $shots_log:" >&2
    tail -n 10 "$shots_log" >&2
    [ "$shots_status" -eq 77 ] && echo "(bash scripts/deps.sh installs Xvfb.)" >&2
    [ "$status" -ne 0 ] || status=1
  fi
fi
again="bash scripts/demo.sh"
[ -z "${DEMO_DIR:-}" ] || again="DEMO_DIR=$demo $again"
echo "To start over: rm -rf $demo && $again"
exit $status
