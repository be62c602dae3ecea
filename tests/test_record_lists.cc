// Unit tests of the record lists: their order against plain reference lists
// under random pushes, unlinks, takes and walks, holes, the reuse of blocks,
// and pools too small for the lists (compaction, growth).
#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <vector>

#include "distances.h"
#include "record_lists.h"
#include "run.h"
#include "run_error.h"

namespace {

// A run whose lists index records and slots of its own arrays.
struct ListsRun : Run {
    std::vector<dist_t> records;
    std::vector<node_t> slots;

    // Lists over `n_slots` slots for up to `n_records` records, in a pool of
    // `blocks` blocks.
    void make_lists(int n_slots, int n_records, int64_t blocks)
    {
        records.assign(n_records, dist_t{});
        slots.assign(n_slots, node_t{});
        dist = records.data();
        node = slots.data();
        list_pool_init(n_slots, blocks);
    }

    std::vector<int32_t> walked(int i)
    {
        std::vector<int32_t> out;
        list_walk(i, [&](int32_t r) { out.push_back(r); });
        return out;
    }

    // Random pushes, unlinks and takes over a few slots, checked after every
    // step against std::list kept the old way: pushed at the front, erased
    // anywhere.
    void check_random_operations(int n_slots, int n_records, int64_t blocks, int steps, unsigned seed)
    {
        make_lists(n_slots, n_records, blocks);
        std::mt19937 gen(seed);
        std::vector<std::list<int32_t>> ref(n_slots);
        std::vector<int32_t> owner(n_records, -1);  // slot a record is on, or -1
        std::vector<int32_t> taken;
        for (int step = 0; step < steps; step++) {
            int op = gen() % 16;
            int s = gen() % n_slots;
            if (op < 9) {
                int32_t r = gen() % n_records;
                if (owner[r] >= 0)
                    continue;
                list_push(s, r);
                ref[s].push_front(r);
                owner[r] = s;
            } else if (op < 15) {
                int32_t r = gen() % n_records;
                if (owner[r] < 0)
                    continue;
                list_unlink(owner[r], r);
                ref[owner[r]].remove(r);
                owner[r] = -1;
            } else {
                taken.clear();
                list_take(s, taken);
                ASSERT_EQ(taken, std::vector<int32_t>(ref[s].begin(), ref[s].end())) << "step " << step;
                for (int32_t r : taken)
                    owner[r] = -1;
                ref[s].clear();
            }
            for (int i = 0; i < n_slots; i++) {
                ASSERT_EQ(walked(i), std::vector<int32_t>(ref[i].begin(), ref[i].end()))
                    << "slot " << i << " after step " << step;
                ASSERT_EQ(node[i].dist_count, (int32_t)ref[i].size());
            }
        }
    }

