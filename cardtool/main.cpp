// cardtool: drives the card reader/writer through the library from a console.
//
// It opens the port once, runs the commands given on the command line in order,
// and closes the port once, printing every library call with its result and how
// long it took. The exit code is 0 only when every call returned its success value.
// A few commands report on the process itself (handle count, processor time, the
// performance counter), for the soak test and the benchmarks. "meanwhile" makes
// a call on a second thread while the one before it is under way, which the
// library refuses. What differs between Windows and Linux is in
// platform_windows.cpp and platform_linux.cpp.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QT741DLL.h"
#include "platform.h"
#include "qt741_version.h"

namespace {

const char kUsage[] = "usage: cardtool [--precise] PORT [COMMAND...]\n"
                      "       cardtool --version\n"
                      "\n"
                      "Opens PORT (e.g. COM5, COM10 or \\\\.\\COM10; on Linux also a device path such as\n"
                      "/dev/ttyUSB0, and COM1 is /dev/ttyS0) with CreatmComm, runs the commands in\n"
                      "order, then closes it with DestroymComm. Without commands it only opens and closes\n"
                      "the port, which checks that the port can be opened.\n"
                      "\n"
                      "--precise: times in microseconds ([152.345 ms]) and, after every call, when it was\n"
                      "made and when it returned on a monotonic clock (QueryPerformanceCounter), in seconds\n"
                      "(\"  clock: 1234.567890 1234.720235\").\n"
                      "--version: this program's version and copyright, and the version of the library it\n"
                      "loaded, and where from.\n"
                      "\n"
                      "commands:\n"
                      "  write 1 DATA        write track 1 (WrTr1Card), then swipe the card\n"
                      "  write 2 DATA        write track 2 (WrTr2Card), then swipe the card\n"
                      "  write 12 T1 T2      write both tracks (WrTr12Card), then swipe the card\n"
                      "  read 1|2|12         swipe a card and read track 1, track 2 or both (RadTr1Card, ...)\n"
                      "  reset               reset the device (CardReset)\n"
                      "  status read|write   ask how the last read or write went (IsReadError, IsWriteError)\n"
                      "  open                open PORT again (CreatmComm)\n"
                      "  close               close the port (DestroymComm); the final close still follows\n"
                      "  sleep MS            wait MS milliseconds before the next command\n"
                      "  handles             print the process's handle count (\"  handles: 57 ...\")\n"
                      "  cpu                 print the processor time the process has used (\"  cpu: 0.015625 s\n"
                      "                      user, 0.031250 s kernel\")\n"
                      "  clock               print that clock (\"  clock: 1234.567890\")\n"
                      "  meanwhile MS CMD    while the command before it runs, make CMD (read, write, status,\n"
                      "                      reset, open or close) on a second thread MS milliseconds after\n"
                      "                      that thread started; both are reported, and the second thread\n"
                      "                      ends before the next command. The library does one call at a\n"
                      "                      time: the second is refused (-6 CARD_BUSY; CreatmComm -170,\n"
                      "                      DestroymComm 0) if the first is still under way.\n"
                      "\n"
                      "A read or a write waits until the card is swiped; press Escape to give up (on Linux\n"
                      "in cardtool's terminal, which then calls CardCancel; on Windows Ctrl-Break does too).\n"
                      "Example: cardtool COM5 write 12 HELLO 12345 read 12 reset\n"
                      "         cardtool COM5 read 1 meanwhile 100 read 2\n"
                      "Exit code: 0 when every call succeeded, 1 when one did not, 2 for a bad command line.\n";

// What a command does.
enum class Op {
    Write1,
    Write2,
    Write12,
    Read1,
    Read2,
    Read12,
    Reset,
    StatusRead,
    StatusWrite,
    Open,
    Close,
    Sleep,
    Handles,
    Cpu,
    Clock
};

struct Step {
    Op op;
    std::string first;  // track data (track 1 for write 12)
    std::string second; // track 2 for write 12
    unsigned long ms;   // sleep; for a "meanwhile" command, how long after the one it goes with
    // "meanwhile MS COMMAND" after this command: COMMAND, made on a second thread.
    std::shared_ptr<const Step> meanwhile;
};

// The commands that call the library, which "meanwhile" can make.
bool CallsLibrary(Op op) { return op != Op::Sleep && op != Op::Handles && op != Op::Cpu && op != Op::Clock; }

bool ParseMs(const char* text, unsigned long& ms) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = NULL;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value > 3600000UL) return false;
    ms = value;
    return true;
}

