// Pair sources, pivot selection, epsilon estimation and the epsilon-grid-order
// join, driven through the run state globals and the real distance store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Distance.h"
#include "brivane.h"
#include "distances.h"
#include "program_sink.h"
#include "run.h"
#include "small_dist.h"
#include "threads.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

typedef std::pair<int, int> Pair;

// Objects hold one value each; their distance is looked up in a table when
// one is set, and is the absolute difference of the values otherwise.
class TableDistance : public Distance<double> {
  public:
    std::map<Pair, double> table;
    double distance(const double *x, const double *y, int, int) override
    {
        if (table.empty())
            return std::fabs(*x - *y);
        int a = (int)*x, b = (int)*y;
        return a == b ? 0.0 : table.at(Pair(std::min(a, b), std::max(a, b)));
    }
};

class SmallDist : public ::testing::Test, public Run {
  protected:
    // Every stored pair (smaller object first) and its distance.
    std::map<Pair, double> stored_pairs()
    {
        std::map<Pair, double> pairs;
        for (int r = 0; r < n_dist; r += 2)
            pairs[Pair(dist[r].x, dist[r].y)] = dist[r].dist;
        return pairs;
    }

    // The stored pairs in the order they entered the store.
    std::vector<Pair> stored_order()
    {
        std::vector<Pair> pairs;
        for (int r = 0; r < n_dist; r += 2)
            pairs.push_back(Pair(dist[r].x, dist[r].y));
        return pairs;
    }

    TableDistance measure;
    std::vector<double> values;

    void SetUp() override
    {
        // The lines go to standard error, where the tests read them.
        run_sink = &program_sink();
        settings.cluster = CLUSTER_ROWS;
        settings.all_pairwise = false;
        settings.num_pivots = 1;
        settings.prop_similar = 0.5;
        settings.pivot_strategy = PIVOT_RANDOM;
        settings.pivot_quantile = 0.9;
        settings.split_threshold = 1000;
        run_random.seed(12345);
    }

    void TearDown() override { delete_pivots(); }

    // Objects 0..n-1 whose values are their own indices (for table
    // distances) or the given values.
    void objects(const std::vector<double> &v)
    {
        values = v;
        object_count = (int)values.size();
        row_length = 1;
        type = 6;
        data_double = values.data();
        measure_double = &measure;
    }
    void objects(int n)
    {
        std::vector<double> v;
        for (int i = 0; i < n; i++)
            v.push_back(i);
        objects(v);
    }

    void store_for(int count)
    {
        num_distances = count;
        testing::internal::CaptureStderr();
        init_distances();
        testing::internal::GetCapturedStderr();
    }
};

// ---------------------------------------------------------------------------
// random_dist

TEST_F(SmallDist, RandomDistDrawsNothingWhenTheStoreHoldsEnough)
{
    objects(10);
    store_for(3);
    getdist(0, 1, 1.0);
    getdist(2, 3, 1.0);
    getdist(4, 5, 1.0);
    int time_before = abstract_time;
    srand(7);
    int first = rand();
    run_random.seed(7);
    random_dist();
    EXPECT_EQ(run_random.next(), first);
    EXPECT_EQ(n_dist, 6);
    EXPECT_EQ(abstract_time, time_before + 1);
}

TEST_F(SmallDist, RandomDistStartsWithABulkPassOfTwoPartnersPerObject)
{
    objects(10);
    store_for(25);
    srand(99);
    std::vector<Pair> first_pass;
    std::set<Pair> seen;
    for (int i = 0; i < 10; i++)
        for (int k = 0; k < 2; k++) {
            int j = rand() % 10;
            Pair p(std::min(i, j), std::max(i, j));
            if (i != j && seen.insert(p).second)
                first_pass.push_back(p);
        }
    run_random.seed(99);
    random_dist();
    std::vector<Pair> order = stored_order();
    ASSERT_GE(order.size(), first_pass.size());
    EXPECT_EQ(std::vector<Pair>(order.begin(), order.begin() + first_pass.size()), first_pass);
    EXPECT_EQ(n_dist / 2, 25);
}

// The draws of the bulk pass are taken ahead of the pairs they make; the
// generator must still end where the draws of the pairs alone leave it, for
// the random joins at the end of clustering draw next.
TEST_F(SmallDist, RandomDistLeavesTheGeneratorAfterItsOwnDraws)
{
    struct Case { int n; int target; };
    for (Case c : {Case{10, 25}, Case{10, 45}, Case{7, 3}, Case{30, 200}, Case{50, 49}}) {
        objects(c.n);
        store_for(c.target);
        // The pair sequence without any lead: bulk passes while N or more
        // pairs are missing, then single uniform pairs.
        srand(c.n * 1000 + c.target);
        std::set<Pair> seen;
        while ((int)seen.size() < c.target) {
            int missing = c.target - (int)seen.size();
            if (missing >= c.n) {
                for (int i = 0; i < c.n; i++)
                    for (int k = 0; k < missing / c.n; k++) {
                        int j = rand() % c.n;
                        if (i != j)
                            seen.insert(Pair(std::min(i, j), std::max(i, j)));
                    }
            } else {
                int i = rand() % c.n;
                int j = rand() % (c.n - 1);
                seen.insert(i > j ? Pair(j, i) : Pair(i, j + 1));
            }
        }
        int next_draw = rand();
        run_random.seed(c.n * 1000 + c.target);
        random_dist();
        EXPECT_EQ(run_random.next(), next_draw) << "n=" << c.n << " target=" << c.target;
        std::vector<Pair> stored = stored_order();
        EXPECT_EQ(std::set<Pair>(stored.begin(), stored.end()), seen);
    }
}

