// The option table and the command-line parsing of main (without the run).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brivane.h"
#include "brivane_arg.h"

namespace {

// The option state as the program starts; every parse begins from it, since
// the library and the handlers keep their state in these globals.
struct Pristine {
    unsigned char options[sizeof(tOptions)];
    unsigned char descs[sizeof(optDesc)];
    Pristine()
    {
        memcpy(options, static_cast<void *>(&brivaneOptions), sizeof options);
        memcpy(descs, static_cast<void *>(optDesc), sizeof descs);
    }
    void restore() const
    {
        memcpy(static_cast<void *>(&brivaneOptions), options, sizeof options);
        memcpy(static_cast<void *>(optDesc), descs, sizeof descs);
    }
};
const Pristine pristine;

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override { pristine.restore(); }

    // Parses brivane followed by the words; the words stay alive for the test,
    // as text values point into them.
    void parse(std::vector<std::string> words)
    {
        words.insert(words.begin(), "brivane");
        storage = words;
        argv.clear();
        for (std::string &w : storage)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        arg_parse_command_line(static_cast<int>(storage.size()), argv.data());
    }

    static std::vector<std::string> texts(int index)
    {
        std::vector<std::string> out;
        for (char *t : *opt_text_list(index))
            out.push_back(t);
        return out;
    }

    static std::vector<std::string> operands()
    {
        std::vector<std::string> out;
        for (char *t : *arg_operands_vector)
            out.push_back(t);
        return out;
    }

    std::vector<std::string> storage;
    std::vector<char *> argv;
};

typedef std::vector<std::string> Words;

// ---------------------------------------------------------------------------
// The table, as the program starts

class OptionTable : public CommandLine {};

TEST_F(OptionTable, ProgramOptionsArePlainFlagsThatMayAppearOnce)
{
    for (int k = 0; k <= LAST_PROGRAM_OPTION; k++) {
        const tOptDesc &d = optDesc[k];
        EXPECT_EQ(d.optIndex, k);
        EXPECT_EQ(d.optMaxCt, 1) << d.pz_Name;
        EXPECT_EQ(d.fOptState, 0x20u) << d.pz_Name;
        EXPECT_NE(d.pOptProc, nullptr) << d.pz_Name;
    }
    EXPECT_EQ(brivaneOptions.optCt, 30);
    EXPECT_EQ(brivaneOptions.presetOptCt, 27);
}

std::vector<int> relation(const int *list)
{
    std::vector<int> out;
    for (; list != nullptr && *list != 0x8000; list++)
        out.push_back(*list);
    return out;
}

TEST_F(OptionTable, RequiresAndConflictsAsStored)
{
    typedef std::vector<int> L;
    EXPECT_EQ(relation(optDesc[INDEX_OPT_MINKOWSKI_P].pOptMust), L{INDEX_OPT_DISTANCE});
    EXPECT_EQ(relation(optDesc[INDEX_OPT_PROP_SIMILAR].pOptMust), L{INDEX_OPT_NUM_DISTANCES});
    EXPECT_EQ(relation(optDesc[INDEX_OPT_TIME].pOptCant),
              (L{INDEX_OPT_ALL_PAIRWISE, INDEX_OPT_NUM_DISTANCES}));
    EXPECT_EQ(relation(optDesc[INDEX_OPT_NUM_DISTANCES].pOptCant),
              (L{INDEX_OPT_ALL_PAIRWISE, INDEX_OPT_TIME}));
    EXPECT_EQ(relation(optDesc[INDEX_OPT_ALL_PAIRWISE].pOptCant),
              (L{INDEX_OPT_NUM_DISTANCES, INDEX_OPT_TIME}));
    int with_relations = 0;
    for (int k = 0; k < OPTION_CT; k++)
        with_relations += (optDesc[k].pOptMust != nullptr) + (optDesc[k].pOptCant != nullptr);
    EXPECT_EQ(with_relations, 5);
}

// Table faults: each test breaks one descriptor in a child process.
template <class T> void overwrite(const T &field, T value)
{
    memcpy(const_cast<T *>(&field), &value, sizeof value);
}

