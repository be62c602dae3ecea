// The argument helpers: number checks, list converters and keyword prefixes.
#include <gtest/gtest.h>

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
    int value;
};

TEST(CheckInt, AcceptsTheNumberAtTheStartOfTheWord)
{
    const IntCase cases[] = {
        {"12", 12},
        {"12abc", 12},                  // text after the digits is ignored
        {" 7", 7},                      // a leading blank is skipped
        {"+3", 3},
        {"-4", -4},
        {"0", 0},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
    };
    for (const IntCase &c : cases) {
        Word w(c.word);
        int *value = arg_arg_check_int(w.c_str());
        ASSERT_NE(value, nullptr) << c.word;
        EXPECT_EQ(*value, c.value) << c.word;
        EXPECT_EQ(w.text, c.word) << "the word is left as it came";
        delete value;
    }
}

TEST(CheckInt, RefusesAWordWithoutANumberOrOutOfRange)
{
    const char *cases[] = {"abc", "", "-", "x12", "2147483648", "-2147483649",
                           "99999999999999999999"};
    for (const char *word : cases) {
        Word w(word);
        testing::internal::CaptureStderr();
        int *value = arg_arg_check_int(w.c_str());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(value, nullptr) << word;
        EXPECT_EQ(err, "'" + std::string(word) + "' is not an integer!\n");
    }
}

TEST(CheckInt, MarkedWordIsReadNegativeAndMarkedAgain)
{
    Word w(marked("-5"));
    int *value = arg_arg_check_int(w.c_str());
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*value, -5);
    EXPECT_EQ(w.text, marked("-5"));
    delete value;
}

TEST(CheckInt, RefusedMarkedWordShowsAndKeepsItsMinus)
{
    Word w(marked("-3000000000"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(arg_arg_check_int(w.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "'-3000000000' is not an integer!\n");
    EXPECT_EQ(w.text, "-3000000000");
}

struct RealCase {
    const char *word;
    double value;
};

TEST(CheckDouble, AcceptsTheNumberAtTheStartOfTheWord)
{
    const RealCase cases[] = {
        {"2.5", 2.5}, {"2.5GB", 2.5}, {" 0.9", 0.9}, {"-1e3", -1000.0}, {"7", 7.0}, {".5", 0.5},
    };
    for (const RealCase &c : cases) {
        Word w(c.word);
        double *value = arg_arg_check_double(w.c_str());
        ASSERT_NE(value, nullptr) << c.word;
        EXPECT_DOUBLE_EQ(*value, c.value) << c.word;
        delete value;
    }
}

TEST(CheckDouble, RefusesAWordWithoutANumber)
{
    for (const char *word : {"abc", "", "GB2"}) {
        Word w(word);
        testing::internal::CaptureStderr();
        double *value = arg_arg_check_double(w.c_str());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(value, nullptr) << word;
        EXPECT_EQ(err, "'" + std::string(word) + "' is not a floating-point number!\n");
    }
}

TEST(CheckDouble, MarkedWordIsReadNegativeAndMarkedAgain)
{
    Word w(marked("-0.25"));
    double *value = arg_arg_check_double(w.c_str());
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
    Word a("3"), b("-4x"), c("1.5"), d("name");
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
    EXPECT_EQ(arg_arg_to_int_vector(bad.c_str(), &ints), nullptr);
    EXPECT_EQ(arg_arg_to_double_vector(bad.c_str(), &reals), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "'abc' is not an integer!\n'abc' is not a floating-point number!\n");
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
