// The settings of one run that the engine reads, resolved from the command line or the library's options.
//
// Each field is named after its long option, '-' as '_'; a keyword option
// holds the keyword's index.  An EngineSettings made without arguments holds
// the program's defaults.
#ifndef SETTINGS_H
#define SETTINGS_H

#include <cstdint>

// Cluster modes: the index of the --cluster keyword.
enum { CLUSTER_ROWS = 0, CLUSTER_COLS = 1, CLUSTER_DISTMAT = 2, CLUSTER_DISTLIST = 3 };
// Linkage rules: the index of the --linkage keyword.  WEIGHTED is McQuitty's
// (WPGMA); WARD, CENTROID and MEDIAN are defined on euclidean distances.
enum {
    LINKAGE_MIN = 0,
    LINKAGE_AVE = 1,
    LINKAGE_MAX = 2,
    LINKAGE_WARD = 3,
    LINKAGE_CENTROID = 4,
    LINKAGE_MEDIAN = 5,
    LINKAGE_WEIGHTED = 6
};
// The --linkage keywords in index order, and how many there are.
extern const char *const LINKAGE_KEYS[];
const int LINKAGE_KEY_COUNT = 7;

// Ward, centroid and median linkage: their merge values are distances
// between cluster centroids, which only euclidean distances have, and which
// the distance store cannot yet work out from the pairs it keeps.
inline bool centroid_linkage(int linkage)
{
    return linkage == LINKAGE_WARD || linkage == LINKAGE_CENTROID || linkage == LINKAGE_MEDIAN;
}
// Pivot strategies: the index of the --pivot-strategy keyword.
enum { PIVOT_RANDOM = 0, PIVOT_QUANTILE = 1 };
// Engines: the index of the --engine keyword.
enum { ENGINE_AUTO = 0, ENGINE_STORE = 1, ENGINE_DENSE = 2, ENGINE_COMPACT = 3, ENGINE_LINEAR = 4 };
enum { MISSING_PROPAGATE = 0, MISSING_PAIRWISE = 1 };

struct EngineSettings {
    int cluster = CLUSTER_ROWS;
    int linkage = LINKAGE_AVE;
    bool all_pairwise = false;      // given: every pair of a data matrix is computed
    int num_pivots = 20;            // as asked; the engine uses at most one per object
    int pivot_strategy = PIVOT_RANDOM;
    double pivot_quantile = 0.9;
    double prop_similar = 0.5;
    int sample_size = 0;            // pairs sampled to estimate epsilon; 0: as many as objects
    int split_threshold = 1000;
    int missing = MISSING_PROPAGATE;
    bool missing_given = false;     // the rule was chosen, not defaulted: no notes on it
    double memory = 2;              // the memory budget in gigabytes (2^30 bytes), the input included
    double time = 30;               // the time budget in seconds, when it decides the count
    int64_t num_distances = 0;      // the count asked for; read only when given
    bool num_distances_given = false;
    int random_seed = 0;            // 0: a seed from the clock
    int engine = ENGINE_AUTO;
    bool engine_given = false;      // the engine was chosen: the run says which one clusters
    bool quality = false;           // the quality pass follows (it reads the input again)
};

#endif
