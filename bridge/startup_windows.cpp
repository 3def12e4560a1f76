// Windows: the Run key of the current user starts the bridge at logon.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>

#include "library.h"
#include "startup.h"

namespace bridge {

namespace {

const wchar_t* const run_key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t* const value_name = L"cardbridge";

// One argument as CommandLineToArgvW reads it back.
std::wstring quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    for (auto it = arg.begin();; ++it) {
        std::size_t backslashes = 0;
        for (; it != arg.end() && *it == L'\\'; ++it)
            ++backslashes;
        if (it == arg.end()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        out.append(*it == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out.push_back(*it);
    }
    out.push_back(L'"');
    return out;
}

std::wstring full_path(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
    return length == 0 || length >= MAX_PATH ? path : std::wstring(buffer, length);
}

// This program and its flags, less --install, as the Run key's command.
bool logon_command(std::wstring& command, std::string& error) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr) {
        error = "CommandLineToArgvW failed (system error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        LocalFree(args);
        error = "GetModuleFileNameW failed (system error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    command = quote(std::wstring(self, length));
    for (int i = 1; i < count; ++i) {
        const std::wstring arg = args[i];
        if (arg == L"--install" || arg == L"--no-console") continue;
        const bool token = i > 1 && std::wstring(args[i - 1]) == L"--token-file";
        command += L" " + quote(token ? full_path(arg) : arg);
    }
    command += L" --no-console";
    LocalFree(args);
    return true;
}

} // namespace

int run_at_logon(bool install, std::string& error) {
    HKEY key = nullptr;
    LONG failed = RegCreateKeyExW(HKEY_CURRENT_USER, run_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (failed != ERROR_SUCCESS) {
        (void)std::fprintf(stderr, "cardbridge: RegCreateKeyExW(HKCU\\%s) failed (system error %ld)\n",
                           narrow(run_key).c_str(), failed);
        return 1;
    }
    if (install) {
        std::wstring command;
        if (!logon_command(command, error)) {
            RegCloseKey(key);
            (void)std::fprintf(stderr, "cardbridge: %s\n", error.c_str());
            return 1;
        }
        failed = RegSetValueExW(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        if (failed != ERROR_SUCCESS) {
            (void)std::fprintf(stderr, "cardbridge: RegSetValueExW failed (system error %ld)\n", failed);
            return 1;
        }
        (void)std::printf("cardbridge starts at logon (HKCU\\%s, \"cardbridge\"): %s\n", narrow(run_key).c_str(),
                          narrow(command).c_str());
        return 0;
    }
    failed = RegDeleteValueW(key, value_name);
    RegCloseKey(key);
    if (failed == ERROR_FILE_NOT_FOUND) {
        (void)std::printf("cardbridge was not set to start at logon\n");
        return 0;
    }
    if (failed != ERROR_SUCCESS) {
        (void)std::fprintf(stderr, "cardbridge: RegDeleteValueW failed (system error %ld)\n", failed);
        return 1;
    }
    (void)std::printf("cardbridge no longer starts at logon\n");
    return 0;
}

void leave_console() { FreeConsole(); }

} // namespace bridge
