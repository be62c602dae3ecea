// The exact clustering engine in linear memory.
//
// What lives here:
//   - single linkage by Prim's minimum spanning tree algorithm (Prim 1957),
//     the distances of each newly added object to the objects outside the
//     tree computed on the fly, on the threads, and forgotten: O(N^2)
//     distance computations, O(N) memory beside the input (linear_mst);
//     for euclidean rows, lower bounds from projections onto a few
//     principal axes spare the distances that cannot shorten a reach;
//   - Ward linkage of euclidean distances by the nearest-neighbour chain
//     (Benzecri 1982, Juan 1982; as in Muellner, "Modern hierarchical,
//     agglomerative clustering algorithms", 2011) over the clusters' sizes
//     and centroids, each merge value worked out from them:
//     2|A||B|/(|A|+|B|) * |c_A - c_B|^2, the square of the height.  Each
//     nearest-neighbour search runs on the threads; O(N*C) memory, O(N^2*C)
//     time (linear_ward);
//   - centroid and median linkage of euclidean distances by the generic
//     algorithm of the same paper over the same centroids: each cluster's
//     nearest later cluster kept as a lower bound in a priority queue and
//     checked when it comes to the top, every distance worked out from two
//     centroids when needed.  A merge's centroid is its objects' mean
//     (centroid) or its halves' midpoint (median, Gower's WPGMC); the
//     squared distance of two centroids is the merge value, whose square
//     root is the height, and may lie below a child's (an inversion).  The
//     passes over the live clusters run on the threads; O(N*C) memory, at
//     least O(N^2*C) time (linear_generic);
//   - the whole clustering: the merges through the dense engine's
//     dendrogram, the refusal of distances that are not finite, the leaf
//     order (linear_cluster).
//
// Each pair is computed at most once, by calc_distance with the lower object
// first as the dense engine's fill computes it, or for euclidean rows
// without missing values by the same sum to the bit, so both engines see
// the same values under every measure and -U setting; a pair is left out
// only where a bound proves its distance not below the reach it would
// change.  The step picks the outside object of least distance to the tree,
// the lowest-numbered of equal ones, and an object's tree end changes only
// for a strictly shorter distance: the choices of the dense engine's Prim,
// so the edges come in the same order with the same ends whatever the
// number of threads, ties included.
#include "linear.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "Distance.h"

#include "dense.h"
#include "element.h"
#include "run.h"
#include "slot_heap.h"
#include "threads.h"

namespace {

const double INF = std::numeric_limits<double>::infinity();

// Below this many outside objects a step runs on the main thread alone: the
// team would cost more than the distances.
const int64_t LINEAR_PARALLEL_LEAST = 4 * LINEAR_STEP_CHUNK;

// Slots whose first scans of the generic algorithm run between two looks at
// the progress.
const int64_t LINEAR_FIRST_SCAN_BLOCK = 256;

// An object outside the tree: its distance to the tree, and the tree object
// that distance is measured to.
struct Outside {
    int32_t object;
    int32_t from;
    double reach;
};

// The nearest outside object that one task of a step found (its place in the
// outside list), and the distances it computed that were not finite.
struct StepBest {
    double reach;
    int32_t object;
    int64_t at;
    int64_t not_finite;
    int64_t nan;
    int64_t computed;
};

// Whether p comes before q as the step's choice: nearer, or as near and of a
// lower number.
bool before(const StepBest &p, const StepBest &q)
{
    return p.reach < q.reach || (p.reach == q.reach && p.object < q.object);
}

// The nearest live cluster that one task of a chain step found: the first
// of equal ones in slot order.
struct ChainBest {
    double value;
    int32_t slot;
};

// Copies object rows of any element type into doubles: the first centroids.
template <class T> void rows_into(const T *data, int64_t elements, double *to)
{
    for (int64_t k = 0; k < elements; k++)
        to[k] = (double)data[k];
}

// The squared euclidean distance of two centroids of c coordinates: the
// merge value of centroid and median linkage.  Bit for bit symmetric, so
// that a value worked out again equals the one kept.
double squared_distance(const double *ca, const double *cb, int64_t c)
{
    double sum = 0;
    for (int64_t k = 0; k < c; k++) {
        double d = ca[k] - cb[k];
        sum += d * d;
    }
    return sum;
}

// Where two clusters of na and nb objects merge, the merged cluster's
// centroid from theirs: the mean of its objects (centroid linkage), or the
// midpoint of its halves' (median linkage, Gower's WPGMC, whatever the
// sizes).
inline double merged_centroid(double ca, double na, double cb, double nb)
{
    return (na * ca + nb * cb) / (na + nb);
}
inline double merged_median(double ca, double cb) { return (ca + cb) / 2; }

// Ward's merge value of clusters of na and nb objects whose centroids are
// ca and cb (c coordinates each): the increase of the within-cluster sum of
// squares, doubled, which is the squared euclidean distance of two objects.
// Symmetric to the last bit, so that the chain meets a reciprocal pair.
double ward_value(const double *ca, const double *cb, int64_t c, double na, double nb)
{
    return 2 * na * nb / (na + nb) * squared_distance(ca, cb, c);
}

} // namespace

