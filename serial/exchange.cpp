#include "exchange.h"

namespace {

const DWORD kPollInterval = 2; // ms between completion queries of a pending read

// A cancel request from CardCancel, made on another thread (or, on Linux, in a
// signal handler) while a card call is under way; the call's next Escape probe
// consumes it, and the next call forgets one made while none was. The
// request has to reach a wait that g_comm knows nothing about, and an aligned
// LONG changed only by interlocked exchanges is what both threads may touch
// without a lock. The exchange is a compiler intrinsic on every build, so no
// runtime is needed, and it is lock-free, so a signal handler may call it.
volatile LONG s_cancelRequested = 0;

// Where the frames go out from and the replies come in. An operation that
// could not be ended before its call returned keeps its storage and its record
// (`outstanding`) until the record says it has ended.
struct IoStorage {
    char bytes[EXCHANGE_STORAGE_SIZE];
    OVERLAPPED* outstanding;
};
IoStorage s_reads;
IoStorage s_writes;

// True when no earlier operation can still complete into the storage.
bool Settled(IoStorage& storage) {
    if (storage.outstanding != NULL && HasOverlappedIoCompleted(storage.outstanding)) storage.outstanding = NULL;
    return storage.outstanding == NULL;
}

void CopyBytes(char* to, const char* from, DWORD count) {
    for (DWORD i = 0; i < count; ++i)
        to[i] = from[i];
}

// How long past its own time-out a read may stay pending before the wait gives
// up on it. The port's time-outs end every read first; this bounds the wait
// where they are not in force (a configuration that failed leaves none, and a
// read then waits for every byte it asked for).
const DWORD kReadDeadlineSlack = 5000;

// A write may be held for ever (flow control, a line that never drains, a
// driver that ignores its time-out). It is given the port's write time-out or,
// without one, its bytes' time on the line at 9600 baud, 8N1 (10 bits a byte),
// and this much more.
const DWORD kWriteDeadlineSlack = 5000;
const DWORD kBitsPerByte = 10;
const DWORD kBaud = 9600;
// A configured write time-out is taken up to this long (a day).
const DWORD kLongestWriteTime = 24u * 3600u * 1000u;

// How long an aborted operation may take to end. A cancelled read ends within
// a poll or two; one still pending after this was not reached by the abort.
const DWORD kAbortGrace = 500;

enum IoState {
    IO_ENDED,     // complete: nothing more is written into the storage
    IO_FAILED,    // ended with an error
    IO_CANCELLED, // Escape was pressed; the operation is still pending
    IO_EXPIRED    // still pending when the time ran out
};

// Polls the pending operation on `record` every 2 ms until it ends, `limit` ms
// pass or, when cancellable, Escape is pressed. `count` gets the bytes of an
// operation that ended well, 0 otherwise. A completion query that fails while
// the record still says pending has not ended the operation: polling goes on.
IoState Poll(mComm& port, OVERLAPPED& record, DWORD limit, bool cancellable, DWORD& count) {
    const DWORD started = GetTickCount();
    count = 0;
    while (!GetOverlappedResult(port.portHandle, &record, &count, FALSE)) {
        count = 0;
        // Any other answer means the operation is over without data (Wine
        // reports a read's time-out this way, an aborted one ends so).
        if (GetLastError() != ERROR_IO_INCOMPLETE && HasOverlappedIoCompleted(&record)) return IO_FAILED;
        if (cancellable && EscapePressed()) return IO_CANCELLED;
        if (GetTickCount() - started > limit) return IO_EXPIRED;
        Sleep(kPollInterval);
    }
    return IO_ENDED;
}

// Waits, at most `limit` ms by the clock, until the record no longer says pending.
bool AwaitEnd(const OVERLAPPED& record, DWORD limit) {
    const DWORD started = GetTickCount();
    while (!HasOverlappedIoCompleted(&record)) {
        if (GetTickCount() - started > limit) return false;
        Sleep(kPollInterval);
    }
    return true;
}

// Ends the pending operation on `record` before its call returns. CancelIo asks
// the driver to abort it; if that fails, or it is still pending a while later,
// the port's handle is closed, which ends every operation pending on it (its
// record says so at once or a moment later: that wait is bounded too). The
// port is then left marked open with the invalid-handle value, as after a
// re-open that failed: I/O on it fails (the status queries and the reset
// report -4) until a track operation or CreatmComm opens it again, and
// DestroymComm closes it as usual. Where even the close did not end it (the
// close failed, or the driver has not completed the operation in time), the
// operation keeps its storage and record: nothing is sent until the record
// says it has ended (IoReady), the re-open leaves the record alone, a track
// operation's re-open closes the old handle again, and the library stays
// loaded until the process ends (a host's FreeLibrary would otherwise unmap
// storage the system still writes into).
void Abort(mComm& port, OVERLAPPED& record, IoStorage& storage) {
    CancelIo(port.portHandle);
    DWORD ignored = 0;
    if (Poll(port, record, kAbortGrace, false, ignored) != IO_EXPIRED) return;
    if (CloseHandle(port.portHandle)) {
        port.portHandle = INVALID_HANDLE_VALUE;
        if (AwaitEnd(record, kAbortGrace)) return;
    }
    storage.outstanding = &record;
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&storage), &self);
}

