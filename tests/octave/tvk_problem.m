## A = tvk_problem (kind, k): small symmetric test matrices for the Octave tests.
##   "laplace"  5-point Laplacian on a k x k grid (SPD, order k^2)
##   "helmholtz" the same minus 0.5 I (indefinite)
##   "saddle"   [K B'; B 0] with K the k x k-grid Laplacian and B the k^2/2 x k^2 sum of pairs
##   "diag"     2 I of order k
## Returns the full symmetric sparse matrix.
function A = tvk_problem (kind, k)
  switch kind
    case {"laplace", "helmholtz"}
      e = ones (k, 1);
      T = spdiags ([-e, 2*e, -e], -1:1, k, k);
      A = kron (speye (k), T) + kron (T, speye (k));
      if (strcmp (kind, "helmholtz"))
        A = A - 0.5 * speye (k^2);
      endif
    case "saddle"
      K = tvk_problem ("laplace", k);
      nu = k^2;
      np = floor (nu / 2);
      B = sparse ([1:np, 1:np], [2*(1:np)-1, 2*(1:np)], 1, np, nu);
      A = [K, B'; B, sparse(np, np)];
    case "diag"
      A = 2 * speye (k);
    otherwise
      error ("tvk_problem: unknown kind %s", kind);
  endswitch
endfunction
