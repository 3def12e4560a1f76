// fuzz_calls: arbitrary sequences of the exported calls, of mComm copies and
// assignments, and of Win32 failures, scripted reads and writes, device replies,
// Escape presses and time passing.
//
// Input encoding: a sequence of commands until the input ends (at most 64, and
// none once 45 virtual minutes have passed: a silent device's track read waits
// 20 of them, seconds of polling here),
// each a byte selecting the command (mod 27) followed by its arguments:
//   0  CreatmComm(name)              name: see below
//   1  DestroymComm()
//   2  CardReset()
//   3  IsReadError()                 + a read outcome
//   4  IsWriteError()                + a read outcome
//   5  WrTr1Card(track)              track: see below; + a read outcome
//   6  WrTr2Card(track)              + a read outcome
//   7  WrTr12Card(track, track)      + a read outcome
//   8  RadTr1Card(buffer)            byte: bit 0 passes NULL; + two read outcomes
//   9  RadTr2Card(buffer)            the same
//   10 RadTr12Card(buffer, buffer)   byte: bits 0 and 1 pass NULL; + two read outcomes
//   11 g_comm.OpenPort(g_comm.portName), as the card functions re-open
//   12 g_comm.OpenPort(name)
//   13 g_comm.ClosePort()
//   14 copy:    byte slot (mod 4): the slot is copy-constructed from g_comm
//   15 hand-off: byte slot, byte action: the slot takes a copy of g_comm,
//               re-opens by its own name (action 0), closes (1) or opens a
//               name (2, + name) through it, and g_comm is assigned the copy
//   16 stray:   byte slot, byte action: the slot re-opens by its own name
//               (even) or closes (odd) on its own; g_comm is not told
//   17 restore: byte slot: g_comm is assigned the slot
//   18 assign:  byte from, byte to: one slot assigned another (or itself)
//   19 sim::Fail: byte function (mod 15), byte error, byte times (0x80 and up:
//               every call from then on; else mod 4, plus 1), byte skip (mod 8)
//   20 sim::NextWrite: byte mode (mod 5: at once, pending, fails, held by a
//               driver that ignores its time-out, pending while its queries
//               fail), byte incomplete queries (mod 8), byte error (0x80 and
//               up: none)
//   21 sim::NextRead: a read outcome, pushed even when it says "the device"
//   22 Escape: byte: even, held from (byte * 4) ms from now for 30 ms; odd, the
//               (byte / 2)-th key query from now on reports a press
//   23 Sleep(byte * 8 ms)
//   24 sim::Arrive(bytes, delay): byte delay, byte length, bytes
//   25 sim::Answer(frame, bytes, delay): byte frame (mod 6), byte delay, byte
//               length, bytes
//   26 sim::TimeoutsFailReads(byte is odd)
// A name is a byte: mod 12 one of "COM1", "COM2", "COM3" (absent), "COM10",
// "\\.\COM12", "\\.\COM10", "com1", "", NULL, 63 and 64 characters, "COM" and
// 60 digits; 12 and up: that many minus 12 bytes from the input.
// A track is a byte: 0 NULL, 1 the longest the call accepts, 2 one longer,
// 3 200 characters, 4 and up: a length byte and that many bytes from the input
// (a NUL among them ends the string).
// A read outcome is a byte mode (mod 5: at once, fails outright, pending,
// pending then its completion fails, or 4: nothing is scripted and the read
// takes what the device sent), then for modes 0-3 a byte delay, a byte error
// and a two-byte length (mod 1024) followed by that many bytes.
//
// The device answers every request like a well-behaved one: the status with
// ESC "p" after 20 ms, a track read with a card's tracks after 100 ms, until
// command 25 changes an answer (an empty one makes it silent: a track read then
// waits out its 20-minute time-out, some seconds of polling here).
//
// Invariants after every call: no crash and no undefined behaviour; no read
// outstanding; results the header documents: CARD_NOT_OPEN exactly when the
// port was closed and the arguments were good, with nothing sent, then the
// buffers untouched; CARD_CANCELLED only after an Escape press was scripted;
// an open that returns 1 has the port open; host buffers (exact documented
// sizes) NUL-terminated within their size when written, untouched on
// CARD_CANCELLED. The stand-in must see no misuse, except after the host
// misused a copy: a stray copy closing or re-opening the port behind g_comm's
// back, or g_comm assigned a copy whose handles are no longer its own. Those
// leave objects holding handles that were closed, so double closes and calls
// on closed handles and events are the host's doing; from then on only
// problems are excused, nothing else. At the end, closing the port leaves no
// handle open but the two events a failed open of a closed port keeps, unless
// CloseHandle was made to fail or a copy was misused. A read whose abort and
// close both failed (as the stand-in saw them fail) may outlive its call in the
// library's storage; it must still never be joined by another read.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace {

