// Distance store and clustering engine of brivane.
//
// What lives here, in file order:
//   - the distance store: a fixed pool of twin pair records, a chained hash
//     table of pairs and one list per object (init_distances, getdist,
//     getdist_given, add_dist, hash_lookup, change_hash);
//   - the candidate heap: a 1-based binary min-heap of (key, pair) entries
//     whose positions are mirrored in heap_loc (build_heap, move_down,
//     move_up, heap_take_top, heap_resift, heap_remove);
//   - the merge loop: agglomerative clustering with single, average,
//     complete or weighted linkage over the known pairs only, pairs at NaN
//     distance after all others, the remaining clusters joined at +infinity
//     in random order (cluster_merge);
//   - the leaf order (permute); the output file is tree_file.cc's.
//
// The merge loop is the classic "stored matrix" agglomeration (Lance and
// Williams' update rules restricted to MIN, AVE and MAX) on a sparse matrix:
// a pair that is not stored stays unknown, and a pair known on one side only
// carries over unchanged.
#include "distances.h"

#include "compact.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <brivane/sink.hpp>

#include "Distance.h"
#include "element.h"
#include "linkage_rules.h"
#include "record_lists.h"
#include "refuse.h"
#include "run.h"
#include "threads.h"

// Messages of this module.
static const char *const MSG_STORE_FULL =
    "WARNING! Distance memory full, discarding some of the distances!";
static const char *const MSG_TOO_MANY_DISTANCES = "ERROR! Too many distances for the distance store: ";
static const char *const MSG_NO_OBJECTS = "ERROR! There are no objects to cluster!";
static const char *const MSG_TOO_MANY_OBJECTS = "ERROR! Too many objects for one dendrogram: ";

// Largest record pool whose hash table (6 heads per record, plus one) still
// has a 32-bit count.
static const int64_t MAX_DIST_SIZE = (INT32_MAX - 1) / 6;

// The pool and the heap start on a cache line, so that twin records and the
// two children of a heap position each share one line.
static const std::align_val_t CACHE_LINE{64};

// ---------------------------------------------------------------------------
// Memory access helpers.  The store, its hash table and the candidate heap are
// read at random places over gigabytes, so the hot loops fetch what they will
// need a few steps ahead.  No helper changes any value the program computes.
//
// (Huge pages for these arrays were tried: fewer address translation misses
// in the merge loop, but on the virtual machine it was measured on, the
// kernel's clearing of 2 MiB pages cost more system time than they saved.)

// The fetch helpers are forced inline: GCC takes a function whose only work
// is a prefetch for one without effect and drops the calls to it before it
// would inline them, and with them every hint.
#define FETCH_HELPER __attribute__((always_inline)) static inline
#define FETCH_MEMBER __attribute__((always_inline)) inline

// A hint to fetch the cache line at p for writing; p may be null or stale.
FETCH_HELPER void prefetch_write(const void *p)
{
    __builtin_prefetch(p, 1, 3);
}

// ---------------------------------------------------------------------------
// Distance store

// The hash chains hold pairs, not records: the chain of (i, j) is that of
// the unordered pair, keyed min * N + max, and a chain entry is the pair's even
// record (its `more` links the chain).  So both directions of a pair are
// found, and re-keyed, through one chain head and one chain link.
//
// Which chain a pair lands in (chain_index) changes no result; chain_of
// (run.h) gives a pair's chain head.
Run::Run() = default;

Run::~Run()
{
    free_distances();
    delete_pivots();
    free_join();
    delete[] dense;
}

