// Unit tests of the library's entry points: the program's tree for the same data and options, runs at once on
// several threads, and the options checked as the program checks them.
#include <gtest/gtest.h>

#include <brivane/brivane.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <netcdfcpp.h>

#include "capture_sink.h"
#include "run_error.h"

namespace {

// Points in a few clusters, with some values repeated so that ties occur.
std::vector<double> clustered(int n, int dims, unsigned seed)
{
    std::mt19937 gen(seed);
    std::normal_distribution<double> noise(0, 1);
    std::vector<double> x((size_t)n * dims);
    for (int i = 0; i < n; i++)
        for (int d = 0; d < dims; d++)
            x[(size_t)i * dims + d] = 8.0 * ((i * 7 + d) % 5) + noise(gen);
    return x;
}

bool operator==(const brivane::Tree &a, const brivane::Tree &b)
{
    return a.left == b.left && a.right == b.right && a.start == b.start && a.end == b.end &&
           a.old2new == b.old2new && a.new2old == b.new2old && a.distance == b.distance;
}

// The program: $BRIVANE, or the one built beside this test binary.
std::string program()
{
    if (const char *named = std::getenv("BRIVANE"))
        return named;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = length > 0 ? std::string(self, (size_t)length) : std::string("./unit_tests");
    return path.substr(0, path.rfind('/') + 1) + "brivane";
}

// The program itself, on files in a folder of the test's own.
class Program : public testing::Test {
  protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/brivane_library_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(0, std::system(command.c_str()));
    }

    // A data matrix (or, with `square`, a distance matrix) of doubles.
    std::string write_matrix(const std::vector<double> &x, long rows, long cols)
    {
        std::string path = dir + "/in.nc";
        NcFile f(path.c_str(), NcFile::Replace);
        NcDim *r = f.add_dim("r", rows);
        NcDim *c = f.add_dim("c", cols);
        f.add_var("x", ncDouble, r, c)->put(x.data(), rows, cols);
        return path;
    }

    std::string write_list(int objects, const std::vector<int> &from, const std::vector<int> &to,
                           const std::vector<double> &d)
    {
        std::string path = dir + "/in.nc";
        NcFile f(path.c_str(), NcFile::Replace);
        f.add_dim("objects", objects);
        NcDim *m = f.add_dim("m", (long)d.size());
        f.add_var("d", ncDouble, m)->put(d.data(), (long)d.size());
        f.add_var("f", ncInt, m)->put(from.data(), (long)from.size());
        f.add_var("t", ncInt, m)->put(to.data(), (long)to.size());
        return path;
    }

    // The tree the program writes for `input` and the options `words`.
    brivane::Tree program_tree(const std::string &input, const std::string &words)
    {
        std::string out = dir + "/out.nc";
        std::string command = program() + " -i " + input + " -o " + out + " " + words + " > /dev/null 2>&1";
        EXPECT_EQ(0, std::system(command.c_str())) << command;
        NcFile f(out.c_str());
        // The variables' prefix is the program's default for the mode.
        std::string prefix = words.find("-C cols") != std::string::npos   ? "col_"
                             : words.find("-C dist") != std::string::npos ? ""
                                                                          : "row_";
        brivane::Tree tree;
        auto ints = [&](const char *name, std::vector<int32_t> &to) {
            NcVar *v = f.get_var((prefix + name).c_str());
            to.resize(v->num_vals());
            v->get(to.data(), v->num_vals());
        };
        ints("left", tree.left);
        ints("right", tree.right);
        ints("start", tree.start);
        ints("end", tree.end);
        ints("old2new", tree.old2new);
        ints("new2old", tree.new2old);
        NcVar *d = f.get_var((prefix + "distance").c_str());
        tree.distance.resize(d->num_vals());
        d->get(tree.distance.data(), d->num_vals());
        return tree;
    }
};

