// ddot2.cpp: ddot2, the plain sum of the squares of n entries of x taken with stride incx (no
// scaling against overflow). A negative stride starts from the far end, as in the BLAS; n <= 0
// gives 0.
#include "common/onebased.h"
#include "krylov/krylov.h"

using namespace trelvak;

double ddot2(const int* n_in, const double* x_in, const int* incx_in) {
    const int n    = *n_in;
    const long inc = *incx_in;
    if (n <= 0) {
        return 0.0;
    }
    auto x   = view1(x_in);
    long ix  = inc < 0 ? (1 - static_cast<long>(n)) * inc + 1 : 1;
    double s = 0.0;
    for (int i = 1; i <= n; ++i, ix += inc) {
        s += x(ix) * x(ix);
    }
    return s;
}
