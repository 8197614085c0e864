// pc_trelvak.cpp: the PETSc preconditioner type "trelvak", the multilevel incomplete L D L^T of
// the package on the matrix of one process.
//
// Set-up converts the preconditioning matrix into the upper triangle, factors it with the PC's
// own parameter record (create_parameters, then the user's -pc_trelvak_<key> options) and keeps
// the level list. PETSc calls set-up again whenever the matrix's values change. Level 1's
// permutation is then taken over from the last factorization when the triangle's pattern is the
// same (see KeptOrdering); everything else is made afresh from the new values.
// Application: the level list approximates the matrix scaled by level 1's row and column scaling
// vectors (Dr A Dc), so for the matrix itself
//     y = M^-1 x = Dc (Dr A Dc)~^-1 Dr x,
// computed in y's own array: y = Dr x, the multilevel solve in place, y = Dc y. The operator is
// symmetric, so its transpose is the same application. Each PC owns its record, whose cycle
// controls the application reads, and its scratch; several PCs live side by side (block Jacobi,
// nested solves) without sharing anything.
#include <petsc/private/pcimpl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/lanes.h"
#include "common/option_checks.h"
#include "factor/factor.h"
#include "internal.h"
#include "precond/precond.h"
#include "solver/solver.h"
#include "trelvak_petsc.h"

namespace trelvak::petsc {
namespace {

// Level 1's fill-reducing ordering, kept from one set-up to the next.
//
// The factorization asks the routine in slot reorder0 for level 1's permutation p and leading
// block nB; it keeps p and nB but not the routine's scaling (it equilibrates the permuted matrix
// itself). During every set-up the PC puts first_level_ordering into that slot. A set-up that
// records calls the routine the options select (the one setup mode puts there) and keeps the
// first p, invq, nB it returns. A set-up for a triangle with the same pattern as the recorded
// one replays them: the routine's work (the graph, the matching and the minimum-degree or
// nested-dissection order of the compressed graph) is skipped, and only a symmetric max-norm
// scaling of the new values is computed, as the slot's contract asks.
//
// What is not reused, because it depends on the values: the scaling (made afresh), the choice
// of 1x1 and 2x2 pivots and the rows level 1 postpones (the factorization decides them on the
// new values; a matched pair of the old values that no longer makes a good 2x2 pivot is only
// adjacent in the order, not forced together), and every coarser level, whose Schur complement
// pattern comes from the dropping and the postponing. The replayed permutation is one the
// factorization accepts for any values of the pattern, so reuse is never wrong, only possibly
// less good than a fresh matching when the values change a lot: -pc_trelvak_reuse_ordering 0
// makes every set-up order afresh.
struct KeptOrdering {
    std::vector<int> ia, ja;  // pattern of the recorded triangle
    std::vector<int> p, invq;
    int nB                 = 0;
    bool valid             = false;    // p, invq, nB belong to the pattern in ia, ja
    bool replay            = false;    // this set-up replays them
    bool recorded          = false;    // this set-up has recorded (the first call of the routine)
    int replays            = 0;        // calls answered from the record during this set-up
    double seconds         = 0.0;      // wall time of the routine when it made the record
    ReorderRoutine routine = nullptr;  // what setup mode selects for level 1 (null: default)

    void forget() {
        ia.clear();
        ja.clear();
        p.clear();
        invq.clear();
        valid = false;
    }
    bool same_pattern(const UpperTriangle& A) const { return valid && A.ia == ia && A.ja == ja; }
};

struct Trelvak {
    ParameterRecord* param = nullptr;
    LevelRecord* levels    = nullptr;
    UpperTriangle matrix;  // during set-up only: the levels keep copies of what they need
    FactorInfo info;
    std::vector<double> scratch;  // the application's work vectors
    int factorizations    = 0;
    double factor_seconds = 0.0;  // wall time of the last set-up (conversion included)
    long applications     = 0;
    double apply_seconds  = 0.0;
    bool unit_empty       = true;  // -pc_trelvak_unit_empty_rows
    int empty_rows        = 0;     // rows without a nonzero entry given a diagonal entry
    bool reuse_ordering   = true;  // -pc_trelvak_reuse_ordering
    KeptOrdering kept;
    bool reused_last    = false;  // the last set-up replayed level 1's ordering
    int ordering_reuses = 0;      // set-ups that replayed it

