// The run's cost model: predicts every phase's seconds from samples of the
// actual data on the actual machine, and fixes the number of distances that
// lets the whole run fit its time budget.
#ifndef PLAN_H
#define PLAN_H

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "calibrate.h"

// What one unit of each phase's work costs in this run, in seconds.
struct UnitCosts {
    double distance = 0;      // one distance between two random objects
    double insert = 0;        // one pair entered into the store (beside its distance)
    double join_test = 0;     // one candidate pair examined by the join
    double join_order = 0;    // one object's grid cells and its place in the grid order
    double cluster_pair = 0;  // the merge loop's work per stored pair
    double store_byte = 0;    // one byte of the store allocated and first touched
    double output_object = 0; // the leaf order and the output file, per object
    double bound = 0;         // one pivot lower bound of the epsilon sample
    double slowdown = 1;      // wall seconds per processor second the run gets
    double threads = 1;       // threads the distance computations may count on (Run::parallel_share)
    double far_load = 0;      // one load from far memory, slowdown included
    double draw = 0;          // one draw of a random pair, kept or passed over (its bit in the cache)
    // The clustering engine's merge loop per pair against the store's, whose
    // loop the calibration times: 1 for the store.  The floor that no input
    // has gone below (clustering_seconds) holds for both engines as it is.
    double merge_scale = 1;
    // Ward, centroid and median linkage in the compact engine value each
    // pair of a merged cluster again from its centroid: their merge loop
    // against the same engine's under the other linkages (1 for those).
    double centroid_scale = 1;
    // When the join was timed on a sample: wall seconds on the run's
    // threads per examined candidate and, beside its insertion, per found
    // pair; they replace join_test and the found pairs' distances.
    bool join_measured = false;
    double join_examined = 0;
    double join_found = 0;
    // When measured on scratch stores of the run's objects: the store's
    // insertion and the merge loop per pair by the store's size, in
    // processor seconds (slowdown not included); they replace insert and
    // cluster_pair.
    StoreCosts store;
};

// Predicted seconds of the phases that follow the plan.
struct PhaseSeconds {
    double epsilon = 0;     // the epsilon sample
    double join = 0;        // the similarity heuristics (or every pair, -a)
    double random = 0;      // the random pairs
    double clustering = 0;  // the store's set-up and the merge loop
    double output = 0;      // the leaf order and the output file
    double total() const { return epsilon + join + random + clustering + output; }
};

// The run's plan: the count and what it is predicted to cost.
struct Plan {
    int64_t count = 0;              // distances to compute
    double epsilon_cap = std::numeric_limits<double>::infinity();  // the join's largest epsilon
    PhaseSeconds seconds;
    double join_tests = 0;          // candidate pairs the join is predicted to examine
    double budget = 0;              // the time budget in seconds; 0 when the count is given
    double spent = 0;               // seconds of the run before the plan
    double over = 0;                // seconds by which the minimum count overruns the budget
    bool all_pairs = false;         // every pair is computed (no join, no random pairs)
    // A time-budget run re-plans once its join and a first share of its
    // random pairs are done (replan_count): the store is made for up to
    // `capacity` pairs so that the count may then grow, never below `least`
    // (20 per object, at most every pair).  `clock` is the steady clock's
    // seconds when `spent` was read; `unit` the costs the plan was made with.
    int64_t capacity = 0;
    int64_t least = 0;
    double clock = 0;
    UnitCosts unit;
};

// Sorted pivot lower bounds of random pairs: the epsilon that a count gets
// and the share of all pairs it lets through.
class BoundSample {
  public:
    BoundSample() = default;
    explicit BoundSample(std::vector<double> bounds);
    // Epsilon for `count` distances of which the share `prop` is heuristic,
    // as estimated from a sample of `sample_size` pairs over n objects: the
    // same quantile of the bounds that the epsilon estimate takes.
    double epsilon(int64_t count, double prop, int sample_size, int n) const;
    // The share of pairs whose bound is at most eps.
    double share_within(double eps) const;
    size_t size() const { return sorted_.size(); }

  private:
    std::vector<double> sorted_;
};

// A subsample of the objects' pivot distances on which the join's block
// recursion is replayed, to predict how many candidate pairs the join of all
// objects examines at a given epsilon.
class JoinSample {
  public:
    // rows: `objects` rows of `pivots` distances each (object-major); the
    // sample stands for `population` objects that the join splits into
    // blocks of at most `split_threshold` positions.
    JoinSample(std::vector<double> rows, int objects, int pivots, int64_t population, int split_threshold);
    // Predicted candidate pairs of the whole population examined at eps.
    double examined(double eps);
    // The same for the sample itself (no scaling).
    int64_t examined_in_sample(double eps);
    // Seconds the packed cell test takes per examined pair, timed on the
    // sample's own candidates at eps; 0 when it has none.
    double seconds_per_test(double eps);
    // Pivot lower bounds of `pairs` random pairs of the sample (a private
    // generator, so that the run's random sequence is untouched).
    std::vector<double> sample_bounds(int pairs, uint64_t seed) const;
    // Sample objects that take part, numbered 0..objects()-1.
    int objects() const { return n_; }
    // The sample objects in the join's grid order at eps (in their own order
    // when eps gives no grid).
    std::vector<int> grid_order(double eps);
    // The pivot lower bound of the distance of sample objects a and b.
    double bound(int a, int b) const;
    // Entry k: the row given to the constructor that sample object k is.
    const std::vector<int> &kept() const { return kept_; }
    // Entry k*pivots()+p: distance of sample object k to pivot p.
    const std::vector<double> &rows() const { return rows_; }
    int pivots() const { return P_; }

