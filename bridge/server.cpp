// The listener and its connections, on Boost.Beast: HTTP requests and
// WebSocket messages are checked here, then handed to the protocol.
#include "server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "assets.h"

namespace bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using response = http::response<http::string_body>;

namespace {

constexpr std::size_t max_header_size = 8192;
// A WebSocket message over this closes the connection (1009); one between
// max_request_size and this is answered too-large.
constexpr std::size_t max_message_size = 65536;
// Responses a client has not read yet; a client that lets more pile up is closed.
constexpr std::size_t max_queued = 64;
constexpr std::chrono::seconds request_time{30};

std::string lower(beast::string_view text) {
    std::string out(text.data(), text.size());
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

const char* const loopback_names[] = {"127.0.0.1", "localhost", "[::1]"};

} // namespace

void logger::line(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc) == 0) stamp[0] = '\0';
    std::lock_guard<std::mutex> lock(mutex_); // one line at a time, from any io thread
    // A line the log cannot take has nowhere else to go.
    (void)std::fprintf(out_, "%s.%03dZ %s\n", stamp, static_cast<int>(ms), text.c_str());
    (void)std::fflush(out_);
}

struct server::state : std::enable_shared_from_this<server::state> {
    state(asio::io_context& context, settings s, logger& l)
        : io(context), cfg(std::move(s)), log(l), calls(context, cfg.lib.api), acceptor(asio::make_strand(context)) {}

    // The io threads share this state: cfg and port are set before they run;
    // the acceptor and stopping are its strand's; calls and log guard their own.
    asio::io_context& io;
    settings cfg;
    logger& log;
    card_calls calls;
    tcp::acceptor acceptor;
    std::atomic<std::size_t> connections{0};
    unsigned short port = 0;
    bool stopping = false;

    void accept();

    // Host must name the bridge by a loopback name and its port: a page on a
    // name that resolves to 127.0.0.1 (DNS rebinding) sends its own name.
    bool host_allowed(beast::string_view host) const {
        const std::string h = lower(host);
        for (const char* name : loopback_names)
            if (h == std::string(name) + ":" + std::to_string(port) || (port == 80 && h == name)) return true;
        return false;
    }
    // The bridge's own page, opened by any of its loopback names.
    bool own_origin(const std::string& origin) const {
        return std::any_of(std::begin(loopback_names), std::end(loopback_names), [&](const char* name) {
            return origin == std::string("http://") + name + ":" + std::to_string(port);
        });
    }
    bool origin_allowed(const std::string& origin) const {
        return own_origin(origin) || std::find(cfg.origins.begin(), cfg.origins.end(), origin) != cfg.origins.end();
    }
    bool token_valid(beast::string_view authorization) const {
        if (cfg.token.empty()) return false;
        const std::string expected = "Bearer " + cfg.token;
        if (authorization.size() != expected.size()) return false;
        unsigned char differ = 0; // the same time whatever the first difference
        for (std::size_t i = 0; i < expected.size(); ++i)
            differ |= static_cast<unsigned char>(authorization[i] ^ expected[i]);
        return differ == 0;
    }

    // The log line of a call: who, what, the result, how long; the tracks only with --log-tracks.
    void log_call(const std::string& who, const request& req, const outcome& out,
                  std::chrono::steady_clock::time_point started) {
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        char took[32];
        (void)std::snprintf(took, sizeof took, "%.1f ms", ms); // cut short only past 10^25 ms
        std::string text = who + " " + info_of(req.call).name + " -> " + std::to_string(out.result) + " (" + took +
                           (out.timed_out ? ", timed out" : "") + ")";
        if (cfg.log_tracks) {
            const auto& call = info_of(req.call);
            if (call.writes1 || call.reads1)
                text += " track1=" + json(to_text(call.writes1 ? req.track1 : out.track1)).dump();
            if (call.writes2 || call.reads2)
                text += " track2=" + json(to_text(call.writes2 ? req.track2 : out.track2)).dump();
        }
        log.line(text);
    }
    void log_error(const std::string& who, const parsed& p) {
        // A parser's message may quote the request's text, tracks and all: not logged.
        const std::string why = std::string(p.code) == error::bad_json ? "" : " (" + p.message.substr(0, 120) + ")";
        log.line(who + " request refused: " + p.code + why);
    }
};

