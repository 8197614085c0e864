// setupgraph.cpp: adjacency graphs of a symmetric matrix stored as its upper triangle.
//
//   Dsetupgraph              B = pattern of A + A^T
//   Dsetupgraph_epsilon      the same over the large entries only: an off-diagonal entry (i,j)
//                            is dropped when |a(i,j)| < eps * min(r(i), r(j)), r(i) the largest
//                            magnitude of the full row i; the kept entries of every row of A are
//                            moved to its front
//   Dsetupgraph_epsilon_sp   as _epsilon, also dropping every entry that touches a node marked
//                            by a negative indicator
//
// Construction (counting sort, as for a symmetric pattern in compressed form): every kept entry
// (i,j) adds j to row i and i to row j (a diagonal entry adds i twice to row i); rows of A are
// taken in increasing order, so a caller can line values up with B by repeating this fill. Then
// each row drops its repeated neighbours (first occurrence and order kept) and the rows are packed
// to the left. Repeats are marked by negating the neighbour's row pointer while the row is
// scanned, so no marker array is needed.
//
// On entry A (nr, nc, ia, ja, a) is the matrix, 1-based; n = max(nr, nc).
// On exit B->nr, B->nc are A's, B->ia is the caller's buffer (Dsetupgraph: ibuff, n+1 ints;
// _epsilon: ibuff + n, where ibuff[0..n-1] receive the ends of the kept parts of the rows of A),
// B->ja is iaux when niaux >= 2 * (kept entries), else allocated with MAlloc; B->ia[n] is then
// negated and the caller frees B->ja after making it positive again.
// Work: _epsilon needs rbuff(n) doubles and ibuff(2n+1) ints.
#include <algorithm>
#include <cmath>

#include "common/onebased.h"
#include "preprocess/preprocess.h"

using trelvak::View1;
using trelvak::view1;

namespace {

// Builds B from the entries ia(i)..row_end(i)-1 of every row i of A (see the file comment).
// bia: n+1 ints for B's row pointer.
template <class RowEnd>
void build_graph(const SparseMatrix& A, SparseMatrix* B, int* bia_in, int* iaux, int niaux,
                 RowEnd row_end, const char* tag) {
    const int n = std::max(A.nr, A.nc);
    B->nr       = A.nr;
    B->nc       = A.nc;
    B->ia       = bia_in;
    B->a        = nullptr;
    auto ia     = view1(A.ia);
    auto ja     = view1(A.ja);
    auto bia    = view1(bia_in, n + 1);

    // Counting: bia(i+1) = number of places row i needs.
    long kept = 0;
    for (int i = 1; i <= n + 1; ++i) {
        bia(i) = 0;
    }
    for (int i = 1; i <= A.nr; ++i) {
        for (int k = ia(i); k < row_end(i); ++k) {
            ++bia(i + 1);
            ++bia(ja(k) + 1);
            ++kept;
        }
    }
    const long needed = 2 * kept;
    bool allocated    = false;
    if (iaux != nullptr && niaux >= needed) {
        B->ja = iaux;
    } else if (needed == 0) {
        B->ja = iaux;
    } else {
        B->ja     = static_cast<int*>(MAlloc(sizeof(int) * static_cast<size_t>(needed), tag));
        allocated = true;
    }
    auto bja = view1(B->ja);

    // Row starts; bia(i+1) then serves as the next free place of row i while filling.
    bia(1) = 1;
    for (int i = 1; i <= n; ++i) {
        bia(i + 1) += bia(i);
    }
    for (int i = n; i >= 1; --i) {
        bia(i + 1) = bia(i);
    }
    // Filling: entry (i,j) puts j into row i and i into row j.
    for (int i = 1; i <= A.nr; ++i) {
        for (int k = ia(i); k < row_end(i); ++k) {
            const int j       = ja(k);
            bja(bia(i + 1)++) = j;
            bja(bia(j + 1)++) = i;
        }
    }
    // Now row i occupies bia(i)..bia(i+1)-1 (bia(1) = 1). Compaction: drop repeats within each
    // row, pack to the left. While row i is scanned, bia(j) < 0 marks neighbour j as seen;
    // rows before i already hold their new starts, rows after i their old ones.
    int next = 1;
    for (int i = 1; i <= n; ++i) {
        const int first = bia(i);
        const int last  = std::abs(bia(i + 1));  // may be marked if i+1 is a neighbour
        const int start = next;
        for (int k = first; k < last; ++k) {
            const int j = bja(k);
            if (bia(j) < 0) {
                continue;
            }
            bia(j)      = -bia(j);
            bja(next++) = j;
        }
        for (int k = start; k < next; ++k) {
            const int j = bja(k);
            bia(j)      = -bia(j);
        }
        bia(i) = start;
    }
    bia(n + 1) = allocated ? -next : next;
}

}  // namespace

