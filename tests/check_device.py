#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs the README's recipes for reading a device against a real Modbus
device (tests/modbus_device.py) with the real mbpoll as the reader, by TCP
and by RTU on a pseudo-terminal pair made with socat, under the shells and
awks that users have: Debian's dash and mawk, bash with gawk, dash with
original-awk, and busybox's sh, awk and sleep, as on a board (those that
are installed).

usage: check_device.py recipes README HWSTEP
       check_device.py library PROGRAM HWSTEP

A reading must print exactly the lines that HWSTEP prints for the words
that mbpoll wrote into the registers, and exit 0; a device that is absent,
silent, refuses the read or answers short must leave the reader's own
message alone on standard error, and the status that the README gives a
failed reading; an output that is closed, hwstep's message and status 1.
A watch must print, in order, the line of every reading that the device
logs as answered, none missed if answered a poll interval before the watch
was stopped (by SIGINT or SIGTERM to its process group), none mixed while
the registers change under it; when the device goes away, the reader's
message alone, then lines again once the device is back.  Every process of
a watch must have ended within a few polls of SIGINT, wherever it lands
(while the reader waits, just after the device answered, or as hwstep
ends, the watch started from an interactive bash too), and of hwstep
failing (its output closed, full, or a pipe whose reader has gone,
SIGPIPE ignored or not).  A reading that ignores SIGINT, as in the
background of a script, must end with the status of a failed reading and
print nothing when SIGINT ends the reader.

In the second form, PROGRAM is the README's program that reads a device
with libmodbus, by host name or address: it must print what the reading
prints, refuse a port that is not a number from 1 to 65535 and a host that
is not found before it connects, or give libmodbus's message and status 1.

Exits 77 (skipped) when mbpoll, socat, pymodbus or PROGRAM is missing.
"""
import collections
import contextlib
import ctypes
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOC_HOST = "192.0.2.10"
DOC_SERIAL = "/dev/ttyUSB0"
# The status that the README gives a reading whose device gave no words.
FAILED = 3
CLOSED = "hwstep: write error: Bad file descriptor\n"
# Three pairs that the readings find in registers 1 to 6.
WORDS = ["0001", "8000", "8000", "0000", "7fff", "ffff"]
# Counts across a wrap of the low word, written one by one under a watch.
CHANGES = [["%04x" % (c >> 16), "%04x" % (c & 0xFFFF)]
           for c in range(0xFFFE, 0x10002)]
# The shells and awks that run the recipes, Debian's own first.  The shell
# is sh too, as where bash is sh; busybox's stands for a board, with its
# own sleep and timeout.
SETTINGS = (("dash, mawk", "dash", "mawk"), ("bash, gawk", "bash", "gawk"),
            ("dash, original-awk", "dash", "original-awk"),
            ("busybox", "busybox", "busybox"))
Setting = collections.namedtuple("Setting", "name shell env")
libc = ctypes.CDLL(None)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def dies_with_parent():
    """Run in a child: the kernel kills it if this script dies first."""
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def sh(setting, command):
    return run(setting.shell + ["-c", command], env=setting.env)


def settings(work):
    """The settings whose shell and awk are installed, each with a PATH on
    which its sh and awk (and busybox's sleep and timeout) come first."""
    found = []
    for name, shell, awk in SETTINGS:
        if not (shutil.which(shell) and shutil.which(awk)):
            print(f"not run under {name}: not installed", flush=True)
            continue
        folder = os.path.join(work, awk)
        os.mkdir(folder)
        links = {"sh": shell, "awk": awk}
        if awk == "busybox":
            links.update(sleep=awk, timeout=awk)
        for tool, program in links.items():
            os.symlink(shutil.which(program), os.path.join(folder, tool))
        found.append(Setting(name, [shell] + ["sh"] * (shell == "busybox"),
                             dict(os.environ,
                                  PATH=folder + ":" + os.environ["PATH"])))
    return found


def stopping(work, setting):
    """The setting with an hwstep that stops the shell that starts it once
    the shell waits for it, so that a signal can come as hwstep ends and
    before the shell sees it end."""
    folder = os.path.join(work, "stopping")
    if not os.path.exists(folder):
        os.mkdir(folder)
        with open(os.path.join(folder, "hwstep"), "w", encoding="ascii") as f:
            f.write("#!/bin/sh\n"
                    "while read -r w </proc/$PPID/wchan; "
                    "[ \"$w\" != do_wait ]; do :; done\n"
                    'kill -STOP $PPID\nexec %s "$@"\n' %
                    shutil.which("hwstep"))
        os.chmod(os.path.join(folder, "hwstep"), 0o755)
    return setting._replace(env=dict(
        setting.env, PATH=folder + ":" + setting.env["PATH"]))


def hwstep_lines(words):
    r = run(["hwstep"] + words)
    assert r.returncode == 0, r
    return r.stdout.splitlines(keepends=True)


def swap(words):
    return [w for i in range(0, len(words), 2) for w in words[i:i + 2][::-1]]


def free_port():
    """A port on the loopback that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def processes(group):
    """The state, pid and parent of each process of the group."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", encoding="ascii") as f:
                stat = f.read()
        except OSError:
            continue
        state, ppid, pgrp = stat[stat.rindex(")") + 2:].split()[:3]
        if int(pgrp) == group:
            found.append((state, int(pid), int(ppid)))
    return found


