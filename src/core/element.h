// Element types of the data and distance values, coded as the NetCDF classic format codes them.
#ifndef ELEMENT_H
#define ELEMENT_H

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

#endif
