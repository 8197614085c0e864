// The guard every Octave module runs in (src/gateway/host.cpp), outside Octave: fatal stops and
// allocation failures become error texts, buffers are released on the way out, the previous
// fatal handler comes back, and run_module raises the error only after the guard has returned.
// The host's error exit and the registry's lock are replaced by recorders here.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "common/trelvak.h"
#include "gateway/gateway.h"
#include "solver/alloc_testing.h"

namespace {
std::string raised;  // message given to the host's error exit
int raised_count      = 0;
int keep_loaded_calls = 0;
int released          = 0;  // buffers released by their owners
}  // namespace

extern "C" void mexErrMsgTxt(const char* s) {
    raised = s;
    ++raised_count;
}
namespace trelvak::gateway {
void keep_loaded(bool& /*locked*/) {
    ++keep_loaded_calls;
}
}  // namespace trelvak::gateway

namespace {

using trelvak::gateway::guarded;

struct Counted {
    ~Counted() { ++released; }
};

[[noreturn]] void marker_handler(FatalChannel, const char*) {
    throw 42;
}

TEST(Guard, AllocationFailureBecomesTheMessageAndReleasesBuffers) {
    released                = 0;
    const std::string error = guarded([] {
        Counted owner;
        auto kept = trelvak::gateway::allocate<double>(8, "DSYMtrelvaksolver:rhs");
        trelvak::testing::fail_allocation(1);
        auto failing = trelvak::gateway::allocate<double>(4, "DSYMtrelvaksolver:sol");
        ADD_FAILURE() << "MAlloc returned after a failure";
    });
    trelvak::testing::fail_allocation(0);
    EXPECT_EQ(error, "Mem. alloc. ERROR in DSYMtrelvaksolver:sol. Requested bytes: 32 bytes\n");
    EXPECT_EQ(released, 1);
}

TEST(Guard, FatalStopCarriesItsChannelAndMessage) {
    FatalChannel seen       = FATAL_STDERR;
    const std::string error = guarded([&] {
        try {
            trelvak_fatal(FATAL_STDOUT, "inconsistent level list\n");
        } catch (const trelvak::FatalStop& stop) {
            seen = stop.channel();
            throw;
        }
    });
    EXPECT_EQ(seen, FATAL_STDOUT);
    EXPECT_EQ(error, "inconsistent level list\n");
}

TEST(Guard, EveryExceptionIsCaught) {
    EXPECT_EQ(guarded([] {}), "");
    EXPECT_EQ(
        guarded([] { throw trelvak::gateway::HostError("Third input must be a structure."); }),
        "Third input must be a structure.");
    EXPECT_EQ(guarded([] { throw std::bad_alloc(); }), "out of memory.");
    EXPECT_EQ(guarded([] { throw 7; }), "interrupted.");
}

TEST(Guard, PreviousFatalHandlerComesBack) {
    FatalHandler before = trelvak_set_fatal_handler(marker_handler);
    guarded([] { throw trelvak::gateway::HostError("x"); });
    guarded([] {});
    EXPECT_EQ(trelvak_set_fatal_handler(before), marker_handler);
}

void failing_body(int, mxArray**, int, const mxArray**) {
    throw trelvak::gateway::HostError("five input arguments required.");
}
void quiet_body(int, mxArray**, int, const mxArray**) {}

TEST(Guard, RunModuleRaisesAfterTheGuardAndKeepsTheLockCurrent) {
    raised.clear();
    raised_count      = 0;
    keep_loaded_calls = 0;
    bool locked       = false;
    trelvak::gateway::run_module(quiet_body, locked, 2, nullptr, 5, nullptr);
    EXPECT_EQ(raised_count, 0);
    trelvak::gateway::run_module(failing_body, locked, 2, nullptr, 4, nullptr);
    EXPECT_EQ(raised_count, 1);
    EXPECT_EQ(raised, "five input arguments required.");
    EXPECT_EQ(keep_loaded_calls, 2);
}

}  // namespace
