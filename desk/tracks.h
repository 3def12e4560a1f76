// What the desk knows about track data: the limits of the library's write
// functions (QT741DLL.h) and the usual magnetic-stripe character sets. The
// device takes raw bytes, so these only warn; a track is sent as typed.
#ifndef QT741_DESK_TRACKS_H
#define QT741_DESK_TRACKS_H

#include <string>

namespace desk {

// The note under a track's field: how long it is against the limit that
// applies, and what looks wrong, e.g. "27 of 394 characters. Warning: does not
// end with the end sentinel ?". `other` is the other field's text: when both
// are filled they are written together, against one shared limit.
struct TrackNote {
    std::wstring text;
    bool warning = false;
};
// In the financial layout the card number's Luhn check and the expiry against
// the month given (`year`, `month`: today's) are checked too.
TrackNote CheckTrack(int track, const std::wstring& text, const std::wstring& other, int year, int month);

// Why the library would refuse to write these tracks (an empty one is not
// written), e.g. "Not written: both tracks are 443 characters; the encoder
// takes 393."; empty when it writes them.
std::wstring OverLong(const std::string& track1, const std::string& track2);

// The field's text as the bytes the device gets: one byte per character
// (U+0000 to U+00FF). False when a character has no single byte; `error` then
// says which, e.g. "track 1 holds U+20AC at 5".
bool TrackBytes(int track, const std::wstring& text, std::string& bytes, std::wstring& error);

// Bytes read from a card as text for a field (each byte one character).
std::wstring TrackText(const std::string& bytes);

// Track data quoted for the log: "%B12^A?", bytes outside printable ASCII as \xNN.
std::wstring Quoted(const std::string& bytes);

// Where a track read differs from the one written: "from character 12 (36
// read, 36 written)"; empty when they are the same. Says nothing of the data.
std::wstring Difference(const std::string& read, const std::string& written);

// Track data as the log shows it: quoted in full when `full` (the person asked
// for it), otherwise its length and, in the financial layout, the masked card
// number, e.g. [36 characters, card 411111******1111].
std::wstring Logged(int track, const std::string& bytes, bool full);

} // namespace desk

#endif
