// Unit tests of the distance measures and their registry.
#include "Distance.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "run_error.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

// A vector of T from values written as doubles (integral values for char and int).
template <class T> std::vector<T> vec(std::initializer_list<double> values)
{
    std::vector<T> v;
    for (double d : values) {
        if constexpr (std::is_integral<T>::value)
            v.push_back(static_cast<T>(static_cast<int>(d)));
        else
            v.push_back(static_cast<T>(d));
    }
    return v;
}

// A text field of the given width, NUL-padded, its characters as elements of T.
template <class T> std::vector<T> field(const std::string &text, std::size_t width)
{
    std::vector<T> v(width, T(0));
    for (std::size_t i = 0; i < text.size() && i < width; i++)
        v[i] = static_cast<T>(text[i]);
    return v;
}

// Measure objects live until the process ends, as in the program; the list
// that holds them is never destroyed, so leak checkers still reach them at exit.
template <class T> Distance<T> *fresh(const char *key)
{
    static DistanceFactory<T> factory;
    static auto *made = new std::vector<Distance<T> *>;
    made->push_back(factory.getDistance(key));
    return made->back();
}

// One shared object per keyword, for measures without settings.
template <class T> Distance<T> *measure(const char *key)
{
    static auto *made = new std::map<std::string, Distance<T> *>;
    Distance<T> *&m = (*made)[key];
    if (m == nullptr)
        m = fresh<T>(key);
    return m;
}

// The measure called as the store calls it: the row length for both lengths.
template <class T> double dist(const char *key, const std::vector<T> &x, const std::vector<T> &y)
{
    return measure<T>(key)->distance(x.data(), y.data(), static_cast<int>(x.size()),
                                     static_cast<int>(y.size()));
}

template <class T>
double dist(const char *key, std::initializer_list<double> x, std::initializer_list<double> y)
{
    return dist<T>(key, vec<T>(x), vec<T>(y));
}

