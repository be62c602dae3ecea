// Unit tests of the compact engine: its pair table against a plain map through inserts, moves and
// retirements that crowd the hash, and its trees against the distance store's on distances without ties.
#include <gtest/gtest.h>

#include <brivane/brivane.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "compact.h"
#include "run.h"

namespace {

std::pair<int, int> key(int u, int v)
{
    return {std::min(u, v), std::max(u, v)};
}

// Checks every pair of `objects` objects: found exactly when the map has it,
// as the map's pair, with its ends either way round.
void expect_same(const PairTable &table, const std::map<std::pair<int, int>, pair_id> &known, int objects)
{
    for (int u = 0; u < objects; u++)
        for (int v = 0; v < objects; v++) {
            if (u == v)
                continue;
            auto it = known.find(key(u, v));
            ASSERT_EQ(it == known.end() ? NO_PAIR : it->second, table.find(u, v)) << u << " " << v;
        }
}

TEST(PairTableTest, FindsWhatWasAddedMovedAndNotRetiredThroughCrowdedSlots)
{
    // A table for 3000 pairs of 100 objects, filled to half, then worked on
    // as a merge loop works on it, with new pairs coming in until it is
    // full: runs of slots wrap around the table's end, and erases shift
    // entries back past it.
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 gen(seed);
        const int objects = 100;
        PairTable table(objects, 3000);
        std::map<std::pair<int, int>, pair_id> known;
        while (table.count() < 1500) {
            int u = gen() % objects, v = gen() % objects;
            if (u == v || known.count(key(u, v)))
                continue;
            known[key(u, v)] = table.add(u, v, u + v / 100.0);
        }
        expect_same(table, known, objects);
        for (int step = 0; step < 20000 && !known.empty(); step++) {
            if (step % 1000 == 0)
                expect_same(table, known, objects);
            // New pairs keep the table crowded while others leave.
            if (gen() % 3 == 0 && !table.full()) {
                int u = gen() % objects, v = gen() % objects;
                if (u != v && !known.count(key(u, v)))
                    known[key(u, v)] = table.add(u, v, 0);
                continue;
            }
            auto it = known.begin();
            std::advance(it, gen() % known.size());
            pair_id p = it->second;
            const CompactPair &e = table.pair(p);
            ASSERT_EQ(key(e.a, e.b), it->first);
            if (gen() % 3 == 0) {
                table.retire(p);
                EXPECT_EQ(-1, table.pair(p).a);
                known.erase(it);
                continue;
            }
            int from = gen() % 2 ? e.a : e.b, stay = from == e.a ? e.b : e.a;
            int to = gen() % objects;
            if (to == stay || to == from || known.count(key(to, stay)))
                continue;
            table.move_end(p, from, to);
            known.erase(it);
            known[key(to, stay)] = p;
        }
        expect_same(table, known, objects);
    }
}

TEST(PairTableTest, KeepsEachPairsEndsInTheOrderTheyCameSmallerFirst)
{
    PairTable table(10, 4);
    pair_id p = table.add(7, 2, 1.5);
    EXPECT_EQ(2, table.pair(p).a);
    EXPECT_EQ(7, table.pair(p).b);
    // A moved end keeps its side: the merge loop's tie rule reads it.
    table.move_end(p, 2, 9);
    EXPECT_EQ(9, table.pair(p).a);
    EXPECT_EQ(7, table.pair(p).b);
    EXPECT_EQ(p, table.find(7, 9));
    EXPECT_EQ(NO_PAIR, table.find(2, 7));
}

// Points without ties among their distances: uniform reals in four dimensions.
std::vector<double> points(int n, unsigned seed)
{
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<double> x(static_cast<size_t>(n) * 4);
    for (double &v : x)
        v = u(gen);
    return x;
}

void expect_same_tree(const brivane::Tree &store, const brivane::Tree &compact)
{
    EXPECT_EQ(store.left, compact.left);
    EXPECT_EQ(store.right, compact.right);
    EXPECT_EQ(store.new2old, compact.new2old);
    ASSERT_EQ(store.distance.size(), compact.distance.size());
    for (size_t k = 0; k < store.distance.size(); k++)
        EXPECT_TRUE(store.distance[k] == compact.distance[k] ||
                    std::abs(store.distance[k] - compact.distance[k]) <= 1e-12 * std::abs(store.distance[k]))
            << "node " << k;
}

TEST(CompactEngine, GivesTheStoresTreeForEveryLinkageItKnows)
{
    // A count well above 20 per object, a few pairs only (most clusters
    // then join at +inf, in random order), and every pair.
    for (const char *linkage : {"min", "ave", "max", "weighted"})
        for (int n : {2, 3, 41, 300})
            for (int64_t count : {int64_t(0), int64_t(30) * n, int64_t(-1)}) {
                SCOPED_TRACE(std::string(linkage) + " n=" + std::to_string(n) + " count=" + std::to_string(count));
                std::vector<double> x = points(n, 11 + n);
                brivane::Options o;
                o.distance = "euclidean";
                o.linkage = linkage;
                o.random_seed = 5;
                o.threads = 2;
                if (count < 0)
                    o.all_pairwise = true;
                else
                    o.num_distances = count == 0 ? 1 : count;
                brivane::Matrix m{x.data(), brivane::Type::Double, n, 4};
                o.engine = "store";
                brivane::Tree store = brivane::cluster(m, o);
                o.engine = "compact";
                expect_same_tree(store, brivane::cluster(m, o));
            }
}

