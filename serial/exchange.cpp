#include "exchange.h"

namespace {

const DWORD kPollInterval = 2; // ms between completion queries of a pending read

// A cancel request from CardCancel, made on another thread (or, on Linux, in a
// signal handler) while this one waits; the next Escape probe consumes it. It
// is the library's one piece of state besides g_comm and the long port name:
// the request has to reach a wait that g_comm knows nothing about, and an
// aligned LONG changed only by interlocked exchanges is what both threads may
// touch without a lock. The exchange is a compiler intrinsic on every build, so
// no runtime is needed, and it is lock-free, so a signal handler may call it.
volatile LONG s_cancelRequested = 0;

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

// How long an aborted read may take to end. A cancelled read ends within a
// poll or two; one still pending after this was not reached by the abort.
const DWORD kAbortGrace = 500;

enum ReadState {
    READ_ENDED,     // complete, or ended with an error: nothing more is written into the buffer
    READ_CANCELLED, // Escape was pressed; the read is still pending
    READ_EXPIRED    // still pending when the time ran out
};

// Polls the pending read every 2 ms until it ends, `limit` ms pass or, when
// cancellable, Escape is pressed. `count` gets the bytes of a read that ended
// well, 0 otherwise.
ReadState PollRead(mComm& port, DWORD limit, bool cancellable, DWORD& count) {
    const DWORD started = GetTickCount();
    count = 0;
    while (!GetOverlappedResult(port.portHandle, &port.readOverlapped, &count, FALSE)) {
        count = 0;
        // Any other answer means the read is over without data (Wine reports a
        // time-out this way, an aborted read ends so).
        if (GetLastError() != ERROR_IO_INCOMPLETE) return READ_ENDED;
        if (cancellable && EscapePressed()) return READ_CANCELLED;
        if (GetTickCount() - started > limit) return READ_EXPIRED;
        Sleep(kPollInterval);
    }
    return READ_ENDED;
}

// Ends the pending read before the read step returns: the buffer is the
// caller's, and no read may complete into it afterwards. CancelIo asks the
// driver to abort it; if that fails, or the read is still pending a while
// later, the port's handle is closed, which ends every operation pending on
// it (and the read's record then says so, at once or a moment later: the wait
// for that is bounded too). The port is then left marked open with the
// invalid-handle value, as after a re-open that failed: I/O on it fails (the
// status queries and the reset report -4) until a track operation or
// CreatmComm opens it again, and DestroymComm closes it as usual.
void AbortRead(mComm& port) {
    CancelIo(port.portHandle);
    DWORD ignored = 0;
    if (PollRead(port, kAbortGrace, false, ignored) == READ_ENDED) return;
    if (!CloseHandle(port.portHandle)) return;
    port.portHandle = INVALID_HANDLE_VALUE;
    // A driver may complete the cancelled read a moment after the close
    // returns; its record says when.
    for (DWORD waited = 0; !HasOverlappedIoCompleted(&port.readOverlapped) && waited < kAbortGrace;
         waited += kPollInterval) {
        Sleep(kPollInterval);
    }
}

// Polls a pending read until it ends or, when cancellable, Escape is pressed.
Reply AwaitReply(mComm& port, DWORD capacity, bool cancellable) {
    const DWORD deadline = MCOMM_READ_TOTAL_MULTIPLIER * capacity + MCOMM_READ_TOTAL_CONSTANT + kReadDeadlineSlack;
    Reply reply = {REPLY_AFTER_WAITING, 0};
    const ReadState state = PollRead(port, deadline, cancellable, reply.count);
    if (state == READ_ENDED) return reply;
    // Cancelled, or no answer came in time (as a read that timed out).
    AbortRead(port);
    if (state == READ_CANCELLED) reply.status = REPLY_CANCELLED;
    reply.count = 0;
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

void RequestCancel() { InterlockedExchange(&s_cancelRequested, 1); }

void ForgetCancelRequest() { InterlockedExchange(&s_cancelRequested, 0); }

bool EscapePressed() {
    // Both are asked every time: either ends the wait.
    const bool key = GetAsyncKeyState(VK_ESCAPE) != 0;
    const bool requested = InterlockedExchange(&s_cancelRequested, 0) != 0;
    return key || requested;
}

void ForgetEarlierEscape(bool requests) {
    GetAsyncKeyState(VK_ESCAPE);
    if (requests) ForgetCancelRequest();
}
