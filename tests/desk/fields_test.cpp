// The desk's reading of a track's fields (desk/fields.cpp): the financial
// layout recognised or not, the card number masked and Luhn-checked, the
// expiry; what the checks of a typed track and the log make of them
// (desk/tracks.cpp); and a call's result in words (desk/words.cpp).
#include <gtest/gtest.h>

#include "QT741DLL.h"
#include "fields.h"
#include "tracks.h"
#include "words.h"

namespace {

struct Row {
    const char* what;
    int track;
    const wchar_t* text;
    const wchar_t* masked; // the track as shown, its card number masked
    bool luhn;
    const wchar_t* described; // the fields in words, without the name; empty: not the financial layout
};

const Row kRows[] = {
    {"track 1, card number masked to its first 6 and last 4", 1, L"%B4111111111111111^DOE/JOHN^2512101?",
     L"%B411111******1111^DOE/JOHN^2512101?", true,
     L"card 411111******1111 (Luhn check passed), expires December 2025, service code 101"},
    {"track 2 without sentinels, a 12-digit card number", 2, L"123456789012=3001201", L"123456**9012=3001201", false,
     L"card 123456**9012 (Luhn check FAILED: a digit is wrong), expires January 2030, service code 201"},
    {"19 digits, and the check character after the end sentinel", 2, L";6011000990139424123=2613000?7",
     L";601100*********4123=2613000?7", false,
     L"card 601100*********4123 (Luhn check FAILED: a digit is wrong), expires month 13 of 2026, service code 000"},
    {"track 1 as some devices deliver it, without sentinels", 1, L"B5555555555554444^GUEST/ONE^3012101",
     L"B555555******4444^GUEST/ONE^3012101", true,
     L"card 555555******4444 (Luhn check passed), expires December 2030, service code 101"},
    {"another layout: a hotel's key", 1, L"%ROOM101^CHECKOUT^0412?", L"%ROOM101^CHECKOUT^0412?", false, L""},
    {"a name longer than 26 characters", 1, L"%B4111111111111111^ABCDEFGHIJKLMNOPQRSTUVWXYZA^2512101?",
     L"%B4111111111111111^ABCDEFGHIJKLMNOPQRSTUVWXYZA^2512101?", false, L""},
    {"no service code", 2, L";4111111111111111=2512?", L";4111111111111111=2512?", false, L""},
};

TEST(DeskFields, Table) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        const desk::CardFields fields = desk::ParseTrack(row.track, row.text);
        EXPECT_EQ(desk::MaskTrack(row.track, row.text), row.masked);
        EXPECT_EQ(fields.financial, row.described[0] != L'\0');
        if (!fields.financial) continue;
        EXPECT_EQ(fields.luhn, row.luhn);
        EXPECT_EQ(desk::Describe(fields, false), row.described);
        EXPECT_EQ(desk::Describe(fields, true).find(L"DOE/JOHN") != std::wstring::npos, fields.name == L"DOE/JOHN");
    }
}

TEST(DeskFields, ShortNumbersShowTheirLastFourAtMost) {
    EXPECT_EQ(desk::MaskPan(L"1234567890"), L"******7890");
    EXPECT_EQ(desk::MaskPan(L"1234"), L"****");
    EXPECT_FALSE(desk::Luhn(L""));
    EXPECT_FALSE(desk::Luhn(L"4111 1111 1111 1111"));
}

TEST(DeskFields, ExpiredBeforeTheMonthAfterIt) {
    const desk::CardFields fields = desk::ParseTrack(1, L"%B4111111111111111^DOE/JOHN^2512101?");
    EXPECT_FALSE(desk::Expired(fields, 2025, 12));
    EXPECT_TRUE(desk::Expired(fields, 2026, 1));
}

