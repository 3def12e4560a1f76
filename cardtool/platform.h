// What cardtool needs from the system besides the library: a clock, sleeping,
// error texts, the process's handle count and processor time, the library's
// version, and (Linux) Escape from the terminal. platform_windows.cpp and
// platform_linux.cpp answer them.
#ifndef QT741_CARDTOOL_PLATFORM_H
#define QT741_CARDTOOL_PLATFORM_H

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

} // namespace platform

#endif
