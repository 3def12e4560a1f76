// Batches: CSV parsed by libfccp (Debian's libfccp-dev, header only), rows
// checked against what the library writes, results as CSV.
#include "batch.h"

#include <cstring>
// libfccp's csv.h uses std::numeric_limits without including it. Its error
// types copy the file's name with strncpy and terminate it themselves, which
// GCC's optimizer reports from inside the header even though it is a system
// header: that one warning is off for it alone.
#include <limits>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-truncation"
#endif
#include <libfccp/csv.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "tracks.h"

namespace desk {
namespace {

// A field of the results file: quoted where it holds a separator, a quote, a
// line end, or spaces at its ends.
std::wstring Field(const std::wstring& text) {
    const bool plain = text.find_first_of(L",\"\r\n") == std::wstring::npos &&
                       (text.empty() || (text.front() != L' ' && text.back() != L' '));
    if (plain) return text;
    std::wstring quoted = L"\"";
    for (const wchar_t c : text)
        quoted += c == L'"' ? std::wstring(L"\"\"") : std::wstring(1, c);
    return quoted + L"\"";
}

} // namespace

bool ParseBatch(const std::string& bytes, const std::string& name, std::vector<CsvRow>& rows, std::string& error) {
    rows.clear();
    try {
        io::CSVReader<3, io::trim_chars<>, io::double_quote_escape<',', '"'>, io::throw_on_overflow,
                      io::empty_line_comment>
            reader(name, bytes.data(), bytes.data() + bytes.size());
        reader.read_header(io::ignore_extra_column | io::ignore_missing_column, "track1", "track2", "label");
        if (!reader.has_column("track1") && !reader.has_column("track2")) {
            error = "its header row names neither a track1 nor a track2 column";
            return false;
        }
        for (;;) {
            char* fields[3] = {nullptr, nullptr, nullptr};
            if (!reader.read_row(fields[0], fields[1], fields[2])) break;
            CsvRow row;
            for (size_t i = 0; i < row.size(); ++i)
                if (fields[i] != nullptr) row[i] = fields[i];
            rows.push_back(row);
        }
    } catch (const io::error::base& e) {
        error = e.what();
        return false;
    }
    if (rows.empty()) error = "it holds no rows below its header row";
    return !rows.empty();
}

BatchRow MakeRow(const std::wstring& label, const std::wstring& track1, const std::wstring& track2) {
    BatchRow row;
    row.label = label;
    std::wstring error;
    if (!TrackBytes(1, track1, row.track1, error) || !TrackBytes(2, track2, row.track2, error))
        row.result = L"Not written: " + error + L".";
    else if (track1.empty() && track2.empty())
        row.result = L"Not written: no track to write.";
    else
        row.result = OverLong(row.track1, row.track2);
    row.state = row.result.empty() ? RowState::Pending : RowState::Refused;
    return row;
}

std::wstring ResultsText(const Batch& batch) {
    std::wstring text = L"row,label,result,time,verified\r\n";
    for (size_t i = 0; i < batch.rows.size(); ++i) {
        const BatchRow& row = batch.rows[i];
        text += std::to_wstring(i + 1) + L"," + Field(row.label) + L"," +
                Field(row.result.empty() ? std::wstring(L"not done") : row.result) + L"," + Field(row.time) + L"," +
                (row.verified ? L"verified" : L"") + L"\r\n";
    }
    return text;
}

bool NotDone(const BatchRow& row) {
    return row.state == RowState::Pending || row.state == RowState::Failed || row.state == RowState::Skipped;
}

size_t NextNotDone(const Batch& batch, size_t from) {
    while (from < batch.rows.size() && !NotDone(batch.rows[from]))
        ++from;
    return from;
}

} // namespace desk
