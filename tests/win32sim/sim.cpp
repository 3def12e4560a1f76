// The simulated world behind the Win32 stand-in.
#include "sim.h"

#include "timeouts.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <set>

namespace {

struct HandleInfo {
    enum Kind { PORT, EVENT } kind;
    std::string label; // "port 1", "event 2": what the trace calls it
    std::string port;  // the port it opened
    bool open;
};

struct Arrival {
    DWORD time;
    unsigned char byte;
};

struct PortModel {
    bool open = false;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD mask = 0, inQueue = 0, outQueue = 0;
    bool dtr = true;
    std::vector<Arrival> rx; // sorted by time
};

struct Operation {
    bool isRead;
    HANDLE handle;
    std::string port;
    OVERLAPPED* overlapped;
    char* buffer;
    DWORD capacity;
    DWORD started;
    bool scripted;        // a ReadScript decides it, not the device
    sim::ReadScript read; // when scripted
    int incomplete;       // writes: "not yet" answers left
    DWORD error;          // writes: the completion's error, 0 for success
    bool cancelled;
    sim::WriteScript::Mode writeMode = sim::WriteScript::PENDING;
    OVERLAPPED seen = {}; // the record as the operation started: the caller must leave it alone
    bool abortFailed = false, closeFailed = false; // a CancelIo, a close of its port made to fail meanwhile
};

struct Injection {
    std::string function;
    DWORD error;
    int times;
    int skip;
};

struct TraceEntry {
    std::string text;
    bool poll;
    long polls;
};

struct World {
    DWORD now = 0;
    DWORD lastError = 0;
    std::map<std::string, PortModel> ports;
    std::map<uintptr_t, HandleInfo> handles;
    uintptr_t nextHandle = 0x100;
    int portCount = 0, eventCount = 0;
    std::vector<Operation> operations;
    std::map<sim::Bytes, std::pair<sim::Bytes, DWORD>> answers;
    std::deque<sim::WriteScript> writes;
    std::deque<sim::ReadScript> reads;
    std::vector<Injection> injections;
    bool timeoutsFail = false;
    std::vector<std::pair<DWORD, DWORD>> escapeHeld;
    std::set<int> escapeQueries;
    int keyQueries = 0;
    bool keyQueried = false;
    DWORD lastKeyQuery = 0;
    std::vector<TraceEntry> trace;
    std::vector<sim::Bytes> written;
    std::vector<sim::Bytes> lost;
    struct Queued {
        sim::Bytes frame;
        DWORD time;
    };
    std::vector<Queued> transmitting; // written, not yet on the line
    std::vector<std::string> problems;
    std::map<std::string, int> calls;
    std::vector<std::pair<DWORD, std::function<void()>>> actions;
    struct Hook {
        std::string function;
        int calls; // calls of it left until the action
        std::function<void()> action;
    };
    std::vector<Hook> hooks;
    DWORD closeLinger = 0; // ms a read pending at its port's close goes on
    struct Lingering {
        OVERLAPPED* overlapped;
        DWORD until;
        char* buffer;     // where the read's bytes land when it ends
        sim::Bytes bytes; // a scripted read's bytes
    };
    std::vector<Lingering> lingering; // reads their port's close has not ended yet
};

World w;

void Problem(const std::string& text);

// The system owns a pending operation's record: its offsets and event must not
// change until the operation has ended.
void CheckRecords() {
    for (Operation& op : w.operations) {
        if (op.overlapped == nullptr || op.seen.hEvent == reinterpret_cast<HANDLE>(-2)) continue;
        if (op.overlapped->Offset != op.seen.Offset || op.overlapped->OffsetHigh != op.seen.OffsetHigh ||
            op.overlapped->hEvent != op.seen.hEvent) {
            Problem(std::string("the record of a pending ") + (op.isRead ? "read" : "write") + " was changed");
            op.seen.hEvent = reinterpret_cast<HANDLE>(-2); // said once
        }
    }
}

void Log(const std::string& text) {
    CheckRecords();
    w.trace.push_back({text, false, 0});
}

// A call made while waiting for an operation: runs of them become one line.
void Poll(bool countIt) {
    CheckRecords();
    if (w.trace.empty() || !w.trace.back().poll) w.trace.push_back({"", true, 0});
    if (countIt) ++w.trace.back().polls;
}

void Problem(const std::string& text) { w.problems.push_back(text + " (at " + std::to_string(w.now) + " ms)"); }

// Counts a call of `function` and runs what another thread does at that call.
void Called(const std::string& function) {
    ++w.calls[function];
    for (auto& hook : w.hooks) {
        if (hook.action && hook.function == function && --hook.calls == 0) {
            const std::function<void()> run = hook.action;
            hook.action = nullptr;
            run();
        }
    }
}

bool Fails(const char* function, DWORD* error) {
    Called(function);
    for (Injection& injection : w.injections) {
        if (injection.function != function || injection.times == 0) continue;
        if (injection.skip > 0) {
            --injection.skip;
            return false;
        }
        if (injection.times > 0) --injection.times;
        *error = injection.error;
        return true;
    }
    return false;
}

BOOL Failed(const std::string& call, DWORD error) {
    Log(call + " -> error " + std::to_string(error));
    w.lastError = error;
    return FALSE;
}

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

// "\\.\COM10" and "COM10" name the same port; the system opens COM ports from
// 10 on only under the first form.
std::string PortKey(const std::string& name, bool* reachable) {
    const std::string prefix = "\\\\.\\";
    std::string key = Upper(name);
    *reachable = true;
    if (key.compare(0, prefix.size(), prefix) == 0) {
        key = key.substr(prefix.size());
    } else if (key.size() > 4 && key.compare(0, 3, "COM") == 0) {
        *reachable = false;
    }
    return key;
}

HandleInfo* FindHandle(HANDLE handle) {
    auto it = w.handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == w.handles.end() ? nullptr : &it->second;
}

// The port behind a handle, or null with the last error set (and a problem
// noted when the library uses a handle it has closed).
PortModel* PortOf(HANDLE handle, const char* function) {
    if (handle == NULL) Problem(std::string(function) + " on a null handle");
    if (handle == NULL || handle == INVALID_HANDLE_VALUE) {
        w.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    HandleInfo* info = FindHandle(handle);
    if (info == nullptr || !info->open || info->kind != HandleInfo::PORT) {
        Problem(std::string(function) + " on a handle that is not an open port");
        w.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return &w.ports[info->port];
}

void CheckEvent(const OVERLAPPED* overlapped, const char* function) {
    if (overlapped == nullptr) {
        Problem(std::string(function) + " without an OVERLAPPED record on an overlapped port");
        return;
    }
    if (overlapped->hEvent == NULL) return;
    HandleInfo* info = FindHandle(overlapped->hEvent);
    if (info == nullptr || !info->open || info->kind != HandleInfo::EVENT) {
        Problem(std::string(function) + " with an event that is not open");
    }
}

HANDLE NewHandle(HandleInfo::Kind kind, const std::string& port) {
    const uintptr_t value = w.nextHandle;
    w.nextHandle += 4;
    const std::string label =
        kind == HandleInfo::PORT ? "port " + std::to_string(++w.portCount) : "event " + std::to_string(++w.eventCount);
    w.handles[value] = {kind, label, port, true};
    return reinterpret_cast<HANDLE>(value);
}

Operation* FindOperation(const OVERLAPPED* overlapped) {
    for (Operation& op : w.operations) {
        if (op.overlapped == overlapped) return &op;
    }
    return nullptr;
}

// An operation ends: its record no longer says pending.
void Ended(const Operation& op) {
    if (op.overlapped != nullptr) op.overlapped->Internal = 0;
}

void RemoveOperation(const Operation* op) {
    Ended(*op);
    w.operations.erase(w.operations.begin() + (op - w.operations.data()));
}

bool AnyReadPending() {
    return !w.lingering.empty() ||
           std::any_of(w.operations.begin(), w.operations.end(), [](const Operation& op) { return op.isRead; });
}

bool AnyPending() { return AnyReadPending() || !w.operations.empty(); }

// Takes up to `capacity` bytes that have arrived by now off the port.
sim::Bytes Take(PortModel& port, DWORD capacity) {
    sim::Bytes bytes;
    auto it = port.rx.begin();
    while (it != port.rx.end() && it->time <= w.now && bytes.size() < capacity)
        bytes.push_back((it++)->byte);
    port.rx.erase(port.rx.begin(), it);
    return bytes;
}

// Milliseconds until a held write's time-out ends it; kNoTimeLimit where none
// will (no time-out, or a driver that ignores it).
DWORD WriteLeft(const Operation& op) {
    if (op.writeMode == sim::WriteScript::HELD || op.writeMode == sim::WriteScript::QUERY_FAILS) return kNoTimeLimit;
    return WriteTimeLeft(w.ports[op.port].timeouts, op.capacity, w.now - op.started);
}

enum Progress { NOT_YET, DONE, ENDED_WITH_ERROR };

// Where a pending read stands now; on DONE, the bytes are in `bytes`, on
// ENDED_WITH_ERROR the error is in `error`.
Progress ReadState(Operation& op, sim::Bytes& bytes, DWORD& error) {
    if (op.cancelled) {
        error = ERROR_OPERATION_ABORTED;
        return ENDED_WITH_ERROR;
    }
    if (op.scripted) {
        if (op.read.mode == sim::ReadScript::FOREVER || w.now < op.started + op.read.delay) return NOT_YET;
        if (op.read.mode == sim::ReadScript::PENDING_ERROR) {
            error = op.read.error;
            return ENDED_WITH_ERROR;
        }
        bytes = op.read.bytes;
        if (bytes.size() > op.capacity) bytes.resize(op.capacity);
        return DONE;
    }
    PortModel& port = w.ports[op.port];
    const COMMTIMEOUTS& t = port.timeouts;
    size_t arrived = 0;
    DWORD last = 0;
    for (const Arrival& a : port.rx) {
        if (a.time > w.now) break;
        ++arrived;
        last = a.time;
    }
    // The port's time-outs, as the Linux layer applies them too.
    const ReadProgress progress = {op.capacity, static_cast<DWORD>(arrived), w.now - op.started, w.now - last};
    if (arrived < op.capacity && ReadTimeLeft(t, progress) != 0) return NOT_YET;
    bytes = Take(port, op.capacity);
    if (bytes.empty() && w.timeoutsFail) {
        error = ERROR_TIMEOUT;
        return ENDED_WITH_ERROR;
    }
    return DONE;
}

std::string PurgeText(DWORD flags) {
    std::string text;
    const std::pair<DWORD, const char*> names[] = {
        {PURGE_TXABORT, "TXABORT"}, {PURGE_RXABORT, "RXABORT"}, {PURGE_TXCLEAR, "TX"}, {PURGE_RXCLEAR, "RX"}};
    for (const auto& name : names) {
        if (flags & name.first) text += (text.empty() ? "" : "|") + std::string(name.second);
    }
    return text;
}

} // namespace

namespace sim {

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (unsigned char b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(digits);
    }
    return text;
}

void Reset() { w = World(); }

void AddPort(const std::string& name) {
    bool reachable = false;
    PortModel& port = w.ports[PortKey(name, &reachable)];
    port.dcb.DCBlength = sizeof(DCB);
    port.dcb.BaudRate = 1200;
    port.dcb.ByteSize = 7;
    port.dcb.Parity = EVENPARITY;
    port.dcb.StopBits = TWOSTOPBITS;
    port.dcb.fBinary = 1;
    port.dcb.fDtrControl = 1;
    port.dcb.fOutX = port.dcb.fInX = port.dcb.fNull = 1; // as another program may leave them
    port.dcb.XonChar = 0x11;
}

void Fail(const std::string& function, DWORD error, int times, int skip) {
    w.injections.push_back({function, error, times, skip});
}

void Answer(const Bytes& frame, const Bytes& reply, DWORD delay) { w.answers[frame] = {reply, delay}; }

void Arrive(const Bytes& bytes, DWORD delay) {
    for (auto& entry : w.ports) {
        if (!entry.second.open) continue;
        for (unsigned char b : bytes)
            entry.second.rx.push_back({w.now + delay, b});
        std::stable_sort(entry.second.rx.begin(), entry.second.rx.end(),
                         [](const Arrival& a, const Arrival& b) { return a.time < b.time; });
    }
}

void NextWrite(const WriteScript& script) { w.writes.push_back(script); }
void NextRead(const ReadScript& script) { w.reads.push_back(script); }
void TimeoutsFailReads(bool fail) { w.timeoutsFail = fail; }
void ClosingEndsReadsAfter(DWORD milliseconds) { w.closeLinger = milliseconds; }
void HoldEscape(DWORD from, DWORD to) { w.escapeHeld.push_back({from, to}); }
void EscapeOnQuery(int n) { w.escapeQueries.insert(n); }

void ClearTrace() {
    w.trace.clear();
    w.written.clear();
    w.lost.clear();
    w.calls.clear();
}

std::vector<std::string> Trace() {
    std::vector<std::string> lines;
    for (const TraceEntry& entry : w.trace)
        lines.push_back(entry.poll ? "poll " + std::to_string(entry.polls) : entry.text);
    return lines;
}

std::vector<Bytes> Written() { return w.written; }
std::vector<Bytes> Lost() { return w.lost; }
std::vector<std::string> Problems() {
    std::vector<std::string> problems = w.problems;
    // What a test scheduled and the library never gave the chance to run
    // checked nothing: that is a problem of its own.
    for (const auto& action : w.actions) {
        if (action.second) problems.push_back("the action at " + std::to_string(action.first) + " ms never ran");
    }
    for (const auto& hook : w.hooks) {
        if (hook.action) problems.push_back("the action at a call of " + hook.function + " never ran");
    }
    return problems;
}

int OpenHandles() {
    return static_cast<int>(
        std::count_if(w.handles.begin(), w.handles.end(), [](const auto& entry) { return entry.second.open; }));
}

bool ReadOutstanding(bool unendable) {
    return !w.lingering.empty() ||
           std::any_of(w.operations.begin(), w.operations.end(), [unendable](const Operation& op) {
               return op.isRead && (unendable || !op.abortFailed || !op.closeFailed);
           });
}

int Calls(const std::string& function) {
    auto it = w.calls.find(function);
    return it == w.calls.end() ? 0 : it->second;
}

DWORD Now() { return w.now; }

void At(DWORD when, const std::function<void()>& action) { w.actions.push_back({when, action}); }

void OnCall(const std::string& function, int nth, const std::function<void()>& action) {
    w.hooks.push_back({function, nth, action});
}

PortState Port(const std::string& name) {
    bool reachable = false;
    auto it = w.ports.find(PortKey(name, &reachable));
    if (it == w.ports.end()) return PortState{false, false, DCB{}, COMMTIMEOUTS{}, 0, 0, 0, false, 0};
    const PortModel& p = it->second;
    size_t waiting = 0;
    for (const Arrival& a : p.rx)
        waiting += a.time <= w.now ? 1 : 0;
    return PortState{true, p.open, p.dcb, p.timeouts, p.mask, p.inQueue, p.outQueue, p.dtr, waiting};
}

} // namespace sim

// The Win32 functions.

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
    const std::string call = std::string("CreateFileA ") + (name ? name : "(null)");
    DWORD error = 0;
    if (Fails("CreateFileA", &error)) {
        Failed(call, error);
        return INVALID_HANDLE_VALUE;
    }
    if (access != (GENERIC_READ | GENERIC_WRITE) || share != 0 || security != nullptr || disposition != OPEN_EXISTING ||
        flags != (FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED) || templateFile != NULL) {
        Problem("CreateFileA with other than read/write access, no sharing, default security, open-existing, "
                "normal attributes and overlapped I/O, no template");
    }
    bool reachable = false;
    const std::string key = name ? PortKey(name, &reachable) : "";
    auto it = w.ports.find(key);
    if (name == nullptr || it == w.ports.end() || !reachable) {
        Failed(call, ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (it->second.open) {
        Failed(call, ERROR_ACCESS_DENIED); // opened without sharing
        return INVALID_HANDLE_VALUE;
    }
    it->second.open = true;
    it->second.dtr = true;
    HANDLE handle = NewHandle(HandleInfo::PORT, key);
    Log(call + " -> " + FindHandle(handle)->label);
    return handle;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    DWORD error = 0;
    if (handle == INVALID_HANDLE_VALUE) {
        // The current process's pseudo-handle: closing it does nothing.
        Log("CloseHandle invalid-handle value");
        return TRUE;
    }
    HandleInfo* info = FindHandle(handle);
    const std::string call = "CloseHandle " + (info ? info->label : std::string("unknown handle"));
    if (info == nullptr || !info->open) {
        Problem(call + (info ? " closed twice" : " that was never created"));
        return Failed(call, ERROR_INVALID_HANDLE);
    }
    if (Fails("CloseHandle", &error)) {
        for (Operation& op : w.operations)
            op.closeFailed = op.closeFailed || op.handle == handle;
        return Failed(call, error);
    }
    info->open = false;
    if (info->kind == HandleInfo::PORT) {
        w.ports[info->port].open = false;
        // Closing the port ends what is pending on it, before the close returns
        // or, with ClosingEndsReadsAfter, a read a while later.
        for (const Operation& op : w.operations) {
            if (op.handle != handle) continue;
            if (op.isRead && w.closeLinger > 0 && op.overlapped != nullptr) {
                sim::Bytes late = op.scripted ? op.read.bytes : sim::Bytes();
                if (late.size() > op.capacity) late.resize(op.capacity);
                w.lingering.push_back({op.overlapped, w.now + w.closeLinger, op.buffer, late});
            } else {
                Ended(op);
            }
        }
        w.operations.erase(std::remove_if(w.operations.begin(), w.operations.end(),
                                          [handle](const Operation& op) { return op.handle == handle; }),
                           w.operations.end());
    }
    Log(call);
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name) {
    DWORD error = 0;
    if (Fails("CreateEventA", &error)) {
        Failed("CreateEventA", error);
        return NULL;
    }
    if (security != nullptr || !manualReset || initialState || name != nullptr) {
        Problem("CreateEventA other than unnamed, manual-reset, non-signalled, default security");
    }
    HANDLE handle = NewHandle(HandleInfo::EVENT, "");
    Log("CreateEventA -> " + FindHandle(handle)->label);
    return handle;
}

BOOL WINAPI GetCommState(HANDLE handle, LPDCB dcb) {
    DWORD error = 0;
    PortModel* port = PortOf(handle, "GetCommState");
    if (Fails("GetCommState", &error)) return Failed("GetCommState", error);
    if (!port) return Failed("GetCommState", w.lastError);
    *dcb = port->dcb;
    Log("GetCommState");
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE handle, LPDCB dcb) {
    static const char parity[] = "NOEMS";
    static const char* const stops[] = {"1", "1.5", "2"};
    const std::string call = "SetCommState " + std::to_string(dcb->BaudRate) + " " + std::to_string(dcb->ByteSize) +
                             (dcb->Parity < 5 ? parity[dcb->Parity] : '?') +
                             (dcb->StopBits < 3 ? stops[dcb->StopBits] : "?");
    DWORD error = 0;
    PortModel* port = PortOf(handle, "SetCommState");
    if (Fails("SetCommState", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    port->dcb = *dcb;
    Log(call);
    return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE handle, DWORD mask) {
    const std::string call = "SetCommMask " + std::to_string(mask);
    DWORD error = 0;
    PortModel* port = PortOf(handle, "SetCommMask");
    if (Fails("SetCommMask", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    port->mask = mask;
    Log(call);
    return TRUE;
}

BOOL WINAPI SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    const std::string call = "SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue);
    DWORD error = 0;
    PortModel* port = PortOf(handle, "SetupComm");
    if (Fails("SetupComm", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    port->inQueue = inQueue;
    port->outQueue = outQueue;
    Log(call);
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS t) {
    const std::string call =
        "SetCommTimeouts " + std::to_string(t->ReadIntervalTimeout) + " " +
        std::to_string(t->ReadTotalTimeoutMultiplier) + " " + std::to_string(t->ReadTotalTimeoutConstant) + " " +
        std::to_string(t->WriteTotalTimeoutMultiplier) + " " + std::to_string(t->WriteTotalTimeoutConstant);
    DWORD error = 0;
    PortModel* port = PortOf(handle, "SetCommTimeouts");
    if (Fails("SetCommTimeouts", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    port->timeouts = *t;
    Log(call);
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS t) {
    DWORD error = 0;
    PortModel* port = PortOf(handle, "GetCommTimeouts");
    if (Fails("GetCommTimeouts", &error)) return Failed("GetCommTimeouts", error);
    if (!port) return Failed("GetCommTimeouts", w.lastError);
    *t = port->timeouts;
    Log("GetCommTimeouts");
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE handle, DWORD flags) {
    const std::string call = "PurgeComm " + PurgeText(flags);
    DWORD error = 0;
    PortModel* port = PortOf(handle, "PurgeComm");
    if (Fails("PurgeComm", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    if (flags & PURGE_TXCLEAR) {
        for (const auto& queued : w.transmitting) {
            if (queued.time == w.now) w.lost.push_back(queued.frame);
        }
        w.transmitting.clear();
    }
    if (flags & PURGE_RXCLEAR) {
        port->rx.erase(
            std::remove_if(port->rx.begin(), port->rx.end(), [](const Arrival& a) { return a.time <= w.now; }),
            port->rx.end());
    }
    Log(call);
    return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    DWORD error = 0;
    PortModel* port = PortOf(handle, "ClearCommError");
    if (Fails("ClearCommError", &error)) return Failed("ClearCommError", error);
    if (!port) return Failed("ClearCommError", w.lastError);
    if (errors) *errors = 0;
    if (status) *status = COMSTAT{};
    Log("ClearCommError");
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE handle, DWORD function) {
    const std::string call =
        std::string("EscapeCommFunction ") + (function == CLRDTR ? "CLRDTR" : std::to_string(function));
    DWORD error = 0;
    PortModel* port = PortOf(handle, "EscapeCommFunction");
    if (Fails("EscapeCommFunction", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    if (function == CLRDTR) port->dtr = false;
    Log(call);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    const sim::Bytes frame(static_cast<const unsigned char*>(buffer),
                           static_cast<const unsigned char*>(buffer) + length);
    const std::string call = "WriteFile " + sim::Hex(frame);
    DWORD error = 0;
    PortModel* port = PortOf(handle, "WriteFile");
    CheckEvent(overlapped, "WriteFile");
    if (Fails("WriteFile", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    if (overlapped && FindOperation(overlapped)) Problem("WriteFile while a write on the same record is pending");

    sim::WriteScript script = {sim::WriteScript::AT_ONCE, 0, 0};
    if (!w.writes.empty()) {
        script = w.writes.front();
        w.writes.pop_front();
    }
    if (script.mode == sim::WriteScript::FAIL) return Failed(call, script.error);

    w.written.push_back(frame);
    w.transmitting.push_back({frame, w.now});
    auto answer = w.answers.find(frame);
    if (answer != w.answers.end()) {
        for (unsigned char b : answer->second.first)
            port->rx.push_back({w.now + answer->second.second, b});
        std::stable_sort(port->rx.begin(), port->rx.end(),
                         [](const Arrival& a, const Arrival& b) { return a.time < b.time; });
    }
    if (script.mode == sim::WriteScript::AT_ONCE) {
        if (written) *written = length;
        Log(call);
        return TRUE;
    }
    w.operations.push_back(Operation{false, handle, FindHandle(handle)->port, overlapped, nullptr, length, w.now, false,
                                     sim::ReadScript{}, script.incompleteQueries, script.error, false, script.mode,
                                     overlapped ? *overlapped : OVERLAPPED{}});
    if (overlapped) overlapped->Internal = STATUS_PENDING;
    Log(call + " -> pending");
    w.lastError = ERROR_IO_PENDING;
    return FALSE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
    const std::string call = "ReadFile " + std::to_string(length);
    DWORD error = 0;
    PortModel* port = PortOf(handle, "ReadFile");
    CheckEvent(overlapped, "ReadFile");
    if (Fails("ReadFile", &error)) return Failed(call, error);
    if (!port) return Failed(call, w.lastError);
    if (overlapped && FindOperation(overlapped)) Problem("ReadFile while a read on the same record is outstanding");

    Operation op{true,
                 handle,
                 FindHandle(handle)->port,
                 overlapped,
                 static_cast<char*>(buffer),
                 length,
                 w.now,
                 false,
                 sim::ReadScript{},
                 0,
                 0,
                 false,
                 sim::WriteScript::PENDING,
                 overlapped ? *overlapped : OVERLAPPED{}};
    if (!w.reads.empty()) {
        op.scripted = true;
        op.read = w.reads.front();
        w.reads.pop_front();
        const sim::ReadScript& s = op.read;
        if (s.mode == sim::ReadScript::AT_ONCE || s.mode == sim::ReadScript::FAIL) {
            const size_t n = std::min<size_t>(s.bytes.size(), length);
            std::copy(s.bytes.begin(), s.bytes.begin() + static_cast<long>(n), static_cast<char*>(buffer));
            if (read) *read = static_cast<DWORD>(s.bytes.size()); // as reported, even if more than asked for
            if (s.mode == sim::ReadScript::FAIL) return Failed(call, s.error);
            if (!s.bytes.empty()) w.transmitting.clear();
            Log(call + " -> " + std::to_string(s.bytes.size()));
            return TRUE;
        }
    } else {
        size_t available = 0;
        for (const Arrival& a : port->rx)
            available += a.time <= w.now ? 1 : 0;
        // With the port's time-outs a read returns at once only when all it asked
        // for is there; otherwise it waits for more or for the gap that ends it.
        if (available >= length) {
            const sim::Bytes bytes = Take(*port, length);
            std::copy(bytes.begin(), bytes.end(), static_cast<char*>(buffer));
            if (read) *read = static_cast<DWORD>(bytes.size());
            w.transmitting.clear(); // the device answered: what was written has reached it
            Log(call + " -> " + std::to_string(bytes.size()));
            return TRUE;
        }
    }
    w.operations.push_back(op);
    if (overlapped) overlapped->Internal = STATUS_PENDING;
    Log(call + " -> pending");
    w.lastError = ERROR_IO_PENDING;
    return FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    Operation* op = FindOperation(overlapped);
    const std::string call =
        std::string("GetOverlappedResult ") + (op && !op->isRead ? "write" : "read") + (wait ? " wait" : "");
    DWORD error = 0;
    PortOf(handle, "GetOverlappedResult");
    if (op == nullptr) {
        Problem("GetOverlappedResult with nothing outstanding on the record");
        return Failed(call, ERROR_INVALID_PARAMETER);
    }
    if (Fails("GetOverlappedResult", &error)) {
        RemoveOperation(op);
        return Failed(call, error);
    }
    if (!op->isRead) {
        if (op->cancelled) {
            RemoveOperation(op);
            return Failed(call, ERROR_OPERATION_ABORTED);
        }
        if (op->writeMode == sim::WriteScript::QUERY_FAILS) {
            ++w.now;
            Log(call + " -> error " + std::to_string(op->error) + ", still pending");
            w.lastError = op->error;
            return FALSE;
        }
        if (op->incomplete < 0 || op->writeMode == sim::WriteScript::HELD) {
            // Held for ever (flow control): only the port's write time-out ends
            // it, unless the driver ignores it. A waiting query sleeps until
            // then; queries back to back take a millisecond each.
            const DWORD left = WriteLeft(*op);
            if (wait && left == kNoTimeLimit) {
                Problem("GetOverlappedResult waits for a write that never ends");
                RemoveOperation(op);
                return Failed(call, ERROR_GEN_FAILURE);
            }
            if (!wait && left != 0) {
                ++w.now;
                Poll(true);
                w.lastError = ERROR_IO_INCOMPLETE;
                return FALSE;
            }
            w.now += left;
            RemoveOperation(op);
            Log(call + " -> timed out");
            if (transferred) *transferred = 0;
            return TRUE;
        }
        if (!wait && op->incomplete > 0) {
            --op->incomplete;
            Poll(true);
            w.lastError = ERROR_IO_INCOMPLETE;
            return FALSE;
        }
        const DWORD result = op->error;
        const DWORD length = op->capacity;
        RemoveOperation(op);
        if (result != 0) return Failed(call, result);
        if (transferred) *transferred = length;
        Log(call);
        return TRUE;
    }

    sim::Bytes bytes;
    Progress progress = ReadState(*op, bytes, error);
    if (progress == NOT_YET && wait) {
        // Block: let virtual time run until the read ends (a day at the most).
        const DWORD limit = w.now + 24u * 3600u * 1000u;
        while (progress == NOT_YET && w.now < limit) {
            ++w.now;
            progress = ReadState(*op, bytes, error);
        }
        if (progress == NOT_YET) {
            Problem("GetOverlappedResult waits for a read that never ends");
            RemoveOperation(op);
            return Failed(call, ERROR_GEN_FAILURE);
        }
    }
    if (progress == NOT_YET) {
        Poll(true);
        w.lastError = ERROR_IO_INCOMPLETE;
        return FALSE;
    }
    if (progress == ENDED_WITH_ERROR) {
        RemoveOperation(op);
        return Failed(call, error);
    }
    std::copy(bytes.begin(), bytes.end(), op->buffer);
    if (transferred) *transferred = static_cast<DWORD>(bytes.size());
    if (!bytes.empty()) w.transmitting.clear();
    RemoveOperation(op);
    Log(call + " -> " + std::to_string(bytes.size()));
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE handle) {
    DWORD error = 0;
    PortModel* port = PortOf(handle, "CancelIo");
    if (Fails("CancelIo", &error)) {
        for (Operation& op : w.operations)
            op.abortFailed = op.abortFailed || op.handle == handle;
        return Failed("CancelIo", error);
    }
    if (!port) return Failed("CancelIo", w.lastError);
    for (Operation& op : w.operations) {
        if (op.handle == handle) op.cancelled = true;
    }
    Log("CancelIo");
    return TRUE;
}

// The library waits only for its own pending writes, on the record's event or,
// without one, on the port's handle.
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    Called("WaitForSingleObject");
    const auto found = std::find_if(w.operations.begin(), w.operations.end(), [object](const Operation& op) {
        return op.overlapped != nullptr &&
               (op.overlapped->hEvent == NULL ? op.handle : op.overlapped->hEvent) == object;
    });
    if (found == w.operations.end()) {
        Problem("WaitForSingleObject with nothing pending on the object");
        w.lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    Operation& op = *found;
    if (op.isRead) Problem("WaitForSingleObject on a read");
    // A write that ends by itself ends within the wait; a held one when its
    // time-out runs out, if that comes first.
    const bool held = op.incomplete < 0 || op.writeMode != sim::WriteScript::PENDING;
    const DWORD left = held && !op.cancelled ? WriteLeft(op) : 0;
    if (left > milliseconds) {
        if (milliseconds == INFINITE) {
            Problem("WaitForSingleObject waits for a write that never ends");
            return WAIT_FAILED;
        }
        w.now += milliseconds;
        Log("WaitForSingleObject write -> time-out");
        return WAIT_TIMEOUT;
    }
    w.now += left;
    op.incomplete = 0;
    op.writeMode = sim::WriteScript::PENDING;
    Log("WaitForSingleObject write");
    return WAIT_OBJECT_0;
}

BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module) {
    Called("GetModuleHandleExW");
    if (flags != (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN) || name == nullptr) {
        Problem("GetModuleHandleExW other than pinning the module of an address");
    }
    if (module != nullptr) *module = reinterpret_cast<HMODULE>(0x400000);
    Log("GetModuleHandleExW pin");
    return TRUE;
}

DWORD WINAPI GetLastError(void) { return w.lastError; }
void WINAPI SetLastError(DWORD code) { w.lastError = code; }

void WINAPI Sleep(DWORD milliseconds) {
    Called("Sleep");
    if (AnyPending() && milliseconds <= 2) {
        Poll(false);
    } else {
        Log("Sleep " + std::to_string(milliseconds));
    }
    w.now += milliseconds;
    for (auto it = w.lingering.begin(); it != w.lingering.end();) {
        if (it->until > w.now) {
            ++it;
            continue;
        }
        // The bytes the read had when it ended go where it was told to put them.
        const size_t n = it->bytes.size();
        if (n > 0) std::copy(it->bytes.begin(), it->bytes.end(), it->buffer);
        it->overlapped->InternalHigh = n;
        it->overlapped->Internal = 0;
        it = w.lingering.erase(it);
    }
    for (auto& action : w.actions) {
        if (action.second && action.first <= w.now) {
            const std::function<void()> run = action.second;
            action.second = nullptr;
            run();
        }
    }
}

DWORD WINAPI GetTickCount(void) {
    Called("GetTickCount");
    return w.now;
}

SHORT WINAPI GetAsyncKeyState(int key) {
    Called("GetAsyncKeyState");
    if (key != VK_ESCAPE) Problem("GetAsyncKeyState for a key other than Escape");
    const int query = ++w.keyQueries;
    bool down = false;
    bool since = w.escapeQueries.count(query) != 0;
    for (const auto& held : w.escapeHeld) {
        if (held.first <= w.now && w.now < held.second) down = true;
        if (held.first <= w.now && (!w.keyQueried || held.first > w.lastKeyQuery)) since = true;
    }
    w.keyQueried = true;
    w.lastKeyQuery = w.now;
    const SHORT answer = static_cast<SHORT>((down ? 0x8000 : 0) | (since ? 1 : 0));
    if (answer == 0 && AnyReadPending()) {
        Poll(false);
    } else {
        Log(answer == 0 ? "GetAsyncKeyState" : "GetAsyncKeyState -> pressed");
    }
    return answer;
}

LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) { return std::strcpy(destination, source); }
LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source) { return std::strcat(destination, source); }
// Not traced: the library asks it once with every Escape query.
LONG WINAPI InterlockedExchange(volatile LONG* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

int WINAPI lstrlenA(LPCSTR text) { return text ? static_cast<int>(std::strlen(text)) : 0; }
int WINAPI lstrcmpA(LPCSTR first, LPCSTR second) { return std::strcmp(first, second); }
