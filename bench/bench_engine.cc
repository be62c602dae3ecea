// Pairs per second of the distance store, the pair sources, the join and the
// merge loop, driven through the run state as the driver drives them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Distance.h"
#include "brivane.h"
#include "brivane_arg.h"
#include "distances.h"
#include "element.h"
#include "small_dist.h"
#include "tree_file.h"

namespace {

// A run of a data matrix of n objects of c normal doubles with euclidean
// distance, and the settings a default run would have.
struct BenchRun : Run {
    std::vector<double> data;

    BenchRun(int n, int c, int pairs)
    {
        std::mt19937 gen(3);
        std::normal_distribution<double> normal(0, 1);
        data.assign((size_t)n * c, 0);
        for (auto &v : data)
            v = normal(gen);
        object_count = n;
        row_length = c;
        type = TYPE_DOUBLE;
        data_double = data.data();
        make_measure("euclidean", 0);
        num_distances = pairs;
        settings.cluster = CLUSTER_ROWS;
        settings.linkage = LINKAGE_AVE;
        settings.num_pivots = 20;
        settings.split_threshold = 1000;
        settings.pivot_strategy = PIVOT_RANDOM;
        settings.pivot_quantile = 0.9;
        settings.prop_similar = 0.5;
        settings.all_pairwise = false;
        opt_clear(INDEX_OPT_OUTPUT_DATA);
        static char prefix[] = "row_";
        opt_set_text(INDEX_OPT_PREFIX, prefix);
        static std::string output = std::string(P_tmpdir) + "/brivane-bench-tree.nc";
        opt_set_text(INDEX_OPT_OUTPUT, &output[0]);
        run_random.seed(1);
    }
};

void BM_getdist_new(benchmark::State &state)
{
    const int n = 100000;
    BenchRun run(n, 10, (int)state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        run.free_distances();
        run.init_distances();
        state.ResumeTiming();
        for (int k = 0; k < run.num_distances; k++)
            benchmark::DoNotOptimize(run.getdist(k % n, (k / n + 1 + k) % n, NO_DISTANCE));
    }
    state.SetItemsProcessed(state.iterations() * run.num_distances);
}
BENCHMARK(BM_getdist_new)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_getdist_known(benchmark::State &state)
{
    const int n = 100000;
    BenchRun run(n, 10, 1000000);
    run.init_distances();
    run.random_dist();
    std::vector<std::pair<int, int>> known;
    for (int k = 0; k < run.n_dist; k += 2)
        known.emplace_back(run.dist[k].x, run.dist[k].y);
    for (auto _ : state)
        for (auto &p : known)
            benchmark::DoNotOptimize(run.getdist(p.second, p.first, NO_DISTANCE));
    state.SetItemsProcessed(state.iterations() * known.size());
}
BENCHMARK(BM_getdist_known)->Unit(benchmark::kMillisecond);

void BM_random_dist(benchmark::State &state)
{
    BenchRun run(100000, 10, (int)state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        run.free_distances();
        run.init_distances();
        state.ResumeTiming();
        run.random_dist();
    }
    state.SetItemsProcessed(state.iterations() * run.num_distances);
}
BENCHMARK(BM_random_dist)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The join over the pivot table of 100,000 objects, with an epsilon aimed at
// a million heuristic pairs.
void BM_join(benchmark::State &state)
{
    BenchRun run(100000, 10, 2000000);
    run.init_distances();
    run.choose_pivots();
    double eps = run.estimate_epsilon();
    for (auto _ : state) {
        state.PauseTiming();
        run.free_distances();
        run.init_distances();
        state.ResumeTiming();
        run.small_dists_work(eps);
    }
    state.SetItemsProcessed(state.iterations() * (run.n_dist / 2));
    run.delete_pivots();
}
BENCHMARK(BM_join)->Unit(benchmark::kMillisecond);

// The merge loop (with the dendrogram written) over a store of random pairs.
void BM_cluster(benchmark::State &state)
{
    const int pairs = (int)state.range(0);
    BenchRun run(pairs / 20, 10, pairs);
    for (auto _ : state) {
        state.PauseTiming();
        run.free_distances();
        run.init_distances();
        run.random_dist();
        state.ResumeTiming();
        run.cluster();
        write_dendrogram(run);
    }
    state.SetItemsProcessed(state.iterations() * pairs);
}
BENCHMARK(BM_cluster)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond)->Iterations(1);

// The merge loop alone over a store shaped like a default run's: 24 pairs
// per object, half of them between near neighbours along a hidden position
// (as the join finds them) and half random, stored in that order, with the
// object numbers shuffled so that neighbours lie far apart in memory.  The
// second argument is the engine: 0 the store, 1 the compact engine.
void BM_merge_loop(benchmark::State &state)
{
    const int pairs = (int)state.range(0);
    const bool compact = state.range(1) == 1;
    const int n = pairs / 24;
    BenchRun run(n, 1, pairs);
    run.engine = compact ? ENGINE_COMPACT : ENGINE_STORE;
    run.settings.cluster = CLUSTER_DISTLIST;
    run.list_entries = pairs;
    std::mt19937 gen(7);
    std::normal_distribution<double> normal(0, 1000);
    std::vector<double> pos(n);
    for (auto &p : pos)
        p = normal(gen);
    std::sort(pos.begin(), pos.end());
    std::vector<int> id(n);
    for (int i = 0; i < n; i++)
        id[i] = i;
    std::shuffle(id.begin(), id.end(), gen);
    for (auto _ : state) {
        state.PauseTiming();
        run.free_distances();
        run.init_distances();
        for (int k = 0; k < pairs; k++) {
            int i = gen() % n;
            int j = k < pairs / 2 ? std::min(n - 1, i + 1 + (int)(gen() % 40)) : gen() % n;
            run.getdist_given(id[i], id[j], std::fabs(pos[i] - pos[j]));
        }
        state.ResumeTiming();
        if (compact)
            run.compact_merge();
        else
            run.cluster_merge();
    }
    state.SetItemsProcessed(state.iterations() * (run.n_dist / 2));
}
BENCHMARK(BM_merge_loop)
    ->Args({8000000, 0})
    ->Args({8000000, 1})
    ->Args({24000000, 0})
    ->Args({24000000, 1})
    ->Args({200000000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
