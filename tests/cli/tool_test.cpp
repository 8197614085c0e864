// The tool end to end on generated files: results, the JSON report, option flags reaching the
// record, and the exit code of every kind of failure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/lanes.h"
#include "common/option_checks.h"
#include "common/testing.h"
#include "factor/factor.h"
#include "temp_files.h"

namespace {

using trelvak::test::TempDir;

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t got = 0;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, got);
    std::fclose(f);
    return s;
}

Outcome run_tool(std::vector<std::string> words) {
    words.insert(words.begin(), "trelvak");
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    const auto parsed = trelvak::cli::parse_arguments(static_cast<int>(argv.size()), argv.data());
    Outcome o;
    if (!parsed.ok) {
        o.code = trelvak::cli::kExitUsage;
        o.err  = parsed.message;
        return o;
    }
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    o.code         = trelvak::cli::run(parsed.arguments, out, err);
    o.out          = slurp(out);
    o.err          = slurp(err);
    return o;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Value of a number field "key": value in a JSON text (first occurrence).
double json_value(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos)
        return std::nan("");
    return std::stod(json.substr(at + key.size() + 4));
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        // Indefinite 2D Helmholtz-type matrix, small enough to solve in milliseconds.
        helmholtz_ = dir_.write("helm.mtx", trelvak::test::matrix_market_text(
                                                trelvak::test::laplace2d(20, 20, 0.3), false));
        kkt_       = dir_.write_gz("kkt.mtx.gz", trelvak::test::matrix_market_text(
                                                     trelvak::test::saddle_point(60, 20, 3, 7), true));
    }
    TempDir dir_;
    std::string helmholtz_;
    std::string kkt_;
};

TEST_F(Tool, SolvesAndReportsTheTrueResidual) {
    for (const std::string& path : {helmholtz_, kkt_}) {
        const auto o = run_tool({path});
        ASSERT_EQ(o.code, trelvak::cli::kExitConverged) << o.out << o.err;
        EXPECT_TRUE(has(o.out, "factor ")) << o.out;
        EXPECT_TRUE(has(o.out, "converged")) << o.out;
        EXPECT_TRUE(has(o.out, "||b - A x|| / ||b||")) << o.out;
        EXPECT_TRUE(has(o.out, "peak")) << o.out;
    }
    const auto quiet = run_tool({"-q", helmholtz_});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.out, "");
}

TEST_F(Tool, JsonReportCarriesEveryOptionAsUsed) {
    const auto o = run_tool({"--json", "--droptol", "0.005", "--solver", "gmres25", "--maxit=321",
                             "--nrestart", "25", kkt_});
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    EXPECT_EQ(o.out.front(), '{');
    for (const auto& k : trelvak::cli::option_keys()) {
        EXPECT_TRUE(has(o.out, std::string("\"") + k.name + "\": ")) << k.name;
    }
    EXPECT_EQ(json_value(o.out, "droptol"), 0.005);
    EXPECT_EQ(json_value(o.out, "maxit"), 321);
    // The controls level 1 was factored with (here those asked for).
    EXPECT_EQ(json_value(o.out, "droptol_used"), 0.005);
    EXPECT_GE(json_value(o.out, "condest_used"), 1.0);
    EXPECT_EQ(json_value(o.out, "perturbed_pivots"), 0);
    // The quick attempt gives the saddle-point system up (zero pivots in the given order).
    EXPECT_TRUE(has(o.out, "\"quick\": false")) << o.out;
    // A keyword is matched over its own length, and the text comes back as given.
    EXPECT_TRUE(has(o.out, "\"solver\": \"gmres25\"")) << o.out;
    // An unknown one is refused before anything runs (it once fell back to another method).
    const auto refused = run_tool({"--json", "--solver", "GMRES", kkt_});
    EXPECT_EQ(refused.code, trelvak::cli::kExitUsage);
    EXPECT_TRUE(has(refused.err, "--solver = \"GMRES\" is not known")) << refused.err;
    EXPECT_LE(json_value(o.out, "relres"), 1e-6);
    EXPECT_GT(json_value(o.out, "iterations"), 0);
    EXPECT_EQ(json_value(o.out, "threads"), trelvak::lane_count());
    EXPECT_GE(json_value(o.out, "levels"), 1);
    EXPECT_EQ(json_value(o.out, "exit_code"), 0);
    EXPECT_TRUE(has(o.out, "\"compressed\": true"));
}

