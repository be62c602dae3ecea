// The run driver of brivane.
//
//   main_arg                 one run: keyword options and defaults, the option
//                            checks, the input phase, the seed, the distance
//                            count, the distance phases and the clustering.
//   open_input, detect_variables, matrix_usable, list_usable_matrices
//                            finding the data (or distance) variable and the
//                            start/end vectors of a distance list.
//   read_shapes, load_input  the shapes, the input's memory charge and the
//                            typed arrays (transposed when columns are
//                            clustered).
//   memory_from_gigabytes, all_pairs, sample_count, bound_num_distances
//                            the arithmetic that turns the budgets into a
//                            number of distances.
// The module also owns the global run state of brivane.h and the four measure
// registries, built during static initialisation.
#include "brivane.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <sys/stat.h>

#include <netcdf.h>
#include <netcdfcpp.h>

#include "Argumentyzer.h"
#include "Distance.h"
#include "Timer.h"
#include "brivane_arg.h"
#include "dense.h"
#include "distances.h"
#include "quality.h"
#include "small_dist.h"
#include "threads.h"

NcFile *in = nullptr;
NcDim *clust_dim = nullptr;
int N = 0;
int C = 0;
int M = 0;
int type = 0;
int typesize[7] = {0, 0, 0, 0, 0, 0, 0};
char *xc = nullptr;
int *xi = nullptr;
float *xf = nullptr;
double *xd = nullptr;
int *distfrom = nullptr;
int *distto = nullptr;
int64_t memory = 0;
int num_distances = 0;
int engine = ENGINE_STORE;
double epsilon = 0;

DistanceFactory<double> dfd;
DistanceFactory<float> dff;
DistanceFactory<char> dfc;
DistanceFactory<int> dfi;
Distance<double> *dd = nullptr;
Distance<float> *df = nullptr;
Distance<char> *dc = nullptr;
Distance<int> *di = nullptr;

int matvar = -1;
int fromvar = -1;
int tovar = -1;

void brivane_exit(int status)
{
    std::exit(status);
}

