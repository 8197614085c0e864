// The shared records are plain C with a fixed field order, since they cross between modules by
// address.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "common/trelvak.h"

static_assert(sizeof(int) == 4, "int must be 32 bits");
static_assert(sizeof(unsigned) == 4, "unsigned must be 32 bits");
static_assert(std::is_standard_layout_v<SparseMatrix> &&
              std::is_trivially_copyable_v<SparseMatrix>);
static_assert(std::is_standard_layout_v<ParameterRecord> &&
              std::is_trivially_copyable_v<ParameterRecord>);
static_assert(std::is_standard_layout_v<LevelRecord> && std::is_trivially_copyable_v<LevelRecord>);

#define IN_ORDER(T, a, b) static_assert(offsetof(T, a) < offsetof(T, b), #a " before " #b)

IN_ORDER(SparseMatrix, nr, nc);
IN_ORDER(SparseMatrix, nc, reserved0);
IN_ORDER(SparseMatrix, reserved0, ia);
IN_ORDER(SparseMatrix, ia, ja);
IN_ORDER(SparseMatrix, ja, a);
IN_ORDER(SparseMatrix, a, reserved1);
static_assert(sizeof(SparseMatrix::reserved1) == 6 * sizeof(void*));

IN_ORDER(ParameterRecord, ifact, ipar);
IN_ORDER(ParameterRecord, ipar, reserved0);
IN_ORDER(ParameterRecord, reserved0, dfact);
IN_ORDER(ParameterRecord, dfact, fpar);
IN_ORDER(ParameterRecord, fpar, reserved1);
IN_ORDER(ParameterRecord, reserved1, ibuff);
IN_ORDER(ParameterRecord, ibuff, iaux);
IN_ORDER(ParameterRecord, iaux, dbuff);
IN_ORDER(ParameterRecord, dbuff, daux);
IN_ORDER(ParameterRecord, daux, reserved2);
IN_ORDER(ParameterRecord, reserved2, testvector);
IN_ORDER(ParameterRecord, testvector, nibuff);
IN_ORDER(ParameterRecord, nibuff, ndbuff);
IN_ORDER(ParameterRecord, ndbuff, reserved3);
IN_ORDER(ParameterRecord, reserved3, ndaux);
IN_ORDER(ParameterRecord, ndaux, niaux);
IN_ORDER(ParameterRecord, niaux, ntestvector);
IN_ORDER(ParameterRecord, ntestvector, reserved4);
IN_ORDER(ParameterRecord, reserved4, tv);
IN_ORDER(ParameterRecord, tv, ind);
IN_ORDER(ParameterRecord, ind, nindicator);
IN_ORDER(ParameterRecord, nindicator, indicator);
IN_ORDER(ParameterRecord, indicator, reserved5);
IN_ORDER(ParameterRecord, reserved5, matching);
IN_ORDER(ParameterRecord, matching, ordering);
IN_ORDER(ParameterRecord, ordering, droptol);
IN_ORDER(ParameterRecord, droptol, droptolS);
IN_ORDER(ParameterRecord, droptolS, condest);
IN_ORDER(ParameterRecord, condest, restol);
IN_ORDER(ParameterRecord, restol, maxit);
IN_ORDER(ParameterRecord, maxit, elbow);
IN_ORDER(ParameterRecord, elbow, lfil);
IN_ORDER(ParameterRecord, lfil, lfilS);
IN_ORDER(ParameterRecord, lfilS, typetv);
IN_ORDER(ParameterRecord, typetv, amg);
IN_ORDER(ParameterRecord, amg, npresmoothing);
IN_ORDER(ParameterRecord, npresmoothing, npostmoothing);
IN_ORDER(ParameterRecord, npostmoothing, ncoarse);
IN_ORDER(ParameterRecord, ncoarse, presmoother);
IN_ORDER(ParameterRecord, presmoother, postsmoother);
IN_ORDER(ParameterRecord, postsmoother, FCpart);
IN_ORDER(ParameterRecord, FCpart, typecoarse);
IN_ORDER(ParameterRecord, typecoarse, nrestart);
IN_ORDER(ParameterRecord, nrestart, flags);
IN_ORDER(ParameterRecord, flags, solver);
IN_ORDER(ParameterRecord, solver, damping);
IN_ORDER(ParameterRecord, damping, reorder0);
IN_ORDER(ParameterRecord, reorder0, reorder1);
IN_ORDER(ParameterRecord, reorder1, reorder2);
static_assert(sizeof(ParameterRecord::ifact) == 20 * 4 && sizeof(ParameterRecord::ipar) == 16 * 4);
static_assert(sizeof(ParameterRecord::dfact) == 19 * 8 && sizeof(ParameterRecord::fpar) == 16 * 8);
static_assert(sizeof(ParameterRecord::reserved0) == 64 &&
              sizeof(ParameterRecord::reserved1) == 116);
static_assert(sizeof(ParameterRecord::reserved2) == 12 && sizeof(ParameterRecord::reserved3) == 12);
static_assert(sizeof(ParameterRecord::reserved4) == 8 && sizeof(ParameterRecord::reserved5) == 912);

IN_ORDER(LevelRecord, nlev, n);
IN_ORDER(LevelRecord, n, nB);
IN_ORDER(LevelRecord, nB, A);
IN_ORDER(LevelRecord, A, factor_nnz);
IN_ORDER(LevelRecord, factor_nnz, coarse_ipiv);
IN_ORDER(LevelRecord, coarse_ipiv, factor_index);
IN_ORDER(LevelRecord, factor_index, factor_values);
IN_ORDER(LevelRecord, factor_values, F);
IN_ORDER(LevelRecord, F, perm);
IN_ORDER(LevelRecord, perm, invperm);
IN_ORDER(LevelRecord, invperm, rowscale);
IN_ORDER(LevelRecord, rowscale, colscale);
IN_ORDER(LevelRecord, colscale, alt_diag);
IN_ORDER(LevelRecord, alt_diag, prev);
IN_ORDER(LevelRecord, prev, next);
IN_ORDER(LevelRecord, next, pivot_blocks);

TEST(Records, FlagBitsAreDistinct) {
    const unsigned bits[] = {COARSE_ALT,         TEST_VECTOR,       COARSE_REDUCE,
                             PLAIN_ORDERING,     COARSE_ILU,        ORDERING_A,
                             ORDERING_B,         COARSE_DISCARDED,  STATIC_TESTVECTOR,
                             DYNAMIC_TESTVECTOR, NEGATIVE_INDICATOR};
    unsigned all          = 0;
    for (unsigned b : bits) {
        EXPECT_EQ(all & b, 0u);
        all |= b;
    }
    EXPECT_EQ(TEST_VECTOR | STATIC_TESTVECTOR, 0x20020u);
    EXPECT_EQ(PLAIN_ORDERING | ORDERING_A | ORDERING_B, 0xc80u);
}