TEST_F(CommandLine, TableFaultsAreInternalErrors)
{
    EXPECT_EXIT((overwrite<tpOptProc>(optDesc[INDEX_OPT_DATA].pOptProc, nullptr), parse({})),
                ::testing::ExitedWithCode(1),
                "Internal error! Flag-code is required to be defined for option DATA by Xarn!");
    EXPECT_EXIT((optDesc[INDEX_OPT_TIME].fOptState |= OPTST_ARG_OPTIONAL, parse({})),
                ::testing::ExitedWithCode(1),
                "Internal error! Option TIME uses autoopts features that are not supported by "
                "Xarn!");
    EXPECT_EXIT((overwrite<uint16_t>(optDesc[INDEX_OPT_TO].optValue, '7'), parse({})),
                ::testing::ExitedWithCode(1),
                "Internal error! Option TO uses numeric option name which is not supported by "
                "Xarn!");
    EXPECT_EXIT((overwrite<uint16_t>(optDesc[INDEX_OPT_QUALITY].optValue, 'i'), parse({})),
                ::testing::ExitedWithCode(1),
                "Internal error! Option QUALITY uses short option name i which is already "
                "occupied!");
}

// ---------------------------------------------------------------------------
// Value words

TEST_F(CommandLine, NoWordsGiveEmptyListsAndNothingGiven)
{
    parse({});
    for (int k = 0; k <= LAST_PROGRAM_OPTION; k++)
        EXPECT_FALSE(opt_given(k)) << optDesc[k].pz_Name;
    EXPECT_TRUE(opt_text_list(INDEX_OPT_INPUT)->empty());
    EXPECT_TRUE(opt_int_list(INDEX_OPT_NUM_PIVOTS)->empty());
    EXPECT_TRUE(opt_double_list(INDEX_OPT_MEMORY)->empty());
    EXPECT_EQ(opt_text_list(INDEX_OPT_OUTPUT_DATA), nullptr) << "a no-value option has no list";
    EXPECT_TRUE(arg_operands_vector->empty());
    EXPECT_EQ(arg_argv_vector->size(), 1u);
}

TEST_F(CommandLine, DistanceAloneIsGivenWithAnEmptyList)
{
    parse({"-d"});
    EXPECT_TRUE(opt_given(INDEX_OPT_DISTANCE));
    EXPECT_TRUE(opt_text_list(INDEX_OPT_DISTANCE)->empty());
}

TEST_F(CommandLine, DistanceTakesEveryWordUpToTheNextFlag)
{
    parse({"-d", "euclid", "manhattan", "-i", "in.nc"});
    EXPECT_EQ(texts(INDEX_OPT_DISTANCE), (Words{"euclid", "manhattan"}));
    EXPECT_EQ(texts(INDEX_OPT_INPUT), Words{"in.nc"});
    EXPECT_TRUE(arg_operands_vector->empty());
}

TEST_F(CommandLine, OneValueOptionMakesTheSecondWordAnOperand)
{
    parse({"-i", "f1", "f2", "-o", "out.nc"});
    EXPECT_EQ(texts(INDEX_OPT_INPUT), Words{"f1"});
    EXPECT_EQ(texts(INDEX_OPT_OUTPUT), Words{"out.nc"});
    EXPECT_EQ(operands(), Words{"f2"});
}

TEST_F(CommandLine, WordBeforeAnyFlagIsAnOperand)
{
    parse({"stray", "-i", "f"});
    EXPECT_EQ(operands(), Words{"stray"});
    EXPECT_EQ(texts(INDEX_OPT_INPUT), Words{"f"});
}

TEST_F(CommandLine, WordAfterANoValueOptionIsAnOperand)
{
    parse({"-O", "x", "-a", "y"});
    EXPECT_TRUE(opt_given(INDEX_OPT_OUTPUT_DATA));
    EXPECT_TRUE(opt_given(INDEX_OPT_ALL_PAIRWISE));
    EXPECT_EQ(operands(), (Words{"x", "y"}));
}

TEST_F(CommandLine, NumbersOfEachKind)
{
    parse({"-R", "-5", "-m", "2.5", "-M", "1.2e1", "-p", "3", "-d", "mink"});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_RANDOM_SEED), int_vector{-5});
    EXPECT_EQ(*opt_double_list(INDEX_OPT_MEMORY), double_vector{2.5});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_NUM_DISTANCES), int_vector{12});
    EXPECT_EQ(*opt_double_list(INDEX_OPT_MINKOWSKI_P), double_vector{3.0});
    EXPECT_STREQ(storage[2].c_str(), "-5") << "the word reads with its minus again";
}

TEST_F(CommandLine, NegativeLookingTextIsAValue)
{
    parse({"-i", "-5file.nc", "-X", "-1_"});
    EXPECT_EQ(texts(INDEX_OPT_INPUT), Words{"-5file.nc"});
    EXPECT_EQ(texts(INDEX_OPT_PREFIX), Words{"-1_"});
}

TEST_F(CommandLine, LoneDashEndsAListAndTheNextWordIsAnOperand)
{
    parse({"-d", "euclid", "-", "extra"});
    EXPECT_EQ(texts(INDEX_OPT_DISTANCE), Words{"euclid"});
    EXPECT_EQ(operands(), Words{"extra"});
}

