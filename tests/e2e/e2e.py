#!/usr/bin/env python3
"""End-to-end tests of the Windows library under Wine.

cardtool.exe (the windows-x64 build, next to its QT741DLL.dll) runs under wine64
against cardemu, which plays the device on a pty that a COM symlink in the Wine
prefix points at. Each test checks what cardtool reports and the frames the
emulator logged. The i686 builds run the same way under scripts/wine32 (32-bit
Wine on qemu-i386) given as the loader, each with a prefix of its own made
through that loader.

With --dll, cardtool.exe and presskey.exe are copied into a folder of their own
(WORK/tools) next to that DLL, so that the same tests run against another build
of the library (e.g. the MSVC-ABI one). With --programs, the tests of that
build's own programs (PROGRAM_TESTS: its start-up, a C++ host of the class)
run too.

With --native BUILD, the same tests run without Wine on Linux: the cardtool and
libQT741DLL.so of that build (the linux-native preset), the COMn names the
tests use made links in the test's work folder that cardtool opens by path, and
Escape typed on cardtool's terminal (a pty), on which cardtool calls CardCancel.

    e2e.py [paths] setup        build check, Wine prefix (created once through the loader)
    e2e.py [paths] cleanup      stop the prefix's wineserver
    e2e.py [paths] TEST...      run tests (see TESTS at the end); "all" runs all

Standard library only (python3 >= 3.9).
"""
import argparse
import filecmp
import os
import pty
import re
import shutil
import subprocess
import sys
import threading
import time

# The library's result codes, as in QT741DLL.h.
CARD_OK = 1
CARD_NOT_OPEN = -1
CARD_IO_FAILED = -4
CARD_CANCELLED = -5
CARD_BUSY = -6
OPEN_BUSY = -170  # CreatmComm while another call is under way: minus ERROR_BUSY

# Frames the library sends, as the emulator logs them.
STATUS = "1B 6A"
RESET = "1B 30"
READ1 = "1B 42 5D"
READ2 = "1B 54 5D"
READ12 = "1B 5D"


def hexed(text):
    return " ".join("%02X" % b for b in text.encode("latin-1"))


def write_frame(track1, track2):
    """ESC t, track 1, then GS and track 2 when given, then GS ESC \\."""
    body = track1 or ""
    if track2 is not None:
        body += "\x1d" + track2
    return hexed("\x1b\x74" + body + "\x1d\x1b\x5c")


class Failure(Exception):
    pass


class Context:
    def __init__(self, args):
        self.wine64 = args.wine64
        self.wineserver = args.wineserver
        self.prefix = os.path.abspath(args.prefix)
        self.windows_dir = os.path.abspath(args.windows_dir)
        self.work_root = os.path.abspath(args.work)
        # The DLL under test: the one beside cardtool, or --dll with copies of the tools.
        self.built_tools = os.path.join(self.windows_dir, "cardtool")
        self.dll = os.path.abspath(args.dll) if args.dll else None
        self.tool_dir = os.path.join(self.work_root, "tools") if self.dll else self.built_tools
        self.cardtool = os.path.join(self.tool_dir, "cardtool.exe")
        self.presskey = os.path.join(self.tool_dir, "presskey.exe")
        self.programs = os.path.abspath(args.programs) if args.programs else None
        self.project_version = args.project_version
        self.loader_check = args.loader_check
        self.cardemu = os.path.abspath(args.cardemu)
        # Natively on Linux (--native): that build's cardtool and library, no Wine.
        self.native = os.path.abspath(args.native) if args.native else None
        if self.native:
            self.tool_dir = os.path.join(self.native, "library")
            self.cardtool = os.path.join(self.native, "cardtool", "cardtool")
        self.terminal = None  # natively: the pty master of the cardtool running last
        self.work = None
        self.failures = []
        self.notes = []  # shown when a test fails

    def env(self):
        env = dict(os.environ)
        env["WINEPREFIX"] = self.prefix
        env["WINEDEBUG"] = "-all"
        # No Mono or Gecko installer prompts in a fresh prefix.
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        return env

    def dosdevice(self, name):
        """Where the port NAME ("com5") links to the emulator's pty: in the Wine
        prefix, or natively a link in the test's work folder."""
        if self.native:
            return os.path.join(self.work, name.lower())
        return os.path.join(self.prefix, "dosdevices", name.lower())

    def port(self, name):
        """The name cardtool opens for a COM name of the tests: as it is under
        Wine; natively the path of its link (COM10 and \\\\.\\COM10 alike),
        relative to the work folder cardtool runs in, as a port name holds 63
        characters. The library's own COMn to /dev/ttyS(n-1) mapping is its
        unit tests' matter."""
        com = re.match(r"^(?:\\\\\.\\)?(COM\d+)$", name, re.IGNORECASE)
        if not (self.native and com):
            return name
        return os.path.join(".", os.path.relpath(self.dosdevice(com.group(1)), self.work))

    def command(self, program, *args):
        """The command line that runs a program of the build under test."""
        return ([] if self.native else [self.wine64]) + [program] + list(args)

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition

    def require(self, condition, message):
        if not condition:
            raise Failure(message)


