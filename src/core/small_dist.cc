// Which distances are computed before clustering.
//
//   random_dist, all_dist, input_dist  the plain pair sources: random pairs up
//                                      to the run's count, every pair, or the
//                                      distances given in the input file.
//   choose_pivots, delete_pivots       reference objects and every object's
//                                      distance to them; by the triangle
//                                      inequality the largest difference of two
//                                      objects' pivot distances bounds their
//                                      distance from below.
//   estimate_epsilon                   the threshold on those lower bounds that
//                                      about the wanted share of pairs passes,
//                                      from a random sample of pairs.
//   small_dists_work, JoinWalk, ...    the epsilon-grid-order self-join of
//                                      Boehm, Braunmueller, Krebs and Kriegel
//                                      ("Epsilon grid order", SIGMOD 2001) over
//                                      the pivot-distance vectors: it stores
//                                      every pair whose lower bound is at most
//                                      epsilon without looking at all pairs.
//                                      Within a leaf block pair a sort on one
//                                      pivot cuts each row's candidates to a
//                                      window (a sort-based band join).
//
// Every pair enters the store through getdist, on the main thread and in the
// order one thread would find it; the distances are computed on the worker
// threads (pair_stream, and the join's batches).  All pairs into an empty
// store are the exception: the threads fill it at once (store_fill.cc) into
// the state those getdist calls would leave.  Pivot distances come from
// calc_distance and are never stored.  The run's generator (run_random) is
// the only source of chance, and only the main thread draws from it.
#include "small_dist.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <brivane/sink.hpp>

#include "compact.h"
#include "element.h"
#include "heap_sort.h"
#include "pair_stream.h"
#include "run.h"
#include "threads.h"

// A block pair of the join at the leaf level, or a slice of its block-1 rows:
// positions start1...end1 and start2...end2 of the order; the pivots before
// d hold both blocks in one and the same cell.
struct JoinTask {
    int start1, end1, start2, end2, d;
};
// What one task found: the pairs that passed both tests, in the order of a
// plain scan, with their distances; and its counts.
struct JoinFound {
    struct Pair {
        int i, j;
        double value;
    };
    std::vector<Pair> pairs;
    int64_t packed_rejected = 0;   // pairs rejected without the exact test
    int64_t exact_rejected = 0;    // pairs rejected by the exact test
    int64_t examined = 0;          // pairs of the task
};
// The join's batches.  A task (a leaf block pair, or a slice of one) holds
// at most SLICE_PAIRS pairs unless block 2 alone is wider; a batch gathers
// tasks up to BATCH_PAIRS_PER_THREAD pairs per thread or BATCH_TASKS tasks,
// fewer when the pass rate so far lets it find more than about BATCH_FOUND
// pairs per thread, so that the pairs it holds stay small beside the store.
static const int64_t SLICE_PAIRS = 1 << 20;
static const int64_t BATCH_PAIRS_PER_THREAD = 1 << 25;
static const double BATCH_FOUND = 1 << 20;
static const int64_t BATCH_TASKS = 4096;
// Block 2 is sorted for windows only from this many positions on; below, the
// sort costs about what it saves.
static const int WINDOW_MIN_BLOCK = 64;

static const char *const MSG_EPSILON_NOT_POSITIVE =
    "WARNING! Epsilon is 0 or below (all sampled pivot bounds are 0), so the "
    "grid has no cells: skipping the similarity heuristics; random pairs take their place.";
static const char *const MSG_EPSILON_NOT_FINITE =
    "WARNING! Epsilon is not a finite number (pivot distances are NaN or "
    "infinite), so the grid has no cells: skipping the similarity heuristics; "
    "random pairs take their place.";
static const char *const MSG_EPSILON_TOO_SMALL =
    "WARNING! Epsilon is too small to divide the pivot distances into grid "
    "cells: skipping the similarity heuristics; random pairs take their place.";

static const char *const MSG_UNFIT_PIVOTS =
    " objects with a NaN or infinite value were passed over as pivots";

// More pivots than objects must repeat an object, and a repeated pivot adds
// no bound the first one lacks; the cap keeps the pivot tables within N*N
// entries whatever count was asked for.
int Run::num_pivots() const
{
    return std::min(settings.num_pivots, object_count);
}

// ---------------------------------------------------------------------------
// Random, exhaustive and given pairs

// How many pairs ahead of the one entered the store entries are fetched.
static const int PAIR_AHEAD = 8;

// Enters a batch of computed pairs into the store in order.
void Run::enter_pairs(const std::vector<PairSlot> &batch)
{
    for (size_t k = 0; k < batch.size(); k++) {
        if (k + PAIR_AHEAD < batch.size())
            prefetch_entry(batch[k + PAIR_AHEAD].i, batch[k + PAIR_AHEAD].j);
        getdist(batch[k].i, batch[k].j, batch[k].value);
    }
    progress_batch(n_dist / 2);
}

// Below this many missing pairs the random pass draws one pair at a time
// instead of streaming batches of draws.
static const int64_t STREAM_MIN_DRAWS = 4096;

// The distance getdist(i, j, ...) would compute.
double Run::pair_value(int i, int j)
{
    return calc_distance(i, j);
}

// Clears `compute` for the self pairs of a batch and those the store holds
// already.  A pair of the batch still waiting to be entered may be computed
// in vain; getdist keeps the first value.
void Run::screen_known(std::vector<PairSlot> &batch)
{
    for (size_t k = 0; k < batch.size(); k++) {
        if (k + PAIR_AHEAD < batch.size())
            prefetch_entry(batch[k + PAIR_AHEAD].i, batch[k + PAIR_AHEAD].j);
        PairSlot &s = batch[k];
        if (s.i == s.j || stored(s.i, s.j)) {
            s.compute = false;
            s.value = NO_DISTANCE;
        }
    }
}

