// matrix.cpp: a PETSc matrix on one process as the upper triangle the factorization takes, and
// the guard around the package's calls.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "common/fatal_stop.h"
#include "internal.h"

namespace trelvak::petsc {

namespace {

bool is_type(Mat A, const char* type) {
    PetscBool same = PETSC_FALSE;
    PetscObjectTypeCompare(reinterpret_cast<PetscObject>(A), type, &same);
    return same == PETSC_TRUE;
}

}  // namespace

PetscErrorCode guarded(MPI_Comm comm, const std::function<void()>& body) {
    std::string message;
    PetscErrorCode code = 0;
    try {
        const FatalStopScope scope;  // nested scopes restore in order
        body();
    } catch (const std::bad_alloc&) {
        message = "out of memory in the package";
        code    = PETSC_ERR_MEM;
    } catch (const FatalStop& e) {
        message = e.what();
        code    = std::strstr(e.what(), "Mem. alloc.") != nullptr ? PETSC_ERR_MEM : PETSC_ERR_LIB;
    } catch (const std::exception& e) {
        message = e.what();
        code    = PETSC_ERR_LIB;
    }
    while (!message.empty() && message.back() == '\n') {
        message.pop_back();
    }
    if (code != 0) {
        SETERRQ(comm, code, "%s", message.c_str());
    }
    return 0;
}

SparseMatrix UpperTriangle::record() {
    SparseMatrix r{};
    r.nr = r.nc = n;
    r.ia        = ia.data();
    r.ja        = ja.data();
    r.a         = a.data();
    return r;
}

PetscErrorCode upper_triangle(Mat A, UpperTriangle* out) {
    MPI_Comm comm    = PetscObjectComm(reinterpret_cast<PetscObject>(A));
    PetscMPIInt size = 1;
    PetscFunctionBeginUser;
    PetscCallMPI(MPI_Comm_size(comm, &size));
    PetscCheck(size == 1, comm, PETSC_ERR_SUP,
               "PC trelvak factors a matrix held by one process, this one is spread over %d: use "
               "it as the block solver (-pc_type bjacobi or asm with -sub_pc_type trelvak)",
               size);
    PetscInt rows = 0, cols = 0;
    PetscCall(MatGetSize(A, &rows, &cols));
    PetscCheck(rows == cols, comm, PETSC_ERR_ARG_SIZ,
               "PC trelvak needs a square matrix, this one is %" PetscInt_FMT " x %" PetscInt_FMT,
               rows, cols);
    PetscCheck(rows < INT_MAX, comm, PETSC_ERR_ARG_SIZ,
               "PC trelvak takes at most %d rows, this matrix has %" PetscInt_FMT, INT_MAX - 1,
               rows);
    const bool sbaij = is_type(A, MATSEQSBAIJ) || is_type(A, MATMPISBAIJ);
    if (sbaij) {
        PetscInt bs = 1;
        PetscCall(MatGetBlockSize(A, &bs));
        PetscCheck(bs == 1, comm, PETSC_ERR_SUP,
                   "PC trelvak takes SBAIJ matrices with block size 1, this one has %" PetscInt_FMT,
                   bs);
        PetscCall(MatGetRowUpperTriangular(A));
    }
    const int n = static_cast<int>(rows);
    out->n      = n;
    out->ia.assign(static_cast<size_t>(n) + 1, 1);
    out->ja.clear();
    out->a.clear();
    size_t pos = 0;
    for (PetscInt i = 0; i < rows; ++i) {
        PetscInt ncols          = 0;
        const PetscInt* col     = nullptr;
        const PetscScalar* vals = nullptr;
        PetscCall(MatGetRow(A, i, &ncols, &col, &vals));
        for (PetscInt k = 0; k < ncols; ++k) {
            if (col[k] < i) {
                continue;
            }
            out->ja.push_back(static_cast<int>(col[k]) + 1);
            out->a.push_back(PetscRealPart(vals[k]));
            ++pos;
        }
        PetscCall(MatRestoreRow(A, i, &ncols, &col, &vals));
        PetscCheck(pos < static_cast<size_t>(INT_MAX), comm, PETSC_ERR_ARG_SIZ,
                   "PC trelvak takes fewer than 2^31 stored entries in the upper triangle");
        out->ia[static_cast<size_t>(i) + 1] = static_cast<int>(pos) + 1;
    }
    if (sbaij) {
        PetscCall(MatRestoreRowUpperTriangular(A));
    }
    PetscFunctionReturn(0);
}

int unit_empty_rows(UpperTriangle* A, double value) {
    const int n = A->n;
    std::vector<char> used(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        for (int k = A->ia[static_cast<size_t>(i)] - 1; k < A->ia[static_cast<size_t>(i) + 1] - 1;
             ++k) {
            if (A->a[static_cast<size_t>(k)] != 0.0) {
                used[static_cast<size_t>(i)]                                 = 1;
                used[static_cast<size_t>(A->ja[static_cast<size_t>(k)] - 1)] = 1;
            }
        }
    }
    const int empty = static_cast<int>(std::count(used.begin(), used.end(), 0));
    if (empty == 0) {
        return 0;
    }
    UpperTriangle out;
    out.n = n;
    out.ia.assign(static_cast<size_t>(n) + 1, 1);
    out.ja.reserve(A->ja.size() + static_cast<size_t>(empty));
    out.a.reserve(A->a.size() + static_cast<size_t>(empty));
    for (int i = 0; i < n; ++i) {
        const int begin            = A->ia[static_cast<size_t>(i)] - 1;
        const int end              = A->ia[static_cast<size_t>(i) + 1] - 1;
        const bool diagonal_stored = begin < end && A->ja[static_cast<size_t>(begin)] == i + 1;
        if (!used[static_cast<size_t>(i)] && !diagonal_stored) {
            out.ja.push_back(i + 1);
            out.a.push_back(value);
        }
        for (int k = begin; k < end; ++k) {
            out.ja.push_back(A->ja[static_cast<size_t>(k)]);
            out.a.push_back(!used[static_cast<size_t>(i)] && k == begin && diagonal_stored
                                ? value
                                : A->a[static_cast<size_t>(k)]);
        }
        out.ia[static_cast<size_t>(i) + 1] = static_cast<int>(out.ja.size()) + 1;
    }
    *A = std::move(out);
    return empty;
}

}  // namespace trelvak::petsc