def running(group):
    """Whether a process of the group is still running (zombies aside)."""
    return any(state != "Z" for state, _, _ in processes(group))


class Device:
    """The device, its log of answers, and the pseudo-terminal pair whose
    one end it serves RTU on, the other end being the reader's."""

    def __init__(self, work):
        self.work = work
        self.log = os.path.join(work, "answered.log")
        self.serial = os.path.join(work, "ttyS-reader")
        end = os.path.join(work, "ttyS-device")
        self.socat = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.serial,
             "pty,raw,echo=0,link=" + end],
            stderr=subprocess.DEVNULL, preexec_fn=dies_with_parent)
        deadline = time.time() + 5
        while not os.path.exists(end) and time.time() < deadline:
            time.sleep(0.02)
        self.args = ["--rtu", end, "--log", self.log]
        self.port = 0
        self.start()

    def start(self):
        """Starts the device, on the port it had before if it had one."""
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "modbus_device.py"),
             "--port", str(self.port)] + self.args,
            stdout=subprocess.PIPE, text=True, preexec_fn=dies_with_parent)
        self.port = int(self.proc.stdout.readline())

    @contextlib.contextmanager
    def stopped(self):
        """The device gone for a while, then back on its port."""
        self.proc.terminate()
        self.proc.wait(5)
        yield
        self.start()

    @contextlib.contextmanager
    def toggled(self, sig):
        """The device silent (SIGUSR1) or short (SIGUSR2) for a while, or
        as it is (None).  Two signals sent before the device takes the
        first count as one: toggle once around all that needs the state."""
        if sig:
            os.kill(self.proc.pid, sig)
        yield
        if sig:
            os.kill(self.proc.pid, sig)

    def close(self):
        for p in (self.proc, self.socat):
            if p.poll() is None:
                p.terminate()
                p.wait(5)

    def write(self, words):
        r = run(["mbpoll", "-1", "-q", "-t", "4:hex", "-r", "1",
                 "-p", str(self.port), "127.0.0.1"] +
                ["0x" + w for w in words])
        assert r.returncode == 0, r

    def answered(self):
        """Each read answered so far: its time and its words."""
        with open(self.log, encoding="ascii") as f:
            return [(float(t), words) for t, *words in map(str.split, f)]

    def logged(self):
        """The size of the log, which grows with each read answered."""
        return os.path.getsize(self.log)


