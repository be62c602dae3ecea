// The checks of a run's settings that the program and the library share (run_checks.h).
#include "run_checks.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "Distance.h"
#include "linear.h"
#include "refuse.h"
#include "settings.h"
#include "threads.h"

const char *const LINKAGE_KEYS[] = {"MIN", "AVE", "MAX", "WARD", "CENTROID", "MEDIAN", "WEIGHTED"};

const char MSG_DISTANCE_NOT_APPLICABLE[] = "ERROR! --distance is applicable only for --cluster data.";
const char MSG_DISTANCE_MISSING[] =
    "ERROR! Distance measure not specified! Use flag -d to find out about possible distance measures.\n"
    "Alternatively, specify -C distmat or -C distlist to read pre-calculated distances from the input file.";

const char MSG_NO_OBJECTS[] = "ERROR! The input holds no objects to cluster (the clustered dimension has length 0)!";
const char MSG_TOO_LARGE[] = "ERROR! The input is too large: its objects, elements or distances exceed "
                             "2147483647 in number!";

namespace {

const char MSG_NOT_FINITE[] = "ERROR! Option --%s requires a finite value!";
const char MSG_BELOW_ONE[] = "ERROR! Option --%s must be at least 1!";
const char MSG_TIME_TOO_SHORT[] = "ERROR! Option --time must be at least 0.001 (seconds)!";
const char MSG_THREADS_ABOVE_LIMIT[] = "ERROR! Option --threads must be at most %d (this machine has %d core%s)!";
const char MSG_THREADS_NOT_STARTED[] = "ERROR! Only %d of the %d threads of --threads could start (%s); use -j %d "
                                       "or fewer!";
const char MSG_MINKOWSKI_P_MISSING[] = "ERROR! Minkowski distance requires parameter --minkowski-p or -p";
const char MSG_MINKOWSKI_P_NOT_POSITIVE[] = "ERROR! Parameter p of Minkowski distance must be positive!";
const char MSG_LINKAGE_NOT_EUCLIDEAN[] =
    "ERROR! %s linkage needs euclidean distances: its heights are distances between cluster centroids, "
    "which other measures do not have. Use -d euclidean, or give a distance matrix (-C distmat) that is "
    "euclidean.";
const char MSG_LINKAGE_NOT_FROM_LIST[] =
    "ERROR! %s linkage cannot cluster a distance list: over some pairs only, its merge values are worked out "
    "from the clusters' centroids, which given distances do not have. Cluster the data matrix with "
    "-d euclidean, or give every pair in a distance matrix (-C distmat).";
const char MSG_LINKAGE_NOT_FROM_MATRIX[] =
    "ERROR! The %s (-E %s) clusters by %s linkage from the clusters' centroids, which a distance matrix does not "
    "have; use -E dense or -E auto.";
const char MSG_LINKAGE_NOT_IN_STORE[] =
    "ERROR! The distance store (-E store) does not cluster by %s linkage: its merge values are worked out from "
    "the clusters' sizes and centroids, which the store does not keep. Use -E auto (or -E compact, or with -a "
    "-E dense).";
const char MSG_LINEAR_NEEDS_DATA[] =
    "ERROR! The linear engine (-E linear) computes the distances of a data matrix as it clusters: it needs a "
    "data matrix and -a (all pairs). Given distances are clustered by -E dense or -E store, a run without -a "
    "by -E store or -E compact.";
const char MSG_LINEAR_NOT_REDUCIBLE[] =
    "ERROR! The linear engine (-E linear) cannot cluster by %s linkage: its distance between two clusters is "
    "worked out from earlier distances between clusters, which only a matrix of every pair keeps (computed "
    "again, they would take O(N^3) time). Use -E dense or -E auto.";

// How the messages name the linkages.
const char *any_linkage_name(int linkage)
{
    return linkage == LINKAGE_AVE ? "average" : linkage == LINKAGE_MAX ? "complete" : linkage == LINKAGE_WEIGHTED ? "weighted"
         : linkage == LINKAGE_WARD ? "Ward" : linkage == LINKAGE_CENTROID ? "centroid" : "median";
}

// How the messages name the centroid linkages.
const char *linkage_name(int linkage)
{
    return linkage == LINKAGE_WARD ? "Ward" : linkage == LINKAGE_CENTROID ? "Centroid" : "Median";
}

// Measure IDs of the euclidean and minkowski keywords in the registries.
const int EUCLIDEAN_ID = 0;
const int MINKOWSKI_ID = 2;

// The shortest time budget, in seconds (MSG_TIME_TOO_SHORT names it).
const double MIN_TIME_BUDGET = 0.001;

std::string with_option(const char *format, const char *option)
{
    char message[256];
    std::snprintf(message, sizeof message, format, option);
    return message;
}

} // namespace

