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

The harness (processes, emulator, Wine prefix, driver) is harness/qt741_harness.py.

    e2e.py [paths] setup        build check, Wine prefix (created once through the loader)
    e2e.py [paths] cleanup      stop the prefix's wineserver
    e2e.py [paths] TEST...      run tests (see TESTS at the end); "all" runs all

Standard library only (python3 >= 3.9).
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "harness"))

from qt741_harness import (CARD_BUSY, CARD_CANCELLED, CARD_IO_FAILED, CARD_NOT_OPEN, CARD_OK,  # noqa: E402
                           LONG1, OPEN_BUSY, READ1, READ2, READ12, RESET, STATUS, TRACK1, TRACK2, Cardtool, Context,
                           Emulator, Process, Steering, drive, expect_calls, expect_frames, harness_arguments,
                           presskey, write_frame)


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


def test_flow_control(ctx):
    """A port left with software flow control on, as Linux sets up every tty at
    boot (stty sane ixon): a track carrying 0x11 and 0x13 comes back whole, and
    the next call goes out at once (a 0x13 taken as XOFF would hold the line)."""
    emu = Emulator(ctx, card=("1\\x112\\x133", TRACK2))
    stty = subprocess.run(["stty", "-F", emu.pty, "sane", "ixon"], capture_output=True, text=True)
    ctx.require(stty.returncode == 0, "stty -F %s sane ixon failed: %s" % (emu.pty, stty.stderr.strip()))
    tool = Cardtool(ctx, "COM5", "read", "1", "status", "read")
    tool.finish(60)
    calls = expect_calls(ctx, tool, [("CreatmComm", 1), ("RadTr1Card", CARD_OK), ("IsReadError", CARD_OK),
                                     ("DestroymComm", 1)])
    if len(calls) == 4:
        ctx.expect(calls[1].data == {"track": "1\x112\x133"}, "read delivered %r" % calls[1].data)
        ctx.expect(calls[2].ms < 1000, "the status query after the read took %d ms" % calls[2].ms)
    expect_frames(ctx, emu, [READ1, STATUS, STATUS])


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
               "CreatmComm results other than 1: %d, DestroymComm: %d" % (
                   sum(1 for c in opens if c != 1), sum(1 for c in closes if c != 1)))
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
    # The swipe comes a second after the read frame, the second call 300 ms after its thread started.
    emu = Emulator(ctx, "--swipe-delay", "1000", card=(TRACK1, TRACK2))
    commands = [word for case in cases for word in case[0] + ["meanwhile", "300"] + case[4]]
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
    "flow_control": test_flow_control,
}


ALL_TESTS = dict(TESTS, **PROGRAM_TESTS)


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
