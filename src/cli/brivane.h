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
    // The whole run after the command line has been parsed; the result is
    // the exit status, or a brivane::Error ends it.
    int run();

  private:
    // The driver's phases (brivane.cc).
    void fill_settings();
    bool check_options(const char *&distkey);
    void select_measure(const char *distkey);

    int64_t fill_cells = 0;  // cells of the data (or distance) variable that held a fill value

    bool candidate(int i);
    template <class T> void fill_values_of(int varid, const char *attribute, std::vector<T> &fills);
    template <class T> int64_t mark_fill_values(NcVar *var, T *values, int64_t count);
    template <class T> T *load_values(NcVar *var);
    void check_objects(const int *objects, const char *role);
    template <class T> int64_t read_given_blocks(NcVar *var, int64_t n);
};

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
