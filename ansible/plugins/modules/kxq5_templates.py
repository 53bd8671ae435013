#!/usr/bin/python
# Installs or verifies the configuration templates of a kit (setup with
# kxq5.dpk beside it) on a host, by running the installer there: its dry run
# (-N) answers check mode and --diff, its silent run (-S) installs, and its
# verify (-V) tells whether the host still holds what the package installed,
# its remove (-U) takes the package's unchanged files back out and its
# repair (-R) makes every file the package's again, each asked with -N first.
# Everything the task reports comes from the installer's own lines; the
# module decides nothing about files itself.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: kxq5_templates
short_description: Install the launcher's configuration templates from a kit, or check them for drift
description:
  - Runs the templates installer C(setup) that lies on the host (with its package C(kxq5.dpk) beside it)
    without a window, and reports what it did from the installer's summary line.
  - With C(state=present) it installs. It first asks the installer's dry run (C(-N)) which files would be
    written and whether the directory's registration in the launcher's configuration would change, then
    runs the silent install (C(-S)). The task is changed when files were written or the registration changed.
  - In check mode only the dry run runs, which writes nothing anywhere; the task is changed when the
    install would write a file or change the registration. With C(--diff) the task shows the files that
    would be written (a new file as an added line, a replaced older file as a removed and an added line)
    and the registration change.
  - With C(state=verified) it runs the installer's verify (C(-V)), which changes nothing (also in check
    mode). The task fails when files are missing or outdated or the directory is not registered, naming
    them in its message; files changed by a user but newer than the package's are kept by an install and
    are not a failure.
  - With C(state=absent) it removes the package's files that are still as the package installed them
    (the installer's C(-U)), keeping files a user changed or added, which are listed in C(kept); the
    directory leaves the launcher's list once nothing of the package is left in it. The task is changed
    when a file was removed or the directory left the list. In check mode only C(-U -N) runs; C(--diff)
    shows the files that would go.
  - With C(state=repaired) it writes every file of the package that is missing, outdated or changed (the
    installer's C(-R)), each changed file first kept beside itself as C(NAME.kxq5-modified), and registers
    the directory when it is not listed. Changed when a file was written or the directory registered. In
    check mode only C(-R -N) runs; C(--diff) shows the files that would be written.
  - The installer runs from an argument list, never through a shell, with C(DISPLAY) empty so that it can
    never open a window.
options:
  setup:
    description:
      - Path of the installer program on the host. Its package C(kxq5.dpk) must lie beside it.
    type: path
    required: true
  dest:
    description:
      - Template directory to install into or to verify (the installer's C(-D)). Empty for the installer's
        default, the first writable entry of the launcher's list.
      - A leading C(~) alone or followed by C(/) stands for the home directory of the user the installer
        runs as on the host (the installer expands it, as it does for a directory typed into its window);
        C($NAME) is not expanded, and any other C(~) is part of the name. A relative path is taken from
        the installer's working directory, which the task does not choose, so give an absolute path.
      - A control character (a line break, a tab, ...) fails the task, since the installer would drop a
        line break from the name and so install into another directory than the one named.
    type: str
    default: ""
  state:
    description:
      - C(present) installs (or, in check mode, tells what an install would change).
      - C(verified) compares the directory with the package and changes nothing.
      - C(absent) removes the package's unchanged files and keeps the others.
      - C(repaired) makes every file of the package its own again.
    type: str
    choices: [present, verified, absent, repaired]
    default: present
  trusted_key:
    description:
      - Public key file on the host that the package must be signed with (the installer's C(-K)); the
        signature C(kxq5.dpk.minisig) beside the package must verify under it. A package without a
        signature, signed with another key, changed after signing, or with a changed trusted comment fails
        the task with the installer's reason, in check mode too, and nothing is installed.
      - Empty for the installer's own choice, which is the system-wide key C(/etc/kxq5/trusted.pub) when set (a key
        given here must then be that same key), else the key in the user's C(~/.config/kxq5/trusted.pub),
        else no check at all (the result's C(summary.signature) is then C(none)).
    type: path
    default: ""
  language:
    description:
      - Language code of the installer's messages (the installer's C(-L), for example C(en) or C(de)).
        Empty for the host's locale.
    type: str
    default: ""
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
notes:
  - The installer's exit statuses are 0 success, 1 not started (package missing or damaged, temporary
    space), 2 failed and rolled back (or, for the dry run, a target that cannot be written or lacks space),
    3 cancelled, 4 installed but not registered, 5 drift found by the verify, 6 removed with changed or
    added files kept. Every status but 0 fails the task, except 6 for C(state=absent).
  - In check mode the kit must already be on the host, since copy tasks do nothing in check mode.
author:
  - Templates installer maintainers
"""

EXAMPLES = r"""
- name: Install the templates (check mode and --diff supported)
  kxq5.templates.kxq5_templates:
    setup: "{{ remote_dir }}/setup"
    dest: /srv/templates
    language: en
  register: templates

- name: Install only a kit signed with the vendor's key
  kxq5.templates.kxq5_templates:
    setup: "{{ remote_dir }}/setup"
    dest: /srv/templates
    trusted_key: /etc/kxq5/vendor.pub

- name: Check that the host still holds the package's templates
  kxq5.templates.kxq5_templates:
    setup: "{{ remote_dir }}/setup"
    dest: /srv/templates
    state: verified

- name: Take the templates back out, keeping what users changed or added
  kxq5.templates.kxq5_templates:
    setup: "{{ remote_dir }}/setup"
    dest: /srv/templates
    state: absent

- name: Put back every file a user deleted or changed
  kxq5.templates.kxq5_templates:
    setup: "{{ remote_dir }}/setup"
    dest: /srv/templates
    state: repaired

- name: Report drift without failing the play
  kxq5.templates.kxq5_templates:
    setup: "{{ remote_dir }}/setup"
    state: verified
  register: drift
  failed_when: drift.result | default("") not in ["verified", "drift"]
"""

RETURN = r"""
summary:
  description:
    - The fields of the installer's summary line, the last line of its standard output. Names with C(-)
      are given with C(_) (C(up_to_date)); counts are numbers; C(target) is the directory as printed;
      C(signature) is C(none) (not checked), C(verified), or why the package was refused.
    - Dry run and install have C(result), C(copied), C(up_to_date), C(target), the dry run also
      C(registration) (C(unchanged) or C(would-change)). Verify has C(result), C(ok), C(missing),
      C(modified), C(outdated), C(registered) (C(yes) or C(no)), C(target).
  returned: when the installer printed its summary line
  type: dict
  sample: {"result": "installed", "copied": 2, "up_to_date": 0, "target": "/srv/templates"}
result:
  description: The summary line's result (installed, would-install, verified, drift, not-started, ...).
  returned: when the installer printed its summary line
  type: str
  sample: installed
target:
  description: The template directory of the run, without a trailing separator; may contain blanks.
  returned: when the installer printed its summary line
  type: str
  sample: /srv/templates
files:
  description:
    - Install and check mode, the full paths of the files the dry run said would be written, in the
      package's order (an install writes those unless the host changed in between).
    - Verify, the full paths of the files that are not as the package left them (missing, outdated or
      modified).
    - Remove, the files removed (or that would be); repair, the files written (or that would be).
  returned: always
  type: list
  elements: str
  sample: ["/srv/templates/t/a.cfg"]
kept:
  description: State C(absent), the full paths of the files the remove kept (or would keep).
  returned: with state absent
  type: list
  elements: str
  sample: ["/srv/templates/t/a.cfg"]
members:
  description: The files of C(files) with their state, C(new) or C(replaces) for an install, C(missing),
    C(outdated) or C(modified) for a verify, C(remove) or C(keep-REASON) (REASON modified, outdated,
    link, folder or added) for a remove, C(restore), C(replace-outdated) or C(replace-modified) for a
    repair.
  returned: always
  type: list
  elements: dict
  sample: [{"path": "/srv/templates/t/a.cfg", "state": "new"}]
rc:
  description: Exit status of the installer's last run.
  returned: when the installer ran
  type: int
  sample: 0
stdout:
  description: Standard output of the installer's last run.
  returned: when the installer ran
  type: str
stderr:
  description: Standard error of the installer's last run (its messages).
  returned: when the installer ran
  type: str
"""

import os

try:
    from ansible.module_utils.basic import AnsibleModule
except ImportError:  # the parsing below is used (and tested) without Ansible
    AnsibleModule = None

SUMMARY_PREFIX = "setup: result="
WOULD_COPY_PREFIX = "setup: would copy "
# The dry run's two endings of a "would copy" line, and the state each gives.
WOULD_COPY_ENDINGS = ((" (new)", "new"), (" (replaces an older file)", "replaces"))
VERIFY_STATES = ("missing", "modified", "outdated")
COUNT_FIELDS = ("copied", "up_to_date", "ok", "missing", "modified", "outdated", "removed", "kept", "restored",
                "replaced", "kept_beside")
# The remove's and the repair's lines, done or (with -N) to be done: the
# words before the path, and the endings after it with the state each gives.
MAINTENANCE_LINES = (
    (("removed", "would remove"), ((None, "remove"),)),
    (("kept", "would keep"), tuple((" (%s)" % why, "keep-" + why)
                                   for why in ("modified", "outdated", "link", "folder", "added"))),
    (("restored", "would restore"), ((" (missing)", "restore"),)),
    (("replaced", "would replace"), ((" (outdated)", "replace-outdated"), (" (modified, kept as ", "replace-modified"))),
)
EXIT_UNREGISTERED = 4
EXIT_DRIFT = 5
EXIT_KEPT = 6


def output_lines(text):
    # Only a line feed ends a line: a directory name may hold a carriage
    # return or other characters that str.splitlines would break at.
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def summary_index(lines):
    """Index of the summary line (the last that starts with "setup: result="), or -1."""
    for i in range(len(lines) - 1, -1, -1):
        if lines[i].startswith(SUMMARY_PREFIX):
            return i
    return -1


def parse_summary(line):
    """The fields of a summary line as a dict: names with "_" for "-", counts as int.

    The target is everything after the first " target=" (it is the last field,
    so it may hold blanks or even "target=" itself); the fields before it are
    name=value pairs without blanks.
    """
    body = line[len("setup: "):]
    head, sep, target = body.partition(" target=")
    if not sep:
        # A summary line always ends with the target, even an empty one;
        # "target=" right after the prefix cannot happen but costs nothing.
        raise ValueError("summary line without target: %r" % line)
    fields = {}
    for pair in head.split():
        name, eq, value = pair.partition("=")
        if not eq:
            raise ValueError("summary field without '=': %r" % pair)
        name = name.replace("-", "_")
        if name in COUNT_FIELDS:
            if not value.isdigit():
                raise ValueError("count %s is not a number: %r" % (name, value))
            fields[name] = int(value)
        else:
            fields[name] = value
    if "result" not in fields:
        raise ValueError("summary line without result: %r" % line)
    fields["target"] = target
    return fields


def parse_member_line(line):
    """(path, state) of a dry run's "would copy" line or a verify's line, or None."""
    if line.startswith(WOULD_COPY_PREFIX):
        rest = line[len(WOULD_COPY_PREFIX):]
        for ending, state in WOULD_COPY_ENDINGS:
            if rest.endswith(ending) and len(rest) > len(ending):
                return rest[:-len(ending)], state
        return None
    for state in VERIFY_STATES:
        prefix = "setup: %s " % state
        if line.startswith(prefix) and len(line) > len(prefix):
            return line[len(prefix):], state
    for words, endings in MAINTENANCE_LINES:
        for word in words:
            prefix = "setup: %s " % word
            if not line.startswith(prefix):
                continue
            rest = line[len(prefix):]
            for ending, state in endings:
                if ending is None:
                    return (rest, state) if rest else None
                # "kept as" names a second path: the member's is before it.
                at = rest.find(ending) if ending.endswith("as ") else len(rest) - len(ending)
                if at > 0 and rest[at:].startswith(ending) and rest.endswith(")"):
                    return rest[:at], state
            return None
    return None


def parse_output(stdout):
    """(summary dict or None, [(path, state)]) from an installer's standard output.

    Only lines before the summary line count as member lines: a summary
    line is the run's last word, and nothing printed after it (there should
    be nothing) is taken for a file.
    """
    lines = output_lines(stdout)
    end = summary_index(lines)
    if end < 0:
        return None, []
    members = []
    for line in lines[:end]:
        member = parse_member_line(line)
        if member is not None:
            members.append(member)
    return parse_summary(lines[end]), members


def dest_problem(dest):
    """Why dest cannot be passed to the installer, or None.

    The installer drops line breaks from a directory it is given, and the
    summary line that names the directory ends at one: a name holding any
    control character is refused rather than installed somewhere else.
    """
    for i, char in enumerate(dest):
        if ord(char) < 0x20 or ord(char) == 0x7F:
            return ("dest %r holds a control character (%r at position %d): the installer cannot be given "
                    "such a directory name; name the directory without it" % (dest, char, i))
    return None


def installer_argv(setup, mode, dest, language, trusted_key="", dry_run=False):
    """The argument list of one run; mode is "N", "S", "V", "U" or "R" (the
    last two asked only what they would do when dry_run is set).

    The mode comes first and the language last: the installer counts S only
    before its first L option.
    """
    argv = [setup, "-" + mode]
    if dry_run:
        argv.append("-N")
    if dest:
        argv.append("-D" + dest)
    if trusted_key:
        # Its own argument: a file name may hold anything.
        argv.extend(["-K", trusted_key])
    if language:
        argv.append("-L" + language)
    return argv


def dry_run_diff(summary, members):
    """Ansible's before/after diff of a dry run: a new file is an added line,
    a replaced one a removed and an added line, and a registration change
    one line of each."""
    target = summary.get("target", "")
    before = []
    after = []
    for path, state in members:
        # The headers name the directory; the lines name its files.
        if path.startswith(target + "/"):
            path = path[len(target) + 1:]
        if state == "replaces":
            before.append("%s (older file)\n" % path)
        after.append("%s (package's file)\n" % path)
    if summary.get("registration") == "would-change":
        before.append("launcher's list: not first\n")
        after.append("launcher's list: first\n")
    return {
        "before_header": "%s (now)" % target,
        "after_header": "%s (after the install)" % target,
        "before": "".join(before),
        "after": "".join(after),
    }


def maintenance_diff(summary, members, removing):
    """Ansible's diff of a remove (a removed file is a removed line) or a
    repair (a restored file an added line, a replaced one a removed and an
    added line), with the launcher's list as for an install."""
    target = summary.get("target", "")
    before = []
    after = []
    for path, state in members:
        if path.startswith(target + "/"):
            path = path[len(target) + 1:]
        if state == "remove":
            before.append("%s (package's file)\n" % path)
        elif state == "restore":
            after.append("%s (package's file)\n" % path)
        elif state.startswith("replace-"):
            before.append("%s (%s file)\n" % (path, state[len("replace-"):]))
            after.append("%s (package's file)\n" % path)
    registration = summary.get("registration", "")
    if registration in ("would-remove", "removed"):
        before.append("launcher's list: %s\n" % target)
    elif registration in ("would-add", "added"):
        after.append("launcher's list: %s\n" % target)
    return {
        "before_header": "%s (now)" % target,
        "after_header": "%s (after the %s)" % (target, "remove" if removing else "repair"),
        "before": "".join(before),
        "after": "".join(after),
    }


def summary_text(stdout):
    lines = output_lines(stdout)
    end = summary_index(lines)
    return lines[end] if end >= 0 else ""


def one_line(text):
    return " ".join(line for line in (l.strip() for l in output_lines(text)) if line)


class Runner:
    """Runs the installer on the host and turns its output into the task's result."""

    def __init__(self, module):
        self.module = module
        params = module.params
        self.setup = params["setup"]
        self.dest = params["dest"] or ""
        self.language = params["language"] or ""
        self.trusted_key = params.get("trusted_key") or ""
        self.result = {"changed": False, "files": [], "members": []}

    def run(self, mode, dry_run=False):
        problem = dest_problem(self.dest)
        if problem:
            self.module.fail_json(msg=problem, **self.result)
        argv = installer_argv(self.setup, mode, self.dest, self.language, self.trusted_key, dry_run)
        # No shell, no expansion of "~" or "$" here (the installer itself
        # reads a leading "~" as the home directory, as documented; "$" is
        # part of the name), and no display: the installer must never wait
        # for someone to click.
        rc, stdout, stderr = self.module.run_command(
            argv, environ_update={"DISPLAY": ""}, expand_user_and_vars=False,
            errors="surrogate_then_replace")
        self.result.update(rc=rc, stdout=stdout, stderr=stderr)
        try:
            summary, members = parse_output(stdout)
        except ValueError as error:
            self.fail("the installer's summary line cannot be read (%s)" % error, rc)
        if summary is None:
            what = "the installer printed no summary line"
            if mode != "S":
                # An installer older than this module ignores -N and -V and,
                # without a display, stops at once asking for one.
                what += " (an installer without -%s asks for a display instead)" % mode
            self.fail(what, rc)
        self.result.update(summary=summary, result=summary["result"], target=summary["target"])
        # A refused signature is the reason whatever the mode: check mode
        # must not pass a package that the install would refuse.
        signature = summary.get("signature", "none")
        if signature not in ("none", "verified"):
            # A refused package is never installed: an install that found
            # it late was rolled back.
            self.result["changed"] = False
            self.fail("the package's signature was refused (signature=%s), nothing was installed" % signature,
                      rc)
        return rc, summary, members

    def fail(self, what, rc):
        # What went wrong, the installer's reason (its messages), then its summary line.
        parts = [one_line(self.result.get("stderr", "")), summary_text(self.result.get("stdout", ""))]
        message = "%s (exit status %s): %s" % (what, rc, "; ".join(part for part in parts if part))
        self.module.fail_json(msg=message, **self.result)

    def set_members(self, members):
        self.result["files"] = [path for path, _ in members]
        self.result["members"] = [{"path": path, "state": state} for path, state in members]

    def present(self):
        rc, summary, members = self.run("N")
        if summary["result"] not in ("would-install", "would-fail") or "registration" not in summary:
            self.fail("the installer's -N did not answer as a dry run", rc)
        if rc != 0 or summary["result"] != "would-install":
            self.fail("the dry run says the install would fail, nothing was installed", rc)
        self.set_members(members)
        registration_changes = summary["registration"] == "would-change"
        self.result["changed"] = summary.get("copied", 0) > 0 or registration_changes
        if self.module._diff:
            self.result["diff"] = dry_run_diff(summary, members)
        if self.module.check_mode:
            return
        rc, summary, _ = self.run("S")
        copied = summary.get("copied", 0)
        if rc != 0:
            # A failed or cancelled install was rolled back: nothing changed.
            # Installed but not registered (4) leaves the files it wrote.
            self.result["changed"] = rc == EXIT_UNREGISTERED and copied > 0
            self.fail("the install failed", rc)
        if copied != len(members):
            self.module.warn("the dry run named %d files, the install wrote %d: the directory changed in "
                             "between, so 'files' may be inexact" % (len(members), copied))
        self.result["changed"] = copied > 0 or registration_changes

    def verified(self):
        rc, summary, members = self.run("V")
        self.set_members(members)
        if rc == EXIT_DRIFT and summary["result"] == "drift":
            lines = ["%s %s" % (state, path) for path, state in members if state != "modified"]
            if summary.get("registered") == "no":
                lines.append("%s is not in the launcher's list" % summary["target"])
            self.module.fail_json(
                msg="drift in %s: %s" % (summary["target"], "; ".join(lines)), **self.result)
        if rc != 0 or summary["result"] != "verified":
            self.fail("the verify could not run", rc)


    def absent(self):
        rc, summary, members = self.run("U", dry_run=True)
        if summary["result"] not in ("would-remove", "would-keep-modified") or rc != 0:
            self.fail("the remove's dry run says it cannot remove anything", rc)
        self.show_maintenance(summary, members, True)
        self.result["changed"] = summary.get("removed", 0) > 0 or summary.get("registration") == "would-remove"
        if self.module.check_mode:
            return
        rc, summary, members = self.run("U")
        self.show_maintenance(summary, members, True)
        # Removed, or removed with files kept: both are what was asked.
        done = rc in (0, EXIT_KEPT) and summary["result"] in ("removed", "kept-modified")
        self.result["changed"] = summary.get("removed", 0) > 0 or summary.get("registration") == "removed"
        if not done:
            # A failed remove put every file back; only the list may be left.
            self.result["changed"] = done or (rc == EXIT_UNREGISTERED and summary.get("removed", 0) > 0)
            self.fail("the remove failed", rc)
        # Files kept (6) are what was asked, not a failure, whatever Ansible
        # makes of a status other than 0.
        self.result["failed"] = False

    def repaired(self):
        rc, summary, members = self.run("R", dry_run=True)
        if summary["result"] != "would-repair" or rc != 0:
            self.fail("the repair's dry run says the repair would fail, nothing was written", rc)
        self.show_maintenance(summary, members, False)
        written = summary.get("restored", 0) + summary.get("replaced", 0)
        self.result["changed"] = written > 0 or summary.get("registration") == "would-add"
        if self.module.check_mode:
            return
        rc, summary, members = self.run("R")
        self.show_maintenance(summary, members, False)
        written = summary.get("restored", 0) + summary.get("replaced", 0)
        if rc != 0 or summary["result"] != "repaired":
            # Failed or cancelled: every file was put back.
            self.result["changed"] = rc == EXIT_UNREGISTERED and written > 0
            self.fail("the repair failed", rc)
        self.result["changed"] = written > 0 or summary.get("registration") == "added"

    def show_maintenance(self, summary, members, removing):
        if removing:
            self.result["kept"] = [path for path, state in members if state.startswith("keep-")]
            members = [(path, state) for path, state in members if not state.startswith("keep-")]
        self.set_members(members)
        if self.module._diff:
            self.result["diff"] = maintenance_diff(summary, members, removing)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            setup=dict(type="path", required=True),
            dest=dict(type="str", default=""),
            state=dict(type="str", choices=["present", "verified", "absent", "repaired"], default="present"),
            language=dict(type="str", default=""),
            trusted_key=dict(type="path", default=""),
        ),
        supports_check_mode=True,
    )
    runner = Runner(module)
    setup = runner.setup
    if not os.path.isfile(setup) or not os.access(setup, os.X_OK):
        module.fail_json(
            msg="the installer %s is not on the host or cannot be run: copy the kit (setup and kxq5.dpk) "
                "there first; in check mode copy tasks copy nothing" % setup, **runner.result)
    if module.params["state"] == "verified":
        runner.verified()
    elif module.params["state"] == "absent":
        runner.absent()
    elif module.params["state"] == "repaired":
        runner.repaired()
    else:
        runner.present()
    module.exit_json(**runner.result)


if __name__ == "__main__":
    main()