// One bit per pair of distinct objects: set once a draw of the pair can no
// longer change the store (stored, known to have no distance, or dropped by
// a full store, which stays full).  Near a full set of pairs most draws hit
// such pairs, and this bit is a cache hit where the store's lookup walks a
// hash chain through far memory.  A draw whose bit is set is passed over:
// getdist would only have returned what it holds, so the pairs entered, their
// order and the draws taken from the generator are those of the store lookup.
class DrawnPairs {
  public:
    // Marks the pairs the store holds now.
    explicit DrawnPairs(const Run &run) : n_(run.object_count), bits_((all_pairs(run.object_count) + 63) / 64, 0)
    {
        if (run.pair_table) {
            for (int64_t p = 0; p < run.pair_table->count(); p++)
                mark(run.pair_table->pair(static_cast<pair_id>(p)).a, run.pair_table->pair(static_cast<pair_id>(p)).b);
        } else {
            for (int64_t r = 0; r < run.n_dist; r += 2)
                mark(run.dist[r].x, run.dist[r].y);
        }
    }
    // Sets the pair's bit; true when it was clear.
    bool mark(int i, int j)
    {
        int64_t k = index(i, j);
        uint64_t bit = uint64_t(1) << (k & 63);
        uint64_t &word = bits_[k >> 6];
        bool fresh = !(word & bit);
        word |= bit;
        return fresh;
    }

  private:
    int n_;
    std::vector<uint64_t> bits_;

    // Rank of the pair {i, j}, i != j, in the upper triangle row by row.
    int64_t index(int i, int j) const
    {
        if (i > j)
            std::swap(i, j);
        return (int64_t)i * (2 * (int64_t)n_ - i - 1) / 2 + (j - i - 1);
    }
};

// The bits cost all pairs / 8 bytes: worth it, and small beside the store
// (at most 8 bytes per pair of the target against its 250), from a target of
// this share of all pairs on.  Below it, draws seldom repeat a pair.
static const int64_t DRAWN_PAIRS_SHARE = 64;

void Run::random_dist()
{
    abstract_time++;
    // The target never exceeds the number of distinct pairs, nor what the
    // store can hold: a target out of reach would make the loop endless.
    int64_t all = all_pairs(object_count);
    int64_t target = std::min<int64_t>(num_distances, all);
    std::unique_ptr<DrawnPairs> drawn;
    if (object_count >= 2 && target * DRAWN_PAIRS_SHARE >= all && n_dist / 2 < target)
        drawn.reset(new DrawnPairs(*this));
    // A pair that only passes the screen (a self pair, a pair stored or
    // drawn before) is drawn past; with the bits, a pair of the batch is new.
    auto fresh = [&](int i, int j) { return !drawn || (i != j && drawn->mark(i, j)); };
    auto screen = [&](std::vector<PairSlot> &batch) {
        if (!drawn)
            screen_known(batch);
    };
    auto value = [this](int i, int j) { return pair_value(i, j); };
    auto enter = [this](const std::vector<PairSlot> &batch) { enter_pairs(batch); };
    // Pairs without distance are never stored, so once every other pair is
    // there the target is out of reach.
    while (n_dist / 2 < target && n_dist / 2 + pairs_without_distance() < all && n_dist + 2 <= dist_size) {
        int64_t missing = target - n_dist / 2;
        if (missing >= object_count) {
            // Bulk pass: at most `missing` new pairs, since self pairs and
            // pairs already stored add nothing.  Step s pairs object s / per
            // with the s-th draw; the draws do not depend on the store, so
            // the whole pass streams.
            int64_t per = missing / object_count;
            int64_t steps = per * object_count;
            int64_t s = 0;
            pair_stream(num_threads,
                [&](PairSlot &slot) {
                    for (;;) {
                        if (s == steps)
                            return false;
                        slot.i = (int)(s / per);
                        slot.j = run_random.next() % object_count;
                        s++;
                        if (fresh(slot.i, slot.j))
                            return true;
                    }
                },
                screen, value, enter);
        } else if (missing < STREAM_MIN_DRAWS) {
            // The last few pairs, drawn one at a time: near a full set of
            // pairs most draws are pairs already stored.
            int i, j;
            do {
                i = run_random.next() % object_count;
                j = run_random.next() % (object_count - 1);
                if (i > j)
                    std::swap(i, j);
                else
                    j++;
            } while (!fresh(i, j));
            getdist(i, j, NO_DISTANCE);
        } else {
            // Uniform pairs of distinct objects, smaller index first.  Each
            // adds one pair at most, so the loop above is sure to draw this
            // many more before it looks at the store again: they stream.
            int64_t draws = std::min<int64_t>(missing, (dist_size - n_dist) / 2);
            pair_stream(num_threads,
                [&](PairSlot &slot) {
                    for (;;) {
                        if (draws == 0)
                            return false;
                        draws--;
                        int a = run_random.next() % object_count;
                        int b = run_random.next() % (object_count - 1);
                        slot.i = a > b ? b : a;
                        slot.j = a > b ? a : b + 1;
                        if (fresh(slot.i, slot.j))
                            return true;
                    }
                },
                screen, value, enter);
        }
    }
}

void Run::all_dist()
{
    abstract_time++;
    if (fill_all_pairs_applies()) {
        fill_all_pairs();
        return;
    }
    auto value = [this](int i, int j) { return pair_value(i, j); };
    auto enter = [this](const std::vector<PairSlot> &batch) { enter_pairs(batch); };
    int i = 0, j = 0;
    pair_stream(num_threads,
        [&](PairSlot &slot) {
            if (++j >= object_count) {
                i++;
                j = i + 1;
            }
            if (j >= object_count)
                return false;
            slot.i = i;
            slot.j = j;
            return true;
        },
        value, enter);
}