void Run::init_distances()
{
    // A store made before (a scratch run made twice) is given back first.
    free_distances();
    int mode = settings.cluster;
    int64_t n = object_count;
    int64_t size;
    if (mode == CLUSTER_DISTMAT || ((mode == CLUSTER_ROWS || mode == CLUSTER_COLS) && settings.all_pairwise))
        size = n * n - n;
    else if (mode == CLUSTER_DISTLIST)
        size = 2 * static_cast<int64_t>(list_entries);
    else
        size = 2 * static_cast<int64_t>(num_distances) + 2;

    if (engine == ENGINE_COMPACT) {
        init_pair_table(size / 2);
        return;
    }
    if (size < 0 || size > MAX_DIST_SIZE)
        refuse(MSG_TOO_MANY_DISTANCES + std::to_string(size) + " records asked for, at most " +
               std::to_string(MAX_DIST_SIZE) + " fit");
    // A dendrogram needs one object at least: its root is node 2N-2.
    if (object_count < 1)
        refuse(MSG_NO_OBJECTS);
    if (2 * n - 1 > INT32_MAX)
        refuse(MSG_TOO_MANY_OBJECTS + std::to_string(object_count));

    dist_size = size;
    dist_hash_size = static_cast<int32_t>(6 * dist_size + 1);
    run_sink->text("dist_size=" + std::to_string(dist_size) + "\n");

    // Every capacity is even: two records per pair.
    dist = new (CACHE_LINE) dist_t[dist_size];
    dist_time = new int32_t[dist_size];
    heap_loc = new int32_t[dist_size / 2];
    dist_hash = new int32_t[dist_hash_size];
    std::fill(dist_hash, dist_hash + dist_hash_size, NO_RECORD);
    node = new node_t[object_count];
    list_pool_init(object_count, list_pool_blocks_needed(dist_size, object_count));
    for (int i = 0; i < object_count; i++) {
        node[i].size = 1;
        node[i].number = i;
        node[i].merged = 0;
    }
    n_dist = 0;
    abstract_time = 1;
}

void Run::free_distances()
{
    ::operator delete[](dist, CACHE_LINE);
    ::operator delete[](heap, CACHE_LINE);
    delete[] dist_time;
    delete[] heap_loc;
    delete[] dist_hash;
    delete[] node;
    for (int32_t **a : {&leftnode, &rightnode, &start, &end, &new2old, &old2new}) {
        delete[] *a;
        *a = nullptr;
    }
    delete[] dst;
    dst = nullptr;
    dist = nullptr;
    heap = nullptr;
    dist_time = nullptr;
    heap_loc = nullptr;
    dist_hash = nullptr;
    node = nullptr;
    n_dist = dist_size = dist_hash_size = heap_size = 0;
    list_pool_free();
    pair_table.reset();
}

double Run::calc_distance(int point1, int point2)
{
    if (rows_with_missing && (rows_with_missing[point1] | rows_with_missing[point2]))
        return pairwise_calc_distance(point1, point2);
    if (!row_ranks.empty())
        return ranked_distance(point1, point2);
    int64_t a = static_cast<int64_t>(point1) * row_length;
    int64_t b = static_cast<int64_t>(point2) * row_length;
    switch (type) {
    case TYPE_CHAR:
        return measure_char->distance(data_char + a, data_char + b, row_length, row_length);
    case TYPE_INT:
        return measure_int->distance(data_int + a, data_int + b, row_length, row_length);
    case TYPE_FLOAT:
        return measure_float->distance(data_float + a, data_float + b, row_length, row_length);
    case TYPE_DOUBLE:
        return measure_double->distance(data_double + a, data_double + b, row_length, row_length);
    default:
        return std::numeric_limits<double>::quiet_NaN();
    }
}

namespace {

template <class T> Distance<T> *new_measure(std::unique_ptr<Distance<T>> &owner, const char *distkey,
                                            double minkowski_p)
{
    owner.reset(DistanceFactory<T>().getDistance(distkey));
    if (minkowski_p != 0)
        static_cast<DistanceMinkowski<T> *>(owner.get())->p = minkowski_p;
    return owner.get();
}

} // namespace

