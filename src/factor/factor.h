// factor.h: the multilevel incomplete L D L^T factorization that produces a level list, and the
// life cycle of the parameter record that goes with it. Used by the Octave modules and by the
// command-line tool.
//
//   ParameterRecord* param = trelvak::create_parameters();        // package defaults
//   ... change options in *param (the texts through trelvak::set_text) ...
//   LevelRecord* levels = nullptr;
//   trelvak::FactorInfo info;
//   if (trelvak::factor(A, param, &levels, &info) == 0) {
//       DSYMAMGsolver(&A, levels, param, rhs, sol);
//   }
//   trelvak::release_levels(levels);
//   trelvak::release_parameters(param);
#ifndef TRELVAK_FACTOR_FACTOR_H
#define TRELVAK_FACTOR_FACTOR_H

#include <string>

#include "common/trelvak.h"

namespace trelvak {

// What a factorization reports besides its level list.
struct FactorInfo {
    int n = 0;                 // order
    int nlev = 0;              // number of levels
    long nnz_input = 0;        // stored entries of the input triangle
    long nnz_stored = 0;       // stored entries of all levels (factors, couplings, kept systems)
    double fill = 0.0;         // nnz_stored / nnz_input
    double seconds = 0.0;      // processor time of the factorization
    std::string message;       // why a factorization failed (empty on success)
};

// A new parameter record with the package's option defaults; release with release_parameters.
ParameterRecord* create_parameters();
// Replaces a text option of the record by a copy the record owns (field is e.g. &param->solver).
void set_text(ParameterRecord* param, const char** field, const char* text);
// Hands a block allocated with MAlloc to the record, which frees it on release.
void adopt_text(ParameterRecord* param, const char* text);
// Releases the record, its work buffers and every text it owns.
void release_parameters(ParameterRecord* param);

// Factors the symmetric matrix A (upper triangle with diagonal, 1-based rows; not modified)
// under the options of param. Returns 0 and the level list on success; on failure a negative
// code, *levels = nullptr and a message in info->message, with nothing leaked.
int factor(const SparseMatrix& A, ParameterRecord* param, LevelRecord** levels, FactorInfo* info);
// Releases a level list made by factor (null is harmless).
void release_levels(LevelRecord* levels);

}  // namespace trelvak

#endif  // TRELVAK_FACTOR_FACTOR_H
