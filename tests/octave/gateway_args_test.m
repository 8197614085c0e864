## Argument checks of the Octave modules: every message, in the order the checks run, and the
## refusal of anything that is not a live preconditioner handle.
1;

%!shared A, P, opts, b, x0
%! A = tvk_problem ("laplace", 4);
%! P = DSYMtrelvakfactor (A);
%! opts = struct ();
%! b = A * (1:16)';
%! x0 = zeros (16, 1);

## trelvak_course_mex (trelvak.m's solve) makes the solver module's checks, with three outputs.
%!error <^trelvak_course_mex: five input arguments required\.$> [x, o, s] = trelvak_course_mex (A, P, opts, b)
%!error <^trelvak_course_mex: three output arguments required\.$> [x, o] = trelvak_course_mex (A, P, opts, b, x0)
%!error <^trelvak_course_mex: Third input must be a structure\.$> [x, o, s] = trelvak_course_mex (A, P, 3, b, x0)
%!error <Second input is not a live preconditioner> [x, o, s] = trelvak_course_mex (A, struct ("ptr", 12345, "param", 67890, "id", P.id), opts, b, x0)
%!error <^trelvak_course_mex: Fourth input must be> [x, o, s] = trelvak_course_mex (A, P, opts, b(1:3), x0)

## trelvak_factor_mex (trelvak.m's factorization for one column) makes the factor module's
## checks, and checks b as the solver module does.
%!error <^trelvak_factor_mex: three input arguments required\.$> Q = trelvak_factor_mex (A, opts)
%!error <^trelvak_factor_mex: Too many output arguments\.$> [Q, o, x, k, z] = trelvak_factor_mex (A, opts, b)
%!error <^trelvak_factor_mex: Second input must be a structure\.$> Q = trelvak_factor_mex (A, 3, b)
%!error <^trelvak_factor_mex: Third input must be> Q = trelvak_factor_mex (A, opts, b(1:3))
%!error <^trelvak_factor_mex: Third input holds NaN> Q = trelvak_factor_mex (A, opts, [b; NaN](2:end))
%!error <^trelvak_factor_mex: Third input is too large> Q = trelvak_factor_mex (A, opts, 1e300 * b)

## The five checks of the solver module, in their order.
%!error <^DSYMtrelvaksolver: five input arguments required\.$> [x, o] = DSYMtrelvaksolver (A, P, opts, b)
%!error <^DSYMtrelvaksolver: five input arguments required\.$> [x, o] = DSYMtrelvaksolver (1, 2, 3, 4, 5, 6)
%!error <^DSYMtrelvaksolver: five input arguments required\.$> x = DSYMtrelvaksolver (A, P, opts, b)
%!error <^DSYMtrelvaksolver: Too many output arguments\.$> x = DSYMtrelvaksolver (A, P, opts, b, x0)
%!error <^DSYMtrelvaksolver: Too many output arguments\.$> [x, o, z] = DSYMtrelvaksolver (A, P, opts, b, x0)
%!error <^DSYMtrelvaksolver: Too many output arguments\.$> DSYMtrelvaksolver (A, P, opts, b, x0)
%!error <^DSYMtrelvaksolver: Third input must be a structure\.$> [x, o] = DSYMtrelvaksolver ("A", 2, 3, 4, 5)
%!error <^DSYMtrelvaksolver: First input must be a matrix\.$> [x, o] = DSYMtrelvaksolver ("A", 2, opts, 4, 5)
%!error <^DSYMtrelvaksolver: First input must be a matrix\.$> [x, o] = DSYMtrelvaksolver (A > 0, P, opts, b, x0)
%!error <^DSYMtrelvaksolver: First input must be a square matrix\.$> [x, o] = DSYMtrelvaksolver (sprand (3, 4, 0.5), 2, opts, 4, 5)
%!error <^DSYMtrelvaksolver: TRELVAK: input matrix must be in sparse format\.$> [x, o] = DSYMtrelvaksolver (full (A), P, opts, b, x0)