namespace {

// The messages of the driver and of the input inspection, each text once.
const char MSG_OPERANDS[] = "ERROR! Operands not allowed! All arguments must belong to some flags.\n"
                            "Currently you have specified the following operands:";
const char MSG_DISTANCE_NOT_APPLICABLE[] = "ERROR! --distance is applicable only for --cluster data.";
const char MSG_DISTANCE_MISSING[] =
    "ERROR! Distance measure not specified! Use flag -d to find out about possible distance measures.\n"
    "Alternatively, specify -C distmat or -C distlist to read pre-calculated distances from the input file.";
const char MSG_DISTLIST_NAMES_MISSING[] =
    "ERROR! Variables containing start-objects and end-objects of distances and dimension containing "
    "number of objects must be specified with --from, --to and --num-objects";
const char MSG_DISTLIST_REQUIRED[] = "ERROR! --cluster DISTLIST is required by --num-objects, --from, --to.";
const char MSG_DISTANCE_LISTING[] = "Distance measure can be specified with\n"
                                    " -d <measure>\n"
                                    "where <measure> is any of the following:";
const char MSG_DISTANCE_TWICE[] = "ERROR! More than one parameter for option --distance";
const char MSG_INPUT_MISSING[] = "ERROR! Input file not specified! Use flag -i to specify the input file.";
const char MSG_OUTPUT_MISSING[] = "ERROR! Output file not specified! Use flag -o to specify the output file.";
const char MSG_OUTPUT_IS_INPUT[] = "ERROR! The output file is the input file itself! Choose another output file.";
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
const char MSG_NO_OBJECTS[] = "ERROR! The input holds no objects to cluster (the clustered dimension has length 0)!";
const char MSG_TOO_LARGE[] = "ERROR! The input is too large: its objects, elements or distances exceed "
                             "2147483647 in number!";
const char MSG_OBJECT_OUT_OF_RANGE[] = "ERROR! Entry %d of the %s vector names object %d, but the objects are 0..%d!";
const char MSG_INPUT_MEMORY[] = "ERROR! Insufficient memory to hold all input data";
const char MSG_MINKOWSKI_P_MISSING[] = "ERROR! Minkowski distance requires parameter --minkowski-p or -p";
const char MSG_MINKOWSKI_P_NOT_POSITIVE[] = "ERROR! Parameter p of Minkowski distance must be positive!";
const char MSG_DISTANCES_MEMORY[] = "ERROR! Insufficient memory to calculate enough distances";
const char MSG_ALL_PAIRS_MEMORY[] = "ERROR! Insufficient memory to calculate all pairwise distances!";
const char MSG_GIVEN_MEMORY[] = "ERROR! Insufficient memory to store all given distances";
const char MSG_STORE_LIMIT[] = "ERROR! Too many distances for the distance store (at most 178956969 pairs)!";
const char MSG_VALUE_MISSING[] = "ERROR! Option --%s requires a value!";
const char MSG_NOT_FINITE[] = "ERROR! Option --%s requires a finite value!";
const char MSG_BELOW_ONE[] = "ERROR! Option --%s must be at least 1!";
const char MSG_OUT_OF_MEMORY[] = "Out of memory!";
const char MSG_MEMORY_NEED[] = "This run needs -m %.2f or more (gigabytes).";
const char MSG_ENGINE_NO_EFFECT[] = "WARNING! --engine has no effect: only a run that knows every pair (-a, or "
                                    "-C distmat) has a choice; the distance store clusters this one.";
const char MSG_ENGINE_STORE[] = "Clustering engine: store";
const char MSG_ENGINE_DENSE[] = "Clustering engine: dense (all pairs in a condensed matrix)";
const char MSG_DENSE_NOT_FINITE[] = "ERROR! %lld distances are NaN or infinite; the dense engine needs every "
                                    "distance finite.";
const char MSG_DENSE_STORE_TAKES[] = "The distance store (-E store) clusters such distances.";

const char *const cluster_keys[] = {"ROWS", "COLS", "DISTMAT", "DISTLIST"};
const char *const linkage_keys[] = {"MIN", "AVE", "MAX"};
const char *const pivot_strategy_keys[] = {"RANDOM", "QUANTILE"};
const char *const engine_keys[] = {"AUTO", "STORE", "DENSE"};
const char *const missing_keys[] = {"PROPAGATE", "PAIRWISE"};

// Defaults that are appended to text lists; the lists hold char pointers.
char default_cluster[] = "ROWS";
char default_linkage[] = "AVE";
char default_pivot_strategy[] = "RANDOM";
char default_engine[] = "AUTO";
char default_missing[] = "PROPAGATE";
char prefix_rows[] = "row_";
char prefix_cols[] = "col_";
char prefix_none[] = "";

// Measure ID of the minkowski keyword in the registries.
const int MINKOWSKI_ID = 2;

[[noreturn]] void refuse(const std::string &message)
{
    std::cerr << message << std::endl;
    brivane_exit(1);
}

// A message with its one %s filled in.
std::string filled(const char *format, const std::string &text)
{
    std::string message = format;
    size_t at = message.find("%s");
    return message.replace(at, 2, text);
}

[[noreturn]] void refuse_with_usage()
{
    optionUsage(&brivaneOptions, 1);
    brivane_exit(1);
}

int cluster_mode()
{
    return opt_int(INDEX_OPT_CLUSTER);
}

bool data_mode()
{
    return cluster_mode() == CLUSTER_ROWS || cluster_mode() == CLUSTER_COLS;
}

template <class L> L *list_of(int index)
{
    L *list = reinterpret_cast<L *>(optDesc[index].optArg.argIntptr);
    if (!list) {
        list = new L;
        opt_set_list(index, list);
    }
    return list;
}

bool has_value(int index)
{
    const string_vector *words = opt_text_list(index);
    return words && !words->empty();
}

// The default keyword goes behind the user's words, so element 0 is the
// user's keyword when one was given; the list becomes the one-element list of
// the keyword's index.
void resolve_keyword(int index, int n, const char *const *keys, char *default_keyword)
{
    string_vector *words = list_of<string_vector>(index);
    words->push_back(default_keyword);
    int_vector *resolved = arg_arg_keyword(words, n, keys, 0);
    if (!resolved)
        refuse_with_usage();
    opt_set_list(index, resolved);
}

void append_defaults()
{
    list_of<int_vector>(INDEX_OPT_NUM_PIVOTS)->push_back(20);
    list_of<int_vector>(INDEX_OPT_NUM_DISTANCES)->push_back(0);
    list_of<double_vector>(INDEX_OPT_MEMORY)->push_back(2.0);
    list_of<double_vector>(INDEX_OPT_TIME)->push_back(30.0);
    list_of<double_vector>(INDEX_OPT_PROP_SIMILAR)->push_back(0.5);
    list_of<int_vector>(INDEX_OPT_RANDOM_SEED)->push_back(0);
    list_of<int_vector>(INDEX_OPT_SAMPLE_SIZE)->push_back(100000);
    list_of<double_vector>(INDEX_OPT_PIVOT_QUANTILE)->push_back(0.9);
    list_of<int_vector>(INDEX_OPT_SPLIT_THRESHOLD)->push_back(1000);
    list_of<int_vector>(INDEX_OPT_THREADS)->push_back(machine_cores());
    char *prefix = cluster_mode() == CLUSTER_ROWS ? prefix_rows
                   : cluster_mode() == CLUSTER_COLS ? prefix_cols
                                                    : prefix_none;
    list_of<string_vector>(INDEX_OPT_PREFIX)->push_back(prefix);
}

bool same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The checks of the option combinations, in the order the user meets them; on
// return every setting that the run reads is there and sound, and `distkey`
// is the measure keyword (data modes only, else null).
void check_options(const char *&distkey)
{
    if (!arg_argv_vector || arg_argv_vector->size() <= 1)
        refuse_with_usage();
    if (arg_operands_vector && !arg_operands_vector->empty()) {
        std::cerr << MSG_OPERANDS << std::endl;
        for (char *operand : *arg_operands_vector)
            std::cerr << operand << std::endl;
        brivane_exit(1);
    }
    bool distance = opt_given(INDEX_OPT_DISTANCE);
    if (distance && !data_mode())
        refuse(MSG_DISTANCE_NOT_APPLICABLE);
    if (!distance && data_mode())
        refuse(MSG_DISTANCE_MISSING);
    bool list_names = opt_given(INDEX_OPT_FROM) || opt_given(INDEX_OPT_TO) || opt_given(INDEX_OPT_NUM_OBJECTS);
    bool all_list_names = opt_given(INDEX_OPT_FROM) && opt_given(INDEX_OPT_TO) && opt_given(INDEX_OPT_NUM_OBJECTS);
    if (cluster_mode() == CLUSTER_DISTLIST && !all_list_names)
        refuse(MSG_DISTLIST_NAMES_MISSING);
    if (cluster_mode() != CLUSTER_DISTLIST && list_names)
        refuse(MSG_DISTLIST_REQUIRED);
    distkey = nullptr;
    if (distance) {
        if (!has_value(INDEX_OPT_DISTANCE)) {
            std::cerr << MSG_DISTANCE_LISTING << std::endl;
            DistanceFactory<int>().listDistances();
            brivane_exit(0);
        }
        if (opt_text_list(INDEX_OPT_DISTANCE)->size() > 1)
            refuse(MSG_DISTANCE_TWICE);
        distkey = opt_text(INDEX_OPT_DISTANCE);
    }
    if (!opt_given(INDEX_OPT_INPUT))
        refuse(MSG_INPUT_MISSING);
    if (!opt_given(INDEX_OPT_OUTPUT))
        refuse(MSG_OUTPUT_MISSING);

    // The options without a default must carry their value before anything
    // reads it; the others have one appended.
    static const struct {
        int index;
        const char *name;
    } valued[] = {{INDEX_OPT_INPUT, "input"},   {INDEX_OPT_DATA, "data"},
                  {INDEX_OPT_NUM_OBJECTS, "num-objects"}, {INDEX_OPT_FROM, "from"},
                  {INDEX_OPT_TO, "to"},         {INDEX_OPT_OUTPUT, "output"},
                  {INDEX_OPT_MINKOWSKI_P, "minkowski-p"}, {INDEX_OPT_QUALITY, "quality"}};
    for (const auto &option : valued) {
        bool empty = option.index == INDEX_OPT_MINKOWSKI_P
                         ? !opt_double_list(option.index) || opt_double_list(option.index)->empty()
                         : !has_value(option.index);
        if (opt_given(option.index) && empty)
            refuse(filled(MSG_VALUE_MISSING, option.name));
    }

    // Non-finite reals would reach integer conversions and comparisons that
    // no longer mean anything.
    static const struct {
        int index;
        const char *name;
    } reals[] = {{INDEX_OPT_MEMORY, "memory"},
                 {INDEX_OPT_TIME, "time"},
                 {INDEX_OPT_PROP_SIMILAR, "prop-similar"},
                 {INDEX_OPT_PIVOT_QUANTILE, "pivot-quantile"}};
    for (const auto &option : reals)
        if (!std::isfinite(opt_double(option.index)))
            refuse(filled(MSG_NOT_FINITE, option.name));
    // No pivots leaves the heuristics nothing to work with, and a split
    // threshold below 1 would split a one-position block for ever.
    if (opt_int(INDEX_OPT_NUM_PIVOTS) < 1)
        refuse(filled(MSG_BELOW_ONE, "num-pivots"));
    if (opt_int(INDEX_OPT_SPLIT_THRESHOLD) < 1)
        refuse(filled(MSG_BELOW_ONE, "split-threshold"));
    if (opt_int(INDEX_OPT_SAMPLE_SIZE) < 1)
        refuse(filled(MSG_BELOW_ONE, "sample-size"));
    if (opt_int(INDEX_OPT_THREADS) < 1)
        refuse(filled(MSG_BELOW_ONE, "threads"));
    num_threads = opt_int(INDEX_OPT_THREADS);

    // Writing the output would destroy the input while it is being read.
    if (same_file(opt_text(INDEX_OPT_INPUT), opt_text(INDEX_OPT_OUTPUT)))
        refuse(MSG_OUTPUT_IS_INPUT);
    // The quality file comes last in a long run: refuse one that cannot be
    // written before any work is done.
    if (opt_given(INDEX_OPT_QUALITY))
        check_quality_file(opt_text(INDEX_OPT_QUALITY), opt_text(INDEX_OPT_INPUT), opt_text(INDEX_OPT_OUTPUT));
}

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

// Whether variable i is a candidate data variable when the user has named
// none.  In a distance-list file the start- and end-object vectors are usable
// lists themselves; they are not candidates, or no such file could ever be
// read without --data.
bool candidate(int i)
{
    NcVar *var = in->get_var(i);
    if (cluster_mode() == CLUSTER_DISTLIST && (names(INDEX_OPT_FROM, var) || names(INDEX_OPT_TO, var)))
        return false;
    return matrix_usable(i);
}

// Bytes of a name in a classic-format header: its length count, then its
// characters padded to four bytes.
int64_t name_bytes(const char *name, int64_t count_bytes)
{
    return count_bytes + (((int64_t)std::strlen(name) + 3) / 4) * 4;
}

int64_t attributes_bytes(int ncid, int varid, int natts, int64_t count_bytes)
{
    int64_t bytes = 4 + count_bytes;
    for (int a = 0; a < natts; a++) {
        char name[NC_MAX_NAME + 1];
        nc_type att_type;
        size_t length, size;
        nc_inq_attname(ncid, varid, a, name);
        nc_inq_att(ncid, varid, name, &att_type, &length);
        nc_inq_type(ncid, att_type, nullptr, &size);
        bytes += name_bytes(name, count_bytes) + 4 + count_bytes + (((int64_t)(length * size) + 3) / 4) * 4;
    }
    return bytes;
}

// The fewest bytes that a classic-format file (CDF-1, -2 or -5) with this
// header can have: the header written without spare room, and every variable's
// values unpadded.  The library reads a file cut short of this without
// complaint, as if the missing bytes were zeros.
int64_t classic_minimum_bytes(int ncid, int format)
{
    int64_t count = format == NC_FORMAT_CDF5 ? 8 : 4;
    int64_t offset = format == NC_FORMAT_CLASSIC ? 4 : 8;
    int ndims, nvars, ngatts, unlimited;
    nc_inq(ncid, &ndims, &nvars, &ngatts, &unlimited);
    size_t records = 0;
    if (unlimited >= 0)
        nc_inq_dimlen(ncid, unlimited, &records);
    int64_t bytes = 4 + count + 4 + count;
    for (int d = 0; d < ndims; d++) {
        char name[NC_MAX_NAME + 1];
        nc_inq_dimname(ncid, d, name);
        bytes += name_bytes(name, count) + count;
    }
    bytes += attributes_bytes(ncid, NC_GLOBAL, ngatts, count);
    bytes += 4 + count;
    for (int v = 0; v < nvars; v++) {
        char name[NC_MAX_NAME + 1];
        nc_type var_type;
        int var_ndims, natts, dimids[NC_MAX_VAR_DIMS];
        size_t size;
        nc_inq_var(ncid, v, name, &var_type, &var_ndims, dimids, &natts);
        nc_inq_type(ncid, var_type, nullptr, &size);
        bytes += name_bytes(name, count) + count + var_ndims * count + attributes_bytes(ncid, v, natts, count) + 4 +
                 count + offset;
        int64_t values = (int64_t)size;
        for (int k = 0; k < var_ndims; k++) {
            size_t length;
            nc_inq_dimlen(ncid, dimids[k], &length);
            values *= dimids[k] == unlimited ? (int64_t)records : (int64_t)length;
        }
        bytes += values;
    }
    return bytes;
}

// A walk over the header of a classic-format file (CDF-1, -2 or -5) that
// checks only that every count, name and attribute fits into the bytes the
// file has.  The library trusts these counts as it reads the header: a count
// of 2^31 dimensions crashes it, a name length of gigabytes has it allocate
// that much before it gives up.  Files of other formats are left to it.
class HeaderWalk {
  public:
    explicit HeaderWalk(const char *name) : file_(std::fopen(name, "rb"))
    {
        struct stat st;
        if (file_ && stat(name, &st) == 0)
            size_ = st.st_size;
    }
    ~HeaderWalk()
    {
        if (file_)
            std::fclose(file_);
    }

