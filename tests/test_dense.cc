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
