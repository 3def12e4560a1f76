// cardemu: plays the magnetic-stripe card reader/writer on a pseudo-terminal.
// One thread, one ppoll() loop; timers are absolute CLOCK_MONOTONIC deadlines
// (the next paced byte, the auto swipe, the hang-up linger).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cardfile.h"
#include "options.h"
#include "port.h"
#include "protocol.h"
#include "qt741_version.h"

namespace cardemu {
namespace {

using Nanos = std::int64_t;

constexpr Nanos kSecond = 1'000'000'000;
constexpr Nanos kMilli = 1'000'000;
// 10 bits a byte (start, 8 data, stop) at 9600 baud.
constexpr Nanos kBitsTimesSecond = 10 * kSecond;
constexpr Nanos kBaud = 9600;
// After the half reply of a hang-up fault has gone out, wait this long before
// dropping the line, so the host has read those bytes (closing the master
// flushes whatever is still queued for the slave).
constexpr Nanos kHangupLinger = 100 * kMilli;
// The host writes each frame in one go; a frame still incomplete after this
// long without a byte is given up, so a frame that lost its end cannot
// swallow the frames after it. (The host sends its status request about
// 100 ms after a write frame.)
constexpr Nanos kFrameGap = 50 * kMilli;

volatile sig_atomic_t g_stop_signal = 0;

extern "C" void on_stop_signal(int sig) { g_stop_signal = sig; }

Nanos now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

class Log {
public:
    explicit Log(Nanos start) : start_(start), file_(stderr) {}
    ~Log() {
        if (file_ != stderr) std::fclose(file_);
    }
    bool open(const std::string& path, std::string& error) {
        std::FILE* f = std::fopen(path.c_str(), "a");
        if (!f) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        file_ = f;
        return true;
    }
    // One line, time-stamped in seconds since start, flushed at once so that
    // a test can follow the log while the emulator runs.
    void line(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        const double t = static_cast<double>(now_ns() - start_) / static_cast<double>(kSecond);
        std::fprintf(file_, "%11.6f ", t);
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(file_, fmt, ap);
        va_end(ap);
        std::fputc('\n', file_);
        std::fflush(file_);
    }

    Nanos start() const { return start_; }

private:
    Nanos start_;
    std::FILE* file_;
};

// Splits a byte stream into lines.
class LineReader {
public:
    void feed(const char* data, std::size_t n) { buf_.append(data, n); }
    std::optional<std::string> next() {
        const std::size_t eol = buf_.find('\n');
        if (eol == std::string::npos) return std::nullopt;
        std::string line = buf_.substr(0, eol);
        buf_.erase(0, eol + 1);
        return line;
    }
    // At end of input an unterminated last line still counts.
    std::optional<std::string> rest() {
        if (buf_.empty()) return std::nullopt;
        std::string line;
        line.swap(buf_);
        return line;
    }

private:
    std::string buf_;
};

class Emulator {
public:
    Emulator(Options options, Nanos start)
        : opt_(std::move(options)), log_(start), store_(opt_.card_path), device_(store_) {
        device_.set_fault(opt_.fault);
    }
    ~Emulator() { cleanup(); }

    int run();

private:
    bool setup();
    void cleanup();
    bool open_port();
    void announce_port();
    bool open_control();

    void on_port_readable(Nanos now);
    void on_frame(const Frame& frame, Nanos now);
    void apply(const Output& out, Nanos now);
    void enqueue(const Bytes& bytes, Nanos now);
    void pump_tx(Nanos now);
    Nanos tx_due() const;
    void hang_up();
    void log_flush_packet(int control);
    void swipe(const char* why, Nanos now);

    bool read_commands(int fd, LineReader& lines, bool from_stdin);
    void on_stdin();
    void on_control();
    void on_command_line(const std::string& line, bool from_stdin, Nanos now);

    Options opt_;
    Log log_;
    FileCardStore store_;
    Device device_;
    FrameParser parser_;
    Nanos last_rx_ = 0;
    Port port_;

    // Transmit queue, paced as a UART would send it: byte k of a burst that
    // starts at tx_start_ is on the line at tx_start_ + (k + 1) byte times.
    Bytes txq_;
    Nanos tx_start_ = 0;
    std::int64_t tx_sent_ = 0;
    bool hangup_pending_ = false;
    std::optional<Nanos> hangup_at_;

    std::optional<Nanos> swipe_at_;
    std::uint64_t swipe_operation_ = 0;