    bool sound()
    {
        unsigned char magic[4];
        if (!file_ || std::fread(magic, 1, 4, file_) != 4 || std::memcmp(magic, "CDF", 3) != 0)
            return true;
        if (magic[3] != 1 && magic[3] != 2 && magic[3] != 5)
            return true;
        pos_ = 4;
        count_bytes_ = magic[3] == 5 ? 8 : 4;
        offset_bytes_ = magic[3] == 1 ? 4 : 8;
        int64_t records, dims;
        return number(count_bytes_, records, true) && dimensions(dims) && attributes() && variables(dims);
    }

  private:
    static const int64_t NC_DIMENSION_TAG = 10, NC_VARIABLE_TAG = 11, NC_ATTRIBUTE_TAG = 12;

    // A big-endian number of `bytes` bytes; false past the end of the file
    // or for a value below zero.  The record count and a variable's size are
    // unsigned (all bits set: streaming, or too large for the field).
    bool number(int bytes, int64_t &value, bool is_unsigned = false)
    {
        unsigned char b[8];
        if (!fits(bytes, 1) || std::fread(b, 1, bytes, file_) != (size_t)bytes)
            return false;
        pos_ += bytes;
        uint64_t v = 0;
        for (int k = 0; k < bytes; k++)
            v = (v << 8) | b[k];
        value = bytes == 4 && !is_unsigned ? (int64_t)(int32_t)v : (int64_t)v;
        return value >= 0;
    }

