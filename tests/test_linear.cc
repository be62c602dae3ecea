// Unit tests of the linear engine: Prim's tree of distances computed on the
// fly against the dense engine's tree of the same distances in its matrix,
// on any number of threads and with equal distances; Ward, centroid and
// median linkage over centroids against the dense engine's Lance-Williams
// updates, and their heights on small cases worked by hand; the count of
// distances that are not finite and the refusal it brings; which engine a budget
// selects and which linkages the engine takes.  The output files are
// compared with the dense engine's end to end (e2e_linear.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <netcdfcpp.h>

#include "brivane.h"
#include "dense.h"
#include "element.h"
#include "linear.h"
#include "run_checks.h"
#include "run_error.h"

namespace {

// Each test sets up a run of its own over data it keeps.
class LinearEngine : public ::testing::Test, public Run {
  protected:
    std::vector<double> data;

    void rows(int n, int c, unsigned seed, int levels = 0)
    {
        data.assign((size_t)n * c, 0);
        std::mt19937 rng(seed);
        std::normal_distribution<double> normal;
        for (double &v : data)
            v = levels > 0 ? (double)(rng() % levels) : normal(rng);
        object_count = n;
        row_length = c;
        type = ncDouble;
        data_double = data.data();
        settings.cluster = CLUSTER_ROWS;
        settings.linkage = LINKAGE_MIN;
        settings.all_pairwise = true;
    }

    std::vector<float> floats;
    std::vector<int> ints;
    std::vector<char> chars;

    // Objects in `groups` groups whose centres lie far apart (6 standard
    // deviations a coordinate): the data the bounds spare most on.
    void grouped(int n, int c, int groups, unsigned seed)
    {
        rows(n, c, seed);
        std::mt19937 rng(seed + 1);
        std::normal_distribution<double> normal;
        std::vector<double> centre((size_t)groups * c);
        for (double &v : centre)
            v = 6 * normal(rng);
        for (int i = 0; i < n; i++) {
            int g = (int)(rng() % groups);
            for (int k = 0; k < c; k++)
                data[(size_t)i * c + k] += centre[(size_t)g * c + k];
        }
    }

    // The rows as elements of type `element`: int and char rounded from
    // `scale` times the values, char kept within its range.
    void as_type(int element, double scale = 1)
    {
        type = element;
        floats.assign(data.begin(), data.end());
        ints.clear();
        chars.clear();
        for (double v : data) {
            ints.push_back((int)std::lround(v * scale));
            chars.push_back((char)std::max(-128L, std::min(127L, std::lround(v * scale))));
        }
        data_float = floats.data();
        data_int = ints.data();
        data_char = chars.data();
        data_double = data.data();
    }

    // The dense engine's tree of the run's distances.
    std::vector<dense_merge_t> dense_tree()
    {
        num_threads = 1;
        EXPECT_EQ(0, dense_fill_measure());
        std::vector<dense_merge_t> edges = dense_mst(dense, object_count);
        delete[] dense;
        dense = nullptr;
        return edges;
    }

