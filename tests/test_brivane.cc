// Unit tests of the run driver: the budget arithmetic, input inspection and
// loading on small NetCDF files, and the option checks of main_arg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <netcdfcpp.h>

#include "Argumentyzer.h"
#include "brivane.h"
#include "element.h"
#include "brivane_arg.h"
#include "input_file.h"
#include "run_error.h"

namespace {

const int64_t GB = INT64_C(1073741824);

// A pattern (of a death test or EXPECT_RUN_ERROR) that matches `text`
// literally.
std::string literally(const std::string &text)
{
    std::string pattern;
    for (char c : text) {
        if (std::strchr(".[]{}()\\*+?|^$", c))
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

char *word(const std::string &text)
{
    return strdup(text.c_str());
}

struct Variable {
    std::string name;
    NcType type;
    std::vector<std::string> dims;
    std::vector<double> values;
};

// Each test drives a program run of its own.
class DriverTest : public ::testing::Test, public ProgramRun {
  protected:
    std::string dir;

    void SetUp() override
    {
        reset();
        char pattern[] = "/tmp/brivane_driver_XXXXXX";
        dir = mkdtemp(pattern);
    }

    // No options given, a command line of two words, no input file and a
    // budget of one gigabyte.
    void reset()
    {
        for (int k = 0; k < OPTION_CT; k++)
            opt_clear(k);
        arg_argv_vector->assign({word("brivane"), word("-i")});
        arg_operands_vector->clear();
        in = nullptr;
        clust_dim = nullptr;
        memory = GB;
    }

    void TearDown() override
    {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }

    // A classic NetCDF file with the given dimensions (in order) and variables.
    std::string write_file(const std::string &name, const std::vector<std::pair<std::string, long>> &dims,
                           const std::vector<Variable> &vars)
    {
        std::string path = dir + "/" + name;
        NcFile file(path.c_str(), NcFile::Replace);
        for (const auto &d : dims)
            file.add_dim(d.first.c_str(), d.second);
        for (const auto &v : vars) {
            const NcDim *shape[2];
            long counts[2];
            for (size_t k = 0; k < v.dims.size(); k++) {
                shape[k] = file.get_dim(v.dims[k].c_str());
                counts[k] = shape[k]->size();
            }
            NcVar *var = file.add_var(v.name.c_str(), v.type, (int)v.dims.size(), shape);
            if (v.values.empty())
                continue;
            if (v.type == ncChar) {
                std::vector<char> chars(v.values.begin(), v.values.end());
                var->put(chars.data(), counts);
            } else {
                var->put(v.values.data(), counts);
            }
        }
        return path;
    }

    // The cluster mode, for the option checks and for the run.
    void mode(int cluster)
    {
        opt_set_int(INDEX_OPT_CLUSTER, cluster);
        settings.cluster = cluster;
    }

    void set_text(int index, const std::string &value)
    {
        opt_set_text(index, word(value));
    }

    void open(const std::string &path)
    {
        open_input(path.c_str());
    }

    // Inspection and shapes of a file, as the input phase runs them.
    void inspect(const std::string &path)
    {
        open(path);
        detect_variables();
        read_shapes();
    }

    // What main_arg needs to pass its checks for a distance matrix.
    void distmat_run(const std::string &path, double gigabytes)
    {
        set_text(INDEX_OPT_CLUSTER, "distmat");
        set_text(INDEX_OPT_INPUT, path);
        set_text(INDEX_OPT_OUTPUT, dir + "/out.nc");
        opt_set_double(INDEX_OPT_MEMORY, gigabytes);
    }

    // A run of a data matrix that passes the option checks and ends at its
    // missing input: this run's settings are filled by then.  The status is
    // the one main_arg would return.
    int run_to_the_input(const std::string &folder)
    {
        opt_set_text(INDEX_OPT_DISTANCE, word("euclidean"));
        opt_set_text(INDEX_OPT_INPUT, word(folder + "/none.nc"));
        opt_set_text(INDEX_OPT_OUTPUT, word(folder + "/out.nc"));
        testing::internal::CaptureStderr();
        int status;
        try {
            status = run();
        } catch (const brivane::Error &error) {
            status = error.status();
        }
        testing::internal::GetCapturedStderr();
        return status;
    }
};

Variable matrix(const std::string &name, NcType t, const std::string &rows, const std::string &cols,
                std::vector<double> values = {})
{
    return {name, t, {rows, cols}, values};
}

Variable vector_of(const std::string &name, NcType t, const std::string &dim, std::vector<double> values = {})
{
    return {name, t, {dim}, values};
}

// --- Budget arithmetic -------------------------------------------------------

TEST(Budget, GigabytesAreUnitsOfTwoToTheThirtyBytes)
{
    EXPECT_EQ(GB, memory_from_gigabytes(1.0));
    EXPECT_EQ(2 * GB, memory_from_gigabytes(2.0));
    EXPECT_EQ(GB / 2, memory_from_gigabytes(0.5));
    EXPECT_EQ(1, memory_from_gigabytes(1e-9));     // 1.07 bytes, truncated
    EXPECT_EQ(-1, memory_from_gigabytes(-1e-9));   // toward zero
    EXPECT_EQ(0, memory_from_gigabytes(0.0));
}

TEST(Budget, HugeBudgetsAreHeldWithinTwoToTheSixtyTwo)
{
    EXPECT_EQ(INT64_C(4611686018427387904), memory_from_gigabytes(1e300));
    EXPECT_EQ(-INT64_C(4611686018427387904), memory_from_gigabytes(-1e300));
}

TEST(Budget, AllPairsCountsDistinctPairsIn64Bits)
{
    EXPECT_EQ(0, all_pairs(0));
    EXPECT_EQ(0, all_pairs(1));
    EXPECT_EQ(1, all_pairs(2));
    EXPECT_EQ(4950, all_pairs(100));
    EXPECT_EQ(INT64_C(4999950000), all_pairs(100000));
}

TEST(Budget, TimeSampleAllowsHalfTheBudgetAtTheSampledRatePlusOne)
{
    EXPECT_EQ(1500001, sample_count(30.0, 0.001, 100000));
    EXPECT_EQ(51, sample_count(1.0, 1.0, 100000));
    EXPECT_EQ(1, sample_count(0.0, 0.5, 100000));
}

TEST(Budget, TimeSampleOfNoTimeAllowsEveryPair)
{
    EXPECT_EQ(4950, sample_count(30.0, 0.0, 100));
}

TEST(Budget, TimeSampleQuotientIsHeldWithinSixtyTwoBits)
{
    EXPECT_EQ(INT64_C(1) << 62, sample_count(1e20, 1e-9, 100));
    EXPECT_EQ(-(INT64_C(1) << 62), sample_count(-1e20, 1e-9, 100));
    EXPECT_EQ(INT64_C(5000000001), sample_count(1e3, 1e-5, 100));  // beyond 2^31
}

TEST(Budget, OneGigabyteOfTenThousandTimesHundredDoubles)
{
    int64_t left = memory_from_gigabytes(1.0) - 8 * 10000 * 100;
    EXPECT_EQ(INT64_C(1065741824), left);
    EXPECT_EQ(4262967, bound_num_distances(5000000, left, 10000));    // cut by memory
    EXPECT_EQ(200000, bound_num_distances(1000, left, 10000));        // raised to 20 per object
    EXPECT_EQ(300000, bound_num_distances(300000, left, 10000));      // kept
}

TEST(Budget, CountIsCappedAtAllPairs)
{
    EXPECT_EQ(4950, bound_num_distances(10000, 2 * GB, 100));
    EXPECT_EQ(0, bound_num_distances(100, 2 * GB, 1));
}

TEST(Budget, NegativeCountIsRaisedToTwentyPerObject)
{
    EXPECT_EQ(20000, bound_num_distances(-5, 2 * GB, 1000));
}

TEST(Budget, CountIsCappedAtWhatTheStoreHolds)
{
    EXPECT_EQ(STORE_MAX_PAIRS, bound_num_distances(INT32_MAX, INT64_C(1) << 62, 100000));
    // Twice the pairs plus one spare pair, times six hash heads, stays 32-bit.
    EXPECT_LE((2 * STORE_MAX_PAIRS + 2) * 6 + 1, (int64_t)INT32_MAX);
}

TEST(Budget, ColumnTransposeOfThreeByTwoMatrix)
{
    const int file[] = {1, 2, 3, 4, 5, 6};   // rows (1,2), (3,4), (5,6)
    int objects[6];
    transpose(file, 3, 2, objects);
    EXPECT_EQ(std::vector<int>({1, 3, 5, 2, 4, 6}), std::vector<int>(objects, objects + 6));
}

// --- Input inspection --------------------------------------------------------

TEST_F(DriverTest, OnlyUsableMatrixIsChosen)
{
    mode(CLUSTER_ROWS);
    std::string path = write_file("one.nc", {{"r", 3}, {"c", 2}},
                                  {vector_of("v", ncFloat, "r"), matrix("m", ncFloat, "r", "c")});
    open(path);
    detect_variables();
    EXPECT_EQ(1, matvar);
}

TEST_F(DriverTest, UsableVariablesByMode)
{
    std::string path = write_file("all.nc", {{"a", 4}, {"b", 4}, {"c", 5}},
                                  {matrix("square_char", ncChar, "a", "b"), matrix("square_int", ncInt, "a", "b"),
                                   matrix("wide_double", ncDouble, "a", "c"), matrix("square_short", ncShort, "a", "b"),
                                   vector_of("list_float", ncFloat, "a"), vector_of("list_char", ncChar, "a")});
    open(path);
    struct {
        int mode;
        std::vector<int> usable;
    } cases[] = {{CLUSTER_ROWS, {1, 1, 1, 0, 0, 0}},
                 {CLUSTER_COLS, {1, 1, 1, 0, 0, 0}},
                 {CLUSTER_DISTMAT, {0, 1, 0, 0, 0, 0}},
                 {CLUSTER_DISTLIST, {0, 0, 0, 0, 1, 0}}};
    for (const auto &c : cases) {
        mode(c.mode);
        std::vector<int> usable;
        for (int i = 0; i < 6; i++)
            usable.push_back(matrix_usable(i));
        EXPECT_EQ(c.usable, usable) << "mode " << c.mode;
    }
}

TEST_F(DriverTest, MissingFileIsRefused)
{
    EXPECT_RUN_ERROR(open(dir + "/none.nc"), 1,
                literally("ERROR! Could not open input file " + dir + "/none.nc"));
}

TEST_F(DriverTest, DistanceListIsFoundBesideItsObjectVectors)
{
    mode(CLUSTER_DISTLIST);
    set_text(INDEX_OPT_FROM, "f");
    set_text(INDEX_OPT_TO, "t");
    std::string path = write_file("l.nc", {{"m", 2}},
                                  {vector_of("f", ncInt, "m"), vector_of("t", ncInt, "m"), vector_of("d", ncInt, "m")});
    open(path);
    detect_variables();
    EXPECT_EQ(2, matvar);
    EXPECT_EQ(0, fromvar);
    EXPECT_EQ(1, tovar);
}

TEST_F(DriverTest, FileCutShortOfItsDataIsNotOpened)
{
    std::string path = write_file("cut.nc", {{"r", 20}, {"c", 3}}, {matrix("m", ncDouble, "r", "c")});
    ASSERT_EQ(0, truncate(path.c_str(), 400));   // the values end at byte 480 + header
    EXPECT_RUN_ERROR(open(path), 1, literally("ERROR! Could not open input file " + path));
}

TEST_F(DriverTest, TwoUsableMatricesAreListed)
{
    mode(CLUSTER_ROWS);
    std::string path = write_file("two.nc", {{"rows", 10}, {"cols", 5}},
                                  {matrix("A", ncDouble, "rows", "cols"), matrix("B", ncInt, "rows", "cols")});
    open(path);
    EXPECT_RUN_ERROR(detect_variables(), 1,
                literally("ERROR! More than one usable data matrix in the input file, use flag -D to specify which to "
                          "use!\nThe input file contains the following list of usable data matrices, i.e. "
                          "two-dimensional matrices of type ncInt, ncChar, ncFloat or ncDouble:\n"
                          " A : ncDouble A(rows=10,cols=5)\n B : ncInt B(rows=10,cols=5)\n"));
}

TEST_F(DriverTest, NamedShortMatrixIsNotUsable)
{
    mode(CLUSTER_ROWS);
    set_text(INDEX_OPT_DATA, "S");
    std::string path = write_file("short.nc", {{"r", 3}, {"c", 2}}, {matrix("S", ncShort, "r", "c")});
    open(path);
    EXPECT_RUN_ERROR(detect_variables(), 1,
                literally("ERROR! The specified variable is not usable for this purpose!\n"
                          "Only matrices of type ncInt, ncChar, ncFloat and ncDouble can be used as a data matrix\n"));
}

TEST_F(DriverTest, NamedVariableNotFoundListsTheUsableOnes)
{
    mode(CLUSTER_DISTLIST);
    set_text(INDEX_OPT_DATA, "nothere");
    std::string path = write_file("list.nc", {{"m", 3}}, {vector_of("d", ncDouble, "m")});
    open(path);
    EXPECT_RUN_ERROR(detect_variables(), 1,
                literally("ERROR! The specified variable was not found in the input file!\n"
                          "The input file contains the following list of usable distance lists, i.e. vectors of "
                          "type ncInt, ncFloat or ncDouble:\n d : ncDouble d(m=3)\n"));
}

TEST_F(DriverTest, DistanceMatrixModeWithOnlyNonSquareMatrix)
{
    mode(CLUSTER_DISTMAT);
    std::string path = write_file("wide.nc", {{"r", 10}, {"c", 12}}, {matrix("W", ncDouble, "r", "c")});
    open(path);
    EXPECT_RUN_ERROR(detect_variables(), 1,
                literally("ERROR! The input file does not contain any square matrices of types ncInt, ncFloat or "
                          "ncDouble that could be used as a distance matrix!"));
}

TEST_F(DriverTest, StartVectorOfFloatIsRefusedEvenBeforeTheData)
{
    mode(CLUSTER_DISTLIST);
    set_text(INDEX_OPT_FROM, "f");
    std::string path = write_file("from.nc", {{"m", 3}}, {vector_of("f", ncFloat, "m"), vector_of("d", ncInt, "m")});
    open(path);
    EXPECT_RUN_ERROR(detect_variables(), 1,
                literally("ERROR! Only vectors of type ncInt can be used as start-objects of distances!"));
}

// --- Shapes, memory charge and loading ---------------------------------------

TEST_F(DriverTest, RowsOfFloatMatrixAreChargedOnce)
{
    mode(CLUSTER_ROWS);
    inspect(write_file("f.nc", {{"r", 1000}, {"c", 50}}, {matrix("m", ncFloat, "r", "c")}));
    EXPECT_EQ(1000, object_count);
    EXPECT_EQ(50, row_length);
    EXPECT_EQ(INT64_C(1073541824), memory);
    EXPECT_STREQ("r", clust_dim->name());
}

TEST_F(DriverTest, ColumnsOfFloatMatrixSwapTheShape)
{
    mode(CLUSTER_COLS);
    inspect(write_file("f.nc", {{"r", 1000}, {"c", 50}}, {matrix("m", ncFloat, "r", "c")}));
    EXPECT_EQ(50, object_count);
    EXPECT_EQ(1000, row_length);
    EXPECT_EQ(INT64_C(1073541824), memory);
    EXPECT_STREQ("c", clust_dim->name());
}

TEST_F(DriverTest, ColumnsOfIntMatrixAreLoadedTransposed)
{
    mode(CLUSTER_COLS);
    inspect(write_file("i.nc", {{"r", 3}, {"c", 2}}, {matrix("m", ncInt, "r", "c", {1, 2, 3, 4, 5, 6})}));
    load_input();
    ASSERT_NE(nullptr, data_int);
    EXPECT_EQ(std::vector<int>({1, 3, 5, 2, 4, 6}), std::vector<int>(data_int, data_int + 6));
}

TEST_F(DriverTest, RowsOfCharMatrixAreLoadedAsStored)
{
    mode(CLUSTER_ROWS);
    inspect(write_file("c.nc", {{"r", 2}, {"c", 3}}, {matrix("m", ncChar, "r", "c", {97, 98, 99, 100, 101, 102})}));
    load_input();
    ASSERT_NE(nullptr, data_char);
    EXPECT_EQ(std::string("abcdef"), std::string(data_char, data_char + 6));
    EXPECT_EQ(nullptr, data_int);
}

TEST_F(DriverTest, DistanceMatrixIsChargedSquare)
{
    mode(CLUSTER_DISTMAT);
    inspect(write_file("d.nc", {{"o", 4}, {"p", 4}}, {matrix("D", ncInt, "o", "p")}));
    EXPECT_EQ(4, object_count);
    EXPECT_EQ(GB - 4 * 4 * 4, memory);
}

TEST_F(DriverTest, DistanceListIsChargedByItsThreeVectors)
{
    mode(CLUSTER_DISTLIST);
    set_text(INDEX_OPT_FROM, "f");
    set_text(INDEX_OPT_TO, "t");
    set_text(INDEX_OPT_NUM_OBJECTS, "objects");
    inspect(write_file("l.nc", {{"objects", 3}, {"m", 2}},
                       {vector_of("d", ncDouble, "m", {0.5, 1.5}), vector_of("f", ncInt, "m", {0, 1}),
                        vector_of("t", ncInt, "m", {1, 2})}));
    EXPECT_EQ(2, list_entries);
    EXPECT_EQ(3, object_count);
    EXPECT_EQ(GB - (4 + 4 + 8) * 2, memory);
    load_input();
    EXPECT_EQ(std::vector<int>({0, 1}), std::vector<int>(distfrom, distfrom + 2));
    EXPECT_EQ(std::vector<int>({1, 2}), std::vector<int>(distto, distto + 2));
    EXPECT_EQ(std::vector<double>({0.5, 1.5}), std::vector<double>(data_double, data_double + 2));
}

class DistanceListTest : public DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        mode(CLUSTER_DISTLIST);
        set_text(INDEX_OPT_FROM, "f");
        set_text(INDEX_OPT_TO, "t");
        set_text(INDEX_OPT_NUM_OBJECTS, "objects");
        set_text(INDEX_OPT_DATA, "d");
    }

    std::string file(long from_length, std::vector<double> to = {1, 2})
    {
        return write_file("l.nc", {{"objects", 3}, {"m", 2}, {"shorter", from_length}},
                          {vector_of("d", ncDouble, "m", {0.5, 1.5}),
                           vector_of("f", ncInt, "shorter", std::vector<double>(from_length, 0)),
                           vector_of("t", ncInt, "m", to)});
    }
};

TEST_F(DistanceListTest, StartVectorShorterThanTheDistances)
{
    EXPECT_RUN_ERROR(inspect(file(1)), 1,
                literally("ERROR! The three vectors containing the start-objects, end-objects and distances must all "
                          "be of equal length!"));
}

TEST_F(DistanceListTest, ObjectDimensionNotInTheFile)
{
    set_text(INDEX_OPT_NUM_OBJECTS, "nobjects");
    EXPECT_RUN_ERROR(inspect(file(2)), 1,
                literally("ERROR! Could not find dimension 'nobjects' containing the number of objects!"));
}

TEST_F(DistanceListTest, StartVectorNamedButAbsent)
{
    set_text(INDEX_OPT_FROM, "absent");
    EXPECT_RUN_ERROR(inspect(file(2)), 1,
                literally("ERROR! Vector containing start-objects of distances must be specified with --from"));
}

TEST_F(DistanceListTest, EndObjectOutsideTheObjectsIsRefused)
{
    inspect(file(2, {1, 3}));
    EXPECT_RUN_ERROR(load_input(), 1,
                literally("ERROR! Entry 1 of the end-objects (--to) vector names object 3, but the objects are 0..2!"));
}

TEST_F(DistanceListTest, NegativeEndObjectIsRefused)
{
    inspect(file(2, {-1, 2}));
    EXPECT_RUN_ERROR(load_input(), 1, "ERROR! Entry 0 of the end-objects");
}

TEST_F(DriverTest, BudgetSmallerThanTheData)
{
    // One byte short of the data; the need line names the data and the
    // least count's distances (the three pairs).
    mode(CLUSTER_ROWS);
    opt_set_double(INDEX_OPT_MEMORY, (8 * 3 * 2 - 1) / 1073741824.0);
    settings.memory = (8 * 3 * 2 - 1) / 1073741824.0;
    memory = 8 * 3 * 2 - 1;
    std::string path = write_file("d.nc", {{"r", 3}, {"c", 2}}, {matrix("m", ncDouble, "r", "c")});
    EXPECT_RUN_ERROR(inspect(path), 1,
                literally("ERROR! Insufficient memory to hold all input data\n"
                          "This run needs -m 0.01 or more (gigabytes)."));
}

TEST_F(DriverTest, BudgetExactlyTheDataIsEnough)
{
    mode(CLUSTER_ROWS);
    memory = 8 * 3 * 2;
    inspect(write_file("d.nc", {{"r", 3}, {"c", 2}}, {matrix("m", ncDouble, "r", "c")}));
    EXPECT_EQ(0, memory);
}

TEST_F(DriverTest, NoObjectsAtAllIsRefused)
{
    mode(CLUSTER_ROWS);
    // An unlimited dimension without records has length 0.
    std::string path = write_file("empty.nc", {{"r", NC_UNLIMITED}, {"c", 3}}, {matrix("m", ncDouble, "r", "c")});
    EXPECT_RUN_ERROR(inspect(path), 1, literally("ERROR! The input holds no objects to cluster"));
}

// --- Option checks of main_arg ---------------------------------------------

TEST_F(DriverTest, OperandsAreRefusedAndListed)
{
    arg_operands_vector->assign({word("stray"), word("words")});
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! Operands not allowed! All arguments must belong to some flags.\n"
                          "Currently you have specified the following operands:\nstray\nwords\n"));
}

