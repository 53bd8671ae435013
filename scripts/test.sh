#!/usr/bin/env bash
# Sets everything up and runs every test twice: a plain build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer; then the fuzz
# targets, the ThreadSanitizer run and hundreds of randomly signalled
# silent runs. The wizard's tests run on a private
# Xvfb display. This full set is what CI runs.
#   bash scripts/test.sh --quick   only the plain build and its whole suite,
#                                  for checking a change before the full set
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=""
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
bash scripts/deps.sh

display_started=""
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  for n in 91 92 93 94 95 96; do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then
      Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
      display_started=$!
      export DISPLAY=:$n
      break
    fi
  done
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi
cleanup() { [ -n "$display_started" ] && kill "$display_started" 2>/dev/null || true; }
trap cleanup EXIT

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

echo "== plain build =="
run_suite "$root/build"
if [ -n "$quick" ]; then
  echo "Quick run passed. The sanitizers, the fuzz targets and ThreadSanitizer run with: bash scripts/test.sh"
  exit 0
fi
echo "== sanitized build (ASan + UBSan) =="
# GTK, GLib and fontconfig keep caches for the life of the process: their
# allocations are the only ones the suppressions file lets through.
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$root/app/lsan_suppressions.txt" \
  run_suite "$root/build-asan" -DSETUP_SANITIZE=ON
echo "== fuzz targets (libFuzzer with ASan + UBSan), 60 s each =="
# A build of its own with clang; each target starts from the seed corpus
# and the inputs of past findings, and may not crash, leak or hang.
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSETUP_FUZZ=ON -DSETUP_GUI=OFF >/dev/null
cmake --build "$root/build-fuzz" -j"$jobs" --target fuzz_package fuzz_image fuzz_config fuzz_inflate fuzz_signature
# fuzz_inflate: the inflate of this build against zlib's on the same bytes.
for target in package image config inflate signature; do
  work=$(mktemp -d)
  mkdir "$work/tmp" "$work/corpus"
  log=$root/build-fuzz/fuzz_$target.log
  status=0
  TMPDIR=$work/tmp "$root/build-fuzz/fuzz/fuzz_$target" -max_total_time=60 -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$root/build-fuzz/finding-$target-" "$work/corpus" "$root/fuzz/corpus/$target" \
    "$root/fuzz/findings/$target" >"$log" 2>&1 || status=$?
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz_$target found a fault: the input is in $root/build-fuzz/finding-$target-*"
    exit 1
  fi
  echo "fuzz_$target: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') executions, no finding"
done
echo "== ThreadSanitizer: the platform's and the engine's tests, the wizard's GUI tests =="
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSETUP_TSAN=ON >/dev/null
cmake --build "$root/build-tsan" -j"$jobs" --target platform_tests install_tests gui_tests
# GLib, GIO, Pango and fontconfig are not built with ThreadSanitizer: their
# futex-based locks and atomics are invisible to it, so the string and memory
# calls they make on their own helper threads (the folder chooser's GIO
# workers, Pango's font loading) would all look unsynchronised. The option
# drops what is seen through calls made from inside such libraries; every
# access of our own (instrumented) code is still checked.
for binary in platform/platform_tests install/install_tests app/gui_tests; do
  TSAN_OPTIONS="ignore_noninstrumented_modules=1 halt_on_error=1 exitcode=66" \
    "$root/build-tsan/$binary" --gtest_brief=1
done
echo "== stop signals at random instants of silent runs: 500 runs of the plain build =="
# Status, summary line and disk must agree for every one; the table of
# what was seen is printed.
SIGNAL_RUNS=500 python3 "$root/app/signal_test.py" "$root/build/app/setup" "$root/build/tools/dpkpack"
