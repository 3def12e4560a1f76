// mComm.h: the serial port object the library exports, for C++ hosts. The
// library keeps one instance of it for the card functions of QT741DLL.h; a host
// may create its own: they are the host's, and the card functions never use
// them. Build a host with the compiler of the DLL's ABI (see the README).
//
// The layout and the members are the interface: hosts compile against them.
#ifndef QT741_MCOMM_H
#define QT741_MCOMM_H

#include <windows.h>

#include "qt741_export.h"

// Longest port name OpenPort accepts (without the terminator), e.g. "\\.\COM255".
#define MCOMM_MAX_PORT_NAME 63

// Added to a configuration step's system error code when that code is 1 (or 0),
// so that a caller checking OpenPort's result for 1 never mistakes the failure
// for success (or for a missing event).
// Bit 29 marks application-defined codes in Win32; mask it off to recover the code.
#define MCOMM_CONFIG_ERROR_FLAG 0x20000000

// One COM port opened for overlapped I/O, with the two overlapped records
// through which every read and every write on it goes.
//
// The library's one-call-at-a-time guard covers the card functions only. A
// host's calls of these methods are not guarded: make them one at a time, and
// never on the port the card functions use while a card call is under way (the
// port is opened without sharing: the object that opens it takes it from the
// other).
class QT741_API mComm {
public:
    mComm();
    mComm(const mComm& other);
    mComm& operator=(const mComm& other);
    virtual ~mComm();

    // Opens (or re-opens) the port by name and configures 9600 baud, 8N1.
    // name is a NUL-terminated string, or this object's own portName (which
    // need not be terminated): the port is then re-opened under the name kept.
    // 1: open. 0: an event could not be created. -code: the port could not be
    // opened (-ERROR_INVALID_NAME also for a NULL or over-long name, nothing
    // changed). code: the port is open, but reading or setting its configuration,
    // queue sizes or time-outs failed with that system error code (a code of 1
    // comes back as MCOMM_CONFIG_ERROR_FLAG | 1).
    int OpenPort(char* name);

    // 1: the port is closed (or was not open). 0: closing the handle failed.
    int ClosePort();

    // Fields, in this order; the card functions use them directly.
    bool opened;
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    // The name of the last OpenPort. A name longer than four characters is kept
    // outside the object; these four bytes then hold its tag.
    char portName[4];
    HANDLE portHandle;
};

#endif
