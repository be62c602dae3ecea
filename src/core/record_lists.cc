// Record lists of the distance store as chains of blocks (see record_lists.h).
#include "record_lists.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "refuse.h"
#include "run.h"

static const char *const MSG_LISTS_FULL = "ERROR! Too many list entries for the distance store: ";

static const std::align_val_t BLOCK_ALIGN{64};

int64_t list_pool_blocks_needed(int64_t records, int64_t slots)
{
    return records / LIST_BLOCK_ENTRIES + std::min(records, slots) + 1;
}

void Run::list_pool_init(int32_t slots, int64_t blocks)
{
    blocks = std::max<int64_t>(1, std::min(blocks, MAX_LIST_BLOCKS));
    ::operator delete[](list_pool, BLOCK_ALIGN);
    list_pool = static_cast<int32_t *>(::operator new[](blocks * 64, BLOCK_ALIGN));
    list_capacity = blocks;
    list_used = 0;
    list_free = NO_BLOCK;
    list_slots = slots;
    list_compactions = 0;
    list_growths = 0;
    for (int i = 0; i < slots; i++) {
        node[i].list_head = NO_RECORD;
        node[i].dist_count = 0;
    }
}

void Run::list_pool_free()
{
    ::operator delete[](list_pool, BLOCK_ALIGN);
    list_pool = nullptr;
    list_capacity = list_used = 0;
    list_free = NO_BLOCK;
    list_slots = 0;
    list_compactions = list_growths = 0;
}

void Run::free_block(int32_t b)
{
    list_pool[16 * b] = list_free;
    list_free = b;
}

// Moves the pool to one of `blocks` blocks; positions stay as they are.
void Run::grow_pool(int64_t blocks)
{
    int32_t *pool = static_cast<int32_t *>(::operator new[](blocks * 64, BLOCK_ALIGN));
    std::memcpy(pool, list_pool, list_used * 64);
    ::operator delete[](list_pool, BLOCK_ALIGN);
    list_pool = pool;
    list_capacity = blocks;
}

int32_t Run::list_new_block()
{
    if (list_free == NO_BLOCK && list_used == list_capacity) {
        list_compact();
        // Compacting again soon after would cost more than a larger pool.
        int64_t enough = list_capacity / 8 + 1;
        int64_t freed = 0;
        for (int32_t b = list_free; b != NO_BLOCK && freed < enough; b = list_pool[16 * b])
            freed++;
        if (freed < enough && list_capacity < MAX_LIST_BLOCKS) {
            grow_pool(std::min(MAX_LIST_BLOCKS, list_capacity + list_capacity / 2 + 1));
            list_growths++;
        }
        if (list_free == NO_BLOCK && list_used == list_capacity)
            refuse(MSG_LISTS_FULL + std::to_string(list_capacity) + " blocks in use");
    }
    if (list_free != NO_BLOCK) {
        int32_t b = list_free;
        list_free = list_pool[16 * b];
        return b;
    }
    return static_cast<int32_t>(list_used++);
}

void Run::list_take(int i, std::vector<int32_t> &out)
{
    int32_t h = node[i].list_head;
    node[i].list_head = NO_RECORD;
    node[i].dist_count = 0;
    if (h == NO_RECORD)
        return;
    int32_t b = h >> 4;
    int k = h & 15;
    while (b != NO_BLOCK) {
        const int32_t *block = &list_pool[16 * b];
        int32_t next = block[0];
        if (next != NO_BLOCK)
            __builtin_prefetch(&list_pool[16 * next]);
        for (; k < 16; k++)
            if (block[k] != NO_RECORD)
                out.push_back(block[k]);
        free_block(b);
        b = next;
        k = 1;
    }
}

// Compacts one list: its live entries are rewritten in order from its head
// on, the rest of the last block they reach is marked empty and the blocks
// after it are freed.  The writing never overtakes the reading, so every
// entry is read before it can be overwritten.
void Run::compact_list(int i)
{
    int32_t h = node[i].list_head;
    if (h == NO_RECORD)
        return;
    int32_t w = h, last = NO_RECORD;
    int32_t b = h >> 4;
    int k = h & 15;
    while (b != NO_BLOCK) {
        int32_t *block = &list_pool[16 * b];
        for (; k < 16; k++) {
            int32_t r = block[k];
            if (r == NO_RECORD)
                continue;
            if ((w & 15) == 0)
                w = 16 * list_pool[w - 16] + 1;
            list_pool[w] = r;
            dist[r].at = w;
            last = w++;
        }
        b = block[0];
        k = 1;
    }
    if (last == NO_RECORD) {
        // Holes only: the list gives all of its blocks back.
        for (b = h >> 4; b != NO_BLOCK;) {
            int32_t next = list_pool[16 * b];
            free_block(b);
            b = next;
        }
        node[i].list_head = NO_RECORD;
        return;
    }
    int32_t kept = last >> 4;
    for (int32_t p = last + 1; p < 16 * kept + 16; p++)
        list_pool[p] = NO_RECORD;
    for (b = list_pool[16 * kept]; b != NO_BLOCK;) {
        int32_t next = list_pool[16 * b];
        free_block(b);
        b = next;
    }
    list_pool[16 * kept] = NO_BLOCK;
}

void Run::list_compact()
{
    list_compactions++;
    for (int i = 0; i < list_slots; i++)
        compact_list(i);
}
