## -*- texinfo -*-
## @deftypefn  {} {} trelvak_demo ()
## @deftypefnx {} {} trelvak_demo (@var{file})
## @deftypefnx {} {} trelvak_demo (@var{A})
## @deftypefnx {} {} trelvak_demo (@dots{}, @var{options})
## Solve sparse symmetric indefinite systems with TRELVAK and compare with Octave's backslash
## and with Octave's @code{ilu} + @code{gmres}.
##
## Without a matrix two generated problems are solved:
## @itemize
## @item a 2D Stokes problem, the MAC scheme [A B'; B 0] on 128 x 128 cells with the last
## pressure unknown removed (n = 48895, zero (2,2) block);
## @item a 2D Helmholtz-type problem, the 5-point Laplacian on an 80 x 80 grid minus 0.3775 I
## (n = 6400, about 3% negative eigenvalues).
## @end itemize
## @var{file} is a Matrix Market file (one triangle of a symmetric matrix). @var{options}
## changes TRELVAK's defaults (see @code{DSYMtrelvakinit}). The right-hand side is
## b = A * ones (n, 1), the initial guess 0; every residual shown is the true one,
## norm (b - A*x) / norm (b).
## @end deftypefn
function trelvak_demo (varargin)
  options = struct ();
  if (numel (varargin) > 0 && isstruct (varargin{end}))
    options = varargin{end};
    varargin(end) = [];
  endif
  printf ("\nTRELVAK demonstration: multilevel incomplete L D L^T preconditioner + Krylov method\n");
  if (isempty (varargin))
    run_problem ("2D Stokes, MAC scheme on 128x128 cells [A B'; B 0]", stokes_mac (128), options);
    run_problem ("2D Helmholtz, 5-point Laplacian on an 80x80 grid minus 0.3775 I",
                 helmholtz (80, 0.3775), options);
  elseif (ischar (varargin{1}))
    [~, base, ext] = fileparts (varargin{1});
    run_problem ([base, ext], trelvak_mmread (varargin{1}), options);
  else
    run_problem ("user matrix", sparse (varargin{1}), options);
  endif
endfunction

function run_problem (name, A, options)
  n = rows (A);
  b = A * ones (n, 1);
  relres = @(x) norm (b - A * x) / norm (b);
  printf ("\n== %s\n", name);
  printf ("   n = %d, nnz = %d\n\n", n, nnz (A));

  ## TRELVAK.
  opts = DSYMtrelvakinit (A);
  for f = fieldnames (options)'
    opts.(f{1}) = options.(f{1});
  endfor
  try
    t = tic ();
    [PREC, opts] = DSYMtrelvakfactor (A, opts);
    t_setup = toc (t);
  catch err
    printf ("TRELVAK: factorization failed: %s\n\n", err.message);
    PREC = [];
  end_try_catch
  if (! isempty (PREC))
    try
      t = tic ();
      [x, opts] = DSYMtrelvaksolver (A, PREC, opts, b, zeros (n, 1));
      t_solve = toc (t);
      failure = "";
    catch err
      failure = err.message;
    end_try_catch
    DSYMtrelvakdelete (PREC);
    printf ("TRELVAK (ordering %s, matching %d, droptol %g, %s preconditioner, %s)\n", ...
            opts.ordering, opts.matching, opts.droptol, opts.amg, opts.solver);
    printf ("   levels %d, fill %.2f (stored entries / entries of one triangle of A)\n", ...
            PREC.nlev, PREC.fill);
    if (isempty (failure))
      printf ("   setup %.3f s, solve %.3f s, total %.3f s\n", t_setup, t_solve, ...
              t_setup + t_solve);
      printf ("   iterations %d, true relative residual %.2e\n\n", opts.niter, relres (x));
    else
      printf ("   solve failed: %s\n\n", failure);
    endif
  endif

  ## Octave's sparse direct solver.
  t = tic ();
  xd = A \ b;
  t_direct = toc (t);
  printf ("Octave backslash (sparse direct)\n");
  printf ("   time %.3f s, true relative residual %.2e\n\n", t_direct, relres (xd));

  ## Octave's incomplete LU with an AMD ordering + restarted GMRES.
  printf ("Octave ilu (crout, droptol 1e-3, AMD ordering) + gmres(50), tol 1e-6, maxit 20x50\n");
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
    printf ("   fill %.2f (nnz(L)+nnz(U) relative to nnz of one triangle of A)\n", ...
            (nnz (L) + nnz (U)) / nnz (tril (A)));
    printf ("   setup %.3f s, solve %.3f s, iterations %d, flag %d, true relative residual %.2e\n", ...
            t_ilu, t_gmres, (iter(1) - 1) * 50 + iter(2), flag, relres (xi));
  catch err
    printf ("   failed: %s\n", err.message);
  end_try_catch
endfunction

## 5-point Laplacian on a k x k grid minus shift * I.
function A = helmholtz (k, shift)
  e = ones (k, 1);
  T = spdiags ([-e, 2*e, -e], -1:1, k, k);
  A = kron (speye (k), T) + kron (T, speye (k)) - shift * speye (k^2);
endfunction

## MAC discretisation of the Stokes equations on N x N cells of the unit square, scaled by h^2:
## [A B'; B 0] with A the vector Laplacian (Dirichlet walls), B the divergence times h, and the
## last pressure unknown removed (the pressure is fixed there).
function A = stokes_mac (N)
  h = 1 / N;
  e = @(m) ones (m, 1);
  T = @(m) spdiags ([-e(m), 2*e(m), -e(m)], -1:1, m, m);
  Tc = T (N);
  Tc(1,1) = 3;
  Tc(N,N) = 3;
  Tf = T (N - 1);
  Au = kron (speye (N), Tf) + kron (Tc, speye (N - 1));
  Av = kron (speye (N - 1), Tc) + kron (Tf, speye (N));
  D = spdiags ([-e(N), e(N)], [-1, 0], N, N - 1);
  B = [kron(speye (N), D), kron(D, speye (N))] * h;
  B = B(1:end-1, :);
  A = [blkdiag(Au, Av), B'; B, sparse(rows (B), rows (B))];
endfunction
