// The pieces of the pair sources and the similarity heuristics that need no run: the join's cell arithmetic and sort orders.
//
// The pair sources themselves (random_dist, all_dist, input_dist,
// choose_pivots, estimate_epsilon, small_dists_work) are the Run's methods.
#ifndef SMALL_DIST_H
#define SMALL_DIST_H

#include <cstdint>
#include <vector>

// Grid cells are clamped into [-CELL_LIMIT, CELL_LIMIT], so that cell sums
// and differences (e + 2, s1 - s2) stay in the int range.  A clamped cell
// gathers values of any size.
const int CELL_LIMIT = 1 << 29;
// The packed cell test covers this many leading pivots (6 bits each).
const int PACKED_PIVOTS = 10;

// Orders two objects (ints) by their distance to one pivot, NaN last, for
// qsort_r; `row` is that pivot's row of pivot_dists.  glibc's qsort_r is its
// qsort with a context, so equal distances keep the order they always had.
int pivot_dists_compare(const void *a, const void *b, void *row);
// The rank the quantile strategy aims at among n objects: lround(n*q), with
// out-of-range and NaN quantiles clamped to +-(2n+2), where no object can
// score better than n+1 either.
int64_t quantile_target_rank(int n, double q);

// Whether small_dists_work skips the join for this epsilon: the grid's cell
// width eps/3 is not a positive finite number.
bool join_skipped(double eps);
// The grid cells that give the epsilon grid order: entry p*objects+o is the
// cell of object o along pivot p, for the leading `pivots` pivots.
struct GridCells {
    const int *cells;
    int pivots;
    int objects;
};
// Orders two objects (ints) lexicographically by their cells, pivot 0 first,
// for qsort_r with a GridCells as context.
int ego_compare(const void *a, const void *b, void *grid);

// Pieces of the join's tests.
int grid_cell(double v, double width);          // floor(v/width), clamped
int fine_cell_bits(double v, double width);     // low 5 bits of floor(v/width)
void packed_masks(int fields, int64_t &mask31, int64_t &mask24);
// True when every packed field's fine cells differ by -3..+3 modulo 32.
bool packed_cells_close(int64_t packed_inc_i, int64_t packed_j, int64_t mask31, int64_t mask24);
// The first k in from...to (to + 1 if none) whose packed[k] is close to
// packed_inc_i, testing `lanes` words at a time: 8 with AVX-512, 4 with
// AVX2, where the processor has them, else (and for 1) four words in plain
// code; 0 takes the widest the processor has.
int next_packed_close(const int64_t *packed, int64_t packed_inc_i, int from, int to, int64_t mask31,
                      int64_t mask24, int lanes = 0);

#endif
