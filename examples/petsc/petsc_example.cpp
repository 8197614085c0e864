// petsc_example.cpp: solving a sparse symmetric indefinite system with PETSc and TRELVAK on one
// or several MPI ranks.
//
//   mpiexec -n <ranks> trelvak_petsc_example [-f matrix.mtx | -family stokes|kkt|qp|helmholtz
//                                            -size N] [-order rcm|natural|nd|...] [-pair 0|1]
//                                            [-partition metis|none] [-refactor delta]
//                                            [-store_zero_diagonal]
//                                            [PETSc options]
//
// Every rank reads the file (or generates the problem), orders the unknowns and splits them
// into the ranks' blocks (-order, -pair, -partition, see ordering()) and assembles its own rows
// of an AIJ matrix; the right-hand side is b = A*ones. With -refactor delta every value is then
// changed by a factor in [1 - delta, 1 + delta] (the pattern kept) and the system solved again,
// which makes PETSc set the preconditioner up again; the second set-up time and whether the
// trelvak preconditioner took level 1's ordering over are printed too.
// Without solver options it runs the package's symmetric QMR with the trelvak preconditioner on one
// rank, and right-preconditioned GMRES with block Jacobi over trelvak blocks on several ranks; any
// PETSc option changes that (-ksp_type, -pc_type, -sub_pc_type, -pc_trelvak_droptol, ...). Prints
// the iterations, the converged reason, the true relative residual ||b - A x|| / ||b||, the set-up
// and solve times and the largest resident memory of a rank, and a last line "result: key=value
// ..." for scripts.
#include <metis.h>
#include <petscksp.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
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

// For every row with a zero diagonal entry (a multiplier), a row it is coupled to that has a
// nonzero one (a variable), picked greedily along `order`, the largest coupling first; each
// variable takes at most one multiplier. Returns partner[multiplier] = variable, -1 elsewhere.
std::vector<int> match_multipliers(const Graph& g, const std::vector<PetscInt>& order) {
    const size_t n = order.size();
    std::vector<int> partner(n, -1);
    std::vector<char> taken(n, 0);  // the variable has a multiplier
    for (const PetscInt m : order) {
        if (g.has_diagonal[static_cast<size_t>(m)]) {
            continue;
        }
        int best      = -1;
        double weight = 0.0;
        for (const auto& [j, v] : g.next[static_cast<size_t>(m)]) {
            if (g.has_diagonal[static_cast<size_t>(j)] && !taken[static_cast<size_t>(j)] &&
                std::fabs(v) > weight) {
                best   = j;
                weight = std::fabs(v);
            }
        }
        if (best >= 0) {
            partner[static_cast<size_t>(m)]  = best;
            taken[static_cast<size_t>(best)] = 1;
        }
    }
    return partner;
}

// Keeps every multiplier directly behind its partner (match_multipliers), so that a block of
// consecutive rows does not hold a multiplier without a variable of its own, which makes the
// block singular. order: position -> old index, rewritten; glued[k] says that position k must
// stay in the block of position k - 1.
void pair_multipliers(const std::vector<int>& partner, std::vector<PetscInt>* order,
                      std::vector<char>* glued) {
    const size_t n = order->size();
    std::vector<int> follower(n, -1);  // variable -> its multiplier
    for (size_t m = 0; m < n; ++m) {
        if (partner[m] >= 0) {
            follower[static_cast<size_t>(partner[m])] = static_cast<int>(m);
        }
    }
    std::vector<PetscInt> paired_order;
    paired_order.reserve(n);
    glued->assign(n, 0);
    for (const PetscInt i : *order) {
        if (partner[static_cast<size_t>(i)] >= 0) {
            continue;  // placed behind its partner
        }
        paired_order.push_back(i);
        if (const int m = follower[static_cast<size_t>(i)]; m >= 0) {
            (*glued)[paired_order.size()] = 1;
            paired_order.push_back(m);
        }
    }
    *order = std::move(paired_order);
}

