"""TRELVAK for Python: sparse symmetric indefinite systems with a multilevel incomplete
L D L^T preconditioner and Krylov methods.

Two ways in:

* ``x, info = trelvak.solve(A, b)`` factors ``A``, solves every column of ``b`` with symmetric
  QMR (by default) and releases the factors, as ``octave/trelvak.m`` does;
* ``M = trelvak.factor(A)`` returns a :class:`Preconditioner` whose ``apply`` is one multilevel
  application ``M^-1 x`` and whose ``as_linear_operator()`` goes into SciPy's Krylov methods
  (``scipy.sparse.linalg.gmres(A, b, M=M.as_linear_operator())``).

``A`` is a scipy.sparse matrix (CSR, CSC, COO, or any other format scipy converts) or a small
dense array. Only one triangle is read: the lower one (with the diagonal), or the upper one when
``A`` stores nothing below its diagonal. When both triangles hold entries they must agree to
``symmetry_tol`` (relative, Frobenius norm), else ``ValueError``.

Options are the keys of ``DSYMtrelvakinit`` with its defaults (:class:`Options`), given as an
``Options`` object, a mapping, or keyword arguments; an unknown key or an unacceptable value
raises ``ValueError`` naming it.

Threads: factorizations, applications and solves run with the GIL released. Different
preconditioners and solves can run on several threads at once (each solve keeps its Krylov
state to itself); calls on one Preconditioner from several threads take turns on its lock. The
product with ``A`` and the sweeps with large factors use ``TRELVAK_NUM_THREADS`` worker lanes
(read once per process; default: the cores, at most 4), see :func:`lane_count`.

Ctrl-C interrupts a factorization or a solve running on the main thread with
``KeyboardInterrupt``; everything it had allocated is released.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any, Mapping, Optional, Union

import numpy as np
import scipy.sparse.linalg as spla

from . import _trelvak
from ._matrix import as_block, upper_rows
from ._trelvak import FactorizationError, SolveError

__all__ = [
    "Options",
    "Preconditioner",
    "FactorInfo",
    "SolveInfo",
    "factor",
    "solve",
    "lane_count",
    "FactorizationError",
    "SolveError",
]

_DEFAULTS: dict[str, Any] = _trelvak.default_options()


@dataclass(frozen=True)
class Options:
    """The options of ``DSYMtrelvakinit`` with its defaults; checked when made.

    Factorization: ``droptol`` (drop tolerance of the factor, >= 0), ``droptolS`` (of the Schur
    complement), ``condest`` (bound >= 1 on the inverse factors' norm), ``elbow`` (stored entries
    at most elbow times those of A), ``lfil``/``lfilS`` (entries per row, 0: no cap),
    ``matching`` (0/1), ``ordering`` (amd, metisn, metise, rcm, amf, mmd, none, pp).
    Solve: ``solver`` (sqmr, sbcg, bcg, gmres, fgmres), ``restol`` in (0, 1), ``maxit`` >= 1,
    ``nrestart``. Cycle: ``amg`` (ilu, amli, mg), ``npresmoothing``, ``npostmoothing``,
    ``ncoarse``, ``presmoother``, ``postsmoother``, ``typecoarse``, ``typetv``, ``FCpart``,
    ``damping``.

    Use :meth:`replace` for a changed copy.
    """

    elbow: float = _DEFAULTS["elbow"]
    lfilS: int = _DEFAULTS["lfilS"]
    lfil: int = _DEFAULTS["lfil"]
    maxit: int = _DEFAULTS["maxit"]
    droptolS: float = _DEFAULTS["droptolS"]
    droptol: float = _DEFAULTS["droptol"]
    condest: float = _DEFAULTS["condest"]
    restol: float = _DEFAULTS["restol"]
    npresmoothing: int = _DEFAULTS["npresmoothing"]
    npostmoothing: int = _DEFAULTS["npostmoothing"]
    ncoarse: int = _DEFAULTS["ncoarse"]
    matching: int = _DEFAULTS["matching"]
    nrestart: int = _DEFAULTS["nrestart"]
    damping: float = _DEFAULTS["damping"]
    amg: str = _DEFAULTS["amg"]
    presmoother: str = _DEFAULTS["presmoother"]
    postsmoother: str = _DEFAULTS["postsmoother"]
    typecoarse: str = _DEFAULTS["typecoarse"]
    typetv: str = _DEFAULTS["typetv"]
    FCpart: str = _DEFAULTS["FCpart"]
    solver: str = _DEFAULTS["solver"]
    ordering: str = _DEFAULTS["ordering"]

    def __post_init__(self) -> None:
        _trelvak.check_options(self.to_dict())

    def to_dict(self) -> dict[str, Any]:
        """Every key with its value, in the order of ``DSYMtrelvakinit``."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}

    def replace(self, **changes: Any) -> "Options":
        """A copy with ``changes`` applied; ``ValueError`` for an unknown key or bad value."""
        _trelvak.check_options(changes)
        return dataclasses.replace(self, **changes)