    // Whether `items` items of at least `item_bytes` bytes each fit into
    // what is left of the file.
    bool fits(int64_t items, int64_t item_bytes) const
    {
        return items >= 0 && items <= (size_ - pos_) / item_bytes;
    }

    bool skip(int64_t bytes)
    {
        bytes = (bytes + 3) / 4 * 4;
        if (!fits(bytes, 1) || std::fseek(file_, (long)bytes, SEEK_CUR) != 0)
            return false;
        pos_ += bytes;
        return true;
    }

    // A list's tag and element count; an absent list is two zeros.
    bool list(int64_t tag, int64_t item_bytes, int64_t &items)
    {
        int64_t found;
        if (!number(4, found) || !number(count_bytes_, items))
            return false;
        return (found == tag || (found == 0 && items == 0)) && fits(items, item_bytes);
    }

    bool name()
    {
        int64_t length;
        return number(count_bytes_, length) && length > 0 && skip(length);
    }

    bool dimensions(int64_t &dims)
    {
        if (!list(NC_DIMENSION_TAG, 2 * count_bytes_, dims))
            return false;
        int64_t length;
        for (int64_t d = 0; d < dims; d++)
            if (!name() || !number(count_bytes_, length))
                return false;
        return true;
    }

    bool attributes()
    {
        int64_t atts, type, values;
        if (!list(NC_ATTRIBUTE_TAG, 8 + 2 * count_bytes_, atts))
            return false;
        for (int64_t a = 0; a < atts; a++) {
            if (!name() || !number(4, type) || !number(count_bytes_, values))
                return false;
            int64_t size = value_size(type);
            if (size == 0 || !fits(values, size) || !skip(values * size))
                return false;
        }
        return true;
    }

