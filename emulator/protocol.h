// The card reader/writer's side of the serial protocol, free of any I/O: the
// frame parser, the reply builders and the device state machine. The main loop
// feeds received bytes in, sends the bytes that come out, and owns the clock.
#ifndef CARDEMU_PROTOCOL_H
#define CARDEMU_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cardemu {

// Raw line bytes and track data. Any 8-bit value may appear.
using Bytes = std::string;

constexpr char kEsc = '\x1B';
constexpr char kGs = '\x1D';

// Byte values of the frames' command letters.
constexpr char kCmdStatus = '\x6A';
constexpr char kCmdReset = '\x30';
constexpr char kCmdWrite = '\x74';
constexpr char kCmdReadT1 = '\x42';
constexpr char kCmdReadT2 = '\x54';
constexpr char kCmdRead = '\x5D';
constexpr char kEndWrite1 = kGs;
constexpr char kEndWrite2 = kEsc;
constexpr char kEndWrite3 = '\x5C';

// Reply bytes.
constexpr char kAnswerOk = '\x70';
constexpr char kAnswerFail = '\x71';
constexpr char kReplyLead = '\x73';
constexpr char kReplyTrack2 = '\x32';
constexpr char kTrail1 = '\x3F';
constexpr char kTrail2 = '\x1C';
constexpr char kExtraByte = '\xEE';

struct Card {
    Bytes track1;
    Bytes track2;
    bool operator==(const Card& o) const { return track1 == o.track1 && track2 == o.track2; }
};

enum class FrameKind {
    Status,
    Reset,
    Write,
    ReadTrack1,
    ReadTrack2,
    ReadBoth,
    Unknown, // bytes that start no known frame; skipped
    Bad,     // a write frame that cannot be accepted (NUL in it, or too long)
};

struct Frame {
    FrameKind kind = FrameKind::Unknown;
    Bytes raw;    // the bytes as received
    Bytes track1; // Write: new track-1 data; empty leaves the track as it is
    Bytes track2; // Write: new track-2 data; empty leaves the track as it is
};

// A one-line description for the log, e.g. "write track 1 (5 bytes)".
std::string describe(const Frame& frame);

// Splits the body of a write frame (the bytes between "1B 74" and the final
// "1D 1B 5C"): without a 1D it is track 1; otherwise track 1 is what comes
// before the first 1D and track 2 is everything after it.
struct WriteFields {
    Bytes track1;
    Bytes track2;
};
WriteFields split_write_body(const Bytes& body);

// Cuts the received byte stream into frames. Bytes may arrive in any pieces;
// an incomplete frame stays buffered until the rest comes.
class FrameParser {
public:
    // A write frame whose terminator has not come within this many bytes is
    // given up as Bad, so a lost terminator cannot make the buffer grow forever.
    static constexpr std::size_t kMaxFrame = 4096;

    void feed(const char* data, std::size_t size);
    void feed(const Bytes& data) { feed(data.data(), data.size()); }
    // The next complete frame (or run of unknown bytes), if any.
    std::optional<Frame> next();
    // Gives up an incomplete frame (the main loop calls this when the line
    // has been quiet too long): an unfinished write frame comes out as Bad,
    // so the write fails; anything else as Unknown.
    std::optional<Frame> expire();
    // Forgets anything buffered (used when the line is dropped).
    void clear() { buf_.clear(); }
    std::size_t buffered() const { return buf_.size(); }

private:
    Frame take(FrameKind kind, std::size_t size);
    Frame take_unknown(std::size_t from);
    Bytes buf_;
};

enum class Fault {
    None,
    Silent,    // never answer anything
    BadStatus, // status answers end in 0x71
    NoTrailer, // track replies lack their 2 trailing bytes
    Extra,     // track replies get 3 extra 0xEE bytes after the trailer
    Hangup,    // send half of the next track reply, then drop the line (one-shot)
};

std::optional<Fault> parse_fault(const std::string& name);
const char* fault_name(Fault fault);

enum class Tracks { One, Two, Both };

// Answer to a status request: ESC + 'p' (success) or ESC + 'q' (failure).
Bytes status_reply(bool ok, Fault fault);
// Reply to a read frame, with the NoTrailer and Extra faults applied.
Bytes track_reply(Tracks tracks, const Card& card, Fault fault);

// Where the card lives between swipes (a file in the emulator, memory in tests).
class CardStore {
public:
    virtual ~CardStore() = default;
    virtual bool load(Card& card, std::string& error) = 0;
    virtual bool save(const Card& card, std::string& error) = 0;
};

// What the device does in response to an event.
struct Output {
    Bytes send;                     // bytes to put on the line
    bool hangup = false;            // drop the line once `send` has gone out
    std::vector<std::string> notes; // what happened, for the log
};

// The reader/writer: one operation (read or write) at a time waits for the
// card to be swiped; status requests report how the last operation went.
class Device {
public:
    explicit Device(CardStore& store) : store_(store) {}

    Output on_frame(const Frame& frame);
    Output on_swipe();

    void set_fault(Fault fault) { fault_ = fault; }
    Fault fault() const { return fault_; }
    // An operation is waiting for a swipe.
    bool busy() const { return pending_ != Pending::None; }
    // Grows with each operation that starts waiting, so a timer armed for one
    // operation can tell that it has been replaced.
    std::uint64_t operation() const { return operation_; }
    bool last_ok() const { return last_ok_; }
    unsigned waiting_status_requests() const { return waiting_status_; }

private:
    enum class Pending { None, Write, Read };

    void start(Pending what, Output& out);
    void answer_waiting(Output& out);
    void apply_faults(Output& out) const;
    Output swipe_write();
    Output swipe_read();

    CardStore& store_;
    Fault fault_ = Fault::None;
    Pending pending_ = Pending::None;
    Tracks read_tracks_ = Tracks::Both;
    WriteFields write_;
    std::uint64_t operation_ = 0;
    bool last_ok_ = true;
    unsigned waiting_status_ = 0;
};

// "1B 6A" style hex for the log.
std::string hex(const Bytes& bytes);

} // namespace cardemu

#endif
