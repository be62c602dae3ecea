// The checks of a run's settings that the program and the library share, with their messages.
//
// Each check ends the run with refuse() (brivane::Error, status 1) when its
// setting cannot run; the option names are the program's long options.
#ifndef RUN_CHECKS_H
#define RUN_CHECKS_H

struct EngineSettings;

// The messages of the distance option, which only data matrices take.
extern const char MSG_DISTANCE_NOT_APPLICABLE[];
extern const char MSG_DISTANCE_MISSING[];
// The refusals of an input without objects or with more than the counts hold.
extern const char MSG_NO_OBJECTS[];
extern const char MSG_TOO_LARGE[];

// Reals that are not finite would reach integer conversions and comparisons
// that no longer mean anything.
void check_finite(double value, const char *option);
// The plan cannot tell a budget below a millisecond from none, and its
// shortfall, a share of the budget, would be infinite.
void check_time_budget(double seconds);
// Counts that must be 1 or more: no pivots leaves the heuristics nothing to
// work with, and a split threshold below 1 would split a one-position block
// for ever.
void check_at_least_one(int value, const char *option);
// Counts the thread library cannot start end the run inside it, without an
// ERROR line (or crash it): the cap first, then the system's limits.
void check_threads(int threads);
// The p of the Minkowski measure for the measure keyword `distkey` (any
// unambiguous prefix): `p` when the measure is Minkowski (required, finite
// and positive), 0 for every other measure.
double checked_minkowski_p(const char *distkey, bool given, double p);
// Ward, centroid and median linkage, in `settings`, need euclidean
// distances (a data matrix with the measure keyword `distkey`, any
// unambiguous prefix, must be -d euclidean; a distance matrix is taken at
// the user's word); a distance list is refused (it has no centroids), and
// so are the engines that cannot cluster the run: the store always, the
// compact engine on a distance matrix.  The other linkages pass.
void check_linkage(const EngineSettings &settings, const char *distkey);
// Whether the measure keyword `distkey` (any unambiguous prefix) names the
// euclidean distance, whose distances are those of points with centroids.
bool euclidean_measure(const char *distkey);
// The linear engine (-E linear) clusters a data matrix with -a, by the
// linkages it knows (linear_linkage); the other engines pass.  After
// check_linkage, whose refusals come first.
void check_engine(const EngineSettings &settings);

#endif