    bool variables(int64_t dims)
    {
        int64_t vars, var_dims, dim, type, vsize, begin;
        if (!list(NC_VARIABLE_TAG, 16 + 3 * count_bytes_, vars))
            return false;
        for (int64_t v = 0; v < vars; v++) {
            if (!name() || !number(count_bytes_, var_dims) || !fits(var_dims, count_bytes_))
                return false;
            for (int64_t k = 0; k < var_dims; k++)
                if (!number(count_bytes_, dim) || dim >= dims)
                    return false;
            if (!attributes() || !number(4, type) || value_size(type) == 0 || !number(count_bytes_, vsize, true) ||
                !number(offset_bytes_, begin))
                return false;
        }
        return true;
    }

    // Bytes of one value of a classic type (CDF-5 adds the unsigned and
    // 64-bit ones); 0 for a code that names no type.
    int64_t value_size(int64_t type) const
    {
        static const int64_t sizes[] = {0, 1, 1, 2, 4, 4, 8, 1, 2, 4, 8, 8};
        int64_t last = count_bytes_ == 8 ? 11 : 6;
        return type >= 1 && type <= last ? sizes[type] : 0;
    }

    std::FILE *file_;
    int64_t size_ = 0;
    int64_t pos_ = 0;
    int count_bytes_ = 4;
    int offset_bytes_ = 4;
};

// Whether the open file holds every byte that its header promises.
bool complete_file(const char *name)
{
    int format;
    if (nc_inq_format(in->id(), &format) != NC_NOERR)
        return false;
    if (format != NC_FORMAT_CLASSIC && format != NC_FORMAT_64BIT_OFFSET && format != NC_FORMAT_CDF5)
        return true;
    struct stat st;
    return stat(name, &st) == 0 && (int64_t)st.st_size >= classic_minimum_bytes(in->id(), format);
}

// Counts of the program are 32-bit signed.
void check_count(int64_t count)
{
    if (count > INT32_MAX)
        refuse(MSG_TOO_LARGE);
}

void charge_input(int64_t bytes)
{
    memory -= bytes;
    if (memory < 0)
        refuse(MSG_INPUT_MEMORY);
}

template <class T> T *read_whole(NcVar *var)
{
    // The library's read buffer is the array of the run; it is never freed.
    return static_cast<T *>(var->values()->base());
}

template <class T> T *load_values(NcVar *var)
{
    T *values = read_whole<T>(var);
    if (cluster_mode() == CLUSTER_COLS)
        return transpose_columns(values, C, N);
    return values;
}

void check_objects(const int *objects, const char *role)
{
    for (int k = 0; k < M; k++)
        if (objects[k] < 0 || objects[k] >= N) {
            char message[256];
            std::snprintf(message, sizeof message, MSG_OBJECT_OUT_OF_RANGE, k, role, objects[k], N - 1);
            refuse(message);
        }
}

template <class T> Distance<T> *new_measure(DistanceFactory<T> &registry, const char *distkey, double minkowski_p)
{
    Distance<T> *measure = registry.getDistance(distkey);
    if (minkowski_p != 0)
        static_cast<DistanceMinkowski<T> *>(measure)->p = minkowski_p;
    return measure;
}

void select_measure(const char *distkey)
{
    double minkowski_p = 0;
    if (dfc.getDistanceID(distkey) == MINKOWSKI_ID) {
        if (!opt_given(INDEX_OPT_MINKOWSKI_P))
            refuse(MSG_MINKOWSKI_P_MISSING);
        minkowski_p = opt_double(INDEX_OPT_MINKOWSKI_P);
        if (!(minkowski_p > 0))
            refuse(MSG_MINKOWSKI_P_NOT_POSITIVE);
    }
    switch (type) {
    case ncDouble:
        dd = new_measure(dfd, distkey, minkowski_p);
        break;
    case ncFloat:
        df = new_measure(dff, distkey, minkowski_p);
        break;
    case ncInt:
        di = new_measure(dfi, distkey, minkowski_p);
        break;
    case ncChar:
        dc = new_measure(dfc, distkey, minkowski_p);
        break;
    }
}

// 100 distances between random distinct objects, timed; draws the first 200
// numbers of the generator.  Needs two objects or more.
double time_sample()
{
    Timer timer;
    for (int k = 0; k < 100; k++) {
        int a = std::rand() % N;
        int b = std::rand() % (N - 1);
        if (a <= b)
            calc_distance(a, b + 1);
        else
            calc_distance(b, a);
    }
    return timer.get_run_time();
}

// Fixes num_distances from the options and the budgets, or ends the run.
void plan_distance_count()
{
    bool all_pairwise = opt_given(INDEX_OPT_ALL_PAIRWISE);
    if (!data_mode()) {
        // The given distances are stored as they are; the count has no use.
        num_distances = opt_int(INDEX_OPT_NUM_DISTANCES);
        int64_t given = cluster_mode() == CLUSTER_DISTMAT ? all_pairs(N) : M;
        if (given > STORE_MAX_PAIRS)
            refuse(MSG_STORE_LIMIT);
        if (given * BYTES_PER_DISTANCE > memory)
            refuse(MSG_GIVEN_MEMORY);
    } else if (all_pairwise) {
        if (all_pairs(N) > STORE_MAX_PAIRS)
            refuse(MSG_STORE_LIMIT);
        num_distances = (int)all_pairs(N);
    } else {
        int64_t wanted = 0;
        if (opt_given(INDEX_OPT_NUM_DISTANCES))
            wanted = opt_int(INDEX_OPT_NUM_DISTANCES);
        else if (N >= 2)
            wanted = sample_count(opt_double(INDEX_OPT_TIME), time_sample(), N);
        num_distances = bound_num_distances(wanted, memory, N);
        if (num_distances * BYTES_PER_DISTANCE > memory)
            refuse(MSG_DISTANCES_MEMORY);
    }
    if (all_pairwise && 125 * (int64_t)N * (N - 1) > memory)
        refuse(MSG_ALL_PAIRS_MEMORY);
}

// What the store would need beside the input when the dense engine runs
// where the store does not fit; 0 when it would fit, -1 when no budget
// would do (too many pairs).
int64_t store_need = 0;

// Whether the run knows every pair, and so may cluster with either engine.
bool exact_run()
{
    return cluster_mode() == CLUSTER_DISTMAT || (data_mode() && opt_given(INDEX_OPT_ALL_PAIRWISE));
}

// The dense engine reads a distance matrix in row blocks, never holding it
// whole, unless the quality pass will read it afterwards.
bool dense_reads_blocks()
{
    return cluster_mode() == CLUSTER_DISTMAT && !opt_given(INDEX_OPT_QUALITY);
}

// Which engine clusters the run: the store wherever it fits (and always
// when asked for), else the dense matrix where that fits; a budget that
// holds neither is refused with the memory the run needs.  `matrix_input`
// is the size of a distance matrix input, not yet charged to `memory`.
void choose_engine(int64_t matrix_input)
{
    // Before the keyword is resolved (the input phase run alone) the
    // default holds.
    const int_vector *requested_list = opt_int_list(INDEX_OPT_ENGINE);
    int requested = requested_list && !requested_list->empty() ? (*requested_list)[0] : ENGINE_AUTO;
    engine = ENGINE_STORE;
    if (!exact_run())
        return;
    int64_t pairs = all_pairs(N);
    int64_t store_bytes = matrix_input + pairs * BYTES_PER_DISTANCE;
    int64_t dense_bytes = pairs * DENSE_BYTES_PER_PAIR +
                          (dense_reads_blocks() ? dense_block_bytes(N, typesize[type]) : matrix_input);
    bool store_fits = pairs <= STORE_MAX_PAIRS && store_bytes <= memory;
    bool dense_fits = dense_bytes <= memory;
    const char *too_small = matrix_input > memory ? MSG_INPUT_MEMORY
                            : data_mode()         ? MSG_ALL_PAIRS_MEMORY
                                                  : MSG_GIVEN_MEMORY;
    if (requested == ENGINE_STORE || (requested == ENGINE_AUTO && store_fits)) {
        // A budget that is too small is what the user can change, so it is
        // named before the store's own limit.
        if (store_bytes > memory)
            refuse(std::string(too_small) + "\n" + memory_need_line(store_bytes));
        if (pairs > STORE_MAX_PAIRS)
            refuse(MSG_STORE_LIMIT);
        charge_input(matrix_input);
        return;
    }
    if (!dense_fits)
        refuse(std::string(too_small) + "\n" + memory_need_line(dense_bytes));
    // `memory` stays as it is: nothing later draws on it, and the lines
    // that name a budget measure their need against it.
    engine = ENGINE_DENSE;
    store_need = store_fits ? 0 : pairs > STORE_MAX_PAIRS ? -1 : store_bytes;
}

// Every pair into the dense matrix, with the progress lines of the store's
// phases; a value that is not finite ends the run.  The automatic choice
// takes the dense engine only where the store does not fit, so no store can
// take over then.
void dense_distances()
{
    Timer timer_distances;
    int64_t not_finite;
    if (data_mode()) {
        std::cerr << "Calculating distances..." << std::endl;
        std::cerr << "  Calculating all pairwise distances..." << std::flush;
        Timer timer_all;
        not_finite = dense_fill_measure();
        std::cerr << " " << timer_all.get_run_time() << " sec" << std::endl;
        std::cerr << "Distance calculation took " << timer_distances.get_run_time() << " sec" << std::endl;
        std::cerr << "  Values of " << all_pairs(N) << " distances were calculated" << std::endl;
    } else {
        std::cerr << "Inputting distances..." << std::endl;
        not_finite = dense_fill_given();
        std::cerr << "Distance input took " << timer_distances.get_run_time() << " sec" << std::endl;
        std::cerr << "  Values of " << all_pairs(N) << " distances were input" << std::endl;
    }
    if (not_finite > 0) {
        char message[160];
        std::snprintf(message, sizeof message, MSG_DENSE_NOT_FINITE, (long long)not_finite);
        std::string text = message;
        if (store_need >= 0)
            text += std::string("\n") + MSG_DENSE_STORE_TAKES;
        if (store_need > 0)
            text += "\n" + memory_need_line(store_need);
        refuse(text);
    }
}

// The line before clustering names the engine when the dense one runs or
// the user chose one.
void engine_line()
{
    if (engine == ENGINE_DENSE)
        std::cerr << MSG_ENGINE_DENSE << std::endl;
    else if (opt_given(INDEX_OPT_ENGINE))
        std::cerr << (exact_run() ? MSG_ENGINE_STORE : MSG_ENGINE_NO_EFFECT) << std::endl;
}

void distances_from_data()
{
    bool all_pairwise = opt_given(INDEX_OPT_ALL_PAIRWISE);
    double prop_similar = opt_double(INDEX_OPT_PROP_SIMILAR);
    // Every pair is computed anyway when all are asked for, so the heuristics
    // have nothing to choose.
    bool heuristics = !all_pairwise && num_distances > 0 && prop_similar > 0;
    if (heuristics) {
        Timer timer_pivots;
        std::cerr << "Choosing pivots for similarity heuristics..." << std::endl;
        choose_pivots();
        std::cerr << "Choosing pivots took " << timer_pivots.get_run_time() << " sec" << std::endl;
        Timer timer_epsilon;
        std::cerr << "Estimating epsilon for similarity heuristics..." << std::flush;
        epsilon = estimate_epsilon();
        std::cerr << " " << timer_epsilon.get_run_time() << " sec" << std::endl;
        std::cerr << "  Estimated epsilon is " << epsilon << std::endl;
    }
    if (num_distances <= 0 && !all_pairwise)
        return;
    Timer timer_distances;
    std::cerr << "Calculating distances..." << std::endl;
    if (!all_pairwise) {
        if (heuristics) {
            std::cerr << "  Calculating similarity heuristics based pairs..." << std::flush;
            Timer timer_heuristics;
            small_dists_work(epsilon);
            std::cerr << " " << timer_heuristics.get_run_time() << " sec" << std::endl;
            std::cerr << "    " << n_dist / 2 << " distances calculated" << std::endl;
            delete_pivots();
        }
        if (prop_similar < 1 && num_distances - n_dist / 2 > 0) {
            Timer timer_random;
            std::cerr << "  Calculating random pairs..." << std::flush;
            random_dist();
            std::cerr << " " << timer_random.get_run_time() << " sec" << std::endl;
        }
    } else {
        Timer timer_all;
        std::cerr << "  Calculating all pairwise distances..." << std::flush;
        all_dist();
        std::cerr << " " << timer_all.get_run_time() << " sec" << std::endl;
    }
    std::cerr << "Distance calculation took " << timer_distances.get_run_time() << " sec" << std::endl;
    std::cerr << "  Values of " << n_dist / 2 << " distances were calculated" << std::endl;
}

void given_distances()
{
    Timer timer_distances;
    std::cerr << "Inputting distances..." << std::endl;
    input_dist();
    std::cerr << "Distance input took " << timer_distances.get_run_time() << " sec" << std::endl;
    std::cerr << "  Values of " << n_dist / 2 << " distances were input" << std::endl;
}

int run()
{
    typesize[ncChar] = 1;
    typesize[ncInt] = 4;
    typesize[ncFloat] = 4;
    typesize[ncDouble] = 8;
    Timer timer_global;

    resolve_keyword(INDEX_OPT_CLUSTER, 4, cluster_keys, default_cluster);
    resolve_keyword(INDEX_OPT_LINKAGE, 3, linkage_keys, default_linkage);
    resolve_keyword(INDEX_OPT_PIVOT_STRATEGY, 2, pivot_strategy_keys, default_pivot_strategy);
    resolve_keyword(INDEX_OPT_ENGINE, 3, engine_keys, default_engine);
    resolve_keyword(INDEX_OPT_MISSING, 2, missing_keys, default_missing);
    append_defaults();
    const char *distkey = nullptr;
    check_options(distkey);

    Timer timer_input;
    std::cerr << "Data input..." << std::flush;
    memory = memory_from_gigabytes(opt_double(INDEX_OPT_MEMORY));
    open_input(opt_text(INDEX_OPT_INPUT));
    detect_variables();
    read_shapes();
    if (data_mode())
        select_measure(distkey);
    load_input();
    std::cerr << " " << timer_input.get_run_time() << " sec" << std::endl;

    int seed = opt_int(INDEX_OPT_RANDOM_SEED);
    if (seed > 0) {
        std::srand(seed);
        std::cerr << "Random seed from user = " << seed << std::endl;
    } else {
        seed = Timer::randomness();
        std::cerr << "Random seed from time = " << seed << std::endl;
        std::srand(seed);
    }

    if (engine == ENGINE_DENSE) {
        dense_distances();
    } else {
        plan_distance_count();
        init_distances();
        if (data_mode())
            distances_from_data();
        else
            given_distances();
    }

    engine_line();
    std::cerr << "Running hierarchical clustering..." << std::flush;
    Timer timer_clustering;
    if (engine == ENGINE_DENSE)
        dense_cluster();
    else
        cluster();
    std::cerr << " " << timer_clustering.get_run_time() << " sec" << std::endl;
    if (opt_given(INDEX_OPT_QUALITY)) {
        std::cerr << "Measuring clustering quality..." << std::flush;
        Timer timer_quality;
        write_quality(opt_text(INDEX_OPT_QUALITY), measure_merges());
        std::cerr << " " << timer_quality.get_run_time() << " sec" << std::endl;
    }
    std::cerr << "Program running time was " << timer_global.get_run_time() << " sec" << std::endl;
    return 0;
}

} // namespace

