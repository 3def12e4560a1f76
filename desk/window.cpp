// The desk's window: a modeless dialog (desk.rc) with its own message loop, so
// that Escape and Ctrl+A are the window's wherever the focus is in it. Every
// library call runs on a worker thread (calls.cpp); while one is under way the
// buttons that make calls are disabled and Cancel (Escape) calls CardCancel.
#include "window.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QT741DLL.h"
#include "calls.h"
#include "ports.h"
#include "resource.h"
#include "tracks.h"

namespace desk {
namespace {

// The buttons that make a library call: disabled while one is under way.
const int kCallButtons[] = {IDC_OPEN, IDC_CLOSE, IDC_WRITE, IDC_READ, IDC_RESET, IDC_READ_OK, IDC_WRITE_OK};

// How a control follows the window's size: moved right, or stretched.
struct Anchor {
    int id;
    bool moveX;
    bool stretchX;
    bool stretchY;
    RECT rect; // at the first size, in client coordinates
};

const Anchor kAnchors[] = {
    {IDC_PORT_STATE, false, true, false, {}},  {IDC_TRACK1, false, true, false, {}},
    {IDC_TRACK1_NOTE, false, true, false, {}}, {IDC_TRACK2, false, true, false, {}},
    {IDC_TRACK2_NOTE, false, true, false, {}}, {IDCANCEL, true, false, false, {}},
    {IDC_STATUS, false, true, false, {}},      {IDC_COPY, true, false, false, {}},
    {IDC_CLEAR, true, false, false, {}},       {IDC_LOG, false, true, true, {}},
};

std::wstring Clock(const SYSTEMTIME& time) {
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"%02u:%02u:%02u.%03u", time.wHour, time.wMinute, time.wSecond,
                  time.wMilliseconds);
    return text;
}

std::wstring Milliseconds(double ms) {
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"[%.0f ms]", ms);
    return text;
}

// The log's lines under a call start below its text.
const wchar_t kIndent[] = L"              ";

class Desk {
public:
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Keys that belong to the whole window: Escape (Cancel) and Ctrl+A in a
    // field (select all). True when the key was taken.
    bool TakeKey(const MSG& message);

private:
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Init();
    void Command(int id, int code);
    void Layout(int width, int height);

    void RefreshPorts();
    void UpdateNotes();
    void OpenPort();
    void Write();
    void Read();
    void Begin(std::unique_ptr<Work> work);
    void Finish(std::unique_ptr<Work> work);
    std::wstring Compare(const Work& work);
    void Cancel();
    void Close();
    void CopyLog();

    void Status(const std::wstring& text) { SetDlgItemTextW(window_, IDC_STATUS, text.c_str()); }
    void Log(const std::wstring& line);
    std::wstring Text(int id) const;
    HWND Item(int id) const { return GetDlgItem(window_, id); }
    void Focus(HWND control) { SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE); }

    HWND window_ = NULL;
    bool busy_ = false;
    Call running_ = Call::Reset;
    HWND focusBefore_ = NULL;
    bool closing_ = false;
    bool closeMade_ = false;
    bool portOpen_ = false;
    std::wstring openPort_;
    // The tracks last written in this session, to compare reads with.
    bool written1_ = false;
    bool written2_ = false;
    std::string track1Written_;
    std::string track2Written_;
    bool warning1_ = false;
    bool warning2_ = false;
    std::vector<Anchor> anchors_;
    SIZE client_{};   // the client area's first size
    POINT minimum_{}; // the window's first size: the smallest it gets
};

INT_PTR CALLBACK Desk::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        Desk* desk = reinterpret_cast<Desk*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        desk->window_ = window;
        desk->Init();
        return TRUE;
    }
    Desk* desk = reinterpret_cast<Desk*>(GetWindowLongPtrW(window, DWLP_USER));
    return desk == NULL ? FALSE : desk->Handle(message, wParam, lParam);
}

