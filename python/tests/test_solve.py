"""trelvak.solve: saddle-point and KKT systems, several right-hand sides, the verdict on the
true residual, the watch and the fallback factor."""

from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse as sp

import trelvak
from conftest import kkt, laplace3d, relres, stokes


@pytest.mark.parametrize("solver", ["sqmr", "sbcg", "bcg", "gmres", "fgmres"])
def test_saddle_point_system_is_solved_by_every_method(stokes_matrix: sp.csr_matrix,
                                                       solver: str) -> None:
    A = stokes_matrix
    rng = np.random.default_rng(1)
    b = A @ rng.standard_normal(A.shape[0])
    x, info = trelvak.solve(A, b, solver=solver, nrestart=60)
    assert x.shape == b.shape
    assert info.converged and info.converged_columns.tolist() == [True]
    assert relres(A, b, x) <= 1e-6
    assert info.relres[0] == pytest.approx(relres(A, b, x), rel=1e-6)
    assert info.nlev >= 1 and info.fill > 0 and info.setup_time > 0 and info.solve_time > 0
    assert info.factor.nlev == info.nlev and info.options.solver == solver


def test_kkt_system_with_zero_block_and_several_columns(kkt_matrix: sp.csr_matrix) -> None:
    A = kkt_matrix
    B = np.column_stack([np.ones(A.shape[0]), np.arange(A.shape[0], dtype=float), A @ np.ones(A.shape[0])])
    X, info = trelvak.solve(A, B)
    assert X.shape == B.shape and info.converged
    assert info.relres.shape == info.niter.shape == (3,)
    # One column from x = 0 is solved by the quick factor's trial when that factor is kept: the
    # same iterates as the method's own solve of that column, without the watch.
    Y, plain = trelvak.solve(A, B, fallback=False)
    for k in range(3):
        assert relres(A, B[:, k], X[:, k]) <= 1e-6
        x, single = trelvak.solve(A, B[:, k], fallback=False)
        assert single.factor.quick
        np.testing.assert_array_equal(x, Y[:, k])
        assert single.niter[0] == plain.niter[k]


def test_converged_follows_the_true_residual() -> None:
    A = stokes(16)
    b = np.ones(A.shape[0])
    x, info = trelvak.solve(A, b, maxit=2, fallback=False)
    assert not info.converged and info.relres[0] > 1e-6
    assert info.relres[0] == pytest.approx(relres(A, b, x), rel=1e-6)
    # A tolerance the answer meets makes the same kind of solve converged.
    x, info = trelvak.solve(A, b, restol=0.99, fallback=False)
    assert info.converged and relres(A, b, x) <= 0.99


def test_initial_guess_and_zero_right_hand_side(kkt_matrix: sp.csr_matrix) -> None:
    A = kkt_matrix
    n = A.shape[0]
    xt = np.linspace(1.0, 2.0, n)
    b = A @ xt
    x, info = trelvak.solve(A, b, x0=xt)  # from x = 0 the answer is near 1e-7 only
    assert info.converged and relres(A, b, x) <= 1e-12
    x, info = trelvak.solve(A, b, x0=xt + 1e-3)
    assert info.converged and relres(A, b, x) <= 1e-6
    x, info = trelvak.solve(A, np.zeros(n))
    assert info.converged and not np.any(x)


def test_unstable_factor_is_replaced_by_the_cruder_one() -> None:
    # On this shifted 3-D grid the default factor passes the factorization's stability probe,
    # but its residual grows from the first iterations.
    A = laplace3d(14, 1.0)
    b = A @ np.ones(A.shape[0])
    x, info = trelvak.solve(A, b)
    assert info.converged and info.fallback_used.tolist() == [True]
    assert info.switched_at.tolist() == [0]
    assert info.watched[0] == 10 and info.fallback_fill is not None and info.fallback_fill < 1
    assert relres(A, b, x) <= 1e-6
    x, off = trelvak.solve(A, b, fallback=False, maxit=60)
    assert not off.converged and off.fallback_fill is None


@pytest.mark.slow
@pytest.mark.parametrize("name", ["stokes128", "lap3d_30_shift", "kkt_4000"])
def test_larger_members_of_the_benchmark_families(name: str) -> None:
    A = {"stokes128": lambda: stokes(128), "lap3d_30_shift": lambda: laplace3d(30, 0.72881),
         "kkt_4000": lambda: kkt(3000, 1000, seed=9)}[name]()
    b = A @ np.ones(A.shape[0])
    x, info = trelvak.solve(A, b)
    assert info.converged and relres(A, b, x) <= 1e-6
