#include "cardfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace cardemu {
namespace {

// A fresh directory under the test temp dir, removed afterwards.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/cardemu-test-XXXXXX";
        path_ = ::mkdtemp(templ.data()) ? templ : std::string();
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(CardFile, EscapesOnlyWhatIsNotPlainText) {
    struct Case {
        Bytes track;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"%B123^DOE/J^25?", "%B123^DOE/J^25?"},
        {" lead and trail ", " lead and trail "},
        {"a\\b", "a\\\\b"},
        {std::string("\x1B\x1D\n\r\x7F", 5), "\\x1B\\x1D\\x0A\\x0D\\x7F"},
        {std::string("\x00\xFF", 2), "\\x00\\xFF"},
        {"\\x41", "\\\\x41"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(escape_track(c.track), c.text);
        Bytes back;
        std::string error;
        ASSERT_TRUE(unescape_track(c.text, back, error)) << error;
        EXPECT_EQ(back, c.track);
    }
}

TEST(CardFile, EveryByteValueRoundTrips) {
    Card card;
    for (int i = 0; i < 256; ++i)
        card.track1 += static_cast<char>(i);
    card.track2 = " " + card.track1 + " ";
    const std::string text = format_card(card);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    Card back;
    std::string error;
    ASSERT_TRUE(parse_card(text, back, error)) << error;
    EXPECT_EQ(back, card);
}

TEST(CardFile, ParsesWhatAPersonMightWrite) {
    struct Case {
        const char* name;
        std::string text;
        Card card;
    };
    const std::vector<Case> cases = {
        {"plain", "track1: AB\ntrack2: 12\n", {"AB", "12"}},
        {"order and comments", "# my card\n\ntrack2: 12\ntrack1: AB\n", {"AB", "12"}},
        {"CRLF line ends", "track1: AB\r\ntrack2: 12\r\n", {"AB", "12"}},
        {"no final newline", "track1: AB\ntrack2: 12", {"AB", "12"}},
        {"no space after colon", "track1:AB\n", {"AB", ""}},
        {"extra spaces are data", "track1:  AB \n", {" AB ", ""}},
        {"one track only", "track2: 12\n", {"", "12"}},
        {"lower-case hex", "track1: \\x1b\\xfF\n", {std::string("\x1B\xFF", 2), ""}},
        {"empty file", "", {"", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Card card{"stale", "stale"};
        std::string error;
        ASSERT_TRUE(parse_card(c.text, card, error)) << error;
        EXPECT_EQ(card, c.card);
    }
}

TEST(CardFile, RejectsMalformedText) {
    for (const char* text : {"track3: x\n", "track1: a\ntrack1: b\n", "Track1: a\n", "track1: \\q\n", " track1: a\n",
                             "track1: a\\\n", "track1: \\x4\n", "track1: \\xG1\n", "track1: \\X41\n"}) {
        SCOPED_TRACE(text);
        Card card{"keep", "keep"};
        std::string error;
        EXPECT_FALSE(parse_card(text, card, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(card, (Card{"keep", "keep"}));
    }
}

TEST(CardFile, SaveAndLoadThroughTheFile) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.file("card.txt");
    Card card;
    std::string error;
    EXPECT_EQ(load_card_file(path, card, error), LoadResult::Missing);

    const Card written{std::string("%A\x1B\\?", 5), ";1=2?"};
    ASSERT_TRUE(save_card_file(path, written, error)) << error;
    EXPECT_EQ(read_file(path), "track1: %A\\x1B\\\\?\ntrack2: ;1=2?\n");
    ASSERT_EQ(load_card_file(path, card, error), LoadResult::Loaded) << error;
    EXPECT_EQ(card, written);

    // Overwriting replaces the file whole and leaves no temporary behind.
    ASSERT_TRUE(save_card_file(path, Card{"B", ""}, error)) << error;
    EXPECT_EQ(read_file(path), "track1: B\ntrack2: \n");
    EXPECT_EQ(std::system(("test $(ls -A '" + dir.path() + "' | wc -l) -eq 1").c_str()), 0);
}

TEST(FileCardStore, MissingFileIsABlankCardAndWritesCreateIt) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    FileCardStore store(dir.file("card.txt"));
    Card card{"x", "y"};
    std::string error;
    ASSERT_TRUE(store.load(card, error));
    EXPECT_EQ(card, Card{});
    ASSERT_TRUE(store.save(Card{"1", "2"}, error));
    ASSERT_TRUE(store.load(card, error));
    EXPECT_EQ(card, (Card{"1", "2"}));

    std::ofstream(dir.file("card.txt")) << "track1: \\z\n";
    EXPECT_FALSE(store.load(card, error));
}

} // namespace
} // namespace cardemu