// Value k of the given distances, as a double, by the input's element type.
double Run::given_value(int64_t k)
{
    switch (type) {
    case 2: return data_char[k];
    case 4: return data_int[k];
    case 5: return data_float[k];
    case 6: return data_double[k];
    default: return std::numeric_limits<double>::quiet_NaN();
    }
}

// Offers a given value to the store; NaN and infinite values are left out.
void Run::offer_given(int i, int j, double value)
{
    if (std::isfinite(value))
        getdist_given(i, j, value);
}

void Run::input_dist()
{
    if (settings.cluster == CLUSTER_DISTMAT) {
        // Only the upper triangle counts; the diagonal and lower triangle
        // are never read.
        for (int i = 0; i < object_count - 1; i++) {
            poll();
            for (int j = i + 1; j < object_count; j++)
                offer_given(i, j, given_value((int64_t)i * object_count + j));
        }
    } else {
        // The first usable entry of a pair wins (the store keeps it).
        for (int k = 0; k < list_entries; k++) {
            poll();
            offer_given(distfrom[k], distto[k], given_value(k));
        }
    }
}

// ---------------------------------------------------------------------------
// Pivot selection

int pivot_dists_compare(const void *a, const void *b, void *row)
{
    const double *dists = static_cast<const double *>(row);
    double da = dists[*(const int *)a];
    double db = dists[*(const int *)b];
    // NaN sorts after every number, so that the order stays a valid one.
    if (std::isnan(da) || std::isnan(db))
        return (int)std::isnan(da) - (int)std::isnan(db);
    return da < db ? -1 : (da > db ? 1 : 0);
}

int64_t quantile_target_rank(int n, double q)
{
    // Beyond 2n+2 (or for a NaN quantile) every score exceeds n+1, so a
    // clamped target chooses and prints exactly what the far one would.
    double t = (double)n * q;
    double limit = 2.0 * n + 2.0;
    if (std::isnan(t) || t > limit)
        return (int64_t)limit;
    if (t < -limit)
        return -(int64_t)limit;
    return std::lround(t);
}

// Objects per piece of work of the pivot tables' parallel loops.
static const int64_t PIVOT_CHUNK = 512;

template <class T> void Run::mark_unfit(const T *x, std::vector<char> &unfit, int &passed)
{
    for (int o = 0; o < object_count; o++)
        for (int64_t e = (int64_t)o * row_length; e < (int64_t)(o + 1) * row_length; e++)
            if (!std::isfinite(x[e])) {
                unfit[o] = 1;
                passed++;
                break;
            }
}

std::vector<char> Run::unfit_pivots(int &passed)
{
    std::vector<char> unfit(object_count, 0);
    passed = 0;
    if (type == 5)
        mark_unfit(data_float, unfit, passed);
    else if (type == 6)
        mark_unfit(data_double, unfit, passed);
    if (passed == object_count) {
        std::fill(unfit.begin(), unfit.end(), 0);
        passed = 0;
    }
    return unfit;
}

// A random object that may be a pivot; an unfit draw (a non-finite element,
// or too few values to have distances when missing values are skipped) is
// drawn again, so that an input without unfit objects sees exactly one draw
// per pivot.
int Run::draw_pivot(Random &random, const std::vector<char> &unfit)
{
    int o;
    do
        o = random.next() % object_count;
    while (unfit[o] || !pivot_candidate(o));
    return o;
}

void Run::choose_random_pivots(Random &random, int P, const std::vector<char> &unfit)
{
    for (int i = 0; i < P; i++) {
        pivots[i] = draw_pivot(random, unfit);
        run_sink->text("  pivot " + std::to_string(i + 1) + " - " + std::to_string(pivots[i] + 1) + " (randomly)\n");
    }
    parallel_for(num_threads, 0, object_count, PIVOT_CHUNK, [this, P](int64_t o) {
        if (on_main_thread())
            poll();
        for (int p = 0; p < P; p++)
            pivot_dists[at(p, (int)o)] = calc_distance((int)o, pivots[p]);
    });
}

// Each new pivot is the object whose rank, as seen from every pivot chosen so
// far, lies closest to the q-quantile, in the worst case over those pivots.
void Run::choose_quantile_pivots(Random &random, int P, const std::vector<char> &unfit)
{
    // Rows 0..P-1: the rank of every object by its distance to pivot p.
    // Row P: scratch permutation of the objects for sorting.
    std::vector<int> order_space((size_t)(P + 1) * (size_t)object_count);
    int *pivot_dists_order = order_space.data();
    int *scratch = pivot_dists_order + at(P, 0);
    int64_t target = quantile_target_rank(object_count, settings.pivot_quantile);

    pivots[0] = draw_pivot(random, unfit);
    run_sink->text("  pivot 1 - " + std::to_string(pivots[0] + 1) + " (randomly)\n");
    for (int k = 1;; k++) {
        int newest = pivots[k - 1];
        parallel_for(num_threads, 0, object_count, PIVOT_CHUNK, [this, k, newest, scratch](int64_t o) {
            if (on_main_thread())
                poll();
            pivot_dists[at(k - 1, (int)o)] = o == newest ? 0.0 : calc_distance((int)o, newest);
            scratch[o] = (int)o;
        });
        if (k == P)
            break;
        qsort_r(scratch, object_count, sizeof(int), pivot_dists_compare, pivot_dists + at(k - 1, 0));
        for (int r = 0; r < object_count; r++)
            pivot_dists_order[at(k - 1, scratch[r])] = r;

        // Far targets leave every score above N + 1: the first fit object wins.
        int best = (int)(std::find(unfit.begin(), unfit.end(), 0) - unfit.begin());
        int64_t bestscore = (int64_t)object_count + 1;
        for (int i = 0; i < object_count; i++) {
            if (unfit[i])
                continue;
            int64_t score = 0;
            for (int p = 0; p < k; p++)
                score = std::max<int64_t>(score, std::llabs(pivot_dists_order[at(p, i)] - target));
            if (score < bestscore) {
                best = i;
                bestscore = score;
            }
        }
        run_sink->text("  pivot " + std::to_string(k + 1) + " - " + std::to_string(best + 1) + " (score " +
                       std::to_string(bestscore) + ")\n");
        pivots[k] = best;
    }
}

