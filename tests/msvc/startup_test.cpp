// The library's start-up (library/msvc/startup.cpp), tested through a DLL built
// on it: static constructors run at load in their order, and at unload the
// destructors and the atexit entries run, the newest first.
#include "program.h"

namespace {

typedef const char*(__cdecl* ConstructedFunction)(void);
typedef void(__cdecl* ExitLogFunction)(char*);

int Fail(const char* call) {
    Print("FAIL %s failed with system error %lu\n", call, GetLastError());
    return 1;
}

} // namespace

int Main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    Checks checks;
    HMODULE probe = LoadLibraryA("startup_probe.dll");
    if (probe == NULL) return Fail("LoadLibraryA(startup_probe.dll)");
    ConstructedFunction constructed = reinterpret_cast<ConstructedFunction>(GetProcAddress(probe, "ProbeConstructed"));
    if (constructed == NULL) return Fail("GetProcAddress(ProbeConstructed)");
    ExitLogFunction exitLog = reinterpret_cast<ExitLogFunction>(GetProcAddress(probe, "ProbeExitLog"));
    if (exitLog == NULL) return Fail("GetProcAddress(ProbeExitLog)");

    Print("at load: \"%s\"\n", constructed());
    checks.Expect(lstrcmpA(constructed(), "c1c2") == 0, "the static constructors ran at load, in order");

    char log[32] = {};
    exitLog(log);
    if (!FreeLibrary(probe)) return Fail("FreeLibrary(startup_probe.dll)");
    Print("at unload: \"%s\"\n", log);
    checks.Expect(lstrcmpA(log, "d2d1a") == 0, "at unload the destructors, then the atexit entry ran, newest first");
    return checks.Summary();
}
