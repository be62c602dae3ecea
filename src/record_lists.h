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

// Pool state.
extern int32_t *list_pool;      // the blocks; 64-byte aligned
extern int64_t list_capacity;   // blocks in the pool
extern int64_t list_used;       // blocks ever handed out (the high-water mark)
extern int32_t list_free;       // first block of the free chain, or NO_BLOCK
extern int32_t list_slots;      // slots whose lists live in the pool
extern int64_t list_compactions;  // times the pool ran out and was compacted
extern int64_t list_growths;      // times compaction freed too little and the pool grew

// Largest pool whose entry positions still fit in 32 bits.
const int64_t MAX_LIST_BLOCKS = INT32_MAX / 16;

// Blocks that the lists can ever hold at once, for a store of `records`
// records over `slots` slots: every entry in a chain is either a live record
// or the hole of a retired pair's record, and a retirement takes two live
// records out for at most one hole, so all chains together hold at most
// `records` entries; each chain adds at most one partly filled block.
int64_t list_pool_blocks_needed(int64_t records, int64_t slots);

// Empties every list of `slots` slots and sizes the pool at `blocks` blocks
// (at most MAX_LIST_BLOCKS).  The memory is reserved, not touched: only
// blocks handed out count.
void list_pool_init(int32_t slots, int64_t blocks);
// Gives the pool back: no lists, every count 0, as before list_pool_init.
void list_pool_free();

// A fresh block from the free chain or the unused part of the pool;
// compacts or grows the pool when both are empty.
int32_t list_new_block();

// Pushes record r at the head of slot i's list.
inline void list_push(int i, int32_t r)
{
    int32_t h = node[i].list_head;
    if (h == NO_RECORD || (h & 15) == 1) {
        int32_t b = list_new_block();
        // A compaction on the way keeps every head where it was.
        h = node[i].list_head;
        list_pool[16 * b] = h == NO_RECORD ? NO_BLOCK : h >> 4;
        h = 16 * b + 16;
    }
    h--;
    list_pool[h] = r;
    dist[r].at = h;
    node[i].list_head = h;
    node[i].dist_count++;
}

// Takes record r, which is on slot i's list, off it.
inline void list_unlink(int i, int32_t r)
{
    list_pool[dist[r].at] = NO_RECORD;
    node[i].dist_count--;
}

// Where an unlink of record r will write; r's record has arrived.
inline const void *list_entry_address(int32_t r)
{
    return &list_pool[dist[r].at];
}

// A hint that a push onto slot i's list will follow soon.  Forced inline: a
// function that only prefetches would otherwise be dropped as one without
// effect, hint and all.
__attribute__((always_inline)) inline void list_prefetch_push(int i)
{
    int32_t h = node[i].list_head;
    if (h != NO_RECORD)
        __builtin_prefetch(&list_pool[h - 1], 1, 3);
}

// Calls f(r) for every record on slot i's list, from its head.  f must not
// change slot i's list.
template <class F> void list_walk(int i, F f)
{
    int32_t h = node[i].list_head;
    if (h == NO_RECORD)
        return;
    int32_t b = h >> 4;
    int k = h & 15;
    for (;;) {
        const int32_t *block = &list_pool[16 * b];
        for (; k < 16; k++)
            if (block[k] != NO_RECORD)
                f(block[k]);
        b = block[0];
        if (b == NO_BLOCK)
            return;
        k = 1;
    }
}

// Empties slot i's list: its records are appended to `out` in walk order
// and its blocks go back to the free chain.
void list_take(int i, std::vector<int32_t> &out);

// Squeezes the holes out of every list, in place and in order, and returns
// the blocks left empty to the free chain.  A list with records keeps its
// head where it was; a list of holes only becomes empty.
void list_compact();

#endif
