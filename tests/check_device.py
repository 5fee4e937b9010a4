#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs hwstep-modbus against a real Modbus device (tests/modbus_device.py),
by TCP on the loopback and by RTU on a pseudo-terminal pair made with socat,
one row of the table a run, and checks its status, standard output and
standard error whole: each line must be the one that HWSTEP prints for the
words in the registers.  musl words three reasons its own way, which
count as glibc's.

usage: check_device.py HWSTEP_MODBUS HWSTEP

Exits 77 (skipped) when socat or pymodbus is missing.
"""
import collections
import contextlib
import ctypes
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NAME = "hwstep-modbus"
USAGE = ("usage: hwstep-modbus [-0RsT] [-a unit] [-r reference] [-t 3|4] "
         "[-c pairs] [-n readings] [-o seconds] [-l milliseconds] [-p port] "
         "[-b baud] [-P parity] [-S bits] host | device\n")
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z "
# Registers 1 to 6 of the device for the readings, drawn anew each run.
WORDS = [random.randrange(0x10000) for _ in range(6)]
# Reasons as musl words them, and as glibc does.
MUSL = {"Operation timed out": "Connection timed out",
        "Name does not resolve": "Name or service not known",
        "Not a tty": "Inappropriate ioctl for device"}
libc = ctypes.CDLL(None)
failures = []
QUEUED = []


def dies_with_parent():
    """Run in a child: the kernel kills it if this script dies first."""
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def free_port():
    """A port on the loopback that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def hwstep(words):
    """The lines that hwstep prints for the words, pairs in order."""
    r = subprocess.run(
        [HWSTEP] + ["%x" % w for w in words], capture_output=True, text=True,
        check=True)
    return r.stdout


def swap(words):
    return [w for i in range(0, len(words), 2) for w in words[i:i + 2][::-1]]


class Device:
    """The device, and the pseudo-terminal pair whose one end it serves RTU
    on, the other end being the reader's."""

    def __init__(self, work):
        self.serial = os.path.join(work, "ttyS-reader")
        end = os.path.join(work, "ttyS-device")
        self.socat = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.serial,
             "pty,raw,echo=0,link=" + end],
            stderr=subprocess.DEVNULL, preexec_fn=dies_with_parent)
        deadline = time.time() + 5
        while not os.path.exists(end) and time.time() < deadline:
            time.sleep(0.02)
        self.args = ["--rtu", end] + ["%x" % w for w in WORDS]
        self.port = 0
        self.start()

    def start(self):
        """Starts the device, on the port it had before if it had one."""
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "modbus_device.py"),
             "--port", str(self.port)] + self.args,
            stdout=subprocess.PIPE, text=True, preexec_fn=dies_with_parent)
        self.port = int(self.proc.stdout.readline())

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)

    def send(self, sig):
        """Sends the device a signal, and waits until it has taken it."""
        os.kill(self.proc.pid, sig)
        self.proc.stdout.readline()

    @contextlib.contextmanager
    def toggled(self, sig):
        """The device silent (SIGUSR1), short (SIGUSR2) or late (SIGHUP)
        for a while, or as it is (None)."""
        if sig:
            self.send(sig)
        yield
        if sig == signal.SIGHUP:
            return  # a late answer turns lateness off itself
        if sig:
            self.send(sig)

    def close(self):
        for p in (self.proc, self.socat):
            if p.poll() is None:
                p.terminate()
                p.wait(5)


def dropping_proxy(port):
    """A listener in front of the device that closes each connection once
    an answer has passed through it, as a device that drops idle
    connections does; returns its port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)

    def serve():
        while True:
            client, _ = listener.accept()
            with client, socket.create_connection(("127.0.0.1", port)) as dev:
                request = client.recv(260)
                if request:
                    dev.sendall(request)
                    client.sendall(dev.recv(260))
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


Row = collections.namedtuple("Row", "what args want state during",
                             defaults=(None, None))


def start(args, stdout=subprocess.PIPE):
    return subprocess.Popen([NAME] + args, executable=PROGRAM, stdout=stdout,
                            stderr=subprocess.PIPE, text=True,
                            preexec_fn=dies_with_parent)


def lines_then(proc, count, seconds=10):
    """Reads count lines of a running program's output."""
    deadline = time.time() + seconds
    got = ""
    while got.count("\n") < count and time.time() < deadline:
        got += proc.stdout.readline()
    return got