namespace {

// One of the connections counted against max_connections, for as long as it lives.
class slot {
public:
    explicit slot(std::shared_ptr<server::state> s) : state_(std::move(s)) { ++state_->connections; }
    ~slot() { --state_->connections; }
    slot(const slot&) = delete;
    slot& operator=(const slot&) = delete;

private:
    std::shared_ptr<server::state> state_;
};

http::status status_of(const char* code) {
    const std::string c = code;
    if (c == error::too_large) return http::status::payload_too_large;
    if (c == error::forbidden) return http::status::forbidden;
    return http::status::bad_request;
}

class websocket_session : public std::enable_shared_from_this<websocket_session> {
public:
    websocket_session(std::shared_ptr<server::state> s, std::unique_ptr<slot> held, beast::tcp_stream stream,
                      std::string who)
        : state_(std::move(s)), slot_(std::move(held)), ws_(std::move(stream)), who_(std::move(who)) {}

    void accept(const http::request<http::string_body>& req) {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = request_time;
        timeouts.idle_timeout = std::chrono::seconds(60); // pinged at half of it
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "cardbridge"); }));
        ws_.read_message_max(max_message_size);
        ws_.async_accept(req, [self = shared_from_this()](error_code failed) {
            if (!failed) self->read();
        });
    }

private:
    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](error_code failed, std::size_t) { self->on_read(failed); });
    }

    void on_read(error_code failed) {
        if (failed) {
            gone(failed == websocket::error::message_too_big ? "sent a message over 64 KiB" : failed.message());
            return;
        }
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        if (!ws_.got_text())
            send(error_text(nullptr, error::bad_json, "send each request as a text message"));
        else
            handle(text);
        read();
    }

    void handle(const std::string& text) {
        auto& st = *state_;
        parsed p = parse_request(text, st.cfg.ports);
        if (!p.ok) {
            st.log_error(who_, p);
            send(error_text(p.req.id, p.code, p.message));
            return;
        }
        const auto started = std::chrono::steady_clock::now();
        if (p.req.call != call_id::CardCancel && !pending_) {
            pending_ = st.calls.start(p.req, ws_.get_executor(),
                                      [self = shared_from_this(), req = p.req, started](const outcome& out) {
                                          self->pending_.reset();
                                          self->send(response_text(req, out));
                                          self->state_->log_call(self->who_, req, out, started);
                                      });
            if (pending_) return;
        }
        // CardCancel is always answered at once; a call while another waits
        // (this connection's or another's) is refused as the library refuses it.
        outcome out;
        out.result = p.req.call == call_id::CardCancel ? st.calls.cancel() : busy_result(p.req.call);
        send(response_text(p.req, out));
        st.log_call(who_, p.req, out, started);
    }

    void send(std::string text) {
        if (closed_) return;
        if (queue_.size() >= max_queued) {
            closed_ = true;
            beast::get_lowest_layer(ws_).close(); // a client that reads no responses
            return;
        }
        queue_.push_back(std::move(text));
        if (queue_.size() == 1) write();
    }

    void write() {
        ws_.text(true);
        ws_.async_write(asio::buffer(queue_.front()), [self = shared_from_this()](error_code failed, std::size_t) {
            if (failed) return self->gone(failed.message());
            self->queue_.pop_front();
            if (!self->queue_.empty()) self->write();
        });
    }

    // The client went away: its call, if one waits, is cancelled.
    void gone(const std::string& why) {
        closed_ = true;
        if (!pending_) return;
        state_->log.line(who_ + " closed the connection (" + why + ") while " + info_of(pending_->req.call).name +
                         " waited: cancelling it");
        state_->calls.abandon(pending_);
        pending_.reset();
    }

    std::shared_ptr<server::state> state_;
    std::unique_ptr<slot> slot_;
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
    std::shared_ptr<card_calls::call> pending_;
    std::string who_;
    bool closed_ = false;
};

class http_session : public std::enable_shared_from_this<http_session> {
public:
    http_session(const std::shared_ptr<server::state>& s, tcp::socket socket)
        : state_(s), slot_(std::make_unique<slot>(s)), stream_(std::move(socket)) {}

