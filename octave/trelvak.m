## -*- texinfo -*-
## @deftypefn  {} {[@var{x}, @var{info}] =} trelvak (@var{A}, @var{b})
## @deftypefnx {} {[@var{x}, @var{info}] =} trelvak (@var{A}, @var{b}, @var{options})
## Solve the sparse symmetric (possibly indefinite) system @var{A} x = @var{b} in one call:
## factor the multilevel preconditioner, solve every column of @var{b}, release the
## preconditioner (also when the solve fails).
##
## Only the lower triangle of @var{A} is read. @var{options} defaults to
## @code{DSYMtrelvakinit (A)}; give only the fields to change, e.g.
## @code{struct ("droptol", 1e-3, "restol", 1e-8)}.
##
## @var{info} holds: @code{niter} (iterations per column), @code{relres} (true relative
## residual @code{norm (b - A*x) / norm (b)} per column, with A the symmetric matrix of its
## lower triangle), @code{converged} (per column: false when the iteration limit stopped the
## method), @code{nlev}, @code{fill}, @code{setup_time}, @code{solve_time} (seconds) and
## @code{options} (every option with the value the last solve used).
## @seealso{DSYMtrelvakinit, DSYMtrelvakfactor, DSYMtrelvaksolver, DSYMtrelvakdelete}
## @end deftypefn
function [x, info] = trelvak (A, b, options)
  if (nargin < 2 || nargin > 3)
    print_usage ();
  endif
  given = struct ();
  if (nargin == 3 && ! isempty (options))
    if (! isstruct (options))
      error ("trelvak: options must be a structure");
    endif
    given = options;
  endif
  ## Every key, so that info.options shows all values the solve used.
  options = DSYMtrelvakinit ();
  for f = fieldnames (given)'
    options.(f{1}) = given.(f{1});
  endfor
  if (! issparse (A) || rows (A) != columns (A))
    error ("trelvak: A must be a square sparse matrix");
  endif
  n = rows (A);
  if (! isreal (b) || ! isnumeric (b) || rows (b) != n)
    error ("trelvak: b must be a real matrix with %d rows", n);
  endif
  b = full (double (b));

  t = tic ();
  [PREC, options] = DSYMtrelvakfactor (A, options);
  setup_time = toc (t);

  m = columns (b);
  x = zeros (n, m);
  niter = zeros (1, m);
  try
    t = tic ();
    for k = 1:m
      [x(:,k), options] = DSYMtrelvaksolver (A, PREC, options, b(:,k), zeros (n, 1));
      niter(k) = options.niter;
    endfor
    solve_time = toc (t);
  catch err
    DSYMtrelvakdelete (PREC);
    rethrow (err);
  end_try_catch
  DSYMtrelvakdelete (PREC);

  if (nargout > 1)
    L = tril (A);
    As = L + tril (L, -1)';
    nb = sqrt (sum (b .^ 2, 1));
    nb(nb == 0) = 1;
    info = struct ("niter", niter,
                   "relres", sqrt (sum ((b - As * x) .^ 2, 1)) ./ nb,
                   "nlev", PREC.nlev, "fill", PREC.fill,
                   "converged", niter < options.maxit | options.maxit <= 0,
                   "setup_time", setup_time, "solve_time", solve_time,
                   "options", options);
  endif
endfunction
