// The library calls the desk makes, run on a worker thread, and their results
// in words.
#ifndef QT741_DESK_CALLS_H
#define QT741_DESK_CALLS_H

#include <windows.h>

#include <string>

#include "words.h"

namespace desk {

// One call: what to do, and once done what came back.
struct Work {
    Call call = Call::Reset;
    std::string port;   // Open: the port's name
    std::string track1; // writes: the data; reads: what was read
    std::string track2;
    int code = 0;       // the function's result
    SYSTEMTIME made{};  // when it was made (local time)
    double ms = 0;      // how long it took
    HWND window = NULL; // gets kWorkDone when it has returned
};

// Posted to Work::window with the Work (to be deleted by the receiver) in lParam.
const UINT kWorkDone = WM_APP + 1;

// Makes the call on a new thread; false (with the system error) when the thread
// cannot be started. The Work then stays the caller's.
bool Start(Work* work, DWORD& error);

// Runs routine(parameter) on a new thread of its own; false with the system
// error when it cannot be started.
bool StartThread(LPTHREAD_START_ROUTINE routine, void* parameter, DWORD& error);

// The call as the log shows it, e.g. CreatmComm("COM5") or WrTr2Card([7
// characters]); with `full` the tracks themselves, WrTr2Card(";12=34?").
std::wstring Invocation(const Work& work, bool full);
// Its result in words, e.g. "done", "the device answered that the write failed",
// "the port does not exist (system error 2: file not found)".
std::wstring ResultWords(const Work& work);
// What the person asked for, for the status line, e.g. "Write track 1 and 2".
std::wstring Action(const Work& work);

// The system's text for an error code, without its final period, e.g. "File not found".
std::wstring SystemText(DWORD code);
// "system error 2: File not found"
std::wstring SystemError(DWORD code);

} // namespace desk

#endif