const char* const kFailable[] = {
    "CreateFileA",        "CloseHandle", "CreateEventA",    "GetCommState",        "SetCommState",
    "SetCommMask",        "SetupComm",   "SetCommTimeouts", "PurgeComm",           "ClearCommError",
    "EscapeCommFunction", "WriteFile",   "ReadFile",        "GetOverlappedResult", "CancelIo"};
const size_t kFailableCount = sizeof kFailable / sizeof kFailable[0];

const sim::Bytes kFrames[] = {sim::B("\x1B\x6A"), sim::B("\x1B\x42\x5D"), sim::B("\x1B\x54\x5D"),
                              sim::B("\x1B\x5D"), sim::B("\x1B\x30"),     sim::B("\x1B\x74\x1D\x1B\x5C")};

const int kCopySlots = 4;
const int kMaxCommands = 64;
const DWORD kVirtualBudget = 45u * 60u * 1000u;

// What a name argument turned into: the pointer passed and the text it points to.
struct Name {
    std::string text;
    bool null;
    const char* Pointer() const { return null ? nullptr : text.c_str(); }
};

Name ReadName(fuzz::Input& input) {
    const uint8_t selector = input.Byte();
    if (selector >= 12) {
        const sim::Bytes bytes = input.Take(selector - 12u);
        std::string text(bytes.begin(), bytes.end());
        return {text.substr(0, text.find('\0')), false};
    }
    switch (selector) {
    case 0: return {"COM1", false};
    case 1: return {"COM2", false};
    case 2: return {"COM3", false};
    case 3: return {"COM10", false};
    case 4: return {"\\\\.\\COM12", false};
    case 5: return {"\\\\.\\COM10", false};
    case 6: return {"com1", false};
    case 7: return {"", false};
    case 8: return {"", true};
    case 9: return {std::string(63, 'N'), false};
    case 10: return {std::string(64, 'N'), false};
    default: return {"COM" + std::string(60, '7'), false};
    }
}

struct Track {
    std::string text;
    bool null;
    const char* Pointer() const { return null ? nullptr : text.c_str(); }
};

Track ReadTrack(fuzz::Input& input, size_t longest) {
    const uint8_t selector = input.Byte();
    switch (selector) {
    case 0: return {"", true};
    case 1: return {std::string(longest, 'L'), false};
    case 2: return {std::string(longest + 1, 'L'), false};
    case 3: return {std::string(200, 'M'), false};
    default: {
        const sim::Bytes bytes = input.Take(input.Byte());
        std::string text(bytes.begin(), bytes.end());
        return {text.substr(0, text.find('\0')), false};
    }
    }
}

// Reads a read outcome and scripts it; "the device" scripts nothing.
void ScriptRead(fuzz::Input& input) {
    const uint8_t mode = input.Byte() % 5;
    if (mode == 4) return;
    const DWORD delay = input.Byte();
    const DWORD error = fuzz::PickError(input.Byte());
    const sim::Bytes bytes = input.Take(input.Word() % 1024);
    const sim::ReadScript::Mode modes[] = {sim::ReadScript::AT_ONCE, sim::ReadScript::FAIL, sim::ReadScript::PENDING,
                                           sim::ReadScript::PENDING_ERROR};
    sim::NextRead({modes[mode], bytes, delay, error});
}

bool SameHandles(const mComm& a, const mComm& b) {
    return a.opened == b.opened && a.portHandle == b.portHandle && a.readOverlapped.hEvent == b.readOverlapped.hEvent &&
           a.writeOverlapped.hEvent == b.writeOverlapped.hEvent;
}

class Session {
public:
    explicit Session(fuzz::Input& input) : input_(input) {}