TEST_F(DriverTest, AFailedRunPrintsItsLinesAndReturnsItsStatus)
{
    arg_operands_vector->assign({word("stray")});
    testing::internal::CaptureStderr();
    int status = main_arg();
    EXPECT_EQ("ERROR! Operands not allowed! All arguments must belong to some flags.\n"
              "Currently you have specified the following operands:\nstray\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(1, status);
}

TEST_F(DriverTest, MeasureListingEndsTheRunWithStatusZero)
{
    set_text(INDEX_OPT_DISTANCE, "x");
    opt_text_list(INDEX_OPT_DISTANCE)->clear();
    testing::internal::CaptureStderr();
    int status = main_arg();
    std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, lines.find("Distance measure can be specified with\n -d <measure>\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("\nl[evenshtein]     - Levenshtein (edit) distance - ")) << lines;
}

TEST_F(DriverTest, DistanceWithGivenDistancesIsRefusedBeforeTheInput)
{
    set_text(INDEX_OPT_CLUSTER, "distm");
    set_text(INDEX_OPT_DISTANCE, "euclidean");
    set_text(INDEX_OPT_INPUT, dir + "/none.nc");
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! --distance is applicable only for --cluster data."));
}

TEST_F(DriverTest, DataWithoutDistanceIsRefused)
{
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! Distance measure not specified! Use flag -d to find out about possible distance "
                          "measures.\nAlternatively, specify -C distmat or -C distlist to read pre-calculated "
                          "distances from the input file."));
}

