// Distance measures between two objects of a data matrix, and the registry
// that finds them by keyword.
//
// What lives here:
//   Distance            the interface every measure implements
//   difference-based    euclidean, manhattan, minkowski, chord, centchord,
//                       averdiff, maxdiff, signsum: sums over element-wise
//                       differences or products
//   correlation-based   pearson, uncentcorrel, spearman and their "abs" forms:
//                       one minus a correlation coefficient, as in the C
//                       clustering library of Cluster 3.0 (de Hoon et al. 2004)
//   at_least_zero       the clamp that keeps rounding from taking a measure
//                       that is >= 0 by definition below zero
//   string measures     hamming (Hamming 1950) and levenshtein (Levenshtein
//                       1966, computed with the two-row dynamic programme of
//                       Wagner and Fischer 1974)
//   RankComparison      the comparator that sorts a vector's indices for ranking
//   DistanceFactory     keyword lookup by unambiguous prefix, creation, listing
//
// Everything is a class template over the element type of the data matrix:
// char (NetCDF ncChar, read as signed 8-bit), int, float and double.
//
// A NaN element is a missing value: every measure gives NaN when it reads one
// in either vector (the string measures can be told to take it as a
// character instead).  Most measures get this from their arithmetic; maxdiff,
// signsum, spearman and the string measures, whose comparisons would drop a
// NaN, check for it, and only for float and double.
#ifndef DISTANCE_H
#define DISTANCE_H

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <brivane/error.hpp>


// The measure interface.  x and y point to two vectors of T lying contiguously
// in memory; xlen and ylen are their lengths in elements (the caller passes
// the row length for both).  The difference and correlation measures read
// exactly xlen elements of each vector and ignore ylen; the string measures
// use both lengths and also stop at an element equal to zero.  A call changes
// neither the measure object nor the vectors, allocates nothing on the heap
// once the scratch space below fits the row length, and may be made any
// number of times in any order.
template <class T> class Distance {
  public:
    virtual ~Distance() = default;
    virtual double distance(const T *x, const T *y, int xlen, int ylen) = 0;
};

// ---------------------------------------------------------------------------
// Module state: scratch space of the Spearman and Levenshtein measures.
//
// Rows can be hundreds of thousands of elements wide, too wide for arrays on
// the stack.  The buffers only grow, so in a run they are sized once from the
// row length.  No call reads what an earlier call left there (every entry it
// reads it has written first); each thread has its own set, which serves all
// element types.
struct MeasureScratch {
    std::vector<int> ints;         // Spearman: two sort orders; Levenshtein: two rows
    std::vector<double> doubles;   // Spearman: the ranks of x and of y
    std::vector<double> shared;    // pairwise measures: the values at the shared positions

    int *int_space(std::size_t n)
    {
        if (ints.size() < n)
            ints.resize(n);
        return ints.data();
    }
    double *double_space(std::size_t n)
    {
        if (doubles.size() < n)
            doubles.resize(n);
        return doubles.data();
    }
    double *shared_space(std::size_t n)
    {
        if (shared.size() < n)
            shared.resize(n);
        return shared.data();
    }
};
inline thread_local MeasureScratch measure_scratch;

// ---------------------------------------------------------------------------
// Element reading shared by all measures.

// An element as a double: char is signed 8-bit (-128...127) on every platform,
// so that -1 and 1 differ by 2 and int data cannot overflow in a difference.
template <class T> inline double as_double(T v) { return static_cast<double>(v); }
inline double as_double(char v) { return static_cast<signed char>(v); }

// An element in its own ordering: signed for char and int, floating-point for
// float and double.
template <class T> inline T ordered(T v) { return v; }
inline signed char ordered(char v) { return static_cast<signed char>(v); }

// Whether an element holds a value, not NaN; always for char and int, so the
// checks vanish from their loops.
template <class T> inline bool present(T v)
{
    if constexpr (std::is_floating_point<T>::value)
        return !std::isnan(v);
    else
        return true;
}

const double MISSING_DISTANCE = std::numeric_limits<double>::quiet_NaN();

