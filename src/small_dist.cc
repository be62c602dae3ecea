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
//   small_dists_work, join, ...        the epsilon-grid-order self-join of
//                                      Boehm, Braunmueller, Krebs and Kriegel
//                                      ("Epsilon grid order", SIGMOD 2001) over
//                                      the pivot-distance vectors: it stores
//                                      every pair whose lower bound is at most
//                                      epsilon without looking at all pairs.
//
// Every pair enters the store through getdist; pivot distances come from
// calc_distance and are never stored.  rand() is the only source of chance.
#include "small_dist.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>

#include "brivane.h"
#include "brivane_arg.h"
#include "distances.h"
#include "heap_sort.h"
#include "progress.h"

// Pivot tables (alive from choose_pivots to delete_pivots).
int *pivots = nullptr;
double *pivot_dists = nullptr;
int current_pivot = 0;

// Join statistics and the pair sink.
int64_t neg_res1 = 0;
int64_t neg_res2 = 0;
int64_t join_pairs_examined = 0;

static void store_join_pair(int i, int j)
{
    getdist(i, j, NO_DISTANCE);
}
void (*join_pair_sink)(int i, int j) = store_join_pair;

// Join work state, alive only inside small_dists_work.
static int *ego = nullptr;          // entry p*N+o: grid cell of object o along pivot p
static int *order = nullptr;        // objects in epsilon grid order; join members first
static int64_t *opt = nullptr;      // per object: packed fine cells of the first pivots
static int64_t *optinc = nullptr;   // the same, each field shifted by 3 and tagged with 32
static int64_t *opt_ordered = nullptr;  // entry k: opt[order[k]], read in order by the tests
static int64_t c1 = 0;              // 31 in every packed field
static int64_t c2 = 0;              // 24 in every packed field
static int join_pivots = 0;         // pivots the join works with
static int split_threshold = 1;     // a block 1 of at most this many positions is not split

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

// Pivot index p and object o give entry p*N+o of the pivot tables; the
// product is taken in 64 bits because P*N may exceed the int range.
static inline size_t at(int p, int o)
{
    return (size_t)p * (size_t)N + (size_t)o;
}

// More pivots than objects must repeat an object, and a repeated pivot adds
// no bound the first one lacks; the cap keeps the pivot tables within N*N
// entries whatever count was asked for.
static int num_pivots()
{
    return std::min(opt_int(INDEX_OPT_NUM_PIVOTS), N);
}

// ---------------------------------------------------------------------------
// Random, exhaustive and given pairs

// How many pairs ahead the random pass draws, to fetch their memory early.
static const int PAIR_AHEAD = 8;

void random_dist()
{
    abstract_time++;
    // The target never exceeds the number of distinct pairs, nor what the
    // store can hold: a target out of reach would make the loop endless.
    int64_t all_pairs = N >= 2 ? (int64_t)N * (N - 1) / 2 : 0;
    int64_t target = std::min<int64_t>(num_distances, all_pairs);
    while (n_dist / 2 < target && n_dist + 2 <= dist_size) {
        int64_t missing = target - n_dist / 2;
        if (missing >= N) {
            // Bulk pass: at most `missing` new pairs, since self pairs and
            // pairs already stored add nothing.
            // Step s pairs object s / per with the s-th draw.  The draws are
            // taken PAIR_AHEAD steps early, in the same order, so that the
            // store and the data row of each pair are fetched while the
            // steps before it are computed; no draw is made past the last
            // step, so the generator ends where it would without the lead.
            int64_t per = missing / N;
            int64_t steps = per * N;
            int ahead[PAIR_AHEAD];
            int64_t drawn = 0;
            for (; drawn < steps && drawn < PAIR_AHEAD; drawn++) {
                ahead[drawn] = rand() % N;
                getdist_prefetch((int)(drawn / per), ahead[drawn]);
            }
            for (int64_t s = 0; s < steps; s++) {
                int j = ahead[s % PAIR_AHEAD];
                if (drawn < steps) {
                    int next = rand() % N;
                    ahead[drawn % PAIR_AHEAD] = next;
                    getdist_prefetch((int)(drawn / per), next);
                    drawn++;
                }
                getdist((int)(s / per), j, NO_DISTANCE);
                progress_tick(n_dist / 2);
            }
        } else {
            // A uniform pair of distinct objects, smaller index first.
            int i = rand() % N;
            int j = rand() % (N - 1);
            if (i > j)
                getdist(j, i, NO_DISTANCE);
            else
                getdist(i, j + 1, NO_DISTANCE);
            progress_tick(n_dist / 2);
        }
    }
}

