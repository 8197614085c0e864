// parameters.cpp: life cycle of the parameter record that a factorization and its solves share.
//
// create_parameters() returns a zeroed record filled with the package's option defaults (the
// reasons for each value are written beside it), the Krylov controls that the creator owns
// (ipar(2) preconditioning side, ipar(3) stopping test, fpar(2) absolute tolerance) and the
// scaling words ifact[7], ifact[8]. Text options point to constants until set_text replaces them
// by copies the record owns; adopt_text hands over a block allocated with MAlloc.
// release_parameters frees the work buffers (ibuff, iaux, dbuff, daux, testvector, indicator),
// every owned text and the record itself.
//
// The list of owned texts hangs off the record through the first bytes of its largest reserved
// gap (reserved5); nothing else reads or writes that gap.
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "common/onebased.h"
#include "factor/factor.h"

namespace trelvak {

namespace {

struct OwnedTexts {
    std::vector<char*> texts;
};

static_assert(sizeof(OwnedTexts*) <= sizeof(ParameterRecord{}.reserved5));

OwnedTexts* owned_texts(const ParameterRecord* param) {
    OwnedTexts* owned = nullptr;
    std::memcpy(&owned, param->reserved5, sizeof owned);
    return owned;
}

}  // namespace

ParameterRecord* create_parameters() {
    auto* param = new ParameterRecord();  // value-initialised: every field and gap is zero
    auto* owned = new OwnedTexts();
    std::memcpy(param->reserved5, &owned, sizeof owned);

    // Orderings: a maximum weight matching with its symmetric scaling puts large entries (or
    // 2x2 pairs) on the diagonal, which keeps postponement rare on saddle-point and KKT systems;
    // approximate minimum degree then limits fill.
    param->matching = 1;
    param->ordering = "amd";
    // Option defaults measured over the 30 matrices of the regression set (SQMR to 1e-6 through
    // the solver driver, true residual, at most 500 iterations, fill at most 5). With these
    // values all 30 pass, in at most 42 iterations, and the largest fill is 4.97. Two of them
    // (an SPD matrix with condition 2e11 after equilibration, and a KKT system) postpone a fifth
    // of their first level and get droptol 1e-5 and droptolS 1e-5 from the factorization
    // (multilevel.cpp, kHardPostponed); with the defaults alone they stalled.
    // Drop tolerance of the factor, judged against the estimated norm of the inverse factor:
    // 1e-2 loses three matrices, 3e-4 pushes two fills above 5. Under these defaults (droptol
    // at least 1e-3, "amd", the "ilu" cycle) the factorization first tries a quick factor in the
    // given order with droptol 0.1 and keeps it when a 30-iteration trial solve meets restol
    // (multilevel.cpp, kQuickDroptol): 12 of the 30 matrices and the random KKT family take it,
    // in at most 30 iterations.
    param->droptol = 1e-3;
    // The Schur complement is the next level's matrix: 1e-3 loses a saddle-point problem,
    // 1e-5 only adds fill.
    param->droptolS = 1e-4;
    // Bound on the norm of the inverse factor; pivots that would exceed it are postponed:
    // 5 gives one fill above 5, 20 raises the fill without solving more. A factorization that
    // postpones a tenth of level 1 and then outgrows elbow, or leaves too little of it for the
    // next level, starts again with a bound of 1e4 (shifted Laplacians; see multilevel.cpp); no
    // matrix of the regression set comes near it.
    param->condest = 10.0;
    param->restol  = 1e-6;
    param->maxit   = 500;
    // Stored entries of all levels may reach elbow times the entries of the input triangle.
    // An unstable factor is made again nearly exact with nested dissection only where an exact
    // factor would fill at most twice elbow (multilevel.cpp, kNearExactReach): 2D grids (exact
    // fill 7 to 12), not 3D ones (27 to 125) or the QP family (40 to 190).
    param->elbow = 10.0;
    // Entries kept per row of the factor and of the Schur complement (memory controls).
    param->lfil          = 1000;
    param->lfilS         = 1000;
    param->typetv        = "none";
    param->amg           = "ilu";
    param->npresmoothing = 1;
    param->npostmoothing = 1;
    param->ncoarse       = 1;
    param->presmoother   = "gsf";
    param->postsmoother  = "gsb";
    param->FCpart        = "none";
    param->typecoarse    = "ilu";
    param->nrestart      = 30;
    // The off-diagonal blocks are kept apart from the factors (the F block of each level), exact.
    // Kept in the factor rows instead (COARSE_REDUCE clear) they are dropped like the factor:
    // the application then reads each factor half as often, but the fill rises by 10 to 50 %
    // and one KKT matrix of the regression set no longer converges.
    param->flags   = COARSE_REDUCE;
    param->solver  = "sqmr";
    param->damping = 0.66;

    // Scaling step of the reorderings: pass 1, symmetric max-norm scaling (norm code 4). The
    // scaling must be symmetric: the driver scales rows and columns with the same vector.
    param->ifact[7] = 0;
    param->ifact[8] = 4;

    // Krylov controls owned by the creator: right preconditioning (the method then tests the
    // residual of the unpreconditioned system), stopping test 1 (relative to the initial
    // residual), no absolute tolerance.
    auto ipar       = view1(param->ipar, 16);
    auto fpar       = view1(param->fpar, 16);
    ipar(kPrecSide) = 2;
    ipar(kStopTest) = 1;
    fpar(kAbsTol)   = 0.0;
    return param;
}

void set_text(ParameterRecord* param, const char** field, const char* text) {
    if (param == nullptr || field == nullptr) {
        return;
    }
    if (text == nullptr) {
        *field = nullptr;
        return;
    }
    const size_t length = std::strlen(text);
    auto* copy          = static_cast<char*>(MAlloc(length + 1, "create_parameters:text"));
    std::memcpy(copy, text, length + 1);
    adopt_text(param, copy);
    *field = copy;
}

void adopt_text(ParameterRecord* param, const char* text) {
    if (param == nullptr || text == nullptr) {
        return;
    }
    OwnedTexts* owned = owned_texts(param);
    try {
        owned->texts.push_back(const_cast<char*>(text));
    } catch (const std::bad_alloc&) {
        // The list cannot grow: release the text now rather than lose it.
        std::free(const_cast<char*>(text));
        throw;
    }
}

void release_parameters(ParameterRecord* param) {
    if (param == nullptr) {
        return;
    }
    if (OwnedTexts* owned = owned_texts(param)) {
        for (char* text : owned->texts) {
            std::free(text);
        }
        delete owned;
    }
    std::free(param->ibuff);
    std::free(param->iaux);
    std::free(param->dbuff);
    std::free(param->daux);
    std::free(param->testvector);
    std::free(param->indicator);
    delete param;
}

}  // namespace trelvak
