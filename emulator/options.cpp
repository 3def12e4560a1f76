#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace cardemu {

namespace {

bool parse_ms(const std::string& text, unsigned& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > 3600UL * 1000UL) return false;
    out = static_cast<unsigned>(v);
    return true;
}

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const std::size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

} // namespace

const char* usage_text() {
    return "usage: cardemu --card FILE [options]\n"
           "  --card FILE          card file (text; missing = blank card, created on first write)\n"
           "  --link PATH          also make PATH a symlink to the pty (replaced if it exists)\n"
           "  --tty PATH           use an existing tty instead of a new pty\n"
           "  --swipe MODE         auto (default), enter (a line on stdin), manual (command 'swipe')\n"
           "  --swipe-delay MS     auto swipe this long after the frame arrives (default 300)\n"
           "  --control PATH       also read control commands from a FIFO made at PATH\n"
           "  --fault NAME         none, silent, badstatus, notrailer, extra, hangup\n"
           "  --log FILE           log to FILE instead of stderr\n"
           "  --no-pacing          send replies at once instead of at 9600 baud\n"
           "  --help               this text\n"
           "  --version            cardemu's version and copyright\n"
           "control commands (stdin, FIFO): swipe | fault NAME | quit\n";
}

bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error) {
    Options out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_value = false;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        auto take_value = [&]() {
            if (has_value) return true;
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto flag_only = [&]() {
            if (has_value) error = name + " takes no value";
            return !has_value;
        };

        if (name == "--help" || name == "-h") {
            if (!flag_only()) return false;
            out.help = true;
        } else if (name == "--version") {
            if (!flag_only()) return false;
            out.version = true;
        } else if (name == "--no-pacing") {
            if (!flag_only()) return false;
            out.pacing = false;
        } else if (name == "--card" || name == "--link" || name == "--tty" || name == "--control" || name == "--log") {
            if (!take_value()) return false;
            if (value.empty()) {
                error = name + " needs a non-empty path";
                return false;
            }
            std::string& target = name == "--card"   ? out.card_path
                                  : name == "--link" ? out.link_path
                                  : name == "--tty"  ? out.tty_path
                                  : name == "--log"  ? out.log_path
                                                     : out.control_path;
            target = value;
        } else if (name == "--swipe") {
            if (!take_value()) return false;
            if (value == "auto") {
                out.swipe = SwipeMode::Auto;
            } else if (value == "enter") {
                out.swipe = SwipeMode::Enter;
            } else if (value == "manual") {
                out.swipe = SwipeMode::Manual;
            } else {
                error = "--swipe: expected auto, enter or manual, got '" + value + "'";
                return false;
            }
        } else if (name == "--swipe-delay") {
            if (!take_value()) return false;
            if (!parse_ms(value, out.swipe_delay_ms)) {
                error = "--swipe-delay: expected milliseconds (0..3600000), got '" + value + "'";
                return false;
            }
        } else if (name == "--fault") {
            if (!take_value()) return false;
            const auto fault = parse_fault(value);
            if (!fault) {
                error = "--fault: unknown fault '" + value + "'";
                return false;
            }
            out.fault = *fault;
        } else {
            error = "unknown argument '" + args[i] + "'";
            return false;
        }
    }
    if (!out.help && !out.version && out.card_path.empty()) {
        error = "--card FILE is required";
        return false;
    }
    if (!out.tty_path.empty() && !out.link_path.empty()) {
        error = "--link applies to a new pty only, not with --tty";
        return false;
    }
    options = out;
    return true;
}

Command parse_command(const std::string& line) {
    Command c;
    const std::string text = trim(line);
    if (text.empty()) {
        c.kind = Command::Empty;
    } else if (text == "swipe") {
        c.kind = Command::Swipe;
    } else if (text == "quit") {
        c.kind = Command::Quit;
    } else if (text.rfind("fault", 0) == 0 && (text.size() == 5 || text[5] == ' ' || text[5] == '\t')) {
        const std::string name = trim(text.substr(5));
        const auto fault = parse_fault(name);
        if (fault) {
            c.kind = Command::SetFault;
            c.fault = *fault;
        } else {
            c.error = "unknown fault '" + name + "'";
        }
    } else {
        c.error = "unknown command '" + text + "'";
    }
    return c;
}

} // namespace cardemu