def recipes(readme):
    """The readings, the watches (each high word first, then low word
    first) and the device that the serial reading names."""
    with open(readme, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f]
    found = [line for line in lines if "mbpoll -1 " in line and "hwstep" in line]
    readings = [line for line in found
                if DOC_HOST in line and "while :; do " not in line]
    watches = [line for line in found if "while :; do " in line]
    serial = [line for line in found if DOC_SERIAL in line]
    assert len(readings) == 2 and len(watches) == 2 and len(serial) == 1, \
        "README: want 2 readings, 2 watches and 1 serial reading"
    before, after = readings[0].split(DOC_HOST)
    line = serial[0]
    assert line.startswith(before) and line.endswith(after), \
        "README: the serial reading is not the first reading: " + line
    return readings, watches, line[len(before):len(line) - len(after)]


def at(recipe, device, extra=""):
    """The recipe with the device named, and extra options for mbpoll."""
    return recipe.replace(DOC_HOST, (device + " " + extra).strip())


def reader(recipe):
    """The recipe's mbpoll alone."""
    return re.search(r"mbpoll [^|]*", recipe)[0].strip()


def quick(recipe):
    """The watch at a tenth of a second between polls, for the cases that
    do not depend on the interval, to keep the suite short."""
    return re.sub(r"sleep [0-9.]+", "sleep 0.1", recipe)


def check_readings(dev, readings, places, settings):
    """Each reading by TCP and by RTU under Debian's shell and awk, and by
    TCP under the others."""
    dev.write(WORDS)
    absent = {"tcp": "127.0.0.1 -p %d" % free_port(),
              "rtu": places["rtu"].replace(dev.serial, dev.work + "/none")}
    runs = ([(settings[0], name) for name in places] +
            [(setting, "tcp") for setting in settings[1:]])
    for n, recipe in enumerate(readings):
        turn = swap if n else list
        for setting, name in runs:
            what = f"reading {n + 1} by {name} under {setting.name}"
            place = places[name]
            for extra, words in (("", WORDS[:2]), ("-c 6", WORDS)):
                r = sh(setting, at(recipe, place, extra))
                check((r.returncode, r.stdout, r.stderr) ==
                      (0, "".join(hwstep_lines(turn(words))), ""),
                      f"{what} {extra}: {r}")
            r = sh(setting, "exec >&-; " + at(recipe, place))
            check((r.returncode, r.stdout, r.stderr) == (1, "", CLOSED),
                  f"{what}, output closed: {r}")
            # A unit that is not there does not answer; register 16 is
            # one too many.
            for case, where, extra, sig in (
                    ("absent", absent[name], "", None),
                    ("silent", place, "-a 2 -o 0.2", None),
                    ("refusing", place, "-r 16", None),
                    ("short", place, "", signal.SIGUSR2)):
                with dev.toggled(sig):
                    alone = sh(setting, reader(at(recipe, where, extra)))
                    r = sh(setting, at(recipe, where, extra))
                check(alone.returncode != 0 and alone.stderr and
                      (r.returncode, r.stdout, r.stderr) ==
                      (FAILED, "", alone.stderr),
                      f"{what}, {case}: {r}, alone: {alone}")


