#!/usr/bin/env python3
"""The desk application (carddesk.exe) in a real window.

Under Xvfb and Wine, against cardemu, the window is driven through the window
system as a person would: xdotool types into its fields and presses its keys
(the mnemonics, Escape, the Cancel button), and what the window says is read
back through the clipboard (its "Copy log" button, Ctrl+C in a field) with
xclip. COM5 is one of the Wine prefix's ports (HKLM\\Software\\Wine\\Ports,
pointing at the emulator's link), so the system lists it as it would a port
of the machine's.

    desk_test.py [paths] setup      build check, Wine prefix (created once), COM5 among its ports
    desk_test.py [paths] cleanup    stop the prefix's wineserver
    desk_test.py [paths] desk       the scenario; a screenshot of the window goes to WORK/desk/desk.png

With --dll, carddesk.exe is copied into WORK/tools beside that DLL (the
shipped one), which Windows then loads for it.

Standard library only (python3 >= 3.9).
"""
import argparse
import filecmp
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "harness"))

from qt741_harness import (READ12, RESET, STATUS, Context, Emulator, Failure, Process, drive,  # noqa: E402
                           expect_frames, harness_arguments, make_prefix, write_frame)

TITLE = "Card desk"
TRACK1 = "%B4111111111111111^DOE/JOHN^2512101?"
TRACK2 = ";4111111111111111=2512101?"
TOOLS = ("Xvfb", "xdotool", "xclip", "import")
# What the clipboard holds while a field's text is being copied.
SENTINEL = "desk_test: the field's text has not arrived"


class DeskContext(Context):
    """The harness's context with the desk's program and ports: COM5 is a link
    in the work folder that the prefix's port list names (setup)."""

    def __init__(self, args):
        super().__init__(args)
        self.desk_dir = os.path.join(self.work_root, "tools") if self.dll else os.path.join(self.windows_dir, "desk")
        self.desk = os.path.join(self.desk_dir, "carddesk.exe")
        self.display = None
        self.log = ""  # the window's log as last copied

    def dosdevice(self, name):
        return os.path.join(self.work_root, name.lower())

    def x(self, *argv, timeout=20, check=True):
        """Runs an X client (xdotool, xclip, import) on the test's display."""
        env = dict(os.environ, DISPLAY=self.display)
        result = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        if check and result.returncode != 0:
            raise Failure("%s: exit %d: %s" % (" ".join(argv), result.returncode, result.stderr.decode().strip()))
        return result.stdout.decode("utf-8", "replace")

    def keys(self, *keys):
        self.x("xdotool", "key", "--clearmodifiers", "--delay", "60", *keys)

    def type(self, text):
        self.x("xdotool", "type", "--clearmodifiers", "--delay", "30", text)

    def clipboard(self):
        result = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=dict(os.environ, DISPLAY=self.display),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
        return result.stdout.decode("utf-8", "replace").replace("\r\n", "\n") if result.returncode == 0 else ""

    def wait_log(self, pattern, timeout=30, count=1):
        """Copies the window's log (Alt+Y, "Copy log") until `count` lines match; the log."""
        regex = re.compile(pattern, re.MULTILINE)
        deadline = time.monotonic() + timeout
        while True:
            self.keys("alt+y")
            log = self.log = self.clipboard()
            if len(regex.findall(log)) >= count:
                return log
            if time.monotonic() > deadline:
                raise Failure("the window's log has %d line(s) matching /%s/ after %.0f s, wanted %d:\n%s" %
                              (len(regex.findall(log)), pattern, timeout, count, log))
            time.sleep(0.3)

    def set_clipboard(self, text, timeout=10):
        """Puts `text` into the clipboard: xclip stays in the background as its owner until a copy in the
        window takes it over. Waits until the clipboard reads back as `text`."""
        subprocess.run(["xclip", "-i", "-selection", "clipboard"], input=text.encode(), check=True,
                       env=dict(os.environ, DISPLAY=self.display), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=10)
        self.wait_clipboard(lambda held: held == text, timeout, "%r put there" % text)

    def wait_clipboard(self, done, timeout, wanted):
        """Reads the clipboard until done(its text) holds; that text."""
        deadline = time.monotonic() + timeout
        while True:
            held = self.clipboard()
            if done(held):
                return held
            if time.monotonic() > deadline:
                raise Failure("the clipboard holds %r after %.0f s, not %s" % (held, timeout, wanted))
            time.sleep(0.1)

    def field(self, mnemonic, timeout=10):
        """A track field's text: its mnemonic focuses it, Ctrl+A and Ctrl+C copy it. The clipboard holds a
        sentinel first, so a copy that has not arrived yet is waited for, and one that never comes fails,
        instead of the clipboard's earlier text being taken for the field's."""
        self.set_clipboard(SENTINEL)
        self.keys(mnemonic, "ctrl+a", "ctrl+c")
        return self.wait_clipboard(lambda held: held != SENTINEL, timeout,
                                   "the text of the field %s focuses (Ctrl+C copied nothing)" % mnemonic)