    void read() {
        parser_.emplace();
        parser_->header_limit(max_header_size);
        parser_->body_limit(max_request_size);
        stream_.expires_after(request_time);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](error_code failed, std::size_t) { self->on_read(failed); });
    }

private:
    void on_read(error_code failed) {
        if (failed == http::error::body_limit)
            return reply_error(11, false, "", http::status::payload_too_large, error::too_large,
                               "the body is over " + std::to_string(max_request_size) + " bytes");
        if (failed == http::error::header_limit)
            return reply_error(11, false, "", http::status::request_header_fields_too_large, error::too_large,
                               "the request's header is over " + std::to_string(max_header_size) + " bytes");
        if (failed && failed.category() == http::make_error_code(http::error::bad_target).category() &&
            failed != http::error::end_of_stream)
            return reply_error(11, false, "", http::status::bad_request, error::bad_json,
                               "not an HTTP request (" + failed.message() + ")");
        if (failed) return close();
        handle(parser_->release());
    }

    void handle(const http::request<http::string_body>& req) {
        auto& st = *state_;
        const unsigned version = req.version();
        // A refused WebSocket handshake ends its connection.
        const bool keep = req.keep_alive() && !websocket::is_upgrade(req);
        const auto origin_field = req.find(http::field::origin);
        const bool has_origin = origin_field != req.end();
        const std::string origin = has_origin ? std::string(origin_field->value()) : "";
        const std::string who = has_origin ? origin : "local";
        const beast::string_view target = req.target();

        if (!st.host_allowed(req[http::field::host])) {
            st.log.line("refused " + who + ": Host \"" + std::string(req[http::field::host]).substr(0, 80) +
                        "\" is not the bridge's address (a page on another name, e.g. DNS rebinding)");
            return reply_error(version, keep, "", http::status::forbidden, error::forbidden,
                               "Host must be 127.0.0.1, localhost or [::1] with the bridge's port");
        }
        if (has_origin && !st.origin_allowed(origin)) {
            st.log.line("refused origin " + origin.substr(0, 200) +
                        ": not allowed (start the bridge with --allow-origin " + origin.substr(0, 200) +
                        " to allow it)");
            return reply_error(version, keep, "", http::status::forbidden, error::forbidden,
                               "this page's origin is not allowed to use the card reader/writer");
        }
        const std::string cors = has_origin ? origin : "";

        if (req.method() == http::verb::get) {
            const auto& all = assets();
            const auto a = std::find_if(all.begin(), all.end(), [&](const asset& e) { return target == e.path; });
            if (a != all.end())
                return reply(version, keep, "", http::status::ok, a->content_type, std::string(a->body));
        }
        if (req.method() == http::verb::options && has_origin) return preflight(req, origin);
        if (target.substr(0, 3) != "/v1")
            return reply_error(version, keep, cors, http::status::not_found, error::bad_argument, "no such page");
        // The bridge's own page asks for /v1/info without Origin (a same-origin
        // GET): the browser says so in Sec-Fetch-Site, which no page can set.
        const bool own_page = !has_origin && target == "/v1/info" && req["Sec-Fetch-Site"] == "same-origin";
        if (!has_origin && !own_page && !st.token_valid(req[http::field::authorization])) {
            st.log.line(std::string("refused a request without Origin for ") + std::string(target).substr(0, 80) +
                        (st.cfg.token.empty() ? ": local programs need --token-file"
                                              : ": no valid \"Authorization: Bearer\" token"));
            return reply_error(version, keep, "", http::status::unauthorized, error::forbidden,
                               "requests without Origin need \"Authorization: Bearer TOKEN\" (the bridge's "
                               "--token-file)");
        }

        if (target == "/v1" && websocket::is_upgrade(req)) {
            auto ws = std::make_shared<websocket_session>(state_, std::move(slot_), std::move(stream_), who);
            ws->accept(req);
            return;
        }
        if (target == "/v1/info" && req.method() == http::verb::get)
            return reply(version, keep, cors, http::status::ok, "application/json", info());
        if (target == "/v1/call" && req.method() == http::verb::post) return call(req, who, cors);
        if (target == "/v1/info" || target == "/v1/call" || target == "/v1")
            return reply_error(version, keep, cors, http::status::method_not_allowed, error::bad_argument,
                               "GET /v1/info, POST /v1/call, or a WebSocket at /v1");
        return reply_error(version, keep, cors, http::status::not_found, error::bad_argument,
                           "no such resource: GET /v1/info, POST /v1/call, or a WebSocket at /v1");
    }

    std::string info() const {
        const auto& st = *state_;
        const std::string open = st.calls.open_port();
        json body = {{"protocol", 1},
                     {"bridgeVersion", st.cfg.version},
                     {"libraryVersion", st.cfg.lib.version},
                     {"ports", st.cfg.ports},
                     {"open", !open.empty()},
                     {"openPort", open.empty() ? json() : json(open)}};
        return body.dump(-1, ' ', false, json::error_handler_t::replace);
    }

    void call(const http::request<http::string_body>& req, const std::string& who, const std::string& cors) {
        auto& st = *state_;
        const unsigned version = req.version();
        const bool keep = req.keep_alive();
        parsed p = parse_request(req.body(), st.cfg.ports);
        if (!p.ok) {
            st.log_error(who, p);
            return reply(version, keep, cors, status_of(p.code), "application/json",
                         error_text(p.req.id, p.code, p.message));
        }
        const auto started = std::chrono::steady_clock::now();
        if (p.req.call != call_id::CardCancel) {
            const request& r = p.req;
            pending_ = st.calls.start(
                r, stream_.get_executor(),
                [self = shared_from_this(), r, who, cors, version, keep, started](const outcome& out) {
                    self->pending_.reset();
                    self->reply(version, keep, cors, http::status::ok, "application/json", response_text(r, out));
                    self->state_->log_call(who, r, out, started);
                });
        }
        if (!pending_) {
            // CardCancel, or a call while another waits: answered at once.
            outcome out;
            out.result = p.req.call == call_id::CardCancel ? st.calls.cancel() : busy_result(p.req.call);
            reply(version, keep, cors, http::status::ok, "application/json", response_text(p.req, out));
            st.log_call(who, p.req, out, started);
            return;
        }
        // While the call waits, a client that closes its connection cancels it.
        stream_.expires_never();
        beast::get_lowest_layer(stream_).socket().async_wait(
            tcp::socket::wait_read, [self = shared_from_this(), c = pending_, who](error_code failed) {
                if (self->pending_ != c) return; // answered already
                error_code unused;
                if (!failed && self->stream_.socket().available(unused) > 0) return; // a further request: later
                self->state_->log.line(who + " closed the connection while " + info_of(c->req.call).name +
                                       " waited: cancelling it");
                self->state_->calls.abandon(self->pending_);
                self->pending_.reset();
                self->close();
            });
    }

    void preflight(const http::request<http::string_body>& req, const std::string& origin) {
        response res{http::status::no_content, req.version()};
        res.set(http::field::access_control_allow_methods, "GET, POST");
        res.set(http::field::access_control_allow_headers, "Content-Type");
        res.set(http::field::access_control_max_age, "600");
        // For Chromium versions that ask before a public page reaches a local address.
        if (req["Access-Control-Request-Private-Network"] == "true")
            res.set("Access-Control-Allow-Private-Network", "true");
        send(std::move(res), req.keep_alive(), origin);
    }

    void reply_error(unsigned version, bool keep, const std::string& cors, http::status status, const char* code,
                     const std::string& message) {
        reply(version, keep, cors, status, "application/json", error_text(nullptr, code, message));
    }

    void reply(unsigned version, bool keep, const std::string& cors, http::status status, beast::string_view type,
               std::string body) {
        response res{status, version};
        res.set(http::field::content_type, type);
        if (status == http::status::unauthorized) res.set(http::field::www_authenticate, "Bearer realm=\"cardbridge\"");
        res.body() = std::move(body);
        send(std::move(res), keep, cors);
    }

    void send(response res, bool keep, const std::string& cors) {
        res.set(http::field::server, "cardbridge");
        res.set(http::field::cache_control, "no-store");
        res.set("X-Content-Type-Options", "nosniff");
        res.set("Content-Security-Policy",
                "default-src 'self'; connect-src 'self'; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
        if (!cors.empty()) {
            res.set(http::field::access_control_allow_origin, cors);
            res.set(http::field::vary, "Origin");
        }
        res.keep_alive(keep);
        res.prepare_payload();
        auto held = std::make_shared<response>(std::move(res));
        stream_.expires_after(request_time);
        http::async_write(stream_, *held, [self = shared_from_this(), held](error_code failed, std::size_t) {
            if (failed || !held->keep_alive()) return self->close();
            self->read();
        });
    }

    void close() {
        error_code unused;
        stream_.socket().shutdown(tcp::socket::shutdown_both, unused);
        stream_.close();
    }

    std::shared_ptr<server::state> state_;
    std::unique_ptr<slot> slot_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<card_calls::call> pending_;
};

