// Element types of the data and distance values, coded as the NetCDF classic format codes them.
#ifndef ELEMENT_H
#define ELEMENT_H

#include <cstddef>
#include <cstdint>

// The codes are those of the input files, so that a file's type code is an
// element type as it is.
enum { TYPE_CHAR = 2, TYPE_INT = 4, TYPE_FLOAT = 5, TYPE_DOUBLE = 6 };

// Bytes of one element of `type`; 0 for any other code.
inline int64_t element_size(int type)
{
    switch (type) {
    case TYPE_CHAR: return 1;
    case TYPE_INT: return 4;
    case TYPE_FLOAT: return 4;
    case TYPE_DOUBLE: return 8;
    default: return 0;
    }
}

// The columns of a row-major matrix of `rows` rows and `cols` columns as the
// rows of `objects`: column i goes to objects[i*rows ... i*rows+rows-1].
template <class T> void transpose(const T *matrix, int64_t rows, int64_t cols, T *objects)
{
    for (int64_t i = 0; i < cols; i++)
        for (int64_t j = 0; j < rows; j++)
            objects[i * rows + j] = matrix[j * cols + i];
}

#endif