    bool stdin_open_ = true;
    LineReader stdin_lines_;
    int control_fd_ = -1;
    bool control_created_ = false;
    LineReader control_lines_;
    bool quit_ = false;
};

bool Emulator::setup() {
    std::string error;
    if (!opt_.log_path.empty() && !log_.open(opt_.log_path, error)) {
        std::fprintf(stderr, "cardemu: %s\n", error.c_str());
        return false;
    }
    Card card;
    switch (load_card_file(opt_.card_path, card, error)) {
    case LoadResult::Loaded:
        log_.line("card file %s: track 1 %zu bytes, track 2 %zu bytes", opt_.card_path.c_str(), card.track1.size(),
                  card.track2.size());
        break;
    case LoadResult::Missing: log_.line("card file %s: missing, the card is blank", opt_.card_path.c_str()); break;
    case LoadResult::Error:
        // Refuse to start rather than overwrite a card file we cannot read.
        log_.line("error: %s", error.c_str());
        std::fprintf(stderr, "cardemu: %s\n", error.c_str());
        return false;
    }
    // Log times count from the start; these two readings put them on the system's
    // clocks, so other programs' timestamps can be compared with them (Wine's
    // QueryPerformanceCounter counts CLOCK_MONOTONIC_RAW).
    timespec raw{};
    ::clock_gettime(CLOCK_MONOTONIC_RAW, &raw);
    const Nanos raw_start = static_cast<Nanos>(raw.tv_sec) * kSecond + raw.tv_nsec - (now_ns() - log_.start());
    log_.line("clock: time 0 is CLOCK_MONOTONIC %.9f s, CLOCK_MONOTONIC_RAW %.9f s",
              static_cast<double>(log_.start()) / static_cast<double>(kSecond),
              static_cast<double>(raw_start) / static_cast<double>(kSecond));
    if (!open_control()) return false;
    if (!open_port()) return false;
    announce_port();
    static const char* const modes[] = {"auto", "enter", "manual"};
    log_.line("swipe %s (delay %u ms), fault %s, %s", modes[static_cast<int>(opt_.swipe)], opt_.swipe_delay_ms,
              fault_name(device_.fault()), opt_.pacing ? "paced at 9600 baud" : "no pacing");
    return true;
}

bool Emulator::open_port() {
    std::string error;
    const bool ok =
        opt_.tty_path.empty() ? port_.open_pty(opt_.link_path, error) : port_.open_tty(opt_.tty_path, error);
    if (!ok) {
        log_.line("error: %s", error.c_str());
        std::fprintf(stderr, "cardemu: %s\n", error.c_str());
    }
    return ok;
}

void Emulator::announce_port() {
    std::printf("PORT %s\n", port_.name().c_str());
    std::fflush(stdout);
    if (opt_.link_path.empty())
        log_.line("port %s", port_.name().c_str());
    else
        log_.line("port %s (link %s)", port_.name().c_str(), opt_.link_path.c_str());
}

bool Emulator::open_control() {
    if (opt_.control_path.empty()) return true;
    if (control_fd_ < 0 && !control_created_) {
        struct stat st {};
        if (::lstat(opt_.control_path.c_str(), &st) == 0) {
            if (!S_ISFIFO(st.st_mode)) {
                std::fprintf(stderr, "cardemu: %s exists and is not a FIFO\n", opt_.control_path.c_str());
                return false;
            }
        } else if (::mkfifo(opt_.control_path.c_str(), 0600) == 0) {
            control_created_ = true;
        } else {
            std::fprintf(stderr, "cardemu: mkfifo %s: %s\n", opt_.control_path.c_str(), std::strerror(errno));
            return false;
        }
    }
    // Non-blocking, so opening does not wait for a writer.
    control_fd_ = ::open(opt_.control_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (control_fd_ < 0) {
        std::fprintf(stderr, "cardemu: %s: %s\n", opt_.control_path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void Emulator::cleanup() {
    if (control_fd_ >= 0) ::close(control_fd_);
    control_fd_ = -1;
    if (control_created_) ::unlink(opt_.control_path.c_str());
    control_created_ = false;
    // Remove the link only while it still names our pty.
    if (!opt_.link_path.empty() && !port_.name().empty()) {
        char target[256];
        const ssize_t n = ::readlink(opt_.link_path.c_str(), target, sizeof target - 1);
        if (n > 0 && port_.name() == std::string(target, static_cast<std::size_t>(n))) ::unlink(opt_.link_path.c_str());
    }
    port_.close();
}

Nanos Emulator::tx_due() const { return tx_start_ + (tx_sent_ + 1) * kBitsTimesSecond / kBaud; }

void Emulator::enqueue(const Bytes& bytes, Nanos now) {
    if (bytes.empty()) return;
    log_.line("TX %s", hex(bytes).c_str());
    // A burst that follows an idle line starts now; one queued while bytes
    // are still going out continues on the same time line.
    if (txq_.empty() && tx_due() - kBitsTimesSecond / kBaud <= now) {
        tx_start_ = now;
        tx_sent_ = 0;
    }
    txq_ += bytes;
}

void Emulator::pump_tx(Nanos now) {
    if (txq_.empty() || port_.fd() < 0) return;
    if (!opt_.pacing) {
        const ssize_t n = ::write(port_.fd(), txq_.data(), txq_.size());
        if (n > 0) {
            txq_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            log_.line("error: write %s: %s; %zu bytes dropped", port_.name().c_str(), std::strerror(errno),
                      txq_.size());
            txq_.clear();
        }
        return;
    }
    // Every byte whose deadline has passed goes now; deadlines are absolute,
    // so a late wake-up does not push the later bytes back.
    while (!txq_.empty() && tx_due() <= now) {
        const ssize_t n = ::write(port_.fd(), txq_.data(), 1);
        if (n == 1) {
            txq_.erase(0, 1);
            ++tx_sent_;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // Nobody is reading and the pty buffer is full: retry a byte later.
            tx_start_ = now;
            tx_sent_ = 0;
            break;
        } else {
            log_.line("error: write %s: %s; %zu bytes dropped", port_.name().c_str(), std::strerror(errno),
                      txq_.size());
            txq_.clear();
        }
    }
}

void Emulator::apply(const Output& out, Nanos now) {
    for (const std::string& note : out.notes)
        log_.line("%s", note.c_str());
    enqueue(out.send, now);
    if (out.hangup) hangup_pending_ = true;
}

void Emulator::on_frame(const Frame& frame, Nanos now) {
    if (hangup_pending_) {
        // The device is going off the line in the middle of a reply: it
        // answers nothing more on this port.
        log_.line("RX %s (%s; ignored, the line is dropping)", hex(frame.raw).c_str(), describe(frame).c_str());
        return;
    }
    log_.line("RX %s (%s)", hex(frame.raw).c_str(), describe(frame).c_str());
    const std::uint64_t before = device_.operation();
    apply(device_.on_frame(frame), now);
    // A new operation waits for its swipe, counted from the frame's arrival.
    if (device_.busy() && device_.operation() != before && opt_.swipe == SwipeMode::Auto) {
        swipe_at_ = now + static_cast<Nanos>(opt_.swipe_delay_ms) * kMilli;
        swipe_operation_ = device_.operation();
    }
}

void Emulator::on_port_readable(Nanos now) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(port_.fd(), buf, sizeof buf);
        if (n > 0) {
            const char* data = buf;
            std::size_t size = static_cast<std::size_t>(n);
            if (port_.packet_mode()) {
                const int control = static_cast<unsigned char>(buf[0]);
                if (control != TIOCPKT_DATA) {
                    log_flush_packet(control);
                    continue;
                }
                ++data;
                --size;
            }
            if (size == 0) continue;
            last_rx_ = now;
            parser_.feed(data, size);
            while (auto frame = parser_.next())
                on_frame(*frame, now);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        // EOF or EIO: the line is gone (a tty unplugged, or the pty's other
        // side hung up). Start over on a fresh port.
        log_.line("port %s: %s; reopening", port_.name().c_str(), n == 0 ? "end of file" : std::strerror(errno));
        hang_up();
        return;
    }
}

void Emulator::log_flush_packet(int control) {
    // The pty tells when the host flushes its queues (a purge of the port):
    // bytes it wrote that were not read here yet, or replies it had not
    // read yet, are gone.
    if (control & TIOCPKT_FLUSHWRITE) log_.line("host flushed its output queue (bytes not yet received are lost)");
    if (control & TIOCPKT_FLUSHREAD) log_.line("host flushed its input queue (reply bytes it had not read are lost)");
}

void Emulator::hang_up() {
    log_.line("hangup: closing %s", port_.name().c_str());
    port_.close();
    parser_.clear();
    txq_.clear();
    hangup_pending_ = false;
    hangup_at_.reset();
    if (!open_port()) {
        quit_ = true;
        return;
    }
    announce_port();
}

void Emulator::swipe(const char* why, Nanos now) {
    log_.line("swipe (%s)", why);
    apply(device_.on_swipe(), now);
}

void Emulator::on_command_line(const std::string& line, bool from_stdin, Nanos now) {
    const Command cmd = parse_command(line);
    switch (cmd.kind) {
    case Command::Swipe: swipe(from_stdin ? "stdin" : "control", now); break;
    case Command::SetFault:
        device_.set_fault(cmd.fault);
        log_.line("fault %s", fault_name(cmd.fault));
        break;
    case Command::Quit:
        log_.line("quit (%s)", from_stdin ? "stdin" : "control");
        quit_ = true;
        break;
    case Command::Empty:
    case Command::Invalid:
        // In enter mode any other line on stdin is the swipe.
        if (from_stdin && opt_.swipe == SwipeMode::Enter)
            swipe("enter", now);
        else if (cmd.kind == Command::Invalid)
            log_.line("control: %s", cmd.error.c_str());
        break;
    }
}

// Reads what is there on fd and acts on each complete line. False once the
// writer has gone (its unfinished last line acted on too).
bool Emulator::read_commands(int fd, LineReader& lines, bool from_stdin) {
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n > 0) {
        lines.feed(buf, static_cast<std::size_t>(n));
        while (auto line = lines.next())
            on_command_line(*line, from_stdin, now_ns());
        return true;
    }
    if (auto line = lines.rest()) on_command_line(*line, from_stdin, now_ns());
    return false;
}

void Emulator::on_stdin() {
    if (read_commands(STDIN_FILENO, stdin_lines_, true)) return;
    stdin_open_ = false;
    log_.line("stdin closed");
}

void Emulator::on_control() {
    if (read_commands(control_fd_, control_lines_, false)) return;
    // The last writer went away: re-open so the next one can connect.
    ::close(control_fd_);
    control_fd_ = -1;
    if (!open_control()) quit_ = true;
}

int Emulator::run() {
    if (!setup()) return 1;

    sigset_t blocked;
    sigset_t during_poll;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    // The stop signals are only delivered inside ppoll(), so none is lost
    // between checking the flag and going to sleep.
    ::sigprocmask(SIG_BLOCK, &blocked, &during_poll);
    sigdelset(&during_poll, SIGINT);
    sigdelset(&during_poll, SIGTERM);
    sigdelset(&during_poll, SIGHUP);

    while (!quit_ && g_stop_signal == 0) {
        Nanos now = now_ns();
        if (swipe_at_ && now >= *swipe_at_) {
            swipe_at_.reset();
            if (device_.busy() && device_.operation() == swipe_operation_) swipe("auto", now);
        }
        if (parser_.buffered() > 0 && now >= last_rx_ + kFrameGap) {
            log_.line("incomplete frame: no byte for %lld ms", static_cast<long long>(kFrameGap / kMilli));
            if (auto frame = parser_.expire()) on_frame(*frame, now);
        }
        pump_tx(now);
        if (hangup_pending_ && txq_.empty()) {
            if (!hangup_at_) hangup_at_ = now + kHangupLinger;
            if (now >= *hangup_at_) {
                hang_up();
                if (quit_) break;
            }
        }

        std::optional<Nanos> wake;
        auto consider = [&wake](Nanos t) { wake = wake ? std::min(*wake, t) : t; };
        if (!txq_.empty() && opt_.pacing) consider(tx_due());
        if (hangup_at_) consider(*hangup_at_);
        if (swipe_at_) consider(*swipe_at_);
        if (parser_.buffered() > 0) consider(last_rx_ + kFrameGap);

        pollfd fds[3];
        nfds_t count = 0;
        const nfds_t port_slot = count++;
        fds[port_slot] = {port_.fd(), static_cast<short>(POLLIN | (!opt_.pacing && !txq_.empty() ? POLLOUT : 0)), 0};
        std::optional<nfds_t> stdin_slot;
        if (stdin_open_) {
            stdin_slot = count++;
            fds[*stdin_slot] = {STDIN_FILENO, POLLIN, 0};
        }
        std::optional<nfds_t> control_slot;
        if (control_fd_ >= 0) {
            control_slot = count++;
            fds[*control_slot] = {control_fd_, POLLIN, 0};
        }

        timespec timeout{};
        if (wake) {
            const Nanos left = std::max<Nanos>(0, *wake - now_ns());
            timeout.tv_sec = static_cast<time_t>(left / kSecond);
            timeout.tv_nsec = static_cast<long>(left % kSecond);
        }
        const int ready = ::ppoll(fds, count, wake ? &timeout : nullptr, &during_poll);
        if (ready < 0) {
            if (errno == EINTR) continue;
            log_.line("error: ppoll: %s", std::strerror(errno));
            return 1;
        }
        now = now_ns();
        if (fds[port_slot].revents & (POLLIN | POLLHUP | POLLERR)) on_port_readable(now);
        if (stdin_slot && (fds[*stdin_slot].revents & (POLLIN | POLLHUP | POLLERR))) on_stdin();
        if (control_slot && control_fd_ >= 0 && (fds[*control_slot].revents & (POLLIN | POLLHUP | POLLERR)))
            on_control();
    }
    if (g_stop_signal != 0) log_.line("signal %d: exiting", static_cast<int>(g_stop_signal));
    log_.line("exit");
    return 0;
}

} // namespace
} // namespace cardemu

int main(int argc, char** argv) {
    using namespace cardemu;
    const Nanos start = now_ns();
    Options options;
    std::string error;
    if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "cardemu: %s\n%s", error.c_str(), usage_text());
        return 2;
    }
    if (options.help) {
        std::fputs(usage_text(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("cardemu %s\n%s\n", QT741_VERSION_STRING, QT741_COPYRIGHT);
        return 0;
    }

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Emulator emulator(std::move(options), start);
    return emulator.run();
}
