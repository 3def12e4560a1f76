// Card desk: a window for the people who write and check cards with the
// reader/writer. It lists the machine's serial ports, opens one through the
// library (QT741DLL.dll beside the program), checks the tracks typed against
// the library's limits and the usual character sets, makes the library's calls
// on a worker thread and logs every call with its time, duration and result.
#include <windows.h>
#include <commctrl.h>

#include "window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
    return desk::Run(instance, show);
}