INT_PTR Desk::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: Command(LOWORD(wParam), HIWORD(wParam)); return TRUE;
    case kWorkDone: Finish(std::unique_ptr<Work>(reinterpret_cast<Work*>(lParam))); return TRUE;
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED) Layout(LOWORD(lParam), HIWORD(lParam));
        return TRUE;
    case WM_GETMINMAXINFO:
        if (minimum_.x > 0) reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = minimum_;
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        const HWND control = reinterpret_cast<HWND>(lParam);
        const bool warning =
            (control == Item(IDC_TRACK1_NOTE) && warning1_) || (control == Item(IDC_TRACK2_NOTE) && warning2_);
        if (!warning) return FALSE;
        const HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, RGB(176, 48, 0));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CLOSE: Close(); return TRUE;
    case WM_DESTROY: PostQuitMessage(0); return TRUE;
    default: return FALSE;
    }
}

void Desk::Init() {
    const HWND tracks = Item(IDC_READ_TRACKS);
    for (const wchar_t* choice : {L"1 and 2", L"1", L"2"})
        SendMessageW(tracks, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    SendMessageW(tracks, CB_SETCURSEL, 0, 0);
    CheckDlgButton(window_, IDC_FILL, BST_CHECKED);
    SendMessageW(Item(IDC_LOG), EM_SETLIMITTEXT, 0, 0);

    RECT client, frame;
    GetClientRect(window_, &client);
    GetWindowRect(window_, &frame);
    client_ = {client.right, client.bottom};
    minimum_ = {frame.right - frame.left, frame.bottom - frame.top};
    for (Anchor anchor : kAnchors) {
        GetWindowRect(Item(anchor.id), &anchor.rect);
        MapWindowPoints(NULL, window_, reinterpret_cast<POINT*>(&anchor.rect), 2);
        anchors_.push_back(anchor);
    }

    wchar_t path[MAX_PATH] = L"";
    const HMODULE library = GetModuleHandleW(L"QT741DLL.dll");
    if (library != NULL) GetModuleFileNameW(library, path, MAX_PATH);
    Log(std::wstring(L"Card desk: the library is ") + (path[0] != L'\0' ? path : L"QT741DLL.dll (path unknown)"));
    RefreshPorts();
    UpdateNotes();
    EnableWindow(Item(IDCANCEL), FALSE);
    Status(L"Pick or type a port and press Open.");
}

void Desk::Command(int id, int code) {
    if ((id == IDC_TRACK1 || id == IDC_TRACK2) && code == EN_CHANGE) {
        UpdateNotes();
        return;
    }
    if (id == IDC_PORT && code == CBN_SETFOCUS) {
        // Typing replaces the port's name, as in a field.
        SendMessageW(Item(IDC_PORT), CB_SETEDITSEL, 0, MAKELPARAM(0, -1));
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
    case IDC_REFRESH: RefreshPorts(); break;
    case IDC_OPEN: OpenPort(); break;
    case IDOK: {
        // Enter in the port's field opens it.
        const HWND focus = GetFocus();
        if (focus == Item(IDC_PORT) || GetParent(focus) == Item(IDC_PORT)) OpenPort();
        break;
    }
    case IDC_CLOSE: {
        auto work = std::make_unique<Work>();
        work->call = Call::Close;
        Begin(std::move(work));
        break;
    }
    case IDC_WRITE: Write(); break;
    case IDC_READ: Read(); break;
    case IDC_RESET:
    case IDC_READ_OK:
    case IDC_WRITE_OK: {
        auto work = std::make_unique<Work>();
        work->call = id == IDC_RESET ? Call::Reset : id == IDC_READ_OK ? Call::ReadStatus : Call::WriteStatus;
        Begin(std::move(work));
        break;
    }
    case IDCANCEL: Cancel(); break;
    case IDC_COPY: CopyLog(); break;
    case IDC_CLEAR: SetDlgItemTextW(window_, IDC_LOG, L""); break;
    default: break;
    }
}

void Desk::Layout(int width, int height) {
    if (anchors_.empty()) return;
    const int dx = width - client_.cx;
    const int dy = height - client_.cy;
    HDWP positions = BeginDeferWindowPos(static_cast<int>(anchors_.size()));
    for (const Anchor& anchor : anchors_) {
        const RECT& r = anchor.rect;
        const int x = r.left + (anchor.moveX ? dx : 0);
        const int w = r.right - r.left + (anchor.stretchX ? dx : 0);
        const int h = r.bottom - r.top + (anchor.stretchY ? dy : 0);
        if (positions != NULL)
            positions = DeferWindowPos(positions, Item(anchor.id), NULL, x, r.top, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (positions != NULL) EndDeferWindowPos(positions);
    // Statics repaint their text only where it grew.
    InvalidateRect(window_, NULL, TRUE);
}

void Desk::RefreshPorts() {
    std::vector<std::wstring> problems;
    const std::vector<std::wstring> ports = SerialPorts(problems);
    const HWND combo = Item(IDC_PORT);
    const std::wstring typed = Text(IDC_PORT);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    std::wstring list;
    for (const std::wstring& port : ports) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.c_str()));
        list += (list.empty() ? L"" : L", ") + port;
    }
    if (!typed.empty()) {
        SetWindowTextW(combo, typed.c_str());
    } else if (!ports.empty()) {
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
    }
    Log(L"Serial ports: " + (list.empty() ? std::wstring(L"none found") : list));
    for (const std::wstring& problem : problems)
        Log(std::wstring(kIndent) + problem);
}