void Run::choose_pivots()
{
    delete_pivots();
    int P = num_pivots();
    pivots = new int[P];
    pivot_dists = new double[(size_t)P * (size_t)object_count];
    // A pivot with a NaN or infinite element may be at distance NaN from
    // every object, and one such pivot makes every lower bound NaN.
    int passed;
    std::vector<char> unfit = unfit_pivots(passed);
    if (settings.pivot_strategy == PIVOT_QUANTILE)
        choose_quantile_pivots(run_random, P, unfit);
    else
        choose_random_pivots(run_random, P, unfit);
    if (passed > 0)
        run_sink->text("  " + std::to_string(passed) + MSG_UNFIT_PIVOTS + "\n");
}

void Run::delete_pivots()
{
    delete[] pivots;
    delete[] pivot_dists;
    pivots = nullptr;
    pivot_dists = nullptr;
}

// ---------------------------------------------------------------------------
// Epsilon estimation

double Run::pivot_lower_bound(int a, int b)
{
    int P = num_pivots();
    double bound = 0;
    for (int p = 0; p < P; p++) {
        double diff = std::fabs(pivot_dists[at(p, a)] - pivot_dists[at(p, b)]);
        if (diff > bound)   // a NaN difference never raises the bound
            bound = diff;
    }
    return bound;
}

int Run::threshold_location(int sample_size)
{
    // In double: N*(N-1) leaves the int range above 46,341 objects.
    double wanted = (double)num_distances * settings.prop_similar * sample_size
                    / ((double)object_count * (object_count - 1) * 0.5);
    if (!(wanted >= 1))   // also a NaN proportion
        return 1;
    if (wanted >= std::numeric_limits<int>::max() - 2)
        return std::numeric_limits<int>::max() - 2;
    return (int)wanted;
}

double Run::estimate_epsilon()
{
    // Without --sample-size as many pairs as objects are sampled.
    int sample_size = settings.sample_size > 0 ? settings.sample_size : object_count;
    int threshold_loc = threshold_location(sample_size);
    run_sink->text("\nthreshold_loc=" + std::to_string(threshold_loc) + "  sample_size=" + std::to_string(sample_size) +
                   "\n");

    // The heap keeps the threshold_loc smallest bounds, negated, so that its
    // top is the largest of them.  It never holds more than one element
    // beyond that bound, nor more than the sample.
    int bound = std::min(threshold_loc, sample_size);
    std::vector<heap_elem> heap_space((size_t)bound + 2);
    heap_elem *dist_heap = heap_space.data();
    int dist_heap_size = 0;
    double heap_top = 0;
    for (int s = 0; s < sample_size; s++) {
        poll();
        int a, b;
        do {
            a = run_random.next() % object_count;
            b = run_random.next() % object_count;
        } while (a == b);
        heap_add(dist_heap, dist_heap_size, -pivot_lower_bound(a, b), 0, 0);
        double key;
        int x, y;
        if (dist_heap_size > threshold_loc)
            heap_min(dist_heap, dist_heap_size, key, x, y);
        heap_look_min(dist_heap, dist_heap_size, key, x, y);
        heap_top = -key;
    }
    return 1.000001 * heap_top;
}

// ---------------------------------------------------------------------------
// Epsilon-grid-order join

int grid_cell(double v, double width)
{
    double q = std::floor(v / width);
    if (!(q > -CELL_LIMIT))
        return -CELL_LIMIT;
    if (q > CELL_LIMIT)
        return CELL_LIMIT;
    return (int)q;
}

int fine_cell_bits(double v, double width)
{
    // Clamping keeps the conversion defined and is monotone, so two values
    // within eps still land at most 3 fine cells apart.
    const double limit = 4611686018427387904.0;   // 2^62
    double q = std::floor(v / width);
    int64_t cell = !(q > -limit) ? -(int64_t)limit : (q > limit ? (int64_t)limit : (int64_t)q);
    return (int)(cell & 31);
}

void packed_masks(int fields, int64_t &mask31, int64_t &mask24)
{
    mask31 = 0;
    mask24 = 0;
    for (int f = 0; f < fields; f++) {
        mask31 = (mask31 << 6) | 31;
        mask24 = (mask24 << 6) | 24;
    }
}

void Run::pack_fine_cells(double eps, int o, int64_t &packed, int64_t &packed_inc)
{
    pack_fine_cells_from(eps, o, 0, packed, packed_inc);
}

void Run::pack_fine_cells_from(double eps, int o, int first, int64_t &packed, int64_t &packed_inc)
{
    int fields = std::max(0, std::min(num_pivots() - first, PACKED_PIVOTS));
    double width = eps / 3.0;
    packed = 0;
    packed_inc = 0;
    for (int p = first; p < first + fields; p++) {
        int64_t v = fine_cell_bits(pivot_dists[at(p, o)], width);
        packed = (packed << 6) | v;
        packed_inc = (packed_inc << 6) | ((v + 3) | 32);
    }
}

// Zero exactly when the packed cells are close; without branches, so that
// the join can test several pairs at once.
static inline int64_t packed_cells_far(int64_t packed_inc_i, int64_t packed_j, int64_t mask31,
                                       int64_t mask24)
{
    // Fields of packed_inc are at least 32 and those of packed at most 31, so
    // the subtraction never borrows across fields; each field's low 5 bits
    // are then (v_i - v_j + 3) mod 32, which must lie in 0..6: the bits of
    // mask24 flag 8 or more, the three low bits all set flag 7.
    int64_t y = (packed_inc_i - packed_j) & mask31;
    return (y & mask24) | ((y << 1) & y & (y << 2));
}

