// A DLL built on the library's start-up (library/msvc/startup.cpp) that logs
// what the start-up runs: two static objects' constructors at load, and at
// unload their destructors and a function given to atexit, into a buffer of the
// test program (this DLL's own memory is gone by the time it could look).
#include <windows.h>

#include <stdlib.h>

namespace {

char s_constructed[16];
char* s_exitLog = NULL;

void Append(char* log, const char* text) {
    if (log != NULL) lstrcatA(log, text);
}

void __cdecl AtExit() { Append(s_exitLog, "a"); }

// The first object also registers AtExit from its constructor, so that comes
// before either destructor in the atexit list and runs after both.
class Recorder {
public:
    explicit Recorder(const char* name) : name_(name) {
        Append(s_constructed, "c");
        Append(s_constructed, name_);
        if (lstrcmpA(name_, "1") == 0 && atexit(AtExit) != 0) Append(s_constructed, "!");
    }
    ~Recorder() {
        Append(s_exitLog, "d");
        Append(s_exitLog, name_);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

private:
    const char* name_;
};

Recorder s_first("1");
Recorder s_second("2");

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

// What the constructors logged: "c1c2" when both ran, in order.
extern "C" __declspec(dllexport) const char* ProbeConstructed(void) { return s_constructed; }

// Where the unload logs: "d2d1a" when the destructors and AtExit ran, newest first.
extern "C" __declspec(dllexport) void ProbeExitLog(char* log) { s_exitLog = log; }
