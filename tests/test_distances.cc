// Unit tests of the distance store, the candidate heap, the merge loop and
// the output file, driven through the run state and the option setters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include <netcdfcpp.h>

#include "Distance.h"
#include "brivane.h"
#include "brivane_arg.h"
#include "distances.h"
#include "record_lists.h"
#include "program_sink.h"
#include "run.h"
#include "run_error.h"
#include "tree_file.h"

namespace {

const double INF = std::numeric_limits<double>::infinity();
const double QNAN = std::numeric_limits<double>::quiet_NaN();

// |x[0] - y[0]|, counting its calls.
template <class T> class CountingMeasure : public Distance<T> {
  public:
    int calls = 0;
    double distance(const T *x, const T *y, int, int) override
    {
        calls++;
        return std::fabs(double(x[0]) - double(y[0]));
    }
};

struct Pair {
    int i, j;
    double d;
};

struct Merges {
    std::vector<int32_t> left, right;
    std::vector<double> d;
};

// A run over a test store: one double per object, a measure that counts its
// calls, and the helpers that fill the store.
struct StoreRun : Run {
    // The store's lines go to standard error, where the tests read them.
    StoreRun() { run_sink = &program_sink(); }

    CountingMeasure<double> measure;
    std::vector<double> values;

    char *text(const std::string &s) { return strdup(s.c_str()); }

    // A store over n objects of one double each (object i has value i), sized by
    // the given mode: ROWS takes `distances` as num_distances, DISTLIST as M.
    void make_store(int n, int mode = CLUSTER_DISTLIST, int distances = -1)
    {
        object_count = n;
        row_length = 1;
        type = ncDouble;
        values.assign(n, 0.0);
        for (int i = 0; i < n; i++)
            values[i] = i;
        data_double = values.data();
        measure.calls = 0;
        measure_double = &measure;
        distance_warning = 0;
        settings.cluster = mode;
        settings.all_pairwise = false;
        if (distances < 0)
            distances = n * (n - 1) / 2;
        num_distances = distances;
        list_entries = distances;
        testing::internal::CaptureStderr();
        init_distances();
        testing::internal::GetCapturedStderr();
    }

    // The records on slot i's list, from its head.
    std::vector<int32_t> list_of(int i)
    {
        std::vector<int32_t> out;
        list_walk(i, [&](int32_t r) { out.push_back(r); });
        return out;
    }

    // A store holding exactly the given pairs, in that order.
    void store_pairs(int n, const std::vector<Pair> &pairs, int linkage = LINKAGE_AVE)
    {
        make_store(n, CLUSTER_DISTLIST, static_cast<int>(pairs.size()));
        for (const Pair &p : pairs)
            getdist_given(p.i, p.j, p.d);
        settings.linkage = linkage;
    }

    // Objects under each dendrogram node, read before the leaf order rewrites
    // leaf children.
    std::vector<std::set<int>> node_members()
    {
        std::vector<std::set<int>> members(2 * object_count - 1);
        for (int n = 0; n < 2 * object_count - 1; n++) {
            if (n < object_count) {
                members[n] = {n};
            } else {
                members[n] = members[leftnode[n]];
                members[n].insert(members[rightnode[n]].begin(), members[rightnode[n]].end());
            }
        }
        return members;
    }

    // Builds the heap over pairs (0,k+1) with the given keys, in that order.
    void heap_over(const std::vector<double> &keys)
    {
        std::vector<Pair> pairs;
        for (size_t k = 0; k < keys.size(); k++)
            pairs.push_back({0, static_cast<int>(k) + 1, keys[k]});
        store_pairs(static_cast<int>(keys.size()) + 1, pairs);
        build_heap();
    }

    void expect_heap_consistent()
    {
        for (int p = 1; p <= heap_size; p++) {
            EXPECT_EQ(pair_heap_loc(heap_record(p)), p);
            if (!(std::isnan(heap[p].key) && std::isnan(heap_record(p)->dist))) {
                EXPECT_EQ(heap[p].key, heap_record(p)->dist) << "at " << p;
            }
            if (p > 1) {
                EXPECT_FALSE(ranks_after(heap[p / 2].key, heap[p].key)) << "at " << p;
            }
        }
    }