TEST_F(Program, DataMatricesGiveTheProgramsTree)
{
    const int n = 400, dims = 6;
    std::vector<double> x = clustered(n, dims, 3);
    std::string input = write_matrix(x, n, dims);
    struct Case {
        const char *words;
        std::string cluster;
        void (*options)(brivane::Options &);
    } cases[] = {
        {"-d euclidean -R 5 -M 3000", "rows",
         [](brivane::Options &o) {
             o.distance = "euclidean";
             o.random_seed = 5;
             o.num_distances = 3000;
         }},
        {"-d pearson -l min -R 2 -M 2500 -s 0.8 -q 8 -P quantile -Q 0.7 -S 40", "rows",
         [](brivane::Options &o) {
             o.distance = "pe";
             o.linkage = "MIN";
             o.random_seed = 2;
             o.num_distances = 2500;
             o.prop_similar = 0.8;
             o.num_pivots = 8;
             o.pivot_strategy = "quant";
             o.pivot_quantile = 0.7;
             o.split_threshold = 40;
         }},
        {"-d manhattan -l max -a -R 1", "rows",
         [](brivane::Options &o) {
             o.distance = "manhattan";
             o.linkage = "max";
             o.all_pairwise = true;
             o.random_seed = 1;
         }},
        {"-d euclidean -a -E dense -R 1", "rows",
         [](brivane::Options &o) {
             o.distance = "euclidean";
             o.all_pairwise = true;
             o.engine = "dense";
             o.random_seed = 1;
         }},
        {"-d manhattan -a -l min -E linear -R 1", "rows",
         [](brivane::Options &o) {
             o.distance = "manhattan";
             o.linkage = "min";
             o.all_pairwise = true;
             o.engine = "lin";
             o.random_seed = 1;
         }},
        {"-d euclidean -a -l ward -E linear -R 1", "rows",
         [](brivane::Options &o) {
             o.distance = "euclidean";
             o.linkage = "ward";
             o.all_pairwise = true;
             o.engine = "linear";
             o.random_seed = 1;
         }},
        {"-d euclidean -C cols -R 4 -M 10", "cols",
         [](brivane::Options &o) {
             o.distance = "euclidean";
             o.random_seed = 4;
             o.num_distances = 10;
         }},
    };
    for (const Case &c : cases) {
        brivane::Options options;
        c.options(options);
        options.cluster = c.cluster;
        brivane::Tree want = program_tree(input, c.words);
        for (int threads : {1, 2, 3}) {
            options.threads = threads;
            brivane::Tree got = brivane::cluster({x.data(), brivane::Type::Double, n, dims}, options);
            EXPECT_TRUE(got == want) << c.words << " -j " << threads;
        }
    }
}

TEST_F(Program, FloatsAndIntsAreClusteredWithoutConversion)
{
    const int n = 200, dims = 4;
    std::vector<double> x = clustered(n, dims, 9);
    std::vector<float> data_float(x.begin(), x.end());
    std::vector<int> data_int(x.size());
    for (size_t k = 0; k < x.size(); k++)
        data_int[k] = (int)std::lround(10 * x[k]);
    for (int typed = 0; typed < 2; typed++) {
        std::string path = dir + "/typed.nc";
        {
            NcFile f(path.c_str(), NcFile::Replace);
            NcDim *r = f.add_dim("r", n);
            NcDim *c = f.add_dim("c", dims);
            if (typed == 0)
                f.add_var("x", ncFloat, r, c)->put(data_float.data(), n, dims);
            else
                f.add_var("x", ncInt, r, c)->put(data_int.data(), n, dims);
        }
        brivane::Options options;
        options.distance = "euclidean";
        options.random_seed = 3;
        options.num_distances = 1500;
        brivane::Matrix m = typed == 0 ? brivane::Matrix{data_float.data(), brivane::Type::Float, n, dims}
                                       : brivane::Matrix{data_int.data(), brivane::Type::Int, n, dims};
        EXPECT_TRUE(brivane::cluster(m, options) == program_tree(path, "-d euclidean -R 3 -M 1500"))
            << (typed == 0 ? "float" : "int");
    }
}

TEST_F(Program, GivenDistancesGiveTheProgramsTree)
{
    const int n = 60;
    std::vector<double> x = clustered(n, 3, 11);
    std::vector<double> d((size_t)n * n);
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++) {
            double s = 0;
            for (int k = 0; k < 3; k++)
                s += (x[i * 3 + k] - x[j * 3 + k]) * (x[i * 3 + k] - x[j * 3 + k]);
            d[(size_t)i * n + j] = std::sqrt(s);
        }
    brivane::Options options;
    options.cluster = "distmat";
    options.random_seed = 1;
    for (const char *engine : {"store", "dense"}) {
        options.engine = engine;
        EXPECT_TRUE(brivane::cluster({d.data(), brivane::Type::Double, n, n}, options) ==
                    program_tree(write_matrix(d, n, n), std::string("-C distmat -R 1 -E ") + engine))
            << engine;
    }

    // Some pairs only, one of them twice and one NaN: the first usable entry holds.
    std::vector<int> from, to;
    std::vector<double> value;
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j += 7) {
            from.push_back(i);
            to.push_back(j);
            value.push_back(d[(size_t)i * n + j]);
        }
    from.push_back(1);
    to.push_back(0);
    value.push_back(0.5);
    value[3] = std::nan("");
    brivane::Options list;
    list.random_seed = 6;
    EXPECT_TRUE(brivane::cluster(n, from.data(), to.data(), value.data(), (int64_t)value.size(), list) ==
                program_tree(write_list(n, from, to, value), "-C distlist -F f -T t -N objects -R 6"));
}

