// The run's cost model: unit costs measured on the run's own data, the join
// replayed on a subsample, and the count that fits the time budget.
//
//   BoundSample        sorted pivot lower bounds of random pairs: a count's
//                      epsilon and the share of pairs it lets through.
//   JoinSample         the join's block recursion replayed on a subsample of
//                      the objects' pivot distances: how many candidate pairs
//                      the join examines at an epsilon, and what one costs.
//   measure_memory     this machine's cost of a far load and of fresh memory.
//   predict            unit costs times work, phase by phase.
//   plan_time_budget   (plan.h) the largest count whose total fits.
//
// Nothing here draws from the run's generator (run_random): the run's random
// sequence is the same whether it plans or not.
#include "plan.h"

#include "threads.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <sys/mman.h>
#include <time.h>

#include <brivane/sink.hpp>

#include "run.h"
#include "small_dist.h"

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor seconds of the calling thread: what a piece of work costs while
// it runs, whatever share of the machine it gets.
double thread_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// Zero exactly when the packed fine cells are within 3 of each other in
// every field: the arithmetic of the join's first test.
inline int64_t packed_far(int64_t inc, int64_t packed, int64_t mask31, int64_t mask24)
{
    int64_t y = (inc - packed) & mask31;
    return (y & mask24) | ((y << 1) & y & (y << 2));
}

} // namespace

namespace {

// How many far loads each unit of work makes, beyond what is timed directly.
// A stored pair: its hash chain head, the two objects' list heads and the
// record pool.  The merge loop, per stored pair: the heap's sifts through
// cold memory, the chain walks of the twin lookups, the list unlinks.  The
// output, per object: the leaf walk and the dendrogram arrays.  A sampled
// bound: two entries N apart in each pivot's row, which overlap in flight.
const double INSERT_LOADS = 2;
const double CLUSTER_LOADS = 4;
const double OUTPUT_LOADS = 12;
const double BOUND_LOADS_PER_PIVOT = 0.1;
// The join examines a candidate in more than the packed test alone (the
// exact test of those that pass it, the walk of the blocks), but skips most
// of the candidates of a sorted block without testing them.
const double JOIN_TEST_OVERHEAD = 0.3;
// Sorting the objects into grid order: per comparison, the first pivot's
// cells of two objects, far apart in memory; and per cell computed, a few
// nanoseconds of arithmetic.
const double JOIN_SORT_LOADS = 0.6;
const double JOIN_CELL_SECONDS = 5e-9;
// Per stored pair, the bytes of the store first touched: its hash heads
// and heap when the store is set up, its two records as the pair is entered.
const double STORE_TABLE_BYTES = 76;
const double STORE_RECORD_BYTES = 64;
// The merge loop's cost per pair grows with the store, as less of it stays
// in the caches: this much more per doubling beyond a million pairs.
const double CLUSTER_GROWTH = 0.2;

// The merge loop's far loads per stored pair at most: this many up to a
// million pairs and this many more per doubling of the store beyond, as
// less of it stays in the caches.  Measured on bench/scale.py's family
// (bench/README.md), with a tenth more: 1.4 to 4.0 loads per pair at 2-4
// million pairs, 6.4 to 8.0 at 2*10^7, where the scratch stores' figure
// fell short by up to 2-3 times on data unlike theirs.
const double CLUSTER_BOUND_LOADS = 0.8;
const double CLUSTER_BOUND_LOADS_PER_DOUBLING = 1.85;

// A draw of a random pair, in processor seconds: two numbers of the generator
// and the pair's bit, while the bits fit in this many bytes of cache; beyond,
// a far load for the share of the bits that do not.
const double DRAW_SECONDS = 2e-8;
const double DRAW_CACHE_BYTES = 1 << 20;
// Filling the store with all pairs, beside the distance and the records'
// bytes: the chain link and the list entry of a pair, both fetched ahead.
const double FILL_LOADS = 1;

// Distances of random pairs timed for at least this long.
const double DISTANCE_SAMPLE_SECONDS = 0.001;

} // namespace

// ---------------------------------------------------------------------------
// Sampled bounds

BoundSample::BoundSample(std::vector<double> bounds) : sorted_(std::move(bounds))
{
    std::sort(sorted_.begin(), sorted_.end());
}

