// Unit tests of the dense engine: its linkages against the plain greedy
// algorithm (always merge the closest pair, O(N^3)) on tie-free matrices,
// what must hold with ties, and the parallel filling of the matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include <netcdfcpp.h>

#include "Distance.h"
#include "brivane.h"
#include "dense.h"
#include "distances.h"
#include "threads.h"

namespace {

typedef std::set<int> Objects;
struct Merge {
    Objects objects;
    double height;
};

std::vector<double> random_condensed(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(1.0, 2.0);
    std::vector<double> m(std::max(1, n * (n - 1) / 2));
    for (double &v : m)
        v = u(rng);
    return m;
}

// The greedy algorithm on a full matrix: the reference merges in order.
std::vector<Merge> greedy(const std::vector<double> &condensed, int n, int linkage)
{
    std::vector<std::vector<double>> d(n, std::vector<double>(n, 0));
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++)
            d[i][j] = d[j][i] = condensed[dense_index(n, i, j)];
    std::vector<Objects> members(n);
    for (int i = 0; i < n; i++)
        members[i] = {i};
    std::vector<bool> alive(n, true);
    std::vector<Merge> merges;
    for (int step = 0; step < n - 1; step++) {
        int a = -1, b = -1;
        for (int i = 0; i < n; i++)
            for (int j = i + 1; j < n; j++)
                if (alive[i] && alive[j] && (a < 0 || d[i][j] < d[a][b]))
                    a = i, b = j;
        double na = members[a].size(), nb = members[b].size();
        for (int k = 0; k < n; k++) {
            if (!alive[k] || k == a || k == b)
                continue;
            double v = linkage == LINKAGE_MIN   ? std::min(d[a][k], d[b][k])
                       : linkage == LINKAGE_MAX ? std::max(d[a][k], d[b][k])
                                                : (na * d[a][k] + nb * d[b][k]) / (na + nb);
            d[b][k] = d[k][b] = v;
        }
        merges.push_back({members[a], d[a][b]});
        merges.back().objects.insert(members[b].begin(), members[b].end());
        members[b] = merges.back().objects;
        alive[a] = false;
    }
    return merges;
}

// The merges of the dendrogram arrays (before the leaf order), checking
// that the left child is never the smaller one.
std::vector<Merge> dendrogram_merges(int n)
{
    std::vector<Objects> members(2 * n - 1);
    for (int i = 0; i < n; i++)
        members[i] = {i};
    std::vector<Merge> merges;
    for (int k = n; k < 2 * n - 1; k++) {
        const Objects &l = members[leftnode[k]], &r = members[rightnode[k]];
        EXPECT_GE(l.size(), r.size()) << "node " << k;
        members[k] = l;
        members[k].insert(r.begin(), r.end());
        merges.push_back({members[k], dst[k]});
    }
    return merges;
}

std::vector<Merge> dense_merges(std::vector<double> m, int n, int linkage)
{
    N = n;
    dense_dendrogram(linkage == LINKAGE_MIN ? dense_mst(m.data(), n) : dense_nn_chain(m.data(), n, linkage));
    return dendrogram_merges(n);
}

const int LINKAGES[] = {LINKAGE_MIN, LINKAGE_AVE, LINKAGE_MAX};

TEST(DenseLinkage, TieFreeMatricesGiveTheGreedyMerges)
{
    for (int linkage : LINKAGES)
        for (int n : {1, 2, 3, 5, 17, 64})
            for (unsigned seed : {1u, 2u}) {
                std::vector<double> m = random_condensed(n, seed * 100 + n);
                std::vector<Merge> want = greedy(m, n, linkage);
                std::vector<Merge> got = dense_merges(m, n, linkage);
                ASSERT_EQ(want.size(), got.size());
                for (size_t k = 0; k < want.size(); k++) {
                    EXPECT_EQ(want[k].objects, got[k].objects) << "linkage " << linkage << " n " << n << " merge " << k;
                    EXPECT_NEAR(want[k].height, got[k].height, 1e-12 * want[k].height);
                }
            }
}

TEST(DenseLinkage, TiesGiveValidTreesAndSingleLinkageItsHeights)
{
    // Distances of 1, 2 or 3 only.
    int n = 40;
    std::mt19937 rng(7);
    std::vector<double> m(n * (n - 1) / 2);
    for (double &v : m)
        v = 1 + rng() % 3;
    for (int linkage : LINKAGES) {
        std::vector<Merge> got = dense_merges(m, n, linkage);
        ASSERT_EQ((size_t)n - 1, got.size());
        for (size_t k = 1; k < got.size(); k++)
            EXPECT_LE(got[k - 1].height, got[k].height);
        EXPECT_EQ((size_t)n, got.back().objects.size());
        if (linkage == LINKAGE_MIN) {
            std::vector<Merge> want = greedy(m, n, linkage);
            for (size_t k = 0; k < want.size(); k++)
                EXPECT_EQ(want[k].height, got[k].height) << k;
        }
    }
}

TEST(DenseFill, EveryPairOnAnyNumberOfThreads)
{
    // 150 objects: neither tile size divides it.
    int n = 150, c = 3;
    std::vector<double> data(n * c);
    std::mt19937 rng(3);
    for (double &v : data)
        v = rng() % 1000 / 7.0;
    data[11 * c + 1] = NAN;
    N = n;
    C = c;
    type = ncDouble;
    xd = data.data();
    dd = dfd.getDistance("euclidean");
    std::vector<std::vector<double>> fills;
    for (int threads : {1, 2, 3}) {
        num_threads = threads;
        EXPECT_EQ(n - 1, dense_fill_measure()) << threads;
        fills.emplace_back(dense, dense + n * (n - 1) / 2);
        delete[] dense;
    }
    num_threads = 1;
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++) {
            double want = calc_distance(i, j);
            for (const auto &f : fills)
                if (std::isnan(want))
                    EXPECT_TRUE(std::isnan(f[dense_index(n, i, j)]));
                else
                    EXPECT_EQ(want, f[dense_index(n, i, j)]) << i << " " << j;
        }
    xd = nullptr;
    dense = nullptr;
}

TEST(DenseFill, GivenMatrixKeepsItsUpperTriangle)
{
    int n = 4;
    std::vector<float> given = {0, 1, 2, 3,  9, 0, 4, INFINITY,  9, 9, 0, 6,  9, 9, 9, 0};
    N = n;
    type = ncFloat;
    xf = given.data();
    EXPECT_EQ(1, dense_fill_given());
    EXPECT_EQ(std::vector<double>({1, 2, 3, 4, INFINITY, 6}), std::vector<double>(dense, dense + 6));
    delete[] dense;
    dense = nullptr;
    xf = nullptr;
}

} // namespace
