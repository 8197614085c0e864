## trelvak_mmread: Matrix Market coordinate files written here and read back.
1;

%!function f = write_mm (header, dims, entries)
%!  f = [tempname(), ".mtx"];
%!  fid = fopen (f, "w");
%!  fprintf (fid, "%s\n%% a comment line\n\n", header);
%!  fprintf (fid, "%d %d %d\n", dims);
%!  fprintf (fid, "%s\n", entries{:});
%!  fclose (fid);
%!endfunction

%!test
%! ## A symmetric file holds the lower triangle; the full matrix comes back.
%! f = write_mm ("%%MatrixMarket matrix coordinate real symmetric", [3 3 4], ...
%!               {"1 1 4", "2 1 -1.5", "3 2 2e-1", "3 3 -2"});
%! A = trelvak_mmread (f);
%! delete (f);
%! assert (issparse (A));
%! assert (full (A), [4 -1.5 0; -1.5 0 0.2; 0 0.2 -2]);

%!test
%! ## General, integer and pattern files; skew-symmetric files get the negated transpose.
%! f = write_mm ("%%MatrixMarket matrix coordinate integer general", [2 3 2], {"1 3 5", "2 1 -7"});
%! assert (full (trelvak_mmread (f)), [0 0 5; -7 0 0]);
%! delete (f);
%! f = write_mm ("%%MatrixMarket matrix coordinate pattern symmetric", [2 2 2], {"1 1", "2 1"});
%! assert (full (trelvak_mmread (f)), [1 1; 1 0]);
%! delete (f);
%! f = write_mm ("%%MatrixMarket matrix coordinate real skew-symmetric", [2 2 1], {"2 1 3"});
%! assert (full (trelvak_mmread (f)), [0 -3; 3 0]);
%! delete (f);

%!test
%! ## A read matrix goes straight into the modules.
%! A = tvk_problem ("helmholtz", 6);
%! [i, j, v] = find (tril (A));
%! f = write_mm ("%%MatrixMarket matrix coordinate real symmetric", [36 36 numel(v)], ...
%!               arrayfun (@(k) sprintf ("%d %d %.17g", i(k), j(k), v(k)), 1:numel (v), ...
%!                         "UniformOutput", false));
%! B = trelvak_mmread (f);
%! delete (f);
%! assert (B, A);
%! x = trelvak (B, B * ones (36, 1));
%! assert (norm (x - 1) < 1e-4);

%!error <cannot open> trelvak_mmread ("/nonexistent/file.mtx")
%!test
%! f = write_mm ("%%MatrixMarket matrix array real general", [2 2 4], {});
%! fail ("trelvak_mmread (f)", "not a Matrix Market coordinate file");
%! delete (f);