double BoundSample::epsilon(int64_t count, double prop, int sample_size, int n) const
{
    if (sorted_.empty() || n < 2)
        return 0;
    // The epsilon estimate keeps the threshold_loc smallest of sample_size
    // bounds; the same quantile of this sample.
    double wanted = (double)count * prop * sample_size / ((double)n * (n - 1) * 0.5);
    double loc = wanted >= 1 ? std::floor(wanted) : 1;
    double quantile = std::min(1.0, loc / sample_size);
    size_t k = (size_t)std::ceil(quantile * sorted_.size());
    k = std::min(std::max<size_t>(k, 1), sorted_.size());
    return 1.000001 * sorted_[k - 1];
}

double BoundSample::share_within(double eps) const
{
    if (sorted_.empty())
        return 0;
    size_t within = std::upper_bound(sorted_.begin(), sorted_.end(), eps) - sorted_.begin();
    return (double)within / sorted_.size();
}

// ---------------------------------------------------------------------------
// The join replayed on a subsample

JoinSample::JoinSample(std::vector<double> rows, int objects, int pivots, int64_t population, int split_threshold)
    : P_(pivots)
{
    // Only objects whose pivot distances are all finite take part, as in the
    // join itself.
    rows_.reserve(rows.size());
    for (int k = 0; k < objects; k++) {
        const double *r = &rows[(size_t)k * P_];
        if (std::all_of(r, r + P_, [](double v) { return std::isfinite(v); })) {
            rows_.insert(rows_.end(), r, r + P_);
            kept_.push_back(k);
            n_++;
        }
    }
    double members = objects > 0 ? (double)population * n_ / objects : 0;
    scale_ = n_ >= 2 ? members * (members - 1) / ((double)n_ * (n_ - 1)) : 0;
    // A leaf block of the whole join spans split_threshold positions of the
    // order; the sample's blocks must span the same stretch of the grid.
    double split = objects > 0 ? (double)split_threshold * n_ / members : 1;
    split_ = (int)std::max(1.0, std::min(split, 2147483647.0));
}

void JoinSample::cells(double eps)
{
    cell_.resize((size_t)n_ * P_);
    for (size_t k = 0; k < cell_.size(); k++)
        cell_[k] = grid_cell(rows_[k], eps);
    order_.resize(n_);
    for (int k = 0; k < n_; k++)
        order_[k] = k;
    const int P = P_;
    const int *c = cell_.data();
    std::sort(order_.begin(), order_.end(), [c, P](int a, int b) {
        return std::lexicographical_compare(c + (size_t)a * P, c + (size_t)a * P + P, c + (size_t)b * P,
                                            c + (size_t)b * P + P);
    });
}

void JoinSample::recurse(int start1, int end1, int start2, int end2, int d)
{
    if (start1 > end2 || start2 > end2)
        return;
    auto cell = [this](int pos, int p) { return cell_[(size_t)order_[pos] * P_ + p]; };
    for (int k = d; k < P_; k++) {
        int s1 = cell(start1, k), e1 = cell(end1, k);
        int s2 = cell(start2, k), e2 = cell(end2, k);
        if (s1 == e1 && s2 == e2) {
            if (std::abs(s1 - s2) >= 2)
                return;
            if (k == d && s1 == s2 && std::abs(s1) < CELL_LIMIT)
                d++;
        } else {
            if (e2 + 2 <= s1 || e1 + 2 <= s2)
                return;
            break;
        }
    }
    if (end1 - start1 < split_) {
        for (int i = start1; i <= end1; i++) {
            int from = std::max(i + 1, start2);
            if (from <= end2)
                examined_ += end2 - from + 1;
        }
        leaves_.push_back({start1, end1});
        leaves2_.push_back({start2, end2});
        return;
    }
    int med1 = start1 + (end1 - start1) / 2;
    int med2 = start2 + (end2 - start2) / 2;
    recurse(start1, med1, start2, med2, d);
    recurse(start1, med1, med2 + 1, end2, d);
    recurse(med1 + 1, end1, start2, med2, d);
    recurse(med1 + 1, end1, med2 + 1, end2, d);
}