namespace {

// The measure factory's numbers of Spearman's measures.
const int MEASURE_SPEARMAN = 7;
const int MEASURE_ABS_SPEARMAN = 8;

// The centred ranks of rows [0, n) of c elements each, on the threads.
template <class T>
void centred_rows(const T *x, int64_t n, int c, float *ranks, unsigned char *nan, int threads)
{
    const int64_t block = 1024;
    parallel_for(threads, 0, (n + block - 1) / block, 1, [&](int64_t t) {
        std::vector<int> order(c);
        std::vector<double> rank(c);
        for (int64_t i = t * block; i < std::min(n, (t + 1) * block); i++) {
            nan[i] = centred_ranks(x + i * c, c, order.data(), rank.data()) > 0;
            for (int k = 0; k < c; k++)
                ranks[i * c + k] = (float)rank[k];
        }
    });
}

} // namespace

void Run::rank_rows(const char *distkey)
{
    row_ranks.clear();
    row_ranks_nan.clear();
    if (!distkey || row_length < 2 || row_length >= (1 << 23))
        return;
    const int id = DistanceFactory<char>().getDistanceID(distkey);
    if (id != MEASURE_SPEARMAN && id != MEASURE_ABS_SPEARMAN)
        return;
    const int64_t n = object_count, elements = n * row_length;
    charge_input(elements * (int64_t)sizeof(float));
    row_ranks.resize((size_t)elements);
    row_ranks_nan.resize((size_t)n);
    ranks_absolute = id == MEASURE_ABS_SPEARMAN;
    switch (type) {
    case TYPE_DOUBLE:
        centred_rows(data_double, n, row_length, row_ranks.data(), row_ranks_nan.data(), num_threads);
        break;
    case TYPE_FLOAT:
        centred_rows(data_float, n, row_length, row_ranks.data(), row_ranks_nan.data(), num_threads);
        break;
    case TYPE_INT:
        centred_rows(data_int, n, row_length, row_ranks.data(), row_ranks_nan.data(), num_threads);
        break;
    case TYPE_CHAR:
        centred_rows(data_char, n, row_length, row_ranks.data(), row_ranks_nan.data(), num_threads);
        break;
    default:
        row_ranks.clear();
        row_ranks_nan.clear();
    }
}

double Run::ranked_distance(int point1, int point2) const
{
    if (row_ranks_nan[point1] | row_ranks_nan[point2])
        return MISSING_DISTANCE;
    const float *rx = &row_ranks[(size_t)point1 * row_length], *ry = &row_ranks[(size_t)point2 * row_length];
    // The sums of spearman_coefficient, in its order.
    double sa = 0, sb = 0, sab = 0;
    for (int k = 0; k < row_length; k++) {
        double x = rx[k], y = ry[k];
        sa += x * x;
        sb += y * y;
        sab += x * y;
    }
    double c = correlation(sa, sb, sab);
    return ranks_absolute ? one_minus_abs(c) : one_minus(c);
}

void Run::make_measure(const char *distkey, double minkowski_p)
{
    switch (type) {
    case TYPE_DOUBLE:
        measure_double = new_measure(owned_double, distkey, minkowski_p);
        break;
    case TYPE_FLOAT:
        measure_float = new_measure(owned_float, distkey, minkowski_p);
        break;
    case TYPE_INT:
        measure_int = new_measure(owned_int, distkey, minkowski_p);
        break;
    case TYPE_CHAR:
        measure_char = new_measure(owned_char, distkey, minkowski_p);
        break;
    }
}

void Run::add_dist(int i, int j, double distance)
{
    int32_t r = static_cast<int32_t>(n_dist);
    dist_t &e = dist[r];
    e.x = i;
    e.y = j;
    e.dist = distance;
    // The even record enters the pair's chain for both; the odd one's link
    // stays unused.
    e.more = NO_RECORD;
    if (!(r & 1)) {
        int32_t *chain = chain_of(i, j);
        e.more = *chain;
        *chain = r;
    }
    list_push(i, r);
    e.multi = 1;
    dist_time[r] = abstract_time;
    heap_loc[r >> 1] = 0;
    n_dist++;
}

