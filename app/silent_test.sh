#!/usr/bin/env bash
# Drives the real installer in silent mode with no display at all, as an
# administrator's script would over ssh or in a container:
#   silent_test.sh SETUP_BINARY DPKPACK_BINARY
# Checks exit statuses, the messages on standard error (one line each,
# "setup: " and the interface language), the summary line on standard
# output, the "-D" switch, that a failed registration says so, and that
# SIGTERM during the copy rolls it back.
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8

SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
WORK=$(mktemp -d /tmp/setup-silent-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILED=0

fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

# Fresh HOME, TMPDIR, package folder; a stand-in opener that must never run.
fresh_world() {
  rm -rf "$WORK/world"
  mkdir -p "$WORK/world/home" "$WORK/world/tmp" "$WORK/world/pkg" "$WORK/world/bin" "$WORK/world/src/t"
  export HOME=$WORK/world/home TMPDIR=$WORK/world/tmp
  printf '#!/bin/sh\necho opened >> "%s"\n' "$WORK/world/opened" > "$WORK/world/bin/xdg-open"
  chmod +x "$WORK/world/bin/xdg-open"
  echo alpha > "$WORK/world/src/t/a.cfg"
  echo beta > "$WORK/world/src/t/b.cfg"
  echo "read me" > "$WORK/world/src/readme.txt"
  "$DPKPACK" -o "$WORK/world/pkg/kxq5.dpk" -l en -p P -v V -r readme.txt "$WORK/world/src" > /dev/null
}

# Runs setup usecwd ARGS in the package folder; sets STATUS, OUT, ERR.
run() {
  (cd "$WORK/world/pkg" && PATH="$WORK/world/bin:$PATH" exec "$SETUP" usecwd "$@") \
    > "$WORK/out" 2> "$WORK/err"
  STATUS=$?
  OUT=$(cat "$WORK/out")
  ERR=$(cat "$WORK/err")
}

expect() {  # expect NAME STATUS SUMMARY [STDERR]
  [ "$STATUS" = "$2" ] || fail "$1: exit status $STATUS, expected $2 (stderr: $ERR)"
  [ "$OUT" = "$3" ] || fail "$1: summary line '$OUT', expected '$3'"
  if [ $# -ge 4 ]; then
    [ "$ERR" = "$4" ] || fail "$1: stderr '$ERR', expected '$4'"
  fi
  # Whatever else happens, stderr holds only our own one-line messages:
  # no toolkit warnings, since the toolkit must not have been started.
  if [ -n "$ERR" ] && grep -qv '^setup: ' "$WORK/err"; then fail "$1: foreign stderr: $ERR"; fi
  [ ! -e "$WORK/world/opened" ] || fail "$1: the readme was opened"
}

CFG=".KX/kxlaunch/kxlaunch.cfg"
DEFAULT="$WORK/world/home/.kxq5/KX/kxq5/tmplts"

# 0: installs into the default directory and registers it; a second run
# copies nothing.
fresh_world
run -S
expect "first run" 0 "setup: result=installed copied=3 up-to-date=0 signature=none target=$DEFAULT" ""
[ "$(cat "$DEFAULT/t/a.cfg" 2>/dev/null)" = alpha ] || fail "first run: template missing"
grep -qx "ConfigurationTemplatesLocation=$DEFAULT" "$HOME/$CFG" || fail "first run: not registered"
run -S
expect "second run" 0 "setup: result=installed copied=0 up-to-date=3 signature=none target=$DEFAULT" ""

# -D, both forms: the text after two characters, backslashes turned.
fresh_world
run "/D$WORK/world/opt\\tmplts" -S
expect "-D" 0 "setup: result=installed copied=3 up-to-date=0 signature=none target=$WORK/world/opt/tmplts" ""
[ -f "$WORK/world/opt/tmplts/t/b.cfg" ] || fail "-D: not installed where it said"
grep -qx "ConfigurationTemplatesLocation=$WORK/world/opt/tmplts" "$HOME/$CFG" || fail "-D: not registered"
# -D counts after -L too; a relative one and one with "~" name the folder
# the launcher will find; a line feed in it writes no key of its own and
# leaves the summary one line.
fresh_world
run -S -Len "-D$WORK/world/late"
expect "-D after -L" 0 "setup: result=installed copied=3 up-to-date=0 signature=none target=$WORK/world/late" ""
fresh_world
run -S -Drel/dir
expect "relative -D" 0 "setup: result=installed copied=3 up-to-date=0 signature=none target=$WORK/world/pkg/rel/dir" ""
grep -qx "ConfigurationTemplatesLocation=$WORK/world/pkg/rel/dir" "$HOME/$CFG" || fail "relative -D: registered as typed"
fresh_world
run -S "-D~/mine"
expect "-D~" 0 "setup: result=installed copied=3 up-to-date=0 signature=none target=$HOME/mine" ""
fresh_world
run -S "-D$WORK/world/t
DefaultVersion=evil"
expect "-D with a line feed" 0 "setup: result=installed copied=3 up-to-date=0 signature=none target=$WORK/world/tDefaultVersion=evil" ""
grep -q "^DefaultVersion" "$HOME/$CFG" && fail "-D with a line feed: a key was written"

# 1: an empty -D, a missing package, a damaged one; in English and German.
fresh_world
run -S -D -Len
expect "empty -D" 1 "setup: result=not-started copied=0 up-to-date=0 signature=none target=" \
  "setup: Specify correct path to template directory."
run -S -D -Lde
expect "empty -D, German" 1 "setup: result=not-started copied=0 up-to-date=0 signature=none target=" \
  "setup: Geben Sie einen gültigen Pfad zum Vorlagenverzeichnis an."
# A block of the reserved type first: damaged at its first byte, whatever
# random bytes follow (random bytes alone now and then begin a sound stream).
{ printf '\007'; head -c 2999 /dev/urandom; } > "$WORK/world/pkg/kxq5.dpk"
run -S -Len
expect "damaged" 1 "setup: result=not-started copied=0 up-to-date=0 signature=none target=" \
  "setup: Distribution kit file kxq5.dpk corrupted or not designed for this installation program."
rm "$WORK/world/pkg/kxq5.dpk"
run -S -Lde
expect "missing, German" 1 "setup: result=not-started copied=0 up-to-date=0 signature=none target=" \
  "setup: Die Distributionsdatei kxq5.dpk wurde nicht gefunden. Gesuchter Ordner: $WORK/world/pkg"
[ ! -e "$HOME/.KX" ] || fail "not started: launcher configuration written"

# Members "a" and "a\b" would make "a" a file and a folder at once: the
# header refuses the package, naming both, before anything is written.
fresh_world
python3 "$(dirname "$0")/raw_package.py" "$WORK/world/pkg/kxq5.dpk" a 'a\b'
run -S "-D$WORK/world/target" -Lde
expect "clashing members" 1 "setup: result=not-started copied=0 up-to-date=0 signature=none target=" \
  "setup: Die Distributionsdatei kxq5.dpk ist beschädigt oder nicht für dieses Installationsprogramm bestimmt. Die Paketdateien a und a\\b können nicht beide installiert werden: sie kämen an dieselbe Stelle im Vorlagenverzeichnis."
[ ! -e "$WORK/world/target" ] || fail "clashing members: target made: $(ls -A "$WORK/world/target")"
[ ! -e "$HOME/.KX" ] || fail "clashing members: launcher configuration written"
[ -z "$(ls -A "$TMPDIR")" ] || fail "clashing members: left in TMPDIR: $(ls -A "$TMPDIR")"

# Without -S and without a display: one line, status 1, no summary.
fresh_world
run -Len
expect "interactive" 1 "" \
  "setup: Cannot open the display: the installer needs a graphical desktop. Use the -S switch to install without one."

# 2: the target is a plain file; nothing is left behind.
fresh_world
echo "a file" > "$WORK/world/plain"
run -S "-D$WORK/world/plain" -Len
expect "failure" 2 "setup: result=failed-rolled-back copied=0 up-to-date=0 signature=none target=$WORK/world/plain" \
  "setup: Installation error $WORK/world/plain: a file stands where a directory is needed"
[ "$(cat "$WORK/world/plain")" = "a file" ] || fail "failure: target changed"
[ ! -e "$HOME/.KX" ] || fail "failure: launcher configuration written"

# 4: installed, but the launcher's file is a link loop or a link to a
# folder: said on stderr with the file and the reason, in the summary, and
# by the status.
for kind in loop folder; do
  fresh_world
  mkdir -p "$HOME/.KX/kxlaunch"
  if [ $kind = loop ]; then
    ln -s kxlaunch.cfg "$HOME/$CFG"
    reason="a loop of symbolic links"
  else
    mkdir "$WORK/world/folder"
    ln -s "$WORK/world/folder" "$HOME/$CFG"
    reason="a directory stands where a file goes"
  fi
  run -S -Len
  expect "unregistered ($kind)" 4 \
    "setup: result=installed-unregistered copied=3 up-to-date=0 signature=none target=$DEFAULT" \
    "setup: The templates are installed, but the template directory could not be registered in the launcher configuration file: $HOME/$CFG ($reason)"
  [ "$(cat "$DEFAULT/t/a.cfg" 2>/dev/null)" = alpha ] || fail "unregistered ($kind): templates not kept"
done

# 4: a launcher file that is there but cannot be read (an earlier run as
# root left it so) is never rewritten: the keys in it would be lost.
fresh_world
mkdir -p "$HOME/.KX/kxlaunch"
printf 'DefaultVersion=8.3\nCommonInfoBases=/b\n' > "$HOME/$CFG"
chmod 0200 "$HOME/$CFG"
if [ "$(id -u)" = 0 ]; then
  # root reads anything: run as an ordinary user in a world of its own.
  chown -R 65534:65534 "$WORK/world"
  chmod 755 "$WORK"
  (cd "$WORK/world/pkg" && exec setpriv --reuid=65534 --regid=65534 --clear-groups "$SETUP" usecwd -S -Len) \
    > "$WORK/out" 2> "$WORK/err"
  STATUS=$?
  OUT=$(cat "$WORK/out")
  ERR=$(cat "$WORK/err")
else
  run -S -Len
fi
expect "unreadable configuration" 4 \
  "setup: result=installed-unregistered copied=3 up-to-date=0 signature=none target=$DEFAULT" \
  "setup: The templates are installed, but the template directory could not be registered in the launcher configuration file: $HOME/$CFG (permission denied)"
chmod 0600 "$HOME/$CFG"
[ "$(cat "$HOME/$CFG")" = "$(printf 'DefaultVersion=8.3\nCommonInfoBases=/b')" ] || fail "unreadable configuration: rewritten"

# 3: SIGTERM during the copy cancels it; the target is as it was.
fresh_world
mkdir -p "$WORK/world/src/many"
head -c 1200000 /dev/zero | tr '\0' 'x' > "$WORK/world/blob"
(cd "$WORK/world/src/many" && split -b 100 -a 3 "$WORK/world/blob" m)
rm "$WORK/world/blob"
"$DPKPACK" -o "$WORK/world/pkg/kxq5.dpk" -L 1 "$WORK/world/src" > /dev/null
mkdir -p "$WORK/world/target"
echo "kept" > "$WORK/world/target/old.txt"
(cd "$WORK/world/pkg" && exec "$SETUP" usecwd -S "-D$WORK/world/target") > "$WORK/out" 2> "$WORK/err" &
pid=$!
# Members are written under temporary names first: the first of them in
# "many" shows that the copy is under way.
for ((i = 0; i < 300; i++)); do
  compgen -G "$WORK/world/target/many/.q5stp-*" > /dev/null && break
  sleep 0.02
done
kill -TERM "$pid"
wait "$pid"
STATUS=$?
OUT=$(cat "$WORK/out")
ERR=$(cat "$WORK/err")
expect "SIGTERM" 3 "$OUT" ""
case $OUT in "setup: result=cancelled-rolled-back copied="*" signature=none target=$WORK/world/target") ;;
  *) fail "SIGTERM: summary line '$OUT'" ;; esac