int matrix_usable(int i)
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

void list_usable_matrices()
{
    switch (cluster_mode()) {
    case CLUSTER_DISTMAT:
        std::cerr << HEADER_DISTMAT << std::endl;
        break;
    case CLUSTER_DISTLIST:
        std::cerr << HEADER_DISTLIST << std::endl;
        break;
    default:
        std::cerr << HEADER_DATA << std::endl;
    }
    for (int i = 0; i < in->num_vars(); i++) {
        if (!candidate(i))
            continue;
        NcVar *var = in->get_var(i);
        std::cerr << " " << var->name() << " : " << type_word(var->type()) << var->name() << "("
                  << var->get_dim(0)->name() << "=" << var->get_dim(0)->size();
        if (var->num_dims() == 2)
            std::cerr << "," << var->get_dim(1)->name() << "=" << var->get_dim(1)->size();
        std::cerr << ")" << std::endl;
    }
}

void open_input(const char *name)
{
    if (!HeaderWalk(name).sound())
        refuse(std::string(MSG_OPEN_FAILED) + name);
    {
        // Only while opening are the library's errors silent and non-fatal;
        // afterwards its own behaviour holds again.
        NcError quiet(NcError::silent_nonfatal);
        in = new NcFile(name, NcFile::ReadOnly, nullptr, 0, NcFile::Classic);
    }
    if (!in->is_valid() || !complete_file(name))
        refuse(std::string(MSG_OPEN_FAILED) + name);
}

