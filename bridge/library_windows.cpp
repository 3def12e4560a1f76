// Windows: QT741DLL.dll from the bridge's own folder, by its full path, so that
// no other folder on the search path can supply it; its version from the DLL's
// version resource.
#include <windows.h>

#include <vector>

#include "library.h"

namespace bridge {

namespace {

std::string system_error(DWORD code) { return "system error " + std::to_string(code); }

// The file version of the version resource, "1.0.0.0"; "" when it has none.
std::string file_version(const std::wstring& path) {
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &unused);
    if (size == 0) return "";
    std::vector<char> info(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return "";
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) return "";
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

template <typename Function> bool find(HMODULE dll, const char* name, Function& function, std::string& error) {
    const FARPROC address = GetProcAddress(dll, name);
    if (address == nullptr) {
        error = std::string("QT741DLL.dll exports no ") + name + " (" + system_error(GetLastError()) +
                "): it is not the card library, or too old";
        return false;
    }
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
    return true;
}

} // namespace

std::string narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return "";
    std::string out(static_cast<std::size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    return out;
}

bool load_library(library& lib, std::string& error) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            error = "GetModuleFileNameW failed (" + system_error(GetLastError()) + ")";
            return false;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    path.resize(path.find_last_of(L"\\/") + 1);
    path += L"QT741DLL.dll";
    const HMODULE dll = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (dll == nullptr) {
        error = "LoadLibrary(\"" + narrow(path) + "\") failed (" + system_error(GetLastError()) +
                "): put the QT741DLL.dll of cardbridge.exe's width beside it";
        return false;
    }
    card_api& api = lib.api;
    if (!find(dll, "CreatmComm", api.CreatmComm, error) || !find(dll, "DestroymComm", api.DestroymComm, error) ||
        !find(dll, "CardReset", api.CardReset, error) || !find(dll, "IsReadError", api.IsReadError, error) ||
        !find(dll, "IsWriteError", api.IsWriteError, error) || !find(dll, "WrTr1Card", api.WrTr1Card, error) ||
        !find(dll, "WrTr2Card", api.WrTr2Card, error) || !find(dll, "WrTr12Card", api.WrTr12Card, error) ||
        !find(dll, "RadTr1Card", api.RadTr1Card, error) || !find(dll, "RadTr2Card", api.RadTr2Card, error) ||
        !find(dll, "RadTr12Card", api.RadTr12Card, error) || !find(dll, "CardCancel", api.CardCancel, error))
        return false;
    lib.file = narrow(path);
    lib.version = file_version(path);
    if (lib.version.empty()) lib.version = "unknown";
    return true;
}

} // namespace bridge
