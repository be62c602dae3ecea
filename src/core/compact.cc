// The compact engine: the pair table and the merge loop over a graph of clusters.
//
// The merge loop makes the store's merges from a fraction of its memory.  A
// cluster slot keeps a list of the pairs that end at it (blocks of 15 pair
// numbers), and a heap holds one entry per pair alive.  A merge
// of slots x and y walks the shorter list, x's, as the store does: a pair
// {x, z} that y also has, {y, z}, is combined into it by the linkage rule
// and retired; one that y lacks moves its end from x to y and onto y's list.
// A retired pair stays on z's list until z's own list is walked, where it
// is passed over: no list is searched.
//
// The candidate heap holds every pair alive, with its place kept per pair,
// as the store's does.
//
// Ward, centroid and median linkage have no update rule over distances
// alone where only some pairs are known: a merge value follows from the two
// clusters' sizes and centroids (median: midpoints of the halves), kept per
// cluster.  Two clusters are candidates while a known pair connects them; a
// merge makes the merged cluster's centroid and drops the pairs that y
// already has.  A value can go up or down as centroids move (inversions:
// the merged cluster may lie nearer to a third than either half did), so a
// pair's key is a lower bound of its value, not the value: its height less
// what its two centroids may still move before the pair is valued again
// (the height is a size factor, which only grows, times the centroids'
// distance, which falls by at most what they move).  A slot counts how far
// its centroid has moved since its pairs were last valued, against an
// allowance of half the distance of the merge that last valued them; a
// merge that takes a slot past its allowance values all its pairs again.
// A large cluster that takes in small ones moves little at each merge, so
// its long list is walked a few times per doubling of its size, not at
// every merge.  The pair on top is valued exactly; it is merged when no
// other key lies below that value, else its clusters' allowances shrink
// until its key no longer lies below the next one.  This is the merge order
// of valuing every pair after every merge, without its cost.
//
// What the store decides by its records is decided here the same way: the
// slot with more pairs survives (on equal counts the pair's first end is
// absorbed), the larger cluster is the left child (the absorbed one on
// equal sizes), and the clusters no pair connects are joined at +infinity
// in the store's random order.  On distances without ties the two engines
// give the same dendrogram.
#include "compact.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include <sys/mman.h>

#include "element.h"
#include "linkage_rules.h"
#include "refuse.h"
#include "run.h"
#include "threads.h"

// ---------------------------------------------------------------------------
// Big arrays

static const size_t HUGE_FROM = size_t(32) << 20;

void *big_alloc(size_t bytes)
{
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    if (bytes >= HUGE_FROM)
        madvise(p, bytes, MADV_HUGEPAGE);
    return p;
}

void big_free(void *p, size_t bytes)
{
    munmap(p, bytes);
}

// ---------------------------------------------------------------------------
// Pair table

PairTable::PairTable(int64_t objects, int64_t capacity)
    : objects_(objects), capacity_(capacity),
      slot_count_(static_cast<uint64_t>(std::max<double>(COMPACT_SLOTS_PER_PAIR * capacity, capacity + 64.0))),
      pairs_(capacity), slots_(static_cast<int64_t>(slot_count_))
{
    for (uint64_t s = 0; s < slot_count_; s++)
        slots_[s].pair = NO_PAIR;
}

void PairTable::insert(pair_id p, uint32_t tag)
{
    uint64_t s = home(tag);
    while (slots_[s].pair != NO_PAIR)
        s = next(s);
    slots_[s] = Slot{p, tag};
}

// Linear probing without tombstones: the entries after the hole that may
// live there (their home is not between the hole and themselves, cyclically)
// move back into it, so that no probe ever meets a gap it should not.
void PairTable::erase(pair_id p, uint32_t tag)
{
    uint64_t hole = home(tag);
    while (slots_[hole].pair != p)
        hole = next(hole);
    for (uint64_t s = next(hole); slots_[s].pair != NO_PAIR; s = next(s)) {
        uint64_t h = home(slots_[s].tag);
        bool stays = hole <= s ? (hole < h && h <= s) : (hole < h || h <= s);
        if (!stays) {
            slots_[hole] = slots_[s];
            hole = s;
        }
    }
    slots_[hole].pair = NO_PAIR;
}

pair_id PairTable::add(int i, int j, double d)
{
    pair_id p = static_cast<pair_id>(count_++);
    pairs_[p] = CompactPair{std::min(i, j), std::max(i, j), d};
    insert(p, tag_of(i, j));
    return p;
}

void PairTable::move_end(pair_id p, int from, int to)
{
    CompactPair &e = pairs_[p];
    erase(p, tag_of(e.a, e.b));
    if (e.a == from)
        e.a = to;
    else
        e.b = to;
    insert(p, tag_of(e.a, e.b));
}

void PairTable::retire(pair_id p)
{
    CompactPair &e = pairs_[p];
    erase(p, tag_of(e.a, e.b));
    e.a = -1;
}

