// What a console test program of the clang/lld-link build (Microsoft's ABI, no
// runtime) needs from a runtime: an entry point that hands Main its words,
// printing, and new on the process heap (delete is in library/msvc/runtime.cpp).
#ifndef QT741_TESTS_MSVC_PROGRAM_H
#define QT741_TESTS_MSVC_PROGRAM_H

#include <windows.h>

// The program's own main: the command line split at spaces (no quoting), at
// most 16 words. Its result is the exit code.
int Main(int argc, char** argv);

// Prints as wsprintfA formats (%d, %s, %lu, %p; no floating point) to standard
// output, at most 1023 characters.
void Print(const char* format, ...);

// Counts checks and prints each: "ok   what" or "FAIL what".
class Checks {
public:
    bool Expect(bool passed, const char* what);
    // Prints "N passed, N failed"; the exit code, 0 when all passed.
    int Summary() const;

private:
    int passed_ = 0;
    int failed_ = 0;
};

#endif
