// The card file: the one card the device holds, kept as text so a person can
// read and edit it, e.g.
//     track1: %B1234^DOE/JOHN^2512?
//     track2: ;1234=2512?
// Bytes outside 0x20..0x7E and the backslash itself are written as \xHH and \\.
#ifndef CARDEMU_CARDFILE_H
#define CARDEMU_CARDFILE_H

#include <string>

#include "protocol.h"

namespace cardemu {

std::string escape_track(const Bytes& track);
// False (with a message) on a dangling backslash or a bad \x escape.
bool unescape_track(const std::string& text, Bytes& track, std::string& error);

std::string format_card(const Card& card);
// Accepts blank lines and '#' comments; a track that has no line is blank.
bool parse_card(const std::string& text, Card& card, std::string& error);

enum class LoadResult { Loaded, Missing, Error };
LoadResult load_card_file(const std::string& path, Card& card, std::string& error);
// Writes a temporary file beside `path` and renames it over `path`, so a reader
// never sees half a card.
bool save_card_file(const std::string& path, const Card& card, std::string& error);

// The card is the file: read before every swipe (so it can be edited while the
// emulator runs), written after every write. A missing file is a blank card.
class FileCardStore : public CardStore {
public:
    explicit FileCardStore(std::string path) : path_(std::move(path)) {}
    bool load(Card& card, std::string& error) override;
    bool save(const Card& card, std::string& error) override;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace cardemu

#endif
