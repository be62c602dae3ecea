// The output layout's format arithmetic, checked against the netCDF library
// itself: each layout is defined in a real file (without fill values, so that
// the files of gigabytes stay sparse) and the library's verdict compared.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <netcdf.h>

#include "output_layout.h"

namespace {

class OutputLayout : public ::testing::Test {
  protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/brivane_layout_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override
    {
        unlink(file().c_str());
        rmdir(dir.c_str());
    }
    std::string file() const { return dir + "/layout.nc"; }

    // Defines the layout in a file of `format`; the library's status at the
    // end of the definition, and the file's size in `size`.
    int library_verdict(const layout_t &layout, int format, int64_t *size = nullptr)
    {
        int nc, status;
        int mode = NC_CLOBBER | (format == FORMAT_64BIT_OFFSET ? NC_64BIT_OFFSET : 0);
        if ((status = nc_create(file().c_str(), mode, &nc)) != NC_NOERR)
            return status;
        nc_set_fill(nc, NC_NOFILL, nullptr);
        std::vector<int> dims;
        for (const layout_dim_t &d : layout.dims) {
            int id;
            status = nc_def_dim(nc, d.name.c_str(), d.length == 0 ? NC_UNLIMITED : (size_t)d.length, &id);
            if (status != NC_NOERR) {
                nc_abort(nc);
                return status;
            }
            dims.push_back(id);
        }
        for (const layout_var_t &v : layout.vars) {
            nc_type t = v.value_bytes == 1   ? NC_BYTE
                        : v.value_bytes == 2 ? NC_SHORT
                        : v.value_bytes == 4 ? NC_INT
                                             : NC_DOUBLE;
            std::vector<int> ids;
            for (int d : v.dims)
                ids.push_back(dims[d]);
            int id;
            EXPECT_EQ(nc_def_var(nc, v.name.c_str(), t, (int)ids.size(), ids.data(), &id), NC_NOERR);
            for (const layout_att_t &a : v.atts)
                nc_put_att_text(nc, id, a.name.c_str(), (size_t)a.bytes, std::string(a.bytes, 'u').c_str());
        }
        status = nc_enddef(nc);
        nc_close(nc);
        struct stat st;
        if (size && stat(file().c_str(), &st) == 0)
            *size = st.st_size;
        return status;
    }
};

layout_var_t bytes(const std::string &name, std::vector<int> dims, int value_bytes = 1)
{
    return {name, value_bytes, dims, {}};
}

TEST_F(OutputLayout, HeaderBytesAreWhatTheLibraryWrites)
{
    layout_t layout;
    layout.dims = {{"row_nodes", 9}, {"x", 3}, {"abcde", 10}};
    layout.vars = {{"row_left", 4, {0}, {}},
                   {"v", 8, {1, 2}, {{"units", 5}, {"long_name", 12}}},
                   {"tail", 4, {2}, {{"u", 1}}}};
    for (int format : {FORMAT_CLASSIC, FORMAT_64BIT_OFFSET}) {
        int64_t size = 0;
        ASSERT_EQ(library_verdict(layout, format, &size), NC_NOERR);
        EXPECT_EQ(layout_header_bytes(layout, format) + 36 + 240 + 40, size) << "format " << format;
    }
}

TEST_F(OutputLayout, FitsWhereTheLibraryDefinesTheFile)
{
    struct Case {
        const char *what;
        layout_t layout;
        int format;   // what layout_format chooses
    };
    const std::vector<Case> cases = {
        {"small", {{{"n", 10}}, {bytes("a", {0}), bytes("b", {0})}}, FORMAT_CLASSIC},
        {"the second variable starts just below 2^31",
         {{{"a", 2000000000}, {"b", 147483000}, {"c", 10}}, {bytes("a", {0}), bytes("b", {1}), bytes("c", {2})}},
         FORMAT_CLASSIC},
        {"the third variable starts at 2^31",
         {{{"a", 2000000000}, {"b", 147483700}, {"c", 10}}, {bytes("a", {0}), bytes("b", {1}), bytes("c", {2})}},
         FORMAT_64BIT_OFFSET},
        {"the last variable beyond 2^31 bytes",
         {{{"s", 10}, {"r", 50000}}, {bytes("a", {0}), bytes("big", {1, 1})}}, FORMAT_CLASSIC},
        {"a variable beyond 2^31 bytes before another",
         {{{"s", 10}, {"r", 50000}}, {bytes("big", {1, 1}), bytes("a", {0})}}, FORMAT_64BIT_OFFSET},
        {"a variable beyond 2^32 bytes before another",
         {{{"s", 10}, {"r", 50000}}, {bytes("big", {1, 1}, 4), bytes("a", {0})}}, FORMAT_NONE},
        {"a variable beyond 2^32 bytes last",
         {{{"s", 10}, {"r", 50000}}, {bytes("a", {0}), bytes("big", {1, 1}, 8)}}, FORMAT_CLASSIC},
        {"two variables beyond 2^31 bytes, each below 2^32",
         {{{"r", 50000}}, {bytes("a", {0, 0}), bytes("b", {0, 0})}}, FORMAT_64BIT_OFFSET},
        {"a dimension beyond 2^31-4", {{{"d", 2147483645}}, {bytes("a", {0})}}, FORMAT_64BIT_OFFSET},
        {"a dimension beyond 2^32-4", {{{"d", 4294967293}}, {bytes("a", {0})}}, FORMAT_NONE},
        {"record variables after a large fixed one",
         {{{"t", 0}, {"r", 50000}}, {bytes("big", {1, 1}), bytes("rec", {0, 1})}}, FORMAT_64BIT_OFFSET},
        {"record variables after a fixed one beyond 2^32 bytes",
         {{{"t", 0}, {"r", 50000}}, {bytes("big", {1, 1}, 2), bytes("rec", {0, 1})}}, FORMAT_NONE},
        {"one record variable beyond the limit, last",
         {{{"t", 0}, {"r", 50000}}, {bytes("rec", {0, 1}), bytes("huge", {0, 1, 1}, 2)}}, FORMAT_CLASSIC},
        {"the record variables start beyond 2^31",
         {{{"t", 0}, {"r", 40000}}, {bytes("a", {1, 1}), bytes("b", {1, 1}), bytes("rec", {0, 1})}},
         FORMAT_64BIT_OFFSET},
        {"the dendrogram of 44.8 million objects",
         {{{"nodes", 89600000}}, {bytes("left", {0}, 4), bytes("right", {0}, 4), bytes("start", {0}, 4),
                                  bytes("end", {0}, 4), bytes("old2new", {0}, 4), bytes("new2old", {0}, 4),
                                  bytes("distance", {0}, 8)}},
         FORMAT_64BIT_OFFSET},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(layout_format(c.layout), c.format) << c.what;
        for (int format : {FORMAT_CLASSIC, FORMAT_64BIT_OFFSET})
            EXPECT_EQ(layout_fits(c.layout, format), library_verdict(c.layout, format) == NC_NOERR)
                << c.what << ", format " << format;
    }
}

}  // namespace
