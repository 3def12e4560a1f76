// The library the bridge serves: its functions, and the version and file it was
// loaded from, for GET /v1/info and the start-up line.
#ifndef CARDBRIDGE_LIBRARY_H
#define CARDBRIDGE_LIBRARY_H

#include <string>

#include "protocol.h"

namespace bridge {

struct library {
    card_api api{};
    std::string version; // e.g. "1.0.0"
    std::string file;    // where it was loaded from
};

// Linux: libQT741DLL.so, linked. Windows: QT741DLL.dll from the bridge's own
// folder, by its full path (never from the search path). False, with a message
// a user can act on, when it cannot be loaded.
bool load_library(library& lib, std::string& error);

#ifdef _WIN32
// A path or name from Windows (UTF-16) as the messages and the log write it (UTF-8).
std::string narrow(const std::wstring& text);
#endif

} // namespace bridge

#endif
