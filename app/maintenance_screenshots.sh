#!/usr/bin/env bash
# Renders the wizard's maintenance page (a directory that already holds the
# package's files, one of them changed) and the page after a repair, on the
# current X display, as PNG:
#   app/maintenance_screenshots.sh SETUP_BINARY DPKPACK_BINARY OUT_DIR [LANG...]
# Each language at the default font (LANG-maintenance.png,
# LANG-repaired.png) and at Sans 16 (LANG-large-maintenance.png). Needs
# xdotool and ImageMagick's import; exits 1 when a picture is missing.
set -u
SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
OUT=$(realpath -m "$3")
shift 3
LANGS=("$@")
[ ${#LANGS[@]} -gt 0 ] || LANGS=(en)
FAILED=0
WORK=$(mktemp -d /tmp/setup-maint-shots-XXXXXX)
# Short target paths read better in the pictures.
trap 'rm -rf "$WORK" /tmp/kx-templates-*' EXIT
export HOME=$WORK/home TMPDIR=$WORK/tmp
mkdir -p "$HOME" "$TMPDIR" "$WORK/src/templates" "$WORK/pkg" "$OUT"
for name in accounting invoices payroll; do echo "$name" > "$WORK/src/templates/$name.cfg"; done
"$DPKPACK" -o "$WORK/pkg/kxq5.dpk" -l en -p "Ledger Templates 5" -v "Northwind Software" "$WORK/src" > /dev/null
printf 'gtk-font-name = "Sans 16"\n' > "$WORK/large.rc"

# The mnemonic of Repair in each language pictured (an X keysym).
repair_key() {
  case $1 in
    de | en) echo r ;;
    ka) echo U10D0 ;;
    ru) echo Cyrillic_ve ;;
    *) echo r ;;
  esac
}

# shot LANG FONT_RC NAME REPAIR: installs, changes a file, deletes one,
# opens the wizard on that directory and takes its maintenance page (and,
# with REPAIR, the page after a repair).
shot() {
  local lang=$1 rc=$2 name=$3 repair=$4 target=/tmp/kx-templates-$1-$3 pid win
  rm -rf "$target"
  (cd "$WORK/pkg" && exec "$SETUP" usecwd -S "-D$target") > /dev/null 2>&1
  echo changed >> "$target/templates/accounting.cfg"
  rm -f "$target/templates/payroll.cfg"
  (cd "$WORK/pkg" && GTK2_RC_FILES=$rc exec "$SETUP" usecwd "-L$lang" "-D$target") > /dev/null 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    win=$(xdotool search --onlyvisible --pid "$pid" 2> /dev/null | head -1)
    [ -n "$win" ] && break
    sleep 0.1
  done
  if [ -z "$win" ]; then
    echo "no window for $lang $name" >&2
    kill "$pid" 2> /dev/null
    FAILED=1
    return
  fi
  sleep 0.5
  xdotool key --window "$win" Return; sleep 0.4
  xdotool key --window "$win" Return; sleep 0.8
  import -window "$win" "$OUT/$lang-$name.png" || FAILED=1
  if [ "$repair" = 1 ]; then
    # Repair by its mnemonic, then Enter on Next (which keeps the focus):
    # the repair runs and its page follows.
    xdotool key --window "$win" "alt+$(repair_key "$lang")"; sleep 0.3
    xdotool key --window "$win" Return; sleep 1.5
    import -window "$win" "$OUT/$lang-repaired.png" || FAILED=1
  fi
  kill "$pid" 2> /dev/null
  wait "$pid" 2> /dev/null
}

for lang in "${LANGS[@]}"; do
  shot "$lang" "" maintenance 1
  shot "$lang" "$WORK/large.rc" large-maintenance 0
done
exit $FAILED
