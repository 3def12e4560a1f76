#include "cardfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cardemu {

namespace {

const char kTrack1Key[] = "track1:";
const char kTrack2Key[] = "track2:";

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

} // namespace

std::string escape_track(const Bytes& track) {
    std::string out;
    char cell[5];
    for (char c : track) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u > 0x7E) {
            std::snprintf(cell, sizeof cell, "\\x%02X", static_cast<unsigned>(u));
            out += cell;
        } else {
            out += c;
        }
    }
    return out;
}

bool unescape_track(const std::string& text, Bytes& track, std::string& error) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            i += 1;
            continue;
        }
        const int hi = i + 2 < text.size() && text[i + 1] == 'x' ? hex_digit(text[i + 2]) : -1;
        const int lo = i + 3 < text.size() ? hex_digit(text[i + 3]) : -1;
        if (hi < 0 || lo < 0) {
            error = "bad escape at column " + std::to_string(i + 1) + " (use \\\\ or \\xHH)";
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    track = std::move(out);
    return true;
}

std::string format_card(const Card& card) {
    return std::string(kTrack1Key) + " " + escape_track(card.track1) + "\n" + kTrack2Key + " " +
           escape_track(card.track2) + "\n";
}

bool parse_card(const std::string& text, Card& card, std::string& error) {
    Card out;
    bool seen1 = false;
    bool seen2 = false;
    std::size_t pos = 0;
    for (int line_no = 1; pos < text.size(); ++line_no) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        // Data carriage returns are always escaped, so a bare one is a line end.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;

        const char* key = nullptr;
        Bytes* track = nullptr;
        bool* seen = nullptr;
        if (starts_with(line, kTrack1Key)) {
            key = kTrack1Key, track = &out.track1, seen = &seen1;
        } else if (starts_with(line, kTrack2Key)) {
            key = kTrack2Key, track = &out.track2, seen = &seen2;
        } else {
            error = "line " + std::to_string(line_no) + ": expected 'track1:' or 'track2:'";
            return false;
        }
        if (*seen) {
            error = "line " + std::to_string(line_no) + ": " + key + " given twice";
            return false;
        }
        *seen = true;
        std::string value = line.substr(std::strlen(key));
        // One space after the colon separates; any further spaces are data.
        if (!value.empty() && value[0] == ' ') value.erase(0, 1);
        std::string why;
        if (!unescape_track(value, *track, why)) {
            error = "line " + std::to_string(line_no) + ": " + why;
            return false;
        }
    }
    card = std::move(out);
    return true;
}

LoadResult load_card_file(const std::string& path, Card& card, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        if (errno == ENOENT) return LoadResult::Missing;
        error = errno_text(path);
        return LoadResult::Error;
    }
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    const bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (read_error) {
        error = path + ": read error";
        return LoadResult::Error;
    }
    std::string why;
    if (!parse_card(text, card, why)) {
        error = path + ": " + why;
        return LoadResult::Error;
    }
    return LoadResult::Loaded;
}

bool save_card_file(const std::string& path, const Card& card, std::string& error) {
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno_text(tmp);
        return false;
    }
    const std::string text = format_card(card);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = errno_text(tmp);
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    bool ok = ::fsync(fd) == 0;
    if (!ok) error = errno_text(tmp);
    if (::close(fd) != 0 && ok) {
        error = errno_text(tmp);
        ok = false;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = errno_text(path);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool FileCardStore::load(Card& card, std::string& error) {
    switch (load_card_file(path_, card, error)) {
    case LoadResult::Loaded: return true;
    case LoadResult::Missing: card = Card{}; return true;
    case LoadResult::Error: return false;
    }
    return false;
}

bool FileCardStore::save(const Card& card, std::string& error) { return save_card_file(path_, card, error); }

} // namespace cardemu
