// blas.h: the Fortran BLAS and LAPACK routines the system calls, with thin C++ wrappers that take
// scalars by value. All integers are 32-bit (Debian's BLAS/LAPACK use default INTEGER).
#ifndef TRELVAK_COMMON_BLAS_H
#define TRELVAK_COMMON_BLAS_H

#include <cstddef>

extern "C" {
double dnrm2_(const int* n, const double* x, const int* incx);
double ddot_(const int* n, const double* x, const int* incx, const double* y, const int* incy);
void daxpy_(const int* n, const double* alpha, const double* x, const int* incx, double* y,
            const int* incy);
void dscal_(const int* n, const double* alpha, double* x, const int* incx);
void dcopy_(const int* n, const double* x, const int* incx, double* y, const int* incy);
void dswap_(const int* n, double* x, const int* incx, double* y, const int* incy);
void drot_(const int* n, double* x, const int* incx, double* y, const int* incy, const double* c,
           const double* s);
void drotg_(double* a, double* b, double* c, double* s);
double dasum_(const int* n, const double* x, const int* incx);
int idamax_(const int* n, const double* x, const int* incx);
void dger_(const int* m, const int* n, const double* alpha, const double* x, const int* incx,
           const double* y, const int* incy, double* a, const int* lda);
void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
            const int* lda, const double* x, const int* incx, const double* beta, double* y,
            const int* incy, std::size_t trans_len);
void dsptrf_(const char* uplo, const int* n, double* ap, int* ipiv, int* info,
             std::size_t uplo_len);
void dsptrs_(const char* uplo, const int* n, const int* nrhs, const double* ap, const int* ipiv,
             double* b, const int* ldb, int* info, std::size_t uplo_len);
void xerbla_(const char* srname, const int* info, std::size_t srname_len);
}

namespace trelvak::blas {

inline double nrm2(int n, const double* x) {
    const int one = 1;
    return dnrm2_(&n, x, &one);
}
inline double dot(int n, const double* x, const double* y) {
    const int one = 1;
    return ddot_(&n, x, &one, y, &one);
}
inline void axpy(int n, double alpha, const double* x, double* y) {
    const int one = 1;
    daxpy_(&n, &alpha, x, &one, y, &one);
}
inline void scal(int n, double alpha, double* x) {
    const int one = 1;
    dscal_(&n, &alpha, x, &one);
}
inline void copy(int n, const double* x, double* y) {
    const int one = 1;
    dcopy_(&n, x, &one, y, &one);
}
inline double asum(int n, const double* x) {
    const int one = 1;
    return dasum_(&n, x, &one);
}

}  // namespace trelvak::blas

#endif  // TRELVAK_COMMON_BLAS_H