class Process:
    """A child process whose output lines are collected with their arrival times."""

    def __init__(self, ctx, name, argv, env=None, stdin=subprocess.DEVNULL, pass_fds=()):
        self.ctx = ctx
        self.name = name
        self.argv = argv
        self.started = time.monotonic()
        self.stderr_path = os.path.join(ctx.work, name + ".stderr")
        self.stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(argv, cwd=ctx.work, env=env, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=self.stderr, start_new_session=True, pass_fds=pass_fds)
        self.lines = []  # (monotonic time, line)
        self.cond = threading.Condition()
        self.eof = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        ctx.notes.append(self)

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            with self.cond:
                self.lines.append((time.monotonic(), line))
                self.cond.notify_all()
        with self.cond:
            self.eof = True
            self.cond.notify_all()

    def wait_line(self, pattern, timeout, start=0):
        """The first line from index `start` on that matches: (index, time, match)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    m = regex.search(self.lines[i][1])
                    if m:
                        return i, self.lines[i][0], m
                left = deadline - time.monotonic()
                if self.eof or left <= 0:
                    raise Failure("%s: no line matching /%s/ within %.0f s" % (self.name, pattern, timeout))
                self.cond.wait(left)

    def finish(self, timeout):
        """Waits for the exit code. A process still running then is killed and
        reported as a failure (not raised, so that it can run in a finally block
        without hiding the failure that got there)."""
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            self.ctx.failures.append("%s still running after %.0f s (killed)" % (self.name, timeout))
            code = None
        self.reader.join(5)
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def output(self):
        with self.cond:
            return "\n".join(line for _, line in self.lines)

    def dump(self):
        text = "----- %s: %s\n%s\n" % (self.name, " ".join(self.argv), self.output())
        with open(self.stderr_path, errors="replace") as f:
            err = f.read()
        if err.strip():
            text += "----- %s stderr\n%s\n" % (self.name, err)
        return text


CALL_LINE = re.compile(r"^(?P<call>[A-Za-z][A-Za-z0-9]*)(?P<args>\(.*\))? -> (?P<code>-?\d+)(?: \((?P<name>[^)]*)\))? "
                       r"\[(?P<ms>\d+(?:\.\d+)?) ms\](?P<why>.*)$")
DATA_LINE = re.compile(r'^  (?P<key>track(?: [12])?): "(?P<value>.*)"$')
# cardtool --precise: when the call was made and when it returned (QueryPerformanceCounter, s).
CLOCK_LINE = re.compile(r"^  clock: (?P<start>\d+\.\d+) (?P<end>\d+\.\d+)$")


def unquote(text):
    return re.sub(r"\\x([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), text)


class Call:
    def __init__(self, index, seen, m):
        self.index = index
        self.seen = seen  # when the harness read the line
        self.call = m.group("call")
        self.args = m.group("args") or ""
        self.code = int(m.group("code"))
        self.ms = float(m.group("ms"))  # whole milliseconds unless cardtool ran with --precise
        self.data = {}
        self.clock = None  # (made, returned) with --precise

    def __repr__(self):
        return "%s%s -> %d" % (self.call, self.args, self.code)


class Cardtool(Process):
    def __init__(self, ctx, port, *commands, name="cardtool", options=()):
        argv = ctx.command(ctx.cardtool, *options, ctx.port(port), *commands)
        if not ctx.native:
            super().__init__(ctx, name, argv, env=ctx.env())
            return
        # Natively cardtool reads Escape from its terminal: a pty whose master
        # presskey() types on.
        master, terminal = pty.openpty()
        try:
            super().__init__(ctx, name, argv, env=ctx.env(), stdin=terminal)
        finally:
            os.close(terminal)
        self.terminal = ctx.terminal = master

    def kill(self):
        super().kill()
        if getattr(self, "terminal", None) is not None:
            os.close(self.terminal)
            self.terminal = None

    def calls(self):
        out = []
        with self.cond:
            lines = list(self.lines)
        for i, (seen, line) in enumerate(lines):
            m = CALL_LINE.match(line)
            if m:
                out.append(Call(i, seen, m))
                continue
            d = DATA_LINE.match(line)
            if d and out:
                out[-1].data[d.group("key")] = unquote(d.group("value"))
            c = CLOCK_LINE.match(line)
            if c and out:
                out[-1].clock = (float(c.group("start")), float(c.group("end")))
        return out

    def values(self, key):
        """The numbers of the "  KEY: N ..." lines (handles), in order."""
        regex = re.compile(r"^  %s: (\d+)\b" % re.escape(key))
        with self.cond:
            return [int(m.group(1)) for m in (regex.match(line) for _, line in self.lines) if m]

    def wait_call(self, call, timeout, start=0):
        i, seen, m = self.wait_line(r"^%s(\(.*\))? -> " % call, timeout, start)
        return Call(i, seen, CALL_LINE.match(self.lines[i][1]))


LOG_FRAME = re.compile(r"^\s*(?P<t>[\d.]+) (?P<dir>RX|TX) (?P<hex>[0-9A-F]{2}(?: [0-9A-F]{2})*)(?: \((?P<what>.*)\))?$")


class Emulator(Process):
    """cardemu on a fresh pty, linked as COM5 (and any further names) in the prefix."""

    def __init__(self, ctx, *options, card=("HELLO", "12345"), links=("com5",)):
        self.card_path = os.path.join(ctx.work, "card.txt")
        self.log_path = os.path.join(ctx.work, "cardemu.log")
        if card is not None:
            with open(self.card_path, "w") as f:
                f.write("track1: %s\ntrack2: %s\n" % card)
        self.links = [ctx.dosdevice(name) for name in links]
        argv = [ctx.cardemu, "--card", self.card_path, "--link", self.links[0], "--log", self.log_path] + list(options)
        super().__init__(ctx, "cardemu", argv, stdin=subprocess.PIPE)
        _, _, m = self.wait_line(r"^PORT (\S+)$", 10)
        self.pty = m.group(1)
        for link in self.links[1:]:
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(self.pty, link)

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def log(self):
        try:
            with open(self.log_path, encoding="latin-1") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def frames(self, direction="RX"):
        out = []
        for line in self.log():
            m = LOG_FRAME.match(line)
            if m and m.group("dir") == direction:
                out.append(m.group("hex"))
        return out

    def wait_log(self, pattern, timeout, count=1):
        """Waits until `count` log lines match; returns the last of them."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            found = [line for line in self.log() if regex.search(line)]
            if len(found) >= count:
                return found[count - 1]
            if time.monotonic() > deadline:
                raise Failure("emulator log: %d line(s) matching /%s/ within %.0f s, wanted %d" %
                              (len(found), pattern, timeout, count))
            time.sleep(0.02)

    def wait_frame(self, frame, timeout, count=1):
        return self.wait_log(r"^\s*[\d.]+ RX %s( \(|$)" % re.escape(frame), timeout, count)

    def card(self):
        tracks = {}
        with open(self.card_path) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(": ")
                tracks[key] = value
        return tracks.get("track1"), tracks.get("track2")

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
            except OSError:
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.kill()
        for link in self.links[1:]:
            if os.path.islink(link):
                os.unlink(link)

    def dump(self):
        return Process.dump(self) + "----- cardemu log\n%s\n" % "\n".join(self.log())