bool linear_linkage(int linkage)
{
    return linkage == LINKAGE_MIN || centroid_linkage(linkage);
}

int64_t linear_bytes_per_object(int linkage, int row_length)
{
    if (linkage == LINKAGE_WARD)
        return LINEAR_BYTES_PER_OBJECT + LINEAR_WARD_BYTES_PER_ELEMENT * row_length + LINEAR_WARD_BYTES_PER_OBJECT;
    if (centroid_linkage(linkage))
        return LINEAR_BYTES_PER_OBJECT + LINEAR_WARD_BYTES_PER_ELEMENT * row_length + LINEAR_GENERIC_BYTES_PER_OBJECT;
    if (linkage == LINKAGE_MIN && row_length >= LINEAR_BOUND_SHORTEST_ROW)
        return LINEAR_BYTES_PER_OBJECT + LINEAR_BOUND_BYTES_PER_OBJECT;
    return LINEAR_BYTES_PER_OBJECT;
}

namespace {

// The lower bounds of euclidean distances that let a Prim step pass over
// most outside objects without reading their rows.
//
// Each object gets the coordinates of its row, less a centre, along k
// orthonormal directions of the data (the leading principal axes of a
// sample): a projection onto them never lengthens a vector, so the distance
// of two objects' coordinates is at most that of their rows.  Where the
// coordinates of u and of the new tree object v lie at least u's reach
// apart, the distance of u and v is not below the reach, and the step would
// leave u as it is: its distance is not needed.
//
// The bound must hold for the distances as computed, not only exactly.
// The coordinates are worked out in double and kept as float; their
// rounding is at most 1.2e-7 times the row's distance from the centre (for
// rows of up to BOUND_LONGEST_ROW elements), and each object keeps
// BOUND_SLACK times that distance, plus BOUND_TINY, as its slack, which the
// test adds to the reach.  The test's sum in float is within 1e-6 of the
// exact one where the squares it compares are normal floats (BOUND_TINY
// keeps them above 1e-30, far from where float's rounding stops being
// relative), and it asks for a margin of BOUND_MARGIN more, far above that,
// the directions' departure from orthonormal (checked below 1e-10) and the
// distance's own rounding.
//
// An object whose row is not finite, or so far from the centre that a square
// could overflow (a float's, in the test), gets an infinite slack: its
// distances are all computed, and counted where they are not finite, as
// before.
const int BOUND_LANES = 16;
typedef float Lanes __attribute__((vector_size(4 * sizeof(float))));

struct Bounds {
    int k = 0;                 // directions; 0: no bounds
    std::vector<Lanes> at;     // per object: its coordinates, BOUND_LANES floats, zero past k
    std::vector<float> slack;  // per object
};

const double BOUND_SLACK = 1e-6;
const double BOUND_TINY = 1e-15;
const double BOUND_MARGIN = 1e-5;
const double BOUND_FARTHEST = 1e18;
// Directions of the bounds: a quarter of the row at most.  A test costs
// about as much as the distance of 16 elements, so shorter rows
// (LINEAR_BOUND_SHORTEST_ROW) get none.
const int BOUND_DIRECTIONS = BOUND_LANES;
// The sample the directions come from: at most this many rows and elements.
const int64_t BOUND_SAMPLE_ROWS = 2048;
const int64_t BOUND_SAMPLE_ELEMENTS = 1 << 19;
// Rows longer than this get no bounds: the directions' storage (and the
// rounding of the coordinates) grows with the row.
const int64_t BOUND_LONGEST_ROW = 1 << 14;
// Rounds of subspace iteration that turn the first directions into the
// sample's principal axes.  Any orthonormal directions give true bounds;
// better ones only prune more.
const int BOUND_ROUNDS = 3;

double dot(const double *a, const double *b, int64_t c)
{
    double s = 0;
    for (int64_t k = 0; k < c; k++)
        s += a[k] * b[k];
    return s;
}

// Makes the rows of q (count of them, c long) orthonormal by modified
// Gram-Schmidt, twice over for accuracy; drops a row that is (nearly) in the
// span of those before it.  The number of rows left.
int orthonormalize(std::vector<double> &q, int count, int64_t c)
{
    int kept = 0;
    for (int j = 0; j < count; j++) {
        double *v = q.data() + j * c;
        double before = std::sqrt(dot(v, v, c));
        for (int pass = 0; pass < 2; pass++)
            for (int i = 0; i < kept; i++) {
                const double *u = q.data() + i * c;
                double f = dot(u, v, c);
                for (int64_t e = 0; e < c; e++)
                    v[e] -= f * u[e];
            }
        double norm = std::sqrt(dot(v, v, c));
        if (!(norm > 1e-8 * before) || !std::isfinite(norm))
            continue;
        double *to = q.data() + kept * c;
        for (int64_t e = 0; e < c; e++)
            to[e] = v[e] / norm;
        kept++;
    }
    return kept;
}

template <class T> Bounds make_bounds(const T *data, int64_t n, int64_t c, int threads)
{
    Bounds b;
    int k = (int)std::min<int64_t>(BOUND_DIRECTIONS, c / 4);
    if (c < LINEAR_BOUND_SHORTEST_ROW || c > BOUND_LONGEST_ROW || n < 2)
        return b;
    // The finite rows; a sample of them, evenly spread.
    std::vector<char> finite((size_t)n);
    int64_t rows = 0;
    for (int64_t i = 0; i < n; i++) {
        const T *x = data + i * c;
        bool ok = true;
        for (int64_t e = 0; e < c && ok; e++)
            ok = std::isfinite(as_double(x[e]));
        finite[i] = ok;
        rows += ok;
    }
    int64_t want = std::min<int64_t>({rows, BOUND_SAMPLE_ROWS, BOUND_SAMPLE_ELEMENTS / c});
    if (want < 2 * k)
        return b;
    std::vector<double> sample;
    sample.reserve((size_t)(want * c));
    for (int64_t i = 0, seen = 0; i < n && (int64_t)sample.size() < want * c; i++) {
        if (!finite[i])
            continue;
        if (seen++ * want / rows != (int64_t)sample.size() / c)
            continue;
        for (int64_t e = 0; e < c; e++)
            sample.push_back(as_double(data[i * c + e]));
    }
    int64_t taken = (int64_t)sample.size() / c;
    // The centre: the sample's median of each element, which a few rows far
    // out do not move (a mean would take every row's distance from it up).
    std::vector<double> centre((size_t)c), column((size_t)taken);
    for (int64_t e = 0; e < c; e++) {
        for (int64_t r = 0; r < taken; r++)
            column[r] = sample[r * c + e];
        std::nth_element(column.begin(), column.begin() + taken / 2, column.end());
        centre[e] = column[taken / 2];
    }
    // The sample less the centre, without the rows too far out for bounds.
    int64_t s = 0;
    for (int64_t r = 0; r < taken; r++) {
        double *to = sample.data() + s * c;
        for (int64_t e = 0; e < c; e++)
            to[e] = sample[r * c + e] - centre[e];
        s += std::sqrt(dot(to, to, c)) <= BOUND_FARTHEST;
    }
    if (s < 2 * k)
        return b;
    sample.resize((size_t)(s * c));
    // First directions: the sample's rows farthest from the span of those
    // taken before (a pivoted Gram-Schmidt of the sample).
    std::vector<double> rest = sample, q((size_t)(k * c));
    std::vector<double> left((size_t)s);
    for (int64_t r = 0; r < s; r++)
        left[r] = dot(rest.data() + r * c, rest.data() + r * c, c);
    int got = 0;
    for (; got < k; got++) {
        int64_t far = std::max_element(left.begin(), left.end()) - left.begin();
        if (!(left[far] > 0))
            break;
        double *d = q.data() + got * c;
        std::copy(rest.begin() + far * c, rest.begin() + (far + 1) * c, d);
        if (orthonormalize(q, got + 1, c) < got + 1)
            break;
        for (int64_t r = 0; r < s; r++) {
            double *x = rest.data() + r * c;
            double f = dot(d, x, c);
            for (int64_t e = 0; e < c; e++)
                x[e] -= f * d[e];
            left[r] = dot(x, x, c);
        }
        left[far] = 0;
    }
    k = got;
    // Subspace iteration towards the principal axes: q <- orth(S^T S q).
    std::vector<double> y((size_t)(k * c));
    for (int round = 0; round < BOUND_ROUNDS && k >= 2; round++) {
        std::fill(y.begin(), y.end(), 0.0);
        for (int64_t r = 0; r < s; r++) {
            const double *x = sample.data() + r * c;
            for (int j = 0; j < k; j++) {
                double f = dot(q.data() + j * c, x, c);
                double *to = y.data() + j * c;
                for (int64_t e = 0; e < c; e++)
                    to[e] += f * x[e];
            }
        }
        int kept = orthonormalize(y, k, c);
        if (kept < 2)
            break;
        k = kept;
        std::copy(y.begin(), y.begin() + k * c, q.begin());
    }
    if (k < 2)
        return b;
    for (int i = 0; i < k; i++)
        for (int j = 0; j <= i; j++)
            if (std::fabs(dot(q.data() + i * c, q.data() + j * c, c) - (i == j)) > 1e-10)
                return b;
    // Every object's coordinates and slack, on the threads.
    b.k = k;
    const int per = BOUND_LANES / 4;
    b.at.assign((size_t)(n * per), Lanes{0, 0, 0, 0});
    b.slack.assign((size_t)n, INFINITY);
    const int64_t block = 1024;
    parallel_for(threads, 0, (n + block - 1) / block, 1, [&](int64_t t) {
        std::vector<double> x((size_t)c);
        for (int64_t i = t * block; i < std::min(n, (t + 1) * block); i++) {
            if (!finite[i])
                continue;
            for (int64_t e = 0; e < c; e++)
                x[e] = as_double(data[i * c + e]) - centre[e];
            double far = std::sqrt(dot(x.data(), x.data(), c));
            if (!(far <= BOUND_FARTHEST))
                continue;
            float *to = (float *)(b.at.data() + i * per);
            for (int j = 0; j < k; j++)
                to[j] = (float)dot(q.data() + j * c, x.data(), c);
            b.slack[i] = (float)(BOUND_SLACK * far + BOUND_TINY);
        }
    });
    return b;
}

// The squared distance of two objects' coordinates, in float.
inline float bound_squared(const Lanes *u, const Lanes *v)
{
    Lanes sum = {0, 0, 0, 0};
    for (int j = 0; j < BOUND_LANES / 4; j++) {
        Lanes d = u[j] - v[j];
        sum += d * d;
    }
    return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

template <class T> bool euclidean_measure(Distance<T> *m)
{
    return m && dynamic_cast<DistanceEuclidean<T> *>(m) != nullptr;
}

// The tasks of one Prim step at a time, handed to a team that stays up for
// all steps.  A step takes a millisecond or less, and a team that met at a
// barrier after each one waited, on a machine busy with other work, for a
// thread the system had put aside: a whole time slice per step, the run
// many times slower than on one thread.  Here a thread takes the next task
// of the step that is open, if any, and the main thread waits only for the
// tasks that others took; a thread that comes late finds them all taken.
//
// `open_` holds the step's number (high 32 bits) and how many of its tasks
// are still to be taken (low 32 bits): taking one is a compare-and-swap of
// both, so a thread never takes a task of a step that has been closed.  The
// step's other values are written before it is opened and not changed
// before `finished_` counts all its tasks.
class StepTeam {
  public:
    // Opens step `step` of `tasks` tasks.
    void open_step(uint32_t step, int64_t tasks)
    {
        finished_.store(0, std::memory_order_relaxed);
        open_.store((uint64_t)step << 32 | (uint64_t)tasks, std::memory_order_release);
    }
    // Takes a task of the open step: its index, or -1 when none is left.
    int64_t take()
    {
        uint64_t v = open_.load(std::memory_order_acquire);
        while ((v & 0xffffffffu) != 0)
            if (open_.compare_exchange_weak(v, v - 1, std::memory_order_acq_rel, std::memory_order_acquire))
                return (int64_t)(v & 0xffffffffu) - 1;
        return -1;
    }
    void finish() { finished_.fetch_add(1, std::memory_order_release); }
    // Waits until `tasks` tasks of the open step are finished.
    void wait_for(int64_t tasks)
    {
        for (int spins = 0; finished_.load(std::memory_order_acquire) < tasks; spins++)
            pause(spins);
    }
    void stop() { stop_.store(true, std::memory_order_release); }
    bool stopped() const { return stop_.load(std::memory_order_acquire); }
    // Between looks at shared state: a short spin, then the processor
    // given up to whatever else may run, and after a long wait (the last
    // steps, which the main thread makes alone) a sleep.
    static void pause(int spins)
    {
        if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else if (spins < 16384) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }

  private:
    std::atomic<uint64_t> open_{0};
    std::atomic<int64_t> finished_{0};
    std::atomic<bool> stop_{false};
};

// Prim's steps over n objects on `num_threads` threads: distance(v, xs, m,
// d) puts into d[i] the distance of outside object xs[i] to the new tree
// object v as the run computes it; `bounds`, where not null, spares the
// distances that cannot shorten a reach.  Appends the edges; counts the
// distances not finite, NaN, and computed; `progress` takes the steps' work
// so far.
template <class Pair, class Progress>
void prim_steps(int n, int num_threads, Pair distance, const Bounds *bounds, std::vector<dense_merge_t> &edges,
                int64_t &not_finite, int64_t &nan, int64_t &computed, Progress progress)
{
    // The outside objects in increasing order, so that a step reads their
    // rows as one stream; the one taken is marked (object -1) and the list
    // closed up once such marks are an eighth of it.
    std::vector<Outside> todo(n - 1);
    for (int k = 0; k < n - 1; k++)
        todo[k] = {k + 1, 0, INF};
    std::vector<StepBest> found((n - 1 + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK);
    const Lanes *coord = bounds ? bounds->at.data() : nullptr;
    const float *slack = bounds ? bounds->slack.data() : nullptr;
    const int per = BOUND_LANES / 4;
    // The open step's values, read by the team.
    int32_t current = 0;
    int64_t size = 0;
    Outside *o = nullptr;
    const Lanes *cv = nullptr;
    double slack_v = 0;
    auto task = [&](int64_t t) {
        StepBest best = {INF, INT32_MAX, -1, 0, 0, 0};
        int64_t k0 = t * LINEAR_STEP_CHUNK, k1 = std::min(size, k0 + LINEAR_STEP_CHUNK);
        // The chunk's objects whose distance is needed, then their
        // distances, several at a time.
        int32_t want[LINEAR_STEP_CHUNK], objects[LINEAR_STEP_CHUNK];
        double d[LINEAR_STEP_CHUNK];
        int m = 0;
        for (int64_t k = k0; k < k1; k++) {
            int32_t x = o[k].object;
            if (x < 0)
                continue;
            if (coord) {
                double reach = (o[k].reach + (double)slack[x] + slack_v) * (1 + BOUND_MARGIN);
                if ((double)bound_squared(coord + (int64_t)x * per, cv) >= reach * reach)
                    continue;
            }
            want[m] = (int32_t)(k - k0);
            objects[m++] = x;
        }
        distance(current, objects, m, d);
        best.computed = m;
        for (int i = 0; i < m; i++) {
            Outside &e = o[k0 + want[i]];
            if (!std::isfinite(d[i])) {
                best.not_finite++;
                best.nan += std::isnan(d[i]);
            }
            if (d[i] < e.reach) {
                e.reach = d[i];
                e.from = current;
            }
        }
        for (int64_t k = k0; k < k1; k++) {
            int32_t x = o[k].object;
            if (x < 0)
                continue;
            StepBest here = {o[k].reach, x, k, 0, 0, 0};
            if (before(here, best)) {
                best.reach = here.reach;
                best.object = x;
                best.at = k;
            }
        }
        found[t] = best;
    };
    StepTeam team;
    ThreadError error;
    std::atomic<bool> failed(false);
    auto steps = [&]() {
        int64_t gone = 0;
        double done = 0;
        uint32_t step = 0;
        for (int64_t left = n - 1; left > 0; left--) {
            if (gone > 0 && gone * 8 >= (int64_t)todo.size()) {
                todo.erase(std::remove_if(todo.begin(), todo.end(), [](const Outside &e) { return e.object < 0; }),
                           todo.end());
                gone = 0;
            }
            size = (int64_t)todo.size();
            o = todo.data();
            cv = coord ? coord + (int64_t)current * per : nullptr;
            slack_v = slack ? (double)slack[current] : 0;
            int64_t tasks = (size + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK;
            if (num_threads > 1 && left >= LINEAR_PARALLEL_LEAST) {
                team.open_step(++step, tasks);
                for (int64_t t; (t = team.take()) >= 0; team.finish())
                    task(t);
                team.wait_for(tasks);
                if (failed)
                    return;
            } else {
                for (int64_t t = 0; t < tasks; t++)
                    task(t);
            }
            StepBest best = found[0];
            for (int64_t t = 1; t < tasks; t++) {
                best.not_finite += found[t].not_finite;
                best.nan += found[t].nan;
                best.computed += found[t].computed;
                if (before(found[t], best)) {
                    best.reach = found[t].reach;
                    best.object = found[t].object;
                    best.at = found[t].at;
                }
            }
            not_finite += best.not_finite;
            nan += best.nan;
            computed += best.computed;
            Outside &taken = todo[best.at];
            edges.push_back({taken.from, taken.object, taken.reach});
            current = taken.object;
            taken.object = -1;
            gone++;
            done += (double)left;
            progress(done);
        }
    };
    // The team is only worth starting where some step is shared.  A task
    // that throws (a measure's scratch space it could not grow) ends the
    // steps after its own; the first exception is thrown again here.
    int threads = n - 1 >= LINEAR_PARALLEL_LEAST ? num_threads : 1;
#pragma omp parallel num_threads(threads) if (threads > 1)
    {
        if (on_main_thread()) {
            try {
                steps();
            } catch (...) {
                error.keep();
            }
            team.stop();
        } else {
            for (int spins = 0; !team.stopped();) {
                int64_t t = team.take();
                if (t < 0) {
                    StepTeam::pause(spins++);
                    continue;
                }
                spins = 0;
                try {
                    task(t);
                } catch (...) {
                    error.keep();
                    failed = true;
                }
                team.finish();
            }
        }
    }
    error.rethrow();
}

// The euclidean distance of rows x and v, the lower object first, as
// calc_distance gives it.
// The distances of objects xs[0..m) to the new tree object v, one by one
// as `one` (x, v) gives them.
template <class One> struct OneByOne {
    One one;
    void operator()(int32_t v, const int32_t *xs, int m, double *out) const
    {
        for (int i = 0; i < m; i++)
            out[i] = one(xs[i], v);
    }
};

// The euclidean sum of the measure (euclidean_distance), four distances at
// a time, for processors with AVX2: lane r of a pair's vector holds its
// partial sum s_r, and the four pairs' vectors are independent, so the
// additions of one do not wait for another's.  AVX2 brings no fused
// multiply-add, so every product rounds before it is added; a difference
// and its negation have the same square.  The bits are the sum's.
#if defined(__x86_64__) && defined(__GNUC__)
#define ROW_SUMS_AVX2 1
typedef double Wide __attribute__((vector_size(4 * sizeof(double))));

template <class T> __attribute__((target("avx2"), always_inline)) inline Wide wide_at(const T *x)
{
    return Wide{as_double(x[0]), as_double(x[1]), as_double(x[2]), as_double(x[3])};
}

template <class T>
__attribute__((target("avx2"), always_inline)) inline double wide_end(Wide sum, const T *x, const T *y, int k, int c)
{
    double s = (sum[0] + sum[1]) + (sum[2] + sum[3]);
    for (; k < c; k++) {
        double d = as_double(x[k]) - as_double(y[k]);
        s += d * d;
    }
    return std::sqrt(s);
}

template <class T>
__attribute__((target("avx2"), noinline)) void euclidean4_avx2(const T *v, const T *const *u, int c, double *out)
{
    Wide s0 = {0, 0, 0, 0}, s1 = s0, s2 = s0, s3 = s0;
    int k = 0;
    for (; k + 4 <= c; k += 4) {
        Wide a = wide_at(v + k);
        Wide d0 = a - wide_at(u[0] + k), d1 = a - wide_at(u[1] + k);
        Wide d2 = a - wide_at(u[2] + k), d3 = a - wide_at(u[3] + k);
        s0 += d0 * d0;
        s1 += d1 * d1;
        s2 += d2 * d2;
        s3 += d3 * d3;
    }
    out[0] = wide_end(s0, v, u[0], k, c);
    out[1] = wide_end(s1, v, u[1], k, c);
    out[2] = wide_end(s2, v, u[2], k, c);
    out[3] = wide_end(s3, v, u[3], k, c);
}
bool has_avx2() { return __builtin_cpu_supports("avx2"); }
#else
bool has_avx2() { return false; }
#endif

template <class T> struct RowDistance {
    const T *rows;
    int64_t c;
    bool avx2;
    void operator()(int32_t v, const int32_t *xs, int m, double *out) const
    {
        const T *rv = rows + v * c;
        int i = 0;
#ifdef ROW_SUMS_AVX2
        if (avx2)
            for (; i + 4 <= m; i += 4) {
                const T *u[4] = {rows + xs[i] * c, rows + xs[i + 1] * c, rows + xs[i + 2] * c, rows + xs[i + 3] * c};
                euclidean4_avx2(rv, u, (int)c, out + i);
            }
#endif
        for (; i < m; i++)
            out[i] = euclidean_distance(rv, rows + xs[i] * c, (int)c);
    }
};

template <class T>
void prim_rows(const T *rows, int64_t n, int64_t c, int threads, std::vector<dense_merge_t> &edges,
               int64_t &not_finite, int64_t &nan, int64_t &computed, const std::function<void(double)> &progress)
{
    Bounds b = make_bounds(rows, n, c, threads);
    prim_steps((int)n, threads, RowDistance<T>{rows, c, has_avx2()}, b.k ? &b : nullptr, edges, not_finite, nan, computed,
               progress);
}

} // namespace

std::vector<dense_merge_t> Run::linear_mst(int64_t &not_finite, int64_t &nan)
{
    not_finite = nan = linear_pairs_computed = 0;
    int n = object_count;
    std::vector<dense_merge_t> edges;
    if (n < 2)
        return edges;
    edges.reserve(n - 1);
    // Euclidean rows without missing values compared pair by pair: the
    // distance inlined, and bounds that spare most of them.
    bool plain = !rows_with_missing;
    std::function<void(double)> progress = [this](double done) { progress_batch(done); };
    int64_t c = row_length;
    if (plain && type == TYPE_CHAR && euclidean_measure(measure_char))
        prim_rows(data_char, n, c, num_threads, edges, not_finite, nan, linear_pairs_computed, progress);
    else if (plain && type == TYPE_INT && euclidean_measure(measure_int))
        prim_rows(data_int, n, c, num_threads, edges, not_finite, nan, linear_pairs_computed, progress);
    else if (plain && type == TYPE_FLOAT && euclidean_measure(measure_float))
        prim_rows(data_float, n, c, num_threads, edges, not_finite, nan, linear_pairs_computed, progress);
    else if (plain && type == TYPE_DOUBLE && euclidean_measure(measure_double))
        prim_rows(data_double, n, c, num_threads, edges, not_finite, nan, linear_pairs_computed, progress);
    else {
        auto one = [this](int32_t x, int32_t v) { return x < v ? calc_distance(x, v) : calc_distance(v, x); };
        prim_steps(n, num_threads, OneByOne<decltype(one)>{one}, nullptr, edges, not_finite, nan,
                   linear_pairs_computed, progress);
    }
    return edges;
}

int64_t Run::rows_not_finite()
{
    int64_t c = row_length, bad = 0;
    for (int64_t i = 0; i < object_count; i++) {
        bool finite = true;
        for (int64_t k = 0; k < c && finite; k++) {
            double v = type == TYPE_FLOAT ? data_float[i * c + k] : type == TYPE_DOUBLE ? data_double[i * c + k] : 0;
            finite = std::isfinite(v);
        }
        bad += !finite;
    }
    return bad;
}

std::vector<double> Run::rows_as_centroids()
{
    int64_t elements = (int64_t)object_count * row_length;
    std::vector<double> centroid((size_t)elements);
    switch (type) {
    case TYPE_CHAR:
        rows_into(data_char, elements, centroid.data());
        break;
    case TYPE_INT:
        rows_into(data_int, elements, centroid.data());
        break;
    case TYPE_FLOAT:
        rows_into(data_float, elements, centroid.data());
        break;
    default:
        rows_into(data_double, elements, centroid.data());
    }
    return centroid;
}

std::vector<dense_merge_t> Run::linear_ward()
{
    int n = object_count;
    int64_t c = row_length;
    std::vector<dense_merge_t> merges;
    if (n < 2)
        return merges;
    merges.reserve(n - 1);
    std::vector<double> centroid = rows_as_centroids();
    std::vector<double> size(n, 1);
    // The height of the last merge into each slot (squared): a merge is
    // never put below its children, as in the dense engine's chain.
    std::vector<double> below(n, -INF);
    // The slots of the live clusters in increasing order.
    std::vector<int32_t> live(n);
    for (int i = 0; i < n; i++)
        live[i] = i;
    std::vector<int32_t> chain;
    chain.reserve(n);
    std::vector<ChainBest> found((n + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK);
    const double *cen = centroid.data();
    // The nearest live cluster of slot a other than a, the first of equal
    // ones in slot order; on the threads where the live clusters are many.
    auto nearest = [&](int32_t a) {
        int64_t count = (int64_t)live.size();
        int64_t tasks = (count + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK;
        int threads = count < LINEAR_PARALLEL_LEAST ? 1 : num_threads;
        const int32_t *slots = live.data();
        const double *ca = cen + a * c;
        double na = size[a];
        parallel_for(threads, 0, tasks, 1, [&](int64_t t) {
            ChainBest best = {INF, -1};
            int64_t k1 = std::min(count, (t + 1) * LINEAR_STEP_CHUNK);
            for (int64_t k = t * LINEAR_STEP_CHUNK; k < k1; k++) {
                int32_t x = slots[k];
                if (x == a)
                    continue;
                double v = ward_value(ca, cen + x * c, c, na, size[x]);
                if (v < best.value || best.slot < 0) {
                    best.value = v;
                    best.slot = x;
                }
            }
            found[t] = best;
        });
        ChainBest best = {INF, -1};
        for (int64_t t = 0; t < tasks; t++)
            if (found[t].slot >= 0 && (best.slot < 0 || found[t].value < best.value))
                best = found[t];
        return best;
    };
    double done = 0;
    for (int merged = 0; merged < n - 1; merged++) {
        if (chain.empty())
            chain.push_back(live[0]);
        int32_t a, b;
        double best;
        for (;;) {
            a = chain.back();
            b = chain.size() >= 2 ? chain[chain.size() - 2] : -1;
            ChainBest near = nearest(a);
            done += (double)live.size();
            progress_batch(done);
            // The chain's previous cluster wins ties, so that the chain ends
            // at a reciprocal pair.
            best = near.value;
            if (b >= 0) {
                double vb = ward_value(cen + a * c, cen + b * c, c, size[a], size[b]);
                if (vb <= best) {
                    best = vb;
                    near.slot = b;
                }
            }
            if (near.slot == b)
                break;
            chain.push_back(near.slot);
        }
        chain.pop_back();
        chain.pop_back();
        // The merged cluster takes the later slot s; the earlier slot t dies.
        int32_t t = std::min(a, b), s = std::max(a, b);
        double nt = size[t], ns = size[s];
        double *cs = centroid.data() + s * c;
        const double *ct = cen + t * c;
        for (int64_t k = 0; k < c; k++)
            cs[k] = (nt * ct[k] + ns * cs[k]) / (nt + ns);
        size[s] = nt + ns;
        double height = std::max(best, std::max(below[t], below[s]));
        below[s] = height;
        merges.push_back({t, s, height});
        live.erase(std::lower_bound(live.begin(), live.end(), t));
    }
    for (dense_merge_t &m : merges)
        m.height = centroid_height(m.height);
    return merges;
}

std::vector<dense_merge_t> Run::linear_generic()
{
    int n = object_count;
    int64_t c = row_length;
    bool median = settings.linkage == LINKAGE_MEDIAN;
    std::vector<dense_merge_t> merges;
    if (n < 2)
        return merges;
    merges.reserve(n - 1);
    std::vector<double> centroid = rows_as_centroids();
    double *cen = centroid.data();
    std::vector<double> size(n, 1);
    // The slots of the live clusters in increasing order.
    std::vector<int32_t> live(n);
    for (int i = 0; i < n; i++)
        live[i] = i;
    // For every live slot but the last: a live slot after it (nearest) and a
    // lower bound of its squared distance to every live slot after it
    // (mindist), exact when it equals the distance to `nearest`; the queue
    // hands out the least bound, so an exact one at the top is the closest
    // pair of all.  Slot n-1 is never merged away: a merge keeps the later
    // of its slots.
    std::vector<int32_t> nearest(n, -1);
    std::vector<double> mindist(n, INF);
    // The squared distances of the live clusters to the one just merged, by
    // their place in `live`.
    std::vector<double> to_merged(n);
    std::vector<ChainBest> found((n + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK);
    double done = 0;
    double work = 3.0 * all_pairs(n);
    // The nearest live slot after slot x, the first of equal ones in slot
    // order; on the threads where the slots after x are many.
    auto scan = [&](int32_t x) {
        int64_t from = std::upper_bound(live.begin(), live.end(), x) - live.begin();
        int64_t count = (int64_t)live.size() - from;
        int64_t tasks = (count + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK;
        int threads = count < LINEAR_PARALLEL_LEAST ? 1 : num_threads;
        const int32_t *slots = live.data() + from;
        const double *cx = cen + x * c;
        parallel_for(threads, 0, tasks, 1, [&](int64_t t) {
            ChainBest best = {INF, -1};
            int64_t k1 = std::min(count, (t + 1) * LINEAR_STEP_CHUNK);
            for (int64_t k = t * LINEAR_STEP_CHUNK; k < k1; k++) {
                double v = squared_distance(cx, cen + slots[k] * c, c);
                if (v < best.value || best.slot < 0)
                    best = {v, slots[k]};
            }
            found[t] = best;
        });
        ChainBest best = {INF, -1};
        for (int64_t t = 0; t < tasks; t++)
            if (best.slot < 0 || found[t].value < best.value)
                best = found[t];
        nearest[x] = best.slot;
        mindist[x] = best.value;
        done += (double)count;
    };
    // The first scans, one slot per task (a row of the triangle), in blocks
    // of slots between which the progress shows.
    for (int64_t x0 = 0; x0 < n - 1; x0 += LINEAR_FIRST_SCAN_BLOCK) {
        int64_t x1 = std::min<int64_t>(n - 1, x0 + LINEAR_FIRST_SCAN_BLOCK);
        parallel_for(num_threads, x0, x1, 1, [&](int64_t x) {
            ChainBest best = {INF, -1};
            const double *cx = cen + x * c;
            for (int32_t y = (int32_t)x + 1; y < n; y++) {
                double v = squared_distance(cx, cen + y * c, c);
                if (v < best.value || best.slot < 0)
                    best = {v, y};
            }
            nearest[x] = best.slot;
            mindist[x] = best.value;
        });
        done += (double)(x1 - x0) * (double)(2 * n - x0 - x1 - 1) / 2;
        progress_batch(done);
    }
    SlotHeap queue(mindist.data(), n - 1, n);
    for (int merged = 0; merged < n - 1; merged++) {
        int32_t a = queue.top();
        int32_t b = nearest[a];
        while (mindist[a] != squared_distance(cen + a * c, cen + b * c, c)) {
            scan(a);
            queue.update(a);
            a = queue.top();
            b = nearest[a];
        }
        double dab = mindist[a];
        queue.pop();
        merges.push_back({a, b, dab});
        // The merged cluster takes slot b (after a); slot a dies.
        double na = size[a], nb = size[b];
        const double *ca = cen + a * c;
        double *cb = cen + b * c;
        for (int64_t k = 0; k < c; k++)
            cb[k] = median ? merged_median(ca[k], cb[k]) : merged_centroid(ca[k], na, cb[k], nb);
        size[b] = na + nb;
        live.erase(std::lower_bound(live.begin(), live.end(), a));
        // Every live cluster's distance to the merged one, on the threads.
        int64_t count = (int64_t)live.size();
        int64_t b_at = std::lower_bound(live.begin(), live.end(), b) - live.begin();
        int64_t tasks = (count + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK;
        int threads = count < LINEAR_PARALLEL_LEAST ? 1 : num_threads;
        const int32_t *slots = live.data();
        double *to = to_merged.data();
        parallel_for(threads, 0, tasks, 1, [&](int64_t t) {
            int64_t k1 = std::min(count, (t + 1) * LINEAR_STEP_CHUNK);
            for (int64_t k = t * LINEAR_STEP_CHUNK; k < k1; k++)
                to[k] = squared_distance(cb, cen + slots[k] * c, c);
        });
        // Bounds stay bounds: those that pointed at a point at b now, and
        // those that b came closer to go down to it.  A bound that b moved
        // away from is found out when it comes to the top.
        for (int64_t k = 0; k < b_at; k++) {
            int32_t x = slots[k];
            if (nearest[x] == a)
                nearest[x] = b;
            if (to[k] < mindist[x]) {
                nearest[x] = b;
                mindist[x] = to[k];
                queue.update(x);
            }
        }
        // Slot b's own bound: its nearest after it, the first of equal ones.
        if (b < n - 1) {
            ChainBest best = {INF, -1};
            for (int64_t k = b_at + 1; k < count; k++)
                if (to[k] < best.value || best.slot < 0)
                    best = {to[k], slots[k]};
            nearest[b] = best.slot;
            mindist[b] = best.value;
            queue.update(b);
        }
        done += (double)count;
        progress_batch(std::min(done, work));
    }
    for (dense_merge_t &m : merges)
        m.height = centroid_height(m.height);
    return merges;
}

void Run::linear_cluster()
{
    bool ward = settings.linkage == LINKAGE_WARD;
    // Centroid and median linkage have inversions: their merges are written
    // in the order they were made, not sorted by height.
    bool generic = settings.linkage == LINKAGE_CENTROID || settings.linkage == LINKAGE_MEDIAN;
    int64_t not_finite = 0, nan = 0;
    if (ward || generic) {
        // A row with an element that is not finite makes each of its
        // distances NaN or infinite, and its centroid's with them.
        int64_t bad = rows_not_finite();
        not_finite = bad * (object_count - bad) + all_pairs((int)bad);
    }
    std::vector<dense_merge_t> merges;
    if (not_finite == 0) {
        // The chain makes at most 3N searches (a push or a merge each), over
        // the live clusters: the bound of its work.
        // The generic algorithm makes the first scans (N^2/2), one pass over
        // the live clusters per merge (about as many) and its scans again of
        // stale bounds, which it reports up to this bound.
        double work = (ward || generic ? 3.0 : 1.0) * all_pairs(object_count);
        progress_begin("Running hierarchical clustering...", 0, work);
        merges = ward ? linear_ward() : generic ? linear_generic() : linear_mst(not_finite, nan);
        progress_end();
    }
    if (not_finite > 0) {
        // The refusal ends the line that opened the phase.
        run_sink->text("\n");
        refuse_not_finite(not_finite, skip_pairs_without_distance ? nan : 0);
    }
    dense_dendrogram(std::move(merges), !generic);
    permute(2 * object_count - 2, 0);
}