int64_t JoinSample::examined_in_sample(double eps)
{
    examined_ = 0;
    leaves_.clear();
    leaves2_.clear();
    if (n_ < 2 || !(eps > 0) || !std::isfinite(eps) || !(eps / 3.0 > 0))
        return 0;
    cells(eps);
    recurse(0, n_ - 1, 0, n_ - 1, 0);
    return examined_;
}

double JoinSample::examined(double eps)
{
    return scale_ * (double)examined_in_sample(eps);
}

double JoinSample::seconds_per_test(double eps)
{
    if (examined_in_sample(eps) == 0)
        return 0;
    // The packed words of the sample in grid order, as the join reads them.
    int fields = std::min(P_, PACKED_PIVOTS);
    int64_t mask31, mask24;
    packed_masks(fields, mask31, mask24);
    std::vector<int64_t> packed(n_), inc(n_);
    for (int pos = 0; pos < n_; pos++) {
        const double *r = &rows_[(size_t)order_[pos] * P_];
        int64_t a = 0, b = 0;
        for (int p = 0; p < fields; p++) {
            int64_t v = fine_cell_bits(r[p], eps / 3.0);
            a = (a << 6) | v;
            b = (b << 6) | ((v + 3) | 32);
        }
        packed[pos] = a;
        inc[pos] = b;
    }
    // The best of a few rounds of at least a millisecond each, so that the
    // clock's grain and a lost time slice do not decide the figure.
    int64_t passed = 0;
    double best = 1e9;
    for (int round = 0; round < 5; round++) {
        int64_t tests = 0;
        double start = thread_seconds(), elapsed = 0;
        do {
            for (size_t l = 0; l < leaves_.size(); l++) {
                int start1 = leaves_[l].first, end1 = leaves_[l].second;
                int start2 = leaves2_[l].first, end2 = leaves2_[l].second;
                for (int i = start1; i <= end1; i++) {
                    int64_t x = inc[i];
                    int from = std::max(i + 1, start2);
                    for (int j = from; j <= end2; j++)
                        passed += packed_far(x, packed[j], mask31, mask24) == 0;
                    tests += std::max(0, end2 - from + 1);
                }
            }
            elapsed = thread_seconds() - start;
        } while (elapsed < 0.001 && tests < 100000000);
        if (tests > 0)
            best = std::min(best, elapsed / (double)tests);
    }
    // `passed` keeps the loop from being optimised away; the pairs that pass
    // go on to the exact test, whose cost is charged with the found pairs.
    volatile int64_t sink = passed;
    (void)sink;
    return best < 1e9 ? best : 0;
}

std::vector<int> JoinSample::grid_order(double eps)
{
    if (n_ >= 2 && eps > 0 && std::isfinite(eps) && eps / 3.0 > 0) {
        cells(eps);
        return order_;
    }
    std::vector<int> order(std::max(n_, 0));
    for (int k = 0; k < n_; k++)
        order[k] = k;
    return order;
}

double JoinSample::bound(int a, int b) const
{
    const double *ra = &rows_[(size_t)a * P_], *rb = &rows_[(size_t)b * P_];
    double bound = 0;
    for (int p = 0; p < P_; p++)
        bound = std::max(bound, std::fabs(ra[p] - rb[p]));
    return bound;
}

std::vector<double> JoinSample::sample_bounds(int pairs, uint64_t seed) const
{
    std::vector<double> bounds;
    if (n_ < 2)
        return bounds;
    std::mt19937_64 gen(seed);
    std::uniform_int_distribution<int> pick(0, n_ - 1);
    bounds.reserve(pairs);
    for (int s = 0; s < pairs; s++) {
        int a = pick(gen), b = pick(gen);
        if (a == b)
            continue;
        bounds.push_back(bound(a, b));
    }
    return bounds;
}

// ---------------------------------------------------------------------------
// Memory costs