class Steering:
    """Wraps the steps that drive a running cardtool: when a step fails, cardtool
    is killed at once instead of being left to wait for a swipe or a time-out."""

    def __init__(self, tool, timeout):
        self.tool = tool
        self.timeout = timeout

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is not None:
            self.tool.kill()
        else:
            self.tool.finish(self.timeout)
        return False


# Natively: Escape typed on the running cardtool's terminal after DELAY ms,
# reported as presskey.exe reports its key press.
TYPE_ESCAPE = """import os, sys, time
time.sleep(int(sys.argv[2]) / 1000)
os.write(int(sys.argv[1]), b"\\x1b")
print("pressed", flush=True)
print("released", flush=True)
"""


def presskey(ctx, delay_ms):
    if ctx.native:
        ctx.require(ctx.terminal is not None, "no cardtool terminal to type Escape on")
        return Process(ctx, "presskey", [sys.executable, "-c", TYPE_ESCAPE, str(ctx.terminal), str(delay_ms)],
                       pass_fds=(ctx.terminal,))
    return Process(ctx, "presskey", [ctx.wine64, ctx.presskey, str(delay_ms)], env=ctx.env())


def expect_calls(ctx, tool, expected):
    """Compares the calls cardtool made with [(call, code)]; returns the calls."""
    calls = tool.calls()
    got = [(c.call, c.code) for c in calls]
    ctx.expect(got == list(expected), "calls: got %s, expected %s" % (got, list(expected)))
    return calls


def expect_frames(ctx, emu, expected):
    got = emu.frames("RX")
    expected = list(expected)
    if got == expected:
        return
    first = next((i for i, (g, e) in enumerate(zip(got, expected)) if g != e), min(len(got), len(expected)))
    ctx.failures.append("the emulator received %d frame(s), expected %d; first difference at frame %d:\n"
                        "  got      %s\n  expected %s" % (len(got), len(expected), first, got[first:first + 3],
                                                          expected[first:first + 3]))


# ---------------------------------------------------------------------------
# The tests

TRACK1 = "B4111111111111111^DOE/JOHN^2512101"
TRACK2 = "4111111111111111=2512101"
# The longest track 1 a write takes; one more character is refused before sending.
LONG1 = ("0123456789" * 40)[:394]


def test_write_read(ctx):
    """Writes track 1, track 2 and both, reads each back, in one process."""
    # (command, call, result, frames sent, tracks read)
    steps = [
        (["write", "1", TRACK1], "WrTr1Card", CARD_OK, [write_frame(TRACK1, None), STATUS], None),
        (["read", "1"], "RadTr1Card", CARD_OK, [READ1, STATUS], {"track": TRACK1}),
        (["write", "2", TRACK2], "WrTr2Card", CARD_OK, [write_frame(None, TRACK2), STATUS], None),
        (["read", "2"], "RadTr2Card", CARD_OK, [READ2, STATUS], {"track": TRACK2}),
        (["read", "12"], "RadTr12Card", CARD_OK, [READ12, STATUS], {"track 1": TRACK1, "track 2": TRACK2}),
        (["write", "12", "AB", "67"], "WrTr12Card", CARD_OK, [write_frame("AB", "67"), STATUS], None),
        (["read", "12"], "RadTr12Card", CARD_OK, [READ12, STATUS], {"track 1": "AB", "track 2": "67"}),
        (["write", "2", "123"], "WrTr2Card", CARD_OK, ["1B 74 1D 31 32 33 1D 1B 5C", STATUS], None),
        (["write", "1", LONG1], "WrTr1Card", CARD_OK, [write_frame(LONG1, None), STATUS], None),
        (["read", "1"], "RadTr1Card", CARD_OK, [READ1, STATUS], {"track": LONG1}),
        (["write", "1", LONG1 + "X"], "WrTr1Card", CARD_IO_FAILED, [], None),
        (["status", "read"], "IsReadError", CARD_OK, [STATUS], None),
        (["status", "write"], "IsWriteError", CARD_OK, [STATUS], None),
    ]
    emu = Emulator(ctx, card=None)
    tool = Cardtool(ctx, "COM5", *[word for step in steps for word in step[0]])
    code = tool.finish(60)
    ctx.expect(code == 1, "cardtool exit code %s, expected 1 (one write was refused)" % code)
    calls = expect_calls(ctx, tool, [("CreatmComm", 1)] + [(s[1], s[2]) for s in steps] + [("DestroymComm", 1)])
    for step, call in zip(steps, calls[1:]):
        if step[4] is not None:
            ctx.expect(call.data == step[4], "%s: read %s, expected %s" % (" ".join(step[0])[:40], call.data, step[4]))
    expect_frames(ctx, emu, [frame for step in steps for frame in step[3]])
    ctx.expect(emu.card() == (LONG1, "123"), "card file holds %s" % (emu.card(),))