    void Run() {
        sim::Answer(kFrames[0], sim::B("\x1Bp"), 20);
        sim::Answer(kFrames[1], sim::B("\x1Bs%B123^A?\x3F\x1C"), 100);
        sim::Answer(kFrames[2], sim::B("\x1Bs\x1B;123=4?\x3F\x1C"), 100);
        sim::Answer(kFrames[3], sim::B("\x1Bs%B123^A?\x1D;123=4?\x3F\x1C"), 100);
        for (int i = 0; i < kMaxCommands && !input_.Empty() && sim::Now() < kVirtualBudget; ++i) {
            Command(input_.Byte() % 27);
        }
        Finish();
    }

private:
    // The checks every card function's result gets. `argumentsBad`: the call
    // refuses its arguments before it looks at the port.
    void CheckCard(const std::string& name, int result, bool wasOpen, bool argumentsBad, bool cancellable,
                   size_t framesBefore) {
        const std::string context = name + ", " + fuzz::Describe(result);
        const bool documented = result == CARD_OK || result == CARD_NOT_OPEN || result == CARD_IO_FAILED ||
                                (result == CARD_CANCELLED && cancellable && escapeScripted_);
        FUZZ_CHECK(documented, context);
        if (argumentsBad) {
            FUZZ_CHECK(result == CARD_IO_FAILED, "bad arguments not refused: " + context);
        } else {
            FUZZ_CHECK((result == CARD_NOT_OPEN) == !wasOpen,
                       "CARD_NOT_OPEN and the port's state disagree: " + context);
        }
        if (result == CARD_NOT_OPEN || argumentsBad) {
            FUZZ_CHECK(sim::Written().size() == framesBefore, "a frame went out: " + context);
        }
        fuzz::CheckWorld(context, tainted_);
    }

    void CheckBuffer(const fuzz::HostBuffer& buffer, const std::string& name, int result, bool null) {
        if (null || !buffer.Touched()) return;
        const std::string context = name + ", " + fuzz::Describe(result);
        FUZZ_CHECK(result != CARD_CANCELLED && result != CARD_NOT_OPEN, "buffer written: " + context);
        FUZZ_CHECK(buffer.Terminated(), "buffer not terminated within its size: " + context);
    }

    void CheckOpen(const std::string& name, int result) {
        const std::string context = name + ", " + fuzz::Describe(result);
        if (result == 1) {
            FUZZ_CHECK(g_comm.opened, "1 from an open that left the port closed: " + context);
        } else if (result < 0) {
            // -code: a system error code, from the stand-in or injected.
            const DWORD code = static_cast<DWORD>(-static_cast<int64_t>(result));
            const bool known =
                code == ERROR_FILE_NOT_FOUND || code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_NAME ||
                std::find(fuzz::kErrors, fuzz::kErrors + fuzz::kErrorCount, code) != fuzz::kErrors + fuzz::kErrorCount;
            FUZZ_CHECK(known, "not minus a system error code: " + context);
        } else if (result > 1) {
            const bool known = result == static_cast<int>(MCOMM_CONFIG_ERROR_FLAG | 1) ||
                               std::find(fuzz::kErrors, fuzz::kErrors + fuzz::kErrorCount,
                                         static_cast<DWORD>(result)) != fuzz::kErrors + fuzz::kErrorCount;
            FUZZ_CHECK(known && result != 1, "not a configuration error code: " + context);
        }
        fuzz::CheckWorld(context, tainted_);
    }

    void CheckClose(const std::string& name, int result) {
        const std::string context = name + ", " + fuzz::Describe(result);
        FUZZ_CHECK(result == 0 || result == 1, context);
        fuzz::CheckWorld(context, tainted_);
    }

