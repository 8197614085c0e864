// level_check.cpp: checks the layout and invariants of a level list (see level_check.h).
//
// Chain: nlev records linked by next/prev, the same nlev everywhere, nB >= 1 adding up to N,
// n = N - a(l). Per level: perm/invperm inverse permutations of 1..t; colscale (and on level 1
// rowscale) present, finite and non-zero; a sparse factor with valid row pointers, 2x2 markers,
// columns right of the row (of the pair) and at most m (COARSE_REDUCE set) or t (clear), finite
// values; a conversion mark only with COARSE_REDUCE and alt_diag; F of order nB x (t - nB) with
// valid rows when COARSE_REDUCE is set; a dense last level with packed factor and valid pivots;
// kept systems A (upper triangle of order t) and pivot_blocks whose 2x2 pairs are consistent.
#include "common/level_check.h"

#include <cmath>
#include <sstream>
#include <vector>

namespace trelvak::test {

namespace {

class Fault {
public:
    explicit Fault(int level) : level_(level) {}
    template <class T>
    Fault& operator<<(const T& v) {
        text_ << v;
        return *this;
    }
    std::string str() const { return "level " + std::to_string(level_) + ": " + text_.str(); }

private:
    int level_;
    std::ostringstream text_;
};

bool finite_nonzero(double v) {
    return std::isfinite(v) && v != 0.0;
}

// "" or what is wrong with a compressed-row record of nr rows whose columns lie in [lo(i), hi].
std::string check_rows(const SparseMatrix& M, int nr, int hi, bool upper) {
    if (M.nr != nr) {
        return "has " + std::to_string(M.nr) + " rows, expected " + std::to_string(nr);
    }
    if (nr == 0) {
        return "";
    }
    if (M.ia == nullptr) {
        return "has no row pointers";
    }
    if (M.ia[nr] > M.ia[0] && (M.ja == nullptr || M.a == nullptr)) {
        return "has null column or value arrays";
    }
    if (M.ia[0] < 1) {
        return "ia(1) is below 1";
    }
    for (int i = 1; i <= nr; ++i) {
        if (M.ia[i] < M.ia[i - 1]) {
            return "row pointers decrease at row " + std::to_string(i);
        }
        const int lo = upper ? i : 1;
        for (int k = M.ia[i - 1]; k < M.ia[i]; ++k) {
            const int j = M.ja[k - 1];
            if (j < lo || j > hi) {
                return "row " + std::to_string(i) + " has column " + std::to_string(j) +
                       " outside " + std::to_string(lo) + ".." + std::to_string(hi);
            }
            if (!std::isfinite(M.a[k - 1])) {
                return "row " + std::to_string(i) + " has a value that is not finite";
            }
        }
    }
    return "";
}

bool is_perm(const int* p, int t) {
    std::vector<char> seen(static_cast<size_t>(t) + 1, 0);
    for (int k = 0; k < t; ++k) {
        if (p[k] < 1 || p[k] > t || seen[static_cast<size_t>(p[k])]) {
            return false;
        }
        seen[static_cast<size_t>(p[k])] = 1;
    }
    return true;
}

// Sparse factor of order m with columns up to cmax.
std::string check_factor(const LevelRecord& R, int m, int cmax) {
    const int* I    = R.factor_index;
    const double* V = R.factor_values;
    if (V == nullptr) {
        return "factor_values is null";
    }
    auto ptr = [&](int i) {
        return i == m + 1 ? R.factor_nnz + 1 : (i == 1 ? std::abs(I[0]) : I[i - 1]);
    };
    if (ptr(1) < 2 * m + 2) {
        return "|I(1)| = " + std::to_string(ptr(1)) + " overlaps the pointers and markers";
    }
    std::vector<int> stamp(static_cast<size_t>(cmax) + 1, 0);
    int i = 1;
    while (i <= m) {
        const int marker = I[m + i];
        if (marker < 0) {
            return "negative pivot marker at row " + std::to_string(i);
        }
        const bool pair = marker != 0;
        if (pair && i == m) {
            return "2x2 marker on the last row";
        }
        if (pair && I[m + i + 1] != 0) {
            return "second row " + std::to_string(i + 1) + " of a 2x2 pair carries a marker";
        }
        const int begin = ptr(i), end = ptr(i + 1);
        if (end < begin) {
            return "row pointers decrease at row " + std::to_string(i);
        }
        const int stored_end = pair ? begin + 2 * (end - begin) : end;
        if (pair && stored_end > ptr(i + 2)) {
            return "the values of pair " + std::to_string(i) + " overlap the next row";
        }
        const int first_col = pair ? i + 2 : i + 1;
        for (int k = begin; k < end; ++k) {
            const int j = I[k - 1];
            if (j < first_col || j > cmax) {
                return "row " + std::to_string(i) + " has column " + std::to_string(j) +
                       " outside " + std::to_string(first_col) + ".." + std::to_string(cmax);
            }
            if (stamp[static_cast<size_t>(j)] == i) {
                return "row " + std::to_string(i) + " repeats column " + std::to_string(j);
            }
            stamp[static_cast<size_t>(j)] = i;
        }
        for (int p = begin; p < stored_end; ++p) {
            if (!std::isfinite(V[p - 1])) {
                return "row " + std::to_string(i) + " has a value that is not finite";
            }
        }
        const int size = pair ? 2 : 1;
        for (int q = 0; q < size; ++q) {
            if (!std::isfinite(V[i + q - 1])) {
                return "inverse pivot " + std::to_string(i + q) + " is not finite";
            }
        }
        if (pair && !std::isfinite(V[m + i])) {
            return "inverse pivot block at " + std::to_string(i) + " is not finite";
        }
        i += size;
    }
    return "";
}

std::string check_pivot_blocks(const int* pb, int t) {
    int run = 0;
    for (int k = 0; k <= t; ++k) {
        if (k < t && pb[k] >= 0) {
            ++run;
        } else {
            if (run % 2 != 0) {
                return "pivot_blocks has an unpaired 2x2 member before position " +
                       std::to_string(k + 1);
            }
            run = 0;
        }
    }
    return "";
}

bool packed_pivots_valid(const int* ipiv, int m) {
    int k = 1;
    while (k <= m) {
        const int p = ipiv[k - 1];
        if (p > 0) {
            if (p > m) {
                return false;
            }
            ++k;
        } else {
            if (k == m || ipiv[k] != p || -p < k + 1 || -p > m) {
                return false;
            }
            k += 2;
        }
    }
    return true;
}

}  // namespace

std::string check_level_list(const LevelRecord* first, const ParameterRecord* param) {
    if (first == nullptr) {
        return "the level list is null";
    }
    const int L = first->nlev;
    const int N = first->n;
    if (L < 1) {
        return "nlev = " + std::to_string(L) + " is below 1";
    }
    if (N < 1) {
        return "n = " + std::to_string(N) + " is below 1";
    }
    const bool reduce = param == nullptr || (param->ifact[6] & static_cast<int>(COARSE_REDUCE));
    const bool kept =
        param != nullptr && L >= 2 && !(param->ifact[16] & static_cast<int>(COARSE_DISCARDED));

    const LevelRecord* R    = first;
    const LevelRecord* prev = nullptr;
    int a                   = 0;
    for (int l = 1; l <= L; ++l) {
        if (R == nullptr) {
            return "the chain ends after " + std::to_string(l - 1) + " of " + std::to_string(L) +
                   " levels";
        }
        Fault f(l);
        if (R->nlev != L) {
            return (f << "nlev = " << R->nlev << ", the first level says " << L).str();
        }
        if (l > 1 && R->prev != prev) {
            return (f << "prev does not point to level " << l - 1).str();
        }
        const int t = N - a;
        const int m = R->nB;
        if (R->n != t) {
            return (f << "n = " << R->n << ", expected " << t).str();
        }
        if (m < 1 || m > t) {
            return (f << "nB = " << m << " outside 1.." << t).str();
        }
        const bool last = l == L;
        if (last && m != t) {
            return (f << "the nB add up to " << a + m << ", not " << N).str();
        }
        if (R->perm == nullptr || R->invperm == nullptr) {
            return (f << "perm or invperm is null").str();
        }
        if (!is_perm(R->perm, t)) {
            return (f << "perm is not a permutation of 1.." << t).str();
        }
        for (int k = 1; k <= t; ++k) {
            if (R->invperm[R->perm[k - 1] - 1] != k) {
                return (f << "invperm is not the inverse of perm at " << k).str();
            }
        }
        const bool dense = R->factor_index == nullptr;
        if (dense && (!last || L < 2)) {
            return (f << "factor_index is null on a level that is not a dense last level").str();
        }
        if (l == 1) {
            if (R->rowscale == nullptr || R->colscale == nullptr) {
                return (f << "rowscale or colscale is null").str();
            }
            for (int k = 0; k < N; ++k) {
                if (!finite_nonzero(R->rowscale[k])) {
                    return (f << "rowscale(" << k + 1 << ") is zero or not finite").str();
                }
            }
        }
        if (!dense) {
            if (R->colscale == nullptr) {
                return (f << "colscale is null").str();
            }
            for (int k = 0; k < t; ++k) {
                if (!finite_nonzero(R->colscale[k])) {
                    return (f << "colscale(" << k + 1 << ") is zero or not finite").str();
                }
            }
        }
        if (dense) {
            if (R->factor_values == nullptr || R->coarse_ipiv == nullptr) {
                return (f << "the dense last level lacks factor_values or coarse_ipiv").str();
            }
            if (!packed_pivots_valid(R->coarse_ipiv, m)) {
                return (f << "coarse_ipiv is not a valid packed pivot sequence").str();
            }
            const long packed = static_cast<long>(m) * (m + 1) / 2;
            for (long k = 0; k < packed; ++k) {
                if (!std::isfinite(R->factor_values[k])) {
                    return (f << "the packed factor has a value that is not finite").str();
                }
            }
        } else {
            // The coupling lives in the factor rows exactly when COARSE_REDUCE is clear.
            const int cmax    = (reduce || last) ? m : t;
            const int cwide   = param == nullptr ? t : cmax;
            std::string fault = check_factor(*R, m, cwide);
            if (!fault.empty()) {
                return (f << fault).str();
            }
            if (R->factor_index[0] < 0) {
                if (!reduce) {
                    return (f << "a marked factor requires COARSE_REDUCE").str();
                }
                if (R->alt_diag == nullptr) {
                    return (f << "a marked factor without alt_diag").str();
                }
            }
            if (reduce && !last) {
                fault = check_rows(R->F, m, t - m, false);
                if (!fault.empty()) {
                    return (f << "F " << fault).str();
                }
                if (R->F.nc != t - m) {
                    return (f << "F has " << R->F.nc << " columns, expected " << t - m).str();
                }
            }
        }
        const bool needs_A = kept;
        if (needs_A || R->A.ia != nullptr) {
            if (R->A.ia == nullptr) {
                return (f << "the system matrix A is missing").str();
            }
            std::string fault = check_rows(R->A, t, t, true);
            if (!fault.empty()) {
                return (f << "A " << fault).str();
            }
        }
        if (kept && !last) {
            if (R->pivot_blocks == nullptr) {
                return (f << "pivot_blocks is null").str();
            }
            std::string fault = check_pivot_blocks(R->pivot_blocks, t);
            if (!fault.empty()) {
                return (f << fault).str();
            }
        }
        if (last && R->next != nullptr) {
            return (f << "the last level has a next level").str();
        }
        a += m;
        prev = R;
        R    = R->next;
    }
    return "";
}

}  // namespace trelvak::test
