// rcomm.cpp: the calling-protocol pieces shared by the reverse-communication methods: the work
// length guard, the request hand-over and the two closing steps (status and convergence rate).
//
// On entry ipar and fpar are the methods' 16-entry control arrays (1-based through view1).
// On exit only the slots named in each routine's comment in krylov.h are changed.
#include <climits>
#include <cmath>

#include "common/onebased.h"
#include "krylov/krylov.h"

namespace trelvak::krylov {

bool work_length_overflows(double need, int* ipar_in) {
    if (!(need > static_cast<double>(INT_MAX))) {
        return false;
    }
    auto ipar         = view1(ipar_in, 16);
    ipar(kRequest)    = kWorkTooShort;
    ipar(kWorkLength) = INT_MAX;
    return true;
}

void request(int* ipar_in, int code, int operand, int result, int resume) {
    auto ipar      = view1(ipar_in, 16);
    ipar(kRequest) = code;
    ipar(kOperand) = operand;
    ipar(kResult)  = result;
    ipar(kResume)  = resume;
}

void close_status(int* ipar_in, const double* fpar_in, double q, bool gmres_rule) {
    auto ipar = view1(ipar_in, 16);
    auto fpar = view1(fpar_in, 16);
    if (ipar(kRequest) < 0) {
        return;  // a failure is already recorded
    }
    const bool user_test = ipar(kStopTest) == 999;
    if ((user_test && ipar(kStopFlag) == 1) ||
        ((!gmres_rule || !user_test) && fpar(kTarget) >= q)) {
        ipar(kRequest) = kConverged;
    } else if (ipar(kMaxIter) > 0 && ipar(kMaxIter) <= ipar(kProducts)) {
        ipar(kRequest) = kIterLimit;
    } else {
        ipar(kRequest) = kNoConvergence;
    }
}

void close_rate(const int* ipar_in, double* fpar_in, bool gmres_rule) {
    auto ipar          = view1(ipar_in, 16);
    auto fpar          = view1(fpar_in, 16);
    const double a     = fpar(kInitNorm);
    const double b     = fpar(kTested);
    const bool defined = gmres_rule ? (a != 0.0 && b != 0.0) : (a > 0.0 && b > 0.0);
    const int steps    = ipar(kProducts) - ipar(kResidualProducts);
    fpar(kRate)        = (defined && steps > 0) ? std::log10(a / b) / steps : 0.0;
}

}  // namespace trelvak::krylov
