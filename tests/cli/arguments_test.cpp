// Command line of the tool: every option key as a flag, both spellings of a value, and one usage
// error per kind of mistake. Also the JSON helpers and the symmetric product used for residuals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/option_checks.h"
#include "common/testing.h"

namespace {

using trelvak::cli::OptionKey;
using trelvak::cli::parse_arguments;
using trelvak::cli::ParseResult;

ParseResult parse(std::vector<std::string> words) {
    words.insert(words.begin(), "trelvak");
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    return parse_arguments(static_cast<int>(argv.size()), argv.data());
}

TEST(Arguments, EveryOptionKeyIsAFlagInBothSpellings) {
    const auto& keys = trelvak::cli::option_keys();
    ASSERT_EQ(keys.size(), 22u);
    for (const auto& k : keys) {
        // A value each key accepts: its first keyword, or a number within its range.
        const std::string name = k.name;
        const std::string first =
            trelvak::option_keywords(name).substr(0, trelvak::option_keywords(name).find(','));
        const std::string value = k.kind == OptionKey::kText ? first + "20"
                                  : name == "restol"         ? "0.5"
                                  : name == "matching"       ? "1"
                                                             : "3";
        for (bool joined : {false, true}) {
            const auto r = joined ? parse({std::string("--") + k.name + "=" + value, "m.mtx"})
                                  : parse({std::string("--") + k.name, value, "m.mtx"});
            ASSERT_TRUE(r.ok) << k.name << ": " << r.message;
            EXPECT_EQ(r.arguments.matrix_path, "m.mtx");
            if (k.kind == OptionKey::kText) {
                EXPECT_EQ(r.arguments.texts.at(k.name), value);
            } else {
                EXPECT_EQ(r.arguments.numbers.at(k.name), std::stod(value));
            }
        }
    }
    // The usage text lists every key.
    const std::string usage = trelvak::cli::usage_text();
    for (const auto& k : keys) {
        EXPECT_NE(usage.find(std::string("--") + k.name + " "), std::string::npos) << k.name;
    }
}

TEST(Arguments, ToolFlags) {
    const auto r = parse({"-q", "--rhs", "b.txt", "-o", "x.mtx", "--factor-only", "--symmetry-tol",
                          "1e-8", "--droptol", "1e-3", "--", "-odd.mtx"});
    ASSERT_TRUE(r.ok) << r.message;
    const auto& a = r.arguments;
    EXPECT_TRUE(a.quiet);
    EXPECT_FALSE(a.json);
    EXPECT_TRUE(a.factor_only);
    EXPECT_EQ(a.rhs_path, "b.txt");
    EXPECT_EQ(a.output_path, "x.mtx");
    EXPECT_EQ(a.symmetry_tol, 1e-8);
    EXPECT_EQ(a.numbers.at("droptol"), 1e-3);
    EXPECT_EQ(a.matrix_path, "-odd.mtx");
    EXPECT_TRUE(parse({"--help"}).arguments.help);
    EXPECT_TRUE(parse({"--version"}).ok);
}

TEST(Arguments, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no matrix file given"},
        {{"a.mtx", "b.mtx"}, "more than one matrix file"},
        {{"--bogus", "a.mtx"}, "unknown option '--bogus'"},
        {{"--DropTol", "1", "a.mtx"}, "did you mean '--droptol'"},
        {{"--droptols", "1", "a.mtx"}, "did you mean '--droptolS'"},
        {{"-x", "a.mtx"}, "unknown option '-x'"},
        {{"a.mtx", "--droptol"}, "'--droptol' needs a value"},
        {{"--droptol", "abc", "a.mtx"}, "--droptol needs a finite number, got 'abc'"},
        {{"--droptol", "1e-2x", "a.mtx"}, "finite number"},
        {{"--restol", "nan", "a.mtx"}, "finite number"},
        {{"--restol=inf", "a.mtx"}, "finite number"},
        {{"--restol=", "a.mtx"}, "finite number"},
        {{"--maxit", "99.9", "a.mtx"}, "--maxit needs a whole number"},
        {{"--lfil", "3e9", "a.mtx"}, "32-bit range"},
        {{"--json=1", "a.mtx"}, "takes no value"},
        {{"--json", "-q", "a.mtx"}, "exclude each other"},
        {{"--rhs", "a.mtx"}, "no matrix file given"},
        {{"--output=", "a.mtx"}, "needs a file name"},
        {{"--symmetry-tol", "-1", "a.mtx"}, "--symmetry-tol needs a number >= 0"},
    };
    for (const auto& [words, part] : cases) {
        const auto r = parse(words);
        EXPECT_FALSE(r.ok) << part;
        EXPECT_NE(r.message.find(part), std::string::npos)
            << "expected '" << part << "' in: " << r.message;
    }
}