OptionsLike = Union[Options, Mapping[str, Any], None]


def _merged_options(options: OptionsLike, changes: Mapping[str, Any]) -> dict[str, Any]:
    """The options as a checked dictionary: ``options`` (Options, mapping or None), then the
    keyword ``changes``."""
    if options is None:
        merged: dict[str, Any] = {}
    elif isinstance(options, Options):
        merged = options.to_dict()
    elif isinstance(options, Mapping):
        merged = dict(options)
    else:
        raise TypeError(
            f"options must be a trelvak.Options, a mapping or None, not {type(options).__name__}."
        )
    merged.update(changes)
    _trelvak.check_options(merged)
    return merged


def lane_count() -> int:
    """Worker lanes of the kernels: ``TRELVAK_NUM_THREADS`` when it holds 1..64, otherwise the
    cores, at most 4. Read once per process."""
    return int(_trelvak.lane_count())


@dataclass(frozen=True)
class FactorInfo:
    """What a factorization reports.

    ``nlev`` levels; ``fill`` stored entries of all levels over the entries of the read triangle
    (``nnz_stored / nnz_input``); ``perturbed`` pivots of a singular last level raised to a small
    size; ``probe`` the stability probe of the factor, max ``||A M^-1 r - r|| / ||r||`` over two
    residuals ``r = A v`` (far below 1 for a sound factor; above 1 the factor is made again with
    condest 100, then nearly exact with nested dissection, then (zero diagonal entries) of a
    regularized matrix, last, unless the kept factor meets restol in a short trial solve, with droptol 0.3
    (kept when it does better in that trial), and ``steadied`` says one of those was kept,
    ``steadied_by`` which); ``quick`` says that the quick factor was kept (level 1 in the
    given order with droptol 0.1, made first under the default cycle, ordering and dropping, and
    kept when it is sound and meets restol in a trial solve of at most 30 iterations);
    ``droptol``, ``droptolS``,
    ``condest`` the controls level 1 was factored with (they differ from the options when the
    factorization started over with other controls);
    ``setup_time`` wall seconds, ``cpu_time`` processor seconds; ``passes`` the passes over the
    levels; ``level_times`` per level: order ``n``, ``dense``, and the seconds spent in
    ``reorder``, ``factor``, ``schur``, ``dense_factor`` and ``total``; ``triangle`` the triangle
    of the given matrix that was read.
    """

    n: int
    nlev: int
    fill: float
    nnz_input: int
    nnz_stored: int
    perturbed: int
    droptol: float
    droptolS: float
    condest: float
    setup_time: float
    cpu_time: float
    passes: int
    level_times: list = field(default_factory=list)
    probe: float = 0.0
    steadied: bool = False
    steadied_by: str = ""
    quick: bool = False
    triangle: str = "lower"

    @classmethod
    def _from(cls, d: Mapping[str, Any], triangle: str) -> "FactorInfo":
        names = {f.name for f in dataclasses.fields(cls)}
        return cls(**{k: v for k, v in d.items() if k in names}, triangle=triangle)


@dataclass(frozen=True)
class SolveInfo:
    """What :func:`solve` reports, per column of ``b`` where it says so.

    ``converged`` is True exactly when every column's true relative residual
    ``||b - A x|| / ||b||`` (``relres``, computed with the symmetric matrix of the triangle read)
    is at most ``options.restol``; ``converged_columns`` says it per column. ``niter``
    iterations of the solve whose result is returned; ``watched`` iterations spent in the watch
    and in solves not kept; ``fallback_used`` the column's solution comes from the cruder
    factor; ``switched_at`` SQMR's iterations before GMRES went on from its iterate (0: no
    change of method); ``fallback_fill`` that factor's fill (None when none was made); ``setup_time`` wall
    seconds of the factorizations, ``solve_time`` of the solves; ``factor`` the first
    factorization's :class:`FactorInfo`; ``options`` the values the solves used.
    """

    converged: bool
    converged_columns: np.ndarray
    relres: np.ndarray
    niter: np.ndarray
    watched: np.ndarray
    fallback_used: np.ndarray
    switched_at: np.ndarray
    nlev: int
    fill: float
    perturbed: int
    fallback_fill: Optional[float]
    setup_time: float
    solve_time: float
    factor: FactorInfo
    options: Options


