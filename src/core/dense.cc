// The exact dense clustering engine of brivane.
//
// What lives here, in file order:
//   - the condensed matrix and its filling: every pair computed as the
//     store computes it (rows in tiles, on the worker threads), or copied
//     from a distance matrix read in row blocks, its fill cells missing
//     (dense_fill_measure, dense_fill_given);
//   - single linkage by Prim's minimum spanning tree algorithm, O(N^2) time
//     and O(N) extra memory (dense_mst);
//   - average, complete, weighted (McQuitty) and Ward linkage by the
//     nearest-neighbour chain (Benzecri 1982, Juan 1982; in the form of
//     Muellner, "Modern hierarchical, agglomerative clustering algorithms",
//     2011), with the Lance-Williams update rules applied in place, O(N^2)
//     time (dense_nn_chain);
//   - centroid and median linkage by Muellner's generic algorithm (same
//     paper): each cluster's nearest later cluster kept as a lower bound in
//     a priority queue, checked when it comes to the top; O(N^2 log N) time
//     in practice (dense_generic).  The chain would be wrong for them: a
//     merge can come closer to a third cluster than either half was, so a
//     reciprocal pair need not be the closest;
//   - the merges turned into the dendrogram arrays of the store engine, so
//     that the same output code writes both (dense_dendrogram).
//
// All three algorithms are exact: their merges are those of the greedy
// algorithm that always joins the closest pair, which the store engine runs;
// only the order in which equal distances are merged may differ.  Ward,
// centroid and median work on squared euclidean distances, where their
// updates are exact, and report the square root as the height, as SciPy
// does.
#include "dense.h"

#include <algorithm>
#include <functional>
#include <cmath>
#include <limits>
#include <numeric>

#include "element.h"
#include "run.h"
#include "slot_heap.h"
#include "threads.h"


namespace {

const double INF = std::numeric_limits<double>::infinity();

// The block buffer of a distance matrix read from the file holds about this
// many bytes (at least one row).
const int64_t BLOCK_BYTES = 4 << 20;

// Tiles of the measure fill: a block of TILE_ROWS rows meets TILE_COLS
// rows at a time, so that both stay in the cache while their pairs are
// computed.
const int64_t TILE_ROWS = 16;
const int64_t TILE_COLS = 64;

int64_t pairs_of(int n)
{
    return n < 2 ? 0 : (int64_t)n * (n - 1) / 2;
}

// Entry of d(i, j), i < j, as the row start of i plus j.
std::vector<int64_t> row_offsets(int n)
{
    std::vector<int64_t> at(n > 0 ? n : 1);
    for (int64_t i = 0; i < n; i++)
        at[i] = dense_index(n, i, 0);
    return at;
}

// Every pair of the N objects, tile by tile on the threads, each by
// calc_distance: the store's own computation of a pair, so that both
// engines see the same distances under every -U setting and measure.
} // namespace

int64_t Run::fill_tiles()
{
    int64_t n = object_count;
    int64_t blocks = (n + TILE_ROWS - 1) / TILE_ROWS;
    std::vector<int64_t> not_finite(blocks, 0);
    // The first blocks hold the longest rows: handing them out one at a time
    // keeps the threads busy to the end.
    parallel_for(num_threads, 0, blocks, 1, [&](int64_t b) {
        if (on_main_thread())
            poll();
        int64_t i0 = b * TILE_ROWS, i1 = std::min(n, i0 + TILE_ROWS);
        int64_t bad = 0;
        for (int64_t j0 = i0 + 1; j0 < n; j0 += TILE_COLS) {
            int64_t j1 = std::min(n, j0 + TILE_COLS);
            for (int64_t i = i0; i < i1; i++) {
                int64_t row = dense_index(n, i, 0);
                for (int64_t j = std::max(j0, i + 1); j < j1; j++) {
                    double d = calc_distance((int)i, (int)j);
                    dense[row + j] = d;
                    bad += !std::isfinite(d);
                }
            }
        }
        not_finite[b] = bad;
    });
    return std::accumulate(not_finite.begin(), not_finite.end(), (int64_t)0);
}

