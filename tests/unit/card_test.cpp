// The card functions end to end on the simulated port and device: the bytes on
// the wire, the order of purges, re-opens, sleeps and reads, and the results.
#include "fixture.h"

#include <algorithm>
#include <functional>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

const sim::Bytes kStatusRequest = sim::B("\x1B\x6A");
const sim::Bytes kReset = sim::B("\x1B\x30");
const char kUntouched[] = "untouched";

// The trace without the details of re-opening, which the port tests cover:
// a re-open shows as its CreateFileA, without the handle it got.
Lines Condensed() {
    const char* const reopenDetails[] = {"CreateEventA", "CloseHandle", "GetCommState",   "SetCommMask",
                                         "SetCommState", "SetupComm",   "SetCommTimeouts"};
    Lines lines;
    for (const std::string& line : sim::Trace()) {
        bool detail = false;
        for (const char* prefix : reopenDetails)
            detail = detail || line.rfind(prefix, 0) == 0;
        if (!detail) lines.push_back(line.rfind("CreateFileA", 0) == 0 ? line.substr(0, line.find(" ->")) : line);
    }
    return lines;
}

// What the trace holds after the first line that starts with `first`, leaving
// out how each read was waited for ("poll N" and its completion).
Lines After(const std::string& first) {
    const Lines trace = Condensed();
    Lines lines;
    bool seen = false;
    for (const std::string& line : trace) {
        if (seen && line.rfind("poll ", 0) != 0 && line.rfind("GetOverlappedResult read", 0) != 0) {
            lines.push_back(line);
        }
        seen = seen || line.rfind(first, 0) == 0;
    }
    return lines;
}

std::vector<std::string> Frames() {
    std::vector<std::string> frames;
    for (const sim::Bytes& frame : sim::Written())
        frames.push_back(sim::Hex(frame));
    return frames;
}

class Card : public World {
protected:
    void SetUp() override {
        World::SetUp();
        Open();
        sim::Answer(kStatusRequest, sim::B("\x1Bp"));
    }
    // Host buffers of exactly the documented sizes, so the sanitizers see any overrun.
    std::vector<char> track1 = Buffer(CARD_TRACK1_BUFFER_SIZE);
    std::vector<char> track2 = Buffer(CARD_TRACK2_BUFFER_SIZE);
    std::vector<char> tracks1 = Buffer(CARD_TRACKS_BUFFER_SIZE);
    std::vector<char> tracks2 = Buffer(CARD_TRACKS_BUFFER_SIZE);

    static std::vector<char> Buffer(size_t size) {
        std::vector<char> buffer(size, 'Z');
        std::memcpy(buffer.data(), kUntouched, sizeof kUntouched);
        return buffer;
    }
};

// Everything refuses to work on a closed port, and sends nothing.
TEST_F(Card, AClosedPortIsRefused) {
    ASSERT_EQ(DestroymComm(), 1);
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"CardReset", [] { return CardReset(); }},
        {"IsReadError", [] { return IsReadError(); }},
        {"IsWriteError", [] { return IsWriteError(); }},
        {"WrTr1Card", [] { return WrTr1Card("1"); }},
        {"WrTr2Card", [] { return WrTr2Card("2"); }},
        {"WrTr12Card", [] { return WrTr12Card("1", "2"); }},
        {"RadTr1Card", [this] { return RadTr1Card(track1.data()); }},
        {"RadTr2Card", [this] { return RadTr2Card(track2.data()); }},
        {"RadTr12Card", [this] { return RadTr12Card(tracks1.data(), tracks2.data()); }},
    };
    for (const auto& call : calls) {
        sim::ClearTrace();
        EXPECT_EQ(call.second(), CARD_NOT_OPEN) << call.first;
        // Only the operations that Escape can cancel ask for the key, and they
        // do so before anything else.
        const bool cancellable = std::string(call.first) == "IsWriteError" || call.first[0] == 'R';
        EXPECT_EQ(sim::Trace(), cancellable ? Lines{"GetAsyncKeyState"} : Lines{}) << call.first;
    }
    EXPECT_STREQ(track1.data(), kUntouched);
    EXPECT_STREQ(tracks2.data(), kUntouched);
}

