// The Win32 serial and file calls the library makes, over the Linux serial API
// (termios on a non-blocking descriptor).
//
// Overlapped I/O without threads: ReadFile and WriteFile do what can be done at
// once; a read or write that cannot finish yet stays pending in its port's
// record, and every GetOverlappedResult on it moves it on: it takes the bytes
// that have arrived (or puts out what the line accepts) and applies the port's
// time-outs. The library awaits a pending write in WaitForSingleObject on its
// event, or by queries, and polls a pending read every 2 ms, sleeping in Sleep
// between its queries, which moves the pending reads on meanwhile; so this is
// all the waiting there is, on the caller's thread as on Windows; a thread per
// operation would add locking and an owner for the buffer after a cancel, and
// gain nothing. A waiting query, a wait or Sleep sleeps in poll() until the
// next byte or time-out.
//
// termios directly rather than libserialport: the layer needs exactly the raw
// 8N1 set-up, the flushes, the DTR line and the queue counts, a few calls each;
// the time-outs with their Windows meaning are ours to apply either way.
//
// A handle is a descriptor plus one (never NULL nor INVALID_HANDLE_VALUE).
// OVERLAPPED.Internal holds the operation's state: STATUS_PENDING while it
// runs, then 0 or the Win32 error it ended with; InternalHigh its byte count.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "rules.h"
#include "system.h"
#include "timeouts.h"

namespace {

// A read or a write in progress.
struct Operation {
    OVERLAPPED* record; // NULL when none runs
    char* buffer;
    DWORD length;
    DWORD done;
    DWORD started;  // GetTickCount at the start
    DWORD lastByte; // when bytes last arrived (reads)
};

struct Port {
    int fd; // -1: the slot is free
    COMMTIMEOUTS timeouts;
    DWORD mask;
    Operation read;
    Operation write;
};

// The ports open at once; the library holds one, a host of the class a few.
const int kMaxPorts = 16;
Port s_ports[kMaxPorts];
bool s_portsReady = false;

int Descriptor(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)) - 1; }
HANDLE Handle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1); }

Port* FindPort(HANDLE handle) {
    const int fd = Descriptor(handle);
    if (!s_portsReady || fd < 0) return NULL;
    Port* const end = s_ports + kMaxPorts;
    Port* const found = std::find_if(s_ports, end, [fd](const Port& port) { return port.fd == fd; });
    return found != end ? found : NULL;
}

// The port of a handle, or NULL with ERROR_INVALID_HANDLE.
Port* PortOf(HANDLE handle) {
    Port* port = FindPort(handle);
    if (port == NULL) SetLastError(ERROR_INVALID_HANDLE);
    return port;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

BOOL FailErrno() { return Fail(Win32Error(errno)); }

// Signals the record's event, as the system does when an operation ends.
void SetEvent(HANDLE event) {
    if (event == NULL) return;
    const uint64_t one = 1;
    ssize_t ignored = write(Descriptor(event), &one, sizeof one);
    (void)ignored;
}

void ResetEvent(HANDLE event) {
    if (event == NULL) return;
    uint64_t count = 0;
    ssize_t ignored = read(Descriptor(event), &count, sizeof count);
    (void)ignored;
}

void Finish(Operation& op, DWORD error) {
    if (op.record == NULL) return;
    op.record->Internal = error;
    op.record->InternalHigh = op.done;
    SetEvent(op.record->hEvent);
    op.record = NULL;
}

// Takes what has arrived, until the line is empty or the read has all it asked
// for; false when the line failed (hung up) before the read got anything, with
// the error in `error`.
bool TakeInput(Port& port, DWORD& error) {
    Operation& op = port.read;
    while (op.done < op.length) {
        const ssize_t got = read(port.fd, op.buffer + op.done, op.length - op.done);
        if (got > 0) {
            op.done += static_cast<DWORD>(got);
            op.lastByte = GetTickCount();
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;
        if (got == 0) {
            // Nothing to read: a live line has nothing yet, a hung-up one ended.
            struct pollfd p = {port.fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLHUP | POLLERR)) == 0) return true;
            errno = EIO;
        }
        // The device went away (a hung-up line, an adapter pulled out).
        error = Win32Error(errno);
        return false;
    }
    return true;
}

// Milliseconds left until the pending read's time-outs end it, as they stand now.
DWORD ReadTimeLeftNow(const Port& port) {
    const Operation& op = port.read;
    const DWORD now = GetTickCount();
    const ReadProgress progress = {op.length, op.done, now - op.started, now - op.lastByte};
    return ReadTimeLeft(port.timeouts, progress);
}

