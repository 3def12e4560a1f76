// Finding the encoder: each port asked, with the desk's own code, whether an
// encoder answers the status request, on a worker thread.
#ifndef QT741_DESK_FIND_H
#define QT741_DESK_FIND_H

#include <windows.h>

#include <string>
#include <vector>

namespace desk {

// What each port does: 9600 8N1, the two-byte status request (1B 6A), at most
// kFindWaitMs for an answer, then the port is closed.
const DWORD kFindWaitMs = 300;

struct PortAnswer {
    std::wstring port;
    bool answered = false; // an encoder answered
    std::wstring words;    // e.g. "an encoder answered (1B 70)", "no answer", "in use by another program"
};

// One search: the ports to ask in order, the one to leave alone (open in the
// window), and once done the answers.
struct Search {
    std::vector<std::wstring> ports;
    std::wstring skip;
    std::vector<PortAnswer> answers;
    HWND window = NULL; // gets kFindDone when the search is over
};

// Posted to Search::window with the Search (to be deleted by the receiver) in lParam.
const UINT kFindDone = WM_APP + 2;

// Asks the ports on a new thread; false (with the system error) when the thread
// cannot be started. The Search then stays the caller's.
bool StartFind(Search* search, DWORD& error);

} // namespace desk

#endif
