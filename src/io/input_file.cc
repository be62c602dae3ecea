// Reading the input file: finding the data (or distance) variable and the
// start/end vectors of a distance list, their shapes, and their values with
// the cells that hold a fill value marked missing.
//
//   open_input, detect_variables, matrix_usable, list_usable_matrices
//                            finding the variables.
//   read_input_shapes, read_input_values
//                            the shapes and the input's memory charge, and the
//                            typed arrays (transposed when columns are
//                            clustered); the driver's read_shapes and
//                            load_input add the engine's decisions around them.
//   mark_fill_cells, report_fill_cells
//                            the fill cells, of the loaded values or of a
//                            block read apart, and their line on standard
//                            error.
// The variables found and the arrays read are the program run's (brivane.h).
#include "input_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <netcdfcpp.h>

#include "brivane.h"
#include "brivane_arg.h"
#include "dense.h"
#include "element.h"
#include "header_check.h"
#include "run_checks.h"

namespace {

// The messages of the input inspection, each text once.
const char MSG_OPEN_FAILED[] = "ERROR! Could not open input file ";
const char MSG_NOT_USABLE[] = "ERROR! The specified variable is not usable for this purpose!";
const char MSG_NOT_USABLE_DATA[] = "Only matrices of type ncInt, ncChar, ncFloat and ncDouble can be used as a data matrix";
const char MSG_NOT_USABLE_DISTMAT[] =
    "Only square matrices of type ncInt, ncFloat and ncDouble can be used as a distance matrix";
const char MSG_NOT_USABLE_DISTLIST[] = "Only vectors of type ncInt, ncFloat and ncDouble can be used as a distance list";
const char MSG_SEVERAL_USABLE[] =
    "ERROR! More than one usable data matrix in the input file, use flag -D to specify which to use!";
const char MSG_BAD_FROM[] = "ERROR! Only vectors of type ncInt can be used as start-objects of distances!";
const char MSG_BAD_TO[] = "ERROR! Only vectors of type ncInt can be used as end-objects of distances!";
const char MSG_VARIABLE_NOT_FOUND[] = "ERROR! The specified variable was not found in the input file!";
const char MSG_NONE_DATA[] = "ERROR! The input file does not contain any matrices of types ncInt, ncChar, ncFloat or "
                             "ncDouble that could be used as a data matrix!";
const char MSG_NONE_DISTMAT[] = "ERROR! The input file does not contain any square matrices of types ncInt, ncFloat "
                                "or ncDouble that could be used as a distance matrix!";
const char MSG_NONE_DISTLIST[] = "ERROR! The input file does not contain any vectors of types ncInt, ncFloat or "
                                 "ncDouble that could be used as a distance list!";
const char HEADER_DATA[] = "The input file contains the following list of usable data matrices, i.e. "
                           "two-dimensional matrices of type ncInt, ncChar, ncFloat or ncDouble:";
const char HEADER_DISTMAT[] = "The input file contains the following list of usable distance matrices, i.e. "
                              "square matrices of type ncInt, ncFloat or ncDouble:";
const char HEADER_DISTLIST[] = "The input file contains the following list of usable distance lists, i.e. "
                               "vectors of type ncInt, ncFloat or ncDouble:";
const char MSG_NO_FROM[] = "ERROR! Vector containing start-objects of distances must be specified with --from";
const char MSG_NO_TO[] = "ERROR! Vector containing end-objects of distances must be specified with --to";
const char MSG_UNEQUAL_LENGTHS[] = "ERROR! The three vectors containing the start-objects, end-objects and "
                                   "distances must all be of equal length!";
const char MSG_NO_OBJECTS_DIM[] = "ERROR! Could not find dimension '%s' containing the number of objects!";
const char MSG_OBJECT_OUT_OF_RANGE[] = "ERROR! Entry %d of the %s vector names object %d, but the objects are 0..%d!";
const char MSG_FILL_MISSING[] = "  %s cells of '%s' hold its _FillValue or missing_value and are read as missing (NaN)";
const char MSG_FILL_KEPT[] = "WARNING! %s cells of '%s' hold its _FillValue or missing_value, but integer and "
                             "character values cannot be missing: they are clustered as the values they hold.";

bool is_data_type(int t)
{
    return t == ncInt || t == ncChar || t == ncFloat || t == ncDouble;
}

bool is_distance_type(int t)
{
    return t == ncInt || t == ncFloat || t == ncDouble;
}

const char *type_word(int t)
{
    switch (t) {
    case ncInt:
        return "ncInt ";
    case ncChar:
        return "ncChar ";
    case ncFloat:
        return "ncFloat ";
    case ncDouble:
        return "ncDouble ";
    default:
        return "";
    }
}

bool names(int index, NcVar *var)
{
    return opt_given(index) && std::strcmp(var->name(), opt_text(index)) == 0;
}

bool is_object_vector(NcVar *var)
{
    return var->num_dims() == 1 && var->type() == ncInt;
}

// Counts of the program are 32-bit signed.
void check_count(int64_t count)
{
    if (count > INT32_MAX)
        refuse(MSG_TOO_LARGE);
}

template <class T> T *read_whole(NcVar *var)
{
    // The library's read buffer is the array of the run; it is never freed.
    return static_cast<T *>(var->values()->base());
}

} // namespace

