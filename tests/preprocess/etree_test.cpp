// Elimination tree and post-order against straightforward references on random graphs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "common/testing.h"
#include "preprocess/preprocess.h"

namespace {

// Random symmetric graph on n nodes in 1-based rows (both directions listed, some self-loops).
struct Graph {
    int n = 0;
    std::vector<int> ia{1}, ja;
};

Graph random_graph(int n, int edges, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> node(0, n - 1);
    std::vector<std::vector<char>> adj(n, std::vector<char>(n, 0));
    for (int e = 0; e < edges; ++e) {
        const int i = node(rng), j = node(rng);
        adj[i][j] = adj[j][i] = 1;
    }
    Graph g;
    g.n = n;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (adj[i][j]) {
                g.ja.push_back(j + 1);
            }
        }
        g.ia.push_back(static_cast<int>(g.ja.size()) + 1);
    }
    return g;
}

// Reference: symbolic elimination of the graph restricted to the ordered nodes, in the order
// perm; parent(k) = first position after k coupled to k in the filled matrix.
std::vector<int> reference_etree(const Graph& g, const std::vector<int>& perm,
                                 const std::vector<int>& invperm) {
    const int m = static_cast<int>(perm.size());
    std::vector<std::vector<char>> f(m, std::vector<char>(m, 0));
    for (int i = 0; i < m; ++i) {
        const int node = perm[i];
        for (int k = g.ia[node - 1]; k < g.ia[node]; ++k) {
            const int pos = invperm[g.ja[k - 1] - 1];
            if (pos != 0) {
                f[i][pos - 1] = f[pos - 1][i] = 1;
            }
        }
    }
    std::vector<int> parent(m, -1);
    for (int k = 0; k < m; ++k) {
        for (int i = k + 1; i < m; ++i) {
            if (f[i][k]) {
                if (parent[k] == -1) {
                    parent[k] = i;
                }
                // Eliminating k couples all of its later neighbours.
                for (int j = k + 1; j < m; ++j) {
                    if (f[j][k]) {
                        f[i][j] = f[j][i] = 1;
                    }
                }
            }
        }
    }
    return parent;
}

std::vector<int> reference_post_order(const std::vector<int>& parent) {
    const int m = static_cast<int>(parent.size());
    std::vector<std::vector<int>> children(m);
    for (int j = 0; j < m; ++j) {
        if (parent[j] >= 0) {
            children[parent[j]].push_back(j);
        }
    }
    std::vector<int> post;
    std::function<void(int)> visit = [&](int v) {
        for (int c : children[v]) {
            visit(c);
        }
        post.push_back(v);
    };
    for (int j = 0; j < m; ++j) {
        if (parent[j] < 0) {
            visit(j);
        }
    }
    return post;
}

}  // namespace

TEST(Etree, MatchesSymbolicEliminationOnRandomGraphs) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        const int n          = 5 + static_cast<int>(seed % 13) * 4;
        const Graph g        = random_graph(n, n + static_cast<int>(seed % 5) * n / 2, seed);
        std::vector<int> all = trelvak::test::random_permutation(n, seed + 7);
        // Every fourth seed leaves some nodes out of the order (invperm 0).
        const int m = seed % 4 == 0 ? n - n / 3 : n;
        std::vector<int> perm(all.begin(), all.begin() + m);
        std::vector<int> invperm(n, 0);
        for (int i = 0; i < m; ++i) {
            invperm[perm[i] - 1] = i + 1;
        }
        std::vector<int> parent(m, -7), ancestor(m, -7);
        IP_etree(g.ia.data(), g.ja.data(), m, perm.data(), invperm.data(), parent.data(),
                 ancestor.data());
        const std::vector<int> expected = reference_etree(g, perm, invperm);
        ASSERT_EQ(parent, expected) << "seed " << seed;

        std::vector<int> post(m, -7), work(3 * m, -7);
        const int count = IP_post_order(parent.data(), m, post.data(), work.data());
        EXPECT_EQ(count, m);
        EXPECT_EQ(post, reference_post_order(parent)) << "seed " << seed;
    }
}
