// The linkage update rules of the engines that merge over known pairs only.
#ifndef LINKAGE_RULES_H
#define LINKAGE_RULES_H

#include <cstdint>

#include "distances.h"
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

#endif