## A complex matrix is refused before anything else is looked at.
%!error <^DSYMtrelvaksolver: First input must be a real matrix\.$> [x, o] = DSYMtrelvaksolver (A * 1i, P, opts, b, x0)

## Handles: not a structure, missing or unusable fields, not live.
%!error <Second input must be a preconditioner handle made by DSYMtrelvakfactor> [x, o] = DSYMtrelvaksolver (A, 7, opts, b, x0)
%!error <Second input must be a preconditioner handle made by DSYMtrelvakfactor> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", {}), opts, b, x0)
%!error <Second input lacks the field ptr> [x, o] = DSYMtrelvaksolver (A, struct ("param", P.param), opts, b, x0)
%!error <Second input lacks the field param> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", P.ptr), opts, b, x0)
%!error <Field ptr of the Second input must be a non-empty real numeric array> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", "abc", "param", P.param), opts, b, x0)
%!error <Field param of the Second input must be a non-empty real numeric array> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", P.ptr, "param", []), opts, b, x0)
%!error <Field ptr of the Second input must be a non-empty real numeric array> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", {{1}}, "param", P.param), opts, b, x0)
%!error <Second input is not a live preconditioner> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", 12345, "param", 67890, "id", P.id), opts, b, x0)
%!error <Second input is not a live preconditioner> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", -1, "param", P.param), opts, b, x0)
%!error <Second input is not a live preconditioner> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", P.param, "param", P.ptr, "id", P.id), opts, b, x0)

## A handle of another order, and right-hand sides or guesses that are too short or not real.
%!error <Second input was computed for a matrix of order 16, but the first input has order 9> [x, o] = DSYMtrelvaksolver (tvk_problem ("laplace", 3), P, opts, ones (9, 1), zeros (9, 1))
%!error <Fourth input must be a real full double vector of 16 elements, one for each row> [x, o] = DSYMtrelvaksolver (A, P, opts, b(1:15), x0)
%!error <Fourth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, single (b), x0)
%!error <Fourth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b * 1i, x0)
%!error <Fourth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, sparse (b), x0)
%!error <Fifth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b, [])
%!error <Fifth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b, int32 (x0))

## Longer vectors and several columns were once cut to their first n entries without a word;
## NaN, Inf and magnitudes whose squares overflow only surfaced as a breakdown of the method.
%!error <Fourth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, [b; 1], x0)
%!error <Fourth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, [b, b], x0)
%!error <Fifth input must be a real full double vector of 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b, zeros (4, 4))
%!error <Fourth input holds Inf in element 3: every element must be finite> [x, o] = DSYMtrelvaksolver (A, P, opts, [b(1:2); Inf; b(4:end)], x0)
%!error <Fourth input holds NaN in element 1> [x, o] = DSYMtrelvaksolver (A, P, opts, [NaN; b(2:end)], x0)
%!error <Fifth input holds NaN in element 16> [x, o] = DSYMtrelvaksolver (A, P, opts, b, [x0(1:15); NaN])
%!error <Fifth input is too large for this matrix> [x, o] = DSYMtrelvaksolver (A, P, opts, b, 1e300 * ones (16, 1))
%!error <Fourth input is too large> [x, o] = DSYMtrelvaksolver (A, P, opts, 1e200 * b, x0)
%!error <First input holds NaN entries: every entry must be finite> [x, o] = DSYMtrelvaksolver (A + sparse (2, 2, NaN, 16, 16), P, opts, b, x0)
%!error <^DSYMtrelvakfactor: First input holds Inf entries> DSYMtrelvakfactor (A + sparse (2, 2, Inf, 16, 16))
%!test
%! ## A row vector of n entries is a vector too.
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b', x0');
%! assert (norm (b - A * x) / norm (b) < 1e-5);

