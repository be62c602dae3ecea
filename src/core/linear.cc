// The exact clustering engine in linear memory.
//
// What lives here:
//   - single linkage by Prim's minimum spanning tree algorithm (Prim 1957),
//     the distances of each newly added object to the objects outside the
//     tree computed on the fly, on the threads, and forgotten: O(N^2)
//     distance computations, O(N) memory beside the input (linear_mst);
//   - the whole clustering: the tree's edges through the dense engine's
//     dendrogram, the refusal of distances that are not finite, the leaf
//     order (linear_cluster).
//
// Each pair is computed exactly once, by calc_distance with the lower object
// first as the dense engine's fill computes it, so both engines see the same
// values under every measure and -U setting.  The step picks the outside
// object of least distance to the tree, the lowest-numbered of equal ones,
// and an object's tree end changes only for a strictly shorter distance: the
// choices of the dense engine's Prim, so the edges come in the same order
// with the same ends whatever the number of threads, ties included.
#include "linear.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "dense.h"
#include "run.h"
#include "threads.h"

namespace {

const double INF = std::numeric_limits<double>::infinity();

// Below this many outside objects a step runs on the main thread alone: the
// team would cost more than the distances.
const int64_t LINEAR_PARALLEL_LEAST = 4 * LINEAR_STEP_CHUNK;

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
};

// Whether p comes before q as the step's choice: nearer, or as near and of a
// lower number.
bool before(const StepBest &p, const StepBest &q)
{
    return p.reach < q.reach || (p.reach == q.reach && p.object < q.object);
}

} // namespace

bool linear_linkage(int linkage)
{
    return linkage == LINKAGE_MIN;
}

std::vector<dense_merge_t> Run::linear_mst(int64_t &not_finite, int64_t &nan)
{
    not_finite = nan = 0;
    int n = object_count;
    std::vector<dense_merge_t> edges;
    if (n < 2)
        return edges;
    edges.reserve(n - 1);
    // Outside objects in any order: the one taken is replaced by the last.
    std::vector<Outside> todo(n - 1);
    for (int k = 0; k < n - 1; k++)
        todo[k] = {k + 1, 0, INF};
    std::vector<StepBest> found((n - 1 + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK);
    int32_t current = 0;
    double done = 0;
    for (int64_t left = n - 1; left > 0; left--) {
        int64_t tasks = (left + LINEAR_STEP_CHUNK - 1) / LINEAR_STEP_CHUNK;
        int threads = left < LINEAR_PARALLEL_LEAST ? 1 : num_threads;
        Outside *o = todo.data();
        parallel_for(threads, 0, tasks, 1, [&](int64_t t) {
            StepBest best = {INF, INT32_MAX, -1, 0, 0};
            int64_t k1 = std::min(left, (t + 1) * LINEAR_STEP_CHUNK);
            for (int64_t k = t * LINEAR_STEP_CHUNK; k < k1; k++) {
                int32_t x = o[k].object;
                double d = x < current ? calc_distance(x, current) : calc_distance(current, x);
                if (!std::isfinite(d)) {
                    best.not_finite++;
                    best.nan += std::isnan(d);
                }
                if (d < o[k].reach) {
                    o[k].reach = d;
                    o[k].from = current;
                }
                StepBest here = {o[k].reach, x, k, 0, 0};
                if (before(here, best)) {
                    best.reach = here.reach;
                    best.object = x;
                    best.at = k;
                }
            }
            found[t] = best;
        });
        StepBest best = found[0];
        for (int64_t t = 1; t < tasks; t++) {
            best.not_finite += found[t].not_finite;
            best.nan += found[t].nan;
            if (before(found[t], best)) {
                best.reach = found[t].reach;
                best.object = found[t].object;
                best.at = found[t].at;
            }
        }
        not_finite += best.not_finite;
        nan += best.nan;
        const Outside &taken = todo[best.at];
        edges.push_back({taken.from, taken.object, taken.reach});
        current = taken.object;
        todo[best.at] = todo[left - 1];
        todo.pop_back();
        done += (double)left;
        progress_batch(done);
    }
    return edges;
}

void Run::linear_cluster()
{
    progress_begin("Running hierarchical clustering...", 0, (double)all_pairs(object_count));
    int64_t not_finite, nan;
    std::vector<dense_merge_t> edges = linear_mst(not_finite, nan);
    progress_end();
    if (not_finite > 0) {
        // The refusal ends the line that opened the phase.
        run_sink->text("\n");
        refuse_not_finite(not_finite, skip_pairs_without_distance ? nan : 0);
    }
    dense_dendrogram(std::move(edges), true);
    permute(2 * object_count - 2, 0);
}