[ "$(ls "$WORK/world/target")" = old.txt ] || fail "SIGTERM: target not rolled back: $(ls "$WORK/world/target")"
[ ! -e "$HOME/.KX" ] || fail "SIGTERM: launcher configuration written"

# A second run into the same target waits for the first, and says so once.
fresh_world
mkdir -p "$WORK/world/src/many"
head -c 1200000 /dev/zero | tr '\0' 'x' > "$WORK/world/blob"
(cd "$WORK/world/src/many" && split -b 100 -a 3 "$WORK/world/blob" m)
rm "$WORK/world/blob"
"$DPKPACK" -o "$WORK/world/pkg/kxq5.dpk" -L 1 "$WORK/world/src" > /dev/null
(cd "$WORK/world/pkg" && exec "$SETUP" usecwd -S "-D$WORK/world/target" -Len) > "$WORK/out1" 2> "$WORK/err1" &
first=$!
for ((i = 0; i < 300; i++)); do
  compgen -G "$WORK/world/target/many/.q5stp-*" > /dev/null && break
  sleep 0.02
done
run -S "-D$WORK/world/target" -Len
wait "$first" || fail "lock: the first run failed: $(cat "$WORK/err1")"
expect "lock wait" 0 "setup: result=installed copied=0 up-to-date=12003 signature=none target=$WORK/world/target" \
  "setup: Waiting for another installation into $WORK/world/target"

