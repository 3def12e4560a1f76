#!/usr/bin/env python3
"""cardbridge against cardemu, through the harness.

Natively (--native, the linux-native build): `browser`, Debian's chromium driven by
puppeteer-core through qt741-web (clients.mjs); `rows`, the refusals and malformed
input over HTTP and WebSocket (clients.mjs); `flags`, the command line. Under Wine
(the windows-x64 build): `wine`, cardbridge.exe answering GET /v1/info and calls,
and --install/--uninstall in the Run key.

    bridge_test.py --native BUILD --cardemu CARDEMU --node NODE --modules DIR --work DIR browser|rows|flags
    bridge_test.py --windows-dir BUILD --cardemu CARDEMU --prefix DIR --work DIR setup|wine|cleanup

Standard library only (python3 >= 3.9).
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "harness"))

from qt741_harness import (RESET, Context, Emulator, Failure, Process, drive, harness_arguments,  # noqa: E402
                           make_prefix)

TOKEN = "test-token-0123456789abcdef"
TRACK_DIGITS = "4111111111111111"  # in both tracks clients.mjs writes and reads
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"


class BridgeContext(Context):
    def __init__(self, args):
        super().__init__(args)
        self.node = args.node
        self.modules = args.modules
        self.chromium = args.chromium
        self.screenshot = args.screenshot
        if self.native:
            self.bridge = os.path.join(self.native, "bridge", "cardbridge")
        else:
            self.bridge = os.path.join(self.windows_dir, "bridge", "cardbridge.exe")
        if self.dll:  # cardbridge.exe beside another DLL (the shipped one), as in the release archive
            self.bridge = os.path.join(self.work_root, "tools", "cardbridge.exe")
            os.makedirs(os.path.dirname(self.bridge), exist_ok=True)
            for source in (os.path.join(self.windows_dir, "bridge", "cardbridge.exe"), self.dll):
                shutil.copy2(source, os.path.dirname(self.bridge))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_bridge(ctx, *options, name="cardbridge", listen="127.0.0.1:0"):
    """cardbridge on a free loopback port with the token file; its log is WORK/NAME.stderr."""
    with open(os.path.join(ctx.work, "token"), "w") as f:
        f.write(TOKEN + "\n")
    argv = ctx.command(ctx.bridge, "--listen", listen, *options)
    proc = Process(ctx, name, argv, env=ctx.env())
    _, _, m = proc.wait_line(r"listening on (http://\S+)", 60)
    return proc, m.group(1)


def bridge_log(proc, *expected, timeout=5):
    """The bridge's log, once it holds each of `expected` (a call's line is written
    just after its response) or `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        with open(proc.stderr_path, errors="replace") as f:
            log = f.read()
        if all(e in log for e in expected) or time.monotonic() > deadline:
            return log
        time.sleep(0.02)


def stop_bridge(ctx, proc):
    """SIGTERM (systemd's stop) ends it at once, with status 0, and no sanitizer
    in a build with one (the io threads, tests/bridge/CMakeLists.txt) reported anything."""
    proc.proc.terminate()
    code = proc.finish(10)
    log = bridge_log(proc)
    ctx.expect(code == 0 and "stopping (signal 15)" in log, "%s: SIGTERM: exit %s, no clean stop" % (proc.name, code))
    ctx.expect("Sanitizer" not in log, "%s: a sanitizer's report in its log" % proc.name)


def get(url, headers=None, body=None):
    """(status, parsed JSON body) of one request."""
    request = urllib.request.Request(url, data=body, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as res:
            return res.status, json.loads(res.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"{}")


def run_clients(ctx, what, options):
    """clients.mjs WHAT; each of its FAIL lines is a failure."""
    result = subprocess.run([ctx.node, os.path.join(HERE, "clients.mjs"), what, json.dumps(options)], cwd=ctx.work,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=240)
    print(result.stdout)
    for line in result.stdout.splitlines():
        if line.startswith("FAIL"):
            ctx.failures.append(line)
    ctx.expect(result.returncode == 0 or ctx.failures, "clients.mjs %s: exit %d" % (what, result.returncode))


def client_options(ctx, url, emu, **more):
    options = {"modules": ctx.modules, "bridge": url, "token": TOKEN, "emulatorLog": emu.log_path,
               "web": os.path.join(SOURCE, "bindings", "web", "qt741-web.js")}
    options.update(more)
    return options


def test_browser(ctx):
    fifo = os.path.join(ctx.work, "control")
    emu = Emulator(ctx, "--swipe", "manual", "--control", fifo)
    app = free_port()
    bridge, url = start_bridge(ctx, "--serial", ctx.port("COM5"), "--allow-origin", "http://localhost:%d" % app,
                               "--token-file", "token")
    with tempfile.TemporaryDirectory(prefix="qt741-chromium-") as profile:  # a fresh --user-data-dir
        run_clients(ctx, "browser", client_options(ctx, url, emu, control=fifo, appPort=app, chromium=ctx.chromium,
                                                   profile=profile, screenshot=ctx.screenshot))
    log = bridge_log(bridge, "RadTr12Card -> -5", "closed the connection")
    ctx.expect("refused origin http://127.0.0.1:%d: not allowed" % app in log,
               "the log does not name the refused origin")
    ctx.expect(TRACK_DIGITS not in log, "track data in the log without --log-tracks")
    ctx.expect("RadTr12Card -> -5" in log and "closed the connection" in log,
               "the log does not show the closed tab's read cancelled")
    stop_bridge(ctx, bridge)


def test_rows(ctx):
    emu = Emulator(ctx, "--swipe", "manual")
    origin = "https://pms.example.com"
    bridge, url = start_bridge(ctx, "--serial", ctx.port("COM5"), "--allow-origin", origin, "--token-file", "token")
    run_clients(ctx, "rows", client_options(ctx, url, emu, origin=origin))
    log = bridge_log(bridge)
    ctx.expect("refused origin https://evil.example" in log, "the log does not name the refused origin")
    ctx.expect("xxxxxxxx" not in log, "request text in the log")
    stop_bridge(ctx, bridge)


# The command line: each refused with one line and exit status 2.
BAD_FLAGS = [
    ([], "no --serial PORT"),
    (["--serial"], "--serial needs a value"),
    (["--serial", "x", "--listen", "0.0.0.0:8741"], "loopback interface only"),
    (["--serial", "x", "--listen", "192.168.1.10"], "loopback interface only"),
    (["--serial", "x", "--listen", "127.0.0.1:70000"], "no such port"),
    (["--serial", "x", "--allow-origin", "https://pms.example.com/"], "exactly scheme://host[:port]"),
    (["--serial", "x", "--allow-origin", "null"], "exactly scheme://host[:port]"),
    (["--serial", "x", "--allow-origin", "https://PMS.example.com"], "lower case"),
    (["--serial", "x", "--token-file", "missing"], "cannot be read"),
    (["--serial", "x", "--token-file", "short"], "16 to 256 characters"),
    (["--serial", "x", "--verbose"], "unknown option --verbose"),
    (["--serial", "x", "--install"], "are for Windows"),
]


def test_flags(ctx):
    with open(os.path.join(ctx.work, "short"), "w") as f:
        f.write("abc\n")
    for flags, message in BAD_FLAGS:
        result = subprocess.run([ctx.bridge] + flags, cwd=ctx.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=30)
        lines = result.stderr.splitlines()
        ctx.expect(result.returncode == 2 and len(lines) == 1 and lines[0].startswith("cardbridge: ") and
                   message in lines[0], "%s: exit %d, %r" % (flags, result.returncode, result.stderr))
    # Without --token-file local programs are refused, whatever they send. Two
    # ports: none is opened at start.
    bridge, url = start_bridge(ctx, "--serial", "./none1", "--serial", "./none2")
    status, body = get(url + "v1/info", {"Authorization": "Bearer " + TOKEN})
    ctx.expect(status == 401 and body.get("error", {}).get("code") == "forbidden",
               "no token file: GET /v1/info gave %d %s" % (status, body))
    ctx.expect("local programs need --token-file" in bridge_log(bridge), "the log does not say why")
    # On IPv6's loopback: the address it prints is [::1]'s, and Host [::1]:PORT is accepted there.
    bridge, url = start_bridge(ctx, "--serial", "./none1", "--token-file", "token", listen="[::1]:0", name="ipv6")
    status, body = get(url + "v1/info", {"Authorization": "Bearer " + TOKEN})
    ctx.expect(url.startswith("http://[::1]:") and status == 200 and body.get("ports") == ["./none1"],
               "--listen [::1]:0: %s, GET /v1/info gave %d %s" % (url, status, body))
    stop_bridge(ctx, bridge)
    # --log-tracks: the tracks go into the log (the library refuses the write: no port is open).
    bridge, url = start_bridge(ctx, "--serial", "./none1", "--serial", "./none2", "--token-file", "token",
                               "--log-tracks", name="logging")
    status, body = get(url + "v1/call", {"Authorization": "Bearer " + TOKEN},
                       b'{"id": 1, "call": "WrTr1Card", "track1": "%B4111^TRACK/LOGGED?"}')
    ctx.expect(status == 200 and body.get("result") == -1, "WrTr1Card on a closed port: %d %s" % (status, body))
    logged = 'WrTr1Card -> -1', 'track1="%B4111^TRACK/LOGGED?"'
    log = bridge_log(bridge, *logged)
    ctx.expect(all(text in log for text in logged), "--log-tracks: the track is not in the log")
    stop_bridge(ctx, bridge)


def test_wine(ctx):
    emu = Emulator(ctx)
    bridge, url = start_bridge(ctx, "--serial", "COM5", "--token-file", "token")
    auth = {"Authorization": "Bearer " + TOKEN}
    status, info = get(url + "v1/info", auth)
    ctx.expect(status == 200 and info.get("ports") == ["COM5"] and info.get("open") is True and
               str(info.get("libraryVersion")).startswith(ctx.project_version or "") and info.get("protocol") == 1,
               "GET /v1/info: %d %s" % (status, info))
    status, reset = get(url + "v1/call", auth, b'{"id": 1, "call": "CardReset"}')
    ctx.expect(status == 200 and reset.get("result") == 1, "CardReset: %d %s" % (status, reset))
    emu.wait_frame(RESET, 10)
    status, timed = get(url + "v1/call", auth, b'{"id": 2, "call": "RadTr1Card", "timeoutMs": 300}')
    ctx.expect(status == 200 and timed.get("result") == -5 and timed.get("timedOut") is True,
               "RadTr1Card with timeoutMs 300: %d %s" % (status, timed))
    emu.wait_frame(RESET, 10, count=2)
    bridge.kill()

    def run(*args):
        return subprocess.run(ctx.command(*args), cwd=ctx.work, env=ctx.env(), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=60)

    installed = run(ctx.bridge, "--install", "--serial", "COM5", "--token-file", "token")
    query = run("reg", "query", RUN_KEY, "/v", "cardbridge")
    ctx.expect(installed.returncode == 0 and "cardbridge.exe" in query.stdout and "--serial COM5" in query.stdout and
               "--no-console" in query.stdout and ":\\" in query.stdout.split("--token-file", 1)[-1],
               "--install: %s\nreg query: %s" % (installed.stdout, query.stdout))
    removed = run(ctx.bridge, "--uninstall")
    query = run("reg", "query", RUN_KEY, "/v", "cardbridge")
    ctx.expect(removed.returncode == 0 and query.returncode != 0 and "cardbridge.exe" not in query.stdout,
               "--uninstall: %s\nreg query: %s" % (removed.stdout, query.stdout))


TESTS = {"browser": test_browser, "rows": test_rows, "flags": test_flags, "wine": test_wine}


def setup(ctx):
    if not os.path.exists(ctx.bridge) or not os.path.exists(ctx.cardemu):
        print("missing %s or %s: build the bridge's preset and cardemu first" % (ctx.bridge, ctx.cardemu))
        return 1
    return 0 if ctx.native else make_prefix(ctx)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness_arguments(parser, os.path.join("bridge", "work"))
    parser.add_argument("--node", default="node")
    parser.add_argument("--modules", default=os.path.join(SOURCE, "build", "npm", "browser", "node_modules"),
                        help="the folder of puppeteer-core and ws (scripts/install-deps.sh)")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--screenshot", help="browser: where the bridge's page's screenshot goes")
    parser.add_argument("what", nargs="+", help="setup, cleanup, or tests: %s" % ", ".join(TESTS))
    args = parser.parse_args()
    ctx = BridgeContext(args)
    tests = {name: test for name, test in TESTS.items() if (name == "wine") != bool(ctx.native)}
    try:
        return drive(parser, ctx, args.what, tests, prepare=setup)
    except Failure as e:
        print(e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
