## -*- texinfo -*-
## @deftypefn  {} {} trelvak_demo ()
## @deftypefnx {} {} trelvak_demo (@var{file})
## @deftypefnx {} {} trelvak_demo (@var{A})
## @deftypefnx {} {} trelvak_demo (@dots{}, @var{options})
## Solve a sparse symmetric indefinite system with TRELVAK and compare with Octave's backslash
## and with Octave's @code{ilu} + @code{gmres}.
##
## Without a matrix the problem is a 2D Helmholtz-type system: the 5-point Laplacian on a
## 200 x 200 grid minus 0.3775 I (n = 40000, about 3% negative eigenvalues). @var{file} is a
## Matrix Market file (one triangle of a symmetric matrix). The right-hand side is
## b = A * ones (n, 1); every residual shown is the true one, norm (b - A*x) / norm (b).
## @end deftypefn
function trelvak_demo (varargin)
  options = struct ();
  if (numel (varargin) > 0 && isstruct (varargin{end}))
    options = varargin{end};
    varargin(end) = [];
  endif
  if (isempty (varargin))
    k = 200;
    shift = 0.3775;
    e = ones (k, 1);
    T = spdiags ([-e, 2*e, -e], -1:1, k, k);
    A = kron (speye (k), T) + kron (T, speye (k)) - shift * speye (k^2);
    name = sprintf ("2D Helmholtz: 5-point Laplacian on a %dx%d grid minus %g I", k, k, shift);
  elseif (ischar (varargin{1}))
    A = trelvak_mmread (varargin{1});
    [~, base, ext] = fileparts (varargin{1});
    name = [base, ext];
  else
    A = sparse (varargin{1});
    name = "user matrix";
  endif
  n = rows (A);
  b = A * ones (n, 1);
  relres = @(x) norm (b - A * x) / norm (b);

  printf ("\nTRELVAK demonstration\n");
  printf ("problem: %s\n", name);
  printf ("n = %d, nnz = %d\n\n", n, nnz (A));

  ## TRELVAK: multilevel incomplete L D L^T preconditioner + symmetric QMR.
  opts = DSYMtrelvakinit (A);
  for f = fieldnames (options)'
    opts.(f{1}) = options.(f{1});
  endfor
  t = tic ();
  [PREC, opts] = DSYMtrelvakfactor (A, opts);
  t_setup = toc (t);
  try
    t = tic ();
    [x, opts] = DSYMtrelvaksolver (A, PREC, opts, b, zeros (n, 1));
    t_solve = toc (t);
    printf ("\n");
  catch err
    DSYMtrelvakdelete (PREC);
    rethrow (err);
  end_try_catch
  DSYMtrelvakdelete (PREC);
  printf ("TRELVAK (multilevel ILDL, %s, droptol %g, %s + %s)\n", opts.ordering, ...
          opts.droptol, opts.amg, opts.solver);
  printf ("  levels %d, fill %.2f (stored entries / entries of one triangle of A)\n", ...
          PREC.nlev, PREC.fill);
  printf ("  setup %.3f s, solve %.3f s, total %.3f s\n", t_setup, t_solve, t_setup + t_solve);
  printf ("  iterations %d, true relative residual %.2e\n\n", opts.niter, relres (x));

  ## Octave's sparse direct solver.
  t = tic ();
  xd = A \ b;
  t_direct = toc (t);
  printf ("Octave backslash (sparse direct)\n");
  printf ("  time %.3f s, true relative residual %.2e\n\n", t_direct, relres (xd));

  ## Octave's incomplete LU + restarted GMRES, with an AMD reordering.
  printf ("Octave ilu (crout, droptol 1e-3, AMD ordering) + gmres(50), tol 1e-6, maxit 20\n");
  try
    p = amd (A);
    Ap = A(p,p);
    t = tic ();
    [L, U] = ilu (Ap, struct ("type", "crout", "droptol", 1e-3));
    t_ilu = toc (t);
    t = tic ();
    [y, flag, ~, iter] = gmres (Ap, b(p), 50, 1e-6, 20, L, U);
    t_gmres = toc (t);
    xi = zeros (n, 1);
    xi(p) = y;
    printf ("  setup %.3f s, solve %.3f s, iterations %d, flag %d, true relative residual %.2e\n", ...
            t_ilu, t_gmres, (iter(1) - 1) * 50 + iter(2), flag, relres (xi));
    printf ("  fill %.2f (nnz(L)+nnz(U) relative to nnz(A))\n\n", (nnz (L) + nnz (U)) / nnz (A));
  catch err
    printf ("  failed: %s\n\n", err.message);
  end_try_catch
endfunction
