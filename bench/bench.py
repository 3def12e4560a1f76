#!/usr/bin/env python3
"""Benchmarks of the library under Wine against cardemu paced at 9600 baud.

Prints a table of figures; asserts nothing about them (a run whose calls fail is
reported as such). Drives cardtool.exe, presskey.exe and cardemu through the
harness (harness/qt741_harness.py), in the Wine prefix of the end-to-end
configuration of the same build. --arch picks the build from the harness's
table: x86_64 (the default, wine64), x86 (the shipped DLL with the i686
cardtool.exe under 32-bit Wine on qemu-i386) or linux (the Linux cardtool and
libQT741DLL.so without Wine: Escape is typed on cardtool's terminal, and probe,
a Windows program, is left out); the harness's options override its choices.

    bench.py [--arch ARCH] [--builds DIR] [paths] [--runs N] [--wait S] [what...]
        what: clock, ops, escape, cpu, probe (default: all)

  ops     each card function's time from call to return (cardtool --precise),
          against the line time of the bytes it exchanged plus the pauses and
          read time-outs the library must wait out
  escape  Escape (presskey) while RadTr1Card waits: to the call's return and to
          the reset frame's arrival at the emulator
  cpu     processor time while RadTr1Card waits S seconds (default 10) for the
          swipe: cardtool's process, the wineserver, Wine's other processes
  clock   Wine's QueryPerformanceCounter against CLOCK_MONOTONIC_RAW and
          CLOCK_MONOTONIC
  probe   the pieces of the library's waits on their own (probe.exe): Sleep(2),
          GetAsyncKeyState, and a status answer read with the library's
          time-outs, waited for on its event and polled every 2 ms
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "harness"))

import qt741_harness as harness  # noqa: E402  (prefix, processes, emulator log)

BYTE_MS = 10 * 1000.0 / 9600  # 10 bits a byte at 9600 baud
INTERVAL_MS = 50  # read interval time-out that ends every reply read
# What the library waits after a write frame before it asks for the status.
PAUSE_MS = {"WrTr1Card": 100, "WrTr2Card": 50, "WrTr12Card": 100}

# Realistic track data: track 1 of 76 characters, track 2 of 37, sentinels included.
TRACK1 = "%B4111111111111111^DOE/JOHN                  ^25121010000000000000000000000?"
TRACK2 = ";4111111111111111=251210100000000000?"
assert len(TRACK1) == 76 and len(TRACK2) == 37

# (cardtool command, call, what a read must deliver)
OPERATIONS = [
    (["write", "1", TRACK1], "WrTr1Card", None),
    (["write", "2", TRACK2], "WrTr2Card", None),
    (["write", "12", TRACK1, TRACK2], "WrTr12Card", None),
    (["read", "1"], "RadTr1Card", {"track": TRACK1}),
    (["read", "2"], "RadTr2Card", {"track": TRACK2}),
    (["read", "12"], "RadTr12Card", {"track 1": TRACK1, "track 2": TRACK2}),
    (["status", "read"], "IsReadError", None),
    (["status", "write"], "IsWriteError", None),
    (["reset"], "CardReset", None),
]


def raw_minus_monotonic():
    """CLOCK_MONOTONIC_RAW minus CLOCK_MONOTONIC now (they drift apart by the NTP slew)."""
    best = None
    for _ in range(5):
        a = time.clock_gettime(time.CLOCK_MONOTONIC)
        r = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
        b = time.clock_gettime(time.CLOCK_MONOTONIC)
        if best is None or b - a < best[0]:
            best = (b - a, r - (a + b) / 2)
    return best[1]


def spread(values, unit="", digits=1):
    """median [min - max]"""
    if not values:
        return "no data"
    f = "%%.%df" % digits
    return (f + "%s [" + f + " - " + f + "]") % (statistics.median(values), unit, min(values), max(values))


class Bench:
    def __init__(self, ctx, runs, wait, probe_exe):
        self.ctx = ctx
        # cardtool's clock: Wine's QueryPerformanceCounter is CLOCK_MONOTONIC_RAW;
        # the Linux cardtool reads CLOCK_MONOTONIC.
        self.clock_name = "CLOCK_MONOTONIC" if ctx.native else "CLOCK_MONOTONIC_RAW"
        self.probe_exe = probe_exe
        self.runs = runs
        self.wait = wait
        self.bridge = False  # --arch bridge: the calls go through cardbridge
        self.client = "python"  # --client: its client, bridge_client.py or bridge_client.mjs

    def begin(self, name):
        harness.begin(self.ctx, name)

    def end(self):
        harness.stop_processes(self.ctx)

    def problem(self, text):
        print("  ! " + text)
        sys.stdout.flush()

    # -- the emulator's log on cardtool's clock -----------------------------------

    def log_zero(self, emu):
        """The log's time 0 on cardtool's clock (the emulator logs it at start)."""
        line = emu.wait_log(r"clock: time 0 is", 5)
        return float(line.split(self.clock_name + " ")[1].split()[0])

    @staticmethod
    def log_frames(emu, zero):
        """[(time on cardtool's clock, RX|TX, byte count, hex)] from the log."""
        out = []
        for line in emu.log():
            m = harness.LOG_FRAME.match(line)
            if m:
                out.append((zero + float(m.group("t")), m.group("dir"), len(m.group("hex").split()), m.group("hex")))
        return out

    # -- clock ---------------------------------------------------------------------

    def clock(self):
        """How Wine's QueryPerformanceCounter relates to the Linux clocks: cardtool
        prints the counter, the harness notes the line's arrival on both clocks.
        Arrival minus counter is the counter's offset plus the pipe's latency."""
        self.begin("clock")
        try:
            emu = harness.Emulator(self.ctx, "--no-pacing")
            samples = 40
            offset = raw_minus_monotonic()
            tool = harness.Cardtool(self.ctx, "COM5", *(["clock", "sleep", "20"] * samples))
            tool.finish(60)
            with tool.cond:
                lines = list(tool.lines)
            to_raw, to_mono = [], []
            for seen, line in lines:
                if line.startswith("  clock: "):
                    qpc = float(line.split()[1])
                    to_mono.append((seen - qpc) * 1000)
                    to_raw.append((seen + offset - qpc) * 1000)
            emu.stop()
        finally:
            self.end()
        print("\n%s (%d readings; line arrival minus counter, ms):" % (
            "cardtool's clock" if self.ctx.native else "Wine's QueryPerformanceCounter", len(to_raw)))
        print("  CLOCK_MONOTONIC_RAW - counter  %s" % spread(to_raw, " ms", 3))
        print("  CLOCK_MONOTONIC     - counter  %s" % spread(to_mono, " ms", 3))
        print("  CLOCK_MONOTONIC_RAW - CLOCK_MONOTONIC now: %.3f ms" % (offset * 1000))
        return {"raw": to_raw, "mono": to_mono, "raw_minus_mono": offset * 1000}

    # -- ops -----------------------------------------------------------------------

    def ops(self):
        results = {op[1]: [] for op in OPERATIONS}
        floors = {}
        self.parts = {op[1]: [] for op in OPERATIONS}
        for run in range(self.runs):
            self.begin("ops-%d" % run)
            try:
                self.ops_run(results, floors)
            except harness.Failure as e:
                self.problem("run %d: %s" % (run, e))
            finally:
                self.end()
        print("\nOperations (%d runs; cardemu paced at 9600 baud, swipe at once; times in ms):" % self.runs)
        print("  line floor: every byte both ways at 10 bits/9600 baud + the library's pauses + 50 ms per reply "
              "read\n  pty floor: the same without the bytes the host sends (a pty takes them at once)")
        head = "  %-12s %8s %10s %9s   %-27s %8s %8s" % (
            "call", "out/in B", "line floor", "pty floor", "measured: median [min - max]", "/line", "/pty")
        print(head)
        table = []
        for _, call, _ in OPERATIONS:
            times = results[call]
            if call not in floors or not times:
                print("  %-12s no successful run" % call)
                continue
            sent, received, line_floor, pty_floor = floors[call]
            med = statistics.median(times)
            print("  %-12s %8s %10.1f %9.1f   %-27s %8.3f %8.3f" % (
                call, "%d/%d" % (sent, received), line_floor, pty_floor, spread(times, "", 2), med / line_floor,
                med / pty_floor if pty_floor > 0 else float("nan")))
            table.append((call, sent, received, line_floor, pty_floor, times))
        print("\n  Time beyond the pty floor, median [min - max] in ms:")
        print("  %-12s %-24s %-26s %-24s" % (
            "call", "call -> first frame in", "last reply byte -> return", "total beyond the floor"))
        print("  %-12s %-24s %-26s %-24s" % ("", "", "(beyond the 50 ms)", ""))
        for _, call, _ in OPERATIONS:
            parts = self.parts[call]
            if not parts:
                continue
            tails = [p[1] for p in parts if p[1] is not None]
            print("  %-12s %-24s %-26s %-24s" % (call, spread([p[0] for p in parts], "", 2),
                                                 spread(tails, "", 2) if tails else "-",
                                                 spread([p[2] for p in parts], "", 2)))
        return table

    def ops_run(self, results, floors):
        emu = harness.Emulator(self.ctx, "--swipe-delay", "0", card=None)
        zero = self.log_zero(emu)
        commands = []
        for words, _, _ in OPERATIONS:
            commands += words + ["sleep", "100"]
        tool = self.bridge_client(commands) if self.bridge else harness.Cardtool(self.ctx, "COM5", *commands,
                                                                                  options=["--precise"])
        tool.finish(60)
        calls = [c for c in tool.calls() if c.call not in ("CreatmComm", "DestroymComm")]
        frames = self.log_frames(emu, zero)
        if len(calls) != len(OPERATIONS):
            raise harness.Failure("cardtool made %d calls: %s" % (len(calls), calls))
        for (words, name, data), call in zip(OPERATIONS, calls):
            if call.call != name or call.code != harness.CARD_OK or call.clock is None:
                self.problem("%s returned %d; left out" % (call.call, call.code))
                continue
            if data is not None and call.data != data:
                self.problem("%s delivered %s; left out" % (name, call.data))
                continue
            start, end = call.clock
            # The emulator logs a frame once it has read it, natively up to a few ms after a
            # call that only sends has returned; the next call starts 100 ms later.
            mine = [f for f in frames if start <= f[0] <= end + 0.05]
            sent = sum(f[2] for f in mine if f[1] == "RX")
            if sent == 0:
                self.problem("%s: no frame of it in the emulator's log; left out" % name)
                continue
            received = sum(f[2] for f in mine if f[1] == "TX")
            replies = sum(1 for f in mine if f[1] == "TX")
            pauses = PAUSE_MS.get(name, 0) + INTERVAL_MS * replies
            line_floor = (sent + received) * BYTE_MS + pauses
            pty_floor = received * BYTE_MS + pauses
            known = floors.get(name)
            if known is not None and known[:2] != (sent, received):
                self.problem("%s exchanged %d/%d bytes, another run %d/%d" % (name, sent, received, *known[:2]))
            floors[name] = (sent, received, line_floor, pty_floor)
            results[name].append((end - start) * 1000)
            # Where the time beyond the pty floor goes: from the call to its first
            # frame at the device, and from the last reply byte on the line to the
            # return (beyond the 50 ms interval time-out that must pass there).
            first_rx = min(f[0] for f in mine if f[1] == "RX")
            replies_tx = [f for f in mine if f[1] == "TX"]
            tail = None
            if replies_tx:
                last = replies_tx[-1]
                tail = (end - (last[0] + last[2] * BYTE_MS / 1000)) * 1000 - INTERVAL_MS
            over = (end - start) * 1000 - pty_floor
            self.parts[name].append(((first_rx - start) * 1000, tail, over))

    def bridge_client(self, commands):
        """--arch bridge: cardbridge (linux-native) on the emulator's port, and the client that makes
        cardtool's calls over one WebSocket and prints them as cardtool --precise does."""
        with open(os.path.join(self.ctx.work, "token"), "w") as f:
            f.write("bench-token-0123456789\n")
        program = os.path.join(self.ctx.native, "bridge", "cardbridge")
        bridge = harness.Process(self.ctx, "cardbridge", [program, "--serial", self.ctx.port("COM5"), "--listen",
                                                          "127.0.0.1:0", "--token-file", "token"])
        _, _, m = bridge.wait_line(r"listening on http://(\S+)/", 30)
        here = os.path.dirname(os.path.abspath(__file__))
        url = "ws://%s/v1" % m.group(1)
        if self.client == "node":
            modules = os.path.join(harness.BUILD, "npm", "browser", "node_modules")
            argv = ["node", os.path.join(here, "bridge_client.mjs"), modules]
        else:  # Debian's python3-websocket is for Debian's python3
            argv = ["/usr/bin/python3", os.path.join(here, "bridge_client.py")]
        tool = harness.Process(self.ctx, "client", argv + [url, "bench-token-0123456789"] + commands)
        tool.calls = lambda: harness.Cardtool.calls(tool)
        return tool

    # -- escape --------------------------------------------------------------------

    def escape(self):
        self.begin("escape")
        to_return, to_reset, send_input = [], [], []
        try:
            emu = harness.Emulator(self.ctx, "--swipe", "manual")
            zero = self.log_zero(emu)
            # The pause lets the key come up before the next read starts.
            tool = harness.Cardtool(self.ctx, "COM5", *(["read", "1", "sleep", "700"] * self.runs),
                                    options=["--precise"])
            with harness.Steering(tool, 60):
                index = 0
                for run in range(self.runs):
                    emu.wait_frame(harness.READ1, 20, count=run + 1)
                    key, before, after = self.press_escape()
                    index = tool.wait_call("RadTr1Card", 10, start=index).index + 1
                    if key is not None:
                        key.finish(20)
                    emu.wait_frame(harness.RESET, 5, count=run + 1)
                    # Parsed again so that the clock line after the call is in.
                    call = [c for c in tool.calls() if c.call == "RadTr1Card"][run]
                    if call.code != harness.CARD_CANCELLED or call.clock is None:
                        self.problem("run %d: RadTr1Card returned %d" % (run, call.code))
                        continue
                    resets = [f for f in self.log_frames(emu, zero) if f[1] == "RX" and f[3] == harness.RESET]
                    to_return.append((call.clock[1] - before) * 1000)
                    to_reset.append((resets[run][0] - before) * 1000)
                    send_input.append((after - before) * 1000)
        except harness.Failure as e:
            self.problem("escape: %s" % e)
        finally:
            self.end()
        key = "the write of Escape to cardtool's terminal" if self.ctx.native else "presskey's SendInput"
        print("\nEscape while RadTr1Card waits (%d presses; from just before %s, ms):" % (len(to_return), key))
        print("  to the call's return          %s" % spread(to_return, " ms", 2))
        print("  to the reset frame's arrival  %s" % spread(to_reset, " ms", 2))
        print("  (which itself took            %s)" % spread(send_input, " ms", 2))
        print("  each, to the return (sorted): %s" % " ".join("%.1f" % v for v in sorted(to_return)))
        return {"return": to_return, "reset": to_reset, "sendinput": send_input}

    def press_escape(self):
        """Escape 200 ms from now: (presskey, and the times just before and after
        the key went down on cardtool's clock). Natively it is typed here, on the
        terminal cardtool watches for it, and there is no presskey."""
        if self.ctx.native:
            time.sleep(0.2)
            before = time.clock_gettime(time.CLOCK_MONOTONIC)
            os.write(self.ctx.terminal, b"\x1b")
            return None, before, time.clock_gettime(time.CLOCK_MONOTONIC)
        key = harness.presskey(self.ctx, 200)
        key.wait_line(r"^pressed$", 20)
        _, _, m = key.wait_line(r"^  clock: (\S+) (\S+)$", 5)
        return key, float(m.group(1)), float(m.group(2))

    # -- cpu -----------------------------------------------------------------------

    # -- probe ---------------------------------------------------------------------

    def probe(self):
        """The Win32 pieces the library's waits are made of (bench/probe.cpp)."""
        self.begin("probe")
        values = {}
        try:
            emu = harness.Emulator(self.ctx)  # paced
            proc = harness.Process(self.ctx, "probe",
                                   [self.ctx.wine64, self.probe_exe, "COM5", str(10 * self.runs)], env=self.ctx.env())
            proc.finish(120)
            for line in proc.output().splitlines():
                name, _, value = line.partition(" ")
                try:
                    values.setdefault(name, []).append(float(value))
                except ValueError:
                    self.problem("probe: " + line)
            emu.stop()
        finally:
            self.end()
        answer = 2 * BYTE_MS
        print("\nThe pieces of a wait under Wine (probe.exe), median [min - max] in ms:")
        print("  Sleep(2)                                 %s" % spread(values.get("sleep2", []), "", 3))
        print("  GetAsyncKeyState                         %s" % spread(values.get("keystate", []), "", 3))
        for key, how in (("waited", "waited on its event"), ("polled", "polled every 2 ms")):
            late = [v - answer - INTERVAL_MS for v in values.get(key, []) if v >= 0]
            failed = sum(1 for v in values.get(key, []) if v < 0)
            print("  status answer read, %-20s %s beyond 2.08 + 50 ms%s" % (
                how, spread(late, "", 3), " (%d failed)" % failed if failed else ""))
        return values

    def wine_processes(self):
        """{pid: kind} of the prefix's processes: "server" or "other"."""
        out = {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environ = f.read().split(b"\0")
                with open("/proc/%s/comm" % entry) as f:
                    comm = f.read().strip()
            except OSError:
                continue
            if ("WINEPREFIX=" + self.ctx.prefix).encode() not in environ:
                continue
            out[int(entry)] = "server" if comm.startswith("wineserver") else comm
        return out

    @staticmethod
    def cpu_seconds(pid):
        """User + system time of a process, all its threads, dead ones included."""
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            return None
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def cpu(self):
        """Two cases side by side: cardtool waiting in RadTr1Card for the swipe, and
        cardtool idle in Sleep with the port open (the baseline of the prefix)."""
        cases = (("waiting in RadTr1Card", ["cpu", "read", "1", "cpu"]),
                 ("idle in Sleep", ["cpu", "sleep", str(int(self.wait * 1000 + 1000)), "cpu"]))
        shares = {}
        for run in range(self.runs):
            for case, commands in cases:
                self.begin("cpu-%d" % run)
                try:
                    self.cpu_run(case, commands, shares)
                except harness.Failure as e:
                    self.problem("cpu run %d (%s): %s" % (run, case, e))
                finally:
                    self.end()
        print("\nProcessor time over %g s, %% of one core (%d runs), median [min - max]:" % (self.wait, self.runs))
        rows = sorted({row for case in shares.values() for row in case}, key=lambda r: (r.startswith("  "), r))
        rows = [r for r in rows if not r.startswith("  ")] + [r for r in rows if r.startswith("  ")]
        print("  %-28s %-24s %-24s" % ("", cases[0][0], cases[1][0]))
        for row in rows:
            print("  %-28s %-24s %-24s" % (row, spread(shares.get(cases[0][0], {}).get(row, []), " %", 2),
                                           spread(shares.get(cases[1][0], {}).get(row, []), " %", 2)))
        return shares

    def cpu_run(self, case, commands, shares):
        table = shares.setdefault(case, {})

        def note(row, value):
            table.setdefault(row, []).append(value)

        emu = harness.Emulator(self.ctx, "--swipe", "manual")
        tool = harness.Cardtool(self.ctx, "COM5", *commands, options=["--precise"])
        waiting = "read" in commands
        with harness.Steering(tool, self.wait + 30):
            if waiting:
                emu.wait_frame(harness.READ1, 20)
            else:
                tool.wait_line(r"^  sleeping", 20)
            pids = self.wine_processes()
            pids.pop(tool.proc.pid, None)
            first = {pid: self.cpu_seconds(pid) for pid in list(pids) + [tool.proc.pid]}
            started = time.monotonic()
            time.sleep(self.wait)
            last = {pid: self.cpu_seconds(pid) for pid in first}
            elapsed = time.monotonic() - started
            if waiting:
                emu.command("swipe")
                tool.wait_call("RadTr1Card", 10)

        def used(kinds):
            return sum(last[p] - first[p] for p, k in pids.items()
                       if k in kinds and first[p] is not None and last[p] is not None)

        note("cardtool (/proc)", 100 * (last[tool.proc.pid] - first[tool.proc.pid]) / elapsed)
        names = set(pids.values()) - {"server"}
        if not self.ctx.native:
            note("wineserver (/proc)", 100 * used({"server"}) / elapsed)
            note("other Wine processes (/proc)", 100 * used(names) / elapsed)
            for name in names:
                note("  " + name, 100 * used({name}) / elapsed)
        reported = [line for line in tool.output().splitlines() if line.startswith("  cpu: ")]
        if len(reported) != 2:
            self.problem("%s: cardtool printed %s" % (case, reported))
            return
        a, b = [float(x.split()[1]) + float(x.split()[4]) for x in reported]
        if waiting:
            call = [c for c in tool.calls() if c.call == "RadTr1Card"][0]
            if call.code != harness.CARD_OK:
                self.problem("%s: RadTr1Card returned %d" % (case, call.code))
                return
            span = call.ms / 1000
        else:
            span = self.wait + 1
        note("cardtool (%s)" % ("getrusage" if self.ctx.native else "GetProcessTimes"), 100 * (b - a) / span)


BENCHMARKS = ("clock", "ops", "escape", "cpu", "probe")


def e2e_prefix(arch, builds):
    """The Wine prefix of the end-to-end configuration of the same build (made by
    the harness's setup when missing)."""
    return os.path.join(builds, "sim", "tests", "e2e", arch.e2e_prefix or "wineprefix")


def bench_work(arch, builds):
    return os.path.join(builds, arch.emulator, "tests", "bench" + arch.tag, "work")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness.harness_arguments(parser, os.path.join("bench", "work"))
    arch = harness.arch_arguments(parser, sys.argv[1:], e2e_prefix, bench_work)
    parser.add_argument("--probe", help="probe.exe (default: in the bench folder of the build cardtool runs from)")
    parser.add_argument("--client", choices=("python", "node"), default="python",
                        help="--arch bridge: the WebSocket client, blocking (python3-websocket) or Node.js's ws")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--wait", type=float, default=10.0, help="seconds the cpu benchmark waits for the swipe")
    parser.add_argument("what", nargs="*", default=list(BENCHMARKS))
    args = parser.parse_args()
    unknown = [w for w in args.what if w not in BENCHMARKS]
    if unknown:
        parser.error("unknown benchmark(s): %s" % ", ".join(unknown))
    ctx = harness.Context(args)
    if ctx.loader_check:
        ready = harness.loader_ready(ctx.wine64)
        if ready != 0:
            return ready
    if harness.setup(ctx) != 0:
        return 1
    probe = args.probe or os.path.join(args.builds, arch.tools, "bench", "probe.exe")
    system = "Linux %s, no Wine" % os.uname().release if ctx.native else wine_version(ctx)
    print("machine: %d cores, %s; %s" % (os.cpu_count(), cpu_model(), system))
    bench = Bench(ctx, args.runs, args.wait, os.path.abspath(probe))
    bench.bridge = arch is harness.ARCHES["bridge"]
    bench.client = args.client
    busy = {} if ctx.native else bench.wine_processes()
    if busy:
        print("the Wine prefix is in use (%s); run again when the other job is done" %
              ", ".join("%s %d" % (name, pid) for pid, name in sorted(busy.items())))
        return 1
    if not ctx.native:
        harness.start_wineserver(ctx)
    try:
        for what in args.what:
            if ctx.native and what == "probe":
                print("\nprobe: a Windows program; left out natively")
                continue
            if bench.bridge and what != "ops":
                print("\n%s: the library's own; left out through the bridge (--arch linux measures it)" % what)
                continue
            getattr(bench, what)()
    finally:
        harness.cleanup(ctx)
    return 0


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


def wine_version(ctx):
    import subprocess
    out = subprocess.run([ctx.wine64, "--version"], stdout=subprocess.PIPE, text=True, env=ctx.env())
    return out.stdout.strip()


if __name__ == "__main__":
    sys.exit(main())
