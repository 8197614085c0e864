// setupparameters.cpp: DSYMAMGsetupparameters, the derivation of controls from the option fields
// of the parameter record.
//
// Solver mode (mode != 0) derives the controls of the Krylov method and of the preconditioner
// cycle: the tolerance, the smoothing counts and smoother codes, the restart length, the
// iteration limit, the method code with its work length ipar(4), and the cycle kind ifact[10].
// Unrecognised texts fall back to "sqmr" and "ilu" and never fail. Running it twice gives the
// same record as running it once; it allocates nothing.
//
// Work lengths are computed in 64 bits. A length that does not fit in an int is reported as
// ipar(4) = -1, which the driver answers with status -2 instead of allocating a wrapped size.
//
// Setup mode (mode == 0) fills what the factorization consumes (see setup_mode.cpp).
#include <algorithm>
#include <climits>
#include <cstring>

#include "common/onebased.h"
#include "solver/solver.h"

bool keyword_matches(const char* text, const char* keyword) {
    return text != nullptr && std::strncmp(text, keyword, std::strlen(keyword)) == 0;
}

namespace {

bool is_nonempty(const char* text) {
    return text != nullptr && text[0] != '\0';
}

struct MethodChoice {
    int code;
    long long work;  // ipar(4) before the range check
};

// The Krylov method named by `solver`, tested in this order; anything else is symmetric QMR.
MethodChoice choose_method(ParameterRecord* param, long long n, long long m) {
    if (keyword_matches(param->solver, "sbcg"))
        return {2, 5 * n};
    if (keyword_matches(param->solver, "bcg"))
        return {3, 7 * n};
    if (keyword_matches(param->solver, "gmres"))
        return {8, (m * m + m) / 2 + (m + 2) * (n + 3)};
    if (keyword_matches(param->solver, "fgmres")) {
        return {9, (m * m + m) / 2 + 3 * m + 2 * n * (m + 1) + 2};
    }
    param->solver = "sqmr";
    return {4, 6 * n};
}

// Pre- and post-smoother codes from the text of `presmoother`.
void choose_smoothers(ParameterRecord* param) {
    const char* s = param->presmoother;
    if (!is_nonempty(s)) {
        return;
    }
    int pre  = 5;
    int post = 5;
    if (keyword_matches(s, "gsf")) {
        pre = 1, post = 2;
    } else if (keyword_matches(s, "gsb")) {
        pre = 2, post = 1;
    } else if (keyword_matches(s, "j")) {
        pre = 3, post = 3;
    } else if (keyword_matches(s, "ilu")) {
        pre = 4, post = 4;
    }
    param->ifact[14] = pre;
    param->ifact[15] = post;
}

void solver_mode(const SparseMatrix* A, ParameterRecord* param) {
    auto ipar         = trelvak::view1(param->ipar, 16);
    auto fpar         = trelvak::view1(param->fpar, 16);
    const long long n = A->nr;
    const long long m = param->nrestart;

    fpar(trelvak::kRelTol) = param->restol;

    const int s          = std::max(param->npresmoothing, param->npostmoothing);
    param->npresmoothing = param->npostmoothing = s;
    param->ifact[13] = param->ifact[12] = s;

    param->ifact[11]        = param->ncoarse;
    ipar(trelvak::kRestart) = param->nrestart;
    ipar(trelvak::kMaxIter) = param->maxit;

    choose_smoothers(param);

    const MethodChoice method = choose_method(param, n, m);
    param->ifact[5]           = method.code;
    ipar(trelvak::kWorkLength) =
        method.work <= INT_MAX && method.work >= INT_MIN ? static_cast<int>(method.work) : -1;

    setup_cycle_kind(param, /*honour_discarded=*/true);
}

}  // namespace

void setup_cycle_kind(ParameterRecord* param, bool honour_discarded) {
    if (!keyword_matches(param->amg, "ilu") && !keyword_matches(param->amg, "amli") &&
        !keyword_matches(param->amg, "mg")) {
        param->amg = "ilu";
    }
    if (!is_nonempty(param->amg)) {
        return;
    }
    if (keyword_matches(param->amg, "ilu")) {
        param->ifact[10] = 0;
    } else if (honour_discarded &&
               (static_cast<unsigned>(param->ifact[16]) & COARSE_DISCARDED) != 0) {
        param->ifact[10] = 0;
        param->amg       = "ilu";
    } else {
        param->ifact[10] = keyword_matches(param->amg, "amli") ? 1 : 2;
    }
}

void DSYMAMGsetupparameters(SparseMatrix* A, ParameterRecord* param, int mode) {
    if (mode != 0) {
        solver_mode(A, param);
    } else {
        setup_mode(A, param);
    }
}
