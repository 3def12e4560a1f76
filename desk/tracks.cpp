// Track checks: the library's write limits and the usual character sets.
#include "tracks.h"

#include <cstdio>
#include <vector>

#include "QT741DLL.h"
#include "fields.h"

namespace desk {
namespace {

// What a standard card holds, sentinels included: 79 characters on track 1
// (6-bit alphanumeric), 40 on track 2 (numeric).
const size_t kCardCapacity[] = {0, 79, 40};

std::wstring Number(size_t value) { return std::to_wstring(value); }

// A character for a message: 'a', or \x1B for a byte outside printable ASCII,
// or U+20AC above one byte.
std::wstring Shown(wchar_t c) {
    if (c >= 0x20 && c < 0x7F) return std::wstring(L"'") + c + L"'";
    wchar_t cell[16];
    std::swprintf(cell, sizeof cell / sizeof cell[0], c < 0x100 ? L"\\x%02X" : L"U+%04X", static_cast<unsigned>(c));
    return cell;
}

// Inside the sentinels: track 1 takes the 6-bit set, space to underscore
// (0x20-0x5F, no lower case); track 2 digits and the field separator "=".
bool InSet(int track, wchar_t c) {
    if (track == 1) return c >= 0x20 && c <= 0x5F;
    return (c >= L'0' && c <= L'9') || c == L'=';
}

bool Sentinel(int track, wchar_t c) { return c == L'?' || c == (track == 1 ? L'%' : L';'); }

} // namespace

TrackNote CheckTrack(int track, const std::wstring& text, const std::wstring& other, int year, int month) {
    TrackNote note;
    if (text.empty()) {
        note.text = L"Empty: not written.";
        return note;
    }
    std::vector<std::wstring> warnings;
    if (other.empty()) {
        const size_t limit = track == 1 ? CARD_TRACK1_MAX_WRITE : CARD_TRACK2_MAX_WRITE;
        note.text = Number(text.size()) + L" of " + Number(limit) + L" characters.";
        if (text.size() > limit) warnings.push_back(L"the library writes " + Number(limit) + L" at most");
    } else {
        const size_t total = text.size() + other.size();
        note.text = Number(text.size()) + L" characters; both tracks " + Number(total) + L" of " +
                    Number(CARD_TRACKS_MAX_WRITE) + L".";
        if (total > CARD_TRACKS_MAX_WRITE)
            warnings.push_back(L"the library writes " + Number(CARD_TRACKS_MAX_WRITE) + L" for both at most");
    }
    if (text.size() > kCardCapacity[track])
        warnings.push_back(L"a standard card holds " + Number(kCardCapacity[track]));

    const wchar_t start = track == 1 ? L'%' : L';';
    if (text.front() != start) warnings.push_back(std::wstring(L"no start sentinel ") + start);
    if (text.size() < 2 || text.back() != L'?') warnings.push_back(L"no end sentinel ?");
    // The characters between the sentinels.
    const size_t from = text.front() == start ? 1 : 0;
    const size_t to = text.size() > from && text.back() == L'?' ? text.size() - 1 : text.size();
    size_t strangers = 0, firstStranger = 0, sentinels = 0, firstSentinel = 0;
    for (size_t i = from; i < to; ++i) {
        if (Sentinel(track, text[i])) {
            if (sentinels++ == 0) firstSentinel = i;
        } else if (!InSet(track, text[i])) {
            if (strangers++ == 0) firstStranger = i;
        }
    }
    if (sentinels > 0)
        warnings.push_back(L"sentinel " + Shown(text[firstSentinel]) + L" inside at " + Number(firstSentinel + 1));
    if (strangers > 0) {
        std::wstring warning = Shown(text[firstStranger]) + L" at " + Number(firstStranger + 1) + L" is not a track " +
                               Number(static_cast<size_t>(track)) + L" character (" +
                               (track == 1 ? L"space to _, no lower case" : L"digits and =") + L")";
        if (strangers > 1) warning += L", " + Number(strangers - 1) + L" more";
        warnings.push_back(warning);
    }
    const CardFields fields = ParseTrack(track, text);
    if (fields.financial && !fields.luhn) warnings.push_back(L"the card number fails the Luhn check");
    if (fields.financial && (fields.month < 1 || fields.month > 12))
        warnings.push_back(L"the expiry's month " + Number(static_cast<size_t>(fields.month)) + L" is not a month");
    else if (Expired(fields, year, month))
        warnings.push_back(L"the card expired in " + ExpiryText(fields.year, fields.month));
    if (warnings.empty()) return note;
    note.warning = true;
    note.text += L" Warning: ";
    for (size_t i = 0; i < warnings.size(); ++i)
        note.text += (i == 0 ? L"" : L"; ") + warnings[i];
    note.text += L".";
    return note;
}

std::wstring OverLong(const std::string& track1, const std::string& track2) {
    std::wstring what;
    size_t length = 0, limit = 0;
    if (!track1.empty() && !track2.empty()) {
        what = L"both tracks are ";
        length = track1.size() + track2.size();
        limit = CARD_TRACKS_MAX_WRITE;
    } else if (!track1.empty()) {
        what = L"track 1 is ";
        length = track1.size();
        limit = CARD_TRACK1_MAX_WRITE;
    } else {
        what = L"track 2 is ";
        length = track2.size();
        limit = CARD_TRACK2_MAX_WRITE;
    }
    if (length <= limit) return L"";
    return L"Not written: " + what + Number(length) + L" characters; the encoder takes " + Number(limit) + L".";
}

bool TrackBytes(int track, const std::wstring& text, std::string& bytes, std::wstring& error) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] > 0xFF) {
            error = L"track " + Number(static_cast<size_t>(track)) + L" holds " + Shown(text[i]) + L" at " +
                    Number(i + 1) + L", which is not one byte";
            return false;
        }
        bytes += static_cast<char>(text[i]);
    }
    return true;
}

std::wstring TrackText(const std::string& bytes) {
    std::wstring text;
    for (const char c : bytes)
        text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return text;
}

std::wstring Quoted(const std::string& bytes) {
    std::wstring out = L"\"";
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            out += static_cast<wchar_t>(byte);
        } else {
            wchar_t cell[8];
            std::swprintf(cell, sizeof cell / sizeof cell[0], L"\\x%02X", static_cast<unsigned>(byte));
            out += cell;
        }
    }
    return out + L"\"";
}

std::wstring Difference(const std::string& read, const std::string& written) {
    if (read == written) return L"";
    size_t at = 0;
    while (at < read.size() && at < written.size() && read[at] == written[at])
        ++at;
    return L"from character " + Number(at + 1) + L" (" + Number(read.size()) + L" read, " + Number(written.size()) +
           L" written)";
}

std::wstring Logged(int track, const std::string& bytes, bool full) {
    if (full) return Quoted(bytes);
    const CardFields fields = ParseTrack(track, TrackText(bytes));
    return L"[" + Number(bytes.size()) + L" characters" + (fields.financial ? L", card " + MaskPan(fields.pan) : L"") +
           L"]";
}

} // namespace desk