TEST_F(Card, ResetSendsItsFrameBetweenTwoPurges) {
    EXPECT_EQ(CardReset(), CARD_OK);
    EXPECT_EQ(sim::Trace(), (Lines{"PurgeComm RX", "WriteFile 1B 30", "PurgeComm RX"}));
    EXPECT_THAT(sim::Lost(), IsEmpty()) << "the reset frame must leave the port";
    sim::ClearTrace();
    sim::NextWrite({sim::WriteScript::FAIL, 0, ERROR_GEN_FAILURE});
    EXPECT_EQ(CardReset(), CARD_IO_FAILED);
    EXPECT_EQ(sim::Trace(), (Lines{"PurgeComm RX", "WriteFile 1B 30 -> error 31"}));
    sim::NextWrite({sim::WriteScript::QUERY_FAILS, 0, ERROR_INVALID_HANDLE});
    EXPECT_EQ(CardReset(), CARD_IO_FAILED) << "a reset the library had to abort never went out";
}

struct StatusCase {
    const char* name;
    sim::ReadScript read;
    int readError, writeError;   // results of IsReadError and IsWriteError
    Lines readAfter, writeAfter; // housekeeping after the answer's read
};

TEST_F(Card, StatusQueryOutcomes) {
    using R = sim::ReadScript;
    const StatusCase cases[] = {
        {"success at once", {R::AT_ONCE, sim::B("\x1Bp"), 0, 0}, CARD_OK, CARD_OK, {}, {}},
        {"success after waiting", {R::PENDING, sim::B("p"), 30, 0}, CARD_OK, CARD_OK, {}, {}},
        {"failure", {R::AT_ONCE, sim::B("\x1Bq"), 0, 0}, CARD_IO_FAILED, CARD_IO_FAILED, {}, {}},
        {"p not last", {R::AT_ONCE, sim::B("pq"), 0, 0}, CARD_IO_FAILED, CARD_IO_FAILED, {}, {}},
        {"ten bytes", {R::AT_ONCE, sim::B("123456789p"), 0, 0}, CARD_OK, CARD_OK, {}, {}},
        {"empty at once",
         {R::AT_ONCE, {}, 0, 0},
         CARD_IO_FAILED,
         CARD_IO_FAILED,
         {"ClearCommError"},
         {"ClearCommError", "PurgeComm RX"}},
        {"empty after waiting", {R::PENDING, {}, 30, 0}, CARD_IO_FAILED, CARD_IO_FAILED, {}, {"ClearCommError"}},
        {"completion fails",
         {R::PENDING_ERROR, {}, 30, ERROR_TIMEOUT},
         CARD_IO_FAILED,
         CARD_IO_FAILED,
         {},
         {"ClearCommError"}},
        // The status was never read: that is no success.
        {"read fails outright",
         {R::FAIL, {}, 0, ERROR_GEN_FAILURE},
         CARD_IO_FAILED,
         CARD_IO_FAILED,
         {"PurgeComm RX"},
         {"PurgeComm RX"}},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool write : {false, true}) {
            sim::ClearTrace();
            sim::NextRead(c.read);
            EXPECT_EQ(write ? IsWriteError() : IsReadError(), write ? c.writeError : c.readError)
                << (write ? "IsWriteError" : "IsReadError");
            Lines trace = Condensed();
            const Lines start = write ? Lines{"GetAsyncKeyState", "PurgeComm RX", "WriteFile 1B 6A"}
                                      : Lines{"PurgeComm RX", "WriteFile 1B 6A"};
            ASSERT_GE(trace.size(), start.size() + 1);
            EXPECT_EQ(Lines(trace.begin(), trace.begin() + static_cast<long>(start.size())), start);
            EXPECT_EQ(trace[start.size()].substr(0, 12), "ReadFile 10 ");
            EXPECT_EQ(After("ReadFile"), write ? c.writeAfter : c.readAfter);
        }
    }
}

