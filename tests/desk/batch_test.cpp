// The desk's batches without a window: CSV files parsed (desk/batch.cpp), rows
// checked against what the library writes, the results file, and a run's
// course through failures, Retry, Skip, Pause and Stop (desk/run.cpp).
#include <gtest/gtest.h>

#include "QT741DLL.h"
#include "batch.h"
#include "run.h"

namespace {

using desk::Next;
using desk::RowState;

struct ParseRow {
    const char* what;
    const char* csv;
    std::vector<desk::CsvRow> rows; // track1, track2, label
    const char* error;              // in the reason, when the file is refused
};

const ParseRow kParseRows[] = {
    {"columns in an order of their own, a quoted comma",
     "label,track2,track1\r\n\"Room 1, sea\",;12=34?,%B1^A^2512?\r\n",
     {{"%B1^A^2512?", ";12=34?", "Room 1, sea"}},
     nullptr},
    {"no label, a byte order mark, empty lines", "\xEF\xBB\xBFtrack1,track2\n\nA,B\n\n", {{"A", "B", ""}}, nullptr},
    {"spaces kept, doubled quotes",
     "track1,label\n\" %B1 \",\"say \"\"hi\"\"\"\n",
     {{" %B1 ", "", "say \"hi\""}},
     nullptr},
    {"track 2 alone, another column passed over", "id,track2\n7,;1=2?\n", {{"", ";1=2?", ""}}, nullptr},
    {"too few columns", "track1,track2\nA,B\nA\n", {}, "Too few columns in line 3 in file \"cards.csv\""},
    {"no track column", "label\nX\n", {}, "neither a track1 nor a track2 column"},
    {"names as they are written", "Track1,Track2\nA,B\n", {}, "neither a track1 nor a track2 column"},
    {"a header and nothing else", "track1\n", {}, "no rows below its header row"},
    {"nothing at all", "", {}, "Header missing in file \"cards.csv\""},
};

TEST(DeskBatch, Parse) {
    for (const ParseRow& row : kParseRows) {
        SCOPED_TRACE(row.what);
        std::vector<desk::CsvRow> rows;
        std::string error;
        EXPECT_EQ(desk::ParseBatch(row.csv, "cards.csv", rows, error), row.error == nullptr) << error;
        if (row.error != nullptr)
            EXPECT_NE(error.find(row.error), std::string::npos) << error;
        else
            EXPECT_EQ(rows, row.rows);
    }
}

struct RefusalRow {
    size_t length1, length2;
    const wchar_t* result; // empty: the row is written
};

// The library's limits, one character either side, and rows it cannot write at all.
const RefusalRow kRefusalRows[] = {
    {CARD_TRACK1_MAX_WRITE, 0, L""},
    {CARD_TRACK1_MAX_WRITE + 1, 0, L"Not written: track 1 is 395 characters; the encoder takes 394."},
    {0, CARD_TRACK2_MAX_WRITE, L""},
    {0, CARD_TRACK2_MAX_WRITE + 1, L"Not written: track 2 is 394 characters; the encoder takes 393."},
    {200, CARD_TRACKS_MAX_WRITE - 200, L""},
    {200, CARD_TRACKS_MAX_WRITE - 199, L"Not written: both tracks are 394 characters; the encoder takes 393."},
    {0, 0, L"Not written: no track to write."},
};

TEST(DeskBatch, RowsTheLibraryCannotWriteAreRefused) {
    for (const RefusalRow& row : kRefusalRows) {
        SCOPED_TRACE(std::to_string(row.length1) + " and " + std::to_string(row.length2));
        const desk::BatchRow made =
            desk::MakeRow(L"", std::wstring(row.length1, L'1'), std::wstring(row.length2, L'2'));
        EXPECT_EQ(made.result, row.result);
        EXPECT_EQ(made.state, made.result.empty() ? RowState::Pending : RowState::Refused);
    }
    EXPECT_EQ(desk::MakeRow(L"", L"%B\u20AC?", L"").result,
              L"Not written: track 1 holds U+20AC at 3, which is not one byte.");
    // A label is no track: any character will do.
    EXPECT_EQ(desk::MakeRow(L"Caf\u00e9 \u20AC", L"%B1?", L"").state, RowState::Pending);
}

TEST(DeskBatch, Results) {
    desk::Batch batch;
    batch.rows = {desk::MakeRow(L"Room 1, sea", L"%A?", L""), desk::MakeRow(L"Caf\u00e9", L"", L";1?")};
    batch.rows[0].state = RowState::Done;
    batch.rows[0].result = L"written and verified";
    batch.rows[0].time = L"2026-12-08 16:58:47";
    batch.rows[0].verified = true;
    EXPECT_EQ(desk::ResultsText(batch), L"row,label,result,time,verified\r\n"
                                        L"1,\"Room 1, sea\",written and verified,2026-12-08 16:58:47,verified\r\n"
                                        L"2,Caf\u00e9,not done,,\r\n");
}

// A run over three rows, driven as the window drives it.
class DeskRun : public testing::Test {
protected:
    DeskRun() {
        for (const wchar_t* label : {L"one", L"two", L"three"})
            batch.rows.push_back(desk::MakeRow(label, L"%B1^A^2512?", L";1=2512?"));
    }
    // The call under way returned: the next step, and its last sentence in `said`.
    Next Returned(int code, const std::wstring& words = L"", const std::string& read1 = "%B1^A^2512?") {
        return Follow(run.Returned(code, words, read1, ";1=2512?", L"2026-12-08 16:58:47"));
    }
    Next Follow(const desk::Step& step) {
        said = step.said.empty() ? L"" : step.said.back();
        return step.next;
    }
    desk::Batch batch;
    desk::BatchRun run{batch};
    std::wstring said;
};

TEST_F(DeskRun, VerifyRetrySkipPauseStopAndResume) {
    EXPECT_EQ(Follow(run.Start(true)), Next::Write);
    EXPECT_EQ(said, L"Run from card 1 of 3, each card read back.");
    EXPECT_EQ(Returned(CARD_OK), Next::ReadBack);
    EXPECT_EQ(Returned(CARD_OK), Next::Write);
    EXPECT_EQ(said, L"Card 1 of 3: written and verified.");
    EXPECT_EQ(run.Row(), 1u);

    EXPECT_EQ(Returned(CARD_IO_FAILED, L"the device answered that the write failed"), Next::Wait);
    EXPECT_EQ(run.State(), desk::RunState::Deciding);
    EXPECT_EQ(said, L"Card 2 of 3 failed: the device answered that the write failed. Retry, Skip or Stop?");
    EXPECT_EQ(Follow(run.Retry()), Next::Write);
    EXPECT_EQ(Returned(CARD_OK), Next::ReadBack);
    EXPECT_EQ(Returned(CARD_OK, L"", "%B1^B^2512?"), Next::Wait);
    EXPECT_EQ(batch.rows[1].result,
              L"read back, it differs from what was written: track 1 from character 5 (11 read, 11 written)");
    EXPECT_EQ(Follow(run.Skip(L"now")), Next::Write);
    EXPECT_EQ(batch.rows[1].state, RowState::Skipped);

    // Pause while the third card is read back: the row is written, not done.
    EXPECT_EQ(Returned(CARD_OK), Next::ReadBack);
    EXPECT_TRUE(run.Ask(desk::Asked::Pause));
    EXPECT_FALSE(run.Ask(desk::Asked::Stop));
    EXPECT_EQ(Returned(CARD_CANCELLED), Next::Wait);
    EXPECT_EQ(said, L"Paused before card 3 of 3. Run goes on.");
    EXPECT_EQ(batch.rows[2].result, L"written, not read back yet");
    EXPECT_TRUE(desk::NotDone(batch.rows[2]));

    EXPECT_EQ(Follow(run.Start(true)), Next::Write);
    EXPECT_EQ(said, L"On from card 3 of 3.");
    EXPECT_TRUE(run.Ask(desk::Asked::Stop));
    EXPECT_EQ(Returned(CARD_CANCELLED), Next::Ended);
    EXPECT_EQ(said, L"Stopped: 1 of 3 cards written and verified, 1 skipped. Run goes on from card 2 of 3.");
    // Run again: from the first row not done, the skipped one.
    EXPECT_EQ(Follow(run.Start(false)), Next::Write);
    EXPECT_EQ(run.Row(), 1u);
}

TEST_F(DeskRun, ButtonsWhileACardIsAwaited) {
    EXPECT_FALSE(run.Ask(desk::Asked::Stop)); // no call: nothing to ask
    run.Start(false);
    // Skip: the cancelled row is skipped; a cancel made by the person is a failure to decide on.
    EXPECT_TRUE(run.Ask(desk::Asked::Skip));
    EXPECT_EQ(Returned(CARD_CANCELLED), Next::Write);
    EXPECT_EQ(batch.rows[0].result, L"skipped");
    EXPECT_EQ(Returned(CARD_CANCELLED, L"cancelled"), Next::Wait);
    EXPECT_EQ(said, L"Card 2 of 3 failed: cancelled. Retry, Skip or Stop?");
    EXPECT_EQ(Follow(run.Retry()), Next::Write);
    // Retry while awaited writes the same row again; a card swiped before the cancel counts as written.
    EXPECT_TRUE(run.Ask(desk::Asked::Retry));
    EXPECT_EQ(Returned(CARD_CANCELLED), Next::Write);
    EXPECT_EQ(run.Row(), 1u);
    EXPECT_TRUE(run.Ask(desk::Asked::Skip));
    EXPECT_EQ(Returned(CARD_OK), Next::Write);
    EXPECT_EQ(batch.rows[1].state, RowState::Done);
    EXPECT_EQ(Returned(CARD_OK), Next::Ended);
    EXPECT_EQ(said, L"Done: 2 of 3 cards written, 1 skipped. Run goes on from card 1 of 3.");
}

TEST_F(DeskRun, RowsTheLibraryCannotWriteArePassedOver) {
    batch.rows[1] = desk::MakeRow(L"long", std::wstring(400, L'1'), L"");
    batch.rows.push_back(desk::MakeRow(L"none", L"", L""));
    EXPECT_EQ(Follow(run.Start(false)), Next::Write);
    EXPECT_EQ(Returned(CARD_OK), Next::Write);
    EXPECT_EQ(run.Row(), 2u);
    EXPECT_EQ(Returned(CARD_OK), Next::Ended);
    EXPECT_EQ(said, L"Done: 2 of 4 cards written, 2 cannot be written.");
    EXPECT_EQ(Follow(run.Start(false)), Next::Ended);
    EXPECT_EQ(said, L"Every row that can be written is done.");
}

TEST_F(DeskRun, AFailedReadBackAndSkipsWhilePaused) {
    run.Start(true);
    EXPECT_EQ(Returned(CARD_OK), Next::ReadBack);
    EXPECT_EQ(Returned(CARD_IO_FAILED, L"no answer came from the device", ""), Next::Wait);
    EXPECT_EQ(batch.rows[0].result, L"written, then the read back failed: no answer came from the device");
    // Stopped while deciding, the row stays failed and is the first to write again.
    EXPECT_EQ(Follow(run.Stop()), Next::Ended);
    EXPECT_EQ(batch.rows[0].state, RowState::Failed);
    run.Start(true);
    EXPECT_TRUE(run.Ask(desk::Asked::Pause));
    EXPECT_EQ(Returned(CARD_CANCELLED), Next::Wait);
    EXPECT_EQ(Follow(run.Skip(L"now")), Next::Wait);
    EXPECT_EQ(batch.rows[0].result,
              L"skipped after: written, then the read back failed: no answer came from the device");
    EXPECT_EQ(said, L"Paused before card 2 of 3. Run goes on.");
    run.Skip(L"now");
    EXPECT_EQ(Follow(run.Skip(L"now")), Next::Ended);
    EXPECT_EQ(said, L"Done: 0 of 3 cards written and verified, 3 skipped. Run goes on from card 1 of 3.");
}

} // namespace