MemoryCosts measure_memory()
{
    // 32 MiB: beyond the caches of any machine this runs on, small enough
    // to cost a few milliseconds.
    const size_t words = size_t(1) << 22;
    MemoryCosts costs;
    // Fresh memory: the best of a few blocks, each mapped anew and filled,
    // as the store's tables are when they are first written.
    const size_t block = size_t(1) << 22;
    costs.fresh_byte = 1e9;
    for (int round = 0; round < 4; round++) {
        double start = thread_seconds();
        void *fresh = mmap(nullptr, block, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh == MAP_FAILED)
            break;
        std::memset(fresh, 1, block);
        costs.fresh_byte = std::min(costs.fresh_byte, (thread_seconds() - start) / (double)block);
        munmap(fresh, block);
    }
    if (costs.fresh_byte == 1e9)
        costs.fresh_byte = 0;
    uint64_t *buffer = new uint64_t[words];
    for (size_t k = 0; k < words; k++)
        buffer[k] = k * 0x9E3779B97F4A7C15ull;
    double start;

    // Each load's address depends on the value loaded before it, so the
    // loads cannot overlap: one far load's latency each.  The best of a few
    // rounds: a round that lost the processor measures the machine's load,
    // which the caller accounts for on its own.
    const int steps = 20000;
    uint64_t at = 1;
    costs.miss = 1e9;
    for (int round = 0; round < 5; round++) {
        start = thread_seconds();
        for (int s = 0; s < steps; s++)
            at = (at * 6364136223846793005ull + buffer[at & (words - 1)]) >> 7;
        costs.miss = std::min(costs.miss, (thread_seconds() - start) / steps);
    }
    volatile uint64_t sink = at;
    (void)sink;
    delete[] buffer;
    return costs;
}

// ---------------------------------------------------------------------------
// The model

double Run::parallel_share()
{
    return std::max(1, std::min(num_threads, machine_cores()));
}

namespace {

// The merge loop's cost per stored pair, for a store of `pairs`.
double merge_cost(const UnitCosts &unit, double pairs)
{
    return unit.store.measured ? unit.slowdown * unit.store.merge.at(pairs)
                               : unit.cluster_pair * (1 + CLUSTER_GROWTH * std::log2(std::max(1.0, pairs / 1e6)));
}

} // namespace

double clustering_seconds(const UnitCosts &unit, double pairs)
{
    double bound = unit.far_load * (CLUSTER_BOUND_LOADS + CLUSTER_BOUND_LOADS_PER_DOUBLING *
                                                              std::log2(std::max(1.0, pairs / 1e6)));
    return pairs * unit.centroid_scale * std::max(unit.merge_scale * merge_cost(unit, pairs), bound);
}

PhaseSeconds predict_rest(const UnitCosts &unit, double per_random, int64_t stored, int64_t count, int n)
{
    PhaseSeconds s;
    double added = std::max(0.0, (double)count - (double)stored);
    double all = n >= 2 ? (double)n * (n - 1) / 2 : 0;
    // Near all pairs a pair costs the draws that pass over stored ones;
    // the measured rate holds one draw per pair.
    double draw = unit.draw + unit.far_load * std::max(0.0, 1 - DRAW_CACHE_BYTES / std::max(1.0, all / 8));
    s.random = added * per_random + std::max(0.0, expected_draws(all, (double)stored, added) - added) * draw;
    double pairs = std::max((double)count, (double)stored);
    s.clustering = clustering_seconds(unit, pairs);
    s.output = (double)n * unit.output_object;
    return s;
}

PhaseSeconds predict(const UnitCosts &unit, int64_t count, double found, double join_tests, int n,
                     double bounds, bool heuristics, bool randoms)
{
    PhaseSeconds s;
    // Distances and the join's tests run on the threads; the store takes
    // its pairs in order on the main thread.
    double threads = unit.threads;
    // The join stores what it finds, up to the store's room for the count.
    double stored = heuristics ? std::min(found, (double)count) : 0;
    double random = randoms ? std::max(0.0, (double)count - stored) : 0;
    double pairs = stored + random;
    // An insertion costs more as the store grows; with a cost that grows
    // with the logarithm of the size, a phase that adds pairs to a store of
    // s pairs until it holds s + a pays on average about the cost at s + a/e.
    double insert_near = unit.insert, insert_random = unit.insert;
    if (unit.store.measured) {
        insert_near = unit.slowdown * unit.store.insert_near.at(stored / M_E);
        insert_random = unit.slowdown * unit.store.insert_random.at(stored + random / M_E);
    }
    double distance = unit.distance / threads;
    if (heuristics) {
        s.epsilon = bounds * unit.bound;
        double tests = unit.join_measured ? unit.join_examined : unit.join_test * JOIN_TEST_OVERHEAD / threads;
        double per_found = unit.join_measured ? unit.join_found : distance;
        s.join = (double)n * unit.join_order + join_tests * tests + stored * (per_found + insert_near);
    }
    // Near all pairs most draws repeat a stored pair: the draws, not the
    // pairs, are what such a count costs.
    double all = n >= 2 ? (double)n * (n - 1) / 2 : 0;
    double draw = unit.draw + unit.far_load * std::max(0.0, 1 - DRAW_CACHE_BYTES / (all / 8));
    s.random = random * (distance + insert_random) + expected_draws(all, stored, random) * draw;
    s.clustering = (double)count * STORE_TABLE_BYTES * unit.store_byte + clustering_seconds(unit, pairs);
    s.output = (double)n * unit.output_object;
    return s;
}

