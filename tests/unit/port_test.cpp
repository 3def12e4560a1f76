// The port object: opening, configuring, re-opening and closing the port, port
// names, and what copies of the object share.
#include "fixture.h"

#include <cstring>
#include <new>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const Lines kOpenCom1 = {"CreateEventA -> event 1",
                         "CreateEventA -> event 2",
                         "CreateFileA COM1 -> port 1",
                         "GetCommState",
                         "SetCommMask 1",
                         "SetCommState 9600 8N1",
                         "SetupComm 102400 102400",
                         "SetCommTimeouts 50 3000 2 2 0"};

class Port : public World {};

// The name the last CreateFileA was given.
std::string OpenedName() {
    const Lines trace = sim::Trace();
    for (auto line = trace.rbegin(); line != trace.rend(); ++line) {
        if (line->rfind("CreateFileA ", 0) == 0) return line->substr(12, line->find(" ->") - 12);
    }
    return "(no CreateFileA)";
}

TEST_F(Port, DefaultConstructionIsClosedOnCom1) {
    alignas(mComm) unsigned char storage[sizeof(mComm)];
    std::memset(storage, 0xA5, sizeof storage); // as on a used stack
    mComm* port = new (storage) mComm;
    EXPECT_FALSE(port->opened);
    EXPECT_EQ(port->portHandle, nullptr);
    EXPECT_EQ(std::string(port->portName, 4), "COM1");
    EXPECT_EQ(port->readOverlapped.hEvent, nullptr);
    EXPECT_EQ(port->writeOverlapped.hEvent, nullptr);
    // Opening a fresh object closes nothing it did not create.
    sim::AddPort("COM2");
    EXPECT_EQ(port->OpenPort(const_cast<char*>("COM2")), 1);
    EXPECT_EQ(port->ClosePort(), 1);
    port->~mComm();
}

TEST_F(Port, FieldsKeepTheirOrder) {
    mComm port;
    const char* opened = reinterpret_cast<const char*>(&port.opened);
    const char* read = reinterpret_cast<const char*>(&port.readOverlapped);
    const char* write = reinterpret_cast<const char*>(&port.writeOverlapped);
    const char* handle = reinterpret_cast<const char*>(&port.portHandle);
    EXPECT_LT(opened, read);
    EXPECT_LT(read, write);
    EXPECT_LT(write, port.portName);
    EXPECT_LT(port.portName, handle);
    EXPECT_EQ(handle + sizeof(HANDLE), reinterpret_cast<const char*>(&port) + sizeof(mComm));
}

