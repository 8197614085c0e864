// genqmd.cpp: quotient minimum degree ordering, minimum degree elimination carried out on the
// quotient graph (genqmd drives qmdrch, qmdupd, qmdmrg and qmdqt).
//
// On entry  n, xadj (n+1), adjncy: the adjacency structure, 1-based, both triangles, no
//           self-loops.
// On exit   perm(k) is the node eliminated k-th, invp its inverse; nofsub the number of
//           off-diagonal entries of the Cholesky factor. adjncy is destroyed: it holds the
//           quotient graph, in which an eliminated node's list is chained to further lists
//           through negative entries and ends at a zero.
// Work      deg, marker, rchset, nbrhd, qsize, qlink: n ints each.
//
// The node to eliminate is found by a threshold search over the positions not yet numbered.
// After an elimination the degrees of the reach set are recomputed over the quotient graph,
// indistinguishable nodes of the reach set are merged into supernodes (qsize, qlink), and the
// eliminated node absorbs its eliminated neighbours into one element of the quotient graph.
#include "common/onebased.h"
#include "preprocess/preprocess.h"

namespace {

using trelvak::View1;

struct Qmd {
    View1<const int> xadj;
    View1<int> adjncy;
    View1<int> deg;
    View1<int> marker;
    View1<int> qsize;
    View1<int> qlink;
};

// Reach set of root: the uneliminated nodes adjacent to root directly or through eliminated
// nodes (rchset, marked 1), and the eliminated nodes passed on the way (nbrhd, marked -1).
void qmdrch(const Qmd& g, int root, int* rchsze, View1<int> rchset, int* nhdsze, View1<int> nbrhd) {
    *nhdsze = 0;
    *rchsze = 0;
    for (int i = g.xadj(root); i < g.xadj(root + 1); ++i) {
        const int nabor = g.adjncy(i);
        if (nabor == 0) {
            return;
        }
        if (g.marker(nabor) != 0) {
            continue;
        }
        if (g.deg(nabor) >= 0) {
            ++*rchsze;
            rchset(*rchsze) = nabor;
            g.marker(nabor) = 1;
            continue;
        }
        // An eliminated neighbour: follow its chained lists.
        g.marker(nabor) = -1;
        ++*nhdsze;
        nbrhd(*nhdsze) = nabor;
        int list       = nabor;
        bool more      = true;
        while (more) {
            more = false;
            for (int j = g.xadj(list); j < g.xadj(list + 1); ++j) {
                const int node = g.adjncy(j);
                if (node < 0) {
                    list = -node;
                    more = true;
                    break;
                }
                if (node == 0) {
                    break;
                }
                if (g.marker(node) == 0) {
                    ++*rchsze;
                    rchset(*rchsze) = node;
                    g.marker(node)  = 1;
                }
            }
        }
    }
}

// Merges indistinguishable nodes among the reach set (marked 1). nbrhd lists the eliminated
// supernodes adjacent to it; deg0 is the size of the reach set. rchset and ovrlp are n-int work.
void qmdmrg(const Qmd& g, int deg0, int nhdsze, View1<int> nbrhd, View1<int> rchset,
            View1<int> ovrlp) {
    if (nhdsze <= 0) {
        return;
    }
    for (int inhd = 1; inhd <= nhdsze; ++inhd) {
        g.marker(nbrhd(inhd)) = 0;
    }
    for (int inhd = 1; inhd <= nhdsze; ++inhd) {
        int root       = nbrhd(inhd);
        g.marker(root) = -1;
        int rchsze     = 0;
        int novrlp     = 0;
        int deg1       = 0;
        // Reach set of the element root, and its overlap with the input reach set.
        bool more = true;
        while (more) {
            more = false;
            for (int j = g.xadj(root); j < g.xadj(root + 1); ++j) {
                const int nabor = g.adjncy(j);
                if (nabor < 0) {
                    root = -nabor;
                    more = true;
                    break;
                }
                if (nabor == 0) {
                    break;
                }
                const int mark = g.marker(nabor);
                if (mark == 0) {
                    ++rchsze;
                    rchset(rchsze) = nabor;
                    deg1 += g.qsize(nabor);
                    g.marker(nabor) = 1;
                } else if (mark == 1) {
                    ++novrlp;
                    ovrlp(novrlp)   = nabor;
                    g.marker(nabor) = 2;
                }
            }
        }
        // An overlap node whose neighbours all lie in the two reach sets is merged.
        int head   = 0;
        int mrgsze = 0;
        for (int iov = 1; iov <= novrlp; ++iov) {
            const int node = ovrlp(iov);
            bool mergeable = true;
            for (int j = g.xadj(node); j < g.xadj(node + 1); ++j) {
                if (g.marker(g.adjncy(j)) == 0) {
                    mergeable = false;
                    break;
                }
            }
            if (!mergeable) {
                g.marker(node) = 1;
                continue;
            }
            mrgsze += g.qsize(node);
            g.marker(node) = -1;
            int lnode      = node;
            while (g.qlink(lnode) > 0) {
                lnode = g.qlink(lnode);
            }
            g.qlink(lnode) = head;
            head           = node;
        }
        if (head > 0) {
            g.qsize(head)  = mrgsze;
            g.deg(head)    = deg0 + deg1 - 1;
            g.marker(head) = 2;
        }
        g.marker(nbrhd(inhd)) = 0;
        for (int irch = 1; irch <= rchsze; ++irch) {
            g.marker(rchset(irch)) = 0;
        }
    }
}

// New degrees of the nodes of list (the reach set of the node just eliminated, marked 1), after
// merging indistinguishable ones. rchset and nbrhd are n-int work.
void qmdupd(const Qmd& g, int nlist, View1<int> list, View1<int> rchset, View1<int> nbrhd) {
    if (nlist <= 0) {
        return;
    }
    // Eliminated supernodes adjacent to some node of the list.
    int deg0   = 0;
    int nhdsze = 0;
    for (int il = 1; il <= nlist; ++il) {
        const int node = list(il);
        deg0 += g.qsize(node);
        for (int j = g.xadj(node); j < g.xadj(node + 1); ++j) {
            const int nabor = g.adjncy(j);
            if (g.marker(nabor) != 0 || g.deg(nabor) >= 0) {
                continue;
            }
            g.marker(nabor) = -1;
            ++nhdsze;
            nbrhd(nhdsze) = nabor;
        }
    }
    if (nhdsze > 0) {
        qmdmrg(g, deg0, nhdsze, nbrhd, rchset, trelvak::view1(nbrhd.at(nhdsze + 1)));
    }
    // Degrees of the nodes that were not merged away.
    for (int il = 1; il <= nlist; ++il) {
        const int node = list(il);
        const int mark = g.marker(node);
        if (mark > 1 || mark < 0) {
            continue;
        }
        g.marker(node) = 2;
        int rchsze     = 0;
        int nhd        = 0;
        qmdrch(g, node, &rchsze, rchset, &nhd, nbrhd);
        int deg1 = deg0;
        for (int irch = 1; irch <= rchsze; ++irch) {
            const int inode = rchset(irch);
            deg1 += g.qsize(inode);
            g.marker(inode) = 0;
        }
        g.deg(node) = deg1 - 1;
        for (int inhd = 1; inhd <= nhd; ++inhd) {
            g.marker(nbrhd(inhd)) = 0;
        }
    }
}

// Quotient-graph transformation after eliminating root: root's list and those of its eliminated
// neighbours (nbrhd) are chained and hold the reach set; each node of the reach set gets root in
// place of its first eliminated neighbour.
void qmdqt(const Qmd& g, int root, int rchsze, View1<int> rchset, View1<int> nbrhd) {
    int irch = 0;
    int inhd = 0;
    int node = root;
    while (true) {
        const int jstrt = g.xadj(node);
        const int jstop = g.xadj(node + 1) - 2;
        bool done       = false;
        int j           = jstrt;
        for (; j <= jstop; ++j) {
            ++irch;
            g.adjncy(j) = rchset(irch);
            if (irch >= rchsze) {
                done = true;
                break;
            }
        }
        if (done) {
            g.adjncy(j + 1) = 0;
            break;
        }
        // Continue in the space of the next eliminated neighbour.
        const int link = g.adjncy(jstop + 1);
        if (link < 0) {
            node = -link;
            continue;
        }
        ++inhd;
        node                = nbrhd(inhd);
        g.adjncy(jstop + 1) = -node;
    }
    for (irch = 1; irch <= rchsze; ++irch) {
        const int rnode = rchset(irch);
        if (g.marker(rnode) < 0) {
            continue;
        }
        for (int j = g.xadj(rnode); j < g.xadj(rnode + 1); ++j) {
            if (g.marker(g.adjncy(j)) < 0) {
                g.adjncy(j) = root;
                break;
            }
        }
    }
}

}  // namespace