# SIGTERM during the start-up (a large header takes a moment to read): the
# run ends as cancelled, and still prints its summary line. A signal that
# comes before the program has begun at all kills it (143): try again later.
signalled=0
for delay in 0.01 0.02 0.04 0.08 0.12 0.16 0.24; do
  (cd "$WORK/world/pkg" && exec "$SETUP" usecwd -S "-D$WORK/world/late") > "$WORK/out" 2> "$WORK/err" &
  pid=$!
  sleep $delay
  kill -TERM "$pid"
  wait "$pid"
  STATUS=$?
  [ "$STATUS" = 143 ] && continue
  signalled=1
  [ "$STATUS" = 3 ] || fail "SIGTERM at start-up: exit status $STATUS"
  case $(cat "$WORK/out") in "setup: result=cancelled-rolled-back copied="*) ;;
    *) fail "SIGTERM at start-up: summary line '$(cat "$WORK/out")'" ;; esac
  break
done
[ $signalled = 1 ] || fail "SIGTERM at start-up: never reached the program"

# Damage found only during the copy: rolled back, the package is blamed
# (status 1), and the summary says what was undone: how many of the three
# small members were staged before the damage came to light depends on
# how far the reading had got, which a slow (sanitized) build changes.
fresh_world
mkdir -p "$WORK/world/src/z"
head -c 24000000 /dev/urandom > "$WORK/world/src/z/noise.bin"
"$DPKPACK" -o "$WORK/world/pkg/kxq5.dpk" "$WORK/world/src" > /dev/null
python3 -c "import sys; p=sys.argv[1]; b=bytearray(open(p,'rb').read()); b[-100]^=0x20; open(p,'wb').write(b)" \
  "$WORK/world/pkg/kxq5.dpk"
