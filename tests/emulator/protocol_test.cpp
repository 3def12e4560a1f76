#include "protocol.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace cardemu {
namespace {

Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

std::vector<Frame> parse_all(FrameParser& parser) {
    std::vector<Frame> frames;
    while (auto f = parser.next())
        frames.push_back(*f);
    return frames;
}

struct FrameCase {
    const char* name;
    Bytes input;
    FrameKind kind;
    Bytes track1;
    Bytes track2;
};

TEST(FrameParser, RecognisesEachFrame) {
    const std::vector<FrameCase> cases = {
        {"status", B({0x1B, 0x6A}), FrameKind::Status, "", ""},
        {"reset", B({0x1B, 0x30}), FrameKind::Reset, "", ""},
        {"read t1", B({0x1B, 0x42, 0x5D}), FrameKind::ReadTrack1, "", ""},
        {"read t2", B({0x1B, 0x54, 0x5D}), FrameKind::ReadTrack2, "", ""},
        {"read both", B({0x1B, 0x5D}), FrameKind::ReadBoth, "", ""},
        {"write t1", B({0x1B, 0x74}) + "%AB?" + B({0x1D, 0x1B, 0x5C}), FrameKind::Write, "%AB?", ""},
        {"write t2", B({0x1B, 0x74, 0x1D}) + ";12?" + B({0x1D, 0x1B, 0x5C}), FrameKind::Write, "", ";12?"},
        {"write both", B({0x1B, 0x74}) + "T1" + B({0x1D}) + "T2" + B({0x1D, 0x1B, 0x5C}), FrameKind::Write, "T1", "T2"},
        // ESC inside track data is data: only 1D 1B 5C ends the frame.
        {"t1 holds frames", B({0x1B, 0x74, 'A', 0x1B, 0x6A, 0x1B, 0x5C, 0x1B, 0x30, 0x1D, 0x1B, 0x5C}),
         FrameKind::Write, B({'A', 0x1B, 0x6A, 0x1B, 0x5C, 0x1B, 0x30}), ""},
        {"t2 keeps later 1D", B({0x1B, 0x74, 'A', 0x1D, 'B', 0x1D, 'C', 0x1D, 0x1B, 0x5C}), FrameKind::Write, "A",
         B({'B', 0x1D, 'C'})},
        {"high bytes", B({0x1B, 0x74, 0xFF, 0x80, 0x01, 0x1D, 0x1B, 0x5C}), FrameKind::Write, B({0xFF, 0x80, 0x01}),
         ""},
        {"t1 then empty t2", B({0x1B, 0x74, 'A', 0x1D, 0x1D, 0x1B, 0x5C}), FrameKind::Write, "A", ""},
        {"empty write", B({0x1B, 0x74, 0x1D, 0x1D, 0x1B, 0x5C}), FrameKind::Write, "", ""},
        {"nul in data", B({0x1B, 0x74, 'A', 0x00, 'B', 0x1D, 0x1B, 0x5C}), FrameKind::Bad, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameParser parser;
        parser.feed(c.input);
        const auto frames = parse_all(parser);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].kind, c.kind);
        EXPECT_EQ(frames[0].raw, c.input);
        EXPECT_EQ(frames[0].track1, c.track1);
        EXPECT_EQ(frames[0].track2, c.track2);
        EXPECT_EQ(parser.buffered(), 0u);
    }
}

