// What the window remembers between sessions, under
// HKEY_CURRENT_USER\Software\QT741\Card desk.
#ifndef QT741_DESK_SETTINGS_H
#define QT741_DESK_SETTINGS_H

#include <windows.h>

#include <string>

namespace desk {

struct Settings {
    std::wstring port;    // the port last opened
    DWORD readTracks = 0; // the read choice: 0 both, 1 track 1, 2 track 2
    bool fill = true;
    bool verify = false;
    bool placed = false; // `place` and `maximized` hold the window's place
    RECT place{};        // its normal position, in workspace coordinates
    bool maximized = false;
};

// What was saved; the defaults for anything missing or out of range.
Settings LoadSettings();

// Saves them; false with the call that failed and its error in `problem`,
// e.g. "RegCreateKeyExW failed (system error 5: access denied)".
bool SaveSettings(const Settings& settings, std::wstring& problem);

} // namespace desk

#endif
