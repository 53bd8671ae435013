#!/usr/bin/env bash
# Runs the example playbook against this machine with a local connection:
#   rollout_test.sh SETUP_BINARY DPKPACK_BINARY PLAYBOOK COLLECTION_DIR
# The module's collection (COLLECTION_DIR, holding galaxy.yml) is built and
# installed into the scratch folder first, as a user would, and the play
# finds it there.
# With the kit copied (--tags kit): check mode with --diff says the install
# would change and names the files, and changes nothing (HOME, where the
# templates and the launcher's configuration live, and TMPDIR keep every
# byte). Then the install changes, a second install does not, a verify passes;
# a file deleted by hand makes the verify fail naming it; a damaged package
# fails the play.
# Ends with 77 (skipped) when ansible-playbook is not installed.
set -u
if ! command -v ansible-playbook > /dev/null 2>&1; then
  echo "SKIPPED: ansible-playbook is not installed (Debian package ansible-core); the rollout example was not run" >&2
  exit 77
fi
SETUP=$(realpath "$1")
DPKPACK=$(realpath "$2")
PLAYBOOK=$(realpath "$3")
COLLECTION=$(realpath "$4")
WORK=$(mktemp -d /tmp/setup-ansible-XXXXXX)
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
FAILED=0
fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

TEMPLATES="$WORK/home/my templates"
mkdir -p "$WORK/home/.KX/kxlaunch" "$WORK/tmp" "$WORK/atmp" "$WORK/src/t" "$TEMPLATES/t"
echo alpha > "$WORK/src/t/a.cfg"
echo beta > "$WORK/src/t/b.cfg"
"$DPKPACK" --kit "$WORK/kit" --setup "$SETUP" -l en -p P -v V "$WORK/src" > /dev/null || fail "dpkpack --kit"
printf 'localhost ansible_connection=local ansible_python_interpreter=%s\n' "$(command -v python3)" \
  > "$WORK/inventory"
# The launcher already knows another directory, so the install has a
# registration to change; b.cfg is there, older than the package's.
printf 'ConfigurationTemplatesLocation=%s/elsewhere\n' "$WORK/home" > "$WORK/home/.KX/kxlaunch/kxlaunch.cfg"
echo old > "$TEMPLATES/t/b.cfg"
touch -d '2001-01-01' "$TEMPLATES/t/b.cfg"
# The template directory holds a blank; passed as JSON so that it stays one word.
printf '{"target_hosts": "localhost", "kit_dir": "%s/kit", "remote_dir": "%s/remote", "language": "en", "template_dir": "%s"}\n' \
  "$WORK" "$WORK" "$TEMPLATES" > "$WORK/vars.json"

# Everything the play and the installer write stays in the scratch folder.
export HOME=$WORK/home TMPDIR=$WORK/tmp ANSIBLE_HOME=$WORK/ansible
export ANSIBLE_LOCAL_TEMP=$WORK/atmp ANSIBLE_REMOTE_TEMP=$WORK/atmp ANSIBLE_NOCOLOR=1
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_COLLECTIONS_PATH=$WORK/collections
unset DISPLAY

# The collection, built from the source and installed from its archive
# (nothing is fetched: it depends on nothing).
if ! ansible-galaxy collection build "$COLLECTION" --output-path "$WORK/dist" > "$WORK/galaxy.out" 2>&1 ||
   ! ansible-galaxy collection install --offline -p "$WORK/collections" "$WORK"/dist/kxq5-templates-*.tar.gz \
       >> "$WORK/galaxy.out" 2>&1; then
  echo "FAIL: the collection cannot be built and installed: $(cat "$WORK/galaxy.out")" >&2
  exit 1
fi