// The commands without arguments.
bool Simple(const std::string& word, Op& op) {
    struct SimpleCommand {
        const char* word;
        Op op;
    };
    static const SimpleCommand kSimple[] = {{"reset", Op::Reset},     {"open", Op::Open}, {"close", Op::Close},
                                            {"handles", Op::Handles}, {"cpu", Op::Cpu},   {"clock", Op::Clock}};
    const SimpleCommand* found = std::find_if(std::begin(kSimple), std::end(kSimple),
                                              [&](const SimpleCommand& command) { return word == command.word; });
    if (found == std::end(kSimple)) return false;
    op = found->op;
    return true;
}

// Reads the commands after the port name. All of them are checked before the
// port is opened, so a typo does not leave a cycle half done.
bool ParseSteps(int argc, char** argv, std::vector<Step>& steps, std::string& error) {
    int i = 2;
    auto next = [&](const char* what) -> const char* {
        if (i >= argc) {
            error = std::string("missing ") + what + " after \"" + argv[i - 1] + "\"";
            return NULL;
        }
        return argv[i++];
    };
    // One command, from its first word on.
    auto command = [&](const std::string& word, Step& step) {
        // "1", "2" or "12" after write and read: the first, second or third op.
        auto track = [&](Op one, Op two, Op both, Op& op) {
            const char* text = next("track (1, 2 or 12)");
            if (text == NULL) return false;
            const std::string which = text;
            if (which != "1" && which != "2" && which != "12") {
                error = word + ": track must be 1, 2 or 12, not \"" + which + "\"";
                return false;
            }
            op = which == "1" ? one : which == "2" ? two : both;
            return true;
        };
        if (word == "write") {
            if (!track(Op::Write1, Op::Write2, Op::Write12, step.op)) return false;
            const char* data = next(step.op == Op::Write12 ? "track 1 data" : "track data");
            if (data == NULL) return false;
            step.first = data;
            if (step.op == Op::Write12) {
                const char* data2 = next("track 2 data");
                if (data2 == NULL) return false;
                step.second = data2;
            }
        } else if (word == "read") {
            if (!track(Op::Read1, Op::Read2, Op::Read12, step.op)) return false;
        } else if (word == "status") {
            const char* kind = next("read or write");
            if (kind == NULL) return false;
            const std::string which = kind;
            if (which != "read" && which != "write") {
                error = "status: say \"read\" or \"write\", not \"" + which + "\"";
                return false;
            }
            step.op = which == "read" ? Op::StatusRead : Op::StatusWrite;
        } else if (Simple(word, step.op)) {
            // nothing more to read
        } else if (word == "sleep") {
            const char* ms = next("milliseconds");
            if (ms == NULL) return false;
            if (!ParseMs(ms, step.ms)) {
                error = std::string("sleep: \"") + ms + "\" is not a number of milliseconds (0 to 3600000)";
                return false;
            }
            step.op = Op::Sleep;
        } else {
            error = "unknown command \"" + word + "\"";
            return false;
        }
        return true;
    };
    while (i < argc) {
        const std::string word = argv[i++];
        Step step = {Op::Reset, "", "", 0, nullptr};
        if (word != "meanwhile") {
            if (!command(word, step)) return false;
            steps.push_back(step);
            continue;
        }
        if (steps.empty() || steps.back().meanwhile) {
            error = steps.empty() ? "meanwhile: no command before it to go with"
                                  : "meanwhile: the command before it already has one";
            return false;
        }
        const char* ms = next("milliseconds");
        if (ms == NULL) return false;
        if (!ParseMs(ms, step.ms)) {
            error = std::string("meanwhile: \"") + ms + "\" is not a number of milliseconds (0 to 3600000)";
            return false;
        }
        const char* what = next("command");
        if (what == NULL) return false;
        const unsigned long delay = step.ms;
        if (!command(what, step)) return false;
        if (!CallsLibrary(step.op)) {
            error = std::string("meanwhile: \"") + what + "\" makes no library call (read, write, status, reset, " +
                    "open or close)";
            return false;
        }
        step.ms = delay;
        steps.back().meanwhile = std::make_shared<const Step>(step);
    }
    return true;
}

// Track data as a quoted string; bytes outside printable ASCII as \xNN.
std::string Quoted(const char* data) {
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(data); *p != 0; ++p) {
        if (*p >= 0x20 && *p < 0x7F && *p != '"' && *p != '\\') {
            out += static_cast<char>(*p);
        } else {
            char cell[8];
            std::snprintf(cell, sizeof cell, "\\x%02X", static_cast<unsigned>(*p));
            out += cell;
        }
    }
    return out + "\"";
}

std::string SystemError(unsigned long code) {
    return "system error " + std::to_string(code) + ": " + platform::SystemMessage(code);
}

