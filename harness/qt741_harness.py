#!/usr/bin/env python3
"""The harness that drives cardemu, cardtool and Wine for the end-to-end tests,
the bench, the binding hosts' tests and the demo.

cardtool (a Windows build's cardtool.exe next to a QT741DLL.dll, or natively the
Linux cardtool with libQT741DLL.so) runs against cardemu, which plays the device
on a pty: under Wine a COM symlink in the prefix points at it, natively a link in
the test's work folder that cardtool opens by path. The harness collects what
the programs print with its arrival times, reads the frames the emulator
logged, presses Escape (presskey.exe under Wine, natively a keystroke on
cardtool's terminal), makes the Wine prefix once through its loader and runs the
prefix's wineserver with a log of its own.

ARCHES is the one table of the architectures the scripts run (--arch): which
presets they build, which cardtool runs under which loader with which DLL, and
in which prefix. From the command line:

    qt741_harness.py builds ARCH    what ARCH runs from, one PRESET or PRESET:TARGET a line (for
                                    scripts/build.sh); exits 77 when ARCH's loader cannot run here

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

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(SOURCE, "build")

WINE64 = "/usr/lib/wine/wine64"
WINE32 = os.path.join(SOURCE, "scripts", "wine32")  # 32-bit Wine on qemu-i386
WINESERVER = "/usr/lib/wine/wineserver"

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
                if self.eof:
                    raise Failure("%s: output ended (%s) after %.1f s without a line matching /%s/" %
                                  (self.name, self.exit_status(), time.monotonic() - self.started, pattern))
                left = deadline - time.monotonic()
                if left <= 0:
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

    def exit_status(self):
        """How the process ended, in words, for a failure's message."""
        try:
            code = self.proc.wait(5)
        except subprocess.TimeoutExpired:
            return "still running"
        if code < 0:
            return "killed by signal %d" % -code
        return "exit code %d" % code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def output(self):
        with self.cond:
            return "\n".join(line for _, line in self.lines)

    def follow(self, timeout):
        """Prints the output lines as they come until the process ends; then its
        exit code, as finish() gives it."""
        deadline = time.monotonic() + timeout
        shown = 0
        with self.cond:
            while True:
                for _, line in self.lines[shown:]:
                    print(line, flush=True)
                shown = len(self.lines)
                left = deadline - time.monotonic()
                if self.eof or left <= 0:
                    break
                self.cond.wait(left)
        return self.finish(max(0.0, deadline - time.monotonic()))

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


# The card data the tests write and read.
TRACK1 = "B4111111111111111^DOE/JOHN^2512101"
TRACK2 = "4111111111111111=2512101"
# The longest track 1 a write takes; one more character is refused before sending.
LONG1 = ("0123456789" * 40)[:394]


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