TEST(FrameParser, SameFramesWhateverThePiecesTheBytesArriveIn) {
    const Bytes stream = B({0x1B, 0x74}) + "AB" + B({0x1B, 0x1D}) + "CD" + B({0x1D, 0x1B, 0x5C}) + B({0x1B, 0x6A}) +
                         B({0x1B, 0x42, 0x5D}) + "zz" + B({0x1B, 0x30, 0x1B, 0x54, 0x5D, 0x1B, 0x5D});
    // Unknown bytes come out in whatever runs have arrived, so compare them
    // as one string and the frames one by one.
    struct Digest {
        std::vector<Frame> frames;
        Bytes unknown;
    };
    auto digest = [](const std::vector<Frame>& all) {
        Digest d;
        for (const auto& f : all) {
            if (f.kind == FrameKind::Unknown)
                d.unknown += f.raw;
            else
                d.frames.push_back(f);
        }
        return d;
    };
    FrameParser whole;
    whole.feed(stream);
    const Digest expected = digest(parse_all(whole));
    ASSERT_EQ(expected.frames.size(), 6u);
    ASSERT_EQ(expected.unknown, "zz");

    auto same = [&](const std::vector<Frame>& all) {
        const Digest got = digest(all);
        EXPECT_EQ(got.unknown, expected.unknown);
        ASSERT_EQ(got.frames.size(), expected.frames.size());
        for (std::size_t i = 0; i < got.frames.size(); ++i) {
            EXPECT_EQ(got.frames[i].kind, expected.frames[i].kind) << i;
            EXPECT_EQ(got.frames[i].raw, expected.frames[i].raw) << i;
            EXPECT_EQ(got.frames[i].track1, expected.frames[i].track1) << i;
            EXPECT_EQ(got.frames[i].track2, expected.frames[i].track2) << i;
        }
    };
    EXPECT_EQ(expected.frames[0].track1, "AB" + B({0x1B}));
    EXPECT_EQ(expected.frames[0].track2, "CD");

    {
        SCOPED_TRACE("byte by byte");
        FrameParser parser;
        std::vector<Frame> got;
        for (char c : stream) {
            parser.feed(&c, 1);
            for (auto& f : parse_all(parser))
                got.push_back(f);
        }
        same(got);
    }
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        FrameParser parser;
        parser.feed(stream.substr(0, cut));
        auto got = parse_all(parser);
        parser.feed(stream.substr(cut));
        for (auto& f : parse_all(parser))
            got.push_back(f);
        same(got);
    }
}

TEST(FrameParser, UnknownBytesAreSkippedUpToTheNextEsc) {
    struct Case {
        Bytes input;
        Bytes unknown;
        FrameKind then;
    };
    const std::vector<Case> cases = {
        {B({'A', 'B', 0x1B, 0x6A}), "AB", FrameKind::Status},
        {B({0x1B, 0x99, 0x00, 0x1B, 0x6A}), B({0x1B, 0x99, 0x00}), FrameKind::Status},
        {B({0x1B, 0x42, 'x', 0x1B, 0x5D}), B({0x1B, 0x42, 'x'}), FrameKind::ReadBoth},
        {B({0x1B, 0x54, 0x1B, 0x54, 0x5D}), B({0x1B, 0x54}), FrameKind::ReadTrack2},
        {B({0x1B, 0x1B, 0x30}), B({0x1B}), FrameKind::Reset},
        {B({0x1D, 0x1B, 0x5C, 0x1B, 0x6A}), B({0x1D}), FrameKind::Unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.input));
        FrameParser parser;
        parser.feed(c.input);
        auto first = parser.next();
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->kind, FrameKind::Unknown);
        EXPECT_EQ(first->raw, c.unknown);
        auto second = parser.next();
        ASSERT_TRUE(second.has_value());
        EXPECT_EQ(second->kind, c.then);
    }
}

TEST(FrameParser, WriteWithoutTerminatorIsGivenUpPastTheLimit) {
    FrameParser parser;
    parser.feed(B({0x1B, 0x74}) + Bytes(FrameParser::kMaxFrame - 2, 'A'));
    EXPECT_FALSE(parser.next().has_value());
    parser.feed("A");
    auto f = parser.next();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->kind, FrameKind::Bad);
    EXPECT_EQ(parser.buffered(), 0u);
    parser.feed(B({0x1B, 0x6A}));
    f = parser.next();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->kind, FrameKind::Status);
}

