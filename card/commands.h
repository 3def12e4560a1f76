// The device's command set: the frames the library sends and the layout of the
// replies it reads back.
#ifndef QT741_CARD_COMMANDS_H
#define QT741_CARD_COMMANDS_H

#include <windows.h>

// Control bytes of the device protocol.
#define CARD_ESC '\x1B'
#define CARD_GS '\x1D'

// Fixed pieces from which frames are built.
static const char kStatusRequest[] = "\x1B\x6A";       // ESC "j"
static const char kResetFrame[] = "\x1B\x30";          // ESC "0"
static const char kWriteLeadIn[] = "\x1B\x74";         // ESC "t"
static const char kTrackSeparator[] = "\x1D";          // GS
static const char kWriteTerminator[] = "\x1D\x1B\x5C"; // GS ESC "\"
static const char kReadTrack1Frame[] = "\x1B\x42\x5D"; // ESC "B" "]"
static const char kReadTrack2Frame[] = "\x1B\x54\x5D"; // ESC "T" "]"
static const char kReadTracksFrame[] = "\x1B\x5D";     // ESC "]"

// A write frame, terminator included, fits this buffer.
const DWORD kFrameSize = 400;
// Capacities of the two kinds of reply read.
const DWORD kTrackReplySize = 400;
const DWORD kStatusAnswerSize = 10;
// Bytes around a track reply's data: 2 leading (3 for track 2 alone), 2 trailing.
const DWORD kReplyLeading = 2;
const DWORD kTrack2ReplyLeading = 3;
const DWORD kReplyTrailing = 2;
// The status answer's last byte when the device reports success.
const char kStatusSuccess = 'p';

// Builds the write frame for track 1 and/or track 2 (NULL: that track is not
// written) in frame: ESC "t", track 1, then GS and track 2 when given, then
// GS ESC "\". Returns the frame's length, or 0 when it would not fit kFrameSize
// with its terminator.
DWORD BuildWriteFrame(char* frame, const char* track1, const char* track2);

// True when the status answer's last byte reports success.
bool StatusPassed(const char* answer, DWORD count);

// Copies a one-track reply's data (the bytes between `leading` leading bytes
// and the 2 trailing ones, up to the first zero byte) into out as a string of at
// most outSize - 1 characters.
void ExtractTrack(const char* reply, DWORD count, DWORD leading, char* out, DWORD outSize);

// Splits a two-track reply's data at its first GS, searched over all of it:
// track 1 before, track 2 after (empty without a GS). Each goes to its buffer
// up to its first zero byte, at most outSize - 1 characters.
void SplitTracks(const char* reply, DWORD count, char* track1, char* track2, DWORD outSize);

#endif