void Desk::UpdateNotes() {
    const std::wstring track1 = Text(IDC_TRACK1);
    const std::wstring track2 = Text(IDC_TRACK2);
    const TrackNote note1 = CheckTrack(1, track1, track2);
    const TrackNote note2 = CheckTrack(2, track2, track1);
    warning1_ = note1.warning;
    warning2_ = note2.warning;
    SetDlgItemTextW(window_, IDC_TRACK1_NOTE, note1.text.c_str());
    SetDlgItemTextW(window_, IDC_TRACK2_NOTE, note2.text.c_str());
}

void Desk::OpenPort() {
    std::wstring port = Text(IDC_PORT);
    while (!port.empty() && port.back() == L' ')
        port.pop_back();
    while (!port.empty() && port.front() == L' ')
        port.erase(0, 1);
    std::string name;
    std::wstring error;
    if (port.empty() || !TrackBytes(0, port, name, error)) {
        Status(L"Type or pick a port first, e.g. COM1.");
        return;
    }
    auto work = std::make_unique<Work>();
    work->call = Call::Open;
    work->port = name;
    Begin(std::move(work));
}

void Desk::Write() {
    const std::wstring text1 = Text(IDC_TRACK1);
    const std::wstring text2 = Text(IDC_TRACK2);
    auto work = std::make_unique<Work>();
    std::wstring error;
    if (!TrackBytes(1, text1, work->track1, error) || !TrackBytes(2, text2, work->track2, error)) {
        Status(L"Not written: " + error + L".");
        return;
    }
    if (text1.empty() && text2.empty()) {
        Status(L"Type a track to write first.");
        return;
    }
    work->call = text2.empty() ? Call::Write1 : text1.empty() ? Call::Write2 : Call::Write12;
    Begin(std::move(work));
}

void Desk::Read() {
    auto work = std::make_unique<Work>();
    const LRESULT choice = SendMessageW(Item(IDC_READ_TRACKS), CB_GETCURSEL, 0, 0);
    work->call = choice == 1 ? Call::Read1 : choice == 2 ? Call::Read2 : Call::Read12;
    Begin(std::move(work));
}

void Desk::Begin(std::unique_ptr<Work> work) {
    if (busy_) return;
    work->window = window_;
    const Call call = work->call;
    const std::wstring action = Action(*work);
    const bool cancellable = WaitsForSwipe(call);
    // The focus leaves the buttons before they are disabled, for Cancel where it can run.
    busy_ = true;
    running_ = call;
    focusBefore_ = GetFocus();
    EnableWindow(Item(IDCANCEL), cancellable);
    if (cancellable) {
        Focus(Item(IDCANCEL));
    } else {
        for (const int id : kCallButtons)
            if (focusBefore_ == Item(id)) Focus(Item(IDC_TRACK1));
    }
    for (const int id : kCallButtons)
        EnableWindow(Item(id), FALSE);
    DWORD error = 0;
    if (!Start(work.get(), error)) {
        Finish(nullptr);
        Status(action + L": CreateThread failed (" + SystemError(error) + L"); nothing was called.");
        return;
    }
    work.release(); // the worker's now, then the window's again with kWorkDone
    Status(cancellable ? L"Swipe a card\u2026 (" + action + L"; Esc cancels)" : action + L"\u2026");
}

