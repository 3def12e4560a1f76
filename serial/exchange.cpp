#include "exchange.h"

namespace {

const DWORD kPollInterval = 2; // ms between completion queries of a pending read

} // namespace

void Purge(mComm& port, DWORD flags) { PurgeComm(port.portHandle, flags); }

void ClearPortError(mComm& port) {
    DWORD errors = 0;
    COMSTAT status;
    ClearCommError(port.portHandle, &errors, &status);
}

bool SendFrame(mComm& port, const char* frame, DWORD length, SendMode mode) {
    DWORD written = 0;
    if (WriteFile(port.portHandle, frame, length, &written, &port.writeOverlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;

    const BOOL wait = mode == SEND_BLOCKING ? TRUE : FALSE;
    while (!GetOverlappedResult(port.portHandle, &port.writeOverlapped, &written, wait)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            // The write ended badly; the line may still be usable.
            ClearPortError(port);
            break;
        }
    }
    return true;
}

namespace {

// How long past its own time-out a read may stay pending before the wait gives
// up on it. The port's time-outs end every read first; this bounds the wait
// where they are not in force (a configuration that failed leaves none, and a
// read then waits for every byte it asked for).
const DWORD kReadDeadlineSlack = 5000;

// Aborts the pending read and waits until the abort is done: the buffer is the
// caller's and must not be written once the read step returns.
void AbortRead(mComm& port) {
    CancelIo(port.portHandle);
    DWORD ignored = 0;
    GetOverlappedResult(port.portHandle, &port.readOverlapped, &ignored, TRUE);
}

// Polls a pending read until it ends or, when cancellable, Escape is pressed.
Reply AwaitReply(mComm& port, DWORD capacity, bool cancellable) {
    const DWORD started = GetTickCount();
    const DWORD deadline = MCOMM_READ_TOTAL_MULTIPLIER * capacity + MCOMM_READ_TOTAL_CONSTANT + kReadDeadlineSlack;
    Reply reply = {REPLY_AFTER_WAITING, 0};
    while (!GetOverlappedResult(port.portHandle, &port.readOverlapped, &reply.count, FALSE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            // The read is over without data (Wine reports a time-out this way).
            reply.count = 0;
            return reply;
        }
        if (cancellable && EscapePressed()) {
            AbortRead(port);
            reply.status = REPLY_CANCELLED;
            reply.count = 0;
            return reply;
        }
        if (GetTickCount() - started > deadline) {
            AbortRead(port); // no answer came in time: as a read that timed out
            reply.count = 0;
            return reply;
        }
        Sleep(kPollInterval);
    }
    return reply;
}

} // namespace

Reply ReadReply(mComm& port, char* buffer, DWORD capacity, bool cancellable) {
    Reply reply = {REPLY_AT_ONCE, 0};
    if (!ReadFile(port.portHandle, buffer, capacity, &reply.count, &port.readOverlapped)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            reply = AwaitReply(port, capacity, cancellable);
        } else {
            reply.status = REPLY_FAILED; // the count is what the failed read reported
        }
    }
    if (reply.count > capacity) reply.count = capacity;
    return reply;
}

bool EscapePressed() { return GetAsyncKeyState(VK_ESCAPE) != 0; }
