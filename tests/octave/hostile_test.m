## Randomized hostile calls of the Octave modules and of trelvak: random option structures
## (valid and out-of-range values, wrong classes, NaN/Inf, huge numbers, strings, cells, structs),
## random right-hand sides and guesses (wrong length, NaN, Inf, huge, complex, sparse, integer
## types, rows, matrices), hostile matrices and misused handles (released, copied, forged). Every
## call must either raise an error whose message begins with the name of a module (or of
## trelvak), or return a result whose true relative residual norm (b - A*x) / norm (b) (A the
## symmetric matrix of its lower triangle) is within restol whenever nothing warned; no call may
## take more than a few seconds. The seeds are fixed: a failure names its group and case, and
## the call that failed.
1;

## True when msg is an error of ours: it begins with the name of a module or of trelvak.
%!function ok = tvk_hostile_ours (msg)
%!  ok = ischar (msg) && ! isempty (regexp (msg, ...
%!        '^(DSYMtrelvak(init|factor|solver|delete)|trelvak|trelvak_(course|factor)_mex): \S', 'once'));
%!endfunction

## The restol a solve was held to: the options' value when it is a usable one, otherwise the
## value the handle holds (an absent key leaves the handle's record as an earlier call set it).
%!function r = tvk_hostile_restol (o, held = 1e-6)
%!  r = held;
%!  if (isstruct (o) && isfield (o, "restol") && isnumeric (o.restol) && isscalar (o.restol)
%!      && isreal (o.restol) && o.restol > 0 && o.restol < 1)
%!    r = double (o.restol);
%!  endif
%!endfunction

## Faults of one call's outcome: err (an error, or []), printed (what evalc caught), x and b.
## kind: "error", "warned" or "checked".
%!function [faults, kind] = tvk_hostile_judge (label, err, printed, A, b, x, restol, secs)
%!  faults = {};
%!  kind = "error";
%!  if (secs > 5)
%!    faults{end+1} = sprintf ("%s: took %.1f s", label, secs);
%!  endif
%!  if (! isempty (err))
%!    if (! tvk_hostile_ours (err.message))
%!      faults{end+1} = sprintf ("%s: error not named by a module: '%s' (%s)", label,
%!                               err.message, err.identifier);
%!    endif
%!    return;
%!  endif
%!  if (isempty (b) && isempty (x))
%!    kind = "done";             # a factorization or a release that went through
%!    return;
%!  endif
%!  if (! isempty (strfind (printed, "!!! TRELVAK Warning !!!"))
%!      || ! isempty (strfind (printed, "warning:"))
%!      || ! isempty (strfind (printed, "stopped off course")))
%!    kind = "warned";
%!    return;                    # the call said it did not converge (or warned otherwise)
%!  endif
%!  kind = "checked";
%!  L = tril (double (A));
%!  As = L + tril (L, -1)';
%!  b = double (b);
%!  if (rows (b) == 1 && rows (As) != 1)
%!    b = b(:);
%!  endif
%!  if (! isequal (size (x), size (b)))
%!    faults{end+1} = sprintf ("%s: x is %dx%d for b of %dx%d", label, rows (x), columns (x),
%!                             rows (b), columns (b));
%!    return;
%!  endif
%!  ## Relative residual per column, scaled against over- and underflow.
%!  for k = 1:columns (b)
%!    s = max (abs (b(:,k)));
%!    if (s == 0)
%!      rel = norm (As * x(:,k));
%!    else
%!      r = (b(:,k) - As * x(:,k));
%!      rel = norm (r / s) / norm (b(:,k) / s);
%!    endif
%!    if (! (rel <= restol * (1 + 1e-6)))
%!      faults{end+1} = sprintf ("%s: no warning but true relative residual %.3g > restol %.3g (column %d)",
%!                               label, rel, restol, k);
%!    endif
%!  endfor
%!endfunction

