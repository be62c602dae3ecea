// Unit tests of the clustering quality pass, on dendrograms built by hand
// and given their leaf order by permute, as cluster() leaves them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Distance.h"
#include "brivane.h"
#include "brivane_arg.h"
#include "distances.h"
#include "element.h"
#include "quality_file.h"
#include "run_error.h"

namespace {

const double INF = std::numeric_limits<double>::infinity();
const double QNAN = std::numeric_limits<double>::quiet_NaN();

// |x[0] - y[0]|, counting its calls.
class CountingMeasure : public Distance<double> {
  public:
    int calls = 0;
    double distance(const double *x, const double *y, int, int) override
    {
        calls++;
        return std::fabs(x[0] - y[0]);
    }
};

struct Merge {
    int left, right;   // children by node number
    double dist;
};

struct Entry {
    int from, to;
    double d;
};

// A run whose data, or given distances, and dendrogram the tests set by hand.
struct QualityRun : Run {
    CountingMeasure measure;
    std::vector<double> values;   // the loaded data, matrix or list values
    std::vector<int> from, to;    // the objects of a distance list

    // The dendrogram arrays of n objects from the merges in order (node n+k is
    // merge k), with the leaf order assigned as the run assigns it.
    void make_tree(int n, const std::vector<Merge> &merges)
    {
        // A tree made before in the same test gives its arrays back.
        free_distances();
        object_count = n;
        int nodes = 2 * n - 1;
        leftnode = new int32_t[nodes];
        rightnode = new int32_t[nodes];
        dst = new double[nodes];
        start = new int32_t[nodes];
        end = new int32_t[nodes];
        new2old = new int32_t[nodes];
        old2new = new int32_t[nodes];
        for (int k = 0; k < nodes; k++) {
            leftnode[k] = rightnode[k] = -1;
            dst[k] = 0;
            start[k] = end[k] = k;
            new2old[k] = old2new[k] = -1;
        }
        for (size_t k = 0; k < merges.size(); k++) {
            leftnode[n + k] = merges[k].left;
            rightnode[n + k] = merges[k].right;
            dst[n + k] = merges[k].dist;
        }
        permute(nodes - 1, 0);
    }

    // Objects 0 ... n-1 with the one value each of `data`.
    void data_run(const std::vector<double> &data)
    {
        settings.cluster = CLUSTER_ROWS;
        values = data;
        data_double = values.data();
        row_length = 1;
        type = TYPE_DOUBLE;
        measure.calls = 0;
        measure_double = &measure;
    }

    // An n x n distance matrix, row-major.
    void matrix_run(const std::vector<double> &matrix)
    {
        settings.cluster = CLUSTER_DISTMAT;
        values = matrix;
        data_double = values.data();
        type = TYPE_DOUBLE;
    }

    void list_run(const std::vector<Entry> &entries)
    {
        settings.cluster = CLUSTER_DISTLIST;
        values.clear();
        from.clear();
        to.clear();
        for (const Entry &e : entries) {
            from.push_back(e.from);
            to.push_back(e.to);
            values.push_back(e.d);
        }
        list_entries = static_cast<int>(entries.size());
        distfrom = from.data();
        distto = to.data();
        data_double = values.data();
        type = TYPE_DOUBLE;
    }
};

class QualityTest : public ::testing::Test, public QualityRun {};
using QualityMatrix = QualityTest;
using QualityData = QualityTest;
using QualityList = QualityTest;

struct Expected {
    int node, left_size, right_size;
    int64_t pairs;
    double min, average, max;
};

void expect_merges(const std::vector<merge_quality_t> &got, const std::vector<Expected> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); k++) {
        SCOPED_TRACE("merge " + std::to_string(k));
        EXPECT_EQ(got[k].node, want[k].node);
        EXPECT_EQ(got[k].left_size, want[k].left_size);
        EXPECT_EQ(got[k].right_size, want[k].right_size);
        EXPECT_EQ(got[k].pairs, want[k].pairs);
        if (std::isnan(want[k].average)) {
            EXPECT_TRUE(std::isnan(got[k].min) && std::isnan(got[k].average) && std::isnan(got[k].max));
        } else {
            EXPECT_DOUBLE_EQ(got[k].min, want[k].min);
            EXPECT_DOUBLE_EQ(got[k].average, want[k].average);
            EXPECT_DOUBLE_EQ(got[k].max, want[k].max);
        }
    }
}

