// Unit tests of the dense engine: its matrix, filled by the measure on any
// number of threads or copied from a given matrix; the weighted, Ward,
// centroid and median linkages against a brute-force clustering that works
// from the points themselves; and the order of a tree with inversions.  The
// linkages are tested end to end against SciPy and the store engine
// (e2e_dense.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
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

// Each test fills the matrix of a run of its own, which frees the last one.
class DenseFill : public ::testing::Test, public Run {};

TEST_F(DenseFill, EveryPairOnAnyNumberOfThreads)
{
    // 150 objects: neither tile size divides it.
    int n = 150, c = 3;
    std::vector<double> data(n * c);
    std::mt19937 rng(3);
    for (double &v : data)
        v = rng() % 1000 / 7.0;
    data[11 * c + 1] = NAN;
    object_count = n;
    row_length = c;
    type = ncDouble;
    data_double = data.data();
    make_measure("euclidean", 0);
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
    dense = nullptr;
}

TEST_F(DenseFill, PairwiseModeGivesTheStoresDistanceOfEveryPair)
{
    // Rows 4 and 9 hold NaNs, row 12 only one value: too few for the
    // correlations, and none shared with row 9.
    int n = 40, c = 6;
    std::vector<double> data(n * c);
    std::mt19937 rng(5);
    for (double &v : data)
        v = (int)(rng() % 2001) / 100.0 - 10;
    data[4 * c + 1] = data[9 * c] = data[9 * c + 5] = NAN;
    for (int k = 1; k < c; k++)
        data[12 * c + k] = NAN;
    object_count = n;
    row_length = c;
    type = ncDouble;
    data_double = data.data();
    settings.cluster = CLUSTER_ROWS;
    settings.missing = MISSING_PAIRWISE;
    settings.missing_given = true;
    num_threads = 2;
    struct Case {
        const char *measure;
        int64_t without_distance;
    };
    for (Case t : {Case{"euclidean", 1}, Case{"maxdiff", 1}, Case{"signsum", 1}, Case{"spearman", 39},
                   Case{"absspearman", 39}, Case{"pearson", 39}}) {
        const char *measure = t.measure;
        reset_missing_values();
        make_measure(measure, 0);
        testing::internal::CaptureStderr();
        prepare_missing_values(measure);
        testing::internal::GetCapturedStderr();
        int64_t not_finite = dense_fill_measure(), nan = 0;
        for (int i = 0; i < n; i++)
            for (int j = i + 1; j < n; j++) {
                double want = calc_distance(i, j), got = dense[dense_index(n, i, j)];
                nan += std::isnan(want);
                if (std::isnan(want))
                    EXPECT_TRUE(std::isnan(got)) << measure << " " << i << " " << j;
                else
                    EXPECT_EQ(want, got) << measure << " " << i << " " << j;
            }
        EXPECT_EQ(nan, not_finite) << measure;
        EXPECT_EQ(t.without_distance, nan) << measure;
        delete[] dense;
    }
    dense = nullptr;
}

TEST_F(DenseFill, GivenMatrixKeepsItsUpperTriangle)
{
    int n = 4;
    std::vector<float> given = {0, 1, 2, 3,  9, 0, 4, INFINITY,  9, 9, 0, 6,  9, 9, 9, 0};
    object_count = n;
    type = ncFloat;
    data_float = given.data();
    EXPECT_EQ(1, dense_fill_given());
    EXPECT_EQ(std::vector<double>({1, 2, 3, 4, INFINITY, 6}), std::vector<double>(dense, dense + 6));
}

// ---------------------------------------------------------------------------
// The linkages against brute force.

// A cluster of the brute-force clustering: its objects, its centroid, its
// median point (the midpoint of its halves' median points) and its weighted
// distances to the clusters made before it, by their first object.
struct Blob {
    std::set<int> objects;
    std::vector<double> centroid, midpoint;
};

double norm(const std::vector<double> &a, const std::vector<double> &b)
{
    double s = 0;
    for (size_t k = 0; k < a.size(); k++)
        s += (a[k] - b[k]) * (a[k] - b[k]);
    return std::sqrt(s);
}