// A graph partition of the unknowns into `parts` parts with METIS (multilevel k-way, edge cut
// minimised, parts balanced in unknowns to 3 %), computed on rank 0 and sent to the others.
// Every multiplier is merged with its partner into one vertex of weight 2 first, so that the
// two always share a part; an edge weighs the number of couplings between its vertices. Prints
// the share of the couplings cut. Returns part[old index].
PetscErrorCode graph_partition(const Graph& g, const std::vector<int>& partner, int parts,
                               std::vector<int>* part) {
    PetscFunctionBeginUser;
    const int n = static_cast<int>(g.next.size());
    part->assign(static_cast<size_t>(n), 0);
    PetscMPIInt rank = 0;
    PetscCallMPI(MPI_Comm_rank(PETSC_COMM_WORLD, &rank));
    if (rank == 0) {
        // Vertex of each unknown: a multiplier shares its partner's.
        std::vector<idx_t> vertex(static_cast<size_t>(n), -1);
        idx_t count = 0;
        for (int i = 0; i < n; ++i) {
            if (partner[static_cast<size_t>(i)] < 0) {
                vertex[static_cast<size_t>(i)] = count++;
            }
        }
        for (int i = 0; i < n; ++i) {
            if (const int v = partner[static_cast<size_t>(i)]; v >= 0) {
                vertex[static_cast<size_t>(i)] = vertex[static_cast<size_t>(v)];
            }
        }
        std::vector<std::vector<std::pair<idx_t, idx_t>>> next(static_cast<size_t>(count));
        std::vector<idx_t> weight(static_cast<size_t>(count), 0);
        for (int i = 0; i < n; ++i) {
            const idx_t vi = vertex[static_cast<size_t>(i)];
            weight[static_cast<size_t>(vi)] += 1;
            for (const auto& [j, value] : g.next[static_cast<size_t>(i)]) {
                if (const idx_t vj = vertex[static_cast<size_t>(j)]; vj != vi) {
                    next[static_cast<size_t>(vi)].push_back({vj, 1});
                }
            }
        }
        std::vector<idx_t> xadj(1, 0), adjncy, adjwgt;
        for (auto& list : next) {
            std::sort(list.begin(), list.end());
            for (size_t k = 0; k < list.size(); ++k) {
                if (k > 0 && list[k].first == list[k - 1].first) {
                    adjwgt.back() += list[k].second;  // a pair's two rows reach the same vertex
                    continue;
                }
                adjncy.push_back(list[k].first);
                adjwgt.push_back(list[k].second);
            }
            xadj.push_back(static_cast<idx_t>(adjncy.size()));
        }
        idx_t options[METIS_NOPTIONS];
        METIS_SetDefaultOptions(options);
        options[METIS_OPTION_SEED] = 1;
        idx_t ncon = 1, nparts = parts, cut = 0;
        std::vector<idx_t> vpart(static_cast<size_t>(count), 0);
        if (count > parts) {
            const int status = METIS_PartGraphKway(&count, &ncon, xadj.data(), adjncy.data(),
                                                   weight.data(), nullptr, adjwgt.data(), &nparts,
                                                   nullptr, nullptr, options, &cut, vpart.data());
            PetscCheck(status == METIS_OK, PETSC_COMM_SELF, PETSC_ERR_LIB,
                       "METIS_PartGraphKway failed (status %d)", status);
        }
        long couplings = 0, cut_couplings = 0;
        for (int i = 0; i < n; ++i) {
            (*part)[static_cast<size_t>(i)] =
                static_cast<int>(vpart[static_cast<size_t>(vertex[static_cast<size_t>(i)])]);
        }
        for (int i = 0; i < n; ++i) {
            for (const auto& [j, value] : g.next[static_cast<size_t>(i)]) {
                couplings += 1;
                cut_couplings += (*part)[static_cast<size_t>(i)] != (*part)[static_cast<size_t>(j)];
            }
        }
        PetscCall(PetscPrintf(PETSC_COMM_SELF,
                              "partition  METIS k-way into %d parts: %ld of %ld couplings cut "
                              "(%.1f %%)\n",
                              parts, cut_couplings / 2, couplings / 2,
                              100.0 * static_cast<double>(cut_couplings) /
                                  static_cast<double>(std::max(couplings, 1L))));
    }
    PetscCallMPI(MPI_Bcast(part->data(), n, MPI_INT, 0, PETSC_COMM_WORLD));
    PetscFunctionReturn(0);
}

