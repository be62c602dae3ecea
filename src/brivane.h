// The program's run: the engine's run, the input file it reads and the budget the command line gives.
//
// A ProgramRun is the Run (run.h) of the brivane program: the driver
// (brivane.cc) fills its settings from the command line, the input reading
// (input_file.cc) its data view from the input file, and the output
// (tree_file.cc) writes its dendrogram.  The open input file and the
// variables found in it are the process's: the program reads one input.
#ifndef BRIVANE_H
#define BRIVANE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plan.h"
#include "program_exit.h"
#include "refuse.h"
#include "run.h"

class NcFile;
class NcDim;
class NcVar;
class Timer;

extern NcFile *in;          // the open input file, open for the whole run
extern NcDim *clust_dim;    // the input dimension that runs over the objects
// The positions of the data (or distance) variable and of the start- and
// end-object vectors in the input file; -1 while not found.
extern int matvar;
extern int fromvar;
extern int tovar;

class ProgramRun : public Run {
  public:
    ProgramRun();

    int64_t memory = 0;          // memory budget in bytes, less the loaded input
    int engine = ENGINE_STORE;   // the engine that clusters: ENGINE_STORE or ENGINE_DENSE

    // Input inspection and reading (input_file.cc).
    // Whether variable i of the input suits the cluster mode.
    int matrix_usable(int i);
    // The usable variables, one per line after a heading.
    std::string usable_matrices_text();
    void list_usable_matrices();
    void open_input(const char *name);
    // Finds the data (or distance) variable and the list's vectors.
    void detect_variables();
    // The shapes (N, C, M, type) and the input's charge to `memory`; the
    // result is the size of a distance matrix input, which the engine choice
    // charges.
    int64_t read_input_shapes();
    // The typed arrays (transposed when columns are clustered).
    void read_input_values();
    // Marks the cells of a block read apart that hold a fill value missing
    // and counts them with the loaded ones.
    int64_t mark_fill_cells(int *values, int64_t count);
    int64_t mark_fill_cells(float *values, int64_t count);
    int64_t mark_fill_cells(double *values, int64_t count);
    // The line on the fill cells, when there are any.
    void report_fill_cells();
    // The distance matrix from the file into the dense engine's matrix,
    // block after block of rows; the count of values that are not finite.
    int64_t read_distance_matrix();

    // Reads the shapes (read_input_shapes), chooses the engine and refuses
    // a budget that cannot hold the input, or ends the run.
    void read_shapes();
    // Reads the values (read_input_values) unless the dense engine reads a
    // distance matrix in row blocks itself.
    void load_input();
    // The line that follows a memory refusal: the -m that would hold
    // `bytes` for the distances beside what the loaded input already takes
    // from the budget.
    std::string memory_need_line(int64_t bytes);
    // Takes `bytes` of input off the memory budget.
    void charge_input(int64_t bytes);
    // What the engine choice decides (brivane.cc).
    void choose_engine(int64_t matrix_input);
    // The whole run after the command line has been parsed; the result is
    // the exit status, or a brivane::Error ends it.
    int run();

  private:
    // The plan of the run: made before the count is fixed when the time budget
    // decides it, otherwise (a count given, all pairs) just before the distances.
    Plan run_plan;
    bool plan_made = false;

    // What the store would need beside the input when the dense engine runs
    // where the store does not fit; 0 when it would fit, -1 when no budget
    // would do (too many pairs).
    int64_t store_need = 0;

    // The driver's phases (brivane.cc).
    void fill_settings();
    bool check_options(const char *&distkey);
    int64_t least_distance_bytes();
    void select_measure(const char *distkey);
    double time_sample(Random &random);
    int pivot_count();
    int epsilon_sample_size();
    bool all_pairs_run();
    bool budget_decides();
    bool heuristics_wanted();
    void plan_distance_count();
    void dense_distances();
    void engine_line();
    double choose_pivots_phase();
    void plan_for_time_budget(Timer &timer_global, bool &pivots_chosen);
    void plan_for_count();
    void print_plan();
    void distances_from_data(bool pivots_chosen);
    void given_distances();

    int64_t fill_cells = 0;  // cells of the data (or distance) variable that held a fill value

    bool candidate(int i);
    template <class T> void fill_values_of(int varid, const char *attribute, std::vector<T> &fills);
    template <class T> int64_t mark_fill_values(NcVar *var, T *values, int64_t count);
    template <class T> T *load_values(NcVar *var);
    void check_objects(const int *objects, const char *role);
    template <class T> int64_t read_given_blocks(NcVar *var, int64_t n);
};

// Budget arithmetic of the driver; every count is 64-bit until it is bounded.
// The memory budget in bytes of `gigabytes` (units of 2^30 bytes), truncated
// toward zero and held within +-2^62 so that the input's charge cannot
// overflow it.  The value must be finite.
int64_t memory_from_gigabytes(double gigabytes);
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


#endif
