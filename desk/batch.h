// A batch of cards: the rows of a CSV file (a header row naming the columns
// track1 and track2, and optionally label), what became of each, and the
// results as a CSV file. No system calls here (batchfile.h reads and writes
// the files).
#ifndef QT741_DESK_BATCH_H
#define QT741_DESK_BATCH_H

#include <array>
#include <string>
#include <vector>

namespace desk {

enum class RowState {
    Pending, // not written yet
    Done,    // written (and, with Verify, read back the same)
    Failed,  // the last try failed
    Skipped, // passed over by the person
    Refused  // the library cannot write it: never sent
};

struct BatchRow {
    std::wstring label;
    std::string track1; // as the device gets them, one byte a character
    std::string track2;
    RowState state = RowState::Pending;
    std::wstring result; // in words, e.g. "written", "Not written: track 1 is 420 characters; ..."
    std::wstring time;   // when the result came, e.g. "2026-12-08 16:58:47"
    bool verified = false;
};

struct Batch {
    std::wstring name;     // the file's name, without its folder
    std::wstring encoding; // "UTF-8", or "ANSI (code page 1252)"
    std::vector<BatchRow> rows;
};

// A data row's fields as the file holds them: track1, track2, label (empty
// where the file has no such column).
using CsvRow = std::array<std::string, 3>;

// The rows of a CSV file's bytes, parsed by libfccp: the header row names the
// columns (track1 or track2 at least; others are passed over), a quoted field
// may hold commas and doubled quotes, no spaces are trimmed, empty lines are
// passed over, a UTF-8 byte order mark is dropped. False with the reason in
// `error` (UTF-8, naming the line), e.g. "Too few columns in line 3 in file
// "cards.csv"."
bool ParseBatch(const std::string& bytes, const std::string& name, std::vector<CsvRow>& rows, std::string& error);

// A row from its decoded fields: Pending, or Refused with the reason as its
// result where the library cannot write it (a track too long or with a
// character of more than one byte, or no track at all).
BatchRow MakeRow(const std::wstring& label, const std::wstring& track1, const std::wstring& track2);

// The results file's text: row, label, result, time and verified for each
// row, CR LF line ends.
std::wstring ResultsText(const Batch& batch);

// Whether a run still has to write the row: Pending, Failed or Skipped.
bool NotDone(const BatchRow& row);

// The index of the first row not done from `from` on; rows.size() when there is none.
size_t NextNotDone(const Batch& batch, size_t from);

} // namespace desk

#endif