// v, or 0 where rounding took v below zero.  A NaN fails the comparison and
// stays NaN: a missing distance must not become the nearest one.
inline double at_least_zero(double v) { return v < 0 ? 0.0 : v; }

// ---------------------------------------------------------------------------
// Difference-based measures.  n = xlen, d_k = x_k - y_k in double; a sum over
// an empty range is 0.

// sqrt(sum d_k^2).  n <= 0 gives 0.
//
// The sum is taken in a fixed order chosen for speed, the same on every
// build: four partial sums s_r over the positions k = r (mod 4) of the
// leading multiple of four, combined as (s_0 + s_1) + (s_2 + s_3), then the
// remaining one to three terms added in position order.  Independent partial
// sums let the compiler use vector registers and hide the latency of the
// additions, where a single running sum must wait for each add in turn.  The
// result may differ from the plain left-to-right sum in the last bits only.
//
// The sum is a free function so that a caller that knows its measure (the
// linear engine's Prim steps) inlines it and gets the same bits.
template <class T> inline double euclidean_distance(const T *x, const T *y, int xlen)
{
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int k = 0;
    for (; k + 4 <= xlen; k += 4) {
        double d0 = as_double(x[k]) - as_double(y[k]);
        double d1 = as_double(x[k + 1]) - as_double(y[k + 1]);
        double d2 = as_double(x[k + 2]) - as_double(y[k + 2]);
        double d3 = as_double(x[k + 3]) - as_double(y[k + 3]);
        s0 += d0 * d0;
        s1 += d1 * d1;
        s2 += d2 * d2;
        s3 += d3 * d3;
    }
    double s = (s0 + s1) + (s2 + s3);
    for (; k < xlen; k++) {
        double d = as_double(x[k]) - as_double(y[k]);
        s += d * d;
    }
    return std::sqrt(s);
}

template <class T> class DistanceEuclidean : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override { return euclidean_distance(x, y, xlen); }
};

// sum |d_k|.  n <= 0 gives 0.
template <class T> class DistanceManhattan : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        double s = 0;
        for (int k = 0; k < xlen; k++)
            s += std::fabs(as_double(x[k]) - as_double(y[k]));
        return s;
    }
};

// (sum |d_k|^p)^(1/p), each power as exp(p ln|d_k|) and zero differences
// skipped; a zero sum gives 0.  A NaN difference is not zero, so it makes the
// result NaN.  p is written by Run::make_measure after creation and read on every call.
template <class T> class DistanceMinkowski : public Distance<T> {
  public:
    double p;   // the exponent, positive

    explicit DistanceMinkowski(double exponent) : p(exponent) {}

    double distance(const T *x, const T *y, int xlen, int) override
    {
        double s = 0;
        for (int k = 0; k < xlen; k++) {
            double d = as_double(x[k]) - as_double(y[k]);
            if (d != 0)
                s += std::exp(p * std::log(std::fabs(d)));
        }
        if (s == 0)
            return 0;
        return std::exp(std::log(s) / p);
    }
};

// (sum |d_k|) / n.  n <= 0 gives 0.
template <class T> class DistanceAverDiff : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        if (xlen <= 0)
            return 0;
        double s = 0;
        for (int k = 0; k < xlen; k++)
            s += std::fabs(as_double(x[k]) - as_double(y[k]));
        return s / xlen;
    }
};