// Three objects, d(0,1) = 4, d(0,2) = 5, d(1,2) = 1: objects 1 and 2 merge
// first, then object 0 joins them.
const std::vector<Merge> THREE = {{1, 2, 1.0}, {3, 0, 4.5}};

// ---------------------------------------------------------------------------
// Measuring

TEST_F(QualityMatrix, EveryMergeOverThePairsAcrossItsChildren)
{
    matrix_run({0, 4, 5,
                4, 0, 1,
                5, 1, 0});
    make_tree(3, THREE);
    expect_merges(measure_merges(), {{3, 1, 1, 1, 1, 1, 1}, {4, 2, 1, 2, 4, 4.5, 5}});
}

TEST_F(QualityMatrix, OnlyTheUpperTriangleCounts)
{
    matrix_run({9, 4, 5,
                70, 9, 1,
                80, 90, 9});
    make_tree(3, THREE);
    expect_merges(measure_merges(), {{3, 1, 1, 1, 1, 1, 1}, {4, 2, 1, 2, 4, 4.5, 5}});
}

TEST_F(QualityMatrix, NanAndInfiniteEntriesAreUnknown)
{
    matrix_run({0, 4, QNAN,
                4, 0, INF,
                5, 1, 0});
    make_tree(3, THREE);
    expect_merges(measure_merges(), {{3, 1, 1, 0, QNAN, QNAN, QNAN}, {4, 2, 1, 1, 4, 4, 4}});
}

TEST_F(QualityMatrix, TheMergeDistanceIsTheRunsOwn)
{
    matrix_run({0, 4, 5, 4, 0, 1, 5, 1, 0});
    make_tree(3, {{1, 2, 0.25}, {3, 0, INF}});
    std::vector<merge_quality_t> merges = measure_merges();
    EXPECT_EQ(merges[0].merge_distance, 0.25);
    EXPECT_EQ(merges[1].merge_distance, INF);
}

TEST_F(QualityData, DistancesComeFromTheMeasureOncePerPair)
{
    // Values 0, 1, 5, 7: the root joins {0,1} and {2,3}, whose pairs across
    // are 5, 7, 4 and 6.
    data_run({0, 1, 5, 7});
    make_tree(4, {{0, 1, 1}, {2, 3, 2}, {4, 5, 5.5}});
    expect_merges(measure_merges(), {{4, 1, 1, 1, 1, 1, 1}, {5, 1, 1, 1, 2, 2, 2}, {6, 2, 2, 4, 4, 5.5, 7}});
    EXPECT_EQ(measure.calls, 6);
}

TEST_F(QualityData, AChainOfMergesCountsEveryPairOnce)
{
    // Each merge adds one object to the cluster of all earlier ones: the
    // deepest tree there is.
    const int n = 200;
    std::vector<double> data(n);
    std::vector<Merge> merges = {{0, 1, 1}};
    for (int i = 0; i < n; i++)
        data[i] = i * i;
    for (int i = 2; i < n; i++)
        merges.push_back({n + i - 2, i, 1});
    data_run(data);
    make_tree(n, merges);
    std::vector<merge_quality_t> got = measure_merges();
    int64_t pairs = 0;
    for (size_t k = 0; k < got.size(); k++) {
        EXPECT_EQ(got[k].left_size, static_cast<int>(k) + 1);
        EXPECT_EQ(got[k].right_size, 1);
        pairs += got[k].pairs;
    }
    EXPECT_EQ(pairs, n * (n - 1) / 2);
    EXPECT_EQ(measure.calls, n * (n - 1) / 2);
    // The last object joins all others: the smallest gap is to its neighbour.
    EXPECT_DOUBLE_EQ(got.back().min, double(n - 1) * (n - 1) - double(n - 2) * (n - 2));
    EXPECT_DOUBLE_EQ(got.back().max, double(n - 1) * (n - 1));
}

TEST_F(QualityData, ASingleObjectHasNoMerge)
{
    data_run({3});
    make_tree(1, {});
    EXPECT_TRUE(measure_merges().empty());
    EXPECT_EQ(measure.calls, 0);
}