def test_bad_status(ctx):
    """A status answer of ESC q (not ending in "p") fails every operation."""
    steps = [
        (["status", "read"], "IsReadError", [STATUS]),
        (["status", "write"], "IsWriteError", [STATUS]),
        (["write", "2", "123"], "WrTr2Card", [write_frame(None, "123"), STATUS]),
        (["read", "1"], "RadTr1Card", [READ1, STATUS]),
        (["read", "12"], "RadTr12Card", [READ12, STATUS]),
    ]
    emu = Emulator(ctx, "--fault", "badstatus")
    tool = Cardtool(ctx, "COM5", *[word for step in steps for word in step[0]])
    ctx.expect(tool.finish(60) == 1, "cardtool exit code should be 1")
    calls = expect_calls(ctx, tool, [("CreatmComm", 1)] + [(s[1], CARD_IO_FAILED) for s in steps] +
                         [("DestroymComm", 1)])
    expect_frames(ctx, emu, [frame for step in steps for frame in step[2]])
    ctx.expect(emu.frames("TX").count("1B 71") == len(steps), "the emulator should answer every status with 1B 71")
    # The tracks are delivered before the status is asked.
    if len(calls) == len(steps) + 2:
        ctx.expect(calls[4].data == {"track": "HELLO"}, "RadTr1Card delivered %s" % calls[4].data)
        ctx.expect(calls[5].data == {"track 1": "HELLO", "track 2": "123"}, "RadTr12Card delivered %s" % calls[5].data)


def test_reset(ctx):
    """Every CardReset puts its frame on the line, also right after an answered request."""
    cycles = 100
    emu = Emulator(ctx)
    tool = Cardtool(ctx, "COM5", *(["status", "read", "reset"] * cycles))
    tool.finish(60)
    expect_calls(ctx, tool, [("CreatmComm", 1)] + [("IsReadError", CARD_OK), ("CardReset", CARD_OK)] * cycles +
                 [("DestroymComm", 1)])
    got = emu.frames("RX")
    ctx.expect(got.count(RESET) == cycles, "%d of %d reset frames reached the device" % (got.count(RESET), cycles))
    expect_frames(ctx, emu, [STATUS, RESET] * cycles)


def test_silent(ctx):
    """A device that never answers: the status read ends by its time-outs."""
    emu = Emulator(ctx, "--fault", "silent")
    tool = Cardtool(ctx, "COM5", "status", "read")
    tool.finish(90)
    calls = expect_calls(ctx, tool, [("CreatmComm", 1), ("IsReadError", CARD_IO_FAILED), ("DestroymComm", 1)])
    expect_frames(ctx, emu, [STATUS])
    ctx.expect(emu.frames("TX") == [], "a silent emulator sent %s" % emu.frames("TX"))
    if len(calls) > 1:
        print("IsReadError on a silent device returned after %d ms" % calls[1].ms)


# Escape pressed by a second Wine process while cardtool waits. Each case runs
# the operation twice: the first is cancelled, the second completes with a swipe.
# (first command, second command, call, log line after which to press, frames,
#  tracks the second read delivers, card file afterwards)
ESCAPE_CASES = {
    "escape_read": (["read", "1"], ["read", "1"], "RadTr1Card", READ1,
                    [READ1, RESET, READ1, STATUS], {"track": "HELLO"}, ("HELLO", "12345")),
    "escape_write": (["write", "2", "123"], ["write", "2", "456"], "WrTr2Card", STATUS,
                     [write_frame(None, "123"), STATUS, RESET, write_frame(None, "456"), STATUS], {},
                     ("HELLO", "456")),
}


def run_escape_case(ctx, name):
    first, second, call, press_after, frames, data, card = ESCAPE_CASES[name]
    emu = Emulator(ctx, "--swipe", "manual")
    # The pause lets the key come up before the second operation starts: a key
    # still held down then would cancel that one too (see README.md).
    tool = Cardtool(ctx, "COM5", *(first + ["sleep", "500"] + second))
    with Steering(tool, 30):
        emu.wait_frame(press_after, 20)
        key = presskey(ctx, 300)
        _, pressed, _ = key.wait_line(r"^pressed$", 20)
        cancelled = tool.wait_call(call, 10)
        ctx.expect(cancelled.code == CARD_CANCELLED, "first %s returned %d, expected -5" % (call, cancelled.code))
        ctx.expect(cancelled.seen - pressed < 2.0,
                   "first %s returned %.2f s after Escape" % (call, cancelled.seen - pressed))
        print("%s returned %d, %.3f s after Escape went down" % (call, cancelled.code, cancelled.seen - pressed))
        emu.wait_frame(RESET, 2)
        ctx.expect(emu.card() == ("HELLO", "12345"), "after the cancel the card holds %s" % (emu.card(),))
        key.finish(20)
        # The second operation's frame (the one after the reset) waits for the swipe.
        second_frame = frames[frames.index(RESET) + 1]
        emu.wait_frame(second_frame, 20, count=frames.count(second_frame))
        emu.command("swipe")
        done = tool.wait_call(call, 20, start=cancelled.index + 1)
        ctx.expect(done.code == CARD_OK, "second %s returned %d, expected 1" % (call, done.code))
    calls = expect_calls(ctx, tool, [("CreatmComm", 1), (call, CARD_CANCELLED), (call, CARD_OK), ("DestroymComm", 1)])
    if len(calls) == 4:
        ctx.expect(calls[1].data == {}, "the cancelled call delivered %s" % calls[1].data)
        ctx.expect(calls[2].data == data, "the second call delivered %s, expected %s" % (calls[2].data, data))
    expect_frames(ctx, emu, frames)
    ctx.expect(emu.card() == card, "card file holds %s, expected %s" % (emu.card(), card))


