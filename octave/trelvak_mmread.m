## -*- texinfo -*-
## @deftypefn  {} {@var{A} =} trelvak_mmread (@var{file})
## @deftypefnx {} {@var{A} =} trelvak_mmread (@var{file}, @var{symmetry_tol})
## Read a real symmetric sparse matrix from a Matrix Market coordinate file and return it in
## full (both triangles) as a sparse double matrix.
##
## The file is read by the command-line tool's own reader (module @code{trelvak_mmread_mex}),
## so @code{trelvak_mmread} accepts exactly the files the tool @code{trelvak} accepts and
## refuses the others with the same message, prefixed @qcode{"trelvak_mmread: "}; the message
## names the file and, where it applies, the line and the entry at fault.
##
## Accepted: @qcode{"%%MatrixMarket matrix coordinate real"} (or @qcode{integer}) files,
## plain or gzip-compressed (told from the content, not the name), from a regular file, a
## named pipe or a pipe such as @file{/dev/stdin}.
## @itemize
## @item @qcode{symmetric} storage of one triangle, lower or upper: the other is mirrored;
## @item @qcode{general} storage of both triangles: accepted when
## @code{norm (A - A.', "fro") <= @var{symmetry_tol} * norm (A, "fro")} (default 1e-12), and
## the two triangles are then averaged;
## @item duplicate positions are summed; entries that are exactly zero are not stored.
## @end itemize
##
## Refused: pattern, complex, Hermitian and skew-symmetric files, @qcode{array} files,
## non-square sizes, @qcode{general} files that are not symmetric within @var{symmetry_tol},
## @qcode{symmetric} files that store entries on both sides of the diagonal, fewer or more
## entries than the size line declares, malformed lines (e.g. a non-numeric value or a line
## cut short), NaN or infinite values, indices out of range, sizes beyond 32-bit indices, and
## truncated or corrupt gzip data.
## @seealso{trelvak, DSYMtrelvakfactor}
## @end deftypefn
function A = trelvak_mmread (file, symmetry_tol)
  if (nargin < 1 || nargin > 2)
    print_usage ();
  endif
  if (! ischar (file) || (! isempty (file) && ! isrow (file)))
    error ("trelvak_mmread: FILE must be a file name (a character string)");
  endif
  file = tilde_expand (file);
  try
    if (nargin == 1)
      A = trelvak_mmread_mex (file);
    else
      A = trelvak_mmread_mex (file, symmetry_tol);
    endif
  catch err
    if (! strcmp (err.identifier, "trelvak:mmread"))
      rethrow (err);
    endif
    ## The reader's message, under this function's name instead of the module's.
    error ("trelvak:mmread", "trelvak_mmread: %s",
           regexprep (err.message, '^trelvak_mmread_mex: ', ''));
  end_try_catch
endfunction
