"""Test matrices made here (no files): a Stokes-like saddle point, a KKT matrix with a zero (2,2)
block, shifted Laplacians."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest
import scipy.sparse as sp

# The package from the build folder when it is not importable otherwise (ctest sets PYTHONPATH).
try:
    import trelvak  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "build-python", "python"))


def laplace1d(m: int) -> sp.csr_matrix:
    return sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(m, m), format="csr")


def laplace2d(m: int, shift: float = 0.0) -> sp.csr_matrix:
    """Five-point Laplacian on an m x m grid minus shift * I (indefinite for a large shift)."""
    L = sp.kronsum(laplace1d(m), laplace1d(m), format="csr")
    return (L - shift * sp.eye(m * m)).tocsr()


def stokes(k: int) -> sp.csr_matrix:
    """[K B^T; B 0] of the Stokes equations on k x k cells, staggered (MAC) grid: velocities on
    the inner cell faces, K their five-point Laplacians, B the divergence per cell. The last
    cell's pressure is left out, which removes the constant pressure from the kernel."""
    D = sp.diags([1.0, -1.0], [0, -1], shape=(k, k - 1))  # right face minus left face
    I = sp.eye(k)
    Bx = sp.kron(I, D)  # u on the k x (k-1) vertical faces
    By = sp.kron(D, I)  # v on the (k-1) x k horizontal faces
    Ku = sp.kron(I, laplace1d(k - 1)) + sp.kron(laplace1d(k), sp.eye(k - 1))
    Kv = sp.kron(laplace1d(k - 1), I) + sp.kron(sp.eye(k - 1), laplace1d(k))
    B = sp.hstack([Bx, By]).tocsr()[:-1, :]
    return sp.bmat([[sp.block_diag([Ku, Kv]), B.T], [B, None]], format="csr")


def kkt(n: int, m: int, seed: int = 0) -> sp.csr_matrix:
    """[H A^T; A 0]: H symmetric positive definite (n x n), A (m x n) of full row rank; the
    (2,2) block is structurally zero."""
    rng = np.random.default_rng(seed)
    R = sp.random(n, n, density=4.0 / n, random_state=seed)
    H = (R @ R.T + sp.diags(1.0 + rng.random(n))).tocsr()
    A = (sp.random(m, n, density=3.0 / n, random_state=seed + 1) + sp.eye(m, n)).tocsr()
    return sp.bmat([[H, A.T], [A, None]], format="csr")


@pytest.fixture(scope="session")
def stokes_matrix() -> sp.csr_matrix:
    return stokes(24)


@pytest.fixture(scope="session")
def kkt_matrix() -> sp.csr_matrix:
    return kkt(600, 200)


def relres(A: sp.spmatrix, b: np.ndarray, x: np.ndarray) -> float:
    return float(np.linalg.norm(b - A @ x) / np.linalg.norm(b))


def laplace3d(m: int, shift: float) -> sp.csr_matrix:
    """Seven-point Laplacian on an m^3 grid minus shift * I."""
    I = sp.eye(m)
    L1 = laplace1d(m)
    L = sp.kron(sp.kron(L1, I), I) + sp.kron(sp.kron(I, L1), I) + sp.kron(sp.kron(I, I), L1)
    return (L - shift * sp.eye(m**3)).tocsr()
