"""Preconditioner: the application against the factored matrix, blocks, SciPy's Krylov
methods, info, release semantics and memory over many factor/close cycles."""

from __future__ import annotations

import copy
import gc
import pickle

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import trelvak
from conftest import laplace2d, laplace3d, relres


def test_apply_inverts_an_exactly_factored_matrix() -> None:
    # Nothing dropped: M = A through every level, the scalings included.
    rng = np.random.default_rng(3)
    R = sp.random(40, 40, density=0.2, random_state=3)
    A = (R + R.T + sp.diags(rng.uniform(-5.0, 5.0, 40) * 10.0 ** rng.integers(-2, 3, 40))).tocsr()
    with trelvak.factor(A, droptol=0, droptolS=0, lfil=0, lfilS=0) as M:
        z = rng.standard_normal(40)
        assert np.linalg.norm(M.apply(A @ z) - z) <= 1e-10 * np.linalg.norm(z)


def test_apply_is_symmetric_and_handles_blocks(stokes_matrix: sp.csr_matrix) -> None:
    M = trelvak.factor(stokes_matrix)
    n = M.n
    rng = np.random.default_rng(5)
    Z = rng.standard_normal((n, 4))
    Y = M.apply(Z)
    assert Y.shape == (n, 4)
    for k in range(4):
        np.testing.assert_array_equal(Y[:, k], M.apply(Z[:, k]))
    np.testing.assert_array_equal(M.apply(Z[:, :1]), Y[:, :1])
    np.testing.assert_array_equal(M.apply(np.ascontiguousarray(Z)), Y)  # row-major in
    np.testing.assert_array_equal(M @ Z[:, 0], Y[:, 0])
    assert Z[:, 0] @ Y[:, 1] == pytest.approx(Z[:, 1] @ Y[:, 0], rel=1e-9)
    assert M.apply(np.ones(n, dtype=np.int32)).dtype == np.float64


@pytest.mark.parametrize("method", ["gmres", "bicgstab", "qmr"])
def test_linear_operator_preconditions_scipy_krylov_methods(stokes_matrix: sp.csr_matrix,
                                                           method: str) -> None:
    A = stokes_matrix
    b = A @ np.ones(A.shape[0])
    with trelvak.factor(A) as M:
        op = M.as_linear_operator()
        assert op.shape == A.shape and op.dtype == np.float64
        steps = []
        kwargs = {"callback": lambda *_: steps.append(1)}
        if method == "gmres":
            kwargs["callback_type"] = "pr_norm"
        # SciPy's QMR takes a left and a right preconditioner.
        identity = spla.aslinearoperator(sp.eye(A.shape[0]))
        given = {"M1": op, "M2": identity} if method == "qmr" else {"M": op}
        x, flag = getattr(spla, method)(A, b, tol=1e-8, atol=0.0, maxiter=200, **given, **kwargs)
        assert flag == 0 and relres(A, b, x) <= 1e-7
        assert len(steps) <= 40
    # Without the preconditioner, restarted GMRES does not get there in as many steps.
    _, flag = spla.gmres(A, b, tol=1e-8, atol=0.0, maxiter=2)
    assert flag != 0


def test_info_describes_the_factorization(stokes_matrix: sp.csr_matrix) -> None:
    M = trelvak.factor(stokes_matrix, droptol=1e-2)
    i = M.info
    assert i.n == stokes_matrix.shape[0] and i.nlev == len(i.level_times) >= 1
    assert i.fill == pytest.approx(i.nnz_stored / i.nnz_input)
    assert i.nnz_input == sp.tril(stokes_matrix).nnz
    assert i.droptol == 1e-2 and i.condest >= 1 and i.perturbed >= 0
    assert 0 <= i.probe < 1 and not i.steadied
    # The quick attempt gives Stokes up (its pressure rows have zero pivots in the given order);
    # a Laplacian takes it, and a caller asking for tighter dropping does not get it.
    assert not i.quick
    L = laplace3d(8, 0.0)
    assert trelvak.factor(L).info.quick
    assert not trelvak.factor(L, droptol=1e-4).info.quick
    assert i.setup_time > 0 and i.passes >= 1 and M.shape == stokes_matrix.shape
    assert "levels" in repr(M)


def test_release_semantics() -> None:
    A = laplace2d(10, 0.5)
    x = np.ones(100)
    M = trelvak.factor(A)
    op = M.as_linear_operator()
    M.close()
    M.close()  # harmless
    assert M.closed and "closed" in repr(M)
    for use in (lambda: M.apply(x), lambda: op.matvec(x), M.as_linear_operator,
                lambda: M.__enter__()):
        with pytest.raises(ValueError, match="released"):
            use()
    assert M.info.nlev >= 1  # the record of what was done stays
    with trelvak.factor(A) as N:
        N.apply(x)
    assert N.closed
    with pytest.raises(ValueError, match="released"):
        N.apply(x)
    # Only trelvak.factor makes them; other objects are refused; they are not copied.
    with pytest.raises(TypeError, match="trelvak.factor"):
        trelvak.Preconditioner()
    with pytest.raises(TypeError, match="Preconditioner"):
        trelvak.Preconditioner.apply(object(), x)  # type: ignore[arg-type]
    P = trelvak.factor(A)
    for dup in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="pickled"):
            dup(P)
    for bad, error in ((np.ones(99), ValueError), (np.ones((100, 2, 2)), ValueError),
                       (x * 1j, ValueError), (np.array(["a"] * 100), TypeError),
                       (np.r_[x[:-1], np.nan], ValueError)):
        with pytest.raises(error):
            P.apply(bad)
    # The core's reading of the matrix refuses arrays that are not canonical compressed rows.
    read = trelvak._trelvak.Triangle
    for indptr, indices in (([0, 2, 3, 3], [1, 0, 1]),  # columns not ascending
                            ([0, 2, 3, 3], [0, 0, 1]),  # a column twice
                            ([0, 1, 2, 3], [0, 1, 3]),  # a column beyond n
                            ([0, 2, 1, 3], [0, 1, 2]),  # row pointers decreasing
                            ([0, 1], [0])):  # too few row pointers
        with pytest.raises(ValueError):
            read(3, np.array(indptr), np.array(indices), np.ones(len(indices)), 1e-12)


def _resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_no_leak_over_thousands_of_factor_close_cycles() -> None:
    A = laplace2d(10, 0.5)
    x = np.ones(100)

    def cycles(count: int) -> None:
        for k in range(count):
            if k % 2:
                with trelvak.factor(A) as M:
                    M.apply(x)
            else:
                trelvak.factor(A).apply(x)  # released when collected
            if k % 500 == 0:
                with pytest.raises(ValueError):
                    trelvak.factor(A, droptol=-1)
                with pytest.raises(trelvak.FactorizationError):
                    trelvak.factor(sp.diags([1.0, 0.0, 1.0]))

    cycles(300)
    gc.collect()
    before = _resident_bytes()
    cycles(3000)
    gc.collect()
    grown = _resident_bytes() - before
    assert grown < 2 * 2**20, f"resident memory grew by {grown} bytes over 3000 cycles"
