## Ctrl-C during a long solve: the module stops at its next poll with an error that says so,
## releases its buffers, and the handle stays usable. The signal is sent by a helper process, as
## the terminal would send it.
1;

%!test
%! k = 40;
%! e = ones (k, 1);
%! T = spdiags ([-e, 2*e, -e], -1:1, k, k);
%! A = kron (speye (k), T) + kron (T, speye (k)) - 0.3 * speye (k^2);
%! n = rows (A);
%! b = A * ones (n, 1);
%! ## Only the diagonal is kept; GMRES(2) then stagnates and would run for a very long time.
%! P = DSYMtrelvakfactor (A, struct ("droptol", 10));
%! opts = struct ("solver", "gmres", "nrestart", 2, "maxit", 2e9, "restol", 1e-15);
%! system (sprintf ("(sleep 1; kill -INT %d) > /dev/null 2>&1 &", getpid ()));
%! msg = "";
%! t = tic ();
%! try
%!   [x, o] = DSYMtrelvaksolver (A, P, opts, b, zeros (n, 1));
%! catch err
%!   msg = err.message;
%! end_try_catch
%! assert (msg, "DSYMtrelvaksolver: interrupted by the user.");
%! assert (toc (t) < 10);
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 3), b, zeros (n, 1));
%! assert (o.niter, 3);
%! assert (all (isfinite (x)));
%! DSYMtrelvakdelete (P);