void check_finite(double value, const char *option)
{
    if (!std::isfinite(value))
        refuse(with_option(MSG_NOT_FINITE, option));
}

void check_time_budget(double seconds)
{
    if (!(seconds >= MIN_TIME_BUDGET))
        refuse(MSG_TIME_TOO_SHORT);
}

void check_at_least_one(int value, const char *option)
{
    if (value < 1)
        refuse(with_option(MSG_BELOW_ONE, option));
}

void check_threads(int threads)
{
    char message[256];
    if (threads > thread_limit()) {
        int cores = machine_cores();
        std::snprintf(message, sizeof message, MSG_THREADS_ABOVE_LIMIT, thread_limit(), cores, cores == 1 ? "" : "s");
        refuse(message);
    }
#ifdef _OPENMP
    std::string reason;
    int startable = startable_threads(threads, reason);
    if (startable < threads) {
        std::snprintf(message, sizeof message, MSG_THREADS_NOT_STARTED, startable, threads, reason.c_str(),
                      startable);
        refuse(message);
    }
#endif
}

double checked_minkowski_p(const char *distkey, bool given, double p)
{
    if (DistanceFactory<char>().getDistanceID(distkey) != MINKOWSKI_ID)
        return 0;
    if (!given)
        refuse(MSG_MINKOWSKI_P_MISSING);
    if (std::isinf(p))
        refuse(with_option(MSG_NOT_FINITE, "minkowski-p"));
    if (!(p > 0))
        refuse(MSG_MINKOWSKI_P_NOT_POSITIVE);
    return p;
}

bool euclidean_measure(const char *distkey)
{
    return DistanceFactory<char>().getDistanceID(distkey) == EUCLIDEAN_ID;
}

void check_linkage(const EngineSettings &settings, const char *distkey)
{
    int linkage = settings.linkage;
    if (!centroid_linkage(linkage))
        return;
    char message[512];
    bool data = settings.cluster == CLUSTER_ROWS || settings.cluster == CLUSTER_COLS;
    if (data && !euclidean_measure(distkey)) {
        std::snprintf(message, sizeof message, MSG_LINKAGE_NOT_EUCLIDEAN, linkage_name(linkage));
        refuse(message);
    }
    if (settings.cluster == CLUSTER_DISTLIST) {
        std::snprintf(message, sizeof message, MSG_LINKAGE_NOT_FROM_LIST, linkage_name(linkage));
        refuse(message);
    }
    // Only the dense engine works on given distances; without every pair
    // only the compact engine keeps the centroids.
    if (settings.cluster == CLUSTER_DISTMAT && (settings.engine == ENGINE_STORE || settings.engine == ENGINE_COMPACT)) {
        bool store = settings.engine == ENGINE_STORE;
        std::snprintf(message, sizeof message, MSG_LINKAGE_NOT_FROM_MATRIX, store ? "distance store" : "compact engine",
                      store ? "store" : "compact", linkage_name(linkage));
        refuse(message);
    }
    if (settings.engine == ENGINE_STORE) {
        std::snprintf(message, sizeof message, MSG_LINKAGE_NOT_IN_STORE, linkage_name(linkage));
        refuse(message);
    }
}

void check_engine(const EngineSettings &settings)
{
    if (settings.engine != ENGINE_LINEAR)
        return;
    bool data = settings.cluster == CLUSTER_ROWS || settings.cluster == CLUSTER_COLS;
    if (!data || !settings.all_pairwise)
        refuse(MSG_LINEAR_NEEDS_DATA);
    if (linear_linkage(settings.linkage))
        return;
    char message[512];
    std::snprintf(message, sizeof message, MSG_LINEAR_NOT_REDUCIBLE, any_linkage_name(settings.linkage));
    refuse(message);
}
