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

// The running minimum, sum and maximum of one merge's known distances.
struct Tally {
    int64_t pairs = 0;
    double min = INF;
    double sum = 0;
    double max = -INF;

    void add(double d)
    {
        pairs++;
        sum += d;
        if (d < min)
            min = d;
        if (d > max)
            max = d;
    }
};

merge_quality_t merge_of(int n, double merge_distance, int left_size, int right_size, const Tally &t)
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
    return q;
}

} // namespace

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
    // The tally of merge `open` takes its `left` remaining pairs; merges
    // without pairs are never open.
    int open = object_count - 1;
    int64_t left = 0;
    Tally t;
    auto take = [&](const std::vector<PairSlot> &batch) {
        for (const PairSlot &s : batch) {
            while (left == 0) {
                open++;
                int a1, a2, b1, b2;
                child_range(leftnode[open], a1, a2);
                child_range(rightnode[open], b1, b2);
                left = (int64_t)(a2 - a1 + 1) * (b2 - b1 + 1);
                t = Tally();
            }
            if (!std::isnan(s.value))
                t.add(s.value);
            if (--left == 0) {
                int a1, a2, b1, b2;
                child_range(leftnode[open], a1, a2);
                child_range(rightnode[open], b1, b2);
                merges.push_back(merge_of(open, dst[open], a2 - a1 + 1, b2 - b1 + 1, t));
            }
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
                    t.add(g.value[k]);
            }
        }
        merges.push_back(merge_of(n, dst[n], l2 - l1 + 1, r2 - r1 + 1, t));
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
