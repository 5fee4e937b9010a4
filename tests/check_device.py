#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs the README's recipes for reading a device against a real Modbus
device (tests/modbus_device.py) with the real mbpoll as the reader, by TCP
and by RTU on a pseudo-terminal pair made with socat, under the shells and
awks that users have (SETTINGS).

usage: check_device.py recipes README HWSTEP
       check_device.py library PROGRAM HWSTEP

A reading must print exactly the lines that HWSTEP prints for the words
that mbpoll wrote into the registers, and exit 0, with mbpoll's -v too; a
device that is absent, silent, refuses the read or answers short must leave
the reader's own message alone on standard error, and the status that the
README gives a failed reading; registers read in decimal, a message and
another status; an output that is closed, hwstep's message and status 1.
On the serial line, an answer that comes after the reader has given up
must cost that reading alone.  A watch must print, in order, the line of
every reading that the device logs as answered, none missed if answered a
poll interval before the watch was stopped (by SIGINT or SIGTERM to its
process group), none mixed while the registers change under it; when the
device goes away, the reader's message alone, then lines again once the
device is back.  Every process of a watch must end within a few polls of
what ends it, SIGINT ending it as it ends a program, so that a script
around it stops too (check_stops).  A reading that ignores SIGINT, as in
the background of a script, must end with the status of a failed reading
and print nothing when SIGINT ends the reader.

In the second form, PROGRAM is the example program (examples/position.cpp)
that reads a device with libmodbus, by host name or address, or on the serial line: it must
print what the reading prints, refuse a port that is not a number from 1
to 65535 and a host that is not found before it connects, or give
libmodbus's message and status 1, saying that a connection timed out
where it did; after a late answer, it must read its own.  Where localhost
is not found, the rows that name it are not run, and it says so.

