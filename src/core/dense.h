// The exact clustering engine: every pair distance in a condensed matrix,
// single linkage by a minimum spanning tree, average, complete, weighted and
// Ward linkage by the nearest-neighbour chain, centroid and median linkage
// by the generic algorithm.
//
// It runs instead of the distance store when every pair is known (all pairs
// of a data matrix, or a complete distance matrix): 8 bytes per pair instead
// of the store's 250, and O(N^2) time.  It hands its merges to the same
// dendrogram output as the store engine.  The matrix and the steps that
// fill and cluster it are the Run's (dense_fill_measure, dense_fill_given,
// dense_cluster); the linkage algorithms need no run.
#ifndef DENSE_H
#define DENSE_H

#include <cstdint>
#include <functional>
#include <vector>

// Memory charged per pair of the condensed matrix, in bytes.
const int64_t DENSE_BYTES_PER_PAIR = 8;

// The condensed upper triangle (Run::dense): d(i, j) for i < j at entry
// dense_index(n, i, j); row i of the triangle (j = i+1 ... n-1) is contiguous.
inline int64_t dense_index(int64_t n, int64_t i, int64_t j)
{
    return i * n - i * (i + 1) / 2 + (j - i - 1);
}

// One merge of two clusters, each named by an object it holds, at a height.
struct dense_merge_t {
    int32_t a;
    int32_t b;
    double height;
};

// Rows of an n x n distance matrix of `element_bytes` elements that one read
// takes when the matrix is read from the file in blocks, and the bytes of
// the block buffer that holds them.
int64_t dense_block_rows(int n, int element_bytes);
int64_t dense_block_bytes(int n, int element_bytes);

// Single linkage of the n objects of `matrix` (condensed, left unchanged) by
// Prim's algorithm: the n-1 edges of a minimum spanning tree, in the order
// they joined the tree.  `poll`, when given, is called once per object joined.
std::vector<dense_merge_t> dense_mst(const double *matrix, int n, const std::function<void()> &poll = nullptr);

// Average (LINKAGE_AVE), complete (LINKAGE_MAX), weighted (LINKAGE_WEIGHTED)
// or Ward (LINKAGE_WARD) linkage of the n objects of `matrix` by the
// nearest-neighbour chain, updating the matrix in place by the
// Lance-Williams rules (its contents are lost).  The n-1 merges come in the
// order the chain found them, which need not be by height.  `poll`, when
// given, is called once per merge.
std::vector<dense_merge_t> dense_nn_chain(double *matrix, int n, int linkage,
                                           const std::function<void()> &poll = nullptr);

// Centroid (LINKAGE_CENTROID) or median (LINKAGE_MEDIAN) linkage of the n
// objects of `matrix` by the generic algorithm, updating the matrix in place
// (its contents are lost).  The n-1 merges come in the order they were made,
// each after the merges of its children; their heights may go down (an
// inversion), as these linkages allow.  `poll`, when given, is called once
// per merge.
std::vector<dense_merge_t> dense_generic(double *matrix, int n, int linkage,
                                          const std::function<void()> &poll = nullptr);

// The height of a merge of Ward, centroid or median linkage from its value
// on squared distances, on which these linkages work: the square root; a
// value below zero, which only distances that are not euclidean give, is
// reported as 0.
double centroid_height(double squared);

#endif
