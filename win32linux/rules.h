// Where a COM name points on Linux.
#ifndef QT741_WIN32LINUX_RULES_H
#define QT741_WIN32LINUX_RULES_H

#include <windows.h>

#include <cstddef>

// The file a CreateFileA name opens: "COM1".."COM256" and "\\.\COM1".. (any
// case) are /dev/ttyS0../dev/ttyS255; any other name is a path as it stands.
// `path` holds `size` bytes; false when the result does not fit.
bool DevicePath(const char* name, char* path, size_t size);

#endif
