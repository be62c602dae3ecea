// header_check: classic headers beyond the legacy interface's limits are
// refused with a message naming the limit, damaged ones without, and a file
// cut short of what its header promises is told apart from a whole one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include <netcdf.h>

#include "header_check.h"

namespace {

// A CDF-1 header built byte by byte: dimensions of length 1, variables of
// type int over the first `var_dims` dimensions, no attributes but `atts`
// global ones; names of `name_length` bytes.
struct Shape {
    int dims = 1;
    int vars = 1;
    int var_dims = 1;
    int atts = 0;
    int name_length = 1;
};

void be32(std::string &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((v >> shift) & 0xff);
}

void name(std::string &out, int length, int k)
{
    std::string text(length, 'a');
    text[0] = static_cast<char>('a' + k % 26);
    if (length > 1)
        text[1] = static_cast<char>('a' + k / 26 % 26);
    if (length > 2)
        text[2] = static_cast<char>('a' + k / 676 % 26);
    be32(out, length);
    out += text;
    out.append((4 - length % 4) % 4, '\0');
}

std::string classic_header(const Shape &s)
{
    std::string out = "CDF\x01";
    be32(out, 0);
    be32(out, s.dims ? 10 : 0);
    be32(out, s.dims);
    for (int d = 0; d < s.dims; d++) {
        name(out, s.name_length, d);
        be32(out, 1);
    }
    be32(out, s.atts ? 12 : 0);
    be32(out, s.atts);
    for (int a = 0; a < s.atts; a++) {
        name(out, 4, a);
        be32(out, NC_CHAR);
        be32(out, 1);
        out += std::string("x\0\0\0", 4);
    }
    be32(out, s.vars ? 11 : 0);
    be32(out, s.vars);
    for (int v = 0; v < s.vars; v++) {
        name(out, s.name_length, v);
        be32(out, s.var_dims);
        for (int k = 0; k < s.var_dims; k++)
            be32(out, k % (s.dims ? s.dims : 1));
        be32(out, 0);
        be32(out, 0);
        be32(out, NC_INT);
        be32(out, 4);
        be32(out, 0);
    }
    return out + std::string(64, '\0');
}

class HeaderCheckTest : public ::testing::Test {
  protected:
    std::string file_ = "/tmp/header_check_test_" + std::to_string(getpid()) + ".nc";
    void TearDown() override { std::remove(file_.c_str()); }
    HeaderCheck check(const std::string &bytes)
    {
        std::ofstream(file_, std::ios::binary) << bytes;
        return check_header(file_.c_str());
    }
};

TEST_F(HeaderCheckTest, CountsAndNamesBeyondTheInterfacesArraysAreRefusedNamingTheLimit)
{
    struct {
        const char *what;
        Shape shape;
        std::string message;  // empty: openable
    } cases[] = {
        {"small", {}, ""},
        {"names of 256 bytes", {1, 1, 1, 0, 256}, ""},
        {"1024 dimensions, 8192 variables", {1024, 8192, 1, 0, 3}, ""},
        {"a name of 257 bytes", {1, 1, 1, 0, 257}, "holds a name of 257 bytes; at most 256 can be read!"},
        {"a name of 5000 bytes", {1, 1, 1, 0, 5000}, "holds a name of 5000 bytes; at most 256 can be read!"},
        {"1025 dimensions", {1025, 1, 1, 0, 3}, "holds 1025 dimensions; at most 1024 can be read!"},
        {"8193 variables", {1, 8193, 1, 0, 3}, "holds 8193 variables; at most 8192 can be read!"},
        {"8300 variables", {1, 8300, 1, 0, 3}, "holds 8300 variables; at most 8192 can be read!"},
        {"8193 attributes", {1, 1, 1, 8193, 3}, "holds 8193 attributes in one list; at most 8192 can be read!"},
        {"a variable over 1025 dimensions", {2, 1, 1025, 0, 3},
         "holds a variable over 1025 dimensions; at most 1024 can be read!"},
    };
    for (const auto &c : cases) {
        HeaderCheck result = check(classic_header(c.shape));
        EXPECT_EQ(result.openable, c.message.empty()) << c.what;
        if (!c.message.empty()) {
            EXPECT_EQ(result.limit, "ERROR! The file " + file_ + " " + c.message) << c.what;
        }
    }
}

TEST_F(HeaderCheckTest, DamagedHeadersAreRefusedWithoutALimitAndForeignFilesToo)
{
    std::string whole = classic_header({});
    std::string huge_name = "CDF\x01";
    be32(huge_name, 0);
    be32(huge_name, 10);
    be32(huge_name, 1);
    be32(huge_name, 0x7ffffff0);  // a name of two gigabytes in a file of bytes
    struct {
        const char *what;
        std::string bytes;
        bool openable;
    } cases[] = {
        {"header cut short", whole.substr(0, 20), false},
        {"name longer than the file", huge_name + std::string(16, 'a'), false},
        {"text file", "hello, world\n", false},
        {"empty file", "", false},
    };
    for (const auto &c : cases) {
        HeaderCheck result = check(c.bytes);
        EXPECT_EQ(result.openable, c.openable) << c.what;
        EXPECT_EQ(result.limit, "") << c.what;
    }
    EXPECT_FALSE(check_header("/nonexistent/file.nc").openable);
}

TEST_F(HeaderCheckTest, FileCutShortOrWithAHugeRecordCountDoesNotHoldEveryByte)
{
    // A record variable of 100 doubles, written by the library.
    int ncid, dim, var;
    ASSERT_EQ(nc_create(file_.c_str(), NC_CLOBBER, &ncid), NC_NOERR);
    ASSERT_EQ(nc_def_dim(ncid, "time", NC_UNLIMITED, &dim), NC_NOERR);
    ASSERT_EQ(nc_def_var(ncid, "x", NC_DOUBLE, 1, &dim, &var), NC_NOERR);
    ASSERT_EQ(nc_enddef(ncid), NC_NOERR);
    double values[100] = {0};
    size_t start = 0, count = 100;
    ASSERT_EQ(nc_put_vara_double(ncid, var, &start, &count, values), NC_NOERR);
    ASSERT_EQ(nc_close(ncid), NC_NOERR);
    std::ifstream in(file_, std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string huge_records = whole;
    huge_records.replace(4, 4, std::string("\x7f\xff\xff\xff", 4));
    struct {
        const char *what;
        std::string bytes;
        bool whole;
    } cases[] = {
        {"as written", whole, true},
        {"cut by 8 bytes", whole.substr(0, whole.size() - 8), false},
        {"2^31-1 records", huge_records, false},
    };
    for (const auto &c : cases) {
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << c.bytes;
        ASSERT_TRUE(check_header(file_.c_str()).openable) << c.what;
        ASSERT_EQ(nc_open(file_.c_str(), NC_NOWRITE, &ncid), NC_NOERR) << c.what;
        EXPECT_EQ(holds_every_byte(ncid, file_.c_str()), c.whole) << c.what;
        nc_close(ncid);
    }
}

} // namespace
