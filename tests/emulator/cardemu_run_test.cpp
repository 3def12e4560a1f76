// Runs the real cardemu program and talks to it through its pty, as the
// library does under Wine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef CARDEMU_PATH
#error "CARDEMU_PATH must name the cardemu executable"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::string;

Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

const Bytes kStatus = B({0x1B, 0x6A});
const Bytes kOk = B({0x1B, 0x70});
const Bytes kFail = B({0x1B, 0x71});

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads until `want` bytes have come or `timeout_ms` has passed. `hung_up`
// reports an EIO/POLLHUP end of the line.
Bytes read_bytes(int fd, std::size_t want, int timeout_ms, bool* hung_up = nullptr) {
    Bytes out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (hung_up) *hung_up = false;
    while (out.size() < want) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, ms_left(deadline));
        if (r <= 0) break;
        char buf[512];
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - out.size()));
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            continue;
        } else {
            if (hung_up) *hung_up = true;
            break;
        }
    }
    return out;
}

void write_all(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "write: " << std::strerror(errno);
            return;
        }
    }
}

// Opens the port the way a host would: raw, non-blocking. With
// `set_raw` false the line keeps whatever settings the emulator gave it.
int open_port(const std::string& path, bool set_raw = true) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !set_raw) return fd;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Writes one command line into the control FIFO. Opening without blocking
// fails while nobody reads it, so a broken emulator fails the test instead
// of hanging it.
bool send_control(const std::string& fifo, const std::string& text) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(2000);
    for (;;) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            const Bytes line = text + "\n";
            const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
            ::close(fd);
            return ok;
        }
        if (errno != ENXIO || Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/cardemu-run-XXXXXX";
        if (::mkdtemp(templ.data())) path_ = templ;
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

// One cardemu process, with pipes on its stdin and stdout.
class Emulator {
public:
    ~Emulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (in_ >= 0) ::close(in_);
        if (out_ >= 0) ::close(out_);
    }

    bool start(const std::vector<std::string>& args) {
        int in_pipe[2];
        int out_pipe[2];
        if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in_pipe[0], STDIN_FILENO);
            ::dup2(out_pipe[1], STDOUT_FILENO);
            std::vector<char*> argv;
            std::string prog = CARDEMU_PATH;
            argv.push_back(prog.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(prog.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in_pipe[0]);
        ::close(out_pipe[1]);
        in_ = in_pipe[1];
        out_ = out_pipe[0];
        return pid_ > 0;
    }

    // The next line on the emulator's stdout, without the newline.
    std::optional<std::string> line(int timeout_ms = 3000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto eol = buf_.find('\n');
            if (eol != std::string::npos) {
                std::string l = buf_.substr(0, eol);
                buf_.erase(0, eol + 1);
                return l;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, ms_left(deadline)) <= 0) return std::nullopt;
            char b[256];
            const ssize_t n = ::read(out_, b, sizeof b);
            if (n <= 0) return std::nullopt;
            buf_.append(b, static_cast<std::size_t>(n));
        }
    }

    // The pty path from the next "PORT ..." line.
    std::string port() {
        const auto l = line();
        if (!l || l->rfind("PORT ", 0) != 0) return {};
        return l->substr(5);
    }

    void command(const std::string& text) { write_all(in_, text + "\n"); }

    // Waits for the process to end; its exit status, or -1 if it did not end.
    int wait(int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        while (Clock::now() < deadline) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    int terminate(int timeout_ms = 3000) {
        ::kill(pid_, SIGTERM);
        return wait(timeout_ms);
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buf_;
};

class CardemuRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }

    void start(std::vector<std::string> args, bool host_sets_raw = true) {
        args.insert(args.end(), {"--card", card(), "--log", log()});
        ASSERT_TRUE(emu.start(args));
        const std::string pty = emu.port();
        ASSERT_FALSE(pty.empty()) << read_file(log());
        fd = open_port(pty, host_sets_raw);
        ASSERT_GE(fd, 0) << pty << ": " << std::strerror(errno);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
    }

    std::string card() const { return dir.file("card.txt"); }
    std::string log() const { return dir.file("emu.log"); }

    TempDir dir;
    Emulator emu;
    int fd = -1;
};

TEST_F(CardemuRun, WriteThenStatusWritesTheCardFileAndReadGetsItBack) {
    write_file(card(), "track1: old\ntrack2: keep\n");
    start({"--no-pacing", "--swipe-delay", "150"});

    const auto sent = Clock::now();
    write_all(fd, B({0x1B, 0x74}) + "%NEW\\1?" + B({0x1D, 0x1B, 0x5C}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 3000), kOk);
    // The answer waited for the swipe, which comes 150 ms after the frame.
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(140));
    EXPECT_EQ(read_file(card()), "track1: %NEW\\\\1?\ntrack2: keep\n");

    write_all(fd, B({0x1B, 0x5D}));
    const Bytes reply = B({0x1B, 0x73}) + "%NEW\\1?" + B({0x1D}) + "keep" + B({0x3F, 0x1C});
    EXPECT_EQ(read_bytes(fd, reply.size(), 1000), reply);
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 1000), kOk);
    EXPECT_EQ(read_bytes(fd, 1, 100), ""); // nothing more

    EXPECT_EQ(emu.terminate(), 0);
    const std::string logged = read_file(log());
    EXPECT_NE(logged.find(" RX 1B 6A (status request)\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find(" TX 1B 70\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find(" RX 1B 5D (read tracks 1 and 2)\n"), std::string::npos) << logged;
}

