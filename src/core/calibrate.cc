// Calibration of the time plan on the run itself: the store's insertion and
// the merge loop timed on small stores of the run's own objects.
//
// A scratch store is the store proper (init_distances, getdist_given,
// cluster_merge) of a run of its own on a handful of objects.  Nothing here
// draws from the run's generator: the scratch pairs come from a private
// generator, and every scratch store is connected, so that the merge loop
// never joins unconnected clusters at random.
#include "calibrate.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <time.h>
#include <unordered_set>

#include "run.h"

namespace {

double thread_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

int find_root(std::vector<int> &parent, int a)
{
    while (parent[a] != a) {
        parent[a] = parent[parent[a]];
        a = parent[a];
    }
    return a;
}

} // namespace

double PairCost::at(double pairs) const
{
    double within = std::min(pairs, knee);
    double cost = base + (within > base_pairs ? growth * std::log2(within / base_pairs) : 0);
    return cost + (pairs > knee ? beyond * std::log2(pairs / knee) : 0);
}

PairCost PairCost::fit(double pairs1, double cost1, double pairs2, double cost2, double least_beyond)
{
    PairCost c;
    if (!std::isfinite(cost1) || cost1 < 0)
        cost1 = 0;
    if (!std::isfinite(cost2) || cost2 < 0)
        cost2 = cost1;
    c.base_pairs = std::max(1.0, pairs1);
    c.knee = std::max(c.base_pairs, pairs2);
    c.base = cost1;
    double doublings = c.knee > c.base_pairs ? std::log2(c.knee / c.base_pairs) : 0;
    c.growth = doublings > 0 ? std::max(0.0, (cost2 - cost1) / doublings) : 0;
    c.beyond = std::max(c.growth, std::isfinite(least_beyond) ? least_beyond : 0.0);
    return c;
}

void PairCost::scale(double f)
{
    if (!(f >= 0) || !std::isfinite(f))
        return;
    base *= f;
    growth *= f;
    beyond *= f;
}

// At 4*10^6 pairs the merge loop took 1.7, 1.25 and 0.79 us per pair with
// 32, 130 and 465 pairs per object: about the density to the power -0.3.
double denser_merge(double per_object, double timed)
{
    if (!(per_object > timed) || !(timed > 0) || !std::isfinite(per_object))
        return 1;
    return std::pow(timed / per_object, 0.3);
}

// Per doubling past the caches, measured on a quiet machine with the block
// lists (real runs of 3.7*10^6 to 2.4*10^7 pairs): the merge loop met about
// 0.45 far loads more per pair, a little more on random pairs than on near
// ones; an insertion about 0.3 (random) and 0.1 (near).  Under load these
// grow, as other processes take cache; the measured slowdown covers part.
double merge_loads_per_doubling(double random)
{
    random = std::min(1.0, std::max(0.0, random));
    return 0.3 + 0.2 * random;
}

double insert_loads_per_doubling(double random)
{
    random = std::min(1.0, std::max(0.0, random));
    return 0.1 + 0.2 * random;
}

std::vector<std::pair<int, int>> scratch_pairs(const StoreShape &shape, uint64_t seed)
{
    std::vector<std::pair<int, int>> pairs;
    int n = (int)shape.order.size();
    if (n < 2)
        return pairs;
    int64_t most = (int64_t)n * (n - 1) / 2;
    int64_t near = std::min<int64_t>((int64_t)std::llround(shape.near * n), most);
    int64_t random = std::min<int64_t>((int64_t)std::llround(shape.random * n), most - near);
    std::unordered_set<int64_t> known;
    auto add = [&](int a, int b) {
        if (a == b)
            return false;
        int64_t key = (int64_t)std::min(a, b) * n + std::max(a, b);
        if (!known.insert(key).second)
            return false;
        pairs.push_back({a, b});
        return true;
    };
    // Near pairs: each object with the next ones in the order, the window
    // as wide as the share per object asks, in rounds of one step farther.
    for (int step = 1; (int64_t)pairs.size() < near && step < n; step++)
        for (int k = 0; k + step < n && (int64_t)pairs.size() < near; k++)
            add(shape.order[k], shape.order[k + step]);
    std::mt19937_64 gen(seed);
    std::uniform_int_distribution<int> pick(0, n - 1);
    // Pairs are drawn until enough are new; a store that dense is rare and
    // small, and the draws stop at a bound all the same.
    int64_t wanted = (int64_t)pairs.size() + random;
    for (int64_t draws = 0; (int64_t)pairs.size() < wanted && draws < 20 * random + 100; draws++)
        add(shape.order[pick(gen)], shape.order[pick(gen)]);
    return pairs;
}

ScratchTiming time_scratch_store(int objects, const std::vector<std::pair<int, int>> &given,
                                 const std::vector<double> &given_values, size_t near, int linkage)
{
    ScratchTiming timing;
    if (objects < 2 || given.empty())
        return timing;
    near = std::min(near, given.size());
    std::vector<std::pair<int, int>> pairs = given;
    std::vector<double> values = given_values;
    // Components that no pair connects are joined by pairs beyond every
    // distance, so that the merge loop ends with one cluster.
    std::vector<int> parent(objects);
    std::iota(parent.begin(), parent.end(), 0);
    double largest = 0;
    for (size_t k = 0; k < pairs.size(); k++) {
        parent[find_root(parent, pairs[k].first)] = find_root(parent, pairs[k].second);
        if (std::isfinite(values[k]))
            largest = std::max(largest, values[k]);
    }
    int last = -1;
    for (int o = 0; o < objects; o++) {
        if (find_root(parent, o) != o)
            continue;
        if (last >= 0) {
            pairs.push_back({last, o});
            values.push_back(2 * largest + 1);
        }
        last = o;
    }

    // The scratch store is a run of its own, quiet (the silent sink) and
    // merging by the given linkage.
    Run scratch;
    scratch.object_count = objects;
    scratch.num_distances = (int64_t)pairs.size();
    scratch.settings.linkage = linkage;
    scratch.init_distances();

    // The store's entries are fetched a few pairs ahead, as the run's
    // pair sources do.
    const size_t ahead = 8;
    size_t count = pairs.size();
    auto fetch = [&](size_t k) {
        if (k + ahead < count)
            scratch.getdist_prefetch(pairs[k + ahead].first, pairs[k + ahead].second);
    };
    double t0 = thread_seconds();
    for (size_t k = 0; k < near; k++) {
        fetch(k);
        scratch.getdist_given(pairs[k].first, pairs[k].second, values[k]);
    }
    double t1 = thread_seconds();
    // Random pairs go by in batches: each batch is screened for pairs the
    // store knows, then entered.
    const size_t batch = 4096;
    int64_t known = 0;
    for (size_t first = near; first < count; first += batch) {
        size_t last = std::min(count, first + batch);
        for (size_t k = first; k < last; k++) {
            fetch(k);
            known += scratch.hash_lookup(pairs[k].first, pairs[k].second) != nullptr;
        }
        for (size_t k = first; k < last; k++) {
            fetch(k);
            scratch.getdist_given(pairs[k].first, pairs[k].second, values[k]);
        }
    }
    double t2 = thread_seconds();
    scratch.cluster_merge();
    double t3 = thread_seconds();
    volatile int64_t sink = known;
    (void)sink;
    timing.insert_near = t1 - t0;
    timing.insert_random = t2 - t1;
    timing.merge = t3 - t2;

    return timing;
}
