// What a console test program of the clang/lld-link build (Microsoft's ABI, no
// runtime) needs from a runtime beyond library/msvc/runtime.cpp (new and delete
// on the process heap, memset): an entry point that hands Main its words, and
// printing.
#ifndef QT741_TESTS_MSVC_PROGRAM_H
#define QT741_TESTS_MSVC_PROGRAM_H

#include <windows.h>

// The program's own main: the command line split at spaces (no quoting), at
// most 16 words. Its result is the exit code.
int Main(int argc, char** argv);

// Writes text to standard output.
void Write(const char* text, int length);

// Prints as wsprintfA formats (%d, %s, %lu, %p; no floating point), at most
// 1023 characters.
template <typename... Arguments> void Print(const char* format, Arguments... arguments) {
    char text[1024];
    Write(text, wsprintfA(text, format, arguments...));
}

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