TEST_F(SmallDist, RandomDistSinglePassesDrawAUniformPairOfDistinctObjects)
{
    // 5 missing among 10 objects: single passes only, i from rand() % N and
    // j from rand() % (N-1), mapped past i.
    objects(10);
    store_for(5);
    srand(4242);
    std::vector<Pair> expected;
    std::set<Pair> seen;
    while (expected.size() < 5) {
        int i = rand() % 10;
        int j = rand() % 9;
        Pair p = i > j ? Pair(j, i) : Pair(i, j + 1);
        if (seen.insert(p).second)
            expected.push_back(p);
    }
    run_random.seed(4242);
    random_dist();
    EXPECT_EQ(stored_order(), expected);
}

TEST_F(SmallDist, RandomDistEndsWithExactlyTheTargetCount)
{
    for (int target : {1, 9, 10, 11, 37, 190}) {
        objects(20);
        store_for(target);
        run_random.seed(target);
        random_dist();
        EXPECT_EQ(n_dist / 2, target) << "target " << target;
        for (auto &p : stored_pairs())
            EXPECT_LT(p.first.first, p.first.second);
    }
}

TEST_F(SmallDist, RandomDistStopsWhenTheStoreIsFull)
{
    objects(10);
    store_for(3);          // room for 4 pairs
    num_distances = 30;    // more than the store can take
    testing::internal::CaptureStderr();
    random_dist();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(n_dist / 2, 4);
}

TEST_F(SmallDist, RandomDistStopsAtAllDistinctPairs)
{
    objects(4);
    settings.all_pairwise = true;
    store_for(100);        // room for all 6 pairs, target beyond them
    random_dist();
    EXPECT_EQ(n_dist / 2, 6);
}

// The pairs a random pass enters, in order, when every draw is looked up in
// the store: bulk passes while N or more pairs are missing, streamed uniform
// pairs while 4,096 or more are, then one uniform pair at a time.  `stored`
// holds the pairs in the store before the pass; a pair whose value is NaN
// has no distance (pairwise mode) and is never stored; `room` is the pairs
// the store can hold.
std::vector<Pair> random_pass_by_lookup(int n, int64_t target, int64_t room, std::set<Pair> stored,
                                        const std::vector<double> &values)
{
    std::vector<Pair> entered;
    std::set<Pair> without;
    int64_t all = (int64_t)n * (n - 1) / 2;
    target = std::min(target, all);
    auto offer = [&](int i, int j) {
        Pair p(std::min(i, j), std::max(i, j));
        if (i == j || stored.count(p) || without.count(p))
            return;
        if (std::isnan(values[i] - values[j])) {
            without.insert(p);
        } else if ((int64_t)stored.size() < room) {
            stored.insert(p);
            entered.push_back(p);
        }
    };
    while ((int64_t)stored.size() < target && (int64_t)(stored.size() + without.size()) < all &&
           (int64_t)stored.size() < room) {
        int64_t missing = target - (int64_t)stored.size();
        if (missing >= n) {
            int64_t per = missing / n;
            for (int64_t s = 0; s < per * n; s++)
                offer((int)(s / per), rand() % n);
        } else if (missing < 4096) {
            int i = rand() % n;
            int j = rand() % (n - 1);
            offer(i, i > j ? j : j + 1);
        } else {
            int64_t draws = std::min<int64_t>(missing, room - (int64_t)stored.size());
            for (int64_t d = 0; d < draws; d++) {
                int a = rand() % n;
                int b = rand() % (n - 1);
                offer(a, a > b ? b : b + 1);
            }
        }
    }
    return entered;
}

// Fixed-seed counts must give the same tree whatever spares the random pass
// its store lookups: the same pairs in the same order, and the generator left
// where the draws leave it (the random joins at the end of clustering draw
// next).  Counts at and near all pairs, where most draws repeat a pair.
TEST_F(SmallDist, RandomDistEntersThePairsOfAStoreLookupOfEveryDraw)
{
    const double NaN_ = NaN;
    struct Case {
        const char *name;
        int n;
        int64_t target;
        int prestored;        // pairs (i, i+1) stored before the pass, as a join would
        std::vector<int> nan; // objects whose distances are NaN (pairwise mode)
        int64_t room;         // pairs the store holds; 0: the target's own
    };
    const Case cases[] = {
        {"all pairs", 60, 1770, 0, {}, 0},
        {"all pairs after a join", 60, 1770, 59, {}, 0},
        {"99 % of all pairs", 200, 19701, 0, {}, 0},
        {"half of all pairs", 200, 9950, 100, {}, 0},
        {"a 64th of all pairs, streamed", 5000, 195313, 0, {}, 0},
        {"beyond what has a distance", 40, 780, 0, {3, 17}, 0},
        {"near all, no distance for some", 120, 7000, 30, {5}, 0},
        {"the store fills first", 50, 1225, 0, {}, 1000},
        {"sparse, the store's lookup", 300, 600, 0, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> v;
        for (int i = 0; i < c.n; i++)
            v.push_back(i);
        for (int o : c.nan)
            v[o] = NaN_;
        objects(v);
        if (!c.nan.empty())
            skip_pairs_without_distance = true;
        store_for((int)(c.room > 0 ? c.room : c.target));
        num_distances = (int)c.target;
        for (int i = 0; i < c.prestored; i++)
            getdist(i, i + 1, NO_DISTANCE);
        std::vector<Pair> prestored = stored_order();
        std::set<Pair> before(prestored.begin(), prestored.end());
        unsigned seed = (unsigned)(c.n * 7 + c.target);
        srand(seed);
        std::vector<Pair> expected = random_pass_by_lookup(c.n, c.target, dist_size / 2, before, v);
        int next_draw = rand();
        run_random.seed(seed);
        testing::internal::CaptureStderr();
        random_dist();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(run_random.next(), next_draw);
        std::vector<Pair> order = stored_order();
        ASSERT_EQ(order.size(), before.size() + expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), order.begin() + before.size()));
        reset_missing_values();
    }
}

// ---------------------------------------------------------------------------
// all_dist and input_dist

TEST_F(SmallDist, AllDistVisitsTheUpperTriangleRowByRow)
{
    objects({0, 1, 3, 7});
    store_for(6);
    int time_before = abstract_time;
    all_dist();
    std::vector<Pair> expected = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    EXPECT_EQ(stored_order(), expected);
    EXPECT_EQ(stored_pairs()[Pair(1, 3)], 6.0);
    EXPECT_EQ(abstract_time, time_before + 1);
}

