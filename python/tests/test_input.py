"""What factor() and solve() accept, which triangle they read, and what they refuse."""

from __future__ import annotations

import re

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import trelvak
from conftest import relres


@pytest.fixture(scope="module")
def small() -> sp.csr_matrix:
    """A symmetric indefinite matrix small enough to be given dense too."""
    rng = np.random.default_rng(7)
    R = sp.random(60, 60, density=0.08, random_state=7)
    return (R + R.T + sp.diags(rng.uniform(-3.0, 3.0, 60)) + 4.0 * sp.eye(60, k=1)
            + 4.0 * sp.eye(60, k=-1)).tocsr()


def _same_preconditioner(P: trelvak.Preconditioner, Q: trelvak.Preconditioner) -> bool:
    z = np.linspace(-1.0, 1.0, P.n)
    return bool(np.array_equal(P.apply(z), Q.apply(z)))


def test_every_accepted_format_gives_the_same_factor(small: sp.csr_matrix) -> None:
    reference = trelvak.factor(small)
    forms = {
        "csr": small.tocsr(),
        "csc": small.tocsc(),
        "coo": small.tocoo(),
        "csr_array": sp.csr_array(small),
        "dense": small.toarray(),
    }
    for name, A in forms.items():
        P = trelvak.factor(A)
        assert _same_preconditioner(reference, P), name
    # Integer matrices are read as doubles.
    ints = (sp.eye(5) * 4 - sp.eye(5, k=1) - sp.eye(5, k=-1)).astype(np.int32)
    x, info = trelvak.solve(ints, np.ones(5))
    assert info.converged and relres(ints, np.ones(5), x) <= 1e-6


def test_coo_duplicates_are_summed(small: sp.csr_matrix) -> None:
    C = small.tocoo()
    # Every entry split into two halves at the same position.
    dup = sp.coo_matrix(
        (np.concatenate([C.data / 2, C.data / 2]),
         (np.concatenate([C.row, C.row]), np.concatenate([C.col, C.col]))),
        shape=C.shape,
    )
    assert _same_preconditioner(trelvak.factor(small), trelvak.factor(dup))


def test_one_triangle_is_read(small: sp.csr_matrix) -> None:
    full = trelvak.factor(small)
    lower = trelvak.factor(sp.tril(small))
    upper = trelvak.factor(sp.triu(small))
    assert full.info.triangle == "lower" and lower.info.triangle == "lower"
    assert upper.info.triangle == "upper"
    assert _same_preconditioner(full, lower) and _same_preconditioner(full, upper)
    b = np.ones(small.shape[0])
    for A in (sp.tril(small), sp.triu(small)):
        x, info = trelvak.solve(A, b)
        assert info.converged and relres(small, b, x) <= 1e-6


def test_symmetry_is_checked_when_both_triangles_are_given(small: sp.csr_matrix) -> None:
    A = small.tolil()
    A[3, 10] += 1e-3  # upper entry only
    with pytest.raises(ValueError, match="not symmetric"):
        trelvak.factor(A.tocsr())
    with pytest.raises(ValueError, match="not symmetric"):
        trelvak.solve(A.tocsr(), np.ones(60))
    # Rounding-level differences pass; a looser tolerance accepts more.
    B = small.copy()
    B.data = B.data * (1.0 + 1e-15 * np.sign(np.arange(B.nnz) % 3 - 1))
    trelvak.factor(B)
    trelvak.factor(A.tocsr(), symmetry_tol=1e-2)


