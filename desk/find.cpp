// Finding the encoder. Each port is opened for overlapped I/O, set to 9600 8N1
// with no flow control, sent the status request and read for an answer; every
// wait is bounded, so a port whose driver holds on to an operation cannot
// stop the search. The port is closed before the next one is asked.
#include "find.h"

#include <cstdio>
#include <cstring>

#include "calls.h"

namespace desk {
namespace {

const unsigned char kStatusRequest[] = {0x1B, 0x6A};
// Once bytes have come, this long without another ends the answer.
const DWORD kAnswerGapMs = 30;
// How long an aborted operation, or one on a closed port, is given to end.
const DWORD kLetGoMs = 500;

// An operation's record and buffer. They live on the heap: an operation that
// does not end when it is aborted and its port closed keeps them, never freed
// under it.
struct Operation {
    OVERLAPPED overlapped{};
    unsigned char bytes[10] = {};
};

enum class Outcome { Ended, Failed, Stuck };

// Starts a write of op.bytes[0, size) or a read into them and waits for its
// end: kFindWaitMs, then it is aborted. Ended: `count` bytes moved (a read
// the time-outs or the abort ended is ended too). Failed: `error` says why.
// Stuck: still pending after the abort; the record is the operation's.
Outcome Transfer(HANDLE port, Operation& op, bool write, DWORD size, DWORD& count, DWORD& error) {
    op.overlapped.Offset = op.overlapped.OffsetHigh = 0;
    count = 0;
    const BOOL done = write ? WriteFile(port, op.bytes, size, &count, &op.overlapped)
                            : ReadFile(port, op.bytes, size, &count, &op.overlapped);
    if (done) return Outcome::Ended;
    error = GetLastError();
    if (error != ERROR_IO_PENDING) return Outcome::Failed;
    if (WaitForSingleObject(op.overlapped.hEvent, kFindWaitMs + kLetGoMs) != WAIT_OBJECT_0) {
        CancelIo(port);
        if (WaitForSingleObject(op.overlapped.hEvent, kLetGoMs) != WAIT_OBJECT_0) return Outcome::Stuck;
    }
    if (GetOverlappedResult(port, &op.overlapped, &count, FALSE)) return Outcome::Ended;
    error = GetLastError();
    // Under Wine a read that its time-outs ended with nothing fails with ERROR_TIMEOUT.
    return error == ERROR_TIMEOUT || error == ERROR_OPERATION_ABORTED ? Outcome::Ended : Outcome::Failed;
}

std::wstring Failed(const wchar_t* call, DWORD error) {
    return std::wstring(L"could not be asked: ") + call + L" failed (" + SystemError(error) + L")";
}

std::wstring Hex(const unsigned char* bytes, DWORD count) {
    std::wstring text;
    for (DWORD i = 0; i < count; ++i) {
        wchar_t cell[4];
        std::swprintf(cell, sizeof cell / sizeof cell[0], L"%02X", static_cast<unsigned>(bytes[i]));
        text += (i == 0 ? L"" : L" ") + std::wstring(cell);
    }
    return text;
}

// The exchange on an open port. `stuck` is set when an operation did not end.
std::wstring Exchange(HANDLE port, Operation& op, bool& stuck, bool& answered) {
    if (op.overlapped.hEvent == NULL) return Failed(L"CreateEventW", GetLastError());
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return Failed(L"GetCommState", GetLastError());
    // 9600 8N1 with no flow control: no byte of the answer is taken for one, and none is held back.
    if (!BuildCommDCBW(L"baud=9600 parity=N data=8 stop=1 xon=off octs=off odsr=off idsr=off dtr=on rts=on", &dcb))
        return Failed(L"BuildCommDCBW", GetLastError());
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(port, &dcb)) return Failed(L"SetCommState", GetLastError());
    // A read ends kFindWaitMs after it starts, or kAnswerGapMs after a byte; a write in kFindWaitMs.
    COMMTIMEOUTS timeouts = {kAnswerGapMs, 0, kFindWaitMs, 0, kFindWaitMs};
    if (!SetCommTimeouts(port, &timeouts)) return Failed(L"SetCommTimeouts", GetLastError());
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);

    std::memcpy(op.bytes, kStatusRequest, sizeof kStatusRequest);
    DWORD count = 0, error = 0;
    Outcome outcome = Transfer(port, op, true, sizeof kStatusRequest, count, error);
    if (outcome == Outcome::Stuck) stuck = true;
    if (outcome == Outcome::Failed) return Failed(L"WriteFile", error);
    if (outcome == Outcome::Stuck || count != sizeof kStatusRequest)
        return L"the status request did not go out in " + std::to_wstring(kFindWaitMs) + L" ms";

    outcome = Transfer(port, op, false, sizeof op.bytes, count, error);
    if (outcome == Outcome::Stuck) {
        stuck = true;
        return L"no answer (the port's driver did not end the read)";
    }
    if (outcome == Outcome::Failed) return Failed(L"ReadFile", error);
    if (count == 0) return L"no answer";
    // The device's status answer ends in "p" (the last operation went well) or "q".
    const unsigned char last = op.bytes[count - 1];
    answered = last == 0x70 || last == 0x71;
    return (answered ? L"an encoder answered (" : L"something answered, but not as an encoder does (") +
           Hex(op.bytes, count) + L")";
}

PortAnswer Ask(const std::wstring& port) {
    PortAnswer answer;
    answer.port = port;
    const std::wstring path = L"\\\\.\\" + port;
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            answer.words = L"in use by another program";
        else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            answer.words = L"not there (" + SystemError(error) + L")";
        else
            answer.words = L"could not be opened (" + SystemError(error) + L")";
        return answer;
    }
    Operation* op = new Operation;
    op->overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    bool stuck = false;
    answer.words = Exchange(handle, *op, stuck, answer.answered);
    // Closing the port ends what is still pending on it.
    CloseHandle(handle);
    if (stuck) stuck = WaitForSingleObject(op->overlapped.hEvent, kLetGoMs) != WAIT_OBJECT_0;
    if (!stuck) {
        if (op->overlapped.hEvent != NULL) CloseHandle(op->overlapped.hEvent);
        delete op;
    }
    return answer;
}

DWORD WINAPI Finder(LPVOID parameter) {
    Search* search = static_cast<Search*>(parameter);
    for (const std::wstring& port : search->ports) {
        if (!search->skip.empty() && lstrcmpiW(port.c_str(), search->skip.c_str()) == 0) {
            search->answers.push_back({port, false, L"open in this window; not asked"});
            continue;
        }
        search->answers.push_back(Ask(port));
    }
    if (!PostMessageW(search->window, kFindDone, 0, reinterpret_cast<LPARAM>(search))) delete search;
    return 0;
}

} // namespace

bool StartFind(Search* search, DWORD& error) { return StartThread(Finder, search, error); }

} // namespace desk