class InputDist : public SmallDist {
  protected:
    std::vector<double> matrix_d;
    std::vector<float> matrix_f;
    std::vector<int> from, to;

    void matrix_store(int n, int mode)
    {
        object_count = n;
        measure_double = nullptr;  // given distances are never computed
        settings.cluster = mode;
        store_for(0);
    }
};

TEST_F(InputDist, MatrixGivesTheUpperTriangleValues)
{
    matrix_d = {0, 1, 2,
                9, 0, 3,
                9, 9, 0};
    type = 6;
    data_double = matrix_d.data();
    matrix_store(3, CLUSTER_DISTMAT);
    input_dist();
    std::map<Pair, double> expected = {{{0, 1}, 1}, {{0, 2}, 2}, {{1, 2}, 3}};
    EXPECT_EQ(stored_pairs(), expected);
}

TEST_F(InputDist, MatrixSkipsNaNAndInfiniteEntries)
{
    matrix_f = {0, NAN, 2,
                0, 0, INFINITY,
                0, 0, 0};
    type = 5;
    data_float = matrix_f.data();
    matrix_store(3, CLUSTER_DISTMAT);
    input_dist();
    std::map<Pair, double> expected = {{{0, 2}, 2}};
    EXPECT_EQ(stored_pairs(), expected);
}

TEST_F(InputDist, IntegerMatrixValuesBecomeDoubles)
{
    std::vector<int> m = {0, -4, 7, 0};
    type = 4;
    data_int = m.data();
    matrix_store(2, CLUSTER_DISTMAT);
    input_dist();
    std::map<Pair, double> expected = {{{0, 1}, -4}};
    EXPECT_EQ(stored_pairs(), expected);
}

TEST_F(InputDist, ListKeepsTheFirstUsableEntryOfAPair)
{
    struct Entry { int from, to; double d; };
    const std::vector<Entry> entries = {
        {3, 7, 0.5},     // stored
        {7, 3, 0.9},     // same pair reversed: ignored
        {2, 2, 1.0},     // self pair: nothing
        {1, 4, NaN},     // skipped, so that the next one counts
        {4, 1, INF},     // skipped
        {1, 4, -INF},    // skipped
        {4, 1, 6.0},     // the first usable value of (1, 4)
        {0, 9, -1e100},  // a given value, never a request to compute
    };
    for (const Entry &e : entries) {
        from.push_back(e.from);
        to.push_back(e.to);
        matrix_d.push_back(e.d);
    }
    list_entries = (int)entries.size();
    distfrom = from.data();
    distto = to.data();
    type = 6;
    data_double = matrix_d.data();
    matrix_store(10, CLUSTER_DISTLIST);
    input_dist();
    std::map<Pair, double> expected = {{{3, 7}, 0.5}, {{1, 4}, 6.0}, {{0, 9}, -1e100}};
    EXPECT_EQ(stored_pairs(), expected);
}

// ---------------------------------------------------------------------------
// Pivot selection

TEST(QuantileTargetRank, IsTheRoundedQuantileOfTheObjectCount)
{
    struct Case { int n; double q; int64_t rank; };
    const Case cases[] = {
        {10, 0.9, 9},
        {10, 1.0, 10},
        {10, 0.0, 0},
        {10, 0.25, 3},   // 2.5 rounds away from zero
        {10, 5.0, 22},   // far beyond: clamped to 2n+2
        {10, -3.0, -22},
        {10, NaN, 22},
    };
    for (const Case &c : cases)
        EXPECT_EQ(quantile_target_rank(c.n, c.q), c.rank) << "n=" << c.n << " q=" << c.q;
}

TEST_F(SmallDist, RandomPivotsAreDrawnAndPrintedInOrder)
{
    objects({0, 1, 3, 7, 15, 31});
    settings.num_pivots = 3;
    srand(5);
    int drawn[3];
    for (int &d : drawn)
        d = rand() % 6;
    run_random.seed(5);
    testing::internal::CaptureStderr();
    choose_pivots();
    std::string err = testing::internal::GetCapturedStderr();
    std::string expected;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(pivots[i], drawn[i]);
        expected += "  pivot " + std::to_string(i + 1) + " - " + std::to_string(drawn[i] + 1) +
                    " (randomly)\n";
    }
    EXPECT_EQ(err, expected);
    for (int p = 0; p < 3; p++)
        for (int o = 0; o < 6; o++)
            EXPECT_EQ(pivot_dists[p * 6 + o], std::fabs(values[o] - values[drawn[p]]));
}

TEST_F(SmallDist, UnfitPivotsAreObjectsWithANonFiniteElementWhileAnyOtherIsLeft)
{
    struct Case { std::vector<double> values; std::vector<char> unfit; int passed; };
    const std::vector<Case> cases = {
        {{1, 2, 3}, {0, 0, 0}, 0},
        {{1, NaN, 3}, {0, 1, 0}, 1},
        {{INF, -INF, 2}, {1, 1, 0}, 2},
        {{NaN, NaN}, {0, 0}, 0},   // none is fit: none is passed over
    };
    for (const Case &c : cases) {
        objects(c.values);
        int passed = -1;
        EXPECT_EQ(unfit_pivots(passed), c.unfit);
        EXPECT_EQ(passed, c.passed);
    }
}