TEST(DeskTracks, TypedTracksWarnOfTheLuhnCheckAndTheExpiry) {
    const desk::TrackNote good = desk::CheckTrack(1, L"%B4111111111111111^DOE/JOHN^2512101?", L"", 2025, 12);
    EXPECT_FALSE(good.warning) << good.text;
    const desk::TrackNote bad = desk::CheckTrack(1, L"%B4111111111111112^DOE/JOHN^2512101?", L"", 2026, 1);
    EXPECT_EQ(bad.text, L"36 of 394 characters. Warning: the card number fails the Luhn check; the card expired in "
                        L"December 2025.");
    const desk::TrackNote month = desk::CheckTrack(2, L";4111111111111111=2513101?", L"", 2025, 1);
    EXPECT_NE(month.text.find(L"the expiry's month 13 is not a month"), std::wstring::npos) << month.text;
}

TEST(DeskTracks, TheLogShowsLengthsAndMaskedCardNumbersUnlessAsked) {
    EXPECT_EQ(desk::Logged(1, "%B4111111111111111^DOE/JOHN^2512101?", false),
              L"[36 characters, card 411111******1111]");
    EXPECT_EQ(desk::Logged(2, ";ROOM7?", false), L"[7 characters]");
    EXPECT_EQ(desk::Logged(2, ";ROOM7?", true), L"\";ROOM7?\"");
}

TEST(DeskFields, WhatAReadShows) {
    const wchar_t* track1 = L"%B4111111111111111^DOE/JOHN^2512101?";
    EXPECT_EQ(desk::ReadText(true, true, track1, L";4111111111111111=2512101?"),
              L"Read: card 411111******1111 (Luhn check passed), DOE/JOHN, expires December 2025, service code 101.");
    EXPECT_EQ(desk::ReadText(true, true, track1, L";5555555555554444=2512101?"),
              L"Read: card 411111******1111 (Luhn check passed), DOE/JOHN, expires December 2025, service code 101. "
              L"Track 2 differs: card 555555******4444 (Luhn check passed), expires December 2025, service code 101.");
    EXPECT_EQ(desk::ReadText(false, true, L"", L";ROOM7?"), L"Track 2, another layout: ;ROOM7?");
    EXPECT_EQ(desk::ReadText(true, false, L"", L""), L"Track 1 is empty.");
}

struct WordsRow {
    desk::Call call;
    int code;
    double ms;
    bool delivered;
    const wchar_t* words;
};

// CARD_IO_FAILED told apart by the call's time: a write fails before its pause
// (100 ms, 50 ms for track 2) only when it never left; the status answer is
// waited for 30 s.
const WordsRow kWordsRows[] = {
    {desk::Call::Write12, CARD_IO_FAILED, 99, false, L"the write could not be sent to the port"},
    {desk::Call::Write12, CARD_IO_FAILED, 100, false, L"the device answered that the write failed"},
    {desk::Call::Write2, CARD_IO_FAILED, 60, false, L"the device answered that the write failed"},
    {desk::Call::Write1, CARD_IO_FAILED, 29400, false, L"the device answered that the write failed"},
    {desk::Call::Write1, CARD_IO_FAILED, 30150, false, L"no answer came in time (30 s)"},
    {desk::Call::WriteStatus, CARD_IO_FAILED, 30010, false, L"no answer came in time (30 s)"},
    {desk::Call::ReadStatus, CARD_IO_FAILED, 80, false, L"the device answered that the last read failed"},
    {desk::Call::Read12, CARD_IO_FAILED, 900, true, L"the device answered that the read failed"},
    {desk::Call::Read1, CARD_IO_FAILED, 900, false, L"no answer came from the device"},
    {desk::Call::Read2, CARD_BUSY, 0, false, L"the port is in use by another call (CARD_BUSY)"},
    {desk::Call::Write2, CARD_NOT_OPEN, 0, false, L"the port is not open"},
    {desk::Call::Write2, CARD_CANCELLED, 700, false, L"cancelled"},
    {desk::Call::Reset, CARD_OK, 1, false, L"sent"},
    {desk::Call::Reset, CARD_IO_FAILED, 1, false, L"the reset could not be sent to the port"},
};

TEST(DeskWords, Table) {
    for (const WordsRow& row : kWordsRows) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(row.call) << " " << row.code << " " << row.ms);
        EXPECT_EQ(desk::CardWords(row.call, row.code, row.ms, row.delivered), row.words);
    }
}

} // namespace
