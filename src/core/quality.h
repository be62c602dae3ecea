// The clustering quality pass: each merge's true linkage distances, over the object pairs across its two children.
#ifndef QUALITY_H
#define QUALITY_H

#include <cstdint>
#include <vector>

#include "settings.h"

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
    // The true value of the run's linkage where it is none of the three
    // above (quality_extras_t): weighted, the mean over the pairs weighted
    // 2^-depth of each object within its child, NaN when no pair is known;
    // Ward, centroid and median, the height from the children's centroids
    // (sizes and means; median: the midpoints of the halves), NaN unless
    // every pair across the children and below them is known.
    double linkage_value;
    // Ward's increase of the within-cluster sum of squares by this merge,
    // |A||B|/(|A|+|B|) ||c_A - c_B||^2, NaN unless every pair across the
    // children and below them is known.
    double ward_increase;
};

// What the quality file reports beside the columns of every run.
struct quality_extras_t {
    int linkage = -1;        // the run's linkage (LINKAGE_*) where it has a column of its own, else -1
    bool ward_cost = false;  // the closing line of the level-summed Ward cost
};

// The extras of a run with `settings` whose distances are euclidean ones of
// a data matrix (`euclidean`): the linkage's own column for weighted, Ward,
// centroid and median linkage; the Ward cost wherever the distances are
// those of points (a data matrix under -d euclidean without -U pairwise,
// whose scaled distances are not; a distance matrix at the user's word for
// Ward, centroid and median, as the run takes it).
quality_extras_t quality_extras(const EngineSettings &settings, bool euclidean);

// Run::measure_merges measures every merge of the dendrogram built by
// cluster() (the dendrogram arrays after permute: leaf children given by
// their positions), in merge order.  The true distances come from the run's
// source: calc_distance for a data matrix (NaN results are unknown); the
// upper triangle of the loaded distance matrix (NaN and infinite entries are
// unknown); for a distance list the given pairs only, the first finite entry
// of a pair winning as in the run.  Ward's, the centroid's and the median's
// values come from the squared distances alone: the mean squared distance
// across two clusters is the squared distance of their centroids plus each
// one's mean squared distance to its centroid (and likewise with the
// median's weights), so a distance matrix gets them as a data matrix does,
// and no centroid is kept.

#endif
