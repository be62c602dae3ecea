// Reading the input file: its variables, shapes, values and fill cells.
#ifndef INPUT_FILE_H
#define INPUT_FILE_H

#include <cstddef>

// The reading itself is the program run's (ProgramRun in brivane.h).

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

#endif