namespace {

// The Lance-Williams updates: the distance from the cluster of a (na
// objects) and b (nb objects), now merged, to a third cluster of nk objects,
// from its distances da and db to a and b and the distance dab of a and b.
// Ward's, the centroid's and the median's are on squared distances.
struct LinkAve {
    double operator()(double da, double db, double, double na, double nb, double) const
    {
        return (na * da + nb * db) / (na + nb);
    }
};
struct LinkMax {
    double operator()(double da, double db, double, double, double, double) const
    {
        return da > db ? da : db;
    }
};
struct LinkWeighted {
    double operator()(double da, double db, double, double, double, double) const
    {
        return (da + db) / 2;
    }
};
struct LinkWard {
    double operator()(double da, double db, double dab, double na, double nb, double nk) const
    {
        return ((na + nk) * da + (nb + nk) * db - nk * dab) / (na + nb + nk);
    }
};
struct LinkCentroid {
    double operator()(double da, double db, double dab, double na, double nb, double) const
    {
        double n = na + nb;
        return (na * da + nb * db) / n - na * nb * dab / (n * n);
    }
};
struct LinkMedian {
    double operator()(double da, double db, double dab, double, double, double) const
    {
        return (da + db) / 2 - dab / 4;
    }
};

// Squares every entry of a condensed matrix of n objects in place.
void square_all(double *matrix, int n)
{
    int64_t pairs = pairs_of(n);
    for (int64_t k = 0; k < pairs; k++)
        matrix[k] *= matrix[k];
}

// The live clusters of the generic algorithm in slot order, as a doubly
// linked list: a merge removes one from the middle in O(1), and scans run
// over the live ones only.  Slot n is the end mark.
struct LiveList {
    std::vector<int32_t> next, prev;
    int32_t head = 0;
    explicit LiveList(int n) : next(n + 1), prev(n + 1)
    {
        for (int i = 0; i <= n; i++) {
            next[i] = i + 1;
            prev[i] = i - 1;
        }
    }
    int32_t first() const { return head; }
    void remove(int32_t i)
    {
        if (i == head)
            head = next[i];
        else
            next[prev[i]] = next[i];
        prev[next[i]] = prev[i];
    }
};

// How many entries ahead a scan down a column fetches its next reads.
const int64_t AHEAD = 16;

// An object outside the minimum spanning tree: its distance to the tree,
// and the tree object that distance is measured to.
struct Outside {
    int32_t object;
    int32_t from;
    double reach;
};

// Union-find over the objects, by size, with path halving.
struct Forest {
    std::vector<int32_t> parent;
    explicit Forest(int n) : parent(n)
    {
        std::iota(parent.begin(), parent.end(), 0);
    }
    int32_t root(int32_t i)
    {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    }
};

} // namespace

int64_t dense_block_rows(int n, int element_bytes)
{
    int64_t row = (int64_t)std::max(n, 1) * element_bytes;
    return std::max<int64_t>(1, std::min<int64_t>(BLOCK_BYTES / row, std::max(n, 1)));
}

int64_t dense_block_bytes(int n, int element_bytes)
{
    return dense_block_rows(n, element_bytes) * std::max(n, 1) * element_bytes;
}

template <class T> int64_t Run::copy_rows(const T *rows, int64_t first, int64_t count, int64_t n)
{
    int64_t not_finite = 0;
    for (int64_t r = 0; r < count; r++) {
        int64_t i = first + r;
        const T *row = rows + r * n;
        double *to = dense + dense_index(n, i, i + 1);
        for (int64_t j = i + 1; j < n; j++) {
            double v = row[j];
            to[j - i - 1] = v;
            not_finite += !std::isfinite(v);
        }
    }
    return not_finite;
}

