// The desk's window: a modeless dialog (desk.rc) with its own message loop, so
// that Escape and Ctrl+A are the window's wherever the focus is in it. Every
// library call runs on a worker thread (calls.cpp), and so does the search for
// the encoder (find.cpp); while one is under way the buttons that make calls
// are disabled and Cancel (Escape) calls CardCancel. A batch (batch.cpp) runs
// as a chain of such calls, a row at a time.
#include "window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QT741DLL.h"
#include "batch.h"
#include "batchfile.h"
#include "calls.h"
#include "fields.h"
#include "find.h"
#include "ports.h"
#include "resource.h"
#include "run.h"
#include "settings.h"
#include "tracks.h"

namespace desk {
namespace {

// The buttons that make a library call or open a port: disabled while a call
// or a search is under way, and while a batch runs.
const int kCallButtons[] = {IDC_FIND,  IDC_OPEN,    IDC_CLOSE,    IDC_WRITE, IDC_READ,
                            IDC_RESET, IDC_READ_OK, IDC_WRITE_OK, IDC_LOAD};

// How a control follows the window's size: moved right, or stretched.
struct Anchor {
    int id;
    bool moveX;
    bool stretchX;
    bool stretchY;
    RECT rect; // at the first size, in client coordinates
};

const Anchor kAnchors[] = {
    {IDC_BATCH, false, true, false, {}},    {IDC_ROWS, false, true, false, {}},
    {IDC_PROGRESS, false, true, false, {}}, {IDC_BATCH_STATUS, false, true, false, {}},
    {IDC_STATUS, false, true, false, {}},   {IDC_COPY, true, false, false, {}},
    {IDC_CLEAR, true, false, false, {}},    {IDC_LOG, false, true, true, {}},
};

// The batch list's columns and their shares of its width, in percent.
struct Column {
    const wchar_t* title;
    int share;
};
const Column kColumns[] = {{L"#", 6}, {L"Label", 22}, {L"Track 1", 22}, {L"Track 2", 18}, {L"Result", 32}};
const int kResultColumn = 4;

const wchar_t kFindTip[] = L"Sends the two-byte status request (1B 6A) to each listed port in turn, at 9600 8N1, "
                           L"and selects the first where an encoder answers within 300 ms. The port open in this "
                           L"window is not asked.";

std::wstring Clock(const SYSTEMTIME& time) {
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"%02u:%02u:%02u.%03u", time.wHour, time.wMinute, time.wSecond,
                  time.wMilliseconds);
    return text;
}

std::wstring Now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return Clock(now);
}

std::wstring Milliseconds(double ms) {
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"[%.0f ms]", ms);
    return text;
}

// The log's lines under a call start below its text.
const wchar_t kIndent[] = L"              ";

// A track for the batch list: its card number masked, cut to 24 characters.
std::wstring Shortened(int track, const std::string& bytes) {
    const std::wstring text = MaskTrack(track, TrackText(bytes));
    return text.size() > 24 ? text.substr(0, 23) + L"\u2026" : text;
}

// "2026-12-08 16:58:47"
std::wstring TimeText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    return text;
}

class Desk {
public:
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // Keys that belong to the whole window: Escape (Cancel) and Ctrl+A in a
    // field (select all). True when the key was taken.
    bool TakeKey(const MSG& message);
    bool Maximized() const { return settings_.placed && settings_.maximized; }

private:
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Init();
    void Place();
    void Command(int id, int code);
    void Layout(int width, int height);
    void UpdateButtons();
    void Enable(int id, bool enabled);

    void RefreshPorts();
    void UpdateNotes();
    void OpenPort();
    void Write();
    void Read();
    void Find();
    void Found(std::unique_ptr<Search> search);
    void Begin(std::unique_ptr<Work> work, bool batch = false);
    void Finish(std::unique_ptr<Work> work);
    std::wstring Compare(const Work& work);
    void Cancel();
    void Close();
    void Remember();
    void CopyLog();

    // The batch.
    bool FileDialog(bool save, const wchar_t* title, std::wstring& path);
    void LoadRows();
    void SaveRows();
    void ShowRows();
    void StartRow(bool verifying);
    void Follow(const Step& step);
    void BatchButton(Asked asked);
    bool Checked(int id) const { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }

