#!/usr/bin/env python3
"""The Node.js binding (bindings/node) under Wine, against cardemu.

The Windows build of Node.js, with koffi's Windows prebuilt, runs node_host.js,
which loads the binding over QT741DLL.dll and makes the calls it is given; the
harness (harness/qt741_harness.py) supplies the emulator, the Wine prefix and
the Escape key. One configuration is a Node.js folder from install-deps.sh
(build/npm/ARCH), a Windows build (its DLL and presskey.exe) and a Wine loader:

    node_host.py --node-dir build/npm/win32-x64 [harness paths] setup|cleanup|TEST...

npm_cycle: the cycle on the npm package, packed from --package-builds and
installed by npm into a fresh temporary folder; with --native BUILD by Linux's
Node.js, without Wine. The package must state the project's version
(--project-version) and the MIT license.
"""
import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "harness"))
import qt741_harness as harness  # noqa: E402
from native_hosts import expect_package  # noqa: E402
from qt741_harness import (CARD_CANCELLED, CARD_NOT_OPEN, CARD_OK, LONG1, READ1, READ2, READ12, RESET,  # noqa: E402
                           STATUS, TRACK1, TRACK2, Emulator, Process, Steering, presskey, write_frame)

MODULE = os.path.join(harness.SOURCE, "bindings", "node")


def windows_path(path):
    """The prefix's Z: drive is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class NodeHost(Process):
    """node_host.js with the given commands; its calls are read from a results file."""

    def __init__(self, ctx, *commands):
        self.results_path = os.path.join(ctx.work, "results.jsonl")
        env = ctx.env()
        local = (lambda path: path) if ctx.native else windows_path
        env["NODE_PATH"] = local(ctx.node_modules)
        # No module: the installed package; no DLL: load() with no path.
        argv = (["node"] if ctx.native else [ctx.wine64, ctx.node]) + [
            local(os.path.join(HERE, "node_host.js")), local(ctx.module) if ctx.module else "qt741",
            local(ctx.node_dll) if ctx.node_dll else "-", local(self.results_path)] + list(commands)
        super().__init__(ctx, "node", argv, env=env)

    def results(self):
        try:
            with open(self.results_path) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def dump(self):
        return Process.dump(self) + "----- node results\n%s\n" % "\n".join(map(json.dumps, self.results()))


def expect_results(ctx, host, expected):
    """Compares the calls made with [(call, result, tracks read)]."""
    got = []
    results = host.results()
    ctx.require(results and results[0].get("host") == ctx.node_arch,
                "node_host.js ran as %s, expected %s" % (results[:1], ctx.node_arch))
    for entry in results[1:]:
        ctx.require("error" not in entry, "node_host.js failed: %s" % entry.get("error"))
        tracks = {k: v for k, v in entry.items() if k.startswith("track")}
        got.append((entry["call"], entry["result"], tracks))
    ctx.expect(got == expected, "calls: got %s, expected %s" % (got, expected))


def test_cycle(ctx):
    """Writes both tracks and reads them back, with blocking calls and through
    promises; then the longest track 1 a write takes, and back."""
    emu = Emulator(ctx, card=("BLANK", "BLANK"))
    host = NodeHost(ctx, "open", ctx.port("COM5"), "write12", TRACK1, TRACK2, "read12", "promises", "read1", "read2",
                    "write1", LONG1, "read1", "close")
    code = host.finish(120)
    ctx.expect(code == 0, "node exit code %s" % code)
    expect_results(ctx, host, [("CreatmComm", 1, {}), ("WrTr12Card", CARD_OK, {}),
                               ("RadTr12Card", CARD_OK, {"track1": TRACK1, "track2": TRACK2}),
                               ("RadTr1Card", CARD_OK, {"track1": TRACK1}),
                               ("RadTr2Card", CARD_OK, {"track2": TRACK2}),
                               ("WrTr1Card", CARD_OK, {}), ("RadTr1Card", CARD_OK, {"track1": LONG1}),
                               ("DestroymComm", 1, {})])
    harness.expect_frames(ctx, emu, [write_frame(TRACK1, TRACK2), STATUS, READ12, STATUS, READ1, STATUS, READ2,
                                     STATUS, write_frame(LONG1, None), STATUS, READ1, STATUS])
    ctx.expect(emu.card() == (LONG1, TRACK2), "card file holds %s" % (emu.card(),))
    return host


def test_missing_port(ctx):
    """A port that does not exist: minus the system error, and the card functions refuse."""
    com7 = ctx.dosdevice("com7")
    if os.path.lexists(com7):
        os.unlink(com7)
    emu = Emulator(ctx)
    host = NodeHost(ctx, "open", "COM7", "status", "read", "read1", "close")
    code = host.finish(60)
    ctx.expect(code == 0, "node exit code %s" % code)
    expect_results(ctx, host, [("CreatmComm", -2, {}), ("IsReadError", CARD_NOT_OPEN, {}),
                               ("RadTr1Card", CARD_NOT_OPEN, {"track1": ""}), ("DestroymComm", 1, {})])
    harness.expect_frames(ctx, emu, [])


def test_escape(ctx):
    """Escape while a read (through promises) waits for the swipe: cancelled, device reset."""
    emu = Emulator(ctx, "--swipe", "manual")
    host = NodeHost(ctx, "open", "COM5", "promises", "read1", "close")
    with Steering(host, 30):
        emu.wait_frame(READ1, 60)  # Node.js starting under Wine takes a few seconds
        key = presskey(ctx, 300)
        key.wait_line(r"^pressed$", 20)
        emu.wait_frame(RESET, 10)
        key.finish(20)
    ctx.expect(host.proc.returncode == 0, "node exit code %s" % host.proc.returncode)
    expect_results(ctx, host, [("CreatmComm", 1, {}), ("RadTr1Card", CARD_CANCELLED, {"track1": ""}),
                               ("DestroymComm", 1, {})])
    harness.expect_frames(ctx, emu, [READ1, RESET])


def test_npm_cycle(ctx):
    """load() with no path picks the package's library for the process."""
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([harness.SOURCE + "/package/node/pack.sh", tmp, *ctx.package_builds], check=True)
        expect_package(ctx, tmp + "/qt741-*.tgz")
        system = "linux" if ctx.native else "win32"
        subprocess.run(["npm", "install", "--prefix", tmp, "--no-audit", "--no-fund", "--prefer-offline",
                        "--os=" + system, "--cpu=" + ctx.node_arch, *glob.glob(tmp + "/qt741-*.tgz")], check=True)
        if not ctx.native:
            # npm before 10 ignores --os and --cpu: koffi's Windows build is then asked for by name.
            with open(tmp + "/node_modules/koffi/package.json") as f:
                prebuild = "@koromix/koffi-%s-%s@%s" % (system, ctx.node_arch, json.load(f)["version"])
            subprocess.run(["npm", "install", "--prefix", tmp, "--no-save", "--no-audit", "--no-fund", "--force",
                            "--ignore-scripts", "--prefer-offline", prebuild], check=True)
        ctx.module, ctx.node_modules, ctx.node_dll = None, tmp + "/node_modules", None
        library = "%s/node_modules/qt741/prebuilds/%s-%s/%s" % (tmp, system, ctx.node_arch,
                                                                "libQT741DLL.so.1" if ctx.native else "QT741DLL.dll")
        ctx.expect(test_cycle(ctx).results()[0]["library"] == (library if ctx.native else windows_path(library)),
                   "not the package's library")


