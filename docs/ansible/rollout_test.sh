#!/usr/bin/env bash
# Runs the example playbook against this machine with a local connection:
#   rollout_test.sh SETUP_BINARY DPKPACK_BINARY PLAYBOOK
# First run: the install task reports a change and the templates are there.
# Second run: nothing changes. A damaged package fails the play.
# Ends with 77 (skipped) when ansible-playbook is not installed.
set -u
if ! command -v ansible-playbook > /dev/null 2>&1; then
  echo "SKIPPED: ansible-playbook is not installed (Debian package ansible-core); the rollout example was not run" >&2
  exit 77
fi
SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
PLAYBOOK=$(realpath "$3")
WORK=$(mktemp -d /tmp/setup-ansible-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILED=0
fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

mkdir -p "$WORK/home" "$WORK/tmp" "$WORK/src/t"
echo alpha > "$WORK/src/t/a.cfg"
echo beta > "$WORK/src/t/b.cfg"
"$DPKPACK" --kit "$WORK/kit" --setup "$SETUP" -l en -p P -v V "$WORK/src" > /dev/null || fail "dpkpack --kit"
printf 'localhost ansible_connection=local ansible_python_interpreter=%s\n' "$(command -v python3)" \
  > "$WORK/inventory"

# Everything the play and the installer write stays in the scratch folder.
export HOME=$WORK/home TMPDIR=$WORK/tmp
export ANSIBLE_LOCAL_TEMP=$WORK/tmp ANSIBLE_REMOTE_TEMP=$WORK/tmp ANSIBLE_NOCOLOR=1
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_RETRY_FILES_ENABLED=0
unset DISPLAY

# Runs the play; sets STATUS and CHANGED (how the install task ended on
# localhost: changed, ok or fatal; "missing" when it did not run).
play() {
  ansible-playbook -i "$WORK/inventory" "$PLAYBOOK" -e target_hosts=localhost \
    -e "kit_dir=$WORK/kit" -e "remote_dir=$WORK/remote" -e language=en > "$WORK/play.out" 2>&1
  STATUS=$?
  # The default report: "TASK [name] ***" then "changed: [localhost]",
  # "ok: [localhost]" or "fatal: [localhost]: FAILED! ...".
  CHANGED=$(awk '/^TASK \[Install the templates silently\]/ { found = 1; next }
                 found && /^(changed|ok|fatal): \[localhost\]/ { sub(/:.*/, ""); print; exit }
                 END { if (!found) print "missing" }' "$WORK/play.out")
}

TEMPLATES=$WORK/home/.kxq5/KX/kxq5/tmplts
play
[ "$STATUS" = 0 ] || fail "first run: ansible-playbook ended with $STATUS: $(tail -5 "$WORK/play.out")"
[ "$CHANGED" = changed ] || fail "first run: install task changed=$CHANGED, expected true"
[ "$(cat "$TEMPLATES/t/a.cfg" 2>/dev/null)" = alpha ] || fail "first run: templates not installed"

play
[ "$STATUS" = 0 ] || fail "second run: ansible-playbook ended with $STATUS"
[ "$CHANGED" = ok ] || fail "second run: install task $CHANGED, expected ok"
grep -q 'changed=0 ' "$WORK/play.out" || fail "second run: some task reported a change: $(grep -A1 RECAP "$WORK/play.out")"

head -c 2000 /dev/urandom > "$WORK/kit/kxq5.dpk"
play
[ "$STATUS" != 0 ] || fail "damaged package: the play succeeded"
[ "$CHANGED" = fatal ] || fail "damaged package: install task $CHANGED, expected failed"
grep -q 'corrupted or not designed' "$WORK/play.out" || fail "damaged package: the installer's message is not in the report"

[ "$FAILED" = 0 ] && echo "ansible: all runs behaved"
exit "$FAILED"
