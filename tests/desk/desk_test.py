#!/usr/bin/env python3
"""The desk application (carddesk.exe) in a real window.

Under Xvfb and Wine, against cardemu, the window is driven through the window
system as a person would: xdotool types into its fields and presses its keys
(the mnemonics, Escape, the Cancel button), and what the window says is read
back through the clipboard (its "Copy log" button, Ctrl+C in a field) with
xclip; the file dialogs get their paths typed. COM5 and COM6 are among the
Wine prefix's ports (HKLM\\Software\\Wine\\Ports, pointing at links in the work
folder: the emulator's, and a pty's that nobody answers), so the system lists
them as it would ports of the machine's.

    desk_test.py [paths] setup      build check, Wine prefix (created once), COM5 and COM6 among its ports
    desk_test.py [paths] cleanup    stop the prefix's wineserver
    desk_test.py [paths] desk       the scenario; screenshots of the window go to WORK/desk/desk.png and,
                                    of a batch under way, WORK/desk/desk-batch.png

With --dll, carddesk.exe is copied into WORK/tools beside that DLL (the
shipped one), which Windows then loads for it.

Standard library only (python3 >= 3.9).
"""
import argparse
import csv
import filecmp
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "harness"))

from qt741_harness import (READ12, READ2, RESET, STATUS, Context, Emulator, Failure, Process, drive,  # noqa: E402
                           expect_frames, harness_arguments, make_prefix, write_frame)

TITLE = "Card desk"
PAN = "4111111111111111"
TRACK1 = "%%B%s^DOE/JOHN^2512101?" % PAN
TRACK2 = ";%s=2512101?" % PAN
# The log's form of those: lengths and the card number masked.
LOGGED1 = "[36 characters, card 411111******1111]"
LOGGED2 = "[26 characters, card 411111******1111]"
# A batch: (label, track 1, track 2). The file names its columns in an order of its own; the second row
# fails once (the emulator's badstatus fault), the third writes track 2 alone, the fourth is too long to write.
BATCH = [("Room 101, sea view", "%B5555555555554444^GUEST/ONE^3012101?", ";5555555555554444=3012101?"),
         ("Room 102 \u2013 S\u00fcd", "%B4012888888881881^GUEST/TWO^3012101?", ";4012888888881881=3012101?"),
         ("Room 103", "", ";4111111111111111=3012101?"),
         ("Too long", "%B" + "1" * 400, "")]