bool packed_cells_close(int64_t packed_inc_i, int64_t packed_j, int64_t mask31, int64_t mask24)
{
    return packed_cells_far(packed_inc_i, packed_j, mask31, mask24) == 0;
}

// The join's scan: nearly all pairs fail, so it tests several words at a
// time and looks closer only at a group with a pass.  Its bit operations
// are the same in every lane width, so every width finds the same k.
static int next_packed_close_plain(const int64_t *packed, int64_t inc, int from, int to, int64_t mask31,
                                   int64_t mask24)
{
    int k = from;
    for (; k + 3 <= to; k += 4) {
        const int64_t *o = packed + k;
        // Bitwise on ints, not bools: all four are tested without branches.
        int pass = int(packed_cells_far(inc, o[0], mask31, mask24) == 0) |
                   int(packed_cells_far(inc, o[1], mask31, mask24) == 0) |
                   int(packed_cells_far(inc, o[2], mask31, mask24) == 0) |
                   int(packed_cells_far(inc, o[3], mask31, mask24) == 0);
        if (pass)
            break;
    }
    while (k <= to && packed_cells_far(inc, packed[k], mask31, mask24) != 0)
        k++;
    return k;
}

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PACKED_SCAN_WIDE 1

// packed_cells_far of eight words, as a mask of the lanes (of `lanes`) that
// are close.
__attribute__((target("avx512f"), always_inline)) static inline __mmask8 close8(__mmask8 lanes, __m512i words,
                                                                                __m512i vinc, __m512i m31,
                                                                                __m512i m24)
{
    // The zero-masked shifts: GCC 12's plain ones warn of an undefined start.
    __m512i y = _mm512_and_si512(_mm512_sub_epi64(vinc, words), m31);
    __m512i far = _mm512_or_si512(_mm512_and_si512(y, m24),
                                  _mm512_and_si512(_mm512_and_si512(_mm512_maskz_slli_epi64(0xff, y, 1), y),
                                                   _mm512_maskz_slli_epi64(0xff, y, 2)));
    return _mm512_mask_testn_epi64_mask(lanes, far, far);
}

__attribute__((target("avx512f"))) static int next_packed_close_avx512(const int64_t *packed, int64_t inc, int from,
                                                                       int to, int64_t mask31, int64_t mask24)
{
    const __m512i vinc = _mm512_set1_epi64(inc), m31 = _mm512_set1_epi64(mask31), m24 = _mm512_set1_epi64(mask24);
    int k = from;
    for (; k + 7 <= to; k += 8) {
        __mmask8 c = close8(0xff, _mm512_loadu_si512(packed + k), vinc, m31, m24);
        if (c)
            return k + __builtin_ctz(c);
    }
    if (k <= to) {
        // The lanes past `to` are neither read nor counted.
        __mmask8 lanes = (__mmask8)((1u << (to - k + 1)) - 1);
        __mmask8 c = close8(lanes, _mm512_maskz_loadu_epi64(lanes, packed + k), vinc, m31, m24);
        if (c)
            return k + __builtin_ctz(c);
    }
    return to + 1;
}

__attribute__((target("avx2"))) static int next_packed_close_avx2(const int64_t *packed, int64_t inc, int from,
                                                                   int to, int64_t mask31, int64_t mask24)
{
    const __m256i vinc = _mm256_set1_epi64x(inc), m31 = _mm256_set1_epi64x(mask31),
                  m24 = _mm256_set1_epi64x(mask24), zero = _mm256_setzero_si256();
    int k = from;
    for (; k + 3 <= to; k += 4) {
        __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(packed + k));
        __m256i y = _mm256_and_si256(_mm256_sub_epi64(vinc, words), m31);
        __m256i far = _mm256_or_si256(_mm256_and_si256(y, m24),
                                      _mm256_and_si256(_mm256_and_si256(_mm256_slli_epi64(y, 1), y),
                                                       _mm256_slli_epi64(y, 2)));
        int c = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(far, zero)));
        if (c)
            return k + __builtin_ctz(c);
    }
    while (k <= to && packed_cells_far(inc, packed[k], mask31, mask24) != 0)
        k++;
    return k;
}

enum PackedScan { SCAN_PLAIN, SCAN_AVX2, SCAN_AVX512 };
// The processor's features as the compiler's runtime found them when the
// library was loaded: a load and a test, cheap enough to ask each time
// (a cached answer would be writable state the engine does not keep).
static PackedScan packed_scan()
{
    return __builtin_cpu_supports("avx512f") ? SCAN_AVX512 : __builtin_cpu_supports("avx2") ? SCAN_AVX2 : SCAN_PLAIN;
}
#endif

int next_packed_close(const int64_t *packed, int64_t inc, int from, int to, int64_t mask31, int64_t mask24, int lanes)
{
#ifdef PACKED_SCAN_WIDE
    PackedScan best = packed_scan();
    if ((lanes == 0 || lanes == 8) && best == SCAN_AVX512)
        return next_packed_close_avx512(packed, inc, from, to, mask31, mask24);
    if ((lanes == 0 || lanes == 4 || lanes == 8) && best != SCAN_PLAIN)
        return next_packed_close_avx2(packed, inc, from, to, mask31, mask24);
#else
    (void)lanes;
#endif
    return next_packed_close_plain(packed, inc, from, to, mask31, mask24);
}

inline int Run::next_packed_close(const int64_t *packed, int64_t inc, int from, int to) const
{
    return ::next_packed_close(packed, inc, from, to, c1, c2);
}

// The second packed word of positions i and j: true when it passes too.
inline bool Run::second_word_close(int i, int j) const
{
    return packed_cells_far(inc2_ordered[i], opt2_ordered[j], c1_second, c2_second) == 0;
}

bool Run::join_member(int o)
{
    int P = num_pivots();
    for (int p = 0; p < P; p++)
        if (!std::isfinite(pivot_dists[at(p, o)]))
            return false;
    return true;
}

