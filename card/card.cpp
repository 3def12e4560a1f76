// The exported card functions. Every one of them runs the same exchange with
// the device; what differs between them is the data in the tables below.
#include <windows.h>

#include "QT741DLL.h"
#include "calls.h"
#include "commands.h"
#include "exchange.h"
#include "port.h"

namespace {

// Housekeeping on the port after a reply read, besides the result.
enum Cleanup { NOTHING = 0, CLEAR_ERROR = 1, PURGE_RX = 2 };

// The housekeeping for each way a reply read can end.
struct ReplyCleanup {
    unsigned emptyAtOnce;       // completed at once with no bytes
    unsigned emptyAfterWaiting; // completed after waiting with no bytes
    unsigned failed;            // could not be started
    unsigned received;          // delivered bytes
};

// A request that the device answers: the frame, how it goes out, and the read
// of the answer.
struct Request {
    const char* frame;
    bool reopen;         // re-open (and so reconfigure) the port first
    bool cancellable;    // Escape ends the wait for the answer
    bool purgeAfterSend; // discard input again between sending and reading
    DWORD capacity;      // bytes the answer may have
    ReplyCleanup cleanup;
};

// Only the receive buffer is ever purged. A frame written earlier may not have
// left the port yet (a pseudo-terminal or a buffered adapter still holds it
// after the write completed), and clearing the transmit buffer would cut it
// off the line: a reset lost that way leaves the device waiting for a card.
void DiscardInput() { Purge(g_comm, PURGE_RXCLEAR); }

// clang-format off
// The status queries. Columns: frame, reopen, cancellable, purgeAfterSend,
// capacity, then the cleanup when the answer read ends {empty at once, empty
// after waiting, failed, received}.
const Request kIsReadError =  {kStatusRequest, false, false, false, kStatusAnswerSize,
                               {CLEAR_ERROR,            NOTHING,     PURGE_RX, NOTHING}};
const Request kIsWriteError = {kStatusRequest, false, true,  false, kStatusAnswerSize,
                               {CLEAR_ERROR | PURGE_RX, CLEAR_ERROR, PURGE_RX, NOTHING}};
// clang-format on

struct TrackRead {
    Request request;
    DWORD leading;         // bytes before the track data
    bool twoTracks;        // the reply carries both tracks, split at GS
    bool keepsFailedCount; // a read that failed but reported bytes still delivers them
    DWORD bufferSize;      // bytes the host's buffer (each of them) holds
};

// clang-format off
// The track reads: the request (columns as above), then leading, twoTracks,
// keepsFailedCount, bufferSize.
const TrackRead kReadTrack1 = {{kReadTrack1Frame, true, true, true,  kTrackReplySize,
                                {CLEAR_ERROR, CLEAR_ERROR, NOTHING,  NOTHING}},
                               kReplyLeading,       false, true,  CARD_TRACK1_BUFFER_SIZE};
const TrackRead kReadTrack2 = {{kReadTrack2Frame, true, true, false, kTrackReplySize,
                                {CLEAR_ERROR, CLEAR_ERROR, PURGE_RX, PURGE_RX}},
                               kTrack2ReplyLeading, false, false, CARD_TRACK2_BUFFER_SIZE};
const TrackRead kReadTracks = {{kReadTracksFrame, true, true, false, kTrackReplySize,
                                {NOTHING,     NOTHING,     PURGE_RX, PURGE_RX}},
                               kReplyLeading,       true,  false, CARD_TRACKS_BUFFER_SIZE};
// clang-format on

struct TrackWrite {
    bool track1;
    bool track2;
    DWORD pause; // ms the device needs after the frame before it is asked for the status
};

// The track writes. Columns: track1, track2, pause.
const TrackWrite kWriteTrack1 = {true, false, 100};
const TrackWrite kWriteTrack2 = {false, true, 50};
const TrackWrite kWriteTracks = {true, true, 100};

unsigned CleanupFor(const ReplyCleanup& cleanup, const Reply& reply) {
    switch (reply.status) {
    case REPLY_FAILED: return cleanup.failed;
    case REPLY_CANCELLED: return NOTHING;
    case REPLY_AT_ONCE: return reply.count == 0 ? cleanup.emptyAtOnce : cleanup.received;
    case REPLY_AFTER_WAITING: return reply.count == 0 ? cleanup.emptyAfterWaiting : cleanup.received;
    }
    return NOTHING;
}

// Sends the device's reset frame between two purges of the input; no answer is read.
int ResetDevice() {
    if (!g_comm.opened) return CARD_NOT_OPEN;
    DiscardInput();
    if (!SendFrame(g_comm, kResetFrame, static_cast<DWORD>(lstrlenA(kResetFrame)), SEND_BLOCKING)) {
        return CARD_IO_FAILED;
    }
    DiscardInput();
    return CARD_OK;
}

// Sends the request and reads its answer into answer. Returns 0 with the reply
// when the caller decides the result, or a result code when the exchange ended
// the operation (not open, not sent, cancelled). Nothing is sent while a read
// of an earlier call may still complete.
int Exchange(const Request& request, char* answer, Reply& reply) {
    // A press that is over before the operation starts must not cancel it:
    // this first query only consumes it. A cancel request is the call's own
    // from its start on (CallUnderWay forgot older ones).
    if (request.cancellable) ForgetEarlierEscape();
    if (!g_comm.opened) return CARD_NOT_OPEN;
    if (request.reopen) g_comm.OpenPort(g_comm.portName);
    if (!IoReady()) return CARD_IO_FAILED;

    DiscardInput();
    if (!SendFrame(g_comm, request.frame, static_cast<DWORD>(lstrlenA(request.frame)), SEND_POLLING)) {
        return CARD_IO_FAILED;
    }
    if (request.purgeAfterSend) DiscardInput();

    reply = ReadReply(g_comm, answer, request.capacity, request.cancellable);
    const unsigned cleanup = CleanupFor(request.cleanup, reply);
    if (cleanup & CLEAR_ERROR) ClearPortError(g_comm);
    if (cleanup & PURGE_RX) DiscardInput();

    if (reply.status == REPLY_CANCELLED) {
        ResetDevice();
        return CARD_CANCELLED;
    }
    return 0;
}

int QueryStatus(const Request& request) {
    char answer[kStatusAnswerSize] = {0};
    Reply reply;
    const int ended = Exchange(request, answer, reply);
    if (ended != 0) return ended;
    if (reply.status == REPLY_FAILED) return CARD_IO_FAILED; // the status was never read
    return StatusPassed(answer, reply.count) ? CARD_OK : CARD_IO_FAILED;
}

// What a track read delivers, in the call's own storage until the call has ended.
struct Tracks {
    char track1[CARD_TRACK1_BUFFER_SIZE];
    char track2[CARD_TRACKS_BUFFER_SIZE];
    bool delivered;
};

int ReadTracks(const TrackRead& op, Tracks& out) {
    char reply[kTrackReplySize] = {0};
    Reply got;
    const int ended = Exchange(op.request, reply, got);
    if (ended != 0) return ended;

    const bool deliver = got.status == REPLY_FAILED ? op.keepsFailedCount && got.count > 0 : got.count > 0;
    if (got.status != REPLY_FAILED && !deliver) return CARD_IO_FAILED; // no reply
    if (deliver) {
        if (op.twoTracks) {
            SplitTracks(reply, got.count, out.track1, out.track2, op.bufferSize);
        } else {
            ExtractTrack(reply, got.count, op.leading, out.track1, op.bufferSize);
        }
        out.delivered = true;
    }
    return QueryStatus(kIsReadError);
}

int WriteTracks(const TrackWrite& op, const char* frame, DWORD length) {
    if (length == 0) return CARD_IO_FAILED; // refused arguments: nothing is sent
    if (!g_comm.opened) return CARD_NOT_OPEN;
    g_comm.OpenPort(g_comm.portName);
    if (!IoReady()) return CARD_IO_FAILED; // its status could not be read
    DiscardInput();
    if (!SendFrame(g_comm, frame, length, SEND_BLOCKING)) return CARD_IO_FAILED;
    Sleep(op.pause);
    return QueryStatus(kIsWriteError);
}

// 1 while a call of the library is under way. A second call, made on another
// thread meanwhile, finds it set and is refused: g_comm, its records and the
// exchange's storage serve one call at a time, and a refusal costs the call
// under way nothing, where a lock would make the second caller wait for a swipe.
volatile LONG s_callUnderWay = 0;

// Marks the call of an exported function as under way for as long as it runs,
// unless another call is under way already (Entered() is then false). Such a
// call is refused at once: it sends nothing, touches no buffer and leaves a
// pending cancel request to the call under way. A call that is entered forgets
// cancel requests made before it began: one made from then on is its own.
//
// The host's memory is read before a call is marked and written after the mark
// is gone: a host that survives an access violation in a bad buffer (a caught
// exception, a structured handler) finds the library free, not busy for ever.
class CallUnderWay {
public:
    CallUnderWay() : entered_(InterlockedExchange(&s_callUnderWay, 1) == 0) {
        if (entered_) ForgetCancelRequest();
    }
    ~CallUnderWay() {
        if (entered_) InterlockedExchange(&s_callUnderWay, 0);
    }
    bool Entered() const { return entered_; }

private:
    CallUnderWay(const CallUnderWay&);
    CallUnderWay& operator=(const CallUnderWay&);
    bool entered_;
};

// Copies a string the library built into the host's buffer, which holds it. A
// plain loop: a bad buffer faults in the host's call, as any write into it would.
void CopyString(char* to, const char* from) {
    DWORD i = 0;
    for (; from[i] != '\0'; ++i)
        to[i] = from[i];
    to[i] = '\0';
}

int ReadCall(const TrackRead& op, char* track1, char* track2) {
    Tracks got;
    got.delivered = false;
    int result = CARD_IO_FAILED;
    {
        CallUnderWay call;
        if (!call.Entered()) return CARD_BUSY;
        if (track1 != NULL && (!op.twoTracks || track2 != NULL)) result = ReadTracks(op, got);
    }
    if (got.delivered) {
        CopyString(track1, got.track1);
        if (op.twoTracks) CopyString(track2, got.track2);
    }
    return result;
}

int WriteCall(const TrackWrite& op, const char* track1, const char* track2) {
    char frame[kFrameSize] = {0};
    DWORD length = 0; // 0: refused (a NULL track, or too long for one frame)
    if ((!op.track1 || track1 != NULL) && (!op.track2 || track2 != NULL)) {
        length = BuildWriteFrame(frame, op.track1 ? track1 : NULL, op.track2 ? track2 : NULL);
    }
    CallUnderWay call;
    return call.Entered() ? WriteTracks(op, frame, length) : CARD_BUSY;
}

} // namespace