// max |d_k|.  n <= 0 gives 0.
//
// The maximum alone would pass over a NaN difference, so NaNs are noted
// beside it.  Four partial maxima over the positions k = r (mod 4) keep
// four independent chains of compares where one chain would wait on each
// compare in turn; the maximum is exact, so the result does not depend on
// the grouping.
template <class T> class DistanceMaxDiff : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        double m0 = 0, m1 = 0, m2 = 0, m3 = 0;
        bool nan = false;
        int k = 0;
        for (; k + 4 <= xlen; k += 4) {
            double d0 = difference(x, y, k), d1 = difference(x, y, k + 1);
            double d2 = difference(x, y, k + 2), d3 = difference(x, y, k + 3);
            if constexpr (std::is_floating_point<T>::value)
                nan |= std::isnan(d0) | std::isnan(d1) | std::isnan(d2) | std::isnan(d3);
            m0 = d0 > m0 ? d0 : m0;
            m1 = d1 > m1 ? d1 : m1;
            m2 = d2 > m2 ? d2 : m2;
            m3 = d3 > m3 ? d3 : m3;
        }
        double m = std::max(std::max(m0, m1), std::max(m2, m3));
        for (; k < xlen; k++) {
            double d = difference(x, y, k);
            if constexpr (std::is_floating_point<T>::value)
                nan |= std::isnan(d);
            m = d > m ? d : m;
        }
        return nan ? MISSING_DISTANCE : m;
    }

  private:
    static double difference(const T *x, const T *y, int k)
    {
        return std::fabs(as_double(x[k]) - as_double(y[k]));
    }
};

// The fraction of positions where x_k * y_k < 0 (opposite signs; a zero on
// either side does not count).  n <= 0 gives 0.
//
// The count would pass over a NaN.  The products are also summed, in four
// partial sums like the Euclidean distance's, where a NaN element leaves a
// NaN; so can infinite elements of both signs, so only a NaN sum has the
// elements looked at.  The common loop gains four independent additions and
// no branch.
template <class T> class DistanceSignSum : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        if (xlen <= 0)
            return 0;
        int c = 0;
        double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        int k = 0;
        for (; k + 4 <= xlen; k += 4) {
            double p0 = product(x, y, k), p1 = product(x, y, k + 1);
            double p2 = product(x, y, k + 2), p3 = product(x, y, k + 3);
            c += (p0 < 0) + (p1 < 0) + (p2 < 0) + (p3 < 0);
            s0 += p0;
            s1 += p1;
            s2 += p2;
            s3 += p3;
        }
        double s = (s0 + s1) + (s2 + s3);
        for (; k < xlen; k++) {
            double p = product(x, y, k);
            c += p < 0;
            s += p;
        }
        if (std::isnan(s))
            for (k = 0; k < xlen; k++)
                if (!present(x[k]) || !present(y[k]))
                    return MISSING_DISTANCE;
        return static_cast<double>(c) / xlen;
    }

  private:
    static double product(const T *x, const T *y, int k) { return as_double(x[k]) * as_double(y[k]); }
};

// sqrt(2 (1 - r)) with r = S_xy / sqrt(S_x S_y): the Euclidean distance of the
// vectors scaled to unit length.  S_x S_y = 0 (a zero vector, n <= 0) gives 0.
// Rounding can take r beyond 1 for proportional vectors; the radicand is
// held at zero, where the root would be NaN.
template <class T> class DistanceChord : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        double sx = 0, sy = 0, sxy = 0;
        for (int k = 0; k < xlen; k++) {
            double a = as_double(x[k]), b = as_double(y[k]);
            sx += a * a;
            sy += b * b;
            sxy += a * b;
        }
        double p = sx * sy;
        if (p == 0)
            return 0;
        double r = sxy / std::sqrt(p);
        return std::sqrt(at_least_zero(2 * (1 - r)));
    }
};

// The chord distance of the centred vectors (second pass after the means).
// A zero product of the centred sums (n <= 0, or a constant vector whose mean
// is exact, as always for char and int) gives 0.  The radicand is held at
// zero, as in the chord distance.
template <class T> class DistanceCentChord : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        if (xlen <= 0)
            return 0;
        double mx = 0, my = 0;
        for (int k = 0; k < xlen; k++) {
            mx += as_double(x[k]);
            my += as_double(y[k]);
        }
        mx /= xlen;
        my /= xlen;
        double su = 0, sv = 0, suv = 0;
        for (int k = 0; k < xlen; k++) {
            double u = as_double(x[k]) - mx, v = as_double(y[k]) - my;
            su += u * u;
            sv += v * v;
            suv += u * v;
        }
        double p = su * sv;
        if (p == 0)
            return 0;
        double r = suv / std::sqrt(p);
        return std::sqrt(at_least_zero(2 * (1 - r)));
    }
};