Exits 77 (skipped) when mbpoll, socat, pymodbus or PROGRAM is missing.
"""
import collections
import contextlib
import ctypes
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
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
# own sleep, timeout, stty and dd.
SETTINGS = (("dash, mawk", "dash", "mawk"), ("bash, gawk", "bash", "gawk"),
            ("dash, original-awk", "dash", "original-awk"),
            ("busybox", "busybox", "busybox"))
Setting = collections.namedtuple("Setting", "name shell env")
# A way that a watch must end, for check_stops: what goes in front of it,
# whether it writes into head -n 3, its SIGPIPE, the act that ends it
# (returning the moment of a stop, if any), the statuses and standard error
# it may end with (None: any but hwstep's lines), the lines it must print,
# and what comes after it in the script that runs it.
Stop = collections.namedtuple(
    "Stop", "how before head sigpipe act statuses err least after",
    defaults=("", False, signal.SIG_DFL, None, (1,), None, 0, ""))
# A case of a reading, for check_readings: what goes in front of it, the
# options added to mbpoll's, whether it reads in hex, the signal that
# toggles the device's state around it, and whether the device is absent;
# then what it must give: the words of the registers whose lines it prints,
# or its status and standard error, None for that of its reader run alone,
# which must fail.
Case = collections.namedtuple(
    "Case", "how extra want before hexadecimal sig absent",
    defaults=("", True, None, False))
READINGS = (
    Case("two registers", "", WORDS[:2]),
    Case("-c 6", "-c 6", WORDS),
    Case("-v", "-v", WORDS[:2]),
    Case("-c 3", "-c 3", (1, "usage: hwstep highword lowword ...\n")),
    Case("in decimal", "", (2, "mbpoll gave [2]: 32768, not hex\n"),
         hexadecimal=False),
    Case("output closed", "", (1, CLOSED), before="exec >&-; "),
    Case("absent", "", (FAILED, None), absent=True),
    # A unit that is not there does not answer; register 16 is one too
    # many.
    Case("silent", "-a 2 -o 0.2", (FAILED, None)),
    Case("refusing", "-r 16", (FAILED, None)),
    Case("refusing, -v", "-r 16 -v", (FAILED, None)),
    Case("short", "", (FAILED, None), sig=signal.SIGUSR2))
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
            links.update(sleep=awk, timeout=awk, stty=awk, dd=awk)
        for tool, program in links.items():
            os.symlink(shutil.which(program), os.path.join(folder, tool))
        found.append(Setting(name, [shell] + ["sh"] * (shell == "busybox"),
                             dict(os.environ,
                                  PATH=folder + ":" + os.environ["PATH"])))
    return found


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

    def send(self, sig):
        """Sends the device a signal, and waits until it has taken it."""
        os.kill(self.proc.pid, sig)
        self.proc.stdout.readline()

    @contextlib.contextmanager
    def toggled(self, sig):
        """The device silent (SIGUSR1) or short (SIGUSR2) for a while, or
        as it is (None)."""
        if sig:
            self.send(sig)
        yield
        if sig:
            self.send(sig)

    def late(self):
        """The next answer comes after the reader has given up."""
        self.send(signal.SIGHUP)

    def relayed(self):
        """Waits, five seconds at the most, until a late answer that the
        device has sent has come through socat to the reader's end of the
        serial line, where it waits for the next reader."""
        fd = os.open(self.serial, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            deadline = time.time() + 5
            while (not struct.unpack("i", fcntl.ioctl(
                    fd, termios.FIONREAD, b"\0" * 4))[0] and
                   time.time() < deadline):
                time.sleep(0.001)
        finally:
            os.close(fd)

    def close(self):
        for p in (self.proc, self.socat):
            if p.poll() is None:
                p.terminate()
                p.wait(5)

    def write(self, words):
        """Writes the registers, in time while a late answer holds the
        device up."""
        r = run(["mbpoll", "-1", "-q", "-o", "3", "-t", "4:hex", "-r", "1",
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

    def wait_for_answer(self, logged):
        """Waits, five seconds at the most, for an answer after the log had
        the size given."""
        deadline = time.time() + 5
        while self.logged() == logged and time.time() < deadline:
            time.sleep(0.0005)


def recipes(readme):
    """The readings and the watches, each high word first, then low word
    first, by TCP, and the reading and the watch on a serial line."""
    with open(readme, encoding="utf-8") as f:
        found = [line.rstrip("\n") for line in f
                 if "mbpoll -1 " in line and "hwstep" in line]
    tcp = [line for line in found if DOC_HOST in line]
    serial = [line for line in found if DOC_SERIAL in line]
    readings = [[line for line in lines if "while :; do " not in line]
                for lines in (tcp, serial)]
    watches = [[line for line in lines if "while :; do " in line]
               for lines in (tcp, serial)]
    assert [len(r) for r in readings + watches] == [2, 1, 2, 1], \
        "README: want 2 readings and 2 watches by TCP, 1 and 1 on a serial line"
    return readings, watches


def at(recipe, place, extra="", hexadecimal=True):
    """The recipe with the device named, extra options for mbpoll after
    it, and its registers read in decimal if not hexadecimal."""
    if extra:
        recipe = recipe.replace(" | awk", f" {extra} | awk", 1)
    if not hexadecimal:
        recipe = recipe.replace("-t 4:hex", "-t 4")
    return recipe.replace(DOC_HOST, place).replace(DOC_SERIAL, place)


def reader(recipe):
    """What the reading runs before its awk: mbpoll, and on a serial line
    what drains the line first."""
    found = re.search(r"^(.*)\bw=\$\((.*?) \| awk", recipe)
    return found[1] + found[2]


def quick(recipe):
    """The watch at a tenth of a second between polls, for the cases that
    do not depend on the interval, to keep the suite short."""
    return re.sub(r"sleep [0-9.]+", "sleep 0.1", recipe)


def check_readings(dev, readings, places, absent, settings):
    """Each reading, high word first and low word first by TCP, and on a
    serial line, under every setting, in every case of READINGS."""
    dev.write(WORDS)
    for recipe, kind, turn in ((readings[0][0], "tcp", list),
                               (readings[0][1], "tcp", swap),
                               (readings[1][0], "rtu", list)):
        for setting, case in ((s, c) for s in settings for c in READINGS):
            what = f"reading by {kind}{', low word first' * (turn is swap)}" \
                   f" under {setting.name}, {case.how}"
            command = at(recipe, absent[kind] if case.absent else
                         places[kind], case.extra, case.hexadecimal)
            with dev.toggled(case.sig):
                alone = case.want[-1] is None and sh(setting, reader(command))
                r = sh(setting, case.before + command)
            if isinstance(case.want, list):
                want = (0, "".join(hwstep_lines(turn(case.want))), "")
            else:
                check(not alone or alone.returncode and alone.stderr,
                      f"{what}: alone {alone}")
                want = (case.want[0], "", alone.stderr if alone else
                        case.want[1])
            check((r.returncode, r.stdout, r.stderr) == want,
                  f"{what}: {r}")


def check_late(dev, recipe, place, down, settings):
    """On a serial line, an answer that came after the reader gave up waits
    on the line: the reading after it must print its own answer, not that
    one, under every setting."""
    for setting in settings:
        dev.write(WORDS[:2])
        dev.late()
        r = sh(setting, at(recipe, place))
        check((r.returncode, r.stdout, r.stderr) == (FAILED, "", down),
              f"serial reading under {setting.name}, late: {r}")
        dev.write(WORDS[2:4])
        dev.relayed()
        r = sh(setting, at(recipe, place))
        check((r.returncode, r.stdout, r.stderr) ==
              (0, "".join(hwstep_lines(WORDS[2:4])), ""),
              f"serial reading under {setting.name}, after a late answer: "
              f"{r}")


class Started:
    """A recipe started in a process group of its own, for a watch, or for
    a reading to be interrupted.  Its output goes to a file, or through
    head -n 3 into the file."""

    def __init__(self, recipe, place, setting, head=False,
                 sigint=signal.SIG_DFL, sigpipe=signal.SIG_DFL):
        interval = re.search(r"sleep ([0-9.]+)", recipe)
        self.interval = float(interval[1]) if interval else 0
        self.out = tempfile.TemporaryFile("w+")
        self.err = tempfile.TemporaryFile("w+")
        self.begun = time.time()
        stdout = self.out
        if head:
            head = subprocess.Popen(["head", "-n", "3"], stdout=self.out,
                                    stdin=subprocess.PIPE,
                                    preexec_fn=dies_with_parent)
            stdout = head.stdin

        def child():
            dies_with_parent()
            signal.signal(signal.SIGINT, sigint)
            signal.signal(signal.SIGPIPE, sigpipe)
        self.proc = subprocess.Popen(
            setting.shell + ["-c", at(recipe, place)], env=setting.env,
            stdout=stdout, stderr=self.err, text=True,
            start_new_session=True, preexec_fn=child)
        if head:
            head.stdin.close()

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


def check_watch(what, watch, answered, stopped, turn, least=0):
    """The lines of a stopped watch against the readings that the device
    answered: the same, in order, from the first up to at least the last
    answered an interval before the stop, or the least number given."""
    read = [w for _, words in answered for w in words]
    want = hwstep_lines(turn(read)) if read else []
    due = least if stopped is None else \
        sum(t < stopped - watch.interval for t, _ in answered)
    out = watch.lines()
    check(watch.stopped and len(out) >= due and out == want[:len(out)],
          f"{what}: stopped {watch.stopped}, printed {out}, "
          f"answered {want} ({due} due)")


def check_watches(dev, watches, places, down, setting):
    """Under Debian's shell and awk; the others stop as they must in
    check_stops, with the lines of the readings answered.  On a serial
    line, a watch whose first answer comes late must print, after the
    reading that gave up, the answer to each poll's own request."""
    for recipe, name, turn, late in ((watches[0][0], "tcp", list, False),
                                     (watches[0][1], "tcp", swap, False),
                                     (watches[1][0], "rtu", list, False),
                                     (watches[1][0], "rtu", list, True)):
        place = places[name]
        what = f"watch by {name}{', low word first' * (turn is swap)}"
        dev.write(CHANGES[0])
        start, logged = len(dev.answered()), dev.logged()
        if late:
            dev.late()
        watch = Started(recipe, place, setting)
        try:
            if late:
                dev.wait_for_answer(logged)
            for words in CHANGES[late:]:
                dev.write(words)
                time.sleep(watch.interval * 1.5)
            stopped = watch.stop(signal.SIGINT)
        finally:
            watch.kill()
        what += ", first answer late" * late + ", SIGINT"
        answered = dev.answered()[start + late:]
        check_watch(what, watch, answered, stopped, turn)
        seen = [CHANGES.index(words) if words in CHANGES else -1
                for _, words in answered]
        check(-1 not in seen and seen == sorted(seen) and
              len(set(seen)) >= 3, f"{what}: answered {answered}")
        check(watch.errors() == [down[name]] * late,
              f"{what}: {watch.errors()}")
        if late:
            continue

        # The device goes away and comes back: by TCP it is restarted, by
        # RTU it is silent for a while, as if its cable were pulled.
        what = what.replace("SIGINT", "device gone, SIGTERM")
        dev.write(CHANGES[0])
        start = len(dev.answered())
        watch = Started(recipe, place, setting)
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
        check(errors and set(errors) == {down[name]}, f"{what}: {errors}")


