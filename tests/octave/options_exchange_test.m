## The options exchange: what reaches the handle's record, what comes back, and what persists.
1;

%!shared A, P, b, x0
%! A = tvk_problem ("laplace", 5);
%! P = DSYMtrelvakfactor (A);
%! b = A * (1:25)';
%! x0 = zeros (25, 1);

%!test
%! ## An empty options structure comes back with "niter" alone.
%! [x, o] = DSYMtrelvaksolver (A, P, struct (), b, x0);
%! assert (fieldnames (o), {"niter"});
%! assert (class (o.niter), "double");
%! assert (o.niter >= 0 && o.niter == fix (o.niter));

%!test
%! ## An input "niter" of any class is replaced in place by a 1x1 double.
%! opts = struct ("restol", 1e-8, "niter", "abc", "lfil", 7);
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (fieldnames (o), {"restol"; "niter"; "lfil"});
%! assert (class (o.niter), "double");
%! assert (size (o.niter), [1, 1]);
%! opts.niter = int8 ([1 2 3]);
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (fieldnames (o), {"restol"; "niter"; "lfil"});
%! assert (size (o.niter), [1, 1]);

%!test
%! ## Integer options are truncated; the larger smoothing count is taken for both.
%! opts = struct ("maxit", 99.9, "npresmoothing", 2, "npostmoothing", 1);
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (o.maxit, 99);
%! assert ([o.npresmoothing, o.npostmoothing], [2, 2]);

%!test
%! ## Keywords: unrecognised solver and amg texts fall back and show the fallback.
%! opts = struct ("solver", "GMRES", "amg", "AMLI", "presmoother", "jacobi", "extra", "kept text");
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (o.solver, "sqmr");
%! assert (o.amg, "ilu");
%! assert (o.presmoother, "jacobi");
%! assert (o.extra, "kept text");
%! opts = struct ("solver", "gmres20");
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (o.solver, "gmres20");
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("solver", "sqmr"), b, x0);
%! assert (o.solver, "sqmr");

%!test
%! ## A text key given a number, and a numeric key given a text: ignored and returned as given.
%! opts = struct ("solver", int16 ([5 6]), "maxit", "100", "Maxit", 3);
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (o.solver, int16 ([5 6]));
%! assert (o.maxit, "100");
%! assert (o.Maxit, 3);

%!test
%! ## Unrecognised fields come back exactly as given, whatever their class and shape.
%! s.a = 1; s.b = "x";
%! opts = struct ("vec", single ([1 2 3]), "mat", int16 ([1 2; 3 4]), "flag", true, ...
%!                "c", {{1, "two", [3 4]}}, "s", s, "z", [], "t", ["ab"; "cd"]);
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! for f = fieldnames (opts)'
%!   assert (o.(f{1}), opts.(f{1}));
%!   assert (class (o.(f{1})), class (opts.(f{1})));
%! endfor

%!test
%! ## Recognised numeric options of any numeric or logical class are read by value and come
%! ## back in their own class and shape, with the value used first and the other elements kept.
%! opts = struct ("maxit", int32 ([250 7 9]), "restol", single (1e-7), "lfil", uint8 (20), ...
%!                "matching", true, "nrestart", [25; 3], "damping", int8 (1));
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (o.maxit, int32 ([250 7 9]));
%! assert (o.restol, single (1e-7));
%! assert (o.lfil, uint8 (20));
%! assert (o.matching, true);
%! assert (o.nrestart, [25; 3]);
%! assert (o.damping, int8 (1));
%! ## The smoothing counts are made equal even when the larger one does not fit the class.
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("npresmoothing", int8 (3), "npostmoothing", 1000), b, x0);
%! assert (o.npresmoothing, int8 (127));
%! assert (o.npostmoothing, 1000);
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("npresmoothing", 1, "npostmoothing", 1), b, x0);
%! assert ([o.npresmoothing, o.npostmoothing], [1, 1]);

%!test
%! ## Empty numeric options are ignored and come back unchanged; the record keeps its value.
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 321), b, x0);
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", zeros (0, 3, "int16"), "restol", []), b, x0);
%! assert (o.maxit, zeros (0, 3, "int16"));
%! assert (o.restol, []);
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 0.5), b, x0);
%! assert (o.maxit, 0);
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 500), b, x0);

%!test
%! ## Infinite integer options are clamped; NaN is refused and changes nothing.
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", Inf), b, x0);
%! assert (o.maxit, 2147483647);
%! fail ("[x, o] = DSYMtrelvaksolver (A, P, struct ('restol', 0.5, 'maxit', NaN), b, x0)", ...
%!       "Option maxit must be a number, not NaN.");
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 500, "restol", 1e-6), b, x0);
%! assert (o.restol, 1e-6);

%!test
%! ## A structure array passes its first element; the output is 1x1.
%! opts = struct ("maxit", {400, 3});
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (size (o), [1, 1]);
%! assert (o.maxit, 400);

%!test
%! ## The defaults hold every key, and the factorization shows what it used.
%! d = DSYMtrelvakinit (A);
%! keys = {"elbow", "lfilS", "lfil", "maxit", "droptolS", "droptol", "condest", "restol", ...
%!         "npresmoothing", "npostmoothing", "ncoarse", "matching", "nrestart", "damping", ...
%!         "amg", "presmoother", "postsmoother", "typecoarse", "typetv", "FCpart", "solver", ...
%!         "ordering"};
%! assert (fieldnames (d)', keys);
%! assert (DSYMtrelvakinit (), d);
%! [Q, o] = DSYMtrelvakfactor (A, struct ("droptol", 0.05, "mine", 1));
%! assert (fieldnames (o), {"droptol"; "mine"});
%! assert (o.droptol, 0.05);
%! [R, o2] = DSYMtrelvakfactor (A);
%! assert (o2, d);
%! DSYMtrelvakdelete (Q);
%! DSYMtrelvakdelete (R);

%!test
%! DSYMtrelvakdelete (P);
