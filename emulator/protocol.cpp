#include "protocol.h"

#include <algorithm>
#include <cstdio>

namespace cardemu {

namespace {

const Bytes kWriteEnd{kEndWrite1, kEndWrite2, kEndWrite3};

std::string byte_count(const Bytes& b) { return std::to_string(b.size()) + (b.size() == 1 ? " byte" : " bytes"); }

const char* tracks_name(Tracks t) {
    switch (t) {
    case Tracks::One: return "track 1";
    case Tracks::Two: return "track 2";
    case Tracks::Both: return "tracks 1 and 2";
    }
    return "?";
}

} // namespace

std::string hex(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    char cell[4];
    for (char c : bytes) {
        std::snprintf(cell, sizeof cell, "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        if (!out.empty()) out += ' ';
        out += cell;
    }
    return out;
}

std::string describe(const Frame& frame) {
    switch (frame.kind) {
    case FrameKind::Status: return "status request";
    case FrameKind::Reset: return "reset";
    case FrameKind::ReadTrack1: return "read track 1";
    case FrameKind::ReadTrack2: return "read track 2";
    case FrameKind::ReadBoth: return "read tracks 1 and 2";
    case FrameKind::Unknown: return "unknown bytes, skipped";
    case FrameKind::Bad: return "bad write frame, rejected";
    case FrameKind::Write: break;
    }
    const bool t1 = !frame.track1.empty();
    const bool t2 = !frame.track2.empty();
    if (t1 && t2) return "write tracks 1 and 2 (" + byte_count(frame.track1) + ", " + byte_count(frame.track2) + ")";
    if (t1) return "write track 1 (" + byte_count(frame.track1) + ")";
    if (t2) return "write track 2 (" + byte_count(frame.track2) + ")";
    return "write with no track data";
}

WriteFields split_write_body(const Bytes& body) {
    const std::size_t gs = body.find(kGs);
    if (gs == Bytes::npos) return {body, {}};
    return {body.substr(0, gs), body.substr(gs + 1)};
}

void FrameParser::feed(const char* data, std::size_t size) { buf_.append(data, size); }

Frame FrameParser::take(FrameKind kind, std::size_t size) {
    Frame f;
    f.kind = kind;
    f.raw = buf_.substr(0, size);
    buf_.erase(0, size);
    return f;
}

// Unknown bytes: everything up to the next ESC, which may start a real frame.
Frame FrameParser::take_unknown(std::size_t from) {
    std::size_t end = buf_.find(kEsc, from);
    if (end == Bytes::npos) end = buf_.size();
    return take(FrameKind::Unknown, end);
}

std::optional<Frame> FrameParser::next() {
    if (buf_.empty()) return std::nullopt;
    if (buf_[0] != kEsc) return take_unknown(0);
    if (buf_.size() < 2) return std::nullopt;

    switch (buf_[1]) {
    case kCmdStatus: return take(FrameKind::Status, 2);
    case kCmdReset: return take(FrameKind::Reset, 2);
    case kCmdRead: return take(FrameKind::ReadBoth, 2);
    case kCmdReadT1:
    case kCmdReadT2:
        if (buf_.size() < 3) return std::nullopt;
        if (buf_[2] != kCmdRead) return take_unknown(2);
        return take(buf_[1] == kCmdReadT1 ? FrameKind::ReadTrack1 : FrameKind::ReadTrack2, 3);
    case kCmdWrite: {
        const std::size_t end = buf_.find(kWriteEnd, 2);
        if (end == Bytes::npos) {
            if (buf_.size() > kMaxFrame) return take(FrameKind::Bad, buf_.size());
            return std::nullopt;
        }
        const Bytes body = buf_.substr(2, end - 2);
        if (body.find('\0') != Bytes::npos) return take(FrameKind::Bad, end + kWriteEnd.size());
        Frame f = take(FrameKind::Write, end + kWriteEnd.size());
        WriteFields fields = split_write_body(body);
        f.track1 = std::move(fields.track1);
        f.track2 = std::move(fields.track2);
        return f;
    }
    default: return take_unknown(1);
    }
}

std::optional<Frame> FrameParser::expire() {
    if (buf_.empty()) return std::nullopt;
    const bool write = buf_.size() >= 2 && buf_[0] == kEsc && buf_[1] == kCmdWrite;
    return take(write ? FrameKind::Bad : FrameKind::Unknown, buf_.size());
}

std::optional<Fault> parse_fault(const std::string& name) {
    static const Fault all[] = {Fault::None,      Fault::Silent, Fault::BadStatus,
                                Fault::NoTrailer, Fault::Extra,  Fault::Hangup};
    const auto* found = std::find_if(std::begin(all), std::end(all), [&](Fault f) { return name == fault_name(f); });
    if (found == std::end(all)) return std::nullopt;
    return *found;
}

const char* fault_name(Fault fault) {
    switch (fault) {
    case Fault::None: return "none";
    case Fault::Silent: return "silent";
    case Fault::BadStatus: return "badstatus";
    case Fault::NoTrailer: return "notrailer";
    case Fault::Extra: return "extra";
    case Fault::Hangup: return "hangup";
    }
    return "?";
}

Bytes status_reply(bool ok, Fault fault) {
    const bool good = ok && fault != Fault::BadStatus;
    return Bytes{kEsc, good ? kAnswerOk : kAnswerFail};
}

Bytes track_reply(Tracks tracks, const Card& card, Fault fault) {
    Bytes out{kEsc, kReplyLead};
    switch (tracks) {
    case Tracks::One: out += card.track1; break;
    case Tracks::Two:
        out += kReplyTrack2;
        out += card.track2;
        break;
    case Tracks::Both:
        out += card.track1;
        out += kGs;
        out += card.track2;
        break;
    }
    if (fault != Fault::NoTrailer) {
        out += kTrail1;
        out += kTrail2;
    }
    if (fault == Fault::Extra) out.append(3, kExtraByte);
    return out;
}

Output Device::on_frame(const Frame& frame) {
    Output out;
    switch (frame.kind) {
    case FrameKind::Status:
        if (busy()) {
            ++waiting_status_;
            out.notes.push_back("status request held until the card is swiped");
        } else {
            out.send = status_reply(last_ok_, fault_);
        }
        break;
    case FrameKind::Reset:
        if (busy()) out.notes.push_back("reset: pending operation dropped");
        pending_ = Pending::None;
        waiting_status_ = 0;
        last_ok_ = true;
        break;
    case FrameKind::Write:
        write_ = {frame.track1, frame.track2};
        start(Pending::Write, out);
        break;
    case FrameKind::ReadTrack1:
    case FrameKind::ReadTrack2:
    case FrameKind::ReadBoth:
        read_tracks_ = frame.kind == FrameKind::ReadTrack1   ? Tracks::One
                       : frame.kind == FrameKind::ReadTrack2 ? Tracks::Two
                                                             : Tracks::Both;
        start(Pending::Read, out);
        break;
    case FrameKind::Bad:
        if (busy()) out.notes.push_back("pending operation dropped");
        pending_ = Pending::None;
        waiting_status_ = 0;
        last_ok_ = false;
        break;
    case FrameKind::Unknown: break;
    }
    apply_faults(out);
    return out;
}

void Device::start(Pending what, Output& out) {
    if (busy()) out.notes.push_back("replaces the pending operation");
    pending_ = what;
    waiting_status_ = 0;
    ++operation_;
    out.notes.push_back("waiting for the card");
}

Output Device::on_swipe() {
    Output out;
    switch (pending_) {
    case Pending::None: out.notes.push_back("swipe: nothing to do"); break;
    case Pending::Write: out = swipe_write(); break;
    case Pending::Read: out = swipe_read(); break;
    }
    apply_faults(out);
    return out;
}

Output Device::swipe_write() {
    Output out;
    pending_ = Pending::None;
    Card card;
    std::string error;
    last_ok_ = store_.load(card, error);
    if (last_ok_) {
        if (!write_.track1.empty()) card.track1 = write_.track1;
        if (!write_.track2.empty()) card.track2 = write_.track2;
        last_ok_ = store_.save(card, error);
    }
    if (last_ok_)
        out.notes.push_back(std::string("swipe: card written, track 1 ") +
                            (write_.track1.empty() ? "unchanged" : byte_count(write_.track1)) + ", track 2 " +
                            (write_.track2.empty() ? "unchanged" : byte_count(write_.track2)));
    else
        out.notes.push_back("swipe: write failed: " + error);
    answer_waiting(out);
    return out;
}

Output Device::swipe_read() {
    Output out;
    pending_ = Pending::None;
    Card card;
    std::string error;
    last_ok_ = store_.load(card, error);
    if (!last_ok_) {
        out.notes.push_back("swipe: read failed: " + error);
        answer_waiting(out);
        return out;
    }
    out.send = track_reply(read_tracks_, card, fault_);
    out.notes.push_back(std::string("swipe: read ") + tracks_name(read_tracks_));
    if (fault_ == Fault::Hangup) {
        out.send.resize(out.send.size() / 2);
        out.hangup = true;
        fault_ = Fault::None;
        waiting_status_ = 0;
        out.notes.push_back("fault hangup: half the reply, then the line drops");
        return out;
    }
    answer_waiting(out);
    return out;
}

void Device::answer_waiting(Output& out) {
    for (; waiting_status_ > 0; --waiting_status_)
        out.send += status_reply(last_ok_, fault_);
}

void Device::apply_faults(Output& out) const {
    if (fault_ == Fault::Silent && !out.send.empty()) {
        out.send.clear();
        out.notes.push_back("fault silent: reply suppressed");
    }
}

} // namespace cardemu