int ego_compare(const void *a, const void *b, void *grid)
{
    const GridCells &g = *static_cast<const GridCells *>(grid);
    size_t oa = (size_t)*(const int *)a;
    size_t ob = (size_t)*(const int *)b;
    size_t objects = (size_t)g.objects;
    // Cells lie within +-CELL_LIMIT, so the difference fits an int.
    for (int p = 0; p < g.pivots; p++) {
        int diff = g.cells[p * objects + oa] - g.cells[p * objects + ob];
        if (diff != 0)
            return diff;
    }
    return 0;
}


// The pivot distances of the object at position k of the order, pivot 0
// first: one row per position, so that a block of the order reads one
// contiguous stretch of memory.
inline const double *Run::ordered_row(int k) const
{
    return pd_ordered + (size_t)k * (size_t)join_pivots;
}

// The grid cell of position k along pivot p; the same number as the object's
// cell in the sort into that order, recomputed from the ordered copy of its pivot distances.
inline int Run::ordered_cell(int k, int p) const
{
    return grid_cell(ordered_row(k)[p], join_eps);
}

// The exact test of positions i and j along pivots d...P-1: true when no
// difference exceeds eps.  Both objects are join members, so no difference
// is NaN.
inline bool Run::exact_close(int i, int j, int d) const
{
    const double *ri = ordered_row(i);
    const double *rj = ordered_row(j);
    for (int p = join_pivots - 1; p >= d; p--)
        if (std::fabs(ri[p] - rj[p]) > join_eps)
            return false;
    return true;
}

// A hint that the data row of object o will be read soon.
inline void Run::prefetch_row(int o)
{
    const char *row = nullptr;
    int64_t at = (int64_t)o * row_length;
    switch (type) {
    case 2: row = reinterpret_cast<const char *>(data_char + at); break;
    case 4: row = reinterpret_cast<const char *>(data_int + at); break;
    case 5: row = reinterpret_cast<const char *>(data_float + at); break;
    case 6: row = reinterpret_cast<const char *>(data_double + at); break;
    default: return;
    }
    int64_t bytes = std::min<int64_t>((int64_t)row_length * element_size(type), 1024);
    for (int64_t b = 0; b < bytes; b += 64)
        __builtin_prefetch(row + b);
}

bool Run::blocks_may_join(int start1, int end1, int start2, int end2, int &d)
{
    if (start1 > end2 || start2 > end2)
        return false;
    // Within a block flat along all pivots before k, the cells along k
    // ascend in the order, so its first and last objects bound its range.
    for (int k = d; k < join_pivots; k++) {
        int s1 = ordered_cell(start1, k), e1 = ordered_cell(end1, k);
        int s2 = ordered_cell(start2, k), e2 = ordered_cell(end2, k);
        if (s1 == e1 && s2 == e2) {
            if (std::abs(s1 - s2) >= 2)
                return false;
            // A clamped cell gathers arbitrarily far values, so sharing it
            // proves nothing and the exact test must keep that pivot.
            if (k == d && s1 == s2 && std::abs(s1) < CELL_LIMIT)
                d++;
        } else {
            if (e2 + 2 <= s1 || e1 + 2 <= s2)
                return false;
            break;
        }
    }
    return true;
}

// The recursive block join, walked with a stack of its own so that the block
// pairs reaching the leaf level come out a batch at a time, in the order the
// recursion meets them.  A leaf larger than SLICE_PAIRS pairs comes out in
// slices of consecutive block-1 rows, which keeps every task's found pairs
// small; the slices in order find what the whole leaf finds.
class JoinWalk {
  public:
    JoinWalk(Run &run, int members) : run_(run)
    {
        if (members > 0)
            stack_.push_back({0, members - 1, 0, members - 1, 0});
    }

    // The next task, or false when the walk is over.
    bool next(JoinTask &task)
    {
        while (slice_.start1 > slice_.end1) {
            if (stack_.empty())
                return false;
            JoinTask f = stack_.back();
            stack_.pop_back();
            if (!run_.blocks_may_join(f.start1, f.end1, f.start2, f.end2, f.d))
                continue;
            if (f.end1 - f.start1 < run_.split_threshold) {
                slice_ = f;
                int64_t width = f.end2 - f.start2 + 1;
                slice_rows_ = (int)std::max<int64_t>(1, SLICE_PAIRS / width);
                break;
            }
            int med1 = f.start1 + (f.end1 - f.start1) / 2;
            int med2 = f.start2 + (f.end2 - f.start2) / 2;
            // Pushed last to first, so that they come off in the
            // recursion's order.
            stack_.push_back({med1 + 1, f.end1, med2 + 1, f.end2, f.d});
            stack_.push_back({med1 + 1, f.end1, f.start2, med2, f.d});
            stack_.push_back({f.start1, med1, med2 + 1, f.end2, f.d});
            stack_.push_back({f.start1, med1, f.start2, med2, f.d});
        }
        task = slice_;
        task.end1 = (int)std::min<int64_t>(slice_.end1, (int64_t)slice_.start1 + slice_rows_ - 1);
        slice_.start1 = task.end1 + 1;
        return true;
    }

  private:
    Run &run_;
    std::vector<JoinTask> stack_;
    JoinTask slice_ = {1, 0, 0, 0, 0};   // the leaf being sliced; empty rows when none
    int slice_rows_ = 1;
};

// Scratch space of simple_join, one per thread: block 2 sorted on the window
// pivot, as three parallel arrays so that the packed test reads its words
// contiguously.
struct JoinScratch {
    std::vector<double> key;       // pivot distance along the window pivot, ascending
    std::vector<int64_t> packed;   // packed fine cells of the same entry
    std::vector<int> pos;          // its position in the order
    std::vector<int> sorted;       // scratch permutation for the sort
    std::vector<int> hits;         // positions found for one block-1 row
};
static thread_local JoinScratch join_scratch;

