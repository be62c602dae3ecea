// The compact engine's pair table: every known pair once, found by an open-addressing hash.
//
// The distance store spends about 145 bytes on a pair (two 32-byte records,
// six hash heads per record, list entries, heap place and key) and counts
// its records in 32 bits.  The compact engine keeps a pair in 16 bytes and
// finds it through 8-byte hash slots; while it clusters, the pair takes a
// list entry at each end, a heap entry and, under average linkage, an
// object-pair count (compact.cc).  What that costs in all is
// COMPACT_BYTES_PER_PAIR, the figure the memory budget is charged.
//
// A pair is numbered by the order it came in (pair_id, 32 bits: the table's
// hash slots are addressed from a 32-bit tag, which caps a table at
// COMPACT_MAX_PAIRS pairs, 2.7 billion, far beyond any budget a machine of
// today holds).  A pair keeps its two ends as they came in, the smaller
// object first: the merge loop takes the first end for the absorbed cluster
// on equal degrees, as the store takes its first record's.
#ifndef COMPACT_H
#define COMPACT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

// Memory for BigArray (compact.cc); big_alloc throws std::bad_alloc.
void *big_alloc(size_t bytes);
void big_free(void *p, size_t bytes);

// An array of n elements of a trivial type, zeroed, whose pages are taken
// as they are first written.  Arrays of 32 MiB and more ask for huge pages:
// the merge loop reads them at random, and with 4 KiB pages nearly every
// read of such an array also misses the address translation.
template <class T> class BigArray {
  public:
    BigArray() = default;
    explicit BigArray(int64_t n) { reset(n); }
    ~BigArray() { release(); }
    BigArray(const BigArray &) = delete;
    BigArray &operator=(const BigArray &) = delete;

    void reset(int64_t n)
    {
        release();
        bytes_ = static_cast<size_t>(std::max<int64_t>(n, 1)) * sizeof(T);
        data_ = static_cast<T *>(big_alloc(bytes_));
    }
    T &operator[](int64_t i) { return data_[i]; }
    const T &operator[](int64_t i) const { return data_[i]; }
    T *get() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

  private:
    T *data_ = nullptr;
    size_t bytes_ = 0;
    void release()
    {
        if (data_)
            big_free(data_, bytes_);
        data_ = nullptr;
    }
};

typedef uint32_t pair_id;
const pair_id NO_PAIR = UINT32_MAX;

// One known pair: its two ends (object numbers, later cluster slots) and
// its distance, after merges the linkage distance.  `a` is -1 once the pair
// is retired.
struct CompactPair {
    int32_t a;
    int32_t b;
    double d;
};

// Hash slots per pair of capacity: at this load a lookup that fails reads
// about four slots, within one or two cache lines.
const double COMPACT_SLOTS_PER_PAIR = 1.6;
// The most pairs one table holds: its slots are at most 2^32 - 1.
const int64_t COMPACT_MAX_PAIRS = static_cast<int64_t>(4294967295.0 / COMPACT_SLOTS_PER_PAIR) - 64;
// The memory the compact engine takes per pair of capacity at its peak, the
// merge loop, all its structures counted: the pair (16), its hash slots
// (12.8), two list entries with their share of the blocks' links (8.5), a
// heap entry (12) and the pair's heap place (4), and an average's count (4).
// Rounded up; bench/README.md has the peaks measured against it.
const int64_t COMPACT_BYTES_PER_PAIR = 58;
// And per object: the dendrogram (7 arrays of 2N entries, 64 bytes), the
// cluster slot (24), a list's partly filled head block (30 on average) and
// the list build's scratch (12).  The join's peak is lower from 8 pairs per
// object on (a run has 20 at the least): the table's pairs and slots (28.8
// a pair) beside the pivot tables and the join's work arrays (376 an
// object).
const int64_t COMPACT_BYTES_PER_OBJECT = 160;

// Ward, centroid and median linkage keep a centroid per cluster of two
// objects or more (a singleton's is its data row): a row of doubles from a
// pool of N/2 rows, since no more such clusters live at once, and per object
// the slot's row number and a place on the free chain.  Doubles, not the
// data's floats: a merge value is the difference of two centroids, which
// floats would leave with a few significant digits where the centroids lie
// close beside their distance from the origin.  Beside them each slot keeps
// how far its centroid has moved since its pairs were last valued and how
// far it may move before they are valued again (two doubles, 16 bytes), and
// the list of its near pairs (24 bytes; the pair numbers in it, and a bit a
// pair, take the 4 bytes a pair that average linkage's object-pair counts
// take in the pair charge).
const int64_t COMPACT_CENTROID_BYTES_PER_ELEMENT = 4;
const int64_t COMPACT_CENTROID_BYTES_PER_OBJECT = 48;

// What the centroids of `linkage` (settings.h) cost per object of
// `row_length` elements: nothing for the linkages of distances.
int64_t compact_centroid_bytes(int linkage, int row_length);

