// Distance store and clustering engine.
//
// The store holds every pairwise distance the run has computed or read: a
// fixed pool of twin records (records 2k and 2k+1 are one pair, in both
// directions), a hash table of the pairs, and one list per object
// of the records that start there.  Run::cluster() builds the candidate heap
// over the stored pairs and merges until one cluster remains.  This header
// holds the store's record types; the store itself is part of the Run (run.h).
#ifndef DISTANCES_H
#define DISTANCES_H

#include <cstdint>

// Records and chain links are named by their index in the pool; NO_RECORD
// ends a chain, and marks an empty list or list entry.
const int32_t NO_RECORD = -1;

// One directed record of a stored pair.  32 bytes, so that the twins of a
// pair (records 2k and 2k+1, the pool being 64-byte aligned) share one cache
// line: whoever reads a record has its twin at hand.  The hash key is
// computed from x and y instead of stored.
struct dist_t {
    int32_t x;           // slot the record starts from; it is on x's list
    int32_t y;           // the other slot
    double dist;         // distance; after merges the linkage distance
    int32_t more;        // even record: next pair's even record in its hash chain
    int32_t at;          // position of the record's entry on x's list (record_lists.h)
    int32_t multi;       // object-pair distances aggregated into dist
};
static_assert(sizeof(dist_t) == 32, "twin records share one cache line");

// One entry per object; during clustering a surviving slot stands for its
// whole cluster.
struct node_t {
    int32_t list_head;   // position of the first entry of the list of records whose x is this slot
    int32_t dist_count;  // length of that list
    int32_t size;        // objects in the cluster
    int32_t number;      // dendrogram node number of the cluster
    int32_t merged;      // 1 once the slot has been absorbed
};

// The order of the merge loop: true when distance a ranks after distance b.
// On numbers it is a strict '>', so that equal keys never swap and ties keep
// the order the store found them in.  A NaN ranks after every number, +inf
// included, and ties with another NaN: NaN pairs merge after every other
// stored pair and before the joins of unconnected clusters, and a NaN never
// changes the order of the numbers around it.
inline bool ranks_after(double a, double b)
{
    return !(a <= b) && b == b;
}

// One candidate heap entry: the pair's key (its distance) and the pair's
// number k (records 2k and 2k+1).  The key is a copy, so that a sift compares
// the two children of a position within one cache line.
struct heap_entry_t {
    double key;
    int32_t pair;
};

// Chain head index of the unordered pair keyed min * N + max.  The key is
// spread by a multiplicative hash and scaled onto the table by a multiply and
// a shift, which costs far less than a 64-bit division.  `table_size` is
// the table's number of heads.
inline int64_t chain_index(int64_t key, int32_t table_size)
{
    uint64_t h = static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ull;
    return static_cast<int64_t>(
        (static_cast<unsigned __int128>(h) * static_cast<uint64_t>(table_size)) >> 64);
}

#endif