## The handle copies that Octave makes all designate one record; the handle still works after
## every refusal above, and a copy of a released handle is refused.
%!test
%! Q = P;
%! [x, o] = DSYMtrelvaksolver (A, Q, opts, b, x0);
%! assert (size (x), [16, 1]);
%! assert (isfield (o, "niter"));
%!test
%! B = tvk_problem ("helmholtz", 3);
%! R = DSYMtrelvakfactor (B);
%! S = R;
%! DSYMtrelvakdelete (R);
%! fail ("[x, o] = DSYMtrelvaksolver (B, S, struct (), ones (9, 1), zeros (9, 1))", "not a live preconditioner");
%! fail ("DSYMtrelvakdelete (S)", "First input is not a live preconditioner");
%!test
%! ## Released blocks come back: a new handle may live at the stale copy's two addresses. The
%! ## copy stays refused, and cannot release the new handle.
%! B = tvk_problem ("helmholtz", 3);
%! R = DSYMtrelvakfactor (B);
%! S = R;
%! DSYMtrelvakdelete (R);
%! live = {};
%! for k = 1:20
%!   live{end+1} = DSYMtrelvakfactor (B);
%!   if (live{end}.ptr == S.ptr && live{end}.param == S.param)
%!     break;
%!   endif
%!   DSYMtrelvakdelete (live{end});
%!   live(end) = [];
%! endfor
%! fail ("[x, o] = DSYMtrelvaksolver (B, S, struct (), ones (9, 1), zeros (9, 1))", "not a live preconditioner");
%! fail ("DSYMtrelvakdelete (S)", "First input is not a live preconditioner");
%! for k = 1:numel (live)
%!   [x, o] = DSYMtrelvaksolver (B, live{k}, struct (), ones (9, 1), zeros (9, 1));
%!   assert (norm (ones (9, 1) - B * x) < 1e-5);
%!   DSYMtrelvakdelete (live{k});
%! endfor
%!test
%! ## A handle saved to a file and loaded again in this session is the same live handle; its
%! ## keys stored as doubles are accepted by value.
%! f = [tempname() ".mat"];
%! save ("-binary", f, "P");
%! Q = load (f).P;
%! delete (f);
%! [x, o] = DSYMtrelvaksolver (A, struct ("ptr", double (Q.ptr), "param", double (Q.param), "id", double (Q.id)), opts, b, x0);
%! assert (numel (x), 16);
%! fail ("[x, o] = DSYMtrelvaksolver (A, rmfield (Q, 'id'), opts, b, x0)", "Second input lacks the field id");

## The other modules' checks.
%!error <^DSYMtrelvakfactor: one or two input arguments required\.$> DSYMtrelvakfactor ()
%!error <^DSYMtrelvakfactor: Too many output arguments\.$> [p, o, z] = DSYMtrelvakfactor (A)
%!error <^DSYMtrelvakfactor: Second input must be a structure\.$> DSYMtrelvakfactor (A, 3)
%!error <^DSYMtrelvakfactor: TRELVAK: input matrix must be in sparse format\.$> DSYMtrelvakfactor (full (A))
%!error <^DSYMtrelvakfactor: First input must be a real matrix\.$> DSYMtrelvakfactor (A + 1i * A)
%!error <^DSYMtrelvakfactor: First input must be a square matrix\.$> DSYMtrelvakfactor (sparse (2, 3))
%!error <^DSYMtrelvakdelete: one input argument required\.$> DSYMtrelvakdelete ()
%!error <^DSYMtrelvakdelete: Too many output arguments\.$> z = DSYMtrelvakdelete (P)
%!error <^DSYMtrelvakdelete: First input must be a preconditioner handle made by DSYMtrelvakfactor\.$> DSYMtrelvakdelete (struct ("ptr", {}))
%!error <^DSYMtrelvakinit: First input must be a square matrix\.$> DSYMtrelvakinit (ones (2, 3))
%!error <^DSYMtrelvakinit: at most one input argument allowed\.$> DSYMtrelvakinit (A, A)

%!test
%! DSYMtrelvakdelete (P);
%! fail ("DSYMtrelvakdelete (P)", "not a live preconditioner");