TEST_F(Tool, EveryMethodSolvesTheSaddlePointSystem) {
    for (const char* method : {"sqmr", "sbcg", "bcg", "gmres", "fgmres"}) {
        const auto o = run_tool({"--json", "--solver", method, kkt_});
        EXPECT_EQ(o.code, 0) << method << "\n" << o.out << o.err;
        EXPECT_TRUE(has(o.out, std::string("\"solver\": \"") + method + "\"")) << method;
        EXPECT_LE(json_value(o.out, "relres"), 1e-6) << method;
    }
}

TEST_F(Tool, RightHandSideAndSolutionFiles) {
    // b = A * (1, 2, ..., n) from a file; the solution written must be close to 1..n.
    const auto m = trelvak::test::laplace2d(20, 20, 0.3);
    const int n  = m.nr;
    std::vector<double> want(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) want[static_cast<size_t>(i)] = i + 1.0;
    const auto b = trelvak::test::multiply(trelvak::test::dense_from_upper(m), want);
    std::string text;
    for (double v : b) text += std::to_string(v) + "\n";
    const std::string rhs = dir_.write("b.txt", text);
    const std::string out = dir_.path() + "/x.mtx";
    const auto o          = run_tool({"--rhs", rhs, "-o", out, "--restol", "1e-10", helmholtz_});
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    const auto x = trelvak::cli::read_vector(out, n);
    ASSERT_EQ(x.error, trelvak::cli::ReadError::kNone) << x.message;
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(x.values[static_cast<size_t>(i)], want[static_cast<size_t>(i)], 1e-3);
    }
    const auto short_rhs = run_tool({"--rhs", dir_.write("s.txt", "1 2 3\n"), helmholtz_});
    EXPECT_EQ(short_rhs.code, trelvak::cli::kExitInvalidMatrix);
    EXPECT_TRUE(has(short_rhs.err, "holds 3 values, need 400")) << short_rhs.err;
}

TEST_F(Tool, TheQuickFactorsTrialSolvesTheSystemOnce) {
    // A dominant matrix: the quick factor is kept, and its trial on the file's b is the solve.
    const auto m    = trelvak::test::laplace2d(30, 30, -3.0);
    const int n     = m.nr;
    const auto path = dir_.write("dominant.mtx", trelvak::test::matrix_market_text(m, false));
    std::string text;
    std::vector<double> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        b[static_cast<size_t>(i)] = std::cos(0.1 * i) + (i % 5);
        text += std::to_string(b[static_cast<size_t>(i)]) + "\n";
    }
    const std::string out = dir_.path() + "/x.mtx";
    const auto o = run_tool({"--json", "--rhs", dir_.write("b.txt", text), "-o", out, path});
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    EXPECT_TRUE(has(o.out, "\"quick\": true")) << o.out;
    EXPECT_TRUE(has(o.out, "\"in_trial\": true")) << o.out;
    EXPECT_GT(json_value(o.out, "iterations"), 0);
    EXPECT_LE(json_value(o.out, "relres"), 1e-6);
    const auto x = trelvak::cli::read_vector(out, n);
    ASSERT_EQ(x.error, trelvak::cli::ReadError::kNone) << x.message;
    const auto Ax = trelvak::test::multiply(trelvak::test::dense_from_upper(m), x.values);
    double r = 0.0, bb = 0.0;
    for (int i = 0; i < n; ++i) {
        r += std::pow(b[static_cast<size_t>(i)] - Ax[static_cast<size_t>(i)], 2);
        bb += b[static_cast<size_t>(i)] * b[static_cast<size_t>(i)];
    }
    EXPECT_LE(std::sqrt(r / bb), 1e-6);
    // The text report says where the iterations went; --factor-only makes no solve of it.
    const auto text_run = run_tool({path});
    EXPECT_TRUE(has(text_run.out, "in the quick factor's trial")) << text_run.out;
    const auto factor_only = run_tool({"--json", "--factor-only", path});
    EXPECT_FALSE(has(factor_only.out, "in_trial")) << factor_only.out;
    // A trial longer than the caller's limit is no solve of it.
    const auto limited = run_tool({"--json", "--maxit", "1", path});
    EXPECT_EQ(limited.code, trelvak::cli::kExitNotConverged) << limited.out;
    EXPECT_TRUE(has(limited.out, "\"in_trial\": false")) << limited.out;
}