TEST(Library, RunsAtOnceOnTwoThreadsGiveTheTreesOfEachAlone)
{
    const int n = 3000, dims = 8;
    std::vector<double> a = clustered(n, dims, 1), b = clustered(n, dims, 2);
    brivane::Options options;
    options.distance = "euclidean";
    options.random_seed = 7;
    options.num_distances = 40000;
    options.threads = 1;
    brivane::Tree alone_a = brivane::cluster({a.data(), brivane::Type::Double, n, dims}, options);
    brivane::Tree alone_b = brivane::cluster({b.data(), brivane::Type::Double, n, dims}, options);
    ASSERT_FALSE(alone_a == alone_b);
    for (int round = 0; round < 3; round++) {
        brivane::Tree at_once_a, at_once_b;
        std::thread first([&] { at_once_a = brivane::cluster({a.data(), brivane::Type::Double, n, dims}, options); });
        std::thread second([&] { at_once_b = brivane::cluster({b.data(), brivane::Type::Double, n, dims}, options); });
        first.join();
        second.join();
        EXPECT_TRUE(at_once_a == alone_a) << "round " << round;
        EXPECT_TRUE(at_once_b == alone_b) << "round " << round;
    }
}

TEST(Library, TheReportGoesToTheSinkAndNowhereElse)
{
    std::vector<double> x = clustered(100, 2, 4);
    brivane::Options options;
    options.distance = "euclidean";
    options.random_seed = 1;
    options.num_distances = 500;
    CaptureSink sink;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    brivane::cluster({x.data(), brivane::Type::Double, 100, 2}, options, sink);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_NE(std::string::npos, sink.report.find("Random seed from user = 1\n"));
    EXPECT_NE(std::string::npos, sink.report.find("Running hierarchical clustering..."));
    EXPECT_EQ(1u, sink.summaries.size());
}

TEST(Library, OptionsAreCheckedAsTheProgramChecksThem)
{
    std::vector<double> x = clustered(20, 2, 4);
    brivane::Matrix m{x.data(), brivane::Type::Double, 20, 2};
    struct Case {
        void (*change)(brivane::Options &);
        const char *message;
    } cases[] = {
        {[](brivane::Options &o) { o.distance.clear(); }, "^ERROR! Distance measure not specified!"},
        {[](brivane::Options &o) { o.distance = "abs"; }, "^ERROR! 'abs' matches to several distance measures!"},
        {[](brivane::Options &o) { o.linkage = "medians"; },
         "^ERROR! Value 'medians' of --linkage is not allowed, legal values are non-ambiguous prefixes"},
        {[](brivane::Options &o) { o.linkage = "m"; },
         "^ERROR! Value 'm' of --linkage is not allowed, legal values are non-ambiguous prefixes of the following "
         "keywords: 'MIN' 'AVE' 'MAX' 'WARD' 'CENTROID' 'MEDIAN' 'WEIGHTED'\n"},
        {[](brivane::Options &o) {
             o.linkage = "ward";
             o.distance = "manhattan";
             o.all_pairwise = true;
         },
         "^ERROR! Ward linkage needs euclidean distances"},
        {[](brivane::Options &o) {
             o.linkage = "centroid";
             o.engine = "store";
         },
         "^ERROR! The distance store \\(-E store\\) does not cluster by Centroid linkage: its merge values"},
        {[](brivane::Options &o) {
             o.linkage = "me";
             o.all_pairwise = true;
             o.engine = "store";
         },
         "^ERROR! The distance store \\(-E store\\) does not cluster by Median linkage"},
        {[](brivane::Options &o) { o.cluster = "d"; }, "^ERROR! Value 'd' of --cluster is not allowed"},
        {[](brivane::Options &o) { o.cluster = "distl"; }, "^ERROR! A distance list is clustered through its own"},
        {[](brivane::Options &o) { o.time = 0; }, "^ERROR! Option --time must be at least 0.001"},
        {[](brivane::Options &o) { o.memory = INFINITY; }, "^ERROR! Option --memory requires a finite value!"},
        {[](brivane::Options &o) { o.num_pivots = 0; }, "^ERROR! Option --num-pivots must be at least 1!"},
        {[](brivane::Options &o) { o.threads = -2; }, "^ERROR! Option --threads must be at least 1!"},
        {[](brivane::Options &o) { o.distance = "minkowski"; },
         "^ERROR! Minkowski distance requires parameter --minkowski-p or -p"},
        {[](brivane::Options &o) { o.memory = 1e-9; }, "^ERROR! Insufficient memory to hold all input data\n"},
        {[](brivane::Options &o) {
             o.distance.clear();
             o.cluster = "distmat";
         },
         "^ERROR! A distance matrix must be square"},
    };
    for (const Case &c : cases) {
        brivane::Options options;
        options.distance = "euclidean";
        c.change(options);
        EXPECT_RUN_ERROR(brivane::cluster(m, options), 1, c.message);
    }
    std::vector<int32_t> from = {0, 5}, to = {1, 2};
    std::vector<double> d = {1, 2};
    EXPECT_RUN_ERROR(brivane::cluster(3, from.data(), to.data(), d.data(), 2, brivane::Options()), 1,
                     "^ERROR! Entry 1 of the start-objects \\(from\\) vector names object 5, but the objects are 0..2!");
}

