// Distance store and clustering engine.
//
// The store holds every pairwise distance the run has computed or read: a
// fixed pool of twin records (records 2k and 2k+1 are one pair, in both
// directions), a hash table of the pairs, and one list per object
// of the records that start there.  cluster() builds the candidate heap over
// the stored pairs, merges until one cluster remains and writes the dendrogram.
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

// Store state.
extern dist_t *dist;
extern int32_t n_dist;
extern int32_t dist_size;
extern int32_t *dist_hash;
extern int32_t dist_hash_size;
extern int32_t *dist_time;
extern node_t *node;
extern int32_t abstract_time;
extern int32_t getdist_time;
extern int32_t distance_warning;

// The twin record of the same pair, in the other direction.
inline dist_t *symmetric(const dist_t *r)
{
    return &dist[(r - dist) ^ 1];
}

// abstract_time when the record was stored or last returned by getdist.  It
// is kept beside the pool: only the pair sources read it, never the merge loop.
inline int32_t &record_time(const dist_t *r)
{
    return dist_time[r - dist];
}

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

// Candidate heap state (1-based; slot 0 unused).  heap_loc holds, for every
// stored pair, its heap position, or 0 while it has never been placed.
extern heap_entry_t *heap;
extern int32_t heap_size;
extern int32_t *heap_loc;

// The record the heap holds at position p: the even twin of its pair.
inline dist_t *heap_record(int p)
{
    return &dist[2 * static_cast<int64_t>(heap[p].pair)];
}

// Heap position of a stored pair, through either of its records.
inline int32_t &pair_heap_loc(const dist_t *r)
{
    return heap_loc[(r - dist) >> 1];
}

// Dendrogram arrays, 2N-1 entries each, indexed by node number.
extern int32_t *leftnode;
extern int32_t *rightnode;
extern double *dst;
extern int32_t *start;
extern int32_t *end;
extern int32_t *new2old;
extern int32_t *old2new;

// Chain head index of the unordered pair keyed min * N + max.  The key is
// spread by a multiplicative hash and scaled onto the table by a multiply and
// a shift, which costs far less than a 64-bit division.
inline int64_t chain_index(int64_t key)
{
    uint64_t h = static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ull;
    return static_cast<int64_t>(
        (static_cast<unsigned __int128>(h) * static_cast<uint64_t>(dist_hash_size)) >> 64);
}

void init_distances();
// Frees the store, the candidate heap and the dendrogram arrays, leaving
// every pointer null and every size 0, as before init_distances.
void free_distances();
double calc_distance(int point1, int point2);
void add_dist(int i, int j, double distance);
// Distance of the pair, computed with the selected measure and stored if the
// pair is new.  An offered dd greater than NO_DISTANCE is taken as the value.
double getdist(int i, int j, double dd);
// The same for a given distance: dd is stored as it is, whatever its value,
// and nothing is ever computed (the given-distance modes have no measure).
double getdist_given(int i, int j, double dd);
// A hint that getdist(i, j, ...) will follow soon: starts fetching the hash
// chain head, the object entries and the data row it will read.  Changes no
// state and no result.
void getdist_prefetch(int i, int j);
dist_t *hash_lookup(int i, int j);
// Re-keys the record of (i1, j1), which must exist, to (i2, j2) and its twin
// to (j2, i2): the pair moves to its new hash chain and the records' x and y
// change with it.  No list changes.
dist_t *change_hash(int i1, int j1, int i2, int j2);

void build_heap();
void move_down(int i);
void move_up(int i);
// The three changes the merge loop makes to the heap: take the closest pair;
// re-sift the pair of record r (either twin) after its key went from old_key
// to new_key; remove the pair of record r (either twin), whose key is key.
dist_t *heap_take_top();
void heap_resift(dist_t *r, double old_key, double new_key);
void heap_remove(dist_t *r, double key);

// The whole clustering: cluster_merge, the leaf order and the output file.
void cluster();
// Allocates the dendrogram arrays for N objects: every node a leaf of its
// own (children -1, distance 0, start = end = its number).
void new_dendrogram();
// The merge loop alone: builds the heap, fills the dendrogram arrays (leaf
// children still given by object index) and joins unconnected clusters in an
// order drawn from run_random.
void cluster_merge();
int permute(int nd, int st);

#endif