TEST_F(QualityList, OnlyTheGivenPairsCountAsTheRunKeepsThem)
{
    list_run({
        {1, 1, 7},      // a self pair: never stored
        {2, 1, 1},      // the pair {1,2}
        {1, 2, 100},    // the same pair again: the first entry wins
        {0, 2, QNAN},   // unknown: a later entry may still give it
        {2, 0, 5},
        {0, 2, 50},     // too late
        {3, 0, INF},    // unknown
    });
    make_tree(4, {{1, 2, 1}, {4, 0, 5}, {5, 3, INF}});
    expect_merges(measure_merges(), {{4, 1, 1, 1, 1, 1, 1}, {5, 2, 1, 1, 5, 5, 5}, {6, 3, 1, 0, QNAN, QNAN, QNAN}});
}

TEST_F(QualityList, AFullListMeasuresLikeTheMatrixOfTheSameValues)
{
    // Random trees, larger child on either side, every pair given once in a
    // random direction.
    std::mt19937 rng(7);
    const int n = 40;
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<double> matrix(n * n, 0.0);
        std::vector<Entry> entries;
        for (int i = 0; i < n; i++)
            for (int j = i + 1; j < n; j++) {
                double d = std::uniform_real_distribution<double>(0, 10)(rng);
                matrix[i * n + j] = matrix[j * n + i] = d;
                if (rng() % 2)
                    entries.push_back({i, j, d});
                else
                    entries.push_back({j, i, d});
            }
        std::shuffle(entries.begin(), entries.end(), rng);
        std::vector<int> live(n);
        for (int i = 0; i < n; i++)
            live[i] = i;
        std::vector<Merge> merges;
        for (int k = 0; k < n - 1; k++) {
            std::shuffle(live.begin(), live.end(), rng);
            merges.push_back({live[0], live[1], double(k)});
            live.erase(live.begin());
            live[0] = n + k;
        }
        matrix_run(matrix);
        make_tree(n, merges);
        std::vector<merge_quality_t> by_matrix = measure_merges();
        list_run(entries);
        std::vector<merge_quality_t> by_list = measure_merges();
        std::vector<Expected> want;
        for (const merge_quality_t &m : by_matrix)
            want.push_back({m.node, m.left_size, m.right_size, m.pairs, m.min, m.average, m.max});
        expect_merges(by_list, want);
    }
}

// ---------------------------------------------------------------------------
// The true values of the linkages beyond the three

// Values 0, 1, 3, 7 on a line, merged {0,1}, then 3, then 7: the centroids
// 0.5 and 4/3, the median's points 0.5 and 1.75.
const std::vector<double> LINE = {0, 1, 3, 7};
const std::vector<Merge> LINE_TREE = {{0, 1, 1}, {4, 2, 2.5}, {5, 3, 5.25}};

TEST_F(QualityData, EachLinkageOnALineWorkedByHand)
{
    struct Case {
        int linkage;
        double values[3];
    } cases[] = {
        // McQuitty: 1; (3 + 2) / 2; 7/4 + 6/4 + 4/2.
        {LINKAGE_WEIGHTED, {1, 2.5, 5.25}},
        // sqrt(2|A||B|/(|A|+|B|)) ||c_A - c_B||.
        {LINKAGE_WARD, {1, std::sqrt(4.0 / 3) * 2.5, std::sqrt(1.5) * (7 - 4.0 / 3)}},
        {LINKAGE_CENTROID, {1, 2.5, 7 - 4.0 / 3}},
        {LINKAGE_MEDIAN, {1, 2.5, 7 - 1.75}},
        // The three have their columns already.
        {LINKAGE_AVE, {QNAN, QNAN, QNAN}},
    };
    data_run(LINE);
    make_tree(4, LINE_TREE);
    for (const Case &t : cases) {
        settings.linkage = t.linkage;
        std::vector<merge_quality_t> got = measure_merges();
        ASSERT_EQ(got.size(), 3u);
        for (int k = 0; k < 3; k++) {
            SCOPED_TRACE("linkage " + std::to_string(t.linkage) + " merge " + std::to_string(k));
            if (std::isnan(t.values[k]))
                EXPECT_TRUE(std::isnan(got[k].linkage_value));
            else
                EXPECT_NEAR(got[k].linkage_value, t.values[k], 1e-14 * t.values[k]);
        }
        // Ward's increases whatever the linkage: |A||B|/(|A|+|B|) ||c_A - c_B||^2.
        EXPECT_NEAR(got[0].ward_increase, 0.5, 1e-15);
        EXPECT_NEAR(got[1].ward_increase, 2.0 / 3 * 6.25, 1e-14);
        EXPECT_NEAR(got[2].ward_increase, 0.75 * (17.0 / 3) * (17.0 / 3), 1e-13);
    }
}