class Started:
    """A recipe started in a process group of its own, for a watch, or for
    a reading to be interrupted.  Its output goes to a file, or is closed,
    /dev/full or a pipe."""

    def __init__(self, recipe, place, setting, output="file",
                 sigint=signal.SIG_DFL, sigpipe=signal.SIG_DFL):
        interval = re.search(r"sleep ([0-9.]+)", recipe)
        self.interval = float(interval[1]) if interval else 0
        self.out = tempfile.TemporaryFile("w+")
        self.err = tempfile.TemporaryFile("w+")

        def child():
            dies_with_parent()
            signal.signal(signal.SIGINT, sigint)
            signal.signal(signal.SIGPIPE, sigpipe)
            if output == "closed":
                os.close(1)
        with open("/dev/full", "w", encoding="ascii") as full:
            self.proc = subprocess.Popen(
                setting.shell + ["-c", at(recipe, place)], env=setting.env,
                stdout={"file": self.out, "closed": None, "full": full,
                        "pipe": subprocess.PIPE}[output],
                stderr=self.err, text=True, start_new_session=True,
                preexec_fn=child)

    def lines(self):
        self.out.seek(0)
        return self.out.readlines()

    def errors(self):
        self.err.seek(0)
        return self.err.readlines()

    def wait_for(self, line, seconds=5):
        deadline = time.time() + seconds
        while line not in self.lines() and time.time() < deadline:
            time.sleep(0.05)

    def read_lines(self, count, seconds=5):
        """The first lines from the pipe, then the pipe closed."""
        lines = []
        while (len(lines) < count and
               select.select([self.proc.stdout], [], [], seconds)[0]):
            lines.append(self.proc.stdout.readline())
        self.proc.stdout.close()
        return lines

    def ended(self):
        """Whether all its processes end within a few polls, by when the
        status of the first is known."""
        deadline = time.time() + 3 * self.interval + 2
        while running(self.proc.pid) and time.time() < deadline:
            time.sleep(0.02)
        if running(self.proc.pid):
            return False
        self.proc.wait()
        return True

    def stop(self, sig):
        """Stops the recipe, and returns the time of the stop."""
        stopped = time.time()
        os.killpg(self.proc.pid, sig)
        self.stopped = self.ended()
        return stopped

    def kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def check_watch(what, watch, answered, stopped, turn):
    """The lines of a stopped watch against the readings that the device
    answered: the same, in order, from the first up to at least the last
    answered an interval before the stop."""
    want = hwstep_lines(turn([w for _, words in answered for w in words]))
    due = sum(t < stopped - watch.interval for t, _ in answered)
    out = watch.lines()
    check(watch.stopped and len(out) >= due and out == want[:len(out)],
          f"{what}: stopped {watch.stopped}, printed {out}, "
          f"answered {want} ({due} due)")


def check_watches(dev, watches, places, down, settings):
    for n, recipe in enumerate(watches):
        turn = swap if n else list
        for name, place in places.items():
            # The first by TCP under every shell and awk, the others at
            # the pace of the README.
            runs = ([(settings[0], recipe)] +
                    [(setting, quick(recipe)) for setting in settings[1:]
                     if (n, name) == (0, "tcp")])
            for setting, watched in runs:
                what = f"watch {n + 1} by {name} under {setting.name}, SIGINT"
                dev.write(CHANGES[0])
                start = len(dev.answered())
                watch = Started(watched, place, setting)
                try:
                    for words in CHANGES:
                        dev.write(words)
                        time.sleep(watch.interval * 1.5)
                    stopped = watch.stop(signal.SIGINT)
                finally:
                    watch.kill()
                answered = dev.answered()[start:]
                check_watch(what, watch, answered, stopped, turn)
                seen = [CHANGES.index(words) if words in CHANGES else -1
                        for _, words in answered]
                check(-1 not in seen and seen == sorted(seen) and
                      len(set(seen)) >= 3, f"{what}: answered {answered}")
                check(watch.errors() == [], f"{what}: {watch.errors()}")

            # The device goes away and comes back: by TCP it is restarted,
            # by RTU it is silent for a while, as if its cable were pulled.
            what = f"watch {n + 1} by {name}, device gone, SIGTERM"
            dev.write(CHANGES[0])
            start = len(dev.answered())
            watch = Started(recipe, place, settings[0])
            back = hwstep_lines(turn(CHANGES[1]))[0]
            try:
                watch.wait_for(hwstep_lines(turn(CHANGES[0]))[0])
                with (dev.stopped() if name == "tcp" else
                      dev.toggled(signal.SIGUSR1)):
                    time.sleep(max(watch.interval * 3, 1.5))
                dev.write(CHANGES[1])
                watch.wait_for(back)
                stopped = watch.stop(signal.SIGTERM)
            finally:
                watch.kill()
            check_watch(what, watch, dev.answered()[start:], stopped, turn)
            check(back in watch.lines(), f"{what}: no line once back")
            errors = watch.errors()
            check(errors and set(errors) == {down[name]},
                  f"{what}: {errors}")