// A connection over the limit: told so, and closed.
void refuse_busy(tcp::socket socket) {
    auto stream = std::make_shared<beast::tcp_stream>(std::move(socket));
    auto res = std::make_shared<response>(http::status::service_unavailable, 11);
    res->set(http::field::server, "cardbridge");
    res->set(http::field::content_type, "application/json");
    res->body() = error_text(nullptr, error::forbidden,
                             "the bridge serves " + std::to_string(max_connections) + " connections at once");
    res->keep_alive(false);
    res->prepare_payload();
    stream->expires_after(std::chrono::seconds(5));
    http::async_write(*stream, *res, [stream, res](error_code, std::size_t) {
        error_code unused;
        stream->socket().shutdown(tcp::socket::shutdown_both, unused);
        stream->close();
    });
}

} // namespace

// On the acceptor's strand; each connection gets a strand of its own, which
// runs its handlers one at a time on whichever io thread is free.
void server::state::accept() {
    acceptor.async_accept(asio::make_strand(io), [self = shared_from_this()](error_code failed, tcp::socket socket) {
        if (self->stopping || failed == asio::error::operation_aborted) return;
        if (!failed) {
            if (self->connections >= max_connections) {
                self->log.line("refused a connection: " + std::to_string(max_connections) + " are open");
                refuse_busy(std::move(socket));
            } else {
                // Small messages, answered at once: no waiting to coalesce them.
                error_code unused;
                socket.set_option(tcp::no_delay(true), unused);
                std::make_shared<http_session>(self, std::move(socket))->read();
            }
        }
        self->accept();
    });
}