  private:
    void cells(double eps);
    void recurse(int start1, int end1, int start2, int end2, int d);

    std::vector<double> rows_;      // entry k*P+p: distance of sample object k to pivot p
    std::vector<int> kept_;         // entry k: the given row of sample object k
    int n_ = 0;                     // sample objects that take part (finite rows)
    int P_ = 0;
    double scale_ = 0;              // population pairs per sample pair
    int split_ = 1;                 // the split threshold scaled to the sample
    std::vector<int> cell_;         // entry k*P+p: grid cell of sample object k along pivot p
    std::vector<int> order_;        // sample objects in grid order
    int64_t examined_ = 0;          // pairs reaching the leaves of the last replay
    std::vector<std::pair<int, int>> leaves_;  // leaf blocks of the last replay (sample positions)
    std::vector<std::pair<int, int>> leaves2_;
};

// Memory costs of this machine, timed once: one dependent load from far
// memory, and one byte of fresh memory allocated and first touched.
struct MemoryCosts {
    double miss = 0;
    double fresh_byte = 0;
};
MemoryCosts measure_memory();

// Calibration on the run itself is the Run's (measure_unit_costs,
// join_sample, time_sample_join, measure_store_costs; see run.h).

// What Run::time_sample_join measured.
struct JoinTiming {
    double with_distances = 0;
    double without = 0;
    double examined = 0;
    double found = 0;
};
// The join's costs from such a timing of `objects` sample objects; left as
// they are when the sample join did too little to time.
void set_join_costs(UnitCosts &unit, const JoinTiming &timing, int objects);

// The unit costs as they are when the run gets `slowdown` wall seconds per
// processor second (at least 1) instead of what they were measured at.
void set_slowdown(UnitCosts &unit, double slowdown);

// The model that turns unit costs into seconds.  Every phase is linear in
// its work; `found` is the number of pairs the join stores.

PhaseSeconds predict(const UnitCosts &unit, int64_t count, double found, double join_tests, int n,
                     double bounds, bool heuristics, bool randoms);
// The phases of a run that fills the store with every pair of n objects at
// once (on the threads, no draws); the fill is in `join`.
PhaseSeconds predict_all_pairs(const UnitCosts &unit, int n);
// Expected draws of uniform pairs, out of `all`, until `added` pairs join the
// `stored` ones: each draw of a pair held already is drawn again, so the last
// pairs short of all cost all / (all - held) draws each.
double expected_draws(double all, double stored, double added);

// The plan of a run with a time budget: every pair, filled at once, when the
// store can hold them all (`most` is all pairs of n) and that run fits in
// `budget` - `spent`; else the largest count in [least, most] whose
// predicted total fits; when even `least` does not fit, the heuristics'
// epsilon is held lower (see below) and the plan records by how much the
// minimum overruns (unless `cut_join` is false: the join stays whole).
// `epsilon_of(count)` and
// `join_of(eps)` give the epsilon of a count and the join's (examined,
// found) pairs at an epsilon.
template <class EpsilonOf, class JoinOf>
Plan plan_time_budget(const UnitCosts &unit, double budget, double spent, int64_t least, int64_t most, int n,
                      double bounds, bool heuristics, bool randoms, bool cut_join, EpsilonOf epsilon_of,
                      JoinOf join_of);

// The merge loop's seconds for a store of `pairs` pairs, bounded below so
// that no input makes it run longer than foreseen: the scratch stores and
// the cache model price pairs whose distances and order are not the run's,
// and the merge loop's far loads per pair vary with the data (how clusters
// grow, how many pairs each merge re-keys).  The bound is far loads per
// pair, growing with the store's doublings, at the worst the inputs of
// bench/scale.py's family showed.
double clustering_seconds(const UnitCosts &unit, double pairs);

// The rest of a time-budget run once `stored` pairs are in the store: the
// random pairs up to `count` at `per_random` wall seconds each (as the run
// measured them; pairs passed over near all pairs cost a draw each beside),
// the clustering (clustering_seconds) and the output.
PhaseSeconds predict_rest(const UnitCosts &unit, double per_random, int64_t stored, int64_t count, int n);