// The record of key (i, j), or NO_RECORD: the pair {i, j} is looked for in
// its chain, and of its two records the one that starts at i is taken.
inline int32_t Run::find_record(int i, int j)
{
    for (int32_t r = *chain_of(i, j); r != NO_RECORD; r = dist[r].more) {
        const dist_t &e = dist[r];
        if (e.x == i && e.y == j)
            return r;
        if (e.x == j && e.y == i)
            return r + 1;
    }
    return NO_RECORD;
}

bool Run::stored(int i, int j)
{
    if (pair_table)
        return pair_table->find(i, j) != NO_PAIR;
    return find_record(i, j) != NO_RECORD;
}

dist_t *Run::hash_lookup(int i, int j)
{
    int32_t r = find_record(i, j);
    return r == NO_RECORD ? nullptr : &dist[r];
}

// Re-keys the pair of record r to (i2, j2) for r and (j2, i2) for its twin,
// moving the pair to its new chain.  The pair must be in its chain.
inline void Run::rekey(int32_t r, int i2, int j2)
{
    int32_t even = r & ~1;
    dist_t &e = dist[even];
    int32_t *link = chain_of(e.x, e.y);
    while (*link != even)
        link = &dist[*link].more;
    *link = e.more;
    dist[r].x = dist[r ^ 1].y = i2;
    dist[r].y = dist[r ^ 1].x = j2;
    int32_t *chain = chain_of(i2, j2);
    e.more = *chain;
    *chain = even;
}

dist_t *Run::change_hash(int i1, int j1, int i2, int j2)
{
    int32_t r = find_record(i1, j1);
    rekey(r, i2, j2);
    return &dist[r];
}

// Stores a new pair (both twins, the smaller object first) when two records
// still fit; a full store drops the pair and says so once per run.
inline double Run::store_new_pair(int i, int j, double d)
{
    getdist_time = abstract_time;
    if (pair_table) {
        if (pair_table->full()) {
            if (!distance_warning) {
                run_sink->text(std::string(MSG_STORE_FULL) + "\n");
                distance_warning = 1;
            }
            return d;
        }
        pair_table->add(i, j, d);
        n_dist += 2;
        return d;
    }
    if (n_dist + 2 > dist_size) {
        if (!distance_warning) {
            run_sink->text(std::string(MSG_STORE_FULL) + "\n");
            distance_warning = 1;
        }
        return d;
    }
    if (i < j) {
        add_dist(i, j, d);
        add_dist(j, i, d);
    } else {
        add_dist(j, i, d);
        add_dist(i, j, d);
    }
    return d;
}

void Run::prefetch_entry(int i, int j)
{
    // Before init_distances there is no table to look into.
    if (i == j || (dist_hash_size == 0 && !pair_table))
        return;
    if (pair_table) {
        pair_table->prefetch(i, j);
    } else {
        prefetch_write(chain_of(i, j));
        prefetch_write(&node[i]);
        prefetch_write(&node[j]);
    }
}

void Run::getdist_prefetch(int i, int j)
{
    if (i == j || (dist_hash_size == 0 && !pair_table))
        return;
    prefetch_entry(i, j);
    // The distance reads row j whole; row i is usually the one just read.
    const char *row = nullptr;
    int64_t at = static_cast<int64_t>(j) * row_length;
    switch (type) {
    case TYPE_CHAR: row = reinterpret_cast<const char *>(data_char + at); break;
    case TYPE_INT: row = reinterpret_cast<const char *>(data_int + at); break;
    case TYPE_FLOAT: row = reinterpret_cast<const char *>(data_float + at); break;
    case TYPE_DOUBLE: row = reinterpret_cast<const char *>(data_double + at); break;
    default: return;
    }
    int64_t bytes = std::min<int64_t>(static_cast<int64_t>(row_length) * element_size(type), 4096);
    for (int64_t b = 0; b < bytes; b += 64)
        __builtin_prefetch(row + b);
}

// A known pair is returned as stored and stamped with the current phase.
inline bool Run::known_pair(int i, int j, double &d)
{
    if (pair_table) {
        pair_id p = pair_table->find(i, j);
        if (p == NO_PAIR)
            return false;
        d = pair_table->pair(p).d;
        return true;
    }
    int32_t r = find_record(i, j);
    if (r == NO_RECORD)
        return false;
    getdist_time = dist_time[r];
    dist_time[r] = abstract_time;
    d = dist[r].dist;
    return true;
}

