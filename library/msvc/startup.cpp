// The DLL's start-up for the build with Microsoft's C++ ABI (clang, lld-link),
// which links no C or C++ runtime. The loader calls QT741DllStartup: at
// process attach it runs the static constructors (g_comm) before DllMain, at
// process detach DllMain first and then what atexit kept, newest first (the
// destructor of g_comm). The other symbols the compiler's code refers to are in
// runtime.cpp and memset.cpp.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

typedef void(__cdecl StartupFunction)(void);

// The compiler puts a pointer to each translation unit's initializer in the
// section .CRT$XCU; the linker sorts the .CRT$XC* sections by name, so these two
// empty entries bracket them.
#pragma section(".CRT$XCA", read)
#pragma section(".CRT$XCZ", read)
__declspec(allocate(".CRT$XCA")) static StartupFunction* const s_constructorsBegin = NULL;
__declspec(allocate(".CRT$XCZ")) static StartupFunction* const s_constructorsEnd = NULL;

namespace {

// Room for what atexit keeps: the library registers one destructor per static
// object, so a fixed table is ample; a registration past it is refused.
const int kMaxExitFunctions = 32;
StartupFunction* s_exitFunctions[kMaxExitFunctions];
int s_exitCount = 0;

void RunConstructors() {
    // The entries are read through a volatile pointer: the compiler would
    // otherwise assume two distinct objects and drop the loop.
    for (StartupFunction* const* volatile entry = &s_constructorsBegin + 1; entry < &s_constructorsEnd; ++entry) {
        if (*entry != NULL) (*entry)();
    }
}

void RunExitFunctions() {
    while (s_exitCount > 0)
        s_exitFunctions[--s_exitCount]();
}

} // namespace

extern "C" int __cdecl atexit(StartupFunction* function) {
    if (s_exitCount == kMaxExitFunctions) return -1;
    s_exitFunctions[s_exitCount++] = function;
    return 0;
}

extern "C" BOOL WINAPI QT741DllStartup(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) RunConstructors();
    const BOOL result = DllMain(instance, reason, reserved);
    if (reason == DLL_PROCESS_DETACH) RunExitFunctions();
    return result;
}