    void expect_same_edges(const std::vector<dense_merge_t> &want, const std::vector<dense_merge_t> &got,
                           const std::string &what)
    {
        ASSERT_EQ(want.size(), got.size()) << what;
        for (size_t k = 0; k < want.size(); k++) {
            EXPECT_EQ(want[k].a, got[k].a) << what << " edge " << k;
            EXPECT_EQ(want[k].b, got[k].b) << what << " edge " << k;
            EXPECT_EQ(want[k].height, got[k].height) << what << " edge " << k;
        }
    }
};

TEST_F(LinearEngine, EdgesAreTheDenseEnginesOnAnyNumberOfThreads)
{
    // 2600 objects: the first steps run on the threads, the last ones not.
    for (int n : {1, 2, 3, 41, 500, 2600})
        for (const char *measure : {"euclidean", "manhattan", "pearson"}) {
            rows(n, 4, (unsigned)n);
            make_measure(measure, 0);
            std::vector<dense_merge_t> want = dense_tree();
            for (int threads : {1, 2, 3}) {
                num_threads = threads;
                int64_t not_finite = -1, nan = -1;
                std::vector<dense_merge_t> got = linear_mst(not_finite, nan);
                std::string what = std::string(measure) + " n=" + std::to_string(n) + " -j " + std::to_string(threads);
                EXPECT_EQ(0, not_finite) << what;
                EXPECT_EQ(0, nan) << what;
                expect_same_edges(want, got, what);
            }
        }
}

TEST_F(LinearEngine, EqualDistancesMakeTheDenseEnginesChoices)
{
    // Points on a 6 x 6 grid, many times over: most distances are equal, and
    // the lowest-numbered object wins every tie in both engines.
    rows(3000, 2, 7, 6);
    make_measure("manhattan", 0);
    std::vector<dense_merge_t> want = dense_tree();
    for (int threads : {1, 2, 3}) {
        num_threads = threads;
        int64_t not_finite, nan;
        expect_same_edges(want, linear_mst(not_finite, nan), "-j " + std::to_string(threads));
    }
}

TEST_F(LinearEngine, CountsTheDistancesThatAreNotFinite)
{
    rows(2300, 3, 9);
    data[5 * 3 + 1] = NAN;
    data[2200 * 3] = INFINITY;
    make_measure("euclidean", 0);
    for (int threads : {1, 2}) {
        num_threads = threads;
        int64_t not_finite, nan;
        std::vector<dense_merge_t> edges = linear_mst(not_finite, nan);
        // Row 5 makes 2299 distances NaN; row 2200 the 2298 others infinite.
        EXPECT_EQ(2299 + 2298, not_finite) << threads;
        EXPECT_EQ(2299, nan) << threads;
        EXPECT_EQ(2299u, edges.size()) << threads;
    }
}

// Rows of 32 elements and more get bounds that spare distances; the tree
// must stay the dense engine's to the last bit whatever they spare, and
// the distances computed four at a time must be the measure's, whatever
// the row length.
struct BoundCase {
    const char *what;
    int element;
    int columns;
    double scale;     // of the grouped values, before int and char round them
    int groups;       // 0: normal noise alone, where the bounds are of no use
    int levels;       // > 0: each value one of so many integers, many distances equal
    bool spares;      // whether most distances are to be spared
};

TEST_F(LinearEngine, BoundsKeepTheDenseEnginesTree)
{
    const BoundCase cases[] = {
        {"grouped double", TYPE_DOUBLE, 40, 1, 6, 0, true},
        {"grouped float", TYPE_FLOAT, 37, 1, 6, 0, true},
        {"grouped int", TYPE_INT, 40, 10, 6, 0, true},
        {"grouped char", TYPE_CHAR, 34, 3, 6, 0, true},
        {"grouped tiny", TYPE_DOUBLE, 40, 1e-30, 6, 0, false},
        {"grouped huge", TYPE_DOUBLE, 40, 1e12, 6, 0, true},
        {"noise", TYPE_DOUBLE, 39, 1, 0, 0, false},
        {"ties", TYPE_DOUBLE, 32, 1, 0, 3, false},
        {"ties int", TYPE_INT, 32, 1, 0, 2, false},
    };
    for (const BoundCase &t : cases) {
        // 2200 objects: the first steps run on the threads.
        int n = 2200, c = t.columns;
        if (t.levels > 0)
            rows(n, c, 17, t.levels);
        else if (t.groups > 0)
            grouped(n, c, t.groups, 13);
        else
            rows(n, c, 13);
        for (double &v : data)
            v *= t.element == TYPE_DOUBLE || t.element == TYPE_FLOAT ? t.scale : 1;
        as_type(t.element, t.element == TYPE_DOUBLE || t.element == TYPE_FLOAT ? 1 : t.scale);
        make_measure("euclidean", 0);
        std::vector<dense_merge_t> want = dense_tree();
        for (int threads : {1, 2}) {
            num_threads = threads;
            int64_t not_finite = -1, nan = -1;
            std::vector<dense_merge_t> got = linear_mst(not_finite, nan);
            std::string what = std::string(t.what) + " -j " + std::to_string(threads);
            EXPECT_EQ(0, not_finite) << what;
            expect_same_edges(want, got, what);
            if (t.spares) {
                EXPECT_LT(linear_pairs_computed, all_pairs(n) / 3) << what;
            }
            EXPECT_LE(linear_pairs_computed, all_pairs(n)) << what;
        }
    }
}

TEST_F(LinearEngine, RowsWithoutBoundsHaveEveryDistanceCounted)
{
    // NaN, infinite and overflowing rows among grouped ones: each of their
    // distances is computed and counted, as without bounds.
    grouped(2300, 40, 5, 21);
    data[5 * 40 + 1] = NAN;
    data[2200 * 40] = INFINITY;
    data[1000 * 40 + 3] = 1e200;
    make_measure("euclidean", 0);
    for (int threads : {1, 2}) {
        num_threads = threads;
        int64_t not_finite, nan;
        std::vector<dense_merge_t> edges = linear_mst(not_finite, nan);
        // Row 5 makes 2299 distances NaN; rows 2200 and 1000 the others of
        // theirs infinite.
        EXPECT_EQ(2299 + 2298 + 2297, not_finite) << threads;
        EXPECT_EQ(2299, nan) << threads;
        EXPECT_EQ(2299u, edges.size()) << threads;
        EXPECT_LT(linear_pairs_computed, all_pairs(2300) / 3) << threads;
    }
}

TEST_F(LinearEngine, DistancesNotFiniteEndTheRun)
{
    rows(30, 2, 4);
    data[7 * 2] = NAN;
    make_measure("euclidean", 0);
    engine = ENGINE_LINEAR;
    store_need = 0;
    EXPECT_RUN_ERROR(linear_cluster(), 1,
                     "^ERROR! 29 distances are NaN or infinite; the linear engine needs every distance finite\\.\n"
                     "The distance store \\(-E store\\) clusters such distances\\.\n$");
}

TEST_F(LinearEngine, TheDendrogramIsTheDenseEngines)
{
    rows(300, 3, 11);
    make_measure("euclidean", 0);
    num_threads = 2;
    linear_cluster();
    std::vector<int32_t> left(leftnode, leftnode + 599), right(rightnode, rightnode + 599),
        order(new2old, new2old + 300);
    std::vector<double> height(dst, dst + 599);
    num_threads = 1;
    dense_fill_measure();
    dense_cluster();
    EXPECT_EQ(std::vector<int32_t>(leftnode, leftnode + 599), left);
    EXPECT_EQ(std::vector<int32_t>(rightnode, rightnode + 599), right);
    EXPECT_EQ(std::vector<int32_t>(new2old, new2old + 300), order);
    EXPECT_EQ(std::vector<double>(dst, dst + 599), height);
}

TEST_F(LinearEngine, WardIsTheDenseEnginesTreeOnAnyNumberOfThreads)
{
    for (int n : {2, 3, 41, 500, 2300}) {
        rows(n, 5, (unsigned)(100 + n));
        settings.linkage = LINKAGE_WARD;
        make_measure("euclidean", 0);
        num_threads = 1;
        dense_fill_measure();
        dense_cluster();
        // The matrix is this test's to give back: the next size fills anew.
        delete[] dense;
        dense = nullptr;
        int nodes = 2 * n - 1;
        std::vector<int32_t> left(leftnode, leftnode + nodes), right(rightnode, rightnode + nodes),
            order(new2old, new2old + n);
        std::vector<double> height(dst, dst + nodes);
        for (int threads : {1, 2, 3}) {
            num_threads = threads;
            linear_cluster();
            std::string what = "n=" + std::to_string(n) + " -j " + std::to_string(threads);
            EXPECT_EQ(left, std::vector<int32_t>(leftnode, leftnode + nodes)) << what;
            EXPECT_EQ(right, std::vector<int32_t>(rightnode, rightnode + nodes)) << what;
            EXPECT_EQ(order, std::vector<int32_t>(new2old, new2old + n)) << what;
            for (int k = n; k < nodes; k++)
                EXPECT_NEAR(height[k], dst[k], 1e-12 * height[k]) << what << " node " << k;
        }
    }
}

// Points 0, 1, 3 and 7 on a line: {0,1} at 1; with 3 at sqrt(2*2/3)*2.5;
// with 7 at sqrt(2*3/4)*(7-4/3).
TEST_F(LinearEngine, WardHeightsOnALine)
{
    rows(4, 1, 1);
    data = {0, 1, 3, 7};
    data_double = data.data();
    std::vector<dense_merge_t> merges = linear_ward();
    ASSERT_EQ(3u, merges.size());
    EXPECT_EQ(0, merges[0].a);
    EXPECT_EQ(1, merges[0].b);
    EXPECT_NEAR(1, merges[0].height, 1e-15);
    EXPECT_EQ(1, merges[1].a);
    EXPECT_EQ(2, merges[1].b);
    EXPECT_NEAR(std::sqrt(4.0 / 3) * 2.5, merges[1].height, 1e-15);
    EXPECT_NEAR(std::sqrt(1.5) * (7 - 4.0 / 3), merges[2].height, 1e-14);
}

TEST_F(LinearEngine, CentroidAndMedianAreTheDenseEnginesTreeOnAnyNumberOfThreads)
{
    for (int linkage : {LINKAGE_CENTROID, LINKAGE_MEDIAN})
        for (int n : {2, 3, 41, 500, 2300}) {
            rows(n, 5, (unsigned)(200 + n));
            settings.linkage = linkage;
            make_measure("euclidean", 0);
            num_threads = 1;
            dense_fill_measure();
            dense_cluster();
            delete[] dense;
            dense = nullptr;
            int nodes = 2 * n - 1;
            std::vector<int32_t> left(leftnode, leftnode + nodes), right(rightnode, rightnode + nodes),
                order(new2old, new2old + n);
            std::vector<double> height(dst, dst + nodes);
            for (int threads : {1, 2, 3}) {
                num_threads = threads;
                linear_cluster();
                std::string what = std::string(linkage == LINKAGE_MEDIAN ? "median" : "centroid") +
                                   " n=" + std::to_string(n) + " -j " + std::to_string(threads);
                EXPECT_EQ(left, std::vector<int32_t>(leftnode, leftnode + nodes)) << what;
                EXPECT_EQ(right, std::vector<int32_t>(rightnode, rightnode + nodes)) << what;
                EXPECT_EQ(order, std::vector<int32_t>(new2old, new2old + n)) << what;
                // The centroids round otherwise than the Lance-Williams
                // updates, whose differences of squares cancel.
                for (int k = n; k < nodes; k++)
                    EXPECT_NEAR(height[k], dst[k], 1e-9 * height[k]) << what << " node " << k;
            }
        }
}

// Merges in the order they were made, heights as the centroids give them.
struct GenericCase {
    const char *what;
    int linkage;
    std::vector<double> points;   // one coordinate, or two when `columns` is 2
    int columns;
    std::vector<dense_merge_t> merges;
};

TEST_F(LinearEngine, CentroidAndMedianHeightsByHand)
{
    const GenericCase cases[] = {
        // 0, 1, 3, 7 on a line: {0,1} at 1, with 3 at 2.5, then 7 from the
        // centroid 4/3, or from the median's midpoint (0.5 + 3) / 2.
        {"centroid line", LINKAGE_CENTROID, {0, 1, 3, 7}, 1, {{0, 1, 1}, {1, 2, 2.5}, {2, 3, 7 - 4.0 / 3}}},
        {"median line", LINKAGE_MEDIAN, {0, 1, 3, 7}, 1, {{0, 1, 1}, {1, 2, 2.5}, {2, 3, 5.25}}},
        // A flat triangle: (0,0) and (2,0) at 2, then (1,1.9) with their
        // centroid at 1.9, below them (an inversion).
        {"centroid inversion", LINKAGE_CENTROID, {0, 0, 2, 0, 1, 1.9}, 2, {{0, 1, 2}, {1, 2, 1.9}}},
        {"median inversion", LINKAGE_MEDIAN, {0, 0, 2, 0, 1, 1.9}, 2, {{0, 1, 2}, {1, 2, 1.9}}},
    };
    for (const GenericCase &t : cases) {
        int n = (int)t.points.size() / t.columns;
        rows(n, t.columns, 1);
        data = t.points;
        data_double = data.data();
        settings.linkage = t.linkage;
        for (int threads : {1, 2}) {
            num_threads = threads;
            std::vector<dense_merge_t> got = linear_generic();
            ASSERT_EQ(t.merges.size(), got.size()) << t.what;
            for (size_t k = 0; k < got.size(); k++) {
                EXPECT_EQ(t.merges[k].a, got[k].a) << t.what << " merge " << k;
                EXPECT_EQ(t.merges[k].b, got[k].b) << t.what << " merge " << k;
                EXPECT_NEAR(t.merges[k].height, got[k].height, 1e-14) << t.what << " merge " << k;
            }
        }
    }
}

TEST_F(LinearEngine, WardRefusesRowsNotFinite)
{
    rows(30, 2, 4);
    data[7 * 2] = NAN;
    data[9 * 2 + 1] = -INFINITY;
    settings.linkage = LINKAGE_WARD;
    engine = ENGINE_LINEAR;
    store_need = -1;
    EXPECT_EQ(2, rows_not_finite());
    // 2 * 28 pairs with one of them, 1 with both.
    EXPECT_RUN_ERROR(linear_cluster(), 1,
                     "^ERROR! 57 distances are NaN or infinite; the linear engine needs every distance finite\\.\n$");
}

// N objects with C doubles each, the input charged as the program charges it.
class LinearBudget : public ::testing::Test, public Run {
  protected:
    void shape(int n, int c, double gigabytes, int linkage, int requested)
    {
        object_count = n;
        row_length = c;
        type = ncDouble;
        settings.cluster = CLUSTER_ROWS;
        settings.all_pairwise = true;
        settings.linkage = linkage;
        settings.engine = requested;
        settings.memory = gigabytes;
        memory = memory_from_gigabytes(gigabytes);
        charge_input((int64_t)n * c * 8);
    }
};

TEST_F(LinearBudget, AutoTakesItOnlyWhereNeitherTheStoreNorTheMatrixFits)
{
    // 20000 objects of 10 doubles: input 1.6 MB, linear 2.56 MB, the
    // condensed matrix 1.6 GB, the store beyond its limit; Ward adds 2.24 MB.
    const double MB = 1.0 / 1024;
    struct Case {
        double gigabytes;
        int linkage;
        int requested;
        int engine;
    };
    for (Case t : {Case{5 * MB, LINKAGE_MIN, ENGINE_AUTO, ENGINE_LINEAR},
                   Case{1.4, LINKAGE_MIN, ENGINE_AUTO, ENGINE_LINEAR},
                   Case{2, LINKAGE_MIN, ENGINE_AUTO, ENGINE_DENSE},
                   Case{2, LINKAGE_AVE, ENGINE_AUTO, ENGINE_DENSE},
                   Case{5 * MB, LINKAGE_MIN, ENGINE_LINEAR, ENGINE_LINEAR},
                   Case{2, LINKAGE_MIN, ENGINE_LINEAR, ENGINE_LINEAR},
                   Case{8 * MB, LINKAGE_WARD, ENGINE_AUTO, ENGINE_LINEAR},
                   Case{2, LINKAGE_WARD, ENGINE_AUTO, ENGINE_DENSE},
                   Case{8 * MB, LINKAGE_CENTROID, ENGINE_AUTO, ENGINE_LINEAR},
                   Case{8 * MB, LINKAGE_MEDIAN, ENGINE_AUTO, ENGINE_LINEAR},
                   Case{2, LINKAGE_MEDIAN, ENGINE_AUTO, ENGINE_DENSE}}) {
        shape(20000, 10, t.gigabytes, t.linkage, t.requested);
        check_input_budget(0);
        EXPECT_EQ(t.engine, engine) << t.gigabytes << " " << t.linkage << " " << t.requested;
    }
}

TEST_F(LinearBudget, ABudgetTooSmallNamesTheLeastNeed)
{
    // Linear: 1.6 MB input + 2.56 MB = 0.0039 GB, so -m 0.01.
    shape(20000, 10, 0.003, LINKAGE_MIN, ENGINE_AUTO);
    EXPECT_RUN_ERROR(check_input_budget(0), 1,
                     "^ERROR! Insufficient memory to calculate all pairwise distances!\n"
                     "This run needs -m 0\\.01 or more \\(gigabytes\\)\\.\n$");
}

TEST_F(LinearBudget, WardIsChargedTheCentroids)
{
    // 128 + 8 * 10 + 32 bytes an object: 4.8 MB, with the input 6.4 MB.
    shape(20000, 10, 0.005, LINKAGE_WARD, ENGINE_LINEAR);
    EXPECT_RUN_ERROR(check_input_budget(0), 1,
                     "^ERROR! Insufficient memory to calculate all pairwise distances!\n"
                     "This run needs -m 0\\.01 or more \\(gigabytes\\)\\.\n$");
    EXPECT_EQ(240, linear_bytes_per_object(LINKAGE_WARD, 10));
    EXPECT_EQ(128, linear_bytes_per_object(LINKAGE_MIN, 10));
    // Single linkage of rows long enough for bounds: their 72 bytes more.
    EXPECT_EQ(128, linear_bytes_per_object(LINKAGE_MIN, 31));
    EXPECT_EQ(200, linear_bytes_per_object(LINKAGE_MIN, 32));
    // The generic algorithm's queue and bounds: 48 bytes an object.
    EXPECT_EQ(256, linear_bytes_per_object(LINKAGE_CENTROID, 10));
    EXPECT_EQ(256, linear_bytes_per_object(LINKAGE_MEDIAN, 10));
}

TEST_F(LinearBudget, AverageLinkageKeepsTheDenseEnginesNeed)
{
    shape(20000, 10, 0.01, LINKAGE_AVE, ENGINE_AUTO);
    EXPECT_RUN_ERROR(check_input_budget(0), 1,
                     "^ERROR! Insufficient memory to calculate all pairwise distances!\n"
                     "This run needs -m 1\\.50 or more \\(gigabytes\\)\\.\n$");
}

TEST(LinearChecks, OnlyDataMatricesWithEveryPairAndLinkagesOverCentroids)
{
    EngineSettings s;
    s.engine = ENGINE_LINEAR;
    s.linkage = LINKAGE_MIN;
    s.all_pairwise = true;
    check_engine(s);
    s.cluster = CLUSTER_COLS;
    check_engine(s);
    for (int cluster : {CLUSTER_DISTMAT, CLUSTER_DISTLIST}) {
        s.cluster = cluster;
        EXPECT_RUN_ERROR(check_engine(s), 1, "^ERROR! The linear engine \\(-E linear\\) computes the distances of a "
                                             "data matrix as it clusters");
    }
    s.cluster = CLUSTER_ROWS;
    s.all_pairwise = false;
    EXPECT_RUN_ERROR(check_engine(s), 1, "needs a data matrix and -a \\(all pairs\\)");
    s.all_pairwise = true;
    for (int linkage : {LINKAGE_AVE, LINKAGE_MAX, LINKAGE_WEIGHTED}) {
        s.linkage = linkage;
        EXPECT_RUN_ERROR(check_engine(s), 1, "cannot cluster by [a-z]+ linkage: its distance between two clusters is "
                                             "worked out from earlier distances");
    }
    s.linkage = LINKAGE_WARD;
    check_engine(s);
    for (int linkage : {LINKAGE_CENTROID, LINKAGE_MEDIAN}) {
        s.linkage = linkage;
        check_engine(s);
    }
    // Every other engine passes whatever the run.
    s.engine = ENGINE_AUTO;
    s.all_pairwise = false;
    check_engine(s);
}

} // namespace
