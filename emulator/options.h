// Command line and control commands of the emulator.
#ifndef CARDEMU_OPTIONS_H
#define CARDEMU_OPTIONS_H

#include <string>
#include <vector>

#include "protocol.h"

namespace cardemu {

enum class SwipeMode {
    Auto,   // the card is swiped a fixed delay after the frame arrives
    Enter,  // a line on standard input swipes the card
    Manual, // only the control command "swipe" does
};

struct Options {
    std::string card_path;
    std::string link_path;
    std::string tty_path;
    std::string control_path;
    std::string log_path;
    SwipeMode swipe = SwipeMode::Auto;
    unsigned swipe_delay_ms = 300;
    Fault fault = Fault::None;
    bool pacing = true;
    bool help = false;
    bool version = false;
};

// `args` excludes the program name. False with a message on a bad command line.
bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error);
const char* usage_text();

struct Command {
    enum Kind { Swipe, SetFault, Quit, Empty, Invalid } kind = Invalid;
    Fault fault = Fault::None;
    std::string error;
};

// One line of control input: "swipe", "fault NAME" or "quit" (surrounding
// blanks ignored); a blank line is Empty.
Command parse_command(const std::string& line);

} // namespace cardemu

#endif