// The merges of the greedy algorithm that always joins the two clusters of
// least merge value, computed from the points: Ward's, the centroid's and the
// median's by their definitions, the weighted linkage's by McQuitty's
// recursion over the clusters' distances.  O(n^3) and more: small n only.
std::map<std::set<int>, double> brute_force(const std::vector<std::vector<double>> &points, int linkage)
{
    int n = (int)points.size();
    std::vector<Blob> live;
    for (int i = 0; i < n; i++)
        live.push_back({{i}, points[i], points[i]});
    // Weighted linkage's distances, by the clusters' object sets.
    std::map<std::pair<std::set<int>, std::set<int>>, double> weighted;
    auto wd = [&](const Blob &a, const Blob &b) {
        auto it = weighted.find({a.objects, b.objects});
        return it != weighted.end() ? it->second : weighted.at({b.objects, a.objects});
    };
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            weighted[{{i}, {j}}] = norm(points[i], points[j]);
    auto value = [&](const Blob &a, const Blob &b) {
        double na = (double)a.objects.size(), nb = (double)b.objects.size();
        switch (linkage) {
        case LINKAGE_WARD:
            return std::sqrt(2 * na * nb / (na + nb)) * norm(a.centroid, b.centroid);
        case LINKAGE_CENTROID:
            return norm(a.centroid, b.centroid);
        case LINKAGE_MEDIAN:
            return norm(a.midpoint, b.midpoint);
        default:
            return wd(a, b);
        }
    };
    std::map<std::set<int>, double> merges;
    while (live.size() > 1) {
        size_t bi = 0, bj = 1;
        double best = value(live[0], live[1]);
        for (size_t i = 0; i < live.size(); i++)
            for (size_t j = i + 1; j < live.size(); j++)
                if (value(live[i], live[j]) < best) {
                    best = value(live[i], live[j]);
                    bi = i;
                    bj = j;
                }
        const Blob &a = live[bi], &b = live[bj];
        Blob joined;
        joined.objects = a.objects;
        joined.objects.insert(b.objects.begin(), b.objects.end());
        double na = (double)a.objects.size(), nb = (double)b.objects.size();
        for (size_t k = 0; k < a.centroid.size(); k++) {
            joined.centroid.push_back((na * a.centroid[k] + nb * b.centroid[k]) / (na + nb));
            joined.midpoint.push_back((a.midpoint[k] + b.midpoint[k]) / 2);
        }
        for (const Blob &c : live)
            if (&c != &a && &c != &b)
                weighted[{joined.objects, c.objects}] = (wd(a, c) + wd(b, c)) / 2;
        merges[joined.objects] = best;
        live.erase(live.begin() + bj);
        live.erase(live.begin() + bi);
        live.push_back(joined);
    }
    return merges;
}

// The merges of the dense engine's algorithm for `linkage` as object sets,
// built in the order the algorithm gives them.
std::map<std::set<int>, double> dense_merges(const std::vector<std::vector<double>> &points, int linkage)
{
    int n = (int)points.size();
    std::vector<double> matrix(std::max(1, n * (n - 1) / 2));
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++)
            matrix[dense_index(n, i, j)] = norm(points[i], points[j]);
    bool generic = linkage == LINKAGE_CENTROID || linkage == LINKAGE_MEDIAN;
    std::vector<dense_merge_t> merges = generic ? dense_generic(matrix.data(), n, linkage)
                                                : dense_nn_chain(matrix.data(), n, linkage);
    std::vector<std::set<int>> of(n);
    for (int i = 0; i < n; i++)
        of[i] = {i};
    std::map<std::set<int>, double> sets;
    for (const dense_merge_t &m : merges) {
        // Each merge names two clusters by objects they hold, and both are
        // still apart: the order is one the merges can be made in.
        EXPECT_EQ(0u, of[m.a].count(m.b));
        std::set<int> joined = of[m.a];
        joined.insert(of[m.b].begin(), of[m.b].end());
        for (int o : joined)
            of[o] = joined;
        sets[joined] = m.height;
    }
    return sets;
}

std::vector<std::vector<double>> random_points(int n, int dims, unsigned seed)
{
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal(0, 1);
    std::vector<std::vector<double>> points(n, std::vector<double>(dims));
    for (auto &p : points)
        for (double &v : p)
            v = normal(gen);
    return points;
}

void expect_same_merges(const std::map<std::set<int>, double> &want, const std::map<std::set<int>, double> &got,
                        const char *what)
{
    ASSERT_EQ(want.size(), got.size()) << what;
    for (const auto &m : want) {
        auto found = got.find(m.first);
        ASSERT_TRUE(found != got.end()) << what << ": a merge of " << m.first.size() << " objects is missing";
        EXPECT_NEAR(m.second, found->second, 1e-9 * m.second) << what;
    }
}

