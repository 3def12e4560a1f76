// The run of a batch, row after row.
#include "run.h"

#include "QT741DLL.h"
#include "tracks.h"

namespace desk {

std::wstring BatchRun::CardOf(size_t index, bool capital) const {
    return (capital ? L"Card " : L"card ") + std::to_wstring(index + 1) + L" of " + std::to_wstring(batch_.rows.size());
}

Step BatchRun::Start(bool verify) {
    Step step;
    if (state_ == RunState::Idle) {
        verify_ = verify;
        row_ = NextNotDone(batch_, 0);
        if (row_ >= batch_.rows.size()) {
            step.next = Next::Ended;
            step.said.push_back(L"Every row that can be written is done.");
            return step;
        }
        step.said.push_back(L"Run from " + CardOf(row_, false) + (verify_ ? L", each card read back." : L"."));
    } else if (state_ == RunState::Paused) {
        step.said.push_back(L"On from " + CardOf(row_, false) + L".");
    } else {
        return step;
    }
    state_ = RunState::Running;
    step.next = Next::Write;
    return step;
}

Step BatchRun::Returned(int code, const std::wstring& words, const std::string& track1, const std::string& track2,
                        const std::wstring& now) {
    Step step;
    if (state_ != RunState::Running) return step;
    const BatchRow& row = batch_.rows[row_];
    const Asked asked = asked_;
    const bool verifying = verifying_;
    asked_ = Asked::Nothing;
    verifying_ = false;
    const bool ok = code == CARD_OK;
    if (ok && !verifying && verify_ && asked == Asked::Nothing) {
        verifying_ = true;
        step.next = Next::ReadBack;
        return step;
    }
    std::wstring failure;
    bool done = false;
    if (ok && verifying) {
        const std::wstring difference1 = row.track1.empty() ? L"" : Difference(track1, row.track1);
        const std::wstring difference2 = row.track2.empty() ? L"" : Difference(track2, row.track2);
        std::wstring differences = difference1.empty() ? L"" : L"track 1 " + difference1;
        if (!difference2.empty()) differences += (differences.empty() ? L"track 2 " : L"; track 2 ") + difference2;
        done = differences.empty();
        if (!done) failure = L"read back, it differs from what was written: " + differences;
    } else if (ok) {
        done = !verify_;
    } else if (code != CARD_CANCELLED || asked == Asked::Nothing) {
        failure = (verifying ? L"written, then the read back failed: " : L"") + words;
    }
    // A call cancelled for a button is no failure of the row; a card written
    // but not read back is not done.
    if (failure.empty() && !done && (ok || verifying)) Record(row.state, L"written, not read back yet", false, now);
    if (done) {
        Record(RowState::Done, verify_ ? L"written and verified" : L"written", verify_, now);
        step.said.push_back(CardOf(row_) + L": " + row.result + L".");
    }
    if (!failure.empty() && (asked == Asked::Nothing || asked == Asked::Pause)) return Decide(failure, now);
    switch (asked) {
    case Asked::Nothing: return Advance(step);
    case Asked::Pause:
        if (done) row_ = NextNotDone(batch_, row_ + 1);
        if (row_ >= batch_.rows.size()) return End(L"Done", step);
        state_ = RunState::Paused;
        step.said.push_back(L"Paused before " + CardOf(row_, false) + L". Run goes on.");
        return step;
    case Asked::Skip:
        if (!done) {
            Record(RowState::Skipped, failure.empty() ? L"skipped" : L"skipped after: " + failure, false, now);
            step.said.push_back(CardOf(row_) + L" skipped.");
        }
        return Advance(step);
    case Asked::Retry:
        if (done) return Advance(step);
        if (!failure.empty()) Record(RowState::Failed, failure, false, now);
        step.said.push_back(CardOf(row_) + L" again.");
        step.next = Next::Write;
        return step;
    case Asked::Stop:
        if (!failure.empty()) Record(RowState::Failed, failure, false, now);
        if (done) row_ = NextNotDone(batch_, row_ + 1);
        return End(L"Stopped", step);
    }
    return step;
}

bool BatchRun::Ask(Asked asked) {
    if (state_ != RunState::Running || asked_ != Asked::Nothing || asked == Asked::Nothing) return false;
    asked_ = asked;
    return true;
}

Step BatchRun::Skip(const std::wstring& now) {
    Step step;
    if (state_ != RunState::Deciding && state_ != RunState::Paused) return step;
    const BatchRow& row = batch_.rows[row_];
    Record(RowState::Skipped, row.state == RowState::Failed ? L"skipped after: " + row.result : L"skipped", false, now);
    step.said.push_back(CardOf(row_) + L" skipped.");
    if (state_ == RunState::Deciding) return Advance(step);
    row_ = NextNotDone(batch_, row_ + 1);
    if (row_ >= batch_.rows.size()) return End(L"Done", step);
    step.said.push_back(L"Paused before " + CardOf(row_, false) + L". Run goes on.");
    return step;
}

Step BatchRun::Retry() {
    Step step;
    if (state_ != RunState::Deciding && state_ != RunState::Paused) return step;
    state_ = RunState::Running;
    step.said.push_back(CardOf(row_) + L" again.");
    step.next = Next::Write;
    return step;
}

Step BatchRun::Stop() {
    if (state_ != RunState::Deciding && state_ != RunState::Paused) return Step();
    return End(L"Stopped", Step());
}

void BatchRun::Record(RowState state, const std::wstring& result, bool verified, const std::wstring& now) {
    BatchRow& row = batch_.rows[row_];
    row.state = state;
    row.result = result;
    row.time = now;
    row.verified = verified;
}

// On to the next row not done, or the end of the run.
Step BatchRun::Advance(Step step) {
    row_ = NextNotDone(batch_, row_ + 1);
    if (row_ >= batch_.rows.size()) return End(L"Done", step);
    state_ = RunState::Running;
    step.next = Next::Write;
    return step;
}

Step BatchRun::Decide(const std::wstring& failure, const std::wstring& now) {
    Record(RowState::Failed, failure, false, now);
    state_ = RunState::Deciding;
    Step step;
    step.said.push_back(CardOf(row_) + L" failed: " + failure + L". Retry, Skip or Stop?");
    return step;
}

// The end of a run: `how` it ended ("Done", "Stopped"), and what was done.
Step BatchRun::End(const std::wstring& how, Step step) {
    state_ = RunState::Idle;
    verifying_ = false;
    asked_ = Asked::Nothing;
    size_t done = 0, skipped = 0, failed = 0, refused = 0;
    for (const BatchRow& row : batch_.rows) {
        done += row.state == RowState::Done ? 1 : 0;
        skipped += row.state == RowState::Skipped ? 1 : 0;
        failed += row.state == RowState::Failed ? 1 : 0;
        refused += row.state == RowState::Refused ? 1 : 0;
    }
    std::wstring summary = how + L": " + std::to_wstring(done) + L" of " + std::to_wstring(batch_.rows.size()) +
                           L" cards written" + (verify_ ? L" and verified" : L"");
    if (skipped > 0) summary += L", " + std::to_wstring(skipped) + L" skipped";
    if (failed > 0) summary += L", " + std::to_wstring(failed) + L" failed";
    if (refused > 0) summary += L", " + std::to_wstring(refused) + L" cannot be written";
    const size_t next = NextNotDone(batch_, 0);
    if (next < batch_.rows.size()) summary += L". Run goes on from " + CardOf(next, false);
    step.said.push_back(summary + L".");
    step.next = Next::Ended;
    return step;
}

} // namespace desk
