// A small 1-based min-heap of heap_elem over a caller-owned array.
//
// Positions 1 .. heap_size hold the elements; position 0 is scratch space
// that every swap goes through.  To hold n elements the array needs n+1
// entries.  Epsilon estimation keeps the k smallest values of a stream with it.
#ifndef HEAP_SORT_H
#define HEAP_SORT_H

#include <cstdint>

struct heap_elem {
    double d;    // the key, smallest on top
    int32_t x;   // payload
    int32_t y;   // payload
};

void heap_add(heap_elem *bin_heap, int &heap_size, double d, int x, int y);
void heap_min(heap_elem *bin_heap, int &heap_size, double &d, int &x, int &y);
void heap_look_min(heap_elem *bin_heap, int heap_size, double &d, int &x, int &y);

#endif
