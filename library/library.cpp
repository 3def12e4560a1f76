// The library's start-up: g_comm is constructed when the library is loaded
// (closed, port name "COM1") and destroyed at unload, which releases nothing.
#include <windows.h>

#include "port.h"

#ifndef _WIN32
#include <pthread.h>

#include "calls.h"
#endif

mComm g_comm;

// Nothing to do for any notification: the port opens only on CreatmComm.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

#ifndef _WIN32
namespace {

// A child of fork() has only the thread that forked: a call another thread had
// under way goes on in the parent alone, and the child starts with none.
struct ChildStartsWithNoCall {
    ChildStartsWithNoCall() { pthread_atfork(NULL, NULL, ForgetCallUnderWay); }
} s_childStartsWithNoCall;

} // namespace
#endif
