// fuzz_replies: one read or status query on an open port, fed whatever replies,
// counts and read outcomes the fuzzer makes up.
//
// Input encoding:
//   byte 0    the operation, mod 5: RadTr1Card, RadTr2Card, RadTr12Card,
//             IsReadError, IsWriteError
//   byte 1    Escape: 0 never pressed; n: held from n ms after the call
//             starts, for 20 ms
//   then up to two read descriptions, in the order the operation reads
//   (a track read's reply, then the status answer; a query reads once):
//     byte      mode, mod 5: 0 completes at once, 1 fails outright reporting
//               the bytes' count as copied, 2 pending then completes,
//               3 pending then its completion query fails, 4 the device:
//               this read and the ones after it take what the device sends
//     byte      delay in ms: of a pending completion, or of the device's
//               reply after each frame (at least 1 ms: a reply in the same
//               millisecond as a track 1 request is purged with the request,
//               and the read would wait out its 20-minute time-out)
//     byte      the error (an index into fuzz::kErrors) for modes 1 and 3
//     2 bytes   the length of the bytes that follow, little-endian, mod 1024;
//               the reported count is this length, up to and past the read's
//               capacity (10 for a status answer, 400 for a track reply)
//     bytes     the reply (fewer when the input ends)
//   A read the input describes no further completes at once with nothing; once
//   the device answers, a status request the input describes no further is
//   answered ESC "p". A track read from a device that sends nothing completes
//   at once with nothing (its 20-minute time-out would only cost time).
//
// Invariants: the result is one the header documents for the call (-5 only
// when Escape was pressed, never -1 on the open port), CARD_OK from a query
// only when some reply's last byte within the status capacity is 'p'; every
// host buffer, allocated at exactly its documented size, is either untouched
// or NUL-terminated within its size and holds only text taken from a reply,
// and is untouched on CARD_CANCELLED; no read is left outstanding, the
// stand-in sees no misuse, and closing the port leaves no handle open.
#include <algorithm>
#include <vector>

#include "fuzz_common.h"