// The count of a run re-planned with `left` seconds of its budget left and
// `stored` pairs stored: the largest count in [floor, most] whose rest
// (`rest(count)`, seconds, growing with the count) fits in `left`, where
// the floor is the larger of `least` and `stored` (stored pairs stay); the
// floor itself when nothing above it fits.  Never above `most` unless the
// pairs stored are more.
template <class Rest>
int64_t replan_count(double left, int64_t stored, int64_t least, int64_t most, Rest rest);

// "  Plan for the rest: random pairs 2.0 s, clustering 17.9 s, output 1.0 s (21000000 distances)"
std::string replan_line(const PhaseSeconds &rest, int64_t count);

// "Plan: join 21.0 s, random pairs 3.1 s, clustering 18.2 s, output 1.0 s (time budget 60 s)"
std::string plan_line(const Plan &plan);
// The warning that the minimum of 20 distances per object alone overruns the
// budget, with by how much; empty when it fits.
std::string shortfall_line(const Plan &plan);

// ---------------------------------------------------------------------------

template <class EpsilonOf, class JoinOf>
Plan plan_time_budget(const UnitCosts &unit, double budget, double spent, int64_t least, int64_t most, int n,
                      double bounds, bool heuristics, bool randoms, bool cut_join, EpsilonOf epsilon_of,
                      JoinOf join_of)
{
    Plan plan;
    plan.budget = budget;
    plan.spent = spent;
    double room = budget - spent;
    // Every pair is all a count can reach, in less time than any count near
    // it takes: no join, no draws repeating stored pairs, and no pair entered
    // one by one.
    int64_t all = n >= 2 ? (int64_t)n * (n - 1) / 2 : 0;
    if (all > 0 && most >= all) {
        Plan every = plan;
        every.all_pairs = true;
        every.count = all;
        every.seconds = predict_all_pairs(unit, n);
        if (every.seconds.total() <= room)
            return every;
    }
    auto at = [&](int64_t count, double cap, Plan &p) {
        double eps = heuristics ? std::min(epsilon_of(count), cap) : 0;
        double tests = 0, found = 0;
        if (heuristics)
            join_of(eps, tests, found);
        p.count = count;
        p.join_tests = tests;
        p.seconds = predict(unit, count, found, tests, n, bounds, heuristics, randoms);
        return p.seconds.total();
    };
    if (most < least)
        most = least;
    if (at(least, plan.epsilon_cap, plan) > room) {
        // The minimum overruns.  The heuristics are cut back by a lower
        // epsilon: to the largest that lets the minimum fit, or, when even
        // none would, to the one whose run is predicted shortest (a pair
        // the join finds may cost less to store and merge than the random
        // pair it stands for, so a smaller join is not always a shorter run).
        if (heuristics && cut_join) {
            Plan p = plan;
            p.epsilon_cap = 0;
            bool fits = at(least, 0, p) <= room;
            double top = epsilon_of(least);
            if (fits) {
                double lo = 0, hi = top;
                Plan fit = p;
                for (int step = 0; step < 20; step++) {
                    double mid = 0.5 * (lo + hi);
                    p.epsilon_cap = mid;
                    at(least, mid, p);
                    if (p.seconds.total() <= room) {
                        fit = p;
                        lo = mid;
                    } else {
                        hi = mid;
                    }
                }
                if (!(fit.epsilon_cap > 0))
                    fit.epsilon_cap = hi;
                plan = fit;
            } else if (top > 0) {
                // Caps from the uncapped epsilon down to a millionth of it,
                // the largest first, so that a tie keeps the larger join.
                Plan best = plan;
                for (int step = 1; step <= 40; step++) {
                    double cap = top * (step <= 20 ? 1.0 - 0.05 * step : std::ldexp(1.0, -(step - 19)));
                    if (!(cap > 0))
                        continue;
                    p.epsilon_cap = cap;
                    if (at(least, cap, p) < best.seconds.total())
                        best = p;
                }
                plan = best;
            }
        }
        plan.over = std::max(0.0, plan.seconds.total() - room);
        return plan;
    }
    // The total grows with the count: the largest count that fits, by bisection.
    int64_t lo = least, hi = most;
    Plan fit = plan;
    Plan p = plan;
    if (at(most, plan.epsilon_cap, p) <= room)
        return p;
    while (hi - lo > std::max<int64_t>(1, lo / 200)) {
        int64_t mid = lo + (hi - lo) / 2;
        if (at(mid, plan.epsilon_cap, p) <= room) {
            fit = p;
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return fit;
}

template <class Rest>
int64_t replan_count(double left, int64_t stored, int64_t least, int64_t most, Rest rest)
{
    int64_t floor = std::max(least, stored);
    if (most <= floor || !(rest(floor) <= left))
        return floor;
    if (rest(most) <= left)
        return most;
    // rest(lo) fits, rest(hi) does not; the count to within 0.1 %.
    int64_t lo = floor, hi = most;
    while (hi - lo > std::max<int64_t>(1, lo / 1000)) {
        int64_t mid = lo + (hi - lo) / 2;
        if (rest(mid) <= left)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

#endif
