// Unit tests of Ward, centroid and median linkage in the compact engine: its merges over given known pairs
// against a brute-force greedy merge of centroids, its trees with every pair known against the dense
// engine's, and what the centroids are charged.
#include <gtest/gtest.h>

#include <brivane/brivane.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "capture_sink.h"
#include "compact.h"
#include "element.h"
#include "run.h"

namespace {

typedef std::set<int> Objects;

// One merge of a tree: the objects of the merged cluster and the height.
struct Merge {
    Objects objects;
    double height;
};

double squared(const std::vector<double> &a, const std::vector<double> &b)
{
    double s = 0;
    for (size_t k = 0; k < a.size(); k++)
        s += (a[k] - b[k]) * (a[k] - b[k]);
    return s;
}

// The constrained greedy merge spelled out: among the clusters that some
// known pair connects, merge the two of least value, worked out from their
// sizes and centroids (median: midpoints), until no known pair connects
// two clusters.
std::vector<Merge> brute_force(const std::vector<double> &x, int n, int c, int linkage,
                               const std::vector<std::pair<int, int>> &known)
{
    std::vector<Objects> members(n);
    std::vector<std::vector<double>> centre(n);
    std::vector<int> cluster_of(n);
    for (int i = 0; i < n; i++) {
        members[i] = {i};
        centre[i].assign(x.begin() + (size_t)i * c, x.begin() + (size_t)(i + 1) * c);
        cluster_of[i] = i;
    }
    std::vector<Merge> merges;
    for (;;) {
        double best = std::numeric_limits<double>::infinity();
        int a = -1, b = -1;
        for (auto [i, j] : known) {
            int p = cluster_of[i], q = cluster_of[j];
            if (p == q)
                continue;
            double na = (double)members[p].size(), nb = (double)members[q].size();
            double sq = squared(centre[p], centre[q]);
            double v = std::sqrt(linkage == LINKAGE_WARD ? 2 * na * nb / (na + nb) * sq : sq);
            if (v < best) {
                best = v;
                a = p;
                b = q;
            }
        }
        if (a < 0)
            return merges;
        double na = (double)members[a].size(), nb = (double)members[b].size();
        for (int k = 0; k < c; k++)
            centre[a][k] = linkage == LINKAGE_MEDIAN ? (centre[a][k] + centre[b][k]) / 2
                                                     : (na * centre[a][k] + nb * centre[b][k]) / (na + nb);
        members[a].insert(members[b].begin(), members[b].end());
        for (int o : members[b])
            cluster_of[o] = a;
        members[b].clear();
        merges.push_back({members[a], best});
    }
}

// The merges of a finished run's dendrogram, in merge order (after the
// leaf order: a leaf child is a position, new2old names its object).
std::vector<Merge> merges_of(const int32_t *left, const int32_t *right, const int32_t *new2old, const double *dst,
                             int n)
{
    std::vector<Merge> merges;
    auto objects = [&](int child) {
        return child < n ? Objects{new2old[child]} : merges[child - n].objects;
    };
    for (int node = n; node < 2 * n - 1; node++) {
        Objects o = objects(left[node]), r = objects(right[node]);
        o.insert(r.begin(), r.end());
        merges.push_back({o, dst[node]});
    }
    return merges;
}

// The compact engine's merges over exactly the `known` pairs.
template <class T>
std::vector<Merge> compact_merges(const std::vector<T> &rows, const std::vector<double> &x, int n, int c,
                                  int linkage, const std::vector<std::pair<int, int>> &known)
{
    Run run;
    run.object_count = n;
    run.row_length = c;
    if constexpr (std::is_same<T, float>::value) {
        run.type = TYPE_FLOAT;
        run.data_float = rows.data();
    } else {
        run.type = TYPE_DOUBLE;
        run.data_double = rows.data();
    }
    run.settings.linkage = linkage;
    run.num_threads = 1;
    run.run_random.seed(3);
    run.init_pair_table((int64_t)known.size());
    for (auto [i, j] : known) {
        std::vector<double> a(x.begin() + (size_t)i * c, x.begin() + (size_t)(i + 1) * c);
        std::vector<double> b(x.begin() + (size_t)j * c, x.begin() + (size_t)(j + 1) * c);
        run.pair_table->add(i, j, std::sqrt(squared(a, b)));
    }
    run.cluster();
    return merges_of(run.leftnode, run.rightnode, run.new2old, run.dst, n);
}

bool close(double want, double got)
{
    return want == got || std::abs(want - got) <= 1e-9 * std::abs(want);
}

// Same merges in the same order at the same heights, up to the joins at
// +inf, which must be as many as `joins`.
void expect_same_merges(const std::vector<Merge> &want, const std::vector<Merge> &got, size_t joins)
{
    ASSERT_EQ(want.size() + joins, got.size());
    for (size_t k = 0; k < want.size(); k++) {
        EXPECT_EQ(want[k].objects, got[k].objects) << "merge " << k;
        EXPECT_TRUE(close(want[k].height, got[k].height)) << "merge " << k << ": " << want[k].height << " "
                                                          << got[k].height;
    }
    for (size_t k = want.size(); k < got.size(); k++)
        EXPECT_TRUE(std::isinf(got[k].height)) << "merge " << k;
}

const int CENTROID_LINKAGES[] = {LINKAGE_WARD, LINKAGE_CENTROID, LINKAGE_MEDIAN};

std::string name_of(int linkage)
{
    return linkage == LINKAGE_WARD ? "ward" : linkage == LINKAGE_CENTROID ? "centroid" : "median";
}

TEST(CompactCentroids, MergesTheConnectedClustersOfLeastValueAsABruteForceDoes)
{
    // Normal rows (no ties), and known pairs of four kinds: a few per
    // object, many, every pair, and pairs only inside three groups, which
    // then join at +inf.
    for (int linkage : CENTROID_LINKAGES)
        for (unsigned seed : {1u, 2u, 3u, 4u, 5u})
            for (int n : {2, 7, 50})
                for (int kind = 0; kind < 4; kind++) {
                    SCOPED_TRACE(name_of(linkage) + " seed " + std::to_string(seed) + " n " + std::to_string(n) +
                                 " kind " + std::to_string(kind));
                    const int c = 3 + (int)seed % 3;
                    std::mt19937_64 gen(seed * 100 + n);
                    std::normal_distribution<double> normal;
                    std::vector<double> x((size_t)n * c);
                    for (double &v : x)
                        v = normal(gen);
                    std::set<std::pair<int, int>> chosen;
                    int groups = kind == 3 ? std::min(3, n) : 1;
                    auto group = [&](int i) { return i * groups / n; };
                    int wanted = kind == 0 ? 2 * n : kind == 1 ? 6 * n : n * n;
                    for (int t = 0; t < 20 * wanted && (int)chosen.size() < std::min(wanted, n * (n - 1) / 2); t++) {
                        int i = (int)(gen() % n), j = (int)(gen() % n);
                        if (kind == 2) {
                            i = t / n % n;
                            j = t % n;
                        }
                        if (i != j && group(i) == group(j))
                            chosen.insert({std::min(i, j), std::max(i, j)});
                    }
                    std::vector<std::pair<int, int>> known(chosen.begin(), chosen.end());
                    std::shuffle(known.begin(), known.end(), gen);
                    std::vector<Merge> want = brute_force(x, n, c, linkage, known);
                    std::vector<Merge> got = compact_merges(x, x, n, c, linkage, known);
                    expect_same_merges(want, got, (size_t)(n - 1) - want.size());
                }
}

TEST(CompactCentroids, LargeClustersThatMoveLittleKeepTheBruteForceOrder)
{
    // A merged cluster's pairs are valued again only once its centroid has
    // moved past an allowance: a dense blob that takes in objects one by
    // one, a chain, and scattered objects, each object's four nearest as
    // known pairs and two random ones, so that large clusters hold long
    // lists of far pairs while the merges go on near them.
    for (int linkage : CENTROID_LINKAGES)
        for (unsigned seed : {1u, 2u}) {
            SCOPED_TRACE(name_of(linkage) + " seed " + std::to_string(seed));
            const int n = 300, c = 4;
            std::mt19937_64 gen(seed);
            std::normal_distribution<double> normal;
            std::uniform_real_distribution<double> uniform(-20, 20);
            std::vector<double> x((size_t)n * c);
            for (int i = 0; i < n; i++)
                for (int k = 0; k < c; k++) {
                    double &v = x[(size_t)i * c + k];
                    if (i < 150)
                        v = 0.3 * normal(gen);
                    else if (i < 220)
                        v = (k == 0 ? 0.5 * (i - 150) : 0) + 0.05 * normal(gen);
                    else
                        v = uniform(gen);
                }
            std::set<std::pair<int, int>> chosen;
            for (int i = 0; i < n; i++) {
                std::vector<std::pair<double, int>> by_distance;
                for (int j = 0; j < n; j++) {
                    double sum = 0;
                    for (int k = 0; k < c; k++) {
                        double d = x[(size_t)i * c + k] - x[(size_t)j * c + k];
                        sum += d * d;
                    }
                    if (j != i)
                        by_distance.push_back({sum, j});
                }
                std::partial_sort(by_distance.begin(), by_distance.begin() + 4, by_distance.end());
                for (int t = 0; t < 4; t++)
                    chosen.insert({std::min(i, by_distance[t].second), std::max(i, by_distance[t].second)});
                for (int t = 0; t < 2; t++) {
                    int j = (int)(gen() % n);
                    if (j != i)
                        chosen.insert({std::min(i, j), std::max(i, j)});
                }
            }
            std::vector<std::pair<int, int>> known(chosen.begin(), chosen.end());
            std::shuffle(known.begin(), known.end(), gen);
            std::vector<Merge> want = brute_force(x, n, c, linkage, known);
            expect_same_merges(want, compact_merges(x, x, n, c, linkage, known), (size_t)(n - 1) - want.size());
        }
}

TEST(CompactCentroids, WorksFromFloatRowsAsFromTheirValues)
{
    for (int linkage : CENTROID_LINKAGES) {
        SCOPED_TRACE(name_of(linkage));
        const int n = 40, c = 6;
        std::mt19937_64 gen(9);
        std::normal_distribution<float> normal;
        std::vector<float> rows((size_t)n * c);
        for (float &v : rows)
            v = normal(gen);
        std::vector<double> x(rows.begin(), rows.end());
        std::vector<std::pair<int, int>> known;
        for (int i = 0; i < n; i++)
            for (int j = i + 1; j < n; j++)
                if (gen() % 4 == 0)
                    known.push_back({i, j});
        std::vector<Merge> want = brute_force(x, n, c, linkage, known);
        expect_same_merges(want, compact_merges(rows, x, n, c, linkage, known), (size_t)(n - 1) - want.size());
    }
}

TEST(CompactCentroids, WithEveryPairKnownGivesTheDenseEnginesTree)
{
    // The dense engine is SciPy's (e2e_python_scipy.py): Lance-Williams on
    // the squared distances, against the centroids here.
    const int n = 200, c = 5;
    std::mt19937_64 gen(17);
    std::normal_distribution<double> normal;
    std::vector<double> x((size_t)n * c);
    for (double &v : x)
        v = normal(gen);
    brivane::Matrix m{x.data(), brivane::Type::Double, n, c};
    for (int linkage : CENTROID_LINKAGES)
        for (const char *count : {"all", "-M"}) {
            SCOPED_TRACE(name_of(linkage) + " " + count);
            brivane::Options o;
            o.distance = "euclidean";
            o.linkage = name_of(linkage);
            o.random_seed = 2;
            o.all_pairwise = true;
            o.engine = "dense";
            brivane::Tree dense = brivane::cluster(m, o);
            if (count[0] == '-') {
                o.all_pairwise = false;
                o.num_distances = n * (n - 1) / 2;
                o.engine = "auto";
            } else {
                o.engine = "compact";
            }
            brivane::Tree compact = brivane::cluster(m, o);
            std::vector<Merge> want =
                merges_of(dense.left.data(), dense.right.data(), dense.new2old.data(), dense.distance.data(), n);
            std::vector<Merge> got = merges_of(compact.left.data(), compact.right.data(), compact.new2old.data(),
                                               compact.distance.data(), n);
            // The dense engine numbers Ward's merges by height; the
            // compact engine's come in the greedy order, the same there.
            expect_same_merges(want, got, 0);
        }
}

// The count a run of `linkage` reaches with -M far above what -m holds.
int64_t count_within_memory(const std::vector<double> &x, int n, int c, const char *linkage, double memory)
{
    brivane::Options o;
    o.distance = "euclidean";
    o.linkage = linkage;
    o.random_seed = 1;
    o.num_distances = (int64_t)n * (n - 1) / 2;
    o.memory = memory;
    o.engine = "compact";
    CaptureSink sink;
    brivane::cluster({x.data(), brivane::Type::Double, n, c}, o, sink);
    size_t at = sink.report.find("  Values of ");
    EXPECT_NE(std::string::npos, at) << sink.report;
    return std::stoll(sink.report.substr(at + 12));
}

TEST(CompactCentroids, TheCentroidsAreChargedToTheMemoryBudget)
{
    // 2000 objects of 50 doubles: the input takes 800000 bytes, an object
    // 160 in the compact engine and, under the centroid linkages, 4 bytes
    // an element (a pool of N/2 rows of doubles) and 48 more (the row's
    // number, its place on the free chain, the centroid's drift and
    // allowance, the list of its near pairs).
    const int n = 2000, c = 50;
    std::vector<double> x((size_t)n * c);
    std::mt19937_64 gen(4);
    std::normal_distribution<double> normal;
    for (double &v : x)
        v = normal(gen);
    const double memory = 0.01;
    const int64_t room = memory_from_gigabytes(memory) - 8 * (int64_t)n * c;
    EXPECT_EQ((room - 160 * n) / 58, count_within_memory(x, n, c, "ave", memory));
    for (const char *linkage : {"ward", "centroid", "median"})
        EXPECT_EQ((room - (160 + 4 * c + 48) * n) / 58, count_within_memory(x, n, c, linkage, memory)) << linkage;
    EXPECT_EQ(4 * c + 48, compact_centroid_bytes(LINKAGE_WARD, c));
    EXPECT_EQ(0, compact_centroid_bytes(LINKAGE_WEIGHTED, c));
}

} // namespace