TEST_F(QualityMatrix, ADistanceMatrixGivesTheDataMatricesValues)
{
    // Random points in three dimensions, a random tree: the values from the
    // distance matrix equal those from the centroids of the points.
    std::mt19937 rng(3);
    std::normal_distribution<double> normal;
    const int n = 30, c = 3;
    std::vector<double> points(n * c), matrix(n * n, 0.0);
    for (double &v : points)
        v = normal(rng);
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++) {
            double sum = 0;
            for (int k = 0; k < c; k++)
                sum += (points[i * c + k] - points[j * c + k]) * (points[i * c + k] - points[j * c + k]);
            matrix[i * n + j] = std::sqrt(sum);
        }
    std::vector<int> live(n);
    for (int i = 0; i < n; i++)
        live[i] = i;
    std::vector<Merge> merges;
    // Clusters by hand: members, centroid, median point.
    std::vector<std::vector<int>> members(2 * n - 1);
    std::vector<std::vector<double>> centroid(2 * n - 1), median(2 * n - 1);
    for (int i = 0; i < n; i++) {
        members[i] = {i};
        centroid[i] = median[i] = std::vector<double>(points.begin() + i * c, points.begin() + (i + 1) * c);
    }
    std::vector<double> centroid_distance, median_distance;
    for (int k = 0; k < n - 1; k++) {
        std::shuffle(live.begin(), live.end(), rng);
        int a = live[0], b = live[1], m = n + k;
        merges.push_back({a, b, 1.0});
        double na = (double)members[a].size(), nb = (double)members[b].size();
        members[m] = members[a];
        members[m].insert(members[m].end(), members[b].begin(), members[b].end());
        double dc = 0, dm = 0;
        for (int e = 0; e < c; e++) {
            centroid[m].push_back((na * centroid[a][e] + nb * centroid[b][e]) / (na + nb));
            median[m].push_back((median[a][e] + median[b][e]) / 2);
            dc += (centroid[a][e] - centroid[b][e]) * (centroid[a][e] - centroid[b][e]);
            dm += (median[a][e] - median[b][e]) * (median[a][e] - median[b][e]);
        }
        centroid_distance.push_back(std::sqrt(dc));
        median_distance.push_back(std::sqrt(dm));
        live.erase(live.begin());
        live[0] = m;
    }
    matrix_run(matrix);
    make_tree(n, merges);
    for (int linkage : {LINKAGE_CENTROID, LINKAGE_MEDIAN}) {
        settings.linkage = linkage;
        std::vector<merge_quality_t> got = measure_merges();
        const std::vector<double> &want = linkage == LINKAGE_CENTROID ? centroid_distance : median_distance;
        for (int k = 0; k < n - 1; k++)
            EXPECT_NEAR(got[k].linkage_value, want[k], 1e-10 * want[k]) << linkage << " merge " << k;
    }
}

TEST_F(QualityMatrix, AnUnknownPairLeavesItsMergeAndThoseAboveUnknown)
{
    // d(1, 2) unknown: merge {1,2} has no centroid distance, nor has the
    // root above it; weighted linkage takes the known pairs.
    matrix_run({0, 4, 5,
                4, 0, QNAN,
                5, 1, 0});
    make_tree(3, THREE);
    for (int linkage : {LINKAGE_WARD, LINKAGE_CENTROID, LINKAGE_MEDIAN, LINKAGE_WEIGHTED}) {
        settings.linkage = linkage;
        std::vector<merge_quality_t> got = measure_merges();
        EXPECT_TRUE(std::isnan(got[0].linkage_value)) << linkage;
        EXPECT_TRUE(std::isnan(got[0].ward_increase)) << linkage;
        if (linkage == LINKAGE_WEIGHTED)
            EXPECT_DOUBLE_EQ(got[1].linkage_value, 4.5) << linkage;
        else
            EXPECT_TRUE(std::isnan(got[1].linkage_value)) << linkage;
    }
}

TEST_F(QualityList, WeightedLinkageOverTheGivenPairsOnly)
{
    // The line's pairs without d(1, 3): the root's mean over the others,
    // weighted 1/4, 1/2 against 3, renormalised over the weights known.
    list_run({{0, 1, 1}, {0, 2, 3}, {1, 2, 2}, {0, 3, 7}, {2, 3, 4}});
    make_tree(4, LINE_TREE);
    settings.linkage = LINKAGE_WEIGHTED;
    std::vector<merge_quality_t> got = measure_merges();
    EXPECT_DOUBLE_EQ(got[1].linkage_value, 2.5);
    EXPECT_DOUBLE_EQ(got[2].linkage_value, (7 * 0.25 + 4 * 0.5) / 0.75);
    EXPECT_TRUE(std::isnan(got[2].ward_increase));
}

