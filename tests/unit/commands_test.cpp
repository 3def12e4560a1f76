// The command set: write frames and the layouts of the device's replies.
#include <gtest/gtest.h>

#include <sim.h>

#include <string>

#include "QT741DLL.h"
#include "commands.h"

namespace {

std::string Frame(const char* track1, const char* track2) {
    char frame[kFrameSize];
    const DWORD length = BuildWriteFrame(frame, track1, track2);
    return length == 0 ? "(refused)" : sim::Hex(sim::Bytes(frame, frame + length));
}

TEST(WriteFrame, Layouts) {
    EXPECT_EQ(Frame("", NULL), "1B 74 1D 1B 5C");
    EXPECT_EQ(Frame("AB", NULL), "1B 74 41 42 1D 1B 5C");
    EXPECT_EQ(Frame(NULL, "123"), "1B 74 1D 31 32 33 1D 1B 5C");
    EXPECT_EQ(Frame(NULL, ""), "1B 74 1D 1D 1B 5C");
    EXPECT_EQ(Frame("", ""), "1B 74 1D 1D 1B 5C");
    EXPECT_EQ(Frame("A", "B"), "1B 74 41 1D 42 1D 1B 5C");
    // Data is passed through untranslated, control bytes included.
    EXPECT_EQ(Frame("\x1D\xFF", NULL), "1B 74 1D FF 1D 1B 5C");
}

TEST(WriteFrame, LongestDataThatFits) {
    struct Case {
        size_t track1, track2; // lengths; npos: track not written
        bool fits;
    } cases[] = {
        {CARD_TRACK1_MAX_WRITE, std::string::npos, true},
        {CARD_TRACK1_MAX_WRITE + 1, std::string::npos, false},
        {std::string::npos, CARD_TRACK2_MAX_WRITE, true},
        {std::string::npos, CARD_TRACK2_MAX_WRITE + 1, false},
        {200, CARD_TRACKS_MAX_WRITE - 200, true},
        {200, CARD_TRACKS_MAX_WRITE - 199, false},
        {CARD_TRACKS_MAX_WRITE + 1, 0, false},
        {5000, std::string::npos, false},
    };
    for (const Case& c : cases) {
        const std::string t1(c.track1 == std::string::npos ? 0 : c.track1, 'A');
        const std::string t2(c.track2 == std::string::npos ? 0 : c.track2, 'B');
        char frame[kFrameSize];
        const DWORD length = BuildWriteFrame(frame, c.track1 == std::string::npos ? NULL : t1.c_str(),
                                             c.track2 == std::string::npos ? NULL : t2.c_str());
        SCOPED_TRACE(std::to_string(t1.size()) + " + " + std::to_string(t2.size()));
        EXPECT_EQ(length != 0, c.fits);
        if (c.fits) {
            EXPECT_EQ(length, kFrameSize - 1);
        }
    }
}

TEST(StatusAnswer, OnlyTheLastByteCounts) {
    struct Case {
        std::string answer;
        bool passed;
    } cases[] = {
        {"p", true},      {"\x1Bp", true}, {"xyzp", true},       {"pq", false},
        {"\x1Bq", false}, {"", false},     {"123456789p", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StatusPassed(c.answer.data(), static_cast<DWORD>(c.answer.size())), c.passed) << c.answer;
    }
}

// A reply as it lies in the zeroed 400-byte buffer.
struct ReplyBuffer {
    char bytes[kTrackReplySize] = {0};
    DWORD count;
    explicit ReplyBuffer(const std::string& reply) : count(static_cast<DWORD>(reply.size())) {
        reply.copy(bytes, reply.size());
    }
};

TEST(TrackReply, OneTrackDropsItsLeadingAndTrailingBytes) {
    struct Case {
        std::string reply;
        DWORD leading;
        std::string track;
    } cases[] = {
        {"\xAA\xBB"
         "123\xCC\xDD",
         2, "123"},
        {"\xAA\xBB"
         "123\xCC\xDD",
         3, "23"},
        {"\xAA\xBB\xCC\xDD", 2, ""},
        {"\xAA\xBB\xCC\xDD\xEE", 3, ""},
        {"\xAA", 2, ""},
        {"", 3, ""},
        {std::string("\xAA\xBB"
                     "12\0"
                     "34\xCC\xDD",
                     8),
         2, "12"},
    };
    for (const Case& c : cases) {
        ReplyBuffer reply(c.reply);
        char out[CARD_TRACK1_BUFFER_SIZE];
        std::memset(out, 'Z', sizeof out);
        ExtractTrack(reply.bytes, reply.count, c.leading, out, sizeof out);
        EXPECT_EQ(std::string(out), c.track) << sim::Hex(sim::B(c.reply)) << " leading " << c.leading;
    }
}

TEST(TrackReply, AFullReplyFillsTheHostsBufferExactly) {
    const std::string data(kTrackReplySize, 'D');
    ReplyBuffer reply(data);
    char out[CARD_TRACK2_BUFFER_SIZE + 1];
    out[CARD_TRACK2_BUFFER_SIZE] = '#';
    ExtractTrack(reply.bytes, reply.count, kTrack2ReplyLeading, out, CARD_TRACK2_BUFFER_SIZE);
    EXPECT_EQ(std::string(out).size(), CARD_TRACK2_BUFFER_SIZE - 1u);
    EXPECT_EQ(out[CARD_TRACK2_BUFFER_SIZE], '#');
}

TEST(TrackReply, TwoTracksSplitAtTheFirstSeparator) {
    struct Case {
        std::string reply;
        std::string track1, track2;
    } cases[] = {
        {"\xAA\xBB"
         "12\x1D"
         "34\xCC\xDD",
         "12", "34"},
        {"\xAA\xBB"
         "123\xCC\xDD",
         "123", ""},
        {"\xAA\xBB"
         "1\x1D"
         "2\x1D"
         "3\xCC\xDD",
         "1",
         "2\x1D"
         "3"},
        {"\xAA\xBB\x1D\xCC\xDD", "", ""},
        {"\xAA\xBB\x1D"
         "9\xCC\xDD",
         "", "9"},
        // The separator is searched past a zero byte.
        {std::string("\xAA\xBB"
                     "AAA\0"
                     "CC\x1D"
                     "DD\xCC\xDD",
                     13),
         "AAA", "DD"},
        // A separator among the leading or trailing bytes does not split.
        {"\x1D\xBB"
         "12\xCC\x1D",
         "12", ""},
        {"\xAA\x1D"
         "12\x1D\xDD",
         "12", ""},
    };
    for (const Case& c : cases) {
        ReplyBuffer reply(c.reply);
        char t1[CARD_TRACKS_BUFFER_SIZE], t2[CARD_TRACKS_BUFFER_SIZE];
        std::memset(t1, 'Z', sizeof t1);
        std::memset(t2, 'Z', sizeof t2);
        SplitTracks(reply.bytes, reply.count, t1, t2, CARD_TRACKS_BUFFER_SIZE);
        SCOPED_TRACE(sim::Hex(sim::B(c.reply)));
        EXPECT_EQ(std::string(t1), c.track1);
        EXPECT_EQ(std::string(t2), c.track2);
    }
}

TEST(TrackReply, TracksLongerThanTheHostsBuffersAreCut) {
    const std::string reply = "\xAA\xBB" + std::string(350, '1') + "\x1D" + std::string(40, '2') + "\xCC\xDD";
    ReplyBuffer buffer(reply);
    char t1[CARD_TRACKS_BUFFER_SIZE + 1], t2[CARD_TRACKS_BUFFER_SIZE + 1];
    t1[CARD_TRACKS_BUFFER_SIZE] = t2[CARD_TRACKS_BUFFER_SIZE] = '#';
    SplitTracks(buffer.bytes, buffer.count, t1, t2, CARD_TRACKS_BUFFER_SIZE);
    EXPECT_EQ(std::string(t1), std::string(CARD_TRACKS_BUFFER_SIZE - 1, '1'));
    EXPECT_EQ(std::string(t2), std::string(40, '2'));
    EXPECT_EQ(t1[CARD_TRACKS_BUFFER_SIZE], '#');

    const std::string noSeparator = "\xAA\xBB" + std::string(396, '1') + "\xCC\xDD";
    ReplyBuffer whole(noSeparator);
    SplitTracks(whole.bytes, whole.count, t1, t2, CARD_TRACKS_BUFFER_SIZE);
    EXPECT_EQ(std::string(t1).size(), CARD_TRACKS_BUFFER_SIZE - 1u);
    EXPECT_EQ(std::string(t2), "");
}

} // namespace
