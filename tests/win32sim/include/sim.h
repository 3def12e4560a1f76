// The simulated world behind the Win32 stand-in: serial ports, a device on the
// other end of the line, the Escape key and a virtual clock, all scripted by
// tests, plus a trace of every call the library makes.
#ifndef QT741_WIN32SIM_SIM_H
#define QT741_WIN32SIM_SIM_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace sim {

typedef std::vector<unsigned char> Bytes;

// Bytes from a string literal, e.g. Bytes("\x1B\x6A") without the terminator.
Bytes B(const std::string& text);
// "1B 6A"
std::string Hex(const Bytes& bytes);

// Starts a new world: time 0, no ports, no handles, no scripts, empty trace.
void Reset();

// A port that CreateFileA can open by this name. Its configuration as first
// read: 1200 baud, 7 data bits, even parity, two stop bits, XonChar 0x11,
// software flow control both ways and NUL stripping on.
void AddPort(const std::string& name);

// The next `times` calls of `function` (after `skip` calls that succeed) fail
// with `error`; times < 0: every call from then on. A failing ReadFile fails
// outright with a count of 0, a failing GetOverlappedResult ends the operation
// it was asked about with that error.
void Fail(const std::string& function, DWORD error, int times = 1, int skip = 0);

// The device: whenever exactly `frame` is written, `reply` arrives `delay` ms
// after the write. Later rules for the same frame replace earlier ones.
void Answer(const Bytes& frame, const Bytes& reply, DWORD delay = 0);
// Bytes that arrive at the port `delay` ms from now, whatever was written.
void Arrive(const Bytes& bytes, DWORD delay);

// Scripts for the next WriteFile calls (one script each, in order).
struct WriteScript {
    enum Mode {
        AT_ONCE,
        PENDING,
        FAIL,
        HELD,       // pending until aborted or closed: a driver that ignores its time-outs
        QUERY_FAILS // pending until aborted or closed, and every completion query fails with `error`
    } mode;
    int incompleteQueries; // PENDING: completion queries answered "not yet" first; < 0: the write never
                           // ends (flow control holds it) until aborted, closed or its time-out runs out
    DWORD error;           // FAIL: the write's error; PENDING: nonzero makes the completion fail with it
};
void NextWrite(const WriteScript& script);

// Scripts for the next ReadFile calls; without one, reads take what the device sent.
struct ReadScript {
    enum Mode {
        AT_ONCE,       // completes at once with `bytes`
        FAIL,          // fails outright with `error`, reporting bytes.size() bytes copied
        PENDING,       // pending; completes `delay` ms later with `bytes`
        PENDING_ERROR, // pending; `delay` ms later its completion query fails with `error`
        FOREVER        // pending until cancelled
    } mode;
    Bytes bytes;
    DWORD delay;
    DWORD error;
};
void NextRead(const ReadScript& script);

// A read that times out with no bytes completes with 0 bytes, as on Windows;
// with this set it fails with ERROR_TIMEOUT instead, as under Wine.
void TimeoutsFailReads(bool fail);

// Closing a port ends a read pending on it `milliseconds` later instead of
// before the close returns, as a driver may that completes cancelled requests
// late (0: at once, the default). A scripted read then delivers its bytes into
// the buffer it was given.
void ClosingEndsReadsAfter(DWORD milliseconds);

// The Escape key is held down from `from` to `to` ms (virtual time).
void HoldEscape(DWORD from, DWORD to);
// The n-th GetAsyncKeyState query (1-based) answers "pressed since the last query".
void EscapeOnQuery(int n);

// Runs `action` once, when Sleep takes the virtual clock to `when` ms or past
// it: what another thread of the host does while the library waits.
void At(DWORD when, const std::function<void()>& action);
// Runs `action` once, as the library makes its `nth` call of `function` from
// now on: what another thread does at that moment.
// An action that never ran by the end of a test is one of its Problems().
void OnCall(const std::string& function, int nth, const std::function<void()>& action);

// What happened.
void ClearTrace();                // forget the calls so far (and the frames written)
std::vector<std::string> Trace(); // one line a call; polling collapsed into "poll N"
std::vector<Bytes> Written();     // every frame WriteFile was given, in order
// Frames a transmit purge discarded: one written in the same millisecond as
// the purge, with no answer from the device in between, has not left the
// port yet (on a pseudo-terminal or a buffered adapter it is still queued).
std::vector<Bytes> Lost();
// Misuse seen: double closes, stale handles, overlapping reads, a record
// changed while its operation is pending, ...
std::vector<std::string> Problems();
int OpenHandles(); // handles created and not yet closed
// A read not yet completed or cancelled. With `unendable` false, one that
// nothing the library could do would end is left out: a CancelIo and a close of
// its port, both made to fail while it was pending.
bool ReadOutstanding(bool unendable = true);
int Calls(const std::string& function); // how often the library called it
DWORD Now();                            // virtual ms since Reset
struct PortState {
    bool exists;
    bool open;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    DWORD mask;
    DWORD inQueue, outQueue;
    bool dtr;
    size_t waiting; // received bytes not yet read
};
PortState Port(const std::string& name);

} // namespace sim

#endif