double Run::getdist(int i, int j, double offered)
{
    if (i == j) {
        getdist_time = 0;
        return 0.0;
    }
    double d;
    if (known_pair(i, j, d))
        return d;
    // The list entries that the new records will take are fetched while the
    // distance is computed.
    if (!pair_table) {
        list_prefetch_push(i);
        list_prefetch_push(j);
    }
    // When missing values are skipped, a pair without distance is
    // remembered, never stored.
    if (skip_pairs_without_distance && known_without_distance(i, j)) {
        getdist_time = abstract_time;
        return std::numeric_limits<double>::quiet_NaN();
    }
    // NaN fails the comparison too and is computed.
    d = offered > NO_DISTANCE ? offered : calc_distance(i, j);
    if (skip_pairs_without_distance && std::isnan(d)) {
        getdist_time = abstract_time;
        note_without_distance(i, j);
        return d;
    }
    return store_new_pair(i, j, d);
}

double Run::getdist_given(int i, int j, double offered)
{
    if (i == j) {
        getdist_time = 0;
        return 0.0;
    }
    double d;
    if (known_pair(i, j, d))
        return d;
    return store_new_pair(i, j, offered);
}

// ---------------------------------------------------------------------------
// Candidate heap.  Every comparison is ranks_after, so equal keys never swap
// and a NaN key stays below every number.
// An entry carries its pair's key, so a sift reads no record at all; whoever
// changes a pair's distance in the heap hands over the new key.

void Run::build_heap()
{
    ::operator delete[](heap, CACHE_LINE);
    heap_size = static_cast<int32_t>(n_dist / 2);
    heap = new (CACHE_LINE) heap_entry_t[heap_size + 1];
    heap[0] = heap_entry_t{0, 0};
    for (int p = 1; p <= heap_size; p++)
        heap[p] = heap_entry_t{dist[2 * static_cast<int64_t>(p - 1)].dist, p - 1};
    for (int p = heap_size / 2; p >= 1; p--) {
        poll();
        move_down(p);
    }
    for (int p = 1; p <= heap_size; p++)
        heap_loc[heap[p].pair] = p;
}

void Run::move_down(int i)
{
    heap_entry_t e = heap[i];
    int c = i;
    while (2 * c <= heap_size) {
        // The four grandchildren share a cache line; fetch it a level early.
        __builtin_prefetch(&heap[4 * static_cast<int64_t>(c)]);
        int child = 0;
        double d = e.key;
        if (ranks_after(e.key, heap[2 * c].key)) {
            child = 2 * c;
            d = heap[child].key;
        }
        if (2 * c + 1 <= heap_size && ranks_after(d, heap[2 * c + 1].key))
            child = 2 * c + 1;
        if (!child)
            break;
        heap[c] = heap[child];
        heap_loc[heap[c].pair] = c;
        c = child;
    }
    heap[c] = e;
    heap_loc[e.pair] = c;
}

void Run::move_up(int i)
{
    heap_entry_t e = heap[i];
    int c = i;
    while (c / 2 >= 1 && ranks_after(heap[c / 2].key, e.key)) {
        heap[c] = heap[c / 2];
        heap_loc[heap[c].pair] = c;
        c /= 2;
    }
    heap[c] = e;
    heap_loc[e.pair] = c;
}

dist_t *Run::heap_take_top()
{
    dist_t *top = heap_record(1);
    heap[1] = heap[heap_size];
    heap_loc[heap[1].pair] = 1;
    heap_size--;
    move_down(1);
    return top;
}

void Run::heap_resift(dist_t *r, double old_key, double new_key)
{
    int p = pair_heap_loc(r);
    heap[p].key = new_key;
    if (ranks_after(new_key, old_key))
        move_down(p);
    else
        move_up(p);
}

