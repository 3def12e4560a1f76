#include "fixture.h"

#include <cstring>

#include "exchange.h"

void ResetPortObject(mComm& port) {
    port.opened = false;
    std::memset(&port.readOverlapped, 0, sizeof port.readOverlapped);
    std::memset(&port.writeOverlapped, 0, sizeof port.writeOverlapped);
    std::memcpy(port.portName, "COM1", 4);
    port.portHandle = NULL;
}

void World::SetUp() {
    EscapePressed(); // a cancel request an earlier test left behind
    sim::Reset();
    ResetPortObject(g_comm);
    sim::AddPort("COM1");
}

void World::TearDown() {
    EXPECT_FALSE(sim::ReadOutstanding()) << "a read into a library buffer is still outstanding";
    if (g_comm.opened) DestroymComm();
    EXPECT_THAT(sim::Problems(), ::testing::IsEmpty());
    if (!allowOpenHandles) {
        EXPECT_EQ(sim::OpenHandles(), 0) << "handles leaked";
    }
}

void World::Open() {
    ASSERT_EQ(CreatmComm("COM1"), 1) << ::testing::PrintToString(sim::Trace());
    sim::ClearTrace();
}