// The ordering of the unknowns before they are dealt to the ranks in consecutive blocks:
// newpos[old] = new index. A saddle-point matrix numbered field by field ([velocities;
// pressures]) would give a rank only multipliers, a zero block; a bandwidth-reducing ordering
// (-order rcm, the default on several ranks) deals out slabs of the domain with all their
// fields. -order natural keeps the numbering; any other PETSc ordering name (nd, qmd, ...) works.
// Then (-pair 1, the default with an ordering) every multiplier follows a variable it is coupled
// to (pair_multipliers). On several ranks (-partition metis, the default there) the blocks are
// the parts of a graph partition (graph_partition), each keeping the order above; with
// -partition none they are cuts of that order into blocks of about equal size that do not
// separate a pair. *local receives this rank's number of rows.
PetscErrorCode ordering(const UpperMatrix& A, PetscMPIInt ranks, PetscMPIInt rank,
                        std::vector<PetscInt>* newpos, PetscInt* local) {
    PetscFunctionBeginUser;
    char type[64]   = "rcm";
    char split[64]  = "metis";
    PetscBool given = PETSC_FALSE, pair = PETSC_TRUE;
    PetscCall(PetscOptionsGetString(nullptr, nullptr, "-order", type, sizeof type, &given));
    PetscCall(PetscOptionsGetBool(nullptr, nullptr, "-pair", &pair, nullptr));
    PetscCall(PetscOptionsGetString(nullptr, nullptr, "-partition", split, sizeof split, nullptr));
    const bool partition = ranks > 1 && std::strcmp(split, "none") != 0;
    PetscCheck(!partition || std::strcmp(split, "metis") == 0, PETSC_COMM_WORLD,
               PETSC_ERR_ARG_OUTOFRANGE, "-partition takes metis or none, not %s", split);
    newpos->resize(static_cast<size_t>(A.n));
    for (int i = 0; i < A.n; ++i) {
        (*newpos)[static_cast<size_t>(i)] = i;
    }
    *local = PETSC_DECIDE;
    if ((ranks == 1 && !given) || (std::strcmp(type, "natural") == 0 && !partition)) {
        PetscFunctionReturn(0);
    }
    std::vector<PetscInt> order(static_cast<size_t>(A.n));
    for (int i = 0; i < A.n; ++i) {
        order[static_cast<size_t>(i)] = i;
    }
    if (std::strcmp(type, "natural") != 0) {
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
        order.assign(old, old + A.n);
        PetscCall(ISRestoreIndices(rows, &old));
        PetscCall(ISDestroy(&rows));
        PetscCall(ISDestroy(&cols));
        PetscCall(MatDestroy(&G));
    }
    std::vector<char> glued(static_cast<size_t>(A.n), 0);
    const Graph g = pair || partition ? graph_of(A) : Graph{};
    const std::vector<int> match =
        pair ? match_multipliers(g, order) : std::vector<int>(static_cast<size_t>(A.n), -1);
    if (pair) {
        pair_multipliers(match, &order, &glued);
    }
    if (partition) {
        // Part by part, each in the order above (a pair stays adjacent: it shares its part).
        std::vector<int> part;
        PetscCall(graph_partition(g, match, ranks, &part));
        std::vector<PetscInt> by_part;
        by_part.reserve(order.size());
        PetscInt mine = 0;
        for (int p = 0; p < ranks; ++p) {
            const size_t before = by_part.size();
            for (const PetscInt i : order) {
                if (part[static_cast<size_t>(i)] == p) {
                    by_part.push_back(i);
                }
            }
            if (p == rank) {
                mine = static_cast<PetscInt>(by_part.size() - before);
            }
        }
        order  = std::move(by_part);
        *local = mine;
    }
    for (PetscInt k = 0; k < A.n; ++k) {
        (*newpos)[static_cast<size_t>(order[static_cast<size_t>(k)])] = k;
    }
    if (partition) {
        PetscFunctionReturn(0);
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

// The value of entry (i, j), 0-based old indices, after -refactor delta: a (1 + delta h) with h
// in [-1, 1] a hash of the unordered pair, so the matrix stays symmetric and zeros stay zero.
double revalued(int i, int j, double a, double delta) {
    if (delta == 0.0) {
        return a;
    }
    std::uint64_t z = (static_cast<std::uint64_t>(std::min(i, j)) << 32) ^
                      static_cast<std::uint64_t>(std::max(i, j)) ^ 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    const double h = static_cast<double>(z >> 11) * 0x1.0p-53 * 2.0 - 1.0;
    return a * (1.0 + delta * h);
}

// The rows [first, last) of the symmetric matrix whose upper triangle A holds, renumbered by
// newpos, as an AIJ matrix of PETSc with exact preallocation; every value revalued by delta.
// With *M already made from the same A and newpos, only its values are replaced (same pattern).
// -store_zero_diagonal stores an explicit zero where a row has no diagonal entry (PETSc's ILU
// needs one in every row; with -sub_pc_factor_shift_type nonzero it then runs on saddle points).
PetscErrorCode assemble(const UpperMatrix& A, const std::vector<PetscInt>& newpos, PetscInt local,
                        double delta, Mat* M) {
    PetscFunctionBeginUser;
    PetscInt first = 0, last = 0;
    const bool fresh = *M == nullptr;
    if (fresh) {
        PetscCall(MatCreate(PETSC_COMM_WORLD, M));
        PetscCall(MatSetSizes(*M, local, local, A.n, A.n));
        PetscCall(MatSetType(*M, MATAIJ));
        PetscCall(MatSetUp(*M));  // the layout only; preallocation follows
    }
    PetscCall(MatGetOwnershipRange(*M, &first, &last));
    // Full rows of the owned range: the upper triangle's rows and the mirrored entries.
    const auto owned = static_cast<size_t>(last - first);
    std::vector<std::vector<std::pair<PetscInt, double>>> rows(owned);
    for (int i = 0; i < A.n; ++i) {
        for (int k = A.ia[static_cast<size_t>(i)] - 1; k < A.ia[static_cast<size_t>(i) + 1] - 1;
             ++k) {
            const int j       = A.ja[static_cast<size_t>(k)] - 1;
            const PetscInt pi = newpos[static_cast<size_t>(i)];
            const PetscInt pj = newpos[static_cast<size_t>(j)];
            const double v    = revalued(i, j, A.a[static_cast<size_t>(k)], delta);
            if (pi >= first && pi < last) {
                rows[static_cast<size_t>(pi - first)].push_back({pj, v});
            }
            if (pj != pi && pj >= first && pj < last) {
                rows[static_cast<size_t>(pj - first)].push_back({pi, v});
            }
        }
    }
    PetscBool zero_diagonal = PETSC_FALSE;  // -store_zero_diagonal
    PetscCall(
        PetscOptionsGetBool(nullptr, nullptr, "-store_zero_diagonal", &zero_diagonal, nullptr));
    for (size_t r = 0; zero_diagonal && r < owned; ++r) {
        const PetscInt i = first + static_cast<PetscInt>(r);
        if (std::none_of(rows[r].begin(), rows[r].end(),
                         [i](const auto& e) { return e.first == i; })) {
            rows[r].push_back({i, 0.0});
        }
    }
    if (fresh) {
        std::vector<PetscInt> diag(owned, 0), off(owned, 0);
        for (size_t r = 0; r < owned; ++r) {
            for (const auto& [j, v] : rows[r]) {
                (j >= first && j < last ? diag[r] : off[r]) += 1;
            }
        }
        PetscCall(MatSeqAIJSetPreallocation(*M, 0, diag.data()));
        PetscCall(MatMPIAIJSetPreallocation(*M, 0, diag.data(), 0, off.data()));
    }
    for (size_t r = 0; r < owned; ++r) {
        const PetscInt i = first + static_cast<PetscInt>(r);
        for (const auto& [j, v] : rows[r]) {
            PetscCall(MatSetValue(*M, i, j, v, INSERT_VALUES));
        }
    }
    PetscCall(MatAssemblyBegin(*M, MAT_FINAL_ASSEMBLY));
    PetscCall(MatAssemblyEnd(*M, MAT_FINAL_ASSEMBLY));
    PetscCall(MatSetOption(*M, MAT_NEW_NONZERO_LOCATION_ERR, PETSC_TRUE));
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

// The matrix, the vectors and the solver of a run.
struct System {
    Mat A = nullptr;
    Vec x = nullptr, b = nullptr, r = nullptr;
    KSP ksp = nullptr;
    PC pc   = nullptr;
};

// How the unknowns are dealt to the ranks: newpos[old] = new index, and this rank's number of rows.
struct Layout {
    std::vector<PetscInt> newpos;
    PetscInt local = PETSC_DECIDE;
};

// Orders the unknowns and splits them into the ranks' blocks (ordering), and assembles this
// rank's rows into *A. Reads -refactor into *delta and *again; without it the upper triangle is
// freed.
PetscErrorCode distribute(PetscMPIInt ranks, UpperMatrix* upper, Layout* layout, PetscReal* delta,
                          PetscBool* again, Mat* A) {
    PetscFunctionBeginUser;
    PetscMPIInt rank = 0;
    PetscCallMPI(MPI_Comm_rank(PETSC_COMM_WORLD, &rank));
    PetscCall(ordering(*upper, ranks, rank, &layout->newpos, &layout->local));
    PetscCall(assemble(*upper, layout->newpos, layout->local, 0.0, A));
    // -refactor: solve again after new values of the same pattern
    PetscCall(PetscOptionsGetReal(nullptr, nullptr, "-refactor", delta, again));
    if (!*again) {
        *upper = UpperMatrix{};  // the rows are in A now
    }
    PetscFunctionReturn(0);
}

// The vectors and the solver of s->A: the defaults (default_solver), then PETSc's options.
PetscErrorCode make_solver(PetscMPIInt ranks, System* s) {
    PetscFunctionBeginUser;
    PetscCall(MatCreateVecs(s->A, &s->x, &s->b));
    PetscCall(VecDuplicate(s->b, &s->r));

    PetscCall(KSPCreate(PETSC_COMM_WORLD, &s->ksp));
    PetscCall(KSPSetOperators(s->ksp, s->A, s->A));
    PetscCall(default_solver(s->ksp, ranks));
    PetscCall(KSPSetFromOptions(s->ksp));
    PetscCall(KSPGetPC(s->ksp, &s->pc));
    PetscFunctionReturn(0);
}

struct Outcome {
    PetscInt its = 0;
    KSPConvergedReason reason{};
    double relres = 0.0, setup = 0.0, solve = 0.0;
};

// One solve of A x = A*ones from x = 0: set-up (factorization) and solve timed apart.
PetscErrorCode solve_once(const System& s, Outcome* o) {
    PetscFunctionBeginUser;
    PetscCall(VecSet(s.x, 1.0));
    PetscCall(MatMult(s.A, s.x, s.b));
    PetscCall(VecSet(s.x, 0.0));
    const double t0 = now();
    PetscCall(KSPSetUp(s.ksp));
    PetscCall(PCSetUp(s.pc));  // again after new values: KSPSetUp leaves that to the solve
    PetscCall(KSPSetUpOnBlocks(s.ksp));
    const double t1 = now();
    PetscCall(KSPSolve(s.ksp, s.b, s.x));
    const double t2 = now();
    PetscCall(KSPGetIterationNumber(s.ksp, &o->its));
    PetscCall(KSPGetConvergedReason(s.ksp, &o->reason));
    PetscCall(MatMult(s.A, s.x, s.r));
    PetscCall(VecAYPX(s.r, -1.0, s.b));
    PetscReal nr = 0, nb = 0;
    PetscCall(VecNorm(s.r, NORM_2, &nr));
    PetscCall(VecNorm(s.b, NORM_2, &nb));
    o->relres   = static_cast<double>(nr / nb);
    double t[2] = {t1 - t0, t2 - t1}, most[2] = {0, 0};
    PetscCallMPI(MPI_Allreduce(t, most, 2, MPI_DOUBLE, MPI_MAX, PETSC_COMM_WORLD));
    o->setup = most[0];
    o->solve = most[1];
    PetscFunctionReturn(0);
}

// The largest peak resident memory of a rank, in MB.
PetscErrorCode largest_peak_memory(double* most_memory) {
    PetscFunctionBeginUser;
    double memory = peak_memory_mb();
    *most_memory  = 0.0;
    PetscCallMPI(MPI_Allreduce(&memory, most_memory, 1, MPI_DOUBLE, MPI_MAX, PETSC_COMM_WORLD));
    PetscFunctionReturn(0);
}

// The lines on the matrix, the solver and the first solve.
PetscErrorCode print_first(const System& s, const std::string& name, PetscMPIInt ranks, PetscInt n,
                           const Outcome& first, double most_memory) {
    PetscFunctionBeginUser;
    KSPType ktype = nullptr;
    PCType ptype  = nullptr;
    PetscCall(KSPGetType(s.ksp, &ktype));
    PetscCall(PCGetType(s.pc, &ptype));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD, "matrix     %s, n = %" PetscInt_FMT ", %d rank%s\n",
                          name.c_str(), n, ranks, ranks == 1 ? "" : "s"));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD,
                          "solver     %s + %s: %s after %" PetscInt_FMT " iterations\n", ktype,
                          ptype, KSPConvergedReasons[first.reason], first.its));
    PetscCall(
        PetscPrintf(PETSC_COMM_WORLD, "residual   ||b - A x|| / ||b|| = %.3e\n", first.relres));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD,
                          "time       set-up %.3f s, solve %.3f s (slowest rank)\n", first.setup,
                          first.solve));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD, "memory     %.1f MB peak resident (largest rank)\n",
                          most_memory));
    PetscFunctionReturn(0);
}