TEST_F(Tool, ExitCodesTellTheFailuresApart) {
    using namespace trelvak::cli;
    const auto limit = run_tool({"--maxit", "2", "--restol", "1e-14", helmholtz_});
    EXPECT_EQ(limit.code, kExitNotConverged) << limit.out << limit.err;
    EXPECT_TRUE(has(limit.err, "increase --maxit")) << limit.err;
    EXPECT_TRUE(has(limit.out, "residual")) << "a result is still printed";
    EXPECT_FALSE(has(limit.err, "hint")) << "the residual fell: no hint on the factors";
    // One iteration with the diagonal preconditioner leaves the residual near its start.
    const auto stalled = run_tool({"--maxit", "1", "--droptol", "0.3", helmholtz_});
    EXPECT_EQ(stalled.code, kExitNotConverged) << stalled.out << stalled.err;
    EXPECT_TRUE(has(stalled.err, "hint: the residual hardly fell")) << stalled.err;

    const auto missing = run_tool({dir_.path() + "/absent.mtx"});
    EXPECT_EQ(missing.code, kExitUnreadable);
    EXPECT_TRUE(has(missing.err, "cannot open")) << missing.err;

    const auto complex = run_tool({dir_.write(
        "c.mtx", "%%MatrixMarket matrix coordinate complex general\n1 1 1\n1 1 1 1\n")});
    EXPECT_EQ(complex.code, kExitInvalidMatrix);

    const auto asym =
        run_tool({"--json", dir_.write("a.mtx",
                                       "%%MatrixMarket matrix coordinate real general\n2 2 3\n1 1 "
                                       "1\n2 2 1\n2 1 5\n")});
    EXPECT_EQ(asym.code, kExitInvalidMatrix);
    EXPECT_TRUE(has(asym.out, "\"kind\": \"invalid_input\"")) << asym.out;
    EXPECT_TRUE(has(asym.out, "not symmetric")) << asym.out;

    const auto usage = run_tool({"--droptol", "x", helmholtz_});
    EXPECT_EQ(usage.code, kExitUsage);

    const auto factored = run_tool({"--factor-only", "--json", kkt_});
    EXPECT_EQ(factored.code, 0) << factored.err;
    EXPECT_FALSE(has(factored.out, "\"solve\"")) << factored.out;
}

// Text value of a string field "key": "value" in a JSON text (first occurrence).
std::string json_text(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": \"");
    if (at == std::string::npos)
        return "";
    const size_t from = at + key.size() + 5;
    return json.substr(from, json.find('"', from) - from);
}

// One verdict: exit code 0, JSON status 0, "converged": true and the word "converged" in the text
// report all mean the same thing, the true relative residual at most restol; otherwise exit code
// 1, status -1 and "iteration limit reached". Runs that converge, that stop at the limit, that ask
// for less than rounding allows, and GMRES and SQMR on a singular system with no solution (the
// 2D Laplacian with Neumann boundary, b outside its range).
TEST_F(Tool, ExitCodeTextAndJsonStatusFollowOneVerdict) {
    auto dense  = trelvak::test::dense_from_upper(trelvak::test::laplace2d(12, 12));
    const int n = dense.n;
    for (int i = 0; i < n; ++i) {
        double off = 0.0;
        for (int j = 0; j < n; ++j) off += j != i ? dense(i, j) : 0.0;
        dense(i, i) = -off;  // rows sum to zero: constants span the null space
    }
    std::vector<double> ramp(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) ramp[static_cast<size_t>(i)] = i + 1.0;
    auto b = trelvak::test::multiply(dense, ramp);
    b[0] += 1.0;  // a component along the null space: no solution
    std::string text;
    for (double v : b) text += std::to_string(v) + "\n";
    const std::string neumann = dir_.write(
        "neumann.mtx",
        trelvak::test::matrix_market_text(trelvak::test::upper_from_dense(dense), false));
    const std::string rhs = dir_.write("neumann_b.txt", text);

    const std::vector<std::vector<std::string>> runs = {
        {helmholtz_},
        {"--maxit", "2", "--restol", "1e-14", helmholtz_},
        {"--restol", "1e-15", helmholtz_},
        {"--restol", "3e-16", helmholtz_},
        {"--restol", "3e-16", "--solver", "gmres", helmholtz_},
        {"--maxit", "3", "--solver", "fgmres", kkt_},
        {"--solver", "gmres", "--rhs", rhs, neumann},
        {"--solver", "sqmr", "--rhs", rhs, neumann},
    };
    for (const auto& words : runs) {
        std::string what;
        for (const auto& w : words) what += w + " ";
        auto json_words = words;
        json_words.insert(json_words.begin(), "--json");
        const auto o = run_tool(json_words);
        ASSERT_TRUE(o.code == trelvak::cli::kExitConverged ||
                    o.code == trelvak::cli::kExitNotConverged)
            << what << o.out << o.err;
        const bool converged = o.code == trelvak::cli::kExitConverged;
        EXPECT_EQ(json_value(o.out, "exit_code"), o.code) << what;
        EXPECT_EQ(json_value(o.out, "status"), converged ? 0 : -1) << what << o.out;
        EXPECT_EQ(json_text(o.out, "status_text"),
                  converged ? "converged" : "iteration limit reached")
            << what << o.out;
        EXPECT_EQ(has(o.out, "\"converged\": true"), converged) << what << o.out;
        EXPECT_EQ(json_value(o.out, "relres") <= json_value(o.out, "restol"), converged)
            << what << o.out;

        const auto plain = run_tool(words);
        EXPECT_EQ(plain.code, o.code) << what;
        EXPECT_EQ(has(plain.out, converged ? ", converged:" : ", iteration limit reached:"), true)
            << what << plain.out;
        EXPECT_EQ(has(plain.err, "warning: no convergence"), !converged) << what << plain.err;
    }
}

