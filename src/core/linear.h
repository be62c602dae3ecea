// The exact engine in memory linear in N: every pair of a data matrix is
// computed when the clustering needs it and never kept, so that a run too
// large for the condensed matrix of the dense engine still gets the exact
// tree.
//
// Single linkage is Prim's minimum spanning tree with a best distance per
// object outside the tree, as the dense engine runs it on its matrix: each
// step adds the nearest outside object and computes its distances to all
// others on the threads, but those that a lower bound (euclidean rows)
// shows cannot shorten the other's distance to the tree.  The edges are the dense engine's, in the same
// order and with the same heights, and go through its dendrogram, so the
// output file is the dense engine's.  Ward linkage of euclidean distances
// needs no distance at all once the clusters' sizes and centroids are
// known: the nearest-neighbour chain over them; centroid and median linkage,
// whose inversions the chain cannot follow, the generic algorithm over the
// same centroids.  The steps that need the run's data and measure are the
// Run's (linear_mst, linear_ward, linear_generic, linear_cluster).
#ifndef LINEAR_H
#define LINEAR_H

#include <cstdint>

// Memory charged per object, in bytes, beside the input, by every linkage:
//   16  the outside list of Prim's algorithm (object, tree end, distance)
//   16  the tree's edges (dense_merge_t)
//   28  their sort by height (a buffer of 16 per edge) and the union-find
//       that numbers the merges (parent, node number, size: 4 each)
//   64  the dendrogram arrays of 2N-1 nodes: six of int32 and one of double
// with 4 to spare.
const int64_t LINEAR_BYTES_PER_OBJECT = 128;

// Single linkage of rows of at least LINEAR_BOUND_SHORTEST_ROW elements
// adds the bounds that spare most distances (where the measure is
// euclidean): per object 16 coordinates as float (64) and a slack (4), and
// a flag while they are made (1), with 3 to spare.  Making them takes a
// sample and directions of at most 12 MB more for a moment.
const int64_t LINEAR_BOUND_BYTES_PER_OBJECT = 72;
const int LINEAR_BOUND_SHORTEST_ROW = 32;

// Ward linkage adds the centroids, one double per element of an object,
// and per object its size (8), the height below it (8), its place in the
// live list (4) and in the chain (4), with 8 to spare.
const int64_t LINEAR_WARD_BYTES_PER_ELEMENT = 8;
const int64_t LINEAR_WARD_BYTES_PER_OBJECT = 32;

// Centroid and median linkage add the same centroids, and per object its
// size (8), its nearest later cluster (4) and the bound of that distance
// (8), its place in the queue and the queue's entry (8), in the live list
// (4), and its distance to the newest merge (8), with 8 to spare.
const int64_t LINEAR_GENERIC_BYTES_PER_OBJECT = 48;

// Outside objects that one task of a Prim step takes: enough that a task
// outweighs handing it out, few enough that the last ones even the threads.
const int64_t LINEAR_STEP_CHUNK = 512;

// Whether the linear engine clusters by `linkage` (settings.h).
bool linear_linkage(int linkage);

// Memory charged per object with `linkage` for objects of `row_length`
// elements, in bytes, beside the input.
int64_t linear_bytes_per_object(int linkage, int row_length);

#endif