// ---------------------------------------------------------------------------
// Correlation measures.  Each coefficient comes from three sums; the plain
// form is 1 - c, the "abs" form 1 - |c|.  Results lie in [0, 2] and [0, 1]
// and are 1 whenever c is taken as 0.  Rounding can take |c| beyond 1 for
// proportional vectors: the result is then held at 0, never below, since
// SciPy refuses a tree with a negative height.

// c = S_ab / sqrt(S_a S_b), or 0 when S_a S_b is 0.
inline double correlation(double sa, double sb, double sab)
{
    double p = sa * sb;
    return p == 0 ? 0 : sab / std::sqrt(p);
}
inline double one_minus(double c) { return at_least_zero(1 - c); }
inline double one_minus_abs(double c) { return at_least_zero(c > 0 ? 1 - c : 1 + c); }   // NaN stays NaN

// Pearson's (centred) correlation, two passes.  n <= 1 or a constant vector
// with an exact mean gives 0.
template <class T> double pearson_coefficient(const T *x, const T *y, int n)
{
    if (n <= 0)
        return 0;
    double mx = 0, my = 0;
    for (int k = 0; k < n; k++) {
        mx += as_double(x[k]);
        my += as_double(y[k]);
    }
    mx /= n;
    my /= n;
    double sa = 0, sb = 0, sab = 0;
    for (int k = 0; k < n; k++) {
        double u = as_double(x[k]) - mx, v = as_double(y[k]) - my;
        sa += u * u;
        sb += v * v;
        sab += u * v;
    }
    return correlation(sa, sb, sab);
}

// The uncentred correlation, the cosine of the angle between the vectors; an
// all-zero vector or n <= 0 gives 0.
template <class T> double uncentred_coefficient(const T *x, const T *y, int n)
{
    double sa = 0, sb = 0, sab = 0;
    for (int k = 0; k < n; k++) {
        double a = as_double(x[k]), b = as_double(y[k]);
        sa += a * a;
        sb += b * b;
        sab += a * b;
    }
    return correlation(sa, sb, sab);
}

// Orders element indices of one vector by value: true exactly when x[a] < x[b]
// in T's own ordering (signed for char).  Any comparison with a NaN is false,
// so it is a valid sort ordering only over indices of numbers; the ranking
// keeps NaNs out of the sorted range.
template <class T> class RankComparison {
  public:
    explicit RankComparison(const T *x) : x(x) {}
    bool operator()(int a, int b) const { return ordered(x[a]) < ordered(x[b]); }

  private:
    const T *x;
};

// Centred average ranks of x[0...n-1] into rank, using order (n entries) as
// work space.  Position i of the sorted order has the 0-based rank i; a group
// of equal values at positions i...j-1 shares (i + j - 1)/2, and every rank is
// shifted by the mean position (n - 1)/2, so the ranks sum to 0.
// NaNs rank after all numbers and form one tied group: they are placed at the
// end of the order and never enter the sort, which keeps the comparator a
// strict weak ordering and the result independent of the sort's whims.
// Returns the number of NaNs.
template <class T> int centred_ranks(const T *x, int n, int *order, double *rank)
{
    int numbers = n;   // order[0...numbers-1] index the non-NaN elements
    if constexpr (std::is_floating_point<T>::value) {
        int front = 0, back = n;
        for (int k = 0; k < n; k++) {
            if (std::isnan(x[k]))
                order[--back] = k;
            else
                order[front++] = k;
        }
        numbers = front;
    } else {
        for (int k = 0; k < n; k++)
            order[k] = k;
    }
    std::sort(order, order + numbers, RankComparison<T>(x));

    const double centre = (n - 1) * 0.5;
    int i = 0;
    while (i < numbers) {
        int j = i + 1;
        while (j < numbers && x[order[j]] == x[order[i]])
            j++;
        double r = (static_cast<double>(i) + j - 1) * 0.5 - centre;
        for (int k = i; k < j; k++)
            rank[order[k]] = r;
        i = j;
    }
    if (numbers < n) {
        double r = (static_cast<double>(numbers) + n - 1) * 0.5 - centre;
        for (int k = numbers; k < n; k++)
            rank[order[k]] = r;
    }
    return n - numbers;
}