// Whether variable i is a candidate data variable when the user has named
// none.  In a distance-list file the start- and end-object vectors are usable
// lists themselves; they are not candidates, or no such file could ever be
// read without --data.
bool ProgramRun::candidate(int i)
{
    NcVar *var = in->get_var(i);
    if (cluster_mode() == CLUSTER_DISTLIST && (names(INDEX_OPT_FROM, var) || names(INDEX_OPT_TO, var)))
        return false;
    return matrix_usable(i);
}

// The values of the attribute that stand for a missing cell in a variable of
// element type T, as T; a value that T cannot hold exactly marks no cell.
template <class T> void ProgramRun::fill_values_of(int varid, const char *attribute, std::vector<T> &fills)
{
    nc_type att_type;
    size_t length;
    if (nc_inq_att(in->id(), varid, attribute, &att_type, &length) != NC_NOERR || length == 0)
        return;
    if (std::is_same<T, char>::value) {
        std::vector<char> text(length);
        if (att_type == NC_CHAR && nc_get_att_text(in->id(), varid, attribute, text.data()) == NC_NOERR)
            fills.insert(fills.end(), text.begin(), text.end());
        return;
    }
    std::vector<double> numbers(length);
    if (att_type == NC_CHAR || nc_get_att_double(in->id(), varid, attribute, numbers.data()) != NC_NOERR)
        return;
    for (double v : numbers)
        if (v >= std::numeric_limits<T>::lowest() && v <= std::numeric_limits<T>::max() && (double)(T)v == v)
            fills.push_back((T)v);
}

// The cells that hold the variable's _FillValue or a missing_value: netCDF's
// convention (followed by ncdump, xarray and netCDF4-python) makes them
// missing.  Floating-point cells become NaN; integer and character cells,
// which have no missing state, keep their values.  Returns their number.
template <class T> int64_t ProgramRun::mark_fill_values(NcVar *var, T *values, int64_t count)
{
    std::vector<T> fills;
    fill_values_of(var->id(), "_FillValue", fills);
    fill_values_of(var->id(), "missing_value", fills);
    if (fills.empty())
        return 0;
    int64_t found = 0;
    for (int64_t k = 0; k < count; k++)
        if (std::find(fills.begin(), fills.end(), values[k]) != fills.end()) {
            found++;
            if (std::numeric_limits<T>::has_quiet_NaN)
                values[k] = std::numeric_limits<T>::quiet_NaN();
        }
    return found;
}

template <class T> T *ProgramRun::load_values(NcVar *var)
{
    T *values = read_whole<T>(var);
    fill_cells = mark_fill_values(var, values, var->num_vals());
    if (cluster_mode() == CLUSTER_COLS) {
        // The file's rows are the objects' elements.  Allocated with new[]
        // and kept for the run, as the values are.
        T *objects = new T[(size_t)row_length * (size_t)object_count];
        transpose(values, (int64_t)row_length, (int64_t)object_count, objects);
        return objects;
    }
    return values;
}

void ProgramRun::check_objects(const int *objects, const char *role)
{
    for (int k = 0; k < list_entries; k++)
        if (objects[k] < 0 || objects[k] >= object_count) {
            char message[256];
            std::snprintf(message, sizeof message, MSG_OBJECT_OUT_OF_RANGE, k, role, objects[k], object_count - 1);
            refuse(message);
        }
}


int64_t ProgramRun::mark_fill_cells(int *values, int64_t count)
{
    int64_t found = mark_fill_values(in->get_var(matvar), values, count);
    fill_cells += found;
    return found;
}

int64_t ProgramRun::mark_fill_cells(float *values, int64_t count)
{
    int64_t found = mark_fill_values(in->get_var(matvar), values, count);
    fill_cells += found;
    return found;
}

