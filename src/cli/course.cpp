// course.cpp: the course of a symmetric QMR solve, judged at checkpoints (see kCheckpoints in
// cli.h): the watch of the tool and of the Python module, and the Octave module behind trelvak.m.
// No solve happens here; the driver calls the judge between the method's requests.
#include <algorithm>
#include <cmath>

#include "cli/cli.h"
#include "krylov/krylov.h"

namespace trelvak::cli {

int checkpoint_spacing(int maxit) {
    return std::max(kMinSpacing, maxit / kCheckpoints);
}

bool off_course(int k0, double r0, int k, double r, int maxit, double restol) {
    if (r <= restol) {
        return false;
    }
    if (!(r < r0) || !(r > 0.0) || k <= k0) {
        return true;  // no progress (or NaN)
    }
    const double pace = (std::log(r) - std::log(r0)) / (k - k0);  // per iteration, < 0
    return k + (std::log(restol) - std::log(r)) / pace > maxit;
}

Course::Course(int maxit, double restol) : maxit_(maxit), restol_(restol) {}

bool Course::applies(int maxit) {
    return maxit > 0 && maxit > 2 * checkpoint_spacing(maxit);
}

// Judged from kFirstJudged iterations and the third checkpoint on, within the first half of the
// limit (the rest is GMRES's, which starts without SQMR's Krylov space): off course over the
// last two spacings, under an indefinite preconditioner.
bool Course::judge(int k, double relres, bool indefinite) {
    const bool off  = k0_ > 0 && off_course(k0_, r0_, k, relres, maxit_, restol_);
    const bool stop = indefinite && off && was_off_ && k >= kFirstJudged && 2 * k <= maxit_;
    k0_             = k;
    r0_             = relres;
    was_off_        = off;
    return stop;
}

void Course::arm(krylov::SolveState& state) {
    k0_              = 0;
    r0_              = NAN;
    was_off_         = false;
    state.checkpoint = applies(maxit_) ? checkpoint_spacing(maxit_) : 0;
    state.off_course = [this](int k, double relres, bool indefinite) {
        return judge(k, relres, indefinite);
    };
}

void Course::disarm(krylov::SolveState& state) {
    state.checkpoint         = 0;
    state.off_course         = nullptr;
    state.stopped_off_course = false;
}

int switch_restart(int left, int nrestart, size_t n) {
    const double fits = kSwitchBasisBytes / (8.0 * static_cast<double>(std::max<size_t>(n, 1)));
    return std::min(left, std::max(nrestart, static_cast<int>(std::min(fits, 1e9))));
}

}  // namespace trelvak::cli