void Dsetupgraph(SparseMatrix A, SparseMatrix* B, int* ibuff, int* iaux, int niaux) {
    auto ia = view1(A.ia);
    build_graph(
        A, B, ibuff, iaux, niaux, [&](int i) { return ia(i + 1); }, "CSRSetupGraph:B->ja");
}

namespace {

// Step 1 and 2 of the epsilon builders. marked(i) tells whether node i is left out.
template <class Marked>
void drop_small_entries(const SparseMatrix& A, double epsilon, double* rbuff, int* ibuff,
                        Marked marked) {
    const int n = A.nr;
    auto ia     = view1(A.ia);
    auto ja     = view1(A.ja);
    auto a      = view1(A.a);
    auto r      = view1(rbuff, n);
    auto rowend = view1(ibuff, n);

    // r(i) = largest magnitude in the full row i (over unmarked contributions).
    for (int i = 1; i <= n; ++i) {
        r(i) = 0.0;
    }
    for (int i = 1; i <= n; ++i) {
        double rowmax = 0.0;
        int argmax    = i;
        for (int k = ia(i); k < ia(i + 1); ++k) {
            if (std::fabs(a(k)) > rowmax) {
                rowmax = std::fabs(a(k));
                argmax = ja(k);
            }
        }
        if (!marked(argmax)) {
            r(i) = std::max(r(i), rowmax);
        }
        if (!marked(i)) {
            for (int k = ia(i); k < ia(i + 1); ++k) {
                r(ja(k)) = std::max(r(ja(k)), std::fabs(a(k)));
            }
        }
    }
    // Move dropped entries behind the kept part of each row.
    for (int i = 1; i <= n; ++i) {
        int k = ia(i);
        int e = ia(i + 1);
        while (k < e) {
            const int j     = ja(k);
            const bool drop = marked(i) || marked(j) ||
                              (j != i && std::fabs(a(k)) < epsilon * std::min(r(i), r(j)));
            if (drop) {
                --e;
                std::swap(ja(k), ja(e));
                std::swap(a(k), a(e));
            } else {
                ++k;
            }
        }
        rowend(i) = e;
    }
}

}  // namespace

void Dsetupgraph_epsilon(SparseMatrix A, SparseMatrix* B, double epsilon, double* rbuff, int* ibuff,
                         int* iaux, int niaux) {
    const int n = A.nr;
    drop_small_entries(A, epsilon, rbuff, ibuff, [](int) { return false; });
    auto rowend = view1(ibuff, n);
    build_graph(
        A, B, ibuff + n, iaux, niaux, [&](int i) { return rowend(i); }, "setupgraph_epsilon:B->ja");
}

void Dsetupgraph_epsilon_sp(SparseMatrix A, SparseMatrix* B, double epsilon, double* rbuff,
                            int* ibuff, int* iaux, int niaux, const int* ind) {
    const int n = A.nr;
    auto d      = view1(ind, n);
    drop_small_entries(A, epsilon, rbuff, ibuff, [&](int i) { return d(i) < 0; });
    auto rowend = view1(ibuff, n);
    build_graph(
        A, B, ibuff + n, iaux, niaux, [&](int i) { return rowend(i); }, "setupgraph_epsilon:B->ja");
}
