// The parallel fill of the store with every pair, against entering the pairs
// one by one through getdist: the whole store state, field by field.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "Distance.h"
#include "brivane.h"
#include "distances.h"
#include "record_lists.h"
#include "run.h"
#include "small_dist.h"
#include "threads.h"

namespace {

// One value per object; the distance is their absolute difference (NaN
// when either is NaN).
class Difference : public Distance<double> {
  public:
    double distance(const double *x, const double *y, int, int) override { return std::fabs(*x - *y); }
};

// Everything the store holds after the pairs are in.
struct StoreState {
    std::vector<dist_t> records;
    std::vector<int32_t> stamps, heap_places, heads;
    std::vector<node_t> nodes;
    std::vector<std::vector<int32_t>> lists;   // each slot's records, from its list's head
    int32_t n_dist, getdist_time, abstract_time;
};

// The first entry of two equally long arrays whose bytes differ, or -1.
// Nodes have no padding, and equal NaNs have equal bits here.
template <class T> long first_difference(const std::vector<T> &a, const std::vector<T> &b)
{
    for (size_t k = 0; k < a.size(); k++)
        if (std::memcmp(&a[k], &b[k], sizeof(T)) != 0)
            return static_cast<long>(k);
    return -1;
}

// The same for records, field by field: a record has padding after its
// last field, which no store code writes.
long first_difference(const std::vector<dist_t> &a, const std::vector<dist_t> &b)
{
    for (size_t k = 0; k < a.size(); k++) {
        const dist_t &p = a[k], &q = b[k];
        if (p.x != q.x || p.y != q.y || std::memcmp(&p.dist, &q.dist, sizeof p.dist) != 0 || p.more != q.more ||
            p.at != q.at || p.multi != q.multi)
            return static_cast<long>(k);
    }
    return -1;
}

void expect_same_store(const StoreState &want, const StoreState &got)
{
    ASSERT_EQ(want.n_dist, got.n_dist);
    EXPECT_EQ(want.getdist_time, got.getdist_time);
    EXPECT_EQ(want.abstract_time, got.abstract_time);
    EXPECT_EQ(first_difference(want.records, got.records), -1) << "first record that differs";
    EXPECT_EQ(want.stamps, got.stamps);
    EXPECT_EQ(want.heap_places, got.heap_places);
    EXPECT_EQ(want.heads, got.heads);
    ASSERT_EQ(want.nodes.size(), got.nodes.size());
    EXPECT_EQ(first_difference(want.nodes, got.nodes), -1) << "first node that differs";
    EXPECT_EQ(want.lists, got.lists);
}

class StoreFill : public ::testing::Test, public Run {
  protected:
    // Everything the store holds now.
    StoreState snapshot() const
    {
        StoreState s;
        s.records.assign(dist, dist + n_dist);
        s.stamps.assign(dist_time, dist_time + n_dist);
        s.heap_places.assign(heap_loc, heap_loc + n_dist / 2);
        s.heads.assign(dist_hash, dist_hash + dist_hash_size);
        s.nodes.assign(node, node + object_count);
        s.lists.resize(object_count);
        for (int i = 0; i < object_count; i++)
            list_walk(i, [&](int32_t r) { s.lists[i].push_back(r); });
        s.n_dist = n_dist;
        s.getdist_time = getdist_time;
        s.abstract_time = abstract_time;
        return s;
    }

    Difference measure;
    std::vector<double> values;

    void SetUp() override
    {
        // The store of a distance matrix has room for every pair, as has
        // that of all pairs of a data matrix.
        settings.cluster = CLUSTER_DISTMAT;
    }

    // n objects with scattered values, a few of them NaN and some equal.
    void objects(int n)
    {
        values.clear();
        for (int i = 0; i < n; i++)
            values.push_back(i % 11 == 5 ? std::numeric_limits<double>::quiet_NaN() : (i * 37) % 23 * 0.5);
        object_count = n;
        row_length = 1;
        type = 6;
        data_double = values.data();
        measure_double = &measure;
    }

