// The process-wide Win32 calls the library makes: errors, time, the keyboard,
// the interlocked exchange and the string routines.
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "system.h"

namespace {

thread_local DWORD t_lastError = 0;

} // namespace

DWORD Win32Error(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD code) { t_lastError = code; }

DWORD WINAPI GetTickCount(void) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000u +
                              static_cast<unsigned long long>(now.tv_nsec) / 1000000u);
}

// There is no keyboard state to ask on Linux: nothing is ever pressed. Hosts
// cancel a wait with CardCancel (cardtool calls it when Escape comes on its terminal).
SHORT WINAPI GetAsyncKeyState(int key) {
    (void)key;
    return 0;
}

// Lock-free on every Linux target, so CardCancel may run in a signal handler.
LONG WINAPI InterlockedExchange(volatile LONG* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

// Unbounded, as the Win32 calls are: the library sizes every buffer it copies into.
LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) {
    std::memcpy(destination, source, std::strlen(source) + 1);
    return destination;
}

LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source) {
    lstrcpyA(destination + std::strlen(destination), source);
    return destination;
}
int WINAPI lstrlenA(LPCSTR text) { return text != NULL ? static_cast<int>(std::strlen(text)) : 0; }
int WINAPI lstrcmpA(LPCSTR first, LPCSTR second) { return std::strcmp(first, second); }
