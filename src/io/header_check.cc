// The checks of a NetCDF file's header before the netCDF library reads it.
#include "header_check.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include <netcdf.h>

namespace {

const char MSG_TOO_MANY_DIMENSIONS[] = "ERROR! The file %s holds %lld dimensions; at most %d can be read!";
const char MSG_TOO_MANY_VARIABLES[] = "ERROR! The file %s holds %lld variables; at most %d can be read!";
const char MSG_TOO_MANY_ATTRIBUTES[] = "ERROR! The file %s holds %lld attributes in one list; at most %d can be read!";
const char MSG_TOO_MANY_VARIABLE_DIMENSIONS[] =
    "ERROR! The file %s holds a variable over %lld dimensions; at most %d can be read!";
const char MSG_NAME_TOO_LONG[] = "ERROR! The file %s holds a name of %lld bytes; at most %d can be read!";

std::string limit_message(const char *format, const char *file, int64_t found, int most)
{
    int size = std::snprintf(nullptr, 0, format, file, (long long)found, most);
    std::string text(size + 1, '\0');
    std::snprintf(&text[0], text.size(), format, file, (long long)found, most);
    text.resize(size);
    return text;
}

int64_t saturated_add(int64_t a, int64_t b)
{
    int64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

int64_t saturated_mul(int64_t a, int64_t b)
{
    int64_t product;
    return __builtin_mul_overflow(a, b, &product) ? INT64_MAX : product;
}

// A walk over the header of a classic-format file (CDF-1, -2 or -5) that
// checks that every count, name and attribute fits into the bytes the file
// has, and that no count or name exceeds what the legacy interface holds.
class HeaderWalk {
  public:
    explicit HeaderWalk(const char *name) : name_(name), file_(std::fopen(name, "rb"))
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

    // True for a sound classic header; `classic` tells whether it is one.
    bool sound(bool &classic)
    {
        unsigned char magic[4];
        classic = false;
        if (!file_ || std::fread(magic, 1, 4, file_) != 4 || std::memcmp(magic, "CDF", 3) != 0)
            return true;
        if (magic[3] != 1 && magic[3] != 2 && magic[3] != 5)
            return true;
        classic = true;
        pos_ = 4;
        count_bytes_ = magic[3] == 5 ? 8 : 4;
        offset_bytes_ = magic[3] == 1 ? 4 : 8;
        int64_t records, dims;
        return number(count_bytes_, records, true) && dimensions(dims) && attributes() && variables(dims);
    }

    // The message of the limit that failed the walk; empty if none did.
    const std::string &limit() const { return limit_; }

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

    // False, with the message, when `found` exceeds `most`.
    bool within(const char *format, int64_t found, int most)
    {
        if (found <= most)
            return true;
        limit_ = limit_message(format, name_, found, most);
        return false;
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
        return number(count_bytes_, length) && length > 0 && fits(length, 1) &&
               within(MSG_NAME_TOO_LONG, length, NC_MAX_NAME) && skip(length);
    }

    bool dimensions(int64_t &dims)
    {
        if (!list(NC_DIMENSION_TAG, 2 * count_bytes_, dims) || !within(MSG_TOO_MANY_DIMENSIONS, dims, NC_MAX_DIMS))
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
        if (!list(NC_ATTRIBUTE_TAG, 8 + 2 * count_bytes_, atts) || !within(MSG_TOO_MANY_ATTRIBUTES, atts, NC_MAX_ATTRS))
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
        if (!list(NC_VARIABLE_TAG, 16 + 3 * count_bytes_, vars) || !within(MSG_TOO_MANY_VARIABLES, vars, NC_MAX_VARS))
            return false;
        for (int64_t v = 0; v < vars; v++) {
            if (!name() || !number(count_bytes_, var_dims) || !fits(var_dims, count_bytes_) ||
                !within(MSG_TOO_MANY_VARIABLE_DIMENSIONS, var_dims, NC_MAX_VAR_DIMS))
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

    const char *name_;
    std::FILE *file_;
    int64_t size_ = 0;
    int64_t pos_ = 0;
    int count_bytes_ = 4;
    int offset_bytes_ = 4;
    std::string limit_;
};

// The counts of a file of another format (netCDF-4), through the C library,
// which keeps them in lists of their own length and limits names itself.
HeaderCheck check_by_inquiry(const char *name)
{
    int ncid;
    if (nc_open(name, NC_NOWRITE, &ncid) != NC_NOERR)
        return {false, ""};
    int ndims = 0, nvars = 0, ngatts = 0, unlimited;
    HeaderCheck check{nc_inq(ncid, &ndims, &nvars, &ngatts, &unlimited) == NC_NOERR, ""};
    if (check.openable && ndims > NC_MAX_DIMS)
        check = {false, limit_message(MSG_TOO_MANY_DIMENSIONS, name, ndims, NC_MAX_DIMS)};
    else if (check.openable && nvars > NC_MAX_VARS)
        check = {false, limit_message(MSG_TOO_MANY_VARIABLES, name, nvars, NC_MAX_VARS)};
    else if (check.openable && ngatts > NC_MAX_ATTRS)
        check = {false, limit_message(MSG_TOO_MANY_ATTRIBUTES, name, ngatts, NC_MAX_ATTRS)};
    for (int v = 0; check.openable && v < nvars; v++) {
        int var_dims = 0, natts = 0;
        if (nc_inq_varndims(ncid, v, &var_dims) != NC_NOERR || nc_inq_varnatts(ncid, v, &natts) != NC_NOERR)
            check = {false, ""};
        else if (var_dims > NC_MAX_VAR_DIMS)
            check = {false, limit_message(MSG_TOO_MANY_VARIABLE_DIMENSIONS, name, var_dims, NC_MAX_VAR_DIMS)};
        else if (natts > NC_MAX_ATTRS)
            check = {false, limit_message(MSG_TOO_MANY_ATTRIBUTES, name, natts, NC_MAX_ATTRS)};
    }
    nc_close(ncid);
    return check;
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
        bytes = saturated_add(bytes, name_bytes(name, count_bytes) + 4 + count_bytes);
        bytes = saturated_add(bytes, (saturated_mul((int64_t)length, (int64_t)size) + 3) / 4 * 4);
    }
    return bytes;
}

} // namespace

HeaderCheck check_header(const char *name)
{
    HeaderWalk walk(name);
    bool classic;
    if (!walk.sound(classic))
        return {false, walk.limit()};
    if (classic)
        return {true, ""};
    return check_by_inquiry(name);
}

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
    bytes = saturated_add(bytes, attributes_bytes(ncid, NC_GLOBAL, ngatts, count));
    bytes += 4 + count;
    for (int v = 0; v < nvars; v++) {
        char name[NC_MAX_NAME + 1];
        nc_type var_type;
        int var_ndims, natts, dimids[NC_MAX_VAR_DIMS];
        size_t size;
        nc_inq_var(ncid, v, name, &var_type, &var_ndims, dimids, &natts);
        nc_inq_type(ncid, var_type, nullptr, &size);
        bytes = saturated_add(bytes, name_bytes(name, count) + count + var_ndims * count + 4 + count + offset);
        bytes = saturated_add(bytes, attributes_bytes(ncid, v, natts, count));
        int64_t values = (int64_t)size;
        for (int k = 0; k < var_ndims; k++) {
            size_t length;
            nc_inq_dimlen(ncid, dimids[k], &length);
            values = saturated_mul(values, dimids[k] == unlimited ? (int64_t)records : (int64_t)length);
        }
        bytes = saturated_add(bytes, values);
    }
    return bytes;
}

bool holds_every_byte(int ncid, const char *name)
{
    int format;
    if (nc_inq_format(ncid, &format) != NC_NOERR)
        return false;
    if (format != NC_FORMAT_CLASSIC && format != NC_FORMAT_64BIT_OFFSET && format != NC_FORMAT_CDF5)
        return true;
    struct stat st;
    return stat(name, &st) == 0 && (int64_t)st.st_size >= classic_minimum_bytes(ncid, format);
}