    ~Trelvak() {
        release_levels(levels);
        if (param != nullptr) {
            release_parameters(param);
        }
    }
};

Trelvak* data_of(PC pc) {
    return static_cast<Trelvak*>(pc->data);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The slot routine has no room for a context but the parameter record, which each PC owns: the
// records of the set-ups running now, with their kept orderings.
std::mutex kept_mutex;
std::map<const ParameterRecord*, KeptOrdering*> kept_by_record;

KeptOrdering* kept_of(const ParameterRecord* param) {
    const std::lock_guard<std::mutex> lock(kept_mutex);
    const auto it = kept_by_record.find(param);
    return it == kept_by_record.end() ? nullptr : it->second;
}

// Level 1's ordering during a set-up (see KeptOrdering).
int first_level_ordering(SparseMatrix A, double* left, double* right, int* p, int* invq, int* nB,
                         ParameterRecord* param) {
    KeptOrdering* k = kept_of(param);
    const int n     = A.nr;
    if (k != nullptr && k->replay && static_cast<int>(k->p.size()) == n) {
        const int rc = factor_detail::factor_default_ordering(A, left, right, p, invq, nB, param);
        if (rc != 0) {
            return rc;
        }
        std::copy(k->p.begin(), k->p.end(), p);
        std::copy(k->invq.begin(), k->invq.end(), invq);
        *nB = k->nB;
        ++k->replays;
        return 0;
    }
    const ReorderRoutine routine =
        k != nullptr && k->routine != nullptr ? k->routine : factor_detail::factor_default_ordering;
    const auto start = std::chrono::steady_clock::now();
    const int rc     = routine(A, left, right, p, invq, nB, param);
    if (rc == 0 && k != nullptr && !k->recorded) {
        k->p.assign(p, p + n);
        k->invq.assign(invq, invq + n);
        k->nB       = *nB;
        k->seconds  = seconds_since(start);
        k->recorded = true;
    }
    return rc;
}

// For the duration of one factorization: the record's level-1 slot holds first_level_ordering
// and its ordering keyword is empty, which makes setup mode (run by the factorization) leave the
// slots as they are; the slots and the keyword setup mode chose are put back afterwards. The
// slots are first filled by setup mode itself, so the later levels and the fallback slot are the
// ones the options select.
class OrderingHook {
public:
    OrderingHook(ParameterRecord* param, KeptOrdering* kept, int n) : param_(param), kept_(kept) {
        SparseMatrix pattern{};
        pattern.nr = pattern.nc = n;
        DSYMAMGsetupparameters(&pattern, param, 0);
        saved_          = {param->reorder0, param->reorder1, param->reorder2};
        ordering_       = param->ordering;
        kept->routine   = param->reorder0;
        kept->recorded  = false;
        kept->replays   = 0;
        param->reorder0 = first_level_ordering;
        param->ordering = "";
        const std::lock_guard<std::mutex> lock(kept_mutex);
        kept_by_record[param] = kept;
    }
    ~OrderingHook() {
        {
            const std::lock_guard<std::mutex> lock(kept_mutex);
            kept_by_record.erase(param_);
        }
        param_->ordering = ordering_;
        param_->reorder0 = saved_[0];
        param_->reorder1 = saved_[1];
        param_->reorder2 = saved_[2];
        kept_->replay    = false;
    }
    OrderingHook(const OrderingHook&)            = delete;
    OrderingHook& operator=(const OrderingHook&) = delete;

private:
    ParameterRecord* param_;
    KeptOrdering* kept_;
    std::array<ReorderRoutine, 3> saved_{};
    const char* ordering_ = nullptr;
};

// The keys of the options record that belong to the package's own Krylov driver; in PETSc the
// KSP has them, so the PC leaves them out.
bool krylov_key(const char* name) {
    for (const char* k : {"solver", "restol", "maxit", "nrestart"}) {
        if (std::strcmp(name, k) == 0) {
            return true;
        }
    }
    return false;
}

// The record's value of a key as text (numbers as the tool prints them, texts unquoted).
std::string current_value(const ParameterRecord& param, const cli::OptionKey& key) {
    std::string v = cli::option_json(param, key);
    if (v.size() >= 2 && v.front() == '"') {
        v = v.substr(1, v.size() - 2);
    }
    return v == "null" ? "" : v;
}

PetscErrorCode refuse(PC pc, const std::string& option, const std::string& problem) {
    PetscFunctionBeginUser;
    SETERRQ(PetscObjectComm(reinterpret_cast<PetscObject>(pc)), PETSC_ERR_ARG_OUTOFRANGE, "%s: %s",
            option.c_str(), problem.c_str());
}

PetscErrorCode PCSetFromOptions_Trelvak(PC pc, PetscOptionItems* PetscOptionsObject) {
    Trelvak* t = data_of(pc);
    PetscFunctionBeginUser;
    PetscOptionsHeadBegin(PetscOptionsObject, "TRELVAK multilevel incomplete LDL^T options");
    // Every value is read and checked before the record changes.
    cli::Arguments given;
    const char* prefix_text = nullptr;
    PetscCall(PetscObjectGetOptionsPrefix(reinterpret_cast<PetscObject>(pc), &prefix_text));
    const std::string prefix = prefix_text != nullptr ? prefix_text : "";
    for (const cli::OptionKey& key : cli::option_keys()) {
        if (krylov_key(key.name)) {
            continue;
        }
        // PETSc adds the prefix when it reads the option; the messages name it in full.
        const std::string option = std::string("-pc_trelvak_") + key.name;
        const std::string named  = "-" + prefix + option.substr(1);
        const std::string now    = current_value(*t->param, key);
        PetscBool set            = PETSC_FALSE;
        if (key.kind == cli::OptionKey::kText) {
            char text[256] = "";
            PetscCall(PetscOptionsString(option.c_str(), key.help, "PCTRELVAK", now.c_str(), text,
                                         sizeof text, &set));
            if (set) {
                if (const std::string bad = option_text_error(key.name, text); !bad.empty()) {
                    PetscCall(refuse(pc, named, bad));
                }
                given.texts[key.name] = text;
            }
            continue;
        }
        PetscReal x = std::strtod(now.c_str(), nullptr);
        PetscCall(PetscOptionsReal(option.c_str(), key.help, "PCTRELVAK", x, &x, &set));
        if (!set) {
            continue;
        }
        if (key.kind == cli::OptionKey::kInt &&
            (x != std::floor(x) || std::fabs(x) > static_cast<double>(INT32_MAX))) {
            PetscCall(refuse(pc, named,
                             std::string("option ") + key.name +
                                 " takes a whole number within 32-bit range, not " +
                                 std::to_string(x) + "."));
        }
        if (const std::string bad = option_number_error(key.name, x); !bad.empty()) {
            PetscCall(refuse(pc, named, bad));
        }
        given.numbers[key.name] = x;
    }
    PetscBool unit = t->unit_empty ? PETSC_TRUE : PETSC_FALSE;
    PetscCall(PetscOptionsBool("-pc_trelvak_unit_empty_rows",
                               "rows without a nonzero entry get a diagonal entry (the largest "
                               "magnitude of the matrix) instead of failing the factorization",
                               "PCTRELVAK", unit, &unit, nullptr));
    PetscBool reuse = t->reuse_ordering ? PETSC_TRUE : PETSC_FALSE;
    PetscCall(PetscOptionsBool("-pc_trelvak_reuse_ordering",
                               "a set-up for new values with the same pattern takes level 1's "
                               "ordering from the last factorization",
                               "PCTRELVAK", reuse, &reuse, nullptr));
    PetscOptionsHeadEnd();
    t->unit_empty     = unit == PETSC_TRUE;
    t->reuse_ordering = reuse == PETSC_TRUE;
    if (!t->reuse_ordering) {
        t->kept.forget();
    }
    cli::apply_options(given, t->param);
    PetscFunctionReturn(0);
}

// Among several MPI ranks every rank takes one thread: our lanes (unless TRELVAK_NUM_THREADS
// says otherwise) and BLAS. A single process keeps both as its host set them.
void share_cores_with_ranks() {
    static bool done = false;
    if (done) {
        return;
    }
    done             = true;
    PetscMPIInt size = 1;
    MPI_Comm_size(PETSC_COMM_WORLD, &size);
    if (size > 1) {
        if (std::getenv("TRELVAK_NUM_THREADS") == nullptr) {
            set_lane_count(1);
        }
        use_single_thread_blas();
    }
}

PetscErrorCode PCSetUp_Trelvak(PC pc) {
    Trelvak* t    = data_of(pc);
    MPI_Comm comm = PetscObjectComm(reinterpret_cast<PetscObject>(pc));
    PetscFunctionBeginUser;
    share_cores_with_ranks();
    const auto start = std::chrono::steady_clock::now();
    PetscCall(upper_triangle(pc->pmat, &t->matrix));
    t->empty_rows = 0;
    if (t->unit_empty) {
        double largest = 0.0;
        for (const double v : t->matrix.a) {
            largest = std::max(largest, std::fabs(v));
        }
        t->empty_rows = unit_empty_rows(&t->matrix, largest > 0.0 ? largest : 1.0);
    }
    release_levels(t->levels);
    t->levels         = nullptr;
    int code          = 0;
    const bool replay = t->reuse_ordering && t->kept.same_pattern(t->matrix);
    t->reused_last    = false;
    auto factor_with  = [&](bool replaying) {
        SparseMatrix A = t->matrix.record();
        t->info        = FactorInfo{};
        {
            OrderingHook hook(t->param, &t->kept, A.nr);
            t->kept.replay = replaying;
            code           = factor(A, t->param, &t->levels, &t->info);
            t->reused_last = replaying && t->kept.replays > 0;
            if (!replaying && t->kept.recorded) {
                t->kept.valid = true;
            }
        }
        if (code == 0) {
            // Solver mode derives the cycle controls the application reads.
            SparseMatrix pattern = A;
            pattern.a            = nullptr;
            DSYMAMGsetupparameters(&pattern, t->param, 1);
            t->scratch.assign(
                 static_cast<size_t>(preconditioner_scratch(t->levels, t->param->ifact[10], A.nr)),
                 0.0);
        }
    };
    PetscCall(guarded(comm, [&] {
        factor_with(replay);
        if (code != 0 && replay) {
            // The kept order did not lead to a factor for these values: order afresh.
            t->kept.forget();
            factor_with(false);
        }
    }));
    // The record is what the options' routine made of level 1 in the first factorization of
    // the pattern. When that factor proved unstable, the factorization made others under other
    // controls; with the record replayed, a later set-up walks the same way.
    if (code == 0 && t->reuse_ordering && !t->reused_last && t->kept.recorded) {
        t->kept.ia = t->matrix.ia;
        t->kept.ja = t->matrix.ja;
    } else if (code != 0 || !t->reuse_ordering) {
        t->kept.forget();
    }
    if (t->reused_last) {
        ++t->ordering_reuses;
    }
    t->factor_seconds = seconds_since(start);
    t->matrix         = UpperTriangle{};
    if (code != 0) {
        std::string why = t->info.message;
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
            why.pop_back();
        }
        pc->failedreason = PC_FACTOR_OTHER;
        SETERRQ(comm, PETSC_ERR_LIB, "PC trelvak: the factorization failed (code %d): %s", code,
                why.empty() ? "no reason given" : why.c_str());
    }
    ++t->factorizations;
    PetscFunctionReturn(0);
}

PetscErrorCode PCApply_Trelvak(PC pc, Vec x, Vec y) {
    Trelvak* t = data_of(pc);
    PetscFunctionBeginUser;
    PetscCheck(t->levels != nullptr, PetscObjectComm(reinterpret_cast<PetscObject>(pc)),
               PETSC_ERR_ORDER, "PC trelvak is not factored: its set-up failed or did not run");
    const auto start      = std::chrono::steady_clock::now();
    const PetscScalar* xa = nullptr;
    PetscScalar* ya       = nullptr;
    PetscCall(VecGetArrayRead(x, &xa));
    PetscCall(VecGetArrayWrite(y, &ya));
    const int n      = t->levels->n;
    const double* rs = t->levels->rowscale;
    const double* cs = t->levels->colscale;
    for (int i = 0; i < n; ++i) {
        ya[i] = rs[i] * xa[i];
    }
    const PetscErrorCode code = guarded(PetscObjectComm(reinterpret_cast<PetscObject>(pc)), [&] {
        DSYMAMGsol(t->levels, t->param, ya, ya, t->scratch.data());
    });
    for (int i = 0; i < n; ++i) {
        ya[i] *= cs[i];
    }
    PetscCall(VecRestoreArrayWrite(y, &ya));
    PetscCall(VecRestoreArrayRead(x, &xa));
    PetscCall(code);
    ++t->applications;
    t->apply_seconds += seconds_since(start);
    PetscFunctionReturn(0);
}

PetscErrorCode PCReset_Trelvak(PC pc) {
    Trelvak* t = data_of(pc);
    PetscFunctionBeginUser;
    release_levels(t->levels);
    t->levels = nullptr;
    t->matrix = UpperTriangle{};
    t->kept.forget();
    t->scratch.clear();
    t->scratch.shrink_to_fit();
    PetscFunctionReturn(0);
}

PetscErrorCode PCDestroy_Trelvak(PC pc) {
    PetscFunctionBeginUser;
    delete data_of(pc);
    pc->data = nullptr;
    PetscCall(PetscObjectComposeFunction(reinterpret_cast<PetscObject>(pc), "PCTrelvakGetInfo_C",
                                         nullptr));
    PetscFunctionReturn(0);
}

PetscErrorCode PCView_Trelvak(PC pc, PetscViewer viewer) {
    Trelvak* t      = data_of(pc);
    PetscBool ascii = PETSC_FALSE;
    PetscFunctionBeginUser;
    PetscCall(
        PetscObjectTypeCompare(reinterpret_cast<PetscObject>(viewer), PETSCVIEWERASCII, &ascii));
    if (!ascii) {
        PetscFunctionReturn(0);
    }
    const ParameterRecord& p = *t->param;
    PetscCall(PetscViewerASCIIPrintf(
        viewer,
        "  TRELVAK multilevel incomplete LDL^T: droptol %g, droptolS %g, condest %g, "
        "elbow %g, ordering %s, matching %d, cycle %s\n",
        p.droptol, p.droptolS, p.condest, p.elbow, p.ordering ? p.ordering : "none", p.matching,
        p.amg ? p.amg : "ilu"));
    if (t->levels == nullptr) {
        PetscCall(PetscViewerASCIIPrintf(viewer, "  not factored yet\n"));
        PetscFunctionReturn(0);
    }
    const FactorInfo& info = t->info;
    if (t->empty_rows > 0) {
        PetscCall(PetscViewerASCIIPrintf(
            viewer, "  %d row%s without a nonzero entry given a diagonal entry\n", t->empty_rows,
            t->empty_rows == 1 ? "" : "s"));
    }
    PetscCall(PetscViewerASCIIPrintf(
        viewer, "  n %d: %d level%s, fill %.2f (%ld stored / %ld input), %d perturbed pivot%s\n",
        info.n, info.nlev, info.nlev == 1 ? "" : "s", info.fill, info.nnz_stored, info.nnz_input,
        info.perturbed, info.perturbed == 1 ? "" : "s"));
    if (info.droptol != p.droptol || info.droptolS != p.droptolS || info.condest != p.condest) {
        PetscCall(PetscViewerASCIIPrintf(
            viewer, "  level 1 factored with droptol %g, droptolS %g, condest %g\n", info.droptol,
            info.droptolS, info.condest));
    }
    const std::string steadied =
        info.steadied
            ? " (the first factor was unstable; kept: the one made with " + info.steadied_by + ")"
            : "";
    PetscCall(PetscViewerASCIIPrintf(viewer,
                                     "  stability probe max ||A M^-1 r - r|| / ||r|| = %.2e%s\n",
                                     info.probe, steadied.c_str()));
    int l = 1;
    for (const LevelRecord* R = t->levels; R != nullptr; R = R->next, ++l) {
        const LevelTimes* lt =
            static_cast<size_t>(l) <= info.level_times.size() ? &info.level_times[l - 1] : nullptr;
        if (R->factor_index == nullptr) {
            PetscCall(
                PetscViewerASCIIPrintf(viewer, "    level %d  n %8d  dense last system", l, R->n));
        } else {
            PetscCall(PetscViewerASCIIPrintf(viewer,
                                             "    level %d  n %8d  eliminated %8d  stored %9d", l,
                                             R->n, R->nB, R->nnz_stored));
        }
        if (lt != nullptr) {
            PetscCall(PetscViewerASCIIPrintf(
                viewer, "  %.3f s (ordering %.3f, factor %.3f, Schur %.3f)", lt->total, lt->reorder,
                lt->factor + lt->dense_factor, lt->schur));
        }
        PetscCall(PetscViewerASCIIPrintf(viewer, "\n"));
    }
    PetscCall(PetscViewerASCIIPrintf(
        viewer, "  factorizations %d, last %.3f s wall (factor %.3f s, %d pass%s)\n",
        t->factorizations, t->factor_seconds, info.wall_seconds, info.passes,
        info.passes == 1 ? "" : "es"));
    if (t->reused_last) {
        PetscCall(PetscViewerASCIIPrintf(
            viewer,
            "  level 1 ordering taken over from an earlier factorization (same pattern; made "
            "in %.3f s), %d reuse%s so far\n",
            t->kept.seconds, t->ordering_reuses, t->ordering_reuses == 1 ? "" : "s"));
    } else {
        PetscCall(PetscViewerASCIIPrintf(
            viewer, "  level 1 ordering made by this factorization%s\n",
            t->reuse_ordering && t->kept.valid ? " (kept for the next one with the same pattern)"
                                               : ""));
    }
    PetscCall(PetscViewerASCIIPrintf(viewer, "  applications %ld, %.3f s wall\n", t->applications,
                                     t->apply_seconds));
    PetscFunctionReturn(0);
}

PetscErrorCode PCTrelvakGetInfo_Trelvak(PC pc, PCTrelvakInfo* out) {
    const Trelvak* t = data_of(pc);
    PetscFunctionBeginUser;
    *out                  = PCTrelvakInfo{};
    out->n                = t->info.n;
    out->levels           = t->levels != nullptr ? t->info.nlev : 0;
    out->fill             = t->info.fill;
    out->perturbed        = t->info.perturbed;
    out->factorizations   = t->factorizations;
    out->factor_seconds   = t->factor_seconds;
    out->applications     = static_cast<PetscInt>(t->applications);
    out->apply_seconds    = t->apply_seconds;
    out->empty_rows       = t->empty_rows;
    out->ordering_reused  = t->reused_last ? PETSC_TRUE : PETSC_FALSE;
    out->ordering_reuses  = t->ordering_reuses;
    out->ordering_seconds = t->kept.valid ? t->kept.seconds : 0.0;
    PetscFunctionReturn(0);
}

}  // namespace

extern "C" PetscErrorCode PCCreate_Trelvak(PC pc) {
    PetscFunctionBeginUser;
    auto* t  = new Trelvak;
    t->param = create_parameters();
    pc->data = t;

    pc->ops->setup          = PCSetUp_Trelvak;
    pc->ops->apply          = PCApply_Trelvak;
    pc->ops->applytranspose = PCApply_Trelvak;
    pc->ops->reset          = PCReset_Trelvak;
    pc->ops->destroy        = PCDestroy_Trelvak;
    pc->ops->setfromoptions = PCSetFromOptions_Trelvak;
    pc->ops->view           = PCView_Trelvak;
    PetscCall(PetscObjectComposeFunction(reinterpret_cast<PetscObject>(pc), "PCTrelvakGetInfo_C",
                                         PCTrelvakGetInfo_Trelvak));
    PetscFunctionReturn(0);
}

}  // namespace trelvak::petsc

PetscErrorCode PCTrelvakGetInfo(PC pc, PCTrelvakInfo* info) {
    PetscFunctionBeginUser;
    PetscValidHeaderSpecific(pc, PC_CLASSID, 1);
    PetscUseMethod(pc, "PCTrelvakGetInfo_C", (PC, PCTrelvakInfo*), (pc, info));
    PetscFunctionReturn(0);
}