PhaseSeconds predict_all_pairs(const UnitCosts &unit, int n)
{
    PhaseSeconds s;
    double pairs = n >= 2 ? (double)n * (n - 1) / 2 : 0;
    double per_pair = unit.distance + STORE_RECORD_BYTES * unit.store_byte + FILL_LOADS * unit.far_load;
    s.join = pairs * per_pair / unit.threads;
    s.clustering = pairs * STORE_TABLE_BYTES * unit.store_byte + pairs * merge_cost(unit, pairs);
    s.output = (double)n * unit.output_object;
    return s;
}

double expected_draws(double all, double stored, double added)
{
    // Draws to add the pairs from `stored` on: the sum of all / (all - k),
    // that is all times a difference of harmonic numbers.
    auto harmonic = [](double k) {
        if (k < 1)
            return 0.0;
        if (k < 16) {
            double h = 0;
            for (int i = 1; i <= (int)k; i++)
                h += 1.0 / i;
            return h;
        }
        return std::log(k) + 0.5772156649015329 + 1 / (2 * k) - 1 / (12 * k * k);
    };
    if (!(added > 0) || !(all > 0))
        return 0;
    double free_before = std::floor(std::max(0.0, all - stored));
    double free_after = std::floor(std::max(0.0, free_before - added));
    return all * (harmonic(free_before) - harmonic(free_after));
}

std::string plan_line(const Plan &plan)
{
    char line[256];
    const PhaseSeconds &s = plan.seconds;
    char tail[64];
    if (plan.budget > 0)
        std::snprintf(tail, sizeof tail, "time budget %g s", plan.budget);
    else
        std::snprintf(tail, sizeof tail, "%s", plan.all_pairs ? "all pairs asked for" : "count given");
    if (plan.all_pairs)
        std::snprintf(line, sizeof line, "Plan: all pairs %.1f s, clustering %.1f s, output %.1f s (%s)", s.join,
                      s.clustering, s.output, tail);
    else
        std::snprintf(line, sizeof line,
                      "Plan: join %.1f s, random pairs %.1f s, clustering %.1f s, output %.1f s (%s)",
                      s.epsilon + s.join, s.random, s.clustering, s.output, tail);
    return line;
}

std::string replan_line(const PhaseSeconds &rest, int64_t count)
{
    char line[200];
    std::snprintf(line, sizeof line, "  Plan for the rest: random pairs %.1f s, clustering %.1f s, output %.1f s (%lld distances)",
                  rest.random, rest.clustering, rest.output, (long long)count);
    return line;
}

std::string shortfall_line(const Plan &plan)
{
    if (!(plan.over > 0) || !(plan.budget > 0))
        return "";
    char line[320];
    double total = plan.spent + plan.seconds.total();
    std::snprintf(line, sizeof line,
                  "WARNING! The time budget of %g s cannot hold the minimum of 20 distances per object: "
                  "the run is planned at %.1f s, %.1f s (%.0f%%) over the budget.",
                  plan.budget, total, plan.over, 100.0 * plan.over / plan.budget);
    return line;
}

// ---------------------------------------------------------------------------
// Calibration on the run