def check_interrupted(dev, readings, watches, place, settings):
    """SIGINT while the reader waits for a silent device, which mbpoll
    answers by ending with status 0 and no words.  A watch must stop and
    print nothing.  So must a reading, run with SIGINT ignored as in the
    background of a script, where mbpoll alone takes the signal, with a
    failed reading's status, never hwstep's usage line."""
    with dev.toggled(signal.SIGUSR1):
        for recipe, sigint, want in (
                [(r, signal.SIG_IGN, (FAILED,)) for r in readings] +
                [(w, signal.SIG_DFL, (-signal.SIGINT,)) for w in watches]):
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


def check_stops(dev, watches, place, settings, work):
    """Every process of a watch ends within a few polls, with the status
    and messages that say why, having printed the readings answered: when
    hwstep fails; under timeout, busybox's signalling only what it starts;
    at SIGINT just after an answer, and as hwstep ends, where bash would go
    on but for a trap, and so would a subshell of an interactive bash."""
    # An hwstep that stops its shell once the shell waits for it.
    stops = os.path.join(work, "stops")
    os.mkdir(stops)
    with open(os.path.join(stops, "hwstep"), "w", encoding="ascii") as f:
        f.write("#!/bin/sh\n"
                "while read -r w </proc/$PPID/wchan; "
                "[ \"$w\" != do_wait ]; do :; done\n"
                'kill -STOP $PPID\nexec %s "$@"\n' % shutil.which("hwstep"))
    os.chmod(os.path.join(stops, "hwstep"), 0o755)

    def after_answer(ms):
        def act(watch, logged):
            dev.wait_for_answer(logged)
            time.sleep(ms / 1000)
            stopped = time.time()
            os.killpg(watch.proc.pid, signal.SIGINT)
            return stopped
        return act

    def as_hwstep_ends(watch, _):
        shell, deadline = None, time.time() + 5
        while shell is None and time.time() < deadline:
            found = processes(watch.proc.pid)
            halted = [pid for state, pid, _ in found if state == "T"]
            if halted and not any(parent == halted[0] and state != "Z"
                                  for state, _, parent in found):
                shell = halted[0]
            time.sleep(0.001)
        stopped = time.time()
        os.killpg(watch.proc.pid, signal.SIGINT)
        if shell is not None:
            os.kill(shell, signal.SIGCONT)
        return stopped

    error = "hwstep: write error: %s\n"
    # SIGINT ends a watch as it ends a program, so that the script around
    # it stops too; an interactive shell shows it as 130.
    sigint = (-signal.SIGINT,)
    failing = [
        Stop("output closed", "exec >&-; ", err=CLOSED),
        Stop("output full", "exec >/dev/full; ",
             err=error % "No space left on device"),
        Stop("reader gone", head=True, err="", least=3),
        Stop("reader gone, SIGPIPE ignored", head=True,
             sigpipe=signal.SIG_IGN, err=error % "Broken pipe", least=3)]
    # GNU's timeout exits 124; busybox's runs the command in its own
    # process, which SIGTERM ends.
    others = [Stop("timeout", "timeout 1 ", act=lambda w, _: w.begun + 1,
                   statuses=(124, 143, -signal.SIGTERM), err="")] + [
        Stop(f"SIGINT {ms} ms after an answer", act=after_answer(ms),
             statuses=sigint) for ms in range(13)]
    ends = Stop("SIGINT as hwstep ends", f"export PATH={stops}:$PATH; ",
                act=as_hwstep_ends, statuses=sigint)
    script = Stop("SIGINT in a script that goes on after the watch",
                  act=after_answer(5), statuses=sigint, after="\necho on")
    interactive = Setting("interactive bash", ["bash", "--norc", "-i"],
                          settings[0].env)
    bash = Setting("bash, Debian's sh", ["bash"], settings[0].env)
    runs = ([(s, 0, stop) for s in settings for stop in failing + others +
             [ends, script]] + [(settings[0], 1, stop) for stop in failing] +
            [(bash, 0, script),
             (interactive, 0, ends._replace(statuses=(130,) + sigint))])
    for setting, n, stop in runs:
        what = f"watch {n + 1} under {setting.name}, {stop.how}"
        start, logged = len(dev.answered()), dev.logged()
        watch = Started(stop.before + quick(watches[n]) + stop.after, place,
                        setting, stop.head, sigpipe=stop.sigpipe)
        try:
            stopped = stop.act(watch, logged) if stop.act else None
            watch.stopped = watch.ended()
        finally:
            watch.kill()
        check_watch(what, watch, dev.answered()[start:], stopped,
                    swap if n else list, stop.least)
        status, err = watch.proc.returncode, "".join(watch.errors())
        check(status in stop.statuses and
              (err == stop.err if stop.err is not None else
               not re.search("^(hwstep|usage):", err, re.M)),
              f"{what}: status {status}, {err!r}")


