// preprocess.h: preprocessing before a factorization. Diagonal scalings, adjacency graphs,
// the maximum weight matching with its scaling, the split into 1x1/2x2 pivots, elimination trees,
// sorting, the ordering kernels, and the reordering routines that the parameter record's slots
// name. Numeric kernels take scalars by reference and index from 1.
//
// Every reordering routine has the signature ReorderRoutine (common/trelvak.h): it runs the
// scaling step first (the flags and norm words ifact[7], ifact[8] choose the scaling), then
// writes p (position -> index, 1-based), invq (its inverse) and nB, and returns 0, or -5 on a
// zero row or column.
#ifndef TRELVAK_PREPROCESS_PREPROCESS_H
#define TRELVAK_PREPROCESS_PREPROCESS_H

#include "common/trelvak.h"

// ---- Diagonal scalings ---------------------------------------------------------------------
// Norm codes: 0 max, 1 sum of absolute values, 2 Euclidean.
void dcnrms(const int* n, const int* nrm, const double* a, const int* ja, const int* ia,
            double* diag);
void drnrms(const int* n, const int* nrm, const double* a, const int* ja, const int* ia,
            double* diag);
void damultdiag(const int* n, double* a, const int* ja, const int* ia, const double* diag);
void ddiagmulta(const int* n, double* a, const int* ja, const int* ia, const double* diag);
void dcolscale(const int* n, const int* job, double* a, const int* ja, const int* ia, double* diag,
               int* ierr);
void drowscale(const int* n, const int* job, double* a, const int* ja, const int* ia, double* diag,
               int* ierr);
void dspdscale(const int* n, double* a, const int* ja, const int* ia, double* diag, int* ierr);
void dsymscale(const int* n, double* a, const int* ja, const int* ia, double* diag, double* work,
               int* ierr);

// Scaling step that every reordering routine runs first. Reads the scaling flags word ifact[7]
// and the norm word ifact[8] of *param: bits 9-10 of the flags word pick the current pass p
// (0x200 or 0 -> 1, 0x400 -> 2, 0x600 -> 3); the pass's flags are the 3 bits at 3(p-1) (1 rows,
// 2 columns, 4 columns before rows) and its norm code the 5 bits at 5(p-1) of the norm word.
//   norm 0..2: drowscale into left and/or dcolscale into right, in the order the flags say;
//   norm 3:    dspdscale into right;
//   norm 4:    dsymscale into right with param->dbuff (grown to >= 2n entries under dbuff_tag)
//              as work;
//   norm >= 5: nothing.
// A is scaled in place; vectors the chosen scaling does not write keep their contents. Returns 0,
// or -5 after printing "ROWSCALE: a zero row...", "COLSCALE: a zero col...", "SPDCALE: a zero
// row/column..." or "SYMSCALE: a zero row/column..." on standard error (standard output when
// messages_to_stdout).
int scaling_step(SparseMatrix A, double* left, double* right, ParameterRecord* param,
                 const char* dbuff_tag, bool messages_to_stdout = false);

// ---- Graphs, matching, elimination tree, sorting ---------------------------------------------
// Graph records carry nr, nc, ia, ja (1-based); `a` is null. The graph of a symmetric matrix
// holds both triangles, repeated neighbours removed, a stored diagonal entry kept once.
// Ownership of B->ja is told by the sign of its last row pointer: the builders negate
// B->ia[n] when they had to allocate ja themselves (MAlloc); the caller then makes it positive
// again and free()s B->ja after use. A positive value means the caller's iaux was used.

// B = pattern of A + A^T. On entry A is an upper triangle (nr = nc = n, 1-based). On exit
// B->ia = ibuff (n+1 ints, caller's buffer) and B->ja = iaux when niaux >= 2 nnz(A), else a fresh
// allocation of 2 nnz(A) ints (tag "CSRSetupGraph:B->ja").
void Dsetupgraph(SparseMatrix A, SparseMatrix* B, int* ibuff, int* iaux, int niaux);

// Graph of the large entries: an off-diagonal entry (i,j) is dropped when
// |a(i,j)| < epsilon * min(r(i), r(j)), r(i) the largest magnitude of the full row i. The entries
// of every row of A are reordered in place (kept entries first); ibuff[i-1] receives the end
// (exclusive) of the kept part of row i. rbuff: n doubles of work. ibuff: at least 2n+1 ints;
// B->ia = ibuff + n. B->ja = iaux when niaux >= 2 * (kept entries), else allocated (tag
// "setupgraph_epsilon:B->ja").
void Dsetupgraph_epsilon(SparseMatrix A, SparseMatrix* B, double epsilon, double* rbuff, int* ibuff,
                         int* iaux, int niaux);