TEST_F(CommandLine, LoneDashRightAfterAFlagLeavesItsListEmpty)
{
    parse({"-i", "-", "g"});
    EXPECT_TRUE(opt_given(INDEX_OPT_INPUT));
    EXPECT_TRUE(opt_text_list(INDEX_OPT_INPUT)->empty());
    EXPECT_EQ(operands(), Words{"g"});
}

TEST_F(CommandLine, EverythingAfterDoubleDashIsAnOperand)
{
    parse({"-i", "f", "--", "-m", "3", "--", "-x"});
    EXPECT_EQ(texts(INDEX_OPT_INPUT), Words{"f"});
    EXPECT_FALSE(opt_given(INDEX_OPT_MEMORY));
    EXPECT_EQ(operands(), (Words{"-m", "3", "--", "-x"}));
}

TEST_F(CommandLine, DoubleDashRightAfterAFlagEndsItsValues)
{
    parse({"-d", "--", "euclid"});
    EXPECT_TRUE(opt_given(INDEX_OPT_DISTANCE));
    EXPECT_TRUE(opt_text_list(INDEX_OPT_DISTANCE)->empty());
    EXPECT_EQ(operands(), Words{"euclid"});
}

TEST_F(CommandLine, LongNamesAndFlagClusters)
{
    parse({"--input", "a.nc", "--linkage", "max", "-Oa"});
    EXPECT_EQ(texts(INDEX_OPT_INPUT), Words{"a.nc"});
    EXPECT_EQ(texts(INDEX_OPT_LINKAGE), Words{"max"});
    EXPECT_TRUE(opt_given(INDEX_OPT_OUTPUT_DATA));
    EXPECT_TRUE(opt_given(INDEX_OPT_ALL_PAIRWISE));
}

TEST_F(CommandLine, EveryWordIsKeptInOrder)
{
    parse({"-i", "-5", "x"});
    ASSERT_EQ(arg_argv_vector->size(), 4u);
    EXPECT_STREQ((*arg_argv_vector)[0], "brivane");
    EXPECT_STREQ((*arg_argv_vector)[2], "-5");
    EXPECT_STREQ((*arg_argv_vector)[3], "x");
}

TEST_F(CommandLine, EnvironmentHasNoEffect)
{
    setenv("BRIVANE_MEMORY", "7", 1);
    setenv("BRIVANE_ALL_PAIRWISE", "1", 1);
    setenv("BRIVANE", "-a", 1);
    parse({"-t", "5"});
    unsetenv("BRIVANE_MEMORY");
    unsetenv("BRIVANE_ALL_PAIRWISE");
    unsetenv("BRIVANE");
    EXPECT_FALSE(opt_given(INDEX_OPT_MEMORY));
    EXPECT_FALSE(opt_given(INDEX_OPT_ALL_PAIRWISE));
    EXPECT_EQ(*opt_double_list(INDEX_OPT_TIME), double_vector{5.0});
}

// ---------------------------------------------------------------------------
// Refusals and the library's own options (they end the process)

using ::testing::ExitedWithCode;

TEST_F(CommandLine, ValueThatIsNotANumberIsRefused)
{
    EXPECT_EXIT(parse({"-M", "abc"}), ExitedWithCode(1),
                "ERROR! Option --num-distances: 'abc' is not an integer \\(.*\\)!\n.*USAGE");
    EXPECT_EXIT(parse({"-m", "lots"}), ExitedWithCode(1),
                "ERROR! Option --memory: 'lots' is not a floating-point number!");
    EXPECT_EXIT(parse({"-R", "2147483648"}), ExitedWithCode(1),
                "ERROR! Option --random-seed: '2147483648' is out of range");
    EXPECT_EXIT(parse({"-R", "-2147483649"}), ExitedWithCode(1),
                "ERROR! Option --random-seed: '-2147483649' is out of range");
}

