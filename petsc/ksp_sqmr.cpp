// ksp_sqmr.cpp: the PETSc Krylov type "sqmr", the package's symmetric QMR driven by PETSc.
//
// The method runs in reverse communication (krylov/krylov.h) with a SolveState, control arrays
// and work array owned by the KSP object, so solves nest (an sqmr whose preconditioner runs
// another sqmr) and any number of them live at once. Its requests are answered by PETSc: a
// product by KSP_MatMult, a preconditioner solve by KSP_PCApply, each on two work vectors
// placed over the slices of the method's work array (no copies). The stopping test is PETSc's:
// the method runs under test 999 and asks at the end of every iteration, where the KSP logs the
// norm, calls the monitors and the convergence test (its verdict, or the iteration limit,
// stops the method). The norm is that of the method's residual r = b - A x_cg of its conjugate-
// gradient-type iterate: r itself under right preconditioning (PETSc's unpreconditioned norm, the
// default), M^-1 r under left preconditioning (preconditioned norm). Iteration 0 is tested when
// the method asks for its first product with a search direction, ||r0|| (or ||M^-1 r0||) known.
//
// Each process runs the method on its own entries of the vectors. On a communicator of several
// processes the method's inner products and norms are summed over them by an MPI_Allreduce (the
// SolveState's reduction hook; one or two scalars per call, three calls per iteration), so every
// process takes the same steps; the tested norm is the method's own ||r~||, no further sum. On
// one process (alone, or as the block solver of block Jacobi or ASM) there is no hook and the
// method computes exactly as in the package's other front ends.
#include <petsc/private/kspimpl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/onebased.h"
#include "krylov/krylov.h"
#include "trelvak_petsc.h"

