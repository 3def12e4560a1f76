// The financial layout of tracks 1 and 2: the PAN, the name, the expiry and the
// service code; the Luhn check and the PAN's mask.
#include "fields.h"

namespace desk {
namespace {

bool Digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The run of digits at `at`, at most `most` of them.
size_t Digits(const std::wstring& text, size_t at, size_t most) {
    size_t count = 0;
    while (at + count < text.size() && count < most && Digit(text[at + count]))
        ++count;
    return count;
}

int Number(const std::wstring& text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i)
        value = value * 10 + (text[i] - L'0');
    return value;
}

const wchar_t* const kMonths[] = {L"January", L"February", L"March",     L"April",   L"May",      L"June",
                                  L"July",    L"August",   L"September", L"October", L"November", L"December"};

} // namespace

CardFields ParseTrack(int track, const std::wstring& text) {
    CardFields fields;
    // The data between the sentinels; the end sentinel may be followed by a check character.
    std::wstring data = text.substr(0, text.find(L'?'));
    size_t at = !data.empty() && data[0] == (track == 1 ? L'%' : L';') ? 1 : 0;
    if (track == 1) {
        if (at >= data.size() || data[at] != L'B') return fields;
        ++at;
    }
    const size_t pan = Digits(data, at, 20);
    if (pan < 12 || pan > 19) return fields;
    size_t next = at + pan;
    if (next >= data.size() || data[next] != (track == 1 ? L'^' : L'=')) return fields;
    ++next;
    std::wstring name;
    if (track == 1) {
        const size_t end = data.find(L'^', next);
        if (end == std::wstring::npos || end - next > 26) return fields;
        name = data.substr(next, end - next);
        next = end + 1;
    }
    if (Digits(data, next, 7) < 7) return fields; // YYMM and the service code
    fields.financial = true;
    fields.pan = data.substr(at, pan);
    fields.panAt = at;
    fields.name = name;
    fields.year = 2000 + Number(data, next, 2);
    fields.month = Number(data, next + 2, 2);
    fields.serviceCode = data.substr(next + 4, 3);
    fields.luhn = Luhn(fields.pan);
    return fields;
}

bool Luhn(const std::wstring& digits) {
    if (digits.empty()) return false;
    int sum = 0;
    bool twice = false;
    for (size_t i = digits.size(); i-- > 0;) {
        if (!Digit(digits[i])) return false;
        int value = digits[i] - L'0';
        if (twice) value = value * 2 > 9 ? value * 2 - 9 : value * 2;
        sum += value;
        twice = !twice;
    }
    return sum % 10 == 0;
}

std::wstring MaskPan(const std::wstring& pan) {
    const size_t shown = pan.size() > 10 ? 6 : 0;
    const size_t last = pan.size() > 4 ? 4 : 0;
    std::wstring masked = pan;
    for (size_t i = shown; i + last < pan.size(); ++i)
        masked[i] = L'*';
    return masked;
}

std::wstring MaskTrack(int track, const std::wstring& text) {
    const CardFields fields = ParseTrack(track, text);
    if (!fields.financial) return text;
    return text.substr(0, fields.panAt) + MaskPan(fields.pan) + text.substr(fields.panAt + fields.pan.size());
}

std::wstring ExpiryText(int year, int month) {
    if (month < 1 || month > 12) return L"month " + std::to_wstring(month) + L" of " + std::to_wstring(year);
    return std::wstring(kMonths[month - 1]) + L" " + std::to_wstring(year);
}

bool Expired(const CardFields& fields, int year, int month) {
    return fields.financial && (fields.year < year || (fields.year == year && fields.month < month));
}

std::wstring Describe(const CardFields& fields, bool withName) {
    std::wstring words = L"card " + MaskPan(fields.pan) +
                         (fields.luhn ? L" (Luhn check passed)" : L" (Luhn check FAILED: a digit is wrong)");
    if (withName && !fields.name.empty()) words += L", " + fields.name;
    words += L", expires " + ExpiryText(fields.year, fields.month);
    return words + L", service code " + fields.serviceCode;
}

std::wstring ReadText(bool one, bool two, const std::wstring& track1, const std::wstring& track2) {
    const CardFields fields1 = ParseTrack(1, track1);
    const CardFields fields2 = ParseTrack(2, track2);
    std::wstring text;
    auto add = [&text](const std::wstring& part) { text += (text.empty() ? L"" : L" ") + part; };
    if (one && fields1.financial) add(L"Read: " + Describe(fields1, true) + L".");
    const bool same = fields1.pan == fields2.pan && fields1.year == fields2.year && fields1.month == fields2.month &&
                      fields1.serviceCode == fields2.serviceCode;
    if (two && fields2.financial && !(one && fields1.financial && same))
        add((one && fields1.financial ? L"Track 2 differs: " : L"Read: ") + Describe(fields2, false) + L".");
    if (one && !fields1.financial) add(track1.empty() ? L"Track 1 is empty." : L"Track 1, another layout: " + track1);
    if (two && !fields2.financial) add(track2.empty() ? L"Track 2 is empty." : L"Track 2, another layout: " + track2);
    return text;
}

} // namespace desk
