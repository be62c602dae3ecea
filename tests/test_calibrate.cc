// The plan's calibration: the growth model of a cost per pair, the pairs of
// a scratch store, and scratch stores that leave the run as they found it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <vector>

#include "brivane.h"
#include "calibrate.h"
#include "capture_sink.h"
#include "distances.h"

namespace {

// --- The growth model ------------------------------------------------------

TEST(PairCost, FitThroughTwoTimingsIsMonotoneAndNeverFallsBelowTheFloor)
{
    struct Case {
        double pairs1, cost1, pairs2, cost2, least_beyond;
        double growth, beyond;   // expected per doubling
    } cases[] = {
        // Three doublings, 3 ns more: 1 ns each, past the knee too.
        {1000, 10e-9, 8000, 13e-9, 0, 1e-9, 1e-9},
        // A floor past the knee above the fitted growth takes over there.
        {1000, 10e-9, 8000, 13e-9, 4e-9, 1e-9, 4e-9},
        // A cost that falls with size (noise) is flat.
        {1000, 10e-9, 8000, 7e-9, 0, 0, 0},
        // Equal sizes give no growth; the floor still holds beyond.
        {1000, 10e-9, 1000, 12e-9, 2e-9, 0, 2e-9},
        // Timings that are not numbers are taken as flat at zero cost.
        {1000, NAN, 8000, INFINITY, NAN, 0, 0},
    };
    for (const Case &c : cases) {
        PairCost p = PairCost::fit(c.pairs1, c.cost1, c.pairs2, c.cost2, c.least_beyond);
        EXPECT_NEAR(p.growth, c.growth, 1e-15) << c.pairs1 << " " << c.cost2;
        EXPECT_NEAR(p.beyond, c.beyond, 1e-15) << c.pairs1 << " " << c.cost2;
        // Never below the base, never falling with size, finite everywhere.
        double last = p.at(1);
        EXPECT_TRUE(std::isfinite(last));
        EXPECT_GE(last, 0);
        for (double pairs = 2; pairs < 1e10; pairs *= 3) {
            double cost = p.at(pairs);
            EXPECT_TRUE(std::isfinite(cost));
            EXPECT_GE(cost, last) << pairs;
            last = cost;
        }
    }
    PairCost p = PairCost::fit(1000, 10e-9, 8000, 13e-9, 4e-9);
    EXPECT_DOUBLE_EQ(p.at(10), 10e-9);          // below the smaller store
    EXPECT_NEAR(p.at(8000), 13e-9, 1e-18);      // the larger store as timed
    EXPECT_NEAR(p.at(32000), 21e-9, 1e-18);     // two doublings past it
}

TEST(PairCost, FarLoadsPerDoublingGrowWithTheRandomShare)
{
    for (auto loads : {merge_loads_per_doubling, insert_loads_per_doubling}) {
        EXPECT_GT(loads(0), 0);
        EXPECT_LT(loads(0), loads(0.5));
        EXPECT_LT(loads(0.5), loads(1));
        // Shares outside [0, 1] are clamped.
        EXPECT_EQ(loads(-1), loads(0));
        EXPECT_EQ(loads(2), loads(1));
    }
}

TEST(PairCost, DenserStoresMergeCheaperNeverDearer)
{
    EXPECT_EQ(denser_merge(20, 32), 1);
    EXPECT_EQ(denser_merge(32, 32), 1);
    EXPECT_LT(denser_merge(465, 32), denser_merge(130, 32));
    EXPECT_LT(denser_merge(130, 32), 1);
    EXPECT_GT(denser_merge(1e9, 32), 0);
    EXPECT_EQ(denser_merge(NAN, 32), 1);
    PairCost p = PairCost::fit(1000, 10e-9, 8000, 13e-9, 4e-9);
    PairCost q = p;
    q.scale(0.5);
    EXPECT_NEAR(q.at(32000), 0.5 * p.at(32000), 1e-18);
    q.scale(NAN);
    EXPECT_NEAR(q.at(32000), 0.5 * p.at(32000), 1e-18);
}

// --- The pairs of a scratch store ------------------------------------------

StoreShape shape_of(int n, double near, double random)
{
    StoreShape s;
    for (int k = n - 1; k >= 0; k--)
        s.order.push_back(k);
    s.near = near;
    s.random = random;
    return s;
}

TEST(ScratchPairs, AsManyAsAskedDistinctAndNeverSelf)
{
    struct Case {
        int n;
        double near, random;
        size_t expected;
    } cases[] = {
        {1000, 4, 16, 20000},
        {1000, 0, 20, 20000},
        {1000, 20, 0, 20000},
        {1000, 0.5, 0, 500},     // a window narrower than one neighbour
        {2, 10, 10, 1},          // more than all pairs: all of them
        {5, 0, 100, 10},
        {1, 3, 3, 0},
        {0, 3, 3, 0},
    };
    for (const Case &c : cases) {
        StoreShape s = shape_of(c.n, c.near, c.random);
        std::vector<std::pair<int, int>> pairs = scratch_pairs(s, 1);
        EXPECT_EQ(pairs.size(), c.expected) << c.n << " " << c.near << " " << c.random;
        std::set<std::pair<int, int>> seen;
        for (auto p : pairs) {
            EXPECT_NE(p.first, p.second);
            EXPECT_GE(std::min(p.first, p.second), 0);
            EXPECT_LT(std::max(p.first, p.second), c.n);
            EXPECT_TRUE(seen.insert({std::min(p.first, p.second), std::max(p.first, p.second)}).second);
        }
        EXPECT_EQ(scratch_pairs(s, 1), pairs) << "the same for the same seed";
    }
    // Near pairs are neighbours in the order: the first ones one step apart.
    StoreShape s = shape_of(100, 1, 0);
    std::vector<std::pair<int, int>> pairs = scratch_pairs(s, 1);
    ASSERT_EQ(pairs.size(), 100u);
    EXPECT_EQ(pairs[0], std::make_pair(99, 98));
    EXPECT_EQ(pairs[98], std::make_pair(1, 0));
    EXPECT_EQ(std::abs(pairs[99].first - pairs[99].second), 2);
}

// --- Scratch stores --------------------------------------------------------

// The run beside the scratch stores: they are runs of their own and must
// leave it as it was.
class ScratchStore : public ::testing::Test, public Run {
  protected:
    void SetUp() override
    {
        object_count = 12345;
        num_distances = 777;
        type = 0;
        settings.cluster = CLUSTER_ROWS;
        settings.linkage = LINKAGE_AVE;
        settings.all_pairwise = false;
    }
    // The run's state that a scratch store must leave as it was.
    void expect_untouched()
    {
        EXPECT_EQ(object_count, 12345);
        EXPECT_EQ(num_distances, 777);
        EXPECT_EQ(dist, nullptr);
        EXPECT_EQ(dist_hash, nullptr);
        EXPECT_EQ(node, nullptr);
        EXPECT_EQ(heap, nullptr);
        EXPECT_EQ(leftnode, nullptr);
        EXPECT_EQ(n_dist, 0);
        EXPECT_EQ(dist_size, 0);
    }
};

TEST_F(ScratchStore, CostsAreFinitePositiveAndTheRunIsUntouched)
{
    struct Case {
        int n;
        double near, random;
    } cases[] = {
        {2, 0, 1},       // N = 2: one pair
        {3, 1, 0},
        {400, 3, 9},
        {400, 12, 0},    // near pairs only
        {400, 0.3, 0},   // a store of many unconnected pieces
        {400, 0, 12},    // random pairs only
        {50, 40, 40},    // denser than the scratch stores go
    };
    for (const Case &c : cases) {
        std::srand(99);
        int expected = std::rand();
        run_random.seed(99);
        StoreShape s = shape_of(c.n, c.near, c.random);
        StoreCosts costs = time_store(s, 1000, 8000, 1e-7, settings.linkage,
                                      [](int a, int b) { return std::abs(a - b) + 0.5; });
        // The run's random sequence goes on as if nothing had happened.
        EXPECT_EQ(run_random.next(), expected) << c.n << " " << c.near;
        expect_untouched();
        ASSERT_TRUE(costs.measured) << c.n << " " << c.near;
        for (const PairCost *p : {&costs.insert_near, &costs.insert_random, &costs.merge}) {
            for (double pairs : {1.0, 1e4, 1e8}) {
                EXPECT_TRUE(std::isfinite(p->at(pairs)));
                EXPECT_GE(p->at(pairs), 0);
            }
            EXPECT_GT(p->at(1e8), 0) << "the floor past the caches";
        }
        EXPECT_GE(costs.random_share, 0);
        EXPECT_LE(costs.random_share, 1);
    }
}

TEST_F(ScratchStore, KeepsQuietAndLeavesTheCallersSinkInstalled)
{
    CaptureSink capture;
    SinkScope scope(*this, capture);
    for (int n : {2, 400}) {
        StoreCosts costs = time_store(shape_of(n, 3, 9), 1000, 8000, 1e-7, settings.linkage,
                                      [](int a, int b) { return a + b + 0.5; });
        EXPECT_TRUE(costs.measured) << n;
        EXPECT_EQ(run_sink, &capture) << n;
        EXPECT_EQ(capture.report, "") << n;
        EXPECT_TRUE(capture.summaries.empty()) << n;
        expect_untouched();
    }
}

TEST_F(ScratchStore, NothingToTimeMeasuresNothing)
{
    auto value = [](int, int) { return 1.0; };
    EXPECT_FALSE(time_store(shape_of(1, 1, 1), 1000, 8000, 1e-7, settings.linkage, value).measured);
    EXPECT_FALSE(time_store(shape_of(100, 0, 0), 1000, 8000, 1e-7, settings.linkage, value).measured);
    ScratchTiming t = time_scratch_store(1, {}, {}, 0, settings.linkage);
    EXPECT_EQ(t.merge, 0);
    expect_untouched();
}

} // namespace
