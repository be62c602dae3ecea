// Filling the empty distance store with every pair of the data at once.
//
// Entering the pairs one by one through getdist is a cache miss or two per
// record on the main thread (the pair's hash chain, the pool's pages first
// touched), so with every pair asked for it is most of the phase.  Here the
// store is built in three steps, each of which writes fields the others
// leave alone:
//   - the records, row by row on the threads: both twins of each pair, its
//     distance, stamp and heap place, each thread first-touching the pages of
//     its rows;
//   - the hash chains, the table's heads split into ranges among the
//     threads: each thread walks all pairs in order and links those whose
//     head is in its range, so every chain is built in the order getdist
//     builds it;
//   - the lists, on one thread beside the chains, through the store's own
//     list_push in record order, so they are what getdist's pushes make
//     whatever their representation.
// The result is the serial store field by field; only the path to it is
// parallel.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <sys/mman.h>

#include "run.h"
#include "threads.h"

// Shares of the phase's progress: the records (with the distances and the
// pool's first touch) take most of it, the chains and lists the rest.
static const double RECORDS_SHARE = 0.8;

// How many chain heads ahead of the one being linked are fetched.
static const int CHAIN_AHEAD = 16;

// Chain-head ranges per thread: enough that the thread done with the lists
// finds ranges left to take.  Each range walks all pairs, which costs little
// beside its share of the links, each a cache miss in the table.
static const int RANGES_PER_THREAD = 4;

// The pool, stamps and heap places are asked for in pages of this size.
static const uintptr_t HUGE_PAGE = 2 << 20;

// The pair number of (i, i+1): the pairs of the rows before i.
inline int64_t Run::row_start(int i) const
{
    return static_cast<int64_t>(i) * object_count - static_cast<int64_t>(i) * (i + 1) / 2;
}

bool Run::fill_all_pairs_applies()
{
    return !pair_table && n_dist == 0 && !skip_pairs_without_distance && 2 * all_pairs(object_count) <= dist_size;
}

// Progress over the phase: `done` of `total` units of one step, the step
// spanning [from, from + share) of the pairs.  Main thread only.
void Run::step_progress(double from, double share, int64_t done, int64_t total)
{
    if (total > 0)
        progress_batch(static_cast<double>(all_pairs(object_count)) * (from + share * done / total));
}

void Run::fill_records(int first, int last)
{
    int32_t stamp = abstract_time;
    for (int i = first; i < last; i++) {
        int64_t r = 2 * row_start(i);
        for (int j = i + 1; j < object_count; j++, r += 2) {
            // getdist would take the value computed on the threads, or
            // compute the same again when it is NaN or below NO_DISTANCE.
            double d = calc_distance(i, j);
            dist[r] = dist_t{i, j, d, NO_RECORD, NO_RECORD, 1};
            dist[r + 1] = dist_t{j, i, d, NO_RECORD, NO_RECORD, 1};
            dist_time[r] = dist_time[r + 1] = stamp;
            heap_loc[r >> 1] = 0;
        }
    }
}

void Run::fill_chain_heads(int64_t lo, int64_t hi)
{
    // A ring of the last CHAIN_AHEAD pairs found in range, each linked when
    // the ring comes round to it again: its head has been fetched meanwhile,
    // and the links still go in pair order.
    int32_t ring_record[CHAIN_AHEAD];
    int64_t ring_head[CHAIN_AHEAD];
    int64_t found = 0;
    auto link = [this](int32_t r, int64_t h) {
        dist[r].more = dist_hash[h];
        dist_hash[h] = r;
    };
    for (int i = 0; i + 1 < object_count; i++) {
        int64_t key = static_cast<int64_t>(i) * object_count + i + 1;
        int32_t r = static_cast<int32_t>(2 * row_start(i));
        for (int j = i + 1; j < object_count; j++, key++, r += 2) {
            int64_t h = chain_index(key);
            if (h < lo || h >= hi)
                continue;
            __builtin_prefetch(&dist_hash[h], 1, 3);
            int slot = static_cast<int>(found % CHAIN_AHEAD);
            if (found >= CHAIN_AHEAD)
                link(ring_record[slot], ring_head[slot]);
            ring_record[slot] = r;
            ring_head[slot] = h;
            found++;
        }
    }
    for (int64_t f = std::max<int64_t>(0, found - CHAIN_AHEAD); f < found; f++)
        link(ring_record[f % CHAIN_AHEAD], ring_head[f % CHAIN_AHEAD]);
}

void Run::fill_lists()
{
    for (int i = 0; i + 1 < object_count; i++) {
        int32_t r = static_cast<int32_t>(2 * row_start(i));
        for (int j = i + 1; j < object_count; j++, r += 2) {
            list_push(i, r);
            list_push(j, r + 1);
        }
    }
}

// Asks the kernel for huge pages over the whole huge pages within
// [p, p + bytes), not yet touched.  Each first touch of a page costs a
// fault and a clearing; here gigabytes are touched at once and at random
// (the chains), so fewer and larger pages save faults and address
// translation misses.  A refusal changes nothing but the speed.
static void ask_huge_pages(void *p, int64_t bytes)
{
    uintptr_t from = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(bytes)) & ~(HUGE_PAGE - 1);
    if (to > from)
        madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
}

void Run::fill_all_pairs()
{
    int64_t pairs = all_pairs(object_count);
    if (pairs == 0)
        return;
    ask_huge_pages(dist, 2 * pairs * static_cast<int64_t>(sizeof(dist_t)));
    ask_huge_pages(dist_time, 2 * pairs * static_cast<int64_t>(sizeof(int32_t)));
    ask_huge_pages(heap_loc, pairs * static_cast<int64_t>(sizeof(int32_t)));

    // The records: rows one at a time, as the first rows are the longest.
    std::atomic<int64_t> pairs_done(0);
    parallel_for(num_threads, 0, object_count - 1, 1, [&](int64_t i) {
        fill_records(static_cast<int>(i), static_cast<int>(i) + 1);
        int64_t done = pairs_done.fetch_add(object_count - 1 - i) + (object_count - 1 - i);
        if (on_main_thread())
            step_progress(0, RECORDS_SHARE, done, pairs);
    });

    // Task 0 builds the lists; tasks 1...ranges each link the chains of one
    // range of heads.  One thread does all in turn.
    int64_t ranges = num_threads > 1 ? RANGES_PER_THREAD * num_threads : 1;
    std::atomic<int64_t> tasks_done(0);
    parallel_for(num_threads, 0, ranges + 1, 1, [&](int64_t t) {
        if (t == 0) {
            fill_lists();
        } else {
            int64_t lo = dist_hash_size * (t - 1) / ranges;
            int64_t hi = dist_hash_size * t / ranges;
            fill_chain_heads(lo, hi);
        }
        int64_t done = tasks_done.fetch_add(1) + 1;
        if (on_main_thread())
            step_progress(RECORDS_SHARE, 1 - RECORDS_SHARE, done, ranges + 1);
    });

    n_dist = 2 * pairs;
    getdist_time = abstract_time;
    progress_batch(static_cast<double>(pairs));
}