def _core_of(obj: Any) -> Any:
    """The live C++ factorization behind a Preconditioner; TypeError for another object,
    ValueError once it has been released."""
    if not isinstance(obj, Preconditioner):
        raise TypeError(f"expected a trelvak.Preconditioner, not {type(obj).__name__}.")
    core = getattr(obj, "_core", None)
    if core is None or core.released:
        raise ValueError("the preconditioner has been released (close() was called).")
    return core


class Preconditioner:
    """The multilevel incomplete L D L^T preconditioner of one matrix, made by :func:`factor`.

    ``apply(x)`` returns ``M^-1 x`` (x of shape (n,) or (n, k)); ``as_linear_operator()`` wraps
    it for SciPy; ``info`` is the :class:`FactorInfo`. ``close()`` releases the factors at once
    (also through ``with trelvak.factor(A) as M: ...``); afterwards every use raises
    ``ValueError``. Otherwise they are released when the object is collected.

    ``M`` approximates ``A^-1`` for an indefinite ``A`` and is itself symmetric indefinite: use
    it with methods that accept an indefinite preconditioner (GMRES, BiCGStab, QMR). SciPy's
    MINRES needs a symmetric positive definite preconditioner (it forms the M-inner product
    ``sqrt(x^T M^-1 x)``), so with this one it stops or returns a wrong answer.

    Calls from several threads on the same object take turns (one lock per object); different
    objects work in parallel.
    """

    __slots__ = ("_core", "_info", "_options", "__weakref__")

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("Preconditioner objects are made by trelvak.factor(A, ...).")

    @classmethod
    def _wrap(cls, core: Any, triangle: str) -> "Preconditioner":
        self = object.__new__(cls)
        self._core = core
        self._info = FactorInfo._from(core.info, triangle)
        self._options = Options(**core.options)
        return self

    @property
    def n(self) -> int:
        """Order of the factored matrix."""
        return int(self._info.n)

    @property
    def shape(self) -> tuple[int, int]:
        """``(n, n)``."""
        return (self.n, self.n)

    @property
    def info(self) -> FactorInfo:
        """Levels, fill, perturbed pivots, controls used and times of the factorization."""
        return self._info

    @property
    def options(self) -> Options:
        """The options the factorization was made with."""
        return self._options

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has released the factors."""
        core = getattr(self, "_core", None)
        return core is None or core.released

    def apply(self, x: Any) -> np.ndarray:
        """``M^-1 x``: one application of the multilevel preconditioner to the vector ``x``
        (shape (n,)) or to each column of a block (shape (n, k)); the result has x's shape."""
        core = _core_of(self)
        arr = np.asarray(x)
        if arr.dtype.kind == "c":
            raise ValueError("x must be real, not complex.")
        if arr.dtype.kind not in "biuf":
            raise TypeError(f"x must hold numbers, not {arr.dtype}.")
        if arr.ndim not in (1, 2) or arr.shape[0] != self.n:
            raise ValueError(f"x must have shape ({self.n},) or ({self.n}, k), not {arr.shape}.")
        return core.apply(np.asfortranarray(arr, dtype=np.float64))

    def __matmul__(self, x: Any) -> np.ndarray:
        return self.apply(x)

    def as_linear_operator(self) -> spla.LinearOperator:
        """``M^-1`` as a ``scipy.sparse.linalg.LinearOperator`` (symmetric: its adjoint is
        itself), for the ``M=`` argument of SciPy's Krylov methods."""
        _core_of(self)
        return spla.LinearOperator(
            self.shape,
            matvec=self.apply,
            rmatvec=self.apply,
            matmat=self.apply,
            rmatmat=self.apply,
            dtype=np.float64,
        )

    def close(self) -> None:
        """Releases the factors now (waits for a call running on another thread). Closing
        again does nothing."""
        core = getattr(self, "_core", None)
        if core is not None and not core.released:
            core.release()

    def __enter__(self) -> "Preconditioner":
        _core_of(self)
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __reduce__(self) -> Any:
        raise TypeError("a trelvak.Preconditioner cannot be pickled or copied; factor again.")

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self._info.nlev} levels, fill {self._info.fill:.2f}"
        return f"<trelvak.Preconditioner n={self.n}, {state}>"


