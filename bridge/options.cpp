// cardbridge's command line: every value is checked before anything listens.
#include "options.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace bridge {

const char* const usage = "usage: cardbridge --serial PORT [--serial PORT...] [--listen 127.0.0.1:8741]\n"
                          "                  [--allow-origin ORIGIN...] [--token-file FILE] [--log-tracks]\n"
                          "       cardbridge --install FLAGS...   (Windows: start at logon with FLAGS)\n"
                          "       cardbridge --uninstall | --help | --version\n"
                          "\n"
                          "Serves the card reader/writer on PORT to allowed web pages, over WebSocket\n"
                          "(ws://HOST:PORT/v1) and HTTP (POST /v1/call, GET /v1/info), on the loopback\n"
                          "interface only; its own page is at http://HOST:PORT/.\n"
                          "\n"
                          "  --serial PORT        a port clients may open (COM5, /dev/ttyUSB0); with one,\n"
                          "                       it is opened at start\n"
                          "  --listen ADDR:PORT   127.0.0.1, [::1] or localhost (default 127.0.0.1:8741;\n"
                          "                       port 0 picks a free one)\n"
                          "  --allow-origin ORIGIN  a web page allowed to call, exactly scheme://host[:port],\n"
                          "                       e.g. https://pms.example.com\n"
                          "  --token-file FILE    the token local programs (requests without Origin) send\n"
                          "                       as \"Authorization: Bearer TOKEN\"; without it they are refused\n"
                          "  --log-tracks         also log track data (card numbers, names): for diagnosis only\n";

namespace {

bool parse_listen(const std::string& value, options& opts, std::string& error) {
    static const std::regex form(R"(^(\[::1\]|::1|127\.0\.0\.1|localhost)(?::(\d{1,5}))?$)", std::regex::icase);
    std::smatch m;
    if (!std::regex_match(value, m, form)) {
        error = "--listen " + value +
                ": the bridge listens on the loopback interface only: 127.0.0.1, [::1] or localhost, "
                "with an optional :PORT ([::1]:8741)";
        return false;
    }
    opts.listen_host = m[1].str() == "[::1]" ? "::1" : m[1].str(); // ::1:8741 reads as ::1, port 8741
    if (m[2].matched) {
        const long port = std::strtol(m[2].str().c_str(), nullptr, 10);
        if (port > 65535) {
            error = "--listen " + value + ": no such port";
            return false;
        }
        opts.listen_port = static_cast<unsigned short>(port);
    }
    return true;
}

bool check_origin(const std::string& value, std::string& error) {
    // What a browser sends: scheme, host in lower case, a port only when not the
    // scheme's default, and no path.
    static const std::regex form(R"(^[a-z][a-z0-9+.-]*://([a-z0-9.-]+|\[[0-9a-f:.]+\])(:\d{1,5})?$)");
    if (std::regex_match(value, form)) return true;
    error = "--allow-origin " + value +
            ": an origin is exactly scheme://host[:port] as the browser sends it, in lower case and without a "
            "path or a trailing /, e.g. https://pms.example.com";
    return false;
}

bool read_token(const std::string& path, std::string& token, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "--token-file " + path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    token = text.str();
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
        token.pop_back();
    static const std::regex form(R"(^[A-Za-z0-9._~+/=-]{16,256}$)");
    if (!std::regex_match(token, form)) {
        error = "--token-file " + path +
                ": the token must be 16 to 256 characters of A-Z a-z 0-9 . _ ~ + / = - on one line";
        return false;
    }
    return true;
}

} // namespace

bool parse_options(int argc, char** argv, options& opts, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = flag + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (flag == "--help" || flag == "-h") {
            opts.help = true;
        } else if (flag == "--version") {
            opts.version = true;
        } else if (flag == "--log-tracks") {
            opts.log_tracks = true;
        } else if (flag == "--install") {
            opts.install = true;
        } else if (flag == "--uninstall") {
            opts.uninstall = true;
        } else if (flag == "--no-console") {
            opts.no_console = true;
        } else if (flag == "--serial") {
            if (!value(v)) return false;
            if (v.empty() || v.size() > 63) {
                error = "--serial: a port name is 1 to 63 characters";
                return false;
            }
            opts.ports.push_back(v);
        } else if (flag == "--listen") {
            if (!value(v) || !parse_listen(v, opts, error)) return false;
        } else if (flag == "--allow-origin") {
            if (!value(v) || !check_origin(v, error)) return false;
            opts.origins.push_back(v);
        } else if (flag == "--token-file") {
            if (!value(v) || !read_token(v, opts.token, error)) return false;
            opts.token_file = v;
        } else {
            error = "unknown option " + flag + " (cardbridge --help lists them)";
            return false;
        }
    }
#ifndef _WIN32
    if (opts.install || opts.uninstall || opts.no_console) {
        error = "--install, --uninstall and --no-console are for Windows; on Linux the qt741-bridge package's "
                "systemd unit starts cardbridge with the options in /etc/default/cardbridge";
        return false;
    }
#endif
    if (opts.help || opts.version || opts.uninstall) return true;
    if (opts.ports.empty()) {
        error = "no --serial PORT: name the port of the card reader/writer";
        return false;
    }
    return true;
}

} // namespace bridge