## A random option structure: fields of the options, each with a valid value or a hostile one.
%!function [opts, what] = tvk_hostile_options (nfields, p_hostile)
%!  numeric = {"elbow", {1, 5, 10, 0.01, 1e300}; "lfilS", {0, 3, 1000}; "lfil", {0, 1, 50};
%!             "maxit", {1, 3, 50, 500, 2000}; "droptolS", {0, 1e-4, 0.05};
%!             "droptol", {0, 1e-6, 1e-3, 0.1, 0.3}; "condest", {1, 5, 100, 1e6};
%!             "restol", {1e-6, 1e-8, 1e-10, 0.5, 1e-3, 1e-14}; "npresmoothing", {0, 1, 3};
%!             "npostmoothing", {0, 2}; "ncoarse", {1, 2}; "matching", {0, 1};
%!             "nrestart", {0, 2, 15, 60}; "damping", {0.5, 1}};
%!  texts = {"amg", {"ilu", "amli", "mg"}; "presmoother", {"gsf", "gsb", "j", "ilu"};
%!           "postsmoother", {"gsf", "gsb", "j"}; "typecoarse", {"ilu", "amg"};
%!           "typetv", {"none", "static", "dynamic"}; "FCpart", {"yes", "none"};
%!           "solver", {"sqmr", "sbcg", "bcg", "gmres", "fgmres"};
%!           "ordering", {"amd", "metisn", "metise", "rcm", "amf", "mmd", "pp"}};
%!  hostile = {NaN, Inf, -Inf, -1, 0, 1e300, -1e300, 2^31, 1e12, 0.5, [], [1 2 3], "abc", "", ...
%!             {1}, {}, struct(), struct("a", {1, 2}), true, int32(5), int8(-3), uint64(2^60), ...
%!             1 + 2i, sparse(1), single(1e-3), single(NaN), char(0), repmat("x", 1, 5000), ...
%!             @sin, ones(2, 2), "sqmr ", ["sq"; "mr"], {"sqmr"}, zeros(0, 3)};
%!  opts = struct ();
%!  what = "";
%!  for q = 1:nfields
%!    u = rand ();
%!    if (u >= 1 - p_hostile)
%!      all_keys = [numeric(:,1); texts(:,1); {"foo"; "DROPTOL"; "fallback"; "ptr"}];
%!      key = all_keys{randi (numel (all_keys))};
%!      value = hostile{randi (numel (hostile))};
%!    elseif (u < 0.6 * (1 - p_hostile))
%!      row = randi (rows (numeric));
%!      key = numeric{row, 1};
%!      value = numeric{row, 2}{randi (numel (numeric{row, 2}))};
%!    else
%!      row = randi (rows (texts));
%!      key = texts{row, 1};
%!      value = texts{row, 2}{randi (numel (texts{row, 2}))};
%!    endif
%!    opts.(key) = value;
%!    what = [what, " ", key, "=", tvk_hostile_show(value)];
%!  endfor
%!endfunction

