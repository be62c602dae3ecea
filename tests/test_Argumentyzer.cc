// The argument helpers: number checks, list converters and keyword prefixes.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "Argumentyzer.h"

namespace {

// A command-line word the helpers may write into (they mark and unmark it).
struct Word {
    std::string text;
    explicit Word(const std::string &t) : text(t) {}
    char *c_str() { return &text[0]; }
};

std::string marked(const std::string &negative)
{
    return std::string(1, NEGATIVE_MARK) + negative.substr(1);
}

struct IntCase {
    const char *word;
    long long value;
};

// The option name the refusals below are made for.
const char OPTION[] = "num-distances";

std::string not_an_integer(const std::string &word)
{
    return "ERROR! Option --num-distances: '" + word + "' is not an integer (a whole number such as 120, 1e6 or "
                                                       "2.5e7)!\n";
}

std::string out_of_range(const std::string &word)
{
    return "ERROR! Option --num-distances: '" + word + "' is out of range (-2147483648 to 2147483647)!\n";
}

std::string not_a_real(const std::string &word)
{
    return "ERROR! Option --num-distances: '" + word + "' is not a floating-point number!\n";
}

TEST(CheckInt, AcceptsAWordThatIsWhollyAnInteger)
{
    const IntCase cases[] = {
        {"12", 12},
        {" 7", 7},                      // blanks around the number are skipped
        {"7 ", 7},
        {"+3", 3},
        {"-4", -4},
        {"0", 0},
        {"-0", 0},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"1e6", 1000000},               // a number that is exactly an integer
        {"2.5e7", 25000000},
        {"1E3", 1000},
        {"-2e3", -2000},
        {"1.0", 1},
        {"120.000", 120},
        {"0.5e1", 5},
        {"5000e-3", 5},
        {"21474836.47e2", 2147483647},
        {"0e999999999999", 0},
        {"007", 7},
    };
    for (const IntCase &c : cases) {
        Word w(c.word);
        long long *value = arg_arg_check_int(w.c_str(), OPTION);
        ASSERT_NE(value, nullptr) << c.word;
        EXPECT_EQ(*value, c.value) << c.word;
        EXPECT_EQ(w.text, c.word) << "the word is left as it came";
        delete value;
    }
}

TEST(CheckInt, RefusesAWordThatIsNotWhollyAnIntegerNamingTheOption)
{
    const char *cases[] = {"abc", "", "-", "x12", "12abc", "500k", "1.5", "2.5e0", "1e-3", "1e-320", "1e",
                           "1e+", ".", "e5", "0x10", "1,000", "1 2", "nan", "inf", "--1", "+-1", "1..0"};
    for (const char *word : cases) {
        Word w(word);
        testing::internal::CaptureStderr();
        long long *value = arg_arg_check_int(w.c_str(), OPTION);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(value, nullptr) << word;
        EXPECT_EQ(err, not_an_integer(word));
    }
}

TEST(CheckInt, RefusesAnIntegerOutOfRange)
{
    const char *cases[] = {"2147483648", "-2147483649", "99999999999999999999", "1e10", "3e9", "-2.2e9",
                           "1e999999999999", "2147483647.5e1"};
    for (const char *word : cases) {
        Word w(word);
        testing::internal::CaptureStderr();
        long long *value = arg_arg_check_int(w.c_str(), OPTION);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(value, nullptr) << word;
        EXPECT_EQ(err, out_of_range(word));
    }
}

// A count of pairs (-M) goes beyond 2^31 on large runs; the 64-bit range then
// bounds it, exactly at its ends.
TEST(CheckInt, WideCountTakesTheWholeSixtyFourBitRange)
{
    const IntCase cases[] = {
        {"3e9", 3000000000LL},
        {"2147483648", 2147483648LL},
        {"-2.2e9", -2200000000LL},
        {"1e18", 1000000000000000000LL},
        {"9223372036854775807", LLONG_MAX},
        {"-9223372036854775808", LLONG_MIN},
        {"000000000009223372036854775807", LLONG_MAX},
    };
    for (const IntCase &c : cases) {
        Word w(c.word);
        long long *value = arg_arg_check_int(w.c_str(), OPTION, true);
        ASSERT_NE(value, nullptr) << c.word;
        EXPECT_EQ(*value, c.value) << c.word;
        delete value;
    }
    const char *refused[] = {"9223372036854775808", "-9223372036854775809", "1e19", "99999999999999999999",
                             "18446744073709551616", "1e999999999999"};
    for (const char *word : refused) {
        Word w(word);
        testing::internal::CaptureStderr();
        long long *value = arg_arg_check_int(w.c_str(), OPTION, true);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(value, nullptr) << word;
        EXPECT_EQ(err, "ERROR! Option --num-distances: '" + std::string(word) +
                           "' is out of range (-9223372036854775808 to 9223372036854775807)!\n");
    }
}

