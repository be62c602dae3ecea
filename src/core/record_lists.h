// Record lists: for every object slot, the store records that start there, kept as a chain of 64-byte blocks.
//
// A list is walked from its head: the record pushed last comes first, and an
// unlink anywhere leaves the others in their order (the merge loop's order of
// heap changes, and so its ties, follow this order).  The list is an unrolled
// linked list: a chain of blocks, each one link and LIST_BLOCK_ENTRIES record
// numbers.  A push fills the head block from its end toward its front and
// chains a new block in front when the head block is full; an unlink marks
// the record's entry as a hole (the record keeps its entry's position in
// dist_t::at), which a walk skips.  So a walk reads the record numbers of a
// whole block at once, one dependent fetch per block instead of per record,
// and whoever walks can fetch the records themselves well ahead.
//
// Positions in the block pool are entry indices: block b spans entries
// 16b .. 16b+15, entry 16b holding the next block's index.
//
// The pool is sized so that it never runs out during a run (see
// list_pool_blocks_needed); should it run out all the same, the lists are
// compacted (holes squeezed out, empty blocks freed) and, if that frees too
// little, the pool grows.
#ifndef RECORD_LISTS_H
#define RECORD_LISTS_H

#include <cstdint>
#include <vector>

#include "distances.h"

const int LIST_BLOCK_ENTRIES = 15;
const int32_t NO_BLOCK = -1;

// Largest pool whose entry positions still fit in 32 bits.
const int64_t MAX_LIST_BLOCKS = INT32_MAX / 16;

// Blocks that the lists can ever hold at once, for a store of `records`
// records over `slots` slots: every entry in a chain is either a live record
// or the hole of a retired pair's record, and a retirement takes two live
// records out for at most one hole, so all chains together hold at most
// `records` entries; each chain adds at most one partly filled block.
int64_t list_pool_blocks_needed(int64_t records, int64_t slots);

// The lists' operations are the Run's list_* methods (run.h).

#endif
