// The card calls: run on the io thread that took them, the call under way
// tracked, cancelled when asked.
#include "calls.h"

#include <boost/asio/defer.hpp>
#include <boost/asio/dispatch.hpp>

namespace bridge {

namespace asio = boost::asio;

namespace {
// How often a cancelled call is asked again until it returns: a request made
// before the call has entered the library (it may still wait in its thread's
// queue) is dropped as the call starts.
constexpr std::chrono::milliseconds cancel_again{20};
} // namespace

std::shared_ptr<card_calls::call> card_calls::start(const request& req, const asio::any_io_executor& caller,
                                                    done_handler done) {
    auto c = std::make_shared<call>(strand_, req);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (holder_ || stopping_) return nullptr;
        holder_ = c;
    }
    if (req.timeout_ms > 0) {
        asio::dispatch(strand_, [this, c] {
            c->timer.expires_after(std::chrono::milliseconds(c->req.timeout_ms));
            c->timer.async_wait([this, c](const boost::system::error_code& failed) {
                if (failed || c->cancelling) return;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (c->finished) return;
                    c->timed_out = true;
                }
                c->cancelling = true;
                keep_cancelling(c);
            });
        });
    }
    // Deferred, not posted: Asio keeps it in this thread's own queue until the
    // handler that started it returns, and over epoll this thread then runs it
    // without waking another (a completion port may give it to the other
    // thread). The caller's strand is free meanwhile for the connection's
    // next request: its CardCancel, or its closing.
    asio::defer(io_, [this, c, caller, done = std::move(done)] { finish(c, caller, done); });
    return c;
}

void card_calls::finish(const std::shared_ptr<call>& c, const asio::any_io_executor& caller, const done_handler& done) {
    outcome out = run_call(api_, c->req);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holder_.reset();
        c->finished = true;
        out.timed_out = c->timed_out && out.result == CARD_CANCELLED; // the deadline, not the card, ended it
        note_port(c->req, out.result);
    }
    // On this thread, unless the connection's strand is busy on another one.
    // Also for a client that went away: the log records the call.
    asio::dispatch(caller, [done, out] { done(out); });
    if (c->req.timeout_ms > 0) asio::defer(strand_, [c] { c->timer.cancel(); }); // the hour a deadline may hold
}

void card_calls::abandon(const std::shared_ptr<call>& c) {
    if (!c) return;
    asio::dispatch(strand_, [this, c] {
        if (c->cancelling) return;
        c->cancelling = true;
        keep_cancelling(c);
    });
}

// On the calls' strand.
void card_calls::keep_cancelling(const std::shared_ptr<call>& c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (c->finished) return;
        api_.CardCancel();
    }
    c->timer.expires_after(cancel_again);
    c->timer.async_wait([this, c](const boost::system::error_code& failed) {
        if (!failed) keep_cancelling(c);
    });
}

void card_calls::stop() {
    std::shared_ptr<call> c;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        c = holder_;
    }
    abandon(c);
}

bool card_calls::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return holder_ != nullptr;
}

std::string card_calls::open_port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_port_;
}

// Under the mutex.
void card_calls::note_port(const request& req, int result) {
    if (req.call == call_id::CreatmComm && result != busy_result(call_id::CreatmComm))
        open_port_ = result > 0 ? req.port : "";
    if (req.call == call_id::DestroymComm && result == 1) open_port_.clear();
}

outcome card_calls::open(const std::string& port) {
    request req;
    req.call = call_id::CreatmComm;
    req.port = port;
    outcome out = run_call(api_, req);
    std::lock_guard<std::mutex> lock(mutex_);
    note_port(req, out.result);
    return out;
}

} // namespace bridge
