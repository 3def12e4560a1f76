// A batch's run: which row's card comes next, what each call's result makes of
// the row, and what Pause, Skip, Retry and Stop do. No window and no library
// calls here: the window makes the calls a Step asks for, and reports how
// they returned.
#ifndef QT741_DESK_RUN_H
#define QT741_DESK_RUN_H

#include <string>
#include <vector>

#include "batch.h"

namespace desk {

enum class RunState {
    Idle,     // no run
    Running,  // a row's call is under way
    Paused,   // between rows; Start goes on
    Deciding, // a row failed: Retry, Skip or Stop
};

// A button pressed while a row's call waits for its card. The window cancels
// the call; what the button asked for follows once the call has returned.
enum class Asked { Nothing, Pause, Skip, Retry, Stop };

enum class Next {
    Write,    // write Row()'s tracks on the next card
    ReadBack, // read Row()'s card back (Verify)
    Wait,     // Paused or Deciding: the person chooses
    Ended,    // the run is over
};

// What the window does next, and what happened, a sentence a line for the
// log and the status line, e.g. "Card 2 of 50 failed: cancelled. Retry, Skip
// or Stop?".
struct Step {
    Next next = Next::Wait;
    std::vector<std::wstring> said;
};

class BatchRun {
public:
    explicit BatchRun(Batch& batch) : batch_(batch) {}

    RunState State() const { return state_; }
    size_t Row() const { return row_; }
    Asked AskedFor() const { return asked_; }
    // "Card 12 of 50", or inside a sentence "card 12 of 50".
    std::wstring CardOf(size_t index, bool capital = true) const;

    // From the first row not done (with Verify: each card read back on a
    // second swipe), or on from a pause.
    Step Start(bool verify);
    // The row's call has returned: its code, the code in words, the tracks a
    // read back delivered; `now` is the time for the row's result.
    Step Returned(int code, const std::wstring& words, const std::string& track1, const std::string& track2,
                  const std::wstring& now);
    // While a call is under way; false when something was asked already.
    bool Ask(Asked asked);
    // While Paused or Deciding.
    Step Skip(const std::wstring& now);
    Step Retry();
    Step Stop();

private:
    void Record(RowState state, const std::wstring& result, bool verified, const std::wstring& now);
    Step Advance(Step step);
    Step Decide(const std::wstring& failure, const std::wstring& now);
    Step End(const std::wstring& how, Step step);

    Batch& batch_;
    RunState state_ = RunState::Idle;
    size_t row_ = 0;
    bool verify_ = false;
    bool verifying_ = false; // the call under way reads the row's card back
    Asked asked_ = Asked::Nothing;
};

} // namespace desk

#endif
