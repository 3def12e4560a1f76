// The Linux layer on a pseudo-terminal: the test plays the device on the pty's
// master and reads with the library's own time-outs.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <windows.h>

#include <string>

#include "port.h"

namespace {

const DWORD kGap = MCOMM_READ_INTERVAL_TIMEOUT;

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        char name[64];
        ASSERT_EQ(openpty(&device_, &line_, name, NULL, NULL), 0);
        port_ = CreateFileA(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        DCB dcb = {};
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        COMMTIMEOUTS timeouts = {MCOMM_READ_INTERVAL_TIMEOUT, MCOMM_READ_TOTAL_MULTIPLIER, MCOMM_READ_TOTAL_CONSTANT, 0,
                                 0};
        ASSERT_TRUE(SetCommState(port_, &dcb) && SetCommTimeouts(port_, &timeouts));
    }
    void TearDown() override {
        EXPECT_TRUE(CloseHandle(port_));
        close(line_);
        close(device_);
    }

    // The device sends `bytes`; returns once they wait in the port's input
    // queue (they cross a pty at once, but a loaded machine may take a while).
    void Send(const char* bytes) {
        int queued = 0;
        ASSERT_TRUE(ioctl(line_, FIONREAD, &queued) == 0);
        const int expected = queued + static_cast<int>(std::string(bytes).size());
        ASSERT_EQ(write(device_, bytes, std::string(bytes).size()), static_cast<ssize_t>(expected - queued));
        for (int waited = 0; ioctl(line_, FIONREAD, &queued) == 0 && queued < expected; ++waited) {
            ASSERT_LT(waited, 2000) << "the bytes did not cross the pty in 2 s";
            poll(NULL, 0, 1);
        }
    }

    // Starts a read of up to 10 bytes into got_ (pending: nothing waits).
    void StartRead() {
        got_ = std::string(10, '\0');
        record_ = OVERLAPPED{};
        DWORD count = 0;
        ASSERT_FALSE(ReadFile(port_, &got_[0], 10, &count, &record_));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }

    // What the read delivered once it ended; "pending" while it has not.
    std::string Result(bool wait) {
        DWORD count = 0;
        if (!GetOverlappedResult(port_, &record_, &count, wait ? TRUE : FALSE)) return "pending";
        return got_.substr(0, count);
    }

    int device_ = -1, line_ = -1;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    OVERLAPPED record_ = {};
    std::string got_;
};

// The process stopped mid-reply (a debugger, a CPU quota): the rest of the
// reply queued without a gap while the layer was not called. It is the read's.
TEST_F(PtyPort, BytesQueuedWhileTheLayerWasNotCalledBelongToTheRead) {
    StartRead();
    Send("AB");
    EXPECT_EQ(Result(false), "pending") << "AB taken, the gap runs";
    Send("CD");
    usleep(3 * kGap * 1000); // stopped: nobody calls the layer
    EXPECT_EQ(Result(false), "pending") << "CD taken; the line was never seen empty for the gap";
    EXPECT_EQ(Result(true), "ABCD");
}

// A gap the layer saw ends the read with what it had; what comes after it is
// the next read's.
TEST_F(PtyPort, AGapTheLayerSawEndsTheRead) {
    StartRead();
    Send("A");
    EXPECT_EQ(Result(false), "pending");
    usleep((kGap + 20) * 1000);
    EXPECT_EQ(Result(false), "A") << "the line is empty, and was for the gap since A";
    Send("B");
    StartRead();
    EXPECT_EQ(Result(true), "B");
}

// While the caller sleeps, the read takes its bytes and ends at its gap by itself.
TEST_F(PtyPort, AReadMovesOnWhileTheCallerSleeps) {
    StartRead();
    Send("C");
    Sleep(3 * kGap);
    EXPECT_TRUE(HasOverlappedIoCompleted(&record_));
    EXPECT_EQ(Result(false), "C");
}

} // namespace
