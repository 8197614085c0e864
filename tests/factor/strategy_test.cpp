// The strategy of the factorization: the list of attempts (passes from level 1, each under its own
// controls) and the outcomes that move from one attempt to the next. Each transition is made to
// fire on a generated matrix built for it, and the attempt that produced the level list is read
// from the progress reports.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "common/level_check.h"
#include "factor_support.h"

namespace trelvak::test {
namespace {

using factor_detail::factor_attempts;
using factor_detail::FactorAttempt;
using factor_detail::LevelControls;

// The passes a factorization made, in order (one entry per pass that reported a level), and the
// attempt whose pass produced the level list; the second factorization of an unstable factor
// (condest 100) is a walk of its own, and steadied says that its factor was kept.
struct Walk {
    int status = 0;
    std::vector<int> passes;
    std::string solved_by;
    std::string message;
    bool steadied = false;
};

Walk walk(Csr A, const std::function<void(ParameterRecord*)>& setup) {
    Factored f;
    setup(f.param);
    Walk w;
    w.status   = factor(A.record(), f.param, &f.levels, &f.info, [&](const LevelProgress& p) {
        if (p.steadying || p.pass == 0) {  // steadying entries, the quick attempt
            return;
        }
        if (w.passes.empty() || w.passes.back() != p.pass) {
            w.passes.push_back(p.pass);
        }
    });
    w.message  = f.info.message;
    w.steadied = f.info.steadied;
    if (w.status == 0) {
        EXPECT_EQ(check_level_list(f.levels, f.param), "");
        EXPECT_EQ(w.passes.empty(), f.info.quick);
        w.solved_by = f.info.quick
                          ? "quick"
                          : factor_attempts()[static_cast<size_t>(w.passes.back() - 1)].name;
    }
    return w;
}

// The list ends in an attempt that never moves on (so a factorization makes at most as many
// passes as the list has entries); every earlier one moves on for some outcome. The first applies
// to any options; the second raises condest a thousandfold up to 1e4, and is not made when that
// would not raise it.
TEST(Strategy, AttemptsRunFromTheOptionsToAFallbackThatNeverMovesOn) {
    const auto attempts = factor_attempts();
    ASSERT_EQ(attempts.size(), 3u);
    std::set<std::string> names;
    for (size_t k = 0; k < attempts.size(); ++k) {
        names.insert(attempts[k].name);
        EXPECT_EQ(attempts[k].moves_on == 0, k + 1 == attempts.size()) << attempts[k].name;
    }
    EXPECT_EQ(names.size(), attempts.size());
    EXPECT_EQ(std::string(attempts[0].name), "options");
    EXPECT_EQ(std::string(attempts[1].name), "condest raised");
    EXPECT_EQ(std::string(attempts[2].name), "fallback");

    for (double condest : {1.0, 10.0, 1e4, std::numeric_limits<double>::infinity()}) {
        LevelControls options;
        options.condest = condest;
        EXPECT_TRUE(attempts[0].applies(options));
        EXPECT_TRUE(attempts[2].applies(options));
        EXPECT_EQ(attempts[0].controls(options).condest, condest);
        EXPECT_EQ(attempts[2].controls(options).condest, condest);
        EXPECT_EQ(attempts[1].applies(options), condest < 1e4) << condest;
    }
    LevelControls options;
    options.condest          = 5.0;
    options.droptol          = 3e-3;
    const LevelControls high = attempts[1].controls(options);
    EXPECT_DOUBLE_EQ(high.condest, 5000.0);
    EXPECT_EQ(high.droptol, options.droptol) << "only the bound changes";
    options.condest = 10.0;
    EXPECT_DOUBLE_EQ(attempts[1].controls(options).condest, 1e4);
}

struct TransitionCase {
    const char* name;
    Csr (*make)();
    double elbow;    // <= 0: no limit
    double condest;  // NaN: the default
    int status;
    std::vector<int> passes;  // the passes that reported levels
    const char* solved_by;    // the attempt whose pass gave the level list (status 0)
    bool steadied = false;    // the factor was unstable, and a steadying entry gave a better one
};

Csr laplacian20() {
    return laplace2d(20, 20);
}
Csr helmholtz100() {
    return laplace2d(100, 100, 0.3775);
}
Csr helmholtz70() {
    return laplace2d(70, 70, 0.3891382);
}
Csr shifted120() {
    return laplace2d(120, 120, 0.1);
}
Csr saddle600() {
    return saddle_point(600, 200, 3, 7);
}
Csr tiny_diagonals150() {
    return random_symmetric(150, 5, 3, 0.0, 0.5);
}

constexpr double kDefault = std::numeric_limits<double>::quiet_NaN();

// A pass that ends in an outcome its attempt lists starts the next attempt; one that ends in
// another outcome, or whose next attempt would change nothing, fails or keeps its levels.
TEST(Strategy, EachTransitionFiresOnAMatrixBuiltForIt) {
    const TransitionCase cases[] = {
        // A Laplacian is served by the quick attempt, a saddle-point matrix (whose constraint
        // rows the quick attempt postpones) fits at once.
        {"quick", laplacian20, kDefault, kDefault, 0, {}, "quick"},
        {"no transition", saddle600, kDefault, kDefault, 0, {1}, "options"},
        // Level 1 postpones many rows and its Schur complement crowds elbow: the first pass gives
        // up while forming it, before reporting a level.
        {"crowded while level 1 forms", helmholtz100, kDefault, kDefault, 0, {2}, "condest raised"},
        // Level 1 keeps 110 of its 150 rows; the rest outgrow elbow = 5 after level 1 was made.
        // Level 2 has fewer than 1000 rows, so the levels cannot be slow.
        {"crowded after level 1", tiny_diagonals150, 5.0, kDefault, 0, {1, 2}, "condest raised"},
        // Without a limit on memory nothing crowds: level 2 keeps less than 60 % of its rows.
        {"slowly shrinking", shifted120, 0.0, kDefault, 0, {1, 2}, "condest raised"},
        // With elbow = 4 the larger bound does not fit either: its level 1 does not fit, also
        // with tighter dropping, and the fallback gives the level list. That factor (dropping
        // tightened to fit) is unstable; condest 100 gives a steadier one, which is kept.
        {"raised bound beyond elbow", helmholtz70, 4.0, kDefault, 0, {2, 3}, "fallback", true},
        // With elbow = 3 the first pass reports level 1 before its levels outgrow elbow. The
        // fallback's factor is unstable too; the crude one does better in a trial solve.
        {"crowded, then beyond elbow", helmholtz70, 3.0, kDefault, 0, {1, 3}, "fallback", true},
        // The caller's bound is already at the cap: no raised pass, and elbow is final.
        {"bound at the cap, beyond elbow", helmholtz70, 4.0, 1e4, kFactorElbow, {1}, ""},
        {"bound at the cap, slow levels kept", shifted120, kDefault, 1e4, 0, {1}, "options"},
    };
    for (const TransitionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Walk w = walk(c.make(), [&](ParameterRecord* param) {
            if (!std::isnan(c.elbow)) {
                param->elbow = c.elbow;
            }
            if (!std::isnan(c.condest)) {
                param->condest = c.condest;
            }
        });
        EXPECT_EQ(w.status, c.status) << w.message;
        EXPECT_EQ(w.passes, c.passes);
        EXPECT_EQ(w.solved_by, c.solved_by);
        EXPECT_EQ(w.steadied, c.steadied);
    }
}

}  // namespace
}  // namespace trelvak::test
