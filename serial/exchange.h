// The steps every card operation combines to talk to the device: purge the
// port's buffers, send a command frame, read the device's reply (polling, with
// the Escape key able to cancel the wait).
//
// Frames go out from, and replies come into, storage the library owns: the
// caller's buffer gets a copy of what a completed read delivered. An operation
// that cannot be ended before its call returns (the abort failed and so did the
// close that ends it) keeps that storage and its overlapped record until it
// ends; no new operation starts on them meanwhile (IoReady), and the library
// stays loaded for good, so that no unload can take that storage away.
#ifndef QT741_SERIAL_EXCHANGE_H
#define QT741_SERIAL_EXCHANGE_H

#include <windows.h>

#include "port.h"

// The longest frame one send takes, and the most one reply read asks for.
#define EXCHANGE_STORAGE_SIZE 400

enum SendMode {
    SEND_BLOCKING, // wait for a pending write inside the completion query
    SEND_POLLING   // ask for its completion again and again
};

enum ReplyStatus {
    REPLY_AT_ONCE,       // the read completed when it was started
    REPLY_AFTER_WAITING, // the read completed while polled (or its completion query failed: count 0)
    REPLY_CANCELLED,     // Escape was pressed, or CardCancel called, while the read was pending; the
                         // read has been aborted
    REPLY_FAILED         // the read could not be started
};

struct Reply {
    ReplyStatus status;
    DWORD count; // bytes in the buffer, never more than its capacity
};

// False while a read or a write of an earlier call may still complete into the
// library's storage: no frame may be sent until it has ended.
bool IoReady();

// Discards what waits in the buffers named by flags (PURGE_RXCLEAR, PURGE_TXCLEAR).
void Purge(mComm& port, DWORD flags);

// Clears the port's error state so that I/O can go on after a line error.
void ClearPortError(mComm& port);

// Writes the frame (at most EXCHANGE_STORAGE_SIZE bytes) and waits for the
// write as `mode` says. True when the write completed, also when it completed
// with an error (the port's error state is then cleared: the line may still be
// usable). False when it could not be started, when an earlier operation still
// holds the storage, or when it did not end in its time: the port's write
// time-out (or, without one, the frame's time at 9600 baud) and 5 s more. The
// write is then aborted, and it never completed.
bool SendFrame(mComm& port, const char* frame, DWORD length, SendMode mode);

// Reads the device's reply (at most EXCHANGE_STORAGE_SIZE bytes) and copies
// what it delivered into buffer, polling every 2 ms. With cancellable set,
// each poll checks the Escape key. Nothing is written into buffer after it
// returns.
Reply ReadReply(mComm& port, char* buffer, DWORD capacity, bool cancellable);

// True when the Escape key is down or was pressed since the previous query, or
// when a cancel was requested (RequestCancel) since then.
bool EscapePressed();

// An operation's first probe: queries the Escape key and ignores the answer, so
// that a press over before the operation does not cancel it. A cancel request
// is not forgotten here: one made since the call began is for this wait.
void ForgetEarlierEscape();

// Forgets a cancel request made before now: a card call does so as it begins.
void ForgetCancelRequest();

// Asks the wait in progress to end as Escape would (CardCancel). Safe from any
// thread and from a signal handler.
void RequestCancel();

#endif