void genqmd(const int* n_in, int* xadj_in, int* adjncy_in, int* perm_in, int* invp_in, int* deg_in,
            int* marker_in, int* rchset_in, int* nbrhd_in, int* qsize_in, int* qlink_in,
            int* nofsub) {
    const int n = *n_in;
    *nofsub     = 0;
    if (n <= 0) {
        return;
    }
    const Qmd g{trelvak::view1<const int>(xadj_in, n + 1),
                trelvak::view1(adjncy_in),
                trelvak::view1(deg_in, n),
                trelvak::view1(marker_in, n),
                trelvak::view1(qsize_in, n),
                trelvak::view1(qlink_in, n)};
    const auto perm   = trelvak::view1(perm_in, n);
    const auto invp   = trelvak::view1(invp_in, n);
    const auto rchset = trelvak::view1(rchset_in, n);
    const auto nbrhd  = trelvak::view1(nbrhd_in, n);

    int mindeg = n;
    for (int node = 1; node <= n; ++node) {
        perm(node)     = node;
        invp(node)     = node;
        g.marker(node) = 0;
        g.qsize(node)  = 1;
        g.qlink(node)  = 0;
        const int ndeg = g.xadj(node + 1) - g.xadj(node);
        g.deg(node)    = ndeg;
        if (ndeg < mindeg) {
            mindeg = ndeg;
        }
    }

    int num    = 0;
    int search = 1;
    int thresh = mindeg;
    mindeg     = n;
    while (num < n) {
        // Threshold search from the restart position; a fruitless scan raises the threshold.
        int node = 0;
        while (node == 0) {
            if (num + 1 > search) {
                search = num + 1;
            }
            for (int j = search; j <= n; ++j) {
                const int cand = perm(j);
                if (g.marker(cand) < 0) {
                    continue;
                }
                const int ndeg = g.deg(cand);
                if (ndeg <= thresh) {
                    node   = cand;
                    search = j;
                    break;
                }
                if (ndeg < mindeg) {
                    mindeg = ndeg;
                }
            }
            if (node == 0) {
                search = 1;
                thresh = mindeg;
                mindeg = n;
            }
        }

        // Eliminate node: its reach set and eliminated neighbours, then number the supernode.
        *nofsub += g.deg(node);
        g.marker(node) = 1;
        int rchsze     = 0;
        int nhdsze     = 0;
        qmdrch(g, node, &rchsze, rchset, &nhdsze, nbrhd);
        int nxnode = node;
        while (nxnode > 0) {
            ++num;
            const int np  = invp(nxnode);
            const int ip  = perm(num);
            perm(np)      = ip;
            invp(ip)      = np;
            perm(num)     = nxnode;
            invp(nxnode)  = num;
            g.deg(nxnode) = -1;
            nxnode        = g.qlink(nxnode);
        }
        if (num >= n) {
            break;
        }
        if (rchsze == 0) {
            continue;
        }

        // Degree update of the reach set; a low degree restarts the search at its position.
        qmdupd(g, rchsze, rchset, trelvak::view1(rchset.at(rchsze + 1)),
               trelvak::view1(nbrhd.at(nhdsze + 1)));
        g.marker(node) = 0;
        for (int irch = 1; irch <= rchsze; ++irch) {
            const int inode = rchset(irch);
            if (g.marker(inode) < 0) {
                continue;
            }
            g.marker(inode) = 0;
            const int ndeg  = g.deg(inode);
            if (ndeg < mindeg) {
                mindeg = ndeg;
            }
            if (ndeg > thresh) {
                continue;
            }
            mindeg = thresh;
            thresh = ndeg;
            search = invp(inode);
        }
        if (nhdsze > 0) {
            qmdqt(g, node, rchsze, rchset, nbrhd);
        }
    }
}