    Merges merges_with_pool(int linkage, int64_t blocks, unsigned seed)
    {
        std::mt19937 gen(seed);
        int n = 300;
        std::vector<Pair> pairs;
        std::set<std::pair<int, int>> seen;
        while (pairs.size() < 4000) {
            int i = gen() % n, j = gen() % n;
            if (i == j || !seen.insert({std::min(i, j), std::max(i, j)}).second)
                continue;
            pairs.push_back({i, j, double(gen() % 6)});
        }
        make_store(n, CLUSTER_DISTLIST, static_cast<int>(pairs.size()));
        if (blocks > 0)
            list_pool_init(n, blocks);
        for (const Pair &p : pairs)
            getdist_given(p.i, p.j, p.d);
        settings.linkage = linkage;
        run_random.seed(1);
        cluster_merge();
        return {std::vector<int32_t>(leftnode, leftnode + 2 * n - 1),
                std::vector<int32_t>(rightnode, rightnode + 2 * n - 1), std::vector<double>(dst, dst + 2 * n - 1)};
    }
};

class Store : public testing::Test, public StoreRun {};
class StoreErrors : public testing::Test, public StoreRun {};
class Heap : public testing::Test, public StoreRun {};
class Cluster : public testing::Test, public StoreRun {};
class Permute : public testing::Test, public StoreRun {};

// ---------------------------------------------------------------------------
// Store

TEST_F(Store, InitSizesThePoolByMode)
{
    struct Case {
        const char *what;
        int mode;
        bool all_pairwise;
        int n, num, m;
        int expected;
    } cases[] = {
        {"rows: the budget plus one spare pair", CLUSTER_ROWS, false, 10, 30, 0, 62},
        {"columns: the same", CLUSTER_COLS, false, 10, 30, 0, 62},
        {"rows, all pairwise: every pair", CLUSTER_ROWS, true, 10, 30, 0, 90},
        {"distance matrix: every pair", CLUSTER_DISTMAT, false, 10, 30, 0, 90},
        {"distance list: every entry", CLUSTER_DISTLIST, false, 10, 30, 7, 14},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        object_count = c.n;
        num_distances = c.num;
        list_entries = c.m;
        settings.cluster = c.mode;
        if (c.all_pairwise)
            settings.all_pairwise = true;
        else
            settings.all_pairwise = false;
        testing::internal::CaptureStderr();
        init_distances();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(dist_size, c.expected);
        EXPECT_EQ(dist_hash_size, 6 * c.expected + 1);
        EXPECT_EQ(err, "dist_size=" + std::to_string(c.expected) + "\n");
        EXPECT_EQ(n_dist, 0);
        EXPECT_EQ(abstract_time, 1);
        for (int i = 0; i < dist_hash_size; i++)
            ASSERT_EQ(dist_hash[i], NO_RECORD);
        for (int i = 0; i < object_count; i++) {
            EXPECT_EQ(node[i].list_head, NO_RECORD);
            EXPECT_EQ(node[i].dist_count, 0);
            EXPECT_EQ(node[i].size, 1);
            EXPECT_EQ(node[i].number, i);
            EXPECT_EQ(node[i].merged, 0);
        }
    }
    settings.all_pairwise = false;
}

TEST_F(StoreErrors, CapacityBeyond32BitsIsRefused)
{
    struct Case {
        const char *what;
        int mode;
        bool all_pairwise;
        int n, num;
    } cases[] = {
        {"distance matrix over 18,920 objects", CLUSTER_DISTMAT, false, 18920, 0},
        {"all pairs of 18,920 objects", CLUSTER_ROWS, true, 18920, 0},
        {"a budget of 178,956,971 distances", CLUSTER_ROWS, false, 1000, 178956971},
        {"a budget past the 32-bit range", CLUSTER_ROWS, false, 1000, 2000000000},
        {"a matrix over 100,000 objects", CLUSTER_DISTMAT, false, 100000, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        object_count = c.n;
        num_distances = c.num;
        settings.cluster = c.mode;
        if (c.all_pairwise)
            settings.all_pairwise = true;
        else
            settings.all_pairwise = false;
        EXPECT_RUN_ERROR(init_distances(), 1, "^ERROR! Too many distances for the distance store: ");
    }
    settings.all_pairwise = false;
}

TEST_F(StoreErrors, NoObjectsAreRefused)
{
    object_count = 0;
    list_entries = 0;
    settings.cluster = CLUSTER_DISTLIST;
    EXPECT_RUN_ERROR(init_distances(), 1, "^ERROR! There are no objects to cluster!\n$");
}

TEST_F(Store, NewPairTakesTheEvenSlotSmallerObjectFirst)
{
    make_store(8);
    double d = getdist(5, 2, NO_DISTANCE);
    EXPECT_EQ(d, 3.0);
    EXPECT_EQ(measure.calls, 1);
    ASSERT_EQ(n_dist, 2);
    EXPECT_EQ(dist[0].x, 2);
    EXPECT_EQ(dist[0].y, 5);
    EXPECT_EQ(dist[1].x, 5);
    EXPECT_EQ(dist[1].y, 2);
    EXPECT_EQ(symmetric(&dist[0]), &dist[1]);
    EXPECT_EQ(symmetric(&dist[1]), &dist[0]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(dist) % 64, 0u) << "twins share a cache line";
    for (int r = 0; r < 2; r++) {
        EXPECT_EQ(dist[r].dist, 3.0);
        EXPECT_EQ(dist[r].multi, 1);
        EXPECT_EQ(pair_heap_loc(&dist[r]), 0);
        EXPECT_EQ(record_time(&dist[r]), 1);
    }
    EXPECT_EQ(list_of(2), std::vector<int32_t>{0});
    EXPECT_EQ(list_of(5), std::vector<int32_t>{1});
    EXPECT_EQ(node[2].dist_count, 1);
    EXPECT_EQ(node[5].dist_count, 1);
    EXPECT_EQ(hash_lookup(2, 5), &dist[0]);
    EXPECT_EQ(hash_lookup(5, 2), &dist[1]);
    EXPECT_EQ(hash_lookup(2, 6), nullptr);
}

TEST_F(Store, KnownPairIsReturnedInBothOrdersWithoutComputing)
{
    make_store(8);
    getdist(5, 2, NO_DISTANCE);
    EXPECT_EQ(getdist(2, 5, NO_DISTANCE), 3.0);
    EXPECT_EQ(getdist(5, 2, NO_DISTANCE), 3.0);
    EXPECT_EQ(measure.calls, 1);
    EXPECT_EQ(n_dist, 2);
}

TEST_F(Store, FirstStoredValueWins)
{
    make_store(8);
    EXPECT_EQ(getdist(3, 7, 0.5), 0.5);
    EXPECT_EQ(getdist(7, 3, 0.9), 0.5);
    EXPECT_EQ(getdist_given(3, 7, 0.9), 0.5);
    EXPECT_EQ(measure.calls, 0);
    EXPECT_EQ(n_dist, 2);
}

TEST_F(Store, OfferedValuesAtOrBelowTheMarkerAreComputed)
{
    struct Case {
        const char *what;
        double offered;
        bool computed;
    } cases[] = {
        {"the marker itself", -1e100, true},
        {"below the marker", -1e101, true},
        {"NaN", QNAN, true},
        {"just above the marker", -9.9e99, false},
        {"an ordinary value", 0.25, false},
        {"infinity", INF, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        make_store(8);
        double d = getdist(1, 4, c.offered);
        EXPECT_EQ(measure.calls, c.computed ? 1 : 0);
        double expected = c.computed ? 3.0 : c.offered;
        EXPECT_EQ(d, expected);
        EXPECT_EQ(hash_lookup(1, 4)->dist, expected);
        EXPECT_EQ(hash_lookup(4, 1)->dist, expected);
    }
}

TEST_F(Store, GivenDistancesAreStoredAsTheyAre)
{
    struct Case {
        const char *what;
        double given;
    } cases[] = {{"far below the marker", -1e200}, {"the marker", -1e100}, {"plain", 2.5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        make_store(8);
        EXPECT_EQ(getdist_given(6, 1, c.given), c.given);
        EXPECT_EQ(measure.calls, 0);
        EXPECT_EQ(hash_lookup(1, 6)->dist, c.given);
        EXPECT_EQ(dist[0].x, 1);
    }
    make_store(8);
    getdist_given(6, 1, QNAN);
    EXPECT_EQ(measure.calls, 0);
    EXPECT_TRUE(std::isnan(hash_lookup(1, 6)->dist));
}

TEST_F(Store, SelfPairIsZeroAndNeverStored)
{
    make_store(8);
    getdist_time = 99;
    EXPECT_EQ(getdist(3, 3, 7.0), 0.0);
    EXPECT_EQ(getdist_time, 0);
    getdist_time = 99;
    EXPECT_EQ(getdist_given(3, 3, 7.0), 0.0);
    EXPECT_EQ(getdist_time, 0);
    EXPECT_EQ(n_dist, 0);
    EXPECT_EQ(measure.calls, 0);
    EXPECT_EQ(hash_lookup(3, 3), nullptr);
}

TEST_F(Store, GetdistTimeTellsThePhaseAPairWasLastSeenIn)
{
    make_store(8);
    getdist(0, 1, NO_DISTANCE);
    EXPECT_EQ(getdist_time, 1);
    abstract_time = 2;
    getdist(1, 0, NO_DISTANCE);
    EXPECT_EQ(getdist_time, 1) << "seen first in phase 1";
    EXPECT_EQ(record_time(hash_lookup(1, 0)), 2);
    EXPECT_EQ(record_time(hash_lookup(0, 1)), 1) << "the twin keeps its own stamp";
    getdist(1, 0, NO_DISTANCE);
    EXPECT_EQ(getdist_time, 2) << "already asked for in this phase";
    getdist(2, 3, NO_DISTANCE);
    EXPECT_EQ(getdist_time, 2) << "new pairs carry the current phase";
    EXPECT_EQ(record_time(hash_lookup(2, 3)), 2);
}

TEST_F(Store, FullStoreDropsNewPairsAndWarnsOnce)
{
    make_store(10, CLUSTER_ROWS, 1);
    ASSERT_EQ(dist_size, 4);
    testing::internal::CaptureStderr();
    getdist(0, 1, NO_DISTANCE);
    getdist(0, 2, NO_DISTANCE);
    EXPECT_EQ(n_dist, 4);
    abstract_time = 3;
    EXPECT_EQ(getdist(0, 9, NO_DISTANCE), 9.0);
    EXPECT_EQ(getdist_time, 3);
    EXPECT_EQ(getdist(4, 9, NO_DISTANCE), 5.0);
    EXPECT_EQ(getdist_given(5, 9, 0.5), 0.5);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "WARNING! Distance memory full, discarding some of the distances!\n");
    EXPECT_EQ(n_dist, 4);
    EXPECT_EQ(hash_lookup(0, 9), nullptr);
    EXPECT_EQ(distance_warning, 1);
    int calls = measure.calls;
    getdist(0, 9, NO_DISTANCE);
    EXPECT_EQ(measure.calls, calls + 1) << "a dropped pair is computed again";
    EXPECT_EQ(getdist(1, 0, NO_DISTANCE), 1.0) << "stored pairs are still found";
}

TEST_F(Store, RecordCountStaysEven)
{
    make_store(20, CLUSTER_ROWS, 30);
    std::mt19937 gen(3);
    testing::internal::CaptureStderr();
    for (int k = 0; k < 200; k++) {
        getdist(gen() % 20, gen() % 20, NO_DISTANCE);
        ASSERT_EQ(n_dist % 2, 0);
        ASSERT_LE(n_dist, dist_size);
    }
    testing::internal::GetCapturedStderr();
}

TEST_F(Store, ChangeHashRekeysWithoutTouchingTheRecord)
{
    make_store(8);
    getdist(1, 2, NO_DISTANCE);
    getdist(1, 3, NO_DISTANCE);
    dist_t *r = hash_lookup(1, 2);
    EXPECT_EQ(change_hash(1, 2, 4, 2), r);
    EXPECT_EQ(hash_lookup(1, 2), nullptr);
    EXPECT_EQ(hash_lookup(4, 2), r);
    EXPECT_EQ(r->x, 4) << "the key is the record's own x and y";
    EXPECT_EQ(r->y, 2);
    EXPECT_EQ(node[1].dist_count, 2) << "the caller moves the record between lists";
    EXPECT_EQ(list_of(1), (std::vector<int32_t>{2, 0}))
        << "the record of (1, 3) heads 1's list, followed by the re-keyed one";
    EXPECT_EQ(node[4].dist_count, 0);
    EXPECT_NE(hash_lookup(1, 3), nullptr);
    EXPECT_EQ(hash_lookup(2, 1), nullptr) << "the twin moves with it";
    EXPECT_EQ(hash_lookup(2, 4), symmetric(r));
    EXPECT_EQ(symmetric(r)->x, 2);
    EXPECT_EQ(symmetric(r)->y, 4);
}

// A full store re-keyed at random, with keys spread over far more values
// than there are chain heads, so that pairs share chains: every pair must stay
// findable in both directions, and only there.
TEST_F(Store, LookupsFollowEveryRekeyingInBothDirections)
{
    const int n = 100000, pairs = 3000;
    make_store(n, CLUSTER_DISTLIST, pairs);
    std::mt19937 gen(5);
    std::map<std::pair<int, int>, double> model;
    auto known = [&](int i, int j) { return model.count({std::min(i, j), std::max(i, j)}) > 0; };
    while (n_dist < dist_size) {
        int i = gen() % n, j = gen() % n;
        if (i != j && !known(i, j)) {
            model[{std::min(i, j), std::max(i, j)}] = n_dist;
            getdist_given(i, j, n_dist);
        }
    }
    int shared = 0;
    for (int h = 0; h < dist_hash_size; h++)
        if (dist_hash[h] != NO_RECORD && dist[dist_hash[h]].more != NO_RECORD)
            shared++;
    ASSERT_GT(shared, 20) << "chains of two pairs or more";
    for (int step = 0; step < pairs; step++) {
        auto from = std::next(model.begin(), gen() % model.size());
        int i2 = gen() % n, j2 = gen() % n;
        if (i2 == j2 || known(i2, j2))
            continue;
        double d = from->second;
        dist_t *r = change_hash(from->first.second, from->first.first, i2, j2);
        ASSERT_EQ(r->dist, d);
        model.erase(from);
        model[{std::min(i2, j2), std::max(i2, j2)}] = d;
    }
    for (const auto &m : model) {
        int i = m.first.first, j = m.first.second;
        dist_t *r = hash_lookup(i, j);
        ASSERT_NE(r, nullptr) << i << "," << j;
        EXPECT_EQ(r->x, i);
        EXPECT_EQ(r->y, j);
        EXPECT_EQ(r->dist, m.second);
        EXPECT_EQ(symmetric(r), hash_lookup(j, i));
    }
    for (int k = 0; k < 20000; k++) {
        int i = gen() % n, j = gen() % n;
        if (!known(i, j)) {
            EXPECT_EQ(hash_lookup(i, j), nullptr) << i << "," << j;
        }
    }
}

TEST_F(Store, CalcDistanceDispatchesOnTheElementType)
{
    CountingMeasure<char> mc;
    CountingMeasure<int> mi;
    CountingMeasure<float> mf;
    char vc[] = {1, 5};
    int vi[] = {10, 50, 20, 70};
    float vf[] = {0.5f, 2.5f};
    measure_char = &mc;
    measure_int = &mi;
    measure_float = &mf;
    row_length = 1;
    data_char = vc;
    data_float = vf;
    type = ncChar;
    EXPECT_EQ(calc_distance(0, 1), 4.0);
    type = ncFloat;
    EXPECT_EQ(calc_distance(1, 0), 2.0);
    row_length = 2;
    data_int = vi;
    type = ncInt;
    EXPECT_EQ(calc_distance(0, 1), 10.0) << "object 1 starts at element C";
    EXPECT_EQ(mc.calls + mi.calls + mf.calls, 3);
    type = ncShort;
    EXPECT_TRUE(std::isnan(calc_distance(0, 1)));
    type = ncByte;
    EXPECT_TRUE(std::isnan(calc_distance(0, 1)));
}

TEST_F(Store, SpearmansMeasuresFromRanksOfEachRowGiveTheMeasuresBits)
{
    // Rows of 1 to 40 elements: normal values, ties (values rounded to a
    // few levels), NaN in some rows, and integers; Spearman's distance and
    // its absolute form from the ranks made once against the measure on the
    // two rows, to the last bit, and the ranks charged to the budget.
    std::mt19937_64 gen(5);
    std::normal_distribution<double> normal;
    for (const char *key : {"spearman", "absspearman"})
        for (int c : {1, 2, 3, 17, 40})
            for (int kind = 0; kind < 3; kind++) {
                SCOPED_TRACE(std::string(key) + " c " + std::to_string(c) + " kind " + std::to_string(kind));
                const int n = 30;
                std::vector<double> x((size_t)n * c);
                std::vector<int> xi((size_t)n * c);
                for (size_t k = 0; k < x.size(); k++) {
                    x[k] = kind == 1 ? std::round(2 * normal(gen)) : normal(gen);
                    xi[k] = (int)std::round(3 * normal(gen));
                }
                if (kind == 2)
                    for (int i = 0; i < n; i += 7)
                        x[(size_t)i * c + (size_t)(gen() % c)] = std::nan("");
                object_count = n;
                row_length = c;
                for (int t = 0; t < 2; t++) {
                    type = t == 0 ? ncDouble : ncInt;
                    data_double = x.data();
                    data_int = xi.data();
                    rows_with_missing = nullptr;
                    make_measure(key, 0);
                    memory = 1 << 20;
                    rank_rows(key);
                    EXPECT_EQ(row_ranks.empty(), c < 2);
                    EXPECT_EQ(memory, (1 << 20) - (c < 2 ? 0 : 4 * n * c));
                    for (int i = 0; i < n; i++)
                        for (int j = 0; j < n; j++) {
                            double want = t == 0 ? measure_double->distance(&x[(size_t)i * c], &x[(size_t)j * c], c, c)
                                                 : measure_int->distance(&xi[(size_t)i * c], &xi[(size_t)j * c], c, c);
                            double got = calc_distance(i, j);
                            if (std::isnan(want))
                                EXPECT_TRUE(std::isnan(got)) << i << "," << j;
                            else
                                EXPECT_EQ(want, got) << i << "," << j;
                        }
                }
                row_ranks.clear();
                row_ranks_nan.clear();
            }
    measure_double = &measure;
}

// ---------------------------------------------------------------------------
// Candidate heap

TEST_F(Heap, HoldsTheEvenRecordOfEveryPair)
{
    heap_over({4, 3, 2, 1});
    ASSERT_EQ(heap_size, 4);
    expect_heap_consistent();
    std::set<int> pairs;
    for (int p = 1; p <= heap_size; p++)
        pairs.insert(heap[p].pair);
    EXPECT_EQ(pairs, (std::set<int>{0, 1, 2, 3}));
    EXPECT_EQ(heap_record(1)->dist, 1.0);
    EXPECT_EQ(heap_record(1), &dist[6]) << "the even twin";
}

TEST_F(Heap, EqualKeysNeverSwap)
{
    heap_over({1, 1, 1, 1, 1});
    for (int p = 1; p <= heap_size; p++)
        EXPECT_EQ(heap_record(p), &dist[2 * (p - 1)]) << "position " << p;
    EXPECT_EQ(heap_take_top(), &dist[0]);
    EXPECT_EQ(heap_record(1), &dist[8]) << "the last entry moved up and stays";
}

TEST_F(Heap, RankOrderIsGreaterThanOnNumbersWithNaNAfterInfinity)
{
    struct Case {
        double a, b;
        bool after;
    } cases[] = {
        {2, 1, true},       {1, 2, false},      {1, 1, false},      {0.0, -0.0, false},
        {-0.0, 0.0, false}, {INF, 1e308, true}, {QNAN, INF, true},  {QNAN, -INF, true},
        {INF, QNAN, false}, {1, QNAN, false},   {QNAN, QNAN, false}, {-INF, QNAN, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ranks_after(c.a, c.b), c.after) << c.a << " after " << c.b;
}

// A NaN key sinks below the numbers and never holds one back, wherever it
// starts.
TEST_F(Heap, NaNKeysComeOutAfterEveryNumber)
{
    heap_over({QNAN, 2, 1});
    expect_heap_consistent();
    EXPECT_EQ(heap_record(1), &dist[4]) << "a NaN at the top is sifted down";
    heap_over({3, QNAN, 1});
    EXPECT_EQ(heap_record(1), &dist[4]);
    std::vector<double> order;
    while (heap_size > 0)
        order.push_back(heap_take_top()->dist);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], 1);
    EXPECT_EQ(order[1], 3);
    EXPECT_TRUE(std::isnan(order[2]));

    std::vector<double> keys;
    std::mt19937 gen(7);
    for (int k = 0; k < 60; k++)
        keys.push_back(k % 5 == 0 ? QNAN : k % 13 == 0 ? INF : double(gen() % 11));
    heap_over(keys);
    expect_heap_consistent();
    double last = -1;
    int nans = 0;
    while (heap_size > 0) {
        double d = heap_take_top()->dist;
        expect_heap_consistent();
        if (std::isnan(d)) {
            nans++;
            continue;
        }
        EXPECT_EQ(nans, 0) << d << " came out after a NaN";
        EXPECT_GE(d, last);
        last = d;
    }
    EXPECT_EQ(nans, 12);
    EXPECT_EQ(last, INF);
}

TEST_F(Heap, ResiftAndRemoveWithNaNKeys)
{
    heap_over({1, 2, 3, 4, 5});
    dist_t *r = hash_lookup(0, 1);   // the top, key 1
    r->dist = QNAN;
    heap_resift(r, 1, QNAN);
    expect_heap_consistent();
    EXPECT_EQ(heap[1].key, 2.0) << "a key that became NaN sinks";
    r->dist = 0.5;
    heap_resift(r, QNAN, 0.5);
    EXPECT_EQ(heap_record(1), r) << "a NaN key that became a number rises";
    r->dist = QNAN;
    heap_resift(r, 0.5, QNAN);
    heap_remove(hash_lookup(0, 2), 2);
    expect_heap_consistent();
    heap_remove(r, QNAN);
    expect_heap_consistent();
    std::vector<double> order;
    while (heap_size > 0)
        order.push_back(heap_take_top()->dist);
    EXPECT_EQ(order, (std::vector<double>{3, 4, 5}));
}

TEST_F(Heap, TakingTheTopYieldsAscendingKeys)
{
    std::vector<double> keys;
    std::mt19937 gen(11);
    for (int k = 0; k < 40; k++)
        keys.push_back(gen() % 17);
    heap_over(keys);
    double last = -1;
    while (heap_size > 0) {
        dist_t *t = heap_take_top();
        EXPECT_GE(t->dist, last);
        last = t->dist;
        expect_heap_consistent();
    }
}

TEST_F(Heap, SingleEntryTopLeavesItEmpty)
{
    heap_over({5});
    EXPECT_EQ(heap_take_top(), &dist[0]);
    EXPECT_EQ(heap_size, 0);
}

TEST_F(Heap, RemovingTheLastEntryOnlyShrinks)
{
    heap_over({1, 2, 3});
    dist_t *first = heap_record(1), *second = heap_record(2);
    heap_remove(symmetric(heap_record(3)), heap[3].key);
    EXPECT_EQ(heap_size, 2);
    EXPECT_EQ(heap_record(1), first);
    EXPECT_EQ(heap_record(2), second);
}

TEST_F(Heap, RemovingFromTheMiddleKeepsTheOrder)
{
    heap_over({1, 5, 2, 6, 7, 3, 4});
    dist_t *gone = hash_lookup(2, 0);  // key 5, through the twin outside the heap
    heap_remove(gone, 5);
    EXPECT_EQ(heap_size, 6);
    expect_heap_consistent();
    std::vector<double> order;
    while (heap_size > 0)
        order.push_back(heap_take_top()->dist);
    EXPECT_EQ(order, (std::vector<double>{1, 2, 3, 4, 6, 7}));
}

TEST_F(Heap, ResiftFollowsTheChangedKey)
{
    heap_over({1, 2, 3, 4, 5});
    dist_t *r = hash_lookup(0, 5);
    r->dist = 0.5;
    heap_resift(symmetric(r), 5, 0.5);
    EXPECT_EQ(heap_record(1), r);
    r->dist = 9;
    heap_resift(r, 0.5, 9);
    EXPECT_EQ(heap[1].key, 1.0);
    expect_heap_consistent();
    dist_t *unchanged = heap_record(2);
    heap_resift(unchanged, unchanged->dist, unchanged->dist);
    EXPECT_EQ(heap_record(2), unchanged) << "an unchanged key stays where it is";
}

// ---------------------------------------------------------------------------
// Merge loop

// Agglomerative clustering over the known entries of a matrix (NaN marks an
// unknown pair): every merge's object set and height, in merge order, until
// no two clusters have a known pair between them.
std::vector<std::pair<std::set<int>, double>>
naive_clustering(const std::vector<std::vector<double>> &d, int linkage)
{
    int n = static_cast<int>(d.size());
    std::vector<std::set<int>> clusters;
    for (int i = 0; i < n; i++)
        clusters.push_back({i});
    std::vector<std::pair<std::set<int>, double>> merges;
    while (clusters.size() > 1) {
        double best = INF;
        bool found = false;
        size_t ba = 0, bb = 0;
        for (size_t a = 0; a < clusters.size(); a++)
            for (size_t b = a + 1; b < clusters.size(); b++) {
                double lo = INF, hi = -INF, sum = 0;
                int known = 0;
                for (int i : clusters[a])
                    for (int j : clusters[b]) {
                        if (std::isnan(d[i][j]))
                            continue;
                        lo = std::min(lo, d[i][j]);
                        hi = std::max(hi, d[i][j]);
                        sum += d[i][j];
                        known++;
                    }
                if (!known)
                    continue;
                double v = linkage == LINKAGE_MIN   ? lo
                           : linkage == LINKAGE_MAX ? hi
                                                    : sum / known;
                if (v < best) {
                    found = true;
                    best = v;
                    ba = a;
                    bb = b;
                }
            }
        if (!found)
            break;
        clusters[ba].insert(clusters[bb].begin(), clusters[bb].end());
        merges.push_back({clusters[ba], best});
        clusters.erase(clusters.begin() + bb);
    }
    return merges;
}

TEST_F(Cluster, AllPairsKnownGiveExactLinkage)
{
    const char *names[] = {"MIN", "AVE", "MAX"};
    for (int linkage : {LINKAGE_MIN, LINKAGE_AVE, LINKAGE_MAX}) {
        for (unsigned seed = 1; seed <= 6; seed++) {
            SCOPED_TRACE(std::string(names[linkage]) + " seed " + std::to_string(seed));
            std::mt19937 gen(seed);
            std::uniform_real_distribution<double> u(0.0, 10.0);
            int n = 5 + seed * 3;
            std::vector<std::vector<double>> d(n, std::vector<double>(n, 0.0));
            std::vector<Pair> pairs;
            for (int i = 0; i < n; i++)
                for (int j = i + 1; j < n; j++) {
                    d[i][j] = d[j][i] = u(gen);
                    pairs.push_back({i, j, d[i][j]});
                }
            std::shuffle(pairs.begin(), pairs.end(), gen);
            store_pairs(n, pairs, linkage);
            cluster_merge();
            auto expected = naive_clustering(d, linkage);
            auto members = node_members();
            for (int k = 0; k < n - 1; k++) {
                EXPECT_EQ(members[n + k], expected[k].first) << "merge " << k;
                EXPECT_NEAR(dst[n + k], expected[k].second, 1e-9) << "merge " << k;
            }
        }
    }
}

// The merges of a sparse store with tied distances, in a list pool of the
// given size (0: as sized for the store).
// A pool too small for the lists is compacted or grown under the merge
// loop; the merges, ties included, stay those of a pool that never runs out.
TEST_F(Cluster, SmallListPoolsGiveTheSameMerges)
{
    const char *names[] = {"MIN", "AVE", "MAX"};
    for (int linkage : {LINKAGE_MIN, LINKAGE_AVE, LINKAGE_MAX}) {
        for (unsigned seed = 1; seed <= 3; seed++) {
            SCOPED_TRACE(std::string(names[linkage]) + " seed " + std::to_string(seed));
            Merges full = merges_with_pool(linkage, 0, seed);
            EXPECT_EQ(list_compactions, 0);
            for (int64_t blocks : {1, 300, 600}) {
                SCOPED_TRACE(std::to_string(blocks) + " blocks");
                Merges small = merges_with_pool(linkage, blocks, seed);
                EXPECT_GT(list_compactions, 0);
                EXPECT_EQ(small.left, full.left);
                EXPECT_EQ(small.right, full.right);
                EXPECT_EQ(small.d, full.d);
            }
        }
    }
}

// A sparse store makes the merge loop re-key as well as combine, over lists
// long enough for its look-ahead; the result must still be the linkage of
// the known pairs.
TEST_F(Cluster, SparseStoresGiveTheLinkageOfTheKnownPairs)
{
    const char *names[] = {"MIN", "AVE", "MAX"};
    for (int linkage : {LINKAGE_MIN, LINKAGE_AVE, LINKAGE_MAX}) {
        for (unsigned seed = 1; seed <= 6; seed++) {
            SCOPED_TRACE(std::string(names[linkage]) + " seed " + std::to_string(seed));
            std::mt19937 gen(seed);
            std::uniform_real_distribution<double> u(0.0, 10.0);
            int n = 20 + seed * 8;
            double share = 0.1 + 0.05 * seed;
            std::vector<std::vector<double>> d(n, std::vector<double>(n, QNAN));
            std::vector<Pair> pairs;
            for (int i = 0; i < n; i++)
                for (int j = i + 1; j < n; j++)
                    if (u(gen) < 10 * share) {
                        d[i][j] = d[j][i] = u(gen);
                        pairs.push_back({i, j, d[i][j]});
                    }
            std::shuffle(pairs.begin(), pairs.end(), gen);
            store_pairs(n, pairs, linkage);
            run_random.seed(1);
            cluster_merge();
            auto expected = naive_clustering(d, linkage);
            auto members = node_members();
            ASSERT_GT(expected.size(), 0u);
            for (size_t k = 0; k < expected.size(); k++) {
                EXPECT_EQ(members[n + k], expected[k].first) << "merge " << k;
                EXPECT_NEAR(dst[n + k], expected[k].second, 1e-9) << "merge " << k;
            }
            for (int k = static_cast<int>(expected.size()); k < n - 1; k++)
                EXPECT_EQ(dst[n + k], INF) << "merge " << k << " joins unconnected clusters";
        }
    }
}

TEST_F(Cluster, OneSidedKnowledgeCarriesOverUnchanged)
{
    // 0 and 1 merge first; only 0 knows 2, and 1 keeps more pairs, so 0's
    // pair to 2 is re-keyed to the surviving slot.
    for (int linkage : {LINKAGE_MIN, LINKAGE_AVE, LINKAGE_MAX}) {
        SCOPED_TRACE(linkage);
        store_pairs(5, {{0, 1, 1}, {0, 2, 5}, {1, 3, 7}, {1, 4, 8}}, linkage);
        cluster_merge();
        EXPECT_EQ(dst[5], 1);
        EXPECT_EQ(dst[6], 5);
        EXPECT_EQ(dst[7], 7);
        EXPECT_EQ(dst[8], 8);
        EXPECT_EQ(node_members()[6], (std::set<int>{0, 1, 2}));
        ASSERT_NE(hash_lookup(1, 2), nullptr);
        EXPECT_EQ(hash_lookup(1, 2)->multi, 1);
        EXPECT_EQ(hash_lookup(2, 1)->multi, 1);
    }
}

TEST_F(Cluster, AverageWeightsByObjectPairCounts)
{
    // a=0, b=1, c=2, z=3: ab to z is (1+3)/2 = 2 over 2 pairs, then abc to z
    // is (2*2 + 1*5)/3 = 3 over 3 pairs.
    struct Case {
        int linkage;
        double last;
    } cases[] = {{LINKAGE_AVE, 3.0}, {LINKAGE_MIN, 1.0}, {LINKAGE_MAX, 5.0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.linkage);
        store_pairs(4, {{0, 3, 1}, {1, 3, 3}, {2, 3, 5}, {0, 1, 0.1}, {0, 2, 0.2}}, c.linkage);
        cluster_merge();
        EXPECT_EQ(dst[4], 0.1);
        EXPECT_EQ(dst[5], 0.2);
        EXPECT_EQ(dst[6], c.last);
        EXPECT_EQ(heap_size, 0);
    }
    // The same with the pairs in another order, so that other records are read.
    store_pairs(4, {{3, 2, 5}, {1, 0, 0.1}, {3, 1, 3}, {2, 0, 0.2}, {3, 0, 1}}, LINKAGE_AVE);
    cluster_merge();
    EXPECT_EQ(dst[6], 3.0);
}

// A pair at NaN distance merges after every pair at a number and before the
// joins of unconnected clusters.  Its objects' other pairs are merged by
// their numbers as if it were not there.
TEST_F(Cluster, NaNPairsMergeAfterTheNumbersAndBeforeTheJoinsAtInfinity)
{
    for (int linkage : {LINKAGE_MIN, LINKAGE_AVE, LINKAGE_MAX}) {
        SCOPED_TRACE(linkage);
        run_random.seed(2);
        store_pairs(5, {{0, 1, QNAN}, {0, 2, 3}, {1, 3, 0.5}, {2, 3, 4}, {1, 2, QNAN}}, linkage);
        cluster_merge();
        auto members = node_members();
        EXPECT_EQ(dst[5], 0.5);
        EXPECT_EQ(members[5], (std::set<int>{1, 3}));
        EXPECT_EQ(dst[6], 3);
        EXPECT_EQ(members[6], (std::set<int>{0, 2}));
        EXPECT_EQ(members[7], (std::set<int>{0, 1, 2, 3}));
        EXPECT_EQ(dst[8], INF) << "object 4, which no pair connects, is joined last";
        // {1,3} to {0,2} from (1,0)=NaN, (1,2)=NaN, (3,2)=4: the minimum is
        // the number, the maximum and the average are NaN.
        if (linkage == LINKAGE_MIN)
            EXPECT_EQ(dst[7], 4);
        else
            EXPECT_TRUE(std::isnan(dst[7])) << dst[7];
    }
}

// The linkage rules combine a NaN with a number the same way whichever half
// of the merged cluster holds which: single linkage keeps the number,
// complete and average linkage give NaN.
TEST_F(Cluster, LinkageRulesCombineNaNTheSameWayFromEitherSide)
{
    for (int linkage : {LINKAGE_MIN, LINKAGE_AVE, LINKAGE_MAX}) {
        for (bool nan_on_survivor : {false, true}) {
            SCOPED_TRACE(std::to_string(linkage) + (nan_on_survivor ? " NaN on the survivor" : " NaN absorbed"));
            // 0 and 1 merge first; 1 keeps more pairs and survives.
            double d0 = nan_on_survivor ? 2 : QNAN, d1 = nan_on_survivor ? QNAN : 2;
            store_pairs(4, {{0, 1, 0.5}, {0, 2, d0}, {1, 2, d1}, {1, 3, 9}}, linkage);
            cluster_merge();
            EXPECT_EQ(dst[4], 0.5);
            if (linkage == LINKAGE_MIN) {
                EXPECT_EQ(dst[5], 2);
                EXPECT_EQ(node_members()[5], (std::set<int>{0, 1, 2}));
                EXPECT_EQ(dst[6], 9);
            } else {
                EXPECT_EQ(dst[5], 9) << "the NaN pair waits for the number";
                EXPECT_TRUE(std::isnan(dst[6]));
            }
        }
    }
}

TEST_F(Cluster, DisconnectedGroupsAreJoinedOnceAtInfinity)
{
    run_random.seed(5);
    store_pairs(5, {{0, 1, 1}, {1, 2, 2}, {3, 4, 1.5}});
    cluster_merge();
    EXPECT_EQ(dst[5], 1);
    EXPECT_EQ(dst[6], 1.5);
    EXPECT_EQ(dst[7], 2);
    EXPECT_EQ(dst[8], INF);
    EXPECT_EQ(leftnode[8], 7) << "the three-object group is the larger";
    EXPECT_EQ(rightnode[8], 6);
}

TEST_F(Cluster, NoPairKnownJoinsEverythingAtInfinity)
{
    run_random.seed(1);
    store_pairs(6, {});
    cluster_merge();
    for (int n = 6; n < 11; n++)
        EXPECT_EQ(dst[n], INF);
    EXPECT_EQ(node_members()[10].size(), 6u);
}

TEST_F(Cluster, RandomJoinsDrawTwoNumbersPerMerge)
{
    srand(17);
    int r[4];
    for (int &v : r)
        v = rand();
    // Live slots 0, 1, 2: each join swaps position k with k + r mod m, then
    // position k+1 with k+1 + r' mod (m-1), and joins positions k and k+1.
    int live[3] = {0, 1, 2};
    std::swap(live[0], live[r[0] % 3]);
    std::swap(live[1], live[1 + r[1] % 2]);
    int first_x = live[0], first_y = live[1];
    std::swap(live[1], live[1 + r[2] % 2]);
    int second_x = live[1], second_y = live[2];
    run_random.seed(17);
    store_pairs(3, {});
    cluster_merge();
    EXPECT_EQ(leftnode[3], first_x) << "equal sizes: the absorbed slot is left";
    EXPECT_EQ(rightnode[3], first_y);
    int second_x_number = second_x == first_y ? 3 : second_x;
    int second_y_number = second_y == first_y ? 3 : second_y;
    bool y_larger = second_y == first_y;
    EXPECT_EQ(leftnode[4], y_larger ? second_y_number : second_x_number);
    EXPECT_EQ(rightnode[4], y_larger ? second_x_number : second_y_number);
    int after = run_random.next();
    srand(17);
    for (int k = 0; k < 4; k++)
        rand();
    EXPECT_EQ(after, rand()) << "exactly four draws";
}

TEST_F(Cluster, LargerClusterIsTheLeftChildWhicheverSurvives)
{
    struct Case {
        const char *what;
        std::vector<Pair> pairs;
        int n;
    } cases[] = {
        {"the three-object cluster survives", {{0, 1, 1}, {1, 2, 2}, {2, 3, 3}}, 4},
        {"the singleton survives (it has more pairs)",
         {{0, 1, 1}, {1, 2, 2}, {2, 3, 3}, {3, 4, 10}, {3, 5, 11}, {3, 6, 12}}, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        store_pairs(c.n, c.pairs);
        cluster_merge();
        int merge3 = c.n + 2;
        EXPECT_EQ(dst[merge3], 3);
        EXPECT_EQ(leftnode[merge3], c.n + 1);
        EXPECT_EQ(rightnode[merge3], 3);
    }
}

TEST_F(Cluster, SingleObjectHasNoMerge)
{
    store_pairs(1, {});
    cluster_merge();
    EXPECT_EQ(leftnode[0], -1);
    EXPECT_EQ(rightnode[0], -1);
    EXPECT_EQ(dst[0], 0.0);
    EXPECT_EQ(permute(0, 0), 1);
    EXPECT_EQ(new2old[0], 0);
    EXPECT_EQ(old2new[0], 0);
}

// ---------------------------------------------------------------------------
// Leaf order

TEST_F(Permute, ChainOfAMillionLeavesNeedsNoCallDepth)
{
    object_count = 1000000;
    int nodes = 2 * object_count - 1;
    leftnode = new int32_t[nodes];
    rightnode = new int32_t[nodes];
    start = new int32_t[nodes];
    end = new int32_t[nodes];
    new2old = new int32_t[nodes];
    old2new = new int32_t[nodes];
    for (int n = 0; n < nodes; n++) {
        leftnode[n] = rightnode[n] = new2old[n] = old2new[n] = -1;
        start[n] = end[n] = n;
    }
    // Node N+k joins node N+k-1 (left) and leaf k+1; node N joins leaves 0, 1.
    leftnode[object_count] = 0;
    rightnode[object_count] = 1;
    for (int k = 1; k < object_count - 1; k++) {
        leftnode[object_count + k] = object_count + k - 1;
        rightnode[object_count + k] = k + 1;
    }
    EXPECT_EQ(permute(nodes - 1, 0), object_count);
    for (int i = 0; i < object_count; i++) {
        ASSERT_EQ(new2old[i], i);
        ASSERT_EQ(old2new[i], i);
    }
    EXPECT_EQ(start[nodes - 1], 0);
    EXPECT_EQ(end[nodes - 1], object_count - 1);
    EXPECT_EQ(leftnode[object_count], 0);
    EXPECT_EQ(start[object_count + 500], 0);
    EXPECT_EQ(end[object_count + 500], 501);
    EXPECT_EQ(rightnode[object_count + 500], 501);
    EXPECT_EQ(leftnode[object_count + 500], object_count + 499);
}

TEST_F(Permute, LeafChildrenAreGivenByPosition)
{
    // Objects 0..3; node 4 = (3, 1), node 5 = (4, 2), node 6 = (0, 5).
    run_random.seed(1);
    store_pairs(4, {});
    cluster_merge();
    leftnode[4] = 3, rightnode[4] = 1;
    leftnode[5] = 4, rightnode[5] = 2;
    leftnode[6] = 0, rightnode[6] = 5;
    EXPECT_EQ(permute(6, 0), 4);
    EXPECT_EQ(std::vector<int>(new2old, new2old + 4), (std::vector<int>{0, 3, 1, 2}));
    EXPECT_EQ(std::vector<int>(old2new, old2new + 4), (std::vector<int>{0, 2, 3, 1}));
    EXPECT_EQ(leftnode[4], 1);
    EXPECT_EQ(rightnode[4], 2);
    EXPECT_EQ(leftnode[5], 4);
    EXPECT_EQ(rightnode[5], 3);
    EXPECT_EQ(leftnode[6], 0);
    EXPECT_EQ(rightnode[6], 5);
    EXPECT_EQ(std::vector<int>(start, start + 7), (std::vector<int>{0, 1, 2, 3, 1, 1, 0}));
    EXPECT_EQ(std::vector<int>(end, end + 7), (std::vector<int>{0, 1, 2, 3, 2, 3, 3}));
}

// ---------------------------------------------------------------------------
// Output file

class Output : public testing::Test, public StoreRun {
  protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/brivane_out_XXXXXX";
        dir = mkdtemp(tmpl);
        opt_clear(INDEX_OPT_OUTPUT_DATA);
        opt_set_text(INDEX_OPT_PREFIX, text(""));
        in = nullptr;
    }

    void TearDown() override
    {
        delete in;
        in = nullptr;
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir;
    }

    std::string path(const std::string &name) { return dir + "/" + name; }

    void output_to(const std::string &name) { opt_set_text(INDEX_OPT_OUTPUT, text(path(name))); }

    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    // The clustering and its output, its progress lines out of sight; an
    // error is thrown on once they are.
    void run_cluster()
    {
        testing::internal::CaptureStderr();
        try {
            cluster();
            write_dendrogram(*this);
        } catch (...) {
            testing::internal::GetCapturedStderr();
            throw;
        }
        testing::internal::GetCapturedStderr();
    }
};

std::vector<int> read_ints(NcFile &f, const std::string &name)
{
    NcVar *v = f.get_var(name.c_str());
    std::vector<int> out(v->num_vals());
    v->get(out.data(), v->edges());
    return out;
}

std::vector<double> read_doubles(NcFile &f, const std::string &name)
{
    NcVar *v = f.get_var(name.c_str());
    std::vector<double> out(v->num_vals());
    v->get(out.data(), v->edges());
    return out;
}

TEST_F(Output, ThreeObjectsAverageLinkage)
{
    store_pairs(3, {{0, 1, 4}, {0, 2, 5}, {1, 2, 1}}, LINKAGE_AVE);
    opt_set_text(INDEX_OPT_PREFIX, text("row_"));
    output_to("out.nc");
    run_cluster();

    NcFile f(path("out.nc").c_str());
    ASSERT_TRUE(f.is_valid());
    EXPECT_EQ(f.num_dims(), 1);
    EXPECT_STREQ(f.get_dim(0)->name(), "row_nodes");
    EXPECT_EQ(f.get_dim(0)->size(), 5);
    EXPECT_EQ(f.num_atts(), 0);
    const char *names[] = {"row_left", "row_right", "row_start", "row_end",
                           "row_old2new", "row_new2old", "row_distance"};
    ASSERT_EQ(f.num_vars(), 7);
    for (int k = 0; k < 7; k++) {
        NcVar *v = f.get_var(k);
        EXPECT_STREQ(v->name(), names[k]);
        EXPECT_EQ(v->type(), k < 6 ? ncInt : ncDouble);
        EXPECT_EQ(v->num_dims(), 1);
        EXPECT_EQ(v->num_atts(), 0);
    }
    EXPECT_EQ(read_ints(f, "row_left"), (std::vector<int>{-1, -1, -1, 0, 3}));
    EXPECT_EQ(read_ints(f, "row_right"), (std::vector<int>{-1, -1, -1, 1, 2}));
    EXPECT_EQ(read_ints(f, "row_start"), (std::vector<int>{0, 1, 2, 0, 0}));
    EXPECT_EQ(read_ints(f, "row_end"), (std::vector<int>{0, 1, 2, 1, 2}));
    EXPECT_EQ(read_ints(f, "row_old2new"), (std::vector<int>{2, 0, 1, -1, -1}));
    EXPECT_EQ(read_ints(f, "row_new2old"), (std::vector<int>{1, 2, 0, -1, -1}));
    EXPECT_EQ(read_doubles(f, "row_distance"), (std::vector<double>{0, 0, 0, 1, 4.5}));
    EXPECT_EQ(files(), (std::vector<std::string>{"out.nc"})) << "no temporary file is left";
}

TEST_F(Output, TwoObjects)
{
    store_pairs(2, {{0, 1, 0.5}});
    output_to("two.nc");
    run_cluster();
    NcFile f(path("two.nc").c_str());
    EXPECT_EQ(read_ints(f, "left"), (std::vector<int>{-1, -1, 0}));
    EXPECT_EQ(read_ints(f, "right"), (std::vector<int>{-1, -1, 1}));
    EXPECT_EQ(read_ints(f, "start"), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(read_ints(f, "end"), (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(read_ints(f, "old2new"), (std::vector<int>{0, 1, -1}));
    EXPECT_EQ(read_ints(f, "new2old"), (std::vector<int>{0, 1, -1}));
    EXPECT_EQ(read_doubles(f, "distance"), (std::vector<double>{0, 0, 0.5}));
}

TEST_F(Output, OneObject)
{
    store_pairs(1, {});
    output_to("one.nc");
    run_cluster();
    NcFile f(path("one.nc").c_str());
    EXPECT_EQ(f.get_dim(0)->size(), 1);
    EXPECT_EQ(read_ints(f, "left"), (std::vector<int>{-1}));
    EXPECT_EQ(read_ints(f, "right"), (std::vector<int>{-1}));
    EXPECT_EQ(read_ints(f, "start"), (std::vector<int>{0}));
    EXPECT_EQ(read_ints(f, "end"), (std::vector<int>{0}));
    EXPECT_EQ(read_ints(f, "old2new"), (std::vector<int>{0}));
    EXPECT_EQ(read_ints(f, "new2old"), (std::vector<int>{0}));
    EXPECT_EQ(read_doubles(f, "distance"), (std::vector<double>{0}));
}

TEST_F(Output, RandomJoinsAreWrittenAsInfinity)
{
    run_random.seed(2);
    store_pairs(3, {{0, 1, 0.5}});
    output_to("inf.nc");
    run_cluster();
    NcFile f(path("inf.nc").c_str());
    std::vector<double> d = read_doubles(f, "distance");
    EXPECT_EQ(d[3], 0.5);
    EXPECT_EQ(d[4], INF);
}

// An input file with a 4 x 2 data matrix over the clustered dimension, its
// coordinate variable, an unrelated variable, a scalar and a square matrix
// over the clustered dimension twice.
void write_input(const std::string &name)
{
    NcFile f(name.c_str(), NcFile::Replace);
    NcDim *rows = f.add_dim("rows", 4);
    NcDim *cols = f.add_dim("cols", 2);
    NcDim *other = f.add_dim("other", 3);
    NcVar *data = f.add_var("data", ncDouble, rows, cols);
    NcVar *coord = f.add_var("rows", ncInt, rows);
    NcVar *unrelated = f.add_var("unrelated", ncFloat, other);
    NcVar *scalar = f.add_var("scalar", ncShort);
    NcVar *square = f.add_var("square", ncInt, rows, rows);
    NcVar *label = f.add_var("label", ncChar, rows, cols);
    double dv[8] = {0, 1, 10, 11, 20, 21, 30, 31};
    int cv[4] = {100, 101, 102, 103};
    float uv[3] = {1.5, 2.5, 3.5};
    short sv = 7;
    int qv[16];
    for (int k = 0; k < 16; k++)
        qv[k] = k;
    char lv[8] = {'a', 'A', 'b', 'B', 'c', 'C', 'd', 'D'};
    data->put(dv, 4, 2);
    coord->put(cv, 4);
    unrelated->put(uv, 3);
    scalar->put(&sv);
    square->put(qv, 4, 4);
    label->put(lv, 4, 2);
}

TEST_F(Output, DataCopyIsPermutedAlongTheClusteredDimension)
{
    write_input(path("in.nc"));
    in = new NcFile(path("in.nc").c_str());
    clust_dim = in->get_dim("rows");
    store_pairs(4, {{0, 1, 2}, {2, 3, 1}, {1, 2, 5}});
    opt_set_int(INDEX_OPT_OUTPUT_DATA, 1);
    opt_set_text(INDEX_OPT_PREFIX, text("row_"));
    output_to("out.nc");
    testing::internal::CaptureStderr();
    cluster();
    write_dendrogram(*this);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Permuting data\nPermuting rows\nPermuting square\nPermuting label\n");

    NcFile f(path("out.nc").c_str());
    std::vector<int> order = read_ints(f, "row_new2old");
    order.resize(4);
    ASSERT_NE(order, (std::vector<int>{0, 1, 2, 3})) << "the test needs a real permutation";
    ASSERT_EQ(f.num_dims(), 4);
    EXPECT_STREQ(f.get_dim(1)->name(), "rows");
    EXPECT_STREQ(f.get_dim(3)->name(), "other");
    ASSERT_EQ(f.num_vars(), 13);
    EXPECT_STREQ(f.get_var(7)->name(), "data");
    EXPECT_STREQ(f.get_var(12)->name(), "label");
    std::vector<double> data = read_doubles(f, "data");
    std::vector<int> coord = read_ints(f, "rows");
    for (int p = 0; p < 4; p++) {
        EXPECT_EQ(data[2 * p], 10 * order[p]);
        EXPECT_EQ(data[2 * p + 1], 10 * order[p] + 1);
        EXPECT_EQ(coord[p], 100 + order[p]);
    }
    NcVar *u = f.get_var("unrelated");
    EXPECT_EQ(u->type(), ncFloat);
    float uv[3];
    u->get(uv, 3);
    EXPECT_EQ(std::vector<float>(uv, uv + 3), (std::vector<float>{1.5, 2.5, 3.5}));
    short sv = 0;
    f.get_var("scalar")->get(&sv);
    EXPECT_EQ(sv, 7);
    std::vector<int> square = read_ints(f, "square");
    for (int p = 0; p < 4; p++)
        for (int q = 0; q < 4; q++)
            EXPECT_EQ(square[p * 4 + q], order[p] * 4 + order[q]) << p << "," << q;
    char lv[8];
    f.get_var("label")->get(lv, 4, 2);
    for (int p = 0; p < 4; p++) {
        EXPECT_EQ(lv[2 * p], 'a' + order[p]);
        EXPECT_EQ(lv[2 * p + 1], 'A' + order[p]);
    }
}

TEST_F(Output, EarlierFileSurvivesAFailedWrite)
{
    // A copied variable named like a dendrogram variable cannot be defined.
    {
        NcFile f(path("in.nc").c_str(), NcFile::Replace);
        NcDim *objs = f.add_dim("objs", 2);
        f.add_var("left", ncInt, objs);
    }
    {
        std::ofstream old(path("out.nc"));
        old << "earlier result";
    }
    store_pairs(2, {{0, 1, 0.5}});
    opt_set_int(INDEX_OPT_OUTPUT_DATA, 1);
    output_to("out.nc");
    in = new NcFile(path("in.nc").c_str());
    clust_dim = in->get_dim("objs");
    EXPECT_RUN_ERROR(run_cluster(), 1, "^ERROR! Error writing output file .*out.nc");
    std::ifstream old(path("out.nc"));
    std::string content;
    std::getline(old, content);
    EXPECT_EQ(content, "earlier result");
    EXPECT_EQ(files(), (std::vector<std::string>{"in.nc", "out.nc"}));
}

TEST_F(Output, UnwritableFolderIsReported)
{
    store_pairs(2, {{0, 1, 0.5}});
    opt_set_text(INDEX_OPT_OUTPUT, text(path("missing/out.nc")));
    EXPECT_RUN_ERROR(run_cluster(), 1, "^ERROR! Error writing output file .*missing/out.nc: No such file or directory\n$");
}

TEST_F(Output, UnsupportedTypeIsRefusedBeforeWriting)
{
    // Only a netCDF-4 input can hold such a type.
    {
        std::ofstream cdl(path("in4.cdl"));
        cdl << "netcdf in4 { dimensions: objs = 2; variables: int fine(objs); "
               "int64 wide(objs); }";
    }
    std::string cmd = "ncgen -k nc4 -o '" + path("in4.nc") + "' '" + path("in4.cdl") + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    unlink(path("in4.cdl").c_str());
    store_pairs(2, {{0, 1, 0.5}});
    opt_set_int(INDEX_OPT_OUTPUT_DATA, 1);
    output_to("out.nc");
    in = new NcFile(path("in4.nc").c_str());
    clust_dim = in->get_dim("objs");
    EXPECT_RUN_ERROR(run_cluster(), 1, "^ERROR! Variable 'wide' is of unsupported type and cannot be output!\n$");
    EXPECT_EQ(files(), (std::vector<std::string>{"in4.nc"}));
}

}  // namespace
