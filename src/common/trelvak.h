/*
 * trelvak.h: the records every subsystem shares.
 *
 *   SparseMatrix     a square sparse matrix in 1-based compressed rows (a graph when `a` is null)
 *   ParameterRecord  options, factorization and Krylov controls, work buffers, reordering slots
 *   LevelRecord      one level of the multilevel incomplete L D L^T; the level list is the chain
 *
 * The records cross between the factorization and the solve by address, so this header is plain C
 * and the field order is fixed. int is 32 bits; addresses take the native width; reserved gaps
 * keep their byte sizes. Control arrays `ipar` and `fpar` are counted from 1 in the code that
 * uses them (see the slot names below); `ifact` and `dfact` are counted from 0.
 *
 * Also declared here: the tagged allocation helpers and the replaceable fatal-error handler
 * through which every "end the process" path goes.
 */
#ifndef TRELVAK_COMMON_TRELVAK_H
#define TRELVAK_COMMON_TRELVAK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------ */
/* Sparse matrix record                                                                        */
/* ------------------------------------------------------------------------------------------ */

/* A square sparse matrix, 1-based compressed rows: row i occupies positions ia(i)..ia(i+1)-1 of
 * ja and a. The symmetric variant stores the upper triangle: each row holds its diagonal entry
 * (when present) and the entries to its right. A graph record sets only nr, nc, ia and ja. */
typedef struct SparseMatrix {
    int nr;             /* number of rows */
    int nc;             /* number of columns */
    int reserved0;      /* not set, not read */
    int* ia;            /* nr+1 row pointers, 1-based */
    int* ja;            /* column indices, 1-based */
    double* a;          /* values (null in a graph record) */
    void* reserved1[6]; /* not set, not read */
} SparseMatrix;

/* ------------------------------------------------------------------------------------------ */
/* Parameter record                                                                            */
/* ------------------------------------------------------------------------------------------ */

struct ParameterRecord;

/* Reordering routine held in the slots reorder0..reorder2: scales A in place (left, right),
 * returns the permutation p (position -> index, 1-based), its inverse invq and the leading
 * block size nB. Returns 0 on success, -5 on a zero row or column. */
typedef int (*ReorderRoutine)(SparseMatrix A, double* left, double* right, int* p, int* invq,
                              int* nB, struct ParameterRecord* param);

typedef struct ParameterRecord {
    int ifact[20]; /* integer factorization controls (0-based entries) */
    int ipar[16];  /* Krylov integer controls, counted from 1: ipar(k) = ipar[k-1] */
    char reserved0[64];
    double dfact[19]; /* real factorization controls (0-based entries) */
    double fpar[16];  /* Krylov real controls, counted from 1 */
    char reserved1[116];
    int* ibuff;    /* integer work buffer of the reordering routines */
    int* iaux;     /* spare integer buffer */
    double* dbuff; /* real work buffer: Krylov workspace, reordering scratch */
    double* daux;  /* spare real buffer */
    char reserved2[12];
    double* testvector; /* test vector buffer */
    int nibuff;         /* capacity of ibuff, entries */
    int ndbuff;         /* capacity of dbuff, entries */
    char reserved3[12];
    int ndaux;            /* capacity of daux, entries */
    int niaux;            /* capacity of iaux, entries */
    unsigned ntestvector; /* capacity of testvector, entries */
    char reserved4[8];
    double* tv;     /* test vector supplied to setup mode */
    int* ind;       /* indicator supplied to setup mode, or null */
    int nindicator; /* capacity of indicator, entries */
    int* indicator; /* indicator buffer */
    char reserved5[912];
    int matching;             /* non-zero selects matching-based reorderings */
    const char* ordering;     /* reordering keyword */
    double droptol;           /* drop tolerance of the factor -> dfact[0] */
    double droptolS;          /* drop tolerance of the Schur complement -> dfact[7] */
    double condest;           /* bound on the inverse factor's norm -> dfact[1] */
    double restol;            /* relative residual tolerance of the Krylov method */
    int maxit;                /* iteration limit */
    double elbow;             /* memory elbow room, rounded up into ifact[0] */
    int lfil;                 /* fill per row of the factor -> ifact[3] */
    int lfilS;                /* fill per row of the Schur complement -> ifact[9] */
    const char* typetv;       /* "static", "none" or another text (dynamic) */
    const char* amg;          /* cycle: "ilu", "amli", "mg" */
    int npresmoothing;        /* pre-smoothing steps */
    int npostmoothing;        /* post-smoothing steps */
    int ncoarse;              /* coarse-grid corrections per level */
    const char* presmoother;  /* "gsf", "gsb", "j...", "ilu" */
    const char* postsmoother; /* mirrored only */
    const char* FCpart;       /* "yes" or "none" */
    const char* typecoarse;   /* "ilu" or "amg" */
    int nrestart;             /* restart length of the GMRES methods */
    unsigned flags;           /* flag word, bits below */
    const char* solver;       /* "sqmr", "sbcg", "bcg", "gmres", "fgmres" */
    double damping;           /* damping of the block Jacobi smoother */
    ReorderRoutine reorder0;  /* reordering slot 1 */
    ReorderRoutine reorder1;  /* reordering slot 2 */
    ReorderRoutine reorder2;  /* reordering slot 3 (diagonal dominance) */
} ParameterRecord;

