# The reading of the installer's output by the Ansible module, without
# Ansible and without the installer: python3 -m unittest test_kxq5_templates
import os
import sys
import unittest

# The module as the collection ships it, at the top of the repository.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ansible", "plugins",
                                "modules"))
import kxq5_templates as m  # noqa: E402


class SummaryTest(unittest.TestCase):
    def test_fields_and_target(self):
        cases = [
            ("setup: result=installed copied=2 up-to-date=0 target=/srv/t",
             {"result": "installed", "copied": 2, "up_to_date": 0, "target": "/srv/t"}),
            # Blanks, "=" and even " target=" inside the directory belong to it.
            ("setup: result=would-install copied=0 up-to-date=5 registration=unchanged target=/h/my t/x target=y ",
             {"result": "would-install", "copied": 0, "up_to_date": 5, "registration": "unchanged",
              "target": "/h/my t/x target=y "}),
            ("setup: result=drift ok=1 missing=1 modified=0 outdated=2 registered=no target=/a b",
             {"result": "drift", "ok": 1, "missing": 1, "modified": 0, "outdated": 2,
              "registered": "no", "target": "/a b"}),
            # A run that ended before choosing a directory prints it empty.
            ("setup: result=not-started copied=0 up-to-date=0 target=",
             {"result": "not-started", "copied": 0, "up_to_date": 0, "target": ""}),
        ]
        for line, fields in cases:
            with self.subTest(line=line):
                self.assertEqual(m.parse_summary(line), fields)

    def test_malformed_lines_are_refused(self):
        for line in ["setup: result=installed copied=2",
                     "setup: result=installed copied 2 target=/t",
                     "setup: result=installed copied=-1 up-to-date=0 target=/t"]:
            with self.subTest(line=line):
                self.assertRaises(ValueError, m.parse_summary, line)


class OutputTest(unittest.TestCase):
    def test_member_lines_before_the_last_summary_line(self):
        stdout = ("setup: would copy /h/my t/a (new).cfg (new)\n"
                  "setup: would copy /h/my t/b (replaces an older file)\n"
                  "setup: would copy \n"                      # no path: not a member
                  "some other text\n"
                  "setup: result=early copied=9 up-to-date=9 target=/old\n"
                  "setup: missing /h/my t/c\n"
                  "setup: modified /h/d\r\n"                  # a CR is part of the name
                  "setup: outdated /h/e\n"
                  "setup: result=drift ok=0 missing=1 modified=1 outdated=1 registered=yes target=/h/my t\n"
                  "setup: missing /after/the/summary\n")
        summary, members = m.parse_output(stdout)
        self.assertEqual(summary["result"], "drift")
        self.assertEqual(summary["target"], "/h/my t")
        self.assertEqual(members, [("/h/my t/a (new).cfg", "new"), ("/h/my t/b", "replaces"),
                                   ("/h/my t/c", "missing"), ("/h/d\r", "modified"),
                                   ("/h/e", "outdated")])

    def test_remove_and_repair_lines(self):
        stdout = ("setup: would remove /t/a\n"
                  "setup: removed /t/my (b).cfg\n"
                  "setup: would keep /t/c (modified)\n"
                  "setup: kept /t/d (x) (added)\n"
                  "setup: kept /t/e (odd)\n"                    # no such reason: not a member
                  "setup: would restore /t/f (missing)\n"
                  "setup: replaced /t/g (outdated)\n"
                  "setup: would replace /t/h i (modified, kept as /t/h i.kxq5-modified)\n"
                  "setup: nothing to remove in /t\n"
                  "setup: removed \n"                          # no path
                  "setup: result=removed removed=2 kept=2 registration=kept signature=none target=/t\n")
        summary, members = m.parse_output(stdout)
        self.assertEqual((summary["removed"], summary["kept"], summary["registration"]), (2, 2, "kept"))
        self.assertEqual(members, [("/t/a", "remove"), ("/t/my (b).cfg", "remove"), ("/t/c", "keep-modified"),
                                   ("/t/d (x)", "keep-added"), ("/t/f", "restore"),
                                   ("/t/g", "replace-outdated"), ("/t/h i", "replace-modified")])
        summary, _ = m.parse_output("setup: result=repaired restored=1 replaced=2 kept-beside=1 up-to-date=3 "
                                    "registration=added signature=none target=/t\n")
        self.assertEqual((summary["restored"], summary["replaced"], summary["kept_beside"]), (1, 2, 1))

    def test_no_summary_line_is_no_answer(self):
        for stdout in ["", "setup: would copy /t/a (new)\n",
                       "setup: needs a graphical desktop\n", "xsetup: result=installed target=/t\n"]:
            with self.subTest(stdout=stdout):
                self.assertEqual(m.parse_output(stdout), (None, []))