// Spearman's rank correlation: the correlation of the centred ranks.  n <= 1 or
// a vector whose values are all equal (all ranks 0) gives 0.  A NaN in either
// vector, which the ranking would take as a value above all numbers, gives
// NaN.
template <class T> double spearman_coefficient(const T *x, const T *y, int n)
{
    if (n <= 1)
        return n == 1 && !(present(x[0]) && present(y[0])) ? MISSING_DISTANCE : 0;
    std::size_t len = static_cast<std::size_t>(n);
    int *order = measure_scratch.int_space(2 * len);
    double *rx = measure_scratch.double_space(2 * len);
    double *ry = rx + len;
    if (centred_ranks(x, n, order, rx) > 0 || centred_ranks(y, n, order + len, ry) > 0)
        return MISSING_DISTANCE;
    double sa = 0, sb = 0, sab = 0;
    for (int k = 0; k < n; k++) {
        sa += rx[k] * rx[k];
        sb += ry[k] * ry[k];
        sab += rx[k] * ry[k];
    }
    return correlation(sa, sb, sab);
}

// 1 - Pearson's correlation.
template <class T> class DistancePearson : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        return one_minus(pearson_coefficient(x, y, xlen));
    }
};

// 1 - |Pearson's correlation|.
template <class T> class DistanceAbsPearson : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        return one_minus_abs(pearson_coefficient(x, y, xlen));
    }
};

// 1 - the uncentred correlation.
template <class T> class DistanceUncentCorrel : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        return one_minus(uncentred_coefficient(x, y, xlen));
    }
};

// 1 - |the uncentred correlation|.
template <class T> class DistanceAbsUncentCorrel : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        return one_minus_abs(uncentred_coefficient(x, y, xlen));
    }
};

// 1 - Spearman's rank correlation.
template <class T> class DistanceSpearman : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        return one_minus(spearman_coefficient(x, y, xlen));
    }
};

// 1 - |Spearman's rank correlation|.
template <class T> class DistanceAbsSpearman : public Distance<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int) override
    {
        return one_minus_abs(spearman_coefficient(x, y, xlen));
    }
};

// ---------------------------------------------------------------------------
// String measures.  A string ends at its given length or at its first element
// equal to zero, whichever comes first; a negative given length means no bound
// (the string ends only at a zero).  Elements are compared exactly in T.
// Results are whole numbers, or NaN when either string holds a NaN (behind a
// string's end nothing is read), unless the measure is told to take a NaN as
// a character that equals nothing and does not end a string.

// What the two string measures share: how they take a NaN.
template <class T> class StringMeasure : public Distance<T> {
  public:
    // Written by the run after creation (for -U pairwise, where a string
    // has no positions to skip) and read on every call.
    bool nan_is_character = false;

  protected:
    // The distance `whole`, or NaN when a NaN was read and is missing.
    double result(double whole, bool nan_read) const
    {
        return nan_read && !nan_is_character ? MISSING_DISTANCE : whole;
    }
};

// Whether the string s of given length len has ended at position i.  The
// length test comes first, so nothing beyond the given length is read.
template <class T> inline bool string_ended(const T *s, int len, int i)
{
    return (len >= 0 && i >= len) || s[i] == 0;
}

// Mismatching positions over the common length, plus the surplus of the
// longer string.
template <class T> class DistanceHamming : public StringMeasure<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int ylen) override
    {
        int sum = 0;
        bool nan = false;
        int i = 0;
        for (; !string_ended(x, xlen, i) && !string_ended(y, ylen, i); i++) {
            nan |= !(present(x[i]) && present(y[i]));
            sum += x[i] != y[i];
        }
        // Only the string that has not ended is read further: the other may
        // end at a zero with nothing readable behind it.
        if (string_ended(x, xlen, i)) {
            for (; !string_ended(y, ylen, i); i++) {
                nan |= !present(y[i]);
                sum++;
            }
        } else {
            for (; !string_ended(x, xlen, i); i++) {
                nan |= !present(x[i]);
                sum++;
            }
        }
        return this->result(sum, nan);
    }
};

