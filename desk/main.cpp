// Card desk: a window for the people who write and check cards with the
// reader/writer. It lists the machine's serial ports and finds the one the
// encoder answers on, opens it through the library (QT741DLL.dll beside the
// program), checks the tracks typed against the library's limits, the usual
// character sets and the financial layout's fields, writes batches of cards
// from a CSV file, makes the library's calls on a worker thread and logs every
// call with its time, duration and result.
#include <windows.h>
#include <commctrl.h>

#include "window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES;
    InitCommonControlsEx(&controls);
    return desk::Run(instance, show);
}