    void Read(int which) {
        const uint8_t nulls = input_.Byte();
        ScriptRead(input_);
        ScriptRead(input_);
        fuzz::HostBuffer one(which == 0   ? CARD_TRACK1_BUFFER_SIZE
                             : which == 1 ? CARD_TRACK2_BUFFER_SIZE
                                          : CARD_TRACKS_BUFFER_SIZE);
        fuzz::HostBuffer two(CARD_TRACKS_BUFFER_SIZE);
        const bool null1 = (nulls & 1) != 0;
        const bool null2 = which == 2 && (nulls & 2) != 0;
        char* p1 = null1 ? nullptr : one.Data();
        char* p2 = null2 ? nullptr : two.Data();
        const bool wasOpen = g_comm.opened;
        const size_t frames = sim::Written().size();
        const char* const names[] = {"RadTr1Card", "RadTr2Card", "RadTr12Card"};
        const int result = which == 0 ? RadTr1Card(p1) : which == 1 ? RadTr2Card(p1) : RadTr12Card(p1, p2);
        CheckCard(names[which], result, wasOpen, null1 || null2, true, frames);
        CheckBuffer(one, names[which], result, null1);
        if (which == 2) CheckBuffer(two, names[which], result, null2);
    }

    void Write(int which) {
        const size_t longest[] = {CARD_TRACK1_MAX_WRITE, CARD_TRACK2_MAX_WRITE, CARD_TRACKS_MAX_WRITE};
        const Track a = ReadTrack(input_, longest[which]);
        const Track b = which == 2 ? ReadTrack(input_, longest[which]) : Track{"", false};
        ScriptRead(input_);
        bool bad = a.null || b.null;
        if (which == 2)
            bad = bad || a.text.size() + b.text.size() > CARD_TRACKS_MAX_WRITE;
        else
            bad = bad || a.text.size() > longest[which];
        const char* const names[] = {"WrTr1Card", "WrTr2Card", "WrTr12Card"};
        const bool wasOpen = g_comm.opened;
        const size_t frames = sim::Written().size();
        const int result = which == 0   ? WrTr1Card(a.Pointer())
                           : which == 1 ? WrTr2Card(a.Pointer())
                                        : WrTr12Card(a.Pointer(), b.Pointer());
        CheckCard(names[which], result, wasOpen, bad, true, frames);
    }

