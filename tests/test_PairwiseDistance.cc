// Unit tests of the pairwise-complete measures against references written
// here from the textbook definitions: R's dist for the scaled sums, and the
// pairwise-complete correlations as numpy.ma and pandas compute them (means,
// norms and average ranks over the shared positions only).
#include "PairwiseDistance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

// The shared positions of two rows, as two plain vectors.
struct Shared {
    std::vector<double> x, y;
    int n = 0;   // the full row length
};

Shared shared(const std::vector<double> &x, const std::vector<double> &y)
{
    Shared s;
    s.n = static_cast<int>(x.size());
    for (size_t k = 0; k < x.size(); k++)
        if (!std::isnan(x[k]) && !std::isnan(y[k])) {
            s.x.push_back(x[k]);
            s.y.push_back(y[k]);
        }
    return s;
}

double mean(const std::vector<double> &v)
{
    double s = 0;
    for (double a : v)
        s += a;
    return s / v.size();
}

// Pearson's r from the textbook: covariance over the product of deviations.
double pearson_r(const std::vector<double> &x, const std::vector<double> &y, bool centred)
{
    double mx = centred ? mean(x) : 0, my = centred ? mean(y) : 0;
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t k = 0; k < x.size(); k++) {
        sxy += (x[k] - mx) * (y[k] - my);
        sxx += (x[k] - mx) * (x[k] - mx);
        syy += (y[k] - my) * (y[k] - my);
    }
    return sxx * syy == 0 ? 0 : sxy / std::sqrt(sxx * syy);
}

// 1-based average ranks, ties sharing the mean of their ranks (rankdata).
std::vector<double> average_ranks(const std::vector<double> &v)
{
    std::vector<double> r(v.size());
    for (size_t i = 0; i < v.size(); i++) {
        int below = 0, equal = 0;
        for (double w : v) {
            below += w < v[i];
            equal += w == v[i];
        }
        r[i] = below + (equal + 1) / 2.0;
    }
    return r;
}

// The reference distance of measure `key` over the shared positions of x and
// y; NaN when they share too few.
double reference(const std::string &key, const std::vector<double> &x, const std::vector<double> &y, double p = 3)
{
    Shared s = shared(x, y);
    const int m = static_cast<int>(s.x.size());
    const bool difference = key == "euclidean" || key == "manhattan" || key == "minkowski" || key == "averdiff" ||
                            key == "maxdiff" || key == "signsum";
    if (m < (difference ? 1 : 2))
        return NaN;
    auto power_sum = [&](double q) {
        double sum = 0;
        for (int k = 0; k < m; k++)
            sum += std::pow(std::fabs(s.x[k] - s.y[k]), q);
        return sum * s.n / m;   // R: scaled up to the full row
    };
    if (key == "euclidean")
        return std::sqrt(power_sum(2));
    if (key == "manhattan")
        return power_sum(1);
    if (key == "minkowski")
        return std::pow(power_sum(p), 1 / p);
    if (key == "averdiff")
        return power_sum(1) / s.n;
    if (key == "maxdiff") {
        double top = 0;
        for (int k = 0; k < m; k++)
            top = std::max(top, std::fabs(s.x[k] - s.y[k]));
        return top;
    }
    if (key == "signsum") {
        int opposite = 0;
        for (int k = 0; k < m; k++)
            opposite += (s.x[k] > 0 && s.y[k] < 0) || (s.x[k] < 0 && s.y[k] > 0);
        return static_cast<double>(opposite) / m;
    }
    double r;
    if (key == "pearson" || key == "abspearson" || key == "centchord")
        r = pearson_r(s.x, s.y, true);
    else if (key == "spearman" || key == "absspearman")
        r = pearson_r(average_ranks(s.x), average_ranks(s.y), true);
    else
        r = pearson_r(s.x, s.y, false);   // uncentred, chord
    if (key == "chord" || key == "centchord")
        return std::sqrt(std::max(0.0, 2 - 2 * r));
    if (key.compare(0, 3, "abs") == 0)
        return 1 - std::fabs(r);
    return 1 - r;
}

const char *const NUMERIC_KEYS[] = {"euclidean", "manhattan",  "minkowski", "pearson",  "abspearson",
                                    "uncentcorrel", "absuncentcorrel", "spearman", "absspearman", "chord",
                                    "centchord", "averdiff", "maxdiff", "signsum"};

template <class T> Distance<T> *pairwise(const std::string &key, double p = 3)
{
    static DistanceFactory<int> names;
    static auto *made = new std::vector<Distance<T> *>;   // kept until exit, as in the program
    made->push_back(pairwise_measure<T>(names.getDistanceID(key.c_str()), p));
    return made->back();
}

