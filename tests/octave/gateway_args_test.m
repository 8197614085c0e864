## Argument checks of the Octave modules: every message, in the order the checks run, and the
## refusal of anything that is not a live preconditioner handle.
1;

%!shared A, P, opts, b, x0
%! A = tvk_problem ("laplace", 4);
%! P = DSYMtrelvakfactor (A);
%! opts = struct ();
%! b = A * (1:16)';
%! x0 = zeros (16, 1);

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
%!error <Second input is not a live preconditioner> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", 12345, "param", 67890), opts, b, x0)
%!error <Second input is not a live preconditioner> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", -1, "param", P.param), opts, b, x0)
%!error <Second input is not a live preconditioner> [x, o] = DSYMtrelvaksolver (A, struct ("ptr", P.param, "param", P.ptr), opts, b, x0)

## A handle of another order, and right-hand sides or guesses that are too short or not real.
%!error <Second input was computed for a matrix of order 16, but the first input has order 9> [x, o] = DSYMtrelvaksolver (tvk_problem ("laplace", 3), P, opts, ones (9, 1), zeros (9, 1))
%!error <Fourth input must be a real full double vector with at least 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b(1:15), x0)
%!error <Fourth input must be a real full double vector with at least 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, single (b), x0)
%!error <Fourth input must be a real full double vector with at least 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b * 1i, x0)
%!error <Fourth input must be a real full double vector with at least 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, sparse (b), x0)
%!error <Fifth input must be a real full double vector with at least 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b, [])
%!error <Fifth input must be a real full double vector with at least 16 elements> [x, o] = DSYMtrelvaksolver (A, P, opts, b, int32 (x0))

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
%! ## A handle saved to a file and loaded again in this session is the same live handle; its
%! ## keys stored as doubles are accepted by value.
%! f = [tempname() ".mat"];
%! save ("-binary", f, "P");
%! Q = load (f).P;
%! delete (f);
%! [x, o] = DSYMtrelvaksolver (A, struct ("ptr", double (Q.ptr), "param", double (Q.param)), opts, b, x0);
%! assert (numel (x), 16);

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
