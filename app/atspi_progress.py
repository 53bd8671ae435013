#!/usr/bin/env python3
"""The progress bar of a silent copy as a screen reader hears it.

  atspi_progress.py SETUP_BINARY DPKPACK_BINARY [FILES]

Starts a silent install with a window (on the display DISPLAY names) of a
package of FILES small members (default 20000), with the toolkit's
accessibility bridge loaded, on a private session bus, and asks the
accessibility registry for the progress bar's value every 50 ms until the
run ends. Prints one line per value seen (time, value, maximum, the bar's
text) and a summary; fails (exit 1) when the bar never exposes a value
between 0 and 100 that moves, when its maximum is not 100, or when the
program printed a GLib critical warning meanwhile. Exits 77 with a line
saying what is missing when the bridge, the bus or pyatspi is not there.
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(77)


def inner(setup, dpkpack, files):
    try:
        import pyatspi
    except ImportError:
        skip("no pyatspi (Debian: python3-pyatspi)")
    work = tempfile.mkdtemp(prefix="setup-atspi-")
    try:
        src = os.path.join(work, "src", "forms")
        os.makedirs(src)
        for i in range(files):
            with open(os.path.join(src, "m%05d.cfg" % i), "w") as f:
                f.write("template %d\n" % i)
        pkgdir = os.path.join(work, "pkg")
        os.makedirs(pkgdir)
        subprocess.run([dpkpack, "-L", "1", "-o", os.path.join(pkgdir, "kxq5.dpk"), "-l", "en", "-p", "P", "-v", "V",
                        os.path.join(work, "src")], check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, HOME=os.path.join(work, "home"), TMPDIR=os.path.join(work, "tmp"),
                   GTK_MODULES="gail:atk-bridge", LC_ALL="C.UTF-8")
        env.pop("NO_AT_BRIDGE", None)
        os.makedirs(env["HOME"])
        os.makedirs(env["TMPDIR"])
        err = open(os.path.join(work, "stderr"), "w+")
        run = subprocess.Popen([setup, "usecwd", "-S", "-Len", "-D" + os.path.join(work, "t")], cwd=pkgdir, env=env,
                               stdout=subprocess.PIPE, stderr=err)
        start = time.time()
        seen = []
        bar = None
        while run.poll() is None and time.time() - start < 300:
            if bar is None:
                bar = find_bar(pyatspi, run.pid)
            if bar is not None:
                try:
                    value = bar.queryValue()
                    entry = (round(time.time() - start, 2), value.currentValue, value.maximumValue,
                             bar.queryText().getText(0, -1) if "Text" in bar.get_interfaces() else bar.name)
                    # A bar whose window has gone answers with nothing.
                    if bar.getState().contains(pyatspi.STATE_DEFUNCT) or (entry[2] == 0 and not entry[3]):
                        continue
                    if not seen or seen[-1][1:] != entry[1:]:
                        seen.append(entry)
                        print("t=%.2fs value=%g max=%g text=%r" % entry, flush=True)
                except Exception:  # the window went away between two looks
                    pass
            time.sleep(0.05)
        out, _ = run.communicate(timeout=60)
        err.seek(0)
        stderr = err.read()
        print(out.decode().strip())
        failures = []
        if bar is None:
            failures.append("no progress bar found through the registry")
        values = [v for _, v, _, _ in seen]
        if len(set(v for v in values if 0 < v < 100)) < 2:
            failures.append("the value did not move between 0 and 100: %r" % values)
        if any(m != 100 for _, _, m, _ in seen):
            failures.append("a maximum other than 100")
        if "CRITICAL" in stderr:
            failures.append("GLib critical warnings on stderr:\n" + stderr)
        print("values seen: %d, distinct: %d, from %g to %g; GLib criticals: %d" %
              (len(values), len(set(values)), min(values or [0]), max(values or [0]), stderr.count("CRITICAL")))
        for f in failures:
            print("FAIL: " + f)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def find_bar(pyatspi, pid):
    try:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is None or app.get_process_id() != pid:
                continue
            found = pyatspi.utils.findDescendant(app, lambda a: a is not None and a.getRole() == pyatspi.ROLE_PROGRESS_BAR)
            if found is not None:
                return found
    except Exception:
        return None
    return None


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip())
        return 2
    setup, dpkpack = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
    files = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    if not os.environ.get("DISPLAY"):
        skip("no X display")
    if os.environ.get("SETUP_ATSPI_INNER") == "1":
        return inner(setup, dpkpack, files)
    if not glob.glob("/usr/lib/*/gtk-2.0/modules/libatk-bridge.so") + glob.glob("/usr/lib/gtk-2.0/modules/libatk-bridge.so"):
        skip("no accessibility bridge for the toolkit (Debian: libatk-adaptor)")
    if shutil.which("dbus-run-session") is None:
        skip("no dbus-run-session (Debian: dbus-daemon)")
    # A private session bus: the registry and the bus it starts are this
    # run's alone, and go with it.
    env = dict(os.environ, SETUP_ATSPI_INNER="1")
    # pyatspi comes with the system's Python, which may not be the first
    # python3 on the path.
    python = sys.executable
    if subprocess.call([python, "-c", "import pyatspi"], stderr=subprocess.DEVNULL) != 0 and os.path.exists("/usr/bin/python3"):
        python = "/usr/bin/python3"
    return subprocess.call(["dbus-run-session", "--", python] + sys.argv, env=env)


if __name__ == "__main__":
    sys.exit(main())
