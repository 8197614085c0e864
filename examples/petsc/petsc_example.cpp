// petsc_example.cpp: solving a sparse symmetric indefinite system with PETSc and TRELVAK on one
// or several MPI ranks.
//
//   mpiexec -n <ranks> trelvak_petsc_example [-f matrix.mtx | -family stokes|kkt|qp|helmholtz
//                                            -size N] [PETSc options]
//
// Every rank reads the file (or generates the problem), orders the unknowns (-order, see
// ordering()) and assembles its own rows of an AIJ matrix; the right-hand side is b = A*ones.
// Without solver options it runs the package's symmetric QMR with the trelvak preconditioner on one
// rank, and right-preconditioned GMRES with block Jacobi over trelvak blocks on several ranks; any
// PETSc option changes that (-ksp_type, -pc_type, -sub_pc_type, -pc_trelvak_droptol, ...). Prints
// the iterations, the converged reason, the true relative residual ||b - A x|| / ||b||, the set-up
// and solve times and the largest resident memory of a rank, and a last line "result: key=value
// ..." for scripts.
#include <petscksp.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "problems.h"
#include "trelvak_petsc.h"

namespace {

using trelvak::cli::UpperMatrix;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The matrix named by -f or -family/-size, on every rank. Returns false with a message.
bool load(UpperMatrix* A, std::string* name, std::string* message) {
    char path[PETSC_MAX_PATH_LEN] = "";
    char family[64]               = "stokes";
    PetscBool from_file = PETSC_FALSE, dummy = PETSC_FALSE;
    PetscInt size = 0;
    PetscOptionsGetString(nullptr, nullptr, "-f", path, sizeof path, &from_file);
    PetscOptionsGetString(nullptr, nullptr, "-family", family, sizeof family, &dummy);
    PetscOptionsGetInt(nullptr, nullptr, "-size", &size, &dummy);
    if (from_file) {
        trelvak::cli::ReadResult r = trelvak::cli::read_matrix_market(path);
        if (r.error != trelvak::cli::ReadError::kNone) {
            *message = r.message;
            return false;
        }
        *A    = std::move(r.matrix);
        *name = path;
        return true;
    }
    const std::string f = family;
    if (f == "stokes") {
        *A = trelvak::bench::stokes_mac(size > 0 ? static_cast<int>(size) : 64);
    } else if (f == "kkt") {
        const int nx = size > 0 ? static_cast<int>(size) : 20000;
        *A           = trelvak::bench::random_kkt(nx, nx / 3, 3, 17);
    } else if (f == "qp") {
        const int nx = size > 0 ? static_cast<int>(size) : 10000;
        *A           = trelvak::bench::qp_kkt(nx, 2 * nx / 5, true, 23);
    } else if (f == "helmholtz") {
        *A = trelvak::bench::helmholtz2d(size > 0 ? static_cast<int>(size) : 200, 0.5);
    } else {
        *message = "unknown -family " + f + " (stokes, kkt, qp, helmholtz)";
        return false;
    }
    *name = f + " " + std::to_string(A->n);
    return true;
}

// The symmetric matrix as adjacency lists with values (both triangles, no diagonal), and whether
// each diagonal entry is nonzero.
struct Graph {
    std::vector<std::vector<std::pair<int, double>>> next;
    std::vector<char> has_diagonal;
};

Graph graph_of(const UpperMatrix& A) {
    Graph g;
    g.next.resize(static_cast<size_t>(A.n));
    g.has_diagonal.assign(static_cast<size_t>(A.n), 0);
    for (int i = 0; i < A.n; ++i) {
        for (int k = A.ia[static_cast<size_t>(i)] - 1; k < A.ia[static_cast<size_t>(i) + 1] - 1;
             ++k) {
            const int j    = A.ja[static_cast<size_t>(k)] - 1;
            const double v = A.a[static_cast<size_t>(k)];
            if (j == i) {
                g.has_diagonal[static_cast<size_t>(i)] = v != 0.0;
            } else if (v != 0.0) {
                g.next[static_cast<size_t>(i)].push_back({j, v});
                g.next[static_cast<size_t>(j)].push_back({i, v});
            }
        }
    }
    return g;
}

// Keeps every row with a zero diagonal entry (a multiplier) next to a row it is coupled to that
// has a nonzero one (its partner, picked greedily along `order`, the largest coupling first), so
// that a block of consecutive rows does not hold a multiplier without a variable of its own, which
// makes the block singular. order: position -> old index, rewritten; glued[k] says that position
// k must stay in the block of position k - 1.
void pair_multipliers(const Graph& g, std::vector<PetscInt>* order, std::vector<char>* glued) {
    const size_t n = order->size();
    std::vector<int> partner(n, -1);  // variable -> its multiplier
    std::vector<char> paired(n, 0);   // the multiplier has a partner
    for (const PetscInt m : *order) {
        if (g.has_diagonal[static_cast<size_t>(m)]) {
            continue;
        }
        int best      = -1;
        double weight = 0.0;
        for (const auto& [j, v] : g.next[static_cast<size_t>(m)]) {
            if (g.has_diagonal[static_cast<size_t>(j)] && partner[static_cast<size_t>(j)] < 0 &&
                std::fabs(v) > weight) {
                best   = j;
                weight = std::fabs(v);
            }
        }
        if (best >= 0) {
            partner[static_cast<size_t>(best)] = static_cast<int>(m);
            paired[static_cast<size_t>(m)]     = 1;
        }
    }
    std::vector<PetscInt> paired_order;
    paired_order.reserve(n);
    glued->assign(n, 0);
    for (const PetscInt i : *order) {
        if (paired[static_cast<size_t>(i)]) {
            continue;  // placed behind its partner
        }
        paired_order.push_back(i);
        if (const int m = partner[static_cast<size_t>(i)]; m >= 0) {
            (*glued)[paired_order.size()] = 1;
            paired_order.push_back(m);
        }
    }
    *order = std::move(paired_order);
}

// The ordering of the unknowns before they are dealt to the ranks in consecutive blocks:
// newpos[old] = new index. A saddle-point matrix numbered field by field ([velocities;
// pressures]) would give a rank only multipliers, a zero block; a bandwidth-reducing ordering
// (-order rcm, the default on several ranks) deals out slabs of the domain with all their
// fields. -order natural keeps the numbering; any other PETSc ordering name (nd, qmd, ...) works.
// Then (-pair 1, the default with an ordering) every multiplier follows a variable it is coupled
// to (pair_multipliers), and *local receives this rank's number of rows: blocks of about equal
// size that do not separate a pair.
PetscErrorCode ordering(const UpperMatrix& A, PetscMPIInt ranks, PetscMPIInt rank,
                        std::vector<PetscInt>* newpos, PetscInt* local) {
    PetscFunctionBeginUser;
    char type[64]   = "rcm";
    PetscBool given = PETSC_FALSE, pair = PETSC_TRUE;
    PetscCall(PetscOptionsGetString(nullptr, nullptr, "-order", type, sizeof type, &given));
    PetscCall(PetscOptionsGetBool(nullptr, nullptr, "-pair", &pair, nullptr));
    newpos->resize(static_cast<size_t>(A.n));
    for (int i = 0; i < A.n; ++i) {
        (*newpos)[static_cast<size_t>(i)] = i;
    }
    *local = PETSC_DECIDE;
    if ((ranks == 1 && !given) || std::strcmp(type, "natural") == 0) {
        PetscFunctionReturn(0);
    }
    // The graph on this process alone (every rank computes the same ordering).
    std::vector<PetscInt> count(static_cast<size_t>(A.n), 0);
    for (int i = 0; i < A.n; ++i) {
        for (int k = A.ia[static_cast<size_t>(i)] - 1; k < A.ia[static_cast<size_t>(i) + 1] - 1;
             ++k) {
            const int j = A.ja[static_cast<size_t>(k)] - 1;
            count[static_cast<size_t>(i)] += 1;
            count[static_cast<size_t>(j)] += j != i ? 1 : 0;
        }
    }
    Mat G = nullptr;
    PetscCall(MatCreateSeqAIJ(PETSC_COMM_SELF, A.n, A.n, 0, count.data(), &G));
    for (int i = 0; i < A.n; ++i) {
        for (int k = A.ia[static_cast<size_t>(i)] - 1; k < A.ia[static_cast<size_t>(i) + 1] - 1;
             ++k) {
            const PetscInt j = A.ja[static_cast<size_t>(k)] - 1;
            PetscCall(MatSetValue(G, i, j, 1.0, INSERT_VALUES));
            PetscCall(MatSetValue(G, j, i, 1.0, INSERT_VALUES));
        }
    }
    PetscCall(MatAssemblyBegin(G, MAT_FINAL_ASSEMBLY));
    PetscCall(MatAssemblyEnd(G, MAT_FINAL_ASSEMBLY));
    IS rows = nullptr, cols = nullptr;
    PetscCall(MatGetOrdering(G, type, &rows, &cols));
    const PetscInt* old = nullptr;  // old[k]: the unknown that goes to position k
    PetscCall(ISGetIndices(rows, &old));
    std::vector<PetscInt> order(old, old + A.n);
    PetscCall(ISRestoreIndices(rows, &old));
    PetscCall(ISDestroy(&rows));
    PetscCall(ISDestroy(&cols));
    PetscCall(MatDestroy(&G));
    std::vector<char> glued(static_cast<size_t>(A.n), 0);
    if (pair) {
        pair_multipliers(graph_of(A), &order, &glued);
    }
    for (PetscInt k = 0; k < A.n; ++k) {
        (*newpos)[static_cast<size_t>(order[static_cast<size_t>(k)])] = k;
    }
    // Cuts near r n / ranks, moved past a glued position.
    auto cut = [&](PetscMPIInt r) {
        auto c = static_cast<PetscInt>(static_cast<long long>(A.n) * r / ranks);
        while (c > 0 && c < A.n && glued[static_cast<size_t>(c)]) {
            ++c;
        }
        return c;
    };
    *local = cut(rank + 1) - cut(rank);
    PetscFunctionReturn(0);
}

// The rows [first, last) of the symmetric matrix whose upper triangle A holds, renumbered by
// newpos, as an AIJ matrix of PETSc with exact preallocation.
PetscErrorCode assemble(const UpperMatrix& A, const std::vector<PetscInt>& newpos, PetscInt local,
                        Mat* M) {
    PetscFunctionBeginUser;
    PetscInt first = 0, last = 0;
    PetscCall(MatCreate(PETSC_COMM_WORLD, M));
    PetscCall(MatSetSizes(*M, local, local, A.n, A.n));
    PetscCall(MatSetType(*M, MATAIJ));
    PetscCall(MatSetUp(*M));  // the layout only; preallocation follows
    PetscCall(MatGetOwnershipRange(*M, &first, &last));
    // Full rows of the owned range: the upper triangle's rows and the mirrored entries.
    const auto owned = static_cast<size_t>(last - first);
    std::vector<std::vector<std::pair<PetscInt, double>>> rows(owned);
    for (int i = 0; i < A.n; ++i) {
        for (int k = A.ia[static_cast<size_t>(i)] - 1; k < A.ia[static_cast<size_t>(i) + 1] - 1;
             ++k) {
            const PetscInt pi = newpos[static_cast<size_t>(i)];
            const PetscInt pj = newpos[static_cast<size_t>(A.ja[static_cast<size_t>(k)] - 1)];
            const double v    = A.a[static_cast<size_t>(k)];
            if (pi >= first && pi < last) {
                rows[static_cast<size_t>(pi - first)].push_back({pj, v});
            }
            if (pj != pi && pj >= first && pj < last) {
                rows[static_cast<size_t>(pj - first)].push_back({pi, v});
            }
        }
    }
    std::vector<PetscInt> diag(owned, 0), off(owned, 0);
    for (size_t r = 0; r < owned; ++r) {
        for (const auto& [j, v] : rows[r]) {
            (j >= first && j < last ? diag[r] : off[r]) += 1;
        }
    }
    PetscCall(MatSeqAIJSetPreallocation(*M, 0, diag.data()));
    PetscCall(MatMPIAIJSetPreallocation(*M, 0, diag.data(), 0, off.data()));
    for (size_t r = 0; r < owned; ++r) {
        const PetscInt i = first + static_cast<PetscInt>(r);
        for (const auto& [j, v] : rows[r]) {
            PetscCall(MatSetValue(*M, i, j, v, INSERT_VALUES));
        }
    }
    PetscCall(MatAssemblyBegin(*M, MAT_FINAL_ASSEMBLY));
    PetscCall(MatAssemblyEnd(*M, MAT_FINAL_ASSEMBLY));
    PetscFunctionReturn(0);
}

// The defaults described above, for options the user did not give.
PetscErrorCode default_solver(KSP ksp, PetscMPIInt ranks) {
    PC pc = nullptr;
    PetscFunctionBeginUser;
    PetscCall(KSPGetPC(ksp, &pc));
    PetscCall(KSPSetTolerances(ksp, 1e-6, 0.0, PETSC_DEFAULT, 1000));
    if (ranks == 1) {
        PetscCall(KSPSetType(ksp, KSPSQMR));
        PetscCall(PCSetType(pc, PCTRELVAK));
    } else {
        PetscCall(KSPSetType(ksp, KSPGMRES));
        PetscCall(KSPGMRESSetRestart(ksp, 50));
        PetscCall(KSPSetPCSide(ksp, PC_RIGHT));
        PetscCall(PCSetType(pc, PCBJACOBI));
        PetscBool given = PETSC_FALSE;
        PetscCall(PetscOptionsHasName(nullptr, nullptr, "-sub_pc_type", &given));
        if (!given) {
            PetscCall(PetscOptionsSetValue(nullptr, "-sub_pc_type", PCTRELVAK));
        }
    }
    PetscFunctionReturn(0);
}

double peak_memory_mb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

PetscErrorCode run() {
    PetscMPIInt ranks = 1;
    PetscFunctionBeginUser;
    PetscCallMPI(MPI_Comm_size(PETSC_COMM_WORLD, &ranks));
    UpperMatrix upper;
    std::string name, message;
    const bool loaded = load(&upper, &name, &message);
    PetscCheck(loaded, PETSC_COMM_WORLD, PETSC_ERR_FILE_OPEN, "%s", message.c_str());

    Mat A = nullptr;
    Vec x = nullptr, b = nullptr, r = nullptr;
    KSP ksp          = nullptr;
    PetscMPIInt rank = 0;
    PetscCallMPI(MPI_Comm_rank(PETSC_COMM_WORLD, &rank));
    std::vector<PetscInt> newpos;
    PetscInt local = PETSC_DECIDE;
    PetscCall(ordering(upper, ranks, rank, &newpos, &local));
    PetscCall(assemble(upper, newpos, local, &A));
    upper = UpperMatrix{};  // the rows are in A now
    PetscCall(MatCreateVecs(A, &x, &b));
    PetscCall(VecDuplicate(b, &r));
    PetscCall(VecSet(x, 1.0));
    PetscCall(MatMult(A, x, b));
    PetscCall(VecSet(x, 0.0));

    PetscCall(KSPCreate(PETSC_COMM_WORLD, &ksp));
    PetscCall(KSPSetOperators(ksp, A, A));
    PetscCall(default_solver(ksp, ranks));
    PetscCall(KSPSetFromOptions(ksp));

    const double t0 = now();
    PetscCall(KSPSetUp(ksp));
    PetscCall(KSPSetUpOnBlocks(ksp));
    const double t1 = now();
    PetscCall(KSPSolve(ksp, b, x));
    const double t2 = now();

    PetscInt its = 0;
    KSPConvergedReason reason;
    PetscCall(KSPGetIterationNumber(ksp, &its));
    PetscCall(KSPGetConvergedReason(ksp, &reason));
    PetscCall(MatMult(A, x, r));
    PetscCall(VecAYPX(r, -1.0, b));
    PetscReal nr = 0, nb = 0;
    PetscCall(VecNorm(r, NORM_2, &nr));
    PetscCall(VecNorm(b, NORM_2, &nb));
    double setup = t1 - t0, solve = t2 - t1, memory = peak_memory_mb();
    double mine[3] = {setup, solve, memory}, most[3] = {0, 0, 0};
    PetscCallMPI(MPI_Allreduce(mine, most, 3, MPI_DOUBLE, MPI_MAX, PETSC_COMM_WORLD));

    KSPType ktype = nullptr;
    PCType ptype  = nullptr;
    PC pc         = nullptr;
    PetscCall(KSPGetType(ksp, &ktype));
    PetscCall(KSPGetPC(ksp, &pc));
    PetscCall(PCGetType(pc, &ptype));
    PetscInt n = 0;
    PetscCall(MatGetSize(A, &n, nullptr));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD, "matrix     %s, n = %" PetscInt_FMT ", %d rank%s\n",
                          name.c_str(), n, ranks, ranks == 1 ? "" : "s"));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD,
                          "solver     %s + %s: %s after %" PetscInt_FMT " iterations\n", ktype,
                          ptype, KSPConvergedReasons[reason], its));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD, "residual   ||b - A x|| / ||b|| = %.3e\n",
                          static_cast<double>(nr / nb)));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD,
                          "time       set-up %.3f s, solve %.3f s (slowest rank)\n", most[0],
                          most[1]));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD, "memory     %.1f MB peak resident (largest rank)\n",
                          most[2]));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD,
                          "result: ranks=%d n=%" PetscInt_FMT " iterations=%" PetscInt_FMT
                          " reason=%d relres=%.3e setup=%.4f solve=%.4f peak_mb=%.1f\n",
                          ranks, n, its, static_cast<int>(reason), static_cast<double>(nr / nb),
                          most[0], most[1], most[2]));
    PetscCall(KSPDestroy(&ksp));
    PetscCall(VecDestroy(&r));
    PetscCall(VecDestroy(&b));
    PetscCall(VecDestroy(&x));
    PetscCall(MatDestroy(&A));
    PetscFunctionReturn(0);
}

}  // namespace

int main(int argc, char** argv) {
    PetscCall(PetscInitialize(&argc, &argv, nullptr,
                              "Solves A x = A*ones with PETSc and TRELVAK; see README.md.\n"));
    PetscCall(TrelvakPetscRegister());
    PetscCall(run());
    PetscCall(PetscFinalize());
    return 0;
}
