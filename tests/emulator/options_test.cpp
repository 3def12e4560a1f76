#include "options.h"

#include <gtest/gtest.h>

namespace cardemu {
namespace {

TEST(Options, Defaults) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse_options({"--card", "c.txt"}, o, error)) << error;
    EXPECT_EQ(o.card_path, "c.txt");
    EXPECT_EQ(o.swipe, SwipeMode::Auto);
    EXPECT_EQ(o.swipe_delay_ms, 300u);
    EXPECT_EQ(o.fault, Fault::None);
    EXPECT_TRUE(o.pacing);
    EXPECT_TRUE(o.link_path.empty());
    EXPECT_TRUE(o.tty_path.empty());
}

TEST(Options, EveryOptionInBothSpellings) {
    const std::vector<std::vector<std::string>> spellings = {
        {"--card", "c", "--link", "/tmp/l", "--control", "/tmp/f", "--log", "/tmp/log", "--swipe", "manual",
         "--swipe-delay", "25", "--fault", "hangup", "--no-pacing"},
        {"--card=c", "--link=/tmp/l", "--control=/tmp/f", "--log=/tmp/log", "--swipe=manual", "--swipe-delay=25",
         "--fault=hangup", "--no-pacing"},
    };
    for (const auto& args : spellings) {
        SCOPED_TRACE(args[0]);
        Options o;
        std::string error;
        ASSERT_TRUE(parse_options(args, o, error)) << error;
        EXPECT_EQ(o.card_path, "c");
        EXPECT_EQ(o.link_path, "/tmp/l");
        EXPECT_EQ(o.control_path, "/tmp/f");
        EXPECT_EQ(o.log_path, "/tmp/log");
        EXPECT_EQ(o.swipe, SwipeMode::Manual);
        EXPECT_EQ(o.swipe_delay_ms, 25u);
        EXPECT_EQ(o.fault, Fault::Hangup);
        EXPECT_FALSE(o.pacing);
    }
    Options o;
    std::string error;
    ASSERT_TRUE(parse_options({"--card", "c", "--tty", "/dev/ttyS1", "--swipe", "enter"}, o, error)) << error;
    EXPECT_EQ(o.tty_path, "/dev/ttyS1");
    EXPECT_EQ(o.swipe, SwipeMode::Enter);
    ASSERT_TRUE(parse_options({"--help"}, o, error)) << error;
    EXPECT_TRUE(o.help);
    Options version;
    ASSERT_TRUE(parse_options({"--version"}, version, error)) << error;
    EXPECT_TRUE(version.version);
    EXPECT_FALSE(version.help);
}

TEST(Options, RejectsBadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--link", "/tmp/l"},
        {"--card"},
        {"--card="},
        {"--card", "c", "extra"},
        {"--card", "c", "--swipe", "sometimes"},
        {"--card", "c", "--swipe-delay", "-1"},
        {"--card", "c", "--swipe-delay", "10ms"},
        {"--card", "c", "--swipe-delay", ""},
        {"--card", "c", "--swipe-delay", "99999999999999999999"},
        {"--card", "c", "--fault", "loud"},
        {"--card", "c", "--no-pacing=1"},
        {"--version=1"},
        {"--card", "c", "--tty", "/dev/ttyS0", "--link", "/tmp/l"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        Options o;
        o.card_path = "untouched";
        std::string error;
        EXPECT_FALSE(parse_options(args, o, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(o.card_path, "untouched");
    }
}

TEST(Commands, ParsesControlLines) {
    struct Case {
        const char* line;
        Command::Kind kind;
        Fault fault;
    };
    const std::vector<Case> cases = {
        {"swipe", Command::Swipe, Fault::None},
        {"  swipe \r", Command::Swipe, Fault::None},
        {"quit", Command::Quit, Fault::None},
        {"", Command::Empty, Fault::None},
        {" \t", Command::Empty, Fault::None},
        {"fault extra", Command::SetFault, Fault::Extra},
        {"fault   none", Command::SetFault, Fault::None},
        {"fault\tsilent", Command::SetFault, Fault::Silent},
        {"fault", Command::Invalid, Fault::None},
        {"fault bogus", Command::Invalid, Fault::None},
        {"faultextra", Command::Invalid, Fault::None},
        {"swipe now", Command::Invalid, Fault::None},
        {"SWIPE", Command::Invalid, Fault::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Command cmd = parse_command(c.line);
        EXPECT_EQ(cmd.kind, c.kind);
        EXPECT_EQ(cmd.fault, c.fault);
        EXPECT_EQ(cmd.kind == Command::Invalid, !cmd.error.empty());
    }
}

} // namespace
} // namespace cardemu