// The compact engine's merge loop per pair against the store's, since it
// looks up a merge's pairs in batches: 1.06 at a million objects and 24
// million pairs (17.0 s against 16.1), 1.17 to 1.24 in the merge loop's
// benchmark (bench/README.md).  The time plan prices its clustering so
// where it calibrates the store's on the run, at the benchmark's worst.
const double COMPACT_MERGE_SCALE = 1.25;

// Ward, centroid and median linkage value pairs from centroids, O(C)
// each: their merge loop per pair against the other linkages',
// CENTROID_SCALE_BASE + CENTROID_SCALE_PER_ELEMENT * C (11 at 100 elements
// an object).  Measured with 80 % similar pairs (bench/README.md): 1.0 to
// 5.3 on bench/scale.py's family at 10^5 rows (uniform noise the most),
// 5.7 on its mixture at 10^6; the price keeps room above that, since the
// ratio grows with the objects.
const double CENTROID_SCALE_BASE = 10;
const double CENTROID_SCALE_PER_ELEMENT = 0.011;

// The share of similar pairs in time-budget runs of Ward, centroid and median
// linkage.  Their trees come out best from mostly similar pairs with some
// random ones to join the groups: the level-summed Ward cost over exact
// Ward's at 20,000 rows (bench/ward_cost.py's data), at 20 pairs an object
// 1.053 on the Gaussian mixture and 1.111 on Fashion-MNIST with 80 %
// similar pairs, against 1.083 and 1.152 with half (the other linkages'
// share) and 1.121 and 1.581 with similar pairs only; at 1 % of the pairs
// 1.013 and 1.012 against 1.019 and 1.020.
const double CENTROID_PROP_SIMILAR = 0.8;
// That factor for `linkage` (settings.h) and objects of `row_length`
// elements: 1 for the linkages of distances.
double compact_centroid_scale(int linkage, int row_length);

class PairTable {
  public:
    // A table for `capacity` pairs of `objects` objects.  The pair memory is
    // reserved, not touched: only pairs stored take pages.
    PairTable(int64_t objects, int64_t capacity);
    PairTable(const PairTable &) = delete;
    PairTable &operator=(const PairTable &) = delete;

    int64_t count() const { return count_; }
    int64_t capacity() const { return capacity_; }
    bool full() const { return count_ >= capacity_; }
    CompactPair &pair(pair_id p) { return pairs_[p]; }
    const CompactPair &pair(pair_id p) const { return pairs_[p]; }

    // The pair of ends u and v (in either order), or NO_PAIR.
    pair_id find(int u, int v) const;
    // A hint that find(u, v) follows soon.
    void prefetch(int u, int v) const { __builtin_prefetch(&slots_[home(tag_of(u, v))]); }
    // The pair that find(u, v) will most likely return, or NO_PAIR, from
    // the hash slots alone (no pair is read): a hint for what to fetch.
    pair_id guess(int u, int v) const
    {
        uint32_t tag = tag_of(u, v);
        uint64_t s = home(tag);
        for (int k = 0; k < 4 && slots_[s].pair != NO_PAIR; k++, s = next(s))
            if (slots_[s].tag == tag)
                return slots_[s].pair;
        return NO_PAIR;
    }
    // Stores the new pair {i, j}, smaller end first.  The table must not be
    // full, nor hold the pair.
    pair_id add(int i, int j, double d);
    // Pair p's end `from` becomes `to`: the pair moves to the slot of its
    // new ends.
    void move_end(pair_id p, int from, int to);
    // Pair p leaves the hash and is marked retired.
    void retire(pair_id p);

  private:
    struct Slot {
        pair_id pair;  // NO_PAIR: empty
        uint32_t tag;  // the top 32 bits of the pair's hash; its home slot follows from it
    };
    int64_t objects_;
    int64_t capacity_;
    int64_t count_ = 0;
    uint64_t slot_count_;
    BigArray<CompactPair> pairs_;
    BigArray<Slot> slots_;

    uint32_t tag_of(int u, int v) const
    {
        uint64_t key = u < v ? static_cast<uint64_t>(u) * objects_ + v : static_cast<uint64_t>(v) * objects_ + u;
        key ^= key >> 29;
        return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 32);
    }
    uint64_t home(uint32_t tag) const { return (static_cast<uint64_t>(tag) * slot_count_) >> 32; }
    uint64_t next(uint64_t s) const { return s + 1 == slot_count_ ? 0 : s + 1; }
    void insert(pair_id p, uint32_t tag);
    void erase(pair_id p, uint32_t tag);
};

inline pair_id PairTable::find(int u, int v) const
{
    uint32_t tag = tag_of(u, v);
    for (uint64_t s = home(tag);; s = next(s)) {
        const Slot &slot = slots_[s];
        if (slot.pair == NO_PAIR)
            return NO_PAIR;
        if (slot.tag == tag) {
            const CompactPair &p = pairs_[slot.pair];
            if ((p.a == u && p.b == v) || (p.a == v && p.b == u))
                return slot.pair;
        }
    }
}

#endif