TEST(DenseLinkage, EqualsTheGreedyClusteringOfThePoints)
{
    struct Named {
        int linkage;
        const char *name;
    };
    for (Named l : {Named{LINKAGE_WEIGHTED, "weighted"}, Named{LINKAGE_WARD, "ward"},
                    Named{LINKAGE_CENTROID, "centroid"}, Named{LINKAGE_MEDIAN, "median"}})
        for (int n : {2, 3, 7, 30, 61})
            for (int dims : {1, 4}) {
                std::string what = std::string(l.name) + " n=" + std::to_string(n) + " dims=" + std::to_string(dims);
                auto points = random_points(n, dims, (unsigned)(n * 10 + dims));
                expect_same_merges(brute_force(points, l.linkage), dense_merges(points, l.linkage), what.c_str());
            }
}

TEST(DenseLinkage, OneObjectHasNoMerge)
{
    double none = 0;
    EXPECT_TRUE(dense_nn_chain(&none, 1, LINKAGE_WARD).empty());
    EXPECT_TRUE(dense_generic(&none, 1, LINKAGE_CENTROID).empty());
}

// Points on a line, worked out by hand: 0, 1, 3 and 7.
TEST(DenseLinkage, KnownHeightsOnALine)
{
    std::vector<std::vector<double>> line = {{0}, {1}, {3}, {7}};
    // Ward: {0,1} at 1; {0,1}+{3} at sqrt(2*2/3)*2.5; then with {7}:
    // centroid 4/3, sqrt(2*3/4)*(7-4/3).
    auto ward = dense_merges(line, LINKAGE_WARD);
    EXPECT_NEAR(1, ward.at({0, 1}), 1e-12);
    EXPECT_NEAR(std::sqrt(4.0 / 3) * 2.5, ward.at({0, 1, 2}), 1e-12);
    EXPECT_NEAR(std::sqrt(1.5) * (7 - 4.0 / 3), ward.at({0, 1, 2, 3}), 1e-12);
    // Centroid: {0,1} at 1, centroid 0.5; with 3 at 2.5, centroid 4/3; with
    // 7 at 17/3.  Median: midpoints 0.5, then 1.75, then 7 - 1.75.
    auto centroid = dense_merges(line, LINKAGE_CENTROID);
    EXPECT_NEAR(2.5, centroid.at({0, 1, 2}), 1e-12);
    EXPECT_NEAR(17.0 / 3, centroid.at({0, 1, 2, 3}), 1e-12);
    auto median = dense_merges(line, LINKAGE_MEDIAN);
    EXPECT_NEAR(5.25, median.at({0, 1, 2, 3}), 1e-12);
    // Weighted: d({0,1},3) = (3+2)/2; d({0,1,3},7) = ((7+6)/2 + 4)/2.
    auto weighted = dense_merges(line, LINKAGE_WEIGHTED);
    EXPECT_NEAR(2.5, weighted.at({0, 1, 2}), 1e-12);
    EXPECT_NEAR(5.25, weighted.at({0, 1, 2, 3}), 1e-12);
}

// A flat triangle: 0 and 1 are closest (1 apart), and 2 is 0.9 from their
// centroid, below their merge.
class DenseInversion : public ::testing::Test, public Run {};

TEST_F(DenseInversion, TheTreeKeepsTheMergeOrderBelowItsChildren)
{
    for (int linkage : {LINKAGE_CENTROID, LINKAGE_MEDIAN}) {
        object_count = 3;
        settings.linkage = linkage;
        double side = std::sqrt(0.25 + 0.81);
        delete[] dense;
        dense = new double[3]{1, side, side};
        dense_cluster();
        // Node 3 joins objects 0 and 1 at 1, node 4 joins it with 2 at 0.9.
        EXPECT_EQ(1.0, dst[3]) << linkage;
        EXPECT_NEAR(0.9, dst[4], 1e-12) << linkage;
        EXPECT_EQ(3, leftnode[4]) << linkage;
        EXPECT_EQ(0, start[3]) << linkage;
        EXPECT_EQ(1, end[3]) << linkage;
        EXPECT_EQ(2, new2old[2]) << linkage;
    }
}

// Rounding can take a squared merge value of these linkages just below 0.
TEST(DenseLinkage, ANegativeSquaredValueIsHeightZero)
{
    EXPECT_EQ(0.0, centroid_height(-1e-17));
    EXPECT_EQ(0.0, centroid_height(0.0));
    EXPECT_EQ(3.0, centroid_height(9.0));
}

} // namespace