def check_library(dev, program):
    """The program by TCP and on the serial line, each row run with the
    device's state toggled by a signal around it, or after an act."""
    name = os.path.basename(program)
    line, later = ("".join(hwstep_lines(w)) for w in (WORDS[:2], WORDS[2:4]))
    no_port = name + ": port '%s': not a number from 1 to 65535\n"
    timed_out = (1, "", name + ": Connection timed out\n")
    # debootstrap makes no /etc/hosts, and the name is then not found.
    try:
        resolves = bool(socket.getaddrinfo("localhost", None))
    except socket.gaierror as e:
        print("not run by host name: localhost:", e.strerror, flush=True)
        resolves = False
    dev.write(WORDS[:2])
    # A host that does not answer: a listener whose queue is full lets the
    # next connection wait, as a host that drops what it is sent would.
    with socket.socket() as full, socket.socket() as queued:
        full.bind(("127.0.0.1", 0))
        full.listen(0)
        queued.connect(full.getsockname())
        # One port too high by 65536 would wrap round to the device's own.
        for what, args, state, want in (
                ("by name", ["localhost", dev.port], None, (0, line, "")),
                ("by address", ["127.0.0.1", dev.port], None, (0, line, "")),
                ("port with leading zeros", ["127.0.0.1", "0" * 32 +
                                             str(dev.port)], None,
                 (0, line, "")),
                ("on the serial line", [dev.serial], None, (0, line, "")),
                ("absent", ["localhost", free_port()], None,
                 (1, "", name + ": Connection refused\n")),
                ("not answering", ["127.0.0.1", full.getsockname()[1]],
                 None, timed_out),
                ("silent", ["127.0.0.1", dev.port], signal.SIGUSR1,
                 timed_out),
                ("silent, serial line", [dev.serial], signal.SIGUSR1,
                 timed_out),
                ("port too high", ["127.0.0.1", dev.port + 65536], None,
                 (1, "", no_port % (dev.port + 65536))),
                ("port not a number", ["127.0.0.1", "502x"], None,
                 (1, "", no_port % "502x")),
                ("port 0", ["127.0.0.1", 0], None, (1, "", no_port % 0)),
                ("host not found", ["", dev.port], None,
                 (1, "", name + ": host '': Name or service not known\n")),
                ("first answer late", [dev.serial], dev.late, timed_out),
                ("after a late answer", [dev.serial],
                 lambda: dev.write(WORDS[2:4]) or dev.relayed(),
                 (0, later, ""))):
            if "localhost" in args and not resolves:
                continue
            if callable(state):
                state()
                state = None
            with dev.toggled(state):
                r = run([name] + [str(a) for a in args], executable=program)
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
            readings, watches = recipes(target)
            places = {"tcp": "127.0.0.1 -p %d" % dev.port, "rtu": dev.serial}
            absent = {"tcp": "127.0.0.1 -p %d" % free_port(),
                      "rtu": os.path.join(work, "none")}
            check_readings(dev, readings, places, absent, found)
            # What the reader says at each poll while the device is away.
            down = {"tcp": sh(found[0], reader(at(
                        readings[0][0], absent["tcp"]))).stderr,
                    "rtu": sh(found[0], reader(at(
                        readings[1][0], places["rtu"], "-a 2"))).stderr}
            check_late(dev, readings[1][0], places["rtu"], down["rtu"], found)
            check_watches(dev, watches, places, down, found[0])
            check_stops(dev, watches[0], places["tcp"], found, work)
            check_interrupted(dev, readings[0], watches[0], places["tcp"],
                              found)
    finally:
        dev.close()
        shutil.rmtree(work)
    print(f"{len(failures)} failures" if failures else "all passed")
    return 1 if failures else 0


sys.exit(main())
