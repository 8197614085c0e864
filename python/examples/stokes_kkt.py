#!/usr/bin/python3
"""Solves a Stokes problem and a KKT matrix from a Matrix Market file with trelvak, beside
SciPy's spilu + gmres and spsolve, and draws the convergence histories in one PNG.

    PYTHONPATH=build-python/python python/examples/stokes_kkt.py \
        [../shared/matrices/ACTIVSg200_AC_09_KKT.mtx] [--png convergence.png]

The histories are the relative residuals SciPy's GMRES (restart 30) reports per iteration, of
the preconditioned system; the legend gives the true relative residual ||b - A x|| / ||b|| of
each answer. Both curves come from the same Krylov method, with our multilevel L D L^T (as
M=) and with SuperLU's incomplete LU. trelvak.solve
(symmetric QMR) gives the one-call answer whose time the table shows.
"""

from __future__ import annotations

import argparse
import os
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import scipy.io  # noqa: E402
import scipy.sparse as sp  # noqa: E402
import scipy.sparse.linalg as spla  # noqa: E402

import trelvak  # noqa: E402


def lap1d(m: int) -> sp.csr_matrix:
    return sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(m, m), format="csr")


def stokes(N: int) -> sp.csr_matrix:
    """MAC-scheme Stokes [K B^T; B 0] on N x N cells, the last pressure left out."""
    D = sp.diags([1.0, -1.0], [0, -1], shape=(N, N - 1))
    I = sp.eye(N)
    Ku = sp.kron(I, lap1d(N - 1)) + sp.kron(lap1d(N), sp.eye(N - 1))
    Kv = sp.kron(lap1d(N - 1), I) + sp.kron(sp.eye(N - 1), lap1d(N))
    B = sp.hstack([sp.kron(I, D), sp.kron(D, I)]).tocsr()[:-1, :]
    return sp.bmat([[sp.block_diag([Ku, Kv]), B.T], [B, None]], format="csr")


def gmres_history(A: sp.spmatrix, b: np.ndarray,
                  M: spla.LinearOperator) -> tuple[list[float], float]:
    """GMRES(30) with the preconditioner M, up to 600 iterations: the relative residual GMRES
    reports at each iteration (of the preconditioned system) and the true relative residual
    ||b - A x|| / ||b|| of its answer."""
    history = [1.0]
    x, _ = spla.gmres(A, b, M=M, tol=1e-6, atol=0.0, restart=30, maxiter=20,
                      callback=lambda r: history.append(float(r)), callback_type="pr_norm")
    return history, float(np.linalg.norm(b - A @ x) / np.linalg.norm(b))


def solve_all(name: str, A: sp.csr_matrix, axes: plt.Axes) -> None:
    n = A.shape[0]
    b = A @ np.ones(n)
    print(f"\n{name}: n = {n}, nnz = {A.nnz}")

    t = time.perf_counter()
    x, info = trelvak.solve(A, b)
    print(f"  trelvak.solve (sqmr)     {time.perf_counter() - t:7.3f} s  "
          f"{int(info.niter[0]):4d} its  relres {info.relres[0]:.1e}  "
          f"levels {info.nlev}, fill {info.fill:.2f}")

    t = time.perf_counter()
    with trelvak.factor(A) as M:
        ours, true_ours = gmres_history(A, b, M.as_linear_operator())
    print(f"  trelvak + scipy gmres    {time.perf_counter() - t:7.3f} s  "
          f"{len(ours) - 1:4d} its  relres {true_ours:.1e}")

    t = time.perf_counter()
    try:
        ilu = spla.spilu(A.tocsc())
        theirs, true_theirs = gmres_history(A, b, spla.LinearOperator(A.shape, ilu.solve))
        print(f"  spilu + scipy gmres      {time.perf_counter() - t:7.3f} s  "
              f"{len(theirs) - 1:4d} its  relres {true_theirs:.1e}")
    except RuntimeError as e:
        theirs, failure = [], str(e)
        print(f"  spilu + scipy gmres      failed: {e}")

    t = time.perf_counter()
    y = spla.spsolve(A.tocsc(), b)
    print(f"  spsolve (SuperLU)        {time.perf_counter() - t:7.3f} s         "
          f"relres {np.linalg.norm(b - A @ y) / np.linalg.norm(b):.1e}")

    axes.semilogy(ours, label=f"trelvak + GMRES(30), true relres {true_ours:.0e}")
    if theirs:
        axes.semilogy(theirs, label=f"spilu + GMRES(30), true relres {true_theirs:.0e}")
    else:
        axes.plot([], [], " ", label=f"spilu: {failure}")
    axes.axhline(1e-6, color="gray", linestyle=":", label="1e-6")
    axes.set_title(f"{name} (n = {n})")
    axes.set_xlabel("iteration")
    axes.set_ylabel("GMRES residual (preconditioned, relative)")
    axes.legend()


def main() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    default_kkt = os.path.join(here, "..", "..", "..", "shared", "matrices",
                               "ACTIVSg200_AC_09_KKT.mtx")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kkt", nargs="?", default=default_kkt, help="Matrix Market file")
    parser.add_argument("--png", default=os.path.join(here, "convergence.png"))
    args = parser.parse_args()

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    solve_all("Stokes, MAC grid 64 x 64", stokes(64), axes[0])
    kkt = sp.csr_matrix(scipy.io.mmread(args.kkt))
    solve_all(os.path.splitext(os.path.basename(args.kkt))[0], kkt, axes[1])
    fig.tight_layout()
    fig.savefig(args.png, dpi=110)
    print(f"\nconvergence histories: {args.png}")


if __name__ == "__main__":
    main()
