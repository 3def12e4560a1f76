// The library's calls as the desk names them, and a card function's result in
// words. No system calls here.
#ifndef QT741_DESK_WORDS_H
#define QT741_DESK_WORDS_H

#include <string>

namespace desk {

enum class Call { Open, Close, Write1, Write2, Write12, Read1, Read2, Read12, Reset, ReadStatus, WriteStatus };

// Whether the call waits for a swipe, which CardCancel and Escape end.
bool WaitsForSwipe(Call call);
bool IsRead(Call call);

// A card function's result in words, e.g. "done", "the device answered that
// the write failed", "no answer came in time (30 s)": `ms` is how long the
// call took, `delivered` whether a read delivered tracks.
std::wstring CardWords(Call call, int code, double ms, bool delivered);

} // namespace desk

#endif