// Whether this rank's trelvak (itself or its first block of block Jacobi or ASM) took level 1's
// ordering over, combined over the ranks: *all = 1 when every rank's did, else 0 (also when a rank
// has no trelvak).
PetscErrorCode ordering_taken_over(PC pc, int* all) {
    PetscFunctionBeginUser;
    PC mine              = pc;
    PetscBool is_bjacobi = PETSC_FALSE, is_trelvak = PETSC_FALSE;
    PetscCall(PetscObjectTypeCompare(reinterpret_cast<PetscObject>(pc), PCBJACOBI, &is_bjacobi));
    PetscBool is_asm = PETSC_FALSE;
    PetscCall(PetscObjectTypeCompare(reinterpret_cast<PetscObject>(pc), PCASM, &is_asm));
    if (is_bjacobi || is_asm) {
        KSP* sub       = nullptr;
        PetscInt count = 0;
        if (is_bjacobi) {
            PetscCall(PCBJacobiGetSubKSP(pc, &count, nullptr, &sub));
        } else {
            PetscCall(PCASMGetSubKSP(pc, &count, nullptr, &sub));
        }
        PetscCall(KSPGetPC(sub[0], &mine));
    }
    PetscCall(PetscObjectTypeCompare(reinterpret_cast<PetscObject>(mine), PCTRELVAK, &is_trelvak));
    int reused = 0;
    *all       = 0;
    if (is_trelvak) {
        PCTrelvakInfo info{};
        PetscCall(PCTrelvakGetInfo(mine, &info));
        reused = info.ordering_reused ? 1 : 0;
    }
    PetscCallMPI(MPI_Allreduce(&reused, all, 1, MPI_INT, MPI_MIN, PETSC_COMM_WORLD));
    PetscFunctionReturn(0);
}

