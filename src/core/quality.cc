// The clustering quality pass of brivane: the true minimum, average and
// maximum distance across the two children of every merge, from the run's
// own distance source (Run::measure_merges).  The quality file is
// quality_file.cc's.
//
// After permute the children of merge n cover adjacent ranges of leaf
// positions: a leaf child is its own position, an internal child c covers
// start[c] ... end[c].  The pairs across the children are then the pairs of
// positions (p, q) with p in the left range and q in the right one, and over
// all merges they are every pair of objects exactly once, so the pass needs
// no walk of the tree at all.  For a data matrix or a distance matrix that is
// N(N-1)/2 distances; for a distance list only the given pairs count, and
// each merge looks only at the pairs of the objects of its smaller child:
// an object is on the smaller side at most log2(N) times, so the list costs
// O(M log N).
//
// The linkages beyond the three need a little more per pair, all of it kept
// per merge in one pass: weighted linkage (McQuitty's) is the mean of the
// halves' values, recursively, which is the mean over the pairs with each
// object weighted 2^-depth below its child; Ward, centroid and median
// linkage are distances between centroids, which the squared distances
// give: across clusters A and B,
//   mean d^2(a, b) = ||c_A - c_B||^2 + W_A/|A| + W_B/|B|,
// W the sum of squared distances to the centroid, which grows by Ward's
// increase at each merge; the median's points (the midpoints of the halves)
// follow the same identity with the weights 2^-depth and their own spread
// V, which a merge halves and adds a quarter of the squared distance of
// the halves' points to.  That is the Lance-Williams recurrence of these
// linkages in closed form, so a distance matrix gets them too, and no
// centroid is kept: only the two spreads and a depth per cluster.
#include "quality.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "element.h"
#include "pair_stream.h"
#include "refuse.h"
#include "run.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

} // namespace

// The range of leaf positions a child covers, as leftnode/rightnode give the
// child after permute.
void Run::child_range(int child, int &first, int &last)
{
    if (child < object_count) {
        first = last = child;
    } else {
        first = start[child];
        last = end[child];
    }
}

namespace {

// The running minimum, sum and maximum of one merge's known distances, the
// sum of their squares, and both sums again with each pair's weight w (the
// product of its objects' 2^-depth within their children).
struct Tally {
    int64_t pairs = 0;
    double min = INF;
    double sum = 0;
    double max = -INF;
    double squares = 0;
    double weights = 0;
    double weighted = 0;
    double weighted_squares = 0;

    void add(double d, double w)
    {
        pairs++;
        sum += d;
        if (d < min)
            min = d;
        if (d > max)
            max = d;
        squares += d * d;
        weights += w;
        weighted += w * d;
        weighted_squares += w * d * d;
    }
};

// The tree's depths: of each merge node below the root (by node number)
// and of each leaf (by position), the root at 0; a child is one below its
// parent.  An object's weight within a child of merge n is then
// 2^-(its depth - depth of n - 1).
struct Depths {
    std::vector<int32_t> node, leaf;

    Depths(int n, const int32_t *left, const int32_t *right) : node(n > 0 ? 2 * n - 1 : 0, 0), leaf(n, 0)
    {
        for (int m = 2 * n - 2; m >= n; m--)
            for (int32_t child : {left[m], right[m]})
                (child < n ? leaf[child] : node[child]) = node[m] + 1;
    }

