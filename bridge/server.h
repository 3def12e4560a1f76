// The bridge's listener and its connections: HTTP and WebSocket on the
// loopback interface, each request checked (Host, Origin or token, size)
// before it reaches the protocol.
#ifndef CARDBRIDGE_SERVER_H
#define CARDBRIDGE_SERVER_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "calls.h"
#include "library.h"

namespace bridge {

// The most connections served at once; more are answered 503 and closed.
constexpr std::size_t max_connections = 16;

struct settings {
    std::vector<std::string> ports;
    std::vector<std::string> origins; // besides the bridge's own page
    std::string token;                // "": no token file, local programs are refused
    bool log_tracks = false;
    std::string version; // the bridge's
    library lib;
};

// Lines of the log: time, who, what. Track data only with --log-tracks.
class logger {
public:
    explicit logger(std::FILE* out) : out_(out) {}
    void line(const std::string& text);

private:
    std::FILE* out_;
    std::mutex mutex_;
};

class server {
public:
    server(boost::asio::io_context& io, settings s, logger& log);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    // Binds host:port (port 0: any free one); false with a message when it cannot.
    bool listen(const std::string& host, unsigned short port, std::string& error);
    unsigned short port() const;
    // Stops accepting, starts no more calls and cancels the one under way.
    void stop();
    card_calls& calls();

    struct state;

private:
    std::shared_ptr<state> state_;
};

} // namespace bridge

#endif
