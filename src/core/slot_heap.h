// The priority queue of the generic clustering algorithm: slots keyed by an outside array, each key free to move either way.
#ifndef SLOT_HEAP_H
#define SLOT_HEAP_H

#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

// A binary min-heap of slots keyed by key[slot], with each slot's place
// kept, so that a slot's key may go up or down: the generic algorithm's
// queue of nearest-neighbour distances.
struct SlotHeap {
    const double *key;
    std::vector<int32_t> slots, place;
    SlotHeap(const double *keys, int count, int n) : key(keys), slots(count), place(n, -1)
    {
        std::iota(slots.begin(), slots.end(), 0);
        for (int i = 0; i < count; i++)
            place[i] = i;
        for (int i = count / 2 - 1; i >= 0; i--)
            down(i);
    }
    int32_t top() const { return slots[0]; }
    void pop()
    {
        place[slots[0]] = -1;
        slots[0] = slots.back();
        slots.pop_back();
        if (!slots.empty()) {
            place[slots[0]] = 0;
            down(0);
        }
    }
    // After key[slot] changed either way.
    void update(int32_t slot)
    {
        int i = place[slot];
        up(i);
        down(place[slot]);
    }

  private:
    bool less(int i, int j) const
    {
        double a = key[slots[i]], b = key[slots[j]];
        return a < b || (a == b && slots[i] < slots[j]);
    }
    void swap_at(int i, int j)
    {
        std::swap(slots[i], slots[j]);
        place[slots[i]] = i;
        place[slots[j]] = j;
    }
    void up(int i)
    {
        while (i > 0 && less(i, (i - 1) / 2)) {
            swap_at(i, (i - 1) / 2);
            i = (i - 1) / 2;
        }
    }
    void down(int i)
    {
        int count = (int)slots.size();
        for (;;) {
            int l = 2 * i + 1, m = i;
            if (l < count && less(l, m))
                m = l;
            if (l + 1 < count && less(l + 1, m))
                m = l + 1;
            if (m == i)
                return;
            swap_at(i, m);
            i = m;
        }
    }
};

#endif
