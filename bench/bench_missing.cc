// Distances per second through calc_distance, as the store calls it, on data
// with and without missing cells: what -U pairwise costs beside the plain
// measures, and that complete rows keep their speed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "Distance.h"
#include "distances.h"
#include "element.h"
#include "run.h"

namespace {

const int ROWS = 64;     // so that one pass over the pairs stays in cache
const int WIDTH = 100;

// Data kinds: how many rows hold missing cells, and how many cells each.
enum Kind { COMPLETE, HALF_ROWS_ONE_CELL, ALL_ROWS_TENTH };
const char *const KIND_NAMES[] = {"complete", "half-rows-1-cell", "all-rows-10pct"};

std::vector<double> rows_of(Kind kind)
{
    std::mt19937 gen(17);
    std::normal_distribution<double> value(0, 1);
    std::vector<double> rows(ROWS * WIDTH);
    for (auto &v : rows)
        v = value(gen);
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    for (int r = 0; r < ROWS; r++) {
        if (kind == HALF_ROWS_ONE_CELL && r % 2 == 0)
            rows[r * WIDTH + gen() % WIDTH] = NaN;
        if (kind == ALL_ROWS_TENTH)
            for (int k = 0; k < WIDTH / 10; k++)
                rows[r * WIDTH + gen() % WIDTH] = NaN;
    }
    return rows;
}

void BM_calc(benchmark::State &state, const char *key, Kind kind, int mode)
{
    std::vector<double> rows = rows_of(kind);
    Run run;
    run.object_count = ROWS;
    run.row_length = WIDTH;
    run.type = TYPE_DOUBLE;
    run.data_double = rows.data();
    run.make_measure(key, 0);
    if (auto *mink = dynamic_cast<DistanceMinkowski<double> *>(run.measure_double))
        mink->p = 3.0;
    run.settings.missing = mode;
    run.settings.missing_given = true;
    run.prepare_missing_values(key);
    // Both objects change from one call to the next, as in a run's random
    // pairs: a row that stays for many calls lets the branch predictor learn
    // its sort, which flatters the Spearman measures.
    unsigned k = 0;
    for (auto _ : state) {
        int a = k % ROWS, b = (k * 29 + k / ROWS) % ROWS;
        benchmark::DoNotOptimize(run.calc_distance(a, b));
        k++;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("distances/s as items/s");
}

int register_all()
{
    // The run's messages (the warning of the propagating runs) are not wanted.
    if (!std::freopen("/dev/null", "w", stderr))
        return 1;
    for (const char *key : {"euclidean", "manhattan", "minkowski", "pearson", "spearman", "chord", "averdiff"})
        for (Kind kind : {COMPLETE, HALF_ROWS_ONE_CELL, ALL_ROWS_TENTH})
            for (int mode : {MISSING_PROPAGATE, MISSING_PAIRWISE}) {
                std::string name = std::string(key) + "/" + KIND_NAMES[kind] + "/" +
                                   (mode == MISSING_PAIRWISE ? "pairwise" : "propagate");
                benchmark::RegisterBenchmark(name.c_str(), BM_calc, key, kind, mode);
            }
    return 0;
}

int registered = register_all();

} // namespace

BENCHMARK_MAIN();
