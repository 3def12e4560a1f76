#include "program.h"

namespace {

const int kMaxWords = 16;

// Splits the command line at spaces into words, in place.
int SplitCommandLine(char* line, char** words) {
    int count = 0;
    while (*line != '\0' && count < kMaxWords) {
        while (*line == ' ' || *line == '\t')
            ++line;
        if (*line == '\0') break;
        words[count++] = line;
        while (*line != '\0' && *line != ' ' && *line != '\t')
            ++line;
        if (*line != '\0') *line++ = '\0';
    }
    return count;
}

} // namespace

extern "C" void __cdecl mainCRTStartup(void) {
    char* words[kMaxWords + 1] = {};
    const int count = SplitCommandLine(GetCommandLineA(), words);
    ExitProcess(static_cast<UINT>(Main(count, words)));
}

void Write(const char* text, int length) {
    DWORD written = 0;
    if (length > 0) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &written, NULL);
}

bool Checks::Expect(bool passed, const char* what) {
    Print("%s %s\n", passed ? "ok  " : "FAIL", what);
    ++(passed ? passed_ : failed_);
    return passed;
}

int Checks::Summary() const {
    Print("%d passed, %d failed\n", passed_, failed_);
    return failed_ == 0 ? 0 : 1;
}