/* Bits of `flags`, of its copy ifact[6] and of the factorization flag word ifact[16]. */
#define COARSE_ALT 0x4u
#define TEST_VECTOR 0x20u
#define COARSE_REDUCE 0x40u
#define PLAIN_ORDERING 0x80u
#define COARSE_ILU 0x200u
#define ORDERING_A 0x400u
#define ORDERING_B 0x800u
#define COARSE_DISCARDED 0x8000u
#define STATIC_TESTVECTOR 0x20000u
#define DYNAMIC_TESTVECTOR 0x40000u
#define NEGATIVE_INDICATOR 0x100000u

/* ------------------------------------------------------------------------------------------ */
/* Level list                                                                                  */
/* ------------------------------------------------------------------------------------------ */

/* One level of the multilevel incomplete L D L^T. Level l eliminates its leading block of order
 * nB; the remaining unknowns form the system of level l+1. The leading block is stored as the
 * symmetric compressed factor (factor_index I, factor_values V):
 *   I(1..m+1)     row pointers of the strict upper part of U = D L^T (sign of I(1) marks a
 *                 converted factor; I(m+1) is patched to factor_nnz+1 around kernel calls)
 *   I(m+1+i)      positive when rows i, i+1 form a 2x2 pivot, else 0
 *   V(1..m)       diagonal of D^-1; a 2x2 inverse block is [V(i) V(m+1+i); V(m+1+i) V(i+1)]
 *   V(k), I(k)    row entries; a 2x2 pair shares one column list with interleaved values
 * A dense last level has factor_index null and holds a packed Bunch-Kaufman factor ("L") in
 * factor_values with pivots in coarse_ipiv. */
typedef struct LevelRecord {
    int nlev;       /* number of levels in the whole list */
    int n;          /* order of this level's system */
    int nB;         /* order of the leading block (of the coarsest system last) */
    SparseMatrix A; /* level system, upper triangle, unpermuted, scaled */
    /* members kept by the factorization */
    int nnzA_input;          /* stored entries of the input triangle (first level) */
    int nnz_stored;          /* entries stored by this level: factor, F and kept A */
    double reserved_fact[4]; /* factorization bookkeeping */
    /* members read by the application */
    int factor_nnz;        /* end pointer of the last factor row, minus one */
    int* coarse_ipiv;      /* pivots of the dense coarsest factor */
    int* factor_index;     /* I, or null on a dense last level */
    double* factor_values; /* V, or the packed dense factor */
    /* members kept by the factorization */
    int factor_capacity; /* allocated length of factor_values */
    int reserved_int[3];
    SparseMatrix F;           /* off-diagonal block, nB x (n - nB), when COARSE_REDUCE */
    int* perm;                /* permuted position k takes unknown perm(k) */
    int* invperm;             /* inverse of perm */
    double* rowscale;         /* row scaling (first level) */
    double* colscale;         /* column scaling of the level, unpermuted numbering */
    double* alt_diag;         /* alternative inverse pivot blocks of a converted factor */
    struct LevelRecord* prev; /* finer level */
    struct LevelRecord* next; /* coarser level */
    int* pivot_blocks;        /* block structure in permuted order: < 0 marks a 1x1 */
} LevelRecord;

/* ------------------------------------------------------------------------------------------ */
/* Allocation and fatal errors                                                                 */
/* ------------------------------------------------------------------------------------------ */

/* Tagged allocation. A size of 0 returns null without allocating (ReAlloc then returns ptr
 * unchanged). ReAlloc with a null ptr allocates afresh, otherwise resizes and keeps contents.
 * On failure the fatal handler receives "Mem. alloc. ERROR in <tag>. Requested bytes: <n> bytes";
 * for a non-zero size neither returns empty-handed. */
void* MAlloc(size_t nbytes, const char* tag);
void* ReAlloc(void* ptr, size_t nbytes, const char* tag);

/* Where a fatal message is meant to go when the process ends. */
typedef enum FatalChannel { FATAL_STDERR = 0, FATAL_STDOUT = 1 } FatalChannel;

/* A fatal-error handler receives the complete message. The default one writes it to the channel,
 * flushes and ends the process with status -1. A replacement must not return normally: it may
 * raise a host error or throw. */
typedef void (*FatalHandler)(FatalChannel channel, const char* message);

/* Installs a handler (null restores the default) and returns the previous one. */
FatalHandler trelvak_set_fatal_handler(FatalHandler handler);

/* Routes a fatal stop through the current handler. Never returns. */
#ifdef __cplusplus
[[noreturn]]
#endif
void trelvak_fatal(FatalChannel channel, const char* message);

/* Process times: user and system processor seconds of the process; returns the elapsed real
 * time in whole seconds. */
int evaluate_time(float* user, float* system);

#ifdef __cplusplus
}
#endif

#endif /* TRELVAK_COMMON_TRELVAK_H */
