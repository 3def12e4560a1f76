#!/usr/bin/env python3
"""The Python and C# bindings with real runtimes against libQT741DLL.so and cardemu.

python_host.py (CPython, ctypes CDLL) and CardHost.exe (Mono, DllImport
"QT741DLL" mapped to the soname by CardHost.exe.config) each run a whole cycle
(write both tracks, read them back, the status), and a read on a second thread
that CardCancel from the first ends; c_host (C, the public header) the same
cycle, and a read that a signal handler's CardCancel ends. The harness
(harness/qt741_harness.py, --native) supplies the emulator and the port links.

    native_hosts.py --native BUILD --cardemu CARDEMU --mono MONO --dotnet-host EXE --c-host EXE TEST...
"""
import argparse
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "harness"))
import qt741_harness as harness  # noqa: E402
from qt741_harness import (CARD_CANCELLED, CARD_OK, READ1, READ12, RESET, STATUS, TRACK1, TRACK2,  # noqa: E402
                           Emulator, Process, Steering)


class Host(Process):
    """A binding's host program; its calls are its output lines."""

    def __init__(self, ctx, language, *argv):
        env = dict(os.environ)
        library_dir = os.path.join(ctx.native, "library")
        if language == "python":
            command = [sys.executable, os.path.join(HERE, "python_host.py"),
                       os.path.join(library_dir, "libQT741DLL.so.1")] + list(argv)
        elif language == "c":
            command = [ctx.c_host] + list(argv)
        else:
            # The dllmap names the soname; the loader finds it on this path.
            env["LD_LIBRARY_PATH"] = library_dir
            command = [ctx.mono, ctx.dotnet_host] + list(argv)
        super().__init__(ctx, language, command, env=env, stdin=subprocess.PIPE)

    def calls(self):
        return [tuple(int(f) if f.lstrip("-").isdigit() else f for f in line.split("\t"))
                for line in self.output().splitlines() if "\t" in line]


def cycle(ctx, language):
    emu = Emulator(ctx, card=("BLANK", "BLANK"))
    host = Host(ctx, language, ctx.port("COM5"), "cycle", TRACK1, TRACK2)
    code = host.finish(60)
    ctx.expect(code == 0, "%s host exit code %s" % (language, code))
    expected = [("CreatmComm", 1), ("WrTr12Card", CARD_OK), ("RadTr12Card", CARD_OK, TRACK1, TRACK2),
                ("IsReadError", CARD_OK), ("DestroymComm", 1)]
    if language == "c":
        # A re-open on a missing port leaves the port marked open without a
        # handle; closing it then succeeds, as on Windows.
        expected.insert(4, ("CreatmComm", -2))
    ctx.expect(host.calls() == expected, "calls: got %s, expected %s" % (host.calls(), expected))
    harness.expect_frames(ctx, emu, [harness.write_frame(TRACK1, TRACK2), STATUS, READ12, STATUS, STATUS])
    ctx.expect(emu.card() == (TRACK1, TRACK2), "card file holds %s" % (emu.card(),))


def cancel(ctx, language):
    emu = Emulator(ctx, "--swipe", "manual")
    host = Host(ctx, language, ctx.port("COM5"), "cancel")
    with Steering(host, 30):
        host.wait_line(r"^waiting$", 30)
        emu.wait_frame(READ1, 20)
        time.sleep(0.3)  # the read is polling by now
        asked = time.monotonic()
        if language == "c":
            host.proc.send_signal(signal.SIGUSR1)  # its handler calls CardCancel
        else:
            host.proc.stdin.write(b"cancel\n")  # CardCancel from the host's main thread
            host.proc.stdin.flush()
        _, ended, _ = host.wait_line(r"^RadTr1Card\t", 10)
        ctx.expect(ended - asked < 1.0, "the read returned %.2f s after CardCancel" % (ended - asked))
        print("%s: the read returned %.3f s after CardCancel" % (language, ended - asked))
        emu.wait_frame(RESET, 2)
    expected = [("CreatmComm", 1), ("CardCancel", 1), ("RadTr1Card", CARD_CANCELLED, ""), ("DestroymComm", 1)]
    ctx.expect(host.calls() == expected, "calls: got %s, expected %s" % (host.calls(), expected))
    harness.expect_frames(ctx, emu, [READ1, RESET])


TESTS = {"%s_%s" % (language, name): (lambda test, language: lambda ctx: test(ctx, language))(test, language)
         for language in ("python", "dotnet", "c") for name, test in (("cycle", cycle), ("cancel", cancel))}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness.harness_arguments(parser, os.path.join("sim", "bindings"))
    parser.add_argument("--mono", default="mono")
    parser.add_argument("--dotnet-host", help="CardHost.exe, with CardHost.exe.config beside it")
    parser.add_argument("--c-host", help="c_host of the linux-native build")
    parser.add_argument("what", nargs="+", help="setup, all, or test names: " + ", ".join(TESTS))
    args = parser.parse_args()
    ctx = harness.Context(args)
    ctx.mono = args.mono
    ctx.dotnet_host = args.dotnet_host and os.path.abspath(args.dotnet_host)
    ctx.c_host = args.c_host and os.path.abspath(args.c_host)
    return harness.drive(parser, ctx, args.what, TESTS)


if __name__ == "__main__":
    sys.exit(main())
