## Solves through the Octave modules: accuracy, what is read of A, the status messages, the
## persistence of options in a handle's record, and the verdict on the true residual.
1;

%!function r = relres (A, x, b)
%!  r = norm (b - A * x) / norm (b);
%!endfunction

%!test
%! ## Definite, indefinite and saddle-point systems reach the requested residual.
%! for kind = {"laplace", "helmholtz", "saddle"}
%!   A = tvk_problem (kind{1}, 12);
%!   n = rows (A);
%!   b = A * (1:n)';
%!   P = DSYMtrelvakfactor (A);
%!   assert (P.n, n);
%!   assert (P.nlev >= 1);
%!   assert (P.fill > 0);
%!   [x, o] = DSYMtrelvaksolver (A, P, struct ("restol", 1e-8), b, zeros (n, 1));
%!   DSYMtrelvakdelete (P);
%!   assert (relres (A, x, b) < 1e-6, kind{1});
%!   assert (o.niter > 0 && o.niter < 100);
%! endfor

%!test
%! ## trelvak.m's solve: on course (or with a method other than SQMR) it is DSYMtrelvaksolver's.
%! A = tvk_problem ("saddle", 12);
%! n = rows (A);
%! b = A * (1:n)';
%! P = DSYMtrelvakfactor (A);
%! for solver = {"sqmr", "gmres"}
%!   o = struct ("solver", solver{1}, "restol", 1e-10, "maxit", 300);
%!   [x, ox] = DSYMtrelvaksolver (A, P, o, b, zeros (n, 1));
%!   [y, oy, stopped] = trelvak_course_mex (A, P, o, b, zeros (n, 1));
%!   assert (y, x);
%!   assert (oy.niter, ox.niter);
%!   assert (stopped, 0);
%! endfor
%! DSYMtrelvakdelete (P);

%!test
%! ## Every method reaches the residual with the same handle.
%! A = tvk_problem ("helmholtz", 12);
%! n = rows (A);
%! b = A * ones (n, 1);
%! P = DSYMtrelvakfactor (A);
%! for s = {"sqmr", "sbcg", "bcg", "gmres", "fgmres"}
%!   [x, o] = DSYMtrelvaksolver (A, P, struct ("solver", s{1}, "restol", 1e-8), b, zeros (n, 1));
%!   assert (o.solver, s{1});
%!   assert (relres (A, x, b) < 1e-6, s{1});
%! endfor
%! DSYMtrelvakdelete (P);

%!test
%! ## Only the lower triangle is read; the inputs are not changed; longer b and x0 are refused
%! ## (they were once cut to their first n entries without a word).
%! A = tvk_problem ("saddle", 6);
%! n = rows (A);
%! b = A * (1:n)';
%! P = DSYMtrelvakfactor (A);
%! A0 = A; b0 = b;
%! x0 = zeros (n, 1);
%! [x1, o] = DSYMtrelvaksolver (A, P, struct (), b, x0);
%! [x2, o] = DSYMtrelvaksolver (tril (A), P, struct (), b, x0);
%! junk = A + sparse (1, n, 99, n, n);
%! [x3, o] = DSYMtrelvaksolver (junk, P, struct (), b, x0);
%! fail ("[x4, o] = DSYMtrelvaksolver (A, P, struct (), [b; 7; 8], x0)", "Fourth input must be");
%! fail ("[x4, o] = DSYMtrelvaksolver (A, P, struct (), b, [x0; 5])", "Fifth input must be");
%! DSYMtrelvakdelete (P);
%! assert (x2, x1);
%! assert (x3, x1);
%! assert (A, A0);
%! assert (b, b0);
%! assert (x0, zeros (n, 1));
%! assert (size (x1), [n, 1]);