def test_escape_read(ctx):
    run_escape_case(ctx, "escape_read")


def test_escape_write(ctx):
    run_escape_case(ctx, "escape_write")


def test_escape_early(ctx):
    """Escape pressed and released before a read starts does not cancel it."""
    emu = Emulator(ctx, "--swipe", "manual")
    tool = Cardtool(ctx, "COM5", "sleep", "3000", "read", "1")
    with Steering(tool, 30):
        tool.wait_line(r"^  sleeping", 20)
        key = presskey(ctx, 0)
        key.wait_line(r"^released$", 20)
        key.finish(20)
        ctx.require(not emu.frames("RX"), "the read started before the key was released; the timing is off")
        emu.wait_frame(READ1, 20)
        emu.command("swipe")
    calls = expect_calls(ctx, tool, [("CreatmComm", 1), ("RadTr1Card", CARD_OK), ("DestroymComm", 1)])
    if len(calls) == 3:
        ctx.expect(calls[1].data == {"track": "HELLO"}, "read %s" % calls[1].data)
    expect_frames(ctx, emu, [READ1, STATUS])


def test_ports(ctx):
    """Port names and repeated opening and closing."""
    # (port and commands, calls expected, exit code)
    runs = [
        (["COM7"], [("CreatmComm", -2)], 1),
        (["COM10", "status", "read"], [("CreatmComm", 1), ("IsReadError", CARD_OK), ("DestroymComm", 1)], 0),
        ([r"\\.\COM10", "status", "read"], [("CreatmComm", 1), ("IsReadError", CARD_OK), ("DestroymComm", 1)], 0),
        (["COM5", "open", "status", "read", "close", "status", "read"],
         [("CreatmComm", 1), ("CreatmComm", 1), ("IsReadError", CARD_OK), ("DestroymComm", 1),
          ("IsReadError", CARD_NOT_OPEN), ("DestroymComm", 1)], 1),
    ]
    com7 = ctx.dosdevice("com7")
    if os.path.lexists(com7):
        os.unlink(com7)
    emu = Emulator(ctx, links=("com5", "com10"))
    for i, (argv, calls, code) in enumerate(runs):
        tool = Cardtool(ctx, argv[0], *argv[1:], name="cardtool-%d" % i)
        got = tool.finish(30)
        ctx.expect(got == code, "cardtool %s: exit code %s, expected %d" % (" ".join(argv), got, code))
        got_calls = [(c.call, c.code) for c in tool.calls()]
        ctx.expect(got_calls == calls, "cardtool %s: calls %s, expected %s" % (" ".join(argv), got_calls, calls))
    # Only the three status requests made while the port was open reach the device.
    expect_frames(ctx, emu, [STATUS] * 3)
    emu.stop()


def test_hangup(ctx):
    """The line drops halfway through a track reply; the call returns and a new CreatmComm recovers."""
    emu = Emulator(ctx, "--fault", "hangup")
    tool = Cardtool(ctx, "COM5", "read", "12", "sleep", "1000", "open", "read", "12")
    with Steering(tool, 30):
        tool.wait_call("RadTr12Card", 20)
        emu.wait_log(r"hangup: closing", 5)
        _, _, m = emu.wait_line(r"^PORT (\S+)$", 5, start=1)
        ctx.expect(os.path.realpath(emu.links[0]) == m.group(1), "COM5 should now point at %s" % m.group(1))
    calls = tool.calls()
    names = [c.call for c in calls]
    ctx.require(names == ["CreatmComm", "RadTr12Card", "CreatmComm", "RadTr12Card", "DestroymComm"],
                "calls: %s" % calls)
    cut = calls[1]
    print("RadTr12Card during the hang-up: %d after %d ms, delivered %s" % (cut.code, cut.ms, cut.data))
    # Half a reply: whatever the result, it comes back well before any 30 s time-out.
    ctx.expect(cut.code in (CARD_OK, CARD_IO_FAILED), "the interrupted read returned %d" % cut.code)
    ctx.expect(cut.ms < 10000, "the interrupted read took %d ms" % cut.ms)
    ctx.expect([c.code for c in calls[2:]] == [1, CARD_OK, 1], "after the hang-up: %s" % calls[2:])
    ctx.expect(calls[3].data == {"track 1": "HELLO", "track 2": "12345"}, "read after recovery: %s" % calls[3].data)
    expect_frames(ctx, emu, [READ12, STATUS, READ12, STATUS])


