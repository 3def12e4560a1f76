// The card calls of every connection. An accepted call runs on the io thread
// that read its request, as soon as that request's handler returns: no other
// thread is woken to make it, nor to send its response, which is written from
// that thread too. The other io threads go on serving every connection (its
// own too: CardCancel) while it waits for a swipe. One call at a time, as the
// library allows: a call made while another is under way is answered at once
// as the library answers it (CARD_BUSY). A call whose client went away, or
// whose timeoutMs passed, is cancelled through CardCancel until it returns.
#ifndef CARDBRIDGE_CALLS_H
#define CARDBRIDGE_CALLS_H

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "protocol.h"

namespace bridge {

class card_calls {
public:
    using strand = boost::asio::strand<boost::asio::io_context::executor_type>;

    // One call, from its start to its end.
    struct call {
        call(const strand& s, request r) : req(std::move(r)), timer(s) {}
        const request req;
        boost::asio::steady_timer timer; // the deadline, then the repeated cancel: on the calls' strand only
        bool cancelling = false;         // the calls' strand only
        bool finished = false;           // under the mutex
        bool timed_out = false;          // under the mutex
    };
    using done_handler = std::function<void(const outcome&)>;

    card_calls(boost::asio::io_context& io, const card_api& api)
        : io_(io), api_(api), strand_(boost::asio::make_strand(io)) {}
    card_calls(const card_calls&) = delete;
    card_calls& operator=(const card_calls&) = delete;

    // Starts `req` (not CardCancel) from a handler on an io thread: the call
    // runs on this thread once that handler returns, outside the caller's
    // strand, then `done` runs on `caller` with its outcome. nullptr, and
    // `done` never runs, when the library is taken (or the bridge stopping):
    // the caller answers busy_result.
    std::shared_ptr<call> start(const request& req, const boost::asio::any_io_executor& caller, done_handler done);
    // The client went away: its call, if still under way, is cancelled.
    void abandon(const std::shared_ptr<call>& c);
    // CardCancel for a client: never refused, never waits.
    int cancel() { return api_.CardCancel(); }
    // The bridge is stopping: no call starts any more, and the one under way is cancelled.
    void stop();

    // Whether a call is in the library.
    bool running() const;
    // The port the library holds open, as the last CreatmComm and DestroymComm said ("": none).
    std::string open_port() const;
    // Opens a port outside any client's call (at start, before the io threads run).
    outcome open(const std::string& port);

private:
    void finish(const std::shared_ptr<call>& c, const boost::asio::any_io_executor& caller, const done_handler& done);
    void keep_cancelling(const std::shared_ptr<call>& c);
    void note_port(const request& req, int result);

    boost::asio::io_context& io_;
    const card_api& api_;
    strand strand_; // the calls' timers: deadlines and repeated cancels
    mutable std::mutex mutex_;
    std::shared_ptr<call> holder_; // the call in the library
    bool stopping_ = false;
    std::string open_port_;
};

} // namespace bridge

#endif
