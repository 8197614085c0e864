// solver.h: solver control. The parameter routine DSYMAMGsetupparameters (solver mode derives the
// Krylov controls; setup mode fills the factorization controls and reordering slots), and the
// solver driver DSYMAMGsolver, which scales the system, runs the selected Krylov method in
// reverse communication and answers its requests.
#ifndef TRELVAK_SOLVER_SOLVER_H
#define TRELVAK_SOLVER_SOLVER_H

#include "common/trelvak.h"

namespace trelvak::krylov {
struct SolveState;
}

// mode 0: setup mode (reads A->nc); any other value: solver mode (reads A->nr).
void DSYMAMGsetupparameters(SparseMatrix* A, ParameterRecord* param, int mode);

// Solves A x = b; A (upper triangle, 1-based rows), rhs and the initial guess in sol are scaled
// during the call and restored before the return; sol receives the solution. Returns the final
// status of the Krylov method (0 converged, negative on failure); ipar(7) holds the count.
// The method keeps its scalars in state and the times go to state->seconds; without a state, in
// the methods' module-wide record and TRELVAK_secnds (one solve at a time). Solves that share
// param share its work buffer dbuff: they must not run at the same time.
int DSYMAMGsolver(SparseMatrix* A, LevelRecord* PRE, ParameterRecord* param, double* rhs,
                  double* sol, trelvak::krylov::SolveState* state = nullptr);

// ||A||_inf of the full symmetric matrix whose upper triangle (1-based rows) A stores: its
// largest absolute row sum, with the mirrored entries counted; s (n entries) is scratch.
double symmetric_norm_inf(const SparseMatrix& A, double* s);

// True when text begins with keyword (case-sensitive, over exactly the keyword's length); a null
// text matches nothing.
bool keyword_matches(const char* text, const char* keyword);

// Normalises `amg` (unrecognised texts become "ilu") and sets the cycle kind ifact[10]: 0
// multilevel ILU, 1 AMLI-like cycle, 2 multigrid. With honour_discarded, a factorization that
// discarded its coarse systems (COARSE_DISCARDED in ifact[16]) falls back to "ilu".
void setup_cycle_kind(ParameterRecord* param, bool honour_discarded);

// Setup mode of DSYMAMGsetupparameters: from the option fields, fills the reordering slots, the
// factorization controls in ifact/dfact, the indicator and test vector buffers and their flag bits,
// the coarse-grid bits, the cycle kind ifact[10] and ifact[6] = flags. Reads only A->nc.
void setup_mode(SparseMatrix* A, ParameterRecord* param);

// Timing record of the driver: [5] user time of the whole solve, [6] mean time of one product.
extern float TRELVAK_secnds[10];

#endif  // TRELVAK_SOLVER_SOLVER_H