TEST_F(CardemuRun, ManualSwipeAndResetCancellingAWrite) {
    start({"--no-pacing", "--swipe", "manual"});

    write_all(fd, B({0x1B, 0x74, 0x1D}) + ";42?" + B({0x1D, 0x1B, 0x5C}));
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 10, 300), ""); // held: no swipe yet
    struct stat st {};
    EXPECT_NE(::stat(card().c_str(), &st), 0); // a missing file is a blank card

    emu.command("swipe");
    EXPECT_EQ(read_bytes(fd, 2, 2000), kOk);
    EXPECT_EQ(read_file(card()), "track1: \ntrack2: ;42?\n");

    // A reset drops the pending write; the swipe then finds nothing to do.
    write_all(fd, B({0x1B, 0x74}) + "lost" + B({0x1D, 0x1B, 0x5C}));
    write_all(fd, B({0x1B, 0x30}));
    emu.command("swipe");
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 2000), kOk);
    EXPECT_EQ(read_bytes(fd, 1, 100), "");
    EXPECT_EQ(read_file(card()), "track1: \ntrack2: ;42?\n");

    emu.command("quit");
    EXPECT_EQ(emu.wait(3000), 0);
}

TEST_F(CardemuRun, ThePtyPassesEveryByteUntranslatedWithoutEcho) {
    // The host here does not touch the line settings: the emulator must have
    // made the pty raw, or CR/LF would be translated, DEL and ^C interpreted
    // and the emulator's own replies echoed back to it.
    start({"--no-pacing", "--swipe-delay", "0"}, false);
    const Bytes t1 = B({'A', 0x0D, 'B', 0x0A, 'C', 0x7F, 0x03, 0x04, 0x11, 0x13, 0x15, 0xFF, 0x80, 0x5C});
    write_all(fd, B({0x1B, 0x74}) + t1 + B({0x1D, 0x1B, 0x5C}));
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 2000), kOk);
    write_all(fd, B({0x1B, 0x42, 0x5D}));
    const Bytes reply = B({0x1B, 0x73}) + t1 + B({0x3F, 0x1C});
    EXPECT_EQ(read_bytes(fd, reply.size(), 2000), reply);
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 1000), kOk);
    EXPECT_EQ(read_bytes(fd, 1, 100), "");
    EXPECT_EQ(read_file(log()).find("unknown"), std::string::npos) << read_file(log());
}

TEST_F(CardemuRun, AFrameThatLostItsEndIsDroppedAfterAPause) {
    write_file(card(), "track1: keep\ntrack2: \n");
    start({"--no-pacing", "--swipe-delay", "0"});

    // A write frame without its terminator fails the write instead of
    // swallowing the status request that follows it.
    write_all(fd, B({0x1B, 0x74}) + "lost");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 1000), kFail);
    EXPECT_EQ(read_file(card()), "track1: keep\ntrack2: \n");

    // Half a read frame is only skipped; the next read works.
    write_all(fd, B({0x1B, 0x42}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    write_all(fd, B({0x1B, 0x42, 0x5D}));
    const Bytes reply = B({0x1B, 0x73}) + "keep" + B({0x3F, 0x1C});
    EXPECT_EQ(read_bytes(fd, reply.size(), 1000), reply);
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 1000), kOk);
}