void ForgetCallUnderWay() {
    InterlockedExchange(&s_callUnderWay, 0);
    ForgetCancelRequest();
}

extern "C" {

int QT741_CALL CreatmComm(const char* portName) {
    // A copy of the name, long enough for OpenPort to refuse an over-long one.
    char name[MCOMM_MAX_PORT_NAME + 2];
    const char* copy = NULL;
    if (portName != NULL) {
        DWORD i = 0;
        for (; i <= MCOMM_MAX_PORT_NAME && portName[i] != '\0'; ++i)
            name[i] = portName[i];
        name[i] = '\0';
        copy = name;
    }
    CallUnderWay call;
    // OpenPort only reads the name.
    return call.Entered() ? g_comm.OpenPort(const_cast<char*>(copy)) : -static_cast<int>(ERROR_BUSY);
}

int QT741_CALL DestroymComm(void) {
    CallUnderWay call;
    return call.Entered() ? g_comm.ClosePort() : 0;
}

int QT741_CALL CardReset(void) {
    CallUnderWay call;
    return call.Entered() ? ResetDevice() : CARD_BUSY;
}

int QT741_CALL IsReadError(void) {
    CallUnderWay call;
    return call.Entered() ? QueryStatus(kIsReadError) : CARD_BUSY;
}

int QT741_CALL IsWriteError(void) {
    CallUnderWay call;
    return call.Entered() ? QueryStatus(kIsWriteError) : CARD_BUSY;
}

int QT741_CALL WrTr1Card(const char* track1) { return WriteCall(kWriteTrack1, track1, NULL); }
int QT741_CALL WrTr2Card(const char* track2) { return WriteCall(kWriteTrack2, NULL, track2); }
int QT741_CALL WrTr12Card(const char* track1, const char* track2) { return WriteCall(kWriteTracks, track1, track2); }

int QT741_CALL RadTr1Card(char* track1) { return ReadCall(kReadTrack1, track1, NULL); }
int QT741_CALL RadTr2Card(char* track2) { return ReadCall(kReadTrack2, track2, NULL); }
int QT741_CALL RadTr12Card(char* track1, char* track2) { return ReadCall(kReadTracks, track1, track2); }

// Never refused and never waits: it is how another thread ends the call under way.
int QT741_CALL CardCancel(void) {
    RequestCancel();
    return CARD_OK;
}

} // extern "C"
