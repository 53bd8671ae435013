#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what lands there:
#   install_test.sh BUILD_DIR SOURCE_DIR
# the two programs under bin/, both manual pages under share/man/man1/
# (clean under man --warnings when man is installed), and a kit laid out by
# the installed dpkpack that installs silently without a display.
set -u
BUILD=$(realpath "$1")
SOURCE=$(realpath "$2")
WORK=$(mktemp -d /tmp/setup-install-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILED=0
fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" > "$WORK/install.log" 2>&1 ||
  { cat "$WORK/install.log" >&2; fail "cmake --install failed"; exit 1; }
for f in bin/setup bin/dpkpack; do
  [ -x "$PREFIX/$f" ] || fail "$f missing or not executable"
done
for f in share/man/man1/setup.1 share/man/man1/dpkpack.1; do
  [ -f "$PREFIX/$f" ] || fail "$f missing"
done

if command -v man > /dev/null 2>&1; then
  for page in setup dpkpack; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$PREFIX/share/man/man1/$page.1" 2>&1 > /dev/null)
    [ -z "$warnings" ] || fail "man --warnings $page.1: $warnings"
  done
  MANPATH=$PREFIX/share/man man -w setup > /dev/null 2>&1 || fail "man does not find setup under the prefix"
else
  echo "note: man is not installed; the manual pages were not checked" >&2
fi

# The installed dpkpack finds the installed setup beside itself.
mkdir -p "$WORK/src/t" "$WORK/home"
echo alpha > "$WORK/src/t/a.cfg"
"$PREFIX/bin/dpkpack" --kit "$WORK/kit" -p P -v V "$WORK/src" > /dev/null || fail "dpkpack --kit failed"
[ "$(ls "$WORK/kit" | tr '\n' ' ')" = "kxq5.dpk setup " ] || fail "kit holds: $(ls "$WORK/kit")"
cmp -s "$PREFIX/bin/setup" "$WORK/kit/setup" || fail "the kit's setup is not the installed one"
out=$(env -u DISPLAY HOME="$WORK/home" TMPDIR="$WORK" "$WORK/kit/setup" -S "-D$WORK/target")
status=$?
[ "$status" = 0 ] || fail "kit install: exit status $status"
[ "$out" = "setup: result=installed copied=1 up-to-date=0 signature=none target=$WORK/target" ] || fail "kit install: $out"
[ "$(cat "$WORK/target/t/a.cfg" 2>/dev/null)" = alpha ] || fail "kit install: template missing"

[ "$FAILED" = 0 ] && echo "install: all checks passed"
exit "$FAILED"
