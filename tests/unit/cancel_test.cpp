// CardCancel: a request from another thread ends a cancellable wait as Escape
// does; one made while nothing waits is dropped by the next call's first probe.
#include "fixture.h"

#include <csetjmp>
#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <functional>
#include <ostream>

namespace {

const char kRead1[] = "1B 42 5D";
const char kStatus[] = "1B 6A";
const char kReset[] = "1B 30";
const char kWriteA[] = "1B 74 41 1D 1B 5C"; // WrTr1Card("A")

struct CancelCase {
    const char* name;
    std::function<void()> arrange; // the device's script, and when CardCancel or Escape comes
    std::function<int(char*)> call;
    int result;
    Lines frames;
};

void PrintTo(const CancelCase& c, std::ostream* out) { *out << c.name; }

class Cancel : public World, public ::testing::WithParamInterface<CancelCase> {};

// CardCancel as a host's second thread calls it, `at` ms into the test.
void CancelAt(DWORD at) {
    sim::At(at, [] { EXPECT_EQ(CardCancel(), CARD_OK); });
}

const CancelCase kCases[] = {
    {"ARequestEndsAWaitingReadAsEscapeDoes",
     [] {
         sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
         CancelAt(1000);
     },
     RadTr1Card,
     CARD_CANCELLED,
     {kRead1, kReset}},
    {"ARequestEndsTheWaitOfAWritesStatus",
     [] {
         sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
         CancelAt(500);
     },
     [](char*) { return IsWriteError(); },
     CARD_CANCELLED,
     {kStatus, kReset}},
    {"ARequestDuringAWritesPauseEndsItsStatusWait",
     [] {
         sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
         CancelAt(50); // the write frame is out; the device has 100 ms before the status request
     },
     [](char*) { return WrTr1Card("A"); },
     CARD_CANCELLED,
     {kWriteA, kStatus, kReset}},
    {"ARequestBetweenTheCallsStartAndItsWaitEndsTheWait",
     [] {
         sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
         // At the call's first Escape probe, before anything is sent.
         sim::OnCall("GetAsyncKeyState", 1, [] { EXPECT_EQ(CardCancel(), CARD_OK); });
     },
     RadTr1Card,
     CARD_CANCELLED,
     {kRead1, kReset}},
    {"ARequestMadeBeforeAWriteIsDropped",
     [] {
         EXPECT_EQ(CardCancel(), CARD_OK);
         sim::Answer(sim::B("\x1B\x6A"), sim::B("\x1Bp"), 10);
     },
     [](char*) { return WrTr1Card("A"); },
     CARD_OK,
     {kWriteA, kStatus}},
    {"ARequestMadeBeforeTheCallIsDroppedByItsFirstProbe",
     [] {
         EXPECT_EQ(CardCancel(), CARD_OK);
         sim::Answer(sim::B("\x1B\x42\x5D"),
                     sim::B("\x1B\x73"
                            "AB\x3F\x1C"),
                     300);
         sim::Answer(sim::B("\x1B\x6A"), sim::B("\x1Bp"), 10);
     },
     RadTr1Card,
     CARD_OK,
     {kRead1, kStatus}},
    {"AWaitEscapeCannotEndIgnoresItAndTheNextCallDropsIt",
     [] {
         sim::Answer(sim::B("\x1B\x6A"), sim::B("\x1Bp"), 300);
         sim::Answer(sim::B("\x1B\x42\x5D"),
                     sim::B("\x1B\x73"
                            "AB\x3F\x1C"),
                     300);
         CancelAt(100);
     },
     [](char* track) {
         const int status = IsReadError();
         return status == CARD_OK ? RadTr1Card(track) : status;
     },
     CARD_OK,
     {kStatus, kRead1, kStatus}},
    {"ACallFromAnotherThreadDuringTheWaitIsRefusedAndChangesNothing",
     [] {
         sim::Answer(sim::B("\x1B\x42\x5D"),
                     sim::B("\x1B\x73"
                            "AB\x3F\x1C"),
                     300);
         sim::Answer(sim::B("\x1B\x6A"), sim::B("\x1Bp"), 10);
         sim::At(100, [] {
             char one[CARD_TRACK1_BUFFER_SIZE] = "other", two[CARD_TRACKS_BUFFER_SIZE] = "other";
             const struct {
                 const char* name;
                 std::function<int()> call;
                 int refused;
             } guarded[] = {
                 {"CreatmComm", [] { return CreatmComm("COM1"); }, -static_cast<int>(ERROR_BUSY)},
                 {"DestroymComm", [] { return DestroymComm(); }, 0},
                 {"CardReset", [] { return CardReset(); }, CARD_BUSY},
                 {"IsReadError", [] { return IsReadError(); }, CARD_BUSY},
                 {"IsWriteError", [] { return IsWriteError(); }, CARD_BUSY},
                 {"WrTr1Card", [] { return WrTr1Card("B"); }, CARD_BUSY},
                 {"WrTr2Card", [] { return WrTr2Card("B"); }, CARD_BUSY},
                 {"WrTr12Card", [] { return WrTr12Card("B", "C"); }, CARD_BUSY},
                 {"RadTr1Card", [&] { return RadTr1Card(one); }, CARD_BUSY},
                 {"RadTr2Card", [&] { return RadTr2Card(one); }, CARD_BUSY},
                 {"RadTr12Card", [&] { return RadTr12Card(one, two); }, CARD_BUSY},
             };
             for (const auto& g : guarded)
                 EXPECT_EQ(g.call(), g.refused) << g.name;
             EXPECT_STREQ(one, "other");
             EXPECT_STREQ(two, "other");
         });
     },
     [](char* track) {
         const int result = RadTr1Card(track);
         EXPECT_STREQ(track, "AB");
         return result;
     },
     CARD_OK,
     {kRead1, kStatus}},
    {"CancelThenCallAgainFromAnotherThreadStillCancelsTheFirstCall",
     [] {
         sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
         sim::At(500, [] {
             EXPECT_EQ(CardCancel(), CARD_OK);
             EXPECT_EQ(IsWriteError(), CARD_BUSY);
         });
     },
     RadTr1Card,
     CARD_CANCELLED,
     {kRead1, kReset}},
    {"TheEscapeKeyStillCancels",
     [] {
         sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
         sim::HoldEscape(800, 900);
     },
     RadTr1Card,
     CARD_CANCELLED,
     {kRead1, kReset}},
};

TEST_P(Cancel, Rule) {
    const CancelCase& c = GetParam();
    ASSERT_EQ(CreatmComm("COM1"), 1);
    sim::ClearTrace();
    c.arrange();
    char track[CARD_TRACK1_BUFFER_SIZE] = "untouched";
    EXPECT_EQ(c.call(track), c.result);
    Lines frames;
    for (const sim::Bytes& frame : sim::Written())
        frames.push_back(sim::Hex(frame));
    EXPECT_EQ(frames, c.frames);
    EXPECT_FALSE(sim::ReadOutstanding());
    EXPECT_EQ(sim::Calls("CancelIo"), c.result == CARD_CANCELLED ? 1 : 0) << "the read is aborted";
    if (c.result == CARD_CANCELLED) {
        EXPECT_STREQ(track, "untouched");
        EXPECT_LT(sim::Now(), 1010u) << "the wait went on after the request";
    }
}

INSTANTIATE_TEST_SUITE_P(CardCancel, Cancel, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CancelCase>& param) { return param.param.name; });

} // namespace

