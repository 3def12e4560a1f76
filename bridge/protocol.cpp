// The protocol, version 1: requests parsed and checked, calls run, responses written.
#include "protocol.h"

#include <algorithm>
#include <cstring>

namespace bridge {

namespace {

// Responses are written by the bridge from checked text, but a message may
// quote a client's bytes: never let one make the writer throw.
std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

parsed fail(json id, const char* code, std::string message) {
    parsed p;
    p.req.id = std::move(id);
    p.code = code;
    p.message = std::move(message);
    return p;
}

// At most `limit` characters of a client's text, for a message.
std::string shown(const std::string& text, std::size_t limit = 40) {
    if (text.size() <= limit) return "\"" + text + "\"";
    return "\"" + text.substr(0, limit) + "...\"";
}

bool known_field(const call_info& call, const std::string& key) {
    if (key == "id" || key == "call") return true;
    if (key == "port") return call.id == call_id::CreatmComm;
    if (key == "track1") return call.writes1;
    if (key == "track2") return call.writes2;
    if (key == "timeoutMs") return call.id != call_id::CardCancel;
    return false;
}

// A track of the request: a string of characters U+0001..U+00FF.
bool track_argument(const json& object, const char* key, std::string& bytes, std::string& message) {
    const auto found = object.find(key);
    if (found == object.end()) {
        message = std::string("\"") + key + "\" is missing";
        return false;
    }
    if (!found->is_string()) {
        message = std::string("\"") + key + "\" must be a string";
        return false;
    }
    if (!to_bytes(found->get_ref<const std::string&>(), bytes)) {
        message = std::string("\"") + key +
                  "\" holds a character outside U+0001..U+00FF (a track is one byte a character, and no NUL)";
        return false;
    }
    return true;
}

} // namespace

const std::vector<call_info>& calls() {
    static const std::vector<call_info> table = {
        {call_id::CreatmComm, "CreatmComm", false, false, false, false},
        {call_id::DestroymComm, "DestroymComm", false, false, false, false},
        {call_id::CardReset, "CardReset", false, false, false, false},
        {call_id::IsReadError, "IsReadError", false, false, false, false},
        {call_id::IsWriteError, "IsWriteError", false, false, false, false},
        {call_id::WrTr1Card, "WrTr1Card", true, false, false, false},
        {call_id::WrTr2Card, "WrTr2Card", false, true, false, false},
        {call_id::WrTr12Card, "WrTr12Card", true, true, false, false},
        {call_id::RadTr1Card, "RadTr1Card", false, false, true, false},
        {call_id::RadTr2Card, "RadTr2Card", false, false, false, true},
        {call_id::RadTr12Card, "RadTr12Card", false, false, true, true},
        {call_id::CardCancel, "CardCancel", false, false, false, false},
    };
    return table;
}

const call_info& info_of(call_id id) { return calls()[static_cast<std::size_t>(id)]; }

bool to_bytes(const std::string& utf8, std::string& bytes) {
    // The text is valid UTF-8 (the JSON parser checked it): U+0080..U+00FF are
    // the two-byte sequences led by C2 and C3; any other lead is a higher character.
    bytes.clear();
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c == 0) return false;
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++i]);
            bytes += static_cast<char>(((c & 0x1Fu) << 6) | (next & 0x3Fu));
        } else {
            return false;
        }
    }
    return true;
}