TEST_F(Card, IsReadErrorWaitsForASilentDeviceUntilTheTimeOutsEnd) {
    sim::Answer(kStatusRequest, {});
    sim::HoldEscape(10, 20);
    EXPECT_EQ(IsReadError(), CARD_IO_FAILED);
    EXPECT_EQ(sim::Now(), 30002u);
    EXPECT_EQ(sim::Calls("GetAsyncKeyState"), 0) << "Escape does not end this wait";
}

// Opens COM1 anew with the configuration step `step` failing: no read
// time-outs, so a status read waits for all ten bytes it asked for, and the
// device's answer has two.
void OpenWithoutTimeouts(const char* step) {
    sim::Reset();
    ResetPortObject(g_comm);
    sim::AddPort("COM1");
    sim::Fail(step, ERROR_GEN_FAILURE);
    ASSERT_EQ(CreatmComm("COM1"), static_cast<int>(ERROR_GEN_FAILURE));
    sim::Answer(kStatusRequest, sim::B("\x1Bp"), 20);
}

TEST_F(Card, AStatusReadEndsEvenWhereThePortsTimeOutsWereNeverSet) {
    OpenWithoutTimeouts("SetCommTimeouts");
    EXPECT_EQ(IsReadError(), CARD_IO_FAILED);
    EXPECT_EQ(sim::Now(), 35004u) << "its own time-out of 30 s and 5 s more";
    const Lines trace = sim::Trace();
    EXPECT_THAT(Lines(trace.end() - 2, trace.end()), ElementsAre("CancelIo", "GetOverlappedResult read -> error 995"));
}

