// level_check.h: the invariants of a level list, checked for tests. Any producer of level lists
// (the test producer, the factorization) runs its result through check_level_list.
#ifndef TRELVAK_TESTS_COMMON_LEVEL_CHECK_H
#define TRELVAK_TESTS_COMMON_LEVEL_CHECK_H

#include <string>

#include "common/trelvak.h"

namespace trelvak::test {

// Returns "" when the level list starting at `first` is valid, else a description of the first
// fault found ("level 2: perm is not a permutation of 1..7", ...). param may be null; when given,
// its COARSE_REDUCE bit (ifact[6]) fixes where the coupling must be (F or the factor rows), and
// unless COARSE_DISCARDED is set in ifact[16] every level of a list of two or more levels must
// carry its system matrix A and valid pivot_blocks (the cycles read them). The patched slot
// I(m+1) is not examined: the check uses factor_nnz+1 in its place.
std::string check_level_list(const LevelRecord* first, const ParameterRecord* param);

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_COMMON_LEVEL_CHECK_H
