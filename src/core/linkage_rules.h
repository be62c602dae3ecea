// The linkage update rules of the engines that merge over known pairs only, and their joins of clusters no pair connects.
#ifndef LINKAGE_RULES_H
#define LINKAGE_RULES_H

#include <cstdint>
#include <utility>

#include "distances.h"
#include "random.h"
#include "settings.h"

// Linkage update rules: the distance of the merged cluster to z from the
// distances (and their object-pair counts) of its two halves to z.  The
// minimum and the maximum are taken in the merge loop's order, where NaN
// ranks after every number: under single linkage a NaN never displaces a
// number (the merged cluster is as near as its nearer known half), under
// complete linkage it wins (the farthest pair is unknown).  The average is
// arithmetic, so a NaN propagates into the mean.  Either way the result does
// not depend on which half is the old one.  Weighted linkage (McQuitty's)
// takes the plain mean of the two halves' distances, whatever their sizes;
// a pair known on one side only carries over unchanged, as for the others.
inline double link_min(double old, double d) { return ranks_after(old, d) ? d : old; }
inline double link_max(double old, double d) { return ranks_after(old, d) ? old : d; }
// The counts are doubles so that the engines may keep them in any width;
// counts below 2^53 give the same results as integers.
inline double link_ave(double old, double m_old, double d, double m_d)
{
    return (m_old * old + m_d * d) / (m_old + m_d);
}
inline double link_weighted(double old, double d) { return (old + d) / 2; }

inline double linkage_update(int linkage, double old, double m_old, double d, double m_d)
{
    switch (linkage) {
    case LINKAGE_MIN:
        return link_min(old, d);
    case LINKAGE_MAX:
        return link_max(old, d);
    case LINKAGE_WEIGHTED:
        return link_weighted(old, d);
    default:
        return link_ave(old, m_old, d, m_d);
    }
}

// The clusters that no known pair connects, `t` + 1 slots in slot order in
// `live`, joined one into the next in an order drawn from `random`:
// join(x, y) merges slot x into slot y.  Both engines join so, so that
// their trees agree there too.
template <class F> void join_unconnected(int32_t *live, int t, Random &random, F join)
{
    for (int k = 0; k < t; k++) {
        int m = t - k + 1;
        int r = random.next();
        std::swap(live[k], live[k + r % m]);
        r = random.next();
        std::swap(live[k + 1], live[k + 1 + r % (m - 1)]);
        join(live[k], live[k + 1]);
    }
}

#endif