TEST_F(Card, AnAbortThatDoesNotTakeClosesThePortUnderTheReadAndTheNextTrackOperationRecovers) {
    // No read time-outs, an answer that never completes the read, and a
    // CancelIo that fails: the read would never end.
    OpenWithoutTimeouts("SetCommState");
    sim::Fail("CancelIo", ERROR_INVALID_FUNCTION);
    sim::ClearTrace();
    EXPECT_EQ(IsWriteError(), CARD_IO_FAILED);
    EXPECT_FALSE(sim::ReadOutstanding());
    EXPECT_LE(sim::Now(), 35004u + 500u + 4u) << "the deadline, and half a second for the abort";
    const Lines trace = sim::Trace();
    EXPECT_THAT(Lines(trace.end() - 4, trace.end()), ElementsAre("CancelIo -> error 1", StartsWith("poll "),
                                                                 "CloseHandle port 1", "ClearCommError -> error 6"));

    // Left open with the invalid-handle value: the status queries fail, a track
    // operation's re-open recovers, and the port closes cleanly.
    EXPECT_EQ(g_comm.portHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(g_comm.opened);
    EXPECT_EQ(IsReadError(), CARD_IO_FAILED);
    sim::Answer(sim::B("\x1B\x54\x5D"), sim::B("\x1Bs\x1B;12=3?\x3F\x1C"), 10);
    char read[CARD_TRACK2_BUFFER_SIZE];
    EXPECT_EQ(RadTr2Card(read), CARD_OK);
    EXPECT_STREQ(read, ";12=3?");
    EXPECT_EQ(DestroymComm(), 1);
}

TEST_F(Card, AReadThatTheCloseEndsOnlyLaterIsWaitedFor) {
    OpenWithoutTimeouts("SetCommState");
    sim::Fail("CancelIo", ERROR_INVALID_FUNCTION);
    sim::ClosingEndsReadsAfter(100);
    sim::ClearTrace();
    EXPECT_EQ(IsWriteError(), CARD_IO_FAILED);
    EXPECT_FALSE(sim::ReadOutstanding()) << "returned while the read could still complete";
    const Lines trace = sim::Trace();
    EXPECT_THAT(Lines(trace.end() - 3, trace.end()),
                ElementsAre("CloseHandle port 1", StartsWith("poll "), "ClearCommError -> error 6"));
}

// Neither the abort nor the close ends the cancelled read: it keeps the
// library's storage and record. Until it ends, what needs a read fails with
// nothing sent; a track operation's re-open closes the old handle again, and
// the read, ended late by that close, delivers into the library's storage,
// never into the host's buffer.
TEST_F(Card, AReadNothingEndsKeepsTheLibrarysStorageUntilItEnds) {
    sim::NextRead({sim::ReadScript::FOREVER, sim::B("\x1BsLATE?\x1C"), 0, 0});
    sim::HoldEscape(100, 150);
    sim::At(90, [] {
        sim::Fail("CancelIo", ERROR_INVALID_FUNCTION);
        sim::Fail("CloseHandle", ERROR_INVALID_HANDLE);
    });
    sim::ClosingEndsReadsAfter(1000);
    EXPECT_EQ(RadTr1Card(track1.data()), CARD_CANCELLED);
    EXPECT_TRUE(sim::ReadOutstanding());
    EXPECT_EQ(Frames(), (Lines{"1B 42 5D", "1B 30"})) << "the reset needs no read";
    EXPECT_EQ(sim::Calls("GetModuleHandleExW"), 1) << "the library stays loaded while the read may write";

    sim::ClearTrace();
    const HANDLE event = g_comm.readOverlapped.hEvent;
    EXPECT_EQ(IsReadError(), CARD_IO_FAILED);
    EXPECT_EQ(RadTr1Card(track1.data()), CARD_IO_FAILED) << "its re-open's close ends the read only later";
    EXPECT_EQ(g_comm.readOverlapped.hEvent, event) << "the re-open renewed the record the read owns";
    EXPECT_EQ(WrTr1Card("A"), CARD_IO_FAILED);
    EXPECT_THAT(Frames(), IsEmpty());

    Sleep(1000);
    EXPECT_FALSE(sim::ReadOutstanding());
    EXPECT_STREQ(track1.data(), kUntouched) << "the late bytes reached the host's buffer";
    sim::Answer(sim::B("\x1B\x42\x5D"), sim::B("\x1Bs%B1^A?\x3F\x1C"), 10);
    sim::Answer(kStatusRequest, sim::B("\x1Bp"), 10);
    EXPECT_EQ(RadTr1Card(track1.data()), CARD_OK);
    EXPECT_STREQ(track1.data(), "%B1^A?");
}

TEST_F(Card, IsWriteErrorIsCancelledByEscapeWhileItWaits) {
    sim::Answer(kStatusRequest, {});
    sim::HoldEscape(500, 600);
    EXPECT_EQ(IsWriteError(), CARD_CANCELLED);
    EXPECT_EQ(Frames(), (Lines{"1B 6A", "1B 30"}));
    EXPECT_LE(sim::Now(), 502u);
    const Lines trace = Condensed();
    EXPECT_THAT(Lines(trace.end() - 6, trace.end()),
                ElementsAre("GetAsyncKeyState -> pressed", "CancelIo", "GetOverlappedResult read -> error 995",
                            "PurgeComm RX", "WriteFile 1B 30", "PurgeComm RX"));
    EXPECT_THAT(sim::Lost(), IsEmpty());
}

TEST_F(Card, APressOverBeforeTheCallDoesNotCancelIt) {
    sim::HoldEscape(0, 1);
    Sleep(5);
    sim::Answer(kStatusRequest, sim::B("\x1Bp"), 200);
    EXPECT_EQ(IsWriteError(), CARD_OK);
}

struct WriteCase {
    const char* name;
    std::function<int()> call;
    const char* frame;
    DWORD pause;
};

TEST_F(Card, WritesSendTheirFramePauseAndAskForTheStatus) {
    const WriteCase cases[] = {
        {"WrTr1Card", [] { return WrTr1Card("AB"); }, "1B 74 41 42 1D 1B 5C", 100},
        {"WrTr1Card empty", [] { return WrTr1Card(""); }, "1B 74 1D 1B 5C", 100},
        {"WrTr2Card", [] { return WrTr2Card("123"); }, "1B 74 1D 31 32 33 1D 1B 5C", 50},
        {"WrTr12Card", [] { return WrTr12Card("A", "1"); }, "1B 74 41 1D 31 1D 1B 5C", 100},
        {"WrTr12Card empty", [] { return WrTr12Card("", ""); }, "1B 74 1D 1D 1B 5C", 100},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearTrace();
        // The device answers once the user has swiped the card.
        sim::Answer(kStatusRequest, sim::B("\x1Bp"), 1500);
        EXPECT_EQ(c.call(), CARD_OK);
        EXPECT_EQ(Condensed(),
                  (Lines{"CreateFileA COM1", "PurgeComm RX", std::string("WriteFile ") + c.frame,
                         "Sleep " + std::to_string(c.pause), "GetAsyncKeyState", "PurgeComm RX", "WriteFile 1B 6A",
                         "ReadFile 10 -> pending", "poll 775", "GetOverlappedResult read -> 2"}))
            << ::testing::PrintToString(sim::Trace());
    }
}

TEST_F(Card, AWriteReportsTheDevicesStatus) {
    sim::Answer(kStatusRequest, sim::B("\x1Bq"));
    EXPECT_EQ(WrTr1Card("A"), CARD_IO_FAILED);
    sim::NextWrite({sim::WriteScript::FAIL, 0, ERROR_GEN_FAILURE});
    sim::ClearTrace();
    EXPECT_EQ(WrTr2Card("A"), CARD_IO_FAILED);
    EXPECT_THAT(Frames(), IsEmpty());
    EXPECT_EQ(sim::Calls("Sleep"), 0) << "no pause after a frame that did not go out";
    sim::NextWrite({sim::WriteScript::HELD, 0, 0}); // the driver ignores its write time-out
    sim::ClearTrace();
    EXPECT_EQ(WrTr12Card("A", "B"), CARD_IO_FAILED);
    EXPECT_EQ(Frames(), (Lines{"1B 74 41 1D 42 1D 1B 5C"})) << "no status query after a write aborted";
}

TEST_F(Card, EscapeWhileAWriteWaitsForTheSwipeResetsTheDevice) {
    sim::Answer(kStatusRequest, {});
    sim::HoldEscape(3000, 3100);
    EXPECT_EQ(WrTr12Card("A", "B"), CARD_CANCELLED);
    EXPECT_EQ(Frames(), (Lines{"1B 74 41 1D 42 1D 1B 5C", "1B 6A", "1B 30"}));
}

TEST_F(Card, BadWriteArgumentsAreRefusedBeforeAnythingHappens) {
    const std::string t1(CARD_TRACK1_MAX_WRITE + 1, '1');
    const std::string t2(CARD_TRACK2_MAX_WRITE + 1, '2');
    const std::string half(CARD_TRACKS_MAX_WRITE / 2 + 1, 'h');
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"WrTr1Card NULL", [] { return WrTr1Card(NULL); }},
        {"WrTr2Card NULL", [] { return WrTr2Card(NULL); }},
        {"WrTr12Card NULL 1", [] { return WrTr12Card(NULL, "2"); }},
        {"WrTr12Card NULL 2", [] { return WrTr12Card("1", NULL); }},
        {"WrTr1Card too long", [&] { return WrTr1Card(t1.c_str()); }},
        {"WrTr2Card too long", [&] { return WrTr2Card(t2.c_str()); }},
        {"WrTr12Card too long", [&] { return WrTr12Card(half.c_str(), half.c_str()); }},
        {"RadTr1Card NULL", [] { return RadTr1Card(NULL); }},
        {"RadTr2Card NULL", [] { return RadTr2Card(NULL); }},
        {"RadTr12Card NULL 1", [this] { return RadTr12Card(NULL, tracks2.data()); }},
        {"RadTr12Card NULL 2", [this] { return RadTr12Card(tracks1.data(), NULL); }},
    };
    for (const auto& call : calls) {
        sim::ClearTrace();
        EXPECT_EQ(call.second(), CARD_IO_FAILED) << call.first;
        EXPECT_THAT(sim::Trace(), IsEmpty()) << call.first;
    }
    EXPECT_EQ(WrTr1Card(std::string(CARD_TRACK1_MAX_WRITE, '1').c_str()), CARD_OK) << "the longest track 1 goes out";
}

