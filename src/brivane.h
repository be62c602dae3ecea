// Run state shared by all modules of brivane.
//
// The driver (brivane.cc) owns everything declared here: it fills the state
// while it parses, loads and sizes the run, and the other modules read it.
// Settings that come from the command line stay in the option descriptors
// (brivane_arg.h), which the driver alone reads; this header holds the copy
// the engine reads (settings) and what the run derives from them.
#ifndef BRIVANE_H
#define BRIVANE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "random.h"
#include "settings.h"

class NcFile;
class NcDim;
template <class T> class Distance;
template <class T> class DistanceFactory;
namespace brivane {
class Error;
class Sink;
}

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
extern int engine;          // the engine that clusters: ENGINE_STORE or ENGINE_DENSE
extern double epsilon;      // threshold of the similarity heuristics
// The settings the engine reads, filled from the option table by the driver
// once the options are checked, before any engine code runs.
extern EngineSettings settings;
// The run's random sequence: seeded once, from --random-seed or the clock,
// before the first draw, and drawn from on the main thread only, so that a
// seed gives the same run for every number of threads.
extern Random run_random;
// Where the engine's lines and the join's summary line go: the silent sink
// until the driver installs the program's sink for the run, and again while
// the plan and the calibration time their scratch runs.
extern brivane::Sink *run_sink;

// Installs a sink for the scope's life and gives the previous one back when
// the scope ends, also when an exception passes.
class SinkScope {
  public:
    explicit SinkScope(brivane::Sink &sink) : previous(run_sink) { run_sink = &sink; }
    ~SinkScope() { run_sink = previous; }
    SinkScope(const SinkScope &) = delete;
    SinkScope &operator=(const SinkScope &) = delete;

  private:
    brivane::Sink *previous;
};

// The measure registries, one per element type, and the selected measure.
extern DistanceFactory<double> dfd;
extern DistanceFactory<float> dff;
extern DistanceFactory<char> dfc;
extern DistanceFactory<int> dfi;
extern Distance<double> *dd;
extern Distance<float> *df;
extern Distance<char> *dc;
extern Distance<int> *di;

// Input inspection (found by input_file.cc).  The positions of the data (or
// distance) variable and of the start- and end-object vectors in the input
// file; -1 while not found.
extern int matvar;
extern int fromvar;
extern int tovar;

// Reads the shapes (read_input_shapes), chooses the engine and refuses a
// budget that cannot hold the input, or ends the run.
void read_shapes();
// Reads the values (read_input_values) unless the dense engine reads a
// distance matrix in row blocks itself.
void load_input();

// Budget arithmetic of the driver; every count is 64-bit until it is bounded.
// The memory budget in bytes of `gigabytes` (units of 2^30 bytes), truncated
// toward zero and held within +-2^62 so that the input's charge cannot
// overflow it.  The value must be finite.
int64_t memory_from_gigabytes(double gigabytes);
// The line that follows a memory refusal: the -m that would hold `bytes` for
// the distances beside what the loaded input already takes from the budget.
std::string memory_need_line(int64_t bytes);
// All distinct pairs of n objects, n(n-1)/2; 0 for fewer than two.
int64_t all_pairs(int n);
// The distance count that half of `time_budget` seconds allows when 100
// distances took `sample_seconds`; a sample that measured no time allows
// every pair.  Held within the 32-bit range.
int64_t sample_count(double time_budget, double sample_seconds, int n);
// The count `wanted` bounded by memory (250 bytes per distance), raised to
// 20 per object, capped at all pairs of n objects and at what the store can
// hold (STORE_MAX_PAIRS).
int bound_num_distances(int64_t wanted, int64_t memory, int n);

// Memory charged per stored distance, in bytes.
const int64_t BYTES_PER_DISTANCE = 250;
// The most pairs the distance store can hold: its pool of two records per pair
// and its hash table of six heads per record are counted in 32 bits.
const int64_t STORE_MAX_PAIRS = ((INT32_MAX - 1) / 6 - 2) / 2;

// The whole run after the command line has been parsed; the result is the
// exit status.  A failure of the run is printed here, as error_lines gives
// it, and its status returned.
int main_arg();

// Helpers of the driver that the input reading shares.
// A message with its one %s filled in.
std::string filled(const char *format, const std::string &text);
// The keyword index of -C (rows, cols, distmat, distlist).
int cluster_mode();
// Takes `bytes` of input off the memory budget.
void charge_input(int64_t bytes);

// Ends the run with `message`, a whole error message whose first line starts
// with "ERROR! ", thrown as a brivane::Error whose what() is the message
// after that opening.
[[noreturn]] void refuse(const std::string &message);
// The lines the program prints for `error`: "ERROR! ", its message and a
// newline.
std::string error_lines(const brivane::Error &error);

// The ends of the process that the option library decides (usage, a broken
// option table): the process exits with `status`.
[[noreturn]] void brivane_exit(int status);

#endif
