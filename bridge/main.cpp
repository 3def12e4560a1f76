// cardbridge: serves one card reader/writer to allowed web pages, over
// WebSocket and HTTP on the loopback interface (docs/bridge.md).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "library.h"
#include "options.h"
#include "qt741_version.h"
#include "server.h"
#include "startup.h"

namespace {

// How long a stopping bridge waits for the call under way to end once cancelled.
constexpr std::chrono::seconds stop_wait{3};
// The threads that run the sockets and the calls: a call runs on the thread
// that read its request, and while it waits for a swipe the other serves
// every connection. The library takes one call at a time, so two suffice.
constexpr int io_threads = 2;

// A message the terminal or the log cannot take has nowhere else to go.
void say(std::FILE* to, const char* text) {
    (void)std::fputs(text, to);
    (void)std::fflush(to);
}
void say(std::FILE* to, const std::string& text) { say(to, text.c_str()); }

// What a handler threw (memory ran out): the bridge stops at once, with the
// other io thread still in the io_context, and systemd or the next logon
// starts it again. The process's end closes the port.
[[noreturn]] void stopped_by(const std::exception* e) {
    say(stderr, "cardbridge: stopped by an internal error: ");
    say(stderr, e != nullptr ? e->what() : "not a std::exception");
    say(stderr, "\n");
    std::_Exit(1);
}

// Runs the io_context on this thread until it stops.
void serve(boost::asio::io_context& io) {
    try {
        io.run();
    } catch (const std::exception& e) {
        stopped_by(&e);
    } catch (...) {
        stopped_by(nullptr);
    }
}

void wait_for_calls(boost::asio::steady_timer& timer, bridge::server& srv, bridge::logger& log,
                    std::chrono::steady_clock::time_point deadline, boost::asio::io_context& io) {
    if (!srv.calls().running()) {
        io.stop();
        return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
        // A call that cancelling did not end (a status query waits out its
        // time-out), on another io thread: the process ends under it, which
        // closes the port.
        log.line("a call is still under way; ending without waiting for it");
        std::_Exit(0);
    }
    timer.expires_after(std::chrono::milliseconds(20));
    timer.async_wait([&timer, &srv, &log, deadline, &io](const boost::system::error_code&) {
        wait_for_calls(timer, srv, log, deadline, io);
    });
}

} // namespace

int run(int argc, char** argv) {
    bridge::options opts;
    std::string error;
    if (!bridge::parse_options(argc, argv, opts, error)) {
        say(stderr, "cardbridge: " + error + "\n");
        return 2;
    }
    if (opts.help) {
        say(stdout, bridge::usage);
        return 0;
    }
    if (opts.version) {
        say(stdout, std::string("cardbridge ") + QT741_PROJECT_VERSION + "\n" + QT741_COPYRIGHT + "\n");
        return 0;
    }
    if (opts.install || opts.uninstall) return bridge::run_at_logon(opts.install, error);
    if (opts.no_console) bridge::leave_console();

    bridge::logger log(stderr);
    bridge::settings cfg;
    cfg.ports = opts.ports;
    cfg.origins = opts.origins;
    cfg.token = opts.token;
    cfg.log_tracks = opts.log_tracks;
    cfg.version = QT741_PROJECT_VERSION;
    if (!bridge::load_library(cfg.lib, error)) {
        say(stderr, "cardbridge: " + error + "\n");
        return 1;
    }

    boost::asio::io_context io(io_threads);
    bridge::server srv(io, cfg, log);
    if (!srv.listen(opts.listen_host, opts.listen_port, error)) {
        say(stderr, "cardbridge: " + error + "\n");
        return 1;
    }
    const std::string host = opts.listen_host == "::1" ? "[::1]" : opts.listen_host;
    log.line("cardbridge " + cfg.version + " with the library " + cfg.lib.version + " (" + cfg.lib.file + ")");
    if (cfg.log_tracks) log.line("--log-tracks: track data (card numbers, names) goes into this log");
    if (opts.ports.size() == 1) {
        const auto opened = srv.calls().open(opts.ports.front());
        log.line("CreatmComm(\"" + opts.ports.front() + "\") -> " + std::to_string(opened.result) +
                 (opened.result == 1 ? "" : ": the port is not open; a client may call CreatmComm to try again"));
    }
    say(stdout, "cardbridge listening on http://" + host + ":" + std::to_string(srv.port()) + "/\n");

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    boost::asio::steady_timer stopping(io);
    signals.async_wait([&](const boost::system::error_code& failed, int signal) {
        if (failed) return;
        log.line("stopping (signal " + std::to_string(signal) + ")");
        srv.stop();
        wait_for_calls(stopping, srv, log, std::chrono::steady_clock::now() + stop_wait, io);
    });
    std::vector<std::thread> others;
    for (int i = 1; i < io_threads; ++i)
        others.emplace_back([&io] { serve(io); });
    serve(io);
    for (auto& t : others)
        t.join();

    // Stopped with no call under way, and none can start any more.
    if (!srv.calls().open_port().empty()) cfg.lib.api.DestroymComm();
    return 0;
}

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        stopped_by(&e);
    } catch (...) {
        stopped_by(nullptr);
    }
}