// Unit-cost edit distance (insertions, deletions, replacements) between the
// effective strings.  Two rows of m + 1 entries, m the effective length of x:
// row j holds the cost of turning the first i elements of x into the first j
// of y.  A given length below -1 counts as -1, no bound.
template <class T> class DistanceLevenshtein : public StringMeasure<T> {
  public:
    double distance(const T *x, const T *y, int xlen, int ylen) override
    {
        bool nan = false;
        const int m = effective_length(x, xlen, nan);
        const int n = effective_length(y, ylen, nan);
        std::size_t width = static_cast<std::size_t>(m) + 1;
        int *previous = measure_scratch.int_space(2 * width);
        int *current = previous + width;
        for (int i = 0; i <= m; i++)
            previous[i] = i;
        for (int j = 0; j < n; j++) {
            const T yj = y[j];
            current[0] = previous[0] + 1;
            for (int i = 0; i < m; i++) {
                if (x[i] == yj)
                    current[i + 1] = previous[i];
                else
                    current[i + 1] = 1 + std::min(std::min(previous[i], previous[i + 1]), current[i]);
            }
            std::swap(previous, current);
        }
        return this->result(previous[m], nan);
    }

  private:
    // The string's length; nan is set when the string holds a NaN.
    static int effective_length(const T *s, int len, bool &nan)
    {
        if (len < -1)
            len = -1;
        for (int k = 0; len == -1 || k < len; k++) {
            if (s[k] == 0)
                return k;
            nan |= !present(s[k]);
        }
        return len;
    }
};

// ---------------------------------------------------------------------------
// The registry: keyword, name and description of each measure, indexed by the
// measure ID.  The strings are literals of the program, neither copied nor
// freed.

// The texts of the two failures of keyword resolution; the keyword stands
// between the opening and one of the endings.
inline const char *const MEASURE_ERROR_OPENING = "'";
inline const char *const MEASURE_AMBIGUOUS = "' matches to several distance measures!";
inline const char *const MEASURE_UNKNOWN = "' does not match to any distance measure!";