template int64_t Run::copy_rows(const int *, int64_t, int64_t, int64_t);
template int64_t Run::copy_rows(const float *, int64_t, int64_t, int64_t);
template int64_t Run::copy_rows(const double *, int64_t, int64_t, int64_t);

int64_t Run::dense_fill_measure()
{
    dense = new double[std::max<int64_t>(pairs_of(object_count), 1)];
    return fill_tiles();
}

int64_t Run::dense_fill_given()
{
    int64_t n = object_count;
    dense = new double[std::max<int64_t>(pairs_of(object_count), 1)];
    // The loaded input is there when the run keeps it (the quality pass reads
    // it); otherwise the file is read block by block.
    switch (type) {
    case TYPE_INT:
        return data_int ? copy_rows(data_int, 0, n, n) : read_distance_blocks();
    case TYPE_FLOAT:
        return data_float ? copy_rows(data_float, 0, n, n) : read_distance_blocks();
    default:
        return data_double ? copy_rows(data_double, 0, n, n) : read_distance_blocks();
    }
}

std::vector<dense_merge_t> dense_mst(const double *matrix, int n, const std::function<void()> &poll)
{
    std::vector<dense_merge_t> edges;
    if (n < 2)
        return edges;
    edges.reserve(n - 1);
    std::vector<int64_t> at = row_offsets(n);
    // The objects not yet in the tree, in increasing order: each scan reads
    // the column of the newest tree object from the top down and then its
    // row from left to right.
    std::vector<Outside> todo(n - 1);
    for (int k = 0; k < n - 1; k++)
        todo[k] = {k + 1, 0, INF};
    int32_t current = 0;
    for (int64_t left = n - 1; left > 0; left--) {
        if (poll)
            poll();
        Outside *o = todo.data();
        int64_t best = 0;
        double best_d = INF;
        auto visit = [&](int64_t k, int64_t entry) {
            double d = matrix[entry];
            if (d < o[k].reach) {
                o[k].reach = d;
                o[k].from = current;
            }
            if (o[k].reach < best_d) {
                best_d = o[k].reach;
                best = k;
            }
        };
        int64_t k = 0;
        for (; k < left && o[k].object < current; k++) {
            if (k + AHEAD < left)
                __builtin_prefetch(&matrix[at[o[k + AHEAD].object] + current]);
            visit(k, at[o[k].object] + current);
        }
        int64_t row = at[current];
        for (; k < left; k++)
            visit(k, row + o[k].object);
        current = o[best].object;
        edges.push_back({o[best].from, current, o[best].reach});
        todo.erase(todo.begin() + best);
    }
    return edges;
}