TEST(CheckInt, RefusalWithoutAnOptionNameNamesTheWordAlone)
{
    Word w("500k");
    testing::internal::CaptureStderr();
    EXPECT_EQ(arg_arg_check_int(w.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR! '500k' is not an integer (a whole number such as 120, 1e6 or 2.5e7)!\n");
}

TEST(CheckInt, MarkedWordIsReadNegativeAndMarkedAgain)
{
    for (const char *negative : {"-5", "-5e2"}) {
        Word w(marked(negative));
        long long *value = arg_arg_check_int(w.c_str(), OPTION);
        ASSERT_NE(value, nullptr) << negative;
        EXPECT_EQ(*value, negative[2] == 'e' ? -500 : -5);
        EXPECT_EQ(w.text, marked(negative));
        delete value;
    }
}

TEST(CheckInt, RefusedMarkedWordShowsAndKeepsItsMinus)
{
    Word w(marked("-3000000000"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(arg_arg_check_int(w.c_str(), OPTION), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), out_of_range("-3000000000"));
    EXPECT_EQ(w.text, "-3000000000");
}

struct RealCase {
    const char *word;
    double value;
};

TEST(CheckDouble, AcceptsAWordThatIsWhollyANumber)
{
    const RealCase cases[] = {
        {"2.5", 2.5}, {" 0.9", 0.9}, {"0.9 ", 0.9}, {"-1e3", -1000.0}, {"7", 7.0}, {".5", 0.5}, {"5.", 5.0},
        {"+2E-1", 0.2}, {"1e-320", 1e-320},
    };
    for (const RealCase &c : cases) {
        Word w(c.word);
        double *value = arg_arg_check_double(w.c_str(), OPTION);
        ASSERT_NE(value, nullptr) << c.word;
        EXPECT_DOUBLE_EQ(*value, c.value) << c.word;
        delete value;
    }
}

// The driver refuses them with the option's own message (a finite value, a
// range); the word itself is a number.
TEST(CheckDouble, AcceptsNotANumberAndInfinitiesForTheDriverToJudge)
{
    for (const char *word : {"nan", "NaN", "inf", "-inf", "Infinity", "1e400"}) {
        Word w(word);
        double *value = arg_arg_check_double(w.c_str(), OPTION);
        ASSERT_NE(value, nullptr) << word;
        EXPECT_FALSE(std::isfinite(*value)) << word;
        delete value;
    }
}

TEST(CheckDouble, RefusesAWordThatIsNotWhollyANumber)
{
    for (const char *word : {"abc", "", "GB2", "2GB", "2.5GB", "0x1p3", "1e", "1.2.3", "--1", "nan(1)", ".", "-",
                             "1 2", "infinite", "2,5"}) {
        Word w(word);
        testing::internal::CaptureStderr();
        double *value = arg_arg_check_double(w.c_str(), OPTION);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(value, nullptr) << word;
        EXPECT_EQ(err, not_a_real(word));
    }
}

TEST(CheckDouble, MarkedWordIsReadNegativeAndMarkedAgain)
{
    Word w(marked("-0.25"));
    double *value = arg_arg_check_double(w.c_str(), OPTION);
    ASSERT_NE(value, nullptr);
    EXPECT_DOUBLE_EQ(*value, -0.25);
    EXPECT_EQ(w.text, marked("-0.25"));
    delete value;
}

TEST(ToVector, NoWordMakesAnEmptyListOrKeepsTheGivenOne)
{
    int_vector *ints = arg_arg_to_int_vector(nullptr, nullptr);
    ASSERT_NE(ints, nullptr);
    EXPECT_TRUE(ints->empty());
    EXPECT_EQ(arg_arg_to_int_vector(nullptr, ints), ints);

    double_vector *reals = arg_arg_to_double_vector(nullptr, nullptr);
    ASSERT_NE(reals, nullptr);
    EXPECT_TRUE(reals->empty());

    string_vector *texts = arg_arg_to_string_vector(nullptr, nullptr);
    ASSERT_NE(texts, nullptr);
    EXPECT_TRUE(texts->empty());
}

TEST(ToVector, WordsAreAppendedInOrder)
{
    Word a("3"), b("-4e0"), c("1.5"), d("name");
    int_vector *ints = arg_arg_to_int_vector(a.c_str(), nullptr);
    ASSERT_NE(ints, nullptr);
    EXPECT_EQ(arg_arg_to_int_vector(b.c_str(), ints), ints);
    EXPECT_EQ(*ints, (int_vector{3, -4}));

    double_vector *reals = arg_arg_to_double_vector(c.c_str(), new double_vector{2.0});
    ASSERT_NE(reals, nullptr);
    EXPECT_EQ(*reals, (double_vector{2.0, 1.5}));

    string_vector *texts = arg_arg_to_string_vector(d.c_str(), nullptr);
    ASSERT_EQ(texts->size(), 1u);
    EXPECT_EQ((*texts)[0], d.c_str()) << "the text is the word itself, not a copy";
}

TEST(ToVector, RefusedWordGivesNull)
{
    Word bad("abc");
    int_vector ints{1};
    double_vector reals{1.0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(arg_arg_to_int_vector(bad.c_str(), &ints, OPTION), nullptr);
    EXPECT_EQ(arg_arg_to_double_vector(bad.c_str(), &reals, OPTION), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), not_an_integer("abc") + not_a_real("abc"));
    EXPECT_EQ(ints, (int_vector{1}));
    EXPECT_EQ(reals, (double_vector{1.0}));
}

const char *const CLUSTER_KEYS[] = {"ROWS", "COLS", "DISTMAT", "DISTLIST"};
const char *const LINKAGE_KEYS[] = {"MIN", "AVE", "MAX"};

// The index that the value resolves to, or -1 when refused; the message of a
// refusal goes to *err.
int resolve(const char *value, int n, const char *const *keys, int case_sensitive,
            std::string *err = nullptr)
{
    Word w(value);
    string_vector x{w.c_str()};
    testing::internal::CaptureStderr();
    int_vector *result = arg_arg_keyword(&x, n, keys, case_sensitive);
    std::string out = testing::internal::GetCapturedStderr();
    if (err != nullptr)
        *err = out;
    if (result == nullptr)
        return -1;
    EXPECT_EQ(result->size(), 1u);
    EXPECT_EQ(out, "");
    return (*result)[0];
}

TEST(Keyword, ClusterPrefixesIgnoringCase)
{
    const struct {
        const char *value;
        int index;
    } cases[] = {
        {"r", 0},     {"rows", 0},    {"Rows", 0}, {"ROWS", 0},   {"c", 1},
        {"distm", 2}, {"distl", 3},   {"DISTLIST", 3},
        {"dist", -1},  // DISTMAT and DISTLIST
        {"d", -1},     {"rowsx", -1}, {"x", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(resolve(c.value, 4, CLUSTER_KEYS, 0), c.index) << c.value;
}

TEST(Keyword, LinkagePrefixes)
{
    EXPECT_EQ(resolve("m", 3, LINKAGE_KEYS, 0), -1);
    EXPECT_EQ(resolve("mi", 3, LINKAGE_KEYS, 0), 0);
    EXPECT_EQ(resolve("a", 3, LINKAGE_KEYS, 0), 1);
    EXPECT_EQ(resolve("max", 3, LINKAGE_KEYS, 0), 2);
    EXPECT_EQ(resolve("", 3, LINKAGE_KEYS, 0), -1) << "the empty value matches every keyword";
}

TEST(Keyword, CaseSensitiveComparisonWhenAsked)
{
    EXPECT_EQ(resolve("ROWS", 4, CLUSTER_KEYS, 1), 0);
    EXPECT_EQ(resolve("rows", 4, CLUSTER_KEYS, 1), -1);
}

TEST(Keyword, RefusalNamesTheValueAndEveryKeywordOnOneLine)
{
    std::string err;
    EXPECT_EQ(resolve("m", 3, LINKAGE_KEYS, 0, &err), -1);
    EXPECT_EQ(err,
              "Value 'm' is not allowed, legal values are non-ambiguous prefixes of the "
              "following keywords: 'MIN' 'AVE' 'MAX'\n");
    EXPECT_EQ(resolve("rowsx", 4, CLUSTER_KEYS, 0, &err), -1);
    EXPECT_EQ(err,
              "Value 'rowsx' is not allowed, legal values are non-ambiguous prefixes of the "
              "following keywords: 'ROWS' 'COLS' 'DISTMAT' 'DISTLIST'\n");
}

TEST(Keyword, OnlyElementZeroCounts)
{
    Word first("cols"), second("rows");
    string_vector x{first.c_str(), second.c_str()};
    int_vector *result = arg_arg_keyword(&x, 4, CLUSTER_KEYS, 0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(*result, int_vector{1});
}

TEST(WordLists, ExistFromStartUp)
{
    ASSERT_NE(arg_argv_vector, nullptr);
    ASSERT_NE(arg_operands_vector, nullptr);
}

}  // namespace