// -refactor delta: every value revalued, the system solved again and its line printed;
// *fields receives the keys the second solve adds to the result line.
PetscErrorCode solve_revalued(const UpperMatrix& upper, const Layout& layout, PetscReal delta,
                              System* s, std::string* fields) {
    PetscFunctionBeginUser;
    // New values, same pattern: PETSc sets the preconditioner up again.
    PetscCall(assemble(upper, layout.newpos, layout.local, delta, &s->A));
    Outcome second;
    PetscCall(solve_once(*s, &second));
    int all = 0;
    PetscCall(ordering_taken_over(s->pc, &all));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD,
                          "refactor   values x (1 +- %g): set-up %.3f s, solve %.3f s, %s "
                          "after %" PetscInt_FMT " iterations, residual %.3e; level 1 "
                          "ordering %s\n",
                          static_cast<double>(delta), second.setup, second.solve,
                          KSPConvergedReasons[second.reason], second.its, second.relres,
                          all ? "taken over" : "made afresh"));
    char text[256];
    std::snprintf(text, sizeof text,
                  " setup2=%.4f solve2=%.4f iterations2=%d reason2=%d relres2=%.3e reused=%d",
                  second.setup, second.solve, static_cast<int>(second.its),
                  static_cast<int>(second.reason), second.relres, all);
    *fields = text;
    PetscFunctionReturn(0);
}