    // The records and slots are the fixture's, not the run's to free.
    ~ListsRun()
    {
        dist = nullptr;
        node = nullptr;
    }
};

class RecordLists : public testing::Test, public ListsRun {};

TEST_F(RecordLists, OrderMatchesPlainListsUnderRandomOperations)
{
    struct Case {
        const char *what;
        int slots, records;
        int64_t blocks;
        unsigned seed;
    } cases[] = {
        {"one slot, pool as sized for the store", 1, 200, list_pool_blocks_needed(200, 1), 1},
        {"many slots, pool as sized for the store", 9, 300, list_pool_blocks_needed(300, 9), 2},
        {"short lists over many slots", 60, 120, list_pool_blocks_needed(120, 60), 3},
        {"a pool of one block: compaction and growth", 7, 250, 1, 4},
        {"a pool of a third of the need", 5, 400, list_pool_blocks_needed(400, 5) / 3, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        check_random_operations(c.slots, c.records, c.blocks, 3000, c.seed);
    }
}

TEST_F(RecordLists, PushesFillBlocksFromTheirEndAndChainNewOnesInFront)
{
    make_lists(2, 40, 10);
    for (int32_t r = 0; r < 31; r++)
        list_push(0, r);
    std::vector<int32_t> expected;
    for (int32_t r = 30; r >= 0; r--)
        expected.push_back(r);
    EXPECT_EQ(walked(0), expected);
    EXPECT_EQ(list_used, 3) << "31 records in blocks of 15";
    EXPECT_EQ(dist[0].at % 16, 15) << "the first record ends the last block";
    EXPECT_EQ(dist[30].at % 16, 15) << "the 31st starts a block of its own";
    EXPECT_EQ(node[0].list_head, dist[30].at);
    EXPECT_EQ(node[0].dist_count, 31);
    EXPECT_TRUE(walked(1).empty());
}

TEST_F(RecordLists, UnlinkedRecordsLeaveHolesTheWalkSkips)
{
    make_lists(1, 40, 10);
    for (int32_t r = 0; r < 20; r++)
        list_push(0, r);
    for (int32_t r : {19, 0, 7, 8, 15})
        list_unlink(0, r);
    EXPECT_EQ(walked(0), (std::vector<int32_t>{18, 17, 16, 14, 13, 12, 11, 10, 9, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(node[0].dist_count, 15);
    list_push(0, 30);
    EXPECT_EQ(walked(0).front(), 30) << "a push after an unlinked head still comes first";
    for (int32_t r : walked(0))
        list_unlink(0, r);
    EXPECT_TRUE(walked(0).empty());
    EXPECT_EQ(node[0].dist_count, 0);
    list_push(0, 31);
    EXPECT_EQ(walked(0), std::vector<int32_t>{31});
}

TEST_F(RecordLists, TakenBlocksAreReused)
{
    make_lists(3, 100, 100);
    for (int32_t r = 0; r < 45; r++)
        list_push(0, r);
    int64_t used = list_used;
    std::vector<int32_t> out;
    list_take(0, out);
    EXPECT_EQ(out.size(), 45u);
    EXPECT_EQ(node[0].list_head, NO_RECORD);
    EXPECT_EQ(node[0].dist_count, 0);
    for (int32_t r = 0; r < 45; r++)
        list_push(1 + r % 2, r);
    EXPECT_EQ(list_used, used + 1) << "the taken blocks serve the next pushes";
    EXPECT_EQ(list_compactions, 0);
}

TEST_F(RecordLists, CompactionKeepsOrderAndFreesBlocks)
{
    make_lists(3, 200, 100);
    for (int32_t r = 0; r < 90; r++)
        list_push(r % 3, r);
    for (int32_t r = 0; r < 90; r++)
        if (r % 3 == 2 || (r % 3 == 0 && r % 5 != 0))
            list_unlink(r % 3, r);
    std::vector<int32_t> before0 = walked(0), before1 = walked(1);
    int32_t head1 = node[1].list_head;
    list_compact();
    EXPECT_EQ(walked(0), before0);
    EXPECT_EQ(walked(1), before1);
    EXPECT_EQ(node[1].list_head, head1) << "a list with records keeps its head";
    EXPECT_EQ(node[2].list_head, NO_RECORD) << "a list of holes only gives up its blocks";
    int free_blocks = 0;
    for (int32_t b = list_free; b != NO_BLOCK; b = list_pool[16 * b])
        free_blocks++;
    EXPECT_EQ(free_blocks, 2 + 1) << "slot 2's two blocks and one of slot 0's";
    for (int32_t r : before0)
        list_unlink(0, r);
    EXPECT_TRUE(walked(0).empty()) << "records moved by the compaction unlink where they now sit";
}

TEST_F(RecordLists, PoolSizeCoversEveryEntryAndAPartBlockPerList)
{
    struct Case {
        int64_t records, slots, expected;
    } cases[] = {
        {0, 10, 1},
        {30, 1, 2 + 1 + 1},
        {30, 100, 2 + 30 + 1},
        {48000000, 1000000, 3200000 + 1000000 + 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(list_pool_blocks_needed(c.records, c.slots), c.expected) << c.records << " " << c.slots;
}

TEST_F(RecordLists, APoolAtItsLimitWithoutFreeBlocksEndsTheRun)
{
    // One full block of live records, in a pool that claims to have handed
    // out its largest number of blocks: compaction frees nothing and the
    // pool may not grow.
    make_lists(1, 16, 1);
    for (int32_t r = 0; r < 15; r++)
        list_push(0, r);
    list_capacity = list_used = MAX_LIST_BLOCKS;
    EXPECT_RUN_ERROR(list_push(0, 15), 1,
                     "^ERROR! Too many list entries for the distance store: 134217727 blocks in use\n$");
    list_capacity = list_used = 1;
    EXPECT_EQ(walked(0), (std::vector<int32_t>{14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    list_pool_free();
}

}  // namespace