def test_soak(ctx):
    """300 cycles of CreatmComm, a track 1 read and DestroymComm in one process:
    every read returns the card's track and the handle count does not grow."""
    cycles = 300
    baseline_after = 5  # cycles after which Wine's own lazily made handles exist
    checkpoints = {baseline_after} | set(range(50, cycles + 1, 50))
    # The first two counts, with the port open and then closed, show that the
    # count sees the handles the library opens.
    commands = ["handles", "close", "handles"]
    for i in range(1, cycles + 1):
        commands += ["open", "read", "1", "close"]
        if i in checkpoints:
            commands.append("handles")
    # The swipe comes 50 ms after the read frame: RadTr1Card discards its input
    # once more after sending the frame, and a reply that arrives before that
    # purge is thrown away (the read then waits for its 20-minute time-out).
    emu = Emulator(ctx, "--no-pacing", "--swipe-delay", "50", card=(TRACK1, TRACK2))
    tool = Cardtool(ctx, "COM5", *commands)
    code = tool.finish(200)
    ctx.expect(code == 0, "cardtool exit code %s, expected 0" % code)
    calls = tool.calls()
    reads = [c for c in calls if c.call == "RadTr1Card"]
    bad = [(i, c.code, c.data) for i, c in enumerate(reads) if c.code != CARD_OK or c.data != {"track": TRACK1}]
    ctx.expect(len(reads) == cycles, "%d reads ran, expected %d" % (len(reads), cycles))
    ctx.expect(not bad, "%d read(s) did not return the card's track 1; first ones: %s" % (len(bad), bad[:3]))
    opens = [c.code for c in calls if c.call == "CreatmComm"]
    closes = [c.code for c in calls if c.call == "DestroymComm"]
    ctx.expect(opens == [1] * (cycles + 1) and closes == [1] * (cycles + 2),
               "CreatmComm results other than 1: %d, DestroymComm: %d" % (sum(1 for c in opens if c != 1),
                                                                       sum(1 for c in closes if c != 1)))
    counts = tool.values("handles")
    ctx.require(len(counts) == 2 + len(checkpoints), "handle counts printed: %s" % counts)
    opened, closed, later = counts[0], counts[1], counts[2:]
    print("handles: %d with the port open, %d closed; after cycles %s: %s" %
          (opened, closed, sorted(checkpoints), later))
    ctx.expect(opened > closed, "the handle count did not drop when the port closed (%d, then %d): it does "
               "not see the library's handles" % (opened, closed))
    ctx.expect(max(later) <= later[0], "the handle count grew from %d after %d cycles to %s" %
               (later[0], baseline_after, later[1:]))
    expect_frames(ctx, emu, [READ1, STATUS] * cycles)


def test_threads(ctx):
    """A call from a second thread while a read waits for the swipe (cardtool's
    "meanwhile") is refused at once and sends nothing; the read gets its tracks."""
    # (waiting read, its call, frame and tracks; the command made meanwhile, its call and result)
    cases = [
        (["read", "1"], "RadTr1Card", READ1, {"track": TRACK1}, ["read", "2"], "RadTr2Card", CARD_BUSY),
        (["read", "12"], "RadTr12Card", READ12, {"track 1": TRACK1, "track 2": TRACK2}, ["open"], "CreatmComm",
         OPEN_BUSY),
        (["read", "2"], "RadTr2Card", READ2, {"track": TRACK2}, ["close"], "DestroymComm", 0),
    ]
    # The swipe comes a second after the read frame, the second call 100 ms after the read started.
    emu = Emulator(ctx, "--swipe-delay", "1000", card=(TRACK1, TRACK2))
    commands = [word for case in cases for word in case[0] + ["meanwhile", "100"] + case[4]]
    tool = Cardtool(ctx, "COM5", *commands, options=["--precise"])
    ctx.expect(tool.finish(60) == 1, "cardtool exit code should be 1 (the refused calls)")
    # A refused call returns at once, so it is reported before the read it came during.
    expected = [("CreatmComm", 1)] + [call for case in cases for call in [(case[5], case[6]), (case[1], CARD_OK)]] + \
        [("DestroymComm", 1)]
    calls = expect_calls(ctx, tool, expected)
    for i, case in enumerate(cases if [c.call for c in calls] == [call for call, _ in expected] else []):
        refused, read = calls[1 + 2 * i], calls[2 + 2 * i]
        ctx.expect(read.data == case[3], "%s delivered %s, expected %s" % (read.call, read.data, case[3]))
        ctx.expect(read.clock[0] < refused.clock[0] and refused.clock[1] < read.clock[1],
                   "%s (%.3f to %.3f) did not come while %s (%.3f to %.3f) waited" %
                   ((refused.call,) + refused.clock + (read.call,) + read.clock))
        ctx.expect(refused.ms < 100, "the refused %s took %.1f ms" % (refused.call, refused.ms))
    expect_frames(ctx, emu, [frame for case in cases for frame in (case[2], STATUS)])