// One of the three reads, with the host's buffers.
struct ReadOp {
    const char* name;
    const char* frame;
    std::function<int(char*, char*)> call;
};

const ReadOp kTrack1 = {"RadTr1Card", "1B 42 5D", [](char* t1, char*) { return RadTr1Card(t1); }};
const ReadOp kTrack2 = {"RadTr2Card", "1B 54 5D", [](char* t1, char*) { return RadTr2Card(t1); }};
const ReadOp kTracks = {"RadTr12Card", "1B 5D", [](char* t1, char* t2) { return RadTr12Card(t1, t2); }};

struct ReadCase {
    const ReadOp* op;
    const char* outcome;
    sim::ReadScript read;
    int result;
    const char* track1; // what the host gets
    const char* track2;
    Lines after; // the calls after the track read
};

TEST_F(Card, ReadOutcomes) {
    using R = sim::ReadScript;
    const sim::Bytes seven = sim::B("\xAA\xBB"
                                    "123\xCC\xDD");
    const sim::Bytes split = sim::B("\xAA\xBB"
                                    "12\x1D"
                                    "34\xCC\xDD");
    const Lines status = {"PurgeComm RX", "WriteFile 1B 6A", "ReadFile 10 -> pending"};
    auto then = [&status](Lines first) {
        first.insert(first.end(), status.begin(), status.end());
        return first;
    };
    const ReadCase cases[] = {
        {&kTrack1, "at once", {R::AT_ONCE, seven, 0, 0}, CARD_OK, "123", "", then({})},
        {&kTrack1, "after waiting", {R::PENDING, seven, 50, 0}, CARD_OK, "123", "", then({})},
        {&kTrack1, "empty at once", {R::AT_ONCE, {}, 0, 0}, CARD_IO_FAILED, kUntouched, "", {"ClearCommError"}},
        {&kTrack1, "empty after waiting", {R::PENDING, {}, 50, 0}, CARD_IO_FAILED, kUntouched, "", {"ClearCommError"}},
        {&kTrack1, "fails outright", {R::FAIL, {}, 0, ERROR_GEN_FAILURE}, CARD_OK, kUntouched, "", then({})},
        {&kTrack1, "fails outright with bytes", {R::FAIL, seven, 0, ERROR_GEN_FAILURE}, CARD_OK, "123", "", then({})},
        {&kTrack2, "at once", {R::AT_ONCE, seven, 0, 0}, CARD_OK, "23", "", then({"PurgeComm RX"})},
        {&kTrack2, "after waiting", {R::PENDING, seven, 50, 0}, CARD_OK, "23", "", then({"PurgeComm RX"})},
        {&kTrack2, "empty at once", {R::AT_ONCE, {}, 0, 0}, CARD_IO_FAILED, kUntouched, "", {"ClearCommError"}},
        {&kTrack2, "empty after waiting", {R::PENDING, {}, 50, 0}, CARD_IO_FAILED, kUntouched, "", {"ClearCommError"}},
        {&kTrack2,
         "fails outright with bytes",
         {R::FAIL, seven, 0, ERROR_GEN_FAILURE},
         CARD_OK,
         kUntouched,
         "",
         then({"PurgeComm RX"})},
        {&kTracks, "at once", {R::AT_ONCE, split, 0, 0}, CARD_OK, "12", "34", then({"PurgeComm RX"})},
        {&kTracks, "after waiting", {R::PENDING, split, 50, 0}, CARD_OK, "12", "34", then({"PurgeComm RX"})},
        {&kTracks, "empty at once", {R::AT_ONCE, {}, 0, 0}, CARD_IO_FAILED, kUntouched, kUntouched, {}},
        {&kTracks, "empty after waiting", {R::PENDING, {}, 50, 0}, CARD_IO_FAILED, kUntouched, kUntouched, {}},
        {&kTracks,
         "completion fails",
         {R::PENDING_ERROR, {}, 50, ERROR_TIMEOUT},
         CARD_IO_FAILED,
         kUntouched,
         kUntouched,
         {}},
        {&kTracks,
         "fails outright with bytes",
         {R::FAIL, split, 0, ERROR_GEN_FAILURE},
         CARD_OK,
         kUntouched,
         kUntouched,
         then({"PurgeComm RX"})},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(std::string(c.op->name) + ", " + c.outcome);
        std::vector<char> out1 = Buffer(CARD_TRACKS_BUFFER_SIZE), out2 = Buffer(CARD_TRACKS_BUFFER_SIZE);
        sim::ClearTrace();
        sim::NextRead(c.read);
        EXPECT_EQ(c.op->call(out1.data(), out2.data()), c.result);
        EXPECT_STREQ(out1.data(), c.track1);
        if (c.op == &kTracks) {
            EXPECT_STREQ(out2.data(), c.track2);
        }

        const Lines trace = Condensed();
        Lines start = {"GetAsyncKeyState", "CreateFileA COM1", "PurgeComm RX", std::string("WriteFile ") + c.op->frame};
        if (c.op == &kTrack1) start.push_back("PurgeComm RX");
        ASSERT_GT(trace.size(), start.size());
        EXPECT_EQ(Lines(trace.begin(), trace.begin() + static_cast<long>(start.size())), start);
        EXPECT_EQ(trace[start.size()].substr(0, 12), "ReadFile 400");
        EXPECT_EQ(After("ReadFile 400"), c.after) << ::testing::PrintToString(trace);
    }
}

