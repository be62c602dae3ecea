// The bounded min-heap of heap_elem used by epsilon estimation.
//
// Positions are 1-based (parent of i is i/2); position 0 is the scratch slot
// every swap passes through, so its content is never meaningful.  A removal
// parks the removed element just past the new end, so emptying the heap
// leaves positions 1..n in descending key order.
#include "heap_sort.h"

// Swaps two positions through the scratch slot 0.
static void heap_swap(heap_elem *bin_heap, int a, int b)
{
    bin_heap[0] = bin_heap[a];
    bin_heap[a] = bin_heap[b];
    bin_heap[b] = bin_heap[0];
}

void heap_add(heap_elem *bin_heap, int &heap_size, double d, int x, int y)
{
    heap_size++;
    bin_heap[heap_size].d = d;
    bin_heap[heap_size].x = x;
    bin_heap[heap_size].y = y;
    // Only a strictly greater parent moves down: an equal key stays below,
    // and a NaN key stops where it is.
    int i = heap_size;
    while (i > 1 && bin_heap[i / 2].d > bin_heap[i].d) {
        heap_swap(bin_heap, i, i / 2);
        i /= 2;
    }
}

void heap_min(heap_elem *bin_heap, int &heap_size, double &d, int &x, int &y)
{
    d = bin_heap[1].d;
    x = bin_heap[1].x;
    y = bin_heap[1].y;
    heap_swap(bin_heap, 1, heap_size);
    heap_size--;
    if (heap_size < 2)
        return;
    int i = 1;
    while (2 * i <= heap_size) {
        // Equal (or unordered) children give the right child.
        int c = 2 * i;
        if (c + 1 <= heap_size && !(bin_heap[c + 1].d > bin_heap[c].d))
            c = c + 1;
        if (!(bin_heap[i].d > bin_heap[c].d))
            break;
        heap_swap(bin_heap, i, c);
        i = c;
    }
}

void heap_look_min(heap_elem *bin_heap, int, double &d, int &x, int &y)
{
    d = bin_heap[1].d;
    x = bin_heap[1].x;
    y = bin_heap[1].y;
}
