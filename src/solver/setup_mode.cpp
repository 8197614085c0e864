// setup_mode.cpp: setup mode of DSYMAMGsetupparameters (mode 0). Fills what the factorization
// consumes from the parameter record:
//   - `FCpart` normalised to "yes" or "none";
//   - the indicator buffer (a copy of the caller's `ind`; a negative entry sets
//     NEGATIVE_INDICATOR, which selects the saddle-point reorderings);
//   - the reordering slots reorder0..reorder2 and the bits PLAIN_ORDERING, ORDERING_A, ORDERING_B,
//     from `ordering`, `matching`, `FCpart`, `typetv` and NEGATIVE_INDICATOR (tables below);
//   - the factorization controls dfact[0], dfact[1], dfact[7], ifact[0], ifact[3], ifact[9];
//   - the test vector (copied from `tv`, or ones) and its bits;
//   - the coarse-grid bits, the cycle kind ifact[10], and ifact[6] = flags.
//
// On entry A->nc is the order n (nothing else of A is read); the option fields hold the user's
// choices; `FCpart`, `amg` must hold texts.
// On exit the fields above are set. `indicator` and `testvector` only grow: a first allocation
// takes 2n entries, a later one max(capacity, 2n), keeping the contents. Nothing is released.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <span>

#include "preprocess/preprocess.h"
#include "solver/solver.h"