namespace {

enum Op { READ_TRACK1, READ_TRACK2, READ_TRACKS, IS_READ_ERROR, IS_WRITE_ERROR, OP_COUNT };

const char* const kOpNames[] = {"RadTr1Card", "RadTr2Card", "RadTr12Card", "IsReadError", "IsWriteError"};
const sim::Bytes kRequests[] = {sim::B("\x1B\x42\x5D"), sim::B("\x1B\x54\x5D"), sim::B("\x1B\x5D"), sim::B("\x1B\x6A"),
                                sim::B("\x1B\x6A")};
const sim::Bytes kStatusRequest = sim::B("\x1B\x6A");
const DWORD kStatusCapacity = 10;

enum Mode { AT_ONCE, FAIL, PENDING, PENDING_ERROR, DEVICE, MODE_COUNT };

// True when `text` occurs in one of the replies.
bool FromAReply(const std::string& text, const std::vector<sim::Bytes>& replies) {
    if (text.empty()) return true;
    const sim::Bytes bytes = sim::B(text); // compared as unsigned bytes, as the replies are
    return std::any_of(replies.begin(), replies.end(), [&bytes](const sim::Bytes& reply) {
        return std::search(reply.begin(), reply.end(), bytes.begin(), bytes.end()) != reply.end();
    });
}

// True when a status answer read from this reply ends in 'p'.
bool PassingStatus(const sim::Bytes& reply) {
    const size_t count = std::min<size_t>(reply.size(), kStatusCapacity);
    return count > 0 && reply[count - 1] == 'p';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    fuzz::NewWorld();
    FUZZ_CHECK(CreatmComm("COM1") == 1, "opening COM1");
    sim::ClearTrace();

    const Op op = static_cast<Op>(input.Byte() % OP_COUNT);
    const uint8_t escapeAt = input.Byte();
    if (escapeAt != 0) sim::HoldEscape(sim::Now() + escapeAt, sim::Now() + escapeAt + 20u);

    const int reads = op <= READ_TRACKS ? 2 : 1;
    std::vector<sim::Bytes> replies;
    bool device = false;
    for (int i = 0; i < reads; ++i) {
        const sim::Bytes& frame = i == 0 ? kRequests[op] : kStatusRequest;
        if (input.Empty()) {
            // Scripts are taken by reads in order, so once the device answers a
            // read, the reads after it cannot be scripted.
            if (device) {
                sim::Answer(kStatusRequest, sim::B("\x1Bp"), 1);
            } else {
                sim::NextRead({sim::ReadScript::AT_ONCE, {}, 0, 0});
            }
            continue;
        }
        const Mode mode = static_cast<Mode>(input.Byte() % MODE_COUNT);
        const DWORD delay = input.Byte();
        const DWORD error = fuzz::PickError(input.Byte());
        const sim::Bytes bytes = input.Take(input.Word() % 1024);
        replies.push_back(bytes);
        device = device || mode == DEVICE;
        if (device) {
            sim::Answer(frame, bytes, std::max<DWORD>(delay, 1));
            // A track read from a device that sends nothing waits twenty
            // virtual minutes; it ends at once instead.
            if (bytes.empty() && i == 0) sim::NextRead({sim::ReadScript::AT_ONCE, {}, 0, 0});
            continue;
        }
        const sim::ReadScript::Mode modes[] = {sim::ReadScript::AT_ONCE, sim::ReadScript::FAIL,
                                               sim::ReadScript::PENDING, sim::ReadScript::PENDING_ERROR};
        sim::NextRead({modes[mode], bytes, delay, error});
    }

    fuzz::HostBuffer track1(CARD_TRACK1_BUFFER_SIZE), track2(CARD_TRACK2_BUFFER_SIZE);
    fuzz::HostBuffer tracks1(CARD_TRACKS_BUFFER_SIZE), tracks2(CARD_TRACKS_BUFFER_SIZE);
    int result = 0;
    switch (op) {
    case READ_TRACK1: result = RadTr1Card(track1.Data()); break;
    case READ_TRACK2: result = RadTr2Card(track2.Data()); break;
    case READ_TRACKS: result = RadTr12Card(tracks1.Data(), tracks2.Data()); break;
    case IS_READ_ERROR: result = IsReadError(); break;
    case IS_WRITE_ERROR: result = IsWriteError(); break;
    case OP_COUNT: break;
    }
    const std::string context = std::string(kOpNames[op]) + ", " + fuzz::Describe(result);

    const bool cancellable = op != IS_READ_ERROR;
    const bool documented =
        result == CARD_OK || result == CARD_IO_FAILED || (result == CARD_CANCELLED && cancellable && escapeAt != 0);
    FUZZ_CHECK(documented, context);
    if (op >= IS_READ_ERROR && result == CARD_OK) {
        FUZZ_CHECK(std::any_of(replies.begin(), replies.end(), PassingStatus), "success without a 'p': " + context);
    }

    const std::pair<const char*, fuzz::HostBuffer*> buffers[] = {{"track 1", &track1},
                                                                 {"track 2", &track2},
                                                                 {"first of two tracks", &tracks1},
                                                                 {"second of two tracks", &tracks2}};
    for (const auto& buffer : buffers) {
        if (!buffer.second->Touched()) continue;
        const std::string which = std::string(buffer.first) + " buffer, " + context;
        FUZZ_CHECK(result != CARD_CANCELLED, "written on cancel: " + which);
        FUZZ_CHECK(buffer.second->Terminated(), "not terminated within its size: " + which);
        FUZZ_CHECK(FromAReply(buffer.second->Text(), replies), "holds text no reply had: " + which);
    }

    fuzz::CheckWorld(context, false);
    FUZZ_CHECK(DestroymComm() == 1, "closing after " + context);
    FUZZ_CHECK(sim::OpenHandles() == 0, "handles left open after " + context);
    fuzz::CheckWorld("closing after " + context, false);
    return 0;
}