// As Dsetupgraph_epsilon for a matrix with marked nodes (ind[i-1] < 0): every entry touching a
// marked node is dropped (its diagonal entry too); a marked row does not spread its entries to
// the maxima of other rows, and a row's own maximum counts only when its column is unmarked.
void Dsetupgraph_epsilon_sp(SparseMatrix A, SparseMatrix* B, double epsilon, double* rbuff,
                            int* ibuff, int* iaux, int niaux, const int* ind);

// Maximum product matching with scaling (MUMPS's maximum weighted transversal, job 5) of the
// symmetric graph (ia, ja: n+1 row pointers and nnz neighbours, both triangles, 1-based) with
// values[k] aligned to ja[k] (their magnitudes are used; repeated entries count once, largest
// magnitude). On exit p(i) = node matched with row i, always a permutation of 1..n; u and v
// (n doubles each) hold row and column factors with |u(i) a(i,j) v(j)| <= 1 for every entry and
// = 1 on the matched entries. When no complete matching exists the unmatched rows are matched
// with the unmatched columns in increasing order; then the bound <= 1 still holds but those
// matched positions need not be entries of A. ia, ja and values are not changed.
void dmumps_match(int n, int nnz, int* p, int* ia, int* ja, double* values, double* u, double* v);

// Splits the matching p (a permutation) of the upper triangle A into 1x1 pivots and 2x2 pairs
// (cycles of length > 2 are cut). On exit p lists the 1x1 pivots in increasing order, then each
// pair larger index first; returns the number of 1x1 pivots. iwork: n ints; dwork: 2n doubles.
int DSYMsmwm(SparseMatrix A, int* p, int* iwork, double* dwork);

// Elimination tree of the graph (ia, ja: 1-based rows of neighbours) in the order perm.
// perm[i] (i = 0..m-1) is the 1-based node at position i; invperm[j-1] is the 1-based position
// of node j, or 0 for a node outside the order (its edges are ignored). On exit parent[i] is the
// 0-based position of the parent of position i, -1 for a root. ancestor: m ints of work.
void IP_etree(const int* ia, const int* ja, int m, const int* perm, const int* invperm, int* parent,
              int* ancestor);
// Post-order of the forest parent[0..m-1] (0-based, -1 = root): children in increasing order,
// roots in increasing order, each node after its children. post receives the 0-based positions;
// returns their number (m for a forest). work: 3m ints.
int IP_post_order(const int* parent, int m, int* post, int* work);
// Depth-first walk of the tree at root (0-based) with child lists head (first child, -1 none;
// consumed during the walk) and next (next sibling, -1 none); appends the nodes in post-order to
// post starting at post[k] and returns the new count. stack: as many ints as the tree has nodes.
int IP_tdfs(int root, int k, int* head, const int* next, int* post, int* stack);

// Ascending in-place sort of the n integers x[0..n-1]. stack: max(n, 2) ints of work.
void qqsorti(int* x, int* stack, int n);
// Descending sort of x[lo..hi] (0-based, inclusive), applying the same moves to i1 and i2.
void dqsortr2i(double* x, int* i1, int* i2, int lo, int hi);
// Swap x[i] and x[j] (0-based).
void dswapm(double* x, int i, int j);
void swapj(int* x, int i, int j);

// ---- Ordering kernels ------------------------------------------------------------------------
// All 1-based; the graph holds both triangles. perm maps position -> node.

// Reverse Cuthill-McKee by connected components with pseudo-peripheral roots. The graph may hold
// self-loops (they count in the degrees). mask: n ints of work; xls: n+1 ints of work.
void genrcm(const int* n, const int* xadj, const int* adjncy, int* perm, int* mask, int* xls);

// Quotient minimum degree (threshold search, indistinguishable nodes merged, quotient-graph
// transformation). The graph must have no self-loops; adjncy is destroyed. deg, marker, rchset,
// nbrhd, qsize, qlink: n ints of work each. nofsub receives the number of off-diagonal entries of
// the Cholesky factor, counted as the sum of the external degrees of the eliminated supernodes
// (entries inside a merged supernode are not counted).
void genqmd(const int* n, int* xadj, int* adjncy, int* perm, int* invp, int* deg, int* marker,
            int* rchset, int* nbrhd, int* qsize, int* qlink, int* nofsub);

// Approximate minimum fill. On entry row i of the graph (no self-loops) is iw(pe(i)) ..
// iw(pe(i)+len(i)-1) and pfree the first free position of iw, whose length iwlen must be at
// least pfree - 1 + n (about 1.2 times the graph's entries plus n is comfortable; the quotient
// graph is compacted in place when it fills). nbbuck >= n is the highest bucket: keys 0..n have
// one bucket each, larger keys are compressed into buckets n..nbbuck; head holds nbbuck+2 ints.
// nv, next, degree, wf, w: n ints of work each. On exit last(k) is the node eliminated k-th and
// elen(i) the position of node i; pe, pfree, len, iw are destroyed. ncmpa counts the
// compactions, or is -1 when iwlen or nbbuck is too small (the order is then the identity).
void r2hamdf4(const int* n, const int* nbbuck, const int* iwlen, int* pe, int* pfree, int* len,
              int* iw, int* nv, int* last, int* elen, int* degree, int* wf, int* next, int* w,
              int* head, int* ncmpa);

