// The card calls: one call thread, the call under way tracked, cancelled when asked.
#include "calls.h"

#include <boost/asio/post.hpp>

namespace bridge {

namespace {
// How often a cancelled call is asked again until it returns: a request the
// library saw before the call began waiting is dropped where the call starts.
constexpr std::chrono::milliseconds cancel_again{20};
} // namespace

std::shared_ptr<card_calls::call> card_calls::start(const request& req, std::function<void(const outcome&)> done) {
    auto c = std::make_shared<call>(io_, req);
    c->done = std::move(done);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (holder_ != nullptr) {
            // Another call is under way: refused at once, as the library refuses it.
            outcome busy;
            busy.result = busy_result(req.call);
            boost::asio::post(io_, [this, c, busy] { finish(c, busy); });
            c->finished = true; // nothing to cancel
            return c;
        }
        holder_ = c.get();
        job_ = c;
    }
    wake_.notify_one();
    current_ = c;
    ++running_;
    if (req.timeout_ms > 0) {
        c->timer.expires_after(std::chrono::milliseconds(req.timeout_ms));
        c->timer.async_wait([this, c](const boost::system::error_code& failed) {
            if (failed || c->finished) return;
            c->timed_out = true;
            keep_cancelling(c);
        });
    }
    return c;
}

card_calls::~card_calls() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) worker_.join();
}

// The call thread: one call at a time, as the library takes them.
void card_calls::work() {
    for (;;) {
        std::shared_ptr<call> c;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return job_ || quit_; });
            if (quit_) return;
            c = std::move(job_);
        }
        outcome out = run_call(api_, c->req);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            holder_ = nullptr;
        }
        boost::asio::post(io_, [this, c, out] {
            --running_;
            if (current_ == c) current_.reset();
            c->timer.cancel();
            note_port(c->req, out.result);
            finish(c, out);
        });
    }
}

void card_calls::finish(const std::shared_ptr<call>& c, outcome out) {
    c->finished = true;
    out.timed_out = c->timed_out && out.result == CARD_CANCELLED; // the deadline, not the card, ended it
    if (c->done) c->done(out); // also for a client that went away: the log records the call
    c->done = nullptr;
}

void card_calls::abandon(const std::shared_ptr<call>& c) {
    if (!c || c->abandoned) return;
    c->abandoned = true;
    if (!c->finished) keep_cancelling(c);
}

void card_calls::keep_cancelling(const std::shared_ptr<call>& c) {
    if (c->finished) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (holder_ == c.get()) api_.CardCancel();
    }
    c->timer.expires_after(cancel_again);
    c->timer.async_wait([this, c](const boost::system::error_code& failed) {
        if (!failed) keep_cancelling(c);
    });
}

void card_calls::cancel_all() {
    if (current_) keep_cancelling(current_);
}

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
    note_port(req, out.result);
    return out;
}

} // namespace bridge
