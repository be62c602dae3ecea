// Unit tests of the missing-value handling of a run: the -U messages, which
// pairs go to the pairwise measure, and the pairs left without a distance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include <netcdfcpp.h>

#include "Distance.h"
#include "brivane.h"
#include "distances.h"
#include "program_sink.h"
#include "run_error.h"
#include "small_dist.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

// The Euclidean distance, counting its calls: the plain path of the run.
class CountingEuclidean : public DistanceEuclidean<double> {
  public:
    int calls = 0;
    double distance(const double *x, const double *y, int xlen, int ylen) override
    {
        calls++;
        return DistanceEuclidean<double>::distance(x, y, xlen, ylen);
    }
};

// A run of its own for each test, whose lines go to standard error as the
// program prints them.
class Missing : public ::testing::Test, public Run {
  protected:
    CountingEuclidean plain;
    std::vector<double> values;
    std::vector<int> ints;

    void SetUp() override
    {
        run_sink = &program_sink();
        settings.cluster = CLUSTER_ROWS;
        settings.all_pairwise = false;
        setting(MISSING_PROPAGATE, false);
        run_random.seed(7);
    }

    // The -U setting as the driver leaves it: the keyword's index, given by
    // the user or the default.
    void setting(int mode, bool given)
    {
        settings.missing = mode;
        settings.missing_given = given;
    }

    // Double objects of c values each, row after row.
    void objects(int c, const std::vector<double> &v)
    {
        values = v;
        row_length = c;
        object_count = static_cast<int>(v.size()) / c;
        type = ncDouble;
        data_double = values.data();
        measure_double = &plain;
    }

    std::string prepare(const char *distkey)
    {
        testing::internal::CaptureStderr();
        prepare_missing_values(distkey);
        return testing::internal::GetCapturedStderr();
    }

    void store_for(int count)
    {
        num_distances = count;
        testing::internal::CaptureStderr();
        init_distances();
        testing::internal::GetCapturedStderr();
    }
};

// Four objects of three values: 0 and 1 complete, 2 with one NaN, 3 with two.
const std::vector<double> FOUR = {0, 0, 0, 3, 4, 0, NaN, 1, 0, 1, NaN, NaN};

TEST_F(Missing, MessagesSayWhatTheSettingDoesWithTheData)
{
    struct {
        const char *what;
        int element_type;
        int mode;
        bool given;
        const char *distkey;
        const char *expected;   // "" for silence
    } cases[] = {
        {"NaN propagating by default", ncDouble, MISSING_PROPAGATE, false, "euclidean",
         "WARNING! The data hold 3 missing values (NaN); each makes every distance of its object NaN, "
         "and pairs at NaN distance merge after all others, before the joins at +inf. "
         "Use -U pairwise to skip missing values pair by pair.\n"},
        {"NaN propagating as asked", ncDouble, MISSING_PROPAGATE, true, "euclidean", ""},
        {"NaN skipped", ncDouble, MISSING_PAIRWISE, true, "euclidean",
         "  3 missing values in 2 objects are skipped pair by pair\n"},
        {"int data", ncInt, MISSING_PAIRWISE, true, "euclidean",
         "WARNING! -U/--missing has no effect on int data, which cannot hold missing values.\n"},
        {"char data", ncChar, MISSING_PROPAGATE, true, "hamming",
         "WARNING! -U/--missing has no effect on char data, which cannot hold missing values.\n"},
        {"int data by default", ncInt, MISSING_PROPAGATE, false, "euclidean", ""},
        {"given distances", ncDouble, MISSING_PAIRWISE, true, nullptr,
         "WARNING! -U/--missing has no effect on given distances: NaN and infinite distances are always left out.\n"},
        {"given distances by default", ncDouble, MISSING_PROPAGATE, false, nullptr, ""},
    };
    for (const auto &c : cases) {
        reset_missing_values();
        objects(3, FOUR);
        type = c.element_type;
        setting(c.mode, c.given);
        EXPECT_EQ(prepare(c.distkey), c.expected) << c.what;
        EXPECT_EQ(rows_with_missing != nullptr, c.mode == MISSING_PAIRWISE && c.element_type == ncDouble && c.distkey)
            << c.what;
    }
}