// The part of `limit` (kNoTimeLimit: no limit) left `spent` ms on, and no more than `left`.
DWORD WaitFor(DWORD limit, DWORD spent, DWORD left) {
    const DWORD rest = limit == kNoTimeLimit ? kNoTimeLimit : spent < limit ? limit - spent : 0;
    return std::min(rest, left);
}

int PollTimeout(DWORD wait) { return wait == kNoTimeLimit || wait > INT_MAX ? -1 : static_cast<int>(wait); }

// Moves the pending read on, waiting for it at most `limit` ms (0: not at all,
// kNoTimeLimit: until it ends). What is queued is taken first, and all of it
// is the read's: the layer cannot tell when bytes that queued while it was not
// called arrived (a driver would have), and a read that follows a purge loses
// nothing by a late byte kept, but a whole card by a byte dropped. So only once
// the layer has seen the line empty does it judge the read's time-outs: a gap
// ends the read when the line was seen empty for all of it, and bytes that
// arrive after that gap are the next read's.
void AdvanceRead(Port& port, DWORD limit) {
    Operation& op = port.read;
    const DWORD since = GetTickCount();
    for (;;) {
        DWORD error = 0;
        if (!TakeInput(port, error)) {
            // Bytes that came before the line dropped are the read's result.
            Finish(op, op.done > 0 ? 0 : error);
            return;
        }
        const DWORD left = ReadTimeLeftNow(port);
        if (op.done == op.length || left == 0) {
            Finish(op, 0); // a time-out ends a read successfully, with what it has
            return;
        }
        const DWORD wait = WaitFor(limit, GetTickCount() - since, left);
        if (wait == 0) return;
        struct pollfd p = {port.fd, POLLIN, 0};
        poll(&p, 1, PollTimeout(wait));
    }
}

// Moves the pending write on, waiting for it at most `limit` ms (as for reads).
void AdvanceWrite(Port& port, DWORD limit) {
    Operation& op = port.write;
    const DWORD since = GetTickCount();
    for (;;) {
        while (op.done < op.length) {
            const ssize_t put = write(port.fd, op.buffer + op.done, op.length - op.done);
            if (put <= 0) {
                if (put == 0) errno = EAGAIN; // nothing taken: try again when the line has room
                if (errno == EINTR) continue;
                break;
            }
            op.done += static_cast<DWORD>(put);
        }
        if (op.done == op.length) {
            Finish(op, 0);
            return;
        }
        if (errno != EAGAIN) {
            Finish(op, Win32Error(errno));
            return;
        }
        const DWORD left = WriteTimeLeft(port.timeouts, op.length, GetTickCount() - op.started);
        if (left == 0) {
            Finish(op, 0); // as on Windows: a write that timed out completes with fewer bytes
            return;
        }
        const DWORD wait = WaitFor(limit, GetTickCount() - since, left);
        if (wait == 0) return;
        struct pollfd p = {port.fd, POLLOUT, 0};
        poll(&p, 1, PollTimeout(wait));
    }
}

void Advance(Port& port, const OVERLAPPED* record, DWORD limit) {
    if (port.read.record == record) AdvanceRead(port, limit);
    if (port.write.record == record) AdvanceWrite(port, limit);
}

