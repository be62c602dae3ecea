// brivane as a library: approximate hierarchical clustering of an array in memory.
//
// One call clusters one data set, as one run of the brivane program does:
// the same options (named after the program's long options, '-' as '_'),
// the same defaults, keywords and checks, and the same dendrogram.  With a
// given random_seed and num_distances (or all_pairwise) the tree is exactly
// the one the program writes for the same data and options, for any number
// of threads.  Calls share nothing: several may run at once on different
// threads.
//
//     #include <brivane/brivane.hpp>
//
//     std::vector<float> x = ...;                    // 1000 objects of 20 values, row by row
//     brivane::Options options;
//     options.distance = "euclidean";
//     options.random_seed = 1;
//     brivane::Tree tree = brivane::cluster({x.data(), brivane::Type::Float, 1000, 20}, options);
//
// The run's report (the lines the program prints on standard error) goes to
// a sink the caller may give (sink.hpp); the default is silent.  Failures
// throw brivane::Error (error.hpp) with the program's message and status.
#ifndef BRIVANE_BRIVANE_HPP
#define BRIVANE_BRIVANE_HPP

#include <cstdint>
#include <string>
#include <vector>

#include <brivane/error.hpp>
#include <brivane/sink.hpp>

namespace brivane {

// Element types of a matrix: char is signed 8-bit, int 32-bit.
enum class Type { Char, Int, Float, Double };

// A row-major matrix that the caller keeps alive during the call; it is not
// copied (but for cluster = "cols", which clusters a transposed copy).
struct Matrix {
    const void *data;
    Type type;
    int64_t rows;
    int64_t cols;
};

// One field per option of a run, named after the program's long option; the
// program's defaults.  Keywords take any unambiguous prefix, in any case, as
// on the command line.  A count or size of 0 where the program has no such
// value means "not given": the program's choice then holds.
struct Options {
    std::string distance;            // the measure of a data matrix (-d): "euclidean", "pearson", ...
    std::string linkage = "ave";     // "min", "ave", "max", "weighted", "ward", "centroid", "median" (-l)
    double minkowski_p = 0;          // p of the Minkowski measure (-p); required by it
    double memory = 2;               // memory budget in gigabytes, the input included (-m)
    double time = 30;                // time budget in seconds, when it decides the count (-t)
    int64_t num_distances = 0;       // distances to compute (-M); 0: the time budget decides
    bool all_pairwise = false;       // every pair of a data matrix (-a)
    double prop_similar = 0.5;       // share of the distances the heuristics choose (-s)
    int num_pivots = 20;             // pivots of the heuristics (-q)
    int random_seed = 0;             // seed of the run's random sequence (-R); 0: from the clock
    int sample_size = 0;             // pairs sampled to estimate epsilon (-Z); 0: as many as objects
    std::string pivot_strategy = "random";  // "random" or "quantile" (-P)
    double pivot_quantile = 0.9;     // the quantile strategy's aim (-Q)
    int split_threshold = 1000;      // the join's leaf block size (-S)
    int threads = 0;                 // threads (-j); 0: one per core
    std::string engine = "auto";     // "auto", "store", "dense", "compact" or "linear" (-E)
    std::string missing;             // "propagate" or "pairwise" (-U); empty: propagate, unannounced
    std::string cluster = "rows";    // "rows", "cols" or "distmat" (-C); a list has its own call
};

// The dendrogram as the program's output file holds it, 2N-1 entries each,
// indexed by node number (leaves 0 ... N-1 by leaf position, merges N ...
// 2N-2 in merge order): children, the leaf range each node covers, the
// leaf order both ways, and each merge's distance (+inf for the joins of
// clusters that no known pair connects).
struct Tree {
    std::vector<int32_t> left, right, start, end, old2new, new2old;
    std::vector<double> distance;
};

// Clusters the rows (or columns) of a data matrix, or the objects of a
// square distance matrix (cluster = "distmat").
Tree cluster(const Matrix &data, const Options &options);
Tree cluster(const Matrix &data, const Options &options, Sink &sink);

// Clusters `objects` objects from a list of given distances: entry k is the
// distance of objects from[k] and to[k] (0 ... objects-1).  NaN and infinite
// distances are left out, and the first usable entry of a pair holds.
Tree cluster(int32_t objects, const int32_t *from, const int32_t *to, const double *distance,
             int64_t entries, const Options &options);
Tree cluster(int32_t objects, const int32_t *from, const int32_t *to, const double *distance,
             int64_t entries, const Options &options, Sink &sink);

} // namespace brivane

#endif