TEST_F(DriverTest, DistanceListWithoutItsNamesIsRefused)
{
    set_text(INDEX_OPT_CLUSTER, "distl");
    set_text(INDEX_OPT_FROM, "f");
    set_text(INDEX_OPT_TO, "t");
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! Variables containing start-objects and end-objects of distances and dimension "
                          "containing number of objects must be specified with --from, --to and --num-objects"));
}

TEST_F(DriverTest, ListNamesOutsideDistanceListModeAreRefused)
{
    set_text(INDEX_OPT_CLUSTER, "distmat");
    set_text(INDEX_OPT_TO, "t");
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! --cluster DISTLIST is required by --num-objects, --from, --to."));
}

TEST_F(DriverTest, TwoDistanceMeasuresAreRefused)
{
    opt_set_text(INDEX_OPT_DISTANCE, word("euclidean"));
    opt_text_list(INDEX_OPT_DISTANCE)->push_back(word("pearson"));
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! More than one parameter for option --distance"));
}

TEST_F(DriverTest, MissingInputAndOutputAreRefusedInThatOrder)
{
    set_text(INDEX_OPT_CLUSTER, "distmat");
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! Input file not specified! Use flag -i to specify the input file."));
    set_text(INDEX_OPT_INPUT, "in.nc");
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! Output file not specified! Use flag -o to specify the output file."));
}

