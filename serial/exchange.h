// The steps every card operation combines to talk to the device: purge the
// port's buffers, send a command frame, read the device's reply (polling, with
// the Escape key able to cancel the wait).
#ifndef QT741_SERIAL_EXCHANGE_H
#define QT741_SERIAL_EXCHANGE_H

#include <windows.h>

#include "mComm.h"

enum SendMode {
    SEND_BLOCKING, // wait for a pending write inside the completion query
    SEND_POLLING   // ask for its completion again and again
};

enum ReplyStatus {
    REPLY_AT_ONCE,       // the read completed when it was started
    REPLY_AFTER_WAITING, // the read completed while polled (or its completion query failed: count 0)
    REPLY_CANCELLED,     // Escape was pressed while the read was pending; the read has been aborted
    REPLY_FAILED         // the read could not be started
};

struct Reply {
    ReplyStatus status;
    DWORD count; // bytes in the buffer, never more than its capacity
};

// Discards what waits in the buffers named by flags (PURGE_RXCLEAR, PURGE_TXCLEAR).
void Purge(mComm& port, DWORD flags);

// Clears the port's error state so that I/O can go on after a line error.
void ClearPortError(mComm& port);

// Writes the frame; false only when the write could not be started.
bool SendFrame(mComm& port, const char* frame, DWORD length, SendMode mode);

// Reads the device's reply into buffer, polling every 2 ms. With cancellable
// set, each poll checks the Escape key. Returns only when no read into buffer
// is outstanding.
Reply ReadReply(mComm& port, char* buffer, DWORD capacity, bool cancellable);

// True when the Escape key is down or was pressed since the previous query, or
// when a cancel was requested (RequestCancel) since then.
bool EscapePressed();

// An operation's first probe: queries the Escape key and ignores the answer, so
// that a press over before the operation does not cancel it; with `requests`,
// forgets a cancel request made before it too.
void ForgetEarlierEscape(bool requests);

// Forgets a cancel request made before now.
void ForgetCancelRequest();

// Asks the wait in progress to end as Escape would (CardCancel). Safe from any
// thread and from a signal handler.
void RequestCancel();

#endif