%!test
%! ## The iteration limit prints the warning and returns both outputs.
%! A = tvk_problem ("helmholtz", 12);
%! n = rows (A);
%! b = A * ones (n, 1);
%! P = DSYMtrelvakfactor (A, struct ("droptol", 0.5));
%! out = evalc ("[x, o] = DSYMtrelvaksolver (A, P, struct ('maxit', 1, 'restol', 1e-14), b, zeros (n, 1));");
%! DSYMtrelvakdelete (P);
%! assert (out, ["!!! TRELVAK Warning !!!\nnumber of iteration steps exceeded its limit.\n", ...
%!               "Either increase `options.maxit'\n or recompute TRELVAK preconditioner ", ...
%!               "using a smaller `options.droptol'"]);
%! assert (size (x), [n, 1]);
%! assert (all (isfinite (x)));
%! assert (o.maxit, 1);
%! assert (o.niter >= 1);

%!test
%! ## A breakdown is an error and returns no output. Block diagonal [1 0 c; 0 -1 0; c 0 1] with
%! ## the coupling dropped: the first search direction q = (1, -1, 0) has q'Aq = 0.
%! A = kron (speye (40), sparse ([1 0 0.5; 0 -1 0; 0.5 0 1]));
%! n = rows (A);
%! b = repmat ([1; 1; 0], 40, 1);
%! P = DSYMtrelvakfactor (A, struct ("droptol", 1e3, "droptolS", 1e3));
%! clear x o
%! try
%!   [x, o] = DSYMtrelvaksolver (A, P, struct (), b, zeros (n, 1));
%!   msg = "";
%! catch err
%!   msg = err.message;
%! end_try_catch
%! assert (msg, ["DSYMtrelvaksolver: iterative solver breaks down.\nMost likely you need to ", ...
%!               "recompute TRELVAK preconditioner using a smaller `options.droptol'"]);
%! assert (! exist ("x", "var") && ! exist ("o", "var"));
%! ## The handle is still usable with a better preconditioner setting for the solve.
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("solver", "gmres"), b, zeros (n, 1));
%! DSYMtrelvakdelete (P);
%! assert (relres (A, x, b) < 1e-5);

%!test
%! ## A restart length below 2 means 15, more than the work array sized from it holds.
%! A = tvk_problem ("laplace", 5);
%! P = DSYMtrelvakfactor (A);
%! b = ones (25, 1);
%! fail ("[x, o] = DSYMtrelvaksolver (A, P, struct ('solver', 'gmres', 'nrestart', 1), b, 0 * b)", ...
%!       "^DSYMtrelvaksolver: not enough workspace provided\\.$");
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("nrestart", 20), b, 0 * b);
%! DSYMtrelvakdelete (P);
%! assert (relres (A, x, b) < 1e-5);

%!test
%! ## Tolerances the method cannot use are refused before the solve, with the option's name.
%! A = tvk_problem ("laplace", 5);
%! P = DSYMtrelvakfactor (A);
%! msg = "";
%! out = evalc ("try, [x, o] = DSYMtrelvaksolver (A, P, struct ('restol', 1), ones (25, 1), zeros (25, 1)); catch err, msg = err.message; end");
%! DSYMtrelvakdelete (P);
%! assert (out, "");
%! assert (msg, "DSYMtrelvaksolver: Option restol = 1 is not accepted: it must be a relative tolerance in (0, 1).");

%!test
%! ## Options persist in the handle's record between calls, and stay with their handle.
%! A = tvk_problem ("helmholtz", 12);
%! n = rows (A);
%! b = A * ones (n, 1);
%! P = DSYMtrelvakfactor (A, struct ("droptol", 0.5));
%! Q = DSYMtrelvakfactor (A, struct ("droptol", 0.5));
%! out = evalc ("[x, o] = DSYMtrelvaksolver (A, P, struct ('maxit', 2, 'restol', 1e-14), b, zeros (n, 1));");
%! assert (! isempty (strfind (out, "exceeded its limit")));
%! out = evalc ("[x, o] = DSYMtrelvaksolver (A, P, struct (), b, zeros (n, 1));");
%! assert (! isempty (strfind (out, "exceeded its limit")));
%! assert (o.niter <= 2);
%! out = evalc ("[x, o] = DSYMtrelvaksolver (A, Q, struct (), b, zeros (n, 1));");
%! assert (out, "");
%! assert (o.niter > 2);
%! assert (relres (A, x, b) < 1e-5);
%! DSYMtrelvakdelete (P);
%! DSYMtrelvakdelete (Q);

