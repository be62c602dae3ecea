// Calibration of the time plan on the run itself: the store's insertion and
// the merge loop timed on small stores of the run's own objects.
#ifndef CALIBRATE_H
#define CALIBRATE_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Seconds per pair of a phase whose cost per pair grows with the store as
// less of it stays in the caches: `base` at `base_pairs` pairs, `growth`
// more per doubling up to `knee` pairs (the largest store timed) and
// `beyond` more per doubling past it, where the store has left the caches
// and each doubling adds far loads.  Never less per pair below base_pairs;
// monotone in the store's size.
struct PairCost {
    double base = 0;
    double growth = 0;
    double beyond = 0;
    double base_pairs = 1;
    double knee = 1;
    // Seconds per pair in a store of `pairs` pairs.
    double at(double pairs) const;
    // The model through two timings (pairs, seconds per pair), the smaller
    // store first; a cost that falls with size is taken as flat.  Past the
    // larger store the growth is at least `least_beyond` per doubling.
    static PairCost fit(double pairs1, double cost1, double pairs2, double cost2, double least_beyond = 0);
    // Every cost times f.
    void scale(double f);
};

// What the store costs per pair in this run, in processor seconds of the
// main thread.
struct StoreCosts {
    PairCost insert_near;    // one pair the join found entered, its distance given
    PairCost insert_random;  // one random pair looked up, then entered
    PairCost merge;          // the merge loop, per stored pair
    bool measured = false;
    double slowdown = 1;     // wall seconds per processor second while timed
    double random_share = 0; // of the timed stores' pairs, the random ones
};

// The shape of the pairs a scratch store is built of, like the run's: `near`
// per object are neighbours in the given order of the objects (as the join
// finds them: each with those just after it), `random` per object are drawn
// from a private generator.
struct StoreShape {
    std::vector<int> order;  // scratch objects 0..n-1 in an order of nearness
    double near = 0;
    double random = 0;
};

// The pairs of a scratch store of that shape: near ones first, then random
// ones; no pair twice, never (a, a).  Deterministic for a seed.
std::vector<std::pair<int, int>> scratch_pairs(const StoreShape &shape, uint64_t seed);

// Times the store's insertion and the merge loop on scratch stores of about
// `small` and `large` pairs of `shape` (the objects taken from the front of
// its order), each pair's distance value(a, b), merged by `linkage`, and
// fits the growth of both with the store's size.  The scratch stores are
// runs of their own: they draw nothing from the run's generator and touch
// nothing of the run's.
// Past the larger store each doubling of the store adds far loads per pair:
// the growth there is at least that many times `far_load` (processor
// seconds of one load from far memory).
template <class Value>
StoreCosts time_store(const StoreShape &shape, int64_t small, int64_t large, double far_load, int linkage,
                      Value value);

// Far loads that each doubling of a store past the caches adds per pair, to
// the merge loop and to an insertion, for a store whose share `random` of
// pairs are random ones (the rest near ones, which the merge loop and the
// store meet in order): timed with the merge loop and the store on
// 2*10^5 to 1.6*10^7 pairs.
double merge_loads_per_doubling(double random);
// The merge loop's cost per pair in a store of `per_object` pairs per object
// against one of `timed` per object, at the same size: denser stores merge
// more pairs per list walk.
double denser_merge(double per_object, double timed);
double insert_loads_per_doubling(double random);

// ---------------------------------------------------------------------------

// Processor seconds of a scratch store of `objects` objects and the given
// pairs and distances: entering the first `near` pairs as the join enters
// what it finds, entering the others as the random pairs are (looked up
// first, then entered), and the merge loop by `linkage`.
struct ScratchTiming {
    double insert_near = 0, insert_random = 0, merge = 0;
};
ScratchTiming time_scratch_store(int objects, const std::vector<std::pair<int, int>> &pairs,
                                 const std::vector<double> &values, size_t near, int linkage);

template <class Value>
StoreCosts time_store(const StoreShape &shape, int64_t small, int64_t large, double far_load, int linkage,
                      Value value)
{
    StoreCosts costs;
    int n = (int)shape.order.size();
    double per_object = shape.near + shape.random;
    if (n < 2 || !(per_object > 0))
        return costs;
    // A denser store than this is timed at this density (its near and
    // random pairs in the same proportion), so that the two stores differ
    // in size and not in the pairs each object has.
    const double densest = 32;
    double thin = std::min(1.0, densest / per_object);
    per_object *= thin;
    double timed[2][4];
    int64_t sizes[2] = {small, large};
    for (int s = 0; s < 2; s++) {
        // Enough objects for the size; at least a few times the pairs each
        // one has, so that the store can be as dense as the run's.
        int objects = (int)std::min<double>(n, std::max(sizes[s] / per_object, 4 * per_object + 2));
        StoreShape part;
        part.near = shape.near * thin;
        part.random = shape.random * thin;
        part.order.reserve(objects);
        for (int k : shape.order)
            if (k < objects)
                part.order.push_back(k);
        std::vector<std::pair<int, int>> pairs = scratch_pairs(part, 7 + s);
        if (pairs.empty())
            return costs;
        std::vector<double> values(pairs.size());
        for (size_t k = 0; k < pairs.size(); k++)
            values[k] = value(pairs[k].first, pairs[k].second);
        size_t near = std::min(pairs.size(), (size_t)std::llround(part.near * objects));
        ScratchTiming t = time_scratch_store(objects, pairs, values, near, linkage);
        double all = (double)pairs.size();
        timed[s][0] = all;
        // A shape without near (or random) pairs prices them like the others.
        double per_near = near > 0 ? t.insert_near / near : 0;
        double per_random = near < pairs.size() ? t.insert_random / (all - near) : per_near;
        timed[s][1] = near > 0 ? per_near : per_random;
        timed[s][2] = per_random;
        timed[s][3] = t.merge / all;
    }
    double random = shape.random / (shape.near + shape.random);
    costs.random_share = random;
    costs.insert_near = PairCost::fit(timed[0][0], timed[0][1], timed[1][0], timed[1][1],
                                      insert_loads_per_doubling(0) * far_load);
    costs.insert_random = PairCost::fit(timed[0][0], timed[0][2], timed[1][0], timed[1][2],
                                        insert_loads_per_doubling(1) * far_load);
    costs.merge = PairCost::fit(timed[0][0], timed[0][3], timed[1][0], timed[1][3],
                                merge_loads_per_doubling(random) * far_load);
    costs.merge.scale(denser_merge(per_object / thin, densest));
    costs.measured = true;
    return costs;
}

#endif
