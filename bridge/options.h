// cardbridge's command line.
#ifndef CARDBRIDGE_OPTIONS_H
#define CARDBRIDGE_OPTIONS_H

#include <string>
#include <vector>

namespace bridge {

struct options {
    std::vector<std::string> ports; // --serial
    std::string listen_host = "127.0.0.1";
    unsigned short listen_port = 8741; // 0: any free port, printed at start
    std::vector<std::string> origins;  // --allow-origin
    std::string token_file;
    std::string token; // read from token_file
    bool log_tracks = false;
    bool help = false;
    bool version = false;
    bool install = false;    // Windows: start at logon with these options (HKCU Run key)
    bool uninstall = false;  // Windows: no longer
    bool no_console = false; // Windows: give up the console window (what --install records)
};

// Parses argv; false with a one-line message on a bad flag or value.
bool parse_options(int argc, char** argv, options& opts, std::string& error);

extern const char* const usage;

} // namespace bridge

#endif
