#!/usr/bin/env bash
# Signed packages with the real signing tool, through the real program in
# every mode that reads the package (silent install, dry run, verify):
#   signature_test.sh SETUP_BINARY DPKPACK_BINARY
# A package signed by the pinned key installs; each way of tampering is
# refused with exit 1, its own words and its own summary word, and leaves
# the target directory and the temporary directory as they were. Keys and
# signatures made by dpkpack --sign and by the tool are interchangeable.
# Skipped (77) without the minisign tool.
set -u
unset DISPLAY WAYLAND_DISPLAY
export LC_ALL=C.UTF-8
command -v minisign > /dev/null || { echo "SKIPPED: no minisign"; exit 77; }

SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
WORK=$(mktemp -d /tmp/setup-signature-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }

mkdir -p "$WORK/src/t" "$WORK/keys"
for i in $(seq 1 40); do head -c 3000 /dev/urandom | base64 > "$WORK/src/t/f$i.cfg"; done
echo "read me" > "$WORK/src/readme.txt"
for who in vendor other; do
  minisign -G -W -p "$WORK/keys/$who.pub" -s "$WORK/keys/$who.key" > /dev/null || { echo "keygen failed"; exit 1; }
done
"$DPKPACK" -o "$WORK/signed.dpk" -l en -p P -v V -r readme.txt "$WORK/src" > /dev/null
minisign -S -s "$WORK/keys/vendor.key" -m "$WORK/signed.dpk" -t "KX Templates Ltd" > /dev/null
SIZE=$(stat -c %s "$WORK/signed.dpk")

# A fresh package folder holding the signed package and its signature.
fresh() {
  rm -rf "$WORK/pkg" "$WORK/home" "$WORK/tmp" "$WORK/target"
  mkdir -p "$WORK/pkg" "$WORK/home" "$WORK/tmp"
  cp "$WORK/signed.dpk" "$WORK/pkg/kxq5.dpk"
  cp "$WORK/signed.dpk.minisig" "$WORK/pkg/kxq5.dpk.minisig"
}

# Runs setup usecwd ARGS; sets STATUS, OUT (the summary line) and ERR.
run() {
  (cd "$WORK/pkg" && HOME="$WORK/home" TMPDIR="$WORK/tmp" XDG_CONFIG_HOME="$WORK/home/.config" \
     exec "$SETUP" usecwd "$@") > "$WORK/out" 2> "$WORK/err"
  STATUS=$?
  OUT=$(tail -n 1 "$WORK/out")
  ERR=$(cat "$WORK/err")
}

flip_byte() {  # flip_byte FILE OFFSET: one bit of the byte at OFFSET
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

change_char() {  # change_char FILE LINE COLUMN: another base64 character there
  local line c
  line=$(sed -n "${2}p" "$1")
  c=${line:$(($3 - 1)):1}
  [ "$c" = A ] && c=B || c=A
  sed -i "${2}s/^\(.\{$(($3 - 1))\}\)./\1$c/" "$1"
}

# Each tampering: the name, the shell step, the summary word, words of the message.
CASES=(
  "no signature|rm pkg/kxq5.dpk.minisig|missing|is not signed"
  "first byte of the package|flip_byte pkg/kxq5.dpk 0|bad|changed after it was signed"
  "middle byte of the package|flip_byte pkg/kxq5.dpk $((SIZE / 2))|bad|changed after it was signed"
  "last byte of the package|flip_byte pkg/kxq5.dpk $((SIZE - 1))|bad|changed after it was signed"
  "appended byte|printf x >> pkg/kxq5.dpk|bad|changed after it was signed"
  "another key's signature|minisign -S -s keys/other.key -m pkg/kxq5.dpk -t 'KX Templates Ltd' > /dev/null|other-key|another key"
  "signature bytes|change_char pkg/kxq5.dpk.minisig 2 60|bad|changed after it was signed"
  "global signature bytes|change_char pkg/kxq5.dpk.minisig 4 20|bad-comment|trusted comment"
  "trusted comment|sed -i '3s/Ltd/Inc/' pkg/kxq5.dpk.minisig|bad-comment|trusted comment"
  "truncated signature file|head -c 100 signed.dpk.minisig > pkg/kxq5.dpk.minisig|malformed|damaged or is not a signature"
  "junk signature file|echo junk > pkg/kxq5.dpk.minisig|malformed|damaged or is not a signature"
  "legacy signature|minisign -S -l -s keys/vendor.key -m pkg/kxq5.dpk -t 'KX Templates Ltd' > /dev/null|legacy|old format"
)

for mode in -S -N -V; do
  fresh
  run "$mode" -K "$WORK/keys/vendor.pub" "-D$WORK/target"
  case $mode in
    -S) want="setup: result=installed copied=41 up-to-date=0 signature=verified target=$WORK/target" ;;
    -N) want="setup: result=would-install copied=41 up-to-date=0 registration=would-change signature=verified target=$WORK/target" ;;
    -V) want="setup: result=drift ok=0 missing=41 modified=0 outdated=0 registered=no signature=verified target=$WORK/target" ;;
  esac
  [ "$OUT" = "$want" ] || fail "signed $mode: '$OUT' (stderr: $ERR)"
  # Without a key nothing is checked, and the line says so.
  fresh
  run "$mode" "-D$WORK/target"
  case $OUT in *" signature=none target="*) ;; *) fail "unsigned $mode: '$OUT'" ;; esac

  for c in "${CASES[@]}"; do
    IFS='|' read -r name step word words <<< "$c"
    fresh
    (cd "$WORK" && eval "$step") || { fail "$name: could not prepare"; continue; }
    run "$mode" -K "$WORK/keys/vendor.pub" "-D$WORK/target"
    [ "$STATUS" = 1 ] || fail "$name $mode: exit status $STATUS, expected 1"
    case $OUT in *" signature=$word target="*) ;; *) fail "$name $mode: summary '$OUT', expected signature=$word" ;; esac
    case $ERR in *"$words"*) ;; *) fail "$name $mode: stderr '$ERR' lacks '$words'" ;; esac
    [ ! -e "$WORK/target" ] || fail "$name $mode: the target directory was made"
    [ -z "$(ls -A "$WORK/tmp")" ] || fail "$name $mode: the temporary directory holds $(ls -A "$WORK/tmp")"
  done
