#!/usr/bin/env python3
"""The Python and C# bindings with real runtimes against libQT741DLL.so and cardemu.

python_host.py (CPython, ctypes CDLL) and CardHost.exe (Mono, DllImport
"QT741DLL" mapped to the soname by CardHost.exe.config) each run a whole cycle
(write both tracks, read them back, the status), and a read on a second thread
that CardCancel from the first ends; c_host (C, the public header) the same
cycle, and a read that a signal handler's CardCancel ends. The harness
(harness/qt741_harness.py, --native) supplies the emulator and the port links.

wheel_cycle and nupkg_cycle run the Python and C# cycle on the packages: the
wheel of this build, installed by pip into a new venv, imported and loaded
with no path; the NuGet package of this build and the Windows ones
(--windows-builds), installed by nuget from a folder, CardHost built against its
assembly and run under Mono beside the package's library, with no library path.
Each in a fresh temporary folder.

    native_hosts.py --native BUILD --cardemu CARDEMU --mono MONO --dotnet-host EXE --c-host EXE TEST...
"""
import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
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
            command = [ctx.python, os.path.join(HERE, "python_host.py"),
                       ctx.python_library or os.path.join(library_dir, "libQT741DLL.so.1")] + list(argv)
        elif language == "c":
            command = [ctx.c_host] + list(argv)
        else:
            # The dllmap names the soname; the loader finds it on this path
            # (the installed package's host has its library beside it).
            env.pop("LD_LIBRARY_PATH", None)
            if not ctx.installed:
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
    return host


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


def run(ctx, *argv):
    """A packing or installing step; its output is shown when it fails."""
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    ctx.require(result.returncode == 0, "%s: exit %d\n%s" % (" ".join(argv), result.returncode, result.stdout))


def installed(test):
    """`test` given a fresh temporary folder, removed after it; the hosts it sets are its own."""
    def in_temp(ctx):
        kept = dict(vars(ctx))
        ctx.installed = True
        try:
            with tempfile.TemporaryDirectory(prefix="qt741-install-") as tmp:
                test(ctx, tmp)
        finally:
            vars(ctx).update(kept)
    return in_temp


def wheel_cycle(ctx, tmp):
    run(ctx, ctx.build_python, os.path.join(SOURCE, "package", "python", "build_wheels.py"), "--linux", ctx.native,
        "--out", tmp)
    venv = os.path.join(tmp, "venv")
    run(ctx, ctx.build_python, "-m", "venv", venv)
    run(ctx, os.path.join(venv, "bin", "pip"), "install", "--no-index", "--quiet",
        *glob.glob(os.path.join(tmp, "qt741-*-linux_x86_64.whl")))
    ctx.python, ctx.python_library = os.path.join(venv, "bin", "python"), "-"
    host = cycle(ctx, "python")
    ctx.expect(re.search(r"^library %s/lib/python3[.\d]*/site-packages/qt741/libQT741DLL\.so\.1$" % re.escape(venv),
                         host.output(), re.M), "the library loaded is not the package's in %s" % venv)


def nupkg_cycle(ctx, tmp):
    feed, packages, app = (os.path.join(tmp, name) for name in ("feed", "packages", "app"))
    run(ctx, os.path.join(SOURCE, "package", "dotnet", "pack.sh"), feed, *ctx.windows_builds, ctx.native)
    run(ctx, ctx.nuget, "install", "QT741", "-Source", feed, "-OutputDirectory", packages, "-NonInteractive")
    package = glob.glob(os.path.join(packages, "QT741.*"))
    ctx.require(len(package) == 1, "nuget installed %s" % package)
    # What a build's output holds: the program, the package's assembly and its library for this runtime.
    os.mkdir(app)
    assembly = os.path.join(package[0], "lib", "net45", "QT741.dll")
    ctx.dotnet_host = os.path.join(app, "CardHost.exe")
    run(ctx, ctx.mcs, "-warnaserror+", "-warn:4", "-target:exe", "-r:" + assembly, "-out:" + ctx.dotnet_host,
        os.path.join(HERE, "CardHost.cs"))
    for path in (assembly, os.path.join(package[0], "runtimes", "linux-x64", "native", "libQT741DLL.so")):
        shutil.copy(path, app)
    cycle(ctx, "dotnet")


SOURCE = os.path.dirname(os.path.dirname(HERE))
TESTS = {"%s_%s" % (language, name): (lambda test, language: lambda ctx: test(ctx, language))(test, language)
         for language in ("python", "dotnet", "c") for name, test in (("cycle", cycle), ("cancel", cancel))}
TESTS.update(wheel_cycle=installed(wheel_cycle), nupkg_cycle=installed(nupkg_cycle))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness.harness_arguments(parser, os.path.join("sim", "bindings"))
    parser.add_argument("--mono", default="mono")
    parser.add_argument("--dotnet-host", help="CardHost.exe, with CardHost.exe.config beside it")
    parser.add_argument("--c-host", help="c_host of the linux-native build")
    parser.add_argument("--windows-builds", nargs=2, metavar=("X86", "X64"), default=[],
                        help="the windows-x86-msvc and windows-x64-msvc builds the NuGet package carries")
    parser.add_argument("--build-python", default="/usr/bin/python3", help="a Python with build and venv")
    parser.add_argument("--nuget", default="nuget")
    parser.add_argument("--mcs", default="mcs")
    parser.add_argument("what", nargs="+", help="setup, all, or test names: " + ", ".join(TESTS))
    args = parser.parse_args()
    ctx = harness.Context(args)
    ctx.mono = args.mono
    ctx.dotnet_host = args.dotnet_host and os.path.abspath(args.dotnet_host)
    ctx.c_host = args.c_host and os.path.abspath(args.c_host)
    ctx.windows_builds = [os.path.abspath(build) for build in args.windows_builds]
    ctx.build_python, ctx.nuget, ctx.mcs = args.build_python, args.nuget, args.mcs
    ctx.python, ctx.python_library, ctx.installed = sys.executable, None, False
    return harness.drive(parser, ctx, args.what, TESTS)


if __name__ == "__main__":
    sys.exit(main())