    void Status(const std::wstring& text) { SetDlgItemTextW(window_, IDC_STATUS, text.c_str()); }
    void BatchStatus(const std::wstring& text) { SetDlgItemTextW(window_, IDC_BATCH_STATUS, text.c_str()); }
    void Log(const std::wstring& line);
    std::wstring Text(int id) const;
    HWND Item(int id) const { return GetDlgItem(window_, id); }
    void Focus(HWND control) { SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE); }

    HWND window_ = NULL;
    HWND tooltip_ = NULL;
    Settings settings_;
    bool busy_ = false;
    bool finding_ = false;
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

    Batch batch_;
    BatchRun run_{batch_};
    bool batchCall_ = false; // the call under way is the batch's
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
    case kFindDone: Found(std::unique_ptr<Search>(reinterpret_cast<Search*>(lParam))); return TRUE;
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
    settings_ = LoadSettings();
    const HWND tracks = Item(IDC_READ_TRACKS);
    for (const wchar_t* choice : {L"1 and 2", L"1", L"2"})
        SendMessageW(tracks, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    SendMessageW(tracks, CB_SETCURSEL, settings_.readTracks, 0);
    CheckDlgButton(window_, IDC_FILL, settings_.fill ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window_, IDC_VERIFY, settings_.verify ? BST_CHECKED : BST_UNCHECKED);
    SendMessageW(Item(IDC_LOG), EM_SETLIMITTEXT, 0, 0);

    const HWND rows = Item(IDC_ROWS);
    SendMessageW(rows, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
    RECT list;
    GetClientRect(rows, &list);
    for (int i = 0; i < static_cast<int>(sizeof kColumns / sizeof kColumns[0]); ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(kColumns[i].title);
        column.cx = (list.right - list.left) * kColumns[i].share / 100;
        SendMessageW(rows, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }

    tooltip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, NULL, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, window_, NULL, GetModuleHandleW(NULL), NULL);
    if (tooltip_ != NULL) {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = window_;
        tool.uId = reinterpret_cast<UINT_PTR>(Item(IDC_FIND));
        tool.lpszText = const_cast<wchar_t*>(kFindTip);
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 360);
    }

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
    Place();

    wchar_t path[MAX_PATH] = L"";
    const HMODULE library = GetModuleHandleW(L"QT741DLL.dll");
    if (library != NULL) GetModuleFileNameW(library, path, MAX_PATH);
    Log(std::wstring(L"Card desk: the library is ") + (path[0] != L'\0' ? path : L"QT741DLL.dll (path unknown)"));
    RefreshPorts();
    if (!settings_.port.empty()) SetDlgItemTextW(window_, IDC_PORT, settings_.port.c_str());
    UpdateNotes();
    UpdateButtons();
    Status(L"Pick or type a port and press Open, or press Find to look for the encoder.");
}

