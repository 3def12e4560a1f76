// The card calls of every connection: an accepted call runs on the call
// thread, so the bridge keeps serving other connections (and CardCancel)
// while it waits for a swipe. One call at a time, as the library allows: a
// call made while another is under way is answered at once as the library
// answers it (CARD_BUSY). A call whose client went away, or whose timeoutMs
// passed, is cancelled through CardCancel until it returns.
#ifndef CARDBRIDGE_CALLS_H
#define CARDBRIDGE_CALLS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "protocol.h"

namespace bridge {

class card_calls {
public:
    // One call, from its start to its response.
    struct call {
        call(boost::asio::io_context& io, request r) : req(std::move(r)), timer(io) {}
        request req;
        std::function<void(const outcome&)> done;
        boost::asio::steady_timer timer; // the deadline, then the repeated cancel
        std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
        bool finished = false;
        bool timed_out = false;
        bool abandoned = false;
    };

    card_calls(boost::asio::io_context& io, const card_api& api) : io_(io), api_(api) {
        worker_ = std::thread([this] { work(); });
    }
    // Waits for the call thread, which must be idle (a call under way is not waited for: see main).
    ~card_calls();
    card_calls(const card_calls&) = delete;
    card_calls& operator=(const card_calls&) = delete;

    // Starts `req` (not CardCancel); `done` runs on the io_context with its outcome.
    std::shared_ptr<call> start(const request& req, std::function<void(const outcome&)> done);
    // The client went away: its call, if still under way, is cancelled (its `done` still runs).
    void abandon(const std::shared_ptr<call>& c);
    // CardCancel for a client: never refused, never waits.
    int cancel() { return api_.CardCancel(); }
    // Cancels the call under way, whoever made it (the bridge is stopping).
    void cancel_all();

    std::size_t running() const { return running_; }
    // The port the library holds open, as the last CreatmComm and DestroymComm said ("": none).
    const std::string& open_port() const { return open_port_; }
    // Opens a port outside any client's call (at start).
    outcome open(const std::string& port);

private:
    void work();
    void keep_cancelling(const std::shared_ptr<call>& c);
    void finish(const std::shared_ptr<call>& c, outcome out);
    void note_port(const request& req, int result);

    boost::asio::io_context& io_;
    const card_api& api_;
    std::mutex mutex_;             // guards holder_, job_ and quit_, which the call thread shares
    const call* holder_ = nullptr; // the call in the library
    std::shared_ptr<call> job_;    // the call handed to the call thread
    bool quit_ = false;
    std::condition_variable wake_;
    std::thread worker_;
    std::shared_ptr<call> current_; // the same, for the io_context
    std::size_t running_ = 0;       // calls not yet finished
    std::string open_port_;
};

} // namespace bridge

#endif
