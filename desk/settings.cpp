// The window's settings in the registry: one value each, so that they can be
// read and changed with the system's registry tools.
#include "settings.h"

#include "calls.h"

namespace desk {
namespace {

const wchar_t kKey[] = L"Software\\QT741\\Card desk";

// The window's place as saved: its normal rectangle and whether it was maximized.
struct Place {
    LONG left, top, right, bottom;
    DWORD maximized;
};

bool Read(HKEY key, const wchar_t* name, DWORD type, void* data, DWORD size) {
    DWORD got = size;
    DWORD kind = 0;
    return RegQueryValueExW(key, name, NULL, &kind, static_cast<BYTE*>(data), &got) == ERROR_SUCCESS && kind == type &&
           got == size;
}

DWORD ReadNumber(HKEY key, const wchar_t* name, DWORD fallback, DWORD most) {
    DWORD value = 0;
    return Read(key, name, REG_DWORD, &value, sizeof value) && value <= most ? value : fallback;
}

} // namespace

Settings LoadSettings() {
    Settings settings;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return settings;
    wchar_t port[64] = L"";
    DWORD size = sizeof port - sizeof port[0]; // room for a terminator the value may lack
    DWORD kind = 0;
    if (RegQueryValueExW(key, L"Port", NULL, &kind, reinterpret_cast<BYTE*>(port), &size) == ERROR_SUCCESS &&
        kind == REG_SZ) {
        port[size / sizeof port[0]] = L'\0';
        settings.port = port;
    }
    settings.readTracks = ReadNumber(key, L"Read tracks", settings.readTracks, 2);
    settings.fill = ReadNumber(key, L"Fill", settings.fill ? 1 : 0, 1) == 1;
    settings.verify = ReadNumber(key, L"Verify", settings.verify ? 1 : 0, 1) == 1;
    Place place{};
    if (Read(key, L"Window", REG_BINARY, &place, sizeof place) && place.right > place.left &&
        place.bottom > place.top) {
        settings.placed = true;
        settings.place = {place.left, place.top, place.right, place.bottom};
        settings.maximized = place.maximized != 0;
    }
    RegCloseKey(key);
    return settings;
}

bool SaveSettings(const Settings& settings, std::wstring& problem) {
    HKEY key = NULL;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        problem = L"RegCreateKeyExW failed (" + SystemError(static_cast<DWORD>(status)) + L")";
        return false;
    }
    const DWORD fill = settings.fill ? 1 : 0;
    const DWORD verify = settings.verify ? 1 : 0;
    const Place place = {settings.place.left, settings.place.top, settings.place.right, settings.place.bottom,
                         settings.maximized ? 1UL : 0UL};
    const DWORD portSize = static_cast<DWORD>((settings.port.size() + 1) * sizeof(wchar_t));
    struct Value {
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD size;
    };
    const Value values[] = {
        {L"Port", REG_SZ, settings.port.c_str(), portSize},
        {L"Read tracks", REG_DWORD, &settings.readTracks, sizeof settings.readTracks},
        {L"Fill", REG_DWORD, &fill, sizeof fill},
        {L"Verify", REG_DWORD, &verify, sizeof verify},
        {L"Window", REG_BINARY, &place, sizeof place},
    };
    for (const Value& value : values) {
        if (value.type == REG_BINARY && !settings.placed) continue;
        status = RegSetValueExW(key, value.name, 0, value.type, static_cast<const BYTE*>(value.data), value.size);
        if (status != ERROR_SUCCESS) {
            problem = std::wstring(L"RegSetValueExW(") + value.name + L") failed (" +
                      SystemError(static_cast<DWORD>(status)) + L")";
            break;
        }
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

} // namespace desk
