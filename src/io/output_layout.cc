// The output file's layout, settled before any distance is computed.
//
//   layout_header_bytes, layout_fits, layout_format
//            the netCDF 3 file format's arithmetic: the header's size and the
//            limits the library checks when the file's definition ends.  In
//            the classic format a variable starts at a 32-bit offset and
//            holds at most 2^31-4 bytes; in the 64-bit offset format it starts
//            anywhere and holds at most 2^32-4 bytes.  Only the last fixed-size
//            variable (or the last record variable) may be larger.
//   run_layout, plan_output, output_format
//            the run's own output: its names checked against a copied input,
//            and its format chosen, before the run spends its time.
#include "output_layout.h"

#include <cstring>

#include <netcdf.h>
#include <netcdfcpp.h>

#include "brivane.h"
#include "brivane_arg.h"
#include "tree_file.h"

namespace {

const char MSG_DIMENSION_CLASH[] = "ERROR! The input's dimension '%s' has the name of the dendrogram's dimension, "
                                   "so it cannot be copied into the output! Choose another prefix with -X.";
const char MSG_VARIABLE_CLASH[] = "ERROR! The input's variable '%s' has the name of a dendrogram variable, "
                                  "so it cannot be copied into the output! Choose another prefix with -X.";
const char MSG_NOT_DEFINED[] = "ERROR! The output file cannot hold the input's ";
const char MSG_NO_FORMAT[] = "ERROR! The output is too large for both the classic and the 64-bit offset netCDF "
                             "formats!";

int chosen_format = FORMAT_CLASSIC;

int64_t padded(int64_t bytes)
{
    return (bytes + 3) / 4 * 4;
}

// A name's length count and its characters, padded to four bytes.
int64_t name_entry(const std::string &name)
{
    return 4 + padded((int64_t)name.size());
}

// The largest size of a variable that is not the last of its kind, and the
// largest dimension length.
int64_t size_limit(int format)
{
    return format == FORMAT_CLASSIC ? INT64_C(2147483644) : INT64_C(4294967292);
}

bool is_record_var(const layout_t &layout, const layout_var_t &var)
{
    return !var.dims.empty() && layout.dims[var.dims[0]].length == 0;
}

// Bytes of one element times the lengths of every dimension but the record
// one (per record, for a record variable); saturates above any limit.
int64_t var_bytes(const layout_t &layout, const layout_var_t &var)
{
    int64_t bytes = var.value_bytes;
    for (int d : var.dims) {
        int64_t length = layout.dims[d].length;
        if (length == 0)
            continue;
        if (length > INT64_C(1) << 40 || bytes > (INT64_C(1) << 62) / length)
            return INT64_C(1) << 62;
        bytes *= length;
    }
    return bytes;
}

// The library's rule for either kind: at most one variable beyond the limit,
// and that one the last of its kind.  `large` counts those beyond it.
bool sizes_fit(const layout_t &layout, int format, bool records, int &large)
{
    large = 0;
    bool last_large = false;
    for (const layout_var_t &var : layout.vars) {
        if (is_record_var(layout, var) != records)
            continue;
        last_large = var_bytes(layout, var) > size_limit(format);
        if (last_large)
            large++;
    }
    return large == 0 || (large == 1 && last_large);
}

[[noreturn]] void refuse_named(const char *format, const std::string &name)
{
    std::string message = format;
    message.replace(message.find("%s"), 2, name);
    refuse(message);
}

[[noreturn]] void refuse_definition(std::string what, int status)
{
    // The message stays one line whatever the name holds.
    for (char &c : what)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = '?';
    refuse(MSG_NOT_DEFINED + what + ": " + nc_strerror(status));
}

// Defines the output's dimensions, variables and attributes in a file that
// lives in memory and is never written (definitions allocate no data), so
// that a name or attribute the library will not define fails before the run
// instead of after it.  Without such a file the real write reports.
void define_in_memory(const std::string &prefix)
{
    int nc, status, id;
    if (nc_create("brivane-definition-trial", NC_DISKLESS | NC_CLOBBER, &nc) != NC_NOERR)
        return;
    std::vector<int> dims;
    if ((status = nc_def_dim(nc, (prefix + "nodes").c_str(), 1, &id)) != NC_NOERR)
        refuse_definition("dimension '" + prefix + "nodes'", status);
    for (int d = 0; d < in->num_dims(); d++) {
        NcDim *dim = in->get_dim(d);
        if ((status = nc_def_dim(nc, dim->name(), dim->size(), &id)) != NC_NOERR) {
            nc_abort(nc);
            refuse_definition(std::string("dimension '") + dim->name() + "'", status);
        }
        dims.push_back(id);
    }
    for (int v = 0; v < in->num_vars(); v++) {
        NcVar *var = in->get_var(v);
        std::vector<int> ids;
        for (int k = 0; k < var->num_dims(); k++)
            ids.push_back(dims[var->get_dim(k)->id()]);
        if ((status = nc_def_var(nc, var->name(), (nc_type)var->type(), (int)ids.size(), ids.data(), &id)) !=
            NC_NOERR) {
            nc_abort(nc);
            refuse_definition(std::string("variable '") + var->name() + "'", status);
        }
        for (const std::string &name : copied_attributes(v))
            if ((status = nc_copy_att(in->id(), v, name.c_str(), nc, id)) != NC_NOERR) {
                nc_abort(nc);
                refuse_definition("attribute '" + name + "' of variable '" + var->name() + "'", status);
            }
    }
    nc_abort(nc);
}

int64_t type_bytes(nc_type t)
{
    size_t size = 0;
    return nc_inq_type(in->id(), t, nullptr, &size) == NC_NOERR ? (int64_t)size : 8;
}

} // namespace