class ArgvAndDiffTest(unittest.TestCase):
    def test_argv(self):
        # S only counts before the first L option, so the mode goes first.
        self.assertEqual(m.installer_argv("/k/setup", "S", "/h/my t", "de"),
                         ["/k/setup", "-S", "-D/h/my t", "-Lde"])
        self.assertEqual(m.installer_argv("/k/setup", "N", "", ""), ["/k/setup", "-N"])
        # "~" and "$" reach the installer as written: it reads a leading "~"
        # as the home directory itself, and "$" is part of a name.
        self.assertEqual(m.installer_argv("/k/setup", "V", "~/t $HOME", ""), ["/k/setup", "-V", "-D~/t $HOME"])
        # The key file is an argument of its own, before the language.
        self.assertEqual(m.installer_argv("/k/setup", "N", "/t", "de", "/etc/my key.pub"),
                         ["/k/setup", "-N", "-D/t", "-K", "/etc/my key.pub", "-Lde"])
        # The remove's and the repair's questions: -N right after the mode.
        self.assertEqual(m.installer_argv("/k/setup", "U", "/t", "de", dry_run=True),
                         ["/k/setup", "-U", "-N", "-D/t", "-Lde"])
        self.assertEqual(m.installer_argv("/k/setup", "R", "", ""), ["/k/setup", "-R"])

    def test_maintenance_diff(self):
        removing = m.maintenance_diff({"registration": "would-remove", "target": "/t"},
                                      [("/t/a", "remove")], True)
        self.assertEqual((removing["before"], removing["after"]), ("a (package's file)\nlauncher's list: /t\n", ""))
        repairing = m.maintenance_diff({"registration": "added", "target": "/t"},
                                       [("/t/a", "restore"), ("/t/b", "replace-modified")], False)
        self.assertEqual(repairing["before"], "b (modified file)\n")
        self.assertEqual(repairing["after"], "a (package's file)\nb (package's file)\nlauncher's list: /t\n")

    def test_diff_adds_new_files_and_replaces_older_ones(self):
        summary = {"result": "would-install", "registration": "would-change", "target": "/t"}
        diff = m.dry_run_diff(summary, [("/t/a", "new"), ("/t/b", "replaces")])
        self.assertEqual(diff["before_header"], "/t (now)")
        self.assertEqual(diff["before"], "b (older file)\nlauncher's list: not first\n")
        self.assertEqual(diff["after"], "a (package's file)\nb (package's file)\n"
                                        "launcher's list: first\n")
        unchanged = m.dry_run_diff(dict(summary, registration="unchanged"), [])
        self.assertEqual((unchanged["before"], unchanged["after"]), ("", ""))


class Stop(Exception):
    pass


class FakeModule:
    """Answers each installer run from a table keyed by its mode option and
    records the runs; exit_json and fail_json stop like the real ones."""

    def __init__(self, answers, check_mode=False, dest=""):
        self.params = {"setup": "/k/setup", "dest": dest, "language": "", "state": "present"}
        self.answers = answers
        self.check_mode = check_mode
        self._diff = True
        self.modes = []
        self.warnings = []

    def run_command(self, argv, **kwargs):
        mode = argv[1] + (" -N" if "-N" in argv[2:] else "")
        self.modes.append(mode)
        assert kwargs["environ_update"] == {"DISPLAY": ""} and not kwargs["expand_user_and_vars"]
        return self.answers[mode]

    def warn(self, text):
        self.warnings.append(text)

    def fail_json(self, **result):
        self.outcome = dict(result, failed=True)
        raise Stop()


