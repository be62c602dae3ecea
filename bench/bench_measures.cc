// Distances per second of every measure, called through the Distance
// interface as the store calls it, on rows that fit in cache.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "Distance.h"

namespace {

const char *const measure_keys[] = {
    "euclidean", "manhattan", "minkowski", "pearson", "abspearson", "uncentcorrel",
    "absuncentcorrel", "spearman", "absspearman", "chord", "centchord", "averdiff",
    "maxdiff", "signsum", "hamming", "levenshtein"};

// 64 rows, so that one pass over the pairs stays in cache.
const int ROWS = 64;

template <class T> std::vector<T> random_rows(int width, bool text)
{
    std::mt19937 gen(17);
    std::vector<T> rows(ROWS * width);
    for (auto &v : rows)
        v = text ? T('a' + gen() % 26) : T(std::normal_distribution<double>(0, 1)(gen));
    return rows;
}

template <class T> void BM_measure(benchmark::State &state, const char *key, int width, bool text)
{
    DistanceFactory<T> registry;
    Distance<T> *measure = registry.getDistance(key);
    if (auto *mink = dynamic_cast<DistanceMinkowski<T> *>(measure))
        mink->p = 3.0;
    std::vector<T> rows = random_rows<T>(width, text);
    int a = 0, b = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(measure->distance(&rows[a * width], &rows[b * width], width, width));
        if (++b == ROWS) {
            b = 0;
            a = (a + 1) % ROWS;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("distances/s as items/s");
}

int register_all()
{
    for (const char *key : measure_keys) {
        benchmark::RegisterBenchmark((std::string("double100/") + key).c_str(), BM_measure<double>, key, 100, false);
        benchmark::RegisterBenchmark((std::string("float100/") + key).c_str(), BM_measure<float>, key, 100, false);
    }
    benchmark::RegisterBenchmark("char32/hamming", BM_measure<char>, "hamming", 32, true);
    benchmark::RegisterBenchmark("char32/levenshtein", BM_measure<char>, "levenshtein", 32, true);
    return 0;
}

int registered = register_all();

}  // namespace

BENCHMARK_MAIN();
