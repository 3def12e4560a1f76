// Batch files on disk: a CSV file read and decoded, the results written.
#ifndef QT741_DESK_BATCHFILE_H
#define QT741_DESK_BATCHFILE_H

#include <string>

#include "batch.h"

namespace desk {

// Reads a CSV file (ParseBatch) in UTF-8 or, where it is not valid UTF-8, in
// the system's ANSI code page. False with the reason in `error`.
bool LoadBatch(const std::wstring& path, Batch& batch, std::wstring& error);

// Writes the results file (ResultsText), in UTF-8 with a byte order mark. False with the call that failed in `error`.
bool SaveResults(const std::wstring& path, const Batch& batch, std::wstring& error);

} // namespace desk

#endif
