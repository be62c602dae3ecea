// Reading the input file: its variables, shapes, values and fill cells.
#ifndef INPUT_FILE_H
#define INPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

// 1 when variable i of the input is usable as the data (or distance) variable
// in the current cluster mode, else 0.
int matrix_usable(int i);
// Writes the usable variables of the input, one line each, to standard error.
void list_usable_matrices();
// The same lines as one text, without a newline at its end.
std::string usable_matrices_text();
// Opens the named input read-only into `in`, or ends the run.
void open_input(const char *name);
// Finds matvar, fromvar and tovar in `in`, or ends the run.
void detect_variables();
// Sets type, N, C, M and clust_dim from the chosen variables and charges the
// input to `memory`, or ends the run.  Returns the bytes of a distance matrix
// input, which the engine choice charges instead.
int64_t read_input_shapes();
// Reads the values into the typed array (and distfrom/distto for a distance
// list); a list whose objects lie outside 0..N-1 ends the run.
void read_input_values();

// The cells of values[0 .. count), a part of the data (or distance) variable
// read apart from read_input_values, that hold its _FillValue or
// missing_value, as read_input_values finds them: made NaN in floating-point
// values, kept in integer ones, and counted with the run's fill cells.
// Returns their number.
int64_t mark_fill_cells(int *values, int64_t count);
int64_t mark_fill_cells(float *values, int64_t count);
int64_t mark_fill_cells(double *values, int64_t count);

// The transpose that column clustering needs: the file's matrix has `rows`
// rows of `cols` elements; the result holds column i at i*rows ... i*rows +
// rows - 1.  Allocated with new[] and kept for the run.
template <class T> T *transpose_columns(const T *matrix, int rows, int cols)
{
    T *objects = new T[(std::size_t)rows * (std::size_t)cols];
    for (std::size_t i = 0; i < (std::size_t)cols; i++)
        for (std::size_t j = 0; j < (std::size_t)rows; j++)
            objects[i * rows + j] = matrix[j * cols + i];
    return objects;
}

// The line on standard error for the fill cells found so far, if any.
void report_fill_cells();

#endif
