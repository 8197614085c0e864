#!/usr/bin/env python3
"""trelvak_petsc4py.py: the example program's solve from petsc4py, with TRELVAK loaded into PETSc
at run time (no compiled code of ours is imported).

    mpiexec -n 2 python3 trelvak_petsc4py.py -dll_append <build>/petsc/libtrelvak_petsc.so \
        [-f matrix.mtx | -grid N] [PETSc options]

Every rank reads the Matrix Market file (or generates the optimal-control KKT matrix on an N x N
grid, three unknowns per node, zero diagonal on the multiplier rows) and assembles its own rows;
b = A*ones. Without solver options: symmetric QMR + trelvak on one rank, GMRES + block Jacobi
over trelvak blocks on several. Prints the iterations, the reason, the true relative residual,
the times and a last line "result: key=value ..." as the C++ example does.
"""
import sys
import time

import petsc4py

petsc4py.init(sys.argv)
from petsc4py import PETSc  # noqa: E402
import numpy as np  # noqa: E402
import scipy.io  # noqa: E402
import scipy.sparse as sp  # noqa: E402


def optimal_control(N, beta=1e-2):
    """[0 K -M; K M 0; -M 0 beta M] by nodes (lambda, y, u), K the 5-point stiffness, M = h^2 I."""
    h = 1.0 / (N + 1)
    m = h * h
    nodes = N * N
    rows, cols, vals = [], [], []

    def put(r, c, v):
        rows.append(r)
        cols.append(c)
        vals.append(v)
        if r != c:
            rows.append(c)
            cols.append(r)
            vals.append(v)

    for gy in range(N):
        for gx in range(N):
            i = gy * N + gx
            lam, y, u = 3 * i, 3 * i + 1, 3 * i + 2
            put(lam, lam, 0.0)
            put(y, y, m)
            put(u, u, beta * m)
            put(lam, u, -m)
            put(lam, y, 4.0)
            for nx, ny in ((gx + 1, gy), (gx, gy + 1)):
                if nx < N and ny < N:
                    j = ny * N + nx
                    put(lam, 3 * j + 1, -1.0)
                    put(3 * j, y, -1.0)
    return sp.csr_matrix((vals, (rows, cols)), shape=(3 * nodes, 3 * nodes))


def load(opts):
    path = opts.getString("f", "")
    if path:
        A = scipy.io.mmread(path).tocsr()
        return A, path
    N = opts.getInt("grid", 40)
    return optimal_control(N), "optimal control %d" % (3 * N * N)


def main():
    comm = PETSc.COMM_WORLD
    ranks = comm.getSize()
    opts = PETSc.Options()
    full, name = load(opts)
    full.sort_indices()
    n = full.shape[0]
    layout = PETSc.Vec().createMPI(n, comm=comm)  # PETSc's split of the rows
    first, last = layout.getOwnershipRange()
    local = last - first
    rows = full[first:last]
    A = PETSc.Mat().createAIJ(size=((local, n), (local, n)),
                              csr=(rows.indptr.astype(PETSc.IntType),
                                   rows.indices.astype(PETSc.IntType), rows.data), comm=comm)
    A.assemble()
    x, b = A.createVecs()
    x.set(1.0)
    A.mult(x, b)
    x.set(0.0)

    ksp = PETSc.KSP().create(comm)
    ksp.setOperators(A)
    ksp.setTolerances(rtol=1e-6, atol=0.0, max_it=1000)
    if ranks == 1:
        ksp.setType("sqmr")
        ksp.getPC().setType("trelvak")
    else:
        ksp.setType("gmres")
        ksp.setGMRESRestart(50)
        ksp.setPCSide(PETSc.PC.Side.RIGHT)
        ksp.getPC().setType("bjacobi")
        if not opts.hasName("sub_pc_type"):
            opts.setValue("sub_pc_type", "trelvak")
    ksp.setFromOptions()

    t0 = time.perf_counter()
    ksp.setUp()
    ksp.setUpOnBlocks()
    t1 = time.perf_counter()
    ksp.solve(b, x)
    t2 = time.perf_counter()

    r = b.duplicate()
    A.mult(x, r)
    r.aypx(-1.0, b)
    relres = r.norm() / b.norm()
    setup = slowest(comm, t1 - t0)
    solve = slowest(comm, t2 - t1)
    its = ksp.getIterationNumber()
    reason = ksp.getConvergedReason()
    PETSc.Sys.Print("matrix     %s, n = %d, %d rank%s" % (name, n, ranks, "" if ranks == 1 else "s"))
    PETSc.Sys.Print("solver     %s + %s: reason %d after %d iterations"
                    % (ksp.getType(), ksp.getPC().getType(), reason, its))
    PETSc.Sys.Print("residual   ||b - A x|| / ||b|| = %.3e" % relres)
    PETSc.Sys.Print("time       set-up %.3f s, solve %.3f s (slowest rank)" % (setup, solve))
    PETSc.Sys.Print("result: ranks=%d n=%d iterations=%d reason=%d relres=%.3e setup=%.4f solve=%.4f"
                    % (ranks, n, its, reason, relres, setup, solve))
    return 0 if reason > 0 else 1


def slowest(comm, seconds):
    """The largest value of seconds over the ranks."""
    v = PETSc.Vec().createMPI((1, PETSc.DECIDE), comm=comm)
    v.array[0] = seconds
    return v.max()[1]


if __name__ == "__main__":
    try:
        sys.exit(main())
    except PETSc.Error as error:
        # An error on one rank would leave the others waiting in a collective call.
        sys.stderr.write("trelvak_petsc4py: %s\n" % error)
        PETSc.COMM_WORLD.abort(1)