void detect_variables()
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
            if (matvar != -1) {
                std::cerr << MSG_SEVERAL_USABLE << std::endl;
                list_usable_matrices();
                brivane_exit(1);
            }
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
        if (data_given) {
            std::cerr << MSG_VARIABLE_NOT_FOUND << std::endl;
            list_usable_matrices();
            brivane_exit(1);
        }
        refuse(cluster_mode() == CLUSTER_DISTMAT    ? MSG_NONE_DISTMAT
               : cluster_mode() == CLUSTER_DISTLIST ? MSG_NONE_DISTLIST
                                                    : MSG_NONE_DATA);
    }
}

void read_shapes()
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
        N = (int)rows;
        C = (int)cols;
        charge_input(typesize[type] * rows * cols);
        if (cluster_mode() == CLUSTER_COLS) {
            clust_dim = var->get_dim(1);
            N = (int)cols;
            C = (int)rows;
        }
        break;
    }
    case CLUSTER_DISTMAT: {
        int64_t n = var->get_dim(0)->size();
        check_count(n * n);
        clust_dim = var->get_dim(0);
        N = (int)n;
        matrix_input = typesize[type] * n * n;
        break;
    }
    case CLUSTER_DISTLIST: {
        int64_t m = var->get_dim(0)->size();
        check_count(m);
        M = (int)m;
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
        N = (int)clust_dim->size();
        charge_input((int64_t)(typesize[from->type()] + typesize[to->type()] + typesize[type]) * m);
        break;
    }
    }
    if (N == 0)
        refuse(MSG_NO_OBJECTS);
    choose_engine(matrix_input);
}