def factor(
    A: Any,
    options: OptionsLike = None,
    *,
    symmetry_tol: float = 1e-12,
    **kwargs: Any,
) -> Preconditioner:
    """Factors the symmetric matrix ``A`` into a multilevel preconditioner.

    ``A``: scipy.sparse matrix or dense 2-D array, square, real, finite; the lower triangle is
    read (the upper one when ``A`` stores nothing below its diagonal); both triangles given must
    agree to ``symmetry_tol``. ``options``: :class:`Options` or a mapping; keyword arguments
    change single keys (``trelvak.factor(A, droptol=1e-2)``).

    Raises ``ValueError``/``TypeError`` for bad input or options, ``FactorizationError`` when
    the factorization fails (e.g. a zero row), ``KeyboardInterrupt`` on Ctrl-C.
    """
    merged = _merged_options(options, kwargs)
    U = upper_rows(A, symmetry_tol)
    core = _trelvak.Factorization(U, merged)
    return Preconditioner._wrap(core, U.side)


def solve(
    A: Any,
    b: Any,
    x0: Any = None,
    options: OptionsLike = None,
    *,
    fallback: bool = True,
    symmetry_tol: float = 1e-12,
    **kwargs: Any,
) -> tuple[np.ndarray, SolveInfo]:
    """Solves ``A x = b`` for every column of ``b`` in one call: factors ``A``, runs the Krylov
    method (``solver``, default symmetric QMR) preconditioned by the factors, releases them.

    ``b`` of shape (n,) or (n, m); ``x0`` an initial guess of b's shape (default zero). ``A`` and
    the options as for :func:`factor`.

    Each column is watched for its first 10 iterations: when the true residual has not fallen
    below ``||b||`` by then (below ``0.9 ||b||`` for GMRES and FGMRES) the incomplete factors are
    unstable, ``A`` is factored again with ``droptol`` 0.3 (once for all columns) and the column
    is solved with that factor; the result with the smaller true residual is kept. Otherwise,
    unless the watch converged, the solve starts over from ``x0``, or, when the watch already
    reached ``sqrt(restol)``, goes on from the watch's result. A symmetric QMR solve under an
    indefinite factor that is off course at two checkpoints in a row (every tenth of ``maxit``,
    from 100 iterations to half the limit; off course: at its latest pace it would not meet
    ``restol`` within the limit) goes on with GMRES from its iterate (``switched_at``).
    ``fallback=False`` turns the watch and this change of method off. With one column and no
    ``x0``, the quick factor's short trial solve (``info.factor.quick``) is made on ``b`` itself;
    when that factor is kept its trial met ``restol`` and is the solution: ``niter`` counts the
    trial's iterations and ``setup_time`` holds them.

    Returns ``(x, info)``: x of b's shape and a :class:`SolveInfo`. A column that does not reach
    ``restol`` is no error: ``info.converged`` is False. Raises ``ValueError``/``TypeError`` for
    bad input or options, ``FactorizationError`` when the factorization fails, ``SolveError``
    when the method breaks down, ``KeyboardInterrupt`` on Ctrl-C.
    """
    merged = _merged_options(options, kwargs)
    if not isinstance(fallback, (bool, np.bool_)):
        raise TypeError("fallback must be True or False.")
    U = upper_rows(A, symmetry_tol)
    B, vector = as_block(b, U.n, "b")
    X0 = None
    if x0 is not None:
        X0, _ = as_block(x0, U.n, "x0")
        if X0.shape != B.shape:
            raise ValueError(f"x0 must have the shape of b, {np.shape(b)}, not {np.shape(x0)}.")
    X, d = _trelvak.solve(U, B, X0, merged, bool(fallback))
    used = Options(**d["options"])
    relres = np.asarray(d["relres"], dtype=np.float64)
    columns = relres <= used.restol
    info = SolveInfo(
        converged=bool(np.all(columns)),
        converged_columns=columns,
        relres=relres,
        niter=np.asarray(d["niter"], dtype=np.int64),
        watched=np.asarray(d["watched"], dtype=np.int64),
        fallback_used=np.asarray(d["fallback_used"], dtype=bool),
        switched_at=np.asarray(d["switched_at"], dtype=np.int64),
        nlev=int(d["nlev"]),
        fill=float(d["fill"]),
        perturbed=int(d["perturbed"]),
        fallback_fill=d["fallback_fill"],
        setup_time=float(d["setup_time"]),
        solve_time=float(d["solve_time"]),
        factor=FactorInfo._from(d["factor"], U.side),
        options=used,
    )
    return (X[:, 0].copy() if vector else X), info
