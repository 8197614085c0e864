## trelvak_mmread: Matrix Market files written here and read back through the tool's reader;
## every file the tool refuses is refused here with the tool's message.
1;

%!function f = write_mm (header, dims, entries)
%!  f = [tempname(), ".mtx"];
%!  fid = fopen (f, "w");
%!  fprintf (fid, "%s\n%% a comment line\n\n", header);
%!  fprintf (fid, "%d %d %d\n", dims);
%!  fprintf (fid, "%s\n", entries{:});
%!  fclose (fid);
%!endfunction

%!function f = write_text (text)
%!  f = [tempname(), ".mtx"];
%!  fid = fopen (f, "w");
%!  fputs (fid, text);
%!  fclose (fid);
%!endfunction

## The message of the error that reading f raises ("" when it reads); f is deleted.
%!function msg = read_error (f)
%!  msg = "";
%!  try
%!    trelvak_mmread (f);
%!  catch err
%!    msg = err.message;
%!  end_try_catch
%!  delete (f);
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
%! ## The upper triangle of a symmetric file, and both triangles of a general file, give the
%! ## same symmetric matrix (the lower one alone was the matrix solved before).
%! want = [4 -1.5 0; -1.5 0 0.2; 0 0.2 -2];
%! f = write_mm ("%%MatrixMarket matrix coordinate real symmetric", [3 3 4], ...
%!               {"1 1 4", "1 2 -1.5", "2 3 2e-1", "3 3 -2"});
%! A = trelvak_mmread (f);
%! delete (f);
%! assert (full (A), want);
%! assert (issymmetric (A));
%! f = write_mm ("%%MatrixMarket matrix coordinate integer general", [3 3 6], ...
%!               {"1 1 4", "1 2 -3", "2 1 -3", "2 3 1", "3 2 1", "3 3 -2"});
%! assert (full (trelvak_mmread (f)), [4 -3 0; -3 0 1; 0 1 -2]);
%! delete (f);
%! ## Duplicates are summed; zeros are not stored; gzip is told from the content.
%! f = write_mm ("%%MatrixMarket matrix coordinate real symmetric", [2 2 4], ...
%!               {"1 1 1", "1 1 2", "2 1 0", "2 2 5"});
%! system (sprintf ("gzip -c '%s' > '%s.gz'", f, f));
%! A = trelvak_mmread ([f ".gz"]);
%! delete (f); delete ([f ".gz"]);
%! assert (full (A), [3 0; 0 5]);
%! assert (nnz (A), 2);

%!test
%! ## A general file's triangles are averaged within the tolerance; a looser one can be given.
%! f = write_mm ("%%MatrixMarket matrix coordinate real general", [2 2 3], ...
%!               {"1 1 1", "2 2 1", "2 1 1"});
%! A = trelvak_mmread (f, 1);
%! assert (full (A), [1 0.5; 0.5 1]);
%! want = [": matrix is not symmetric: ||A - A'||_F / ||A||_F = 0.816497; largest ", ...
%!         "difference: A(2,1) = 1 but A(1,2) = 0 (tolerance 1e-12, see --symmetry-tol)"];
%! assert (read_error (f), ["trelvak_mmread: " f want]);

%!test
%! ## Hostile entry lists: each is refused with the reader's message, naming file and line.
%! mm = "%%MatrixMarket matrix coordinate real symmetric\n";
%! cases = {
%!   [mm "2 2 3\n1 1 1\n2 2 1\n"],         ":2: file ends after 2 of the 3 entries";
%!   [mm "2 2 1\n1 1 1\n2 2 1\n"],         ":4: more entries than the 1";
%!   [mm "2 2 2\n1 1 1\n2 2 abc\n"],       ":4: entry must read 'row column value', got '2 2 abc'";
%!   [mm "2 2 2\n1 1 1\n2 2"],             ":4: entry must read 'row column value'";
%!   [mm "2 2 2\n1 1 1\n2 1 nan\n"],       ":4: entry (2,1) is NaN";
%!   [mm "2 2 1\n3 1 1\n"],                ":3: entry (3,1) is outside the 2 x 2 matrix";
%!   [mm "2 2 2\n2 1 1\n1 2 1\n"],         "a symmetric file must store one triangle";
%!   [mm "2 3 1\n1 1 1\n"],                ":2: matrix is not square (2 x 3)";
%!   [mm "2 2 1000000000\n1 1 1\n"],       ":2: file ends after 1 of the 1000000000 entries";
%!   [mm(1:end-1)],                        "file ends before the size line";
%!   "",                                   "file is empty"};
%! for k = 1:rows (cases)
%!   f = write_text (cases{k,1});
%!   msg = read_error (f);
%!   assert (strncmp (msg, ["trelvak_mmread: " f], numel (f) + 16), true, msg);
%!   assert (! isempty (strfind (msg, cases{k,2})), true, msg);
%! endfor

%!test
%! ## Kinds the tool refuses: pattern, complex, skew-symmetric, array, non-square general.
%! mm = "%%MatrixMarket matrix ";
%! cases = {
%!   [mm "coordinate pattern symmetric\n2 2 2\n1 1\n2 1\n"], "pattern matrices carry no values";
%!   [mm "coordinate complex symmetric\n1 1 1\n1 1 1 0\n"],   "complex matrices are not supported";
%!   [mm "coordinate real skew-symmetric\n2 2 1\n2 1 3\n"],   "'skew-symmetric' matrices are not";
%!   [mm "array real general\n2 2\n1\n2\n3\n4\n"],          "format 'array' is not supported";
%!   [mm "coordinate integer general\n2 3 2\n1 3 5\n2 1 -7\n"], "matrix is not square (2 x 3)";
%!   "3 3 1\n1 1 1\n",                                       "not a Matrix Market file"};
%! for k = 1:rows (cases)
%!   msg = read_error (write_text (cases{k,1}));
%!   assert (! isempty (strfind (msg, cases{k,2})), true, msg);
%! endfor

%!test
%! ## A gzip file cut short is unreadable, not a partial matrix.
%! A = tvk_problem ("helmholtz", 30);
%! [i, j, v] = find (tril (A));
%! f = write_mm ("%%MatrixMarket matrix coordinate real symmetric", [900 900 numel(v)], ...
%!               arrayfun (@(k) sprintf ("%d %d %.17g", i(k), j(k), v(k)), 1:numel (v), ...
%!                         "UniformOutput", false));
%! system (sprintf ("gzip -c '%s' > '%s.gz'", f, f));
%! delete (f);
%! fid = fopen ([f ".gz"], "r"); bytes = fread (fid, Inf, "uint8=>uint8"); fclose (fid);
%! fid = fopen ([f ".gz"], "w"); fwrite (fid, bytes(1:floor (end / 2))); fclose (fid);
%! msg = read_error ([f ".gz"]);
%! assert (! isempty (strfind (msg, "truncated")), true, msg);

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
%!error <is a directory> trelvak_mmread (tempdir ())
%!error <FILE must be a file name> trelvak_mmread (3)
%!error <SYMMETRY_TOL must be a finite real scalar> trelvak_mmread ("x.mtx", -1)
%!error <Invalid call> trelvak_mmread ()
%!test
%! f = write_mm ("%%MatrixMarket matrix array real general", [2 2 4], {});
%! fail ("trelvak_mmread (f)", "format 'array' is not supported");
%! delete (f);
