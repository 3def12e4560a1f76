#include "portname.h"

namespace {

// The one long name in use. portName then holds { 0, generation (3 bytes) }: a
// real name never starts with a NUL, and an object whose long name has been
// replaced by a newer one finds its generation gone and is refused rather than
// re-opening some other port.
struct LongName {
    DWORD generation;
    char text[MCOMM_MAX_PORT_NAME + 1];
};
LongName s_longName;

const DWORD kGenerationMask = 0xFFFFFF;

DWORD TagGeneration(const char* tag) {
    return static_cast<DWORD>(static_cast<unsigned char>(tag[1])) |
           static_cast<DWORD>(static_cast<unsigned char>(tag[2])) << 8 |
           static_cast<DWORD>(static_cast<unsigned char>(tag[3])) << 16;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// "COM" followed by digits only: a name the system opens only as "\\.\COMn"
// once it no longer fits four characters.
bool IsPlainComName(const char* name, int length) {
    if (length < 4 || Upper(name[0]) != 'C' || Upper(name[1]) != 'O' || Upper(name[2]) != 'M') return false;
    for (int i = 3; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

} // namespace

bool ResolvePortName(const mComm& port, const char* name, PortName& out) {
    if (name == NULL) return false;

    if (name == port.portName) {
        if (port.portName[0] == '\0') {
            const DWORD generation = TagGeneration(port.portName);
            if (generation == 0 || generation != s_longName.generation) return false;
            out.isLong = true;
            lstrcpyA(out.path, s_longName.text);
            return true;
        }
        // Four characters, not necessarily terminated.
        int i = 0;
        for (; i < 4 && port.portName[i] != '\0'; ++i)
            out.path[i] = port.portName[i];
        out.path[i] = '\0';
        out.isLong = false;
        return true;
    }

    int length = 0;
    while (name[length] != '\0') {
        if (++length > MCOMM_MAX_PORT_NAME) return false;
    }
    out.isLong = length > 4;
    const char* const kDevicePrefix = "\\\\.\\";
    if (out.isLong && IsPlainComName(name, length)) {
        if (length + lstrlenA(kDevicePrefix) > MCOMM_MAX_PORT_NAME) return false;
        lstrcpyA(out.path, kDevicePrefix);
        lstrcatA(out.path, name);
    } else {
        lstrcpyA(out.path, name);
    }
    return true;
}

void StorePortName(mComm& port, const PortName& name) {
    if (!name.isLong) {
        bool ended = false;
        for (int i = 0; i < 4; ++i) {
            ended = ended || name.path[i] == '\0';
            port.portName[i] = ended ? '\0' : name.path[i];
        }
        return;
    }
    // The same long name again keeps its generation, so copies of the object
    // that carry the tag stay valid.
    if (s_longName.generation == 0 || lstrcmpA(s_longName.text, name.path) != 0) {
        s_longName.generation = (s_longName.generation + 1) & kGenerationMask;
        if (s_longName.generation == 0) s_longName.generation = 1;
        lstrcpyA(s_longName.text, name.path);
    }
    port.portName[0] = '\0';
    port.portName[1] = static_cast<char>(s_longName.generation & 0xFF);
    port.portName[2] = static_cast<char>((s_longName.generation >> 8) & 0xFF);
    port.portName[3] = static_cast<char>((s_longName.generation >> 16) & 0xFF);
}