    // The weight of the pair of leaf positions p and q across merge m.
    double weight(int m, int p, int q) const
    {
        return std::ldexp(1.0, 2 * (node[m] + 1) - leaf[p] - leaf[q]);
    }
};

// The spread of every cluster about its points, worked out merge by merge
// as the pass finishes them, by child number (a leaf position, or a merge
// node), a leaf's 0: the sum of squared distances to the centroid
// (`within`), and the weighted one to the median's point (`median`).
struct Spreads {
    std::vector<double> within, median;
    explicit Spreads(int n) : within(n > 0 ? 2 * n - 1 : 0, 0), median(within) {}
};

// The height of a linkage defined on squared euclidean distances, as the
// engines report it: a value below zero (distances that are not those of
// points, or rounding) is height 0.
double height_of(double squared)
{
    return std::isnan(squared) ? NaN : squared > 0 ? std::sqrt(squared) : 0;
}

// Merge n of children `left` and `right` (child numbers), from its tally;
// the spreads of the children are known, n's are added.
merge_quality_t merge_of(int n, double merge_distance, int left, int right, int left_size, int right_size,
                         const Tally &t, int linkage, Spreads &spreads)
{
    merge_quality_t q;
    q.node = n;
    q.left_size = left_size;
    q.right_size = right_size;
    q.merge_distance = merge_distance;
    q.pairs = t.pairs;
    q.min = t.pairs ? t.min : NaN;
    q.average = t.pairs ? t.sum / t.pairs : NaN;
    q.max = t.pairs ? t.max : NaN;
    double na = left_size, nb = right_size;
    // The centroids' identities need every pair across the children.
    bool every = t.pairs == (int64_t)left_size * right_size;
    double centroids = every ? t.squares / (na * nb) - spreads.within[left] / na - spreads.within[right] / nb : NaN;
    double medians = every ? t.weighted_squares / t.weights - spreads.median[left] - spreads.median[right] : NaN;
    q.ward_increase = na * nb / (na + nb) * centroids;
    spreads.within[n] = spreads.within[left] + spreads.within[right] + q.ward_increase;
    spreads.median[n] = (spreads.median[left] + spreads.median[right]) / 2 + medians / 4;
    switch (linkage) {
    case LINKAGE_WEIGHTED:
        q.linkage_value = t.pairs ? t.weighted / t.weights : NaN;
        break;
    case LINKAGE_WARD:
        q.linkage_value = height_of(2 * q.ward_increase);
        break;
    case LINKAGE_CENTROID:
        q.linkage_value = height_of(centroids);
        break;
    case LINKAGE_MEDIAN:
        q.linkage_value = height_of(medians);
        break;
    default:
        q.linkage_value = NaN;
    }
    return q;
}

} // namespace

quality_extras_t quality_extras(const EngineSettings &settings, bool euclidean)
{
    quality_extras_t extras;
    int linkage = settings.linkage;
    if (linkage == LINKAGE_WEIGHTED || centroid_linkage(linkage))
        extras.linkage = linkage;
    bool points = settings.cluster == CLUSTER_DISTMAT ? centroid_linkage(linkage)
                                                      : euclidean && settings.missing != MISSING_PAIRWISE;
    extras.ward_cost = points && settings.cluster != CLUSTER_DISTLIST;
    return extras;
}

// Entry k of the loaded distance matrix or list, by the input's element type.
double Run::given_value_of(int64_t k)
{
    switch (type) {
    case TYPE_CHAR:
        return data_char[k];
    case TYPE_INT:
        return data_int[k];
    case TYPE_FLOAT:
        return data_float[k];
    case TYPE_DOUBLE:
        return data_double[k];
    default:
        return NaN;
    }
}

// Every merge over every pair across its children; `distance(a, b)` gives the
// true distance of objects a < b, NaN when it is unknown.  The distances are
// computed on the worker threads and tallied on the main thread in the order
// of a single thread, so that the sums come out the same for any number of
// threads.
template <class F> std::vector<merge_quality_t> Run::measure_all_pairs(F distance)
{
    std::vector<merge_quality_t> merges;
    // The walk over the pairs of the stream: merge n, left position p, right
    // position q.
    int n = object_count - 1, l1 = 0, l2 = -1, r1 = 0, r2 = -1, p = 0, q = 0;
    auto next = [&](PairSlot &s) {
        while (p > l2) {
            if (++n >= 2 * object_count - 1)
                return false;
            child_range(leftnode[n], l1, l2);
            child_range(rightnode[n], r1, r2);
            p = l1;
            q = r1;
        }
        int a = new2old[p], b = new2old[q];
        s.i = std::min(a, b);
        s.j = std::max(a, b);
        if (++q > r2) {
            q = r1;
            p++;
        }
        return true;
    };
    // The tally of merge `open` takes its `left` remaining pairs, in the
    // stream's order: left position tp, right position tq.
    Depths depths(object_count, leftnode, rightnode);
    Spreads spreads(object_count);
    int open = object_count - 1;
    int64_t left = 0;
    int a1 = 0, a2 = -1, b1 = 0, b2 = -1, tp = 0, tq = 0;
    Tally t;
    auto take = [&](const std::vector<PairSlot> &batch) {
        for (const PairSlot &s : batch) {
            while (left == 0) {
                open++;
                child_range(leftnode[open], a1, a2);
                child_range(rightnode[open], b1, b2);
                left = (int64_t)(a2 - a1 + 1) * (b2 - b1 + 1);
                tp = a1;
                tq = b1;
                t = Tally();
            }
            if (!std::isnan(s.value))
                t.add(s.value, depths.weight(open, tp, tq));
            if (++tq > b2) {
                tq = b1;
                tp++;
            }
            if (--left == 0)
                merges.push_back(merge_of(open, dst[open], leftnode[open], rightnode[open], a2 - a1 + 1,
                                          b2 - b1 + 1, t, settings.linkage, spreads));
        }
    };
    pair_stream(num_threads, next, distance, take);
    return merges;
}

