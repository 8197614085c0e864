"""Conversion of the user's matrix into the triangle the C++ core reads.

The core takes the upper triangle with the diagonal in 0-based compressed rows, columns
ascending. Which triangle of the user's matrix is read:

* the lower triangle (with the diagonal), as octave/trelvak.m reads it, when the matrix stores
  entries below the diagonal;
* the upper triangle when it stores entries above the diagonal only (a matrix given as its
  upper triangle).

When both triangles hold entries they must agree: ``||A - A^T||_F <= symmetry_tol * ||A||_F``,
else ``ValueError``.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg  # noqa: F401  (sp.linalg.norm)

_INT32_MAX = np.iinfo(np.int32).max


class UpperRows(NamedTuple):
    """The upper triangle of a symmetric matrix by rows (0-based), as the core reads it."""

    n: int
    indptr: np.ndarray
    indices: np.ndarray
    data: np.ndarray
    triangle: str  # "lower" or "upper": the triangle of the given matrix that was read


def _real_values(values: np.ndarray, what: str) -> np.ndarray:
    """``values`` as float64 after checking that they are real numbers and finite."""
    kind = values.dtype.kind
    if kind == "c":
        raise ValueError(f"{what} must be real, not complex ({values.dtype}).")
    if kind not in "biuf":
        raise TypeError(f"{what} must hold numbers, not {values.dtype}.")
    out = np.asarray(values, dtype=np.float64)
    if not np.all(np.isfinite(out)):
        raise ValueError(f"{what} must be finite (it holds NaN or Inf).")
    return out


def as_csr(A: Any) -> sp.csr_matrix:
    """A scipy.sparse matrix or a dense 2-D array as a real CSR matrix in canonical form
    (sorted, no duplicates), checked: 2-D, square, at least one row, real and finite entries,
    sizes within 32-bit indices."""
    if sp.issparse(A):
        M = A if A.format == "csr" else A.tocsr()
        M = sp.csr_matrix(M)  # a csr_array becomes a matrix (arrays shared)
    elif isinstance(A, (np.ndarray, list, tuple)) or hasattr(A, "__array__"):
        dense = np.asarray(A)
        if dense.ndim != 2:
            raise ValueError(f"A must be a 2-D matrix, not an array of {dense.ndim} dimensions.")
        _real_values(dense, "A")  # message before a conversion that would drop imaginary parts
        M = sp.csr_matrix(dense)
    else:
        raise TypeError(
            f"A must be a scipy.sparse matrix or a dense 2-D array, not {type(A).__name__}."
        )
    rows, cols = M.shape
    if rows != cols:
        raise ValueError(f"A must be square, not {rows} x {cols}.")
    if rows == 0:
        raise ValueError("A must have at least one row.")
    if rows > _INT32_MAX or M.nnz > _INT32_MAX:
        raise ValueError("A is too large for 32-bit indices.")
    data = _real_values(M.data, "A")
    if data is not M.data or not M.has_canonical_format:
        M = sp.csr_matrix((data, M.indices, M.indptr), shape=M.shape)
        M.sum_duplicates()
    return M


def _part(M: sp.csr_matrix, rows: np.ndarray, keep: np.ndarray) -> sp.csr_matrix:
    """The entries of the canonical M where keep holds, as a canonical CSR matrix."""
    n = M.shape[0]
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows[keep], minlength=n), out=indptr[1:])
    return sp.csr_matrix((M.data[keep], M.indices[keep], indptr), shape=M.shape)


def upper_rows(A: Any, symmetry_tol: float = 1e-12) -> UpperRows:
    """The triangle of ``A`` the solver reads (see the module notes), by rows of its upper
    form, with duplicates summed."""
    M = as_csr(A)
    n = M.shape[0]
    rows = np.repeat(np.arange(n, dtype=np.int32), np.diff(M.indptr))
    cols = M.indices
    nonzero = M.data != 0
    has_lower = bool(np.any(nonzero & (rows > cols)))
    has_upper = bool(np.any(nonzero & (rows < cols)))
    upper = _part(M, rows, rows <= cols)
    if has_upper and not has_lower:
        U, triangle = upper, "upper"
    else:
        U, triangle = _part(M, rows, rows >= cols).T.tocsr(), "lower"
        U.sort_indices()
    if has_lower and has_upper:
        _check_symmetry(U, upper, float(np.linalg.norm(M.data)), symmetry_tol)
    if U.nnz > _INT32_MAX:
        raise ValueError("A is too large for 32-bit indices.")
    return UpperRows(
        n,
        np.ascontiguousarray(U.indptr, dtype=np.int32),
        np.ascontiguousarray(U.indices, dtype=np.int32),
        np.ascontiguousarray(U.data, dtype=np.float64),
        triangle,
    )


def _check_symmetry(from_lower: sp.csr_matrix, upper: sp.csr_matrix, norm_a: float,
                    symmetry_tol: float) -> None:
    """Raises ValueError when the two triangles differ beyond ``symmetry_tol``: the upper
    triangle as read from each side, ||A - A^T||_F = sqrt(2) ||from_lower - upper||_F."""
    if np.array_equal(from_lower.indptr, upper.indptr) and np.array_equal(
        from_lower.indices, upper.indices
    ):
        gap = float(np.linalg.norm(from_lower.data - upper.data))
    else:
        gap = float(sp.linalg.norm(from_lower - upper)) if (from_lower - upper).nnz else 0.0
    norm_d = np.sqrt(2.0) * gap
    if norm_d > symmetry_tol * norm_a:
        raise ValueError(
            "A is not symmetric: ||A - A^T||_F / ||A||_F = "
            f"{norm_d / norm_a:.3g} exceeds symmetry_tol = {symmetry_tol:.3g}. Give one "
            "triangle (the lower one is read when both are given) or a symmetric matrix."
        )


def as_block(b: Any, n: int, what: str) -> tuple[np.ndarray, bool]:
    """``b`` as an n x m float64 array in column-major order, checked (real, finite, n rows),
    and whether it was one vector."""
    if sp.issparse(b):
        b = b.toarray()
    arr = np.asarray(b)
    if arr.ndim not in (1, 2) or arr.shape[0] != n:
        raise ValueError(f"{what} must have shape ({n},) or ({n}, m), not {arr.shape}.")
    values = _real_values(arr, what)
    vector = values.ndim == 1
    block = values.reshape(n, 1) if vector else values
    return np.asfortranarray(block), vector