TEST(CompactEngine, GivesTheStoresTreeForGivenPairsInGroupsThatNoPairConnects)
{
    // Three groups of 50 objects with pairs inside each only, and a NaN
    // distance, which the list leaves out.
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<int32_t> from, to;
    std::vector<double> d;
    for (int g = 0; g < 3; g++)
        for (int k = 0; k < 400; k++) {
            from.push_back(50 * g + static_cast<int>(gen() % 50));
            to.push_back(50 * g + static_cast<int>(gen() % 50));
            d.push_back(k == 7 ? std::nan("") : u(gen));
        }
    for (const char *linkage : {"min", "ave", "max"}) {
        SCOPED_TRACE(linkage);
        brivane::Options o;
        o.linkage = linkage;
        o.random_seed = 9;
        o.engine = "store";
        brivane::Tree store = brivane::cluster(150, from.data(), to.data(), d.data(), d.size(), o);
        o.engine = "compact";
        brivane::Tree compact = brivane::cluster(150, from.data(), to.data(), d.data(), d.size(), o);
        expect_same_tree(store, compact);
        EXPECT_TRUE(std::isinf(compact.distance.back()));
    }
}

TEST(CompactEngine, GivesTheStoresTreeWhereFewObjectsHoldMostPairs)
{
    // The merge loop looks up a merge's pairs a batch at a time: hubs with
    // lists of many batches, whose ends the other hub shares or lacks, and
    // whose lists hold pairs retired by earlier merges.
    for (int hubs : {1, 2, 5})
        for (int spokes : {15, 16, 17, 33, 120}) {
            SCOPED_TRACE("hubs=" + std::to_string(hubs) + " spokes=" + std::to_string(spokes));
            const int n = 160;
            std::mt19937_64 gen(hubs * 1000 + spokes);
            std::uniform_real_distribution<double> u(0, 1);
            std::vector<int32_t> from, to;
            std::vector<double> d;
            for (int h = 0; h < hubs; h++)
                for (int k = 0; k < spokes; k++) {
                    from.push_back(h);
                    to.push_back(hubs + static_cast<int>(gen() % (n - hubs)));
                    d.push_back(u(gen));
                }
            for (int k = 0; k < 2 * n; k++) {
                from.push_back(static_cast<int>(gen() % n));
                to.push_back(static_cast<int>(gen() % n));
                d.push_back(u(gen));
            }
            for (const char *linkage : {"min", "ave", "max"}) {
                SCOPED_TRACE(linkage);
                brivane::Options o;
                o.linkage = linkage;
                o.random_seed = 4;
                o.engine = "store";
                brivane::Tree store = brivane::cluster(n, from.data(), to.data(), d.data(), d.size(), o);
                o.engine = "compact";
                expect_same_tree(store, brivane::cluster(n, from.data(), to.data(), d.data(), d.size(), o));
            }
        }
}

TEST(CompactEngine, RefusesTheLinkagesOfCentroidsOnGivenDistances)
{
    // A distance matrix has no centroids to work out the merges from.
    std::vector<double> d(20 * 20, 1.0);
    brivane::Options o;
    o.cluster = "distmat";
    o.engine = "compact";
    o.linkage = "ward";
    try {
        brivane::cluster({d.data(), brivane::Type::Double, 20, 20}, o);
        FAIL() << "ward of given distances in the compact engine";
    } catch (const brivane::Error &e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("compact engine (-E compact) clusters by Ward linkage "
                                                                "from the clusters' centroids"))
            << e.what();
    }
}

} // namespace

namespace {

TEST(CompactBudget, TheCountIsCutByMemoryAtTheCompactEnginesCostAndRaisedToTwentyPerObject)
{
    // 1000 objects at 160 bytes, and room for 50000 pairs at 58.
    const int64_t memory = 1000 * COMPACT_BYTES_PER_OBJECT + 50000 * COMPACT_BYTES_PER_PAIR;
    EXPECT_EQ(50000, bound_num_distances(1000000, memory, 1000, COMPACT_COST));
    EXPECT_EQ(30000, bound_num_distances(30000, memory, 1000, COMPACT_COST));
    EXPECT_EQ(20000, bound_num_distances(10, memory, 1000, COMPACT_COST));
    EXPECT_EQ(4950, bound_num_distances(1000000, memory, 100, COMPACT_COST));
    // The store's 250 bytes a pair hold fewer than 20 per object there:
    // the count is raised all the same, and the run refused for memory.
    EXPECT_EQ(20000, bound_num_distances(1000000, memory, 1000));
}

} // namespace
