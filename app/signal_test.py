#!/usr/bin/env python3
"""Stop signals against the real program in silent mode, without a display.

  signal_test.py SETUP DPKPACK [RUNS]

1. The start-up maps no toolkit library for -h, -N, -V and -S without a
   display: the handlers are in place before anything slow is loaded.
2. A signal after the install and its registration, before the summary
   (held there by the SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS seam): exit 0,
   result=installed, everything on disk and registered.
3. RUNS silent installs (default 40), each sent SIGINT, SIGTERM or SIGHUP
   at a random instant from its first instruction to its exit (half of
   them in its first 20 ms). Each must end within a minute with one summary line whose
   result matches the exit status, and the disk must say the same. A table
   of what was seen is printed.
"""
import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SETUP = os.path.realpath(sys.argv[1])
DPKPACK = os.path.realpath(sys.argv[2])
RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else int(os.environ.get("SIGNAL_RUNS", "40"))
MEMBERS = 60
CFG = ".KX/kxlaunch/kxlaunch.cfg"
TOOLKIT = ("libgtk", "libgdk", "libX11")
failures = []


def fail(text):
    failures.append(text)
    print("FAIL: " + text, file=sys.stderr)


work = tempfile.mkdtemp(prefix="setup-signal-")
pkg = os.path.join(work, "pkg")
src = os.path.join(work, "src", "t")
os.makedirs(pkg)
os.makedirs(src)
for i in range(MEMBERS):
    with open(os.path.join(src, "m%03d.cfg" % i), "wb") as f:
        f.write(os.urandom(20000))
subprocess.run([DPKPACK, "-o", os.path.join(pkg, "kxq5.dpk"), "-l", "en", "-p", "P", "-v", "V",
                os.path.join(work, "src")], check=True, stdout=subprocess.DEVNULL)


def world(name):
    """A fresh HOME and TMPDIR; returns (env, target)."""
    base = os.path.join(work, name)
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(os.path.join(base, "home"))
    os.makedirs(os.path.join(base, "tmp"))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(HOME=os.path.join(base, "home"), TMPDIR=os.path.join(base, "tmp"), LC_ALL="C.UTF-8")
    return env, os.path.join(base, "target")


STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def hold_stops():
    signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)


def start(env, args, held=False):
    """held: the stop signals are blocked from the exec on, so that one sent
    at once waits for the program's first instruction instead of meeting
    the dynamic loader (the kernel's default action, before any code of
    the program runs); the program must take it once its handlers are in
    place."""
    return subprocess.Popen([SETUP, "usecwd"] + args, cwd=pkg, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=hold_stops if held else None)


def registered(env, target):
    try:
        with open(os.path.join(env["HOME"], CFG), encoding="utf-8") as f:
            return any(line.strip().endswith("=" + target) for line in f)
    except FileNotFoundError:
        return False


def members_in(target):
    folder = os.path.join(target, "t")
    return len([n for n in os.listdir(folder) if n.endswith(".cfg")]) if os.path.isdir(folder) else 0


def leftovers(target):
    found = []
    for folder, dirs, files in os.walk(target):
        found += [n for n in files + dirs if n.startswith(".q5stp-")]
    return found


# 1. No toolkit library is mapped where no window opens.
env, target = world("libs")
env["LD_DEBUG"] = "files"
for args in (["-h"], ["-N", "-D" + target], ["-V", "-D" + target], ["-S", "-D" + target]):
    p = start(env, args)
    _, err = p.communicate(timeout=120)
    loaded = sorted({lib for lib in TOOLKIT if lib.encode() in err})
    if loaded:
        fail("setup %s loads %s without a display" % (" ".join(args[:1]), ", ".join(loaded)))

# 2. A signal after the registration, before the summary line.
for sig in (signal.SIGINT, signal.SIGTERM):
    env, target = world("late")
    env["SETUP_TEST_PAUSE_BEFORE_SUMMARY_MS"] = "4000"
    p = start(env, ["-S", "-D" + target])
    deadline = time.time() + 60
    while not registered(env, target) and time.time() < deadline and p.poll() is None:
        time.sleep(0.02)
    time.sleep(0.2)
    p.send_signal(sig)
    out, err = p.communicate(timeout=60)
    want = "setup: result=installed copied=%d up-to-date=0 signature=none target=%s\n" % (MEMBERS, target)
    if p.returncode != 0 or out.decode() != want:
        fail("%s after the registration: exit %s, stdout %r" % (sig.name, p.returncode, out.decode()))
    if members_in(target) != MEMBERS or not registered(env, target):
        fail("%s after the registration: the disk says otherwise" % sig.name)

# 3. Random instants.
env, target = world("timing")
began = time.monotonic()
p = start(env, ["-S", "-D" + target])
p.communicate(timeout=120)
whole = time.monotonic() - began
rng = random.Random(int(os.environ.get("SIGNAL_SEED", "0")) or None)
table = collections.Counter()
for run in range(RUNS):
    env, target = world("random")
    early = run % 2 == 0
    delay = rng.uniform(0, 0.02) if early else rng.uniform(0, whole * 1.2)
    sig = rng.choice((signal.SIGINT, signal.SIGTERM, signal.SIGHUP))
    p = start(env, ["-S", "-D" + target], held=True)
    time.sleep(delay)
    p.send_signal(sig)
    try:
        out, err = p.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        table[("first 20 ms" if early else "any time", "hang", "-", "-")] += 1
        fail("run %d: %s after %.3f s: no end within a minute" % (run, sig.name, delay))
        continue
    lines = out.decode().splitlines()
    result = lines[0].split()[1] if len(lines) == 1 and lines[0].startswith("setup: result=") else "none"
    count, reg = members_in(target), registered(env, target)
    if p.returncode == 0:
        agrees = result == "result=installed" and count == MEMBERS and reg and not leftovers(target)
    elif p.returncode == 3:
        agrees = result == "result=cancelled-rolled-back" and count == 0 and not reg and not leftovers(target)
    else:
        agrees = False
    status = str(p.returncode) if p.returncode >= 0 else "killed by " + signal.Signals(-p.returncode).name
    table[("first 20 ms" if early else "any time", status, result, "yes" if agrees else "NO")] += 1
    if not agrees:
        fail("run %d: %s after %.3f s: exit %s, stdout %r, %d members, registered %s, stderr %r" %
             (run, sig.name, delay, status, out.decode(), count, reg, err.decode()[-300:]))

print("%d runs, a clean run takes %.3f s" % (RUNS, whole))
print("| signal sent | exit status | summary line | disk agrees | runs |")
print("|---|---|---|---|---|")
for (when, status, result, agrees), n in sorted(table.items()):
    print("| %s | %s | %s | %s | %d |" % (when, status, result, agrees, n))
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
