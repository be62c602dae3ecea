// The clustering quality pass: after the dendrogram is written, the true
// linkage distances of every merge, measured over all object pairs across its
// two children, written as a tab-separated text file.
#ifndef QUALITY_H
#define QUALITY_H

#include <cstdint>
#include <string>
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

// Writes the quality file `name`: a header of '#' lines, one row per merge,
// and a closing summary with the joint cost (the sum of the true averages),
// for a run of `objects` objects that knew `stored` distances.  Written under
// a temporary name and renamed when complete; any failure ends the run with
// status 1.
void write_quality(const char *name, const std::vector<merge_quality_t> &merges, int objects, long long stored);

// The checks before the run starts: the quality file's folder takes a new
// file, the name is not a folder, and it is neither the input nor the output
// file.  A failure ends the run with status 1.
void check_quality_file(const char *name, const char *input, const char *output);

// The command-line words after the program name, joined by blanks, as one
// line (negative numbers shown with their '-', control characters as '?').
std::string command_line_text();

#endif