// A card function's result: its name, and for failures what it means.
std::string CardResult(int result) {
    switch (result) {
    case CARD_OK: return "(CARD_OK)";
    case CARD_NOT_OPEN: return "(CARD_NOT_OPEN): the port is not open";
    case CARD_IO_FAILED: return "(CARD_IO_FAILED): sending failed, or no or a bad answer came; check the device";
    case CARD_CANCELLED: return "(CARD_CANCELLED): Escape was pressed while waiting; the device was reset";
    case CARD_BUSY: return "(CARD_BUSY): refused, another call of the library was under way; nothing was sent";
    }
    return "(unknown result)";
}

// CreatmComm's refusal while another call of the library is under way: minus ERROR_BUSY.
const int kOpenBusy = -170;

std::string OpenResult(int result) {
    if (result == 1) return "(open)";
    if (result == kOpenBusy) return ": refused, another call of the library was under way; nothing changed";
    if (result == 0) return ": out of system resources (an event could not be created)";
    if (result < 0)
        return ": the port cannot be opened (" + SystemError(static_cast<unsigned long>(-static_cast<long>(result))) +
               ")";
    const unsigned long code = static_cast<unsigned long>(result) & ~0x20000000UL;
    return ": the port is open but could not be configured (" + SystemError(code) + ")";
}

std::string CloseResult(int result) {
    if (result == 1) return "(closed)";
    if (result == 0) return ": closing the port failed, or another call of the library was under way";
    return "(unknown result)";
}

// Set by --precise: times in microseconds, and each call's start and end on the
// performance counter, so that other programs' timestamps can be set against them.
bool g_precise = false;

// Times one call: started when constructed, stopped by Stop().
class Timer {
public:
    Timer() : start_(platform::Clock()), end_(start_) {}
    void Stop() { end_ = platform::Clock(); }
    std::string Elapsed() const {
        const double ms = (end_ - start_) * 1000.0;
        char text[48];
        if (g_precise) {
            std::snprintf(text, sizeof text, "%.3f", ms);
        } else {
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(ms));
        }
        return text;
    }
    double Start() const { return start_; }
    double End() const { return end_; }

private:
    double start_;
    double end_;
};

// Writes a call's lines in one go. The C runtime locks the stream for each
// fwrite, so the lines of a call made by the other thread ("meanwhile") come
// before or after them, never between.
void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Prints one call: "RadTr1Card -> 1 (CARD_OK) [380 ms]". Failures get their
// explanation after the time, so every line starts the same way. With --precise
// a line with the call's start and end on the performance counter follows, and
// then `details` (the tracks read).
void Report(const std::string& call, int result, const std::string& meaning, Timer& timer,
            const std::string& details = "") {
    timer.Stop();
    std::string name = meaning;
    std::string explanation;
    const size_t colon = meaning.find(':');
    if (colon != std::string::npos) {
        name = meaning.substr(0, colon);
        explanation = meaning.substr(colon);
    }
    std::string text = call + " -> " + std::to_string(result) + (name.empty() ? "" : " ") + name + " [" +
                       timer.Elapsed() + " ms]" + explanation + "\n";
    if (g_precise) {
        char clock[80];
        std::snprintf(clock, sizeof clock, "  clock: %.6f %.6f\n", timer.Start(), timer.End());
        text += clock;
    }
    Print(text + details);
}

void Hint(const char* text) { Print(std::string("  ") + text + "\n"); }

class Runner {
public:
    explicit Runner(const char* port) : port_(port) {}

    bool Open() {
        Timer timer;
        const int result = CreatmComm(port_);
        Report("CreatmComm(" + Quoted(port_) + ")", result, OpenResult(result), timer);
        return Check(result == 1);
    }

    void Close() {
        Timer timer;
        const int result = DestroymComm();
        Report("DestroymComm", result, CloseResult(result), timer);
        Check(result == 1);
    }

    // A command, and the one to make meanwhile on a second thread: that one
    // `ms` after the thread starts running (a thread may be slow to start on a
    // loaded machine; its delay is counted from then, so it never eats into it).
    // The thread has ended when this returns.
    void Run(const Step& step) {
        if (!step.meanwhile) {
            RunOne(step);
            return;
        }
        const Step& other = *step.meanwhile;
        platform::Thread thread;
        std::string error;
        if (!thread.Start(
                [this, &other] {
                    platform::SleepMs(other.ms);
                    RunOne(other);
                },
                error)) {
            Print("cardtool: " + error + "; the \"meanwhile\" command was not run\n");
            Check(false);
        }
        RunOne(step);
        if (!thread.Join(error)) {
            Print("cardtool: " + error + "\n");
            Check(false);
        }
    }

