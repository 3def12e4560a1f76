// probe: times the Win32 pieces the library's waits are made of, under Wine.
//
//   probe PORT ROUNDS
//
// Prints one line per measurement, in milliseconds:
//   sleep2 MS       one Sleep(2), the library's poll interval
//   keystate MS     one GetAsyncKeyState(VK_ESCAPE), made at every poll of a cancellable wait
//   waited MS       a status request sent, its 2-byte answer read with the library's time-outs
//                   (50 ms between bytes), the read's completion waited for on its event
//   polled MS       the same, completion polled as the library does (query, Sleep(2), query...)
// The device's answer takes 2 byte times (2.08 ms at 9600 baud); the rest of a
// "waited" time is the read interval time-out as Wine applies it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

double Ms(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

HANDLE OpenPort(const char* name) {
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) return port;
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(port, &dcb);
    COMMTIMEOUTS timeouts = {50, 3000, 2, 2, 0}; // the library's
    SetCommTimeouts(port, &timeouts);
    return port;
}

// Sends the status request and reads the answer; returns ms from the send to the
// read's completion, or a negative value when something failed.
double StatusExchange(HANDLE port, HANDLE event, bool poll) {
    PurgeComm(port, PURGE_RXCLEAR);
    static const char request[] = "\x1B\x6A";
    OVERLAPPED write;
    ZeroMemory(&write, sizeof write);
    write.hEvent = event;
    DWORD done = 0;
    const LARGE_INTEGER sent = Now();
    if (!WriteFile(port, request, 2, &done, &write)) {
        if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &write, &done, TRUE)) return -1;
    }
    char answer[10];
    OVERLAPPED read;
    ZeroMemory(&read, sizeof read);
    read.hEvent = event;
    ResetEvent(event);
    if (ReadFile(port, answer, sizeof answer, &done, &read)) return Ms(sent, Now());
    if (GetLastError() != ERROR_IO_PENDING) return -2;
    if (poll) {
        while (!GetOverlappedResult(port, &read, &done, FALSE)) {
            if (GetLastError() != ERROR_IO_INCOMPLETE) return -3;
            Sleep(2);
        }
    } else {
        WaitForSingleObject(event, INFINITE);
        if (!GetOverlappedResult(port, &read, &done, FALSE)) return -3;
    }
    const double ms = Ms(sent, Now());
    return done == 2 ? ms : -4;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: probe PORT ROUNDS\n");
        return 2;
    }
    const int rounds = std::atoi(argv[2]);
    for (int i = 0; i < rounds * 10; ++i) {
        const LARGE_INTEGER before = Now();
        Sleep(2);
        std::printf("sleep2 %.4f\n", Ms(before, Now()));
    }
    for (int i = 0; i < rounds * 10; ++i) {
        const LARGE_INTEGER before = Now();
        GetAsyncKeyState(VK_ESCAPE);
        std::printf("keystate %.4f\n", Ms(before, Now()));
    }
    HANDLE port = OpenPort(argv[1]);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (int i = 0; i < rounds; ++i) {
        std::printf("waited %.4f\n", StatusExchange(port, event, false));
        std::printf("polled %.4f\n", StatusExchange(port, event, true));
    }
    std::fflush(stdout);
    CloseHandle(event);
    CloseHandle(port);
    return 0;
}
