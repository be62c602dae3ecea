// Stand-ins for the modules that the driver calls and that are not part of
// this branch yet, so that the program links.  Each one refuses to run with
// a message.  They are weak: a module's real definition replaces them.
// Delete this file and its include in brivane.cc as soon as main holds the
// heuristics (small_dist).
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

BRIVANE_WEAK void choose_pivots() { interim::missing("choose_pivots"); }
BRIVANE_WEAK void delete_pivots() { interim::missing("delete_pivots"); }
BRIVANE_WEAK double estimate_epsilon() { interim::missing("estimate_epsilon"); }
BRIVANE_WEAK void small_dists_work(double) { interim::missing("small_dists_work"); }
BRIVANE_WEAK void random_dist() { interim::missing("random_dist"); }
BRIVANE_WEAK void all_dist() { interim::missing("all_dist"); }
BRIVANE_WEAK void input_dist() { interim::missing("input_dist"); }

#endif