void Run::heap_remove(dist_t *r, double key)
{
    int p = pair_heap_loc(r);
    if (p < heap_size) {
        heap[p] = heap[heap_size];
        heap_loc[heap[p].pair] = p;
        heap_size--;
        if (ranks_after(heap[p].key, key))
            move_down(p);
        else
            move_up(p);
    } else {
        heap_size--;
    }
}

// ---------------------------------------------------------------------------
// Merge loop

// Records merge n of slots x (absorbed) and y (surviving) at distance d; the
// larger cluster becomes the left child, the absorbed one on equal sizes.
inline void Run::record_merge(int n, int x, int y, double d)
{
    bool y_left = node[x].size < node[y].size;
    leftnode[n] = node[y_left ? y : x].number;
    rightnode[n] = node[y_left ? x : y].number;
    dst[n] = d;
    node[y].size += node[x].size;
    node[y].number = n;
    node[x].merged = 1;
}

// Absorb fetches for each list entry xz (from x to z) in two steps, while
// earlier entries are worked on.  First the chain head of {y, z}, which the
// lookup reads and a re-keying pushes onto, and that of {x, z}, which a
// re-keying leaves.  xz's record itself has arrived.
FETCH_MEMBER void Run::fetch_entry(int x, int y, int32_t xz)
{
    int z = dist[xz].y;
    prefetch_write(chain_of(y, z));
    prefetch_write(chain_of(x, z));
}

// Then, entries later, the chain head names the pair that the lookup will
// most likely find; if there is one, the pair of xz will be retired, so its
// twin's list entry, z's entry and both pairs' heap places are fetched too.
// An empty chain means a re-keying, which needs nothing more.
FETCH_MEMBER void Run::fetch_entry_more(int y, int32_t xz)
{
    const dist_t &e = dist[xz];
    int32_t head = *chain_of(y, e.y);
    if (head == NO_RECORD)
        return;
    prefetch_write(&dist[head]);
    __builtin_prefetch(&heap_loc[head >> 1]);
    __builtin_prefetch(&heap_loc[xz >> 1]);
    prefetch_write(&node[e.y]);
    prefetch_write(list_entry_address(xz ^ 1));
}

// How many entries ahead of the one worked on absorb fetches each entry's
// record, its chain heads and what its lookup leads to.
static const int AHEAD_RECORD = 6;
static const int AHEAD_CHAINS = 3;
static const int AHEAD_LOOKUP = 1;

// Moves x's pairs over to y: pairs that y also knows are combined by the
// linkage rule and x's side retired, the others are re-keyed to y.
//
// x's list is taken whole first (its blocks hold the record numbers, so this
// costs one dependent fetch per block), and x's entries are then worked on
// in list order, each one's memory fetched in steps while earlier entries
// are worked on.  Working on an entry changes the lists of y and z only.
// Forced inline into the merge loop, its only caller, as it was while it was
// a function of this file alone: GCC keeps a member of outside linkage a call.
__attribute__((always_inline)) inline void Run::absorb(int x, int y, int32_t xy, int linkage)
{
    absorbed.clear();
    list_take(x, absorbed);
    const int32_t *e = absorbed.data();
    const int n = static_cast<int>(absorbed.size());
    for (int k = 0; k < std::min(n, AHEAD_RECORD); k++)
        prefetch_write(&dist[e[k]]);
    for (int k = 0; k < std::min(n, AHEAD_CHAINS); k++)
        fetch_entry(x, y, e[k]);
    for (int k = 0; k < std::min(n, AHEAD_LOOKUP); k++)
        fetch_entry_more(y, e[k]);
    for (int k = 0; k < n; k++) {
        if (k + AHEAD_RECORD < n)
            prefetch_write(&dist[e[k + AHEAD_RECORD]]);
        if (k + AHEAD_CHAINS < n)
            fetch_entry(x, y, e[k + AHEAD_CHAINS]);
        if (k + AHEAD_LOOKUP < n)
            fetch_entry_more(y, e[k + AHEAD_LOOKUP]);

        int32_t xz = e[k];
        dist_t &exz = dist[xz];
        int z = exz.y;
        if (z == y) {
            list_unlink(y, dist[xy].x == y ? xy : xy ^ 1);
            continue;
        }
        int32_t zx = xz ^ 1;
        int32_t yz = find_record(y, z);
        if (yz == NO_RECORD) {
            rekey(xz, y, z);
            list_push(y, xz);
            continue;
        }
        dist_t &eyz = dist[yz], &ezy = dist[yz ^ 1];
        double old = eyz.dist;
        double merged = linkage_update(linkage, old, eyz.multi, exz.dist, exz.multi);
        int32_t multi = eyz.multi + exz.multi;
        eyz.dist = ezy.dist = merged;
        eyz.multi = ezy.multi = multi;
        heap_resift(&eyz, old, merged);
        list_unlink(z, zx);
        heap_remove(&dist[zx], dist[zx].dist);
    }
}

