// The parts of the Linux layer that need no device: how Windows applies a
// port's time-outs to a read or a write, and where a COM name points.
#ifndef QT741_WIN32LINUX_RULES_H
#define QT741_WIN32LINUX_RULES_H

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

// The file a CreateFileA name opens: "COM1".."COM256" and "\\.\COM1".. (any
// case) are /dev/ttyS0../dev/ttyS255; any other name is a path as it stands.
// `path` holds `size` bytes; false when the result does not fit.
bool DevicePath(const char* name, char* path, size_t size);

#endif