// By default a NaN makes a string measure's distance NaN too; skipping
// missing values pair by pair, a string takes it as a character.
TEST_F(Missing, CentroidLinkagesRefuseMissingValuesComparedPairByPair)
{
    for (int linkage : {LINKAGE_WARD, LINKAGE_CENTROID, LINKAGE_MEDIAN}) {
        reset_missing_values();
        objects(3, FOUR);
        settings.linkage = linkage;
        setting(MISSING_PAIRWISE, true);
        EXPECT_RUN_ERROR(prepare_missing_values("euclidean"), 1,
                         "^ERROR! Ward, centroid and median linkage need the objects as points of one euclidean "
                         "space, and objects with missing values compared pair by pair \\(-U pairwise\\) are not");
        // Propagated missing values make NaN distances, which the dense engine refuses on its own.
        reset_missing_values();
        setting(MISSING_PROPAGATE, true);
        EXPECT_EQ(prepare("euclidean"), "") << linkage;
    }
    // Without a missing value there is nothing to skip and nothing to refuse.
    reset_missing_values();
    objects(3, {1, 2, 3, 4, 5, 6});
    settings.linkage = LINKAGE_WARD;
    setting(MISSING_PAIRWISE, true);
    EXPECT_EQ(prepare("euclidean"), "");
}

TEST_F(Missing, StringMeasuresTakeNaNAsACharacterOnlyWhenSkippingPairByPair)
{
    for (int mode : {MISSING_PROPAGATE, MISSING_PAIRWISE}) {
        for (const char *key : {"hamming", "levenshtein"}) {
            SCOPED_TRACE(std::string(key) + (mode == MISSING_PAIRWISE ? " pairwise" : " propagating"));
            reset_missing_values();
            objects(3, {1, 2, 3, 1, NaN, 3});
            make_measure(key, 0);
            setting(mode, true);
            prepare(key);
            double d = calc_distance(0, 1);
            if (mode == MISSING_PAIRWISE)
                EXPECT_EQ(d, 1);
            else
                EXPECT_TRUE(std::isnan(d)) << d;
        }
    }
}

TEST_F(Missing, OnlyPairsWithAMissingCellLeaveThePlainMeasure)
{
    objects(3, FOUR);
    setting(MISSING_PAIRWISE, true);
    prepare("euclidean");
    EXPECT_DOUBLE_EQ(calc_distance(0, 1), 5);
    EXPECT_EQ(plain.calls, 1);
    EXPECT_DOUBLE_EQ(calc_distance(1, 2), std::sqrt(1.5 * 9)) << "positions 1 and 2, scaled by 3/2";
    EXPECT_DOUBLE_EQ(calc_distance(3, 0), std::sqrt(3.0 * 1));
    EXPECT_TRUE(std::isnan(calc_distance(2, 3))) << "no shared position";
    EXPECT_EQ(plain.calls, 1);
}

TEST_F(Missing, APairWithoutDistanceIsRememberedNotStored)
{
    objects(3, FOUR);
    setting(MISSING_PAIRWISE, true);
    prepare("euclidean");
    store_for(6);
    EXPECT_TRUE(std::isnan(getdist(2, 3, NO_DISTANCE)));
    EXPECT_EQ(n_dist, 0);
    EXPECT_EQ(pairs_without_distance(), 1);
    EXPECT_TRUE(std::isnan(getdist(3, 2, NO_DISTANCE)));
    EXPECT_EQ(pairs_without_distance(), 1) << "the same pair counts once";
    EXPECT_EQ(getdist(0, 1, NO_DISTANCE), 5.0);
    EXPECT_EQ(n_dist, 2);
    testing::internal::CaptureStderr();
    report_pairs_without_distance();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "  1 pairs have no distance (their objects share too few values) and were left out\n");
}

TEST_F(Missing, RandomPairsStopWhenNoFurtherPairHasADistance)
{
    // Object 2 has no value at all and object 4 shares none with 3: of the
    // ten pairs five have a distance, however many are asked for.
    objects(2, {0, 1, 2, 2, NaN, NaN, 5, NaN, NaN, 7});
    setting(MISSING_PAIRWISE, true);
    prepare("euclidean");
    EXPECT_EQ(pairs_without_distance(), 4) << "the pairs of object 2 are known at once";
    store_for(10);
    random_dist();
    EXPECT_EQ(n_dist / 2, 5);
    EXPECT_EQ(pairs_without_distance(), 5);
}

TEST_F(Missing, AnObjectWithoutValuesIsNeverAPivot)
{
    std::vector<double> v(2 * 50, 1.0);
    for (int o = 0; o < 49; o++)
        v[2 * o] = v[2 * o + 1] = NaN;   // only object 49 has values
    objects(2, v);
    setting(MISSING_PAIRWISE, true);
    prepare("euclidean");
    settings.num_pivots = 5;
    settings.pivot_strategy = PIVOT_RANDOM;
    testing::internal::CaptureStderr();
    choose_pivots();
    testing::internal::GetCapturedStderr();
    for (int p = 0; p < 5; p++)
        EXPECT_EQ(pivots[p], 49);
    delete_pivots();
}

} // namespace