void Desk::Finish(std::unique_ptr<Work> work) {
    busy_ = false;
    for (const int id : kCallButtons)
        EnableWindow(Item(id), !closing_);
    const HWND focus = GetFocus();
    if (focus == NULL || focus == Item(IDCANCEL) || focus == Item(IDC_TRACK1)) {
        if (focusBefore_ != NULL && IsWindowEnabled(focusBefore_)) Focus(focusBefore_);
    }
    EnableWindow(Item(IDCANCEL), FALSE);
    if (!work) return;

    const std::wstring words = ResultWords(*work);
    Log(Clock(work->made) + L"  " + Invocation(*work) + L" -> " + std::to_wstring(work->code) + L": " + words + L" " +
        Milliseconds(work->ms));
    std::wstring status = Action(*work) + L": " + words + L".";
    const std::wstring port = TrackText(work->port);
    switch (work->call) {
    case Call::Open:
        if (work->code >= 1) {
            portOpen_ = true;
            openPort_ = port;
            status = work->code == 1 ? port + L" is open." : port + L" is " + words + L".";
        } else {
            // A failed open closes the port that was open, unless it was refused
            // before anything changed.
            const bool nothingChanged =
                work->code == 0 || work->code == -static_cast<int>(ERROR_BUSY) || work->code == -ERROR_INVALID_NAME;
            if (!nothingChanged) portOpen_ = false;
            status = port + L" could not be opened: " + words + L".";
        }
        break;
    case Call::Close:
        if (work->code == 1) {
            status = portOpen_ ? openPort_ + L" is closed." : L"Closed.";
            portOpen_ = false;
        }
        break;
    case Call::Write1:
    case Call::Write2:
    case Call::Write12:
        if (work->code == CARD_OK) {
            const bool one = work->call != Call::Write2;
            const bool two = work->call != Call::Write1;
            if (one) track1Written_ = work->track1;
            if (two) track2Written_ = work->track2;
            written1_ = written1_ || one;
            written2_ = written2_ || two;
            status = Action(*work) + L": done. Read the card to check it.";
        }
        break;
    case Call::Read1:
    case Call::Read2:
    case Call::Read12: {
        const bool one = work->call != Call::Read2;
        const bool two = work->call != Call::Read1;
        // A failed read may still have delivered tracks; only a good one fills the fields.
        if (work->code == CARD_OK || !work->track1.empty() || !work->track2.empty()) {
            if (one) Log(std::wstring(kIndent) + L"track 1: " + Quoted(work->track1));
            if (two) Log(std::wstring(kIndent) + L"track 2: " + Quoted(work->track2));
        }
        if (work->code != CARD_OK) break;
        if (IsDlgButtonChecked(window_, IDC_FILL) == BST_CHECKED) {
            if (one) SetDlgItemTextW(window_, IDC_TRACK1, TrackText(work->track1).c_str());
            if (two) SetDlgItemTextW(window_, IDC_TRACK2, TrackText(work->track2).c_str());
        }
        const std::wstring comparison = Compare(*work);
        Log(std::wstring(kIndent) + comparison);
        status = Action(*work) + L": done; " + comparison + L".";
        break;
    }
    case Call::ReadStatus:
    case Call::WriteStatus:
        status = Action(*work) + (work->code == CARD_OK ? L" Yes." : L" No: " + words + L".");
        break;
    case Call::Reset: break;
    }
    SetDlgItemTextW(window_, IDC_PORT_STATE, portOpen_ ? (openPort_ + L" is open.").c_str() : L"No port is open.");
    Status(status);
    if (closing_) Close();
}

// A read against the tracks last written: "matches what was written", or
// "differs from what was written: track 1 reads ..., ... was written".
std::wstring Desk::Compare(const Work& work) {
    const bool one = work.call != Call::Read2 && written1_;
    const bool two = work.call != Call::Read1 && written2_;
    if (!one && !two) return L"nothing written in this session to compare with";
    std::wstring differences;
    if (one && work.track1 != track1Written_)
        differences += L"track 1 reads " + Quoted(work.track1) + L", " + Quoted(track1Written_) + L" was written";
    if (two && work.track2 != track2Written_)
        differences += std::wstring(differences.empty() ? L"" : L"; ") + L"track 2 reads " + Quoted(work.track2) +
                       L", " + Quoted(track2Written_) + L" was written";
    if (differences.empty()) return L"matches what was written";
    return L"differs from what was written: " + differences;
}