// Values that would change the run without a word: a limit of 0 that means none (a run that
// never ends), a misspelt ordering that means none (hundreds of iterations instead of ten),
// negative or zero controls that mean nothing.
TEST(Arguments, OptionValuesOutsideTheirKeysAreRefusedWithTheKey) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--maxit", "0"}, "--maxit = 0 is not accepted: it must be an iteration limit >= 1"},
        {{"--maxit=-1"}, "--maxit = -1 is not accepted"},
        {{"--restol", "0"}, "--restol = 0 is not accepted: it must be a relative tolerance"},
        {{"--restol", "1.5"}, "--restol = 1.5 is not accepted"},
        {{"--droptol", "-1e-3"}, "--droptol = -0.001 is not accepted: it must be a drop tolerance"},
        {{"--droptolS", "-1"}, "--droptolS = -1 is not accepted"},
        {{"--condest", "0.5"}, "--condest = 0.5 is not accepted"},
        {{"--elbow", "0"}, "--elbow = 0 is not accepted"},
        {{"--damping", "-0.5"}, "--damping = -0.5 is not accepted"},
        {{"--lfil", "-2"}, "--lfil = -2 is not accepted"},
        {{"--lfilS", "-2"}, "--lfilS = -2 is not accepted"},
        {{"--matching", "2"}, "--matching = 2 is not accepted: it must be 0 (off) or 1 (on)"},
        {{"--ncoarse", "0"}, "--ncoarse = 0 is not accepted"},
        {{"--npresmoothing", "-1"}, "--npresmoothing = -1 is not accepted"},
        {{"--ordering", "metis"},
         "--ordering = \"metis\" is not known: it must be one of amd, metisn"},
        {{"--ordering=AMD"}, "--ordering = \"AMD\" is not known"},
        {{"--solver", "GMRES"}, "--solver = \"GMRES\" is not known"},
        {{"--presmoother", "x"}, "--presmoother = \"x\" is not known: it must be one of gsf"},
        {{"--typecoarse", "ILU"}, "--typecoarse = \"ILU\" is not known"},
        {{"--FCpart", "Yes"}, "--FCpart = \"Yes\" is not known"},
        {{"--amg", ""}, "--amg = \"\" is not known"},
    };
    for (auto [words, part] : cases) {
        words.push_back("a.mtx");
        const auto r = parse(words);
        EXPECT_FALSE(r.ok) << part;
        EXPECT_NE(r.message.find(part), std::string::npos)
            << "expected '" << part << "' in: " << r.message;
    }
    // Keywords are matched over their own length, as the solver reads them.
    EXPECT_TRUE(parse({"--ordering", "metisn", "--presmoother", "jacobi", "--solver", "bcgstab",
                       "--lfil", "0", "--droptol", "0", "a.mtx"})
                    .ok);
}

TEST(Arguments, IntegralValuesInAnySpellingAreAccepted) {
    const auto r = parse({"--maxit", "1e3", "--matching=1e0", "--nrestart", "+20", "a.mtx"});
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.arguments.numbers.at("maxit"), 1000.0);
    EXPECT_EQ(r.arguments.numbers.at("matching"), 1.0);
    EXPECT_EQ(r.arguments.numbers.at("nrestart"), 20.0);
}

TEST(OutputHelpers, JsonTextsAndNumbers) {
    using trelvak::cli::json_number;
    using trelvak::cli::json_quote;
    EXPECT_EQ(json_quote("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    EXPECT_EQ(json_number(0.1), "0.1");
    EXPECT_EQ(json_number(1e-6), "1e-06");
    EXPECT_EQ(std::stod(json_number(1.0 / 3.0)), 1.0 / 3.0);
    EXPECT_EQ(json_number(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(json_number(-std::numeric_limits<double>::infinity()), "null");
}

TEST(OutputHelpers, SymmetricProductMatchesTheDenseProduct) {
    const auto m = trelvak::test::random_symmetric(50, 4, 3, 0.3);
    trelvak::cli::UpperMatrix u;
    u.n  = m.nr;
    u.ia = m.ia;
    u.ja = m.ja;
    u.a  = m.a;
    std::vector<double> x(50), y(50);
    for (int i = 0; i < 50; ++i) x[static_cast<size_t>(i)] = std::sin(i + 1.0);
    trelvak::cli::symmetric_product(u, x.data(), y.data());
    const auto want = trelvak::test::multiply(trelvak::test::dense_from_upper(m), x);
    for (int i = 0; i < 50; ++i) {
        EXPECT_NEAR(y[static_cast<size_t>(i)], want[static_cast<size_t>(i)], 1e-13);
    }
}

}  // namespace