server::server(asio::io_context& io, settings s, logger& log)
    : state_(std::make_shared<state>(io, std::move(s), log)) {}

server::~server() = default;

bool server::listen(const std::string& host, unsigned short port, std::string& error) {
    error_code failed;
    tcp::resolver resolver(state_->io);
    // localhost: its loopback address; the names were checked before, and
    // anything the resolver gives that is not loopback is refused here too.
    const auto results = resolver.resolve(host, std::to_string(port), failed);
    if (failed || results.empty()) {
        error = "cannot resolve " + host + " (" + failed.message() + ")";
        return false;
    }
    const tcp::endpoint endpoint = results.begin()->endpoint();
    if (!endpoint.address().is_loopback()) {
        error = host + " is " + endpoint.address().to_string() + ", not a loopback address";
        return false;
    }
    auto& acceptor = state_->acceptor;
    acceptor.open(endpoint.protocol(), failed);
#ifndef _WIN32
    // (On Windows this option would let another program take the port.)
    if (!failed) acceptor.set_option(tcp::acceptor::reuse_address(true), failed);
#endif
    if (!failed) acceptor.bind(endpoint, failed);
    if (!failed) acceptor.listen(asio::socket_base::max_listen_connections, failed);
    if (failed) {
        error = "cannot listen on " + endpoint.address().to_string() + " port " + std::to_string(port) + " (" +
                failed.message() + ")";
        return false;
    }
    state_->port = acceptor.local_endpoint().port();
    state_->accept();
    return true;
}

unsigned short server::port() const { return state_->port; }

void server::stop() {
    asio::dispatch(state_->acceptor.get_executor(), [st = state_] {
        st->stopping = true;
        error_code unused;
        st->acceptor.close(unused);
    });
    state_->calls.stop();
}

card_calls& server::calls() { return state_->calls; }

} // namespace bridge
