#include "commands.h"

namespace {

// Appends piece to the frame of length *length; false when it would not fit.
bool Append(char* frame, DWORD* length, const char* piece) {
    const DWORD pieceLength = static_cast<DWORD>(lstrlenA(piece));
    if (pieceLength >= kFrameSize - *length) return false;
    lstrcpyA(frame + *length, piece);
    *length += pieceLength;
    return true;
}

// Copies up to `length` bytes of src, stopping at a zero byte, into out as a
// string of at most outSize - 1 characters.
void CopyBounded(char* out, DWORD outSize, const char* src, DWORD length) {
    DWORD i = 0;
    for (; i < length && i + 1 < outSize && src[i] != '\0'; ++i)
        out[i] = src[i];
    out[i] = '\0';
}

// The data between the leading and the trailing bytes of a reply of count bytes.
DWORD PayloadLength(DWORD count, DWORD leading) {
    return count > leading + kReplyTrailing ? count - leading - kReplyTrailing : 0;
}

} // namespace

DWORD BuildWriteFrame(char* frame, const char* track1, const char* track2) {
    DWORD length = 0;
    frame[0] = '\0';
    bool fits = Append(frame, &length, kWriteLeadIn);
    if (fits && track1 != NULL) fits = Append(frame, &length, track1);
    if (fits && track2 != NULL) fits = Append(frame, &length, kTrackSeparator) && Append(frame, &length, track2);
    if (fits) fits = Append(frame, &length, kWriteTerminator);
    return fits ? length : 0;
}

bool StatusPassed(const char* answer, DWORD count) { return count > 0 && answer[count - 1] == kStatusSuccess; }

void ExtractTrack(const char* reply, DWORD count, DWORD leading, char* out, DWORD outSize) {
    CopyBounded(out, outSize, reply + leading, PayloadLength(count, leading));
}

void SplitTracks(const char* reply, DWORD count, char* track1, char* track2, DWORD outSize) {
    const char* payload = reply + kReplyLeading;
    const DWORD length = PayloadLength(count, kReplyLeading);
    DWORD separator = 0;
    while (separator < length && payload[separator] != CARD_GS)
        ++separator;
    CopyBounded(track1, outSize, payload, separator);
    if (separator < length) {
        CopyBounded(track2, outSize, payload + separator + 1, length - separator - 1);
    } else {
        track2[0] = '\0';
    }
}