TEST_F(Port, CreatmCommOpensAndConfigures) {
    g_comm.readOverlapped.Offset = g_comm.writeOverlapped.OffsetHigh = 7;
    EXPECT_EQ(CreatmComm("COM1"), 1);
    EXPECT_EQ(g_comm.readOverlapped.Offset, 0u);
    EXPECT_EQ(g_comm.writeOverlapped.OffsetHigh, 0u);
    EXPECT_EQ(sim::Trace(), kOpenCom1);
    EXPECT_TRUE(g_comm.opened);
    EXPECT_NE(g_comm.readOverlapped.hEvent, nullptr);
    EXPECT_NE(g_comm.writeOverlapped.hEvent, nullptr);

    // Speed and framing change, and software flow control and NUL stripping go
    // off (the frames are binary); the rest of the configuration stays as read.
    const sim::PortState state = sim::Port("COM1");
    EXPECT_EQ(state.dcb.fOutX + state.dcb.fInX + state.dcb.fNull, 0u);
    EXPECT_EQ(state.dcb.BaudRate, 9600u);
    EXPECT_EQ(state.dcb.ByteSize, 8);
    EXPECT_EQ(state.dcb.Parity, NOPARITY);
    EXPECT_EQ(state.dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(state.dcb.fBinary, 1u);
    EXPECT_EQ(state.dcb.fDtrControl, 1u);
    EXPECT_EQ(state.dcb.XonChar, 0x11);
    EXPECT_EQ(state.timeouts.ReadTotalTimeoutMultiplier * 10 + state.timeouts.ReadTotalTimeoutConstant, 30002u)
        << "a silent device ends a status read after 30 s";
}

struct OpenFailure {
    const char* function;
    int skip;
    DWORD error;
    int result;
    bool opened;
};

// Each step of opening fails in turn.
TEST_F(Port, EachFailingStepHasItsResult) {
    const OpenFailure cases[] = {
        {"CreateEventA", 0, ERROR_NOT_ENOUGH_MEMORY, 0, false},
        {"CreateEventA", 1, ERROR_NOT_ENOUGH_MEMORY, 0, false},
        {"CreateFileA", 0, ERROR_ACCESS_DENIED, -5, false},
        {"GetCommState", 0, ERROR_GEN_FAILURE, 31, true},
        {"SetCommState", 0, ERROR_INVALID_PARAMETER, 87, true},
        {"SetupComm", 0, ERROR_GEN_FAILURE, 31, true},
        {"SetCommTimeouts", 0, ERROR_GEN_FAILURE, 31, true},
        // A system code of 1 must not read as success.
        {"SetCommTimeouts", 0, ERROR_INVALID_FUNCTION, MCOMM_CONFIG_ERROR_FLAG | 1, true},
        {"GetCommState", 0, ERROR_INVALID_FUNCTION, MCOMM_CONFIG_ERROR_FLAG | 1, true},
        // The event mask is set but not checked.
        {"SetCommMask", 0, ERROR_GEN_FAILURE, 1, true},
    };
    for (const OpenFailure& c : cases) {
        SCOPED_TRACE(std::string(c.function) + " failing with " + std::to_string(c.error));
        sim::Reset();
        ResetPortObject(g_comm);
        sim::AddPort("COM1");
        sim::Fail(c.function, c.error, 1, c.skip);
        EXPECT_EQ(CreatmComm("COM1"), c.result) << ::testing::PrintToString(sim::Trace());
        EXPECT_EQ(g_comm.opened, c.opened);
        // Whatever failed, the next opening reuses or releases what was
        // created, and closing then releases everything.
        EXPECT_EQ(CreatmComm("COM1"), 1);
        EXPECT_EQ(DestroymComm(), 1);
        EXPECT_EQ(sim::OpenHandles(), 0);
        EXPECT_THAT(sim::Problems(), IsEmpty());
    }
}

TEST_F(Port, AFailedConfigurationStopsThereAndLeavesThePortOpen) {
    sim::Fail("SetCommState", ERROR_GEN_FAILURE);
    EXPECT_EQ(CreatmComm("COM1"), 31);
    EXPECT_EQ(sim::Trace(), (Lines{"CreateEventA -> event 1", "CreateEventA -> event 2", "CreateFileA COM1 -> port 1",
                                   "GetCommState", "SetCommMask 1", "SetCommState 9600 8N1 -> error 31"}));
    EXPECT_TRUE(sim::Port("COM1").open);
}

TEST_F(Port, MissingPortIsRefusedWithTheNegatedCode) {
    EXPECT_EQ(CreatmComm("COM7"), -2);
    EXPECT_EQ(std::string(g_comm.portName, 4), "COM7") << "the name is kept before the port is opened";
    EXPECT_FALSE(g_comm.opened);
    EXPECT_EQ(g_comm.portHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreatmComm("COM1"), 1);
}

TEST_F(Port, ReopeningClosesTheOldHandleAndReplacesTheEvents) {
    ASSERT_EQ(CreatmComm("COM1"), 1);
    sim::ClearTrace();
    EXPECT_EQ(CreatmComm("COM1"), 1);
    EXPECT_EQ(sim::Trace(),
              (Lines{"CloseHandle event 1", "CreateEventA -> event 3", "CloseHandle event 2", "CreateEventA -> event 4",
                     "CloseHandle port 1", "CreateFileA COM1 -> port 2", "GetCommState", "SetCommMask 1",
                     "SetCommState 9600 8N1", "SetupComm 102400 102400", "SetCommTimeouts 50 3000 2 2 0"}));
    EXPECT_EQ(sim::OpenHandles(), 3);
}

TEST_F(Port, AFailedReopenLeavesThePortMarkedOpenWithAnInvalidHandle) {
    Open();
    sim::Fail("CreateFileA", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreatmComm("COM1"), -2);
    EXPECT_TRUE(g_comm.opened);
    EXPECT_EQ(g_comm.portHandle, INVALID_HANDLE_VALUE);
    // Later I/O fails on it; the next open recovers.
    EXPECT_EQ(CardReset(), CARD_IO_FAILED);
    EXPECT_EQ(CreatmComm("COM1"), 1);
}

TEST_F(Port, EventFailureOnReopenKeepsThePortAndClosesCleanly) {
    Open();
    HANDLE port = g_comm.portHandle;
    sim::Fail("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    EXPECT_EQ(CreatmComm("COM1"), 0);
    EXPECT_EQ(g_comm.portHandle, port);
    EXPECT_TRUE(g_comm.opened);
    EXPECT_EQ(g_comm.writeOverlapped.hEvent, nullptr);
    EXPECT_EQ(DestroymComm(), 1);
}

TEST_F(Port, DestroymCommClosesEverything) {
    Open();
    EXPECT_EQ(DestroymComm(), 1);
    EXPECT_EQ(sim::Trace(), (Lines{"SetCommMask 0", "EscapeCommFunction CLRDTR", "CloseHandle event 1",
                                   "CloseHandle event 2", "CloseHandle port 1"}));
    EXPECT_FALSE(g_comm.opened);
    EXPECT_EQ(g_comm.portHandle, nullptr);
    EXPECT_EQ(g_comm.readOverlapped.hEvent, nullptr);
    EXPECT_EQ(g_comm.writeOverlapped.hEvent, nullptr);
    EXPECT_FALSE(sim::Port("COM1").dtr);
}

TEST_F(Port, DestroymCommWhenClosedDoesNothing) {
    EXPECT_EQ(DestroymComm(), 1);
    Open();
    EXPECT_EQ(DestroymComm(), 1);
    sim::ClearTrace();
    EXPECT_EQ(DestroymComm(), 1);
    EXPECT_THAT(sim::Trace(), IsEmpty());
}

TEST_F(Port, AFailedCloseKeepsTheHandleButNotTheEvents) {
    Open();
    HANDLE port = g_comm.portHandle;
    sim::Fail("CloseHandle", ERROR_INVALID_HANDLE, 1, 2);
    EXPECT_EQ(DestroymComm(), 0);
    EXPECT_TRUE(g_comm.opened);
    EXPECT_EQ(g_comm.portHandle, port);
    EXPECT_EQ(g_comm.readOverlapped.hEvent, nullptr);
    // Neither a second close nor a re-open closes the events again.
    EXPECT_EQ(CreatmComm("COM1"), 1);
    EXPECT_EQ(DestroymComm(), 1);
}

TEST_F(Port, PortNames) {
    sim::AddPort("COM10");
    sim::AddPort("COM255");
    struct Case {
        const char* name;
        const char* opens;
    } cases[] = {
        {"COM10", "\\\\.\\COM10"},        {"com10", "\\\\.\\com10"},      {"COM255", "\\\\.\\COM255"},
        {"\\\\.\\COM10", "\\\\.\\COM10"}, {"\\\\.\\COM1", "\\\\.\\COM1"}, {"COM1", "COM1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearTrace();
        ASSERT_EQ(CreatmComm(c.name), 1);
        EXPECT_EQ(OpenedName(), c.opens);
        // The card functions re-open the port under the name it keeps.
        sim::ClearTrace();
        ASSERT_EQ(g_comm.OpenPort(g_comm.portName), 1);
        EXPECT_EQ(OpenedName(), c.opens);
        EXPECT_EQ(DestroymComm(), 1);
    }
}

TEST_F(Port, UnusableNamesAreRefusedAndChangeNothing) {
    Open();
    const std::string tooLong(MCOMM_MAX_PORT_NAME + 1, 'C');
    const std::string longest = "\\\\.\\" + std::string(MCOMM_MAX_PORT_NAME - 4, 'X');
    EXPECT_EQ(CreatmComm(NULL), -ERROR_INVALID_NAME);
    EXPECT_EQ(CreatmComm(tooLong.c_str()), -ERROR_INVALID_NAME);
    EXPECT_EQ(CreatmComm(("COM" + std::string(MCOMM_MAX_PORT_NAME - 4, '1')).c_str()), -ERROR_INVALID_NAME)
        << "with the device prefix it no longer fits";
    EXPECT_THAT(sim::Trace(), IsEmpty());
    EXPECT_EQ(std::string(g_comm.portName, 4), "COM1");
    EXPECT_EQ(CreatmComm(longest.c_str()), -ERROR_FILE_NOT_FOUND) << "the longest name is tried";
}

TEST_F(Port, AReplacedLongNameIsNotReopenedAsAnotherPort) {
    sim::AddPort("COM10");
    sim::AddPort("COM11");
    mComm other;
    ASSERT_EQ(CreatmComm("COM10"), 1);
    ASSERT_EQ(other.OpenPort(const_cast<char*>("COM11")), 1);
    sim::ClearTrace();
    EXPECT_EQ(g_comm.OpenPort(g_comm.portName), -ERROR_INVALID_NAME);
    EXPECT_THAT(sim::Trace(), IsEmpty());
    EXPECT_EQ(other.OpenPort(other.portName), 1);
    EXPECT_EQ(other.ClosePort(), 1);
}

TEST_F(Port, CopiesShareTheHandleAndTheEvents) {
    Open();
    mComm copy(g_comm);
    mComm assigned;
    assigned = g_comm;
    for (const mComm* port : {&copy, &assigned}) {
        EXPECT_TRUE(port->opened);
        EXPECT_EQ(port->portHandle, g_comm.portHandle);
        EXPECT_EQ(port->readOverlapped.hEvent, g_comm.readOverlapped.hEvent);
        EXPECT_EQ(port->writeOverlapped.hEvent, g_comm.writeOverlapped.hEvent);
        EXPECT_EQ(std::string(port->portName, 4), "COM1");
    }
    { mComm destroyed(g_comm); }
    EXPECT_EQ(sim::OpenHandles(), 3) << "destroying a copy releases nothing";
    EXPECT_EQ(DestroymComm(), 1);
    // The copies keep what are now stale handles.
    EXPECT_EQ(copy.portHandle, assigned.portHandle);
    EXPECT_NE(copy.portHandle, nullptr);
}

} // namespace