TEST_F(DriverTest, OptionWithoutItsValueIsRefused)
{
    struct {
        int index;
        const char *name;
    } cases[] = {{INDEX_OPT_INPUT, "input"}, {INDEX_OPT_OUTPUT, "output"}, {INDEX_OPT_DATA, "data"},
                 {INDEX_OPT_QUALITY, "quality"}, {INDEX_OPT_MINKOWSKI_P, "minkowski-p"}};
    for (const auto &c : cases) {
        reset();
        set_text(INDEX_OPT_CLUSTER, "distmat");
        set_text(INDEX_OPT_INPUT, "in.nc");
        set_text(INDEX_OPT_OUTPUT, "out.nc");
        // Given, with an empty value list: the flag was followed by no word.
        if (c.index == INDEX_OPT_MINKOWSKI_P) {
            opt_set_double(c.index, 1.0);
            opt_double_list(c.index)->clear();
        } else {
            set_text(c.index, "x");
            opt_text_list(c.index)->clear();
        }
        EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                    literally(std::string("ERROR! Option --") + c.name + " requires a value!"));
    }
}

TEST_F(DriverTest, NonFiniteRealsAreRefused)
{
    struct {
        int index;
        double value;
        const char *message;
    } cases[] = {{INDEX_OPT_MEMORY, NAN, "ERROR! Option --memory requires a finite value!"},
                 {INDEX_OPT_MEMORY, INFINITY, "ERROR! Option --memory requires a finite value!"},
                 {INDEX_OPT_TIME, -INFINITY, "ERROR! Option --time requires a finite value!"},
                 {INDEX_OPT_PROP_SIMILAR, NAN, "ERROR! Option --prop-similar requires a finite value!"},
                 {INDEX_OPT_PIVOT_QUANTILE, INFINITY, "ERROR! Option --pivot-quantile requires a finite value!"}};
    for (const auto &c : cases) {
        reset();
        set_text(INDEX_OPT_CLUSTER, "distmat");
        set_text(INDEX_OPT_INPUT, "in.nc");
        set_text(INDEX_OPT_OUTPUT, "out.nc");
        opt_set_double(c.index, c.value);
        EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1), literally(c.message));
    }
}