template <class T> class DistanceFactory {
  public:
    // Registers the sixteen measures; the position is the ID.
    DistanceFactory()
    {
        add_distance(0, "euclidean", "Euclidean distance", "Minkowski distance with p=2");
        add_distance(1, "manhattan", "Manhattan distance", "Minkowski distance with p=1");
        add_distance(2, "minkowski", "Minkowski distance (with parameter p=<positive-real>)",
                     "P-th root of the sum of P-th powers of vector element-wise differences");
        add_distance(3, "pearson", "Pearson correlation distance",
                     "One minus Pearson correlation of the two vectors (centered correlation)");
        add_distance(4, "abspearson", "Absolute Pearson correlation distance",
                     "One minus the absolute value of Pearson correlation of the two vectors");
        add_distance(5, "uncentcorrel", "Uncentered correlation distance",
                     "One minus the uncentered correlation of the two vectors");
        add_distance(6, "absuncentcorrel", "Absolute uncentered correlation distance",
                     "One minus the absolute value of the uncentered correlation of the vectors");
        add_distance(7, "spearman", "Spearman's rank correlation distance",
                     "One minus Spearman's rank correlation of the two vectors");
        add_distance(8, "absspearman", "Absolute Spearman's rank correlation distance",
                     "One minus the absolute value of the Spearman's rank correlation of the two vectors");
        add_distance(9, "chord", "Chord distance",
                     "Euclidean distance measured after the normalization of the two vectors");
        add_distance(10, "centchord", "Centered chord distance",
                     "Euclidean distance measured after centering and normalizing the vectors");
        add_distance(11, "averdiff", "Average difference distance",
                     "Average of vector element-wise differences");
        add_distance(12, "maxdiff", "Maximum difference distance",
                     "Maximum of vector element-wise differences");
        add_distance(13, "signsum", "Sum of signs distance",
                     "The number of positions where the vectors have opposite-signed values");
        add_distance(14, "hamming", "Hamming distance",
                     "The number of positions where the strings have different characters");
        add_distance(15, "levenshtein", "Levenshtein (edit) distance",
                     "The number of single character insertions, deletions, replacements it takes "
                     "to get one string from the other");
    }

    // The ID of the one measure whose keyword begins with name, ignoring
    // letter case.  Throws brivane::Error (status 1) when several or none
    // match.
    int getDistanceID(const char *name)
    {
        std::size_t len = std::strlen(name);
        int found = -1;
        int matches = 0;
        for (std::size_t i = 0; i < keys.size(); i++) {
            if (keys[i] != nullptr && strncasecmp(name, keys[i], len) == 0) {
                found = static_cast<int>(i);
                matches++;
            }
        }
        if (matches != 1)
            throw brivane::Error(MEASURE_ERROR_OPENING + std::string(name) +
                                 (matches > 1 ? MEASURE_AMBIGUOUS : MEASURE_UNKNOWN));
        return found;
    }

    // A new measure object for name, on the heap, owned by the caller; a
    // Minkowski measure starts with p = 1.
    Distance<T> *getDistance(const char *name)
    {
        switch (getDistanceID(name)) {
        case 0: return new DistanceEuclidean<T>();
        case 1: return new DistanceManhattan<T>();
        case 2: return new DistanceMinkowski<T>(1.0);
        case 3: return new DistancePearson<T>();
        case 4: return new DistanceAbsPearson<T>();
        case 5: return new DistanceUncentCorrel<T>();
        case 6: return new DistanceAbsUncentCorrel<T>();
        case 7: return new DistanceSpearman<T>();
        case 8: return new DistanceAbsSpearman<T>();
        case 9: return new DistanceChord<T>();
        case 10: return new DistanceCentChord<T>();
        case 11: return new DistanceAverDiff<T>();
        case 12: return new DistanceMaxDiff<T>();
        case 13: return new DistanceSignSum<T>();
        case 14: return new DistanceHamming<T>();
        default: return new DistanceLevenshtein<T>();
        }
    }

    // One line per measure, in ID order: the keyword with brackets around
    // what follows its shortest identifying prefix, padded to the longest
    // keyword, then " - " name " - " description.  The program prints it on
    // standard error.
    std::string distanceListing() const
    {
        std::size_t width = 0;
        for (const char *key : keys)
            width = std::max(width, std::strlen(key));
        std::string text;
        for (std::size_t i = 0; i < keys.size(); i++) {
            const char *key = keys[i];
            std::size_t len = std::strlen(key);
            bool opened = false;
            for (std::size_t j = 0; j < len; j++) {
                text += key[j];
                if (!opened && keys_beginning_with(key, j + 1) == 1) {
                    text += '[';
                    opened = true;
                }
            }
            text += ']';
            text.append(width - len, ' ');
            text += " - ";
            text += names[i];
            text += " - ";
            text += descr[i];
            text += '\n';
        }
        return text;
    }

  private:
    std::vector<const char *> keys;
    std::vector<const char *> names;
    std::vector<const char *> descr;

    void add_distance(int index, const char *key, const char *name, const char *description)
    {
        std::size_t at = static_cast<std::size_t>(index);
        if (keys.size() <= at) {
            keys.resize(at + 1, nullptr);
            names.resize(at + 1, nullptr);
            descr.resize(at + 1, nullptr);
        }
        keys[at] = key;
        names[at] = name;
        descr[at] = description;
    }

    // How many keys agree with key in its first len characters (case-sensitive).
    int keys_beginning_with(const char *key, std::size_t len) const
    {
        int count = 0;
        for (const char *other : keys)
            count += std::strncmp(key, other, len) == 0;
        return count;
    }
};

#endif