    bool AllPassed() const { return allPassed_; }

private:
    void RunOne(const Step& step) {
        switch (step.op) {
        case Op::Write1:
            Write("WrTr1Card(" + Quoted(step.first.c_str()) + ")", [&] { return WrTr1Card(step.first.c_str()); });
            break;
        case Op::Write2:
            Write("WrTr2Card(" + Quoted(step.first.c_str()) + ")", [&] { return WrTr2Card(step.first.c_str()); });
            break;
        case Op::Write12:
            Write("WrTr12Card(" + Quoted(step.first.c_str()) + ", " + Quoted(step.second.c_str()) + ")",
                  [&] { return WrTr12Card(step.first.c_str(), step.second.c_str()); });
            break;
        case Op::Read1: ReadOne("RadTr1Card", RadTr1Card, CARD_TRACK1_BUFFER_SIZE); break;
        case Op::Read2: ReadOne("RadTr2Card", RadTr2Card, CARD_TRACK2_BUFFER_SIZE); break;
        case Op::Read12: ReadBoth(); break;
        case Op::Reset: Simple("CardReset", CardReset); break;
        case Op::StatusRead: Simple("IsReadError", IsReadError); break;
        case Op::StatusWrite: Simple("IsWriteError", IsWriteError); break;
        case Op::Open: Open(); break;
        case Op::Close: Close(); break;
        case Op::Sleep:
            std::printf("  sleeping %lu ms\n", static_cast<unsigned long>(step.ms));
            std::fflush(stdout);
            platform::SleepMs(step.ms);
            break;
        case Op::Handles: Handles(); break;
        case Op::Cpu: Cpu(); break;
        case Op::Clock: {
            std::printf("  clock: %.6f\n", platform::Clock());
            std::fflush(stdout);
            break;
        }
        }
    }

    bool Check(bool passed) {
        if (!passed) allPassed_ = false;
        return passed;
    }

    void Simple(const char* call, int(QT741_CALL* function)()) {
        Timer timer;
        const int result = function();
        Report(call, result, CardResult(result), timer);
        Check(result == CARD_OK);
    }

    template <typename Call> void Write(const std::string& call, Call function) {
        Hint("swipe the card to write it (Escape cancels)");
        Timer timer;
        const int result = function();
        Report(call, result, CardResult(result), timer);
        Check(result == CARD_OK);
    }

    // The handle count shows a leak of ports, events or anything else the
    // library opens: over many open/read/close cycles it must not grow.
    void Handles() {
        Check(platform::PrintHandles());
        std::fflush(stdout);
    }

    // Processor time used by the whole process so far, all threads together.
    void Cpu() {
        double user = 0, kernel = 0;
        std::string error;
        if (platform::CpuTimes(user, kernel, error)) {
            std::printf("  cpu: %.6f s user, %.6f s kernel\n", user, kernel);
        } else {
            std::printf("  cpu: %s\n", error.c_str());
            Check(false);
        }
        std::fflush(stdout);
    }

    // A read's buffers start zeroed, so whatever the call leaves in them is a string.
    void ReadOne(const char* call, int(QT741_CALL* function)(char*), size_t size) {
        std::vector<char> track(size, '\0');
        Hint("swipe the card to read it (Escape cancels)");
        Timer timer;
        const int result = function(track.data());
        const bool delivered = result == CARD_OK || result == CARD_IO_FAILED;
        Report(call, result, CardResult(result), timer, delivered ? "  track: " + Quoted(track.data()) + "\n" : "");
        Check(result == CARD_OK);
    }

    void ReadBoth() {
        std::vector<char> track1(CARD_TRACKS_BUFFER_SIZE, '\0');
        std::vector<char> track2(CARD_TRACKS_BUFFER_SIZE, '\0');
        Hint("swipe the card to read it (Escape cancels)");
        Timer timer;
        const int result = RadTr12Card(track1.data(), track2.data());
        std::string details;
        if (result == CARD_OK || result == CARD_IO_FAILED)
            details = "  track 1: " + Quoted(track1.data()) + "\n  track 2: " + Quoted(track2.data()) + "\n";
        Report("RadTr12Card", result, CardResult(result), timer, details);
        Check(result == CARD_OK);
    }

    const char* port_;
    std::atomic<bool> allPassed_{true}; // both threads of a "meanwhile" report here
};

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--precise") == 0) {
        g_precise = true;
        --argc;
        ++argv;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("cardtool %s\n%s\n", QT741_VERSION_STRING, QT741_COPYRIGHT);
        return platform::PrintLibraryVersion();
    }
    if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0 ||
        std::strcmp(argv[1], "/?") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    std::vector<Step> steps;
    std::string error;
    if (!ParseSteps(argc, argv, steps, error)) {
        std::fprintf(stderr, "cardtool: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }

    platform::WatchCancelKeys();
    Runner runner(argv[1]);
    if (!runner.Open()) {
        std::printf("nothing else was run\n");
        return 1;
    }
    for (const Step& step : steps)
        runner.Run(step);
    runner.Close();
    return runner.AllPassed() ? 0 : 1;
}
