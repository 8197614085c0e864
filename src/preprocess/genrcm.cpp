// genrcm.cpp: reverse Cuthill-McKee ordering of a symmetric graph, one connected component at a
// time (genrcm drives fnroot, rootls and rcm).
//
// On entry  n, xadj (n+1), adjncy: the adjacency structure, 1-based, both triangles. Self-loops
//           are allowed; they count in the degrees like any other neighbour.
// On exit   perm(k) is the node numbered k-th (position -> node).
// Work      mask: n ints; xls: n+1 ints (level pointers, and the degrees while numbering).
//
// Each component starts at its lowest unnumbered node. A pseudo-peripheral root is found by
// repeated level structures: the smallest-degree node of the last level becomes the next
// candidate while the number of levels grows. The component is then numbered breadth first with
// each node's new neighbours in increasing degree, and that numbering is reversed.
#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

using trelvak::View1;

// Rooted level structure over the unmasked nodes (mask(i) != 0) reachable from root. The nodes
// are listed level by level in ls(1..ccsize); level l is ls(xls(l)) .. ls(xls(l+1)-1).
void rootls(int root, View1<const int> xadj, View1<const int> adjncy, View1<int> mask, int* nlvl,
            View1<int> xls, View1<int> ls) {
    mask(root) = 0;
    ls(1)      = root;
    int levels = 0;
    int lvlend = 0;
    int ccsize = 1;
    // Every pass collects the unmasked neighbours of the current level into the next one.
    while (true) {
        const int lbegin = lvlend + 1;
        lvlend           = ccsize;
        ++levels;
        xls(levels) = lbegin;
        for (int i = lbegin; i <= lvlend; ++i) {
            const int node = ls(i);
            for (int j = xadj(node); j < xadj(node + 1); ++j) {
                const int nbr = adjncy(j);
                if (mask(nbr) != 0) {
                    ++ccsize;
                    ls(ccsize) = nbr;
                    mask(nbr)  = 0;
                }
            }
        }
        if (ccsize - lvlend <= 0) {
            break;
        }
    }
    xls(levels + 1) = lvlend + 1;
    for (int i = 1; i <= ccsize; ++i) {
        mask(ls(i)) = 1;
    }
    *nlvl = levels;
}

// Number of unmasked neighbours of node.
int unmasked_degree(int node, View1<const int> xadj, View1<const int> adjncy, View1<int> mask) {
    int d = 0;
    for (int j = xadj(node); j < xadj(node + 1); ++j) {
        if (mask(adjncy(j)) != 0) {
            ++d;
        }
    }
    return d;
}

// Pseudo-peripheral node of the component of *root; on exit *root is that node and ls/xls hold
// its level structure.
void fnroot(int* root, View1<const int> xadj, View1<const int> adjncy, View1<int> mask, int* nlvl,
            View1<int> xls, View1<int> ls) {
    rootls(*root, xadj, adjncy, mask, nlvl, xls, ls);
    const int ccsize = xls(*nlvl + 1) - 1;
    if (*nlvl == 1 || *nlvl == ccsize) {
        return;
    }
    while (true) {
        // Smallest-degree node of the last level; the first such node wins.
        const int jstrt = xls(*nlvl);
        int mindeg      = ccsize;
        *root           = ls(jstrt);
        if (ccsize != jstrt) {
            for (int j = jstrt; j <= ccsize; ++j) {
                const int node = ls(j);
                const int ndeg = unmasked_degree(node, xadj, adjncy, mask);
                if (ndeg < mindeg) {
                    *root  = node;
                    mindeg = ndeg;
                }
            }
        }
        int nunlvl = 0;
        rootls(*root, xadj, adjncy, mask, &nunlvl, xls, ls);
        if (nunlvl <= *nlvl) {
            return;
        }
        *nlvl = nunlvl;
        if (*nlvl >= ccsize) {
            return;
        }
    }
}

// Reverse Cuthill-McKee numbering of the component of root into perm(1..ccsize); deg receives
// the degrees of the component's nodes (counted over unmasked neighbours).
void rcm(int root, View1<const int> xadj, View1<const int> adjncy, View1<int> mask, View1<int> perm,
         int* ccsize_out, View1<int> deg) {
    // The component, found breadth first (mask cleared while the walk runs, then restored), and
    // the degrees of its nodes.
    perm(1)    = root;
    mask(root) = 0;
    int ccsize = 1;
    for (int i = 1; i <= ccsize; ++i) {
        const int node = perm(i);
        for (int j = xadj(node); j < xadj(node + 1); ++j) {
            const int nbr = adjncy(j);
            if (mask(nbr) != 0) {
                ++ccsize;
                perm(ccsize) = nbr;
                mask(nbr)    = 0;
            }
        }
    }
    for (int i = 1; i <= ccsize; ++i) {
        mask(perm(i)) = 1;
    }
    for (int i = 1; i <= ccsize; ++i) {
        const int node = perm(i);
        deg(node)      = unmasked_degree(node, xadj, adjncy, mask);
    }

    // Breadth-first numbering; the new neighbours of each node are appended and then put in
    // increasing degree by a stable insertion sort.
    mask(root) = 0;
    int lvlend = 0;
    int lnbr   = 1;
    while (lnbr > lvlend) {
        const int lbegin = lvlend + 1;
        lvlend           = lnbr;
        for (int i = lbegin; i <= lvlend; ++i) {
            const int node = perm(i);
            const int fnbr = lnbr + 1;
            for (int j = xadj(node); j < xadj(node + 1); ++j) {
                const int nbr = adjncy(j);
                if (mask(nbr) != 0) {
                    ++lnbr;
                    mask(nbr)  = 0;
                    perm(lnbr) = nbr;
                }
            }
            for (int k = fnbr + 1; k <= lnbr; ++k) {
                const int nbr = perm(k);
                int l         = k - 1;
                while (l >= fnbr && deg(perm(l)) > deg(nbr)) {
                    perm(l + 1) = perm(l);
                    --l;
                }
                perm(l + 1) = nbr;
            }
        }
    }
    // Reverse the Cuthill-McKee order.
    for (int l = 1, r = ccsize; l < r; ++l, --r) {
        const int t = perm(l);
        perm(l)     = perm(r);
        perm(r)     = t;
    }
    *ccsize_out = ccsize;
}

}  // namespace

void genrcm(const int* n_in, const int* xadj_in, const int* adjncy_in, int* perm_in, int* mask_in,
            int* xls_in) {
    const int n = *n_in;
    if (n <= 0) {
        return;
    }
    const auto xadj   = trelvak::view1(xadj_in, n + 1);
    const auto adjncy = trelvak::view1(adjncy_in);
    const auto perm   = trelvak::view1(perm_in, n);
    const auto mask   = trelvak::view1(mask_in, n);
    const auto xls    = trelvak::view1(xls_in, n + 1);

    for (int i = 1; i <= n; ++i) {
        mask(i) = 1;
    }
    int num = 1;
    for (int i = 1; i <= n; ++i) {
        if (mask(i) == 0) {
            continue;
        }
        // The component of i is numbered into perm(num ...); the free tail of perm holds the
        // level structures while the root is sought.
        int root        = i;
        int nlvl        = 0;
        const auto tail = trelvak::view1(perm.at(num), n - num + 1);
        fnroot(&root, xadj, adjncy, mask, &nlvl, xls, tail);
        int ccsize = 0;
        rcm(root, xadj, adjncy, mask, tail, &ccsize, xls);
        num += ccsize;
        if (num > n) {
            return;
        }
    }
}