int64_t ProgramRun::mark_fill_cells(double *values, int64_t count)
{
    int64_t found = mark_fill_values(in->get_var(matvar), values, count);
    fill_cells += found;
    return found;
}

int ProgramRun::matrix_usable(int i)
{
    NcVar *var = in->get_var(i);
    int t = var->type();
    switch (cluster_mode()) {
    case CLUSTER_ROWS:
    case CLUSTER_COLS:
        return var->num_dims() == 2 && is_data_type(t);
    case CLUSTER_DISTMAT:
        return var->num_dims() == 2 && is_distance_type(t) && var->get_dim(0)->size() == var->get_dim(1)->size();
    case CLUSTER_DISTLIST:
        return var->num_dims() == 1 && is_distance_type(t);
    }
    return 0;
}

std::string ProgramRun::usable_matrices_text()
{
    std::ostringstream text;
    switch (cluster_mode()) {
    case CLUSTER_DISTMAT:
        text << HEADER_DISTMAT;
        break;
    case CLUSTER_DISTLIST:
        text << HEADER_DISTLIST;
        break;
    default:
        text << HEADER_DATA;
    }
    // Every variable -D accepts, the start and end vectors of a list too.
    for (int i = 0; i < in->num_vars(); i++) {
        if (!matrix_usable(i))
            continue;
        NcVar *var = in->get_var(i);
        text << "\n " << var->name() << " : " << type_word(var->type()) << var->name() << "("
             << var->get_dim(0)->name() << "=" << var->get_dim(0)->size();
        if (var->num_dims() == 2)
            text << "," << var->get_dim(1)->name() << "=" << var->get_dim(1)->size();
        text << ")";
    }
    return text.str();
}

void ProgramRun::list_usable_matrices()
{
    std::cerr << usable_matrices_text() << std::endl;
}

void ProgramRun::open_input(const char *name)
{
    HeaderCheck header = check_header(name);
    if (!header.openable)
        refuse(header.limit.empty() ? std::string(MSG_OPEN_FAILED) + name : header.limit);
    {
        // Only while opening are the library's errors silent and non-fatal;
        // afterwards its own behaviour holds again.
        NcError quiet(NcError::silent_nonfatal);
        in = new NcFile(name, NcFile::ReadOnly, nullptr, 0, NcFile::Classic);
    }
    if (!in->is_valid() || !holds_every_byte(in->id(), name))
        refuse(std::string(MSG_OPEN_FAILED) + name);
}

void ProgramRun::detect_variables()
{
    matvar = fromvar = tovar = -1;
    bool data_given = opt_given(INDEX_OPT_DATA);
    for (int i = 0; i < in->num_vars(); i++) {
        NcVar *var = in->get_var(i);
        if (data_given && names(INDEX_OPT_DATA, var)) {
            if (!matrix_usable(i)) {
                const char *why = cluster_mode() == CLUSTER_DISTMAT    ? MSG_NOT_USABLE_DISTMAT
                                  : cluster_mode() == CLUSTER_DISTLIST ? MSG_NOT_USABLE_DISTLIST
                                                                       : MSG_NOT_USABLE_DATA;
                refuse(std::string(MSG_NOT_USABLE) + "\n" + why);
            }
            matvar = i;
        }
        if (!data_given && candidate(i)) {
            if (matvar != -1)
                refuse(std::string(MSG_SEVERAL_USABLE) + "\n" + usable_matrices_text());
            matvar = i;
        }
        if (names(INDEX_OPT_FROM, var)) {
            if (!is_object_vector(var))
                refuse(MSG_BAD_FROM);
            fromvar = i;
        }
        if (names(INDEX_OPT_TO, var)) {
            if (!is_object_vector(var))
                refuse(MSG_BAD_TO);
            tovar = i;
        }
    }
    if (matvar == -1) {
        if (data_given)
            refuse(std::string(MSG_VARIABLE_NOT_FOUND) + "\n" + usable_matrices_text());
        refuse(cluster_mode() == CLUSTER_DISTMAT    ? MSG_NONE_DISTMAT
               : cluster_mode() == CLUSTER_DISTLIST ? MSG_NONE_DISTLIST
                                                    : MSG_NONE_DATA);
    }
}

