// How Windows applies a serial port's time-outs (COMMTIMEOUTS) to a read or a
// write: the one statement of these rules, for every layer that implements the
// Win32 subset (the Linux layer, the test stand-in).
#ifndef QT741_WIN32_TIMEOUTS_H
#define QT741_WIN32_TIMEOUTS_H

#include <windows.h>

// Returned for a read or a write that no time-out ends.
const DWORD kNoTimeLimit = 0xFFFFFFFFu;

// How a read's progress stands when its time-outs are checked.
struct ReadProgress {
    DWORD requested; // bytes asked for
    DWORD received;  // bytes delivered so far (fewer than requested)
    DWORD elapsed;   // ms since the read started
    DWORD sinceByte; // ms since the last byte arrived (meaningless while received is 0)
};

// Milliseconds left until the read's time-outs end it, as Windows applies them
// (0: it ends now with what it has; kNoTimeLimit: it waits for every byte):
// - interval MAXDWORD, both total values 0: it returns at once with what is there;
// - interval and multiplier MAXDWORD, constant between: it returns as soon as a
//   byte is there, or after the constant with none;
// - else multiplier x requested + constant from the start (unless both are 0),
//   and, once a byte has come, the interval from the last byte (unless it is 0).
DWORD ReadTimeLeft(const COMMTIMEOUTS& timeouts, const ReadProgress& progress);

// Milliseconds left for a write of `length` bytes started `elapsed` ms ago:
// multiplier x length + constant, kNoTimeLimit when both are 0.
DWORD WriteTimeLeft(const COMMTIMEOUTS& timeouts, DWORD length, DWORD elapsed);

#endif