// The given pairs of a distance list as the run keeps them (no self pairs,
// no NaN or infinite values, the first entry of a pair wins), per object in
// both directions: the pairs of object o are entries first[o] ...
// first[o+1]-1 of other and value.
struct Run::GivenPairs {
    std::vector<int64_t> first;
    std::vector<int32_t> other;
    std::vector<double> value;
};

Run::GivenPairs Run::given_pairs()
{
    std::vector<int32_t> from, to;
    std::vector<double> values;
    std::unordered_set<int64_t> seen;
    seen.reserve(list_entries);
    for (int k = 0; k < list_entries; k++) {
        int a = distfrom[k], b = distto[k];
        double v = given_value_of(k);
        if (a == b || !std::isfinite(v))
            continue;
        int64_t key = a < b ? (int64_t)a * object_count + b : (int64_t)b * object_count + a;
        if (!seen.insert(key).second)
            continue;
        from.push_back(a);
        to.push_back(b);
        values.push_back(v);
    }
    GivenPairs g;
    g.first.assign((size_t)object_count + 1, 0);
    for (size_t k = 0; k < from.size(); k++) {
        g.first[from[k] + 1]++;
        g.first[to[k] + 1]++;
    }
    for (int o = 0; o < object_count; o++)
        g.first[o + 1] += g.first[o];
    g.other.resize(2 * from.size());
    g.value.resize(2 * from.size());
    std::vector<int64_t> fill(g.first.begin(), g.first.end() - 1);
    for (size_t k = 0; k < from.size(); k++) {
        g.other[fill[from[k]]] = to[k];
        g.value[fill[from[k]]++] = values[k];
        g.other[fill[to[k]]] = from[k];
        g.value[fill[to[k]]++] = values[k];
    }
    return g;
}

std::vector<merge_quality_t> Run::measure_given_pairs()
{
    GivenPairs g = given_pairs();
    Depths depths(object_count, leftnode, rightnode);
    Spreads spreads(object_count);
    std::vector<merge_quality_t> merges;
    for (int n = object_count; n < 2 * object_count - 1; n++) {
        int l1, l2, r1, r2;
        child_range(leftnode[n], l1, l2);
        child_range(rightnode[n], r1, r2);
        // The pairs of the smaller child's objects that reach into the other.
        int s1 = l1, s2 = l2, o1 = r1, o2 = r2;
        if (l2 - l1 > r2 - r1) {
            s1 = r1, s2 = r2, o1 = l1, o2 = l2;
        }
        Tally t;
        for (int p = s1; p <= s2; p++) {
            int a = new2old[p];
            for (int64_t k = g.first[a]; k < g.first[a + 1]; k++) {
                int q = old2new[g.other[k]];
                if (q >= o1 && q <= o2)
                    t.add(g.value[k], depths.weight(n, p, q));
            }
        }
        merges.push_back(merge_of(n, dst[n], leftnode[n], rightnode[n], l2 - l1 + 1, r2 - r1 + 1, t,
                                  settings.linkage, spreads));
    }
    return merges;
}

std::vector<merge_quality_t> Run::measure_merges()
{
    switch (settings.cluster) {
    case CLUSTER_DISTMAT:
        return measure_all_pairs([this](int a, int b) {
            double d = given_value_of((int64_t)a * object_count + b);
            return std::isfinite(d) ? d : NaN;
        });
    case CLUSTER_DISTLIST:
        return measure_given_pairs();
    default:
        return measure_all_pairs([this](int a, int b) { return calc_distance(a, b); });
    }
}