// On this shifted 3D grid the default factor passes the factorization's stability probe but is
// unstable: the watch sees the residual grow, and the tool solves with a cruder factor and says so.
TEST_F(Tool, ReportsTheSecondFactorOfTheWatchAndCanDoWithout) {
    const std::string path = dir_.write(
        "lap3d.mtx",
        trelvak::test::matrix_market_text(trelvak::test::laplace3d(14, 14, 14, 1.0), false));
    auto o = run_tool({path});
    EXPECT_EQ(o.code, trelvak::cli::kExitConverged) << o.out << o.err;
    EXPECT_TRUE(has(o.out, "watch     the residual grew in the first 10 iterations")) << o.out;
    EXPECT_TRUE(has(o.out, "factored again with droptol 0.3")) << o.out;
    EXPECT_TRUE(has(o.out, "(and 10 watched)")) << o.out;

    o = run_tool({"--json", path});
    EXPECT_EQ(o.code, trelvak::cli::kExitConverged);
    EXPECT_TRUE(has(o.out,
                    "\"watch\": {\"iterations\": 10, \"grew\": true, \"fallback\": "
                    "{\"droptol\": 0.3, \"code\": 0"))
        << o.out;
    EXPECT_TRUE(has(o.out, "\"used\": true}}")) << o.out;

    // Without the fallback it needs seven times the iterations.
    o = run_tool({"--no-fallback", "--maxit", "60", path});
    EXPECT_EQ(o.code, trelvak::cli::kExitNotConverged);
    EXPECT_FALSE(has(o.out, "watch")) << o.out;
    EXPECT_TRUE(has(o.err, "try --droptol 0.3")) << o.err;
}

TEST(ToolOptions, EveryFlagReachesItsRecordField) {
    std::vector<std::string> words = {"trelvak"};
    for (const auto& k : trelvak::cli::option_keys()) {
        words.push_back(std::string("--") + k.name);
        // A keyword of the key with a suffix (matched over the keyword's length), or a number
        // every numeric key accepts.
        const std::string keyword =
            trelvak::option_keywords(k.name).substr(0, trelvak::option_keywords(k.name).find(','));
        words.push_back(k.kind == trelvak::cli::OptionKey::kText ? keyword + "_" + k.name
                        : std::string(k.name) == "restol"        ? "0.5"
                        : std::string(k.name) == "matching"      ? "1"
                                                                 : "7");
    }
    words.push_back("m.mtx");
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    const auto parsed = trelvak::cli::parse_arguments(static_cast<int>(argv.size()), argv.data());
    ASSERT_TRUE(parsed.ok) << parsed.message;
    ParameterRecord* param = trelvak::create_parameters();
    trelvak::cli::apply_options(parsed.arguments, param);
    for (const auto& k : trelvak::cli::option_keys()) {
        const std::string keyword =
            trelvak::option_keywords(k.name).substr(0, trelvak::option_keywords(k.name).find(','));
        const std::string want = k.kind == trelvak::cli::OptionKey::kText
                                     ? "\"" + keyword + "_" + k.name + "\""
                                 : std::string(k.name) == "restol"   ? "0.5"
                                 : std::string(k.name) == "matching" ? "1"
                                                                     : "7";
        EXPECT_EQ(trelvak::cli::option_json(*param, k), want) << k.name;
    }
    trelvak::release_parameters(param);
}

}  // namespace
