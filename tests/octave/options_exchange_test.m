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
%! ## Keywords are matched over their own length; the text given comes back.
%! opts = struct ("solver", "gmres20", "amg", "amli", "presmoother", "jacobi", "extra", "kept text");
%! [x, o] = DSYMtrelvaksolver (A, P, opts, b, x0);
%! assert (o.solver, "gmres20");
%! assert (o.amg, "ilu");   # this factor kept no coarse systems for a cycle
%! assert (o.presmoother, "jacobi");
%! assert (o.extra, "kept text");
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("solver", "sqmr", "amg", "ilu"), b, x0);
%! assert (o.solver, "sqmr");

%!test
%! ## An unknown text is refused with the keywords, before anything changes: a misspelt
%! ## ordering or solver would otherwise run something else without a word.
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 77), b, x0);
%! bad = {"solver", "GMRES"; "amg", "AMLI"; "ordering", "metis"; "presmoother", "x"; ...
%!        "typecoarse", "ILU"; "FCpart", "Yes"; "typetv", "sometimes"};
%! for k = 1:rows (bad)
%!   opts = struct ("maxit", 12, bad{k, 1}, bad{k, 2});
%!   fail ("[x, o] = DSYMtrelvaksolver (A, P, opts, b, x0)", ...
%!         sprintf ('Option %s = "%s" is not known: it must be one of', bad{k, 1}, bad{k, 2}));
%! endfor
%! ## Nothing of the refused calls reached the record.
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", [], "solver", ""), b, x0);
%! assert (o.solver, "sqmr");
%! assert (o.niter <= 77);
%! Q = DSYMtrelvakfactor (A, struct ("ordering", "amd_like_prefix"));
%! DSYMtrelvakdelete (Q);

%!test
%! ## A text key given a number, and a numeric key given a text, are refused with the key.
%! fail ("[x, o] = DSYMtrelvaksolver (A, P, struct ('solver', int16 ([5 6])), b, x0)", ...
%!       "Option solver must be text \\(one of sqmr, sbcg, bcg, gmres, fgmres\\), not a int16 value");
%! fail ("[x, o] = DSYMtrelvaksolver (A, P, struct ('maxit', '100'), b, x0)", ...
%!       "Option maxit must be a real number, not a char value");
%! fail ("[x, o] = DSYMtrelvaksolver (A, P, struct ('droptol', {{1}}), b, x0)", ...
%!       "Option droptol must be a real number, not a cell value");
%! fail ("DSYMtrelvakfactor (A, struct ('droptol', 1i))", ...
%!       "Option droptol must be a real number, not a complex value");
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("Maxit", "3"), b, x0);
%! assert (o.Maxit, "3");

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
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 2.9), b, x0);
%! assert (o.maxit, 2);
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 500), b, x0);

%!test
%! ## Values outside a key's range, NaN and Inf are refused with the key and the range, and
%! ## change nothing: the limit 0 would mean no limit at all, and a solve that does not
%! ## converge would never end.
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", 500, "restol", 1e-6), b, x0);
%! bad = {"maxit", 0, "an iteration limit >= 1"; "maxit", -1, ""; "maxit", 0.5, ""; ...
%!        "maxit", Inf, ""; "maxit", NaN, ""; "restol", 0, "a relative tolerance in \\(0, 1\\)"; ...
%!        "restol", -1e-6, ""; "restol", 1, ""; "restol", NaN, ""; ...
%!        "droptol", -1, "a drop tolerance >= 0"; "droptolS", Inf, ""; ...
%!        "condest", 0.5, "a bound >= 1"; "elbow", 0, "a memory factor > 0"; ...
%!        "lfil", -3, "an entry count >= 0"; "lfilS", NaN, ""; "damping", 0, ""; ...
%!        "matching", 2, "0 \\(off\\) or 1 \\(on\\)"; "ncoarse", 0, ""; ...
%!        "npresmoothing", -1, ""; "nrestart", -5, ""};
%! for k = 1:rows (bad)
%!   opts = struct ("restol", 0.5, bad{k, 1}, bad{k, 2});
%!   fail ("[x, o] = DSYMtrelvaksolver (A, P, opts, b, x0)", ...
%!         sprintf ("Option %s = [-a-z0-9.]+ is not accepted: it must be %s", bad{k, 1}, bad{k, 3}));
%! endfor
%! fail ("DSYMtrelvakfactor (A, struct ('condest', 0))", "Option condest = 0 is not accepted");
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("maxit", []), b, x0);
%! assert (o.niter <= 500);
%! [x, o] = DSYMtrelvaksolver (A, P, struct ("restol", []), b, x0);
%! assert (norm (b - A * x) / norm (b) <= 1e-6);

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