namespace {

// ---------------------------------------------------------------------------
// The slots' lists of pairs: blocks of 16 words, the first linking to the
// next block, the others pair numbers.  Only a list's head block is partly
// filled, from word 1 up, so that a list of e pairs takes ceil(e / 15)
// blocks, and a merge never needs more blocks than it frees: the pool made
// for the first lists is enough to the end.

const uint32_t NO_BLOCK = UINT32_MAX;
const int BLOCK_WORDS = 16;
const int BLOCK_PAIRS = BLOCK_WORDS - 1;

struct ClusterSlot {
    uint32_t head = NO_BLOCK;  // the list's head block
    int32_t fill = 0;          // pairs in the head block
    int32_t degree = 0;        // pairs alive that end here
    int32_t size = 1;          // objects in the cluster
    int32_t number = 0;        // dendrogram node of the cluster
    bool merged = false;       // absorbed into another slot
};

class PairLists {
  public:
    // Lists of the table's pairs for `slots` slots, each in pair order.
    PairLists(const PairTable &table, std::vector<ClusterSlot> &slots, int threads);

    void push(ClusterSlot &s, pair_id p)
    {
        if (s.head == NO_BLOCK || s.fill == BLOCK_PAIRS) {
            uint32_t b = take_block();
            pool_[static_cast<uint64_t>(b) * BLOCK_WORDS] = s.head;
            s.head = b;
            s.fill = 0;
        }
        pool_[static_cast<uint64_t>(s.head) * BLOCK_WORDS + 1 + s.fill++] = p;
    }
    // Empties slot s's list into `out`, its blocks back to the free chain.
    void take(ClusterSlot &s, std::vector<pair_id> &out)
    {
        out.clear();
        uint32_t b = s.head;
        if (b == NO_BLOCK)
            return;
        const uint32_t *block = &pool_[static_cast<uint64_t>(b) * BLOCK_WORDS];
        out.insert(out.end(), block + 1, block + 1 + s.fill);
        for (;;) {
            uint32_t next = block[0];
            if (next == NO_BLOCK)
                break;
            block = &pool_[static_cast<uint64_t>(next) * BLOCK_WORDS];
            __builtin_prefetch(&pool_[static_cast<uint64_t>(block[0] == NO_BLOCK ? next : block[0]) * BLOCK_WORDS]);
            out.insert(out.end(), block + 1, block + BLOCK_WORDS);
            b = next;
        }
        // b is the list's last block: the whole chain goes onto the free one.
        pool_[static_cast<uint64_t>(b) * BLOCK_WORDS] = free_;
        free_ = s.head;
        s.head = NO_BLOCK;
        s.fill = 0;
    }
    int64_t bytes() const { return blocks_ * BLOCK_WORDS * 4; }

  private:
    BigArray<uint32_t> pool_;
    uint64_t blocks_ = 0;
    uint32_t free_ = NO_BLOCK;

    uint32_t take_block()
    {
        if (free_ == NO_BLOCK)
            refuse("ERROR! The compact engine's lists ran out of blocks.");
        uint32_t b = free_;
        free_ = pool_[static_cast<uint64_t>(b) * BLOCK_WORDS];
        return b;
    }
};

PairLists::PairLists(const PairTable &table, std::vector<ClusterSlot> &slots, int threads)
{
    const int64_t n = static_cast<int64_t>(slots.size());
    const int64_t pairs = table.count();
    for (int64_t p = 0; p < pairs; p++) {
        slots[table.pair(p).a].degree++;
        slots[table.pair(p).b].degree++;
    }
    // Slot s's blocks are first[s] ... first[s] + ceil(degree / 15) - 1, its
    // head (the partly filled one) first.
    std::vector<uint64_t> first(n + 1, 0);
    for (int64_t s = 0; s < n; s++)
        first[s + 1] = first[s] + (slots[s].degree + BLOCK_PAIRS - 1) / BLOCK_PAIRS;
    blocks_ = first[n] + 1;
    if (blocks_ >= NO_BLOCK)
        refuse("ERROR! Too many pairs for the compact engine's lists.");
    pool_.reset(static_cast<int64_t>(blocks_ * BLOCK_WORDS));
    // One spare block: a merge frees its blocks only after it has pushed.
    free_ = static_cast<uint32_t>(first[n]);
    pool_[first[n] * BLOCK_WORDS] = NO_BLOCK;
    for (int64_t s = 0; s < n; s++) {
        int64_t count = (slots[s].degree + BLOCK_PAIRS - 1) / BLOCK_PAIRS;
        ClusterSlot &slot = slots[s];
        slot.head = count ? static_cast<uint32_t>(first[s]) : NO_BLOCK;
        slot.fill = count ? slot.degree - BLOCK_PAIRS * static_cast<int32_t>(count - 1) : 0;
        for (int64_t b = 0; b < count; b++)
            pool_[(first[s] + b) * BLOCK_WORDS] = b + 1 < count ? static_cast<uint32_t>(first[s] + b + 1) : NO_BLOCK;
    }
    // The entries, each thread filling the lists of a range of slots in
    // pair order: every thread reads all pairs, and the lists come out the
    // same for every number of threads.
    auto fill = [&](int64_t lo, int64_t hi) {
        std::vector<int32_t> filled(hi - lo, 0);
        auto put = [&](int64_t s, pair_id p) {
            int32_t k = filled[s - lo]++;
            const ClusterSlot &slot = slots[s];
            uint64_t word = k < slot.fill ? first[s] * BLOCK_WORDS + 1 + k
                                          : (first[s] + 1 + (k - slot.fill) / BLOCK_PAIRS) * BLOCK_WORDS + 1 +
                                                (k - slot.fill) % BLOCK_PAIRS;
            pool_[word] = p;
        };
        for (int64_t p = 0; p < pairs; p++) {
            const CompactPair &e = table.pair(p);
            if (e.a >= lo && e.a < hi)
                put(e.a, static_cast<pair_id>(p));
            if (e.b >= lo && e.b < hi)
                put(e.b, static_cast<pair_id>(p));
        }
    };
    int parts = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, pairs / 100000)));
    parallel_for(parts, 0, parts, 1, [&](int64_t k) { fill(n * k / parts, n * (k + 1) / parts); });
}