def check_failing(watches, place, settings):
    """A watch whose hwstep fails stops, with a status that is neither
    success nor a failed reading's, and hwstep's message if any: both
    watches under Debian's shell and awk, the first under the others.  So
    does one under timeout, which busybox's sends to its child alone."""
    runs = ([(settings[0], n) for n in range(len(watches))] +
            [(setting, 0) for setting in settings[1:]])
    for setting, n in runs:
        for output, sigpipe, lines, err in (
                ("closed", signal.SIG_DFL, 0, CLOSED),
                ("full", signal.SIG_DFL, 0,
                 "hwstep: write error: No space left on device\n"),
                ("pipe", signal.SIG_DFL, 3, ""),
                ("pipe", signal.SIG_IGN, 3,
                 "hwstep: write error: Broken pipe\n")):
            what = (f"watch {n + 1} under {setting.name}, output {output}"
                    f"{', SIGPIPE ignored' * (sigpipe == signal.SIG_IGN)}")
            watch = Started(quick(watches[n]), place, setting, output,
                            sigpipe=sigpipe)
            try:
                read = len(watch.read_lines(lines)) if lines else 0
                ended = watch.ended()
            finally:
                watch.kill()
            status = watch.proc.returncode
            check(ended and read == lines and status not in (0, FAILED) and
                  "".join(watch.errors()) == err,
                  f"{what}: ended {ended}, status {status}, {read} lines "
                  f"read, {watch.errors()}")

    for setting in settings:
        what = f"watch 1 under {setting.name}, timeout"
        watch = Started("timeout 1 " + quick(watches[0]), place, setting)
        try:
            ended = watch.ended()
        finally:
            watch.kill()
        # GNU's timeout exits 124; busybox's runs the command in its own
        # process, which SIGTERM ends.
        status = watch.proc.returncode
        check(ended and status in (124, 143, -signal.SIGTERM) and
              watch.lines() and watch.errors() == [],
              f"{what}: ended {ended}, status {status}, "
              f"printed {watch.lines()}, {watch.errors()}")


def check_interrupted(dev, readings, watches, place, settings, work):
    """SIGINT to a recipe's group.  While the reader waits for a silent
    device, which mbpoll answers by ending with status 0 and no words: a
    watch must stop and print nothing, and so must a reading run with
    SIGINT ignored as in the background of a script, where mbpoll alone
    takes the signal, with a failed reading's status, never hwstep's usage
    line.  And from 0 to 12 ms after the device answered, and as hwstep
    ends, where bash, seeing a child that ended normally, would go on but
    for a trap, and always in a subshell of an interactive bash: the watch
    must stop, its lines those of the readings answered, with no message
    from hwstep."""
    with dev.toggled(signal.SIGUSR1):
        for recipe, sigint, want in (
                [(r, signal.SIG_IGN, (FAILED,)) for r in readings] +
                [(w, signal.SIG_DFL, (130, -signal.SIGINT))
                 for w in watches]):
            started = Started(recipe, place, settings[0], sigint=sigint)
            try:
                time.sleep(0.3)
                started.stop(signal.SIGINT)
            finally:
                started.kill()
            status = started.proc.returncode
            check(started.stopped and status in want and
                  started.lines() == [] and started.errors() == [],
                  f"{recipe}, interrupted: status {status}, "
                  f"printed {started.lines()}, {started.errors()}")

    # Just after an answer, and as hwstep ends, when the shell has yet to
    # see it end: an interactive bash, which a watch is mostly typed into,
    # is among the shells for that.
    interactive = Setting("interactive bash", ["bash", "--norc", "-i"],
                          settings[0].env)
    runs = ([(s, ms / 1000) for s in settings for ms in range(13)] +
            [(stopping(work, s), None) for s in settings + [interactive]])
    for setting, delay in runs:
        when = f"{delay}s after an answer" if delay is not None else \
            "as hwstep ends"
        what = f"watch 1 under {setting.name}, SIGINT {when}"
        start = len(dev.answered())
        logged = dev.logged()
        watch = Started(quick(watches[0]), place, setting)
        try:
            deadline = time.time() + 5
            if delay is not None:
                while dev.logged() == logged and time.time() < deadline:
                    time.sleep(0.0005)
                time.sleep(delay)
                stopped = watch.stop(signal.SIGINT)
            else:
                # The shell stopped, and its hwstep ended.
                shell = None
                while shell is None and time.time() < deadline:
                    found = processes(watch.proc.pid)
                    halted = [pid for state, pid, _ in found if state == "T"]
                    if halted and not any(
                            parent == halted[0] and state != "Z"
                            for state, _, parent in found):
                        shell = halted[0]
                    time.sleep(0.001)
                stopped = time.time()
                os.killpg(watch.proc.pid, signal.SIGINT)
                if shell is not None:
                    os.kill(shell, signal.SIGCONT)
                watch.stopped = watch.ended()
        finally:
            watch.kill()
        check_watch(what, watch, dev.answered()[start:], stopped, list)
        check(watch.proc.returncode in (130, -signal.SIGINT) and
              not any(e.startswith(("hwstep:", "usage:"))
                      for e in watch.errors()),
              f"{what}: status {watch.proc.returncode}, {watch.errors()}")