// The pivot along which block 2 is sorted for windows, or -1 when a plain
// scan is cheaper.  Along pivot q a pair can only pass with distances to q
// at most eps apart, so the widest pivot leaves the fewest candidates.
int Run::window_pivot(const JoinTask &t)
{
    int width = t.end2 - t.start2 + 1;
    if (width < WINDOW_MIN_BLOCK || t.d >= join_pivots)
        return -1;
    int best = -1;
    double widest = 4 * join_eps;   // below this a window holds most of the block
    for (int p = t.d; p < join_pivots; p++) {
        double lo = ordered_row(t.start2)[p], hi = lo;
        for (int k = t.start2 + 1; k <= t.end2; k++) {
            double v = ordered_row(k)[p];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        if (hi - lo > widest) {
            widest = hi - lo;
            best = p;
        }
    }
    return best;
}

// Tests the pairs of one task's blocks; every pair from max(i+1, start2) to
// end2 for each block-1 position i counts as examined.  The pairs that pass
// go to `found` in the order of the plain scan (i, then j ascending).
//
// With a window pivot q, block 2 is sorted on q and each row looks only at
// the entries within eps of its own distance to q; the others would fail the
// exact test on q and are counted with the packed test's rejections, as
// pairs rejected without the exact test.  The found pairs are the same.
void Run::simple_join(const JoinTask &t, JoinFound &found)
{
    found.pairs.clear();
    found.packed_rejected = found.exact_rejected = found.examined = 0;
    if (t.start1 > t.end2)
        return;
    const double eps = join_eps;
    const int q = window_pivot(t);
    JoinScratch &s = join_scratch;
    if (q >= 0) {
        size_t width = (size_t)(t.end2 - t.start2 + 1);
        s.sorted.resize(width);
        for (size_t k = 0; k < width; k++)
            s.sorted[k] = t.start2 + (int)k;
        std::sort(s.sorted.begin(), s.sorted.end(),
                  [this, q](int a, int b) { return ordered_row(a)[q] < ordered_row(b)[q]; });
        s.key.resize(width);
        s.packed.resize(width);
        s.pos.resize(width);
        for (size_t k = 0; k < width; k++) {
            s.key[k] = ordered_row(s.sorted[k])[q];
            s.packed[k] = opt_ordered[s.sorted[k]];
            s.pos[k] = s.sorted[k];
        }
    }
    for (int i = t.start1; i <= t.end1; i++) {
        const int from = std::max(i + 1, t.start2);
        if (from > t.end2)
            continue;
        const int64_t inc = inc_ordered[i];
        int64_t passed = 0;
        s.hits.clear();
        // A candidate that passed the first packed word: the second word,
        // then the exact test.
        auto test = [&](int j) {
            if (!second_word_close(i, j))
                return;
            passed++;
            if (exact_close(i, j, t.d))
                s.hits.push_back(j);
            else
                found.exact_rejected++;
        };
        if (q < 0) {
            for (int j = next_packed_close(opt_ordered, inc, from, t.end2); j <= t.end2;
                 j = next_packed_close(opt_ordered, inc, j + 1, t.end2))
                test(j);
        } else {
            // The entries with |x - key| <= eps form one run of the sorted
            // block: x - key falls and key - x rises along it, rounding
            // included, so both ends are found by bisection on the very
            // comparisons the exact test makes.
            const double x = ordered_row(i)[q];
            const double *key = s.key.data();
            int lo = (int)(std::partition_point(key, key + s.key.size(),
                                                [&](double k) { return x - k > eps; }) - key);
            int hi = (int)(std::partition_point(key + lo, key + s.key.size(),
                                                [&](double k) { return !(k - x > eps); }) - key) - 1;
            for (int e = next_packed_close(s.packed.data(), inc, lo, hi); e <= hi;
                 e = next_packed_close(s.packed.data(), inc, e + 1, hi)) {
                if (s.pos[e] >= from)
                    test(s.pos[e]);
            }
            std::sort(s.hits.begin(), s.hits.end());
        }
        found.examined += t.end2 - from + 1;
        found.packed_rejected += t.end2 - from + 1 - passed;
        for (int j : s.hits)
            found.pairs.push_back({order[i], order[j], 0.0});
    }
    // The distances, a few rows fetched ahead: the second objects lie
    // anywhere in the data.
    const size_t n = found.pairs.size();
    for (size_t k = 0; k < n; k++) {
        if (k + 4 < n)
            prefetch_row(found.pairs[k + 4].j);
        found.pairs[k].value = join_pair_value ? join_pair_value(found.pairs[k].i, found.pairs[k].j)
                                               : calc_distance(found.pairs[k].i, found.pairs[k].j);
    }
}

// Enters the found pairs of `count` tasks into the sink in task order, each
// pair's store entries fetched PAIR_AHEAD pairs early, and adds up their
// counts.
void Run::enter_found(const std::vector<JoinFound> &found, size_t count)
{
    const JoinFound::Pair *ring[PAIR_AHEAD];
    int64_t ahead = 0, sunk = 0;
    for (size_t t = 0; t < count; t++) {
        neg_res1 += found[t].packed_rejected;
        neg_res2 += found[t].exact_rejected;
        join_pairs_examined += found[t].examined;
        for (const JoinFound::Pair &p : found[t].pairs) {
            if (ahead - sunk == PAIR_AHEAD) {
                const JoinFound::Pair *s = ring[sunk++ % PAIR_AHEAD];
                sink_join_pair(s->i, s->j, s->value);
            }
            prefetch_entry(p.i, p.j);
            ring[ahead++ % PAIR_AHEAD] = &p;
        }
    }
    while (sunk < ahead) {
        const JoinFound::Pair *s = ring[sunk++ % PAIR_AHEAD];
        sink_join_pair(s->i, s->j, s->value);
    }
    progress_batch((double)join_pairs_examined);
}

// The join of the members in `order`, batch by batch: the main thread walks
// the recursion and enters each batch's pairs into the sink in order while
// the next batch is tested, so that the store sees the pairs exactly as a
// single thread finds them.
void Run::run_join(int members)
{
    JoinWalk walk(*this, members);
    std::vector<JoinTask> tasks;
    std::vector<JoinFound> found[2];
    int cur = 0;
    size_t pending = 0;   // tasks of found[1 - cur] not yet entered
    int64_t tested = 0, passed = 0;   // so far, to size the batches
    for (;;) {
        // Each batch waits for its slowest task, so batches are as long as
        // the pairs they are expected to find allow.
        double pass_rate = (passed + 1.0) / (tested + 1.0);
        int64_t per_thread = (int64_t)std::min<double>(BATCH_FOUND / pass_rate, BATCH_PAIRS_PER_THREAD);
        int64_t batch_pairs = std::max<int64_t>(per_thread, SLICE_PAIRS) * num_threads;
        tasks.clear();
        int64_t pairs = 0;
        JoinTask t;
        if (join_deadline < std::numeric_limits<double>::infinity() &&
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count() > join_deadline)
            join_cut = true;
        while (!join_cut && pairs < batch_pairs && (int64_t)tasks.size() < BATCH_TASKS && walk.next(t)) {
            tasks.push_back(t);
            pairs += (int64_t)(t.end1 - t.start1 + 1) * (t.end2 - t.start2 + 1);
        }
        if (found[cur].size() < tasks.size())
            found[cur].resize(tasks.size());
        std::vector<JoinFound> &prev = found[1 - cur];
        std::vector<JoinFound> &next = found[cur];
        size_t prev_count = pending;
        if (tasks.empty()) {
            enter_found(prev, prev_count);
            break;
        }
        parallel_for_beside(num_threads, [&] { enter_found(prev, prev_count); }, 0, (int64_t)tasks.size(),
                            [&](int64_t k) { simple_join(tasks[k], next[k]); });
        pending = tasks.size();
        tested += pairs;
        for (size_t k = 0; k < tasks.size(); k++)
            passed += (int64_t)next[k].pairs.size();
        cur = 1 - cur;
    }
}

bool join_skipped(double eps)
{
    return !(std::isfinite(eps) && eps / 3.0 > 0);
}

void Run::small_dists_work(double eps)
{
    abstract_time++;
    neg_res1 = 0;
    neg_res2 = 0;
    join_pairs_examined = 0;
    join_cut = false;
    // A cell width that is not a positive finite number leaves every cell
    // quotient undefined; the random pairs then fill the whole count.
    if (std::isnan(eps) || std::isinf(eps)) {
        run_sink->text(std::string("\n") + MSG_EPSILON_NOT_FINITE + "\n");
        return;
    }
    if (!(eps > 0)) {
        run_sink->text(std::string("\n") + MSG_EPSILON_NOT_POSITIVE + "\n");
        return;
    }
    if (!(eps / 3.0 > 0)) {
        run_sink->text(std::string("\n") + MSG_EPSILON_TOO_SMALL + "\n");
        return;
    }

    join_eps = eps;
    join_pivots = num_pivots();
    split_threshold = settings.split_threshold;
    int *ego = new int[(size_t)join_pivots * (size_t)object_count];
    order = new int[object_count];
    opt = new int64_t[object_count];
    optinc = new int64_t[object_count];
    packed_masks(std::min(join_pivots, PACKED_PIVOTS), c1, c2);
    packed_masks(std::max(0, std::min(join_pivots - PACKED_PIVOTS, PACKED_PIVOTS)), c1_second, c2_second);

    // Objects with a NaN or infinite pivot distance have no cell; they take
    // no part in the join and sit after the members in `order`.
    int members = 0;
    for (int o = 0; o < object_count; o++) {
        bool member = join_member(o);
        for (int p = 0; p < join_pivots; p++)
            ego[at(p, o)] = member ? grid_cell(pivot_dists[at(p, o)], eps) : 0;
        if (member) {
            pack_fine_cells(eps, o, opt[o], optinc[o]);
            order[members++] = o;
        } else {
            opt[o] = 0;
            optinc[o] = 0;
        }
    }
    for (int o = 0, rest = members; o < object_count; o++)
        if (!join_member(o))
            order[rest++] = o;
    GridCells grid{ego, join_pivots, object_count};
    qsort_r(order, members, sizeof(int), ego_compare, &grid);
    // The cells are needed only for the sort; the walk recomputes the few it
    // reads from the ordered pivot distances.
    delete[] ego;
    opt_ordered = new int64_t[object_count];
    inc_ordered = new int64_t[object_count];
    opt2_ordered = new int64_t[object_count];
    inc2_ordered = new int64_t[object_count];
    pd_ordered = new double[(size_t)join_pivots * (size_t)object_count];
    for (int k = 0; k < object_count; k++) {
        opt_ordered[k] = opt[order[k]];
        inc_ordered[k] = optinc[order[k]];
        pack_fine_cells_from(eps, order[k], PACKED_PIVOTS, opt2_ordered[k], inc2_ordered[k]);
        for (int p = 0; p < join_pivots; p++)
            pd_ordered[(size_t)k * join_pivots + p] = pivot_dists[at(p, order[k])];
    }

    run_join(members);
    run_sink->summary("neg_res1 = " + std::to_string(neg_res1) + "  neg_res2 = " + std::to_string(neg_res2));
    free_join();
}

void Run::free_join()
{
    for (int64_t **a : {&opt, &optinc, &opt_ordered, &inc_ordered, &opt2_ordered, &inc2_ordered}) {
        delete[] *a;
        *a = nullptr;
    }
    delete[] order;
    delete[] pd_ordered;
    order = nullptr;
    pd_ordered = nullptr;
}