def start_display(ctx):
    """Xvfb on a display number it picks itself; its number."""
    xvfb = Process(ctx, "Xvfb", ["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"])
    _, _, m = xvfb.wait_line(r"^(\d+)$", 20)
    ctx.display = ":" + m.group(1)
    return xvfb


def test_desk(ctx):
    """Lists the ports, opens COM5, writes both tracks typed into the fields,
    reads them back into the fields, cancels a read with Escape and one with the
    Cancel button, closes the port, fails to open a missing COM7, and ends."""
    com7 = os.path.join(ctx.prefix, "dosdevices", "com7")
    if os.path.lexists(com7):
        os.unlink(com7)
    emu = Emulator(ctx, "--swipe", "manual", card=None)
    xvfb = start_display(ctx)
    desk = Process(ctx, "carddesk", [ctx.wine64, ctx.desk], env=dict(ctx.env(), DISPLAY=ctx.display))
    try:
        window = ctx.x("xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % TITLE, timeout=60).split()[0]
        ctx.x("xdotool", "windowfocus", "--sync", window)
        ctx.keys("alt+h")  # Refresh
        ctx.wait_log(r"^Serial ports: (.*, )?COM5\b", count=2)

        ctx.keys("alt+p")
        ctx.type("COM5")
        ctx.keys("alt+o")
        ctx.wait_log(r'^[\d:.]+  CreatmComm\("COM5"\) -> 1: open \[\d+ ms\]$')

        ctx.keys("alt+1")
        ctx.type(TRACK1)
        ctx.keys("alt+2")
        ctx.type(TRACK2)
        ctx.keys("alt+w")
        emu.wait_frame(write_frame(TRACK1, TRACK2), 20)
        emu.command("swipe")
        ctx.wait_log(r"^[\d:.]+  WrTr12Card\(.*\) -> 1: done")

        # Other text in the fields, which the read replaces.
        ctx.keys("alt+1")
        ctx.type("X")
        ctx.keys("alt+2")
        ctx.type("Y")
        typed = ctx.field("alt+1")
        ctx.require(typed == "X", "track 1's field holds %r, not the X typed" % typed)
        ctx.keys("alt+r")
        emu.wait_frame(READ12, 20)
        emu.command("swipe")
        log = ctx.wait_log(r"^ +matches what was written$")
        ctx.expect('track 1: "%s"' % TRACK1 in log and 'track 2: "%s"' % TRACK2 in log, "the log shows other tracks read")
        ctx.x("import", "-window", window, os.path.join(ctx.work, "desk.png"))
        for mnemonic, track in (("alt+1", TRACK1), ("alt+2", TRACK2)):
            held = ctx.field(mnemonic)
            ctx.expect(held == track, "the field of %s holds %r, not %r" % (mnemonic, held, track))

        # A read cancelled by Escape, then one by the Cancel button (which has the focus while a call waits).
        for count, key in ((2, "Escape"), (3, "space")):
            ctx.keys("alt+r")
            emu.wait_frame(READ12, 20, count=count)
            ctx.keys(key)
            ctx.wait_log(r"^[\d:.]+  RadTr12Card -> -5: cancelled", count=count - 1)
            emu.wait_frame(RESET, 10, count=count - 1)
        # Both cancels, Escape's and the Cancel button's.
        ctx.wait_log(r"^[\d:.]+  CardCancel -> 1: ", count=2)

        ctx.keys("alt+c")
        ctx.wait_log(r"^[\d:.]+  DestroymComm -> 1: closed")
        ctx.keys("alt+p")
        ctx.type("COM7")
        ctx.keys("alt+o")
        ctx.wait_log(r'^[\d:.]+  CreatmComm\("COM7"\) -> -2: the port does not exist \(system error 2: ')
        ctx.keys("alt+F4")
        ctx.expect(desk.finish(30) == 0, "carddesk.exe did not end with exit code 0 after Alt+F4")
    finally:
        with open(os.path.join(ctx.work, "desk.log"), "w") as f:
            f.write(ctx.log)
        # Wine's programs leave the display before it goes.
        subprocess.run([ctx.wineserver, "-k"], env=ctx.env(), timeout=60)
        if xvfb.proc.poll() is None:
            xvfb.proc.send_signal(signal.SIGTERM)
            xvfb.finish(10)
    expect_frames(ctx, emu, [write_frame(TRACK1, TRACK2), STATUS, READ12, STATUS, READ12, RESET, READ12, RESET])
    ctx.expect(emu.card() == (TRACK1, TRACK2), "the card holds %s" % (emu.card(),))


def place_desk(ctx):
    """With --dll: carddesk.exe beside a copy of that DLL. False, saying what, when a file is missing."""
    built = os.path.join(ctx.windows_dir, "desk", "carddesk.exe")
    needed = [built, ctx.dll] if ctx.dll else []
    needed += [ctx.desk, os.path.join(ctx.desk_dir, "QT741DLL.dll"), ctx.cardemu]
    for path in needed:
        if ctx.dll and path in (built, ctx.dll) and os.path.exists(path):
            os.makedirs(ctx.desk_dir, exist_ok=True)
            target = os.path.join(ctx.desk_dir, os.path.basename(path))
            if not os.path.exists(target) or not filecmp.cmp(path, target, shallow=False):
                shutil.copy2(path, target)
        if not os.path.exists(path):
            print("missing %s: build its preset (and cardemu) first" % path)
            return False
    return True


def setup(ctx):
    """The build and the X tools, the prefix (once), and COM5 in the prefix's
    port list pointing at the emulator's link in the work folder."""
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        print("missing %s: run scripts/install-deps.sh" % ", ".join(missing))
        return 1
    if not place_desk(ctx) or make_prefix(ctx) != 0:
        return 1
    print("testing %s with %s" % (ctx.desk, os.path.realpath(os.path.join(ctx.desk_dir, "QT741DLL.dll"))))
    link = ctx.dosdevice("com5")
    result = subprocess.run([ctx.wine64, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM5", "/d", link, "/f"],
                            env=ctx.env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    # The registry is saved when the server exits; the next one lists COM5.
    subprocess.run([ctx.wineserver, "-w"], env=ctx.env(), timeout=120)
    if result.returncode != 0:
        print("reg add HKLM\\Software\\Wine\\Ports COM5: exit %d\n%s" % (result.returncode, result.stdout.decode()))
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    harness_arguments(parser, os.path.join("desk", "work"), prefix=os.path.join("desk", "wineprefix"))
    parser.add_argument("what", nargs="+", help="setup, cleanup or desk")
    args = parser.parse_args()
    ctx = DeskContext(args)
    if args.what not in (["setup"], ["cleanup"]) and not place_desk(ctx):
        return 1
    return drive(parser, ctx, args.what, {"desk": test_desk}, prepare=setup)


if __name__ == "__main__":
    sys.exit(main())
