// Where the engine's lines go: the sink the caller installs, the programs'
// sink on standard error and standard output, and the silent sink.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <brivane/sink.hpp>

#include "Distance.h"
#include "brivane.h"
#include "capture_sink.h"
#include "distances.h"
#include "program_sink.h"
#include "small_dist.h"

namespace {

// A run of the test's own, whose sink the scopes change.
class Sink : public ::testing::Test, public Run {};

void no_pair(int, int, double) {}
double no_value(int, int)
{
    return 0.0;
}

// Engine calls that report, each on a run of its own.
struct Reporter : Run {
    void store_set_up()
    {
        object_count = 4;
        settings.cluster = CLUSTER_ROWS;
        settings.all_pairwise = false;
        num_distances = 5;
        init_distances();
        free_distances();
    }

    void missing_rule_on_given_distances()
    {
        settings.missing_given = true;
        prepare_missing_values(nullptr);
    }

    // Two objects in one cell of a one-pivot table: the join finds their pair.
    void join_of_two()
    {
        join_pair_sink = no_pair;
        join_pair_value = no_value;
        object_count = 2;
        settings.num_pivots = 1;
        settings.split_threshold = 1000;
        pivots = new int[1]();
        pivot_dists = new double[2]{1.0, 1.0};
        small_dists_work(1.0);
        delete_pivots();
    }

    void join_without_cells() { small_dists_work(0.0); }
};

// Each engine call with what it reports.
struct Reporting {
    const char *what;
    void (Reporter::*run)();
    std::string report;                  // the text pieces, joined
    std::vector<std::string> summaries;  // the summary lines
};

const Reporting reporting[] = {
    {"the store's size", &Reporter::store_set_up, "dist_size=12\n", {}},
    {"a missing-value rule without effect", &Reporter::missing_rule_on_given_distances,
     "WARNING! -U/--missing has no effect on given distances: NaN and infinite distances are always left out.\n", {}},
    {"the join's summary", &Reporter::join_of_two, "", {"neg_res1 = 0  neg_res2 = 0"}},
    {"a join without cells", &Reporter::join_without_cells,
     "\nWARNING! Epsilon is 0 or below (all sampled pivot bounds are 0), so the grid has no cells: skipping the "
     "similarity heuristics; random pairs take their place.\n",
     {}},
};

TEST_F(Sink, EngineLinesReachTheInstalledSinkAndNoStream)
{
    for (const Reporting &r : reporting) {
        CaptureSink capture;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        {
            Reporter run;
            SinkScope scope(run, capture);
            (run.*r.run)();
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << r.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << r.what;
        EXPECT_EQ(capture.report, r.report) << r.what;
        EXPECT_EQ(capture.summaries, r.summaries) << r.what;
    }
}

TEST_F(Sink, TheSilentSinkPrintsNothing)
{
    for (const Reporting &r : reporting) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        {
            Reporter run;
            SinkScope scope(run, brivane::silent_sink());
            (run.*r.run)();
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << r.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << r.what;
    }
}

TEST_F(Sink, TheProgramSinkPrintsTheReportOnStandardErrorAndTheSummaryOnStandardOutput)
{
    for (const Reporting &r : reporting) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        {
            Reporter run;
            SinkScope scope(run, program_sink());
            (run.*r.run)();
        }
        std::string out;
        for (const std::string &line : r.summaries)
            out += line + "\n";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.report) << r.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out) << r.what;
    }
}

TEST_F(Sink, ARunReportsToTheSilentSinkUntilOneIsInstalled)
{
    EXPECT_EQ(run_sink, &brivane::silent_sink());
}

TEST_F(Sink, AScopeGivesThePreviousSinkBackAlsoWhenAnExceptionPasses)
{
    brivane::Sink *before = run_sink;
    CaptureSink outer, inner;
    {
        SinkScope a(*this, outer);
        EXPECT_EQ(run_sink, &outer);
        {
            SinkScope b(*this, inner);
            EXPECT_EQ(run_sink, &inner);
        }
        EXPECT_EQ(run_sink, &outer);
        try {
            SinkScope b(*this, inner);
            throw std::runtime_error("stop");
        } catch (const std::runtime_error &) {
        }
        EXPECT_EQ(run_sink, &outer);
    }
    EXPECT_EQ(run_sink, before);
}

} // namespace