TEST(FrameParser, ExpireGivesUpAnIncompleteFrame) {
    struct Case {
        Bytes partial;
        FrameKind kind;
    };
    const std::vector<Case> cases = {
        {B({0x1B}), FrameKind::Unknown},
        {B({0x1B, 0x42}), FrameKind::Unknown},
        {B({0x1B, 0x74}), FrameKind::Bad},
        {B({0x1B, 0x74, 'A', 0x1D, 0x1B}), FrameKind::Bad},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.partial));
        FrameParser parser;
        parser.feed(c.partial);
        EXPECT_FALSE(parser.next().has_value());
        auto f = parser.expire();
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->kind, c.kind);
        EXPECT_EQ(f->raw, c.partial);
        EXPECT_EQ(parser.buffered(), 0u);
        EXPECT_FALSE(parser.expire().has_value());
    }
}

TEST(Replies, StatusAnswer) {
    EXPECT_EQ(status_reply(true, Fault::None), B({0x1B, 0x70}));
    EXPECT_EQ(status_reply(false, Fault::None), B({0x1B, 0x71}));
    EXPECT_EQ(status_reply(true, Fault::BadStatus), B({0x1B, 0x71}));
    EXPECT_EQ(status_reply(true, Fault::Extra), B({0x1B, 0x70}));
    EXPECT_EQ(status_reply(true, Fault::NoTrailer), B({0x1B, 0x70}));
}

TEST(Replies, TrackReplyLayouts) {
    const Card card{"%T1?", ";T2?"};
    struct Case {
        const char* name;
        Tracks tracks;
        Fault fault;
        Bytes expected;
    };
    const std::vector<Case> cases = {
        {"t1", Tracks::One, Fault::None, B({0x1B, 0x73}) + "%T1?" + B({0x3F, 0x1C})},
        {"t2", Tracks::Two, Fault::None, B({0x1B, 0x73, 0x32}) + ";T2?" + B({0x3F, 0x1C})},
        {"both", Tracks::Both, Fault::None, B({0x1B, 0x73}) + "%T1?" + B({0x1D}) + ";T2?" + B({0x3F, 0x1C})},
        {"t1 notrailer", Tracks::One, Fault::NoTrailer, B({0x1B, 0x73}) + "%T1?"},
        {"both notrailer", Tracks::Both, Fault::NoTrailer, B({0x1B, 0x73}) + "%T1?" + B({0x1D}) + ";T2?"},
        {"t2 extra", Tracks::Two, Fault::Extra, B({0x1B, 0x73, 0x32}) + ";T2?" + B({0x3F, 0x1C, 0xEE, 0xEE, 0xEE})},
        {"t1 badstatus", Tracks::One, Fault::BadStatus, B({0x1B, 0x73}) + "%T1?" + B({0x3F, 0x1C})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hex(track_reply(c.tracks, card, c.fault)), hex(c.expected));
    }
}

// A card store in memory that can be told to fail.
class MemoryStore : public CardStore {
public:
    bool load(Card& c, std::string& error) override {
        ++loads;
        if (fail_load) {
            error = "cannot load";
            return false;
        }
        c = card;
        return true;
    }
    bool save(const Card& c, std::string& error) override {
        ++saves;
        if (fail_save) {
            error = "cannot save";
            return false;
        }
        card = c;
        return true;
    }
    Card card;
    bool fail_load = false;
    bool fail_save = false;
    int loads = 0;
    int saves = 0;
};

Frame frame_of(const Bytes& bytes) {
    FrameParser p;
    p.feed(bytes);
    auto f = p.next();
    EXPECT_TRUE(f.has_value());
    EXPECT_EQ(p.buffered(), 0u);
    return f ? *f : Frame{};
}

const Bytes kStatus = B({0x1B, 0x6A});
const Bytes kReset = B({0x1B, 0x30});
const Bytes kOk = B({0x1B, 0x70});
const Bytes kFail = B({0x1B, 0x71});

Bytes write_frame(const Bytes& t1, const Bytes& t2) {
    Bytes f = B({0x1B, 0x74}) + t1;
    if (!t2.empty()) f += B({0x1D}) + t2;
    return f + B({0x1D, 0x1B, 0x5C});
}

class DeviceTest : public ::testing::Test {
protected:
    Output send(const Bytes& bytes) { return device.on_frame(frame_of(bytes)); }
    MemoryStore store;
    Device device{store};
};

