// <windows.h> for the library's Linux build (libQT741DLL.so): the same subset of
// Win32 that the stand-in declares, answered here by a real implementation over
// the Linux serial API (win32linux/*.cpp).
#ifndef QT741_WIN32LINUX_WINDOWS_H
#define QT741_WIN32LINUX_WINDOWS_H

#include "../../win32sim/include/windows.h"

#endif
