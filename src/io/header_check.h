// The checks of a NetCDF file's header that come before the netCDF library
// reads it, shared by brivane and brivane-export.
//
// The library trusts the counts of a classic-format header as it reads it (a
// count of 2^31 dimensions crashes it, a name length of gigabytes has it
// allocate that much), and its legacy C++ interface copies names and the
// lists of dimensions and variables into arrays of the sizes that netCDF
// once enforced (NC_MAX_NAME, NC_MAX_DIMS, NC_MAX_VARS): a file beyond them
// overruns those arrays.  check_header walks a classic-format header in the
// file's own bytes; other formats are asked through the C library's inquiry
// functions, which have no fixed arrays.
#ifndef HEADER_CHECK_H
#define HEADER_CHECK_H

#include <cstdint>
#include <string>

struct HeaderCheck {
    bool openable;      // false: the file must not be handed to the interface
    std::string limit;  // when refused for a limit: the whole message line;
                        // empty when the file is damaged or foreign
};

// Whether the file `name` may be opened with the legacy interface.  A file
// that cannot be read at all counts as damaged.
HeaderCheck check_header(const char *name);

// The fewest bytes that a classic-format file (CDF-1, -2 or -5) with the
// header of the open file `ncid` can have: the header written without spare
// room and every variable's values unpadded; saturates at INT64_MAX.
int64_t classic_minimum_bytes(int ncid, int format);

// Whether the open file `ncid`, read from `name`, holds every byte that its
// header promises.  The library reads a classic file cut short without
// complaint, as if the missing bytes were zeros; other formats are left to it.
bool holds_every_byte(int ncid, const char *name);

#endif