TEST_F(DriverTest, FewerThanOnePivotOrSplitThresholdBelowOneAreRefused)
{
    struct {
        int index;
        int value;
        const char *message;
    } cases[] = {{INDEX_OPT_NUM_PIVOTS, 0, "ERROR! Option --num-pivots must be at least 1!"},
                 {INDEX_OPT_SPLIT_THRESHOLD, 0, "ERROR! Option --split-threshold must be at least 1!"},
                 {INDEX_OPT_SPLIT_THRESHOLD, -3, "ERROR! Option --split-threshold must be at least 1!"}};
    for (const auto &c : cases) {
        reset();
        set_text(INDEX_OPT_CLUSTER, "distmat");
        set_text(INDEX_OPT_INPUT, "in.nc");
        set_text(INDEX_OPT_OUTPUT, "out.nc");
        opt_set_int(c.index, c.value);
        EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1), literally(c.message));
    }
}

TEST_F(DriverTest, OutputNamingTheInputByAnotherPathIsRefused)
{
    std::string path = write_file("d.nc", {{"o", 2}, {"p", 2}}, {matrix("D", ncDouble, "o", "p")});
    distmat_run(path, 1.0);
    set_text(INDEX_OPT_OUTPUT, dir + "/./d.nc");
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! The output file is the input file itself! Choose another output file."));
}