def loader_ready(loader, stream=sys.stdout):
    """Asks a loader that answers --check (scripts/wine32) whether it can run here:
    0 yes; 77 not on this machine (the caller skips, with the loader's reason, which
    goes to `stream`)."""
    result = subprocess.run([loader, "--check"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        print(result.stdout.strip(), file=stream)
    return result.returncode


def check_build(ctx):
    """Whether the programs under test and cardemu are there (with --dll, placed
    beside a copy of that DLL); says what is missing."""
    if ctx.native:
        library = os.path.join(ctx.tool_dir, "libQT741DLL.so")
        missing = [path for path in (ctx.cardtool, library, ctx.cardemu) if not os.path.exists(path)]
        for path in missing:
            print("missing %s: build the linux-native preset (cmake --preset linux-native && "
                  "cmake --build --preset linux-native)" % path)
        return not missing
    if not place_tools(ctx):
        return False
    preset = os.path.basename(ctx.windows_dir)
    for path in (ctx.cardtool, ctx.presskey, os.path.join(ctx.tool_dir, "QT741DLL.dll"), ctx.cardemu):
        if not os.path.exists(path):
            print("missing %s: build the %s preset (cmake --preset %s && cmake --build --preset %s) and cardemu "
                  "first" % (path, preset, preset, preset))
            return False
    dll = tested_library(ctx)
    copy = os.path.join(ctx.tool_dir, "QT741DLL.dll")
    if os.path.exists(dll) and os.path.getmtime(dll) > os.path.getmtime(copy) + 1:
        print("warning: %s is older than %s; rebuild the %s preset" % (copy, dll, preset))
    return True


def tested_library(ctx):
    """The library under test as built: --dll, the Windows build's DLL, or natively its .so."""
    if ctx.native:
        return os.path.realpath(os.path.join(ctx.tool_dir, "libQT741DLL.so"))
    return ctx.dll or os.path.join(ctx.windows_dir, "library", "QT741DLL.dll")


def make_prefix(ctx):
    """Creates the Wine prefix once, through the loader (a 32-bit prefix made by
    wine64 lacks its syswow64 DLLs); 0 when it is there."""
    if os.path.exists(os.path.join(ctx.prefix, "system.reg")):
        print("Wine prefix %s exists" % ctx.prefix)
        return 0
    os.makedirs(ctx.prefix, exist_ok=True)
    started = time.monotonic()
    result = subprocess.run([ctx.wine64, "wineboot", "-i"], env=ctx.env(), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300)
    # The prefix's registry is saved when its server exits.
    subprocess.run([ctx.wineserver, "-w"], env=ctx.env(), timeout=120)
    print("wineboot -i: exit %d after %.1f s" % (result.returncode, time.monotonic() - started))
    if not os.path.exists(os.path.join(ctx.prefix, "system.reg")):
        print(result.stdout.decode(errors="replace"))
        return 1
    return 0


def setup(ctx):
    """Checks the build and creates the Wine prefix once."""
    if not check_build(ctx):
        return 1
    if ctx.native:
        print("testing %s natively" % tested_library(ctx))
        return 0
    print("testing %s" % tested_library(ctx))
    return make_prefix(ctx)


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


def begin(ctx, name):
    """A run named `name`: its work folder WORK/name, emptied, and no failures yet."""
    ctx.work = os.path.join(ctx.work_root, name)
    os.makedirs(ctx.work, exist_ok=True)
    for entry in os.listdir(ctx.work):
        os.unlink(os.path.join(ctx.work, entry))
    ctx.failures = []
    ctx.notes = []


def stop_processes(ctx):
    """Ends the programs the run started: the emulator asked to quit, the others killed."""
    for proc in ctx.notes:
        if isinstance(proc, Emulator):
            proc.stop()
        else:
            proc.kill()


def run_test(ctx, name, tests):
    begin(ctx, name)
    started = time.monotonic()
    try:
        tests[name](ctx)
    except Failure as e:
        ctx.failures.append(str(e))
    finally:
        stop_processes(ctx)
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


def harness_arguments(parser, work, prefix=os.path.join("e2e", "wineprefix")):
    """The options that place Wine, the Windows build, the emulator, the prefix
    and the work folder (`prefix` and `work`, below build/sim/tests, by default)."""
    parser.add_argument("--wine64", "--wine", default=WINE64,
                        help="the Wine loader: wine64, or scripts/wine32 (32-bit Wine on qemu-i386) for i686 builds")
    parser.add_argument("--loader-check", action="store_true",
                        help="first ask the loader (scripts/wine32 --check) whether it can run here; exit 77 "
                             "(skipped) when this machine cannot")
    parser.add_argument("--wineserver", default=WINESERVER)
    parser.add_argument("--windows-dir", default=os.path.join(BUILD, "windows-x64"),
                        help="the Windows build whose cardtool.exe and presskey.exe run")
    parser.add_argument("--dll", help="the QT741DLL.dll to test, when not the one beside that cardtool.exe")
    parser.add_argument("--programs", help="the folder of the test programs of a build without cardtool "
                        "(startup_test.exe, classhost.exe)")
    parser.add_argument("--cardemu", default=os.path.join(BUILD, "sim", "emulator", "cardemu"))
    parser.add_argument("--native", metavar="BUILD", help="run natively on Linux, without Wine, the cardtool and "
                        "libQT741DLL.so of this build (the linux-native preset's folder)")
    parser.add_argument("--project-version", help="the project's version, e.g. 1.0.0: what cardtool --version "
                        "must report and the packages must state")
    parser.add_argument("--prefix", default=os.path.join(BUILD, "sim", "tests", prefix))
    parser.add_argument("--work", default=os.path.join(BUILD, "sim", "tests", work))


def drive(parser, ctx, what, tests, prepare=setup, everything=None):
    """What the command line asked for: setup (`prepare`), cleanup, or tests by
    name from `tests` ("all": those named in `everything`, by default every one)."""
    if ctx.loader_check:
        ready = loader_ready(ctx.wine64)
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


# ---------------------------------------------------------------------------
# The architectures the scripts run (--arch)

class Arch:
    """One architecture: the builds it runs from (PRESET or PRESET:TARGET), the
    preset whose cardtool runs, the preset of cardemu, the Wine loader (None:
    natively, no Wine), the preset whose DLL is tested in place of the one beside
    cardtool, the prefix of the end-to-end configuration it shares (below
    build/sim/tests/e2e), the tag of its folders' names, and how long its first
    prefix takes to make."""

    def __init__(self, builds, tools, emulator, loader=None, dll=None, e2e_prefix=None, tag="", boot=None):
        self.builds = builds
        self.tools = tools
        self.emulator = emulator
        self.loader = loader
        self.dll = dll
        self.e2e_prefix = e2e_prefix
        self.tag = tag
        self.boot = boot

    @property
    def checked(self):
        """Whether the loader is asked first whether it can run here (scripts/wine32)."""
        return self.loader == WINE32

    def defaults(self, builds, prefix, work):
        """The harness options for this architecture, with the build folders in
        `builds` and the given prefix and work folder."""
        options = {
            "windows_dir": os.path.join(builds, self.tools),
            "cardemu": os.path.join(builds, self.emulator, "emulator", "cardemu"),
            "prefix": prefix,
            "work": work,
            "loader_check": self.checked,
        }
        if self.loader is None:
            options["native"] = os.path.join(builds, self.tools)
        else:
            options["wine64"] = self.loader
        if self.dll is not None:
            options["dll"] = os.path.join(builds, self.dll, "library", "QT741DLL.dll")
        return options


ARCHES = {
    # The x86_64 MinGW build under wine64: cardtool.exe beside its own DLL.
    "x86_64": Arch(["windows-x64", "sim:cardemu"], "windows-x64", "sim", WINE64, e2e_prefix="wineprefix",
                   boot="about 10 s"),
    # The shipped DLL (windows-x86-msvc), loaded by the i686 cardtool.exe (windows-x86), under 32-bit Wine.
    "x86": Arch(["windows-x86", "windows-x86-msvc", "sim:cardemu"], "windows-x86", "sim", WINE32,
                dll="windows-x86-msvc", e2e_prefix=os.path.join("x86-msvc", "wineprefix"), tag="-x86",
                boot="about 25 s"),
    # libQT741DLL.so with the Linux cardtool (linux-native), no Wine.
    "linux": Arch(["linux-native"], "linux-native", "linux-native"),
    # The same library through cardbridge (linux-native), driven over a WebSocket (the bench).
    "bridge": Arch(["linux-native"], "linux-native", "linux-native", tag="-bridge"),
}


def arch_arguments(parser, argv, prefix, work):
    """--arch ARCH and --builds DIR (the build folders DIR/PRESET): ARCH's entry in
    ARCHES gives the harness options' defaults (options given still win).
    `prefix` and `work` are functions (Arch, DIR) -> folder. Returns the Arch."""
    parser.add_argument("--arch", choices=list(ARCHES), default="x86_64",
                        help="x86_64 (wine64), x86 (32-bit Wine on qemu-i386), linux (no Wine) or bridge (linux "
                             "through cardbridge)")
    parser.add_argument("--builds", default=BUILD, help="the folder of the build folders, one per preset")
    first = argparse.ArgumentParser(add_help=False)
    first.add_argument("--arch", choices=list(ARCHES), default="x86_64")
    first.add_argument("--builds", default=BUILD)
    known, _ = first.parse_known_args(argv)
    arch = ARCHES[known.arch]
    builds = os.path.abspath(known.builds)
    parser.set_defaults(**arch.defaults(builds, prefix(arch, builds), work(arch, builds)))
    return arch


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["builds"])
    parser.add_argument("arch", choices=list(ARCHES))
    args = parser.parse_args()
    arch = ARCHES[args.arch]
    if arch.checked:
        ready = loader_ready(arch.loader, sys.stderr)
        if ready != 0:
            return ready
    print("\n".join(arch.builds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