// ---- Fine/coarse splittings ------------------------------------------------------------------
// Split the nodes of the symmetric matrix A (upper triangle, 1-based) into fine and coarse nodes.
// On exit perm(i) is the new position of node i (fine nodes 1..nB, coarse nodes nB+1..n).
// ibuff: at least 7n+3 ints, dbuff: at least 3n doubles. DSYMindfcv weighs the entries by the
// test vector tv.
void DSYMindfc(SparseMatrix A, int* perm, int* nB, double tau, int* ibuff, double* dbuff);
void DSYMindfcv(SparseMatrix A, int* perm, int* nB, double tau, int* ibuff, double* dbuff,
                const double* tv, int flag);

// Steps shared by the splittings: greedy coarsening of the undecided nodes (pos(i) == 0) by their
// measures, then the second pass that gives every fine node's fine strong dependencies a common
// coarse node. pos(1..n) holds the positions decided so far (fine 1..nfine, coarse from n down,
// ncoarse of them). sptr/s: for every node the nodes it strongly depends on; stptr/st: the
// transpose (1-based lists). On exit pos is complete and *nfine is the size of the fine block.
// work: 4n+1 ints.
void fc_greedy_split(int n, int* pos, int* nfine, int* ncoarse, const int* sptr, const int* s,
                     const int* stptr, const int* st, int* work);

// Block form used by the matching-based reorderings: A is read through p (position -> index) and
// invq (its inverse), so in the current order; a 2x2 pivot is one unit. On exit ibuff(1..n) is the
// new rank of every position (fine 1..nB, coarse nB+1..n) and nB the number of fine positions.
// ibuff: at least 9n+3 ints (10n+3 for the test-vector form); dbuff: 6n doubles (8n).
void DSYMpindfc(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff);
void DSYMpindfcv(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff,
                 const double* tv, int flag);

// Reverse Cuthill-McKee reordering behind DSPDperm_rcm (postpone_dense = true) and
// DSYMperm_rcm_fc/_fcv (false): the same signature plus the choice whether dense rows are moved
// behind the others (nB = the rows kept in front) or not (nB = n).
int rcm_reordering(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                   ParameterRecord* param, bool postpone_dense);

// Diagonal-dominance ordering behind DSPDperm_pp: rows that are dominant enough lead, in order of
// decreasing score. p (position -> row), invq its inverse, nB the number of selected rows.
// ibuff: 2n ints, dbuff: 3n doubles. Returns 0, or 1 on a counting error.
int DPPpermF(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff,
             int unused);
int DSPDwDiagRF(SparseMatrix A, int* p, int* invq, int* nB, double tau, int* ibuff, double* dbuff,
                int unused);

#define TRELVAK_DECLARE_REORDERING(name)                                              \
    int name(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB, \
             ParameterRecord* param)

// Entries of an exact L D L^T factor of A (upper triangle, 1-based; the pattern alone counts) in
// a minimum-degree order, diagonal included, per entry of A: how much an exact factor would
// fill. 1 for a matrix without entries off the diagonal; +inf when the ordering fails.
double exact_factor_fill(const SparseMatrix& A);

// ---- Reordering routines without matching --------------------------------------------------
TRELVAK_DECLARE_REORDERING(DGNLperm_null);
TRELVAK_DECLARE_REORDERING(DGNLperm_amd);
TRELVAK_DECLARE_REORDERING(DGNLperm_amf);
TRELVAK_DECLARE_REORDERING(DGNLperm_mmd);
TRELVAK_DECLARE_REORDERING(DGNLperm_metis_e);
TRELVAK_DECLARE_REORDERING(DGNLperm_metis_n);
TRELVAK_DECLARE_REORDERING(DSPDperm_rcm);
TRELVAK_DECLARE_REORDERING(DSPDperm_pp);
TRELVAK_DECLARE_REORDERING(DSYMperm_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_fcv);

// Plain orderings followed by a fine/coarse splitting.
TRELVAK_DECLARE_REORDERING(DSYMperm_rcm_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_amf_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_mmd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_e_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_n_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_amd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_rcm_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_amf_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_mmd_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_e_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_metis_n_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_amd_fcv);

// ---- Matching-based reorderings ------------------------------------------------------------
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amd_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_n_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_metis_e_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_amf_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_mmd_fcv);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm_sp);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm_fc);
TRELVAK_DECLARE_REORDERING(DSYMperm_matching_rcm_fcv);

#endif  // TRELVAK_PREPROCESS_PREPROCESS_H
