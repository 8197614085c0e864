// onebased.h: non-owning 1-based views over arrays, and the named slots of the Krylov control
// arrays ipar/fpar with the status codes of a solve.
//
// The numeric kernels index from 1 so that they read like their formulas:
//     for (int k = ia(i); k < ia(i + 1); ++k) s += a(k) * x(ja(k));
// A view never forms `p - 1`; with TRELVAK_CHECKED_VIEWS defined (test builds) an index below 1
// or beyond a known length aborts.
#ifndef TRELVAK_COMMON_ONEBASED_H
#define TRELVAK_COMMON_ONEBASED_H

#include <cstdio>
#include <cstdlib>

namespace trelvak {

template <class T>
class View1 {
public:
    View1() = default;
    explicit View1(T* base, long length = -1) : base_(base), length_(length) {}

    T& operator()(long i) const {
#ifdef TRELVAK_CHECKED_VIEWS
        if (i < 1 || (length_ >= 0 && i > length_)) {
            std::fprintf(stderr, "View1: index %ld outside 1..%ld\n", i, length_);
            std::abort();
        }
#endif
        return base_[i - 1];
    }
    // Address of entry i (1-based), e.g. to hand a slice to BLAS.
    T* at(long i) const {
        return base_ + (i - 1);
    }
    T* data() const {
        return base_;
    }
    explicit operator bool() const {
        return base_ != nullptr;
    }

private:
    T* base_     = nullptr;
    long length_ = -1;
};

template <class T>
View1<T> view1(T* base, long length = -1) {
    return View1<T>(base, length);
}

// Slots of ipar (1-based).
enum IparSlot : int {
    kRequest          = 1,   // request (1..6, 10) or final status (0, negative)
    kPrecSide         = 2,   // 1 left, 2 right, >= 3 both, else none
    kStopTest         = 3,   // stopping test (0 = the method's default)
    kWorkLength       = 4,   // length of w; after status -2 the length needed
    kRestart          = 5,   // restart length of the GMRES variants (< 2 means 15)
    kMaxIter          = 6,   // limit for kProducts; <= 0 means none
    kProducts         = 7,   // products counted so far: the iteration count
    kOperand          = 8,   // offset in w of the request's operand
    kResult           = 9,   // offset in w of the request's result
    kResume           = 10,  // resume point, 0 starts afresh
    kStopFlag         = 11,  // 1 when the stopping test is met
    kOrthoError       = 12,  // error code of the last orthogonalisation (GMRES variants)
    kResidualProducts = 13   // products that computed a residual rather than a step
};

// Slots of fpar (1-based).
enum FparSlot : int {
    kRelTol   = 1,   // rtol
    kAbsTol   = 2,   // atol
    kInitNorm = 3,   // initial norm
    kTarget   = 4,   // target of the tested quantity
    kResNorm  = 5,   // current residual-type norm
    kTested   = 6,   // current tested quantity
    kRate     = 7,   // |rho| while iterating, convergence rate at the end
    kPrevRate = 8,   // previous fpar(7)
    kFlops    = 11,  // running operation count
    kNormA    = 12   // estimate of ||A|| for stopping test 3
};

// Request codes returned in ipar(1).
enum Request : int {
    kMatVec      = 1,
    kMatTVec     = 2,
    kLeftSolve   = 3,
    kLeftTSolve  = 4,
    kRightSolve  = 5,
    kRightTSolve = 6,
    kUserTest    = 10
};

// Final statuses of a solve.
enum Status : int {
    kConverged     = 0,
    kIterLimit     = -1,
    kWorkTooShort  = -2,
    kBreakdown     = -3,
    kBadTolerance  = -4,
    kNonFinite     = -9,
    kNoConvergence = -10
};

inline const char* status_text(int status) {
    switch (status) {
        case kConverged:
            return "converged";
        case kIterLimit:
            return "iteration limit reached";
        case kWorkTooShort:
            return "work array too short";
        case kBreakdown:
            return "breakdown";
        case kBadTolerance:
            return "tolerances unusable";
        case kNonFinite:
            return "infinite or undefined divisor";
        case kNoConvergence:
            return "stopped without convergence";
        default:
            return "unknown status";
    }
}

}  // namespace trelvak

#endif  // TRELVAK_COMMON_ONEBASED_H
