#!/usr/bin/env python3
"""Writes the seed corpora under corpus/<target>/, in the input encodings that
the comments at the top of fuzz_replies.cpp and fuzz_calls.cpp describe: one
seed for each kind of reply, outcome and call sequence worth starting from."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Read modes and error indexes (fuzz::kErrors: 5 is ERROR_GEN_FAILURE, 8 ERROR_TIMEOUT).
AT_ONCE, FAIL, PENDING, PENDING_ERROR, DEVICE = range(5)
GEN_FAILURE, TIMEOUT = 5, 8


def read(mode, data=b"", delay=0, error=0):
    return bytes([mode, delay, error]) + struct.pack("<H", len(data)) + data


TRACK1 = b"\x1Bs%B4000123456789012^DOE/JOHN^2512?\x3F\x1C"
TRACK2 = b"\x1Bs\x1B;4000123456789012=2512?\x3F\x1C"
TRACKS = b"\x1Bs%B4000^DOE?\x1D;4000=2512?\x3F\x1C"
OK, NOT_OK = b"\x1Bp", b"\x1Bq"

# fuzz_replies: operation, Escape, then the reads.
R1, R2, R12, IS_READ, IS_WRITE = range(5)
replies = {
    "track1_at_once": bytes([R1, 0]) + read(AT_ONCE, TRACK1) + read(AT_ONCE, OK),
    "track2_pending": bytes([R2, 0]) + read(PENDING, TRACK2, 20) + read(AT_ONCE, OK),
    "tracks_bad_status": bytes([R12, 0]) + read(AT_ONCE, TRACKS) + read(AT_ONCE, NOT_OK),
    "tracks_past_capacity": bytes([R12, 0]) + read(AT_ONCE, b"\x1Bs" + b"a" * 350 + b"\x1D" + b"b" * 300) + read(AT_ONCE, OK),
    "track1_fails_with_bytes": bytes([R1, 0]) + read(FAIL, TRACK1, 0, GEN_FAILURE) + read(AT_ONCE, OK),
    "track2_completion_fails": bytes([R2, 0]) + read(PENDING_ERROR, b"", 30, TIMEOUT),
    "track1_from_device": bytes([R1, 0]) + read(DEVICE, TRACK1, 5) + read(DEVICE, OK, 5),
    "track1_full_1023": bytes([R1, 0]) + read(AT_ONCE, b"\x1Bs" + b"c" * 1021) + read(AT_ONCE, OK),
    "read_status_ok": bytes([IS_READ, 0]) + read(AT_ONCE, OK),
    "read_status_long": bytes([IS_READ, 0]) + read(AT_ONCE, b"123456789pXY"),
    "write_status_pending": bytes([IS_WRITE, 0]) + read(PENDING, b"p", 30),
    "write_status_escape": bytes([IS_WRITE, 10]) + read(PENDING, OK, 200),
    "tracks_escape": bytes([R12, 5]) + read(PENDING, TRACKS, 250),
}

# fuzz_calls: commands (see fuzz_calls.cpp).
(CREAT, DESTROY, RESET, IS_READ_ERROR, IS_WRITE_ERROR, WR1, WR2, WR12, RAD1, RAD2, RAD12, OPEN_OWN, OPEN_NAME,
 CLOSE, COPY, HAND_OFF, STRAY, RESTORE, ASSIGN, FAIL_CALL, NEXT_WRITE, NEXT_READ, ESCAPE, SLEEP, ARRIVE, ANSWER,
 TIMEOUTS_FAIL) = range(27)
COM1, COM2, COM3, COM10, DEV_COM12 = range(5)
NULL_NAME = 8
# sim::Fail's function indexes in fuzz_calls.cpp's kFailable.
CREATE_EVENT, CLOSE_HANDLE, GET_OVERLAPPED = 2, 1, 13


def track(text):
    return bytes([4, len(text)]) + text


calls = {
    "open_status_close": bytes([CREAT, COM1, IS_READ_ERROR]) + read(AT_ONCE, OK) + bytes([DESTROY]),
    "write_track1": bytes([CREAT, COM1, WR1]) + track(b"%B123?") + read(AT_ONCE, OK) + bytes([DESTROY]),
    "write_tracks_slow": bytes([CREAT, COM1, NEXT_WRITE, 1, 3, 0x80, WR12]) + track(b"AB") + track(b"12")
    + read(PENDING, b"p", 40) + bytes([DESTROY]),
    "read_tracks": bytes([CREAT, COM1, RAD12, 0]) + read(AT_ONCE, TRACKS) + read(AT_ONCE, OK) + bytes([DESTROY]),
    "long_names": bytes([CREAT, COM10, RAD1, 0]) + read(PENDING, TRACK1, 10) + read(AT_ONCE, OK)
    + bytes([OPEN_NAME, DEV_COM12, OPEN_OWN, HAND_OFF, 0, 1]),
    "copies_consistent": bytes([CREAT, COM1, COPY, 0, ASSIGN, 0, 1, RESTORE, 1, HAND_OFF, 2, 0, RESTORE, 2, DESTROY]),
    "stray_copy_closes": bytes([CREAT, COM2, COPY, 3, STRAY, 3, 1, IS_READ_ERROR]) + read(AT_ONCE, OK)
    + bytes([DESTROY]),
    "event_fails_on_open": bytes([FAIL_CALL, CREATE_EVENT, 6, 0, 1, CREAT, COM1, CREAT, COM1, DESTROY]),
    "close_fails": bytes([CREAT, COM1, FAIL_CALL, CLOSE_HANDLE, 3, 0, 2, DESTROY, DESTROY]),
    "completion_fails": bytes([CREAT, COM1, FAIL_CALL, GET_OVERLAPPED, 5, 0, 1, IS_WRITE_ERROR])
    + read(PENDING, OK, 30) + bytes([DESTROY]),
    "escape_during_read": bytes([CREAT, COM1, ESCAPE, 10, RAD2, 0]) + read(PENDING, TRACK2, 200) + bytes([DESTROY]),
    "bad_arguments": bytes([CREAT, NULL_NAME, CREAT, COM1, WR1, 0, WR12, 1]) + track(b"X") + bytes([RAD12, 3, 4, 4])
    + bytes([DESTROY]),
    "device_answers": bytes([CREAT, COM1, ANSWER, 0, 5, 2]) + OK + bytes([ARRIVE, 0, 3]) + b"xyz"
    + bytes([SLEEP, 2, IS_READ_ERROR, DEVICE, RESET, DESTROY]),
    "closed_port": bytes([IS_WRITE_ERROR, DEVICE, RAD1, 0, DEVICE, DEVICE, WR2, 1, DEVICE, CREAT, COM3, TIMEOUTS_FAIL, 1]),
}

# fuzz_bridge: the stand-in's result, the delivered track (length, bytes), the message.
def message(result, text, delivered=b""):
    return bytes([result, len(delivered)]) + delivered + text.encode()


bridge = {
    "write_both": message(0, '{"id": 1, "call": "WrTr12Card", "track1": "%B41^D\u00c4/J?", "track2": ";41=25?"}'),
    "read_both": message(0, '{"id": "r", "call": "RadTr12Card", "timeoutMs": 30000}', b"%B4111^DOE\xff?"),
    "read_one_cancelled": message(3, '{"id": [1], "call": "RadTr1Card"}', b"ignored"),
    "open_port": message(0, '{"id": null, "call": "CreatmComm", "port": "COM5"}'),
    "port_refused": message(0, '{"id": 2, "call": "CreatmComm", "port": "COM6"}'),
    "busy": message(4, '{"call": "RadTr2Card", "id": {"a": 1}}'),
    "cancel": message(0, '{"id": 3, "call": "CardCancel"}'),
    "unknown_call": message(0, '{"id": 4, "call": "RadTr3Card"}'),
    "above_latin1": message(0, '{"id": 5, "call": "WrTr1Card", "track1": "\u20ac"}'),
    "nul": message(0, '{"id": 6, "call": "WrTr2Card", "track2": "1\u00002"}'),
    "bad_json": message(0, '{"id": 7, "call": '),
    "too_large": message(0, '{"id": 8, "call": "WrTr1Card", "track1": "' + "x" * 4100 + '"}'),
}

for target, seeds in (("fuzz_replies", replies), ("fuzz_calls", calls), ("fuzz_bridge", bridge)):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(data)
