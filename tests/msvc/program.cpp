#include "program.h"

#include <stdarg.h>

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

void Print(const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    const int length = wvsprintfA(text, format, arguments);
    va_end(arguments);
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

// Allocates from the process heap, as Microsoft's runtime does, so that objects
// the library deletes (through mComm's virtual destructor) go back where they came from.
void* __cdecl operator new(size_t size) {
    void* block = HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size);
    if (block == NULL) {
        Print("operator new: HeapAlloc of %lu bytes failed\n", static_cast<unsigned long>(size));
        ExitProcess(3);
    }
    return block;
}