// The window where it was last closed, if that place is still on a screen
// and no smaller than the window's first size.
void Desk::Place() {
    if (!settings_.placed) return;
    RECT& place = settings_.place;
    if (place.right - place.left < minimum_.x || place.bottom - place.top < minimum_.y ||
        MonitorFromRect(&place, MONITOR_DEFAULTTONULL) == NULL) {
        settings_.placed = false;
        return;
    }
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    placement.showCmd = SW_HIDE; // Run shows it
    placement.rcNormalPosition = place;
    SetWindowPlacement(window_, &placement);
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
    case IDC_FIND: Find(); break;
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
    case IDC_LOAD: LoadRows(); break;
    case IDC_SAVE: SaveRows(); break;
    case IDC_RUN:
        if (!portOpen_) {
            Status(L"Open the encoder's port first (Find looks for it).");
        } else if (!busy_ && !finding_) {
            Follow(run_.Start(Checked(IDC_VERIFY)));
        }
        break;
    case IDC_PAUSE: BatchButton(Asked::Pause); break;
    case IDC_SKIP: BatchButton(Asked::Skip); break;
    case IDC_RETRY: BatchButton(Asked::Retry); break;
    case IDC_STOP: BatchButton(Asked::Stop); break;
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

// Which buttons work now: the card's while nothing is under way and no batch
// runs; the batch's by the state of its run.
void Desk::UpdateButtons() {
    const RunState run = run_.State();
    const bool idle = !busy_ && !finding_ && !closing_;
    const bool asking = run != RunState::Idle && !closing_ && run_.AskedFor() == Asked::Nothing;
    const bool loaded = !batch_.rows.empty();
    Enable(IDCANCEL, busy_ && WaitsForSwipe(running_));
    for (const int id : kCallButtons)
        Enable(id, idle && run == RunState::Idle);
    Enable(IDC_RUN, idle && loaded && NextNotDone(batch_, 0) < batch_.rows.size() &&
                        (run == RunState::Idle || run == RunState::Paused));
    Enable(IDC_SAVE, idle && loaded && run != RunState::Running);
    Enable(IDC_VERIFY, run == RunState::Idle);
    Enable(IDC_PAUSE, asking && run == RunState::Running && batchCall_);
    for (const int id : {IDC_SKIP, IDC_RETRY, IDC_STOP})
        Enable(id, asking);
}

// Enables or disables a control. The focus leaves one that goes dark, for
// Cancel, Retry, Run or the first track's field, whichever works.
void Desk::Enable(int id, bool enabled) {
    const HWND control = Item(id);
    if (!enabled && GetFocus() == control) {
        const int heirs[] = {IDCANCEL, IDC_RETRY, IDC_RUN, IDC_TRACK1};
        const int* heir = std::find_if(std::begin(heirs), std::end(heirs),
                                       [&](int other) { return other != id && IsWindowEnabled(Item(other)); });
        if (heir != std::end(heirs)) Focus(Item(*heir));
    }
    EnableWindow(control, enabled);
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
    SYSTEMTIME today;
    GetLocalTime(&today);
    const TrackNote note1 = CheckTrack(1, track1, track2, today.wYear, today.wMonth);
    const TrackNote note2 = CheckTrack(2, track2, track1, today.wYear, today.wMonth);
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
        Status(L"Type or pick a port first, e.g. COM1, or press Find.");
        return;
    }
    auto work = std::make_unique<Work>();
    work->call = Call::Open;
    work->port = name;
    Begin(std::move(work));
}

void Desk::Write() {
    // What the library would refuse is not sent: the device is not to blame.
    const BatchRow row = MakeRow(L"", Text(IDC_TRACK1), Text(IDC_TRACK2));
    if (row.state == RowState::Refused) {
        Status(row.result + L" Nothing was sent.");
        Log(Now() + L"  " + row.result + L" Nothing was sent.");
        return;
    }
    auto work = std::make_unique<Work>();
    work->track1 = row.track1;
    work->track2 = row.track2;
    work->call = row.track2.empty() ? Call::Write1 : row.track1.empty() ? Call::Write2 : Call::Write12;
    Begin(std::move(work));
}

void Desk::Read() {
    auto work = std::make_unique<Work>();
    const LRESULT choice = SendMessageW(Item(IDC_READ_TRACKS), CB_GETCURSEL, 0, 0);
    work->call = choice == 1 ? Call::Read1 : choice == 2 ? Call::Read2 : Call::Read12;
    Begin(std::move(work));
}

// Find: each port in the list asked on a worker thread (find.cpp).
void Desk::Find() {
    if (busy_ || finding_ || run_.State() != RunState::Idle) return;
    auto search = std::make_unique<Search>();
    const HWND combo = Item(IDC_PORT);
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    std::wstring list;
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length <= 0) continue;
        std::wstring port(static_cast<size_t>(length) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&port[0]));
        port.resize(static_cast<size_t>(length));
        list += (list.empty() ? L"" : L", ") + port;
        search->ports.push_back(port);
    }
    if (search->ports.empty()) {
        Status(L"No port is listed to ask: press Refresh, or type the encoder's port.");
        return;
    }
    search->skip = portOpen_ ? openPort_ : L"";
    search->window = window_;
    Log(Now() + L"  Find: sends the two-byte status request (1B 6A) to " + list + L" in turn, at 9600 8N1, and waits " +
        std::to_wstring(kFindWaitMs) + L" ms at most for each to answer");
    DWORD error = 0;
    if (!StartFind(search.get(), error)) {
        Status(L"Find: CreateThread failed (" + SystemError(error) + L"); no port was asked.");
        return;
    }
    search.release(); // the finder's now, then the window's again with kFindDone
    finding_ = true;
    UpdateButtons();
    Status(L"Asking each port whether an encoder answers\u2026");
}

