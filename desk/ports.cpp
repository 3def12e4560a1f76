// The serial ports: the registry's serial device map, where the serial drivers
// enter each port they serve, and the DOS device names, which also hold ports
// that only have a name (under Wine, the prefix's dosdevices links).
#include "ports.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "calls.h"

namespace desk {
namespace {

// The number of a name "COMn" (any case), or 0 for another name.
unsigned long PortNumber(const std::wstring& name) {
    if (name.size() < 4 || name.size() > 6 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) return 0;
    unsigned long number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::iswdigit(name[i])) return 0;
        number = number * 10 + static_cast<unsigned long>(name[i] - L'0');
    }
    return number;
}

void Add(std::vector<std::wstring>& ports, const std::wstring& name) {
    const unsigned long number = PortNumber(name);
    if (number != 0) ports.push_back(L"COM" + std::to_wstring(number));
}

void FromRegistry(std::vector<std::wstring>& ports, std::vector<std::wstring>& problems) {
    HKEY key = NULL;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return; // no serial driver has entered a port
    if (status != ERROR_SUCCESS) {
        problems.push_back(L"RegOpenKeyExW(SERIALCOMM) failed (" + SystemError(static_cast<DWORD>(status)) + L")");
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t data[64];
        DWORD nameLength = sizeof name / sizeof name[0];
        DWORD dataSize = sizeof data - sizeof data[0]; // room for a terminator the value may lack
        DWORD type = 0;
        status = RegEnumValueW(key, index, name, &nameLength, NULL, &type, reinterpret_cast<BYTE*>(data), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_MORE_DATA) continue; // not a port name
        if (status != ERROR_SUCCESS) {
            problems.push_back(L"RegEnumValueW(SERIALCOMM) failed (" + SystemError(static_cast<DWORD>(status)) + L")");
            break;
        }
        if (type != REG_SZ) continue;
        data[dataSize / sizeof data[0]] = L'\0';
        Add(ports, data);
    }
    RegCloseKey(key);
}

void FromDosDevices(std::vector<std::wstring>& ports, std::vector<std::wstring>& problems) {
    std::vector<wchar_t> names(16384);
    for (;;) {
        const DWORD length = QueryDosDeviceW(NULL, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0) {
            for (const wchar_t* name = names.data(); name < names.data() + length && *name != L'\0';
                 name += wcslen(name) + 1)
                Add(ports, name);
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || names.size() >= 1048576) {
            problems.push_back(L"QueryDosDeviceW failed (" + SystemError(error) + L")");
            return;
        }
        names.resize(names.size() * 4);
    }
}

} // namespace

std::vector<std::wstring> SerialPorts(std::vector<std::wstring>& problems) {
    std::vector<std::wstring> ports;
    FromRegistry(ports, problems);
    FromDosDevices(ports, problems);
    std::sort(ports.begin(), ports.end(),
              [](const std::wstring& a, const std::wstring& b) { return PortNumber(a) < PortNumber(b); });
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

} // namespace desk