DRY_CHANGE = (0, "setup: would copy /t/a (new)\n"
                 "setup: result=would-install copied=1 up-to-date=1 registration=unchanged target=/t\n", "")
DRY_REGISTER = (0, "setup: result=would-install copied=0 up-to-date=2 registration=would-change target=/t\n", "")
DRY_NOTHING = (0, "setup: result=would-install copied=0 up-to-date=2 registration=unchanged target=/t\n", "")
DRY_DAMAGED = (1, "setup: result=would-fail copied=0 up-to-date=0 registration=would-change target=/t\n",
               "setup: Distribution kit file kxq5.dpk corrupted\n")
# An installer without -N or -V ignores them and, without a display, stops.
OLD = (1, "", "setup: needs a graphical desktop\n")
INSTALLED = (0, "setup: result=installed copied=1 up-to-date=1 target=/t\n", "")
INSTALLED_NOTHING = (0, "setup: result=installed copied=0 up-to-date=2 target=/t\n", "")
ROLLED_BACK = (2, "setup: result=failed-rolled-back copied=0 up-to-date=0 target=/t\n", "setup: disk full\n")
UNREGISTERED = (4, "setup: result=installed-unregistered copied=1 up-to-date=1 target=/t\n",
                "setup: cannot write kxlaunch.cfg\n")
VERIFIED = (0, "setup: modified /t/b\n"
               "setup: result=verified ok=1 missing=0 modified=1 outdated=0 registered=yes target=/t\n", "")
DRY_UNSIGNED = (1, "setup: result=would-fail copied=0 up-to-date=0 registration=would-change signature=missing "
                  "target=/t\n", "setup: The package is not signed\n")
DRY_SIGNED = (0, "setup: result=would-install copied=1 up-to-date=1 registration=unchanged signature=verified "
                 "target=/t\n", "")
CHANGED_LATE = (1, "setup: result=failed-rolled-back copied=0 up-to-date=0 signature=bad target=/t\n",
                "setup: The signature does not match the package\n")
VERIFY_BAD_COMMENT = (1, "setup: result=not-started ok=0 missing=0 modified=0 outdated=0 registered=no "
                         "signature=bad-comment target=/t\n", "setup: The trusted comment was changed\n")
DRIFT = (5, "setup: missing /t/a\nsetup: modified /t/b\n"
            "setup: result=drift ok=0 missing=1 modified=1 outdated=0 registered=no target=/t\n", "")

U_DRY = (0, "setup: would remove /t/a\nsetup: would keep /t/b (modified)\n"
            "setup: result=would-keep-modified removed=1 kept=1 registration=would-keep signature=none target=/t\n", "")
U_DRY_NOTHING = (0, "setup: would keep /t/b (added)\nsetup: nothing to remove in /t\n"
                    "setup: result=would-keep-modified removed=0 kept=1 registration=not-listed signature=none "
                    "target=/t\n", "")
U_DRY_UNLIST = (0, "setup: nothing to remove in /t\n"
                   "setup: result=would-remove removed=0 kept=0 registration=would-remove signature=none target=/t\n",
                "")
U_KEPT = (6, "setup: removed /t/a\nsetup: kept /t/b (modified)\n"
             "setup: result=kept-modified removed=1 kept=1 registration=kept signature=none target=/t\n", "")
U_NOTHING = (6, "setup: kept /t/b (added)\nsetup: nothing to remove in /t\n"
                "setup: result=kept-modified removed=0 kept=1 registration=not-listed signature=none target=/t\n", "")
U_UNLISTED = (0, "setup: result=removed removed=0 kept=0 registration=removed signature=none target=/t\n", "")
U_RESTORED = (2, "setup: result=failed-restored removed=1 kept=0 registration=unchanged signature=none target=/t\n",
              "setup: permission denied\n")
