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
    // 1 when variable i of the input is usable as the data (or distance)
    // variable in the current cluster mode, else 0.
    int matrix_usable(int i);
    // The usable variables of the input, one line each, as one text without
    // a newline at its end.
    std::string usable_matrices_text();
    // Writes those lines to standard error.
    void list_usable_matrices();
    // Opens the named input read-only into `in`, or ends the run.
    void open_input(const char *name);
    // Finds matvar, fromvar and tovar in `in`, or ends the run.
    void detect_variables();
    // Sets type, object_count, row_length, list_entries and clust_dim from
    // the chosen variables and charges the input to `memory`, or ends the
    // run.  Returns the bytes of a distance matrix input, which the engine
    // choice charges instead.
    int64_t read_input_shapes();
    // Reads the values into the typed array (and distfrom/distto for a
    // distance list); a list whose objects lie outside 0..N-1 ends the run.
    void read_input_values();
    // The cells of values[0 .. count), a part of the data (or distance)
    // variable read apart from read_input_values, that hold its _FillValue
    // or missing_value, as read_input_values finds them: made NaN in
    // floating-point values, kept in integer ones, and counted with the
    // run's fill cells.  Returns their number.
    int64_t mark_fill_cells(int *values, int64_t count);
    int64_t mark_fill_cells(float *values, int64_t count);
    int64_t mark_fill_cells(double *values, int64_t count);
    // The line on standard error for the fill cells found so far, if any.
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