// ---------------------------------------------------------------------------
// The candidate heap: a binary min-heap of (key, pair) in the merge loop's
// order, 12 bytes an entry, and each pair's place in it (4 bytes), so that
// a pair whose distance changes moves from where it is and a retired one
// leaves at once.

struct __attribute__((packed)) HeapEntry {
    double key;
    pair_id pair;
};

class PairHeap {
  public:
    // Every pair of the table, in pair order, made into a heap.
    explicit PairHeap(const PairTable &table)
        : size_(table.count()), entries_(size_), place_(size_)
    {
        for (int64_t p = 0; p < size_; p++)
            entries_[p] = HeapEntry{table.pair(static_cast<pair_id>(p)).d, static_cast<pair_id>(p)};
        for (int64_t i = size_ / 2 - 1; i >= 0; i--)
            sift_down(i, entries_[i]);
        for (int64_t i = 0; i < size_; i++)
            place_[entries_[i].pair] = static_cast<uint32_t>(i);
    }

    bool empty() const { return size_ == 0; }
    pair_id top() const { return entries_[0].pair; }
    // Hints that pair p's entry is wanted soon: first for its place, then
    // (once that is at hand) for the entry.
    void prefetch_place(pair_id p) const { __builtin_prefetch(&place_[p]); }
    void prefetch_entry(pair_id p) const { __builtin_prefetch(&entries_[place_[p]], 1); }

    void remove(pair_id p)
    {
        int64_t i = place_[p];
        HeapEntry last = entries_[--size_];
        if (i == size_)
            return;
        if (ranks_after(last.key, entries_[i].key))
            sift_down(i, last);
        else
            sift_up(i, last);
    }
    double top_key() const { return entries_[0].key; }
    // The least key below the top, +infinity when the top is alone.
    double second_key() const
    {
        if (size_ < 2)
            return std::numeric_limits<double>::infinity();
        if (size_ < 3 || !ranks_after(entries_[1].key, entries_[2].key))
            return entries_[1].key;
        return entries_[2].key;
    }
    // Pair p's key changed from its entry's to `key`.
    void change(pair_id p, double key)
    {
        int64_t i = place_[p];
        HeapEntry e{key, p};
        if (ranks_after(key, entries_[i].key))
            sift_down(i, e);
        else
            sift_up(i, e);
    }

  private:
    int64_t size_;
    BigArray<HeapEntry> entries_;
    BigArray<uint32_t> place_;

    void put(int64_t i, const HeapEntry &e)
    {
        entries_[i] = e;
        place_[e.pair] = static_cast<uint32_t>(i);
    }
    void sift_down(int64_t i, HeapEntry e)
    {
        for (;;) {
            int64_t child = 2 * i + 1;
            if (child >= size_)
                break;
            __builtin_prefetch(&entries_[4 * i + 3]);
            if (child + 1 < size_ && ranks_after(entries_[child].key, entries_[child + 1].key))
                child++;
            if (!ranks_after(e.key, entries_[child].key))
                break;
            put(i, entries_[child]);
            i = child;
        }
        put(i, e);
    }
    void sift_up(int64_t i, HeapEntry e)
    {
        while (i > 0) {
            int64_t parent = (i - 1) / 2;
            if (!ranks_after(entries_[parent].key, e.key))
                break;
            put(i, entries_[parent]);
            i = parent;
        }
        put(i, e);
    }
};