    void Command(unsigned command) {
        switch (command) {
        case 0: {
            const Name name = ReadName(input_);
            CheckOpen("CreatmComm", CreatmComm(name.Pointer()));
            break;
        }
        case 1: CheckClose("DestroymComm", DestroymComm()); break;
        case 2: {
            const bool wasOpen = g_comm.opened;
            const size_t frames = sim::Written().size();
            CheckCard("CardReset", CardReset(), wasOpen, false, false, frames);
            break;
        }
        case 3:
        case 4: {
            ScriptRead(input_);
            const bool wasOpen = g_comm.opened;
            const size_t frames = sim::Written().size();
            const int result = command == 3 ? IsReadError() : IsWriteError();
            CheckCard(command == 3 ? "IsReadError" : "IsWriteError", result, wasOpen, false, command == 4, frames);
            break;
        }
        case 5:
        case 6:
        case 7: Write(static_cast<int>(command) - 5); break;
        case 8:
        case 9:
        case 10: Read(static_cast<int>(command) - 8); break;
        case 11: CheckOpen("OpenPort(portName)", g_comm.OpenPort(g_comm.portName)); break;
        case 12: {
            const Name name = ReadName(input_);
            CheckOpen("OpenPort(name)", g_comm.OpenPort(const_cast<char*>(name.Pointer())));
            break;
        }
        case 13: CheckClose("ClosePort", g_comm.ClosePort()); break;
        case 14: {
            const int slot = input_.Byte() % kCopySlots;
            copies_[slot] = mComm(g_comm);
            break;
        }
        case 15: {
            mComm& copy = copies_[input_.Byte() % kCopySlots];
            const uint8_t action = input_.Byte() % 3;
            copy = g_comm;
            if (action == 0) {
                const int result = copy.OpenPort(copy.portName);
                g_comm = copy;
                CheckOpen("hand-off OpenPort(portName)", result);
            } else if (action == 1) {
                const int result = copy.ClosePort();
                g_comm = copy;
                CheckClose("hand-off ClosePort", result);
            } else {
                const Name name = ReadName(input_);
                const int result = copy.OpenPort(const_cast<char*>(name.Pointer()));
                g_comm = copy;
                CheckOpen("hand-off OpenPort(name)", result);
            }
            break;
        }
        case 16: {
            mComm& copy = copies_[input_.Byte() % kCopySlots];
            const uint8_t action = input_.Byte();
            tainted_ = true; // g_comm's handles are the copy's: closing or renewing them behind its back
            if (action % 2 == 0) {
                const int result = copy.OpenPort(copy.portName);
                // A copy's own result: anything OpenPort documents.
                FUZZ_CHECK(result != 1 || copy.opened, "stray OpenPort, " + fuzz::Describe(result));
                fuzz::CheckWorld("stray OpenPort", true);
            } else {
                CheckClose("stray ClosePort", copy.ClosePort());
            }
            break;
        }
        case 17: {
            const mComm& copy = copies_[input_.Byte() % kCopySlots];
            if (!SameHandles(copy, g_comm)) tainted_ = true;
            g_comm = copy;
            break;
        }
        case 18: {
            const int from = input_.Byte() % kCopySlots;
            const int to = input_.Byte() % kCopySlots;
            copies_[to] = copies_[from];
            break;
        }
        case 19: {
            const char* function = kFailable[input_.Byte() % kFailableCount];
            const DWORD error = fuzz::PickError(input_.Byte());
            const uint8_t times = input_.Byte();
            const int skip = input_.Byte() % 8;
            sim::Fail(function, error, times >= 0x80 ? -1 : times % 4 + 1, skip);
            if (std::string(function) == "CloseHandle") closeFails_ = true;
            break;
        }
        case 20: {
            const uint8_t mode = input_.Byte() % 5;
            const int incomplete = input_.Byte() % 8;
            const uint8_t error = input_.Byte();
            const sim::WriteScript::Mode modes[] = {sim::WriteScript::AT_ONCE, sim::WriteScript::PENDING,
                                                    sim::WriteScript::FAIL, sim::WriteScript::HELD,
                                                    sim::WriteScript::QUERY_FAILS};
            const bool needsError =
                modes[mode] == sim::WriteScript::FAIL || modes[mode] == sim::WriteScript::QUERY_FAILS;
            sim::NextWrite({modes[mode], incomplete, error >= 0x80 && !needsError ? 0 : fuzz::PickError(error)});
            break;
        }
        case 21: ScriptRead(input_); break;
        case 22: {
            const uint8_t value = input_.Byte();
            if (value % 2 == 0) {
                sim::HoldEscape(sim::Now() + value * 4u, sim::Now() + value * 4u + 30u);
            } else {
                sim::EscapeOnQuery(sim::Calls("GetAsyncKeyState") + value / 2 + 1);
            }
            escapeScripted_ = true;
            break;
        }
        case 23: Sleep(input_.Byte() * 8u); break;
        case 24: {
            const DWORD delay = input_.Byte();
            sim::Arrive(input_.Take(input_.Byte()), delay);
            break;
        }
        case 25: {
            const sim::Bytes& frame = kFrames[input_.Byte() % 6];
            const DWORD delay = input_.Byte();
            sim::Answer(frame, input_.Take(input_.Byte()), delay);
            break;
        }
        case 26: sim::TimeoutsFailReads(input_.Byte() % 2 == 1); break;
        default: break;
        }
    }

    void Finish() {
        const int closed = DestroymComm();
        FUZZ_CHECK(closed == 0 || closed == 1, "closing at the end, " + fuzz::Describe(closed));
        fuzz::CheckWorld("closing at the end", tainted_);
        if (closed == 1 && !closeFails_ && !tainted_) {
            // A failed open of a closed port keeps the events it created until
            // the next open (as the README says): those, and nothing else.
            const int kept =
                (g_comm.readOverlapped.hEvent != NULL ? 1 : 0) + (g_comm.writeOverlapped.hEvent != NULL ? 1 : 0);
            FUZZ_CHECK(sim::OpenHandles() == kept, std::to_string(sim::OpenHandles()) + " handles open at the end, " +
                                                       std::to_string(kept) + " of them events of a failed open");
        }
    }

    fuzz::Input& input_;
    mComm copies_[kCopySlots];
    bool tainted_ = false;        // a copy was misused: the stand-in's problems are excused
    bool escapeScripted_ = false; // CARD_CANCELLED is possible
    bool closeFails_ = false;     // a failed CloseHandle may leave a handle open
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    fuzz::NewWorld();
    Session(input).Run();
    return 0;
}
