// The desk's window.
#ifndef QT741_DESK_WINDOW_H
#define QT741_DESK_WINDOW_H

#include <windows.h>

namespace desk {

// Opens the window and runs its messages until it is closed; the process's exit code.
int Run(HINSTANCE instance, int show);

} // namespace desk

#endif
