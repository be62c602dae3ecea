// Missing values (NaN) in a data matrix: which objects hold them, the pairwise
// measures that skip them, and the pairs that are left without a distance.
//
// With -U pairwise every numeric measure compares two objects over the
// positions where both hold a value (PairwiseDistance.h).  Which rows hold a
// NaN is noted once per object, so that a pair of complete rows keeps the
// plain measure and its speed.  A pair that shares too few values has no
// distance: it is never stored and never counts as a known pair, like a NaN
// given distance; it is remembered here so that it is not computed twice and
// so that the random pairs know when no further pair can be had.
#ifndef MISSING_H
#define MISSING_H

#include <cstdint>

// Per object, 1 when its row holds a NaN; null unless the pairwise measures
// are in use (then calc_distance sends every pair with such a row to
// pairwise_calc_distance).
extern const unsigned char *rows_with_missing;
// True in pairwise mode: a NaN distance means "no distance" and is not stored.
extern bool skip_pairs_without_distance;

// Counts the data's NaN elements and sets the run up for the -U setting:
// the warning when NaNs propagate by default, the note that the option has
// no effect on char and int data or on given distances, and in pairwise mode
// the per-object flags and the pairwise measure.  `distkey` is the measure's
// keyword in the data modes, null for given distances.  Call after the data
// are loaded and before any distance is computed.
void prepare_missing_values(const char *distkey);
// The pairwise measure's distance of two objects (at least one with a NaN).
double pairwise_calc_distance(int point1, int point2);

// Pairs without distance.  known_without_distance: the pair was found to
// have none, or one of its objects holds too few values to have any.
bool known_without_distance(int i, int j);
void note_without_distance(int i, int j);
// Distinct pairs known to have no distance, of all N(N-1)/2; 0 outside
// pairwise mode.
int64_t pairs_without_distance();
// The progress line with that count, in pairwise mode when it is not 0.
void report_pairs_without_distance();

// Whether object o may serve as a pivot: not when it holds too few values to
// have any distance, which would leave every object without a grid cell
// (unless no object has enough).
bool pivot_candidate(int o);

// Forgets everything above (for tests that set up several runs).
void reset_missing_values();

#endif