void Desk::Found(std::unique_ptr<Search> search) {
    finding_ = false;
    std::wstring first;
    for (const PortAnswer& answer : search->answers) {
        Log(std::wstring(kIndent) + answer.port + L": " + answer.words);
        if (answer.answered && first.empty()) first = answer.port;
    }
    if (!first.empty()) {
        const HWND combo = Item(IDC_PORT);
        SendMessageW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(first.c_str()));
        SetWindowTextW(combo, first.c_str());
        Status(first + L": an encoder answered. Press Open to use it.");
    } else {
        Status(L"No encoder answered" +
               (search->skip.empty() ? std::wstring() : L" (" + search->skip + L" is open here and was not asked)") +
               L". Check that it is plugged in and powered, then Refresh and Find again.");
    }
    UpdateButtons();
    if (closing_) Close();
}

void Desk::Begin(std::unique_ptr<Work> work, bool batch) {
    // While a batch runs, only its own calls are made (and the close of the window's port).
    if (busy_ || finding_ || (!batch && run_.State() != RunState::Idle && !closing_)) return;
    work->window = window_;
    const Call call = work->call;
    const std::wstring action = Action(*work);
    const bool cancellable = WaitsForSwipe(call);
    busy_ = true;
    batchCall_ = batch;
    running_ = call;
    if (!batch) focusBefore_ = GetFocus();
    // The focus goes to Cancel where the call can be cancelled.
    UpdateButtons();
    if (cancellable) Focus(Item(IDCANCEL));
    DWORD error = 0;
    if (!Start(work.get(), error)) {
        busy_ = batchCall_ = false;
        const std::wstring failed = action + L": CreateThread failed (" + SystemError(error) + L"); nothing was called";
        if (batch)
            Follow(run_.Returned(CARD_IO_FAILED, failed, "", "", TimeText()));
        else
            Status(failed + L".");
        UpdateButtons();
        return;
    }
    work.release(); // the worker's now, then the window's again with kWorkDone
    Status(cancellable ? L"Swipe a card\u2026 (" + action + L"; Esc cancels)" : action + L"\u2026");
}