    // Chain heads of the stores made from here on; 0 keeps the store's own
    // count.  A few heads make long chains, whose order the fill must keep.
    int32_t heads = 0;

    // A fresh store with room for every pair.
    void fresh_store()
    {
        free_distances();
        testing::internal::CaptureStderr();
        init_distances();
        testing::internal::GetCapturedStderr();
        if (heads > 0)
            dist_hash_size = heads;
    }

    // What entering every pair row by row through getdist leaves, after
    // `before` has run on the fresh store.
    template <class F> StoreState serial(F before)
    {
        fresh_store();
        before();
        abstract_time++;
        for (int i = 0; i < object_count; i++)
            for (int j = i + 1; j < object_count; j++)
                getdist(i, j, NO_DISTANCE);
        return snapshot();
    }
    StoreState serial()
    {
        return serial([] {});
    }
};

TEST_F(StoreFill, GivesTheSerialStoreForAnyObjectAndThreadCount)
{
    struct Case {
        int objects;
        int32_t heads;
    } cases[] = {{1, 0}, {2, 0}, {3, 0}, {8, 0}, {41, 0}, {41, 7}, {30, 1}};
    for (const Case &c : cases) {
        int n = c.objects;
        heads = c.heads;
        objects(n);
        StoreState want = serial();
        for (int threads : {1, 2, 3}) {
            SCOPED_TRACE("N " + std::to_string(n) + ", heads " + std::to_string(heads) + ", threads " +
                         std::to_string(threads));
            fresh_store();
            ASSERT_TRUE(fill_all_pairs_applies());
            num_threads = threads;
            all_dist();
            num_threads = 1;
            expect_same_store(want, snapshot());
        }
    }
}

TEST_F(StoreFill, EachStepAloneGivesItsShareOfTheSerialStore)
{
    // After the records, the chains and the lists write disjoint fields:
    // rows, chain-head ranges and lists each in uneven pieces, out of order.
    objects(17);
    StoreState want = serial();
    fresh_store();
    abstract_time++;
    fill_records(9, 16);
    fill_records(0, 9);
    fill_chain_heads(0, 5);
    fill_chain_heads(dist_hash_size / 3, dist_hash_size);
    fill_lists();
    fill_chain_heads(5, dist_hash_size / 3);
    n_dist = object_count * (object_count - 1);
    getdist_time = abstract_time;
    expect_same_store(want, snapshot());
}

TEST_F(StoreFill, AppliesOnlyToAnEmptyStoreWithRoomForEveryPairAndNoneLeftOut)
{
    objects(6);
    fresh_store();
    EXPECT_TRUE(fill_all_pairs_applies()) << "fresh store for all pairs";

    getdist(1, 4, NO_DISTANCE);
    EXPECT_FALSE(fill_all_pairs_applies()) << "a pair already stored";

    fresh_store();
    dist_size = 28;
    EXPECT_FALSE(fill_all_pairs_applies()) << "store for 14 of the 15 pairs";
    dist_size = 30;
    EXPECT_TRUE(fill_all_pairs_applies()) << "store for all 15 pairs";

    fresh_store();
    skip_pairs_without_distance = true;
    EXPECT_FALSE(fill_all_pairs_applies()) << "pairs without distance are skipped";
}

TEST_F(StoreFill, AllDistKeepsEnteringOneByOneWhereTheFillDoesNotApply)
{
    objects(12);
    // A pair stored before: all_dist enters the others after it.
    StoreState want = serial([this] { getdist(7, 2, NO_DISTANCE); });
    fresh_store();
    getdist(7, 2, NO_DISTANCE);
    num_threads = 3;
    all_dist();
    expect_same_store(want, snapshot());

    // Pairs without distance skipped: the NaN pairs are never stored.
    skip_pairs_without_distance = true;
    want = serial();
    fresh_store();
    all_dist();
    expect_same_store(want, snapshot());
    EXPECT_LT(n_dist, object_count * (object_count - 1));
}

} // namespace