def test_version(ctx):
    """cardtool --version names the project's version, read from the version
    resource of the DLL it loaded, which is the DLL under test."""
    ctx.require(ctx.project_version is not None, "version needs --project-version")
    tool = Process(ctx, "cardtool", ctx.command(ctx.cardtool, "--version"), env=ctx.env())
    code = tool.finish(30)
    ctx.expect(code == 0, "cardtool --version: exit code %s" % code)
    _, _, version = tool.wait_line(r"^(?:QT741DLL\.dll|libQT741DLL\.so) (\S+)$", 1)
    # Natively the version in the library's file name (libQT741DLL.so.X.Y.Z).
    parts = 3 if ctx.native else 4
    expected = ".".join((ctx.project_version.split(".") + ["0"] * 4)[:parts])
    ctx.expect(version.group(1) == expected, "version %s, expected %s" % (version.group(1), expected))
    _, _, loaded = tool.wait_line(r"^  file: (.+)$", 1)
    if ctx.native:
        library = os.path.realpath(os.path.join(ctx.tool_dir, "libQT741DLL.so"))
        ctx.expect(loaded.group(1) == library, "loaded %s, expected %s" % (loaded.group(1), library))
        return
    dll = os.path.join(ctx.tool_dir, "QT741DLL.dll")
    # Wine shows /path as Z:\path.
    ctx.expect(loaded.group(1).replace("\\", "/").lower().endswith(dll.lower()),
               "loaded %s, expected %s" % (loaded.group(1), dll))


# The programs of a build without cardtool (--programs): each prints "ok   ..." or
# "FAIL ..." per check and "N passed, N failed" last.
SUMMARY_LINE = re.compile(r"^(\d+) passed, (\d+) failed$")


def run_program(ctx, name, *argv):
    """Runs one of those programs to its end and checks its summary."""
    ctx.require(ctx.programs is not None, "%s needs --programs (the folder of the build's test programs)" % name)
    program = Process(ctx, name, ctx.command(os.path.join(ctx.programs, name + ".exe"), *argv), env=ctx.env())
    code = program.finish(60)
    _, _, m = program.wait_line(SUMMARY_LINE.pattern, 1)
    ctx.expect(code == 0 and m.group(2) == "0" and int(m.group(1)) > 0,
               "%s: exit code %s, %s" % (name, code, m.group(0)))
    ctx.expect("FAIL" not in program.output(), "%s reported failures" % name)
    return program


def test_startup(ctx):
    """The DLL start-up of the MSVC-ABI build: static constructors at load, then
    at unload the destructors and atexit entries, newest first (startup_test.exe
    on startup_probe.dll)."""
    run_program(ctx, "startup_test")


def test_class_host(ctx):
    """A C++ host built for Microsoft's ABI uses the class mComm: on the stack and
    with new, OpenPort on COM5 (1) and a missing COM7 (-2), copy, assignment,
    ClosePort twice, delete through the virtual destructor, the heap valid
    after; the reset frame it sends through the object's handle reaches the device."""
    com7 = ctx.dosdevice("com7")
    if os.path.lexists(com7):
        os.unlink(com7)
    emu = Emulator(ctx)
    run_program(ctx, "classhost", "COM5", "COM7")
    emu.wait_frame(RESET, 5)
    expect_frames(ctx, emu, [RESET])


PROGRAM_TESTS = {
    "startup": test_startup,
    "class_host": test_class_host,
}


TESTS = {
    "write_read": test_write_read,
    "bad_status": test_bad_status,
    "reset": test_reset,
    "silent": test_silent,
    "escape_read": test_escape_read,
    "escape_write": test_escape_write,
    "escape_early": test_escape_early,
    "ports": test_ports,
    "hangup": test_hangup,
    "soak": test_soak,
    "version": test_version,
    "threads": test_threads,
}


ALL_TESTS = dict(TESTS, **PROGRAM_TESTS)


# ---------------------------------------------------------------------------
# Fixtures and the driver

def place_tools(ctx):
    """With --dll: cardtool.exe and presskey.exe in a folder of their own, next to
    a copy of that DLL, which Windows then loads for them. False when a file is missing."""
    if ctx.dll is None or ctx.native:
        return True
    os.makedirs(ctx.tool_dir, exist_ok=True)
    for source in (os.path.join(ctx.built_tools, "cardtool.exe"), os.path.join(ctx.built_tools, "presskey.exe"),
                   ctx.dll):
        if not os.path.exists(source):
            print("missing %s: build its preset first" % source)
            return False
        target = os.path.join(ctx.tool_dir, os.path.basename(source))
        if not os.path.exists(target) or not filecmp.cmp(source, target, shallow=False):
            shutil.copy2(source, target)
    return True


