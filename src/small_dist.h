// Which distances are computed before clustering: random pairs, all pairs,
// the given distances, and the similarity heuristics (pivots, epsilon
// estimation and the epsilon-grid-order join).
#ifndef SMALL_DIST_H
#define SMALL_DIST_H

#include <cstdint>

// Pivot tables, alive from choose_pivots until delete_pivots.
extern int *pivots;            // object of each pivot, in order of choice
extern double *pivot_dists;    // entry p*N+o: distance of object o to pivot p
extern int current_pivot;      // the pivot whose row orders a sort in progress

// Join statistics of the last small_dists_work call.
extern int neg_res1;           // pairs rejected by the packed cell test
extern int neg_res2;           // pairs rejected by the exact pivot test

void random_dist();
void all_dist();
void input_dist();

void choose_pivots();
void delete_pivots();
int pivot_dists_compare(const void *a, const void *b);

double estimate_epsilon();

void small_dists_work(double eps);
int ego_compare(const void *a, const void *b);
void join(double eps, int start1, int end1, int start2, int end2, int d);
void simple_join(double eps, int start1, int end1, int start2, int end2, int d);

#endif