TEST_F(DriverTest, MissingFileFollowsTheDataInputLine)
{
    distmat_run(dir + "/none.nc", 1.0);
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("Data input...ERROR! Could not open input file " + dir + "/none.nc\n"));
}

TEST_F(DriverTest, MinkowskiNeedsAPositiveParameter)
{
    std::string path = write_file("m.nc", {{"r", 3}, {"c", 2}}, {matrix("m", ncDouble, "r", "c")});
    struct {
        bool given;
        double p;
        const char *message;
    } cases[] = {{false, 0, "Data input...ERROR! Minkowski distance requires parameter --minkowski-p or -p\n"},
                 {true, 0, "Data input...ERROR! Parameter p of Minkowski distance must be positive!\n"},
                 {true, -1, "Data input...ERROR! Parameter p of Minkowski distance must be positive!\n"},
                 {true, NAN, "Data input...ERROR! Parameter p of Minkowski distance must be positive!\n"}};
    for (const auto &c : cases) {
        reset();
        set_text(INDEX_OPT_INPUT, path);
        set_text(INDEX_OPT_OUTPUT, dir + "/out.nc");
        set_text(INDEX_OPT_DISTANCE, "MINK");
        if (c.given)
            opt_set_double(INDEX_OPT_MINKOWSKI_P, c.p);
        EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1), literally(c.message)) << c.p;
    }
}