// The time a write of `length` bytes may take on this port: its write time-out,
// or without one, the bytes' time on the line at 9600 baud.
DWORD WriteTime(const mComm& port, DWORD length) {
    COMMTIMEOUTS timeouts;
    if (GetCommTimeouts(port.portHandle, &timeouts) &&
        (timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0)) {
        const unsigned long long total =
            static_cast<unsigned long long>(timeouts.WriteTotalTimeoutMultiplier) * length +
            timeouts.WriteTotalTimeoutConstant;
        return total < kLongestWriteTime ? static_cast<DWORD>(total) : kLongestWriteTime;
    }
    return (length * kBitsPerByte * 1000 + kBaud - 1) / kBaud;
}

// Waits for the pending write as `mode` says, at most `limit` ms by the clock:
// blocking, inside a wait on the record's event (on the port's handle where the
// record has none); polling, by completion queries back to back, with a pause
// between them only once the write has outlived its own time (`own` ms).
IoState AwaitWrite(mComm& port, SendMode mode, DWORD own, DWORD limit) {
    OVERLAPPED& record = port.writeOverlapped;
    HANDLE signalled = record.hEvent != NULL ? record.hEvent : port.portHandle;
    const DWORD started = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - started;
        if (mode == SEND_BLOCKING && spent <= limit && WaitForSingleObject(signalled, limit - spent) == WAIT_FAILED) {
            Sleep(kPollInterval); // nothing to wait on: ask every 2 ms instead
        }
        DWORD written = 0;
        if (GetOverlappedResult(port.portHandle, &record, &written, FALSE)) return IO_ENDED;
        // A query that fails while the record still says pending has not ended the write.
        if (GetLastError() != ERROR_IO_INCOMPLETE && HasOverlappedIoCompleted(&record)) return IO_FAILED;
        if (GetTickCount() - started > limit) return IO_EXPIRED;
        if (mode == SEND_POLLING && GetTickCount() - started > own) Sleep(kPollInterval);
    }
}

// Polls a pending read until it ends or, when cancellable, Escape is pressed.
Reply AwaitReply(mComm& port, DWORD capacity, bool cancellable) {
    const DWORD deadline = MCOMM_READ_TOTAL_MULTIPLIER * capacity + MCOMM_READ_TOTAL_CONSTANT + kReadDeadlineSlack;
    Reply reply = {REPLY_AFTER_WAITING, 0};
    const IoState state = Poll(port, port.readOverlapped, deadline, cancellable, reply.count);
    if (state == IO_ENDED || state == IO_FAILED) return reply;
    // Cancelled, or no answer came in time (as a read that timed out).
    Abort(port, port.readOverlapped, s_reads);
    if (state == IO_CANCELLED) reply.status = REPLY_CANCELLED;
    reply.count = 0;
    return reply;
}

} // namespace

bool IoReady() { return Settled(s_reads) && Settled(s_writes); }

void Purge(mComm& port, DWORD flags) { PurgeComm(port.portHandle, flags); }

void ClearPortError(mComm& port) {
    DWORD errors = 0;
    COMSTAT status;
    ClearCommError(port.portHandle, &errors, &status);
}

bool SendFrame(mComm& port, const char* frame, DWORD length, SendMode mode) {
    if (length > EXCHANGE_STORAGE_SIZE || !Settled(s_writes)) return false;
    CopyBytes(s_writes.bytes, frame, length);
    DWORD written = 0;
    if (WriteFile(port.portHandle, s_writes.bytes, length, &written, &port.writeOverlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;

    const DWORD own = WriteTime(port, length);
    switch (AwaitWrite(port, mode, own, own + kWriteDeadlineSlack)) {
    case IO_ENDED: return true;
    case IO_FAILED: ClearPortError(port); return true; // it ended badly; the line may still be usable
    default: Abort(port, port.writeOverlapped, s_writes); return false;
    }
}

Reply ReadReply(mComm& port, char* buffer, DWORD capacity, bool cancellable) {
    Reply reply = {REPLY_FAILED, 0};
    if (capacity > EXCHANGE_STORAGE_SIZE) capacity = EXCHANGE_STORAGE_SIZE;
    if (!Settled(s_reads)) return reply;
    reply.status = REPLY_AT_ONCE;
    if (!ReadFile(port.portHandle, s_reads.bytes, capacity, &reply.count, &port.readOverlapped)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            reply = AwaitReply(port, capacity, cancellable);
        } else {
            reply.status = REPLY_FAILED; // the count is what the failed read reported
        }
    }
    if (reply.count > capacity) reply.count = capacity;
    // Only what a completed read delivered; a cancelled or outstanding one has a count of 0.
    CopyBytes(buffer, s_reads.bytes, reply.count);
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

void ForgetEarlierEscape() { GetAsyncKeyState(VK_ESCAPE); }