R_DRY = (0, "setup: would restore /t/a (missing)\n"
            "setup: result=would-repair restored=1 replaced=0 kept-beside=0 up-to-date=1 registration=unchanged "
            "signature=none target=/t\n", "")
R_DRY_NOTHING = (0, "setup: result=would-repair restored=0 replaced=0 kept-beside=0 up-to-date=2 "
                    "registration=unchanged signature=none target=/t\n", "")
R_DRY_FAIL = (2, "setup: result=would-fail restored=0 replaced=0 kept-beside=0 up-to-date=0 registration=unchanged "
                 "signature=none target=/t\n", "setup: a folder stands where /t/a goes\n")
R_DONE = (0, "setup: restored /t/a (missing)\n"
             "setup: result=repaired restored=1 replaced=0 kept-beside=0 up-to-date=1 registration=unchanged "
             "signature=none target=/t\n", "")
R_NOTHING = (0, "setup: result=repaired restored=0 replaced=0 kept-beside=0 up-to-date=2 registration=unchanged "
                "signature=none target=/t\n", "")
R_CANCELLED = (3, "setup: result=cancelled-restored restored=0 replaced=0 kept-beside=0 up-to-date=0 "
                  "registration=unchanged signature=none target=/t\n", "")


class RunnerTest(unittest.TestCase):
    def run_state(self, state, answers, check_mode=False, dest=""):
        module = FakeModule(answers, check_mode, dest)
        runner = m.Runner(module)
        try:
            getattr(runner, state)()
            module.outcome = dict(runner.result, failed=False)
        except Stop:
            pass
        return module

    def test_outcomes(self):
        # state, check mode, answers, runs made, failed, changed, text the message must hold
        cases = [
            ("present", True, {"-N": DRY_CHANGE}, ["-N"], False, True, None),
            ("present", True, {"-N": DRY_REGISTER}, ["-N"], False, True, None),
            ("present", True, {"-N": DRY_NOTHING}, ["-N"], False, False, None),
            ("present", False, {"-N": DRY_CHANGE, "-S": INSTALLED}, ["-N", "-S"], False, True, None),
            ("present", False, {"-N": DRY_REGISTER, "-S": INSTALLED_NOTHING}, ["-N", "-S"], False, True, None),
            ("present", False, {"-N": DRY_NOTHING, "-S": INSTALLED_NOTHING}, ["-N", "-S"], False, False, None),
            ("present", False, {"-N": DRY_DAMAGED}, ["-N"], True, False, "corrupted"),
            ("present", False, {"-N": DRY_CHANGE, "-S": ROLLED_BACK}, ["-N", "-S"], True, False,
             "(exit status 2): setup: disk full; setup: result=failed-rolled-back"),
            ("present", False, {"-N": DRY_CHANGE, "-S": UNREGISTERED}, ["-N", "-S"], True, True,
             "installed-unregistered"),
            ("present", False, {"-N": OLD}, ["-N"], True, False, "no summary line"),
            ("verified", True, {"-V": VERIFIED}, ["-V"], False, False, None),
            ("verified", False, {"-V": DRIFT}, ["-V"], True, False, "drift in /t: missing /t/a; /t is not in"),
            ("verified", False, {"-V": OLD}, ["-V"], True, False, "no summary line"),
            # A refused signature fails the task in every mode, check mode included.
            ("present", True, {"-N": DRY_UNSIGNED}, ["-N"], True, False,
             "signature was refused (signature=missing), nothing was installed (exit status 1): "
             "setup: The package is not signed"),
            ("present", True, {"-N": DRY_SIGNED}, ["-N"], False, True, None),
            ("present", False, {"-N": DRY_SIGNED, "-S": CHANGED_LATE}, ["-N", "-S"], True, False,
             "signature=bad"),
            ("verified", False, {"-V": VERIFY_BAD_COMMENT}, ["-V"], True, False, "signature=bad-comment"),
            # The remove: kept files are no failure; changed only when a
            # file went or the directory left the launcher's list.
            ("absent", True, {"-U -N": U_DRY}, ["-U -N"], False, True, None),
            ("absent", True, {"-U -N": U_DRY_NOTHING}, ["-U -N"], False, False, None),
            ("absent", True, {"-U -N": U_DRY_UNLIST}, ["-U -N"], False, True, None),
            ("absent", False, {"-U -N": U_DRY, "-U": U_KEPT}, ["-U -N", "-U"], False, True, None),
            ("absent", False, {"-U -N": U_DRY_NOTHING, "-U": U_NOTHING}, ["-U -N", "-U"], False, False, None),
            ("absent", False, {"-U -N": U_DRY_UNLIST, "-U": U_UNLISTED}, ["-U -N", "-U"], False, True, None),
            ("absent", False, {"-U -N": U_DRY, "-U": U_RESTORED}, ["-U -N", "-U"], True, False,
             "the remove failed (exit status 2): setup: permission denied"),
            ("absent", False, {"-U -N": OLD}, ["-U -N"], True, False, "no summary line"),
            # The repair: a dry run that says it would fail writes nothing.
            ("repaired", True, {"-R -N": R_DRY}, ["-R -N"], False, True, None),
            ("repaired", False, {"-R -N": R_DRY, "-R": R_DONE}, ["-R -N", "-R"], False, True, None),
            ("repaired", False, {"-R -N": R_DRY_NOTHING, "-R": R_NOTHING}, ["-R -N", "-R"], False, False, None),
            ("repaired", False, {"-R -N": R_DRY_FAIL}, ["-R -N"], True, False, "a folder stands where"),
            ("repaired", False, {"-R -N": R_DRY, "-R": R_CANCELLED}, ["-R -N", "-R"], True, False,
             "cancelled-restored"),
        ]
        for state, check, answers, modes, failed, changed, text in cases:
            with self.subTest(state=state, check=check, answers=answers):
                module = self.run_state(state, answers, check)
                self.assertEqual(module.modes, modes)
                self.assertEqual(module.outcome["failed"], failed)
                self.assertEqual(module.outcome["changed"], changed)
                if text:
                    self.assertIn(text, module.outcome["msg"])

    def test_control_characters_in_dest_fail_before_any_run(self):
        answers = {"-N": DRY_CHANGE, "-S": INSTALLED, "-V": VERIFIED}
        for dest, shown in [("/h/t\n", "'\\n' at position 4"), ("/h/\rt", "'\\r' at position 3"),
                            ("/h/a\tb", "'\\t' at position 4"), ("\x7f", "'\\x7f' at position 0")]:
            for state in ("present", "verified"):
                with self.subTest(dest=dest, state=state):
                    module = self.run_state(state, answers, dest=dest)
                    self.assertEqual(module.modes, [])
                    self.assertTrue(module.outcome["failed"])
                    self.assertIn("holds a control character (%s)" % shown, module.outcome["msg"])
        # Blanks and other printable characters are names like any other.
        module = self.run_state("present", answers, dest="/h/my ~t $x")
        self.assertFalse(module.outcome["failed"])

    def test_files_and_diff_come_from_the_dry_run(self):
        module = self.run_state("present", {"-N": DRY_CHANGE, "-S": INSTALLED})
        self.assertEqual(module.outcome["files"], ["/t/a"])
        self.assertEqual(module.outcome["diff"]["after"], "a (package's file)\n")
        self.assertEqual(module.outcome["summary"]["result"], "installed")
        self.assertEqual(module.warnings, [])
        removed = self.run_state("absent", {"-U -N": U_DRY, "-U": U_KEPT})
        self.assertEqual((removed.outcome["files"], removed.outcome["kept"]), (["/t/a"], ["/t/b"]))
        self.assertEqual(removed.outcome["diff"]["before"], "a (package's file)\n")
        drift = self.run_state("verified", {"-V": DRIFT})
        self.assertEqual(drift.outcome["files"], ["/t/a", "/t/b"])
        self.assertEqual(drift.outcome["summary"]["missing"], 1)


if __name__ == "__main__":
    unittest.main()
