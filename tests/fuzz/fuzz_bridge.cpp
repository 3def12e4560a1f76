// fuzz_bridge: the bridge's request parser and dispatcher (bridge/protocol.cpp)
// on any message, against a stand-in library that records what it was passed.
//
// Input encoding: byte 0 picks the stand-in's result (mod 7: 1, -1, -4, -5, -6,
// -170, 0); byte 1 the length (mod 400) of what a read delivers, the bytes that
// follow it (0x80 and up included) forming that track; the rest is the message.
//
// Invariants: nothing throws or crashes; a message over 4096 bytes is too-large;
// an error is one of the protocol's codes, written as JSON that reads back with
// the request's id; an accepted request passes its tracks to the library byte
// for byte (no NUL, no character above U+00FF got through), opens only a port
// of the bridge's, has a timeout within bounds, and its response reads back as
// JSON with the id, the library's result and, for a read, the delivered track.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol.h"

namespace {

using bridge::json;

int g_result = 1;
std::string g_delivered;           // what a read puts into the host's buffer
std::vector<std::string> g_passed; // what the library was given
const std::vector<std::string> kPorts = {"COM5", "/dev/ttyUSB0"};

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_bridge: invariant broken: %s\n", what);
        std::abort();
    }
}

void Deliver(char* buffer, std::size_t size) {
    const std::size_t n = std::min(g_delivered.size(), size - 1);
    std::memcpy(buffer, g_delivered.data(), n);
    buffer[n] = '\0';
}

int Open(const char* port) { return g_passed.emplace_back(port), g_result; }
int Plain() { return g_result; }
int Write1(const char* track) { return g_passed.emplace_back(track), g_result; }
int Write12(const char* one, const char* two) {
    g_passed.emplace_back(one);
    g_passed.emplace_back(two);
    return g_result;
}
int Read1(char* track) { return Deliver(track, CARD_TRACK1_BUFFER_SIZE), g_result; }
int Read2(char* track) { return Deliver(track, CARD_TRACK2_BUFFER_SIZE), g_result; }
int Read12(char* one, char* two) {
    Deliver(one, CARD_TRACKS_BUFFER_SIZE);
    Deliver(two, CARD_TRACKS_BUFFER_SIZE);
    return g_result;
}

const bridge::card_api kApi = {Open, Plain, Plain, Plain, Plain, Write1, Write1, Write12, Read1, Read2, Read12, Plain};

// The delivered track as the host's buffer holds it: up to its first NUL, cut to fit.
std::string Held(std::size_t size) {
    const std::string whole = g_delivered.substr(0, std::min(g_delivered.size(), size - 1));
    return whole.substr(0, whole.find('\0'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int kResults[] = {1, -1, -4, -5, -6, -170, 0};
    if (size < 2) return 0;
    g_result = kResults[data[0] % 7];
    const std::size_t delivered = std::min<std::size_t>(data[1] % 400, size - 2);
    g_delivered.assign(reinterpret_cast<const char*>(data + 2), delivered);
    const std::string message(reinterpret_cast<const char*>(data + 2 + delivered), size - 2 - delivered);
    g_passed.clear();

    const bridge::parsed p = bridge::parse_request(message, kPorts);
    if (!p.ok) {
        const std::string code = p.code;
        Check(code == "bad-json" || code == "unknown-call" || code == "bad-argument" || code == "too-large",
              "an error code outside the protocol's");
        Check((message.size() > bridge::max_request_size) == (code == "too-large"),
              "too-large exactly when over 4 KiB");
        const json reply = json::parse(bridge::error_text(p.req.id, p.code, p.message), nullptr, false);
        Check(reply.is_object() && reply["error"]["code"] == code && reply["id"] == p.req.id,
              "an error that does not read back");
        return 0;
    }
    const auto& req = p.req;
    Check(message.size() <= bridge::max_request_size, "a request over 4 KiB accepted");
    Check(req.track1.find('\0') == std::string::npos && req.track2.find('\0') == std::string::npos,
          "a NUL in an accepted track");
    std::string back;
    Check(bridge::to_bytes(bridge::to_text(req.track1), back) && back == req.track1,
          "track1 lost between text and bytes");
    Check(bridge::to_bytes(bridge::to_text(req.track2), back) && back == req.track2,
          "track2 lost between text and bytes");
    Check(req.timeout_ms >= 0 && req.timeout_ms <= bridge::max_timeout_ms, "a timeout out of bounds");
    if (req.call == bridge::call_id::CreatmComm)
        Check(req.port == "COM5" || req.port == "/dev/ttyUSB0", "a port the bridge does not serve");

    const bridge::outcome out = bridge::run_call(kApi, req);
    Check(out.result == g_result, "a result other than the library's");
    const auto& call = bridge::info_of(req.call);
    std::vector<std::string> expected;
    if (call.id == bridge::call_id::CreatmComm) expected.push_back(req.port);
    if (call.writes1) expected.push_back(req.track1);
    if (call.writes2) expected.push_back(req.track2);
    Check(g_passed == expected, "the library was not given the request's arguments byte for byte");

    const json reply = json::parse(bridge::response_text(req, out), nullptr, false);
    Check(reply.is_object() && reply["id"] == req.id && reply["result"] == g_result,
          "a response that does not read back");
    std::string bytes;
    if (call.reads1) {
        const std::size_t capacity = call.reads2 ? CARD_TRACKS_BUFFER_SIZE : CARD_TRACK1_BUFFER_SIZE;
        Check(bridge::to_bytes(reply["track1"].get<std::string>(), bytes), "track1's text holds no bytes");
        Check(bytes == Held(capacity), "track1 not the bytes the library delivered");
    }
    if (call.reads2) {
        const std::size_t capacity = call.reads1 ? CARD_TRACKS_BUFFER_SIZE : CARD_TRACK2_BUFFER_SIZE;
        Check(bridge::to_bytes(reply["track2"].get<std::string>(), bytes), "track2's text holds no bytes");
        Check(bytes == Held(capacity), "track2 not the bytes the library delivered");
    }
    Check(!call.reads1 == !reply.contains("track1") && !call.reads2 == !reply.contains("track2"),
          "tracks in a response that reads none");
    return 0;
}