void Run::new_dendrogram()
{
    for (int32_t *a : {leftnode, rightnode, start, end, new2old, old2new})
        delete[] a;
    delete[] dst;
    int nodes = 2 * object_count - 1;
    leftnode = new int32_t[nodes];
    rightnode = new int32_t[nodes];
    dst = new double[nodes];
    start = new int32_t[nodes];
    end = new int32_t[nodes];
    new2old = new int32_t[nodes];
    old2new = new int32_t[nodes];
    for (int n = 0; n < nodes; n++) {
        leftnode[n] = rightnode[n] = -1;
        dst[n] = 0.0;
        start[n] = end[n] = n;
        new2old[n] = old2new[n] = -1;
    }
}

void Run::cluster_merge()
{
    int linkage = settings.linkage;
    build_heap();
    new_dendrogram();

    int merge = 0;
    while (heap_size > 0) {
        merge++;
        dist_t *xy = heap_take_top();
        int x = xy->x, y = xy->y;
        // The slot with more stored pairs survives, so that each merge walks
        // the shorter list.
        if (node[x].dist_count > node[y].dist_count)
            std::swap(x, y);
        record_merge(object_count + merge - 1, x, y, xy->dist);
        absorb(x, y, static_cast<int32_t>(xy - dist), linkage);
        progress_tick(merge);
    }

    // Clusters that no known pair connects: join them in random order.
    int t = object_count - merge - 1;
    if (t > 0) {
        int32_t *live = new int32_t[t + 1];
        for (int i = 0, k = 0; i < object_count; i++)
            if (!node[i].merged)
                live[k++] = i;
        join_unconnected(live, t, run_random, [&](int x, int y) {
            merge++;
            record_merge(object_count + merge - 1, x, y, std::numeric_limits<double>::infinity());
        });
        delete[] live;
    }
}

// ---------------------------------------------------------------------------
// Leaf order

// Walks the subtree of nd depth first with an explicit stack, so that a chain
// of N leaves needs no call depth.  Entries >= 0 are nodes still to enter,
// entries ~n (negative) mark the exit from internal node n.
int Run::permute(int nd, int st)
{
    std::vector<int32_t> stack;
    stack.push_back(nd);
    int pos = st;
    while (!stack.empty()) {
        int32_t n = stack.back();
        stack.pop_back();
        if (n < 0) {
            n = ~n;
            end[n] = pos - 1;
            // A leaf child is given by its position.
            if (leftnode[n] < object_count)
                leftnode[n] = old2new[leftnode[n]];
            if (rightnode[n] < object_count)
                rightnode[n] = old2new[rightnode[n]];
        } else if (n < object_count) {
            new2old[pos] = n;
            old2new[n] = pos;
            pos++;
        } else {
            start[n] = pos;
            stack.push_back(~n);
            stack.push_back(rightnode[n]);
            stack.push_back(leftnode[n]);
        }
    }
    return pos - st;
}

void Run::cluster()
{
    if (pair_table)
        compact_merge();
    else
        cluster_merge();
    permute(2 * object_count - 2, 0);
}