def check_library(dev, program):
    dev.write(WORDS[:2])
    name = os.path.basename(program)
    line = "".join(hwstep_lines(WORDS[:2]))
    no_port = name + ": port '%s': not a number from 1 to 65535\n"
    # One port too high by 65536 would wrap round to the device's own.
    for what, host, port, sig, want in (
            ("by name", "localhost", dev.port, None, (0, line, "")),
            ("by address", "127.0.0.1", dev.port, None, (0, line, "")),
            ("absent", "localhost", free_port(), None,
             (1, "", name + ": Connection refused\n")),
            ("silent", "127.0.0.1", dev.port, signal.SIGUSR1,
             (1, "", name + ": Connection timed out\n")),
            ("port too high", "127.0.0.1", dev.port + 65536, None,
             (1, "", no_port % (dev.port + 65536))),
            ("port not a number", "127.0.0.1", "502x", None,
             (1, "", no_port % "502x")),
            ("port 0", "127.0.0.1", 0, None, (1, "", no_port % 0)),
            ("host not found", "", dev.port, None,
             (1, "", name + ": host '': Name or service not known\n"))):
        with dev.toggled(sig):
            r = run([name, host, str(port)], executable=program)
        check((r.returncode, r.stdout, r.stderr) == want,
              f"library program, {what}: {r}")


def main():
    mode, target, hwstep = sys.argv[1:4]
    missing = [t for t in ("mbpoll", "socat") if shutil.which(t) is None]
    if run([sys.executable, "-c", "import pymodbus.server, serial_asyncio"]
           ).returncode:
        missing.append("python3-pymodbus and python3-serial-asyncio")
    if mode == "library" and not os.path.exists(target):
        missing.append("libmodbus-dev, for " + target)
    if missing:
        print("skipped: not installed:", ", ".join(missing))
        return 77

    work = tempfile.mkdtemp()
    os.mkdir(work + "/bin")
    os.symlink(os.path.abspath(hwstep), work + "/bin/hwstep")
    os.environ["PATH"] = work + "/bin:" + os.environ["PATH"]
    os.environ["LC_ALL"] = "C"
    dev = Device(work)
    try:
        if mode == "library":
            check_library(dev, target)
        else:
            found = settings(work)
            readings, watches, serial = recipes(target)
            places = {"tcp": "127.0.0.1 -p %d" % dev.port,
                      "rtu": serial.replace(DOC_SERIAL, dev.serial)}
            check_readings(dev, readings, places, found)
            # What the reader says at each poll while the device is away.
            down = {"tcp": sh(found[0], reader(at(
                        readings[0], "127.0.0.1 -p %d" % free_port()))).stderr,
                    "rtu": sh(found[0], reader(at(
                        readings[0], places["rtu"], "-a 2"))).stderr}
            check_watches(dev, watches, places, down, found)
            check_failing(watches, places["tcp"], found)
            check_interrupted(dev, readings, watches, places["tcp"], found,
                              work)
    finally:
        dev.close()
        shutil.rmtree(work)
    print(f"{len(failures)} failures" if failures else "all passed")
    return 1 if failures else 0


sys.exit(main())