// ---------------------------------------------------------------------------
// The clusters' centroids, for Ward, centroid and median linkage.  A
// singleton's centroid is its data row, read where it lies; a cluster of two
// objects or more has a row of doubles from a pool of N/2 (clusters of two
// or more are at most N/2 at any time), which it hands on when it is
// absorbed or frees when both halves had one.

class ClusterCentroids {
  public:
    virtual ~ClusterCentroids() = default;
    // Slot y becomes the merge of slots x (nx objects) and y (ny).
    virtual void merge(int x, int y, double nx, double ny) = 0;
    // The height of a merge of slot y (of two objects or more, ny of them)
    // with slot z (nz): Ward's sqrt(2 ny nz / (ny + nz)) |c_y - c_z|, the
    // others' |c_y - c_z|.
    virtual double height(int y, double ny, int z, double nz) const = 0;
    // Hints that height(., ., z, .) follows soon: first for the slot's row
    // number, then (once that is at hand) for the row itself.
    virtual void prefetch_row_number(int z) const = 0;
    virtual void prefetch(int z) const = 0;
};

// The squared distance of rows a and b of c elements, in four partial sums
// that the processor may add side by side.
template <class A, class B> double squared_distance(const A *a, const B *b, int64_t c)
{
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int64_t k = 0;
    for (; k + 4 <= c; k += 4) {
        double d0 = (double)a[k] - (double)b[k], d1 = (double)a[k + 1] - (double)b[k + 1];
        double d2 = (double)a[k + 2] - (double)b[k + 2], d3 = (double)a[k + 3] - (double)b[k + 3];
        s0 += d0 * d0;
        s1 += d1 * d1;
        s2 += d2 * d2;
        s3 += d3 * d3;
    }
    for (; k < c; k++) {
        double d = (double)a[k] - (double)b[k];
        s0 += d * d;
    }
    return (s0 + s1) + (s2 + s3);
}

// The most of a centroid's row fetched ahead; the processor's own
// prefetcher takes the rest of a longer row as it is read.
const int64_t PREFETCH_ROW_BYTES = 1024;

template <class T> class CentroidsOf : public ClusterCentroids {
  public:
    CentroidsOf(const T *data, int n, int64_t c, int linkage)
        : data_(data), c_(c), median_(linkage == LINKAGE_MEDIAN), ward_(linkage == LINKAGE_WARD),
          pool_(std::max<int64_t>(1, (n / 2) * c)), row_(n), free_(std::max(1, n / 2)), free_count_(n / 2)
    {
        // Rows are numbered from 1 (0: the slot is a singleton); the lowest
        // comes first off the chain.
        for (int r = 0; r < free_count_; r++)
            free_[r] = free_count_ - r;
    }

    void merge(int x, int y, double nx, double ny) override
    {
        int32_t rx = row_[x], ry = row_[y];
        const T *dx = data_ + (int64_t)x * c_, *dy = data_ + (int64_t)y * c_;
        if (ry) {
            // y keeps its row; x's, if it had one, is free again.
            double *to = row(ry);
            if (rx)
                combine(row(rx), to, to, nx, ny);
            else
                combine(dx, to, to, nx, ny);
            if (rx)
                free_[free_count_++] = rx;
        } else if (rx) {
            // x's row is handed on to y (each element read before it is
            // written).
            double *to = row(rx);
            combine(to, dy, to, nx, ny);
            row_[y] = rx;
        } else {
            if (free_count_ == 0)
                refuse("ERROR! The compact engine ran out of centroid rows.");
            int32_t r = free_[--free_count_];
            combine(dx, dy, row(r), nx, ny);
            row_[y] = r;
        }
        row_[x] = 0;
    }

    double height(int y, double ny, int z, double nz) const override
    {
        const double *cy = row(row_[y]);
        double sq = row_[z] ? squared_distance(cy, row(row_[z]), c_)
                            : squared_distance(cy, data_ + (int64_t)z * c_, c_);
        // The sizes in one order, so that a pair valued from either end
        // has the same height to the last bit.
        double lo = std::min(ny, nz), hi = std::max(ny, nz);
        return std::sqrt(ward_ ? 2 * lo * hi / (lo + hi) * sq : sq);
    }

    void prefetch_row_number(int z) const override { __builtin_prefetch(&row_[z]); }
    void prefetch(int z) const override
    {
        const char *p = row_[z] ? (const char *)row(row_[z]) : (const char *)(data_ + (int64_t)z * c_);
        int64_t bytes = row_[z] ? c_ * (int64_t)sizeof(double) : c_ * (int64_t)sizeof(T);
        for (int64_t b = 0; b < std::min<int64_t>(bytes, PREFETCH_ROW_BYTES); b += 64)
            __builtin_prefetch(p + b);
    }

  private:
    const T *data_;
    int64_t c_;
    bool median_, ward_;
    BigArray<double> pool_;
    BigArray<int32_t> row_;   // per slot: its row, 0 for a singleton
    BigArray<int32_t> free_;  // the rows free, the next one last
    int32_t free_count_;

    double *row(int32_t r) { return &pool_[(int64_t)(r - 1) * c_]; }
    const double *row(int32_t r) const { return &pool_[(int64_t)(r - 1) * c_]; }

    // The merged centroid into `to` from x's centroid `a` and y's `b`:
    // Ward and centroid linkage weigh the halves by their sizes, median
    // linkage takes the midpoint.
    template <class A, class B> void combine(const A *a, const B *b, double *to, double nx, double ny)
    {
        if (median_) {
            for (int64_t k = 0; k < c_; k++)
                to[k] = ((double)a[k] + (double)b[k]) / 2;
        } else {
            double n = nx + ny;
            for (int64_t k = 0; k < c_; k++)
                to[k] = (nx * (double)a[k] + ny * (double)b[k]) / n;
        }
    }
};

