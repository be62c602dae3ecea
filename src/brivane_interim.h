// Stand-ins for the modules that the driver calls and that are not part of
// this branch yet, so that the program links.  Each one refuses to run with
// a message.  They are weak: a module's real definition replaces them.
// Delete this file and its include in brivane.cc as soon as main holds the
// store and the heuristics.
#ifndef BRIVANE_INTERIM_H
#define BRIVANE_INTERIM_H

#include <iostream>

#include "brivane.h"

namespace interim {
[[noreturn]] inline void missing(const char *what)
{
    std::cerr << "ERROR! " << what << " is not part of this build yet!" << std::endl;
    brivane_exit(1);
}
} // namespace interim

#define BRIVANE_WEAK __attribute__((weak))

BRIVANE_WEAK int32_t n_dist = 0;
BRIVANE_WEAK void init_distances() { interim::missing("init_distances"); }
BRIVANE_WEAK double calc_distance(int, int) { interim::missing("calc_distance"); }
BRIVANE_WEAK void choose_pivots() { interim::missing("choose_pivots"); }
BRIVANE_WEAK void delete_pivots() { interim::missing("delete_pivots"); }
BRIVANE_WEAK double estimate_epsilon() { interim::missing("estimate_epsilon"); }
BRIVANE_WEAK void small_dists_work(double) { interim::missing("small_dists_work"); }
BRIVANE_WEAK void random_dist() { interim::missing("random_dist"); }
BRIVANE_WEAK void all_dist() { interim::missing("all_dist"); }
BRIVANE_WEAK void input_dist() { interim::missing("input_dist"); }
BRIVANE_WEAK void cluster() { interim::missing("cluster"); }

#endif
