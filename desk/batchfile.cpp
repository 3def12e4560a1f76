// Batch files on disk, through the system: read whole, decoded from UTF-8 or
// the ANSI code page; results written whole.
#include "batchfile.h"

#include <windows.h>

#include "calls.h"

namespace desk {
namespace {

// A day's batch is a few hundred rows; a file this large is not one.
const LONGLONG kLargestFile = 4 * 1024 * 1024;

std::wstring Decode(const std::string& text, UINT codePage) {
    const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), NULL, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), NULL, 0, NULL, NULL);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, NULL, NULL);
    return bytes;
}

bool IsUtf8(const std::string& bytes) {
    return bytes.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                static_cast<int>(bytes.size()), NULL, 0) > 0;
}

bool ReadAll(const std::wstring& path, std::string& bytes, std::wstring& error) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        error = L"CreateFileW failed (" + SystemError(GetLastError()) + L")";
        return false;
    }
    LARGE_INTEGER size{};
    DWORD read = 0;
    bool ok = false;
    if (!GetFileSizeEx(file, &size)) {
        error = L"GetFileSizeEx failed (" + SystemError(GetLastError()) + L")";
    } else if (size.QuadPart > kLargestFile) {
        error = L"it is " + std::to_wstring(size.QuadPart) + L" bytes; a batch is read up to " +
                std::to_wstring(kLargestFile) + L" bytes";
    } else {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        ok = bytes.empty() ||
             (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, NULL) && read == bytes.size());
        if (!ok) error = L"ReadFile failed (" + SystemError(GetLastError()) + L")";
    }
    CloseHandle(file);
    return ok;
}

} // namespace

bool LoadBatch(const std::wstring& path, Batch& batch, std::wstring& error) {
    std::string bytes;
    if (!ReadAll(path, bytes, error)) return false;
    if (bytes.size() >= 2 && (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0)) {
        error = L"it is in UTF-16; save it as CSV in UTF-8 or ANSI";
        return false;
    }
    const UINT codePage = IsUtf8(bytes) ? CP_UTF8 : CP_ACP;
    batch.encoding =
        codePage == CP_UTF8 ? std::wstring(L"UTF-8") : L"ANSI (code page " + std::to_wstring(GetACP()) + L")";
    const size_t slash = path.find_last_of(L"\\/");
    batch.name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    std::vector<CsvRow> rows;
    std::string problem;
    if (!ParseBatch(bytes, Utf8(batch.name), rows, problem)) {
        error = Decode(problem, CP_UTF8);
        return false;
    }
    batch.rows.clear();
    for (const CsvRow& row : rows)
        batch.rows.push_back(MakeRow(Decode(row[2], codePage), Decode(row[0], codePage), Decode(row[1], codePage)));
    return true;
}

bool SaveResults(const std::wstring& path, const Batch& batch, std::wstring& error) {
    // UTF-8 with a byte order mark, which spreadsheets take as its sign.
    const std::string text = "\xEF\xBB\xBF" + Utf8(ResultsText(batch));
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        error = L"CreateFileW failed (" + SystemError(GetLastError()) + L")";
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL) && written == text.size();
    if (!ok) error = L"WriteFile failed (" + SystemError(GetLastError()) + L")";
    if (!CloseHandle(file) && ok) {
        error = L"CloseHandle failed (" + SystemError(GetLastError()) + L")";
        ok = false;
    }
    return ok;
}

} // namespace desk
