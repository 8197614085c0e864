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

from typing import Any

import numpy as np
import scipy.sparse as sp

from . import _trelvak

_INT32_MAX = np.iinfo(np.int32).max


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
        if type(M) is not sp.csr_matrix:
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


def upper_rows(A: Any, symmetry_tol: float = 1e-12) -> _trelvak.Triangle:
    """The triangle of ``A`` the solver reads (see the module notes), with duplicates summed,
    held by the core in its own layout (``.n``; ``.side``: "lower" or "upper", the triangle
    read). The core takes the triangle and compares the two sides in a few passes over the
    entries; done with scipy's operations, those steps cost about as much as the whole solve
    of a matrix of a few hundred rows."""
    M = as_csr(A)
    return _trelvak.Triangle(M.shape[0], M.indptr, M.indices, M.data, float(symmetry_tol))


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