// Starts an operation on `op` and, when it ends at once, reports as Windows does.
BOOL Start(Port& port, Operation& op, char* buffer, DWORD length, LPDWORD count, OVERLAPPED* record) {
    if (op.record != NULL) return Fail(ERROR_INVALID_PARAMETER); // one at a time on a record's port
    OVERLAPPED local;
    std::memset(&local, 0, sizeof local);
    OVERLAPPED* const used = record != NULL ? record : &local;
    used->Internal = STATUS_PENDING;
    used->InternalHigh = 0;
    ResetEvent(used->hEvent);
    op = {used, buffer, length, 0, GetTickCount(), GetTickCount()};
    // Without a record the call blocks until the operation ends.
    Advance(port, used, record == NULL ? kNoTimeLimit : 0);
    if (count != NULL) *count = static_cast<DWORD>(used->InternalHigh);
    if (used->Internal == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
    if (used->Internal != 0) return Fail(static_cast<DWORD>(used->Internal));
    return TRUE;
}

void Abort(Port& port) {
    Finish(port.read, ERROR_OPERATION_ABORTED);
    Finish(port.write, ERROR_OPERATION_ABORTED);
}

struct LineSpeed {
    DWORD baud;
    speed_t speed;
};
const LineSpeed kSpeeds[] = {{110, B110},       {300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},
                             {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
                             {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
const LineSpeed* const kSpeedsEnd = kSpeeds + sizeof kSpeeds / sizeof kSpeeds[0];

// B0 for a rate the table does not have.
speed_t Speed(DWORD baud) {
    const LineSpeed* found = std::find_if(kSpeeds, kSpeedsEnd, [baud](const LineSpeed& e) { return e.baud == baud; });
    return found != kSpeedsEnd ? found->speed : B0;
}

DWORD Baud(speed_t speed) {
    const LineSpeed* found =
        std::find_if(kSpeeds, kSpeedsEnd, [speed](const LineSpeed& e) { return e.speed == speed; });
    return found != kSpeedsEnd ? found->baud : 0;
}

// Output still held by the driver when a port is closed gets the time its bytes
// need on the line and this much more (a frame just written, such as a reset,
// still leaves); what is held after that is discarded. close() would otherwise
// wait for output that cannot leave (a line held by XOFF or CTS) for as long as
// the driver's closing wait, 30 s on a UART, where Windows never waits.
const DWORD kCloseSlack = 100;

void LetOutputLeave(const Port& port) {
    int held = 0;
    if (ioctl(port.fd, TIOCOUTQ, &held) != 0 || held <= 0) return;
    termios tio;
    const DWORD baud = tcgetattr(port.fd, &tio) == 0 ? Baud(cfgetospeed(&tio)) : 0;
    const DWORD bitsPerByte = 10; // 8N1
    const DWORD need = static_cast<DWORD>(held) * bitsPerByte * 1000 / (baud != 0 ? baud : CBR_9600) + kCloseSlack;
    const DWORD started = GetTickCount();
    while (held > 0 && GetTickCount() - started < need) {
        poll(NULL, 0, 1);
        if (ioctl(port.fd, TIOCOUTQ, &held) != 0) break;
    }
    if (held > 0) tcflush(port.fd, TCOFLUSH);
}

const DWORD kDtrControlEnable = 1;
const DWORD kRtsControlEnable = 1;
const DWORD kRtsControlHandshake = 2;

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
    (void)security;
    (void)flags; // every port is non-blocking; without a record a call blocks by itself
    (void)templateFile;
    if (!s_portsReady) {
        for (Port& port : s_ports)
            port.fd = -1;
        s_portsReady = true;
    }
    char path[PATH_MAX];
    if (name == NULL || disposition != OPEN_EXISTING || !DevicePath(name, path, sizeof path)) {
        SetLastError(name == NULL || disposition == OPEN_EXISTING ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Port* const slot = std::find_if(s_ports, s_ports + kMaxPorts, [](const Port& port) { return port.fd < 0; });
    if (slot == s_ports + kMaxPorts) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    const bool reads = (access & GENERIC_READ) != 0, writes = (access & GENERIC_WRITE) != 0;
    const int mode = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    const int fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A device that is listed but answers nothing (an adapter being pulled
        // out) is as missing as one that is not there.
        SetLastError(errno == EIO ? ERROR_FILE_NOT_FOUND : Win32Error(errno));
        return INVALID_HANDLE_VALUE;
    }
    // No sharing: a port is one program's, as on Windows. The lock keeps out
    // every other opener that asks for it (root included); TIOCEXCL the rest.
    if (share == 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            SetLastError(error == EWOULDBLOCK ? ERROR_ACCESS_DENIED : Win32Error(error));
            return INVALID_HANDLE_VALUE;
        }
        ioctl(fd, TIOCEXCL); // fails harmlessly on what is no terminal
    }
    std::memset(slot, 0, sizeof *slot);
    slot->fd = fd;
    return Handle(fd);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    // The invalid-handle value is the process's own pseudo-handle on Windows:
    // closing it does nothing and succeeds. The library closes it when a port
    // whose re-open failed is closed.
    if (handle == INVALID_HANDLE_VALUE) return TRUE;
    Port* port = FindPort(handle);
    if (port != NULL) {
        // Closing ends every operation pending on the handle.
        Abort(*port);
        LetOutputLeave(*port);
        ioctl(port->fd, TIOCNXCL);
        port->fd = -1;
    }
    // close() frees the descriptor whatever else it reports (an interrupted
    // close, an I/O error): only one that was not open stays a failure.
    const int fd = Descriptor(handle);
    if (fd < 0 || (close(fd) != 0 && errno == EBADF)) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name) {
    (void)security;
    (void)manualReset; // the library's events are all manual-reset; an eventfd stays set until read
    if (name != NULL) {
        SetLastError(ERROR_INVALID_PARAMETER); // no named events
        return NULL;
    }
    const int fd = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(Win32Error(errno));
        return NULL;
    }
    return Handle(fd);
}

BOOL WINAPI GetCommState(HANDLE port, LPDCB dcb) {
    Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    termios tio;
    if (tcgetattr(state->fd, &tio) != 0) return FailErrno();
    const DWORD length = dcb->DCBlength;
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = length;
    dcb->BaudRate = Baud(cfgetospeed(&tio));
    dcb->fBinary = 1;
    dcb->fParity = (tio.c_cflag & PARENB) != 0;
    dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    dcb->fDtrControl = kDtrControlEnable;
    dcb->fOutX = (tio.c_iflag & IXON) != 0;
    dcb->fInX = (tio.c_iflag & IXOFF) != 0;
    dcb->fRtsControl = (tio.c_cflag & CRTSCTS) != 0 ? kRtsControlHandshake : kRtsControlEnable;
    const tcflag_t size = tio.c_cflag & CSIZE;
    dcb->ByteSize = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    dcb->Parity = (tio.c_cflag & PARENB) == 0 ? NOPARITY : (tio.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (tio.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return TRUE;
}

// Raw bytes at the DCB's speed and framing; reads never wait in the driver
// (VMIN 0, VTIME 0): the time-outs are applied above it.
BOOL WINAPI SetCommState(HANDLE port, LPDCB dcb) {
    Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    const speed_t speed = Speed(dcb->BaudRate);
    if (speed == B0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > EVENPARITY ||
        (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    termios tio;
    if (tcgetattr(state->fd, &tio) != 0) return FailErrno();
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= sizes[dcb->ByteSize - 5] | CLOCAL | CREAD;
    if (dcb->Parity != NOPARITY) tio.c_cflag |= PARENB | (dcb->Parity == ODDPARITY ? PARODD : 0);
    if (dcb->StopBits == TWOSTOPBITS) tio.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == kRtsControlHandshake) tio.c_cflag |= CRTSCTS;
    // Software flow control only as the DCB asks: cfmakeraw leaves IXOFF and
    // IXANY as another program (or the boot set-up) left them.
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (dcb->fOutX) tio.c_iflag |= IXON;
    if (dcb->fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(state->fd, TCSANOW, &tio) != 0) return FailErrno();
    return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE port, DWORD mask) {
    Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    state->mask = mask; // kept: nothing here waits for comm events
    return TRUE;
}

// The driver's queues have sizes of their own on Linux; the request is checked only.
BOOL WINAPI SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
    if (PortOf(port) == NULL) return FALSE;
    if (inQueue == 0 || outQueue == 0) return Fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}

// The pointer is not to const in Win32's own declaration.
// cppcheck-suppress constParameter
BOOL WINAPI SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    state->timeouts = *timeouts;
    return TRUE;
}

// The clears discard what waits in the driver's queues, the aborts end the
// pending operations; neither does the other's work, as on Windows.
BOOL WINAPI PurgeComm(HANDLE port, DWORD flags) {
    Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    if (flags & PURGE_RXABORT) Finish(state->read, ERROR_OPERATION_ABORTED);
    if (flags & PURGE_TXABORT) Finish(state->write, ERROR_OPERATION_ABORTED);
    const bool rx = (flags & PURGE_RXCLEAR) != 0, tx = (flags & PURGE_TXCLEAR) != 0;
    if ((rx || tx) && tcflush(state->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) return FailErrno();
    return TRUE;
}

// No line errors are reported (the library never examines them); the queues'
// fill is.
BOOL WINAPI ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
    Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    if (errors != NULL) *errors = 0;
    if (status != NULL) {
        std::memset(status, 0, sizeof *status);
        int in = 0, out = 0;
        if (ioctl(state->fd, FIONREAD, &in) != 0 || ioctl(state->fd, TIOCOUTQ, &out) != 0) return FailErrno();
        status->cbInQue = static_cast<DWORD>(in);
        status->cbOutQue = static_cast<DWORD>(out);
    }
    return TRUE;
}

// DTR only (the library drops it when closing). A pseudo-terminal has no DTR
// line: the call fails there, as it does under Wine.
BOOL WINAPI EscapeCommFunction(HANDLE port, DWORD function) {
    Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    if (function != SETDTR && function != CLRDTR) return Fail(ERROR_INVALID_PARAMETER);
    int bits = TIOCM_DTR;
    if (ioctl(state->fd, function == SETDTR ? TIOCMBIS : TIOCMBIC, &bits) != 0) return FailErrno();
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    Port* port = PortOf(file);
    if (port == NULL) return FALSE;
    // The buffer is only read from.
    return Start(*port, port->write, static_cast<char*>(const_cast<void*>(buffer)), length, written, overlapped);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
    Port* port = PortOf(file);
    if (port == NULL) return FALSE;
    return Start(*port, port->read, static_cast<char*>(buffer), length, read, overlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    Port* port = PortOf(file);
    if (port == NULL) return FALSE;
    if (overlapped->Internal == STATUS_PENDING) Advance(*port, overlapped, wait ? kNoTimeLimit : 0);
    if (overlapped->Internal == STATUS_PENDING) return Fail(ERROR_IO_INCOMPLETE);
    if (transferred != NULL) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != 0) return Fail(static_cast<DWORD>(overlapped->Internal));
    return TRUE;
}

// The library sleeps between its queries of a pending read. The layer has no
// thread of its own, so here, while the caller sleeps, the pending reads move
// on as under a driver: a byte is taken, and its time noted, when it arrives,
// and a read ends when its time-outs run out. Otherwise a byte would count as
// arrived at the next query, up to a poll interval late, and its gap would end
// that much later.
void WINAPI Sleep(DWORD milliseconds) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long end = now.tv_sec * 1000000000LL + now.tv_nsec + milliseconds * 1000000LL;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long wake = end - (now.tv_sec * 1000000000LL + now.tv_nsec); // ns
        if (wake <= 0) return;
        struct pollfd lines[kMaxPorts];
        Port* reading[kMaxPorts];
        nfds_t count = 0;
        for (Port& port : s_ports) {
            if (!s_portsReady || port.fd < 0 || port.read.record == NULL) continue;
            wake = std::min(wake, ReadTimeLeftNow(port) * 1000000LL);
            lines[count] = {port.fd, POLLIN, 0};
            reading[count++] = &port;
        }
        const timespec timeout = {static_cast<time_t>(wake / 1000000000LL), static_cast<long>(wake % 1000000000LL)};
        ppoll(lines, count, &timeout, NULL);
        for (nfds_t i = 0; i < count; ++i)
            AdvanceRead(*reading[i], 0);
    }
}

BOOL WINAPI CancelIo(HANDLE file) {
    Port* port = PortOf(file);
    if (port == NULL) return FALSE;
    Abort(*port);
    return TRUE;
}

// Waits on a port's handle or on the event of one of its pending operations
// (the library waits so for its writes), moving that operation on; or on an
// event no operation holds, until it is set.
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    for (Port& port : s_ports) {
        if (!s_portsReady || port.fd < 0) continue;
        for (Operation* op : {&port.write, &port.read}) {
            if (op->record == NULL || (object != Handle(port.fd) && object != op->record->hEvent)) continue;
            OVERLAPPED* const record = op->record;
            Advance(port, record, milliseconds);
            return record->Internal == STATUS_PENDING ? WAIT_TIMEOUT : WAIT_OBJECT_0;
        }
    }
    struct pollfd p = {Descriptor(object), POLLIN, 0};
    const int ready = poll(&p, 1, PollTimeout(milliseconds));
    if (ready < 0 || (ready > 0 && (p.revents & POLLNVAL) != 0)) {
        SetLastError(ready < 0 ? Win32Error(errno) : ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return ready > 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// The library pins itself while the storage of an operation it could not end
// is reserved: the shared object holding the address stays loaded.
BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module) {
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0) return Fail(ERROR_INVALID_PARAMETER);
    Dl_info info;
    if (dladdr(name, &info) == 0 || info.dli_fname == NULL) return Fail(ERROR_MOD_NOT_FOUND);
    const int pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0 ? RTLD_NODELETE : 0;
    void* const loaded = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | pin);
    if (loaded == NULL) return Fail(ERROR_MOD_NOT_FOUND);
    if (module != NULL) *module = loaded;
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    const Port* state = PortOf(port);
    if (state == NULL) return FALSE;
    *timeouts = state->timeouts;
    return TRUE;
}
