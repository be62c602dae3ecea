// The cost model: the sampled epsilon of a count, the join's replay against
// the join itself, the search for the count that fits, and the lines it
// prints; the progress line's text.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "brivane.h"
#include "capture_sink.h"
#include "plan.h"
#include "terminal_progress.h"
#include "small_dist.h"

namespace {

// --- Sampled bounds --------------------------------------------------------

TEST(BoundSample, EpsilonIsTheQuantileTheEstimateTakes)
{
    // Bounds 1..1000: the k-th smallest is k.
    std::vector<double> bounds;
    for (int k = 1000; k >= 1; k--)
        bounds.push_back(k);
    BoundSample sample(bounds);
    struct Case {
        int64_t count;
        double prop;
        int sample_size;
        int n;
        double bound;   // the sampled bound epsilon sits on
    } cases[] = {
        // threshold_loc 100 of 1000 sampled pairs (1000 objects, 100000
        // distances, half heuristic): the 100th smallest.
        {100000, 0.5, 1000, 1000, 100},
        // A wanted share below one pair takes the smallest bound.
        {10, 0.5, 1000, 1000, 1},
        // More than the sample: the largest.
        {499500, 1.0, 1000, 1000, 1000},
        // The estimate samples 4000 pairs, this sample 1000: the same share.
        {100000, 0.5, 4000, 1000, 100},
    };
    for (const Case &c : cases)
        EXPECT_DOUBLE_EQ(sample.epsilon(c.count, c.prop, c.sample_size, c.n), 1.000001 * c.bound)
            << c.count << " " << c.sample_size;
    EXPECT_DOUBLE_EQ(sample.share_within(100), 0.1);
    EXPECT_DOUBLE_EQ(sample.share_within(0.5), 0.0);
    EXPECT_DOUBLE_EQ(BoundSample().epsilon(100, 0.5, 10, 10), 0.0);
}

// --- The join's replay -----------------------------------------------------

// The join's pair sink of these tests: counts the pairs into `count`.
struct CountPair {
    int64_t *count;
    void operator()(int, int, double) const { ++*count; }
};

// Pivot distances of Gaussian groups, object-major, and the same table laid
// out as the join reads it.
class Replay : public ::testing::Test, public Run {
  protected:
    std::vector<double> rows;
    int64_t sunk_pairs = 0;

    // The pairs are only counted: their distances are never computed, so
    // that the join needs no data unless a test gives it some.
    static double no_value(int, int) { return 0; }

    void SetUp() override
    {
        join_pair_sink = CountPair{&sunk_pairs};
        join_pair_value = no_value;
    }

    // Whether the run's sink is still the one SetUp installed.
    bool counting_sink() const
    {
        const CountPair *sink = join_pair_sink.target<CountPair>();
        return sink && sink->count == &sunk_pairs;
    }
    // The plain function a join computes its distances with, or null.
    using ValueFunction = double (*)(int, int);
    static ValueFunction value_function(const std::function<double(int, int)> &value)
    {
        const ValueFunction *f = value.target<ValueFunction>();
        return f ? *f : nullptr;
    }

    void groups(int n, int P, unsigned seed)
    {
        std::mt19937 gen(seed);
        std::normal_distribution<double> noise(0, 1);
        std::uniform_int_distribution<int> group(0, 7);
        object_count = n;
        settings.num_pivots = P;
        rows.assign((size_t)n * P, 0);
        pivots = new int[P]();
        pivot_dists = new double[(size_t)P * n];
        for (int o = 0; o < n; o++) {
            int g = group(gen);
            for (int p = 0; p < P; p++) {
                double v = 10 + 3 * ((g * 7 + p * 3) % 8) + noise(gen);
                rows[(size_t)o * P + p] = v;
                pivot_dists[(size_t)p * n + o] = v;
            }
        }
    }