TEST_F(Card, AFailedStatusAfterAReadStillDeliversTheData) {
    sim::Answer(kStatusRequest, sim::B("\x1Bq"));
    sim::NextRead({sim::ReadScript::AT_ONCE,
                   sim::B("\xAA\xBB"
                          "123\xCC\xDD"),
                   0, 0});
    EXPECT_EQ(RadTr1Card(track1.data()), CARD_IO_FAILED);
    EXPECT_STREQ(track1.data(), "123");
}

TEST_F(Card, ReadsFromTheDeviceWhenTheCardIsSwiped) {
    sim::Answer(sim::B("\x1B\x5D"),
                sim::B("\x1Bs"
                       "%B123^NAME?\x1D;123=45?\x3F\x1C"),
                4000);
    EXPECT_EQ(RadTr12Card(tracks1.data(), tracks2.data()), CARD_OK);
    EXPECT_STREQ(tracks1.data(), "%B123^NAME?");
    EXPECT_STREQ(tracks2.data(), ";123=45?");
    // The swipe, the 50 ms gap that ends the reply, and the status answer's gap.
    EXPECT_EQ(sim::Now(), 4100u);
    EXPECT_EQ(Frames(), (Lines{"1B 5D", "1B 6A"}));
}

TEST_F(Card, EscapeWhileAReadWaitsResetsTheDeviceAndLeavesTheBuffersAlone) {
    for (const ReadOp* op : {&kTrack1, &kTrack2, &kTracks}) {
        SCOPED_TRACE(op->name);
        sim::ClearTrace();
        sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
        sim::HoldEscape(sim::Now() + 1000, sim::Now() + 1100);
        std::vector<char> out1 = Buffer(CARD_TRACKS_BUFFER_SIZE), out2 = Buffer(CARD_TRACKS_BUFFER_SIZE);
        EXPECT_EQ(op->call(out1.data(), out2.data()), CARD_CANCELLED);
        EXPECT_EQ(Frames(), (Lines{op->frame, "1B 30"}));
        EXPECT_THAT(sim::Lost(), IsEmpty());
        EXPECT_STREQ(out1.data(), kUntouched);
        EXPECT_STREQ(out2.data(), kUntouched);
        EXPECT_FALSE(sim::ReadOutstanding());
        Sleep(200); // the key is released
    }
    // The port works on.
    sim::NextRead({sim::ReadScript::AT_ONCE,
                   sim::B("\xAA\xBB"
                          "9\xCC\xDD"),
                   0, 0});
    EXPECT_EQ(RadTr1Card(track1.data()), CARD_OK);
    EXPECT_STREQ(track1.data(), "9");
}