run -S "-D$WORK/world/target" -Len
case "$OUT" in
  "setup: result=failed-rolled-back copied="[0-3]" up-to-date=0 signature=none target=$WORK/world/target")
    OUT_SEEN=$OUT ;;
  *) OUT_SEEN="" ;;
esac
expect "late damage" 1 "$OUT_SEEN" \
  "setup: Distribution kit file kxq5.dpk corrupted or not designed for this installation program."
[ ! -e "$WORK/world/target" ] || fail "late damage: target left behind: $(ls -A "$WORK/world/target")"

# A temporary directory that cannot be written is named, with the reason,
# instead of blaming the package. Permissions do not bind root: run as nobody.
fresh_world
mkdir "$WORK/world/rotmp"
chmod 555 "$WORK/world/rotmp"
chmod -R a+rwX "$WORK/world/home" "$WORK/world/pkg"
chmod a+x "$WORK"
as_user=()
[ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
(cd "$WORK/world/pkg" && TMPDIR=$WORK/world/rotmp exec "${as_user[@]}" "$SETUP" usecwd -S -Len) \
  > "$WORK/out" 2> "$WORK/err"
STATUS=$?
OUT=$(cat "$WORK/out")
ERR=$(cat "$WORK/err")
expect "read-only TMPDIR" 1 "setup: result=not-started copied=0 up-to-date=0 signature=none target=" \
  "setup: The unpacked package cannot be written to the temporary directory: $WORK/world/rotmp: permission denied"

# The image in TMPDIR that cannot be written for a reason other than
# space (here a file-size limit: EFBIG) is no damage of the package: the
# directory and the system's reason are named, at start-up and during the
# copy. The program ignores SIGXFSZ itself, so the limit gives the error
# instead of the signal. The limit binds every file of the run, these
# outputs too: they stay far below it.
fresh_world
mkdir -p "$WORK/world/src/z"
head -c 24000000 /dev/urandom > "$WORK/world/src/z/noise.bin"
"$DPKPACK" -o "$WORK/world/pkg/kxq5.dpk" "$WORK/world/src" > /dev/null
(ulimit -f 1; run -S "-D$WORK/world/target" -Len; echo "$STATUS" > "$WORK/status")
STATUS=$(cat "$WORK/status") OUT=$(cat "$WORK/out") ERR=$(cat "$WORK/err")
expect "EFBIG at start-up" 1 "setup: result=not-started copied=0 up-to-date=0 signature=none target=" \
  "setup: The unpacked package cannot be written to the temporary directory: $TMPDIR: system error (File too large)"
(ulimit -f 4096; run -S "-D$WORK/world/target" -Len; echo "$STATUS" > "$WORK/status")
STATUS=$(cat "$WORK/status") OUT=$(cat "$WORK/out") ERR=$(cat "$WORK/err")
# How many small members were staged before the image failed depends on timing.
case "$OUT" in
  "setup: result=failed-rolled-back copied="[0-3]" up-to-date=0 signature=none target=$WORK/world/target") ;;
  *) fail "EFBIG during the copy: summary line '$OUT'" ;;