// The merge loop looks up the pairs {y, z} of this many list entries of x
// at a time, each step over the whole batch before the next reads what it
// fetched: the pairs {x, z} (fetched a batch early); the hash slots of
// {y, z} and {x, z}; the pair {y, z} the slots name; the lookup itself, and
// the heap places, counts and cluster slots of what it found; the heap
// entries.  A rolling window of fetches a few entries ahead left the first
// entries of every list unfetched and one chain of misses in flight; a
// batch keeps a miss of each of its entries in flight at every step.
const int MERGE_BATCH = 16;

// The centroids of a run's data matrix, of its element type.
std::unique_ptr<ClusterCentroids> make_centroids(const Run &run)
{
    int n = run.object_count;
    int64_t c = run.row_length;
    int linkage = run.settings.linkage;
    switch (run.type) {
    case TYPE_CHAR:
        return std::unique_ptr<ClusterCentroids>(new CentroidsOf<char>(run.data_char, n, c, linkage));
    case TYPE_INT:
        return std::unique_ptr<ClusterCentroids>(new CentroidsOf<int>(run.data_int, n, c, linkage));
    case TYPE_FLOAT:
        return std::unique_ptr<ClusterCentroids>(new CentroidsOf<float>(run.data_float, n, c, linkage));
    default:
        return std::unique_ptr<ClusterCentroids>(new CentroidsOf<double>(run.data_double, n, c, linkage));
    }
}

// How many list entries ahead of the one valued again the loop fetches
// what it will need, in three steps, each reading what the one before
// fetched: the pair; the other end's slot and row number; its centroid's
// row.
const int AHEAD_ROW_PAIR = 12;
const int AHEAD_ROW_SLOT = 8;
const int AHEAD_ROW = 4;

// How far a cluster's centroid may move before all its pairs are valued
// again: this many times the move of the merge that valued them last (a
// large cluster that takes in small ones moves about alike at each, and
// walks its list about once in this many merges), and at most this share of
// that merge's distance of centroids (two clusters of like sizes move far at
// a merge, and far allowances would leave their keys well below their
// values, each to come up to the top once more).  Tried on 10^5 rows of a
// Gaussian mixture, 2*10^6 pairs from random only to 95 % similar: 16 to 64
// merges, a share of 0.1 to 0.5, about alike.
const double DRIFT_MERGES = 64;
const double DRIFT_SHARE = 0.25;

// A slot's near pairs are sorted and kept once each from this many on.
const size_t NEAR_SORTED_FROM = 64;

} // namespace

int64_t compact_centroid_bytes(int linkage, int row_length)
{
    return centroid_linkage(linkage)
               ? COMPACT_CENTROID_BYTES_PER_ELEMENT * row_length + COMPACT_CENTROID_BYTES_PER_OBJECT
               : 0;
}

double compact_centroid_scale(int linkage, int row_length)
{
    return centroid_linkage(linkage) ? CENTROID_SCALE_BASE + CENTROID_SCALE_PER_ELEMENT * row_length : 1;
}

