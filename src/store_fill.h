// Filling the empty distance store with every pair of the data at once, on
// all threads, into exactly the state that entering the pairs one by one
// gives.
#ifndef STORE_FILL_H
#define STORE_FILL_H

#include <cstdint>

// Whether fill_all_pairs leaves the store as getdist would, entering every
// pair (i, j), i < j, row by row: the store is empty, has room for every
// pair, and no pair can be left out for want of a distance.
bool fill_all_pairs_applies();

// Stores every pair of the N objects, stamped with abstract_time: pair k of
// the upper triangle in row-major order is records 2k (from i to j) and
// 2k+1 (from j to i), with the hash chains, lists, stamps and heap places
// that getdist gives.  Only when fill_all_pairs_applies().
void fill_all_pairs();

// The steps of fill_all_pairs, each on the threads but the lists.
// The records of rows [first, last): both twins, distance, stamp, heap place
// 0; no chain or list links yet.
void fill_records(int first, int last);
// Links the even record of every pair whose chain head is in [lo, hi) into
// its chain, in pair order.
void fill_chain_heads(int64_t lo, int64_t hi);
// Pushes every record onto its object's list, in record order.
void fill_lists();

#endif