## A short text for a value, for the case's label.
%!function s = tvk_hostile_show (v)
%!  if (ischar (v) && numel (v) <= 12)
%!    s = ["'", v(:)', "'"];
%!  elseif (isnumeric (v) && isscalar (v) && isreal (v))
%!    s = sprintf ("%g", double (v));
%!    if (! isa (v, "double"))
%!      s = sprintf ("%s(%s)", class (v), s);
%!    endif
%!  elseif (isnumeric (v) && isscalar (v))
%!    s = sprintf ("%s(%g%+gi)", class (v), real (double (v)), imag (double (v)));
%!  else
%!    s = sprintf ("<%s %s>", class (v), mat2str (size (v)));
%!  endif
%!endfunction

## A random right-hand side (or guess when guess is true) for order n: mostly usable, often hostile.
%!function [v, what] = tvk_hostile_vector (n, A, guess, hostile)
%!  if (guess)
%!    good = zeros (n, 1);
%!  else
%!    good = A * (1:n)' / n;
%!    if (! any (good))
%!      good = ones (n, 1);
%!    endif
%!  endif
%!  k = 8 + randi (14);
%!  if (! hostile)
%!    k = 1;
%!  endif
%!  switch (k)
%!    case {1, 2, 3, 4, 5, 6, 7, 8}
%!      v = good;              what = "good";
%!    case 9
%!      v = good';             what = "row";
%!    case 10
%!      v = good(1:end-1);     what = "short";
%!    case 11
%!      v = [good; 1];         what = "long";
%!    case 12
%!      v = good; v(randi (n)) = NaN;  what = "NaN";
%!    case 13
%!      v = good; v(randi (n)) = -Inf; what = "Inf";
%!    case 14
%!      v = 1e300 * (good + 1);        what = "huge";
%!    case 15
%!      v = good + 1i;         what = "complex";
%!    case 16
%!      v = sparse (good);     what = "sparse";
%!    case 17
%!      v = int32 (round (good));      what = "int32";
%!    case 18
%!      v = single (good);     what = "single";
%!    case 19
%!      v = [good, good];      what = "two columns";
%!    case 20
%!      v = [];                what = "empty";
%!    case 21
%!      v = 1e-300 * good;     what = "tiny";
%!    otherwise
%!      v = {good};            what = "cell";
%!  endswitch
%!endfunction

## The matrices: generated definite, indefinite, saddle-point and random ones, extreme scalings,
## and hostile ones (NaN, Inf, empty, full, complex, logical, not square).
%!function [A, what] = tvk_hostile_matrix (hostile)
%!  if (hostile)
%!    k = 7 + randi (9);
%!  else
%!    k = randi (9);
%!  endif
%!  switch (k)
%!    case {1, 2}
%!      A = tvk_problem ("laplace", 4);          what = "laplace16";
%!    case {3, 4}
%!      A = tvk_problem ("helmholtz", 5);        what = "helmholtz25";
%!    case {5, 6}
%!      A = tvk_problem ("saddle", 4);           what = "saddle24";
%!    case 7
%!      R = sprandn (40, 40, 0.08);
%!      A = R + R' + spdiags (randn (40, 1), 0, 40, 40);  what = "random40";
%!    case 8
%!      A = 1e-300 * tvk_problem ("helmholtz", 5);  what = "helmholtz25*1e-300";
%!    case 9
%!      A = 1e150 * tvk_problem ("laplace", 4);  what = "laplace16*1e150";
%!    case 10
%!      A = tvk_problem ("laplace", 4); A(3, 2) = NaN;  what = "NaN entry";
%!    case 11
%!      A = tvk_problem ("laplace", 4); A(5, 5) = Inf;  what = "Inf entry";
%!    case 12
%!      A = sparse (0, 0);                       what = "0x0";
%!    case 13
%!      A = sparse (1, 1, 0);                    what = "1x1 zero";
%!    case 14
%!      A = tril (tvk_problem ("helmholtz", 4)) + sparse (1, 16, 7, 16, 16);  what = "lower + junk";
%!    case 15
%!      A = sparse (5, 5);                       what = "zero 5x5";
%!    otherwise
%!      c = {full(tvk_problem("laplace", 3)), tvk_problem("laplace", 3) > 0, ...
%!           tvk_problem("laplace", 3) * 1i, sprand(4, 5, 0.5), "A", {1}};
%!      j = randi (numel (c));
%!      A = c{j};
%!      what = sprintf ("not a real sparse square matrix #%d", j);
%!  endswitch
%!endfunction

%!test
%! ## DSYMtrelvakfactor then DSYMtrelvaksolver and trelvak_course_mex (trelvak.m's solve, which
%! ## reports an SQMR run it stopped off course instead of warning): random matrices, options,
%! ## vectors.
%! rand ("state", 101); randn ("state", 101);
%! faults = {};
%! tally = struct ("error", 0, "warned", 0, "checked", 0, "done", 0);
%! for c = 1:150
%!   ## Which input is hostile: the matrix, the options, b, x0, or none.
%!   target = randi (5);
%!   [A, mwhat] = tvk_hostile_matrix (target == 1);
%!   [fo, fwhat] = tvk_hostile_options (randi (4) - 1, 0.4 * (target == 2));
%!   label = sprintf ("factor/solve case %d (%s; factor options%s", c, mwhat, fwhat);
%!   P = []; err = []; printed = "";
%!   t = tic ();
%!   try
%!     printed = evalc ("P = DSYMtrelvakfactor (A, fo);");
%!   catch e
%!     err = e;
%!   end_try_catch
%!   [f, kind] = tvk_hostile_judge ([label, ")"], err, "", [], [], [], 1, toc (t));
%!   faults = [faults, f];
%!   tally.(kind)++;
%!   if (! isempty (err))
%!     continue;
%!   endif
%!   n = rows (A);
%!   held = tvk_hostile_restol (fo);
%!   for s = 1:2
%!     [so, swhat] = tvk_hostile_options (randi (4) - 1, 0.4 * (target == 2));
%!     [b, bwhat] = tvk_hostile_vector (n, A, false, target == 3);
%!     [x0, xwhat] = tvk_hostile_vector (n, A, true, target == 4);
%!     slabel = sprintf ("%s; solve %d options%s; b %s, x0 %s)", label, s, swhat, bwhat, xwhat);
%!     x = []; o = []; err = []; printed = "";
%!     t = tic ();
%!     try
%!       if (s == 1)
%!         printed = evalc ("[x, o] = DSYMtrelvaksolver (A, P, so, b, x0);");
%!       else
%!         printed = evalc ("[x, o, stopped] = trelvak_course_mex (A, P, so, b, x0);");
%!         if (stopped > 0)
%!           printed = [printed, "stopped off course"];
%!         endif
%!       endif
%!     catch e
%!       err = e;
%!     end_try_catch
%!     if (isempty (err))
%!       held = tvk_hostile_restol (so, held);
%!     endif
%!     [f, kind] = tvk_hostile_judge (slabel, err, printed, A, b, x, held, toc (t));
%!   faults = [faults, f];
%!   tally.(kind)++;
%!   endfor
%!   DSYMtrelvakdelete (P);
%! endfor
%! printf ("%d errors, %d warned, %d residuals checked, %d other calls\n", tally.error,
%!         tally.warned, tally.checked, tally.done);
%! assert (isempty (faults), "%s", strjoin (faults, "\n"));

%!test
%! ## trelvak in one call: random matrices, options (with the fallback field) and right-hand
%! ## sides of one or more columns.
%! rand ("state", 202); randn ("state", 202);
%! faults = {};
%! tally = struct ("error", 0, "warned", 0, "checked", 0, "done", 0);
%! for c = 1:150
%!   target = randi (4);
%!   [A, mwhat] = tvk_hostile_matrix (target == 1);
%!   [opts, owhat] = tvk_hostile_options (randi (5) - 1, 0.4 * (target == 2));
%!   if (rand () < 0.15)
%!     ## trelvak's own field: the watch on or off, or something that is no logical.
%!     fb = {true, false, 0, 1, "abc", "", [], NaN, {1}, struct(), 1+2i, @sin, int8(3), [1 0]};
%!     k = randi (numel (fb));
%!     opts.fallback = fb{k};
%!     owhat = [owhat, " fallback=", tvk_hostile_show(fb{k})];
%!   endif
%!   n = rows (A);
%!   if (isnumeric (A) && n > 0 && n == columns (A))
%!     [b, bwhat] = tvk_hostile_vector (n, A, false, target == 3);
%!   else
%!     b = ones (max (n, 1), 1); bwhat = "ones";
%!   endif
%!   label = sprintf ("trelvak case %d (%s; options%s; b %s)", c, mwhat, owhat, bwhat);
%!   x = []; info = []; err = []; printed = "";
%!   t = tic ();
%!   try
%!     printed = evalc ("[x, info] = trelvak (A, b, opts);");
%!   catch e
%!     err = e;
%!   end_try_catch
%!   restol = 1e-6;
%!   if (isstruct (info))
%!     restol = tvk_hostile_restol (info.options);
%!   endif
%!   bb = b;
%!   if (isnumeric (bb) && ! iscomplex (bb))
%!     bb = full (double (bb));
%!   endif
%!   [f, kind] = tvk_hostile_judge (label, err, printed, A, bb, x, restol, toc (t));
%!   faults = [faults, f];
%!   tally.(kind)++;
%! endfor
%! printf ("%d errors, %d warned, %d residuals checked, %d other calls\n", tally.error,
%!         tally.warned, tally.checked, tally.done);
%! assert (isempty (faults), "%s", strjoin (faults, "\n"));

%!test
%! ## Handle misuse: released handles and their copies, forged and damaged fields, handles of
%! ## another order, struct arrays, and things that are no handles at all. Live handles keep
%! ## working through all of it.
%! rand ("state", 303); randn ("state", 303);
%! faults = {};
%! tally = struct ("error", 0, "warned", 0, "checked", 0, "done", 0);
%! A = tvk_problem ("helmholtz", 5);
%! n = rows (A);
%! b = A * ones (n, 1);
%! live = DSYMtrelvakfactor (A);
%! other = DSYMtrelvakfactor (tvk_problem ("laplace", 3));
%! dead = DSYMtrelvakfactor (A);
%! dead_copy = dead;
%! DSYMtrelvakdelete (dead);
%! damage = {@(h) setfield(h, "ptr", NaN), @(h) setfield(h, "ptr", Inf), ...
%!           @(h) setfield(h, "ptr", -h.ptr), @(h) setfield(h, "ptr", h.ptr + 8), ...
%!           @(h) setfield(h, "param", h.ptr), @(h) setfield(h, "id", h.id + 1000), ...
%!           @(h) setfield(h, "id", NaN), @(h) setfield(h, "id", "1"), ...
%!           @(h) setfield(h, "ptr", complex(h.ptr, 1)), @(h) setfield(h, "ptr", int8(1)), ...
%!           @(h) setfield(h, "ptr", [h.ptr, h.ptr]), @(h) setfield(h, "ptr", {h.ptr}), ...
%!           @(h) setfield(h, "n", h.n + 1), @(h) setfield(h, "nlev", 1e9), ...
%!           @(h) rmfield(h, "id"), @(h) rmfield(h, "ptr"), @(h) setfield(h, "extra", 1), ...
%!           @(h) [h, h], @(h) h([]), @(h) {h}, @(h) 7, @(h) [], @(h) "PREC", ...
%!           @(h) setfield(h, "ptr", uint64(h.ptr)), @(h) setfield(h, "ptr", 2^64), ...
%!           @(h) setfield(h, "param", single(h.param)), @(h) struct("ptr", h.ptr, "param", h.param, "id", h.id)};
%! handles = {"live", "dead", "dead copy", "other"};
%! for c = 1:120
%!   which = randi (numel (handles));
%!   switch (which)
%!     case 1
%!       H = live;
%!     case 2
%!       H = dead;
%!     case 3
%!       H = dead_copy;
%!     otherwise
%!       H = other;
%!   endswitch
%!   d = randi (numel (damage) + 6);
%!   if (d <= numel (damage))
%!     H = damage{d} (H);
%!     dwhat = func2str (damage{d});
%!   else
%!     dwhat = "untouched";
%!   endif
%!   [so, swhat] = tvk_hostile_options (randi (3) - 1, 0.2);
%!   op = randi (5);
%!   label = sprintf ("handle case %d (%s handle, %s; op %d; options%s)", c, handles{which},
%!                    dwhat, op, swhat);
%!   x = []; o = []; err = []; printed = "";
%!   t = tic ();
%!   try
%!     if (op <= 3)
%!       printed = evalc ("[x, o] = DSYMtrelvaksolver (A, H, so, b, zeros (n, 1));");
%!     elseif (op == 4)
%!       ## Release only what is not the live handle itself (so that the later cases keep one).
%!       if (which != 1 || d <= numel (damage))
%!         printed = evalc ("DSYMtrelvakdelete (H);");
%!       endif
%!     else
%!       printed = evalc ("[x, o] = DSYMtrelvaksolver (A, H, so, b', zeros (1, n));");
%!     endif
%!   catch e
%!     err = e;
%!   end_try_catch
%!   if (op != 4)
%!     [f, kind] = tvk_hostile_judge (label, err, printed, A, b, x, tvk_hostile_restol (o), toc (t));
%!   faults = [faults, f];
%!   tally.(kind)++;
%!   elseif (! isempty (err))
%!     [f, kind] = tvk_hostile_judge (label, err, printed, [], [], [], 1, toc (t));
%!   faults = [faults, f];
%!   tally.(kind)++;
%!   endif
%!   ## The live handle still solves (unless a damaged copy of it was released, which must have
%!   ## been refused or have released the one record: then the live handle is refused too).
%!   try
%!     evalc ("[y, o] = DSYMtrelvaksolver (A, live, struct ('restol', 1e-8), b, zeros (n, 1));");
%!     L = tril (A); As = L + tril (L, -1)';
%!     if (norm (b - As * y) / norm (b) > 1e-8)
%!       faults{end+1} = sprintf ("%s: the live handle solves badly afterwards", label);
%!     endif
%!   catch e
%!     if (! tvk_hostile_ours (e.message))
%!       faults{end+1} = sprintf ("%s: live handle: %s", label, e.message);
%!     endif
%!     live = DSYMtrelvakfactor (A);     # it was released through a copy: start again
%!   end_try_catch
%! endfor
%! ## Either may have been released by a case above.
%! for h = {live, other}
%!   try
%!     DSYMtrelvakdelete (h{1});
%!   catch
%!   end_try_catch
%! endfor
%! printf ("%d errors, %d warned, %d residuals checked, %d other calls\n", tally.error,
%!         tally.warned, tally.checked, tally.done);
%! assert (isempty (faults), "%s", strjoin (faults, "\n"));
