// Every exported function against every Win32 failure it can meet: each call it
// makes in a fault-free run is made to fail, one occurrence at a time, and the
// function must still return a documented result, leave no read outstanding,
// misuse nothing, and leave a port that closes, opens again and closes cleanly.
// Each runs on a healthy port and on one whose configuration failed when it
// was opened, where no read time-outs are in force.
#include "fixture.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

// The stand-in functions that can be made to fail, each with the errors a real
// system plausibly reports for it.
struct Failable {
    const char* function;
    std::vector<DWORD> errors;
};

const std::vector<Failable> kFailables = {
    {"CreateFileA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"CreateEventA", {ERROR_NOT_ENOUGH_MEMORY}},
    {"CloseHandle", {ERROR_INVALID_HANDLE}},
    // ERROR_INVALID_FUNCTION is the code 1 that OpenPort must not return as 1.
    {"GetCommState", {ERROR_INVALID_FUNCTION, ERROR_GEN_FAILURE}},
    {"SetCommState", {ERROR_INVALID_FUNCTION, ERROR_INVALID_PARAMETER}},
    {"SetupComm", {ERROR_INVALID_FUNCTION, ERROR_INVALID_PARAMETER}},
    {"SetCommTimeouts", {ERROR_INVALID_FUNCTION, ERROR_INVALID_PARAMETER}},
    {"SetCommMask", {ERROR_INVALID_PARAMETER}},
    {"PurgeComm", {ERROR_GEN_FAILURE}},
    {"ClearCommError", {ERROR_GEN_FAILURE}},
    {"EscapeCommFunction", {ERROR_GEN_FAILURE}},
    {"WriteFile", {ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED}},
    {"ReadFile", {ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED}},
    {"GetOverlappedResult", {ERROR_OPERATION_ABORTED, ERROR_TIMEOUT, ERROR_GEN_FAILURE}},
    {"CancelIo", {ERROR_GEN_FAILURE}},
    {"GetCommTimeouts", {ERROR_GEN_FAILURE}},
};

// The device as the function meets it.
enum Device {
    PROMPT, // answers at once; writes complete at once
    SLOW,   // answers 10 ms after each request; every write goes pending first
    SILENT, // answers nothing: every read ends empty after 50 ms (a time-out, shortened)
    EMPTY,  // every read completes at once with nothing
    ESCAPE  // stays silent, and the user presses Escape while the function waits
};
const Device kDevices[] = {PROMPT, SLOW, SILENT, EMPTY, ESCAPE};
const char* const kDeviceNames[] = {"prompt device", "slow device", "silent device", "empty replies", "Escape pressed"};

const sim::Bytes kStatusRequest = sim::B("\x1B\x6A");

// The port the function meets: opened by CreatmComm("COM1"), whose step
// `failingStep` (if any) failed with ERROR_GEN_FAILURE. After a failed
// configuration step the port has no read time-outs: a status answer shorter
// than the ten bytes asked for leaves its read pending until the library gives
// up on it, and then the abort must end the read whatever fails. The track
// operations re-open the port, which configures it again, before they use it:
// on that port they meet what they meet on a healthy one, so only the others
// are swept there.
struct PortSetup {
    const char* name;
    const char* failingStep;
};
const PortSetup kPortSetups[] = {{"healthy port", nullptr}, {"configuration failed", "SetCommState"}};

// Replies of a well-behaved device: the status "success" and one card's tracks.
void ScriptDevice(Device device) {
    if (device == ESCAPE) {
        sim::HoldEscape(sim::Now() + 300, sim::Now() + 400);
        return;
    }
    if (device == SILENT || device == EMPTY) {
        using R = sim::ReadScript;
        for (int i = 0; i < 4; ++i)
            sim::NextRead({device == SILENT ? R::PENDING : R::AT_ONCE, {}, 50, 0});
        return;
    }
    const DWORD delay = device == SLOW ? 10 : 0;
    sim::Answer(kStatusRequest, sim::B("\x1Bp"), delay);
    // Track 1's request is followed by a purge of what was received: no device
    // answers before that, so its reply comes a moment later even here.
    sim::Answer(sim::B("\x1B\x42\x5D"), sim::B("\x1Bs%B1^A?\x3F\x1C"), delay == 0 ? 1 : delay);
    sim::Answer(sim::B("\x1B\x54\x5D"), sim::B("\x1Bs\x1B;12=3?\x3F\x1C"), delay);
    sim::Answer(sim::B("\x1B\x5D"), sim::B("\x1Bs%B1^A?\x1D;12=3?\x3F\x1C"), delay);
    if (device == SLOW) {
        for (int i = 0; i < 8; ++i)
            sim::NextWrite({sim::WriteScript::PENDING, 2, 0});
    }
}

// Host buffers of exactly the documented sizes, filled without a terminator so
// that an unterminated write into them shows.
struct HostBuffers {
    std::vector<char> track1 = std::vector<char>(CARD_TRACK1_BUFFER_SIZE, 'Z');
    std::vector<char> track2 = std::vector<char>(CARD_TRACK2_BUFFER_SIZE, 'Z');
    std::vector<char> tracks1 = std::vector<char>(CARD_TRACKS_BUFFER_SIZE, 'Z');
    std::vector<char> tracks2 = std::vector<char>(CARD_TRACKS_BUFFER_SIZE, 'Z');
};

bool Untouched(const std::vector<char>& buffer) {
    for (char c : buffer) {
        if (c != 'Z') return false;
    }
    return true;
}

bool Terminated(const std::vector<char>& buffer) { return std::memchr(buffer.data(), '\0', buffer.size()) != nullptr; }

enum Kind {
    OPENS,  // CreatmComm / OpenPort: 1, 0, -code or a configuration code
    CLOSES, // DestroymComm / ClosePort: 1 or 0
    CARD    // card functions: CARD_OK, CARD_IO_FAILED, CARD_CANCELLED (the port is open)
};

struct Operation {
    const char* name;
    Kind kind;
    const char* port;  // OPENS: the port that a result of 1 says is open and configured
    bool cancellable;  // waits for the user, so the Escape scenario applies
    bool startsClosed; // runs on a closed port instead of an open one
    std::function<int(HostBuffers&)> call;
};

// A copy of the open port object, assigned to another object, closes the port
// that the original opened; the original takes the closed state back.
int CloseThroughACopy() {
    const mComm copy(g_comm);
    mComm assigned;
    assigned = copy;
    const int result = assigned.ClosePort();
    g_comm = assigned;
    return result;
}

const std::vector<Operation> kOperations = {
    {"CreatmComm(\"COM1\") re-opening", OPENS, "COM1", false, false, [](HostBuffers&) { return CreatmComm("COM1"); }},
    {"CreatmComm(\"COM1\") on a closed port", OPENS, "COM1", false, true,
     [](HostBuffers&) { return CreatmComm("COM1"); }},
    {"DestroymComm", CLOSES, "", false, false, [](HostBuffers&) { return DestroymComm(); }},
    {"CardReset", CARD, "", false, false, [](HostBuffers&) { return CardReset(); }},
    {"IsReadError", CARD, "", false, false, [](HostBuffers&) { return IsReadError(); }},
    {"IsWriteError", CARD, "", true, false, [](HostBuffers&) { return IsWriteError(); }},
    {"WrTr1Card", CARD, "", true, false, [](HostBuffers&) { return WrTr1Card("%B1^A?"); }},
    {"WrTr2Card", CARD, "", true, false, [](HostBuffers&) { return WrTr2Card(";12=3?"); }},
    {"WrTr12Card", CARD, "", true, false, [](HostBuffers&) { return WrTr12Card("%B1^A?", ";12=3?"); }},
    {"RadTr1Card", CARD, "", true, false, [](HostBuffers& b) { return RadTr1Card(b.track1.data()); }},
    {"RadTr2Card", CARD, "", true, false, [](HostBuffers& b) { return RadTr2Card(b.track2.data()); }},
    {"RadTr12Card", CARD, "", true, false,
     [](HostBuffers& b) { return RadTr12Card(b.tracks1.data(), b.tracks2.data()); }},
    {"mComm::OpenPort(portName) re-opening", OPENS, "COM1", false, false,
     [](HostBuffers&) { return g_comm.OpenPort(g_comm.portName); }},
    {"mComm::OpenPort(\"\\\\.\\COM12\") switching ports", OPENS, "COM12", false, false,
     [](HostBuffers&) { return g_comm.OpenPort(const_cast<char*>("\\\\.\\COM12")); }},
    {"mComm::ClosePort", CLOSES, "", false, false, [](HostBuffers&) { return g_comm.ClosePort(); }},
    {"mComm copy closing the port", CLOSES, "", false, false, [](HostBuffers&) { return CloseThroughACopy(); }},
};

// Results the header documents for the function, given the error injected
// (0: none) and whether the user pressed Escape.
std::set<int> Documented(Kind kind, DWORD error, bool escape) {
    switch (kind) {
    case OPENS: {
        std::set<int> results = {1};
        if (error != 0) {
            results.insert(0);
            results.insert(-static_cast<int>(error));
            results.insert(static_cast<int>(error == 1 ? (MCOMM_CONFIG_ERROR_FLAG | error) : error));
        }
        return results;
    }
    case CLOSES: return error != 0 ? std::set<int>{1, 0} : std::set<int>{1};
    case CARD:
        if (escape) return {CARD_CANCELLED, CARD_IO_FAILED, CARD_OK};
        return error != 0 ? std::set<int>{CARD_OK, CARD_IO_FAILED} : std::set<int>{CARD_OK};
    }
    return {};
}

// Longest virtual time a function may take: a track read that receives nothing
// ends after 400 * 3 s, a status read after 10 * 3 s; a faulted call may wait
// for one of each on top of what it took without the fault.
const DWORD kLongestWaits = 400 * 3000 + 2 + 10 * 3000 + 2;

// Ends the process with the case's name when a call runs for too long in real
// time: a loop that never sleeps would otherwise hang the test silently.
class Watchdog {
public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Arm(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = what;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            wake_.wait_for(lock, std::chrono::milliseconds(200));
            if (!done_ && !what_.empty() && std::chrono::steady_clock::now() > deadline_) {
                std::fprintf(stderr, "fault sweep: hangs in %s\n", what_.c_str());
                std::abort();
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_;
    std::thread thread_;
};

struct Outcome {
    int result = 0;
    DWORD took = 0;
    std::map<std::string, int> calls; // failable calls made, by function
    std::vector<std::string> faults;  // what went wrong, empty when nothing did
    std::string trace;                // the call's trace
};

// A re-open closes the old port handle and goes on whatever that close says:
// on Windows a CloseHandle that fails was given a handle that is no longer
// valid, so nothing stays held. The stand-in keeps a handle whose close was
// made to fail open, so there the port stays held: the re-open fails with
// -ERROR_ACCESS_DENIED and later opens of that port do too. Every function that
// re-opens (CreatmComm, OpenPort, the writes and the reads) shows it. These
// cases are counted, not failed; only these symptoms are excused, and only in
// such a case.
bool IsKnownReopenLeak(const std::string& function, const Outcome& outcome) {
    if (function != "CloseHandle" || outcome.trace.find("CloseHandle port 1 -> error") == std::string::npos ||
        outcome.trace.find("CreateFileA") == std::string::npos) {
        return false;
    }
    for (const std::string& fault : outcome.faults) {
        const bool symptom = fault.rfind("afterwards DestroymComm", 0) == 0 ||
                             fault.find("handles open after the last DestroymComm") != std::string::npos ||
                             fault.rfind("result -5 is not one", 0) == 0;
        if (!symptom) return false;
    }
    return true;
}

bool IsTrackOperation(const Operation& op) {
    const std::string name = op.name;
    return name.rfind("Wr", 0) == 0 || name.rfind("Rad", 0) == 0;
}

// What the function gives without faults: success, but no status from a device
// that answers nothing, and cancelled when the user presses Escape. Where the
// configuration failed, a status query run on its own never sees its answer end.
int CleanResult(const Operation& op, Device device, const PortSetup& setup) {
    if (device == ESCAPE) return CARD_CANCELLED;
    const std::string name = op.name;
    const bool needsAnswer = op.kind == CARD && name != "CardReset";
    const bool statusUnended = setup.failingStep != nullptr && (name == "IsReadError" || name == "IsWriteError");
    return needsAnswer && (device == SILENT || device == EMPTY || statusUnended) ? CARD_IO_FAILED : 1;
}

// The occurrences of a call that the sweep fails: all of them, except in a
// long polling run (a read waited for until the library gives up on it makes
// some 17,500 completion queries), where the first and last ten stand for the
// identical ones between.
std::vector<int> Occurrences(int calls) {
    const int kLongRun = 200, kEnds = 10;
    std::vector<int> picked;
    for (int k = 0; k < calls; ++k) {
        if (calls <= kLongRun || k < kEnds || k >= calls - kEnds) picked.push_back(k);
    }
    return picked;
}

std::string TraceText() {
    std::string text;
    for (const std::string& line : sim::Trace())
        text += "\n    " + line;
    return text;
}

class FaultSweep : public World {
protected:
    // A fresh world with g_comm open on COM1 as `setup` says (or closed), the
    // device scripted, and then the operation, with `function`'s occurrence
    // `skip` failing with `error` when error is nonzero. Checks everything but
    // the result.
    Outcome Run(const PortSetup& setup, const Operation& op, Device device, const char* function, int skip,
                DWORD error) {
        sim::Reset();
        ResetPortObject(g_comm);
        sim::AddPort("COM1");
        sim::AddPort("COM12");
        Outcome out;
        if (setup.failingStep != nullptr) sim::Fail(setup.failingStep, ERROR_GEN_FAILURE);
        const int opened = CreatmComm("COM1");
        if (opened != (setup.failingStep != nullptr ? static_cast<int>(ERROR_GEN_FAILURE) : 1)) {
            out.faults.push_back("COM1 did not open as set up before the call: " + std::to_string(opened));
            return out;
        }
        if (op.startsClosed && DestroymComm() != 1) out.faults.push_back("COM1 did not close before the call");
        sim::ClearTrace();
        ScriptDevice(device);
        if (error != 0) sim::Fail(function, error, 1, skip);

        HostBuffers buffers;
        const DWORD start = sim::Now();
        out.result = op.call(buffers);
        out.took = sim::Now() - start;
        out.trace = TraceText();
        if (op.kind == OPENS && out.result == 1) {
            // 1 means open at 9600 baud, 8N1, with the read time-outs set.
            const sim::PortState port = sim::Port(op.port);
            if (!port.open || port.dcb.BaudRate != 9600 || port.dcb.ByteSize != 8 || port.dcb.Parity != NOPARITY ||
                port.dcb.StopBits != ONESTOPBIT || port.timeouts.ReadIntervalTimeout == 0 || !g_comm.opened) {
                out.faults.push_back(std::string("result 1, but ") + op.port + " is not open and configured");
            }
        }
        for (const Failable& f : kFailables) {
            const int n = sim::Calls(f.function);
            if (n > 0) out.calls[f.function] = n;
        }

        if (error != 0 && sim::Calls(function) <= skip) {
            out.faults.push_back("the failure was never injected: the call made only " +
                                 std::to_string(sim::Calls(function)) + " " + function + " calls");
        }
        if (sim::ReadOutstanding()) out.faults.push_back("a read into a library buffer is still outstanding");
        for (const std::string& problem : sim::Problems())
            out.faults.push_back("stand-in problem: " + problem);

        const std::pair<const char*, const std::vector<char>*> outputs[] = {{"track 1 buffer", &buffers.track1},
                                                                            {"track 2 buffer", &buffers.track2},
                                                                            {"first tracks buffer", &buffers.tracks1},
                                                                            {"second tracks buffer", &buffers.tracks2}};
        for (const auto& output : outputs) {
            if (Untouched(*output.second)) continue;
            if (out.result == CARD_CANCELLED)
                out.faults.push_back(std::string(output.first) + " written on CARD_CANCELLED");
            if (!Terminated(*output.second))
                out.faults.push_back(std::string(output.first) + " not terminated in its size");
        }

        // The host closes the port and opens it again; the last close leaves
        // nothing open. A handle whose CloseHandle was made to fail stays open
        // in the stand-in, so that one may remain.
        const int closed = DestroymComm();
        const int reopened = CreatmComm("COM1");
        const int closedAgain = DestroymComm();
        if (closed != 1 || reopened != 1 || closedAgain != 1) {
            out.faults.push_back("afterwards DestroymComm, CreatmComm(\"COM1\"), DestroymComm gave " +
                                 std::to_string(closed) + ", " + std::to_string(reopened) + ", " +
                                 std::to_string(closedAgain) + " instead of 1, 1, 1");
        }
        const int leftAllowed = error != 0 && std::string(function) == "CloseHandle" ? 1 : 0;
        if (sim::OpenHandles() > leftAllowed) {
            out.faults.push_back(std::to_string(sim::OpenHandles()) + " handles open after the last DestroymComm");
        }
        for (const std::string& problem : sim::Problems()) {
            if (std::find(out.faults.begin(), out.faults.end(), "stand-in problem: " + problem) == out.faults.end()) {
                out.faults.push_back("stand-in problem while closing and re-opening: " + problem);
            }
        }

        // Leave a clean world for the fixture's own checks.
        sim::Reset();
        ResetPortObject(g_comm);
        return out;
    }

    Watchdog watchdog;
};

TEST_F(FaultSweep, EveryFailureOfEveryCallLeavesAUsablePort) {
    int cases = 0;
    int knownReopenLeaks = 0;
    for (const PortSetup& setup : kPortSetups) {
        for (const Operation& op : kOperations) {
            for (Device device : kDevices) {
                if (device == ESCAPE && !op.cancellable) continue;
                if (setup.failingStep != nullptr && IsTrackOperation(op)) continue;
                const std::string scenario =
                    std::string(op.name) + " [" + kDeviceNames[device] + ", " + setup.name + "]";

                // The fault-free run: what the function calls, and that it succeeds
                // (or is cancelled by the user).
                watchdog.Arm(scenario + " without faults");
                const Outcome clean = Run(setup, op, device, "", 0, 0);
                const int expected = CleanResult(op, device, setup);
                if (clean.result != expected || !clean.faults.empty()) {
                    std::string list;
                    for (const std::string& fault : clean.faults)
                        list += "\n  - " + fault;
                    ADD_FAILURE() << scenario << " without faults: result " << clean.result << " (expected " << expected
                                  << ")" << list << "\n  trace:" << clean.trace;
                    continue;
                }

                for (const auto& called : clean.calls) {
                    const Failable& failable =
                        *std::find_if(kFailables.begin(), kFailables.end(),
                                      [&](const Failable& f) { return called.first == f.function; });
                    for (int k : Occurrences(called.second)) {
                        for (DWORD error : failable.errors) {
                            std::ostringstream what;
                            what << scenario << ": " << called.first << " call " << k + 1 << " of " << called.second
                                 << " fails with error " << error;
                            watchdog.Arm(what.str());
                            Outcome faulted = Run(setup, op, device, failable.function, k, error);
                            ++cases;

                            const std::set<int> documented = Documented(op.kind, error, device == ESCAPE);
                            if (documented.count(faulted.result) == 0) {
                                faulted.faults.push_back(
                                    "result " + std::to_string(faulted.result) +
                                    " is not one the header documents here: " + ::testing::PrintToString(documented));
                            }
                            if (faulted.took > clean.took + kLongestWaits) {
                                faulted.faults.push_back("took " + std::to_string(faulted.took) +
                                                         " ms of virtual time");
                            }
                            if (!faulted.faults.empty() && IsKnownReopenLeak(failable.function, faulted)) {
                                ++knownReopenLeaks;
                            } else if (!faulted.faults.empty()) {
                                std::string list;
                                for (const std::string& fault : faulted.faults)
                                    list += "\n  - " + fault;
                                ADD_FAILURE() << what.str() << " (result " << faulted.result << "):" << list
                                              << "\n  trace:" << faulted.trace;
                            }
                        }
                    }
                }
            }
        }
    }
    watchdog.Arm("");
    // Some 5,800 cases today: far fewer means the fault-free runs stopped
    // making the calls the sweep fails.
    EXPECT_GT(cases, 300) << "the sweep ran too few cases";
    EXPECT_GT(knownReopenLeaks, 0) << "the re-open no longer goes on past a failed close of the old handle: "
                                      "IsKnownReopenLeak excuses nothing now";
    RecordProperty("cases", cases);
    RecordProperty("knownReopenLeaks", knownReopenLeaks);
}

// The sweep's own premise: the fault-free runs touch every function that can fail,
// so no failure path of the stand-in goes unexercised.
TEST_F(FaultSweep, TheFaultFreeRunsReachEveryFailableFunction) {
    std::set<std::string> reached;
    for (const Operation& op : kOperations) {
        for (Device device : kDevices) {
            if (device == ESCAPE && !op.cancellable) continue;
            for (const auto& called : Run(kPortSetups[0], op, device, "", 0, 0).calls)
                reached.insert(called.first);
        }
    }
    for (const Failable& f : kFailables)
        EXPECT_EQ(reached.count(f.function), 1u) << f.function << " never called";
}

} // namespace
