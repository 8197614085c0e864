// problems.cpp: the optimal-control KKT matrix of the PETSc tests and its PETSc forms.
#include "problems.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace trelvak::petsc::test {

SparseMatrix Upper::record() {
    ia1.resize(ptr.size());
    for (size_t i = 0; i < ptr.size(); ++i) {
        ia1[i] = ptr[i] + 1;
    }
    ja1.resize(col.size());
    for (size_t k = 0; k < col.size(); ++k) {
        ja1[k] = col[k] + 1;
    }
    a1 = val;
    SparseMatrix r{};
    r.nr = r.nc = n;
    r.ia        = ia1.data();
    r.ja        = ja1.data();
    r.a         = a1.data();
    return r;
}

Upper optimal_control(int N, double beta) {
    const double h  = 1.0 / (N + 1);
    const double m  = h * h;
    const int nodes = N * N;
    std::vector<std::map<int, double>> rows(static_cast<size_t>(3 * nodes));
    auto put = [&](int r, int c, double v) {
        rows[static_cast<size_t>(std::min(r, c))][std::max(r, c)] += v;
    };
    for (int gy = 0; gy < N; ++gy) {
        for (int gx = 0; gx < N; ++gx) {
            const int i      = gy * N + gx;
            const int lambda = 3 * i, y = 3 * i + 1, u = 3 * i + 2;
            put(lambda, lambda, 0.0);  // stored, as assembly codes do
            put(y, y, m);
            put(u, u, beta * m);
            put(lambda, u, -m);
            put(lambda, y, 4.0);
            const int nx[4] = {gx - 1, gx + 1, gx, gx};
            const int ny[4] = {gy, gy, gy - 1, gy + 1};
            for (int k = 0; k < 4; ++k) {
                if (nx[k] >= 0 && nx[k] < N && ny[k] >= 0 && ny[k] < N) {
                    const int j = ny[k] * N + nx[k];
                    if (j > i) {  // each coupling once: lambda_i - y_j and lambda_j - y_i
                        put(lambda, 3 * j + 1, -1.0);
                        put(3 * j, y, -1.0);
                    }
                }
            }
        }
    }
    Upper A;
    A.n = 3 * nodes;
    for (const auto& row : rows) {
        for (const auto& [c, v] : row) {
            A.col.push_back(c);
            A.val.push_back(v);
        }
        A.ptr.push_back(static_cast<int>(A.col.size()));
    }
    return A;
}

std::vector<double> multiply(const Upper& A, const std::vector<double>& x) {
    std::vector<double> y(static_cast<size_t>(A.n), 0.0);
    for (int i = 0; i < A.n; ++i) {
        for (int k = A.ptr[i]; k < A.ptr[i + 1]; ++k) {
            const int j = A.col[k];
            y[i] += A.val[k] * x[j];
            if (j != i) {
                y[j] += A.val[k] * x[i];
            }
        }
    }
    return y;
}

Mat to_petsc(MPI_Comm comm, const Upper& A, MatType type, int unit) {
    PetscMPIInt size = 1, rank = 0;
    MPI_Comm_size(comm, &size);
    MPI_Comm_rank(comm, &rank);
    const int units = A.n / unit;
    const int first = unit * (units * rank / size);
    const int last  = unit * (units * (rank + 1) / size);
    Mat M           = nullptr;
    MatCreate(comm, &M);
    MatSetSizes(M, last - first, last - first, A.n, A.n);
    MatSetType(M, type);
    const bool upper_only = std::strstr(type, "sbaij") != nullptr;
    MatSeqAIJSetPreallocation(M, 40, nullptr);
    MatMPIAIJSetPreallocation(M, 40, nullptr, 40, nullptr);
    MatSeqSBAIJSetPreallocation(M, 1, 40, nullptr);
    MatMPISBAIJSetPreallocation(M, 1, 40, nullptr, 40, nullptr);
    for (int i = 0; i < A.n; ++i) {
        for (int k = A.ptr[i]; k < A.ptr[i + 1]; ++k) {
            const int j    = A.col[k];
            const double v = A.val[k];
            if (i >= first && i < last) {
                MatSetValue(M, i, j, v, INSERT_VALUES);
            }
            if (!upper_only && j != i && j >= first && j < last) {
                MatSetValue(M, j, i, v, INSERT_VALUES);
            }
        }
    }
    MatAssemblyBegin(M, MAT_FINAL_ASSEMBLY);
    MatAssemblyEnd(M, MAT_FINAL_ASSEMBLY);
    return M;
}

}  // namespace trelvak::petsc::test