void all_dist()
{
    abstract_time++;
    for (int i = 0; i < N - 1; i++)
        for (int j = i + 1; j < N; j++) {
            if (j + PAIR_AHEAD < N)
                getdist_prefetch(i, j + PAIR_AHEAD);
            getdist(i, j, NO_DISTANCE);
            progress_tick(n_dist / 2);
        }
}

// Value k of the given distances, as a double, by the input's element type.
static double given_value(int64_t k)
{
    switch (type) {
    case 2: return xc[k];
    case 4: return xi[k];
    case 5: return xf[k];
    case 6: return xd[k];
    default: return std::numeric_limits<double>::quiet_NaN();
    }
}

// Offers a given value to the store; NaN and infinite values are left out.
static void offer_given(int i, int j, double value)
{
    if (std::isfinite(value))
        getdist_given(i, j, value);
}

void input_dist()
{
    if (opt_int(INDEX_OPT_CLUSTER) == CLUSTER_DISTMAT) {
        // Only the upper triangle counts; the diagonal and lower triangle
        // are never read.
        for (int i = 0; i < N - 1; i++)
            for (int j = i + 1; j < N; j++)
                offer_given(i, j, given_value((int64_t)i * N + j));
    } else {
        // The first usable entry of a pair wins (the store keeps it).
        for (int k = 0; k < M; k++)
            offer_given(distfrom[k], distto[k], given_value(k));
    }
}

// ---------------------------------------------------------------------------
// Pivot selection