void Desk::Cancel() {
    if (!busy_ || !WaitsForSwipe(running_)) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    // Never refused and never waits: safe on the window's thread.
    const int code = CardCancel();
    QueryPerformanceCounter(&end);
    const double ms =
        static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    Log(Clock(now) + L"  CardCancel -> " + std::to_wstring(code) + L": the call under way was asked to stop " +
        Milliseconds(ms));
    Status(L"Cancelling\u2026");
}

// Closing the window: the call under way ends first (cancelled where it waits
// for a swipe), then the port is closed, then the window.
void Desk::Close() {
    closing_ = true;
    if (busy_) {
        Cancel();
        for (const int id : kCallButtons)
            EnableWindow(Item(id), FALSE);
        Status(L"Closing once the call under way has returned\u2026");
        return;
    }
    if (portOpen_ && !closeMade_) {
        closeMade_ = true;
        auto work = std::make_unique<Work>();
        work->call = Call::Close;
        Begin(std::move(work));
        return;
    }
    DestroyWindow(window_);
}

void Desk::CopyLog() {
    const std::wstring text = Text(IDC_LOG);
    auto failed = [this](const wchar_t* call) {
        Status(std::wstring(L"The log was not copied: ") + call + L" failed (" + SystemError(GetLastError()) + L").");
    };
    if (!OpenClipboard(window_)) return failed(L"OpenClipboard");
    const SIZE_T size = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
    void* data = memory != NULL ? GlobalLock(memory) : NULL;
    if (data == NULL) {
        failed(memory == NULL ? L"GlobalAlloc" : L"GlobalLock");
        if (memory != NULL) GlobalFree(memory);
        CloseClipboard();
        return;
    }
    std::memcpy(data, text.c_str(), size);
    GlobalUnlock(memory);
    if (!EmptyClipboard() || SetClipboardData(CF_UNICODETEXT, memory) == NULL) {
        failed(L"SetClipboardData");
        GlobalFree(memory);
        CloseClipboard();
        return;
    }
    // Done quietly: the status line keeps the last call's result.
    CloseClipboard();
}

void Desk::Log(const std::wstring& line) {
    const HWND log = Item(IDC_LOG);
    const int length = GetWindowTextLengthW(log);
    SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>((line + L"\r\n").c_str()));
}

std::wstring Desk::Text(int id) const {
    const HWND control = Item(id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    const int length = GetWindowTextW(control, &text[0], static_cast<int>(text.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

bool Desk::TakeKey(const MSG& message) {
    if (message.message != WM_KEYDOWN || (message.hwnd != window_ && !IsChild(window_, message.hwnd))) return false;
    if (message.wParam == VK_ESCAPE) {
        // An open drop-down list takes its Escape; elsewhere it is Cancel (and
        // never closes the window, as a multi-line field in a dialog would).
        for (const int id : {IDC_PORT, IDC_READ_TRACKS})
            if (SendMessageW(Item(id), CB_GETDROPPEDSTATE, 0, 0)) return false;
        Cancel();
        return true;
    }
    if (message.wParam == 'A' && GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_MENU) >= 0) {
        wchar_t kind[16] = L"";
        GetClassNameW(message.hwnd, kind, 16);
        if (lstrcmpiW(kind, L"Edit") != 0) return false;
        SendMessageW(message.hwnd, EM_SETSEL, 0, -1);
        return true;
    }
    return false;
}

} // namespace

int Run(HINSTANCE instance, int show) {
    Desk desk;
    const HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_DESK), NULL, Desk::Procedure,
                                           reinterpret_cast<LPARAM>(&desk));
    if (window == NULL) {
        const std::wstring text =
            L"The window could not be made: CreateDialogParamW failed (" + SystemError(GetLastError()) + L").";
        MessageBoxW(NULL, text.c_str(), L"Card desk", MB_ICONERROR | MB_OK);
        return 1;
    }
    ShowWindow(window, show);
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, NULL, 0, 0)) > 0) {
        if (desk.TakeKey(message) || IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return got < 0 ? 1 : static_cast<int>(message.wParam);
}

} // namespace desk