TESTS = {"cycle": test_cycle, "missing_port": test_missing_port, "escape": test_escape,
         "npm_cycle": test_npm_cycle}


def setup(ctx):
    """The end-to-end prefix setup, then Windows 10 as the prefix's version: Node.js
    refuses to start on Wine's default."""
    if not os.path.exists(ctx.node):
        print("missing %s: run scripts/install-deps.sh" % ctx.node)
        return 1
    if not os.path.exists(ctx.node_dll):
        print("missing %s: build its preset" % ctx.node_dll)
        return 1
    code = harness.setup(ctx)
    if code:
        return code
    marker = os.path.join(ctx.prefix, "qt741-win10")
    if not os.path.exists(marker):
        for argv in ([ctx.wine64, "winecfg", "-v", "win10"], [ctx.wineserver, "-w"]):
            result = subprocess.run(argv, env=ctx.env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            if result.returncode:
                print("%s: exit %d\n%s" % (" ".join(argv), result.returncode, result.stdout.decode(errors="replace")))
                return 1
        open(marker, "w").close()
        print("Wine prefix set to Windows 10")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness.harness_arguments(parser, os.path.join("bindings", "work"), os.path.join("bindings", "wineprefix"))
    parser.add_argument("--node-dir", default=os.path.join(harness.SOURCE, "build", "npm", "win32-x64"),
                        help="npm folder with node-win-* and koffi (install-deps.sh)")
    parser.add_argument("--package-builds", nargs=3, default=[], help="windows-x86-msvc, x64 and linux-native builds")
    parser.add_argument("what", nargs="+", help="setup, cleanup, all, or test names: " + ", ".join(TESTS))
    args = parser.parse_args()
    ctx = harness.Context(args)
    ctx.node_dir = os.path.abspath(args.node_dir)
    ctx.module, ctx.node_modules, ctx.package_builds = MODULE, ctx.node_dir + "/node_modules", args.package_builds
    found = glob.glob(os.path.join(ctx.node_dir, "node_modules", "node-win-*", "bin", "node.exe"))
    ctx.node = found[0] if found else os.path.join(ctx.node_dir, "node_modules", "node-win-*", "bin", "node.exe")
    # The process.arch that Node.js build reports.
    ctx.node_arch = "ia32" if "node-win-x86" in ctx.node and not ctx.native else "x64"
    # The DLL Node.js loads: --dll, or the Windows build's own.
    ctx.node_dll = ctx.dll or os.path.join(ctx.windows_dir, "library", "QT741DLL.dll")
    return harness.drive(parser, ctx, args.what, TESTS, setup)


if __name__ == "__main__":
    sys.exit(main())
