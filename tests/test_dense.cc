// Unit tests of the dense engine's matrix: filled by the measure on any
// number of threads, or copied from a given matrix.  Its linkages are tested
// end to end against SciPy and the store engine (e2e_dense.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
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

} // namespace