// A count is the whole word: a unit or a fraction after it is refused, not
// cut off, and the refusal names the option.
TEST_F(CommandLine, WordThatIsOnlyPartlyANumberIsRefusedNamingTheOption)
{
    const struct {
        Words words;
        const char *message;
    } cases[] = {
        {{"-M", "500k"}, "ERROR! Option --num-distances: '500k' is not an integer"},
        {{"-M", "1.5e3x"}, "ERROR! Option --num-distances: '1.5e3x' is not an integer"},
        {{"-j", "2.5"}, "ERROR! Option --threads: '2.5' is not an integer"},
        {{"-q", "1e-1"}, "ERROR! Option --num-pivots: '1e-1' is not an integer"},
        {{"-Z", "10%"}, "ERROR! Option --sample-size: '10%' is not an integer"},
        {{"-S", "1e10"}, "ERROR! Option --split-threshold: '1e10' is out of range"},
        {{"-R", "-7.5"}, "ERROR! Option --random-seed: '-7.5' is not an integer"},
        {{"-m", "2GB"}, "ERROR! Option --memory: '2GB' is not a floating-point number!"},
        {{"-t", "30s"}, "ERROR! Option --time: '30s' is not a floating-point number!"},
        {{"-M", "300", "-s", "0.5x"}, "ERROR! Option --prop-similar: '0.5x' is not a floating-point number!"},
        {{"-Q", "0.9.1"}, "ERROR! Option --pivot-quantile: '0.9.1' is not a floating-point number!"},
        {{"-d", "mink", "-p", "3rd"}, "ERROR! Option --minkowski-p: '3rd' is not a floating-point number!"},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(parse(c.words), ExitedWithCode(1), c.message) << c.words[1];
}

TEST_F(CommandLine, CountsInExponentNotationAreReadWhole)
{
    parse({"-M", "1e6", "-j", "1e1", "-R", "-2e3", "-q", "2.5e1", "-Z", "1.5E4", "-S", "500.0"});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_NUM_DISTANCES), int_vector{1000000});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_THREADS), int_vector{10});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_RANDOM_SEED), int_vector{-2000});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_NUM_PIVOTS), int_vector{25});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_SAMPLE_SIZE), int_vector{15000});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_SPLIT_THRESHOLD), int_vector{500});
}

TEST_F(CommandLine, FlagGivenTwiceIsRefused)
{
    EXPECT_EXIT(parse({"-m", "1", "-m", "2"}), ExitedWithCode(1), "only one memory option");
    EXPECT_EXIT(parse({"-O", "--output-data"}), ExitedWithCode(1), "only one output-data option");
}

TEST_F(CommandLine, RequiredCompanionMissingIsRefused)
{
    EXPECT_EXIT(parse({"-s", "0.5"}), ExitedWithCode(1), "requires the num-distances option");
    EXPECT_EXIT(parse({"-p", "3"}), ExitedWithCode(1), "requires the distance option");
}

TEST_F(CommandLine, ConflictingOptionsAreRefused)
{
    EXPECT_EXIT(parse({"-a", "-t", "3"}), ExitedWithCode(1), "'time' and 'all-pairwise'.*conflict");
    EXPECT_EXIT(parse({"-a", "-M", "300"}), ExitedWithCode(1),
                "'num-distances' and 'all-pairwise'.*conflict");
    EXPECT_EXIT(parse({"-t", "3", "-M", "300"}), ExitedWithCode(1), "conflict");
}

TEST_F(CommandLine, CompanionsTogetherAreAccepted)
{
    parse({"-s", "0.2", "-M", "300", "-d", "minkowski", "-p", "3"});
    EXPECT_EQ(*opt_double_list(INDEX_OPT_PROP_SIMILAR), double_vector{0.2});
    EXPECT_EQ(*opt_int_list(INDEX_OPT_NUM_DISTANCES), int_vector{300});
}

TEST_F(CommandLine, UnknownOrMisusedFlagIsRefused)
{
    EXPECT_EXIT(parse({"-x"}), ExitedWithCode(1), "illegal option -- x");
    EXPECT_EXIT(parse({"-i", "a", "--bogus"}), ExitedWithCode(1), "illegal option -- bogus");
    EXPECT_EXIT(parse({"-R", "-x"}), ExitedWithCode(1), "illegal option -- x");
    EXPECT_EXIT(parse({"-ia.nc"}), ExitedWithCode(1), "illegal option");
    // "-." is not a number's start: the library reads the flag '.'.
    EXPECT_EXIT(parse({"-Q", "-.5"}), ExitedWithCode(1), "illegal option");
    EXPECT_EXIT(parse({"--input=a.nc"}), ExitedWithCode(1), "cannot have an argument");
}

TEST_F(CommandLine, FaultIsReportedOnce)
{
    EXPECT_EXIT(parse({"--input=a.nc"}), ExitedWithCode(1),
                "^brivane: The 'input' option cannot have an argument.\nbrivane - ");
}

TEST_F(CommandLine, HelpAndVersionEndWithStatusZero)
{
    EXPECT_EXIT(parse({"-?"}), ExitedWithCode(0), "");
    EXPECT_EXIT(parse({"-i", "a", "--help"}), ExitedWithCode(0), "");
    EXPECT_EXIT(parse({"-v"}), ExitedWithCode(0), "");
}

}  // namespace
