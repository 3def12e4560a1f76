// What cardtool needs from the system besides the library: a clock, sleeping,
// error texts, the process's handle count and processor time, the library's
// version, a second thread, and (Linux) Escape from the terminal.
// platform_windows.cpp and platform_linux.cpp answer them.
#ifndef QT741_CARDTOOL_PLATFORM_H
#define QT741_CARDTOOL_PLATFORM_H

#include <functional>
#include <memory>
#include <string>

namespace platform {

// Seconds on a monotonic clock (QueryPerformanceCounter, CLOCK_MONOTONIC).
double Clock();

void SleepMs(unsigned long ms);

// The system's text for a Win32 error code, e.g. "file not found".
std::string SystemMessage(unsigned long code);

// Prints "  handles: N ..." (the handles or file descriptors the process
// holds); false, having printed why, when they cannot be counted.
bool PrintHandles();

// Processor time the whole process has used, in seconds; false with `error`.
bool CpuTimes(double& user, double& kernel, std::string& error);

// --version: the version of the library this program loaded, and where from.
int PrintLibraryVersion();

// From now on a key on the console calls CardCancel: Escape on Linux, where the
// library has no keyboard to ask, Ctrl-Break on Windows (where the library sees
// Escape itself).
void WatchCancelKeys();

// A second thread, for the "meanwhile" commands (CreateThread, pthread_create:
// MinGW's win32 thread model has no std::thread).
class Thread {
public:
    Thread();
    ~Thread(); // waits for a thread that was started and not joined
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Runs `body` on a new thread; false, with the failed call and its error in
    // `error`, when the thread cannot be started.
    bool Start(std::function<void()> body, std::string& error);
    // Waits until the thread has ended; false with `error` when waiting failed.
    bool Join(std::string& error);

private:
    struct Native;
    std::unique_ptr<Native> native_;
};

} // namespace platform

#endif