// --- The engine's settings -------------------------------------------------

void expect_settings(const EngineSettings &want, const EngineSettings &got)
{
    EXPECT_EQ(want.cluster, got.cluster);
    EXPECT_EQ(want.linkage, got.linkage);
    EXPECT_EQ(want.all_pairwise, got.all_pairwise);
    EXPECT_EQ(want.num_pivots, got.num_pivots);
    EXPECT_EQ(want.pivot_strategy, got.pivot_strategy);
    EXPECT_EQ(want.pivot_quantile, got.pivot_quantile);
    EXPECT_EQ(want.prop_similar, got.prop_similar);
    EXPECT_EQ(want.sample_size, got.sample_size);
    EXPECT_EQ(want.split_threshold, got.split_threshold);
    EXPECT_EQ(want.missing, got.missing);
    EXPECT_EQ(want.missing_given, got.missing_given);
}

TEST_F(DriverTest, SettingsOfNoOptionsAreTheDefaults)
{
    settings.cluster = CLUSTER_DISTLIST;
    settings.linkage = LINKAGE_MAX;
    settings.all_pairwise = true;
    settings.num_pivots = 3;
    settings.pivot_strategy = PIVOT_QUANTILE;
    settings.pivot_quantile = 0.1;
    settings.prop_similar = 0.2;
    settings.sample_size = 4;
    settings.split_threshold = 5;
    settings.missing = MISSING_PAIRWISE;
    settings.missing_given = true;
    EXPECT_EQ(1, run_to_the_input(dir));
    expect_settings(EngineSettings(), settings);
}