TEST(QualityExtras, WhichRunsGetTheLinkageColumnAndTheWardCost)
{
    struct Case {
        int cluster, linkage;
        bool euclidean;
        int missing;
        int column;
        bool ward_cost;
    } cases[] = {
        {CLUSTER_ROWS, LINKAGE_AVE, true, MISSING_PROPAGATE, -1, true},
        {CLUSTER_COLS, LINKAGE_MIN, false, MISSING_PROPAGATE, -1, false},
        {CLUSTER_ROWS, LINKAGE_WARD, true, MISSING_PROPAGATE, LINKAGE_WARD, true},
        {CLUSTER_ROWS, LINKAGE_WEIGHTED, false, MISSING_PROPAGATE, LINKAGE_WEIGHTED, false},
        // Distances scaled pair by pair are not those of points.
        {CLUSTER_ROWS, LINKAGE_AVE, true, MISSING_PAIRWISE, -1, false},
        // A distance matrix is euclidean at the user's word, which only
        // Ward, centroid and median linkage give.
        {CLUSTER_DISTMAT, LINKAGE_MEDIAN, false, MISSING_PROPAGATE, LINKAGE_MEDIAN, true},
        {CLUSTER_DISTMAT, LINKAGE_AVE, false, MISSING_PROPAGATE, -1, false},
        {CLUSTER_DISTLIST, LINKAGE_WEIGHTED, false, MISSING_PROPAGATE, LINKAGE_WEIGHTED, false},
    };
    for (const Case &t : cases) {
        EngineSettings s;
        s.cluster = t.cluster;
        s.linkage = t.linkage;
        s.missing = t.missing;
        quality_extras_t got = quality_extras(s, t.euclidean);
        EXPECT_EQ(got.linkage, t.column) << t.cluster << " " << t.linkage;
        EXPECT_EQ(got.ward_cost, t.ward_cost) << t.cluster << " " << t.linkage;
    }
}

// ---------------------------------------------------------------------------
// The file

class QualityFile : public ::testing::Test, public QualityRun {
  protected:
    std::string dir;

    void SetUp() override
    {
        char pattern[] = "/tmp/brivane_quality_XXXXXX";
        dir = mkdtemp(pattern);
    }

    void TearDown() override
    {
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        closedir(d);
        return names;
    }