// The mark of the call under way is never left set: not by a host that
// survives a fault in its own buffer, nor in a child forked during a call.
namespace {

sigjmp_buf s_faulted;
void LeaveFault(int) { siglongjmp(s_faulted, 1); }

class Mark : public World {};

TEST_F(Mark, AHostThatSurvivesAFaultInItsBufferFindsTheLibraryFree) {
    Open();
    sim::Answer(sim::B("\x1B\x42\x5D"), sim::B("\x1Bs%B1^A?\x3F\x1C"), 10);
    sim::Answer(sim::B("\x1B\x6A"), sim::B("\x1Bp"), 10);
    const long page = sysconf(_SC_PAGESIZE);
    char* pages = static_cast<char*>(
        mmap(NULL, 2 * static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, static_cast<size_t>(page), PROT_NONE), 0);
    struct sigaction fault = {}, before = {};
    fault.sa_handler = LeaveFault;
    sigaction(SIGSEGV, &fault, &before);
    if (sigsetjmp(s_faulted, 1) == 0) {
        RadTr1Card(pages + page - 2); // the track runs into the page the host may not write
        ADD_FAILURE() << "the bad buffer did not fault";
    }
    sigaction(SIGSEGV, &before, NULL);
    munmap(pages, 2 * static_cast<size_t>(page));
    EXPECT_EQ(CardReset(), CARD_OK);
}

TEST_F(Mark, AChildForkedDuringACallStartsWithNone) {
    Open();
    sim::NextRead({sim::ReadScript::FOREVER, {}, 0, 0});
    sim::At(100, [] {
        const pid_t child = fork();
        if (child == 0) _exit(CardReset() == CARD_OK ? 0 : 1);
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child found a call under way";
        EXPECT_EQ(CardCancel(), CARD_OK);
    });
    char track[CARD_TRACK1_BUFFER_SIZE];
    EXPECT_EQ(RadTr1Card(track), CARD_CANCELLED);
}

} // namespace
