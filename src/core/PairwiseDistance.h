// Pairwise-complete measures: each compares two objects over the positions
// where both hold a value, so that a missing value (NaN) costs one position
// instead of the whole distance.  This is how R's dist and Cluster 3.0 treat
// missing cells in expression tables.
//
//   scaled sums        euclidean, manhattan, minkowski: the sum over the
//                      shared positions scaled up by n / shared before the
//                      root, n the row length (R's dist convention), so that
//                      distances with and without missing cells compare
//   shared positions   every other numeric measure is the plain measure of
//                      Distance.h taken on the two vectors cut down to their
//                      shared positions: averdiff and signsum divide by the
//                      shared count, maxdiff looks only there, the
//                      correlations and chords centre, normalise and rank
//                      over those positions alone (pairwise-complete
//                      correlation)
//
// A pair that shares fewer positions than its measure needs (one for the
// difference-based measures, two for the correlations and the chords) has no
// distance: the result is NaN.  The string measures have no pairwise form
// (a NaN already compares unequal).  Only float and double can hold NaN; for
// char and int every position is shared.
#ifndef PAIRWISE_DISTANCE_H
#define PAIRWISE_DISTANCE_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#include "Distance.h"

// The fewest shared positions with which a measure has a distance; 0 for the
// measures that have no pairwise form.
inline int fewest_shared(int measure_id)
{
    if (measure_id >= 14)
        return 0;
    if (measure_id >= 3 && measure_id <= 10)
        return 2;
    return 1;
}

const double NO_SHARED_DISTANCE = std::numeric_limits<double>::quiet_NaN();

// (n / m · S)^(1/q) over the m shared positions, with S = sum |d_k|^q; q = 2
// for euclidean, 1 for manhattan, p for minkowski (whose powers, as in the
// plain measure, are exp(p ln|d|) with zero differences skipped).  m = 0
// gives no distance.
//
// The Euclidean and Manhattan sums have no branch (an unshared position adds
// a zero difference and nothing to m) and are taken as four partial sums over
// the positions k = r (mod 4), combined as (s_0 + s_1) + (s_2 + s_3), then the
// tail in position order, as the plain Euclidean distance does: independent
// sums hide the latency of the additions.
template <class T> class PairwiseScaledSum : public Distance<T> {
  public:
    enum Kind { EUCLIDEAN, MANHATTAN, MINKOWSKI };
    PairwiseScaledSum(Kind kind, double p) : kind(kind), p(p) {}

    double distance(const T *x, const T *y, int xlen, int) override
    {
        double s = 0;
        int m = 0;
        switch (kind) {
        case EUCLIDEAN: s = partial_sums(x, y, xlen, m, [](double d) { return d * d; }); break;
        case MANHATTAN: s = partial_sums(x, y, xlen, m, [](double d) { return std::fabs(d); }); break;
        case MINKOWSKI:
            for (int k = 0; k < xlen; k++) {
                if (!present(x[k]) || !present(y[k]))
                    continue;
                m++;
                double d = as_double(x[k]) - as_double(y[k]);
                if (d != 0)
                    s += std::exp(p * std::log(std::fabs(d)));
            }
            break;
        }
        if (m == 0)
            return NO_SHARED_DISTANCE;
        s *= static_cast<double>(xlen) / m;
        switch (kind) {
        case EUCLIDEAN: return std::sqrt(s);
        case MANHATTAN: return s;
        default: return s == 0 ? 0 : std::exp(std::log(s) / p);
        }
    }

  private:
    Kind kind;
    double p;   // the Minkowski exponent, positive

    // The difference of position k, 0 where it is not shared; m counts the
    // shared positions.  The zero comes from masking the bits, not from a
    // branch, which missing cells in random places would mispredict.
    static double shared_difference(const T *x, const T *y, int k, int &m)
    {
        bool shared = int(present(x[k])) & int(present(y[k]));
        m += shared;
        double d = as_double(x[k]) - as_double(y[k]);
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        bits &= -static_cast<uint64_t>(shared);
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

    template <class F> static double partial_sums(const T *x, const T *y, int n, int &m, F term)
    {
        double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        int k = 0;
        for (; k + 4 <= n; k += 4) {
            s0 += term(shared_difference(x, y, k, m));
            s1 += term(shared_difference(x, y, k + 1, m));
            s2 += term(shared_difference(x, y, k + 2, m));
            s3 += term(shared_difference(x, y, k + 3, m));
        }
        double s = (s0 + s1) + (s2 + s3);
        for (; k < n; k++)
            s += term(shared_difference(x, y, k, m));
        return s;
    }
};

// The plain measure on the shared positions: both vectors are copied, as
// doubles, into the thread's scratch space without their unshared positions.
// Fewer than `fewest` shared positions give no distance.
template <class T> class PairwiseShared : public Distance<T> {
  public:
    // Owns `plain`.
    PairwiseShared(Distance<double> *plain, int fewest) : plain(plain), fewest(fewest) {}

    double distance(const T *x, const T *y, int xlen, int) override
    {
        std::size_t len = xlen > 0 ? static_cast<std::size_t>(xlen) : 0;
        double *sx = measure_scratch.shared_space(2 * len);
        double *sy = sx + len;
        // Every position is written at sx[m], sy[m]; only a shared one
        // advances m, so the copy needs no branch.
        int m = 0;
        for (int k = 0; k < xlen; k++) {
            sx[m] = as_double(x[k]);
            sy[m] = as_double(y[k]);
            m += int(present(x[k])) & int(present(y[k]));
        }
        if (m < fewest)
            return NO_SHARED_DISTANCE;
        return plain->distance(sx, sy, m, m);
    }

  private:
    std::unique_ptr<Distance<double>> plain;   // the measure over the shared positions
    int fewest;
};

// The pairwise form of measure `measure_id` (with Minkowski exponent p), on
// the heap and owned by the caller; null for the string measures.
template <class T> Distance<T> *pairwise_measure(int measure_id, double p)
{
    using Sum = PairwiseScaledSum<T>;
    auto shared = [measure_id](Distance<double> *plain) {
        return new PairwiseShared<T>(plain, fewest_shared(measure_id));
    };
    switch (measure_id) {
    case 0: return new Sum(Sum::EUCLIDEAN, p);
    case 1: return new Sum(Sum::MANHATTAN, p);
    case 2: return new Sum(Sum::MINKOWSKI, p);
    case 3: return shared(new DistancePearson<double>());
    case 4: return shared(new DistanceAbsPearson<double>());
    case 5: return shared(new DistanceUncentCorrel<double>());
    case 6: return shared(new DistanceAbsUncentCorrel<double>());
    case 7: return shared(new DistanceSpearman<double>());
    case 8: return shared(new DistanceAbsSpearman<double>());
    case 9: return shared(new DistanceChord<double>());
    case 10: return shared(new DistanceCentChord<double>());
    case 11: return shared(new DistanceAverDiff<double>());
    case 12: return shared(new DistanceMaxDiff<double>());
    case 13: return shared(new DistanceSignSum<double>());
    default: return nullptr;
    }
}

#endif