class QuantilePivots : public SmallDist {
  protected:
    std::string choose(int P, double q, int first)
    {
        settings.num_pivots = P;
        settings.pivot_strategy = PIVOT_QUANTILE;
        settings.pivot_quantile = q;
        // A seed whose first draw makes `first` the first pivot.
        unsigned seed = 1;
        for (;; seed++) {
            srand(seed);
            if (rand() % object_count == first)
                break;
        }
        run_random.seed(seed);
        testing::internal::CaptureStderr();
        choose_pivots();
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(QuantilePivots, OnePivotPrintsOnlyTheFirstLine)
{
    objects({0, 2, 5});
    EXPECT_EQ(choose(1, 0.9, 1), "  pivot 1 - 2 (randomly)\n");
    EXPECT_EQ(pivot_dists[0], 2.0);
    EXPECT_EQ(pivot_dists[1], 0.0);
    EXPECT_EQ(pivot_dists[2], 3.0);
}

// Values 2^i keep every distance ranking strict.
std::vector<double> powers_of_two(int n)
{
    std::vector<double> v;
    for (int i = 0; i < n; i++)
        v.push_back(std::ldexp(1.0, i));
    return v;
}

TEST_F(QuantilePivots, QuantileNineTenthsOfTenAimsAtRankNine)
{
    objects(powers_of_two(10));
    EXPECT_EQ(choose(2, 0.9, 3), "  pivot 1 - 4 (randomly)\n  pivot 2 - 10 (score 0)\n");
    EXPECT_EQ(pivots[1], 9);
}

TEST_F(QuantilePivots, QuantileOneGivesTheFarthestObjectScoreOne)
{
    objects(powers_of_two(10));
    EXPECT_EQ(choose(2, 1.0, 9), "  pivot 1 - 10 (randomly)\n  pivot 2 - 1 (score 1)\n");
}

TEST_F(QuantilePivots, QuantileZeroChoosesTheFirstPivotAgain)
{
    objects(powers_of_two(10));
    EXPECT_EQ(choose(2, 0.0, 6), "  pivot 1 - 7 (randomly)\n  pivot 2 - 7 (score 0)\n");
    EXPECT_EQ(pivots[1], pivots[0]);
    EXPECT_EQ(pivot_dists[10 + 6], 0.0);  // its own distance is 0.0, not computed
}

TEST_F(QuantilePivots, UnfitObjectsAreNeitherDrawnNorChosenByScore)
{
    // Quantile 1 aims past the farthest object: the NaN objects, ranked
    // last, would score best; object 3 is the farthest fit one.
    objects({4, 0, NaN, 8, NaN});
    EXPECT_EQ(choose(2, 1.0, 1).substr(0, 24), "  pivot 1 - 2 (randomly)");
    EXPECT_EQ(pivots[1], 3);
    objects({NaN, 0, 1, 2});
    choose(3, 5.0, 1);   // no score beats N + 1: the first fit object
    EXPECT_EQ(pivots[1], 1);
    EXPECT_EQ(pivots[2], 1);
}

TEST_F(QuantilePivots, EqualScoresGoToTheLowestIndex)
{
    // From object 0 the ranks are 0,1,2,3 and, with target rank 1, object 1
    // follows.  From object 1 the ranks of objects 0..3 are 2,0,3,1, so
    // objects 0 and 1 both score 1 and object 0 wins.
    objects(4);
    measure.table = {{{0, 1}, 1}, {{0, 2}, 2}, {{0, 3}, 3},
                     {{1, 2}, 5}, {{1, 3}, 0.5}, {{2, 3}, 4}};
    EXPECT_EQ(choose(3, 0.25, 0),
              "  pivot 1 - 1 (randomly)\n  pivot 2 - 2 (score 0)\n  pivot 3 - 1 (score 1)\n");
}

TEST_F(SmallDist, PivotComparatorPutsNaNAfterAllNumbers)
{
    double row[5] = {NaN, 1.0, -2.0, NaN, 0.5};
    int order[5] = {0, 1, 2, 3, 4};
    qsort_r(order, 5, sizeof(int), pivot_dists_compare, row);
    EXPECT_EQ(order[0], 2);
    EXPECT_EQ(order[1], 4);
    EXPECT_EQ(order[2], 1);
    EXPECT_TRUE(std::isnan(row[order[3]]));
    EXPECT_TRUE(std::isnan(row[order[4]]));
}

// The comparators once read their keys from globals and sorted with qsort;
// the pivot scores and the join's order (and so the output) depend on where
// equal keys end up, so qsort_r with the keys as context must leave them
// where qsort did.  The old comparators, over keys of their own:
const double *old_pivot_row = nullptr;
int old_pivot_dists_compare(const void *a, const void *b)
{
    double da = old_pivot_row[*(const int *)a];
    double db = old_pivot_row[*(const int *)b];
    if (std::isnan(da) || std::isnan(db))
        return (int)std::isnan(da) - (int)std::isnan(db);
    return da < db ? -1 : (da > db ? 1 : 0);
}
const int *old_ego = nullptr;
int old_join_pivots = 0;
int old_objects = 0;
int old_ego_compare(const void *a, const void *b)
{
    int oa = *(const int *)a;
    int ob = *(const int *)b;
    for (int p = 0; p < old_join_pivots; p++) {
        int diff = old_ego[(size_t)p * old_objects + oa] - old_ego[(size_t)p * old_objects + ob];
        if (diff != 0)
            return diff;
    }
    return 0;
}

// A shuffled start order, so that ties do not start sorted by object.
std::vector<int> shuffled_objects(int n, unsigned seed)
{
    std::vector<int> order(n);
    for (int o = 0; o < n; o++)
        order[o] = o;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    return order;
}

TEST(SortContext, PivotOrderKeepsTheOrderOfEqualDistances)
{
    struct Case { const char *name; int n; int values; bool nans; };
    const Case cases[] = {
        {"few distinct distances", 1000, 4, false},
        {"ties and NaN", 777, 10, true},
        {"all equal", 300, 1, false},
        {"one object", 1, 1, false},
    };
    for (const Case &c : cases) {
        std::mt19937 gen(c.n);
        std::vector<double> row(c.n);
        for (double &d : row)
            d = c.nans && gen() % 5 == 0 ? NaN : (double)(gen() % c.values);
        std::vector<int> expected = shuffled_objects(c.n, c.n + 1);
        std::vector<int> got = expected;
        old_pivot_row = row.data();
        qsort(expected.data(), c.n, sizeof(int), old_pivot_dists_compare);
        qsort_r(got.data(), c.n, sizeof(int), pivot_dists_compare, row.data());
        EXPECT_EQ(got, expected) << c.name;
    }
}

TEST(SortContext, GridOrderKeepsTheOrderOfObjectsInOneCell)
{
    struct Case { const char *name; int n; int pivots; int cells; };
    const Case cases[] = {
        {"three pivots, three cells each", 2000, 3, 3},
        {"one pivot", 500, 1, 4},
        {"ten pivots, two cells each", 1500, 10, 2},
        {"every object in one cell", 400, 2, 1},
    };
    for (const Case &c : cases) {
        std::mt19937 gen(c.n + c.pivots);
        std::vector<int> cells((size_t)c.pivots * c.n);
        for (int &cell : cells)
            cell = (int)(gen() % c.cells) - 1;
        std::vector<int> expected = shuffled_objects(c.n, c.pivots);
        std::vector<int> got = expected;
        old_ego = cells.data();
        old_join_pivots = c.pivots;
        old_objects = c.n;
        qsort(expected.data(), c.n, sizeof(int), old_ego_compare);
        GridCells grid{cells.data(), c.pivots, c.n};
        qsort_r(got.data(), c.n, sizeof(int), ego_compare, &grid);
        EXPECT_EQ(got, expected) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Epsilon estimation

class Epsilon : public SmallDist {
  protected:
    // N objects, one pivot, pivot distance of object o = row[o].
    void pivot_row(const std::vector<double> &row)
    {
        object_count = (int)row.size();
        settings.num_pivots = 1;
        pivots = new int[1]{0};
        pivot_dists = new double[row.size()];
        std::copy(row.begin(), row.end(), pivot_dists);
    }

    // The sample estimate_epsilon draws from the current seed, as bounds.
    std::vector<double> sampled_bounds()
    {
        std::vector<double> bounds;
        for (int s = 0; s < object_count; s++) {
            int a, b;
            do {
                a = rand() % object_count;
                b = rand() % object_count;
            } while (a == b);
            bounds.push_back(std::fabs(pivot_dists[a] - pivot_dists[b]));
        }
        std::sort(bounds.begin(), bounds.end());
        return bounds;
    }

    std::vector<double> random_row(int n)
    {
        std::mt19937 gen(n);
        std::uniform_real_distribution<double> u(0, 100);
        std::vector<double> row;
        for (int i = 0; i < n; i++)
            row.push_back(u(gen));
        return row;
    }
};

TEST_F(Epsilon, ThresholdLocationScalesTheWantedShareToTheSample)
{
    struct Case { int n; int num; double prop; int loc; };
    const Case cases[] = {
        {1000, 100000, 0.5, 100},              // 100.1, truncated
        {1000, 10, 0.5, 1},                    // below 1
        {1000, 499500, 1.0, 1000},             // all pairs
        {50000, 1249975000, 1.0, 50000},       // N*(N-1) beyond int
        {1000, 100000, NaN, 1},
        {1000, 100000, 1e300, std::numeric_limits<int>::max() - 2},
    };
    for (const Case &c : cases) {
        object_count = c.n;
        num_distances = c.num;
        settings.prop_similar = c.prop;
        EXPECT_EQ(threshold_location(object_count), c.loc) << "N=" << c.n << " num=" << c.num;
    }
}

TEST_F(Epsilon, PrintsThresholdAndSampleSize)
{
    pivot_row(random_row(1000));
    num_distances = 100000;
    testing::internal::CaptureStderr();
    estimate_epsilon();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nthreshold_loc=100  sample_size=1000\n");
}

TEST_F(Epsilon, IsSlightlyAboveTheThresholdLocthSmallestSampledBound)
{
    pivot_row(random_row(1000));
    num_distances = 100000;
    srand(31);
    std::vector<double> bounds = sampled_bounds();
    run_random.seed(31);
    testing::internal::CaptureStderr();
    double eps = estimate_epsilon();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(eps, 1.000001 * bounds[99]);
}

TEST_F(Epsilon, TinyWantedCountTakesTheSmallestBound)
{
    pivot_row(random_row(1000));
    num_distances = 10;
    srand(8);
    std::vector<double> bounds = sampled_bounds();
    run_random.seed(8);
    testing::internal::CaptureStderr();
    double eps = estimate_epsilon();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nthreshold_loc=1  sample_size=1000\n");
    EXPECT_EQ(eps, 1.000001 * bounds[0]);
}

TEST_F(Epsilon, ThresholdBeyondTheSampleTakesTheLargestBound)
{
    pivot_row(random_row(300));
    num_distances = 300 * 299 / 2;
    settings.prop_similar = 1.0;
    srand(77);
    std::vector<double> bounds = sampled_bounds();
    run_random.seed(77);
    testing::internal::CaptureStderr();
    double eps = estimate_epsilon();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(eps, 1.000001 * bounds.back());
}

TEST_F(Epsilon, AllBoundsZeroGiveZero)
{
    pivot_row(std::vector<double>(50, 2.5));
    num_distances = 1000;
    testing::internal::CaptureStderr();
    EXPECT_EQ(estimate_epsilon(), 0.0);
    testing::internal::GetCapturedStderr();
}

TEST_F(Epsilon, TwoObjectsGiveTheirOneBound)
{
    pivot_row({1.0, 4.0});
    num_distances = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(estimate_epsilon(), 1.000001 * 3.0);
    testing::internal::GetCapturedStderr();
}

TEST_F(Epsilon, LowerBoundIsTheLargestPivotDifferenceIgnoringNaN)
{
    object_count = 2;
    settings.num_pivots = 3;
    pivots = new int[3]{0, 0, 0};
    pivot_dists = new double[6]{1.0, 3.0,  NaN, 0.0,  5.0, 4.5};
    EXPECT_EQ(pivot_lower_bound(0, 1), 2.0);
    EXPECT_EQ(pivot_lower_bound(1, 0), 2.0);
}

// ---------------------------------------------------------------------------
// The packed cell test

TEST(PackedCells, OneFieldPassesFineCellsWithinThreeModulo32)
{
    int64_t c1, c2;
    packed_masks(1, c1, c2);
    EXPECT_EQ(c1, 31);
    EXPECT_EQ(c2, 24);
    for (int vi = 0; vi < 32; vi++)
        for (int vj = 0; vj < 32; vj++) {
            int diff = ((vi - vj) % 32 + 32) % 32;
            bool close = diff <= 3 || diff >= 29;
            int64_t inc = (vi + 3) | 32;
            EXPECT_EQ(packed_cells_close(inc, vj, c1, c2), close) << vi << " vs " << vj;
        }
}

TEST(PackedCells, TenFieldsFailWhenAnyOneFieldIsFourApart)
{
    int64_t c1, c2;
    packed_masks(10, c1, c2);
    int64_t inc = 0, far = 0, near = 0;
    for (int f = 0; f < 10; f++) {
        int v = 3 * f;
        inc = (inc << 6) | (((v + 3) & 31) | 32);
        near = (near << 6) | ((v + (f % 7) - 3) & 31);   // -3 .. +3 apart
        far = (far << 6) | ((f == 4 ? v + 4 : v) & 31);
    }
    EXPECT_TRUE(packed_cells_close(inc, near, c1, c2));
    EXPECT_FALSE(packed_cells_close(inc, far, c1, c2));
}

TEST(PackedCells, TheScanFindsTheFirstCloseWordInEveryLaneWidth)
{
    // Words of ten fields, most far from the row's: none close, one close
    // word at each place of the range (first, inside a group of four or
    // eight, last, past the end), and many close; ranges from empty to a
    // few groups long, starting anywhere in a group.
    int64_t c1, c2;
    packed_masks(10, c1, c2);
    std::mt19937_64 gen(17);
    int64_t inc = 0, near = 0;
    for (int f = 0; f < 10; f++) {
        int v = static_cast<int>(gen() % 32);
        inc = (inc << 6) | (((v + 3) & 31) | 32);
        near = (near << 6) | ((v + 2) & 31);
    }
    auto far_word = [&] {
        int64_t w = near;
        int f = static_cast<int>(gen() % 10);
        int64_t shifted = ((((near >> (6 * f)) & 31) + 4 + static_cast<int64_t>(gen() % 20)) & 31);
        return (w & ~(int64_t(63) << (6 * f))) | (shifted << (6 * f));
    };
    std::vector<int64_t> words(64);
    for (int from : {0, 1, 3, 7, 9})
        for (int length : {0, 1, 3, 4, 5, 8, 9, 16, 23, 40})
            for (int close_at : {-1, 0, 1, 3, 4, 7, 8, 15, 22, 39, 40, 50}) {
                SCOPED_TRACE("from=" + std::to_string(from) + " length=" + std::to_string(length) +
                             " close at " + std::to_string(close_at));
                for (int64_t &w : words)
                    w = far_word();
                if (close_at >= 0)
                    words[from + close_at] = near;
                int to = from + length - 1;
                int expected = close_at >= 0 && close_at < length ? from + close_at : to + 1;
                for (int lanes : {1, 4, 8, 0})
                    EXPECT_EQ(next_packed_close(words.data(), inc, from, to, c1, c2, lanes), expected) << lanes;
                // Every word close: the first of the range.
                std::fill(words.begin(), words.end(), near);
                for (int lanes : {1, 4, 8, 0})
                    EXPECT_EQ(next_packed_close(words.data(), inc, from, to, c1, c2, lanes), from) << lanes;
            }
}

TEST(PackedCells, FineCellsAreTheLowFiveBitsOfTheFloor)
{
    EXPECT_EQ(fine_cell_bits(29.5, 1.0), 29);
    EXPECT_EQ(fine_cell_bits(33.0, 1.0), 1);
    EXPECT_EQ(fine_cell_bits(-0.5, 1.0), 31);    // -1 in two's complement
    EXPECT_EQ(fine_cell_bits(1e300, 1e-300), 0); // clamped to 2^62
    EXPECT_EQ(grid_cell(7.0, 3.0), 2);
    EXPECT_EQ(grid_cell(-0.1, 3.0), -1);
    EXPECT_EQ(grid_cell(1e300, 1.0), CELL_LIMIT);
    EXPECT_EQ(grid_cell(-1e300, 1.0), -CELL_LIMIT);
}

// ---------------------------------------------------------------------------
// The join

class Join : public SmallDist {
  protected:
    std::vector<Pair> sunk;   // the pairs the join sent, in order
    std::string out, err;

    void SetUp() override
    {
        SmallDist::SetUp();
        join_pair_sink = [this](int i, int j, double) { sunk.push_back(Pair(i, j)); };
        // The join tests give pivot tables only, no data to measure.
        join_pair_value = [](int, int) { return 0.0; };
    }

    // Pivot table of N objects: rows[p][o].
    void table(const std::vector<std::vector<double>> &rows)
    {
        delete_pivots();
        int P = (int)rows.size();
        object_count = (int)rows[0].size();
        settings.num_pivots = P;
        pivots = new int[P]();
        pivot_dists = new double[(size_t)P * object_count];
        for (int p = 0; p < P; p++)
            std::copy(rows[p].begin(), rows[p].end(), pivot_dists + (size_t)p * object_count);
    }

    void run(double eps, int split)
    {
        settings.split_threshold = split;
        sunk.clear();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        small_dists_work(eps);
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
    }

    // The pairs found by looking at every pair with the same two tests.
    std::set<Pair> brute_force(double eps)
    {
        int P = settings.num_pivots;
        int64_t c1, c2;
        packed_masks(std::min(P, PACKED_PIVOTS), c1, c2);
        std::set<Pair> pairs;
        for (int a = 0; a < object_count; a++)
            for (int b = a + 1; b < object_count; b++) {
                if (!join_member(a) || !join_member(b))
                    continue;
                int64_t opt_a, inc_a, opt_b, inc_b;
                pack_fine_cells(eps, a, opt_a, inc_a);
                pack_fine_cells(eps, b, opt_b, inc_b);
                // The join meets a pair in either order; the test is
                // symmetric, so one order decides.
                if (!packed_cells_close(inc_a, opt_b, c1, c2))
                    continue;
                bool close = true;
                for (int p = 0; p < P; p++)
                    if (std::fabs(pivot_dists[(size_t)p * object_count + a] -
                                  pivot_dists[(size_t)p * object_count + b]) > eps)
                        close = false;
                if (close)
                    pairs.insert(Pair(a, b));
            }
        return pairs;
    }

    // The recorded pairs, smaller object first; fails on a repeated pair.
    std::set<Pair> sunk_set()
    {
        std::set<Pair> pairs;
        for (const Pair &p : sunk)
            EXPECT_TRUE(pairs.insert(Pair(std::min(p.first, p.second), std::max(p.first, p.second))).second)
                << "pair " << p.first << "," << p.second << " sent twice";
        return pairs;
    }
};

TEST_F(Join, FindsExactlyTheBruteForcePairsWhateverTheSplitThreshold)
{
    struct Case { int n; int pivots; double eps; };
    const Case cases[] = {
        {150, 1, 0.5}, {150, 3, 1.5}, {200, 5, 4.0}, {120, 12, 6.0},
        {200, 2, 0.05}, {60, 4, 100.0},
    };
    for (const Case &c : cases) {
        std::mt19937 gen(c.n * 31 + c.pivots);
        std::uniform_real_distribution<double> u(0, 10);
        std::vector<std::vector<double>> rows(c.pivots);
        for (auto &row : rows)
            for (int o = 0; o < c.n; o++)
                row.push_back(u(gen));
        table(rows);
        std::set<Pair> expected = brute_force(c.eps);
        int64_t all = (int64_t)c.n * (c.n - 1) / 2;
        for (int split : {1, 7, 1000, c.n, c.n + 5}) {
            SCOPED_TRACE("n=" + std::to_string(c.n) + " P=" + std::to_string(c.pivots) +
                         " eps=" + std::to_string(c.eps) + " split=" + std::to_string(split));
            run(c.eps, split);
            EXPECT_EQ(sunk_set(), expected);
            EXPECT_EQ(neg_res1 + neg_res2 + (int64_t)sunk.size(), join_pairs_examined);
            EXPECT_LE(join_pairs_examined, all);
            if (split >= c.n) {
                EXPECT_EQ(join_pairs_examined, all);
            }
            EXPECT_EQ(out, "neg_res1 = " + std::to_string(neg_res1) +
                               "  neg_res2 = " + std::to_string(neg_res2) + "\n");
        }
    }
}

TEST_F(Join, DifferenceOfExactlyEpsilonPasses)
{
    // eps 3 makes fine cells of width 1: 1.0 and 4.0 are fine cells 1 and 4.
    table({{1.0, 4.0}});
    run(3.0, 1000);
    EXPECT_EQ(sunk, std::vector<Pair>({{0, 1}}));
}

TEST_F(Join, CellsTwoApartAreNeverPaired)
{
    // Cells 0 and 2 along pivot 0, equal along pivot 1: the split blocks are
    // dismissed before any pair is examined.
    table({{0.5, 6.5}, {2.0, 2.0}});
    run(3.0, 1);
    EXPECT_TRUE(sunk.empty());
    EXPECT_EQ(join_pairs_examined, 0);
}

TEST_F(Join, FineCellsZeroAndTwentyNinePassThePackedTestOnly)
{
    table({{0.5, 29.5}});
    run(3.0, 1000);
    EXPECT_TRUE(sunk.empty());
    EXPECT_EQ(neg_res1, 0);
    EXPECT_EQ(neg_res2, 1);
}

TEST_F(Join, StoresEachPassingPairThroughTheStore)
{
    // The run's own sink and value: the store and the measure.
    join_pair_sink = nullptr;
    join_pair_value = nullptr;
    objects({0, 1, 2, 30});
    store_for(10);
    table({{1.0, 1.2, 1.4, 1.1}});
    int time_before = abstract_time;
    run(1.0, 1000);
    std::map<Pair, double> expected = {{{0, 1}, 1}, {{0, 2}, 2}, {{0, 3}, 30},
                                       {{1, 2}, 1}, {{1, 3}, 29}, {{2, 3}, 28}};
    EXPECT_EQ(stored_pairs(), expected);
    EXPECT_EQ(abstract_time, time_before + 1);
}

TEST_F(Join, ObjectsWithNaNOrInfinitePivotDistancesTakeNoPart)
{
    table({{1.0, 1.0, 1.0, 1.0, 1.0},
           {2.0, NaN, 2.0, INF, -INF}});
    for (int split : {1, 1000}) {
        run(1.0, split);
        EXPECT_EQ(sunk_set(), std::set<Pair>({{0, 2}}));
    }
}

TEST_F(Join, NoObjectWithAFinitePivotTableJoinsNothing)
{
    table({{NaN, INF}});
    run(1.0, 1000);
    EXPECT_TRUE(sunk.empty());
    EXPECT_EQ(out, "neg_res1 = 0  neg_res2 = 0\n");
}

// The join as one thread walks it, block by block and pair by pair: the
// order in which pairs must reach the store.
struct PlainJoin {
    Run &run;
    int P, n;
    double eps;
    std::vector<int> cell, order;
    std::vector<int64_t> opt, inc;
    int64_t c1, c2;
    int split;
    std::vector<Pair> pairs;

    PlainJoin(Run &r, double e, int threshold)
        : run(r), P(r.settings.num_pivots), n(r.object_count), eps(e), split(threshold)
    {
        cell.resize((size_t)P * n);
        opt.resize(n);
        inc.resize(n);
        for (int o = 0; o < n; o++) {
            for (int p = 0; p < P; p++)
                cell[(size_t)p * n + o] = grid_cell(run.pivot_dists[(size_t)p * n + o], eps);
            run.pack_fine_cells(eps, o, opt[o], inc[o]);
            order.push_back(o);
        }
        packed_masks(std::min(P, PACKED_PIVOTS), c1, c2);
        static PlainJoin *self;
        self = this;
        qsort(order.data(), n, sizeof(int), [](const void *a, const void *b) {
            for (int p = 0; p < self->P; p++) {
                int d = self->at(p, *(const int *)a) - self->at(p, *(const int *)b);
                if (d)
                    return d;
            }
            return 0;
        });
        join(0, n - 1, 0, n - 1, 0);
    }
    int at(int p, int o) const { return cell[(size_t)p * n + o]; }
    void join(int s1, int e1, int s2, int e2, int d)
    {
        if (s1 > e2 || s2 > e2)
            return;
        for (int k = d; k < P; k++) {
            int a1 = at(k, order[s1]), b1 = at(k, order[e1]), a2 = at(k, order[s2]), b2 = at(k, order[e2]);
            if (a1 == b1 && a2 == b2) {
                if (std::abs(a1 - a2) >= 2)
                    return;
                if (k == d && a1 == a2)
                    d++;
            } else {
                if (b2 + 2 <= a1 || b1 + 2 <= a2)
                    return;
                break;
            }
        }
        if (e1 - s1 < split) {
            for (int i = s1; i <= e1; i++)
                for (int j = std::max(i + 1, s2); j <= e2; j++) {
                    int a = order[i], b = order[j];
                    bool pass = packed_cells_close(inc[a], opt[b], c1, c2);
                    for (int p = P - 1; pass && p >= d; p--)
                        pass = std::fabs(run.pivot_dists[(size_t)p * n + a] - run.pivot_dists[(size_t)p * n + b]) <= eps;
                    if (pass)
                        pairs.push_back(Pair(a, b));
                }
            return;
        }
        int m1 = s1 + (e1 - s1) / 2, m2 = s2 + (e2 - s2) / 2;
        join(s1, m1, s2, m2, d);
        join(s1, m1, m2 + 1, e2, d);
        join(m1 + 1, e1, s2, m2, d);
        join(m1 + 1, e1, m2 + 1, e2, d);
    }
};

TEST_F(Join, PairsReachTheSinkInTheSingleThreadOrderWhateverTheThreadsAndLeaves)
{
    // Large enough for sorted windows within the leaves, for leaves cut into
    // slices and for several batches; pivot distances of clustered objects.
    struct Case { int n; int pivots; double eps; int split; };
    const Case cases[] = {
        {4000, 12, 0.6, 1000}, {4000, 24, 0.9, 100}, {3000, 5, 0.3, 3000}, {2500, 20, 1.2, 64},
    };
    int saved_threads = num_threads;
    for (const Case &c : cases) {
        std::mt19937 gen(c.n + c.pivots);
        std::normal_distribution<double> spread(0, 0.3);
        std::uniform_int_distribution<int> group(0, 7);
        std::vector<std::vector<double>> rows(c.pivots, std::vector<double>(c.n));
        std::vector<int> groups(c.n);
        for (int &g : groups)
            g = group(gen);
        for (int p = 0; p < c.pivots; p++)
            for (int o = 0; o < c.n; o++)
                rows[p][o] = 20 + 3 * ((groups[o] * (p + 3)) % 8) + spread(gen);
        table(rows);
        settings.split_threshold = c.split;
        PlainJoin plain(*this, c.eps, c.split);
        ASSERT_GT(plain.pairs.size(), 1000u);
        for (int threads : {1, 3}) {
            SCOPED_TRACE("n=" + std::to_string(c.n) + " P=" + std::to_string(c.pivots) +
                         " split=" + std::to_string(c.split) + " threads=" + std::to_string(threads));
            num_threads = threads;
            run(c.eps, c.split);
            EXPECT_TRUE(sunk == plain.pairs);
            EXPECT_EQ(neg_res1 + neg_res2 + (int64_t)sunk.size(), join_pairs_examined);
        }
    }
    num_threads = saved_threads;
}

TEST_F(Join, CellsBeyondTheIntRangeKeepTheExactTest)
{
    // With eps 1e-12 these distances leave the cell range and share the
    // clamped cell; only the exact test can tell them apart.
    table({{1e10, 1e10 + 5, 1e10, -1e10, -1e10 - 5}});
    run(1e-12, 1000);
    EXPECT_EQ(sunk_set(), std::set<Pair>({{0, 2}}));
    run(1e-12, 1);
    EXPECT_EQ(sunk_set(), std::set<Pair>({{0, 2}}));
}

TEST(JoinSkipped, WhenTheCellWidthIsNotAPositiveFiniteNumber)
{
    struct Case { double eps; bool skipped; };
    const Case cases[] = {{1.0, false}, {1e-300, false}, {0.0, true}, {-1.0, true},
                          {NaN, true}, {INF, true}, {5e-324, true}};
    for (const Case &c : cases)
        EXPECT_EQ(join_skipped(c.eps), c.skipped) << c.eps;
}

TEST_F(Join, EpsilonWithoutCellsSkipsTheJoinWithAWarning)
{
    struct Case { double eps; const char *says; };
    const Case cases[] = {
        {0.0, "WARNING! Epsilon is 0 or below"},
        {-1.0, "WARNING! Epsilon is 0 or below"},
        {NaN, "WARNING! Epsilon is not a finite number"},
        {INF, "WARNING! Epsilon is not a finite number"},
        {5e-324, "WARNING! Epsilon is too small"},
    };
    table({{0.0, 0.0, 0.0}});
    for (const Case &c : cases) {
        run(c.eps, 1000);
        EXPECT_TRUE(sunk.empty()) << c.eps;
        EXPECT_EQ(out, "") << c.eps;
        EXPECT_EQ(err.rfind(std::string("\n") + c.says, 0), 0u) << err;
    }
}

}  // namespace