std::string to_text(const std::string& bytes) {
    std::string text;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

parsed parse_request(std::string_view text, const std::vector<std::string>& ports) {
    if (text.size() > max_request_size) {
        // Answered with the request's id when it has one, so that a client can match the error.
        const json whole = json::parse(text.begin(), text.end(), nullptr, false);
        return fail(whole.is_object() ? whole.value("id", json()) : json(), error::too_large,
                    "the request is " + std::to_string(text.size()) + " bytes; at most " +
                        std::to_string(max_request_size) + " are taken");
    }
    json object;
    try {
        object = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& e) {
        return fail(nullptr, error::bad_json, std::string("not JSON: ") + e.what());
    }
    if (!object.is_object()) return fail(nullptr, error::bad_json, "a request is a JSON object");
    json id = object.value("id", json());

    const auto name = object.find("call");
    if (name == object.end()) return fail(id, error::bad_argument, "\"call\" is missing");
    if (!name->is_string()) return fail(id, error::bad_argument, "\"call\" must be a string");
    const auto& wanted = name->get_ref<const std::string&>();
    const auto& table = calls();
    const auto call = std::find_if(table.begin(), table.end(), [&](const call_info& c) { return wanted == c.name; });
    if (call == table.end())
        return fail(id, error::unknown_call,
                    "no function " + shown(wanted) + ": call is one of the library's twelve, e.g. \"RadTr12Card\"");

    const auto items = object.items();
    const auto unknown =
        std::find_if(items.begin(), items.end(), [&](const auto& item) { return !known_field(*call, item.key()); });
    if (unknown != items.end())
        return fail(id, error::bad_argument, std::string(call->name) + " takes no " + shown(unknown.key()));

    parsed p;
    p.ok = true;
    p.req.id = id;
    p.req.call = call->id;
    std::string message;
    if (call->writes1 && !track_argument(object, "track1", p.req.track1, message))
        return fail(id, error::bad_argument, message);
    if (call->writes2 && !track_argument(object, "track2", p.req.track2, message))
        return fail(id, error::bad_argument, message);

    if (call->id == call_id::CreatmComm) {
        const auto port = object.find("port");
        if (port == object.end()) {
            if (ports.size() != 1) return fail(id, error::bad_argument, "\"port\" is missing: name one of --serial");
            p.req.port = ports.front();
        } else if (!port->is_string()) {
            return fail(id, error::bad_argument, "\"port\" must be a string");
        } else {
            p.req.port = port->get<std::string>();
            if (std::find(ports.begin(), ports.end(), p.req.port) == ports.end())
                return fail(id, error::bad_argument,
                            "port " + shown(p.req.port) + " is not one this bridge serves (its --serial ports)");
        }
    }

    const auto timeout = object.find("timeoutMs");
    if (timeout != object.end()) {
        if (!timeout->is_number_integer() || timeout->get<long long>() < 1 ||
            timeout->get<long long>() > max_timeout_ms)
            return fail(id, error::bad_argument,
                        "\"timeoutMs\" must be a whole number of milliseconds from 1 to " +
                            std::to_string(max_timeout_ms));
        p.req.timeout_ms = timeout->get<long long>();
    }
    return p;
}

outcome run_call(const card_api& api, const request& req) {
    outcome out;
    // The sizes the header names; a read never writes more, and terminates.
    char one[CARD_TRACK1_BUFFER_SIZE] = {};
    char two[CARD_TRACK2_BUFFER_SIZE] = {};
    const auto held = [](const char* buffer, std::size_t size) { return std::string(buffer, strnlen(buffer, size)); };
    switch (req.call) {
    case call_id::CreatmComm: out.result = api.CreatmComm(req.port.c_str()); break;
    case call_id::DestroymComm: out.result = api.DestroymComm(); break;
    case call_id::CardReset: out.result = api.CardReset(); break;
    case call_id::IsReadError: out.result = api.IsReadError(); break;
    case call_id::IsWriteError: out.result = api.IsWriteError(); break;
    case call_id::WrTr1Card: out.result = api.WrTr1Card(req.track1.c_str()); break;
    case call_id::WrTr2Card: out.result = api.WrTr2Card(req.track2.c_str()); break;
    case call_id::WrTr12Card: out.result = api.WrTr12Card(req.track1.c_str(), req.track2.c_str()); break;
    case call_id::RadTr1Card:
        out.result = api.RadTr1Card(one);
        out.track1 = held(one, sizeof one);
        break;
    case call_id::RadTr2Card:
        out.result = api.RadTr2Card(two);
        out.track2 = held(two, sizeof two);
        break;
    case call_id::RadTr12Card:
        out.result = api.RadTr12Card(one, two);
        out.track1 = held(one, CARD_TRACKS_BUFFER_SIZE);
        out.track2 = held(two, CARD_TRACKS_BUFFER_SIZE);
        break;
    case call_id::CardCancel: out.result = api.CardCancel(); break;
    }
    return out;
}

int busy_result(call_id call) {
    if (call == call_id::CreatmComm) return -170; // minus ERROR_BUSY
    if (call == call_id::DestroymComm) return 0;
    return CARD_BUSY;
}

std::string response_text(const request& req, const outcome& out) {
    json response = {{"id", req.id}, {"result", out.result}};
    const auto& call = info_of(req.call);
    if (call.reads1) response["track1"] = to_text(out.track1);
    if (call.reads2) response["track2"] = to_text(out.track2);
    if (out.timed_out) response["timedOut"] = true;
    return dump(response);
}

std::string error_text(const json& id, const char* code, const std::string& message) {
    return dump(json{{"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

} // namespace bridge
