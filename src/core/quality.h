// The clustering quality pass: each merge's true linkage distances, over the object pairs across its two children.
#ifndef QUALITY_H
#define QUALITY_H

#include <cstdint>
#include <vector>

// What one merge joined and what the true distances between its two children
// are.  Every object pair belongs to exactly one merge (the lowest one above
// both), so the pairs of all merges together are every pair once.
struct merge_quality_t {
    int32_t node;            // dendrogram node number, N ... 2N-2
    int32_t left_size;       // objects of the left child
    int32_t right_size;      // objects of the right child
    double merge_distance;   // the distance the run merged at
    int64_t pairs;           // pairs across the children whose distance is known
    double min;              // smallest, mean and largest of those distances;
    double average;          // NaN when no pair is known
    double max;
};

// Run::measure_merges measures every merge of the dendrogram built by
// cluster() (the dendrogram arrays after permute: leaf children given by
// their positions), in merge order.  The true distances come from the run's
// source: calc_distance for a data matrix (NaN results are unknown); the
// upper triangle of the loaded distance matrix (NaN and infinite entries are
// unknown); for a distance list the given pairs only, the first finite entry
// of a pair winning as in the run.

#endif
