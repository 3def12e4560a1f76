// What the Linux layer's files share: the Win32 code for a Linux error.
#ifndef QT741_WIN32LINUX_SYSTEM_H
#define QT741_WIN32LINUX_SYSTEM_H

#include <windows.h>

#define ERROR_TOO_MANY_OPEN_FILES 4

// The Win32 error code closest to errno `error`: a missing file or a port
// without hardware is ERROR_FILE_NOT_FOUND, a port in use ERROR_ACCESS_DENIED,
// what is no terminal ERROR_INVALID_FUNCTION (as GetCommState on a file), an
// unknown one ERROR_GEN_FAILURE.
DWORD Win32Error(int error);

#endif
