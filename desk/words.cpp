// A card function's result in words.
#include "words.h"

#include "QT741DLL.h"

namespace desk {
namespace {

// The library waits 3 s a byte for the device's 10-byte status answer: a write,
// or a status query, that had no answer returns CARD_IO_FAILED after 30 s.
const double kStatusAnswerWaitMs = 30000;
// After a write frame has gone out the library pauses (100 ms, 50 ms for track
// 2 alone) before it asks for the status: a write that failed sooner never left.
double WritePauseMs(Call call) { return call == Call::Write2 ? 50 : 100; }

bool IsWrite(Call call) { return call == Call::Write1 || call == Call::Write2 || call == Call::Write12; }

// CARD_IO_FAILED in words: the result code covers every way an exchange can
// fail, so the time the call took, and for a read whether tracks came, tell
// which it was.
std::wstring FailureWords(Call call, double ms, bool delivered) {
    const bool waitedOut = ms >= kStatusAnswerWaitMs - 500;
    if (IsWrite(call)) {
        if (waitedOut) return L"no answer came in time (30 s)";
        if (ms < WritePauseMs(call)) return L"the write could not be sent to the port";
        return L"the device answered that the write failed";
    }
    if (IsRead(call))
        return delivered ? L"the device answered that the read failed" : L"no answer came from the device";
    switch (call) {
    case Call::WriteStatus:
    case Call::ReadStatus:
        if (waitedOut) return L"no answer came in time (30 s)";
        return call == Call::WriteStatus ? L"the device answered that the last write failed"
                                         : L"the device answered that the last read failed";
    case Call::Reset: return L"the reset could not be sent to the port";
    default: return L"no or a bad answer from the device";
    }
}

} // namespace

bool WaitsForSwipe(Call call) { return IsWrite(call) || IsRead(call) || call == Call::WriteStatus; }

bool IsRead(Call call) { return call == Call::Read1 || call == Call::Read2 || call == Call::Read12; }

std::wstring CardWords(Call call, int code, double ms, bool delivered) {
    switch (code) {
    case CARD_OK: return call == Call::Reset ? L"sent" : L"done";
    case CARD_NOT_OPEN: return L"the port is not open";
    case CARD_IO_FAILED: return FailureWords(call, ms, delivered);
    case CARD_CANCELLED: return L"cancelled";
    case CARD_BUSY: return L"the port is in use by another call (CARD_BUSY)";
    default: return L"an unknown result";
    }
}

} // namespace desk
