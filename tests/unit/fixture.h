// A fresh simulated world for every test, with g_comm closed again and the
// port COM1 present; at the end, no misuse of Win32 and nothing left pending.
#ifndef QT741_TESTS_FIXTURE_H
#define QT741_TESTS_FIXTURE_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sim.h>

#include <string>
#include <vector>

#include "QT741DLL.h"
#include "port.h"

typedef std::vector<std::string> Lines;

class World : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens g_comm on COM1 and forgets the calls that took.
    void Open();

    // Set by a test that leaves handles open on purpose.
    bool allowOpenHandles = false;
};

// g_comm as the library's start-up leaves it: closed, "COM1", records zeroed.
void ResetPortObject(mComm& port);

#endif