TEST_F(DeviceTest, WriteIsHeldUntilTheSwipeAndTheStatusWaitsForIt) {
    EXPECT_EQ(send(kStatus).send, kOk); // nothing pending: answered at once
    store.card = {"old1", "old2"};
    Output out = send(write_frame("new1", ""));
    EXPECT_TRUE(out.send.empty());
    EXPECT_TRUE(device.busy());
    EXPECT_TRUE(send(kStatus).send.empty());
    EXPECT_EQ(store.saves, 0);

    out = device.on_swipe();
    EXPECT_EQ(out.send, kOk);
    EXPECT_EQ(store.card, (Card{"new1", "old2"}));
    EXPECT_FALSE(device.busy());
    EXPECT_EQ(send(kStatus).send, kOk);
}

TEST_F(DeviceTest, EmptyFieldsLeaveTracksAsTheyWere) {
    struct Case {
        Bytes frame;
        Card expected;
    };
    const std::vector<Case> cases = {
        {write_frame("A", ""), {"A", "old2"}},
        {B({0x1B, 0x74, 0x1D}) + "B" + B({0x1D, 0x1B, 0x5C}), {"old1", "B"}},
        {write_frame("A", "B"), {"A", "B"}},
        {B({0x1B, 0x74, 0x1D, 0x1D, 0x1B, 0x5C}), {"old1", "old2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.frame));
        store.card = {"old1", "old2"};
        send(c.frame);
        EXPECT_EQ(device.on_swipe().send, "");
        EXPECT_EQ(store.card, c.expected);
        EXPECT_TRUE(device.last_ok());
    }
}

TEST_F(DeviceTest, ReadRepliesOnSwipeThenStatusIsSuccess) {
    store.card = {"%A?", ";1?"};
    struct Case {
        Bytes frame;
        Bytes reply;
    };
    const std::vector<Case> cases = {
        {B({0x1B, 0x42, 0x5D}), B({0x1B, 0x73}) + "%A?" + B({0x3F, 0x1C})},
        {B({0x1B, 0x54, 0x5D}), B({0x1B, 0x73, 0x32}) + ";1?" + B({0x3F, 0x1C})},
        {B({0x1B, 0x5D}), B({0x1B, 0x73}) + "%A?" + B({0x1D}) + ";1?" + B({0x3F, 0x1C})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.frame));
        EXPECT_TRUE(send(c.frame).send.empty());
        EXPECT_EQ(device.on_swipe().send, c.reply);
        EXPECT_EQ(send(kStatus).send, kOk);
    }
    EXPECT_EQ(store.saves, 0);
}

TEST_F(DeviceTest, StatusHeldDuringReadIsAnsweredAfterTheReply) {
    store.card = {"X", ""};
    send(B({0x1B, 0x42, 0x5D}));
    EXPECT_TRUE(send(kStatus).send.empty());
    EXPECT_EQ(device.on_swipe().send, B({0x1B, 0x73}) + "X" + B({0x3F, 0x1C}) + kOk);
}

TEST_F(DeviceTest, ResetDropsThePendingWriteSilently) {
    store.card = {"keep", ""};
    send(write_frame("lost", ""));
    EXPECT_TRUE(send(kStatus).send.empty());
    EXPECT_TRUE(send(kReset).send.empty());
    EXPECT_FALSE(device.busy());
    EXPECT_TRUE(device.on_swipe().send.empty());
    EXPECT_EQ(store.card.track1, "keep");
    EXPECT_EQ(store.saves, 0);
    EXPECT_EQ(send(kStatus).send, kOk);
    // The status request held before the reset is not answered later either.
    send(B({0x1B, 0x42, 0x5D}));
    EXPECT_EQ(device.on_swipe().send, B({0x1B, 0x73}) + "keep" + B({0x3F, 0x1C}));
}

TEST_F(DeviceTest, ANewOperationReplacesThePendingOne) {
    store.card = {"keep", ""};
    send(write_frame("lost", ""));
    const auto first = device.operation();
    send(B({0x1B, 0x42, 0x5D}));
    EXPECT_NE(device.operation(), first);
    EXPECT_EQ(device.on_swipe().send, B({0x1B, 0x73}) + "keep" + B({0x3F, 0x1C}));
    EXPECT_EQ(store.saves, 0);
}

TEST_F(DeviceTest, FailuresMakeTheStatusFail) {
    {
        SCOPED_TRACE("save fails");
        store.fail_save = true;
        send(write_frame("A", ""));
        send(kStatus);
        EXPECT_EQ(device.on_swipe().send, kFail);
        EXPECT_EQ(send(kStatus).send, kFail);
        store.fail_save = false;
    }
    {
        SCOPED_TRACE("load fails on write");
        store.fail_load = true;
        send(write_frame("A", ""));
        device.on_swipe();
        EXPECT_EQ(store.saves, 1); // the failed attempt above only
        EXPECT_EQ(send(kStatus).send, kFail);
    }
    {
        SCOPED_TRACE("load fails on read: no track reply");
        send(B({0x1B, 0x5D}));
        EXPECT_TRUE(device.on_swipe().send.empty());
        EXPECT_EQ(send(kStatus).send, kFail);
        store.fail_load = false;
    }
    {
        SCOPED_TRACE("the next good operation succeeds again");
        send(write_frame("A", ""));
        device.on_swipe();
        EXPECT_EQ(send(kStatus).send, kOk);
    }
    {
        SCOPED_TRACE("bad frame");
        send(B({0x1B, 0x74, 'A', 0x00, 0x1D, 0x1B, 0x5C}));
        EXPECT_FALSE(device.busy());
        EXPECT_EQ(send(kStatus).send, kFail);
    }
}

TEST_F(DeviceTest, FaultSilentSuppressesEveryReply) {
    store.card = {"A", "B"};
    device.set_fault(Fault::Silent);
    EXPECT_TRUE(send(kStatus).send.empty());
    send(B({0x1B, 0x5D}));
    EXPECT_TRUE(device.on_swipe().send.empty());
    send(write_frame("W", ""));
    send(kStatus);
    EXPECT_TRUE(device.on_swipe().send.empty());
    EXPECT_EQ(store.card.track1, "W"); // the card is still written
    device.set_fault(Fault::None);
    EXPECT_EQ(send(kStatus).send, kOk);
}

TEST_F(DeviceTest, FaultsShapeTheReplies) {
    store.card = {"ABCD", "1234"};
    device.set_fault(Fault::BadStatus);
    EXPECT_EQ(send(kStatus).send, kFail);
    device.set_fault(Fault::NoTrailer);
    send(B({0x1B, 0x42, 0x5D}));
    EXPECT_EQ(device.on_swipe().send, B({0x1B, 0x73}) + "ABCD");
    device.set_fault(Fault::Extra);
    send(B({0x1B, 0x54, 0x5D}));
    EXPECT_EQ(device.on_swipe().send, B({0x1B, 0x73, 0x32}) + "1234" + B({0x3F, 0x1C, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(device.fault(), Fault::Extra); // lasting until changed
}

TEST_F(DeviceTest, FaultHangupSendsHalfOfOneTrackReplyThenClears) {
    store.card = {"ABCDEFGH", ""};
    device.set_fault(Fault::Hangup);
    EXPECT_EQ(send(kStatus).send, kOk); // status answers are not affected
    send(B({0x1B, 0x42, 0x5D}));
    send(kStatus);
    Output out = device.on_swipe();
    const Bytes full = B({0x1B, 0x73}) + "ABCDEFGH" + B({0x3F, 0x1C});
    EXPECT_EQ(out.send, full.substr(0, full.size() / 2));
    EXPECT_TRUE(out.hangup);
    EXPECT_EQ(device.fault(), Fault::None);
    EXPECT_EQ(device.waiting_status_requests(), 0u);

    send(B({0x1B, 0x42, 0x5D}));
    out = device.on_swipe();
    EXPECT_EQ(out.send, full);
    EXPECT_FALSE(out.hangup);
}

} // namespace
} // namespace cardemu