done

# Key files: one with junk, one that is not there, both refused before anything.
fresh
printf 'untrusted comment: x\nnot a key\n' > "$WORK/keys/junk.pub"
for key in "$WORK/keys/junk.pub" "$WORK/keys/absent.pub"; do
  run -S -K "$key" "-D$WORK/target"
  [ "$STATUS" = 1 ] || fail "key $key: exit status $STATUS"
  case $OUT in *" signature=bad-key target="*) ;; *) fail "key $key: '$OUT'" ;; esac
  [ ! -e "$WORK/target" ] || fail "key $key: the target directory was made"
done
case $(run -S -K "$WORK/keys/junk.pub" "-D$WORK/target"; echo "$ERR") in
  *"does not hold a public key"*) ;; *) fail "junk key: $ERR" ;; esac

# The user's own key counts where no system-wide key is set.
fresh
mkdir -p "$WORK/home/.config/kxq5"
cp "$WORK/keys/other.pub" "$WORK/home/.config/kxq5/trusted.pub"
run -S "-D$WORK/target"
case $OUT in *" signature=other-key target="*) ;; *) fail "user key: '$OUT'" ;; esac
cp "$WORK/keys/vendor.pub" "$WORK/home/.config/kxq5/trusted.pub"
run -S "-D$WORK/target"
case $OUT in *"result=installed "*" signature=verified target="*) ;; *) fail "user key: '$OUT'" ;; esac

# dpkpack --sign and the tool understand each other's signatures.
fresh
"$DPKPACK" --sign "$WORK/keys/vendor.key" --trusted-comment "KX Templates Ltd" -o "$WORK/pkg/kxq5.dpk" \
  -l en -p P -v V -r readme.txt "$WORK/src" > /dev/null || fail "dpkpack --sign failed"
minisign -V -q -p "$WORK/keys/vendor.pub" -m "$WORK/pkg/kxq5.dpk" || fail "the tool refuses dpkpack's signature"
run -S -K "$WORK/keys/vendor.pub" "-D$WORK/target"
case $OUT in *"result=installed "*" signature=verified target="*) ;; *) fail "dpkpack's signature: '$OUT' ($ERR)" ;; esac
# A key kept under a password is refused, and no package is left unsigned.
fresh
rm "$WORK/pkg/kxq5.dpk"
printf 'pw\npw\n' | minisign -G -p "$WORK/keys/locked.pub" -s "$WORK/keys/locked.key" > /dev/null 2>&1
if [ -s "$WORK/keys/locked.key" ]; then
  "$DPKPACK" --sign "$WORK/keys/locked.key" -o "$WORK/pkg/kxq5.dpk" "$WORK/src" > /dev/null 2> "$WORK/err"
  [ $? = 1 ] || fail "a locked key was not refused"
  grep -q "password" "$WORK/err" || fail "locked key: $(cat "$WORK/err")"
  [ ! -e "$WORK/pkg/kxq5.dpk" ] || fail "locked key: a package was written"
fi

exit $FAILED
