// The Linux layer's arithmetic: when Windows' time-outs end a read or a write,
// and where a COM name points.
#include <gtest/gtest.h>

#include "rules.h"
#include "timeouts.h"

namespace {

const DWORD kMax = 0xFFFFFFFFu;

struct ReadCase {
    const char* what;
    COMMTIMEOUTS timeouts; // interval, multiplier, constant (the write values do not matter)
    ReadProgress progress; // requested, received, elapsed, since the last byte
    DWORD left;
};

// The library's own time-outs are 50, 3000, 2.
const ReadCase kReads[] = {
    {"a 10-byte status read with nothing yet: 30 s from the start", {50, 3000, 2, 0, 0}, {10, 0, 0, 0}, 30002},
    {"the same 1 s later", {50, 3000, 2, 0, 0}, {10, 0, 1000, 1000}, 29002},
    {"no byte in the whole time", {50, 3000, 2, 0, 0}, {10, 0, 30002, 30002}, 0},
    {"a byte came 20 ms ago: the 50 ms gap is nearer", {50, 3000, 2, 0, 0}, {10, 1, 500, 20}, 30},
    {"a gap of 50 ms after a byte ends it", {50, 3000, 2, 0, 0}, {10, 2, 500, 50}, 0},
    {"the total is nearer than the gap", {50, 3000, 2, 0, 0}, {10, 3, 29990, 0}, 12},
    {"a 400-byte track read: 20 minutes", {50, 3000, 2, 0, 0}, {400, 0, 0, 0}, 1200002},
    {"no time-outs at all: it waits for every byte", {0, 0, 0, 0, 0}, {10, 5, 99999, 99999}, kNoTimeLimit},
    {"only an interval: nothing before the first byte", {50, 0, 0, 0, 0}, {10, 0, 99999, 99999}, kNoTimeLimit},
    {"only an interval, after a byte", {50, 0, 0, 0, 0}, {10, 1, 99999, 10}, 40},
    {"interval MAXDWORD, totals 0: at once", {kMax, 0, 0, 0, 0}, {10, 0, 0, 0}, 0},
    {"MAXDWORD, MAXDWORD, constant: waits for one byte", {kMax, kMax, 300, 0, 0}, {10, 0, 100, 100}, 200},
    {"MAXDWORD, MAXDWORD, constant: a byte ends it", {kMax, kMax, 300, 0, 0}, {10, 1, 100, 0}, 0},
    {"MAXDWORD, MAXDWORD, constant: nothing in time", {kMax, kMax, 300, 0, 0}, {10, 0, 300, 300}, 0},
    {"a total beyond 32 bits is clamped, not wrapped", {0, kMax, kMax, 0, 0}, {400, 0, 0, 0}, kNoTimeLimit - 1},
};

TEST(Win32Linux, ReadTimeLeft) {
    for (const ReadCase& c : kReads) {
        EXPECT_EQ(ReadTimeLeft(c.timeouts, c.progress), c.left) << c.what;
    }
}

struct WriteCase {
    const char* what;
    DWORD multiplier, constant, length, elapsed;
    DWORD left;
};

const WriteCase kWrites[] = {
    {"the library's 2 ms a byte: a 400-byte frame has 800 ms", 2, 0, 400, 0, 800},
    {"half of that gone", 2, 0, 400, 400, 400},
    {"all gone", 2, 0, 400, 900, 0},
    {"a constant only", 0, 100, 400, 30, 70},
    {"no write time-outs", 0, 0, 400, 99999, kNoTimeLimit},
};

TEST(Win32Linux, WriteTimeLeft) {
    for (const WriteCase& c : kWrites) {
        const COMMTIMEOUTS timeouts = {0, 0, 0, c.multiplier, c.constant};
        EXPECT_EQ(WriteTimeLeft(timeouts, c.length, c.elapsed), c.left) << c.what;
    }
}

TEST(Win32Linux, DevicePath) {
    const struct {
        const char* name;
        const char* path;
    } kNames[] = {{"COM1", "/dev/ttyS0"},
                  {"com5", "/dev/ttyS4"},
                  {"COM10", "/dev/ttyS9"},
                  {"\\\\.\\COM10", "/dev/ttyS9"},
                  {"COM256", "/dev/ttyS255"},
                  {"COM257", "COM257"},
                  {"COM0", "COM0"},
                  {"COM", "COM"},
                  {"COM1X", "COM1X"},
                  {"COM01", "COM01"},
                  {"/dev/ttyUSB0", "/dev/ttyUSB0"},
                  {"link/com5", "link/com5"}};
    for (const auto& n : kNames) {
        char path[64] = "";
        EXPECT_TRUE(DevicePath(n.name, path, sizeof path)) << n.name;
        EXPECT_STREQ(path, n.path) << n.name;
    }
    char small[8] = "";
    EXPECT_FALSE(DevicePath("COM100", small, sizeof small)) << "/dev/ttyS99 does not fit 8 bytes";
}

} // namespace