def check(row):
    """Runs the row: its program with its arguments, the device's state
    toggled around it and what it does during the run, and compares the
    status, output and errors with what it wants, each a text or a
    pattern to match whole."""
    with DEV.toggled(row.state):
        proc = start(row.args, row.want[1] if isinstance(row.want[1], int)
                     else subprocess.PIPE)
        head = row.during(proc) if row.during else ""
        out, err = proc.communicate(timeout=60)
    for musl, glibc in MUSL.items():
        err = err.replace(musl, glibc)
    got = (proc.returncode, head + (out or ""), err)
    want = row.want[:1] + tuple("" if isinstance(w, int) else w
                                for w in row.want[1:])
    ok = all(w.fullmatch(g) if isinstance(w, re.Pattern) else w == g
             for w, g in zip(want, got))
    if not ok:
        failures.append(row.what)
        print(f"FAIL: {row.what}: {row.args}\n  got  {got}\n  want {want}",
              flush=True)


def message(text, place=None):
    return f"{NAME}: {place or '127.0.0.1'}: {text}\n"


def interrupt(after):
    """During a watch: SIGINT once it has printed after lines."""
    def act(proc):
        head = lines_then(proc, after)
        proc.send_signal(signal.SIGINT)
        return head
    return act


def restart(proc):
    """During a watch: the device stopped after two readings, and back
    a second and a half later; then SIGINT after two more."""
    head = lines_then(proc, 2)
    DEV.stop()
    time.sleep(1.5)
    DEV.start()
    return head + interrupt(2)(proc)


def second_reader(args, want):
    """During a watch on the serial line: another reader of the line."""
    def act(proc):
        head = lines_then(proc, 1)
        check(Row("a second reader of the line", args, want))
        return head + interrupt(1)(proc)
    return act


def then(row):
    """After the run: the row run at once."""
    def act(proc):
        out = proc.stdout.read()
        proc.wait()
        check(row)
        return out
    return act


def killed_then(row):
    """During the run: SIGKILL before it has its answer, which then waits
    on the line until the row runs after it."""
    def act(proc):
        time.sleep(0.3)
        proc.kill()
        time.sleep(1.5)
        check(row)
        return ""
    return act


def named_in_hosts():
    """A name other than localhost that /etc/hosts gives 127.0.0.1."""
    with open("/etc/hosts", encoding="utf-8") as f:
        for fields in map(str.split, f):
            names = [n for n in fields[1:] if n != "localhost"]
            if fields[:1] == ["127.0.0.1"] and names:
                return names[0]
    print("not run: a name in /etc/hosts, which has none for 127.0.0.1")
    return None