TEST_F(DriverTest, SettingsHoldTheGivenOptionsResolved)
{
    set_text(INDEX_OPT_CLUSTER, "COL");
    set_text(INDEX_OPT_LINKAGE, "max");
    opt_set_int(INDEX_OPT_ALL_PAIRWISE, 1);
    opt_set_int(INDEX_OPT_NUM_PIVOTS, 7);
    set_text(INDEX_OPT_PIVOT_STRATEGY, "q");
    opt_set_double(INDEX_OPT_PIVOT_QUANTILE, 0.75);
    opt_set_double(INDEX_OPT_PROP_SIMILAR, 0.25);
    opt_set_int(INDEX_OPT_SAMPLE_SIZE, 40);
    opt_set_int(INDEX_OPT_SPLIT_THRESHOLD, 30);
    set_text(INDEX_OPT_MISSING, "PAIR");
    EXPECT_EQ(1, run_to_the_input(dir));
    EngineSettings want;
    want.cluster = CLUSTER_COLS;
    want.linkage = LINKAGE_MAX;
    want.all_pairwise = true;
    want.num_pivots = 7;
    want.pivot_strategy = PIVOT_QUANTILE;
    want.pivot_quantile = 0.75;
    want.prop_similar = 0.25;
    want.sample_size = 40;
    want.split_threshold = 30;
    want.missing = MISSING_PAIRWISE;
    want.missing_given = true;
    expect_settings(want, settings);
}

TEST_F(DriverTest, MissingRuleIsGivenOnlyWhenNamed)
{
    set_text(INDEX_OPT_MISSING, "propagate");
    EXPECT_EQ(1, run_to_the_input(dir));
    EXPECT_EQ(MISSING_PROPAGATE, settings.missing);
    EXPECT_TRUE(settings.missing_given);
    reset();
    EXPECT_EQ(1, run_to_the_input(dir));
    EXPECT_EQ(MISSING_PROPAGATE, settings.missing);
    EXPECT_FALSE(settings.missing_given);
}

TEST_F(DriverTest, GivenDistancesBeyondTheBudgetAreRefusedBeforeTheStore)
{
    // 10 x 10 doubles take 800 bytes; their 45 pairs would take 11250.
    std::string path = write_file("d.nc", {{"o", 10}, {"p", 10}}, {matrix("D", ncDouble, "o", "p")});
    distmat_run(path, 1000.0 / GB);
    EXPECT_EXIT(std::exit(main_arg()), ::testing::ExitedWithCode(1),
                literally("ERROR! Insufficient memory to store all given distances"));
}

} // namespace