TEST_F(CardemuRun, TheHostsFlushesAreLogged) {
    start({"--no-pacing"});
    auto wait_log = [&](const std::string& text) {
        for (int i = 0; i < 100; ++i) {
            if (read_file(log()).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    ASSERT_EQ(::tcflush(fd, TCOFLUSH), 0);
    EXPECT_TRUE(wait_log("host flushed its output queue")) << read_file(log());
    ASSERT_EQ(::tcflush(fd, TCIFLUSH), 0);
    EXPECT_TRUE(wait_log("host flushed its input queue")) << read_file(log());
    // Frames still come through after the notices.
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 1000), kOk);
}

TEST_F(CardemuRun, RepliesArePacedAtTheLineSpeed) {
    const std::string t1(79, 'A');
    const std::string t2(40, '1');
    write_file(card(), "track1: " + t1 + "\ntrack2: " + t2 + "\n");
    start({"--swipe-delay", "0"});

    const Bytes expected = B({0x1B, 0x73}) + t1 + B({0x1D}) + t2 + B({0x3F, 0x1C});
    const auto sent = Clock::now();
    write_all(fd, B({0x1B, 0x5D}));
    const Bytes got = read_bytes(fd, expected.size(), 3000);
    const auto last = Clock::now();
    EXPECT_EQ(got, expected);
    // 124 bytes of 10 bits at 9600 baud take 129 ms, and the reply cannot
    // start before the frame has arrived. (A late wake-up of the emulator
    // sends the overdue bytes together, so the gap between the first and
    // the last byte received may be shorter; this bound does not move.)
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(last - sent).count();
    const double line_us = 10.0 * 1e6 / 9600.0 * static_cast<double>(expected.size());
    EXPECT_GE(static_cast<double>(took), line_us);
    EXPECT_LE(static_cast<double>(took), 2.0 * line_us + 200000.0);
}

TEST_F(CardemuRun, HangupFaultDropsTheLineAndMovesTheLinkToANewPty) {
    write_file(card(), "track1: ABCDEFGHIJ\ntrack2: \n");
    const std::string link = dir.file("com5");
    ASSERT_TRUE(emu.start(
        {"--no-pacing", "--swipe-delay", "0", "--fault", "hangup", "--link", link, "--card", card(), "--log", log()}));
    const std::string first_pty = emu.port();
    ASSERT_FALSE(first_pty.empty());
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(first_pty, target);

    fd = open_port(link);
    ASSERT_GE(fd, 0);
    write_all(fd, B({0x1B, 0x42, 0x5D}));
    const Bytes full = B({0x1B, 0x73}) + "ABCDEFGHIJ" + B({0x3F, 0x1C});
    const std::size_t half = full.size() / 2;
    EXPECT_EQ(read_bytes(fd, half, 2000), full.substr(0, half));
    // The status request the host sends next is not answered: the line drops.
    write_all(fd, kStatus);
    bool hung_up = false;
    EXPECT_EQ(read_bytes(fd, full.size(), 2000, &hung_up), "");
    EXPECT_TRUE(hung_up);

    const std::string second_pty = emu.port();
    ASSERT_FALSE(second_pty.empty());
    EXPECT_NE(second_pty, first_pty);
    std::fill(std::begin(target), std::end(target), '\0');
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(second_pty, target);

    // Re-opening the port recovers, and the fault was one-shot.
    ::close(fd);
    fd = open_port(link);
    ASSERT_GE(fd, 0);
    write_all(fd, B({0x1B, 0x42, 0x5D}));
    EXPECT_EQ(read_bytes(fd, full.size(), 1000), full);
    write_all(fd, kStatus);
    EXPECT_EQ(read_bytes(fd, 2, 1000), kOk);
    EXPECT_EQ(read_bytes(fd, 1, 100), "");

    EXPECT_EQ(emu.terminate(), 0);
    EXPECT_EQ(::access(link.c_str(), F_OK), -1); // the link is removed at exit
}

TEST_F(CardemuRun, ControlFifoTakesCommandsFromSeveralWriters) {
    const std::string fifo = dir.file("control");
    start({"--no-pacing", "--control", fifo});
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    ASSERT_TRUE(send_control(fifo, "fault badstatus"));
    // The command is read asynchronously: poll until it has taken effect.
    Bytes answer;
    for (int i = 0; i < 50 && answer != kFail; ++i) {
        write_all(fd, kStatus);
        answer = read_bytes(fd, 2, 1000);
        if (answer != kFail) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(answer, kFail);

    ASSERT_TRUE(send_control(fifo, "fault none")); // a second writer, after the first closed
    for (int i = 0; i < 50 && answer != kOk; ++i) {
        write_all(fd, kStatus);
        answer = read_bytes(fd, 2, 1000);
        if (answer != kOk) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(answer, kOk);

    ASSERT_TRUE(send_control(fifo, "quit"));
    EXPECT_EQ(emu.wait(3000), 0);
    EXPECT_NE(::stat(fifo.c_str(), &st), 0); // removed at exit
}

TEST_F(CardemuRun, ExistingTtyAndEnterSwipes) {
    // The test plays the host on the master of a pty of its own; cardemu
    // attaches to the slave as it would to a serial port.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string tty = ::ptsname(master);
    ASSERT_TRUE(emu.start({"--tty", tty, "--swipe", "enter", "--no-pacing", "--card", card(), "--log", log()}));
    EXPECT_EQ(emu.port(), tty);

    write_all(master, B({0x1B, 0x74}) + "T" + B({0x1D}) + "2" + B({0x1D, 0x1B, 0x5C}));
    write_all(master, kStatus);
    EXPECT_EQ(read_bytes(master, 2, 300), "");
    emu.command(""); // Enter
    EXPECT_EQ(read_bytes(master, 2, 2000), kOk);
    EXPECT_EQ(read_file(card()), "track1: T\ntrack2: 2\n");
    EXPECT_EQ(emu.terminate(), 0);
    ::close(master);
}

TEST_F(CardemuRun, RefusesAnUnreadableCardFile) {
    write_file(card(), "this is not a card\n");
    ASSERT_TRUE(emu.start({"--card", card(), "--log", log()}));
    EXPECT_EQ(emu.wait(3000), 1);
    EXPECT_EQ(read_file(card()), "this is not a card\n");
}

} // namespace