# A batch saved in ANSI (code page 1252): (label, track 2).
ANSI = [("Caf\u00e9 7", ";5555555555554444=3012101?"), ("Bar 8", ";4012888888881881=3012101?")]
TOOLS = ("Xvfb", "xdotool", "xclip", "import")
SETTINGS = r"HKCU\Software\QT741"
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
        """A field's text: its mnemonic focuses it, Ctrl+A and Ctrl+C copy it. The clipboard holds a
        sentinel first, so a copy that has not arrived yet is waited for, and one that never comes fails,
        instead of the clipboard's earlier text being taken for the field's."""
        self.set_clipboard(SENTINEL)
        self.keys(mnemonic, "ctrl+a", "ctrl+c")
        return self.wait_clipboard(lambda held: held != SENTINEL, timeout,
                                   "the text of the field %s focuses (Ctrl+C copied nothing)" % mnemonic)

    def file_dialog(self, keys, title, path, window):
        """Opens a file dialog with `keys`, types the path (under Z:, the root) into it and presses Enter;
        then gives the focus back to the desk's window."""
        self.keys(keys)
        dialog = self.x("xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % title, timeout=60).split()[0]
        self.x("xdotool", "windowfocus", "--sync", dialog)
        self.type("Z:" + path.replace("/", "\\"))
        self.keys("Return")
        deadline = time.monotonic() + 20
        while self.x("xdotool", "search", "--onlyvisible", "--name", "^%s$" % title, check=False).strip():
            if time.monotonic() > deadline:
                raise Failure("the dialog %r is still open 20 s after %s was typed into it and Enter pressed" %
                              (title, path))
            time.sleep(0.2)
        self.x("xdotool", "windowfocus", "--sync", window)


def start_display(ctx):
    """Xvfb on a display number it picks itself; its number."""
    xvfb = Process(ctx, "Xvfb", ["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"])
    _, _, m = xvfb.wait_line(r"^(\d+)$", 20)
    ctx.display = ":" + m.group(1)
    return xvfb


def test_desk(ctx):
    """Lists the ports, finds the encoder on COM5 (COM6 has nothing behind it)
    and opens it, refuses over-long tracks, writes both tracks typed into the
    fields, reads them back into the fields (the log shows no card number),
    cancels a read with Escape and one with the Cancel button, writes a batch
    with Verify (a row fails and is retried) and saves its results, closes the
    port, fails to open a missing COM7, ends, and has remembered its settings."""
    com7 = os.path.join(ctx.prefix, "dosdevices", "com7")
    if os.path.lexists(com7):
        os.unlink(com7)
    emu = Emulator(ctx, "--swipe", "manual", card=None)
    # COM6: a pty whose other side nobody reads or answers.
    silent, silent_tty = os.openpty()
    com6 = ctx.dosdevice("com6")
    if os.path.lexists(com6):
        os.unlink(com6)
    os.symlink(os.ttyname(silent_tty), com6)
    batch = os.path.join(ctx.work, "batch.csv")
    with open(batch, "w", encoding="utf-8", newline="") as f:
        csv.writer(f).writerows([("track2", "label", "track1")] + [(t2, label, t1) for label, t1, t2 in BATCH])
    results = os.path.join(ctx.work, "results.csv")
    ansi = os.path.join(ctx.work, "ansi.csv")
    frames = [write_frame(t1, t2) for _, t1, t2 in BATCH[:3]]
    ansi_frames = [write_frame("", t2) for _, t2 in ANSI]
    xvfb = start_display(ctx)
    # The settings of earlier runs go. Wine's first program here starts its desktop: on the display.
    subprocess.run([ctx.wine64, "reg", "delete", SETTINGS, "/f"], env=dict(ctx.env(), DISPLAY=ctx.display),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    desk = Process(ctx, "carddesk", [ctx.wine64, ctx.desk], env=dict(ctx.env(), DISPLAY=ctx.display))
    try:
        window = ctx.x("xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % TITLE, timeout=60).split()[0]
        ctx.x("xdotool", "windowfocus", "--sync", window)
        ctx.keys("alt+h")  # Refresh
        ctx.wait_log(r"^Serial ports: (.*, )?COM5, COM6\b", count=2)

        # Find selects COM5, which Open then opens. Behind COM6 this once something that is not an encoder answers.
        request = []
        threading.Thread(target=answer_once, args=(silent, b"\x1b\x41", request), daemon=True).start()
        ctx.keys("alt+i")
        ctx.wait_log(r"^ +COM6: something answered, but not as an encoder does \(1B 41\)$")
        ctx.expect(request == [b"\x1b\x6a"], "Find sent %s to COM6, not the status request 1B 6A" % request)
        mode = termios.tcgetattr(silent_tty)
        ctx.expect(mode[4] == termios.B9600 and mode[2] & (termios.CSIZE | termios.PARENB | termios.CSTOPB) ==
                   termios.CS8, "Find left COM6 at speed %s, flags %#o, not 9600 8N1" % (mode[4], mode[2]))
        ctx.wait_log(r"^[\d:.]+  Find: sends the two-byte status request \(1B 6A\) to (.*, )?COM5, COM6 ")
        ctx.wait_log(r"^ +COM5: an encoder answered \(1B 70\)$")
        ctx.keys("alt+o")
        ctx.wait_log(r'^[\d:.]+  CreatmComm\("COM5"\) -> 1: open \[\d+ ms\]$')
        # Find again leaves the port open in the window alone.
        ctx.keys("alt+i")
        ctx.wait_log(r"^ +COM6: no answer$")
        ctx.wait_log(r"^ +COM5: open in this window; not asked$")

        # Tracks the library would refuse are not sent.
        long1 = "%B" + "4" * 418
        ctx.set_clipboard(long1)
        ctx.keys("alt+1", "ctrl+a", "ctrl+v")
        ctx.require(ctx.field("alt+1") == long1, "the 420 characters pasted into track 1's field are not there")
        ctx.keys("alt+2")
        ctx.type(";" + "1" * 21 + "?")
        ctx.keys("alt+w")
        ctx.wait_log(r"^[\d:.]+  Not written: both tracks are 443 characters; the encoder takes 393\. "
                     r"Nothing was sent\.$")

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
        ctx.expect("track 1: %s\n" % LOGGED1 in log and "track 2: %s\n" % LOGGED2 in log,
                   "the log does not show the tracks read as %s and %s" % (LOGGED1, LOGGED2))
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

        # The batch, each card read back: the second fails once, and Retry writes it.
        ctx.keys("alt+v")
        ctx.file_dialog("alt+b", "Load a batch of cards", batch, window)
        ctx.wait_log(r"^ +row 4: Not written: track 1 is 402 characters; the encoder takes 394\.$")
        ctx.keys("alt+n")
        emu.wait_frame(frames[0], 20)
        emu.command("swipe")
        emu.wait_frame(READ12, 20, count=4)
        emu.command("swipe")
        emu.wait_frame(frames[1], 20)
        emu.command("fault badstatus")
        emu.command("swipe")
        ctx.wait_log(r"^[\d:.]+  WrTr12Card\(\[37 characters, card 401288\*\*\*\*\*\*1881\], \[26 characters, card "
                     r"401288\*\*\*\*\*\*1881\]\) -> -4: the device answered that the write failed \[")
        ctx.wait_log(r"^[\d:.]+  Batch: Card 2 of 4 failed: the device answered that the write failed\. Retry, Skip")
        emu.command("fault none")
        ctx.keys("alt+t")
        emu.wait_frame(frames[1], 20, count=2)
        emu.command("swipe")
        emu.wait_frame(READ12, 20, count=5)
        emu.command("swipe")
        emu.wait_frame(frames[2], 20)
        ctx.x("import", "-window", window, os.path.join(ctx.work, "desk-batch.png"))
        emu.command("swipe")
        emu.wait_frame(READ2, 20)
        emu.command("swipe")
        ctx.wait_log(r"^[\d:.]+  Batch: Done: 3 of 4 cards written and verified, 1 cannot be written\.$")
        expect_results(ctx, window, results, [(label, "written and verified", True) for label, _, _ in BATCH[:3]] +
                       [("Too long", "Not written: track 1 is 402 characters; the encoder takes 394.", False)])

        # A batch in ANSI, track 2 alone: paused while its first card is awaited, on again, stopped at the second.
        with open(ansi, "w", encoding="cp1252", newline="") as f:
            csv.writer(f).writerows([("label", "track2")] + ANSI)
        ctx.file_dialog("alt+b", "Load a batch of cards", ansi, window)
        ctx.wait_log(r"^[\d:.]+  Batch: 2 rows from ansi\.csv \(ANSI \(code page \d+\)\)$")
        ctx.keys("alt+n")
        emu.wait_frame(ansi_frames[0], 20)
        ctx.keys("alt+u")
        ctx.wait_log(r"^[\d:.]+  Batch: Paused before card 1 of 2\. Run goes on\.$")
        ctx.keys("alt+n")
        emu.wait_frame(ansi_frames[0], 20, count=2)
        emu.command("swipe")
        emu.wait_frame(READ2, 20, count=2)
        emu.command("swipe")
        emu.wait_frame(ansi_frames[1], 20)
        ctx.keys("alt+s")
        ctx.wait_log(r"^[\d:.]+  Batch: Stopped: 1 of 2 cards written and verified\. Run goes on from card 2 of 2\.$")
        expect_results(ctx, window, results.replace(".csv", "-ansi.csv"),
                       [(ANSI[0][0], "written and verified", True), (ANSI[1][0], "", False)])

        ctx.keys("alt+c")
        ctx.wait_log(r"^[\d:.]+  DestroymComm -> 1: closed")
        ctx.keys("alt+p")
        ctx.type("COM7")
        ctx.keys("alt+o")
        ctx.wait_log(r'^[\d:.]+  CreatmComm\("COM7"\) -> -2: the port does not exist \(system error 2: ')
        log = ctx.wait_log(r"^[\d:.]+  CreatmComm\(\"COM7\"\)")
        ctx.expect(PAN not in log, "the log shows the card number %s" % PAN)
        ctx.keys("alt+F4")
        ctx.expect(desk.finish(30) == 0, "carddesk.exe did not end with exit code 0 after Alt+F4")
        remembered = subprocess.run([ctx.wine64, "reg", "query", SETTINGS + r"\Card desk"], env=ctx.env(),
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120).stdout.decode()
        for value in (r"Port\s+REG_SZ\s+COM5", r"Verify\s+REG_DWORD\s+0x1", r"Window\s+REG_BINARY\s+[0-9A-F]{40}"):
            ctx.expect(re.search(value, remembered), "the settings saved lack /%s/:\n%s" % (value, remembered))
        # Started again, the window has COM5 in its port field, not the first port listed.
        desk = Process(ctx, "carddesk-again", [ctx.wine64, ctx.desk], env=dict(ctx.env(), DISPLAY=ctx.display))
        window = ctx.x("xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % TITLE, timeout=60).split()[0]
        ctx.x("xdotool", "windowfocus", "--sync", window)
        port = ctx.field("alt+p")
        ctx.expect(port == "COM5", "started again, the port's field holds %r, not the COM5 last opened" % port)
        ctx.keys("alt+F4")
        ctx.expect(desk.finish(30) == 0, "carddesk.exe, started again, did not end with exit code 0 after Alt+F4")
    finally:
        os.close(silent)
        os.close(silent_tty)
        with open(os.path.join(ctx.work, "desk.log"), "w") as f:
            f.write(ctx.log)
        # Wine's programs leave the display before it goes.
        subprocess.run([ctx.wineserver, "-k"], env=ctx.env(), timeout=60)
        if xvfb.proc.poll() is None:
            xvfb.proc.send_signal(signal.SIGTERM)
            xvfb.finish(10)
    batch_frames = [frames[0], STATUS, READ12, STATUS, frames[1], STATUS, frames[1], STATUS, READ12, STATUS,
                    frames[2], STATUS, READ2, STATUS]
    batch_frames += [ansi_frames[0], STATUS, RESET, ansi_frames[0], STATUS, READ2, STATUS, ansi_frames[1], STATUS, RESET]
    expect_frames(ctx, emu, [STATUS, write_frame(TRACK1, TRACK2), STATUS, READ12, STATUS, READ12, RESET, READ12, RESET]
                  + batch_frames)
    # The last card: track 1 as the second row left it, track 2 the ANSI batch's first.
    ctx.expect(emu.card() == (BATCH[1][1], ANSI[0][1]), "the card holds %s" % (emu.card(),))


def answer_once(fd, reply, request):
    """Reads a request of two bytes on a pty's master side, keeps it in `request` and answers `reply`."""
    data = b""
    while len(data) < 2 and select.select([fd], [], [], 60)[0]:
        data += os.read(fd, 16)
    request.append(data)
    os.write(fd, reply)


def expect_results(ctx, window, path, rows):
    """Saves the batch's results to `path` and compares the file with [(label, result, verified)]: each row
    with a result has the time it came."""
    ctx.file_dialog("alt+l", "Save the batch's results", path, window)
    ctx.wait_log(r"^[\d:.]+  Batch: results saved to .*\\%s$" % re.escape(os.path.basename(path)))
    with open(path, encoding="utf-8-sig", newline="") as f:
        got = list(csv.reader(f))
    expected = [["row", "label", "result", "time", "verified"]]
    expected += [[str(i + 1), label, result or "not done", "", "verified" if verified else ""]
                 for i, (label, result, verified) in enumerate(rows)]
    times = [row[3] if len(row) > 3 else "" for row in got[1:]]
    wanted = [r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$" if result.startswith(("written", "skipped")) else "^$"
              for _, result, _ in rows]
    ctx.expect(len(times) == len(wanted) and all(re.match(w, t) for w, t in zip(wanted, times)),
               "the results' times are %s" % times)
    got = got[:1] + [row[:3] + [""] + row[4:] if len(row) > 3 else row for row in got[1:]]
    ctx.expect(got == expected, "the results file holds %s, expected %s (times aside)" % (got, expected))


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
    for port in ("COM5", "COM6"):
        link = ctx.dosdevice(port.lower())
        result = subprocess.run([ctx.wine64, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", port, "/d", link, "/f"],
                                env=ctx.env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        # The registry is saved when the server exits; the next one lists the port.
        subprocess.run([ctx.wineserver, "-w"], env=ctx.env(), timeout=120)
        if result.returncode != 0:
            print("reg add HKLM\\Software\\Wine\\Ports %s: exit %d\n%s" % (port, result.returncode,
                                                                         result.stdout.decode()))
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
