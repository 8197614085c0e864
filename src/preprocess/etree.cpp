// etree.cpp: elimination tree of a symmetric graph in a given order, and the post-order of a
// forest (position i climbs from each earlier neighbour along virtual ancestors, pointing them
// at i; the depth-first post-order uses an explicit stack).
//
// IP_etree
//   On entry ia, ja: the graph (1-based rows of neighbours; a neighbour on either side may be
//   listed), m: number of ordered positions, perm[i] (i = 0..m-1): the 1-based node at position
//   i, invperm[j-1]: the 1-based position of node j, or 0 when j is outside the order.
//   On exit parent[i]: 0-based position of the parent of position i, -1 for a root.
//   Work: ancestor(m) ints.
// IP_post_order
//   On entry parent[0..m-1] (0-based, -1 = root). On exit post[0..count-1] lists the positions,
//   each after its children, children and roots in increasing order; returns count (m for a
//   forest). Work: 3m ints (first child, next sibling, stack).
// IP_tdfs
//   Walks the tree at root with the child lists head/next (-1 = none; head is consumed), appends
//   its nodes in post-order at post[k], returns the new count. Work: stack, one int per node of
//   the tree.
#include "preprocess/preprocess.h"

void IP_etree(const int* ia, const int* ja, int m, const int* perm, const int* invperm, int* parent,
              int* ancestor) {
    for (int i = 0; i < m; ++i) {
        parent[i]      = -1;
        ancestor[i]    = -1;
        const int node = perm[i];
        for (int k = ia[node - 1]; k < ia[node]; ++k) {
            const int position = invperm[ja[k - 1] - 1];
            if (position == 0) {
                continue;
            }
            // Follow the neighbour's chain of virtual ancestors up to i, pointing each at i.
            int r = position - 1;
            while (r != -1 && r < i) {
                const int next = ancestor[r];
                ancestor[r]    = i;
                if (next == -1) {
                    parent[r] = i;
                }
                r = next;
            }
        }
    }
}

int IP_tdfs(int root, int k, int* head, const int* next, int* post, int* stack) {
    int top    = 0;
    stack[top] = root;
    while (top >= 0) {
        const int node  = stack[top];
        const int child = head[node];
        if (child == -1) {
            --top;
            post[k++] = node;
        } else {
            head[node]   = next[child];
            stack[++top] = child;
        }
    }
    return k;
}

int IP_post_order(const int* parent, int m, int* post, int* work) {
    int* head  = work;
    int* next  = work + m;
    int* stack = work + 2 * m;
    for (int j = 0; j < m; ++j) {
        head[j] = -1;
    }
    // Push children in decreasing order so that every list runs in increasing order.
    for (int j = m - 1; j >= 0; --j) {
        const int pa = parent[j];
        if (pa < 0 || pa >= m) {
            continue;
        }
        next[j]  = head[pa];
        head[pa] = j;
    }
    int k = 0;
    for (int j = 0; j < m; ++j) {
        if (parent[j] < 0 || parent[j] >= m) {
            k = IP_tdfs(j, k, head, next, post, stack);
        }
    }
    return k;
}
