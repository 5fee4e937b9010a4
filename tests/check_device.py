#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs the README's recipes for reading a device against a real Modbus
device (tests/modbus_device.py) with the real mbpoll as the reader, by TCP
and by RTU on a pseudo-terminal pair made with socat.

usage: check_device.py recipes README HWSTEP
       check_device.py library PROGRAM HWSTEP

A reading must print exactly the lines that HWSTEP prints for the words
that mbpoll wrote into the registers, and exit 0; a device that is absent,
silent, refuses the read or answers short must leave the reader's own
message alone on standard error, and status 2.  A watch must print, in
order, the line of every reading that the device logs as answered, none
missed if answered a poll interval before the watch was stopped (by SIGINT
or SIGTERM to its process group), none mixed while the registers change
under it; when the device goes away, the reader's message alone, then lines
again once the device is back.  Interrupted while the reader waits, a watch
must stop with nothing printed, and a reading that ignores SIGINT, as in
the background of a script, must end with status 2 and print nothing.

In the second form, PROGRAM is the README's program that reads a device
with libmodbus: it must print what the reading prints, or libmodbus's
message and status 1.

Exits 77 (skipped) when mbpoll, socat, pymodbus or PROGRAM is missing.
"""
import contextlib
import ctypes
import os
import re
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
# Three pairs that the readings find in registers 1 to 6.
WORDS = ["0001", "8000", "8000", "0000", "7fff", "ffff"]
# Counts across a wrap of the low word, written one by one under a watch.
CHANGES = [["%04x" % (c >> 16), "%04x" % (c & 0xFFFF)]
           for c in range(0xFFFE, 0x10002)]
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


def sh(command):
    return run(["sh", "-c", command])


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


def recipes(readme):
    """The readings, the watches (each high word first, then low word
    first) and the device that the serial reading names."""
    with open(readme, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f]
    readings = [line for line in lines
                if line.startswith("mbpoll -1 ") and DOC_HOST in line]
    watches = [line for line in lines if line.startswith("(while :; do ")]
    serial = [line for line in lines
              if line.startswith("mbpoll -1 ") and DOC_SERIAL in line]
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
    return recipe.split(" | ")[0]


def check_readings(dev, readings, places):
    dev.write(WORDS)
    absent = {"tcp": "127.0.0.1 -p %d" % free_port(),
              "rtu": places["rtu"].replace(dev.serial, dev.work + "/none")}
    for n, recipe in enumerate(readings):
        turn = swap if n else list
        for name, place in places.items():
            for extra, words in (("", WORDS[:2]), ("-c 6", WORDS)):
                r = sh(at(recipe, place, extra))
                check((r.returncode, r.stdout, r.stderr) ==
                      (0, "".join(hwstep_lines(turn(words))), ""),
                      f"reading {n + 1} by {name} {extra}: {r}")
            # A unit that is not there does not answer; register 16 is
            # one too many.
            for what, where, extra, sig in (
                    ("absent", absent[name], "", None),
                    ("silent", place, "-a 2 -o 0.2", None),
                    ("refusing", place, "-r 16", None),
                    ("short", place, "", signal.SIGUSR2)):
                with dev.toggled(sig):
                    alone = sh(reader(at(recipe, where, extra)))
                    r = sh(at(recipe, where, extra))
                check(alone.returncode != 0 and alone.stderr and
                      (r.returncode, r.stdout, r.stderr) ==
                      (2, "", alone.stderr),
                      f"reading {n + 1} by {name}, {what}: {r}, "
                      f"alone: {alone}")


class Started:
    """A recipe started in a process group of its own, for a watch, or for
    a reading to be interrupted."""

    def __init__(self, recipe, place, shell="sh", sigint=signal.SIG_DFL):
        interval = re.search(r"sleep ([0-9.]+)", recipe)
        self.interval = float(interval[1]) if interval else 0
        self.out = tempfile.TemporaryFile("w+")
        self.err = tempfile.TemporaryFile("w+")

        def child():
            dies_with_parent()
            signal.signal(signal.SIGINT, sigint)
        self.proc = subprocess.Popen(
            [shell, "-c", at(recipe, place)], stdout=self.out,
            stderr=self.err, start_new_session=True, preexec_fn=child)

    def lines(self):
        self.out.seek(0)
        return self.out.readlines()

    def wait_for(self, line, seconds=5):
        deadline = time.time() + seconds
        while line not in self.lines() and time.time() < deadline:
            time.sleep(0.05)

    def stop(self, sig):
        """Stops the watch, and returns the time of the stop."""
        stopped = time.time()
        os.killpg(self.proc.pid, sig)
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            pass
        self.err.seek(0)
        self.errors = self.err.readlines()
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
    check(len(out) >= due and out == want[:len(out)],
          f"{what}: printed {out}, answered {want} ({due} due)")


def check_watches(dev, watches, places, down):
    for n, recipe in enumerate(watches):
        turn = swap if n else list
        for name, place in places.items():
            # In bash too, which a watch is mostly typed into.
            shells = ("sh", "bash") if (n, name) == (0, "tcp") else ("sh",)
            for shell in shells:
                what = f"watch {n + 1} by {name} in {shell}, SIGINT"
                dev.write(CHANGES[0])
                start = len(dev.answered())
                watch = Started(recipe, place, shell)
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
                check(watch.errors == [], f"{what}: {watch.errors}")

            # The device goes away and comes back: by TCP it is restarted,
            # by RTU it is silent for a while, as if its cable were pulled.
            what = f"watch {n + 1} by {name}, device gone, SIGTERM"
            dev.write(CHANGES[0])
            start = len(dev.answered())
            watch = Started(recipe, place)
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
            check(watch.errors and set(watch.errors) == {down[name]},
                  f"{what}: {watch.errors}")


def check_interrupted(dev, readings, watches, place):
    """SIGINT while the reader waits for a silent device, which mbpoll
    answers by ending with status 0 and no words.  A watch must stop and
    print nothing.  So must a reading, run with SIGINT ignored as in the
    background of a script, where mbpoll alone takes the signal: status 2,
    and never hwstep's usage line."""
    with dev.toggled(signal.SIGUSR1):
        for recipe, sigint, want in (
                [(r, signal.SIG_IGN, (2,)) for r in readings] +
                [(w, signal.SIG_DFL, (-signal.SIGINT, 1)) for w in watches]):
            started = Started(recipe, place, sigint=sigint)
            try:
                time.sleep(0.3)
                started.stop(signal.SIGINT)
            finally:
                started.kill()
            status = started.proc.returncode
            check(status in want and started.lines() == [] and
                  started.errors == [],
                  f"{recipe}, interrupted: status {status}, "
                  f"printed {started.lines()}, {started.errors}")