template <class T> double call(Distance<T> *m, const std::vector<double> &x, const std::vector<double> &y)
{
    std::vector<T> a(x.begin(), x.end()), b(y.begin(), y.end());
    return m->distance(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
}

// Two rows of 9 values with ties, a zero and both signs, and where their
// missing cells lie.
const std::vector<double> X = {1.5, -2.0, 3.25, 0.0, 4.0, 4.0, -1.0, 2.5, 7.0};
const std::vector<double> Y = {2.0, -1.0, 1.0, 3.5, -0.5, 4.0, -3.0, 2.5, 6.0};
struct Pattern {
    const char *where;
    std::vector<int> x_missing, y_missing;
};
const Pattern PATTERNS[] = {
    {"nowhere", {}, {}},
    {"at the start", {0}, {0, 1}},
    {"at the end", {8}, {7}},
    {"at both ends", {0, 8}, {1, 7}},
    {"everywhere", {1, 4, 6}, {0, 3, 5, 8}},
    {"in one row only", {2, 3}, {}},
};

std::vector<double> with_missing(std::vector<double> v, const std::vector<int> &at)
{
    for (int k : at)
        v[k] = NaN;
    return v;
}

template <class T> void check_every_measure_and_pattern(double tolerance)
{
    for (const char *key : NUMERIC_KEYS)
        for (const Pattern &pattern : PATTERNS) {
            std::vector<double> x = with_missing(X, pattern.x_missing), y = with_missing(Y, pattern.y_missing);
            Distance<T> *m = pairwise<T>(key);
            EXPECT_NEAR(call(m, x, y), reference(key, x, y), tolerance) << key << ", missing " << pattern.where;
            EXPECT_NEAR(call(m, y, x), reference(key, y, x), tolerance) << key << " swapped, " << pattern.where;
        }
}

TEST(PairwiseMeasures, EveryMeasureMatchesItsReferenceWhereverCellsAreMissing)
{
    check_every_measure_and_pattern<double>(1e-12);
    // The rows' values are exact in float, so only the sums' rounding differs.
    check_every_measure_and_pattern<float>(1e-12);
}

TEST(PairwiseMeasures, TooFewSharedPositionsGiveNoDistance)
{
    // Shared positions: 0 for the first pair, 1 (position 2) for the second.
    const std::vector<double> a = {NaN, 1, 2, NaN}, b = {3, NaN, NaN, 4}, c = {NaN, NaN, 5, NaN};
    for (const char *key : NUMERIC_KEYS) {
        std::string k = key;
        bool difference = k == "euclidean" || k == "manhattan" || k == "minkowski" || k == "averdiff" ||
                          k == "maxdiff" || k == "signsum";
        EXPECT_TRUE(std::isnan(call(pairwise<double>(key), a, b))) << key << ": nothing shared";
        EXPECT_EQ(std::isnan(call(pairwise<double>(key), a, c)), !difference) << key << ": one shared";
    }
    EXPECT_DOUBLE_EQ(call(pairwise<double>("euclidean"), a, c), 3 * 2.0) << "sqrt(4 / 1 * 3^2)";
    EXPECT_EQ(pairwise_measure<double>(14, 1), nullptr) << "hamming has no pairwise form";
    EXPECT_EQ(pairwise_measure<double>(15, 1), nullptr) << "levenshtein has no pairwise form";
}

TEST(PairwiseMeasures, ScaledSumsFollowRsConvention)
{
    // dist(rbind(c(0, NA, 3, 1), c(4, 2, 0, NA))) in R: shared positions 0
    // and 2, scaled by 4 / 2.
    const std::vector<double> x = {0, NaN, 3, 1}, y = {4, 2, 0, NaN};
    struct {
        const char *key;
        double p, expected;
    } cases[] = {
        {"euclidean", 2, std::sqrt(2.0 * 25)},
        {"manhattan", 1, 2.0 * 7},
        {"minkowski", 3, std::cbrt(2.0 * 91)},
        {"minkowski", 0.5, std::pow(2.0 * (2 + std::sqrt(3.0)), 2)},
        {"averdiff", 1, 3.5},
        {"maxdiff", 1, 4},
    };
    for (const auto &c : cases)
        EXPECT_NEAR(call(pairwise<double>(c.key, c.p), x, y), c.expected, 1e-12) << c.key << " p=" << c.p;
}

// Proportional rows with cells missing are at zero over their shared
// positions, never below it, nor NaN where rounding takes a correlation
// beyond one.
TEST(PairwiseMeasures, ProportionalRowsAreAtZeroNeverBelowIt)
{
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> value(-10, 10), factor(0.1, 30);
    for (int row = 0; row < 300; row++) {
        int n = 4 + row % 30;
        double f = factor(gen);
        std::vector<double> x(n), up(n), down(n);
        for (int k = 0; k < n; k++) {
            x[k] = value(gen);
            up[k] = k == 1 ? NaN : f * x[k];
            down[k] = -f * x[k];
        }
        x[n - 1] = NaN;
        for (const char *key : {"pearson", "uncentcorrel", "spearman", "chord", "centchord", "abspearson"}) {
            double d = call(pairwise<double>(key), x, up);
            EXPECT_TRUE(d >= 0 && d < 1e-6) << key << ", row " << row << ": " << d;
        }
        for (const char *key : {"abspearson", "absuncentcorrel", "absspearman"}) {
            double d = call(pairwise<double>(key), x, down);
            EXPECT_TRUE(d >= 0 && d < 1e-6) << key << ", row " << row << ": " << d;
        }
    }
}

TEST(PairwiseMeasures, WideRowsAndSpearmanScratchDoNotClash)
{
    // Spearman ranks the shared values in the same thread's scratch space
    // that holds them; rows too wide for the stack, called repeatedly with
    // shrinking and growing lengths, must still agree with the reference.
    std::mt19937 gen(3);
    std::normal_distribution<double> value(0, 1);
    for (int n : {5000, 40, 7000}) {
        std::vector<double> x(n), y(n);
        for (int k = 0; k < n; k++) {
            x[k] = gen() % 7 == 0 ? NaN : std::round(value(gen) * 4);   // many ties
            y[k] = gen() % 5 == 0 ? NaN : x[k] + value(gen);
        }
        for (const char *key : {"spearman", "pearson", "centchord"})
            EXPECT_NEAR(call(pairwise<double>(key), x, y), reference(key, x, y), 1e-9) << key << " n=" << n;
    }
}

} // namespace