%!test
%! ## The one-call function: several right-hand sides, residuals, and the error path.
%! A = tvk_problem ("saddle", 8);
%! n = rows (A);
%! B = A * [ones(n, 1), (1:n)'];
%! [X, info] = trelvak (A, B, struct ("restol", 1e-10));
%! assert (size (X), [n, 2]);
%! assert (info.relres < 1e-8);
%! assert (norm (B - A * X, "fro") / norm (B, "fro") < 1e-8);
%! assert (numel (info.niter), 2);
%! assert (info.converged, [true, true]);
%! assert (info.options.restol, 1e-10);
%! assert (info.options.solver, "sqmr");
%! assert (info.nlev >= 1);
%! x = trelvak (tril (A), B(:,1));
%! assert (relres (A, x, B(:,1)) < 1e-5);
%! C = kron (speye (40), sparse ([1 0 0.5; 0 -1 0; 0.5 0 1]));
%! fail ("trelvak (C, repmat ([1; 1; 0], 40, 1), struct ('droptol', 1e3, 'droptolS', 1e3))", ...
%!       "iterative solver breaks down");
%! fail ("trelvak (A, ones (3, 1))", "b must be a real matrix with");
%! fail ("trelvak (A, [B(:,1), Inf(rows (A), 1)])", "b must be finite \\(it holds NaN or Inf\\)");
%! out = evalc ("[x, info] = trelvak (A, B(:,1), struct ('maxit', 2, 'restol', 1e-15));");
%! assert (! isempty (strfind (out, "exceeded its limit")));
%! assert (info.converged, false);

%!test
%! ## The watch: on this shifted 3D grid the default factor passes the factorization's stability
%! ## probe, but the residual grows in the first iterations, and the one-call function solves
%! ## with the cruder factor; without the fallback it takes seven times as many iterations.
%! k = 14;
%! e = ones (k, 1);
%! T = spdiags ([-e, 2*e, -e], -1:1, k, k);
%! I = speye (k);
%! A = kron (kron (T, I), I) + kron (kron (I, T), I) + kron (kron (I, I), T) - speye (k^3);
%! b = A * ones (k^3, 1);
%! [x, info] = trelvak (A, [b, -b]);
%! assert (info.fallback_used, [true, true]);
%! assert (info.watched, [10, 10]);
%! assert (info.switched_at, [0, 0]);
%! assert (info.converged, [true, true]);
%! assert (info.relres < 1e-6);
%! assert (info.fallback_fill < 1);
%! assert (info.options.droptol, 1e-3);
%! out = evalc ("[x, info] = trelvak (A, b, struct ('fallback', false, 'maxit', 60));");
%! assert (info.fallback_used, false);
%! assert (info.watched, 0);
%! assert (info.converged, false);
%! assert (isnan (info.fallback_fill));
%! assert (! isfield (info.options, "fallback"));
%! ## GMRES never lets the residual grow: it stalls, and that marks the factor too.
%! [x, info] = trelvak (A, b, struct ("solver", "gmres", "nrestart", 200));
%! assert (info.fallback_used, true);
%! assert (info.watched, 10);
%! assert (info.relres < 1e-6);
%! ## A sound factor: the watch changes no iterate.
%! S = tvk_problem ("saddle", 8);
%! c = S * (1:rows (S))';
%! [y, info] = trelvak (S, c, struct ("restol", 1e-12));
%! [z, plain] = trelvak (S, c, struct ("restol", 1e-12, "fallback", false));
%! assert (y, z);
%! assert (info.niter, plain.niter);
%! assert (info.fallback_used, false);

%!function [A, b] = inconsistent (k)
%!  ## The 2D Laplacian with Neumann boundary (singular: constants span its null space) and a
%!  ## right-hand side with a component along the null space, so that A x = b has no solution.
%!  e = ones (k, 1);
%!  T = spdiags ([-e, 2*e, -e], -1:1, k, k);
%!  T(1,1) = 1;
%!  T(k,k) = 1;
%!  A = kron (speye (k), T) + kron (T, speye (k));
%!  b = A * (1:k^2)';
%!  b(1) += 1;
%!endfunction


%!test
%! ## Beyond the watch the solve starts over, unless the watch already reached sqrt (restol):
%! ## then it goes on from the watch's result, and no iteration counts as watched.
%! S = tvk_problem ("saddle", 8);
%! c = S * (1:rows (S))';
%! o = struct ("droptol", 0.05, "restol", 1e-14, "maxit", 10);
%! P = DSYMtrelvakfactor (S, o);
%! out = evalc ("[x10, o10] = DSYMtrelvaksolver (S, P, o, c, zeros (rows (S), 1));");
%! DSYMtrelvakdelete (P);
%! r10 = norm (c - S * x10) / norm (c);
%! assert (r10 < 0.1);
%! [x, info] = trelvak (S, c, struct ("droptol", 0.05, "restol", r10 / 10));
%! assert (info.watched, 0);
%! assert (info.niter > 10);
%! assert (info.converged);
%! assert (info.relres <= r10 / 10);
%! [x, info] = trelvak (S, c, struct ("droptol", 0.05, "restol", r10^2 / 10));
%! assert (info.watched, 10);
%!test
%! ## The answer is checked: the solver warns exactly when the true relative residual exceeds
%! ## restol, whatever stopped the method. Tolerances at and below what rounding allows, a good
%! ## answer at the iteration limit, and three methods on a system with no solution.
%! H = tvk_problem ("helmholtz", 12);
%! h = H * ones (rows (H), 1);
%! [N, c] = inconsistent (12);
%! cases = {H, h, struct("restol", 1e-15); H, h, struct("restol", 3e-16);
%!          H, h, struct("restol", 3e-16, "solver", "gmres");
%!          H, h, struct("maxit", 2, "restol", 1e-2);
%!          N, c, struct("solver", "gmres"); N, c, struct("solver", "fgmres");
%!          N, c, struct("solver", "sqmr")};
%! for i = 1:rows (cases)
%!   [A, b, o] = cases{i, :};
%!   P = DSYMtrelvakfactor (A);
%!   out = evalc ("[x, opts] = DSYMtrelvaksolver (A, P, o, b, zeros (rows (A), 1));");
%!   DSYMtrelvakdelete (P);
%!   restol = DSYMtrelvakinit ().restol;
%!   if (isfield (o, "restol"))
%!     restol = o.restol;
%!   endif
%!   warned = ! isempty (strfind (out, "exceeded its limit"));
%!   assert (warned == (relres (A, x, b) > restol), "case %d: warned %d, relres %g", i, warned,
%!           relres (A, x, b));
%! endfor

%!test
%! ## trelvak's info.converged is the verdict on norm (b - A*x) / norm (b) <= restol, also for
%! ## GMRES on a system with no solution and for a tolerance below what rounding allows.
%! H = tvk_problem ("helmholtz", 12);
%! h = H * ones (rows (H), 1);
%! [N, c] = inconsistent (12);
%! cases = {H, h, struct(); H, h, struct("restol", 3e-16);
%!          H, h, struct("maxit", 2, "restol", 1e-2);
%!          N, c, struct("solver", "gmres"); N, c, struct("solver", "gmres", "fallback", false)};
%! for i = 1:rows (cases)
%!   [A, b, o] = cases{i, :};
%!   out = evalc ("[x, info] = trelvak (A, b, o);");
%!   assert (info.converged == (relres (A, x, b) <= info.options.restol),
%!           "case %d: converged %d, relres %g", i, info.converged, relres (A, x, b));
%! endfor

%!test
%! ## The handle and trelvak's info tell whether the factor was made again for being unstable:
%! ## a sound factor is kept (probe far below 1), the unstable factor of a shifted 3D Laplacian
%! ## is replaced by the one made with condest 100. They also tell whether the quick factor
%! ## was kept: a Laplacian takes it, unless the caller asks for tighter dropping.
%! P = DSYMtrelvakfactor (tvk_problem ("laplace", 12), struct ());
%! assert (P.probe < 0.1 && ! P.steadied && P.quick);
%! DSYMtrelvakdelete (P);
%! P = DSYMtrelvakfactor (tvk_problem ("laplace", 12), struct ("droptol", 1e-4));
%! assert (! P.quick);
%! DSYMtrelvakdelete (P);
%! k = 12; e = ones (k, 1); T = spdiags ([-e, 2*e, -e], -1:1, k, k); I = speye (k);
%! A = kron (kron (T, I), I) + kron (kron (I, T), I) + kron (kron (I, I), T) - speye (k^3);
%! [x, info] = trelvak (A, A * ones (k^3, 1), struct ("maxit", 1000));
%! assert (info.steadied && ! info.quick);
%! assert (info.converged);

%!test
%! ## One column: the quick factor's trial is trelvak's solve, with the iterates of
%! ## DSYMtrelvaksolver on the same factor; a factor that is not the quick one gives x = [].
%! A = tvk_problem ("laplace", 12);
%! n = rows (A);
%! b = A * (1:n)';
%! [P, o, x, k] = trelvak_factor_mex (A, struct (), b);
%! [y, oy] = DSYMtrelvaksolver (A, P, o, b, zeros (n, 1));
%! quick = P.quick;
%! DSYMtrelvakdelete (P);
%! assert (quick && k > 0 && k <= 30);
%! assert (x, y, 1e-12 * norm (y));
%! assert (oy.niter, k);
%! [z, info] = trelvak (A, b);
%! assert (z, x);
%! assert (info.niter, k);
%! assert (info.converged && info.quick && info.watched == 0);
%! [P, o, x, k] = trelvak_factor_mex (A, struct ("droptol", 1e-4), b);
%! quick = P.quick;
%! DSYMtrelvakdelete (P);
%! assert (! quick && isempty (x) && k == 0);

%!test
%! ## A singular last level is factored with its zero pivots raised (and counted), not refused;
%! ## the answer is still judged on the true residual: consistent systems converge,
%! ## inconsistent ones end with the warning and converged false.
%! A = sparse ([1 1; 1 1]);
%! exact = struct ("droptol", 0, "droptolS", 0, "lfil", 0, "lfilS", 0, "elbow", 1e6);
%! P = DSYMtrelvakfactor (A, exact);
%! assert (P.perturbed, 1);
%! DSYMtrelvakdelete (P);
%! [x, info] = trelvak (A, [2; 2], exact);
%! assert (info.perturbed, 1);
%! assert (info.converged, true);
%! assert (norm ([2; 2] - A * x) <= 1e-6 * norm ([2; 2]));
%! ## Inconsistent: a clear error (the method breaks down) or the warning, never success.
%! info = struct ("converged", false);
%! msg = "";
%! try
%!   out = evalc ("[x, info] = trelvak (A, [1; -1], exact);");
%!   assert (! isempty (strfind (out, "TRELVAK Warning")));
%! catch err
%!   msg = err.message;
%! end_try_catch
%! assert (info.converged, false);
%! assert (isempty (msg) || ! isempty (strfind (msg, "breaks down")), msg);
