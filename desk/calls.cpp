// The worker thread that makes the library's calls, and their results in words.
#include "calls.h"

#include <cstring>

#include "QT741DLL.h"
#include "tracks.h"

namespace desk {
namespace {

// A read buffer's text: up to its terminator, never past the buffer.
std::string Text(const char* buffer, size_t size) { return std::string(buffer, strnlen(buffer, size)); }

void Make(Work& work) {
    switch (work.call) {
    case Call::Open: work.code = CreatmComm(work.port.c_str()); break;
    case Call::Close: work.code = DestroymComm(); break;
    case Call::Write1: work.code = WrTr1Card(work.track1.c_str()); break;
    case Call::Write2: work.code = WrTr2Card(work.track2.c_str()); break;
    case Call::Write12: work.code = WrTr12Card(work.track1.c_str(), work.track2.c_str()); break;
    case Call::Read1: {
        char track1[CARD_TRACK1_BUFFER_SIZE] = {0};
        work.code = RadTr1Card(track1);
        work.track1 = Text(track1, sizeof track1);
        break;
    }
    case Call::Read2: {
        char track2[CARD_TRACK2_BUFFER_SIZE] = {0};
        work.code = RadTr2Card(track2);
        work.track2 = Text(track2, sizeof track2);
        break;
    }
    case Call::Read12: {
        char track1[CARD_TRACKS_BUFFER_SIZE] = {0};
        char track2[CARD_TRACKS_BUFFER_SIZE] = {0};
        work.code = RadTr12Card(track1, track2);
        work.track1 = Text(track1, sizeof track1);
        work.track2 = Text(track2, sizeof track2);
        break;
    }
    case Call::Reset: work.code = CardReset(); break;
    case Call::ReadStatus: work.code = IsReadError(); break;
    case Call::WriteStatus: work.code = IsWriteError(); break;
    }
}

DWORD WINAPI Worker(LPVOID parameter) {
    Work* work = static_cast<Work*>(parameter);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    GetLocalTime(&work->made);
    QueryPerformanceCounter(&start);
    Make(*work);
    QueryPerformanceCounter(&end);
    work->ms = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    // The window owns the Work from here; if it is gone, nobody does.
    if (!PostMessageW(work->window, kWorkDone, 0, reinterpret_cast<LPARAM>(work))) delete work;
    return 0;
}

std::wstring OpenWords(int code) {
    if (code == 1) return L"open";
    if (code == 0) return L"out of system resources";
    if (code < 0) {
        const DWORD error = static_cast<DWORD>(-static_cast<long long>(code));
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return L"the port does not exist (" + SystemError(error) + L")";
        case ERROR_ACCESS_DENIED: return L"the port is in use or not allowed (" + SystemError(error) + L")";
        case ERROR_INVALID_NAME: return L"not a port name (" + SystemError(error) + L")";
        case ERROR_BUSY: return L"another call was under way; nothing changed";
        default: return SystemError(error);
        }
    }
    // Open, but a configuration step failed: its system code (1 comes as 0x20000001).
    return L"open, but it could not be configured (" + SystemError(static_cast<DWORD>(code) & ~0x20000000UL) + L")";
}

std::wstring Wide(const std::string& text) { return TrackText(text); }

} // namespace

bool Start(Work* work, DWORD& error) { return StartThread(Worker, work, error); }

bool StartThread(LPTHREAD_START_ROUTINE routine, void* parameter, DWORD& error) {
    const HANDLE thread = CreateThread(NULL, 0, routine, parameter, 0, NULL);
    if (thread == NULL) {
        error = GetLastError();
        return false;
    }
    CloseHandle(thread);
    return true;
}

namespace {

// Each call: the library function it makes, and what the window calls it.
struct CallNames {
    const wchar_t* function;
    const wchar_t* action;
};
const CallNames kCallNames[] = {
    {L"CreatmComm", L"Open"},
    {L"DestroymComm", L"Close"},
    {L"WrTr1Card", L"Write track 1"},
    {L"WrTr2Card", L"Write track 2"},
    {L"WrTr12Card", L"Write track 1 and 2"},
    {L"RadTr1Card", L"Read track 1"},
    {L"RadTr2Card", L"Read track 2"},
    {L"RadTr12Card", L"Read track 1 and 2"},
    {L"CardReset", L"Reset"},
    {L"IsReadError", L"Last read ok?"},
    {L"IsWriteError", L"Last write ok?"},
};

static_assert(sizeof kCallNames / sizeof kCallNames[0] == static_cast<size_t>(Call::WriteStatus) + 1,
              "a row for every call, in the order of Call");

const CallNames& NamesOf(Call call) { return kCallNames[static_cast<int>(call)]; }

} // namespace

std::wstring Invocation(const Work& work, bool full) {
    const std::wstring function = NamesOf(work.call).function;
    switch (work.call) {
    case Call::Open: return function + L"(" + Quoted(work.port) + L")";
    case Call::Write1: return function + L"(" + Logged(1, work.track1, full) + L")";
    case Call::Write2: return function + L"(" + Logged(2, work.track2, full) + L")";
    case Call::Write12:
        return function + L"(" + Logged(1, work.track1, full) + L", " + Logged(2, work.track2, full) + L")";
    default: return function;
    }
}

std::wstring ResultWords(const Work& work) {
    switch (work.call) {
    case Call::Open: return OpenWords(work.code);
    case Call::Close:
        if (work.code == 1) return L"closed";
        if (work.code == 0) return L"closing failed, or another call was under way";
        return L"an unknown result";
    default: return CardWords(work.call, work.code, work.ms, !work.track1.empty() || !work.track2.empty());
    }
}

std::wstring Action(const Work& work) {
    const std::wstring action = NamesOf(work.call).action;
    return work.call == Call::Open ? action + L" " + Wide(work.port) : action;
}

std::wstring SystemText(DWORD code) {
    wchar_t text[512] = {0};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text,
                                        sizeof text / sizeof text[0], NULL);
    std::wstring out(text, length);
    while (!out.empty() && (out.back() == L'\r' || out.back() == L'\n' || out.back() == L' ' || out.back() == L'.'))
        out.pop_back();
    if (out.empty()) return L"no description";
    // Lower case to run on in a sentence, unless it starts with an abbreviation.
    if (out[0] >= L'A' && out[0] <= L'Z' && (out.size() < 2 || out[1] < L'A' || out[1] > L'Z'))
        out[0] = static_cast<wchar_t>(out[0] - L'A' + L'a');
    return out;
}

std::wstring SystemError(DWORD code) { return L"system error " + std::to_wstring(code) + L": " + SystemText(code); }

} // namespace desk
