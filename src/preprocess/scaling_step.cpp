// scaling_step.cpp: the diagonal scaling every reordering routine applies before it orders.
//
// The parameter record's scaling flags word ifact[7] and norm word ifact[8] choose the scaling.
// Bits 9-10 of the flags word (mask 0x600) give the current preprocessing pass p: 0x200 or 0 is
// pass 1, 0x400 pass 2, 0x600 pass 3. The pass's flags are the 3 bits starting at bit 3(p-1) of
// the flags word (1 scale rows, 2 scale columns, 4 columns before rows), its norm code the 5 bits
// starting at bit 5(p-1) of the norm word:
//   0, 1, 2  drowscale into left and/or dcolscale into right with that norm; the second one sees
//            the matrix already scaled by the first
//   3        dspdscale into right
//   4        dsymscale into right, param->dbuff (grown to >= 2n entries) as work
//   >= 5     no scaling
//
// On entry A is the matrix record (order A.nr, upper triangle for codes 3 and 4), left and right
// hold whatever the caller put there (ones, normally). On exit A is scaled in place and the
// vectors the chosen scaling writes hold its factors. Returns 0, or -5 when a row or column is
// zero; then the message names it and A is not scaled by the failing routine.
#include <cstdio>

#include "preprocess/preprocess.h"

namespace {

int report_zero(const char* message, bool messages_to_stdout) {
    std::FILE* out = messages_to_stdout ? stdout : stderr;
    std::fputs(message, out);
    std::fflush(out);
    return -5;
}

}  // namespace

int scaling_step(SparseMatrix A, double* left, double* right, ParameterRecord* param,
                 const char* dbuff_tag, bool messages_to_stdout) {
    const int n = A.nr;
    if (n <= 0) {
        return 0;
    }
    const unsigned flags_word = static_cast<unsigned>(param->ifact[7]);
    const unsigned norm_word  = static_cast<unsigned>(param->ifact[8]);

    unsigned pass = 1;
    switch (flags_word & 0x600u) {
        case 0x400u:
            pass = 2;
            break;
        case 0x600u:
            pass = 3;
            break;
        default:
            pass = 1;
            break;
    }
    const unsigned flags = (flags_word >> (3 * (pass - 1))) & 0x7u;
    const int norm       = static_cast<int>((norm_word >> (5 * (pass - 1))) & 0x1fu);

    int ierr = 0;
    if (norm <= 2) {
        const bool rows          = (flags & 0x1u) != 0;
        const bool cols          = (flags & 0x2u) != 0;
        const bool columns_first = (flags & 0x4u) != 0;
        auto scale_rows          = [&]() {
            drowscale(&n, &norm, A.a, A.ja, A.ia, left, &ierr);
            return ierr == 0 ? 0 : report_zero("ROWSCALE: a zero row...\n", messages_to_stdout);
        };
        auto scale_cols = [&]() {
            dcolscale(&n, &norm, A.a, A.ja, A.ia, right, &ierr);
            return ierr == 0 ? 0 : report_zero("COLSCALE: a zero col...\n", messages_to_stdout);
        };
        if (columns_first) {
            if (cols && scale_cols() != 0) {
                return -5;
            }
            if (rows && scale_rows() != 0) {
                return -5;
            }
        } else {
            if (rows && scale_rows() != 0) {
                return -5;
            }
            if (cols && scale_cols() != 0) {
                return -5;
            }
        }
    } else if (norm == 3) {
        dspdscale(&n, A.a, A.ja, A.ia, right, &ierr);
        if (ierr != 0) {
            return report_zero("SPDCALE: a zero row/column...\n", messages_to_stdout);
        }
    } else if (norm == 4) {
        if (param->ndbuff < 2 * n) {
            param->dbuff = static_cast<double*>(
                ReAlloc(param->dbuff, sizeof(double) * 2 * static_cast<size_t>(n), dbuff_tag));
            param->ndbuff = 2 * n;
        }
        dsymscale(&n, A.a, A.ja, A.ia, right, param->dbuff, &ierr);
        if (ierr != 0) {
            return report_zero("SYMSCALE: a zero row/column...\n", messages_to_stdout);
        }
    }
    return 0;
}
