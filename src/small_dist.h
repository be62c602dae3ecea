// Which distances are computed before clustering: random pairs, all pairs,
// the given distances, and the similarity heuristics (pivots, epsilon
// estimation and the epsilon-grid-order join).
#ifndef SMALL_DIST_H
#define SMALL_DIST_H

#include <cstdint>
#include <vector>

// Pivot tables, alive from choose_pivots until delete_pivots.
extern int *pivots;            // object of each pivot, in order of choice
extern double *pivot_dists;    // entry p*N+o: distance of object o to pivot p

// Join statistics of the last small_dists_work call (64 bits: a join may
// examine more pairs than an int counts).
extern int64_t neg_res1;            // pairs rejected without the exact test
extern int64_t neg_res2;            // pairs rejected by the exact pivot test
extern int64_t join_pairs_examined; // pairs of the leaf block pairs

// Where the join sends each pair that passes both tests, on the main thread
// and in the order a single thread finds them; in a run it enters the pair
// and its distance d into the store (getdist).
extern void (*join_pair_sink)(int i, int j, double d);
// How the join computes the distance of a pair it found, on any thread; in a
// run calc_distance.
extern double (*join_pair_value)(int i, int j);

// Grid cells are clamped into [-CELL_LIMIT, CELL_LIMIT], so that cell sums
// and differences (e + 2, s1 - s2) stay in the int range.  A clamped cell
// gathers values of any size.
const int CELL_LIMIT = 1 << 29;
// The packed cell test covers this many leading pivots (6 bits each).
const int PACKED_PIVOTS = 10;

void random_dist();
void all_dist();
void input_dist();

void choose_pivots();
void delete_pivots();
// Objects that are never taken as pivots: those with a NaN or infinite
// element, when at least one object has none (else no object is passed over).
// Entry o is 1 for a passed-over object; `passed` is their number.
std::vector<char> unfit_pivots(int &passed);
// Orders two objects (ints) by their distance to one pivot, NaN last, for
// qsort_r; `row` is that pivot's row of pivot_dists.  glibc's qsort_r is its
// qsort with a context, so equal distances keep the order they always had.
int pivot_dists_compare(const void *a, const void *b, void *row);
// The rank the quantile strategy aims at among n objects: lround(n*q), with
// out-of-range and NaN quantiles clamped to +-(2n+2), where no object can
// score better than n+1 either.
int64_t quantile_target_rank(int n, double q);

double estimate_epsilon();
// Largest difference of the two objects' distances to the same pivot, from 0
// upward; a NaN difference never raises it.
double pivot_lower_bound(int a, int b);
// How many of the smallest sampled bounds epsilon covers: the wanted share
// of heuristic pairs scaled to the sample, at least 1.
int threshold_location(int sample_size);

void small_dists_work(double eps);
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
// Packed fine cells (width eps/3) of object o over the first PACKED_PIVOTS
// pivots, pivot 0 in the highest field.
void pack_fine_cells(double eps, int o, int64_t &packed, int64_t &packed_inc);
// The same over the PACKED_PIVOTS pivots from `first` on (fewer when the
// pivots end before); the join tests a second word from pivot PACKED_PIVOTS
// on, which rejects before the exact test what the first word lets through.
void pack_fine_cells_from(double eps, int o, int first, int64_t &packed, int64_t &packed_inc);
// True when every packed field's fine cells differ by -3..+3 modulo 32.
bool packed_cells_close(int64_t packed_inc_i, int64_t packed_j, int64_t mask31, int64_t mask24);
// An object takes part in the join only when all its pivot distances are finite.
bool join_member(int o);

#endif
