#!/usr/bin/env bash
# Builds the Ansible collection as a user would, into a scratch folder:
#   collection_test.sh COLLECTION_DIR
# ansible-galaxy must accept it, the archive must carry the module, and the
# module's documentation must read once the collection is installed (from
# the archive, offline). Ends with 77 (skipped) without ansible-galaxy.
set -u
if ! command -v ansible-galaxy > /dev/null 2>&1; then
  echo "SKIPPED: ansible-galaxy is not installed (Debian package ansible-core); the collection was not built" >&2
  exit 77
fi
COLLECTION=$(realpath "$1")
WORK=$(mktemp -d /tmp/setup-collection-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export ANSIBLE_HOME=$WORK/ansible ANSIBLE_LOCAL_TEMP=$WORK/atmp ANSIBLE_NOCOLOR=1
export ANSIBLE_COLLECTIONS_PATH=$WORK/collections

if ! ansible-galaxy collection build "$COLLECTION" --output-path "$WORK/dist" > "$WORK/out" 2>&1; then
  echo "FAIL: ansible-galaxy refused the collection: $(cat "$WORK/out")" >&2
  exit 1
fi
ARCHIVE=$(ls "$WORK"/dist/*.tar.gz 2>/dev/null)
[ "$(basename "$ARCHIVE")" = kxq5-templates-1.0.0.tar.gz ] || {
  echo "FAIL: expected the archive kxq5-templates-1.0.0.tar.gz, got: $(ls "$WORK/dist")" >&2
  exit 1
}
for file in MANIFEST.json plugins/modules/kxq5_templates.py README.md meta/runtime.yml; do
  tar -tzf "$ARCHIVE" | grep -qxF "$file" || { echo "FAIL: the archive lacks $file" >&2; exit 1; }
done
# Nothing of a build or a test run may ride along.
if tar -tzf "$ARCHIVE" | grep -E '__pycache__|\.pyc$|\.tar\.gz$'; then
  echo "FAIL: the archive carries build leftovers" >&2
  exit 1
fi
if ! ansible-galaxy collection install --offline -p "$WORK/collections" "$ARCHIVE" > "$WORK/out" 2>&1; then
  echo "FAIL: the archive does not install: $(cat "$WORK/out")" >&2
  exit 1
fi
if ! ansible-doc -t module kxq5.templates.kxq5_templates > "$WORK/doc" 2>&1 || ! grep -q 'control character' "$WORK/doc"; then
  echo "FAIL: ansible-doc cannot read the module's documentation: $(cat "$WORK/doc")" >&2
  exit 1
fi
echo "collection: built, installed and documented"
