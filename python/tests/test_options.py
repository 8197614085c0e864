"""Option keys, defaults and checks, and that the options reach the factorization and the
solve."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest

import trelvak
from trelvak import _trelvak
from conftest import laplace2d

# The keys of DSYMtrelvakinit, in the order of its structure.
KEYS = [
    "elbow", "lfilS", "lfil", "maxit", "droptolS", "droptol", "condest", "restol",
    "npresmoothing", "npostmoothing", "ncoarse", "matching", "nrestart", "damping", "amg",
    "presmoother", "postsmoother", "typecoarse", "typetv", "FCpart", "solver", "ordering",
]


def test_options_carry_the_keys_and_defaults_of_the_core() -> None:
    defaults = _trelvak.default_options()
    assert list(defaults) == KEYS
    assert trelvak.Options().to_dict() == defaults
    assert [f.name for f in dataclasses.fields(trelvak.Options)] == KEYS
    o = trelvak.Options(droptol=1e-2).replace(solver="gmres")
    assert (o.droptol, o.solver, o.restol) == (1e-2, "gmres", defaults["restol"])
    with pytest.raises(dataclasses.FrozenInstanceError):
        o.droptol = 1.0  # type: ignore[misc]


BAD = [
    ("droptol", -1.0, "droptol"),
    ("droptol", float("nan"), "droptol"),
    ("droptol", "small", "droptol"),
    ("droptol", None, "droptol"),
    ("droptol", 1j, "droptol"),
    ("condest", 0.5, "condest"),
    ("elbow", 0.0, "elbow"),
    ("restol", 0.0, "restol"),
    ("restol", 1.0, "restol"),
    ("maxit", 0, "maxit"),
    ("maxit", 2.5, "whole number"),
    ("maxit", 1e12, "maxit"),
    ("lfil", -1, "lfil"),
    ("matching", 2, "matching"),
    ("damping", 0.0, "damping"),
    ("ncoarse", 0, "ncoarse"),
    ("solver", "cg", "solver"),
    ("solver", 3, "solver"),
    ("ordering", "colamd", "ordering"),
    ("amg", "", "amg"),
    ("droptl", 1e-3, "unknown option 'droptl'"),
]


@pytest.mark.parametrize("key, value, words", BAD, ids=[f"{k}={v!r}" for k, v, _ in BAD])
def test_unknown_keys_and_bad_values_raise_value_error_naming_them(key: str, value: object,
                                                                    words: str) -> None:
    A = laplace2d(5)
    for call in (
        lambda: trelvak.factor(A, **{key: value}),
        lambda: trelvak.solve(A, np.ones(25), **{key: value}),
        lambda: trelvak.factor(A, {key: value}),
        lambda: trelvak.Options().replace(**{key: value}),
    ):
        with pytest.raises(ValueError, match=words):
            call()


def test_accepted_values_of_every_kind() -> None:
    A = laplace2d(8, 0.5)
    P = trelvak.factor(A, droptol=np.float32(1e-2), maxit=np.int64(20), matching=True,
                       ordering="metisn", lfil=5.0)
    assert (P.options.droptol, P.options.maxit, P.options.matching) == (
        pytest.approx(1e-2), 20, 1)
    assert P.options.ordering == "metisn" and P.options.lfil == 5
    with pytest.raises(TypeError, match="options"):
        trelvak.factor(A, options=[("droptol", 1e-2)])  # type: ignore[arg-type]


def test_options_reach_the_factorization_and_the_solve() -> None:
    A = laplace2d(30, 0.3)
    b = np.ones(A.shape[0])
    coarse = trelvak.factor(A, droptol=1e-1)
    fine = trelvak.factor(A, trelvak.Options(droptol=1e-4))
    assert coarse.info.fill < fine.info.fill
    assert coarse.options.droptol == 1e-1 and fine.options.droptol == 1e-4
    # The keyword overrides the Options object.
    x, info = trelvak.solve(A, b, options=trelvak.Options(solver="sbcg"), solver="gmres",
                           restol=1e-9)
    assert info.options.solver == "gmres" and info.options.restol == 1e-9
    assert info.converged and info.relres[0] <= 1e-9
