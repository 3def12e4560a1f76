// The bridge's protocol, version 1: a request is one JSON object naming one of
// the library's twelve functions, the response one JSON object with its result
// (docs/bridge.md). This part knows no sockets and no threads: it turns a
// message into a request or an error, runs a request against a table of the
// library's functions, and writes the response.
#ifndef CARDBRIDGE_PROTOCOL_H
#define CARDBRIDGE_PROTOCOL_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "QT741DLL.h"

namespace bridge {

using json = nlohmann::json;

// The largest request the bridge takes: a WebSocket message or an HTTP body.
constexpr std::size_t max_request_size = 4096;
// The longest wait a request may ask for (timeoutMs): one hour.
constexpr long long max_timeout_ms = 3600000;

// The library's flat functions, as a host calls them. The bridge fills it from
// the library it loaded; a test fills it with its own.
struct card_api {
    int(QT741_CALL* CreatmComm)(const char* port_name);
    int(QT741_CALL* DestroymComm)();
    int(QT741_CALL* CardReset)();
    int(QT741_CALL* IsReadError)();
    int(QT741_CALL* IsWriteError)();
    int(QT741_CALL* WrTr1Card)(const char* track1);
    int(QT741_CALL* WrTr2Card)(const char* track2);
    int(QT741_CALL* WrTr12Card)(const char* track1, const char* track2);
    int(QT741_CALL* RadTr1Card)(char* track1);
    int(QT741_CALL* RadTr2Card)(char* track2);
    int(QT741_CALL* RadTr12Card)(char* track1, char* track2);
    int(QT741_CALL* CardCancel)();
};

enum class call_id {
    CreatmComm,
    DestroymComm,
    CardReset,
    IsReadError,
    IsWriteError,
    WrTr1Card,
    WrTr2Card,
    WrTr12Card,
    RadTr1Card,
    RadTr2Card,
    RadTr12Card,
    CardCancel,
};

// What a call takes and gives: its name as the header spells it, the tracks it
// writes (in the request) and reads (in the response).
struct call_info {
    call_id id;
    const char* name;
    bool writes1, writes2, reads1, reads2;
};

const std::vector<call_info>& calls();
const call_info& info_of(call_id id);

// The codes of a request that could not be made.
namespace error {
constexpr const char* bad_json = "bad-json";
constexpr const char* unknown_call = "unknown-call";
constexpr const char* bad_argument = "bad-argument";
constexpr const char* too_large = "too-large";
constexpr const char* forbidden = "forbidden";
} // namespace error

struct request {
    json id; // echoed in the response, whatever it is (null when absent)
    call_id call = call_id::CardCancel;
    std::string port;   // CreatmComm: one of the ports the bridge serves
    std::string track1; // bytes, one a character of the request's text
    std::string track2;
    long long timeout_ms = 0; // 0: wait as the library does
};

// A message turned into a request, or why it could not be.
struct parsed {
    bool ok = false;
    request req;
    const char* code = nullptr; // an error:: code when not ok
    std::string message;
};

// Parses one message. `ports` are the ports clients may open; with exactly one,
// CreatmComm may leave out "port".
parsed parse_request(std::string_view text, const std::vector<std::string>& ports);

// The outcome of one call of the library.
struct outcome {
    int result = 0;
    std::string track1, track2; // what a read delivered (bytes)
    bool timed_out = false;
};

// Calls the library (blocking) with the request's arguments and buffers of the
// sizes the header names.
outcome run_call(const card_api& api, const request& req);

// What the library answers a call made while another is under way: it refuses
// it at once, with CARD_BUSY (CreatmComm: minus ERROR_BUSY; DestroymComm: 0).
int busy_result(call_id call);

// The response texts.
std::string response_text(const request& req, const outcome& out);
std::string error_text(const json& id, const char* code, const std::string& message);

// Track text: one character U+0000..U+00FF a byte, both ways. to_bytes fails
// (false) on a character above U+00FF or on U+0000, which a C string cannot hold.
bool to_bytes(const std::string& utf8, std::string& bytes);
std::string to_text(const std::string& bytes);

} // namespace bridge

#endif
