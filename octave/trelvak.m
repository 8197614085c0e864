## -*- texinfo -*-
## @deftypefn  {} {[@var{x}, @var{info}] =} trelvak (@var{A}, @var{b})
## @deftypefnx {} {[@var{x}, @var{info}] =} trelvak (@var{A}, @var{b}, @var{options})
## Solve the sparse symmetric (possibly indefinite) system @var{A} x = @var{b} in one call:
## factor the multilevel preconditioner, solve every column of @var{b}, release the
## preconditioner (also when the solve fails).
##
## Only the lower triangle of @var{A} is read. @var{options} defaults to
## @code{DSYMtrelvakinit (A)}; give only the fields to change, e.g.
## @code{struct ("droptol", 1e-3, "restol", 1e-8)}. Values are checked as the modules check
## them: a number outside its key's range (@code{maxit} at least 1, @code{restol} in (0, 1),
## ...), NaN or Inf, an unknown keyword or a field of the wrong class ends the call with an
## error that names the key; nothing is replaced by a default.
##
## Ctrl-C stops the factorization or the solve within a fraction of a second with an error; the
## preconditioners are released all the same.
##
## Each solve first runs 10 iterations. When the true residual has not fallen below
## @code{norm (b)} by then (with GMRES and FGMRES, which never let it grow: below
## @code{0.9 * norm (b)}), the incomplete factors are unstable (as on shifted Laplacians in
## 3D): @var{A} is factored again with @code{droptol} 0.3, keeping only the dominant entries,
## and the column is solved with that factor; the result with the smaller true residual is
## returned. Otherwise, unless the watch converged, the solve starts over from zero with the
## first factor, or, when the watch has already reached @code{sqrt (restol)}, goes on from the
## watch's result. A symmetric QMR solve that starts over has its true residual checked every
## tenth of @code{maxit} (at least 25 iterations apart), inside the run. When, at the pace since
## the previous check, it would not meet @code{restol} within the limit at two checks in a row,
## from 100 iterations to half the limit, and the preconditioner is indefinite (SQMR's
## @code{r'*(M\r)} has taken both signs), GMRES goes on from its iterate with the iterations
## left, restarted after as many as 256 MB of basis vectors hold (at least @code{nrestart}). On
## long runs of ill-conditioned KKT systems SQMR's recurrences lose their accuracy, GMRES's basis
## does not. The field @code{fallback} of @var{options}
## (default true; not passed on) turns the watch and the change of method off.
##
## @var{info} holds: @code{niter} (iterations per column), @code{relres} (true relative
## residual @code{norm (b - A*x) / norm (b)} per column, with A the symmetric matrix of its
## lower triangle), @code{converged} (per column: true exactly when @code{relres} is at most
## @code{options.restol}), @code{nlev}, @code{fill}, @code{perturbed} (pivots of a singular
## last level raised to a small size, which the Krylov method corrects), @code{steadied} (the
## first factor was unstable and one made with condest 100, nested dissection, of a
## regularized matrix or with droptol 0.3 is used), @code{quick} (the quick factor is used:
## level 1 in the given order with droptol 0.1, made first under the default cycle, ordering and
## dropping and kept when it meets restol in a trial solve of at most 30 iterations; with one
## column of @var{b} that trial solves @var{A} x = @var{b} itself, and its result, judged on the
## true residual, is returned without a second solve: @code{niter} counts its iterations and
## @code{setup_time} holds them),
## @code{setup_time},
## @code{solve_time}
## (seconds), @code{watched} (iterations per column spent in the watch and in a solve that was
## not kept), @code{switched_at} (per column: SQMR's iterations before GMRES went on, 0 when
## the method was kept), @code{fallback_used} (per column: the solution comes from the second factor),
## @code{fallback_fill} (fill of the second factor, NaN when none was made) and
## @code{options} (every option with the value the last solve used).
##
## The product with @var{A} and the sweeps with large factors run on several threads; the
## environment variable @code{TRELVAK_NUM_THREADS}, read once per session, sets
## their number (default: the cores, at most 4).
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
  fallback = true;
  if (isfield (given, "fallback"))
    f = given.fallback;
    if (! ((islogical (f) || isnumeric (f)) && isscalar (f) && isreal (f) && ! isnan (f)))
      error ("trelvak: options.fallback must be true or false");
    endif
    fallback = logical (f);
    given = rmfield (given, "fallback");
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
  if (! all (isfinite (b(:))))
    error ("trelvak: b must be finite (it holds NaN or Inf)");
  endif

  L = tril (A);
  As = L + tril (L, -1)';
  relres = @(x, b) norm (b - As * x) / (norm (b) + (norm (b) == 0));  # ||r|| when b = 0

  m = columns (b);
  t = tic ();
  ## One column: the quick factor's trial solve is made on b itself, and its result is the
  ## answer when that factor is kept (trelvak_factor_mex; otherwise trial_x is empty).
  trial_x = [];
  if (m == 1)
    [PREC, options, trial_x, trial_niter] = trelvak_factor_mex (A, options, b);
  else
    [PREC, options] = DSYMtrelvakfactor (A, options);
  endif
  setup_time = toc (t);

  x = zeros (n, m);
  niter = zeros (1, m);
  watched = zeros (1, m);
  used = false (1, m);
  switched = zeros (1, m);
  CRUDE = [];
  fallback_fill = NaN;
  maxit = options.maxit;
  ## GMRES and FGMRES minimise the residual: under an unstable factor it stalls instead of growing.
  stalled = 1;
  if (any (strcmpi (options.solver, {"gmres", "fgmres"})))
    stalled = 0.9;
  endif
  ## The handles are released however the solve ends: an error, or Ctrl-C (which a try block
  ## would not see).
  unwind_protect
    t = tic ();
    for k = 1:m
      if (! isempty (trial_x))
        x(:,k) = trial_x;
        niter(k) = trial_niter;
        options.niter = trial_niter;
        continue;
      endif
      if (! fallback || (maxit > 0 && maxit <= 10))
        [x(:,k), options] = DSYMtrelvaksolver (A, PREC, options, b(:,k), zeros (n, 1));
        niter(k) = options.niter;
        continue;
      endif
      options.maxit = 10;
      ## The watch's stop at its limit is not the user's: its notice is not shown.
      evalc ("[x(:,k), options] = DSYMtrelvaksolver (A, PREC, options, b(:,k), zeros (n, 1));");
      options.maxit = maxit;
      niter(k) = options.niter;
      r = relres (x(:,k), b(:,k));
      if (r <= options.restol)
        continue;                     # converged within the watch
      endif
      if (r < stalled && r <= sqrt (options.restol))
        ## Close to the end (half the digits gained): the rest is solved as A d = b - A x from
        ## zero, its tolerance relative to that residual aiming at restol * norm (b); starting
        ## over would cost the watch's iterations again.
        rest = options;
        rest.maxit = maxit - niter(k);
        rest.restol = min (0.5, options.restol / r);
        [d, rest] = DSYMtrelvaksolver (A, PREC, rest, b(:,k) - As * x(:,k), zeros (n, 1));
        x(:,k) += d;
        niter(k) += rest.niter;
        continue;
      endif
      if (r < stalled)
        ## The factor works: the solve starts over, as a restarted method would lose ground.
        watched(k) = niter(k);
        [x(:,k), niter(k), switched(k), options] = on_course (A, As, PREC, options, b(:,k));
        continue;
      endif
      ## The residual grew (or stalled): factor again, keeping only the dominant entries (once
      ## for all columns).
      if (isempty (CRUDE))
        crude = options;
        crude.droptol = 0.3;
        t2 = tic ();
        try
          CRUDE = DSYMtrelvakfactor (A, crude);
          fallback_fill = CRUDE.fill;
        catch
          CRUDE = false;              # failed: the first factor's results stand
        end_try_catch
        setup_time += toc (t2);
      endif
      if (isstruct (CRUDE))
        [y, options] = DSYMtrelvaksolver (A, CRUDE, options, b(:,k), zeros (n, 1));
        if (relres (y, b(:,k)) < r || ! isfinite (r))
          watched(k) = niter(k);
          x(:,k) = y;
          niter(k) = options.niter;
          used(k) = true;
        else
          watched(k) = options.niter;
        endif
      endif
    endfor
    solve_time = toc (t);
  unwind_protect_cleanup
    DSYMtrelvakdelete (PREC);
    if (isstruct (CRUDE))
      DSYMtrelvakdelete (CRUDE);
    endif
  end_unwind_protect

  if (nargout > 1)
    ## norm scales its sums: entries near the ends of the double range neither under- nor
    ## overflow.
    res = zeros (1, m);
    for k = 1:m
      res(k) = relres (x(:,k), b(:,k));
    endfor
    info = struct ("niter", niter,
                   "relres", res,
                   "nlev", PREC.nlev, "fill", PREC.fill, "perturbed", PREC.perturbed,
                   "steadied", PREC.steadied, "quick", PREC.quick,
                   "converged", [],
                   "setup_time", setup_time, "solve_time", solve_time,
                   "watched", watched, "switched_at", switched, "fallback_used", used,
                   "fallback_fill", fallback_fill, "options", options);
    ## Converged means the answer is good, whatever stopped the method.
    info.converged = info.relres <= options.restol;
  endif
endfunction

## The solve from zero after the watch: symmetric QMR with its course judged at checkpoints
## inside the run (trelvak_course_mex, as the command-line tool judges it); off course, GMRES goes
## on from its iterate with the iterations left, restarted after as many of them as 256 MB of
## basis vectors hold (at least nrestart).
function [x, niter, switched, options] = on_course (A, As, PREC, options, b)
  n = rows (b);
  maxit = options.maxit;
  [x, options, switched] = trelvak_course_mex (A, PREC, options, b, zeros (n, 1));
  niter = options.niter;
  if (switched == 0)
    return;
  endif
  nb = norm (b);
  r = norm (b - As * x) / (nb + (nb == 0));
  ## The rest is A d = b - A x from zero, its tolerance aiming at restol * norm (b).
  rest = options;
  rest.solver = "gmres";
  rest.nrestart = min (maxit - niter, max (options.nrestart, floor (2^28 / (8 * n))));
  rest.maxit = maxit - niter;
  rest.restol = min (0.5, options.restol / r);
  [d, rest] = DSYMtrelvaksolver (A, PREC, rest, b - As * x, zeros (n, 1));
  x += d;
  niter += rest.niter;
endfunction