TEST_F(Card, RepliesLargerThanTheHostsBuffersAreCutToFit) {
    const std::string big = "\xAA\xBB" + std::string(350, 'a') + "\x1D" + std::string(43, 'b') + "\xCC\xDD";
    sim::NextRead({sim::ReadScript::AT_ONCE, sim::B(big), 0, 0});
    EXPECT_EQ(RadTr12Card(tracks1.data(), tracks2.data()), CARD_OK);
    EXPECT_EQ(std::string(tracks1.data()), std::string(CARD_TRACKS_BUFFER_SIZE - 1, 'a'));
    EXPECT_EQ(std::string(tracks2.data()), std::string(43, 'b'));

    const std::string full = "\xAA\xBB\xCC" + std::string(400 - 5, 'c') + "\xCC\xDD";
    for (const ReadOp* op : {&kTrack1, &kTrack2}) {
        std::vector<char>& out = op == &kTrack1 ? track1 : track2;
        sim::NextRead({sim::ReadScript::AT_ONCE, sim::B(full + "overflow"), 0, 0});
        EXPECT_EQ(op->call(out.data(), NULL), CARD_OK) << op->name;
        EXPECT_EQ(std::strlen(out.data()), out.size() - 1) << op->name;
    }
}

TEST_F(Card, EachOperationWaitsForItsFrameInItsOwnWay) {
    // The reset and the writes wait on the write's event; the queries and the
    // reads ask again and again.
    struct Case {
        const char* name;
        std::function<int()> call;
        bool blocking;
    } cases[] = {
        {"CardReset", [] { return CardReset(); }, true},
        {"WrTr1Card", [] { return WrTr1Card("1"); }, true},
        {"WrTr2Card", [] { return WrTr2Card("2"); }, true},
        {"WrTr12Card", [] { return WrTr12Card("1", "2"); }, true},
        {"IsReadError", [] { return IsReadError(); }, false},
        {"IsWriteError", [] { return IsWriteError(); }, false},
        {"RadTr1Card", [this] { return RadTr1Card(track1.data()); }, false},
        {"RadTr2Card", [this] { return RadTr2Card(track2.data()); }, false},
        {"RadTr12Card", [this] { return RadTr12Card(tracks1.data(), tracks2.data()); }, false},
    };
    for (const char* frame : {"\x1B\x42\x5D", "\x1B\x54\x5D", "\x1B\x5D"}) {
        sim::Answer(sim::B(frame),
                    sim::B("\x1Bs"
                           "1\x1D"
                           "2?\x1C"),
                    500);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearTrace();
        sim::NextWrite({sim::WriteScript::PENDING, 2, 0});
        EXPECT_EQ(c.call(), CARD_OK);
        const Lines trace = sim::Trace();
        const auto pending = std::find_if(trace.begin(), trace.end(), [](const std::string& line) {
            return line.rfind("WriteFile", 0) == 0 && line.find(" -> pending") != std::string::npos;
        });
        ASSERT_TRUE(pending != trace.end()) << ::testing::PrintToString(trace);
        const auto wait = std::find_if(pending + 1, trace.end(), [](const std::string& line) {
            return line.rfind("GetOverlappedResult write", 0) == 0 || line.rfind("WaitForSingleObject", 0) == 0 ||
                   line.rfind("poll", 0) == 0;
        });
        ASSERT_TRUE(wait != trace.end()) << ::testing::PrintToString(trace);
        EXPECT_EQ(*wait, c.blocking ? "WaitForSingleObject write" : "poll 2");
    }
}

} // namespace