namespace {

bool is_nonempty(const char* text) {
    return text != nullptr && text[0] != '\0';
}

// One row of a reordering selection table: the routine for each column.
struct SelectionRow {
    const char* keyword;
    ReorderRoutine plain;           // FCpart not "yes", NEGATIVE_INDICATOR clear
    ReorderRoutine constrained;     // FCpart not "yes", NEGATIVE_INDICATOR set
    ReorderRoutine fine_coarse;     // FCpart "yes", typetv "none"
    ReorderRoutine fine_coarse_tv;  // FCpart "yes", another typetv
};

// matching = 0: reorderings without matching. "metisn" alone turns to a constrained matching
// routine when the indicator has a negative entry.
// clang-format off
constexpr SelectionRow kPlainRows[] = {
    {"amd",    DGNLperm_amd,     DGNLperm_amd,                 DSYMperm_amd_fc,     DSYMperm_amd_fcv},
    {"metisn", DGNLperm_metis_n, DSYMperm_matching_metis_n_sp, DSYMperm_metis_n_fc, DSYMperm_metis_n_fcv},
    {"metise", DGNLperm_metis_e, DGNLperm_metis_e,             DSYMperm_metis_e_fc, DSYMperm_metis_e_fcv},
    {"rcm",    DSPDperm_rcm,     DSPDperm_rcm,                 DSYMperm_rcm_fc,     DSYMperm_rcm_fcv},
    {"amf",    DGNLperm_amf,     DGNLperm_amf,                 DSYMperm_amf_fc,     DSYMperm_amf_fcv},
    {"mmd",    DGNLperm_mmd,     DGNLperm_mmd,                 DSYMperm_mmd_fc,     DSYMperm_mmd_fcv},
    {"none",   DGNLperm_null,    DGNLperm_null,                DSYMperm_fc,         DSYMperm_fcv},
    {"pp",     DSPDperm_pp,      DSPDperm_pp,                  DSPDperm_pp,         DSPDperm_pp},
};

// matching != 0: matching-based reorderings; "none" is no keyword here.
constexpr SelectionRow kMatchingRows[] = {
    {"amd",    DSYMperm_matching_amd,     DSYMperm_matching_amd_sp,     DSYMperm_matching_amd_fc,     DSYMperm_matching_amd_fcv},
    {"metisn", DSYMperm_matching_metis_n, DSYMperm_matching_metis_n_sp, DSYMperm_matching_metis_n_fc, DSYMperm_matching_metis_n_fcv},
    {"metise", DSYMperm_matching_metis_e, DSYMperm_matching_metis_e_sp, DSYMperm_matching_metis_e_fc, DSYMperm_matching_metis_e_fcv},
    {"rcm",    DSYMperm_matching_rcm,     DSYMperm_matching_rcm_sp,     DSYMperm_matching_rcm_fc,     DSYMperm_matching_rcm_fcv},
    {"amf",    DSYMperm_matching_amf,     DSYMperm_matching_amf_sp,     DSYMperm_matching_amf_fc,     DSYMperm_matching_amf_fcv},
    {"mmd",    DSYMperm_matching_mmd,     DSYMperm_matching_mmd_sp,     DSYMperm_matching_mmd_fc,     DSYMperm_matching_mmd_fcv},
    {"pp",     DSPDperm_pp,               DSPDperm_pp,                  DSPDperm_pp,                  DSPDperm_pp},
};
// clang-format on

// Capacity after growing a buffer of capacity `have` to hold 2n entries.
unsigned long grown_capacity(unsigned long have, unsigned long n) {
    return have == 0 ? 2 * n : std::max(have, 2 * n);
}

// Copies the caller's indicator; a negative entry sets NEGATIVE_INDICATOR (never cleared here).
void copy_indicator(ParameterRecord* param, int n) {
    const unsigned long capacity = grown_capacity(
        static_cast<unsigned long>(std::max(param->nindicator, 0)), static_cast<unsigned long>(n));
    const char* tag  = "AMGsetupparameters:param->indicator";
    param->indicator = static_cast<int*>(
        param->nindicator == 0 ? MAlloc(sizeof(int) * capacity, tag)
                               : ReAlloc(param->indicator, sizeof(int) * capacity, tag));
    param->nindicator = static_cast<int>(capacity);
    for (int i = 0; i < n; ++i) {
        param->indicator[i] = param->ind[i];
        if (param->ind[i] < 0) {
            param->flags |= NEGATIVE_INDICATOR;
        }
    }
}

// Fills the three slots from the table row that `ordering` selects; an empty or unrecognised
// `ordering`, or FCpart "yes" without a typetv, changes nothing.
void select_reordering(ParameterRecord* param) {
    const bool fine_coarse = keyword_matches(param->FCpart, "yes");
    if (!is_nonempty(param->ordering) || (fine_coarse && !is_nonempty(param->typetv))) {
        return;
    }
    const bool matching     = param->matching != 0;
    const SelectionRow* row = nullptr;
    for (const SelectionRow& r : matching ? std::span<const SelectionRow>(kMatchingRows)
                                          : std::span<const SelectionRow>(kPlainRows)) {
        if (keyword_matches(param->ordering, r.keyword)) {
            row = &r;
            break;
        }
    }
    if (row == nullptr) {
        return;
    }
    ReorderRoutine routine = nullptr;
    if (!fine_coarse) {
        routine = (param->flags & NEGATIVE_INDICATOR) != 0 ? row->constrained : row->plain;
    } else {
        routine = keyword_matches(param->typetv, "none") ? row->fine_coarse : row->fine_coarse_tv;
    }
    param->reorder0 = routine;
    param->reorder1 = routine;
    param->reorder2 = DSPDperm_pp;
    param->flags |= ORDERING_A | ORDERING_B;
    if (!matching && routine != DSPDperm_pp) {
        param->flags |= PLAIN_ORDERING;
    } else {
        param->flags &= ~PLAIN_ORDERING;
    }
}

// The smallest integer not below x (x rounded to nearest, ties to even, plus one when below x),
// limited to the range of int; NaN gives 0.
int round_up(double x) {
    if (std::isnan(x)) {
        return 0;
    }
    if (x >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (x <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    double r = std::nearbyint(x);
    if (r < x) {
        r += 1.0;
    }
    return static_cast<int>(r);
}

// Test vector kind from `typetv`, then the buffer: a copy of `tv`, or ones when neither kind bit
// is set but TEST_VECTOR is.
void setup_test_vector(ParameterRecord* param, int n) {
    const char* tag           = "AMGsetupparameters:param->testvector";
    const unsigned long order = static_cast<unsigned long>(n);
    auto grow                 = [&](bool fresh) {
        const unsigned long capacity = grown_capacity(param->ntestvector, order);
        param->testvector            = static_cast<double*>(
            fresh ? MAlloc(sizeof(double) * capacity, tag)
                                             : ReAlloc(param->testvector, sizeof(double) * capacity, tag));
        param->ntestvector = static_cast<unsigned>(capacity);
    };
    if (is_nonempty(param->typetv)) {
        if (keyword_matches(param->typetv, "static")) {
            param->flags |= TEST_VECTOR | STATIC_TESTVECTOR;
        } else if (!keyword_matches(param->typetv, "none")) {
            param->flags |= TEST_VECTOR | DYNAMIC_TESTVECTOR;
        }
        if (!keyword_matches(param->typetv, "none")) {
            grow(param->ntestvector == 0);
            if (param->tv != nullptr && n > 0) {
                std::memcpy(param->testvector, param->tv, sizeof(double) * order);
            }
        }
    }
    if ((param->flags & TEST_VECTOR) != 0) {
        grow(param->testvector == nullptr);
        if ((param->flags & (STATIC_TESTVECTOR | DYNAMIC_TESTVECTOR)) == 0) {
            for (int i = 0; i < n; ++i) {
                param->testvector[i] = 1.0;
            }
        }
    }
}

}  // namespace

void setup_mode(SparseMatrix* A, ParameterRecord* param) {
    const int n = std::max(A->nc, 0);

    // 1. FCpart is "yes" or "none".
    if (!keyword_matches(param->FCpart, "yes") && !keyword_matches(param->FCpart, "none")) {
        param->FCpart = "none";
    }
    // 2. Indicator.
    if (param->ind != nullptr) {
        copy_indicator(param, n);
    }
    // 3. Reordering slots.
    select_reordering(param);
    // 4. Factorization controls.
    param->dfact[0] = param->droptol;
    param->dfact[7] = param->droptolS;
    param->dfact[1] = param->condest;
    param->ifact[3] = param->lfil;
    param->ifact[9] = param->lfilS;
    param->ifact[0] = round_up(param->elbow);
    // 5.-6. Test vector.
    setup_test_vector(param, n);
    // 7. Coarse-grid kind.
    if (is_nonempty(param->typecoarse)) {
        if (keyword_matches(param->typecoarse, "ilu")) {
            param->flags = (param->flags & ~COARSE_ALT) | COARSE_ILU;
        } else if (keyword_matches(param->typecoarse, "amg")) {
            param->flags &= ~(COARSE_ALT | COARSE_ILU);
        }
    }
    // 8. Cycle kind.
    setup_cycle_kind(param, /*honour_discarded=*/false);
    // 9. The flags as the factorization sees them.
    param->ifact[6] = static_cast<int>(param->flags);
}