esac
[ "$STATUS" = 2 ] || fail "EFBIG during the copy: exit status $STATUS, expected 2 (stderr: $ERR)"
[ "$ERR" = "setup: Installation error The unpacked package cannot be written to the temporary directory: $TMPDIR: system error (File too large)" ] ||
  fail "EFBIG during the copy: stderr '$ERR'"
[ ! -e "$WORK/world/target" ] || fail "EFBIG during the copy: target left behind: $(ls -A "$WORK/world/target")"

# A package that is there but cannot be read is not "not found": every
# mode names it with the system's reason. Permissions do not bind root:
# run as nobody.
fresh_world
chmod 000 "$WORK/world/pkg/kxq5.dpk"
chmod -R a+rwX "$WORK/world/home" "$WORK/world/tmp"
chmod a+rx "$WORK/world/pkg"
chmod a+x "$WORK" "$WORK/world"
as_user=()
[ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" = 0 ] && ! setpriv --reuid=65534 --regid=65534 --clear-groups true 2> /dev/null; then
  echo "silent: SKIP unreadable package: cannot run as an unprivileged user (setpriv)"
else
  for mode in -S -N -V; do
    (cd "$WORK/world/pkg" && exec "${as_user[@]}" "$SETUP" usecwd "$mode" "-D$WORK/world/target" -Len) \
      > "$WORK/out" 2> "$WORK/err"
    STATUS=$?
    ERR=$(cat "$WORK/err")
    [ "$STATUS" = 1 ] || fail "unreadable package $mode: exit status $STATUS, expected 1 (stderr: $ERR)"
    [ "$ERR" = "setup: $WORK/world/pkg/kxq5.dpk: permission denied" ] ||
      fail "unreadable package $mode: stderr '$ERR'"
  done
  [ ! -e "$WORK/world/target" ] || fail "unreadable package: target made"
fi

[ "$FAILED" = 0 ] && echo "silent: all scenarios passed"
exit "$FAILED"