namespace {

template <class Rule>
std::vector<dense_merge_t> nn_chain_core(double *matrix, int n, Rule rule, const std::function<void()> &poll)
{
    std::vector<dense_merge_t> merges;
    if (n < 2)
        return merges;
    merges.reserve(n - 1);
    std::vector<int64_t> at = row_offsets(n);
    // The slots of the live clusters in increasing order: a scan reads a
    // slot's column down to the slot and its row after it.
    std::vector<int32_t> live(n);
    std::iota(live.begin(), live.end(), 0);
    std::vector<int32_t> size(n, 1);
    // The height of the last merge into each slot: a merge is never put
    // below its children, whatever the rounding of the average.
    std::vector<double> below(n, -INF);
    std::vector<int32_t> chain;
    chain.reserve(n);
    for (int merged = 0; merged < n - 1; merged++) {
        if (poll)
            poll();
        if (chain.empty())
            chain.push_back(live[0]);
        const int32_t *slots = live.data();
        int64_t count = (int64_t)live.size();
        int32_t a, b;
        double best;
        for (;;) {
            a = chain.back();
            b = chain.size() >= 2 ? chain[chain.size() - 2] : -1;
            // The nearest neighbour of a; the chain's previous cluster wins
            // ties, so that the chain ends at a reciprocal pair.
            int32_t c = b;
            best = b < 0 ? INF : a < b ? matrix[at[a] + b] : matrix[at[b] + a];
            int64_t k = 0;
            for (; slots[k] < a; k++) {
                if (k + AHEAD < count)
                    __builtin_prefetch(&matrix[at[slots[k + AHEAD]] + a]);
                double v = matrix[at[slots[k]] + a];
                if (v < best) {
                    best = v;
                    c = slots[k];
                }
            }
            int64_t row = at[a];
            for (k++; k < count; k++) {
                double v = matrix[row + slots[k]];
                if (v < best) {
                    best = v;
                    c = slots[k];
                }
            }
            if (c == b)
                break;
            chain.push_back(c);
        }
        chain.pop_back();
        chain.pop_back();
        // The merged cluster takes the later slot s; the earlier slot t dies.
        int32_t t = std::min(a, b), s = std::max(a, b);
        double nt = size[t], ns = size[s];
        auto update = [&](int32_t other, int64_t from_t, int64_t to_s) {
            double &to = matrix[to_s];
            to = rule(matrix[from_t], to, best, nt, ns, size[other]);
        };
        int64_t k = 0;
        for (; slots[k] < t; k++) {
            if (k + AHEAD < count) {
                __builtin_prefetch(&matrix[at[slots[k + AHEAD]] + t]);
                __builtin_prefetch(&matrix[at[slots[k + AHEAD]] + s], 1);
            }
            update(slots[k], at[slots[k]] + t, at[slots[k]] + s);
        }
        int64_t t_at = k;
        for (k++; slots[k] < s; k++) {
            if (k + AHEAD < count)
                __builtin_prefetch(&matrix[at[slots[k + AHEAD]] + s], 1);
            update(slots[k], at[t] + slots[k], at[slots[k]] + s);
        }
        for (k++; k < count; k++)
            update(slots[k], at[t] + slots[k], at[s] + slots[k]);
        double height = std::max(best, std::max(below[t], below[s]));
        merges.push_back({t, s, height});
        below[s] = height;
        size[s] += size[t];
        live.erase(live.begin() + t_at);
    }
    return merges;
}

// The nearest live cluster after slot x and its distance: the generic
// algorithm's candidate for x (the first of equal ones).
struct Nearest {
    int32_t slot;
    double dist;
};

template <class Rule>
std::vector<dense_merge_t> generic_core(double *matrix, int n, Rule rule, const std::function<void()> &poll)
{
    std::vector<dense_merge_t> merges;
    if (n < 2)
        return merges;
    merges.reserve(n - 1);
    std::vector<int64_t> at = row_offsets(n);
    LiveList live(n);
    std::vector<double> size(n, 1);
    // For every live slot but the last: a live slot after it (nearest) and a
    // lower bound of its distance to every live slot after it (mindist).
    // The bound is exact when it equals the distance to `nearest`; the queue
    // hands out the smallest bound, so an exact one at the top is the
    // closest pair of all.  The last slot, n-1, is never merged away: a
    // merge keeps the later of its slots.
    std::vector<int32_t> nearest(n, -1);
    std::vector<double> mindist(n, INF);
    auto scan = [&](int32_t x) {
        Nearest best = {-1, INF};
        const double *row = matrix + at[x];
        for (int32_t y = live.next[x]; y < n; y = live.next[y])
            if (row[y] < best.dist || best.slot < 0)
                best = {y, row[y]};
        nearest[x] = best.slot;
        mindist[x] = best.dist;
    };
    for (int32_t x = 0; x < n - 1; x++)
        scan(x);
    SlotHeap queue(mindist.data(), n - 1, n);
    for (int merged = 0; merged < n - 1; merged++) {
        if (poll)
            poll();
        int32_t a = queue.top();
        int32_t b = nearest[a];
        while (mindist[a] != matrix[at[a] + b]) {
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
        live.remove(a);
        for (int32_t x = live.first(); x < n; x = live.next[x]) {
            if (x == b)
                continue;
            double dax = x < a ? matrix[at[x] + a] : matrix[at[a] + x];
            double &dbx = x < b ? matrix[at[x] + b] : matrix[at[b] + x];
            dbx = rule(dax, dbx, dab, na, nb, size[x]);
        }
        size[b] = na + nb;
        // Bounds stay bounds: those that pointed at a point at b now, and
        // those that b came closer to go down to it.  A bound that b moved
        // away from is found out when it comes to the top.
        for (int32_t x = live.first(); x < b; x = live.next[x]) {
            if (nearest[x] == a)
                nearest[x] = b;
            double dxb = matrix[at[x] + b];
            if (dxb < mindist[x]) {
                nearest[x] = b;
                mindist[x] = dxb;
                queue.update(x);
            }
        }
        if (b < n - 1) {
            scan(b);
            queue.update(b);
        }
    }
    return merges;
}

} // namespace

double centroid_height(double squared)
{
    return squared > 0 ? std::sqrt(squared) : 0;
}

std::vector<dense_merge_t> dense_nn_chain(double *matrix, int n, int linkage, const std::function<void()> &poll)
{
    switch (linkage) {
    case LINKAGE_MAX:
        return nn_chain_core(matrix, n, LinkMax(), poll);
    case LINKAGE_WEIGHTED:
        return nn_chain_core(matrix, n, LinkWeighted(), poll);
    case LINKAGE_WARD: {
        square_all(matrix, n);
        std::vector<dense_merge_t> merges = nn_chain_core(matrix, n, LinkWard(), poll);
        for (dense_merge_t &m : merges)
            m.height = centroid_height(m.height);
        return merges;
    }
    default:
        return nn_chain_core(matrix, n, LinkAve(), poll);
    }
}

std::vector<dense_merge_t> dense_generic(double *matrix, int n, int linkage, const std::function<void()> &poll)
{
    square_all(matrix, n);
    std::vector<dense_merge_t> merges = linkage == LINKAGE_MEDIAN ? generic_core(matrix, n, LinkMedian(), poll)
                                                                  : generic_core(matrix, n, LinkCentroid(), poll);
    for (dense_merge_t &m : merges)
        m.height = centroid_height(m.height);
    return merges;
}

void Run::dense_dendrogram(std::vector<dense_merge_t> merges, bool by_height)
{
    if (by_height)
        std::stable_sort(merges.begin(), merges.end(),
                         [](const dense_merge_t &p, const dense_merge_t &q) { return p.height < q.height; });
    new_dendrogram();
    Forest forest(object_count);
    // By the root of each set: its dendrogram node and its object count.
    std::vector<int32_t> number(object_count), size(object_count, 1);
    std::iota(number.begin(), number.end(), 0);
    int32_t n = object_count;
    for (const dense_merge_t &m : merges) {
        int32_t ra = forest.root(m.a), rb = forest.root(m.b);
        // The larger cluster is the left child; of equal ones, a's.
        if (size[ra] < size[rb])
            std::swap(ra, rb);
        leftnode[n] = number[ra];
        rightnode[n] = number[rb];
        dst[n] = m.height;
        forest.parent[rb] = ra;
        size[ra] += size[rb];
        number[ra] = n;
        n++;
    }
}

void Run::dense_cluster()
{
    int linkage = settings.linkage;
    auto polling = [this] { poll(); };
    // The generic algorithm's merges are in the order they were made, which
    // inversions keep from being the order of height.
    bool generic = linkage == LINKAGE_CENTROID || linkage == LINKAGE_MEDIAN;
    std::vector<dense_merge_t> merges = linkage == LINKAGE_MIN ? dense_mst(dense, object_count, polling)
                                        : generic ? dense_generic(dense, object_count, linkage, polling)
                                                  : dense_nn_chain(dense, object_count, linkage, polling);
    dense_dendrogram(std::move(merges), !generic);
    permute(2 * object_count - 2, 0);
}
