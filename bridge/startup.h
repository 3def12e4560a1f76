// Windows: starting the bridge at the user's logon (the HKCU Run key).
#ifndef CARDBRIDGE_STARTUP_H
#define CARDBRIDGE_STARTUP_H

#include <string>

namespace bridge {

#ifdef _WIN32
// --install: the Run key's value "cardbridge" starts this program with the
// command line's other flags (the token file by its full path) and
// --no-console; --uninstall removes the value. The exit status.
int run_at_logon(bool install, std::string& error);
// --no-console: gives up the console window the logon start would show.
void leave_console();
#else
inline int run_at_logon(bool, std::string&) { return 2; } // refused by parse_options
inline void leave_console() {}
#endif

} // namespace bridge

#endif
