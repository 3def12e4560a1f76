// cardtool's system services on Windows (and under Wine).
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QT741DLL.h"
#include "platform.h"

namespace {

std::string SystemError(DWORD code) {
    return "system error " + std::to_string(code) + ": " + platform::SystemMessage(code);
}

// The performance counter in seconds.
double Seconds(const LARGE_INTEGER& ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks.QuadPart / frequency.QuadPart) +
           static_cast<double>(ticks.QuadPart % frequency.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Counts the handles this process holds in the system's handle table. Wine 8's
// GetProcessHandleCount is a stub that always answers 0; the table is kept by
// the wineserver and is the count that works both there and on Windows.
bool CountOwnHandles(DWORD& count) {
    const NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
    std::vector<unsigned char> buffer(256 * 1024);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                                         static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            // Other processes may open handles meanwhile: leave room for them.
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 64 * 1024));
            continue;
        }
        if (!NT_SUCCESS(status)) {
            SetLastError(RtlNtStatusToDosError(status));
            return false;
        }
        const SYSTEM_HANDLE_INFORMATION* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
        const SYSTEM_HANDLE_ENTRY* entries = info->Handle;
        const DWORD self = GetCurrentProcessId();
        count = 0;
        for (ULONG i = 0; i < info->Count; ++i)
            if (entries[i].OwnerPid == self) ++count;
        return true;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
}

double FiletimeSeconds(const FILETIME& time) {
    const unsigned long long ticks = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7; // 100 ns units
}

DWORD WINAPI RunBody(LPVOID body) {
    (*static_cast<std::function<void()>*>(body))();
    return 0;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_BREAK_EVENT) return FALSE;
    CardCancel();
    return TRUE;
}

} // namespace

namespace platform {

double Clock() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return Seconds(now);
}

void SleepMs(unsigned long ms) { Sleep(static_cast<DWORD>(ms)); }

// The system's text for an error code, e.g. "the system cannot find the file".
std::string SystemMessage(unsigned long code) {
    char text[512] = {0};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                        static_cast<DWORD>(code), 0, text, sizeof text, NULL);
    std::string out(text, length);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    if (out.empty()) return "no description";
    if (out[0] >= 'A' && out[0] <= 'Z' && (out.size() < 2 || out[1] < 'A' || out[1] > 'Z')) {
        out[0] = static_cast<char>(out[0] - 'A' + 'a');
    }
    return out;
}

bool PrintHandles() {
    DWORD count = 0;
    if (!CountOwnHandles(count)) {
        std::printf("  handles: the system's handle table cannot be read (%s)\n", SystemError(GetLastError()).c_str());
        return false;
    }
    DWORD reported = 0;
    const bool answered = GetProcessHandleCount(GetCurrentProcess(), &reported) != FALSE;
    std::printf("  handles: %lu in the system's handle table; GetProcessHandleCount: %s\n",
                static_cast<unsigned long>(count), answered ? std::to_string(reported).c_str() : "failed");
    return true;
}

bool CpuTimes(double& user, double& kernel, std::string& error) {
    FILETIME created, exited, kernelTime, userTime;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelTime, &userTime)) {
        error = "GetProcessTimes failed (" + SystemError(GetLastError()) + ")";
        return false;
    }
    user = FiletimeSeconds(userTime);
    kernel = FiletimeSeconds(kernelTime);
    return true;
}

// A string of the DLL's version resource, e.g. "FileDescription"; "" when absent.
std::string VersionString(const std::vector<char>& info, const char* name) {
    const std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
    void* value = NULL;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query.c_str(), &value, &length) || length == 0) return "";
    return std::string(static_cast<const char*>(value), length - 1);
}

// --version: the version resource of the QT741DLL.dll that Windows loaded for
// this process (the file beside cardtool.exe comes first).
int PrintLibraryVersion() {
    auto failed = [](const char* call) {
        std::printf("cardtool: %s failed (%s)\n", call, SystemError(GetLastError()).c_str());
        return 1;
    };
    const HMODULE dll = GetModuleHandleA("QT741DLL.dll");
    if (dll == NULL) return failed("GetModuleHandleA(\"QT741DLL.dll\")");
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(dll, path, sizeof path);
    if (length == 0 || length == sizeof path) return failed("GetModuleFileNameA");
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &unused);
    if (size == 0) return failed("GetFileVersionInfoSizeA");
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path, 0, size, info.data())) return failed("GetFileVersionInfoA");
    void* value = NULL;
    UINT valueSize = 0;
    if (!VerQueryValueA(info.data(), "\\", &value, &valueSize) || valueSize < sizeof(VS_FIXEDFILEINFO)) {
        std::printf("cardtool: VerQueryValueA found no fixed version information in %s\n", path);
        return 1;
    }
    const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    std::printf("QT741DLL.dll %lu.%lu.%lu.%lu\n  file: %s\n  description: %s\n  product: %s %s\n  copyright: %s\n",
                static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)),
                static_cast<unsigned long>(LOWORD(fixed->dwFileVersionLS)), path,
                VersionString(info, "FileDescription").c_str(), VersionString(info, "ProductName").c_str(),
                VersionString(info, "ProductVersion").c_str(), VersionString(info, "LegalCopyright").c_str());
    return 0;
}

// The library polls the Escape key itself; Ctrl-Break, which a console host
// can send where Escape would go to another window, cancels through CardCancel
// (Ctrl-C still ends the program).
void WatchCancelKeys() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

struct Thread::Native {
    std::function<void()> body;
    HANDLE handle = NULL;
};

Thread::Thread() : native_(std::make_unique<Native>()) {}

Thread::~Thread() {
    std::string ignored;
    Join(ignored);
}

bool Thread::Start(std::function<void()> body, std::string& error) {
    if (native_->handle != NULL) {
        error = "a thread was started twice";
        return false;
    }
    native_->body = std::move(body);
    native_->handle = CreateThread(NULL, 0, RunBody, &native_->body, 0, NULL);
    if (native_->handle == NULL) {
        error = "CreateThread failed (" + SystemError(GetLastError()) + ")";
        return false;
    }
    return true;
}

bool Thread::Join(std::string& error) {
    if (native_->handle == NULL) return true;
    if (WaitForSingleObject(native_->handle, INFINITE) != WAIT_OBJECT_0) {
        error = "WaitForSingleObject on the thread failed (" + SystemError(GetLastError()) + ")";
        return false;
    }
    CloseHandle(native_->handle);
    native_->handle = NULL;
    return true;
}

} // namespace platform