// A sink that keeps the phases it was told of and asks the run to stop
// from its `stop_at`-th question on (0: never).
class Steering : public brivane::Sink {
  public:
    int stop_at = 0;
    int questions = 0;
    std::vector<std::string> phases;
    int ends = 0;

    void progress_begin(const std::string &text) override { phases.push_back(text); }
    void progress_end() override { ends++; }
    bool stop() override { return ++questions >= stop_at && stop_at > 0; }
};

TEST(Library, TheCallerHearsOfEveryLongPhaseAndIsAskedWhetherToStop)
{
    std::vector<double> x = clustered(2000, 4, 5);
    brivane::Options options;
    options.distance = "euclidean";
    options.random_seed = 1;
    options.num_distances = 30000;
    options.threads = 1;
    Steering sink;
    brivane::cluster({x.data(), brivane::Type::Double, 2000, 4}, options, sink);
    EXPECT_EQ(sink.phases, (std::vector<std::string>{"  Calculating similarity heuristics based pairs...",
                                                      "  Calculating random pairs...",
                                                      "Running hierarchical clustering..."}));
    EXPECT_EQ(sink.ends, 3);
    EXPECT_GE(sink.questions, 1);
}

TEST(Library, AStopRequestEndsTheRunWithStatus130WhateverTheEngine)
{
    std::vector<double> x = clustered(600, 4, 6);
    brivane::Matrix m{x.data(), brivane::Type::Double, 600, 4};
    struct Case {
        const char *name;
        void (*options)(brivane::Options &);
    } cases[] = {
        {"heuristics", [](brivane::Options &o) { o.num_distances = 5000; }},
        {"random pairs only", [](brivane::Options &o) {
             o.num_distances = 5000;
             o.prop_similar = 0;
         }},
        {"all pairs, store", [](brivane::Options &o) {
             o.all_pairwise = true;
             o.engine = "store";
         }},
        {"all pairs, dense", [](brivane::Options &o) {
             o.all_pairwise = true;
             o.engine = "dense";
         }},
        {"all pairs, linear", [](brivane::Options &o) {
             o.all_pairwise = true;
             o.linkage = "min";
             o.engine = "linear";
         }},
        {"all pairs, linear Ward", [](brivane::Options &o) {
             o.all_pairwise = true;
             o.linkage = "ward";
             o.engine = "linear";
         }},
    };
    for (const Case &c : cases) {
        brivane::Options options;
        options.distance = "euclidean";
        options.random_seed = 1;
        c.options(options);
        Steering sink;
        sink.stop_at = 1;
        EXPECT_RUN_ERROR(brivane::cluster(m, options, sink), 130, "^ERROR! The run was stopped by its caller.\n$");
        EXPECT_EQ(sink.questions, 1) << c.name;
        // Not asked, the same run ends with its tree.
        Steering patient;
        EXPECT_EQ(brivane::cluster(m, options, patient).left.size(), 1199u) << c.name;
    }
}

} // namespace