void Desk::Finish(std::unique_ptr<Work> work) {
    busy_ = false;
    const bool batch = batchCall_;
    batchCall_ = false;
    const bool full = Checked(IDC_LOG_FULL);
    const std::wstring words = ResultWords(*work);
    Log(Clock(work->made) + L"  " + Invocation(*work, full) + L" -> " + std::to_wstring(work->code) + L": " + words +
        L" " + Milliseconds(work->ms));
    std::wstring status = Action(*work) + L": " + words + L".";
    const std::wstring port = TrackText(work->port);
    switch (work->call) {
    case Call::Open:
        if (work->code >= 1) {
            portOpen_ = true;
            openPort_ = port;
            status = work->code == 1 ? port + L" is open." : port + L" is " + words + L".";
            settings_.port = port;
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
        if (work->code == CARD_OK && !batch) {
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
            if (one) Log(std::wstring(kIndent) + L"track 1: " + Logged(1, work->track1, full));
            if (two) Log(std::wstring(kIndent) + L"track 2: " + Logged(2, work->track2, full));
        }
        if (work->code != CARD_OK) break;
        SetDlgItemTextW(window_, IDC_CARD,
                        ReadText(one, two, TrackText(work->track1), TrackText(work->track2)).c_str());
        if (batch) break;
        if (Checked(IDC_FILL)) {
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
    // The focus goes back where it was before a call of the card buttons, unless it has moved on.
    const HWND focus = GetFocus();
    const bool restore = !batch && (focus == NULL || focus == Item(IDCANCEL) || focus == Item(IDC_TRACK1));
    if (batch) Follow(run_.Returned(work->code, words, work->track1, work->track2, TimeText()));
    UpdateButtons();
    if (restore && focusBefore_ != NULL && IsWindowEnabled(focusBefore_)) Focus(focusBefore_);
    if (work->call == Call::Open && work->code == 1) Remember();
    if (closing_) Close();
}

// A read against the tracks last written: "matches what was written", or
// "differs from what was written: track 1 from character 12 (36 read, 36 written)".
std::wstring Desk::Compare(const Work& work) {
    const bool one = work.call != Call::Read2 && written1_;
    const bool two = work.call != Call::Read1 && written2_;
    if (!one && !two) return L"nothing written in this session to compare with";
    std::wstring differences;
    const std::wstring difference1 = one ? Difference(work.track1, track1Written_) : L"";
    const std::wstring difference2 = two ? Difference(work.track2, track2Written_) : L"";
    if (!difference1.empty()) differences = L"track 1 " + difference1;
    if (!difference2.empty()) differences += (differences.empty() ? L"track 2 " : L"; track 2 ") + difference2;
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
// for a swipe), and a search ends, then the port is closed, then the window.
void Desk::Close() {
    closing_ = true;
    if (busy_ || finding_) {
        if (batchCall_) run_.Ask(Asked::Stop);
        Cancel();
        UpdateButtons();
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
    Remember();
    DestroyWindow(window_);
}

// The settings as they are now, saved; a failure goes to the log.
void Desk::Remember() {
    const LRESULT choice = SendMessageW(Item(IDC_READ_TRACKS), CB_GETCURSEL, 0, 0);
    settings_.readTracks = choice >= 0 && choice <= 2 ? static_cast<DWORD>(choice) : 0;
    settings_.fill = Checked(IDC_FILL);
    settings_.verify = Checked(IDC_VERIFY);
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (GetWindowPlacement(window_, &placement)) {
        settings_.placed = true;
        settings_.place = placement.rcNormalPosition;
        settings_.maximized = placement.showCmd == SW_SHOWMAXIMIZED;
    }
    std::wstring problem;
    if (!SaveSettings(settings_, problem)) Log(L"The settings were not saved: " + problem);
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

// ---------------------------------------------------------------------------
// The batch

// A file dialog: Open (a file that exists) or Save as (asking before it
// replaces one). False when it was cancelled, or failed (said in the status line).
bool Desk::FileDialog(bool save, const wchar_t* title, std::wstring& path) {
    wchar_t name[4 * MAX_PATH] = L"";
    path.copy(name, sizeof name / sizeof name[0] - 1);
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = L"CSV files (*.csv)\0*.csv\0All files\0*.*\0";
    dialog.lpstrFile = name;
    dialog.nMaxFile = sizeof name / sizeof name[0];
    dialog.lpstrDefExt = L"csv";
    dialog.lpstrTitle = title;
    dialog.Flags =
        OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    if (!(save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog))) {
        const DWORD error = CommDlgExtendedError();
        if (error != 0)
            Status(std::wstring(title) + L": " + (save ? L"GetSaveFileNameW" : L"GetOpenFileNameW") +
                   L" failed (error " + std::to_wstring(error) + L").");
        return false;
    }
    path = name;
    return true;
}

void Desk::LoadRows() {
    std::wstring path;
    if (!FileDialog(false, L"Load a batch of cards", path)) return;
    Batch batch;
    std::wstring error;
    if (!LoadBatch(path, batch, error)) {
        Status(L"No batch loaded from " + path + L": " + error + L".");
        Log(Now() + L"  Batch: " + path + L" not loaded: " + error);
        return;
    }
    batch_ = batch;
    const HWND rows = Item(IDC_ROWS);
    SendMessageW(rows, LVM_DELETEALLITEMS, 0, 0);
    std::wstring refused;
    size_t count = 0;
    for (size_t i = 0; i < batch_.rows.size(); ++i) {
        const std::wstring number = std::to_wstring(i + 1);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<wchar_t*>(number.c_str());
        SendMessageW(rows, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        if (batch_.rows[i].state != RowState::Refused) continue;
        refused += L"\r\n" + std::wstring(kIndent) + L"row " + number + L": " + batch_.rows[i].result;
        ++count;
    }
    ShowRows();
    const std::wstring loaded = std::to_wstring(batch_.rows.size()) + L" rows from " + batch_.name;
    Log(Now() + L"  Batch: " + loaded + L" (" + batch_.encoding + L")" +
        (count > 0 ? L"; " + std::to_wstring(count) + L" cannot be written:" + refused : L""));
    BatchStatus(loaded + (count > 0 ? L"; " + std::to_wstring(count) + L" marked cannot be written." : L"."));
    Status(portOpen_ ? L"Press Run to write the batch, a card at a time."
                     : L"Open the encoder's port, then press Run.");
    UpdateButtons();
}

void Desk::SaveRows() {
    std::wstring path = batch_.name;
    const size_t dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos) path.resize(dot);
    path += L" results.csv";
    if (!FileDialog(true, L"Save the batch's results", path)) return;
    std::wstring error;
    if (!SaveResults(path, batch_, error)) {
        Status(L"The results were not saved to " + path + L": " + error + L".");
        Log(Now() + L"  Batch: results not saved to " + path + L": " + error);
        return;
    }
    Status(L"The results are saved in " + path + L".");
    Log(Now() + L"  Batch: results saved to " + path);
}

// Each row's line in the list: number, label, the tracks (masked, shortened),
// the result; and the progress bar: the rows done of those that can be written.
void Desk::ShowRows() {
    int all = 0, done = 0;
    for (size_t i = 0; i < batch_.rows.size(); ++i) {
        const BatchRow& row = batch_.rows[i];
        const std::wstring cells[] = {row.label, Shortened(1, row.track1), Shortened(2, row.track2), row.result};
        for (int column = 1; column <= kResultColumn; ++column) {
            LVITEMW item{};
            item.iSubItem = column;
            item.pszText = const_cast<wchar_t*>(cells[column - 1].c_str());
            SendMessageW(Item(IDC_ROWS), LVM_SETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item));
        }
        all += row.state == RowState::Refused ? 0 : 1;
        done += row.state == RowState::Done ? 1 : 0;
    }
    SendMessageW(Item(IDC_PROGRESS), PBM_SETRANGE32, 0, all > 0 ? all : 1);
    SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(done), 0);
}

// The row's write, or with `verifying` its read back, on the next swipe.
void Desk::StartRow(bool verifying) {
    const size_t index = run_.Row();
    const BatchRow& row = batch_.rows[index];
    auto work = std::make_unique<Work>();
    work->track1 = row.track1;
    work->track2 = row.track2;
    const bool one = !row.track1.empty();
    const bool two = !row.track2.empty();
    if (verifying)
        work->call = one && two ? Call::Read12 : one ? Call::Read1 : Call::Read2;
    else
        work->call = one && two ? Call::Write12 : one ? Call::Write1 : Call::Write2;
    SendMessageW(Item(IDC_ROWS), LVM_ENSUREVISIBLE, index, FALSE);
    LVITEMW selected{};
    selected.stateMask = selected.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(Item(IDC_ROWS), LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&selected));
    Begin(std::move(work), true);
    if (!busy_) return; // Begin has said why; the row's call returned at once
    const std::wstring swipe =
        run_.CardOf(index) + (verifying ? L": swipe the card again to check it" : L": swipe the next card");
    Status(swipe + L" (Esc cancels).");
    BatchStatus(swipe + (row.label.empty() ? L"." : L" (" + row.label + L")."));
}

// What the run said goes to the log and the status lines; then its next call.
void Desk::Follow(const Step& step) {
    for (const std::wstring& line : step.said)
        Log(Now() + L"  Batch: " + line);
    if (!step.said.empty()) {
        Status(step.said.back());
        BatchStatus(step.said.back());
    }
    ShowRows();
    if (step.next == Next::Write || step.next == Next::ReadBack) StartRow(step.next == Next::ReadBack);
    UpdateButtons();
    if (run_.State() == RunState::Deciding) Focus(Item(IDC_RETRY));
}

// Pause, Skip, Retry and Stop: while the row's call waits, the wait is
// cancelled and the run does the button's wish once the call has returned.
void Desk::BatchButton(Asked asked) {
    if (busy_ && batchCall_) {
        if (run_.Ask(asked)) {
            Cancel();
            UpdateButtons();
        }
        return;
    }
    if (busy_ || finding_) return;
    if (asked == Asked::Skip) Follow(run_.Skip(TimeText()));
    if (asked == Asked::Retry) Follow(run_.Retry());
    if (asked == Asked::Stop) Follow(run_.Stop());
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
        const int lists[] = {IDC_PORT, IDC_READ_TRACKS};
        if (std::any_of(std::begin(lists), std::end(lists),
                        [&](int id) { return SendMessageW(Item(id), CB_GETDROPPEDSTATE, 0, 0) != 0; }))
            return false;
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
    ShowWindow(window, desk.Maximized() ? SW_SHOWMAXIMIZED : show);
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
