// Calibration of the time plan on the run itself: the store's insertion and
// the merge loop timed on small stores of the run's own objects.
//
// A scratch store is the store proper (init_distances, getdist_given,
// cluster_merge) on a handful of objects, made while the run's store does
// not exist yet; every global it touches is put back afterwards.  Nothing
// here draws from run_random: the scratch pairs come from a private generator,
// and every scratch store is connected, so that the merge loop never joins
// unconnected clusters at random.
#include "calibrate.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <time.h>
#include <unordered_set>

#include <brivane/sink.hpp>

#include "brivane.h"
#include "distances.h"
#include "record_lists.h"

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

// The store's globals, kept while a scratch store takes their place.
struct SavedStore {
    dist_t *dist_ = dist;
    int32_t n_dist_ = n_dist, dist_size_ = dist_size, dist_hash_size_ = dist_hash_size;
    int32_t *dist_hash_ = dist_hash, *dist_time_ = dist_time;
    node_t *node_ = node;
    int32_t abstract_time_ = abstract_time, getdist_time_ = getdist_time, distance_warning_ = distance_warning;
    heap_entry_t *heap_ = heap;
    int32_t heap_size_ = heap_size;
    int32_t *heap_loc_ = heap_loc;
    int32_t *leftnode_ = leftnode, *rightnode_ = rightnode, *start_ = start, *end_ = end;
    int32_t *new2old_ = new2old, *old2new_ = old2new;
    double *dst_ = dst;
    int N_ = N, num_distances_ = num_distances;
    int32_t *list_pool_ = list_pool;
    int64_t list_capacity_ = list_capacity, list_used_ = list_used;
    int32_t list_free_ = list_free, list_slots_ = list_slots;
    int64_t list_compactions_ = list_compactions, list_growths_ = list_growths;

    void restore() const
    {
        list_pool = list_pool_;
        list_capacity = list_capacity_;
        list_used = list_used_;
        list_free = list_free_;
        list_slots = list_slots_;
        list_compactions = list_compactions_;
        list_growths = list_growths_;
        dist = dist_;
        n_dist = n_dist_;
        dist_size = dist_size_;
        dist_hash_size = dist_hash_size_;
        dist_hash = dist_hash_;
        dist_time = dist_time_;
        node = node_;
        abstract_time = abstract_time_;
        getdist_time = getdist_time_;
        distance_warning = distance_warning_;
        heap = heap_;
        heap_size = heap_size_;
        heap_loc = heap_loc_;
        leftnode = leftnode_;
        rightnode = rightnode_;
        start = start_;
        end = end_;
        new2old = new2old_;
        old2new = old2new_;
        dst = dst_;
        N = N_;
        num_distances = num_distances_;
    }
};

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
                                 const std::vector<double> &given_values, size_t near)
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

    SavedStore saved;
    // The scratch store's lists get a pool of their own; setting one up
    // would otherwise give back the pool the saved state points to.
    list_pool = nullptr;
    N = objects;
    num_distances = (int)pairs.size();
    // The store's set-up announces its size; a scratch store keeps quiet.
    {
        SinkScope quiet(brivane::silent_sink());
        init_distances();
    }

    // The store's entries are fetched a few pairs ahead, as the run's
    // pair sources do.
    const size_t ahead = 8;
    size_t count = pairs.size();
    auto fetch = [&](size_t k) {
        if (k + ahead < count)
            getdist_prefetch(pairs[k + ahead].first, pairs[k + ahead].second);
    };
    double t0 = thread_seconds();
    for (size_t k = 0; k < near; k++) {
        fetch(k);
        getdist_given(pairs[k].first, pairs[k].second, values[k]);
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
            known += hash_lookup(pairs[k].first, pairs[k].second) != nullptr;
        }
        for (size_t k = first; k < last; k++) {
            fetch(k);
            getdist_given(pairs[k].first, pairs[k].second, values[k]);
        }
    }
    double t2 = thread_seconds();
    cluster_merge();
    double t3 = thread_seconds();
    volatile int64_t sink = known;
    (void)sink;
    timing.insert_near = t1 - t0;
    timing.insert_random = t2 - t1;
    timing.merge = t3 - t2;

    free_distances();
    saved.restore();
    return timing;
}