def rows(tty):
    tcp = ["-p", str(DEV.port), "127.0.0.1"]
    name = named_in_hosts()
    rtu = ["-P", "none", tty]
    one, three = hwstep(WORDS[:2]), hwstep(WORDS)
    request = "unit %s, holding registers %s: "
    absent = free_port()
    # A host that does not answer: a listener whose queue is full lets the
    # next connection wait, as a host that drops what it is sent would.
    full = socket.socket()
    full.bind(("127.0.0.1", 0))
    full.listen(0)
    QUEUED.append(full)
    QUEUED.append(socket.create_connection(full.getsockname()))
    ones = lambda line, n: re.compile(f"(?:{re.escape(line)}){{{n},}}")
    return [
        # the words of the registers, by TCP and on the serial line
        Row("a reading", tcp, (0, one, "")),
        Row("three pairs", ["-c", "3"] + tcp, (0, three, "")),
        Row("word swap", ["-s", "-c", "3"] + tcp, (0, hwstep(swap(WORDS)),
                                                   "")),
        Row("from register 3", ["-r", "3"] + tcp, (0, hwstep(WORDS[2:4]), "")),
        Row("counted from 0", ["-0", "-r", "4", "-c", "1"] + tcp,
            (0, hwstep(WORDS[4:6]), "")),
        Row("input registers", ["-t", "3", "-r", "2", "-c", "2"] + tcp,
            (0, hwstep([0x1111, 0x2222, 0x3333, 0x4444]), "")),
        Row("a gateway's unit", ["-a", "247"] + tcp, (0, one, "")),
        Row("by name", ["-p", str(DEV.port), "localhost"], (0, one, "")),
    ] + ([Row("a name in /etc/hosts", ["-p", str(DEV.port), name],
              (0, one, ""))] if name else []) + [
        Row("three readings", ["-n", "3"] + tcp, (0, one * 3, "")),
        Row("a watch, timed", ["-T", "-l", "20", "-n", "3", "-c", "3"] + tcp,
            (0, re.compile("(?:(?P<t>%s)%s){3}" % (STAMP, "(?P=t)".join(
                map(re.escape, three.splitlines(keepends=True))))), "")),
        Row("serial line", rtu, (0, one, "")),
        Row("serial line, swapped, 8N2 at 9600",
            ["-s", "-c", "3", "-b", "9600", "-S", "2"] + rtu,
            (0, hwstep(swap(WORDS)), "")),

        # a device absent, silent, refusing or answering short
        Row("absent", ["-p", str(absent), "127.0.0.1"],
            (2, "", message("Connection refused"))),
        Row("not found", ["nowhere.invalid"],
            (2, "", message("Name or service not known", "nowhere.invalid"))),
        Row("connect unanswered", ["-o", "0.2", "-p",
                                   str(full.getsockname()[1]), "127.0.0.1"],
            (2, "", message("Connection timed out"))),
        Row("silent", ["-a", "2", "-o", "0.2"] + tcp,
            (2, "", message(request % (2, "1 to 2") +
                            "no answer within 0.2 s"))),
        Row("silent, serial line", ["-o", "0.2"] + rtu,
            (2, "", message(request % (1, "1 to 2") +
                            "no answer within 0.2 s", tty)),
            signal.SIGUSR1),
        Row("refusing", ["-r", "16"] + tcp,
            (3, "", message(request % (1, "16 to 17") +
                            "Illegal data address"))),
        Row("refusing twice, said once", ["-n", "2", "-r", "16"] + tcp,
            (3, "", message(request % (1, "16 to 17") +
                            "Illegal data address"))),
        Row("short", tcp, (2, "", message(request % (1, "1 to 2") +
                                          "Invalid data")), signal.SIGUSR2),
        # The kernel refuses the ioctl, and refuses it as not implemented to
        # a 32-bit program on a 64-bit kernel, as qemu-user does one that
        # it does not pass on.
        Row("RS-485 on a pseudo-terminal", ["-R"] + rtu,
            (2, "", re.compile(re.escape(message("RS-485 mode: ", tty)[:-1]) +
                               "(Inappropriate ioctl for device|"
                               "Function not implemented)\n"))),
        Row("no such line", ["/dev/null/x"],
            (2, "", message("Not a directory", "/dev/null/x"))),

        # a late answer is never taken for a later request's
        Row("late, then its own", ["-n", "2", "-o", "1"] + rtu,
            (2, one, message(request % (1, "1 to 2") +
                             "no answer within 1 s", tty) +
             message("answering again after 1 failed readings", tty)),
            signal.SIGHUP),
        Row("late, then the next reader", ["-o", "1"] + rtu,
            (2, "", message(request % (1, "1 to 2") +
                            "no answer within 1 s", tty)), signal.SIGHUP,
            then(Row("the reader after a late answer", rtu, (0, one, "")))),
        Row("late, the reader killed, then the next",
            ["-o", "1"] + rtu, (-signal.SIGKILL, "", ""), signal.SIGHUP,
            killed_then(Row("the reader after a killed one", rtu,
                            (0, one, "")))),
        Row("late by TCP, then its own", ["-n", "2", "-o", "1"] + tcp,
            (2, one, message(request % (1, "1 to 2") +
                             "no answer within 1 s") +
             message("answering again after 1 failed readings")),
            signal.SIGHUP),

        # watches
        Row("idle connections dropped", ["-l", "50", "-n", "3", "-p",
                                         str(PROXY), "127.0.0.1"],
            (0, one * 3, "")),
        Row("device restarted", ["-l", "50"] + tcp,
            (-signal.SIGINT, ones(one, 4),
             re.compile(re.escape(message("Connection refused")) +
                        re.escape(message("answering again after ")[:-1]) +
                        r"\d+ failed readings\n")), None, restart),
        Row("two readers of a line", ["-l", "50"] + rtu,
            (-signal.SIGINT, ones(one, 2), ""), None,
            second_reader(rtu, (2, "", message("in use", tty)))),
        Row("output full", tcp, (1, os.open("/dev/full", os.O_WRONLY),
                                 f"{NAME}: write error: No space left on "
                                 "device\n")),

        # options that do not fit, and values out of range
        Row("no operand", [], (1, "", USAGE)),
        Row("two operands", ["a", "b"], (1, "", USAGE)),
        Row("unknown option", ["-x", "h"], (1, "", USAGE)),
        Row("option after the operand", ["h", "-c", "2"], (1, "", USAGE)),
        Row("-p on a serial line", ["-p", "502", tty], (1, "", USAGE)),
        Row("-b with a host", ["-b", "9600", "h"], (1, "", USAGE)),
        Row("-R with a host", ["-R", "h"], (1, "", USAGE)),
    ] + [Row(f"-{o} {v}", [f"-{o}", v, place],
             (1, "", f"{NAME}: -{o} {quoted}: {what}\n"))
         for o, v, place, quoted, what in (
        ("a", "0", "/dev/x", "0", "not a unit from 1 to 247 on a serial line"),
        ("a", "248", "h", "248", "not a unit from 0 to 247, or 255"),
        ("a", "256", "h", "256", "not a unit from 0 to 247, or 255"),
        ("t", "0", "h", "0", "not a table: 3 (input registers) or 4 (holding "
         "registers)"),
        ("c", "63", "h", "63", "not a number of pairs from 1 to 62"),
        ("c", "-1", "h", "-1", "not a number of pairs from 1 to 62"),
        ("r", "65536", "h", "65536",
         "not a reference from 1 to 65535, the first of 2 registers"),
        ("n", "0", "h", "0", "not a number of readings, 1 or more"),
        ("n", "99999999999999999999", "h", "99999999999999999999",
         "not a number of readings, 1 or more"),
        ("o", "0.0009", "h", "0.0009",
         "not a number of seconds from 0.001 to 60"),
        ("o", "1e1", "h", "1e1", "not a number of seconds from 0.001 to 60"),
        ("o", "60.0000001", "h", "60.0000001",
         "not a number of seconds from 0.001 to 60"),
        ("l", "0", "h", "0",
         "not a number of milliseconds from 1 to 2147483647"),
        ("p", "65536", "h", "65536", "not a port from 1 to 65535"),
        ("p", " 1", "h", " 1", "not a port from 1 to 65535"),
        ("b", "19201", "/dev/x", "19201", "not a rate that libmodbus sets a "
         "line to: 110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, "
         "57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000, "
         "1152000, 1500000, 2500000, 3000000, 3500000 or 4000000"),
        ("P", "e", "/dev/x", "e", "not a parity: none, even or odd"),
        ("S", "3", "/dev/x", "3", "not a number of stop bits: 1 or 2"),
        ("c", "\n" + "9" * 90, "h", "\\n" + "9" * 79 + "...",
         "not a number of pairs from 1 to 62"))] + [
        Row("-r 0 with -0", ["-0", "-r", "0", "-c", "2", "/dev/x"],
            (2, "", message("No such file or directory", "/dev/x")))]


def main():
    global DEV, HWSTEP, PROGRAM, PROXY
    PROGRAM, HWSTEP = sys.argv[1:3]
    missing = [t for t in ("socat",) if shutil.which(t) is None]
    if subprocess.run([sys.executable, "-c",
                       "import pymodbus.server, serial_asyncio"]).returncode:
        missing.append("python3-pymodbus and python3-serial-asyncio")
    if missing:
        print("skipped: not installed:", ", ".join(missing))
        return 77

    work = tempfile.mkdtemp()
    os.environ["LC_ALL"] = "C"
    DEV = Device(work)
    try:
        PROXY = dropping_proxy(DEV.port)
        table = rows(DEV.serial)
        for row in table:
            check(row)
    finally:
        DEV.close()
        shutil.rmtree(work)
    print(f"{len(table) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


sys.exit(main())
