#include "port.h"

#include "portname.h"

// Hosts compile against this layout: it must not change.
static_assert(sizeof(mComm) == (sizeof(void*) == 4 ? 56 : 96), "mComm's layout changed");

namespace {

// The device talks at 9600 baud, 8 data bits, no parity, one stop bit.
const DWORD kBaudRate = CBR_9600;
const DWORD kQueueSize = 102400;

// Read time-outs: MCOMM_READ_* in mComm.h.
const DWORD kWriteTotalMultiplier = 2;
const DWORD kWriteTotalConstant = 0;

// An operation is still pending on the record: the system owns it until the
// operation ends, and nothing of it may change (an abort that did not take
// leaves the library's read or write so, see serial/exchange.cpp).
bool Owned(const OVERLAPPED& record) { return !HasOverlappedIoCompleted(&record); }

// Gives an overlapped record a fresh event: unnamed, manual-reset, not signalled.
// An event from an earlier opening that is still held is closed first. A record
// an operation still owns keeps its event.
bool RenewEvent(OVERLAPPED& record) {
    if (Owned(record)) return true;
    record.Offset = 0;
    record.OffsetHigh = 0;
    if (record.hEvent != NULL) CloseHandle(record.hEvent);
    record.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    return record.hEvent != NULL;
}

void ReleaseEvent(OVERLAPPED& record) {
    if (Owned(record)) return;
    if (record.hEvent != NULL) CloseHandle(record.hEvent);
    record.hEvent = NULL;
}

// A configuration step's failure: the system error code, made distinct from the
// success value 1 and from 0 (an event could not be created) where it is either.
int ConfigError() {
    const DWORD code = GetLastError();
    return static_cast<int>(code <= 1 ? (MCOMM_CONFIG_ERROR_FLAG | code) : code);
}

// The port could not be opened: the system error code negated, always below 0.
int OpenError() {
    const DWORD code = GetLastError();
    return code == 0 || code > 0x7FFFFFFFu ? -static_cast<int>(ERROR_GEN_FAILURE) : -static_cast<int>(code);
}

} // namespace

// The records start zeroed: OpenPort closes an event it finds in them, and an
// object on the stack or the heap would otherwise hand it garbage.
mComm::mComm() : opened(false), portHandle(NULL) {
    ZeroMemory(&readOverlapped, sizeof readOverlapped);
    ZeroMemory(&writeOverlapped, sizeof writeOverlapped);
    portName[0] = 'C';
    portName[1] = 'O';
    portName[2] = 'M';
    portName[3] = '1';
}

mComm::mComm(const mComm& other)
    : opened(other.opened), readOverlapped(other.readOverlapped), writeOverlapped(other.writeOverlapped),
      portHandle(other.portHandle) {
    for (int i = 0; i < 4; ++i)
        portName[i] = other.portName[i];
}

mComm& mComm::operator=(const mComm& other) {
    if (this == &other) return *this;
    opened = other.opened;
    readOverlapped = other.readOverlapped;
    writeOverlapped = other.writeOverlapped;
    for (int i = 0; i < 4; ++i)
        portName[i] = other.portName[i];
    portHandle = other.portHandle;
    return *this;
}

// Releases nothing: copies share the port and its events, and the port stays
// open until ClosePort or the end of the process.
mComm::~mComm() {}

int mComm::OpenPort(char* name) {
    PortName resolved;
    if (!ResolvePortName(*this, name, resolved)) return -ERROR_INVALID_NAME;

    if (!RenewEvent(readOverlapped)) return 0;
    if (!RenewEvent(writeOverlapped)) return 0;

    if (opened) {
        CloseHandle(portHandle);
        portHandle = NULL;
    }

    StorePortName(*this, resolved);
    portHandle = CreateFileA(resolved.path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (portHandle == INVALID_HANDLE_VALUE) return OpenError();
    opened = true;

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(portHandle, &dcb)) return ConfigError();

    SetCommMask(portHandle, EV_RXCHAR);

    dcb.BaudRate = kBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // The device's frames are binary: 0x00, 0x11 and 0x13 are data, never
    // flow control or padding, whatever another program left configured.
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    if (!SetCommState(portHandle, &dcb)) return ConfigError();

    if (!SetupComm(portHandle, kQueueSize, kQueueSize)) return ConfigError();

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MCOMM_READ_INTERVAL_TIMEOUT;
    timeouts.ReadTotalTimeoutMultiplier = MCOMM_READ_TOTAL_MULTIPLIER;
    timeouts.ReadTotalTimeoutConstant = MCOMM_READ_TOTAL_CONSTANT;
    timeouts.WriteTotalTimeoutMultiplier = kWriteTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalConstant;
    if (!SetCommTimeouts(portHandle, &timeouts)) return ConfigError();

    return 1;
}

int mComm::ClosePort() {
    if (!opened) return 1;

    SetCommMask(portHandle, 0);
    EscapeCommFunction(portHandle, CLRDTR);

    // Both events are gone whatever happens to the port handle. An event is
    // missing when the last OpenPort could not create it; a record an
    // operation still owns keeps its event until the close has ended that
    // operation (or a later opening renews the record).
    ReleaseEvent(readOverlapped);
    ReleaseEvent(writeOverlapped);

    // On failure the handle and the flag stay as they were; the system error
    // code is left for GetLastError.
    if (!CloseHandle(portHandle)) return 0;
    ReleaseEvent(readOverlapped);
    ReleaseEvent(writeOverlapped);
    portHandle = NULL;
    opened = false;
    return 1;
}