UnitCosts Run::measure_unit_costs(int pivots)
{
    double wall_start = now(), cpu_start = thread_seconds();
    UnitCosts unit;
    MemoryCosts memory_costs = measure_memory();
    // Rounds of one distance at least; the rounds stop once the sample has
    // taken DISTANCE_SAMPLE_SECONDS in all, so that a measure of seconds per
    // distance costs one distance more, not a hundred.
    std::mt19937_64 gen(12345);
    std::uniform_int_distribution<int> pick(0, object_count - 1);
    double sum = 0;
    unit.distance = 1e9;
    double sample_start = thread_seconds();
    for (int round = 0; round < 5 && thread_seconds() - sample_start < 5 * DISTANCE_SAMPLE_SECONDS; round++) {
        int64_t computed = 0;
        double start = thread_seconds(), elapsed = 0;
        // Batches that double, so that reading the clock costs little
        // beside a cheap measure.
        for (int64_t batch = 1; elapsed < DISTANCE_SAMPLE_SECONDS && computed < 100000; batch *= 2) {
            for (int64_t k = 0; k < batch; k++) {
                int a = pick(gen), b = pick(gen);
                if (a == b && object_count > 1)
                    b = (a + 1) % object_count;
                sum += calc_distance(a, b);
            }
            computed += batch;
            elapsed = thread_seconds() - start;
        }
        unit.distance = std::min(unit.distance, elapsed / (double)computed);
    }
    volatile double sink = sum;
    (void)sink;
    // The machine may be shared: the run gets the share of a processor that
    // the calibration got, and every phase is slowed alike.
    double wall = now() - wall_start, cpu = thread_seconds() - cpu_start;
    unit.slowdown = cpu > 0 ? std::max(1.0, wall / cpu) : 1.0;
    unit.threads = parallel_share();
    double s = unit.slowdown;
    unit.distance *= s;
    unit.far_load = memory_costs.miss * s;
    unit.draw = DRAW_SECONDS * s;
    unit.insert = (INSERT_LOADS * memory_costs.miss + STORE_RECORD_BYTES * memory_costs.fresh_byte) * s;
    unit.cluster_pair = CLUSTER_LOADS * memory_costs.miss * s;
    unit.store_byte = memory_costs.fresh_byte * s;
    unit.output_object = OUTPUT_LOADS * memory_costs.miss * s;
    unit.bound = BOUND_LOADS_PER_PIVOT * 2 * pivots * memory_costs.miss * s;
    unit.join_order =
        (std::log2(std::max(2, object_count)) * JOIN_SORT_LOADS * memory_costs.miss + pivots * JOIN_CELL_SECONDS) * s;
    if (engine == ENGINE_COMPACT) {
        unit.merge_scale = COMPACT_MERGE_SCALE;
        unit.centroid_scale = compact_centroid_scale(settings.linkage, row_length);
    }
    return unit;
}

int Run::join_sample_object(int k, int size) const
{
    int n = std::min(size, object_count);
    return (int)((int64_t)k * object_count / n);
}

JoinTiming Run::time_sample_join(const JoinSample &sample, double eps, int size, int objects)
{
    JoinTiming timing;
    int all = sample.objects(), n = std::min(all, objects), P = sample.pivots();
    if (n < 2 || P < 1 || join_skipped(eps))
        return timing;
    // The sample's join runs on a run of its own: n objects, their pivot
    // distances and no store.  It keeps quiet (the silent sink), and the
    // pairs it finds are counted, not stored.  Every (all/n)-th sample
    // object, so that they stay spread over all.
    Run sample_run;
    sample_run.object_count = n;
    sample_run.settings = settings;
    sample_run.num_threads = num_threads;
    std::vector<int> sample_objects(n);
    sample_run.pivot_dists = new double[(size_t)P * n];
    for (int k = 0; k < n; k++) {
        int s = (int)((int64_t)k * all / n);
        sample_objects[k] = join_sample_object(sample.kept()[s], size);
        for (int p = 0; p < P; p++)
            sample_run.pivot_dists[(size_t)p * n + k] = sample.rows()[(size_t)s * P + p];
    }
    int64_t found = 0;
    sample_run.join_pair_sink = [&found](int, int, double) { found++; };
    // The best of a few, so that a lost time slice does not decide.
    double seconds[2] = {1e300, 1e300};
    for (int round = 0; round < 3; round++) {
        int with = round % 2;
        if (with)
            sample_run.join_pair_value = [this, &sample_objects](int i, int j) {
                return calc_distance(sample_objects[i], sample_objects[j]);
            };
        else
            sample_run.join_pair_value = [](int, int) { return 0.0; };
        found = 0;
        double start = now();
        sample_run.small_dists_work(eps);
        seconds[with] = std::min(seconds[with], now() - start);
    }
    timing.without = seconds[0];
    timing.with_distances = seconds[1];
    timing.examined = (double)sample_run.join_pairs_examined;
    timing.found = (double)found;
    return timing;
}

