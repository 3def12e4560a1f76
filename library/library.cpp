// The library's start-up: g_comm is constructed when the library is loaded
// (closed, port name "COM1") and destroyed at unload, which releases nothing.
#include <windows.h>

#include "port.h"

mComm g_comm;

// Nothing to do for any notification: the port opens only on CreatmComm.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
