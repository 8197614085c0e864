"""Threads, lanes and interrupts: concurrent solves and applications give the answers of serial
ones; TRELVAK_NUM_THREADS sets the lanes; Ctrl-C ends a long solve with KeyboardInterrupt."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import scipy.sparse as sp

import trelvak
from conftest import kkt, stokes

_HERE = os.path.dirname(os.path.abspath(__file__))


def _run_together(work: list) -> list:
    results: list = [None] * len(work)
    errors: list = []

    def run(k: int) -> None:
        try:
            results[k] = work[k]()
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(work))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


def test_two_threads_solving_at_once_get_the_serial_answers() -> None:
    problems = [stokes(30), kkt(1500, 500, seed=4)]
    rhs = [A @ np.ones(A.shape[0]) for A in problems]
    serial = [trelvak.solve(A, b)[0] for A, b in zip(problems, rhs)]

    def repeat(k: int):
        return lambda: [trelvak.solve(problems[k], rhs[k])[0] for _ in range(4)]

    for k, runs in enumerate(_run_together([repeat(0), repeat(1)])):
        for x in runs:
            np.testing.assert_array_equal(x, serial[k])


def test_two_threads_applying_one_preconditioner_take_turns() -> None:
    A = stokes(30)
    M = trelvak.factor(A)
    rng = np.random.default_rng(2)
    Z = [rng.standard_normal(A.shape[0]) for _ in range(2)]
    expected = [M.apply(z) for z in Z]

    def repeat(k: int):
        return lambda: [M.apply(Z[k]) for _ in range(30)]

    for k, runs in enumerate(_run_together([repeat(0), repeat(1)])):
        for y in runs:
            np.testing.assert_array_equal(y, expected[k])


def _python(code: str, env: dict | None = None, **kwargs) -> subprocess.Popen:
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **(env or {}))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            cwd=_HERE, **kwargs)


def test_trelvak_num_threads_sets_the_lanes() -> None:
    code = """
        import numpy as np, trelvak
        from conftest import stokes
        A = stokes(60)
        x, info = trelvak.solve(A, A @ np.ones(A.shape[0]))
        print(trelvak.lane_count(), info.converged)
    """
    for lanes in ("1", "2"):
        out, err = _python(code, {"TRELVAK_NUM_THREADS": lanes}).communicate(timeout=60)
        assert out.split() == [lanes, "True"], err


def test_ctrl_c_interrupts_a_long_solve() -> None:
    code = """
        import sys, time, numpy as np, trelvak
        from conftest import laplace2d
        A = laplace2d(400)
        b = np.ones(A.shape[0])
        print("start", flush=True)
        t = time.time()
        try:
            trelvak.solve(A, b, droptol=0.5, restol=1e-15, maxit=10**7, fallback=False)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.time() - t, flush=True)
        x, info = trelvak.solve(laplace2d(10), np.ones(100))  # still usable
        print(info.converged)
    """
    child = _python(code)
    assert child.stdout.readline().strip() == "start"
    time.sleep(1.5)
    sent = time.time()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    answered = time.time() - sent
    words = out.split()
    assert words[0] == "interrupted", out + err
    assert words[-1] == "True"
    assert answered < 5.0


def test_blas_runs_on_one_thread_during_the_calls_and_as_before_after_them() -> None:
    # The session's count comes back afterwards, also when calls on several threads overlap.
    code = """
        import ctypes, threading, time, numpy as np, trelvak
        from conftest import stokes
        try:
            blas = ctypes.CDLL("libopenblas.so.0", mode=4 | 1)  # RTLD_NOLOAD | RTLD_LAZY
            count = blas.openblas_get_num_threads
        except (OSError, AttributeError):
            print("no-openblas")
            raise SystemExit
        A = stokes(40)
        b = A @ np.ones(A.shape[0])
        before = count()
        trelvak.factor(A).apply(b)
        after_one = count()
        done = threading.Event()

        def solving():
            while not done.is_set():
                trelvak.solve(A, b)

        threads = [threading.Thread(target=solving) for _ in range(3)]
        for t in threads:
            t.start()
        seen, until = set(), time.time() + 20
        while 1 not in seen and time.time() < until:
            seen.add(count())
        done.set()
        for t in threads:
            t.join()
        print(before, after_one, 1 in seen, count())
    """
    out, err = _python(code, {"OPENBLAS_NUM_THREADS": "2"}).communicate(timeout=60)
    if out.strip() == "no-openblas":
        pytest.skip("numpy's BLAS is not OpenBLAS")
    assert out.split() == ["2", "2", "True", "2"], err