void load_input()
{
    if (engine == ENGINE_DENSE && dense_reads_blocks())
        return;
    NcVar *var = in->get_var(matvar);
    switch (type) {
    case ncChar:
        xc = load_values<char>(var);
        break;
    case ncInt:
        xi = load_values<int>(var);
        break;
    case ncFloat:
        xf = load_values<float>(var);
        break;
    case ncDouble:
        xd = load_values<double>(var);
        break;
    }
    if (cluster_mode() == CLUSTER_DISTLIST) {
        distfrom = read_whole<int>(in->get_var(fromvar));
        distto = read_whole<int>(in->get_var(tovar));
        check_objects(distfrom, "start-objects (--from)");
        check_objects(distto, "end-objects (--to)");
    }
}

int64_t memory_from_gigabytes(double gigabytes)
{
    const double limit = 4611686018427387904.0; // 2^62
    double bytes = gigabytes * 1024 * 1024 * 1024;
    if (bytes > limit)
        return INT64_C(4611686018427387904);
    if (bytes < -limit)
        return -INT64_C(4611686018427387904);
    return (int64_t)bytes;
}

std::string memory_need_line(int64_t bytes)
{
    int64_t input = memory_from_gigabytes(opt_double(INDEX_OPT_MEMORY)) - memory;
    double gigabytes = std::ceil((double)(bytes + input) / (1024.0 * 1024 * 1024) * 100) / 100;
    char line[96];
    snprintf(line, sizeof line, MSG_MEMORY_NEED, gigabytes);
    return line;
}

int64_t all_pairs(int n)
{
    if (n < 2)
        return 0;
    return (int64_t)n * (n - 1) / 2;
}

int64_t sample_count(double time_budget, double sample_seconds, int n)
{
    if (!(sample_seconds > 0))
        return all_pairs(n);
    double count = 100 * 0.5 * time_budget / sample_seconds + 1.0;
    if (count > INT32_MAX)
        return INT32_MAX;
    if (count < INT32_MIN)
        return INT32_MIN;
    return (int64_t)count;
}

int bound_num_distances(int64_t wanted, int64_t memory, int n)
{
    int64_t count = wanted;
    if (count * BYTES_PER_DISTANCE > memory)
        count = memory / BYTES_PER_DISTANCE;
    if (count < 20 * (int64_t)n)
        count = 20 * (int64_t)n;
    if (count > all_pairs(n))
        count = all_pairs(n);
    if (count > STORE_MAX_PAIRS)
        count = STORE_MAX_PAIRS;
    return (int)count;
}

int main_arg()
{
    try {
        return run();
    } catch (const std::bad_alloc &) {
        std::cerr << MSG_OUT_OF_MEMORY << std::endl;
        brivane_exit(1);
    }
}
