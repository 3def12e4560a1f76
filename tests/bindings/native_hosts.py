#!/usr/bin/env python3
"""The Python and C# bindings with real runtimes against libQT741DLL.so and cardemu.

python_host.py (CPython, ctypes CDLL) and CardHost.exe (Mono, DllImport
"QT741DLL" mapped to the soname by CardHost.exe.config) each run a whole cycle
(write both tracks, read them back, the status), and a read on a second thread
that CardCancel from the first ends; c_host (C, the public header) the same
cycle, and a read that a signal handler's CardCancel ends. The harness
(harness/qt741_harness.py, --native) supplies the emulator and the port links.
wheel_cycle and nupkg_cycle run the cycle on the wheel and the NuGet package,
each packed and installed into a fresh temporary folder; the host must load the
package's library, and the package must state the project's version
(--project-version) and the MIT license (tests/install/packages.py).

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
sys.path.insert(0, os.path.join(HERE, os.pardir, "install"))
import packages  # noqa: E402
import qt741_harness as harness  # noqa: E402
from qt741_harness import (CARD_CANCELLED, CARD_OK, READ1, READ12, RESET, STATUS, TRACK1, TRACK2,  # noqa: E402
                           Emulator, Process, Steering)


class Host(Process):
    """A binding's host program; its calls are its output lines."""

    def __init__(self, ctx, language, *argv, python=sys.executable, library=None, dotnet_host=None):
        env = dict(os.environ)
        library_dir = os.path.join(ctx.native, "library")
        if language == "python":
            command = [python, os.path.join(HERE, "python_host.py"),
                       library or os.path.join(library_dir, "libQT741DLL.so.1")] + list(argv)
        elif language == "c":
            command = [ctx.c_host] + list(argv)
        else:
            # The dllmap names the soname; the loader finds it on this path (an
            # installed package's: beside the program).
            env["LD_LIBRARY_PATH"] = "" if dotnet_host else library_dir
            command = [ctx.mono, dotnet_host or ctx.dotnet_host] + list(argv)
        super().__init__(ctx, language, command, env=env, stdin=subprocess.PIPE)

    def calls(self):
        return [tuple(int(f) if f.lstrip("-").isdigit() else f for f in line.split("\t"))
                for line in self.output().splitlines() if "\t" in line]


def cycle(ctx, language, **host_options):
    emu = Emulator(ctx, card=("BLANK", "BLANK"))
    host = Host(ctx, language, ctx.port("COM5"), "cycle", TRACK1, TRACK2, **host_options)
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


PYTHON = "/usr/bin/python3"  # Debian's, with python3-build and python3-venv


def wheel_cycle(ctx):
    """The wheel, installed by pip into a new venv: `import qt741` loads the library inside it."""
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([PYTHON, SOURCE + "/package/python/build_wheels.py", "--linux", ctx.native, "--out", tmp],
                       check=True)
        expect_package(ctx, tmp + "/*.whl")
        subprocess.run([PYTHON, "-m", "venv", tmp + "/venv"], check=True)
        subprocess.run([tmp + "/venv/bin/pip", "install", "--no-index", *glob.glob(tmp + "/*.whl")], check=True)
        host = cycle(ctx, "python", python=tmp + "/venv/bin/python", library="-")
        ctx.expect(re.search(r"^library %s/venv/lib/python3[.\d]*/site-packages/qt741/libQT741DLL\.so\.1$" % tmp,
                             host.output(), re.M), "the library loaded is not the package's")


def nupkg_cycle(ctx):
    """The NuGet package, installed by nuget; CardHost, built against its assembly, beside that and its library."""
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([SOURCE + "/package/dotnet/pack.sh", tmp + "/feed", *ctx.windows_builds, ctx.native], check=True)
        expect_package(ctx, tmp + "/feed/*.nupkg")
        subprocess.run(["nuget", "install", "QT741", "-Source", tmp + "/feed", "-OutputDirectory", tmp + "/packages"],
                       check=True)
        package, app = glob.glob(tmp + "/packages/QT741.*/")[0], tmp + "/app"
        os.mkdir(app)
        for path in ("lib/net45/QT741.dll", "runtimes/linux-x64/native/libQT741DLL.so"):
            shutil.copy(package + path, app)
        subprocess.run(["mcs", "-warnaserror+", "-r:%s/QT741.dll" % app, "-out:%s/CardHost.exe" % app,
                        HERE + "/CardHost.cs"], check=True)
        host = cycle(ctx, "dotnet", dotnet_host=app + "/CardHost.exe")
        ctx.expect(re.search(r"^library %s/libQT741DLL\.so$" % app, host.output(), re.M),
                   "the library loaded is not the package's %s/libQT741DLL.so" % app)


def expect_package(ctx, pattern):
    """The one package packed (pattern) states the project's version and the MIT license."""
    ctx.require(ctx.project_version is not None, "a package test needs --project-version")
    found = glob.glob(pattern)
    ctx.require(len(found) == 1, "packing wrote %s, expected one %s" % (found, pattern))
    problems = packages.problems(found[0], ctx.project_version)
    ctx.expect(not problems, "\n".join(problems))


SOURCE = os.path.dirname(os.path.dirname(HERE))
TESTS = {"%s_%s" % (language, name): (lambda test, language: lambda ctx: test(ctx, language))(test, language)
         for language in ("python", "dotnet", "c") for name, test in (("cycle", cycle), ("cancel", cancel))}
TESTS.update(wheel_cycle=wheel_cycle, nupkg_cycle=nupkg_cycle)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness.harness_arguments(parser, os.path.join("sim", "bindings"))
    parser.add_argument("--mono", default="mono")
    parser.add_argument("--dotnet-host", help="CardHost.exe, with CardHost.exe.config beside it")
    parser.add_argument("--c-host", help="c_host of the linux-native build")
    parser.add_argument("--windows-builds", nargs=2, help="the windows-x86-msvc and x64 builds, for the NuGet package")
    parser.add_argument("what", nargs="+", help="setup, all, or test names: " + ", ".join(TESTS))
    args = parser.parse_args()
    ctx = harness.Context(args)
    ctx.mono = args.mono
    ctx.dotnet_host = args.dotnet_host and os.path.abspath(args.dotnet_host)
    ctx.c_host = args.c_host and os.path.abspath(args.c_host)
    ctx.windows_builds = args.windows_builds or []
    return harness.drive(parser, ctx, args.what, TESTS)


if __name__ == "__main__":
    sys.exit(main())
