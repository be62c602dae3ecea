// The output file's layout, settled before any distance is computed: the
// names the dendrogram takes and their clashes with a copied input, and the
// netCDF format (classic, else 64-bit offset) whose limits hold the file.
#ifndef OUTPUT_LAYOUT_H
#define OUTPUT_LAYOUT_H

#include <cstdint>
#include <string>
#include <vector>

// What the header entry and the data size of each part of the file depend on.
struct layout_dim_t {
    std::string name;
    int64_t length;              // 0: the record dimension
};
struct layout_att_t {
    std::string name;
    int64_t bytes;               // bytes of its values, before padding
};
struct layout_var_t {
    std::string name;
    int64_t value_bytes;         // bytes of one element
    std::vector<int> dims;       // positions in layout_t::dims
    std::vector<layout_att_t> atts;
};
struct layout_t {
    std::vector<layout_dim_t> dims;
    std::vector<layout_var_t> vars;   // in the order they are defined
};

// The dendrogram's variables under the prefix, in the order they are
// defined; all but the last hold 32-bit integers, the last doubles.
inline constexpr const char *DENDROGRAM_SUFFIXES[7] = {"left", "right", "start", "end",
                                                       "old2new", "new2old", "distance"};

// The two formats the output may take; readers of netCDF 3 (SciPy's among
// them) read both, and nothing newer.
enum { FORMAT_NONE = 0, FORMAT_CLASSIC = 1, FORMAT_64BIT_OFFSET = 2 };

// Bytes of the file's header in `format`, written without spare room.
int64_t layout_header_bytes(const layout_t &layout, int format);
// Whether the netCDF library defines the file in `format`: every dimension's
// length, every variable's size (one may exceed the limit if it is the last
// of its kind) and, in the classic format, every variable's 32-bit offset.
bool layout_fits(const layout_t &layout, int format);
// The classic format where it holds the file, else the 64-bit offset format
// where that does, else FORMAT_NONE.
int layout_format(const layout_t &layout);

// The attributes of input variable `varid` that the data copy takes along:
// those of the six netCDF 3 types, in the input's order.
std::vector<std::string> copied_attributes(int varid);

// The run's output as the driver will write it: the dendrogram's dimension
// and seven variables under `prefix`, then with `with_data` every dimension
// and variable of the open input, with their attributes.
layout_t run_layout(const std::string &prefix, int64_t nodes, bool with_data);

// Before the run: refuses a copied input whose names clash with the
// dendrogram's or whose types the output cannot hold, and an output that no
// format holds; otherwise fixes the format that the output is created in.
// `objects` is the number of objects clustered.
void plan_output(int objects);
// The format the output file is created in: classic until plan_output chose.
int output_format();

#endif
