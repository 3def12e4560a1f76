// Port names as OpenPort takes them: the four characters kept in mComm::portName,
// and the longer names ("COM10", "\\.\COM10") that do not fit there.
#ifndef QT741_SERIAL_PORTNAME_H
#define QT741_SERIAL_PORTNAME_H

#include <windows.h>

#include "port.h"

struct PortName {
    char path[MCOMM_MAX_PORT_NAME + 1]; // what CreateFileA opens
    bool isLong;                        // longer than portName holds
};

// Works out what to open for OpenPort(name). Returns false, refusing the name,
// for NULL, for a name over MCOMM_MAX_PORT_NAME characters, and for a long name
// that was kept for this object but has since been replaced by another one.
// A name that aliases port.portName (the card functions re-open the port that
// way) stands for the name that OpenPort stored there.
bool ResolvePortName(const mComm& port, const char* name, PortName& out);

// Records the resolved name in port.portName: up to four characters as they
// are, a longer name as a tag that ResolvePortName understands.
void StorePortName(mComm& port, const PortName& name);

#endif
