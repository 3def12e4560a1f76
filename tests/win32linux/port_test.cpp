// The Linux layer on a pseudo-terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>
#include <windows.h>

// A read asked about only after its 50 ms gap has passed ended with what it
// had; the byte that came after the gap is the next read's. While the caller
// sleeps, a read takes its bytes and ends at its gap by itself.
TEST(Win32LinuxPort, ReadEndsAtItsGap) {
    int device = -1, line = -1;
    char name[64], got[4] = "";
    ASSERT_EQ(openpty(&device, &line, name, NULL, NULL), 0);
    HANDLE port = CreateFileA(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    DCB dcb = {};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    COMMTIMEOUTS timeouts = {50, 3000, 2, 0, 0}; // the library's
    ASSERT_TRUE(SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts));
    OVERLAPPED record = {};
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(port, got, sizeof got, &count, &record));
    EXPECT_EQ(write(device, "A", 1), 1);
    usleep(10000);
    EXPECT_FALSE(GetOverlappedResult(port, &record, &count, FALSE)) << "A is taken, the gap runs";
    usleep(60000);
    EXPECT_EQ(write(device, "B", 1), 1);
    usleep(10000);
    EXPECT_TRUE(GetOverlappedResult(port, &record, &count, FALSE) && count == 1) << "ended at the gap, with A";
    EXPECT_TRUE(ReadFile(port, got + 1, 1, &count, NULL) && got[1] == 'B');
    EXPECT_FALSE(ReadFile(port, got, sizeof got, &count, &record));
    EXPECT_EQ(write(device, "C", 1), 1);
    Sleep(150);
    EXPECT_TRUE(HasOverlappedIoCompleted(&record) && record.InternalHigh == 1) << "C came, its gap ran out";
    CloseHandle(port);
    close(line);
    close(device);
}