template <class T> double minkowski(double p, std::initializer_list<double> x, std::initializer_list<double> y)
{
    auto *m = static_cast<DistanceMinkowski<T> *>(fresh<T>("minkowski"));
    m->p = p;
    std::vector<T> a = vec<T>(x), b = vec<T>(y);
    return m->distance(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
}

using ElementTypes = ::testing::Types<char, int, float, double>;
using FloatingTypes = ::testing::Types<float, double>;

const char *const ALL_KEYS[16] = {"euclidean", "manhattan", "minkowski", "pearson",
                                  "abspearson", "uncentcorrel", "absuncentcorrel", "spearman",
                                  "absspearman", "chord", "centchord", "averdiff",
                                  "maxdiff", "signsum", "hamming", "levenshtein"};

// ---------------------------------------------------------------------------
// Difference-based measures

template <class T> class DifferenceMeasures : public ::testing::Test {};
TYPED_TEST_SUITE(DifferenceMeasures, ElementTypes);

TYPED_TEST(DifferenceMeasures, IdenticalVectorsAreAtDistanceZero)
{
    using T = TypeParam;
    std::vector<T> x = vec<T>({1, -2, 3, 0, 5});
    for (const char *key : {"euclidean", "manhattan", "minkowski", "averdiff", "maxdiff", "signsum"})
        EXPECT_EQ(0, dist<T>(key, x, x)) << key;
}

TYPED_TEST(DifferenceMeasures, WorkedPairZeroThreeAgainstFourZero)
{
    using T = TypeParam;
    EXPECT_DOUBLE_EQ(5, dist<T>("euclidean", {0, 3}, {4, 0}));
    EXPECT_DOUBLE_EQ(7, dist<T>("manhattan", {0, 3}, {4, 0}));
    EXPECT_DOUBLE_EQ(3.5, dist<T>("averdiff", {0, 3}, {4, 0}));
    EXPECT_DOUBLE_EQ(4, dist<T>("maxdiff", {0, 3}, {4, 0}));
    EXPECT_NEAR(std::cbrt(91.0), minkowski<T>(3, {0, 3}, {4, 0}), 1e-12);
    EXPECT_EQ(0, dist<T>("signsum", {0, 3}, {4, 0}));
}

TYPED_TEST(DifferenceMeasures, SignSumIsTheFractionOfOppositeSigns)
{
    using T = TypeParam;
    EXPECT_DOUBLE_EQ(0.5, dist<T>("signsum", {1, -2, 3, 0}, {-1, -2, -3, 5}));
    EXPECT_DOUBLE_EQ(1, dist<T>("signsum", {-1, 2}, {1, -2}));
}

TYPED_TEST(DifferenceMeasures, ChordCases)
{
    using T = TypeParam;
    EXPECT_EQ(0, dist<T>("chord", {0, 0, 0}, {1, 2, 3})) << "zero vector";
    EXPECT_EQ(0, dist<T>("chord", {1, 2, 3}, {0, 0, 0})) << "zero vector";
    EXPECT_DOUBLE_EQ(std::sqrt(2.0), dist<T>("chord", {1, 0}, {0, 1}));
    EXPECT_NEAR(0, dist<T>("chord", {1, 2}, {2, 4}), 1e-7);
    EXPECT_NEAR(0, dist<T>("centchord", {1, 2}, {2, 4}), 1e-7);
    EXPECT_NEAR(2, dist<T>("centchord", {1, 2}, {4, 2}), 1e-7) << "opposite after centring";
}

TYPED_TEST(DifferenceMeasures, CentChordOfAConstantVectorIsZero)
{
    using T = TypeParam;
    EXPECT_EQ(0, dist<T>("centchord", {5, 5, 5}, {1, 7, 2}));
    EXPECT_EQ(0, dist<T>("centchord", {1, 7, 2}, {-3, -3, -3}));
}

TYPED_TEST(DifferenceMeasures, EmptyVectorsAreAtDistanceZero)
{
    using T = TypeParam;
    for (const char *key : {"euclidean", "manhattan", "minkowski", "chord", "centchord",
                            "averdiff", "maxdiff", "signsum"})
        EXPECT_EQ(0, dist<T>(key, {}, {})) << key;
}

TYPED_TEST(DifferenceMeasures, SecondLengthIsIgnored)
{
    using T = TypeParam;
    std::vector<T> x = vec<T>({0, 3}), y = vec<T>({4, 0});
    EXPECT_DOUBLE_EQ(5, measure<T>("euclidean")->distance(x.data(), y.data(), 2, 0));
    EXPECT_DOUBLE_EQ(7, measure<T>("manhattan")->distance(x.data(), y.data(), 2, 1));
}

TYPED_TEST(DifferenceMeasures, MinkowskiStartsWithExponentOne)
{
    using T = TypeParam;
    Distance<T> *m = fresh<T>("minkowski");
    std::vector<T> x = vec<T>({0, 3}), y = vec<T>({4, 0});
    EXPECT_NEAR(7, m->distance(x.data(), y.data(), 2, 2), 1e-12);
}

TYPED_TEST(DifferenceMeasures, MinkowskiUsesTheExponentWrittenAfterCreation)
{
    using T = TypeParam;
    auto *m = static_cast<DistanceMinkowski<T> *>(fresh<T>("minkowski"));
    std::vector<T> x = vec<T>({0, 3}), y = vec<T>({4, 0});
    m->p = 3;
    EXPECT_NEAR(std::cbrt(91.0), m->distance(x.data(), y.data(), 2, 2), 1e-12);
    EXPECT_NEAR(std::cbrt(91.0), m->distance(x.data(), y.data(), 2, 2), 1e-12) << "later call";
    m->p = 2;
    EXPECT_NEAR(5, m->distance(x.data(), y.data(), 2, 2), 1e-12);
}

// The squares are summed in four interleaved partial sums, then the tail in
// order.  Squares of 1e16 and ones tell the orders apart: 1 is below half a
// unit in the last place of 1e16, so each one added to 1e16 alone is lost,
// while ones summed among themselves first survive.
TEST(EuclideanSumOrder, FourPartialSumsCombinedPairwiseThenTheTail)
{
    struct Case {
        std::vector<double> x;
        double sum_of_squares;
    };
    const Case cases[] = {
        {{1e8, 1, 1}, 1e16},                                  // tail only: all ones lost
        {{1e8, 1, 1, 1}, 1e16 + 2},                           // (1e16 + 1) + (1 + 1)
        {{1e8, 1, 1, 1, 1, 1, 1}, 1.0000000000000004e16},     // 1e16 + 2, then three ones
        {{1e8, 1, 1, 1, 1, 1, 1, 1}, 1e16 + 6},               // s0 = 1e16, s1..s3 = 2 each
    };
    for (const Case &c : cases) {
        std::vector<double> zero(c.x.size(), 0.0);
        EXPECT_EQ(std::sqrt(c.sum_of_squares), dist<double>("euclidean", c.x, zero))
            << c.x.size() << " elements";
    }
}

TEST(CharMeasures, ElementsAreSignedSoMinusOneAndOneDifferByTwo)
{
    EXPECT_DOUBLE_EQ(2, dist<char>("euclidean", {-1}, {1}));
    EXPECT_DOUBLE_EQ(2, dist<char>("manhattan", {-1}, {1}));
    EXPECT_DOUBLE_EQ(2, dist<char>("maxdiff", {-1}, {1}));
    EXPECT_DOUBLE_EQ(1, dist<char>("signsum", {-1}, {1}));
    EXPECT_DOUBLE_EQ(255, dist<char>("manhattan", {127}, {-128}));
}

TEST(IntMeasures, ExtremeValuesDoNotOverflow)
{
    EXPECT_DOUBLE_EQ(4294967295.0, dist<int>("manhattan", {INT_MAX}, {INT_MIN}));
    EXPECT_DOUBLE_EQ(4294967295.0, dist<int>("euclidean", {INT_MAX}, {INT_MIN}));
    EXPECT_DOUBLE_EQ(1, dist<int>("signsum", {65536}, {-65536})) << "product beyond int";
}

template <class T> class FloatingMeasures : public ::testing::Test {};
TYPED_TEST_SUITE(FloatingMeasures, FloatingTypes);

// A NaN element makes the distance NaN under every measure, wherever it lies
// in either row, in short rows and in rows long enough for the unrolled and
// vectorised loops; an all-NaN row is at NaN from everything.
TYPED_TEST(FloatingMeasures, NaNElementMakesEveryMeasureNaN)
{
    using T = TypeParam;
    std::mt19937 gen(8);
    std::uniform_int_distribution<int> value(1, 9);
    for (int n : {6, 1001}) {
        std::vector<T> x(n), y(n);
        for (int k = 0; k < n; k++) {
            x[k] = static_cast<T>(value(gen) * (k % 3 ? 1 : -1));
            y[k] = static_cast<T>(value(gen) * (k % 2 ? 1 : -1));
        }
        for (const char *key : ALL_KEYS) {
            for (int at : {0, 2, n - 2, n - 1}) {
                std::vector<T> a = x;
                a[at] = std::numeric_limits<T>::quiet_NaN();
                EXPECT_TRUE(std::isnan(dist<T>(key, a, y))) << key << ", n " << n << ", NaN at " << at << " of x";
                EXPECT_TRUE(std::isnan(dist<T>(key, y, a))) << key << ", n " << n << ", NaN at " << at << " of y";
            }
            std::vector<T> none(n, std::numeric_limits<T>::quiet_NaN());
            EXPECT_TRUE(std::isnan(dist<T>(key, none, y))) << key << ", n " << n << ", all NaN";
            EXPECT_TRUE(std::isnan(dist<T>(key, none, none))) << key << ", n " << n << ", both all NaN";
        }
    }
}

// Infinite elements are numbers: they give the measures' infinite or finite
// results, not the NaN of a missing value.
TYPED_TEST(FloatingMeasures, InfiniteElementsAreNotMissing)
{
    using T = TypeParam;
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(inf, dist<T>("maxdiff", {1, inf, -3}, {-1, 1, 1}));
    EXPECT_DOUBLE_EQ(2.0 / 3, dist<T>("signsum", {1, inf, -3}, {-1, 1, 1}));
    EXPECT_DOUBLE_EQ(1.0 / 3, dist<T>("signsum", {1, inf, -3}, {-1, 0, 0})) << "zero times infinity has no sign";
    EXPECT_DOUBLE_EQ(2.0 / 5, dist<T>("signsum", {inf, -inf, 1, 2, 3}, {1, 1, -1, 1, 1}))
        << "products of both infinities sum to NaN without a NaN element";
    EXPECT_EQ(inf, dist<T>("euclidean", {1, inf, -3}, {-1, 1, 1}));
}

// ---------------------------------------------------------------------------
// Correlation measures

template <class T> class CorrelationMeasures : public ::testing::Test {};
TYPED_TEST_SUITE(CorrelationMeasures, ElementTypes);

TYPED_TEST(CorrelationMeasures, ProportionalVectorsAreAtDistanceZero)
{
    using T = TypeParam;
    EXPECT_NEAR(0, dist<T>("pearson", {1, 2, 3}, {2, 4, 6}), 1e-12);
    EXPECT_NEAR(0, dist<T>("uncentcorrel", {1, 2, 3}, {2, 4, 6}), 1e-12);
    EXPECT_NEAR(0, dist<T>("spearman", {1, 2, 3}, {2, 4, 6}), 1e-12);
}

TYPED_TEST(CorrelationMeasures, ReversedVectorsAreFarPlainButCloseAbsolute)
{
    using T = TypeParam;
    EXPECT_NEAR(2, dist<T>("pearson", {1, 2, 3}, {3, 2, 1}), 1e-12);
    EXPECT_NEAR(0, dist<T>("abspearson", {1, 2, 3}, {3, 2, 1}), 1e-12);
    EXPECT_NEAR(2, dist<T>("spearman", {1, 2, 3}, {3, 2, 1}), 1e-12);
    EXPECT_NEAR(0, dist<T>("absspearman", {1, 2, 3}, {3, 2, 1}), 1e-12);
    EXPECT_NEAR(0, dist<T>("absuncentcorrel", {1, 2}, {-1, -2}), 1e-12);
}

TYPED_TEST(CorrelationMeasures, OrthogonalUnitVectors)
{
    using T = TypeParam;
    EXPECT_DOUBLE_EQ(1, dist<T>("uncentcorrel", {1, 0}, {0, 1}));
    EXPECT_DOUBLE_EQ(2, dist<T>("pearson", {1, 0}, {0, 1}));
}

TYPED_TEST(CorrelationMeasures, ConstantOrZeroVectorGivesExactlyOne)
{
    using T = TypeParam;
    for (const char *key : {"pearson", "abspearson", "spearman", "absspearman"}) {
        EXPECT_EQ(1, dist<T>(key, {4, 4, 4, 4}, {1, 5, 2, 8})) << key;
        EXPECT_EQ(1, dist<T>(key, {1, 5, 2, 8}, {4, 4, 4, 4})) << key;
    }
    EXPECT_EQ(1, dist<T>("uncentcorrel", {0, 0, 0}, {1, 5, 2}));
    EXPECT_EQ(1, dist<T>("absuncentcorrel", {1, 5, 2}, {0, 0, 0}));
}

TYPED_TEST(CorrelationMeasures, EmptyVectorsGiveOne)
{
    using T = TypeParam;
    for (const char *key : {"pearson", "abspearson", "uncentcorrel", "absuncentcorrel", "spearman",
                            "absspearman"})
        EXPECT_EQ(1, dist<T>(key, {}, {})) << key;
}

TYPED_TEST(CorrelationMeasures, SingleElements)
{
    using T = TypeParam;
    for (const char *key : {"pearson", "abspearson", "spearman", "absspearman"})
        EXPECT_EQ(1, dist<T>(key, {3}, {5})) << key;
    EXPECT_DOUBLE_EQ(0, dist<T>("uncentcorrel", {3}, {5})) << "same sign";
    EXPECT_DOUBLE_EQ(2, dist<T>("uncentcorrel", {3}, {-5})) << "opposite signs";
    EXPECT_DOUBLE_EQ(1, dist<T>("uncentcorrel", {0}, {5})) << "a zero";
}

TYPED_TEST(CorrelationMeasures, TiedValuesShareTheirAverageRank)
{
    using T = TypeParam;
    std::vector<T> x = vec<T>({10, 20, 20, 30}), y = vec<T>({1, 2, 3, 4});
    int order[4];
    double rank[4];
    centred_ranks(x.data(), 4, order, rank);
    EXPECT_EQ((std::vector<double>{-1.5, 0, 0, 1.5}), std::vector<double>(rank, rank + 4));
    centred_ranks(y.data(), 4, order, rank);
    EXPECT_EQ((std::vector<double>{-1.5, -0.5, 0.5, 1.5}), std::vector<double>(rank, rank + 4));
    EXPECT_DOUBLE_EQ(1 - 4.5 / std::sqrt(22.5), dist<T>("spearman", x, y));
    EXPECT_DOUBLE_EQ(1 - 4.5 / std::sqrt(22.5), dist<T>("absspearman", x, y));
}

TYPED_TEST(CorrelationMeasures, VectorsAreNotModified)
{
    using T = TypeParam;
    std::vector<T> x = vec<T>({3, 1, 2}), y = vec<T>({9, 8, 7});
    dist<T>("spearman", x, y);
    EXPECT_EQ(vec<T>({3, 1, 2}), x);
    EXPECT_EQ(vec<T>({9, 8, 7}), y);
}

TEST(CharCorrelation, MinusOneRanksBelowOne)
{
    EXPECT_NEAR(0, dist<char>("spearman", {-1, 0, 1}, {1, 2, 3}), 1e-12);
    EXPECT_NEAR(0, dist<char>("spearman", {1, -128, 127}, {2, 1, 3}), 1e-12);
}

TEST(SpearmanProperty, UnchangedByAStrictlyIncreasingTransform)
{
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> small(0, 19);   // small range, so there are ties
    std::vector<double> x(200), y(200), fx(200), fy(200);
    for (int k = 0; k < 200; k++) {
        x[k] = small(gen);
        y[k] = small(gen) - 10;
        fx[k] = std::exp(x[k]);
        fy[k] = y[k] * y[k] * y[k] + y[k];
    }
    EXPECT_DOUBLE_EQ(dist<double>("spearman", x, y), dist<double>("spearman", fx, fy));
    EXPECT_DOUBLE_EQ(dist<double>("absspearman", x, y), dist<double>("absspearman", fx, fy));
}

TEST(PearsonProperty, LinearImageIsAtZeroOrTwo)
{
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> value(-100, 100);
    std::vector<double> x(300), up(300), down(300);
    for (int k = 0; k < 300; k++) {
        x[k] = value(gen);
        up[k] = 2.5 * x[k] - 7;
        down[k] = -0.5 * x[k] + 3;
    }
    EXPECT_NEAR(0, dist<double>("pearson", x, up), 1e-12);
    EXPECT_NEAR(2, dist<double>("pearson", x, down), 1e-12);
    EXPECT_NEAR(0, dist<double>("abspearson", x, down), 1e-12);
}

// ---------------------------------------------------------------------------
// Rounding: a measure that is >= 0 by definition is never below zero, nor
// NaN, where rounding overshoots; exactly proportional rows are at (nearly)
// zero under every measure of direction.

template <class T> class Rounding : public ::testing::Test {};
TYPED_TEST_SUITE(Rounding, FloatingTypes);

TYPED_TEST(Rounding, ProportionalRowsAreAtZeroNeverBelowItNorNaN)
{
    using T = TypeParam;
    std::mt19937 gen(21);
    std::uniform_real_distribution<double> value(-10, 10), factor(0.1, 30);
    const char *same_direction[] = {"pearson", "abspearson", "uncentcorrel", "absuncentcorrel",
                                    "spearman", "absspearman", "chord", "centchord"};
    const char *opposite[] = {"abspearson", "absuncentcorrel", "absspearman"};
    for (int row = 0; row < 400; row++) {
        int n = 3 + row % 40;
        double f = factor(gen);
        std::vector<T> x(n), up(n), down(n);
        for (int k = 0; k < n; k++) {
            x[k] = static_cast<T>(value(gen));
            up[k] = static_cast<T>(f * x[k]);
            down[k] = static_cast<T>(-f * x[k]);
        }
        for (const char *key : same_direction) {
            double d = dist<T>(key, x, up);
            EXPECT_TRUE(d >= 0 && d < 1e-3) << key << ", row " << row << ": " << d;
        }
        for (const char *key : opposite) {
            double d = dist<T>(key, x, down);
            EXPECT_TRUE(d >= 0 && d < 1e-3) << key << ", row " << row << ": " << d;
        }
    }
}

// The clamp that keeps a result at zero lets a NaN through.
TEST(Rounding, TheClampKeepsNaN)
{
    EXPECT_EQ(0.0, at_least_zero(-2.2e-16));
    EXPECT_EQ(0.0, at_least_zero(0.0));
    EXPECT_EQ(0.25, at_least_zero(0.25));
    EXPECT_TRUE(std::isnan(at_least_zero(NaN)));
}

// NaNs rank after all numbers and tie with each other.
template <class T> class SpearmanNaN : public ::testing::Test {};
TYPED_TEST_SUITE(SpearmanNaN, FloatingTypes);

TYPED_TEST(SpearmanNaN, NaNsRankAfterAllNumbersAsOneTiedGroup)
{
    using T = TypeParam;
    std::vector<T> x = vec<T>({1, NaN, 2, NaN});
    int order[4];
    double rank[4];
    centred_ranks(x.data(), 4, order, rank);
    EXPECT_EQ((std::vector<double>{-1.5, 1, -0.5, 1}), std::vector<double>(rank, rank + 4));
}

TYPED_TEST(SpearmanNaN, ANaNMakesTheRankCorrelationNaN)
{
    using T = TypeParam;
    std::vector<T> y = vec<T>({6, 5, 4, 3, 2, 1});
    EXPECT_TRUE(std::isnan(dist<T>("spearman", vec<T>({3, NaN, 1, NaN, 2, 5}), y)));
    EXPECT_TRUE(std::isnan(dist<T>("absspearman", y, vec<T>({3, 4, 1, 6, 2, NaN}))));
}

TYPED_TEST(SpearmanNaN, ManyScatteredNaNsGiveNaNAndLeaveTheScratchSound)
{
    using T = TypeParam;
    std::mt19937 gen(3);
    std::uniform_int_distribution<int> value(-50, 50);
    const int n = 10000;
    std::vector<T> x(n), y(n);
    for (int k = 0; k < n; k++) {
        T v = static_cast<T>(value(gen));
        x[k] = k % 3 == 0 ? std::numeric_limits<T>::quiet_NaN() : v;
        y[k] = static_cast<T>(value(gen));
    }
    double before = dist<T>("spearman", y, y);
    EXPECT_TRUE(std::isnan(dist<T>("spearman", x, y)));
    EXPECT_TRUE(std::isnan(dist<T>("spearman", y, x)));
    EXPECT_EQ(before, dist<T>("spearman", y, y));
}

TYPED_TEST(SpearmanNaN, AllNaNVectorGivesNaN)
{
    using T = TypeParam;
    EXPECT_TRUE(std::isnan(dist<T>("spearman", {NaN, NaN, NaN}, {1, 2, 3})));
    EXPECT_TRUE(std::isnan(dist<T>("absspearman", {1, 2, 3}, {NaN, NaN, NaN})));
}

TEST(SpearmanWideRows, RanksRowsTooWideForTheStackAndKeepsNoState)
{
    const int n = 200000;
    std::vector<double> x(n), down(n);
    for (int k = 0; k < n; k++) {
        x[k] = k;
        down[k] = n - k;
    }
    EXPECT_NEAR(2, dist<double>("spearman", x, down), 1e-9);
    EXPECT_NEAR(0, dist<double>("absspearman", x, down), 1e-9);
    EXPECT_DOUBLE_EQ(1 - 4.5 / std::sqrt(22.5), dist<double>("spearman", {10, 20, 20, 30}, {1, 2, 3, 4}))
        << "short row after a wide one";
    EXPECT_NEAR(0, dist<double>("spearman", x, x), 1e-9) << "wide row again";
}

// ---------------------------------------------------------------------------
// String measures

template <class T> class StringMeasures : public ::testing::Test {};
TYPED_TEST_SUITE(StringMeasures, ElementTypes);

struct StringCase {
    const char *x;
    const char *y;
    std::size_t width;
    double hamming;
    double levenshtein;
};

const StringCase STRING_CASES[] = {
    {"abc", "abd", 3, 1, 1},
    {"abc", "ab", 3, 1, 1},
    {"saturday", "sunday", 8, 7, 3},
    {"abc", "bca", 3, 3, 2},
    {"", "abc", 3, 3, 3},
    {"abc", "", 3, 3, 3},
    {"", "", 3, 0, 0},
    {"abcd", "abce", 4, 1, 1},   // full fields, no NUL: the width is the length
    {"kitten", "sitting", 7, 3, 3},
};

TYPED_TEST(StringMeasures, FieldsOfTheRowWidth)
{
    using T = TypeParam;
    for (const StringCase &c : STRING_CASES) {
        std::vector<T> x = field<T>(c.x, c.width), y = field<T>(c.y, c.width);
        EXPECT_EQ(c.hamming, dist<T>("hamming", x, y)) << c.x << " / " << c.y;
        EXPECT_EQ(c.levenshtein, dist<T>("levenshtein", x, y)) << c.x << " / " << c.y;
    }
}

TYPED_TEST(StringMeasures, NegativeLengthMeansNoBound)
{
    using T = TypeParam;
    for (int len : {-1, -7}) {
        for (const StringCase &c : STRING_CASES) {
            std::vector<T> x = field<T>(c.x, c.width + 1), y = field<T>(c.y, c.width + 1);
            EXPECT_EQ(c.hamming, measure<T>("hamming")->distance(x.data(), y.data(), len, len))
                << c.x << " / " << c.y << " length " << len;
            EXPECT_EQ(c.levenshtein, measure<T>("levenshtein")->distance(x.data(), y.data(), len, len))
                << c.x << " / " << c.y << " length " << len;
        }
    }
}

TYPED_TEST(StringMeasures, NumericRowsEndAtTheirFirstZero)
{
    using T = TypeParam;
    EXPECT_EQ(1, dist<T>("hamming", {1, 2, 0, 7}, {1, 3, 0, 9}));
    EXPECT_EQ(1, dist<T>("levenshtein", {1, 2, 0, 7}, {1, 3, 0, 9}));
}

TYPED_TEST(StringMeasures, NothingBeyondTheGivenLengthIsRead)
{
    using T = TypeParam;
    std::vector<T> x = field<T>("abcdX", 5), y = field<T>("abcdY", 5);
    for (const char *key : {"hamming", "levenshtein"}) {
        EXPECT_EQ(0, measure<T>(key)->distance(x.data(), y.data(), 4, 4)) << key;
        EXPECT_EQ(1, measure<T>(key)->distance(x.data(), y.data(), 4, 5)) << key;
        EXPECT_EQ(1, measure<T>(key)->distance(x.data(), y.data(), 5, 5)) << key;
        EXPECT_EQ(4, measure<T>(key)->distance(x.data(), y.data(), 0, 4)) << key;
    }
}

TYPED_TEST(StringMeasures, NothingBehindTheShorterStringsZeroIsRead)
{
    using T = TypeParam;
    // Behind y's terminator lie characters that must not count.
    std::vector<T> x = field<T>("abcdef", 7);
    std::vector<T> y = {T('a'), T('b'), T(0), T('z'), T('z'), T('z'), T('z'), T('z'), T(0)};
    EXPECT_EQ(4, measure<T>("hamming")->distance(x.data(), y.data(), -1, -1));
    EXPECT_EQ(4, measure<T>("hamming")->distance(y.data(), x.data(), -1, -1));
    EXPECT_EQ(4, measure<T>("levenshtein")->distance(x.data(), y.data(), -1, -1));
}

template <class T> class FloatingStrings : public ::testing::Test {};
TYPED_TEST_SUITE(FloatingStrings, FloatingTypes);

// By default a NaN read in either string makes the distance NaN, as under
// every other measure; a NaN behind a string's end is not read.
TYPED_TEST(FloatingStrings, NaNInAStringMakesTheDistanceNaN)
{
    using T = TypeParam;
    for (const char *key : {"hamming", "levenshtein"}) {
        EXPECT_TRUE(std::isnan(dist<T>(key, {NaN, 1}, {NaN, 1}))) << key;
        EXPECT_TRUE(std::isnan(dist<T>(key, {1, 2, 3}, {1, 2, NaN}))) << key;
        EXPECT_TRUE(std::isnan(dist<T>(key, {NaN, NaN, 0}, {0, 0, 0}))) << key;
        EXPECT_EQ(1, dist<T>(key, {1, 0, NaN}, {2, 0, 5})) << key;
    }
}

// With missing values skipped pair by pair a string has no positions to
// skip: a NaN is then a character that equals nothing and does not end it.
TYPED_TEST(FloatingStrings, NaNAsACharacterEqualsNothingAndDoesNotEndAString)
{
    using T = TypeParam;
    for (const char *key : {"hamming", "levenshtein"}) {
        auto *m = static_cast<StringMeasure<T> *>(fresh<T>(key));
        m->nan_is_character = true;
        auto d = [m](std::initializer_list<double> x, std::initializer_list<double> y) {
            std::vector<T> a = vec<T>(x), b = vec<T>(y);
            return m->distance(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
        };
        EXPECT_EQ(1, d({NaN, 1}, {NaN, 1})) << key;
        EXPECT_EQ(2, d({NaN, NaN, 0}, {0, 0, 0})) << key;
    }
}

TEST(LevenshteinLongStrings, RowsTooWideForTheStack)
{
    std::string a20000(20000, 'a');
    std::vector<char> x = field<char>(a20000, 20000);
    std::vector<char> y = field<char>(std::string(1000, 'a') + "b", 20000);
    EXPECT_EQ(19000, dist<char>("levenshtein", x, y));
    EXPECT_EQ(19000, dist<char>("levenshtein", y, x));
    EXPECT_EQ(1, dist<char>("levenshtein", {'a', 'b'}, {'a', 'c'})) << "short after long";
    EXPECT_EQ(19000, dist<char>("hamming", x, y));
}

// ---------------------------------------------------------------------------
// The registry

template <class T> class Registry : public ::testing::Test {};
TYPED_TEST_SUITE(Registry, ElementTypes);

TYPED_TEST(Registry, FullKeywordsSelectTheirIDs)
{
    DistanceFactory<TypeParam> factory;
    for (int id = 0; id < 16; id++)
        EXPECT_EQ(id, factory.getDistanceID(ALL_KEYS[id])) << ALL_KEYS[id];
}

TYPED_TEST(Registry, UniquePrefixesInAnyCaseSelectTheirMeasure)
{
    DistanceFactory<TypeParam> factory;
    const std::pair<const char *, int> cases[] = {
        {"EUC", 0}, {"Euclidean", 0}, {"e", 0}, {"pearson", 3}, {"absp", 4}, {"abss", 8},
        {"absu", 6}, {"sp", 7}, {"si", 13}, {"ch", 9}, {"ce", 10}, {"man", 1},
        {"max", 12}, {"mi", 2}, {"LEV", 15}, {"hAm", 14}, {"av", 11}, {"u", 5}};
    for (const auto &c : cases)
        EXPECT_EQ(c.second, factory.getDistanceID(c.first)) << c.first;
}

TEST(RegistryErrors, AmbiguousPrefixEndsTheRun)
{
    DistanceFactory<char> factory;
    for (const char *name : {"a", "abs", "s", "c", "m", "ma", "AbS"}) {
        std::string message = std::string("^ERROR! '") + name + "' matches to several distance measures!\n$";
        EXPECT_RUN_ERROR(factory.getDistanceID(name), 1, message);
    }
}

TEST(RegistryErrors, EmptyKeywordMatchesEveryMeasure)
{
    DistanceFactory<double> factory;
    EXPECT_RUN_ERROR(factory.getDistanceID(""), 1, "^ERROR! '' matches to several distance measures!\n$");
}

TEST(RegistryErrors, UnknownKeywordEndsTheRun)
{
    DistanceFactory<int> factory;
    EXPECT_RUN_ERROR(factory.getDistanceID("euclideanx"), 1,
                     "^ERROR! 'euclideanx' does not match to any distance measure!\n$");
    EXPECT_RUN_ERROR(factory.getDistance("Cosine"), 1, "^ERROR! 'Cosine' does not match to any distance measure!\n$");
}

TEST(RegistryErrors, MessageIsTheLineAfterItsOpening)
{
    DistanceFactory<float> factory;
    try {
        factory.getDistanceID("x");
        FAIL() << "no brivane::Error";
    } catch (const brivane::Error &error) {
        EXPECT_STREQ("'x' does not match to any distance measure!", error.what());
        EXPECT_EQ(1, error.status());
    }
}

TYPED_TEST(Registry, EachIDMakesItsOwnClass)
{
    using T = TypeParam;
    EXPECT_NE(nullptr, dynamic_cast<DistanceEuclidean<T> *>(fresh<T>("euclidean")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceManhattan<T> *>(fresh<T>("manhattan")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceMinkowski<T> *>(fresh<T>("minkowski")));
    EXPECT_NE(nullptr, dynamic_cast<DistancePearson<T> *>(fresh<T>("pearson")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceAbsPearson<T> *>(fresh<T>("abspearson")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceUncentCorrel<T> *>(fresh<T>("uncentcorrel")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceAbsUncentCorrel<T> *>(fresh<T>("absuncentcorrel")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceSpearman<T> *>(fresh<T>("spearman")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceAbsSpearman<T> *>(fresh<T>("absspearman")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceChord<T> *>(fresh<T>("chord")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceCentChord<T> *>(fresh<T>("centchord")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceAverDiff<T> *>(fresh<T>("averdiff")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceMaxDiff<T> *>(fresh<T>("maxdiff")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceSignSum<T> *>(fresh<T>("signsum")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceHamming<T> *>(fresh<T>("hamming")));
    EXPECT_NE(nullptr, dynamic_cast<DistanceLevenshtein<T> *>(fresh<T>("levenshtein")));
    EXPECT_EQ(1.0, dynamic_cast<DistanceMinkowski<T> *>(fresh<T>("MINK"))->p);
}

const char *const LISTING =
    "e[uclidean]       - Euclidean distance - Minkowski distance with p=2\n"
    "man[hattan]       - Manhattan distance - Minkowski distance with p=1\n"
    "mi[nkowski]       - Minkowski distance (with parameter p=<positive-real>) - P-th root of the sum of P-th powers of vector element-wise differences\n"
    "p[earson]         - Pearson correlation distance - One minus Pearson correlation of the two vectors (centered correlation)\n"
    "absp[earson]      - Absolute Pearson correlation distance - One minus the absolute value of Pearson correlation of the two vectors\n"
    "u[ncentcorrel]    - Uncentered correlation distance - One minus the uncentered correlation of the two vectors\n"
    "absu[ncentcorrel] - Absolute uncentered correlation distance - One minus the absolute value of the uncentered correlation of the vectors\n"
    "sp[earman]        - Spearman's rank correlation distance - One minus Spearman's rank correlation of the two vectors\n"
    "abss[pearman]     - Absolute Spearman's rank correlation distance - One minus the absolute value of the Spearman's rank correlation of the two vectors\n"
    "ch[ord]           - Chord distance - Euclidean distance measured after the normalization of the two vectors\n"
    "ce[ntchord]       - Centered chord distance - Euclidean distance measured after centering and normalizing the vectors\n"
    "av[erdiff]        - Average difference distance - Average of vector element-wise differences\n"
    "max[diff]         - Maximum difference distance - Maximum of vector element-wise differences\n"
    "si[gnsum]         - Sum of signs distance - The number of positions where the vectors have opposite-signed values\n"
    "h[amming]         - Hamming distance - The number of positions where the strings have different characters\n"
    "l[evenshtein]     - Levenshtein (edit) distance - The number of single character insertions, deletions, replacements it takes to get one string from the other\n";

TYPED_TEST(Registry, ListingHasSixteenLinesWithBracketsAfterTheShortestPrefix)
{
    DistanceFactory<TypeParam> factory;
    EXPECT_EQ(LISTING, factory.distanceListing());
}

}  // namespace
