// The fields of a track in the usual financial layout, and what of them may be
// shown: the card number (PAN) masked to its first 6 and last 4 digits.
#ifndef QT741_DESK_FIELDS_H
#define QT741_DESK_FIELDS_H

#include <string>

namespace desk {

// A track in the financial layout: track 1 "%B" PAN "^" NAME "^" YYMM, the
// service code and the issuer's data, "?"; track 2 ";" PAN "=" YYMM, the service
// code and the issuer's data, "?". The sentinels may be missing (some devices
// deliver the data without them); what follows the end sentinel is ignored.
struct CardFields {
    bool financial = false; // the layout was recognised; the fields are empty otherwise
    std::wstring pan;       // 12 to 19 digits
    size_t panAt = 0;       // where the PAN starts in the track
    std::wstring name;      // track 1 only
    int year = 0;           // of the expiry: 2000 + YY
    int month = 0;          // MM as written: 1 to 12, or not a month
    std::wstring serviceCode;
    bool luhn = false; // the PAN passes the Luhn check
};

CardFields ParseTrack(int track, const std::wstring& text);

// Whether the digits pass the Luhn check (the last digit checks the others).
bool Luhn(const std::wstring& digits);

// The PAN with all but its first 6 and last 4 digits as *, e.g.
// 411111******1111. A PAN of 10 digits or fewer shows its last 4 only.
std::wstring MaskPan(const std::wstring& pan);

// The track with its PAN masked where the track is in the financial layout;
// any other track as it is.
std::wstring MaskTrack(int track, const std::wstring& text);

// "December 2025"; "month 13 of 2025" where MM is not a month.
std::wstring ExpiryText(int year, int month);

// Whether the expiry lies before the month given (the card is valid through its
// expiry month).
bool Expired(const CardFields& fields, int year, int month);

// The fields in words, e.g. "card 411111******1111 (Luhn check passed), DOE/JOHN,
// expires December 2025, service code 101"; the name only when asked for.
std::wstring Describe(const CardFields& fields, bool withName);

// What a read of track 1 (`one`), track 2 (`two`) or both delivered, for the
// window: the fields where a track is in the financial layout, e.g. "Read: card
// 411111******1111 (Luhn check passed), DOE/JOHN, expires December 2025,
// service code 101."; other tracks as they are.
std::wstring ReadText(bool one, bool two, const std::wstring& track1, const std::wstring& track2);

} // namespace desk

#endif