# Runs the play with extra options ($@); sets STATUS, and TASK to how the task
# named $TASK_NAME ended on localhost: changed, ok or fatal ("missing" when
# it did not run).
TASK_NAME='Install the templates silently'
play() {
  ansible-playbook -i "$WORK/inventory" "$PLAYBOOK" -e "@$WORK/vars.json" "$@" > "$WORK/play.out" 2>&1
  STATUS=$?
  # The default report: "TASK [name] ***" then "changed: [localhost]",
  # "ok: [localhost]" or "fatal: [localhost]: FAILED! ...".
  TASK=$(awk -v name="$TASK_NAME" 'index($0, "TASK [" name "]") == 1 { found = 1; next }
               found && /^(changed|ok|fatal): \[localhost\]/ { sub(/:.*/, ""); print; exit }
               END { if (!found) print "missing" }' "$WORK/play.out")
}
# Everything below HOME with its kind, time and bytes, and what TMPDIR
# holds (the module's own Python makes and removes its files in TMPDIR, so
# its time changes; what the installer would leave there is what counts).
snapshot() {
  (cd "$WORK" && find home tmp/ -mindepth 1 -printf '%y %T@ %p -> %l\n' | sort
   find home tmp -type f -print0 | sort -z | xargs -0 sha256sum)
}
report() { echo "$1: $(tail -20 "$WORK/play.out")"; }

play --tags kit
[ "$STATUS" = 0 ] || fail "$(report "copying the kit")"

snapshot > "$WORK/before"
play --check --diff
snapshot > "$WORK/after"
[ "$STATUS" = 0 ] || fail "$(report "check mode: ansible-playbook ended with $STATUS")"
[ "$TASK" = changed ] || fail "$(report "check mode: install task $TASK, expected changed")"
cmp -s "$WORK/before" "$WORK/after" || fail "check mode changed the machine: $(diff "$WORK/before" "$WORK/after")"
# The diff: a.cfg is new (an added line), b.cfg replaces an older file (a
# removed and an added line), the launcher's list gains the directory.
for line in "+++ after: $TEMPLATES (after the install)" "+t/a.cfg (package's file)" \
    "-t/b.cfg (older file)" "+t/b.cfg (package's file)" "+launcher's list: first"; do
  grep -qxF -- "$line" "$WORK/play.out" || fail "$(report "check mode: the diff lacks the line '$line'")"
done

play --diff
[ "$STATUS" = 0 ] || fail "$(report "first run: ansible-playbook ended with $STATUS")"
[ "$TASK" = changed ] || fail "$(report "first run: install task $TASK, expected changed")"
[ "$(cat "$TEMPLATES/t/a.cfg" 2>/dev/null)" = alpha ] || fail "first run: templates not installed"
[ "$(cat "$TEMPLATES/t/b.cfg" 2>/dev/null)" = beta ] || fail "first run: the older file was not replaced"
[ "$(head -1 "$WORK/home/.KX/kxlaunch/kxlaunch.cfg")" = "ConfigurationTemplatesLocation=$TEMPLATES" ] ||
  fail "first run: the directory is not first in the launcher's list: $(cat "$WORK/home/.KX/kxlaunch/kxlaunch.cfg")"

# The second install changes nothing; the verify, asked for beside it, passes.
play --tags all,verify
[ "$STATUS" = 0 ] || fail "$(report "second run: ansible-playbook ended with $STATUS")"
[ "$TASK" = ok ] || fail "$(report "second run: install task $TASK, expected ok")"
grep -q '^ok: \[localhost\]' <(sed -n '/^TASK \[Verify the templates\]/,/^$/p' "$WORK/play.out") ||
  fail "$(report "second run: the verify did not pass")"
grep -q 'changed=0 ' "$WORK/play.out" || fail "second run: some task reported a change: $(grep -A1 RECAP "$WORK/play.out")"

rm "$TEMPLATES/t/a.cfg"
TASK_NAME='Verify the templates'
play --tags verify --check
[ "$STATUS" != 0 ] || fail "$(report "drift: the verify play succeeded")"
[ "$TASK" = fatal ] || fail "$(report "drift: verify task $TASK, expected failed")"
grep -qF "drift in $TEMPLATES: missing $TEMPLATES/t/a.cfg" "$WORK/play.out" ||
  fail "$(report "drift: the deleted file is not named in the message")"
[ ! -e "$TEMPLATES/t/a.cfg" ] || fail "drift: the verify put the file back"

# The repair puts the deleted file back (check mode first: only said), and
# a second repair changes nothing.
TASK_NAME='Repair the templates'
play --tags repair --check --diff
[ "$STATUS" = 0 ] && [ "$TASK" = changed ] || fail "$(report "repair in check mode: $STATUS, task $TASK")"
grep -qxF "+t/a.cfg (package's file)" "$WORK/play.out" || fail "$(report "repair in check mode: no diff line")"
[ ! -e "$TEMPLATES/t/a.cfg" ] || fail "repair in check mode: the file was written"
for want in changed ok; do
  play --tags repair
  [ "$STATUS" = 0 ] && [ "$TASK" = "$want" ] || fail "$(report "repair: $STATUS, task $TASK, expected $want")"
done
[ "$(cat "$TEMPLATES/t/a.cfg" 2>/dev/null)" = alpha ] || fail "repair: the deleted file is not back"

# The remove keeps a file the user added, takes the package's, and a second
# remove changes nothing.
echo mine > "$TEMPLATES/t/mine.txt"
TASK_NAME='Remove the templates'
play --tags remove --check --diff
[ "$STATUS" = 0 ] && [ "$TASK" = changed ] || fail "$(report "remove in check mode: $STATUS, task $TASK")"
grep -qxF -- "-t/a.cfg (package's file)" "$WORK/play.out" || fail "$(report "remove in check mode: no diff line")"
[ -e "$TEMPLATES/t/a.cfg" ] || fail "remove in check mode: a file went"
for want in changed ok; do
  play --tags remove
  [ "$STATUS" = 0 ] && [ "$TASK" = "$want" ] || fail "$(report "remove: $STATUS, task $TASK, expected $want")"
done
[ ! -e "$TEMPLATES/t/a.cfg" ] && [ ! -e "$TEMPLATES/t/b.cfg" ] || fail "remove: the package's files are still there"
[ "$(cat "$TEMPLATES/t/mine.txt" 2>/dev/null)" = mine ] || fail "remove: the user's file went"
grep -qF "$TEMPLATES/t/mine.txt" "$WORK/play.out" || fail "$(report "remove: the kept file is not reported")"

# Damaged at its first byte, so that no chance of the random bytes makes a package.
{ printf '\007'; head -c 1999 /dev/urandom; } > "$WORK/kit/kxq5.dpk"
TASK_NAME='Install the templates silently'
play
[ "$STATUS" != 0 ] || fail "damaged package: the play succeeded"
[ "$TASK" = fatal ] || fail "$(report "damaged package: install task $TASK, expected failed")"
grep -q 'corrupted or not designed' "$WORK/play.out" || fail "$(report "damaged package: the installer's message is not in the report")"
[ ! -e "$TEMPLATES/t/a.cfg" ] || fail "damaged package: a file was installed"

[ "$FAILED" = 0 ] && echo "ansible: all runs behaved"
exit "$FAILED"
