"""QT741DLL.dll (Windows) and libQT741DLL.so (Linux) for Python hosts, through ctypes.

    import qt741
    card = qt741.load()               # the library beside this file, or load(r"C:\\path\\QT741DLL.dll")
    if card.CreatmComm("COM5") == 1:  # on Linux also a device path, e.g. "/dev/ttyUSB0"
        result, track1, track2 = card.RadTr12Card()   # waits for a swipe; Escape or CardCancel ends it
        card.DestroymComm()

A 32-bit Python on Windows loads the 32-bit QT741DLL.dll, a 64-bit Python the
x86_64 one. Each call blocks until the device answers; CardCancel, called from
another thread, ends the wait. Track data is ASCII.
"""
import ctypes
import enum
import os
import sys

# The library's file, and how its functions are called: __stdcall on Windows.
if sys.platform == "win32":
    LIBRARY = "QT741DLL.dll"
    _LOADER = ctypes.WinDLL
else:
    LIBRARY = "libQT741DLL.so.1"  # the soname
    _LOADER = ctypes.CDLL


class CardResult(enum.IntEnum):
    """Results of the card functions."""
    CARD_OK = 1
    CARD_NOT_OPEN = -1
    CARD_IO_FAILED = -4
    CARD_CANCELLED = -5
    CARD_BUSY = -6  # another thread's call was under way: refused, nothing sent


# Read buffers' sizes, terminator included; the longest track each holds is one less.
CARD_TRACK1_BUFFER_SIZE = 397
CARD_TRACK2_BUFFER_SIZE = 396
CARD_TRACKS_BUFFER_SIZE = 300

_TEXT = ctypes.c_char_p
_BUFFER = ctypes.POINTER(ctypes.c_char)  # a writable buffer the library fills
_ARGUMENTS = {
    "CreatmComm": [_TEXT],
    "DestroymComm": [],
    "CardReset": [],
    "IsReadError": [],
    "IsWriteError": [],
    "WrTr1Card": [_TEXT],
    "WrTr2Card": [_TEXT],
    "WrTr12Card": [_TEXT, _TEXT],
    "RadTr1Card": [_BUFFER],
    "RadTr2Card": [_BUFFER],
    "RadTr12Card": [_BUFFER, _BUFFER],
    "CardCancel": [],
}


def _ansi(text):
    """A str as the library's single-byte string; bytes and None as they are."""
    return text.encode("ascii") if isinstance(text, str) else text


def _result(code):
    """A card function's result as a CardResult (an int it does not name stays an int)."""
    try:
        return CardResult(code)
    except ValueError:
        return code


class QT741:
    """The twelve functions; strings in, strings out, card results as CardResult."""

    def __init__(self, path):
        self.dll = _LOADER(path)
        for name, arguments in _ARGUMENTS.items():
            function = getattr(self.dll, name)
            function.argtypes = arguments
            function.restype = ctypes.c_int

    def CreatmComm(self, port):
        """1: open; 0: out of resources; negative: minus the system error (-2: no
        such port); other positive: open but not configured."""
        return self.dll.CreatmComm(_ansi(port))

    def DestroymComm(self):
        """1: closed (or was not open); 0: closing failed."""
        return self.dll.DestroymComm()

    def CardReset(self):
        return _result(self.dll.CardReset())

    def IsReadError(self):
        return _result(self.dll.IsReadError())

    def IsWriteError(self):
        return _result(self.dll.IsWriteError())

    def WrTr1Card(self, track1):
        return _result(self.dll.WrTr1Card(_ansi(track1)))

    def WrTr2Card(self, track2):
        return _result(self.dll.WrTr2Card(_ansi(track2)))

    def WrTr12Card(self, track1, track2):
        return _result(self.dll.WrTr12Card(_ansi(track1), _ansi(track2)))

    def RadTr1Card(self):
        """(result, track 1)"""
        track1 = ctypes.create_string_buffer(CARD_TRACK1_BUFFER_SIZE)
        result = self.dll.RadTr1Card(track1)
        return _result(result), track1.value.decode("latin-1")

    def RadTr2Card(self):
        """(result, track 2)"""
        track2 = ctypes.create_string_buffer(CARD_TRACK2_BUFFER_SIZE)
        result = self.dll.RadTr2Card(track2)
        return _result(result), track2.value.decode("latin-1")

    def RadTr12Card(self):
        """(result, track 1, track 2)"""
        track1 = ctypes.create_string_buffer(CARD_TRACKS_BUFFER_SIZE)
        track2 = ctypes.create_string_buffer(CARD_TRACKS_BUFFER_SIZE)
        result = self.dll.RadTr12Card(track1, track2)
        return _result(result), track1.value.decode("latin-1"), track2.value.decode("latin-1")


    def CardCancel(self):
        """Ends the wait of the call another thread is in, as Escape does: that call
        returns CARD_CANCELLED. A request made while no call waits is dropped when
        the next call starts. Returns 1. ctypes releases the GIL during calls, so
        a second Python thread can make it while the first waits."""
        return self.dll.CardCancel()


def load(path=None):
    """Loads the library from `path`, or from beside this file (QT741DLL.dll on
    Windows, libQT741DLL.so.1 on Linux)."""
    return QT741(path or os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY))
