#!/usr/bin/env python3
"""The demo: cardtool through a whole card cycle against cardemu.

Starts the emulator with a blank card (it swipes the card itself 300 ms after
each command) and runs cardtool: open the port, write both tracks, read them
back, reset, close; each call is printed with its result and its time. Passes
(exit 0) when cardtool succeeded and the tracks read back are the tracks
written. --arch picks the build from the harness's table (scripts/demo.sh
builds it first):

    demo.py                the x86_64 MinGW build under wine64
    demo.py --arch x86     the shipped DLL (windows-x86-msvc), loaded by the i686 cardtool.exe
                           (windows-x86), under 32-bit Wine on qemu-i386 (scripts/wine32)
    demo.py --arch linux   libQT741DLL.so with the Linux cardtool (linux-native), no Wine

Its files (the card file, the emulator's log, cardtool's output, the Wine
prefixes) are in build/demo/.
"""
import argparse
import os
import sys

import qt741_harness as harness

TRACK1 = "%B4111111111111111^DEMO/CARD^2512101000000000000?"
TRACK2 = ";4111111111111111=25121010000000000?"


def demo_prefix(arch, builds):
    return os.path.join(harness.BUILD, "demo", "wineprefix" + arch.tag)


def demo_work(arch, builds):
    return os.path.join(harness.BUILD, "demo")


def relative(path):
    return os.path.relpath(path, harness.SOURCE)


def run(ctx, arch_name, arch):
    """The cycle; True when it passed."""
    if not harness.check_build(ctx):
        return False
    if not ctx.native:
        if not os.path.exists(os.path.join(ctx.prefix, "system.reg")):
            print("== creating a Wine prefix for the demo (once, %s)" % arch.boot, flush=True)
            if harness.make_prefix(ctx) != 0:
                return False
        harness.start_wineserver(ctx)
    harness.begin(ctx, arch_name)
    try:
        status, tracks = cycle(ctx, arch_name)
    except harness.Failure as e:
        ctx.failures.append(str(e))
        status, tracks = None, {}
    read1, read2 = tracks.get("track 1", ""), tracks.get("track 2", "")
    if status == 0 and (read1, read2) == (TRACK1, TRACK2) and not ctx.failures:
        print("== demo passed: the tracks read back are the tracks written")
        return True
    print('== demo FAILED: cardtool exit %s; read back "%s" / "%s"' % (status, read1, read2), file=sys.stderr)
    for failure in ctx.failures:
        print("  - " + failure, file=sys.stderr)
    for proc in ctx.notes:
        print(proc.dump(), file=sys.stderr)
    return False


def cycle(ctx, arch_name):
    """Runs cardtool through the cycle against a fresh emulator: (cardtool's exit
    code, the tracks its read delivered)."""
    print("== starting the device emulator (card file %s, swipes itself 300 ms after each command)" %
          relative(os.path.join(ctx.work, "card.txt")), flush=True)
    emu = harness.Emulator(ctx, card=("BLANK", "BLANK"))

    print("== cardtool --version (%s; %s)" % (arch_name, relative(harness.tested_library(ctx))), flush=True)
    version = harness.Process(ctx, "cardtool-version", ctx.command(ctx.cardtool, "--version"), env=ctx.env())
    version.follow(60)

    print("== cardtool COM5 write 12 ... read 12 reset", flush=True)
    tool = harness.Cardtool(ctx, "COM5", "write", "12", TRACK1, TRACK2, "read", "12", "reset")
    status = tool.follow(60)
    with open(os.path.join(ctx.work, "cardtool.out"), "w") as out:
        out.write(tool.output() + "\n")

    print("== frames the emulator received")
    for line in emu.log():
        if " RX " in line:
            print(line)
    print()
    reads = [call for call in tool.calls() if call.call == "RadTr12Card"]
    return status, reads[0].data if reads else {}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness.harness_arguments(parser, "demo")
    arch = harness.arch_arguments(parser, sys.argv[1:], demo_prefix, demo_work)
    args = parser.parse_args()
    ctx = harness.Context(args)
    if ctx.loader_check:
        ready = harness.loader_ready(ctx.wine64)
        if ready != 0:
            return ready
    try:
        passed = run(ctx, args.arch, arch)
    finally:
        harness.stop_processes(ctx)
        harness.cleanup(ctx)
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
