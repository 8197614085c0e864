## Nothing grows over thousands of calls: factor, solve and release in a loop, and repeated
## refusals of bad handles.
1;

%!function kb = resident_kb ()
%!  s = fileread ("/proc/self/status");
%!  kb = str2double (regexp (s, 'VmRSS:\s*(\d+)', "tokens", "once"){1});
%!endfunction

%!function cycle (A, b, count)
%!  n = rows (A);
%!  for k = 1:count
%!    P = DSYMtrelvakfactor (A, struct ("solver", "gmres", "amg", "ilu"));
%!    [x, o] = DSYMtrelvaksolver (A, P, struct ("solver", "sqmr", "typetv", "none"), b, zeros (n, 1));
%!    DSYMtrelvakdelete (P);
%!    try
%!      [x, o] = DSYMtrelvaksolver (A, P, struct (), b, zeros (n, 1));
%!    catch
%!    end_try_catch
%!  endfor
%!endfunction

%!testif ; exist ("/proc/self/status", "file")
%! A = tvk_problem ("helmholtz", 10);
%! b = A * ones (rows (A), 1);
%! cycle (A, b, 1000);
%! before = resident_kb ();
%! cycle (A, b, 3000);
%! after = resident_kb ();
%! assert (after - before < 2048, sprintf ("resident memory grew by %d kB", after - before));

%!testif ; exist ("/proc/self/status", "file")
%! ## Text options that alternate on one handle reuse the record's copies.
%! A = tvk_problem ("laplace", 10);
%! b = A * ones (rows (A), 1);
%! P = DSYMtrelvakfactor (A);
%! solvers = {"gmres", "bcg", "sqmr"};
%! for k = 1:300
%!   [x, o] = DSYMtrelvaksolver (A, P, struct ("solver", solvers{mod(k, 3) + 1}), b, 0 * b);
%! endfor
%! before = resident_kb ();
%! for k = 1:6000
%!   [x, o] = DSYMtrelvaksolver (A, P, struct ("solver", solvers{mod(k, 3) + 1}), b, 0 * b);
%! endfor
%! after = resident_kb ();
%! DSYMtrelvakdelete (P);
%! assert (after - before < 1024, sprintf ("resident memory grew by %d kB", after - before));
