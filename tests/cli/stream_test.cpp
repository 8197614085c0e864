// The built tool on input that can be read only once: a named pipe (FIFO), a pipe given as
// /dev/stdin and a process substitution, for the matrix (plain and gzip) and the right-hand side.
// Each run has a time limit, so a tool that waits forever fails the test instead of blocking it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/testing.h"
#include "temp_files.h"

namespace {

using trelvak::test::file_bytes;
using trelvak::test::TempDir;

struct Outcome {
    int code = -1;  // the script's exit status; 124 when the time limit ended the tool
    std::string out;
};

// Runs a bash script in dir, where $TOOL is the tool run under a 20-second limit; returns its
// exit status and its standard output and error together.
Outcome bash(const TempDir& dir, const std::string& script) {
    const std::string file =
        dir.write("script.sh", "cd '" + dir.path() + "' || exit 99\n" +
                                   "TOOL='timeout 20 " TRELVAK_TOOL_PATH "'\n" + script + "\n");
    const std::string log = dir.path() + "/script.log";
    const int status      = std::system(("bash '" + file + "' > '" + log + "' 2>&1").c_str());
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out  = file_bytes(log);
    return r;
}

class ToolInput : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("a.mtx",
                   trelvak::test::matrix_market_text(trelvak::test::laplace2d(8, 8, 0.3), false));
        dir_.write_gz("a.mtx.gz", file_bytes(dir_.path() + "/a.mtx"));
        std::string rhs;
        for (int i = 1; i <= 64; ++i) rhs += std::to_string(i) + "\n";
        dir_.write("b.txt", rhs);
    }
    bool has(const Outcome& r, const std::string& part) {
        return r.out.find(part) != std::string::npos;
    }
    // A build without zlib refuses compressed data from a pipe, and says so.
    bool without_zlib(const Outcome& r) {
        return r.code == 3 && has(r, "(this build has no zlib)");
    }
    TempDir dir_;
};

TEST_F(ToolInput, NamedPipesAreReadWithoutWaitingForever) {
    for (const std::string file : {"a.mtx", "a.mtx.gz"}) {
        const Outcome r = bash(dir_,
                               "rm -f fifo; mkfifo fifo || exit 98\n"
                               "timeout 20 sh -c 'cat " +
                                   file +
                                   " > fifo' &\n"
                                   "$TOOL fifo; code=$?; wait; exit $code");
        if (without_zlib(r)) {
            continue;
        }
        EXPECT_EQ(r.code, 0) << file << ":\n" << r.out;
        EXPECT_TRUE(has(r, "fifo: n = 64")) << r.out;
        EXPECT_EQ(has(r, "gzip"), file == "a.mtx.gz") << r.out;
    }
    // The right-hand side from a named pipe too.
    const Outcome rhs = bash(dir_,
                             "rm -f fifo; mkfifo fifo || exit 98\n"
                             "timeout 20 sh -c 'cat b.txt > fifo' &\n"
                             "$TOOL --rhs fifo a.mtx; code=$?; wait; exit $code");
    EXPECT_EQ(rhs.code, 0) << rhs.out;
}

TEST_F(ToolInput, PipesAreReadOnceFromTheFirstByte) {
    const std::string scripts[] = {
        "cat a.mtx | $TOOL /dev/stdin",
        "cat a.mtx.gz | $TOOL /dev/stdin",
        "$TOOL <(cat a.mtx)",
        "$TOOL <(cat a.mtx.gz)",
        "$TOOL --rhs /dev/stdin a.mtx < b.txt",
        "$TOOL --rhs <(gzip -c b.txt) <(cat a.mtx.gz)",
    };
    for (const auto& script : scripts) {
        const Outcome r = bash(dir_, script);
        if (without_zlib(r)) {
            continue;
        }
        EXPECT_EQ(r.code, 0) << script << ":\n" << r.out;
        EXPECT_TRUE(has(r, "n = 64")) << script << ":\n" << r.out;
    }
    // A bad file through a pipe is told by its real fault, from its first line.
    const Outcome junk = bash(dir_, "printf 'junk\\n1 1 1\\n' | $TOOL /dev/stdin");
    EXPECT_EQ(junk.code, 4) << junk.out;
    EXPECT_TRUE(has(junk, "/dev/stdin:1: not a Matrix Market file")) << junk.out;
}

// SIGINT and SIGTERM during a long solve end the run within a poll, with its own exit code and
// a message; before, only SIGKILL ended a run whose iteration limit was never reached.
TEST_F(ToolInput, SignalsEndALongSolveAsInterrupted) {
    // Dropping everything leaves the diagonal; GMRES(2) on this indefinite grid stagnates.
    dir_.write("h.mtx",
               trelvak::test::matrix_market_text(trelvak::test::laplace2d(40, 40, 0.3), false));
    for (const char* signal : {"INT", "TERM"}) {
        // The signal goes out once the factor's report line is out (standard output line
        // buffered), so that it reaches the solve whatever the machine's load. The tool runs
        // without `timeout`, which passes a signal on twice (to the tool and to its group): a
        // second signal ends the tool at once, as it should for a user who insists. (stdbuf
        // preloads its library, which a sanitizer build must be told to accept.)
        const std::string script =
            "ASAN_OPTIONS=verify_asan_link_order=0 stdbuf -oL \"${TOOL##* }\" "
            "--no-fallback --solver gmres --nrestart 2 --maxit 2000000000 --restol 1e-15 "
            "--droptol 10 h.mtx > run.out 2> run.err & pid=$!\n"
            "( sleep 20; kill -9 $pid ) 2> /dev/null & guard=$!\n"
            "for i in $(seq 200); do grep -q '^factor' run.out && break; sleep 0.05; done\n"
            "sleep 0.2; kill -" +
            std::string(signal) +
            " $pid; wait $pid; echo \"exit=$?\"; kill $guard 2> /dev/null; cat run.out run.err";
        const auto r = bash(dir_, script);
        EXPECT_TRUE(has(r, "exit=130")) << signal << ": " << r.out;
        EXPECT_TRUE(has(r, "trelvak: error: interrupted by a signal")) << signal << ": " << r.out;
    }
}

}  // namespace