int pivot_dists_compare(const void *a, const void *b)
{
    double da = pivot_dists[at(current_pivot, *(const int *)a)];
    double db = pivot_dists[at(current_pivot, *(const int *)b)];
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

static void choose_random_pivots(int P)
{
    for (int i = 0; i < P; i++) {
        pivots[i] = rand() % N;
        std::cerr << "  pivot " << i + 1 << " - " << pivots[i] + 1 << " (randomly)\n";
    }
    for (int o = 0; o < N; o++)
        for (int p = 0; p < P; p++)
            pivot_dists[at(p, o)] = calc_distance(o, pivots[p]);
}

// Each new pivot is the object whose rank, as seen from every pivot chosen so
// far, lies closest to the q-quantile, in the worst case over those pivots.
static void choose_quantile_pivots(int P)
{
    // Rows 0..P-1: the rank of every object by its distance to pivot p.
    // Row P: scratch permutation of the objects for sorting.
    int *pivot_dists_order = new int[(size_t)(P + 1) * (size_t)N];
    int *scratch = pivot_dists_order + at(P, 0);
    int64_t target = quantile_target_rank(N, opt_double(INDEX_OPT_PIVOT_QUANTILE));

    pivots[0] = rand() % N;
    std::cerr << "  pivot 1 - " << pivots[0] + 1 << " (randomly)\n";
    for (int k = 1;; k++) {
        int newest = pivots[k - 1];
        for (int o = 0; o < N; o++) {
            pivot_dists[at(k - 1, o)] = o == newest ? 0.0 : calc_distance(o, newest);
            scratch[o] = o;
        }
        if (k == P)
            break;
        current_pivot = k - 1;
        qsort(scratch, N, sizeof(int), pivot_dists_compare);
        for (int r = 0; r < N; r++)
            pivot_dists_order[at(k - 1, scratch[r])] = r;

        int best = 0;
        int64_t bestscore = (int64_t)N + 1;
        for (int i = 0; i < N; i++) {
            int64_t score = 0;
            for (int p = 0; p < k; p++)
                score = std::max<int64_t>(score, std::llabs(pivot_dists_order[at(p, i)] - target));
            if (score < bestscore) {
                best = i;
                bestscore = score;
            }
        }
        std::cerr << "  pivot " << k + 1 << " - " << best + 1 << " (score " << bestscore << ")\n";
        pivots[k] = best;
    }
    delete[] pivot_dists_order;
}

void choose_pivots()
{
    int P = num_pivots();
    pivots = new int[P];
    pivot_dists = new double[(size_t)P * (size_t)N];
    if (opt_int(INDEX_OPT_PIVOT_STRATEGY) == PIVOT_QUANTILE)
        choose_quantile_pivots(P);
    else
        choose_random_pivots(P);
}

void delete_pivots()
{
    delete[] pivots;
    delete[] pivot_dists;
    pivots = nullptr;
    pivot_dists = nullptr;
}

// ---------------------------------------------------------------------------
// Epsilon estimation

double pivot_lower_bound(int a, int b)
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

int threshold_location(int sample_size)
{
    // In double: N*(N-1) leaves the int range above 46,341 objects.
    double wanted = (double)num_distances * opt_double(INDEX_OPT_PROP_SIMILAR) * sample_size
                    / ((double)N * (N - 1) * 0.5);
    if (!(wanted >= 1))   // also a NaN proportion
        return 1;
    if (wanted >= std::numeric_limits<int>::max() - 2)
        return std::numeric_limits<int>::max() - 2;
    return (int)wanted;
}

double estimate_epsilon()
{
    // Without --sample-size as many pairs as objects are sampled.
    int sample_size = opt_given(INDEX_OPT_SAMPLE_SIZE) ? opt_int(INDEX_OPT_SAMPLE_SIZE) : N;
    int threshold_loc = threshold_location(sample_size);
    std::cerr << "\nthreshold_loc=" << threshold_loc << "  sample_size=" << sample_size << "\n";

    // The heap keeps the threshold_loc smallest bounds, negated, so that its
    // top is the largest of them.  It never holds more than one element
    // beyond that bound, nor more than the sample.
    int bound = std::min(threshold_loc, sample_size);
    heap_elem *dist_heap = new heap_elem[(size_t)bound + 2];
    int dist_heap_size = 0;
    double heap_top = 0;
    for (int s = 0; s < sample_size; s++) {
        int a, b;
        do {
            a = rand() % N;
            b = rand() % N;
        } while (a == b);
        heap_add(dist_heap, dist_heap_size, -pivot_lower_bound(a, b), 0, 0);
        double key;
        int x, y;
        if (dist_heap_size > threshold_loc)
            heap_min(dist_heap, dist_heap_size, key, x, y);
        heap_look_min(dist_heap, dist_heap_size, key, x, y);
        heap_top = -key;
    }
    delete[] dist_heap;
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

void pack_fine_cells(double eps, int o, int64_t &packed, int64_t &packed_inc)
{
    int fields = std::min(num_pivots(), PACKED_PIVOTS);
    double width = eps / 3.0;
    packed = 0;
    packed_inc = 0;
    for (int p = 0; p < fields; p++) {
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

// The first position k in from...to (or to + 1 if none) whose packed cells
// are close to inc.  Nearly all pairs fail, so it tests four at a time and
// looks closer only at a block with a pass.
static inline int next_packed_close(int64_t inc, int from, int to)
{
    int k = from;
    for (; k + 3 <= to; k += 4) {
        const int64_t *o = opt_ordered + k;
        bool pass = (packed_cells_far(inc, o[0], c1, c2) == 0) | (packed_cells_far(inc, o[1], c1, c2) == 0) |
                    (packed_cells_far(inc, o[2], c1, c2) == 0) | (packed_cells_far(inc, o[3], c1, c2) == 0);
        if (pass)
            break;
    }
    while (k <= to && packed_cells_far(inc, opt_ordered[k], c1, c2) != 0)
        k++;
    return k;
}

bool join_member(int o)
{
    int P = num_pivots();
    for (int p = 0; p < P; p++)
        if (!std::isfinite(pivot_dists[at(p, o)]))
            return false;
    return true;
}

int ego_compare(const void *a, const void *b)
{
    int oa = *(const int *)a;
    int ob = *(const int *)b;
    // Cells lie within +-CELL_LIMIT, so the difference fits an int.
    for (int p = 0; p < join_pivots; p++) {
        int diff = ego[at(p, oa)] - ego[at(p, ob)];
        if (diff != 0)
            return diff;
    }
    return 0;
}

// Pairs that passed the join's tests, on their way to the sink in the order
// found.  A pair waits until PAIR_AHEAD later ones have been found, or until
// simple_join ends, so that its memory can be fetched in the meantime.
struct FoundPairs {
    int i[PAIR_AHEAD];
    int j[PAIR_AHEAD];
    int64_t found = 0;   // pairs entered
    int64_t sunk = 0;    // pairs handed to the sink

    void add(int a, int b)
    {
        if (found - sunk == PAIR_AHEAD)
            sink_one();
        getdist_prefetch(a, b);
        i[found % PAIR_AHEAD] = a;
        j[found % PAIR_AHEAD] = b;
        found++;
    }
    void sink_one()
    {
        join_pair_sink(i[sunk % PAIR_AHEAD], j[sunk % PAIR_AHEAD]);
        sunk++;
    }
    void drain()
    {
        while (sunk < found)
            sink_one();
    }
};

void simple_join(double eps, int start1, int end1, int start2, int end2, int d)
{
    if (start1 > end2)
        return;
    FoundPairs found;
    for (int i = start1; i <= end1; i++) {
        int oi = order[i];
        const int64_t inc = optinc[oi];
        const int from = std::max(i + 1, start2);
        if (from > end2)
            continue;
        // Every pair from...end2 is examined; those the packed test rejects
        // are counted at the end, from the number it passed.
        int64_t passed = 0;
        for (int j = next_packed_close(inc, from, end2); j <= end2;
             j = next_packed_close(inc, j + 1, end2)) {
            passed++;
            int oj = order[j];
            // Along the d leading pivots both objects share one cell, so
            // their difference there is below eps already.
            bool close = true;
            for (int p = join_pivots - 1; p >= d; p--) {
                if (std::fabs(pivot_dists[at(p, oi)] - pivot_dists[at(p, oj)]) > eps) {
                    close = false;
                    break;
                }
            }
            if (!close) {
                neg_res2++;
                continue;
            }
            found.add(oi, oj);
        }
        join_pairs_examined += end2 - from + 1;
        progress_tick((double)join_pairs_examined);
        neg_res1 += end2 - from + 1 - passed;
    }
    found.drain();
}

void join(double eps, int start1, int end1, int start2, int end2, int d)
{
    if (start1 > end2 || start2 > end2)
        return;
    // Within a block flat along all pivots before k, the cells along k
    // ascend in the order, so its first and last objects bound its range.
    for (int k = d; k < join_pivots; k++) {
        int s1 = ego[at(k, order[start1])], e1 = ego[at(k, order[end1])];
        int s2 = ego[at(k, order[start2])], e2 = ego[at(k, order[end2])];
        if (s1 == e1 && s2 == e2) {
            if (std::abs(s1 - s2) >= 2)
                return;
            // A clamped cell gathers arbitrarily far values, so sharing it
            // proves nothing and the exact test must keep that pivot.
            if (k == d && s1 == s2 && std::abs(s1) < CELL_LIMIT)
                d++;
        } else {
            if (e2 + 2 <= s1 || e1 + 2 <= s2)
                return;
            break;
        }
    }
    if (end1 - start1 < split_threshold) {
        simple_join(eps, start1, end1, start2, end2, d);
        return;
    }
    int med1 = start1 + (end1 - start1) / 2;
    int med2 = start2 + (end2 - start2) / 2;
    join(eps, start1, med1, start2, med2, d);
    join(eps, start1, med1, med2 + 1, end2, d);
    join(eps, med1 + 1, end1, start2, med2, d);
    join(eps, med1 + 1, end1, med2 + 1, end2, d);
}

void small_dists_work(double eps)
{
    abstract_time++;
    neg_res1 = 0;
    neg_res2 = 0;
    join_pairs_examined = 0;
    // A cell width that is not a positive finite number leaves every cell
    // quotient undefined; the random pairs then fill the whole count.
    if (std::isnan(eps) || std::isinf(eps)) {
        std::cerr << "\n" << MSG_EPSILON_NOT_FINITE << "\n";
        return;
    }
    if (!(eps > 0)) {
        std::cerr << "\n" << MSG_EPSILON_NOT_POSITIVE << "\n";
        return;
    }
    if (!(eps / 3.0 > 0)) {
        std::cerr << "\n" << MSG_EPSILON_TOO_SMALL << "\n";
        return;
    }

    join_pivots = num_pivots();
    split_threshold = opt_int(INDEX_OPT_SPLIT_THRESHOLD);
    ego = new int[(size_t)join_pivots * (size_t)N];
    order = new int[N];
    opt = new int64_t[N];
    optinc = new int64_t[N];
    packed_masks(std::min(join_pivots, PACKED_PIVOTS), c1, c2);

    // Objects with a NaN or infinite pivot distance have no cell; they take
    // no part in the join and sit after the members in `order`.
    int members = 0;
    for (int o = 0; o < N; o++) {
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
    for (int o = 0, rest = members; o < N; o++)
        if (!join_member(o))
            order[rest++] = o;
    qsort(order, members, sizeof(int), ego_compare);
    opt_ordered = new int64_t[N];
    for (int k = 0; k < N; k++)
        opt_ordered[k] = opt[order[k]];

    join(eps, 0, members - 1, 0, members - 1, 0);
    std::cout << "neg_res1 = " << neg_res1 << "  neg_res2 = " << neg_res2 << "\n";

    delete[] ego;
    delete[] order;
    delete[] opt;
    delete[] optinc;
    delete[] opt_ordered;
    ego = nullptr;
    order = nullptr;
    opt = nullptr;
    optinc = nullptr;
    opt_ordered = nullptr;
}
