// The Win32 subset the library calls, for its builds outside Windows: the
// types, constants and functions of <windows.h> that serial/, card/ and
// library/ use, and the error codes the layers report. On Windows the system's
// own <windows.h> stands here.
//
// Two layers implement it: the Linux layer (win32linux/, inside
// libQT741DLL.so) and the test stand-in (tests/win32sim/). Each honours what
// the library relies on, as Windows does:
// - ReadFile and WriteFile with an OVERLAPPED record complete at once (TRUE),
//   fail, or return FALSE with ERROR_IO_PENDING. From then until the operation
//   ends, its record's Internal holds STATUS_PENDING (HasOverlappedIoCompleted
//   is false); at its end Internal holds 0 or the error, InternalHigh the count.
// - A pending operation moves on only inside GetOverlappedResult on its record,
//   inside WaitForSingleObject on its record's event (or, without an event, on
//   the port's handle), or while the library sleeps in Sleep.
//   No thread of the layer's own touches the caller's memory.
//   GetOverlappedResult without waiting answers ERROR_IO_INCOMPLETE while the
//   operation is pending.
// - The port's COMMTIMEOUTS end reads and writes as win32/timeouts.h states; a
//   read that times out completes successfully with what it has (under Wine
//   one with nothing fails with ERROR_TIMEOUT instead).
// - CancelIo ends the handle's pending operations with ERROR_OPERATION_ABORTED
//   (on Windows only those the calling thread started: the library aborts its
//   own operations from the thread that started them). Closing a port's handle
//   ends every operation pending on it (a driver may record the end a moment
//   later) and never waits for the line. CloseHandle fails only when the handle
//   was not closed. Closing INVALID_HANDLE_VALUE does nothing and succeeds.
//   PurgeComm's clear flags end nothing.
// - GetModuleHandleExW with GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS and
//   GET_MODULE_HANDLE_EX_FLAG_PIN keeps the module holding that address loaded
//   until the process ends.
// - GetAsyncKeyState(VK_ESCAPE) is nonzero while the key is down or when it was
//   pressed since the previous query. InterlockedExchange is atomic and
//   lock-free (a signal handler may call it). GetLastError is per thread.
#ifndef QT741_WIN32_WINDOWS_H
#define QT741_WIN32_WINDOWS_H

#include <cstddef>
#include <cstdint>

#define WINAPI
#define TRUE 1
#define FALSE 0

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int16_t SHORT;
typedef int32_t LONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef void* HANDLE;
typedef void* HINSTANCE;
typedef void* HMODULE;
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

// While an overlapped operation runs, its record's Internal holds STATUS_PENDING.
#define STATUS_PENDING static_cast<DWORD>(0x00000103L)
#define HasOverlappedIoCompleted(overlapped) (static_cast<DWORD>((overlapped)->Internal) != STATUS_PENDING)

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
typedef DCB* LPDCB;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
typedef COMMTIMEOUTS* LPCOMMTIMEOUTS;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
typedef COMSTAT* LPCOMSTAT;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define CBR_9600 9600u
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define ONESTOPBIT 0
#define TWOSTOPBITS 2
#define EV_RXCHAR 0x0001u
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u
#define SETDTR 5u
#define CLRDTR 6u
#define VK_ESCAPE 0x1B
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_GEN_FAILURE 31
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INVALID_NAME 123
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_BUSY 170
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_INCOMPLETE 996
#define ERROR_IO_PENDING 997
#define ERROR_TIMEOUT 1460

#define ZeroMemory(p, n) memset((p), 0, (n))
#include <cstring>

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE templateFile);
BOOL WINAPI CloseHandle(HANDLE handle);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL WINAPI GetCommState(HANDLE port, LPDCB dcb);
BOOL WINAPI SetCommState(HANDLE port, LPDCB dcb);
BOOL WINAPI SetCommMask(HANDLE port, DWORD mask);
BOOL WINAPI SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL WINAPI SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI PurgeComm(HANDLE port, DWORD flags);
BOOL WINAPI ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);
BOOL WINAPI EscapeCommFunction(HANDLE port, DWORD function);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
BOOL WINAPI CancelIo(HANDLE file);
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetTickCount(void);
SHORT WINAPI GetAsyncKeyState(int key);
LONG WINAPI InterlockedExchange(volatile LONG* target, LONG value);
LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source);
LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source);
int WINAPI lstrlenA(LPCSTR text);
int WINAPI lstrcmpA(LPCSTR first, LPCSTR second);

#endif
