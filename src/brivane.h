// Run state shared by all modules of brivane.
//
// The driver (brivane.cc) owns everything declared here: it fills the state
// while it parses, loads and sizes the run, and the other modules read it.
// Settings that come from the command line stay in the option descriptors
// (brivane_arg.h); this header holds what the run derives from them.
#ifndef BRIVANE_H
#define BRIVANE_H

#include <cstdint>

class NcFile;
class NcDim;
template <class T> class Distance;
template <class T> class DistanceFactory;

// Cluster modes: the index of the --cluster keyword.
enum { CLUSTER_ROWS = 0, CLUSTER_COLS = 1, CLUSTER_DISTMAT = 2, CLUSTER_DISTLIST = 3 };
// Linkage rules: the index of the --linkage keyword.
enum { LINKAGE_MIN = 0, LINKAGE_AVE = 1, LINKAGE_MAX = 2 };
// Pivot strategies: the index of the --pivot-strategy keyword.
enum { PIVOT_RANDOM = 0, PIVOT_QUANTILE = 1 };

// The value that getdist takes as "no distance offered, compute it".
const double NO_DISTANCE = -1e100;

extern NcFile *in;          // the open input file, open for the whole run
extern NcDim *clust_dim;    // the input dimension that runs over the objects
extern int N;               // number of objects
extern int C;               // elements per object (data matrices only)
extern int M;               // entries of a distance list
extern int type;            // NetCDF type code of the data or distance variable
extern int typesize[7];     // element size in bytes by NetCDF type code

// The loaded values; only the array that matches `type` is set.  A data matrix
// holds object i at elements i*C ... i*C+C-1 in both row and column mode.
extern char *xc;
extern int *xi;
extern float *xf;
extern double *xd;
extern int *distfrom;       // start object of each distance-list entry
extern int *distto;         // end object of each distance-list entry

extern int64_t memory;      // memory budget in bytes, less the loaded input
extern int num_distances;   // object pairs to compute before clustering
extern double epsilon;      // threshold of the similarity heuristics

// The measure registries, one per element type, and the selected measure.
extern DistanceFactory<double> dfd;
extern DistanceFactory<float> dff;
extern DistanceFactory<char> dfc;
extern DistanceFactory<int> dfi;
extern Distance<double> *dd;
extern Distance<float> *df;
extern Distance<char> *dc;
extern Distance<int> *di;

// The whole run after the command line has been parsed; the result is the
// exit status.  It ends the process itself on every failure.
int main_arg();

// Every fatal end of the run goes through here, so that one place decides
// what ending the run means (the process exits with `status`).
[[noreturn]] void brivane_exit(int status);

#endif