def loader_ready(ctx):
    """Asks a loader that answers --check (scripts/wine32) whether it can run here:
    0 yes; 77 not on this machine (the caller skips, with the loader's reason)."""
    result = subprocess.run([ctx.wine64, "--check"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        print(result.stdout.strip())
    return result.returncode


def setup(ctx):
    """Checks the Windows build and creates the Wine prefix once."""
    if ctx.native:
        library = os.path.join(ctx.tool_dir, "libQT741DLL.so")
        missing = [path for path in (ctx.cardtool, library, ctx.cardemu) if not os.path.exists(path)]
        for path in missing:
            print("missing %s: build the linux-native preset (cmake --preset linux-native && "
                  "cmake --build --preset linux-native)" % path)
        if not missing:
            print("testing %s natively" % os.path.realpath(library))
        return 1 if missing else 0
    if not place_tools(ctx):
        return 1
    preset = os.path.basename(ctx.windows_dir)
    for path in (ctx.cardtool, ctx.presskey, os.path.join(ctx.tool_dir, "QT741DLL.dll"), ctx.cardemu):
        if not os.path.exists(path):
            print("missing %s: build the %s preset (cmake --preset %s && cmake --build --preset %s) and cardemu "
                  "first" % (path, preset, preset, preset))
            return 1
    dll = ctx.dll or os.path.join(ctx.windows_dir, "library", "QT741DLL.dll")
    copy = os.path.join(ctx.tool_dir, "QT741DLL.dll")
    if os.path.exists(dll) and os.path.getmtime(dll) > os.path.getmtime(copy) + 1:
        print("warning: %s is older than %s; rebuild the %s preset" % (copy, dll, preset))
    print("testing %s" % dll)
    if os.path.exists(os.path.join(ctx.prefix, "system.reg")):
        print("Wine prefix %s exists" % ctx.prefix)
        return 0
    os.makedirs(ctx.prefix, exist_ok=True)
    started = time.monotonic()
    # Through the loader: a 32-bit prefix made by wine64 lacks its syswow64 DLLs.
    result = subprocess.run([ctx.wine64, "wineboot", "-i"], env=ctx.env(), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300)
    print("wineboot -i: exit %d after %.1f s" % (result.returncode, time.monotonic() - started))
    if not os.path.exists(os.path.join(ctx.prefix, "system.reg")):
        print(result.stdout.decode(errors="replace"))
        return 1
    return 0


def start_wineserver(ctx):
    """Starts the prefix's wineserver with its own log. Started by the first Wine
    program instead, it would inherit that program's stderr and write its object
    dumps there."""
    os.makedirs(ctx.work_root, exist_ok=True)
    with open(os.path.join(ctx.work_root, "wineserver.log"), "w") as log:
        subprocess.run([ctx.wineserver, "-p"], env=ctx.env(), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                       timeout=30)


def cleanup(ctx):
    if ctx.native:
        return 0
    subprocess.run([ctx.wineserver, "-k"], env=ctx.env(), timeout=60)
    return 0


def run_test(ctx, name, tests=None):
    ctx.work = os.path.join(ctx.work_root, name)
    os.makedirs(ctx.work, exist_ok=True)
    for entry in os.listdir(ctx.work):
        os.unlink(os.path.join(ctx.work, entry))
    ctx.failures = []
    ctx.notes = []
    started = time.monotonic()
    try:
        (tests or ALL_TESTS)[name](ctx)
    except Failure as e:
        ctx.failures.append(str(e))
    finally:
        for proc in ctx.notes:
            if isinstance(proc, Emulator):
                proc.stop()
            else:
                proc.kill()
    elapsed = time.monotonic() - started
    if ctx.failures:
        print("FAIL %s (%.1f s)" % (name, elapsed))
        for failure in ctx.failures:
            print("  - " + failure)
        for proc in ctx.notes:
            print(proc.dump())
        return False
    print("PASS %s (%.1f s)" % (name, elapsed))
    return True


SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def harness_arguments(parser, work, prefix=os.path.join("e2e", "wineprefix")):
    """The options that place Wine, the Windows build, the emulator, the prefix
    and the work folder (`prefix` and `work`, below build/sim/tests, by default)."""
    build = os.path.join(SOURCE, "build")
    parser.add_argument("--wine64", "--wine", default="/usr/lib/wine/wine64",
                        help="the Wine loader: wine64, or scripts/wine32 (32-bit Wine on qemu-i386) for i686 builds")
    parser.add_argument("--loader-check", action="store_true",
                        help="first ask the loader (scripts/wine32 --check) whether it can run here; exit 77 "
                             "(skipped) when this machine cannot")
    parser.add_argument("--wineserver", default="/usr/lib/wine/wineserver")
    parser.add_argument("--windows-dir", default=os.path.join(build, "windows-x64"),
                        help="the Windows build whose cardtool.exe and presskey.exe run")
    parser.add_argument("--dll", help="the QT741DLL.dll to test, when not the one beside that cardtool.exe")
    parser.add_argument("--programs", help="the folder of the test programs of a build without cardtool "
                        "(tests: %s)" % ", ".join(PROGRAM_TESTS))
    parser.add_argument("--cardemu", default=os.path.join(build, "sim", "emulator", "cardemu"))
    parser.add_argument("--native", metavar="BUILD", help="run natively on Linux, without Wine, the cardtool and "
                        "libQT741DLL.so of this build (the linux-native preset's folder)")
    parser.add_argument("--project-version", help="the version cardtool --version must report, e.g. 1.0.0")
    parser.add_argument("--prefix", default=os.path.join(build, "sim", "tests", prefix))
    parser.add_argument("--work", default=os.path.join(build, "sim", "tests", work))


def drive(parser, ctx, what, tests, prepare=setup, everything=None):
    """What the command line asked for: setup (`prepare`), cleanup, or tests by
    name from `tests` ("all": those named in `everything`, by default every one)."""
    if ctx.loader_check:
        ready = loader_ready(ctx)
        if ready != 0:
            return ready
    if what == ["setup"]:
        return prepare(ctx)
    if what == ["cleanup"]:
        return cleanup(ctx)
    names = (everything or list(tests)) if what == ["all"] else what
    unknown = [n for n in names if n not in tests]
    if unknown:
        parser.error("unknown test(s): %s" % ", ".join(unknown))
    if not place_tools(ctx):
        return 1
    if not ctx.native:
        start_wineserver(ctx)
    try:
        results = [run_test(ctx, name, tests) for name in names]
    finally:
        cleanup(ctx)
    return 0 if all(results) else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness_arguments(parser, os.path.join("e2e", "work"))
    parser.add_argument("what", nargs="+", help="setup, cleanup, all, or test names: " + ", ".join(ALL_TESTS))
    args = parser.parse_args()
    ctx = Context(args)
    everything = list(TESTS) + (list(PROGRAM_TESTS) if ctx.programs else [])
    return drive(parser, ctx, args.what, ALL_TESTS, everything=everything)


if __name__ == "__main__":
    sys.exit(main())