int64_t ProgramRun::read_input_shapes()
{
    NcVar *var = in->get_var(matvar);
    type = var->type();
    // A distance matrix is charged by the engine decision: the dense engine
    // may read it in blocks without ever holding it whole.
    int64_t matrix_input = 0;
    switch (cluster_mode()) {
    case CLUSTER_ROWS:
    case CLUSTER_COLS: {
        int64_t rows = var->get_dim(0)->size();
        int64_t cols = var->get_dim(1)->size();
        check_count(rows * cols);
        clust_dim = var->get_dim(0);
        object_count = (int)rows;
        row_length = (int)cols;
        charge_input(element_size(type) * rows * cols);
        if (cluster_mode() == CLUSTER_COLS) {
            clust_dim = var->get_dim(1);
            object_count = (int)cols;
            row_length = (int)rows;
        }
        break;
    }
    case CLUSTER_DISTMAT: {
        int64_t n = var->get_dim(0)->size();
        check_count(n * n);
        clust_dim = var->get_dim(0);
        object_count = (int)n;
        matrix_input = element_size(type) * n * n;
        break;
    }
    case CLUSTER_DISTLIST: {
        int64_t m = var->get_dim(0)->size();
        check_count(m);
        list_entries = (int)m;
        if (fromvar == -1)
            refuse(MSG_NO_FROM);
        if (tovar == -1)
            refuse(MSG_NO_TO);
        NcVar *from = in->get_var(fromvar);
        NcVar *to = in->get_var(tovar);
        if (from->get_dim(0)->size() != m || to->get_dim(0)->size() != m)
            refuse(MSG_UNEQUAL_LENGTHS);
        const char *objects = opt_text(INDEX_OPT_NUM_OBJECTS);
        clust_dim = nullptr;
        for (int d = 0; d < in->num_dims(); d++)
            if (std::strcmp(in->get_dim(d)->name(), objects) == 0)
                clust_dim = in->get_dim(d);
        if (!clust_dim)
            refuse(filled(MSG_NO_OBJECTS_DIM, objects));
        check_count(clust_dim->size());
        object_count = (int)clust_dim->size();
        charge_input((int64_t)(element_size(from->type()) + element_size(to->type()) + element_size(type)) * m);
        break;
    }
    }
    if (object_count == 0)
        refuse(MSG_NO_OBJECTS);
    return matrix_input;
}

void ProgramRun::read_input_values()
{
    NcVar *var = in->get_var(matvar);
    switch (type) {
    case ncChar:
        data_char = load_values<char>(var);
        break;
    case ncInt:
        data_int = load_values<int>(var);
        break;
    case ncFloat:
        data_float = load_values<float>(var);
        break;
    case ncDouble:
        data_double = load_values<double>(var);
        break;
    }
    if (cluster_mode() == CLUSTER_DISTLIST) {
        distfrom = read_whole<int>(in->get_var(fromvar));
        distto = read_whole<int>(in->get_var(tovar));
        check_objects(distfrom, "start-objects (--from)");
        check_objects(distto, "end-objects (--to)");
    }
}

void ProgramRun::report_fill_cells()
{
    if (fill_cells == 0)
        return;
    NcVar *var = in->get_var(matvar);
    std::string text = std::to_string(fill_cells);
    if (type == ncFloat || type == ncDouble)
        std::cerr << filled(filled(MSG_FILL_MISSING, text).c_str(), var->name()) << std::endl;
    else
        std::cerr << filled(filled(MSG_FILL_KEPT, text).c_str(), var->name()) << std::endl;
}

// The distance matrix from the file, block after block of rows.  Its fill
// cells are missing here as in the loaded matrix: every row is read, the
// last one too, so that they are counted alike.
template <class T> int64_t ProgramRun::read_given_blocks(NcVar *var, int64_t n)
{
    int64_t rows = dense_block_rows((int)n, sizeof(T));
    std::vector<T> buffer(rows * n);
    int64_t not_finite = 0;
    for (int64_t first = 0; first < n; first += rows) {
        int64_t count = std::min(rows, n - first);
        if (!var->set_cur(first, 0) || !var->get(buffer.data(), count, n))
            refuse("ERROR! Could not read the distance matrix");
        mark_fill_cells(buffer.data(), count * n);
        not_finite += copy_rows(buffer.data(), first, count, n);
    }
    return not_finite;
}

int64_t ProgramRun::read_distance_matrix()
{
    NcVar *var = in->get_var(matvar);
    int64_t not_finite;
    switch (type) {
    case ncInt:
        not_finite = read_given_blocks<int>(var, object_count);
        break;
    case ncFloat:
        not_finite = read_given_blocks<float>(var, object_count);
        break;
    default:
        not_finite = read_given_blocks<double>(var, object_count);
    }
    // Read in blocks, the matrix shows its fill cells only now.
    report_fill_cells();
    return not_finite;
}