int64_t layout_header_bytes(const layout_t &layout, int format)
{
    int64_t offset_bytes = format == FORMAT_CLASSIC ? 4 : 8;
    // Magic number, record count, and the three lists' tags and counts.
    int64_t bytes = 4 + 4 + 8 + 8 + 8;
    for (const layout_dim_t &dim : layout.dims)
        bytes += name_entry(dim.name) + 4;
    for (const layout_var_t &var : layout.vars) {
        bytes += name_entry(var.name) + 4 + 4 * (int64_t)var.dims.size() + 8 + 4 + 4 + offset_bytes;
        for (const layout_att_t &att : var.atts)
            bytes += name_entry(att.name) + 4 + 4 + padded(att.bytes);
    }
    return bytes;
}

bool layout_fits(const layout_t &layout, int format)
{
    for (const layout_dim_t &dim : layout.dims)
        if (dim.length > size_limit(format))
            return false;
    int large_fixed, large_records;
    if (!sizes_fit(layout, format, false, large_fixed) || !sizes_fit(layout, format, true, large_records))
        return false;
    bool has_records = false;
    for (const layout_var_t &var : layout.vars)
        has_records = has_records || is_record_var(layout, var);
    // Record variables start after every fixed-size one, which must then
    // all be within the limit.
    if (has_records && large_fixed > 0)
        return false;
    if (format != FORMAT_CLASSIC)
        return true;
    // The classic format's offsets are 32-bit: every variable must start
    // below 2^31, the record variables after all fixed-size ones.
    int64_t begin = layout_header_bytes(layout, format);
    for (int pass = 0; pass < 2; pass++)
        for (const layout_var_t &var : layout.vars) {
            if (is_record_var(layout, var) != (pass == 1))
                continue;
            if (begin > INT32_MAX)
                return false;
            begin += padded(var_bytes(layout, var));
        }
    return true;
}

std::vector<std::string> copied_attributes(int varid)
{
    std::vector<std::string> names;
    int natts = 0;
    nc_inq_varnatts(in->id(), varid, &natts);
    for (int a = 0; a < natts; a++) {
        char name[NC_MAX_NAME + 1];
        nc_type t;
        if (nc_inq_attname(in->id(), varid, a, name) == NC_NOERR &&
            nc_inq_atttype(in->id(), varid, name, &t) == NC_NOERR && t >= NC_BYTE && t <= NC_DOUBLE)
            names.push_back(name);
    }
    return names;
}

int layout_format(const layout_t &layout)
{
    if (layout_fits(layout, FORMAT_CLASSIC))
        return FORMAT_CLASSIC;
    if (layout_fits(layout, FORMAT_64BIT_OFFSET))
        return FORMAT_64BIT_OFFSET;
    return FORMAT_NONE;
}

layout_t run_layout(const std::string &prefix, int64_t nodes, bool with_data)
{
    layout_t layout;
    layout.dims.push_back({prefix + "nodes", nodes});
    for (int k = 0; k < 7; k++)
        layout.vars.push_back({prefix + DENDROGRAM_SUFFIXES[k], k < 6 ? 4 : 8, {0}, {}});
    if (!with_data)
        return layout;
    int ncid = in->id();
    for (int d = 0; d < in->num_dims(); d++)
        layout.dims.push_back({in->get_dim(d)->name(), in->get_dim(d)->size()});
    for (int v = 0; v < in->num_vars(); v++) {
        NcVar *from = in->get_var(v);
        layout_var_t var{from->name(), type_bytes((nc_type)from->type()), {}, {}};
        for (int k = 0; k < from->num_dims(); k++)
            var.dims.push_back(1 + from->get_dim(k)->id());
        for (const std::string &name : copied_attributes(v)) {
            nc_type t = NC_BYTE;
            size_t length = 0;
            nc_inq_att(ncid, v, name.c_str(), &t, &length);
            var.atts.push_back({name, (int64_t)length * type_bytes(t)});
        }
        layout.vars.push_back(var);
    }
    return layout;
}

void plan_output(int objects)
{
    string_vector *prefix_list = opt_text_list(INDEX_OPT_PREFIX);
    std::string prefix = prefix_list && !prefix_list->empty() ? (*prefix_list)[0] : "";
    bool with_data = opt_given(INDEX_OPT_OUTPUT_DATA);
    if (with_data) {
        refuse_uncopyable_types();
        for (int d = 0; d < in->num_dims(); d++)
            if (prefix + "nodes" == in->get_dim(d)->name())
                refuse_named(MSG_DIMENSION_CLASH, in->get_dim(d)->name());
        for (int v = 0; v < in->num_vars(); v++)
            for (const char *suffix : DENDROGRAM_SUFFIXES)
                if (prefix + suffix == in->get_var(v)->name())
                    refuse_named(MSG_VARIABLE_CLASH, in->get_var(v)->name());
        define_in_memory(prefix);
    }
    chosen_format = layout_format(run_layout(prefix, 2 * (int64_t)objects - 1, with_data));
    if (chosen_format == FORMAT_NONE)
        refuse(MSG_NO_FORMAT);
}

int output_format()
{
    return chosen_format;
}