// The last line, "result: key=value ...", for scripts; `refactor` holds the second solve's keys.
PetscErrorCode print_result(PetscMPIInt ranks, PetscInt n, const Outcome& first, double most_memory,
                            const std::string& refactor) {
    PetscFunctionBeginUser;
    PetscCall(PetscPrintf(PETSC_COMM_WORLD,
                          "result: ranks=%d n=%" PetscInt_FMT " iterations=%" PetscInt_FMT
                          " reason=%d relres=%.3e setup=%.4f solve=%.4f peak_mb=%.1f%s\n",
                          ranks, n, first.its, static_cast<int>(first.reason), first.relres,
                          first.setup, first.solve, most_memory, refactor.c_str()));
    PetscFunctionReturn(0);
}

PetscErrorCode destroy(System* s) {
    PetscFunctionBeginUser;
    PetscCall(KSPDestroy(&s->ksp));
    PetscCall(VecDestroy(&s->r));
    PetscCall(VecDestroy(&s->b));
    PetscCall(VecDestroy(&s->x));
    PetscCall(MatDestroy(&s->A));
    PetscFunctionReturn(0);
}

PetscErrorCode run() {
    PetscMPIInt ranks = 1;
    PetscFunctionBeginUser;
    PetscCallMPI(MPI_Comm_size(PETSC_COMM_WORLD, &ranks));
    UpperMatrix upper;
    std::string name, message;
    const bool loaded = load(&upper, &name, &message);
    PetscCheck(loaded, PETSC_COMM_WORLD, PETSC_ERR_FILE_OPEN, "%s", message.c_str());

    System s;
    Layout layout;
    PetscReal delta = 0.0;
    PetscBool again = PETSC_FALSE;
    PetscCall(distribute(ranks, &upper, &layout, &delta, &again, &s.A));
    PetscCall(make_solver(ranks, &s));

    Outcome first;
    PetscCall(solve_once(s, &first));
    double most_memory = 0.0;
    PetscCall(largest_peak_memory(&most_memory));
    PetscInt n = 0;
    PetscCall(MatGetSize(s.A, &n, nullptr));
    PetscCall(print_first(s, name, ranks, n, first, most_memory));
    std::string refactor;
    if (again) {
        PetscCall(solve_revalued(upper, layout, delta, &s, &refactor));
    }
    PetscCall(print_result(ranks, n, first, most_memory, refactor));
    PetscCall(destroy(&s));
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
