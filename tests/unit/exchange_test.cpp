// The exchange steps: sending a frame, reading the reply, the Escape probe.
#include "fixture.h"

#include <algorithm>

#include "exchange.h"

using ::testing::ElementsAre;

namespace {

class Exchange : public World {
protected:
    void SetUp() override {
        World::SetUp();
        Open();
    }
    char buffer[400] = {0};
};

const char kFrame[] = "\x1B\x6A";

TEST_F(Exchange, AWriteThatCompletesAtOnceIsSent) {
    for (SendMode mode : {SEND_BLOCKING, SEND_POLLING}) {
        sim::ClearTrace();
        EXPECT_TRUE(SendFrame(g_comm, kFrame, 2, mode));
        EXPECT_EQ(sim::Trace(), (Lines{"WriteFile 1B 6A"}));
    }
}

// The calls that wait for the write, without the library's reading of the
// port's time-outs (when it asks for them is its own business).
Lines WaitCalls() {
    Lines calls = sim::Trace();
    calls.erase(std::remove(calls.begin(), calls.end(), "GetCommTimeouts"), calls.end());
    return calls;
}

TEST_F(Exchange, APendingWriteIsAwaitedInTheWayOfItsMode) {
    sim::NextWrite({sim::WriteScript::PENDING, 3, 0});
    EXPECT_TRUE(SendFrame(g_comm, kFrame, 2, SEND_POLLING));
    EXPECT_EQ(WaitCalls(), (Lines{"WriteFile 1B 6A -> pending", "poll 3", "GetOverlappedResult write"}));

    sim::ClearTrace();
    sim::NextWrite({sim::WriteScript::PENDING, 3, 0});
    EXPECT_TRUE(SendFrame(g_comm, kFrame, 2, SEND_BLOCKING));
    EXPECT_EQ(WaitCalls(),
              (Lines{"WriteFile 1B 6A -> pending", "WaitForSingleObject write", "GetOverlappedResult write"}));
}

// A write the line never takes (flow control holds it). The port's write
// time-out ends it where it is in force and honoured; elsewhere the wait gives
// up after that time-out (or the frame's time at 9600 baud) and 5 s, and aborts
// the write as a read is aborted: a write aborted was never sent.
TEST_F(Exchange, AWriteTheLineNeverTakesIsEndedInBoundedTime) {
    const sim::WriteScript kHeld = {sim::WriteScript::PENDING, -1, 0};
    const sim::WriteScript kTimeOutIgnored = {sim::WriteScript::HELD, 0, 0};
    const sim::WriteScript kQueriesFail = {sim::WriteScript::QUERY_FAILS, 0, ERROR_INVALID_HANDLE};
    struct Case {
        const char* name;
        bool writeTimeOut; // the port's time-outs were set when it was opened
        sim::WriteScript write;
        const char* failing[2]; // calls of the abort made to fail
        SendMode mode;
        bool sent;
        DWORD took;       // ms of virtual time, at most
        bool outstanding; // the write still holds the library's storage afterwards
    } const cases[] = {
        {"its time-out ends a blocking wait", true, kHeld, {}, SEND_BLOCKING, true, 4, false},
        {"its time-out ends back-to-back queries", true, kHeld, {}, SEND_POLLING, true, 4, false},
        {"no time-out: aborted", false, kHeld, {}, SEND_BLOCKING, false, 5005, false},
        {"no time-out, CancelIo fails: closed", false, kHeld, {"CancelIo"}, SEND_POLLING, false, 5510, false},
        {"no time-out, nothing ends it", false, kHeld, {"CancelIo", "CloseHandle"}, SEND_BLOCKING, false, 5510, true},
        {"the driver ignores its time-out: aborted", true, kTimeOutIgnored, {}, SEND_BLOCKING, false, 5006, false},
        {"the driver ignores it, queries back to back", true, kTimeOutIgnored, {}, SEND_POLLING, false, 5008, false},
        {"a query fails, the write still pending: aborted", true, kQueriesFail, {}, SEND_POLLING, false, 5008, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        ResetPortObject(g_comm);
        sim::AddPort("COM1");
        if (!c.writeTimeOut) sim::Fail("SetCommTimeouts", ERROR_GEN_FAILURE);
        ASSERT_EQ(CreatmComm("COM1"), c.writeTimeOut ? 1 : static_cast<int>(ERROR_GEN_FAILURE));
        for (const char* function : c.failing) {
            if (function != nullptr) sim::Fail(function, ERROR_INVALID_FUNCTION);
        }
        sim::NextWrite(c.write);
        const DWORD start = sim::Now();
        EXPECT_EQ(SendFrame(g_comm, kFrame, 2, c.mode), c.sent);
        EXPECT_LE(sim::Now() - start, c.took);
        EXPECT_GE(sim::Now() - start, c.sent ? 0u : 5000u) << "aborted before its time";
        EXPECT_EQ(IoReady(), !c.outstanding);
        if (c.outstanding) {
            sim::ClearTrace();
            EXPECT_FALSE(SendFrame(g_comm, kFrame, 2, SEND_BLOCKING)) << "a second write on the record";
            EXPECT_THAT(sim::Trace(), ::testing::IsEmpty());
        }
        EXPECT_EQ(DestroymComm(), 1);
        EXPECT_TRUE(IoReady()) << "closing the port ends the write";
        // The next case starts a new world: look at this one's first.
        EXPECT_THAT(sim::Problems(), ::testing::IsEmpty());
        EXPECT_EQ(sim::OpenHandles(), 0) << "handles leaked";
    }
}

TEST_F(Exchange, AWriteThatEndsBadlyClearsTheErrorAndCountsAsSent) {
    for (SendMode mode : {SEND_BLOCKING, SEND_POLLING}) {
        sim::ClearTrace();
        sim::NextWrite({sim::WriteScript::PENDING, 0, ERROR_GEN_FAILURE});
        EXPECT_TRUE(SendFrame(g_comm, kFrame, 2, mode));
        EXPECT_EQ(sim::Trace().back(), "ClearCommError");
    }
}

TEST_F(Exchange, AWriteThatCannotStartFails) {
    sim::NextWrite({sim::WriteScript::FAIL, 0, ERROR_GEN_FAILURE});
    EXPECT_FALSE(SendFrame(g_comm, kFrame, 2, SEND_POLLING));
    EXPECT_EQ(sim::Trace(), (Lines{"WriteFile 1B 6A -> error 31"}));
}

struct ReadCase {
    const char* name;
    sim::ReadScript script;
    ReplyStatus status;
    DWORD count;
};

TEST_F(Exchange, ReplyReadOutcomes) {
    const sim::Bytes seven = sim::B("ABCDEFG");
    const ReadCase cases[] = {
        {"at once", {sim::ReadScript::AT_ONCE, seven, 0, 0}, REPLY_AT_ONCE, 7},
        {"at once, empty", {sim::ReadScript::AT_ONCE, {}, 0, 0}, REPLY_AT_ONCE, 0},
        {"after waiting", {sim::ReadScript::PENDING, seven, 40, 0}, REPLY_AFTER_WAITING, 7},
        {"after waiting, empty", {sim::ReadScript::PENDING, {}, 40, 0}, REPLY_AFTER_WAITING, 0},
        {"completion fails", {sim::ReadScript::PENDING_ERROR, {}, 40, ERROR_TIMEOUT}, REPLY_AFTER_WAITING, 0},
        {"fails outright", {sim::ReadScript::FAIL, {}, 0, ERROR_GEN_FAILURE}, REPLY_FAILED, 0},
        {"fails outright with a count", {sim::ReadScript::FAIL, seven, 0, ERROR_GEN_FAILURE}, REPLY_FAILED, 7},
        {"reports more than it may", {sim::ReadScript::AT_ONCE, sim::Bytes(12, 'x'), 0, 0}, REPLY_AT_ONCE, 10},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::NextRead(c.script);
        const Reply reply = ReadReply(g_comm, buffer, 10, true);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.count, c.count);
        EXPECT_FALSE(sim::ReadOutstanding());
    }
}

TEST_F(Exchange, APendingReadIsPolledEvery2Ms) {
    sim::NextRead({sim::ReadScript::PENDING, sim::B("p"), 40, 0});
    const DWORD start = sim::Now();
    const Reply reply = ReadReply(g_comm, buffer, 10, true);
    EXPECT_EQ(reply.status, REPLY_AFTER_WAITING);
    EXPECT_EQ(sim::Now() - start, 40u);
    EXPECT_EQ(sim::Calls("Sleep"), 20);
    EXPECT_EQ(sim::Calls("GetAsyncKeyState"), 20);
    EXPECT_EQ(buffer[0], 'p');
}

TEST_F(Exchange, EscapeDuringTheWaitAbortsTheReadAtTheNextPoll) {
    sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
    sim::HoldEscape(101, 150);
    const Reply reply = ReadReply(g_comm, buffer, 400, true);
    EXPECT_EQ(reply.status, REPLY_CANCELLED);
    EXPECT_LE(sim::Now(), 103u);
    const Lines trace = sim::Trace();
    EXPECT_THAT(Lines(trace.end() - 3, trace.end()),
                ElementsAre("GetAsyncKeyState -> pressed", "CancelIo", "GetOverlappedResult read -> error 995"));
}

TEST_F(Exchange, WithoutCancellationEscapeIsNotAsked) {
    sim::NextRead({sim::ReadScript::PENDING, sim::B("p"), 40, 0});
    sim::HoldEscape(0, 100);
    EXPECT_EQ(ReadReply(g_comm, buffer, 10, false).status, REPLY_AFTER_WAITING);
    EXPECT_EQ(sim::Calls("GetAsyncKeyState"), 0);
}

TEST_F(Exchange, TheDevicesAnswerEndsTheReadAfterTheIntervalGap) {
    sim::Arrive(sim::B("ab"), 100);
    const Reply reply = ReadReply(g_comm, buffer, 10, false);
    EXPECT_EQ(reply.status, REPLY_AFTER_WAITING);
    EXPECT_EQ(reply.count, 2u);
    EXPECT_EQ(sim::Now(), 150u);
}

TEST_F(Exchange, ASilentDeviceEndsTheReadWhenTheTimeOutsRunOut) {
    for (bool wineStyle : {false, true}) {
        SCOPED_TRACE(wineStyle ? "time-out reported as an error" : "time-out completes with 0 bytes");
        sim::TimeoutsFailReads(wineStyle);
        const DWORD start = sim::Now();
        const Reply reply = ReadReply(g_comm, buffer, 10, false);
        EXPECT_EQ(reply.status, REPLY_AFTER_WAITING);
        EXPECT_EQ(reply.count, 0u);
        EXPECT_EQ(sim::Now() - start, 30002u);
    }
}

TEST_F(Exchange, EscapeProbe) {
    sim::HoldEscape(10, 20);
    EXPECT_FALSE(EscapePressed()); // at 0 ms, before the press
    Sleep(15);
    EXPECT_TRUE(EscapePressed()); // held
    Sleep(10);
    EXPECT_FALSE(EscapePressed()); // released, already seen
    sim::HoldEscape(26, 27);
    Sleep(5);
    EXPECT_TRUE(EscapePressed()) << "a press since the last query counts";
}

} // namespace