// The merge loop of the compact engine, into the dendrogram arrays (leaf
// children given by object index, as cluster_merge leaves them).
void Run::compact_merge()
{
    PairTable &table = *pair_table;
    const int linkage = settings.linkage;
    const int n = object_count;
    new_dendrogram();
    std::vector<ClusterSlot> slots(n);
    for (int i = 0; i < n; i++)
        slots[i].number = i;
    PairLists lists(table, slots, num_threads);
    poll();
    // Object-pair counts only average linkage reads.
    BigArray<uint32_t> multi;
    if (linkage == LINKAGE_AVE) {
        multi.reset(table.count());
        std::fill(multi.get(), multi.get() + table.count(), 1u);
    }
    PairHeap heap(table);
    std::unique_ptr<ClusterCentroids> centroids;
    if (centroid_linkage(linkage))
        centroids = make_centroids(*this);
    poll();

    // Merge `node` of slots x (absorbed) and y (surviving) at distance d, as
    // the store records it: the larger cluster the left child, the absorbed
    // one on equal sizes.
    auto record = [&](int node, int x, int y, double d) {
        ClusterSlot &sx = slots[x], &sy = slots[y];
        bool y_left = sx.size < sy.size;
        leftnode[node] = y_left ? sy.number : sx.number;
        rightnode[node] = y_left ? sx.number : sy.number;
        dst[node] = d;
        sy.size += sx.size;
        sy.number = node;
        sx.merged = true;
    };
    std::vector<pair_id> absorbed, around;
    // Per slot, for the centroid linkages: how far its centroid has moved
    // since its pairs were last valued, and how far it may move before they
    // are valued again.
    struct Drift {
        double moved = 0, allowed = 0;
    };
    std::vector<Drift> drift(centroids ? n : 0);
    // The near pairs: those whose key, less their clusters' allowances,
    // would lie below the heap's top (the merges about to come), and those
    // that came to the top above their key.  A near pair's key is its value,
    // which both its clusters work out again at each of their merges: each
    // keeps a list of its near pairs (with pairs that left it, passed over),
    // and a bit per pair says which are near (in the 4 bytes a pair that
    // average linkage's counts take).
    std::vector<std::vector<pair_id>> near(centroids ? n : 0);
    std::vector<bool> is_near(centroids ? table.count() : 0);
    const bool ward = linkage == LINKAGE_WARD;
    // A pair's height over its centroids' distance.
    auto factor = [ward](double na, double nb) { return ward ? std::sqrt(2 * na * nb / (na + nb)) : 1.0; };
    auto left = [&](int s) { return drift[s].allowed - drift[s].moved; };
    auto height = [&](int y, int z) { return centroids->height(y, slots[y].size, z, slots[z].size); };
    // Pair e's key falls to `key`; a key already lower holds as well and
    // stays, unless the pair is near, where a low key would only bring it
    // up to be valued once more.
    auto set_key = [&](pair_id e, double key, bool near_pair) {
        CompactPair &q = table.pair(e);
        if (ranks_after(q.d, key) || !(key == key) || (near_pair && key != q.d)) {
            q.d = key;
            heap.change(e, key);
        }
    };
    // The key of pair {y, z} of height h that holds while both stay within
    // their allowances.
    auto far_key = [&](double h, int y, int z) {
        return h == h ? h - factor(slots[y].size, slots[z].size) * (left(y) + left(z)) : h;
    };
    auto make_near = [&](pair_id e, int a, int b) {
        if (is_near[e])
            return;
        is_near[e] = true;
        near[a].push_back(e);
        near[b].push_back(e);
    };
    // Pair e of slots y (just merged) and z valued: near, with its value
    // as key, where its far key would lie below the heap's top `top`, else
    // far.  Whether it is near now.
    auto value_pair = [&](pair_id e, int y, int z, double top) {
        double h = height(y, z), key = far_key(h, y, z);
        bool now_near = !(key >= top) && h == h;
        if (now_near)
            key = h;
        else
            is_near[e] = false;
        set_key(e, key, now_near);
        return now_near;
    };
    // The value of pair q now: a pair of two objects has its distance.
    auto exact = [&](const CompactPair &q) {
        if (slots[q.a].size > 1)
            return height(q.a, q.b);
        if (slots[q.b].size > 1)
            return height(q.b, q.a);
        return q.d;
    };
    // What valuing the pairs e[k] of slot y reads, fetched in three steps,
    // each reading what the one before fetched: the pair; the other end's
    // slot, drift, row number and the pair's heap place; the other end's
    // row and the heap entry.
    auto fetch_first = [&](const pair_id *e, int64_t count) {
        for (int64_t k = 0; k < std::min<int64_t>(count, AHEAD_ROW_PAIR); k++)
            __builtin_prefetch(&table.pair(e[k]), 1);
    };
    auto fetch_ahead = [&](int y, const pair_id *e, int64_t count, int64_t k) {
        auto other = [&](const CompactPair &q) { return q.a == y ? q.b : q.a; };
        if (k + AHEAD_ROW_PAIR < count)
            __builtin_prefetch(&table.pair(e[k + AHEAD_ROW_PAIR]), 1);
        if (k + AHEAD_ROW_SLOT < count) {
            const CompactPair &q = table.pair(e[k + AHEAD_ROW_SLOT]);
            if (q.a >= 0) {
                __builtin_prefetch(&slots[other(q)]);
                __builtin_prefetch(&drift[other(q)]);
                centroids->prefetch_row_number(other(q));
                heap.prefetch_place(e[k + AHEAD_ROW_SLOT]);
            }
        }
        if (k + AHEAD_ROW < count) {
            const CompactPair &q = table.pair(e[k + AHEAD_ROW]);
            if (q.a >= 0) {
                centroids->prefetch(other(q));
                heap.prefetch_entry(e[k + AHEAD_ROW]);
            }
        }
    };
    // The merged cluster y's pairs, each valued again from y's new
    // centroid: a far pair's key holds while both clusters stay within
    // their allowances, a near one's is its value; its list keeps the pairs
    // alive only.
    auto value_again = [&](int y) {
        ClusterSlot &sy = slots[y];
        lists.take(sy, around);
        near[y].clear();
        const double top = heap.empty() ? std::numeric_limits<double>::infinity() : heap.top_key();
        const pair_id *e = around.data();
        const int64_t count = static_cast<int64_t>(around.size());
        auto other = [&](const CompactPair &q) { return q.a == y ? q.b : q.a; };
        fetch_first(e, count);
        for (int64_t k = 0; k < count; k++) {
            fetch_ahead(y, e, count, k);
            const CompactPair &q = table.pair(e[k]);
            if (q.a < 0)
                continue;
            int z = other(q);
            bool was_near = is_near[e[k]];
            if (value_pair(e[k], y, z, top)) {
                // y's list starts again; z's has the pair already.
                if (was_near)
                    near[y].push_back(e[k]);
                else
                    make_near(e[k], y, z);
            }
            lists.push(sy, e[k]);
        }
    };
    // Slot y's near pairs valued again after a merge within its allowance;
    // the pairs that left y or were retired leave the list.
    auto value_near = [&](int y) {
        std::vector<pair_id> &list = near[y];
        const double top = heap.empty() ? std::numeric_limits<double>::infinity() : heap.top_key();
        size_t kept = 0;
        const int64_t count = static_cast<int64_t>(list.size());
        fetch_first(list.data(), count);
        for (int64_t k = 0; k < count; k++) {
            fetch_ahead(y, list.data(), count, k);
            pair_id e = list[k];
            const CompactPair &q = table.pair(e);
            if (q.a < 0 || (q.a != y && q.b != y) || !is_near[e])
                continue;
            // A pair that moved away from the merges to come is far again.
            if (value_pair(e, y, q.a == y ? q.b : q.a, top))
                list[kept++] = e;
        }
        list.resize(kept);
        // A pair may have come to the top more than once.
        if (kept > NEAR_SORTED_FROM) {
            std::sort(list.begin(), list.end());
            list.erase(std::unique(list.begin(), list.end()), list.end());
        }
    };
    // The batch [k0, k1) of the `count` entries `e` of x's list, to be
    // merged into y: the other end of each pair alive in `other` (-1 for a
    // retired one), and the pair of y and that end, if any, in `found`.
    // What is found holds for the whole batch: its entries have other ends
    // all different, and the merge of one neither makes nor retires a pair
    // of y and another's.
    auto fetch_batch = [&](const pair_id *e, int64_t k0, int64_t k1, int64_t count, int x, int y, int *other,
                           pair_id *found) {
        for (int64_t k = k1; k < std::min<int64_t>(count, k1 + MERGE_BATCH); k++)
            __builtin_prefetch(&table.pair(e[k]), 1);
        for (int64_t k = k0; k < k1; k++) {
            const CompactPair &q = table.pair(e[k]);
            int z = q.a < 0 ? -1 : q.a == x ? q.b : q.a;
            other[k - k0] = z;
            if (z >= 0) {
                table.prefetch(y, z);
                table.prefetch(x, z);
            }
        }
        for (int64_t k = k0; k < k1; k++) {
            if (other[k - k0] < 0)
                continue;
            pair_id r = table.guess(y, other[k - k0]);
            if (r != NO_PAIR)
                __builtin_prefetch(&table.pair(r), 1);
        }
        for (int64_t k = k0; k < k1; k++) {
            int z = other[k - k0];
            pair_id r = z < 0 ? NO_PAIR : table.find(y, z);
            found[k - k0] = r;
            if (r == NO_PAIR)
                continue;
            heap.prefetch_place(r);
            heap.prefetch_place(e[k]);
            if (multi) {
                __builtin_prefetch(&multi[r], 1);
                __builtin_prefetch(&multi[e[k]]);
            }
            __builtin_prefetch(&slots[z], 1);
        }
        for (int64_t k = k0; k < k1; k++) {
            if (found[k - k0] == NO_PAIR)
                continue;
            heap.prefetch_entry(found[k - k0]);
            heap.prefetch_entry(e[k]);
        }
    };
    int merge = 0;
    while (!heap.empty()) {
        pair_id top = heap.top();
        CompactPair &xy = table.pair(top);
        double value = xy.d;
        if (centroids) {
            value = exact(xy);
            double second = heap.second_key();
            if (ranks_after(value, second)) {
                // Another pair's value may lie below this one's: this one
                // takes its value as key, which holds while neither cluster
                // moves, so each of them values it at its merges.
                xy.d = value;
                heap.change(top, value);
                make_near(top, xy.a, xy.b);
                continue;
            }
        }
        heap.remove(top);
        merge++;
        int x = xy.a, y = xy.b;
        if (slots[x].degree > slots[y].degree)
            std::swap(x, y);
        ClusterSlot &sx = slots[x], &sy = slots[y];
        // Whether y's pairs are all valued again: its centroid moved past
        // its allowance.  The new allowance is what this merge moved it,
        // DRIFT_MERGES times, within DRIFT_SHARE of the merged centroids'
        // distance (none where that is not finite).
        bool value_all = false;
        if (centroids) {
            double nx = sx.size, ny = sy.size;
            double apart = value / factor(nx, ny);
            double moved = (linkage == LINKAGE_MEDIAN ? 0.5 : nx / (nx + ny)) * apart;
            Drift &dy = drift[y];
            if (dy.moved + moved <= dy.allowed) {
                dy.moved += moved;
            } else {
                value_all = true;
                dy.moved = 0;
                dy.allowed = std::isfinite(moved) ? std::min(DRIFT_MERGES * moved, DRIFT_SHARE * apart) : 0;
            }
            centroids->merge(x, y, nx, ny);
        }
        record(n + merge - 1, x, y, value);
        table.retire(top);
        sy.degree--;

        lists.take(sx, absorbed);
        const pair_id *e = absorbed.data();
        const int64_t count = static_cast<int64_t>(absorbed.size());
        int other[MERGE_BATCH];
        pair_id found[MERGE_BATCH];
        for (int64_t k = 0; k < std::min<int64_t>(count, MERGE_BATCH); k++)
            __builtin_prefetch(&table.pair(e[k]), 1);
        for (int64_t k = 0; k < count; k++) {
            if (k % MERGE_BATCH == 0)
                fetch_batch(e, k, std::min<int64_t>(count, k + MERGE_BATCH), count, x, y, other, found);
            pair_id xz = e[k];
            CompactPair &q = table.pair(xz);
            if (q.a < 0)
                continue;
            int z = other[k % MERGE_BATCH];
            pair_id yz = found[k % MERGE_BATCH];
            if (yz == NO_PAIR) {
                table.move_end(xz, x, y);
                lists.push(sy, xz);
                sy.degree++;
                // A pair moved to y's new centroid is valued now, unless
                // all of y's are.
                if (centroids) {
                    if (is_near[xz])
                        near[y].push_back(xz);
                    if (!value_all) {
                        double h = height(y, z);
                        set_key(xz, is_near[xz] ? h : far_key(h, y, z), is_near[xz]);
                    }
                }
                continue;
            }
            if (centroids) {
                // y's pair to z stays: its key holds while y is within its
                // allowance.
                heap.remove(xz);
                table.retire(xz);
                slots[z].degree--;
                continue;
            }
            CompactPair &r = table.pair(yz);
            double old = r.d;
            double merged = multi ? linkage_update(linkage, old, multi[yz], q.d, multi[xz])
                                  : linkage_update(linkage, old, 1, q.d, 1);
            if (multi)
                multi[yz] += multi[xz];
            r.d = merged;
            heap.change(yz, merged);
            heap.remove(xz);
            table.retire(xz);
            slots[z].degree--;
        }
        if (centroids) {
            std::vector<pair_id>().swap(near[x]);
            if (value_all)
                value_again(y);
            else
                value_near(y);
        }
        progress_tick(merge);
    }

    // Clusters that no known pair connects: joined in random order, as the
    // store joins them.
    int t = n - merge - 1;
    if (t > 0) {
        std::vector<int32_t> live;
        for (int i = 0; i < n; i++)
            if (!slots[i].merged)
                live.push_back(i);
        join_unconnected(live.data(), t, run_random, [&](int x, int y) {
            merge++;
            record(n + merge - 1, x, y, std::numeric_limits<double>::infinity());
        });
    }
}

// ---------------------------------------------------------------------------
// The table in place of the store

void Run::init_pair_table(int64_t capacity)
{
    if (capacity < 0 || capacity > COMPACT_MAX_PAIRS)
        refuse(std::string("ERROR! Too many distances for the compact engine: ") + std::to_string(capacity) +
               " pairs asked for, at most " + std::to_string(COMPACT_MAX_PAIRS) + " fit");
    if (object_count < 1)
        refuse("ERROR! There are no objects to cluster!");
    if (2 * static_cast<int64_t>(object_count) - 1 > INT32_MAX)
        refuse("ERROR! Too many objects for one dendrogram: " + std::to_string(object_count));
    // The line says the capacity in the store's units, two records a pair.
    dist_size = 2 * capacity;
    run_sink->text("dist_size=" + std::to_string(dist_size) + "\n");
    pair_table.reset(new PairTable(object_count, capacity));
    n_dist = 0;
    abstract_time = 1;
}