namespace trelvak::petsc {
namespace {

struct Sqmr {
    krylov::SolveState state;
    MPI_Comm comm   = MPI_COMM_NULL;  // of the KSP, when it spans several processes
    int mpi_error   = MPI_SUCCESS;    // the first failed sum of the current call of the method
    int ipar[16]    = {};
    double fpar[16] = {};
    std::vector<double> w;       // the method's work array, 6n
    bool holds_iterate = false;  // w's slice x is the current iterate (a solve has started)
};

constexpr int kSlices    = 6;
constexpr int kIterateAt = 4;  // x = w(4n+1..5n)

Sqmr* data_of(KSP ksp) {
    return static_cast<Sqmr*>(ksp->data);
}

// The reduction hook: sums the method's local scalars over the KSP's processes.
void sum_over_processes(double* values, int count, void* context) {
    auto* s     = static_cast<Sqmr*>(context);
    const int e = MPI_Allreduce(MPI_IN_PLACE, values, count, MPI_DOUBLE, MPI_SUM, s->comm);
    if (e != MPI_SUCCESS && s->mpi_error == MPI_SUCCESS) {
        s->mpi_error = e;
    }
}

PetscErrorCode KSPSetUp_Sqmr(KSP ksp) {
    MPI_Comm comm = PetscObjectComm(reinterpret_cast<PetscObject>(ksp));
    PetscFunctionBeginUser;
    PetscCheck(ksp->pc_side == PC_LEFT || ksp->pc_side == PC_RIGHT, comm, PETSC_ERR_SUP,
               "KSP sqmr preconditions on the left or on the right, not symmetrically");
    PetscCall(KSPSetWorkVecs(ksp, 2));
    PetscFunctionReturn(0);
}

// Answers a product or preconditioner request on the slices of w the method names.
PetscErrorCode answer(KSP ksp, Sqmr* s, int request) {
    Mat A = nullptr, P = nullptr;
    PetscFunctionBeginUser;
    const auto ipar = view1(s->ipar, 16);
    Vec in          = ksp->work[0];
    Vec out         = ksp->work[1];
    PetscCall(VecPlaceArray(in, s->w.data() + (ipar(kOperand) - 1)));
    PetscCall(VecPlaceArray(out, s->w.data() + (ipar(kResult) - 1)));
    if (request == kMatVec) {
        PetscCall(PCGetOperators(ksp->pc, &A, &P));
        PetscCall(KSP_MatMult(ksp, A, in, out));
    } else {
        PetscCall(KSP_PCApply(ksp, in, out));
    }
    PetscCall(VecResetArray(in));
    PetscCall(VecResetArray(out));
    PetscFunctionReturn(0);
}

// Logs, monitors and tests the norm of iteration its; true in *stop when the solve ends.
PetscErrorCode test(KSP ksp, PetscInt its, PetscReal rnorm, bool* stop) {
    PetscFunctionBeginUser;
    *stop = true;  // KSPCheckNorm returns early on a norm that is not finite
    KSPCheckNorm(ksp, rnorm);
    ksp->its   = its;
    ksp->rnorm = rnorm;
    PetscCall(KSPLogResidualHistory(ksp, rnorm));
    PetscCall(KSPMonitor(ksp, its, rnorm));
    PetscCall((*ksp->converged)(ksp, its, rnorm, &ksp->reason, ksp->cnvP));
    if (ksp->reason == KSP_CONVERGED_ITERATING && its >= ksp->max_it) {
        ksp->reason = KSP_DIVERGED_ITS;
    }
    *stop = ksp->reason != KSP_CONVERGED_ITERATING;
    PetscFunctionReturn(0);
}

// A verdict "converged" on the method's ||r~|| is confirmed on the iterate the KSP returns: r~
// belongs to the method's conjugate-gradient-type iterate, the solution is its smoothed iterate,
// whose true residual can be a little larger (1.005e-6 against a tolerance of 1e-6 on a random
// KKT system over two processes). The convergence test is asked again with ||b - A x|| (left
// preconditioning: ||M^-1 (b - A x)||); when it declines, the method goes on, up to the limit.
PetscErrorCode confirm(KSP ksp, Sqmr* s, int n, bool* stop) {
    Mat A = nullptr, P = nullptr;
    PetscFunctionBeginUser;
    Vec x = ksp->work[0];
    Vec r = ksp->work[1];
    PetscCall(PCGetOperators(ksp->pc, &A, &P));
    PetscCall(VecPlaceArray(x, s->w.data() + static_cast<size_t>(kIterateAt) * n));
    PetscCall(KSP_MatMult(ksp, A, x, r));
    PetscCall(VecResetArray(x));
    PetscCall(VecAYPX(r, -1.0, ksp->vec_rhs));  // r = b - A x
    Vec tested = r;
    if (ksp->pc_side == PC_LEFT) {
        PetscCall(KSP_PCApply(ksp, r, x));  // into the work vector's own storage
        tested = x;
    }
    PetscReal norm = 0.0;
    PetscCall(VecNorm(tested, NORM_2, &norm));
    KSPConvergedReason reason = KSP_CONVERGED_ITERATING;
    PetscCall((*ksp->converged)(ksp, ksp->its, norm, &reason, ksp->cnvP));
    if (reason <= 0) {
        ksp->reason = ksp->its >= ksp->max_it ? KSP_DIVERGED_ITS : KSP_CONVERGED_ITERATING;
        *stop       = ksp->reason != KSP_CONVERGED_ITERATING;
    }
    PetscFunctionReturn(0);
}

// One call of the method with the current arrays of b and x.
PetscErrorCode step(KSP ksp, Sqmr* s, int n) {
    const PetscScalar* b = nullptr;
    PetscScalar* x       = nullptr;
    PetscFunctionBeginUser;
    PetscCall(VecGetArrayRead(ksp->vec_rhs, &b));
    PetscCall(VecGetArray(ksp->vec_sol, &x));
    krylov::dsymqmr(s->state, &n, b, x, s->ipar, s->fpar, s->w.data());
    PetscCall(VecRestoreArray(ksp->vec_sol, &x));
    PetscCall(VecRestoreArrayRead(ksp->vec_rhs, &b));
    PetscCallMPI(s->mpi_error);
    PetscFunctionReturn(0);
}

KSPConvergedReason reason_of_status(int status) {
    switch (status) {
        case kConverged:
            return KSP_CONVERGED_RTOL;  // only when nothing was left to do at the start
        case kIterLimit:
            return KSP_DIVERGED_ITS;
        case kNonFinite:
            return KSP_DIVERGED_NANORINF;
        default:
            return KSP_DIVERGED_BREAKDOWN;
    }
}

PetscErrorCode KSPSolve_Sqmr(KSP ksp) {
    Sqmr* s        = data_of(ksp);
    MPI_Comm comm  = PetscObjectComm(reinterpret_cast<PetscObject>(ksp));
    PetscInt local = 0;
    PetscFunctionBeginUser;
    PetscCall(VecGetLocalSize(ksp->vec_sol, &local));
    const int n = static_cast<int>(local);
    PetscCheck(static_cast<double>(local) * kSlices < 2147483647.0, comm, PETSC_ERR_ARG_SIZ,
               "KSP sqmr: %" PetscInt_FMT " unknowns exceed its 32-bit work array", local);
    if (ksp->guess_zero) {
        PetscCall(VecSet(ksp->vec_sol, 0.0));
    }
    s->w.assign(static_cast<size_t>(kSlices) * static_cast<size_t>(n), 0.0);
    s->state         = krylov::SolveState{};
    PetscMPIInt size = 1;
    PetscCallMPI(MPI_Comm_size(comm, &size));
    if (size > 1) {
        s->comm                 = comm;
        s->mpi_error            = MPI_SUCCESS;
        s->state.reduce.sum     = sum_over_processes;
        s->state.reduce.context = s;
    }
    std::fill(std::begin(s->ipar), std::end(s->ipar), 0);
    std::fill(std::begin(s->fpar), std::end(s->fpar), 0.0);
    const auto ipar   = view1(s->ipar, 16);
    const auto fpar   = view1(s->fpar, 16);
    const bool left   = ksp->pc_side == PC_LEFT;
    ipar(kPrecSide)   = left ? 1 : 2;
    ipar(kStopTest)   = 999;  // PETSc's test, asked for at the end of every iteration
    ipar(kWorkLength) = kSlices * n;
    ipar(kMaxIter)    = 0;    // PETSc's limit, applied by test()
    fpar(kRelTol)     = 0.5;  // unread under test 999, but checked at the start
    ksp->its          = 0;
    ksp->rnorm        = 0.0;
    ksp->reason       = KSP_CONVERGED_ITERATING;
    s->holds_iterate  = true;
    bool tested_start = false;
    for (;;) {
        PetscCall(step(ksp, s, n));
        const int request = ipar(kRequest);
        if (request <= 0) {
            break;
        }
        if (request == kUserTest) {
            bool stop = false;
            // ||r~||: r (right preconditioning) or M^-1 r (left), as the method last formed it
            PetscCall(test(ksp, ipar(kProducts) - 1, s->state.sqmr.rtnorm, &stop));
            if (stop && ksp->reason > 0) {
                PetscCall(confirm(ksp, s, n, &stop));
            }
            ipar(kStopFlag) = stop ? 1 : 0;
            continue;
        }
        if (request == kMatVec && !tested_start && ipar(kProducts) == 1) {
            // The first product with a search direction: r0 (and M^-1 r0) are known.
            tested_start = true;
            bool stop    = false;
            PetscCall(test(ksp, 0, left ? fpar(kResNorm) : fpar(kInitNorm), &stop));
            if (stop) {
                s->holds_iterate = false;  // x is still x0, in vec_sol
                PetscFunctionReturn(0);
            }
        }
        PetscCheck(request == kMatVec || request == kLeftSolve || request == kRightSolve, comm,
                   PETSC_ERR_PLIB, "KSP sqmr: unexpected request %d of the method", request);
        PetscCall(answer(ksp, s, request));
    }
    const int status = ipar(kRequest);
    if (status != kConverged || ksp->reason == KSP_CONVERGED_ITERATING) {
        PetscCheck(status != kWorkTooShort && status != kBadTolerance, comm, PETSC_ERR_PLIB,
                   "KSP sqmr: the method refused to start (%s)", status_text(status));
        ksp->reason = reason_of_status(status);
        ksp->its    = std::max(0, ipar(kProducts) - 1);
    }
    PetscFunctionReturn(0);
}

// The current iterate: the method keeps it in w while it runs.
PetscErrorCode KSPBuildSolution_Sqmr(KSP ksp, Vec v, Vec* V) {
    Sqmr* s = data_of(ksp);
    PetscFunctionBeginUser;
    if (!s->holds_iterate) {
        PetscCall(KSPBuildSolutionDefault(ksp, v, V));
        PetscFunctionReturn(0);
    }
    Vec target = v != nullptr ? v : ksp->vec_sol;
    PetscInt n = 0;
    PetscCall(VecGetLocalSize(target, &n));
    PetscScalar* a = nullptr;
    PetscCall(VecGetArrayWrite(target, &a));
    std::copy_n(s->w.data() + kIterateAt * n, n, a);
    PetscCall(VecRestoreArrayWrite(target, &a));
    if (V != nullptr) {
        *V = target;
    }
    PetscFunctionReturn(0);
}

PetscErrorCode KSPView_Sqmr(KSP ksp, PetscViewer viewer) {
    PetscBool ascii = PETSC_FALSE;
    PetscFunctionBeginUser;
    PetscCall(
        PetscObjectTypeCompare(reinterpret_cast<PetscObject>(viewer), PETSCVIEWERASCII, &ascii));
    if (ascii) {
        PetscCall(PetscViewerASCIIPrintf(
            viewer, "  symmetric QMR of TRELVAK (reverse communication), tested norm: %s\n",
            ksp->pc_side == PC_LEFT ? "||M^-1 r||" : "||r||"));
    }
    PetscFunctionReturn(0);
}

PetscErrorCode KSPDestroy_Sqmr(KSP ksp) {
    PetscFunctionBeginUser;
    delete data_of(ksp);
    ksp->data = nullptr;
    PetscCall(KSPDestroyDefault(ksp));
    PetscFunctionReturn(0);
}

}  // namespace

extern "C" PetscErrorCode KSPCreate_Sqmr(KSP ksp) {
    PetscFunctionBeginUser;
    ksp->data = new Sqmr;
    PetscCall(KSPSetSupportedNorm(ksp, KSP_NORM_UNPRECONDITIONED, PC_RIGHT, 3));
    PetscCall(KSPSetSupportedNorm(ksp, KSP_NORM_PRECONDITIONED, PC_LEFT, 2));
    ksp->ops->setup          = KSPSetUp_Sqmr;
    ksp->ops->solve          = KSPSolve_Sqmr;
    ksp->ops->destroy        = KSPDestroy_Sqmr;
    ksp->ops->view           = KSPView_Sqmr;
    ksp->ops->buildsolution  = KSPBuildSolution_Sqmr;
    ksp->ops->buildresidual  = KSPBuildResidualDefault;
    ksp->ops->setfromoptions = nullptr;
    PetscFunctionReturn(0);
}

}  // namespace trelvak::petsc