    int64_t join_examined(double eps, int split)
    {
        settings.split_threshold = split;
        testing::internal::CaptureStdout();
        small_dists_work(eps);
        testing::internal::GetCapturedStdout();
        return join_pairs_examined;
    }
};

TEST_F(Replay, OnAllObjectsItExaminesAtLeastWhatTheJoinExamines)
{
    // The replay walks the specified block recursion; a join may skip
    // candidates that cannot pass, never examine more.  Equal for today's.
    struct Case {
        int n, P, split;
        double eps;
    } cases[] = {{3000, 4, 100, 0.5}, {3000, 4, 1000, 0.5}, {2000, 12, 50, 1.0}, {2000, 12, 1, 2.0},
                 {500, 20, 3000, 0.2}};
    for (const Case &c : cases) {
        groups(c.n, c.P, 5);
        JoinSample replay(rows, c.n, c.P, c.n, c.split);
        int64_t examined = join_examined(c.eps, c.split);
        EXPECT_GT(examined, 0);
        EXPECT_GE(replay.examined_in_sample(c.eps), examined) << c.n << " " << c.P << " " << c.split;
        EXPECT_LE(replay.examined_in_sample(c.eps), 2 * examined) << c.n << " " << c.P << " " << c.split;
        delete_pivots();
    }
}

TEST_F(Replay, ASubsampleScalesToTheWholeJoin)
{
    groups(20000, 10, 9);
    double eps = 0.6;
    int64_t whole = join_examined(eps, 1000);
    // Every fifth object, standing for all of them.
    int n = 4000, P = 10;
    std::vector<double> sub((size_t)n * P);
    for (int k = 0; k < n; k++)
        std::copy(&rows[(size_t)(5 * k) * P], &rows[(size_t)(5 * k) * P] + P, &sub[(size_t)k * P]);
    JoinSample replay(sub, n, P, 20000, 1000);
    double predicted = replay.examined(eps);
    EXPECT_GT(predicted, 0.5 * whole);
    EXPECT_LT(predicted, 2.0 * whole);
}

TEST_F(Replay, NonFiniteRowsAndEpsilonsWithoutCellsExamineNothing)
{
    std::vector<double> rows = {1, NAN, 2, 3, INFINITY, 4};   // 3 objects of 2 pivots; one finite
    JoinSample replay(rows, 3, 2, 3, 10);
    EXPECT_EQ(replay.examined_in_sample(1.0), 0);
    groups(100, 3, 1);
    JoinSample whole(this->rows, 100, 3, 100, 10);
    for (double eps : {0.0, -1.0, (double)NAN, (double)INFINITY})
        EXPECT_EQ(whole.examined_in_sample(eps), 0) << eps;
}

TEST_F(Replay, TimedSampleJoinKeepsQuietAndLeavesTheCallersSinkInstalled)
{
    // One data column per pivot, so that the measure has rows to read.
    groups(3000, 4, 9);
    std::vector<double> data = rows;
    row_length = 4;
    type = 6;
    data_double = data.data();
    make_measure("euclidean", 0);
    settings.split_threshold = 100;
    JoinSample sample = join_sample(3000, 4, 100);
    CaptureSink capture;
    SinkScope scope(*this, capture);
    JoinTiming t = time_sample_join(sample, 0.5, 3000, 3000);
    EXPECT_GT(t.examined, 0);
    EXPECT_EQ(run_sink, &capture);
    EXPECT_EQ(capture.report, "");
    EXPECT_TRUE(capture.summaries.empty()) << "the sample's join summary";
    // The run's own join still reports.
    small_dists_work(0.5);
    EXPECT_EQ(capture.summaries.size(), 1u);
}

// --- The search for the count ----------------------------------------------

// One second per million distances, in the random pairs alone.
UnitCosts per_million()
{
    UnitCosts unit;
    unit.distance = 1e-6;
    return unit;
}

TEST_F(Replay, TimedSampleJoinFindsWhatTheJoinFindsAndPutsTheRunBack)
{
    // One data column per pivot, so that the measure has rows to read.
    groups(3000, 4, 9);
    std::vector<double> data = rows;
    row_length = 4;
    type = 6;
    data_double = data.data();
    make_measure("euclidean", 0);
    settings.split_threshold = 100;
    JoinSample sample = join_sample(3000, 4, 100);
    struct Case {
        double eps;
        int objects;
    } cases[] = {{0.5, 3000}, {1.0, 3000}, {0.5, 1000}, {0.0, 3000}, {NAN, 3000}};
    for (const Case &c : cases) {
        sunk_pairs = 0;
        join_pairs_examined = 0;
        double *table = pivot_dists;
        auto value = join_pair_value;
        int64_t expected = 0, expected_found = 0;
        if (!join_skipped(c.eps)) {
            expected = join_examined(c.eps, 100);
            expected_found = sunk_pairs;
        }
        sunk_pairs = 0;
        join_pairs_examined = 7;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        JoinTiming t = time_sample_join(sample, c.eps, 3000, c.objects);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        // The run's objects, tables, hooks and counts are as they were.
        EXPECT_EQ(object_count, 3000);
        EXPECT_EQ(pivot_dists, table);
        EXPECT_TRUE(counting_sink());
        EXPECT_EQ(value_function(join_pair_value), value_function(value));
        EXPECT_NE(value_function(join_pair_value), nullptr);
        EXPECT_EQ(join_pairs_examined, 7);
        EXPECT_EQ(sunk_pairs, 0);
        if (join_skipped(c.eps)) {
            EXPECT_EQ(t.examined, 0);
            continue;
        }
        if (c.objects == 3000) {
            EXPECT_EQ(t.examined, expected) << c.eps;
            EXPECT_EQ(t.found, expected_found) << c.eps;
        } else {
            // A third of the objects: a fraction of the pairs.
            EXPECT_GT(t.examined, 0);
            EXPECT_LT(t.examined, expected / 2);
        }
        EXPECT_GT(t.without, 0);
        EXPECT_GT(t.with_distances, 0);
    }
    // Costs from a timing: none from too little work, finite and positive
    // from enough.
    UnitCosts unit;
    unit.distance = 1e-7;
    unit.join_order = 1e-8;
    JoinTiming little;
    little.examined = 10;
    little.without = 1e-3;
    set_join_costs(unit, little, 100);
    EXPECT_FALSE(unit.join_measured);
    JoinTiming enough;
    enough.examined = 1e7;
    enough.found = 1e5;
    enough.without = 0.01;
    enough.with_distances = 0.02;
    set_join_costs(unit, enough, 1000000);   // the per-object part exceeds the time
    EXPECT_TRUE(unit.join_measured);
    EXPECT_GT(unit.join_examined, 0);
    EXPECT_TRUE(std::isfinite(unit.join_examined));
    EXPECT_GT(unit.join_found, 0);
    EXPECT_LE(unit.join_found, unit.distance);
}

TEST(PlanTimeBudget, TakesTheLargestCountThatFits)
{
    auto no_epsilon = [](int64_t) { return 0.0; };
    auto no_join = [](double, double &tests, double &found) { tests = found = 0; };
    struct Case {
        double budget, spent;
        int64_t least, most, count;
    } cases[] = {
        {10, 2, 1000, 100000000, 8000000},   // 8 s left: 8M distances
        {10, 2, 1000, 5000000, 5000000},     // memory allows less: all of it
        {10, 9.5, 1000, 100000000, 500000},  // half a second left
    };
    for (const Case &c : cases) {
        // 100,000 objects: every count here is far from all their pairs.
        Plan plan = plan_time_budget(per_million(), c.budget, c.spent, c.least, c.most, 100000, 0, false, true, true,
                                     no_epsilon, no_join);
        EXPECT_FALSE(plan.all_pairs);
        EXPECT_NEAR((double)plan.count, (double)c.count, 0.01 * c.count) << c.spent;
        EXPECT_LE(plan.spent + plan.seconds.total(), c.budget) << c.spent;
        EXPECT_EQ(plan.over, 0);
        EXPECT_EQ(shortfall_line(plan), "");
    }
}

TEST(ExpectedDraws, GrowLikeTheCouponCollectorNearAllPairs)
{
    struct Case {
        double all, stored, added, draws;
    } cases[] = {
        {10, 0, 10, 10 * (1 + 1 / 2. + 1 / 3. + 1 / 4. + 1 / 5. + 1 / 6. + 1 / 7. + 1 / 8. + 1 / 9. + 1 / 10.)},
        {10, 8, 2, 10 * (1 + 1 / 2.)},          // the last two of ten
        {1e6, 0, 1, 1},                         // the first pair is never a repeat
        {1e6, 0, 1e6, 1e6 * (std::log(1e6) + 0.5772156649 + 0.5e-6)},
        {1e6, 5e5, 0, 0},
        {1e6, 0, 2e6, 1e6 * (std::log(1e6) + 0.5772156649 + 0.5e-6)},  // no more than all
        {1e12, 0, 1e6, 1e6 * (1 + 0.5e-6)},     // far from all: about one draw per pair
    };
    for (const Case &c : cases)
        EXPECT_NEAR(expected_draws(c.all, c.stored, c.added), c.draws, 1e-6 * c.draws + 1e-9)
            << c.all << " " << c.stored << " " << c.added;
}

TEST(Predict, RandomPairsNearAllPairsCostTheirDraws)
{
    // 2,000 objects, 1,999,000 pairs; a draw at a tenth of a distance; the
    // distances on two threads.
    UnitCosts unit = per_million();
    unit.draw = 1e-7;
    unit.threads = 2;
    double all = 1999000;
    struct Case {
        int64_t count;
        double found;
    } cases[] = {{1999000, 0}, {1999000, 1000000}, {1800000, 900000}, {1000000, 500000}, {40000, 0}};
    for (const Case &c : cases) {
        PhaseSeconds s = predict(unit, c.count, c.found, 0, 2000, 0, c.found > 0, true);
        double random = c.count - c.found;
        double draws = expected_draws(all, c.found, random);
        EXPECT_NEAR(s.random, random * unit.distance / unit.threads + draws * unit.draw, 1e-9) << c.count;
        EXPECT_GE(draws, random) << c.count;
    }
    // All pairs after half of them: about 14 draws per pair drawn.
    EXPECT_GT(expected_draws(all, 1000000, 999000), 14 * 999000.0);
}

TEST(PlanTimeBudget, EveryPairWhenTheStoreHoldsThemAndTheirRunFits)
{
    auto no_epsilon = [](int64_t) { return 0.0; };
    auto no_join = [](double, double &tests, double &found) { tests = found = 0; };
    UnitCosts unit = per_million();
    unit.draw = 1e-7;
    unit.threads = 2;
    // 2,000 objects: 1,999,000 pairs at 1 us each on the threads.
    double fill = 1999000 * 1e-6 / unit.threads;
    struct Case {
        const char *name;
        double budget;
        int64_t most;
        bool all_pairs;
    } cases[] = {
        {"all pairs fit, the store holds them", fill + 1, 1999000, true},
        {"the store holds one pair fewer", fill + 1, 1998999, false},
        {"all pairs overrun the budget", 0.5 * fill, 1999000, false},
    };
    for (const Case &c : cases) {
        Plan plan = plan_time_budget(unit, c.budget, 0, 40000, c.most, 2000, 0, false, true, true, no_epsilon, no_join);
        EXPECT_EQ(plan.all_pairs, c.all_pairs) << c.name;
        EXPECT_LE(plan.seconds.total(), c.budget) << c.name;
        if (c.all_pairs) {
            EXPECT_EQ(plan.count, 1999000) << c.name;
            EXPECT_EQ(plan_line(plan).substr(0, 16), "Plan: all pairs ") << c.name;
            EXPECT_EQ(plan.seconds.random, 0) << c.name;
        } else {
            // Drawn pairs near all of them cost their draws: the count
            // stops short of what the pairs alone would allow.
            EXPECT_LT(plan.count, c.most) << c.name;
        }
    }
}

TEST(PlanTimeBudget, MinimumThatOverrunsIsKeptAndMeasured)
{
    auto no_epsilon = [](int64_t) { return 0.0; };
    auto no_join = [](double, double &tests, double &found) { tests = found = 0; };
    // 20 per object of 1M objects: 20 s against 10 s, 2 spent before.
    Plan plan = plan_time_budget(per_million(), 10, 2, 20000000, 100000000, 1000000, 0, false, true, true,
                                 no_epsilon, no_join);
    EXPECT_EQ(plan.count, 20000000);
    EXPECT_NEAR(plan.over, 12, 1e-6);
    EXPECT_EQ(shortfall_line(plan),
              "WARNING! The time budget of 10 s cannot hold the minimum of 20 distances per object: the run is "
              "planned at 22.0 s, 12.0 s (120%) over the budget.");
}

TEST(PlanTimeBudget, CostlyJoinIsHeldToALowerEpsilonWhenThatFits)
{
    // The join examines 1e9 candidates per unit of epsilon at 40 ns of
    // packed test each: at epsilon 1 that alone is several seconds (the
    // join skips part of them), beside 2 s of pairs.
    UnitCosts unit = per_million();
    unit.join_test = 4e-8;
    auto epsilon_of = [](int64_t) { return 1.0; };
    auto join_of = [](double eps, double &tests, double &found) {
        tests = 1e9 * eps;
        found = 1e6 * eps;
    };
    Plan plan = plan_time_budget(unit, 6, 0, 2000000, 100000000, 100000, 0, true, true, true, epsilon_of, join_of);
    EXPECT_EQ(plan.count, 2000000);
    EXPECT_LT(plan.epsilon_cap, 1.0);
    EXPECT_GT(plan.epsilon_cap, 0.0);
    EXPECT_LE(plan.seconds.total(), 6.0);
    EXPECT_EQ(plan.over, 0);

    // Pairs alone overrun 1 s: every join only adds to the run, so the
    // smallest cap tried wins, and the run is still planned over the budget.
    plan = plan_time_budget(unit, 1, 0, 2000000, 100000000, 100000, 0, true, true, true, epsilon_of, join_of);
    EXPECT_GT(plan.epsilon_cap, 0.0);
    EXPECT_LT(plan.epsilon_cap, 1e-5);
    EXPECT_LT(plan.seconds.join, 0.01);
    EXPECT_GT(plan.over, 0);

    // Unless the join is to stay whole (the linkages of centroids, whose
    // trees from random pairs alone are the poorest): the same run keeps
    // the epsilon of its count, and says by how much it overruns.
    Plan whole = plan_time_budget(unit, 1, 0, 2000000, 100000000, 100000, 0, true, true, false, epsilon_of, join_of);
    EXPECT_FALSE(whole.epsilon_cap < 1.0);
    EXPECT_GT(whole.seconds.join, 1.0);
    EXPECT_NEAR(whole.over, whole.seconds.total() - 1, 1e-9);
}

TEST(PlanTimeBudget, OverrunningMinimumKeepsTheJoinThatMakesTheShortestRun)
{
    // Found pairs cost a tenth of a random pair; the join's tests grow with
    // the square of epsilon, so the shortest run lies at an epsilon inside
    // the range: there the saving on pairs equals the cost of the tests.
    UnitCosts unit = per_million();
    unit.join_measured = true;
    unit.join_examined = 1e-9;
    unit.join_found = 0;
    unit.insert = 1e-7;
    unit.distance = 1e-6;
    auto epsilon_of = [](int64_t) { return 1.0; };
    auto join_of = [](double eps, double &tests, double &found) {
        tests = 4e9 * eps * eps;
        found = 2e6 * eps;
    };
    Plan plan = plan_time_budget(unit, 1, 0, 2000000, 100000000, 100000, 0, true, true, true, epsilon_of, join_of);
    EXPECT_GT(plan.over, 0);
    EXPECT_EQ(plan.count, 2000000);
    // Total at cap e (one thread or two): tests 4 e^2 s, pairs 2 (1 - e)
    // s of random ones at about 1 us each: least near e = 0.25 / threads.
    EXPECT_GT(plan.epsilon_cap, 0.05);
    EXPECT_LT(plan.epsilon_cap, 0.4);
    Plan none = plan_time_budget(unit, 1, 0, 2000000, 100000000, 100000, 0, true, true, true, epsilon_of,
                                 [](double, double &tests, double &found) { tests = found = 0; });
    EXPECT_LT(plan.seconds.total(), none.seconds.total());
}

// --- Re-planning once the join is done ----------------------------------------

TEST(ReplanCount, TakesTheLargestCountWhoseRestFits)
{
    // The rest costs 1 us per pair of the count: left / 1e-6 pairs fit.
    auto rest = [](int64_t count) { return 1e-6 * (double)count; };
    struct Case {
        double left;
        int64_t stored, least, most, count;
    } cases[] = {
        {8, 1000000, 2000000, 100000000, 8000000},  // time decides
        {8, 1000000, 2000000, 5000000, 5000000},    // memory allows less: all of it
        {2.5, 0, 2000000, 100000000, 2500000},      // just above the least
    };
    for (const Case &c : cases) {
        int64_t count = replan_count(c.left, c.stored, c.least, c.most, rest);
        EXPECT_NEAR((double)count, (double)c.count, 0.001 * c.count) << c.left;
        EXPECT_LE(rest(count), c.left) << c.left;
        EXPECT_LE(count, c.most) << c.left;
        if (count < c.most) {
            EXPECT_GT(rest(count + count / 500), c.left) << c.left;
        }
    }
}

TEST(ReplanCount, KeepsTheLeastAndWhatIsStoredWhenNothingFits)
{
    auto rest = [](int64_t count) { return 1e-6 * (double)count; };
    struct Case {
        const char *name;
        double left;
        int64_t stored, least, most, count;
    } cases[] = {
        {"the least overruns: it is kept", 1, 0, 2000000, 100000000, 2000000},
        {"the budget is spent already", -3, 500000, 2000000, 100000000, 2000000},
        {"no time left at all", 0, 0, 2000000, 100000000, 2000000},
        {"the join stored more than the least", 1, 3000000, 2000000, 100000000, 3000000},
        {"stored pairs beyond the store's room stay", 100, 6000000, 2000000, 5000000, 6000000},
    };
    for (const Case &c : cases)
        EXPECT_EQ(replan_count(c.left, c.stored, c.least, c.most, rest), c.count) << c.name;
    // A rest that is not a number never fits.
    EXPECT_EQ(replan_count(10, 0, 100, 1000, [](int64_t) { return NAN; }), 100);
}

TEST(ReplanCount, NeverAboveWhatMemoryHolds)
{
    // Time costs nothing: the store's room is all the count can reach.
    for (int64_t most : {int64_t(2000000), int64_t(24000000), int64_t(178956969)})
        EXPECT_EQ(replan_count(60, 1000, 2000000, most, [](int64_t) { return 0.0; }), most) << most;
}

UnitCosts far_loads(double far_load)
{
    UnitCosts unit;
    unit.distance = 1e-6;
    unit.far_load = far_load;
    return unit;
}

TEST(PredictRest, ClusteringIsNeverBelowItsFarLoadBound)
{
    // The scratch stores measured a merge loop far cheaper than far loads
    // allow: the bound decides, and grows faster than the pairs.
    UnitCosts unit = far_loads(1e-7);
    unit.store.measured = true;
    unit.store.merge.base = 1e-9;
    double per_pair_at_1m = clustering_seconds(unit, 1e6) / 1e6;
    double per_pair_at_16m = clustering_seconds(unit, 16e6) / 16e6;
    EXPECT_GE(per_pair_at_1m, 0.5e-7);
    EXPECT_GT(per_pair_at_16m, 4 * per_pair_at_1m);
    // A merge loop measured dearer than the bound keeps its own figure.
    unit.store.merge.base = 1e-5;
    EXPECT_NEAR(clustering_seconds(unit, 16e6), 16e6 * 1e-5, 1e-6);
    // The rest's clustering is that of all its pairs, stored and added.
    PhaseSeconds rest = predict_rest(unit, 1e-6, 3000000, 16000000, 1000000);
    EXPECT_NEAR(rest.clustering, clustering_seconds(unit, 16e6), 1e-9);
}

TEST(PredictRest, RandomPairsAtTheMeasuredRateAndTheDrawsNearAllPairs)
{
    UnitCosts unit = far_loads(1e-7);
    unit.draw = 2e-8;
    unit.output_object = 1e-6;
    // A million objects, 2M pairs to add at 2 us each: far from all pairs,
    // a draw per pair, which the rate holds.
    PhaseSeconds far = predict_rest(unit, 2e-6, 1000000, 3000000, 1000000);
    EXPECT_NEAR(far.random, 4.0, 1e-3);
    EXPECT_NEAR(far.output, 1.0, 1e-9);
    // 100 objects have 4950 pairs: the last ones cost the draws that repeat
    // stored pairs, beside the measured rate.
    PhaseSeconds near = predict_rest(unit, 2e-6, 4000, 4950, 100);
    EXPECT_GT(near.random, 950 * 2e-6 + 1000 * unit.draw);
    // Nothing to add: no random seconds, and the rest never falls as the
    // count grows.
    EXPECT_EQ(predict_rest(unit, 2e-6, 4000, 4000, 100).random, 0);
    double before = 0;
    for (int64_t count = 1000000; count <= 30000000; count += 1000000) {
        double total = predict_rest(unit, 2e-6, 1000000, count, 1000000).total();
        EXPECT_GE(total, before) << count;
        before = total;
    }
}

TEST(ReplanLine, NamesTheRestAndTheCount)
{
    PhaseSeconds rest;
    rest.random = 2.04;
    rest.clustering = 17.9;
    rest.output = 1.0;
    EXPECT_EQ(replan_line(rest, 21000000),
              "  Plan for the rest: random pairs 2.0 s, clustering 17.9 s, output 1.0 s (21000000 distances)");
}

TEST(PlanLine, NamesEveryPhaseAndTheBudget)
{
    Plan plan;
    plan.budget = 60;
    plan.seconds.epsilon = 1.0;
    plan.seconds.join = 20.04;
    plan.seconds.random = 3.1;
    plan.seconds.clustering = 18.2;
    plan.seconds.output = 1.0;
    EXPECT_EQ(plan_line(plan),
              "Plan: join 21.0 s, random pairs 3.1 s, clustering 18.2 s, output 1.0 s (time budget 60 s)");
    plan.budget = 0;
    EXPECT_EQ(plan_line(plan),
              "Plan: join 21.0 s, random pairs 3.1 s, clustering 18.2 s, output 1.0 s (count given)");
    plan.all_pairs = true;
    plan.seconds.join = 4.0;
    EXPECT_EQ(plan_line(plan), "Plan: all pairs 4.0 s, clustering 18.2 s, output 1.0 s (all pairs asked for)");
}

// --- Progress ----------------------------------------------------------------

TEST(Progress, TextGivesTheShareAndTheTimeLeft)
{
    struct Case {
        double share, elapsed;
        const char *text;
    } cases[] = {
        {0.5, 10, "  50% done, 10 s left"},
        {0.25, 3, "  25% done, 9 s left"},
        {0.0, 5, "  0% done"},         // nothing to extrapolate from yet
        {1.5, 5, "  99% done, 0 s left"},   // beyond the prediction: not done until it ends
        {-0.2, 1, "  0% done"},
    };
    for (const Case &c : cases) {
        char text[64];
        progress_text(c.share, c.elapsed, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.share;
    }
}

TEST(Progress, SilentWhenStandardErrorIsNotATerminal)
{
    testing::internal::CaptureStderr();
    terminal_progress_begin("Running...");
    EXPECT_FALSE(terminal_progress_shown());
    for (int k = 0; k < 100000; k++)
        terminal_progress(k / 100000.0, 1);
    terminal_progress_end();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
