## -*- texinfo -*-
## @deftypefn {} {@var{A} =} trelvak_mmread (@var{file})
## Read a real sparse matrix from a Matrix Market coordinate file (general, symmetric or
## skew-symmetric; real, integer or pattern). A symmetric file stores one triangle; the full
## symmetric matrix is returned.
## @end deftypefn
function A = trelvak_mmread (file)
  fid = fopen (file, "r");
  if (fid < 0)
    error ("trelvak_mmread: cannot open %s", file);
  endif
  unwind_protect
    banner = lower (fgetl (fid));
    if (! strncmp (banner, "%%matrixmarket matrix coordinate", 32))
      error ("trelvak_mmread: %s is not a Matrix Market coordinate file", file);
    endif
    if (! isempty (strfind (banner, "complex")))
      error ("trelvak_mmread: complex matrices are not supported");
    endif
    pattern = ! isempty (strfind (banner, "pattern"));
    line = fgetl (fid);
    while (ischar (line) && (isempty (strtrim (line)) || line(1) == "%"))
      line = fgetl (fid);
    endwhile
    dims = sscanf (line, "%d", 3);
    if (pattern)
      data = fscanf (fid, "%d %d", [2, dims(3)]);
      data(3,:) = 1;
    else
      data = fscanf (fid, "%d %d %g", [3, dims(3)]);
    endif
  unwind_protect_cleanup
    fclose (fid);
  end_unwind_protect
  A = sparse (data(1,:), data(2,:), data(3,:), dims(1), dims(2));
  if (! isempty (strfind (banner, "skew-symmetric")))
    A = A - tril (A, -1).';
  elseif (! isempty (strfind (banner, "symmetric")))
    A = A + tril (A, -1).';
  endif
endfunction