    static std::string contents(const std::string &name)
    {
        std::ifstream f(name);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

char input_name[] = "in.nc";
char word_program[] = "brivane";
char word_minus_c[] = "-C";
char word_distmat[] = "distmat";
char word_negative[] = "\001-5";

TEST_F(QualityFile, HeaderRowsAndSummary)
{
    opt_set_text(INDEX_OPT_INPUT, input_name);
    arg_argv_vector = new string_vector{word_program, word_minus_c, word_distmat, word_negative};
    matrix_run({0, 4, 5, 4, 0, 1, 5, 1, 0});
    make_tree(3, THREE);
    n_dist = 6;
    std::string name = dir + "/q.txt";
    write_quality(name.c_str(), measure_merges(), object_count, n_dist / 2);
    EXPECT_EQ(contents(name), "# brivane clustering quality\n"
                              "# input\tin.nc\n"
                              "# options\t-C distmat --5\n"
                              "# objects\t3\n"
                              "# stored distances\t3\n"
                              "# merges at +infinity\t0\n"
                              "# node\tleft_size\tright_size\tmerge_distance\tmin\taverage\tmax\tpairs\n"
                              "3\t1\t1\t1\t1\t1\t1\t1\n"
                              "4\t2\t1\t4.5\t4\t4.5\t5\t2\n"
                              "# joint cost\t5.5\n"
                              "# sum of merge distances\t5.5\n"
                              "# pairs measured\t3\n"
                              "# merges without a known pair\t0\n");
    EXPECT_EQ(files(), std::vector<std::string>{"q.txt"});
}

TEST_F(QualityFile, TheLinkagesColumnAndTheWardCostComeLast)
{
    opt_set_text(INDEX_OPT_INPUT, input_name);
    arg_argv_vector = new string_vector{word_program};
    data_run(LINE);
    make_tree(4, LINE_TREE);
    settings.linkage = LINKAGE_MEDIAN;
    std::string name = dir + "/q.txt";
    quality_extras_t extras;
    extras.linkage = LINKAGE_MEDIAN;
    extras.ward_cost = true;
    write_quality(name.c_str(), measure_merges(), object_count, 6, extras);
    std::string text = contents(name);
    EXPECT_NE(text.find("# node\tleft_size\tright_size\tmerge_distance\tmin\taverage\tmax\tpairs\tmedian\n"
                        "4\t1\t1\t1\t1\t1\t1\t1\t1\n"
                        "5\t2\t1\t2.5\t2\t2.5\t3\t2\t2.5\n"
                        "6\t3\t1\t5.25\t4\t5.666666666666667\t7\t3\t5.25\n"
                        "# joint cost\t"),
              std::string::npos)
        << text;
    // The last line: 3 * 0.5 + 2 * 25/6 + 1 * 289/12 = 407/12.
    std::string tail = "# merges without a known pair\t0\n# level-summed Ward cost\t";
    size_t at = text.find(tail);
    ASSERT_NE(at, std::string::npos) << text;
    std::string last = text.substr(at + tail.size());
    EXPECT_NEAR(std::strtod(last.c_str(), nullptr), 407.0 / 12, 1e-13);
    EXPECT_EQ(last.find('\n'), last.size() - 1);
}

TEST_F(QualityFile, UnknownMergesAreNanAndLeftOutOfTheJointCost)
{
    opt_set_text(INDEX_OPT_INPUT, input_name);
    matrix_run({0, 4, 5, 4, 0, QNAN, 5, 1, 0});
    make_tree(3, {{1, 2, INF}, {3, 0, 4.5}});
    std::string name = dir + "/q.txt";
    write_quality(name.c_str(), measure_merges(), object_count, n_dist / 2);
    std::string text = contents(name);
    EXPECT_NE(text.find("# merges at +infinity\t1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n3\t1\t1\tinf\tnan\tnan\tnan\t0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# joint cost\t4.5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# sum of merge distances\tinf\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# merges without a known pair\t1\n"), std::string::npos) << text;
}

TEST_F(QualityFile, AnEarlierFileIsReplacedWhole)
{
    opt_set_text(INDEX_OPT_INPUT, input_name);
    std::string name = dir + "/q.txt";
    std::ofstream(name) << std::string(100000, 'x');
    matrix_run({0, 4, 5, 4, 0, 1, 5, 1, 0});
    make_tree(3, THREE);
    write_quality(name.c_str(), measure_merges(), object_count, n_dist / 2);
    EXPECT_EQ(contents(name).find("xxxx"), std::string::npos);
}

TEST_F(QualityFile, AFileThatCannotBeWrittenEndsTheRun)
{
    opt_set_text(INDEX_OPT_INPUT, input_name);
    std::string name = dir + "/missing/q.txt";
    EXPECT_RUN_ERROR(write_quality(name.c_str(), {}, object_count, n_dist / 2), 1,
                     "^ERROR! Error writing quality file .*/missing/q.txt: No such file or directory\n$");
}

TEST_F(QualityFile, ChecksBeforeTheRun)
{
    std::string input = dir + "/in.nc";
    std::ofstream(input) << "data";
    std::string output = dir + "/out.nc";
    struct Case {
        const char *what;
        std::string quality;
        const char *message;
    } refused[] = {
        {"a folder that does not exist", dir + "/missing/q.txt",
         "^ERROR! Error writing quality file .*/missing/q.txt: No such file or directory\n$"},
        {"a folder itself", dir, "^ERROR! The quality file is a folder: "},
        {"the input", dir + "/./in.nc", "^ERROR! The quality file must be another file than the input and the output file!\n$"},
        {"the output, not yet there", dir + "/../" + dir.substr(5) + "/out.nc",
         "^ERROR! The quality file must be another file than the input and the output file!\n$"},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.what);
        EXPECT_RUN_ERROR(check_quality_file(c.quality.c_str(), input.c_str(), output.c_str()), 1, c.message);
    }
    std::string quality = dir + "/q.txt";
    check_quality_file(quality.c_str(), input.c_str(), output.c_str());
    EXPECT_EQ(files(), std::vector<std::string>{"in.nc"});
}

} // namespace
