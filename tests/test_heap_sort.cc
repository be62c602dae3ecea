// The bounded min-heap: order of removal, tie rules, and the bounded use of
// epsilon estimation (keep the k smallest values of a stream).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "heap_sort.h"

namespace {

struct Removed {
    double d;
    int x;
    int y;
};

Removed pop(heap_elem *h, int &size)
{
    Removed r;
    heap_min(h, size, r.d, r.x, r.y);
    return r;
}

Removed top(heap_elem *h, int size)
{
    Removed r;
    heap_look_min(h, size, r.d, r.x, r.y);
    return r;
}

TEST(HeapSort, AddToEmptyHeapTakesPositionOne)
{
    heap_elem h[2];
    int size = 0;
    heap_add(h, size, 4.5, 7, 8);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(h[1].d, 4.5);
    EXPECT_EQ(h[1].x, 7);
    EXPECT_EQ(h[1].y, 8);
}

TEST(HeapSort, ThreeKeysComeOutAscendingAndLeaveDescendingArray)
{
    heap_elem h[4];
    int size = 0;
    heap_add(h, size, 3, 30, 31);
    heap_add(h, size, 1, 10, 11);
    heap_add(h, size, 2, 20, 21);
    Removed a = pop(h, size), b = pop(h, size), c = pop(h, size);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(a.d, 1); EXPECT_EQ(a.x, 10); EXPECT_EQ(a.y, 11);
    EXPECT_EQ(b.d, 2); EXPECT_EQ(b.x, 20); EXPECT_EQ(b.y, 21);
    EXPECT_EQ(c.d, 3); EXPECT_EQ(c.x, 30); EXPECT_EQ(c.y, 31);
    EXPECT_EQ(h[1].d, 3);
    EXPECT_EQ(h[2].d, 2);
    EXPECT_EQ(h[3].d, 1);
}

TEST(HeapSort, RemovingTheOnlyElementEmptiesTheHeap)
{
    heap_elem h[2];
    int size = 0;
    heap_add(h, size, -2, 1, 2);
    Removed r = pop(h, size);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(r.d, -2);
    EXPECT_EQ(r.x, 1);
    EXPECT_EQ(r.y, 2);
}

TEST(HeapSort, RemovingFromTwoLeavesTheLargerOnTop)
{
    heap_elem h[3];
    int size = 0;
    heap_add(h, size, 5, 0, 0);
    heap_add(h, size, 9, 1, 0);
    EXPECT_EQ(pop(h, size).d, 5);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(h[1].d, 9);
    EXPECT_EQ(h[1].x, 1);
    EXPECT_EQ(h[2].d, 5);
}

TEST(HeapSort, EqualKeyDoesNotDisplaceTheMinimum)
{
    heap_elem h[3];
    int size = 0;
    heap_add(h, size, 1, 100, 0);
    heap_add(h, size, 1, 200, 0);
    EXPECT_EQ(top(h, size).x, 100);
    EXPECT_EQ(h[2].x, 200);
}

TEST(HeapSort, EqualChildrenSendTheParentRight)
{
    // Heap 1 / (2, 2) / 9 : removing 1 moves 9 to the top, and the sift-down
    // must swap it with the right child 3, not the left child 2.
    heap_elem h[6];
    int size = 0;
    heap_add(h, size, 1, 0, 0);
    heap_add(h, size, 2, 2, 0);
    heap_add(h, size, 2, 3, 0);
    heap_add(h, size, 9, 4, 0);
    ASSERT_EQ(h[2].x, 2);
    ASSERT_EQ(h[3].x, 3);
    pop(h, size);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(h[1].x, 3);  // the right child rose
    EXPECT_EQ(h[2].x, 2);
    EXPECT_EQ(h[3].x, 4);  // the old last element sank into the right slot
}

TEST(HeapSort, RemovalsOfManyKeysAreSorted)
{
    const double keys[] = {5, -1, 7, 7, 0, 3.5, -1, 12, 2, 2, 8};
    const int n = sizeof keys / sizeof keys[0];
    heap_elem h[n + 1];
    int size = 0;
    for (double k : keys)
        heap_add(h, size, k, 0, 0);
    double last = -INFINITY;
    for (int i = 0; i < n; i++) {
        double d = pop(h, size).d;
        EXPECT_LE(last, d);
        last = d;
    }
    EXPECT_EQ(size, 0);
}

TEST(HeapSort, BoundedUseKeepsTheKthSmallestOnTop)
{
    // Epsilon estimation's pattern: push the negated value, drop the top when
    // the heap exceeds k; the negated top is the k-th smallest so far.
    const double values[] = {9, 4, 6, 1, 8, 3, 7, 2, 5, 0};
    const int k = 3;
    heap_elem h[k + 2];
    int size = 0;
    std::vector<double> seen;
    for (double v : values) {
        heap_add(h, size, -v, 0, 0);
        if (size > k) {
            double d;
            int x, y;
            heap_min(h, size, d, x, y);
        }
        EXPECT_LE(size, k);
        seen.push_back(v);
        if ((int)seen.size() >= k) {
            std::vector<double> s = seen;
            std::sort(s.begin(), s.end());
            EXPECT_EQ(-top(h, size).d, s[k - 1]) << "after " << seen.size() << " values";
        }
    }
}

}  // namespace