def test_the_triangles_are_compared_entry_by_entry(small: sp.csr_matrix) -> None:
    # Changes on one side only, one of them where the other side stores nothing, so that the two
    # triangles differ in pattern as well as in values.
    A = small.tolil()
    A[3, 10] += 1e-3
    i, j = next((i, j) for i in range(60) for j in range(i) if small[i, j] == 0)
    A[i, j] = -2e-3
    A = A.tocsr()
    expected = spla.norm(A - A.T) / spla.norm(A)
    with pytest.raises(ValueError, match="not symmetric") as refused:
        trelvak.factor(A)
    reported = float(re.search(r"= (\S+) exceeds", str(refused.value)).group(1))
    assert reported == pytest.approx(expected, rel=5e-3)
    trelvak.factor(A, symmetry_tol=1.01 * expected)
    with pytest.raises(ValueError, match="not symmetric"):
        trelvak.factor(A, symmetry_tol=0.99 * expected)


def test_explicit_zeros_below_the_diagonal_leave_the_upper_triangle_read(
        small: sp.csr_matrix) -> None:
    upper = sp.triu(small).tocoo()
    rows, cols = np.nonzero(sp.tril(small, k=-1).toarray())
    A = sp.csr_matrix(
        (np.concatenate([upper.data, np.zeros(rows.size)]),
         (np.concatenate([upper.row, rows]), np.concatenate([upper.col, cols]))),
        shape=small.shape,
    )
    assert A.nnz == small.nnz  # the zeros are stored
    P = trelvak.factor(A)
    assert P.info.triangle == "upper"
    assert _same_preconditioner(trelvak.factor(small), P)


@pytest.mark.parametrize(
    "A, error, words",
    [
        (sp.random(4, 5, density=0.5, random_state=1), ValueError, "square"),
        (np.ones(4), ValueError, "2-D"),
        (np.ones((2, 2, 2)), ValueError, "2-D"),
        (sp.csr_matrix((0, 0)), ValueError, "at least one row"),
        (sp.eye(4, dtype=complex) * (1 + 1j), ValueError, "complex"),
        (np.full((3, 3), "a"), TypeError, "numbers"),
        ("matrix", TypeError, "scipy.sparse"),
        (None, TypeError, "scipy.sparse"),
        (sp.diags([1.0, np.nan, 1.0]), ValueError, "finite"),
        (sp.diags([1.0, np.inf, 1.0]), ValueError, "finite"),
    ],
    ids=["not square", "1-D", "3-D", "empty", "complex", "text", "str", "None", "NaN", "Inf"],
)
def test_bad_matrices_are_refused(A: object, error: type, words: str) -> None:
    with pytest.raises(error, match=words):
        trelvak.factor(A)
    with pytest.raises(error, match=words):
        trelvak.solve(A, np.ones(4))


def test_a_zero_row_fails_the_factorization_cleanly() -> None:
    A = sp.diags([1.0, 0.0, 2.0]).tocsr()
    with pytest.raises(trelvak.FactorizationError):
        trelvak.factor(A)
    assert issubclass(trelvak.FactorizationError, RuntimeError)


@pytest.mark.parametrize(
    "b, error, words",
    [
        (np.ones(59), ValueError, "shape"),
        (np.ones((60, 2, 1)), ValueError, "shape"),
        (np.ones(60) * 1j, ValueError, "complex"),
        (np.r_[np.ones(59), np.nan], ValueError, "finite"),
        (np.array(["x"] * 60), TypeError, "numbers"),
    ],
    ids=["short", "3-D", "complex", "NaN", "text"],
)
def test_bad_right_hand_sides_are_refused(small: sp.csr_matrix, b: object, error: type,
                                          words: str) -> None:
    with pytest.raises(error, match=words):
        trelvak.solve(small, b)


def test_bad_initial_guesses_are_refused(small: sp.csr_matrix) -> None:
    with pytest.raises(ValueError, match="x0"):
        trelvak.solve(small, np.ones((60, 2)), x0=np.zeros(60))
    with pytest.raises(ValueError, match="finite"):
        trelvak.solve(small, np.ones(60), x0=np.full(60, np.inf))
    with pytest.raises(TypeError, match="fallback"):
        trelvak.solve(small, np.ones(60), fallback="yes")