def check_library(dev, program):
    dev.write(WORDS[:2])
    name = os.path.basename(program)
    for what, port, sig, want in (
            ("reading", dev.port, None,
             (0, "".join(hwstep_lines(WORDS[:2])), "")),
            ("absent", free_port(), None,
             (1, "", name + ": Connection refused\n")),
            ("silent", dev.port, signal.SIGUSR1,
             (1, "", name + ": Connection timed out\n"))):
        with dev.toggled(sig):
            r = run([name, "127.0.0.1", str(port)], executable=program)
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
            readings, watches, serial = recipes(target)
            places = {"tcp": "127.0.0.1 -p %d" % dev.port,
                      "rtu": serial.replace(DOC_SERIAL, dev.serial)}
            check_readings(dev, readings, places)
            # What the reader says at each poll while the device is away.
            down = {"tcp": sh(reader(at(readings[0], "127.0.0.1 -p %d" %
                                        free_port()))).stderr,
                    "rtu": sh(reader(at(readings[0], places["rtu"],
                                        "-a 2"))).stderr}
            check_watches(dev, watches, places, down)
            check_interrupted(dev, readings, watches, places["tcp"])
    finally:
        dev.close()
        shutil.rmtree(work)
    print(f"{len(failures)} failures" if failures else "all passed")
    return 1 if failures else 0


sys.exit(main())
