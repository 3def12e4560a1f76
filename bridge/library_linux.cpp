// Linux: the bridge links libQT741DLL.so; its version is in the file's name
// (libQT741DLL.so.X.Y.Z), which the soname the loader found points at.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstring>

#include "library.h"

namespace bridge {

bool load_library(library& lib, std::string& error) {
    lib.api = card_api{CreatmComm, DestroymComm, CardReset,  IsReadError, IsWriteError, WrTr1Card,
                       WrTr2Card,  WrTr12Card,   RadTr1Card, RadTr2Card,  RadTr12Card,  CardCancel};
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&CreatmComm), &info) == 0 || info.dli_fname == nullptr) {
        error = "dladdr found no library for CreatmComm";
        return false;
    }
    char path[PATH_MAX];
    if (realpath(info.dli_fname, path) == nullptr) {
        error = std::string("realpath(\"") + info.dli_fname + "\") failed (" + std::strerror(errno) + ")";
        return false;
    }
    lib.file = path;
    const char* marker = std::strstr(path, ".so.");
    lib.version = marker != nullptr ? marker + 4 : "unknown";
    return true;
}

} // namespace bridge