void set_join_costs(UnitCosts &unit, const JoinTiming &timing, int objects)
{
    // Too little work to time against the join's fixed costs: the model's
    // own costs stay.
    if (!(timing.examined >= 1000000) || !(timing.without > 0))
        return;
    // The objects' cells and their sort are charged per object apart.
    double tests = std::max(0.25 * timing.without, timing.without - objects * unit.join_order);
    unit.join_examined = tests / timing.examined;
    // A found pair's distance is computed on the threads; with few pairs
    // found the difference is noise, and it never costs more than on one
    // thread.
    unit.join_found = unit.distance / unit.threads;
    if (timing.found >= 10000 && timing.with_distances > timing.without)
        unit.join_found = std::min(unit.distance, (timing.with_distances - timing.without) / timing.found);
    unit.join_measured = true;
}

JoinSample Run::join_sample(int size, int pivots, int split_threshold)
{
    int n = std::min(size, object_count);
    std::vector<double> rows((size_t)n * pivots);
    for (int k = 0; k < n; k++) {
        int o = join_sample_object(k, size);
        for (int p = 0; p < pivots; p++)
            rows[(size_t)k * pivots + p] = pivot_dists[(size_t)p * object_count + o];
    }
    return JoinSample(std::move(rows), n, pivots, object_count, split_threshold);
}

StoreCosts Run::measure_store_costs(JoinSample &sample, int64_t count, double found, double eps, int n, double budget,
                               double far_load)
{
    if (n < 2 || count < 1)
        return StoreCosts();
    double wall_start = now(), cpu_start = thread_seconds();
    StoreCosts costs = store_costs(sample, count, found, eps, n, budget, far_load);
    double wall = now() - wall_start, cpu = thread_seconds() - cpu_start;
    costs.slowdown = cpu > 0 ? std::max(1.0, wall / cpu) : 1.0;
    return costs;
}

void set_slowdown(UnitCosts &unit, double slowdown)
{
    if (!(slowdown >= 1) || !std::isfinite(slowdown))
        return;
    double f = slowdown / unit.slowdown;
    for (double *cost : {&unit.distance, &unit.insert, &unit.join_test, &unit.join_order, &unit.cluster_pair,
                         &unit.store_byte, &unit.output_object, &unit.bound, &unit.far_load, &unit.draw})
        *cost *= f;
    unit.slowdown = slowdown;
}

StoreCosts Run::store_costs(JoinSample &sample, int64_t count, double found, double eps, int n, double budget,
                            double far_load)
{
    // The larger store as big as about 0.5 % of the budget lets it be, within
    // limits that keep it cheap and yet beyond the caches; the smaller an
    // eighth of it.
    int64_t large = (int64_t)std::min(std::max(0.005 * budget / 1.5e-6, 32768.0), 262144.0);
    StoreShape shape;
    double per_object = (double)count / n;
    shape.near = std::min(found, (double)count) / n;
    shape.random = std::max(0.0, per_object - shape.near);
    if (sample.objects() >= 2) {
        shape.order = sample.grid_order(eps);
        return time_store(shape, large / 8, large, far_load, settings.linkage,
                          [&](int a, int b) { return sample.bound(a, b); });
    }
    // No pivots: random pairs of random distances, as random pairs are.
    int objects = (int)std::min<int64_t>(n, 1 << 16);
    shape.order.resize(objects);
    for (int k = 0; k < objects; k++)
        shape.order[k] = k;
    return time_store(shape, large / 8, large, far_load, settings.linkage, [](int a, int b) {
        uint64_t h = ((uint64_t)a * 0x9E3779B97F4A7C15ull) ^ ((uint64_t)b * 0xC2B2AE3D27D4EB4Full);
        return (double)(h >> 11) * 0x1.0p-53;
    });
}
