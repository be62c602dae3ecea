// The dendrogram's output file: the tree's variables and, under
// --output-data, a copy of every input variable with the clustered dimension
// put into the leaf order.  It reads a run's dendrogram arrays once the
// clustering has filled them and put the leaves in order.
#include "tree_file.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <netcdfcpp.h>

#include "brivane.h"
#include "brivane_arg.h"
#include "output_layout.h"
#include "run.h"
#include "safe_output.h"

// Messages of this module.
static const char *const MSG_WRITE_FAILED = "ERROR! Error writing output file ";
static const char *const MSG_UNSUPPORTED_TYPE_1 = "ERROR! Variable '";
static const char *const MSG_UNSUPPORTED_TYPE_2 = "' is of unsupported type and cannot be output!";
static const char *const MSG_PERMUTING = "Permuting ";

// The library's error state while the output is written (its errors are
// silent and non-fatal then); the last error it recorded names the cause of a
// failed step, on standard error after the ERROR line.
static NcError *write_errors = nullptr;

// Points write_errors at the library's error state for one write, and away
// from it again however the write ends.
struct WriteErrorsScope {
    explicit WriteErrorsScope(NcError &errors) { write_errors = &errors; }
    ~WriteErrorsScope() { write_errors = nullptr; }
};

static std::string library_cause()
{
    int err = write_errors ? write_errors->get_err() : NC_NOERR;
    return err != NC_NOERR ? write_errors->get_errmsg() : "";
}

static bool copyable_type(NcType t)
{
    return t == ncByte || t == ncChar || t == ncShort || t == ncInt || t == ncFloat ||
           t == ncDouble;
}

// The format that plan_output chose for the output's size.
static NcFile::FileFormat created_format()
{
    return output_format() == FORMAT_64BIT_OFFSET ? NcFile::Offset64Bits : NcFile::Classic;
}

// The output is written to a temporary file and put in place only when
// complete (safe_output.h), so that a failed run never destroys an earlier
// result nor leaves a truncated one.
class OutputFile {
  public:
    explicit OutputFile(const char *name) : name_(name), out_(name)
    {
        if (!out_.ok())
            fail(out_.error());
        file_ = new NcFile(out_.path().c_str(), NcFile::Replace, nullptr, 0, created_format());
        if (!file_->is_valid())
            fail();
    }

    ~OutputFile() { delete file_; }

    NcFile *file() { return file_; }

    void check(bool ok)
    {
        if (!ok)
            fail();
    }

    void commit()
    {
        check(file_->close());
        delete file_;
        file_ = nullptr;
        if (!out_.commit())
            fail(out_.error());
    }

    // The system's reason follows the name where the failure was the
    // system's; the library's own text follows on a line of its own.
    [[noreturn]] void fail(const std::string &reason = "")
    {
        out_.discard();
        std::string message = MSG_WRITE_FAILED + std::string(name_) + (reason.empty() ? "" : ": " + reason);
        std::string cause = library_cause();
        if (!cause.empty())
            message += "\n" + cause;
        refuse(message);
    }

  private:
    const char *name_;
    SafeOutput out_;
    NcFile *file_ = nullptr;
};

void check_output_file(const char *name)
{
    SafeOutput probe(name);
    if (!probe.ok())
        refuse(MSG_WRITE_FAILED + std::string(name) + ": " + probe.error());
}

// One input variable and its copy, with the block layout of the copy: a
// block spans every dimension but the first clustered one, which it crosses
// one index at a time; further clustered dimensions (a distance matrix has
// two) are permuted inside the block, so that the copy takes N reads and
// writes instead of one per element.
struct VarCopy {
    NcVar *from;
    NcVar *to;
    int ndims;
    std::vector<bool> permuted;  // by dimension: is it the clustered one
    std::vector<long> extent;    // block extent along each dimension
    int first_permuted = -1;     // the dimension the blocks run along
    int64_t blocks = 1;          // N if the variable has the clustered dimension
    int64_t block_len = 1;       // elements per block
    bool has_permuted = false;   // the variable has the clustered dimension
};

// Puts the block's entries along dimension k into the leaf order: entry p
// of the result is entry new2old[p] of the block.
template <class T> static void permute_block(const Run &run, const VarCopy &c, int k, T *block, T *scratch)
{
    const int object_count = run.object_count;
    const int32_t *new2old = run.new2old;
    int64_t inner = 1;
    for (int m = k + 1; m < c.ndims; m++)
        inner *= c.extent[m];
    int64_t outer = c.block_len / (inner * object_count);
    for (int64_t o = 0; o < outer; o++) {
        T *base = block + o * object_count * inner;
        for (int p = 0; p < object_count; p++)
            std::copy(base + new2old[p] * inner, base + (new2old[p] + 1) * inner, scratch + p * inner);
        std::copy(scratch, scratch + object_count * inner, base);
    }
}

template <class T> static void copy_var(const Run &run, OutputFile &out, const VarCopy &c)
{
    if (c.block_len == 0)
        return;
    std::vector<T> buf(c.block_len);
    bool more_permuted = false;
    for (int k = c.first_permuted + 1; k < c.ndims && c.has_permuted; k++)
        more_permuted = more_permuted || c.permuted[k];
    std::vector<T> scratch(more_permuted ? c.block_len : 0);
    std::vector<long> in_corner(c.ndims, 0), out_corner(c.ndims, 0);
    for (int64_t b = 0; b < c.blocks; b++) {
        if (c.has_permuted) {
            out_corner[c.first_permuted] = (long)b;
            in_corner[c.first_permuted] = run.new2old[b];
        }
        out.check(c.from->set_cur(in_corner.data()));
        out.check(c.from->get(buf.data(), c.extent.data()));
        for (int k = c.first_permuted + 1; k < c.ndims && more_permuted; k++)
            if (c.permuted[k])
                permute_block(run, c, k, buf.data(), scratch.data());
        out.check(c.to->set_cur(out_corner.data()));
        out.check(c.to->put(buf.data(), c.extent.data()));
    }
}

static void copy_var_typed(const Run &run, OutputFile &out, const VarCopy &c)
{
    switch (c.from->type()) {
    case ncByte:
        copy_var<ncbyte>(run, out, c);
        break;
    case ncChar:
        copy_var<char>(run, out, c);
        break;
    case ncShort:
        copy_var<short>(run, out, c);
        break;
    case ncInt:
        copy_var<int>(run, out, c);
        break;
    case ncFloat:
        copy_var<float>(run, out, c);
        break;
    default:
        copy_var<double>(run, out, c);
        break;
    }
}

// Units, long names and fill values go with the copied values; netCDF-4
// types the output cannot hold stay behind.
static void copy_attributes(OutputFile &out, int from_var, int to_var)
{
    for (const std::string &name : copied_attributes(from_var))
        out.check(NcError::set_err(nc_copy_att(in->id(), from_var, name.c_str(), out.file()->id(), to_var)) ==
                  NC_NOERR);
}

// Defines the copy of every input variable in the output file.
static std::vector<VarCopy> define_data_copy(OutputFile &out, int objects)
{
    NcFile *f = out.file();
    for (int i = 0; i < in->num_dims(); i++) {
        NcDim *d = in->get_dim(i);
        // The legacy interface hands back a dimension object even when the
        // library refused the name; only a lookup tells whether it exists.
        f->add_dim(d->name(), d->size());
        out.check(write_errors->get_err() == NC_NOERR && f->get_dim(d->name()) != nullptr);
    }
    std::vector<VarCopy> copies;
    for (int i = 0; i < in->num_vars(); i++) {
        VarCopy c;
        c.from = in->get_var(i);
        c.ndims = c.from->num_dims();
        std::vector<const NcDim *> dims;
        for (int k = 0; k < c.ndims; k++) {
            NcDim *d = c.from->get_dim(k);
            bool permuted = std::strcmp(d->name(), clust_dim->name()) == 0;
            bool first = permuted && !c.has_permuted;
            c.permuted.push_back(permuted);
            c.extent.push_back(first ? 1 : d->size());
            c.block_len *= first ? 1 : d->size();
            if (first) {
                c.first_permuted = k;
                c.blocks = objects;
                c.has_permuted = true;
            }
            dims.push_back(f->get_dim(d->name()));
        }
        c.to = f->add_var(c.from->name(), c.from->type(), c.ndims, dims.data());
        out.check(c.to != nullptr && c.to->is_valid());
        copy_attributes(out, i, c.to->id());
        copies.push_back(c);
    }
    return copies;
}

void refuse_uncopyable_types()
{
    for (int i = 0; i < in->num_vars(); i++) {
        NcVar *v = in->get_var(i);
        if (!copyable_type(v->type()))
            refuse(MSG_UNSUPPORTED_TYPE_1 + std::string(v->name()) + MSG_UNSUPPORTED_TYPE_2);
    }
}

static void write_output(const Run &run)
{
    const char *name = opt_text(INDEX_OPT_OUTPUT);
    string_vector *prefix_list = opt_text_list(INDEX_OPT_PREFIX);
    std::string prefix = prefix_list && !prefix_list->empty() ? (*prefix_list)[0] : "";
    bool with_data = opt_given(INDEX_OPT_OUTPUT_DATA);

    if (with_data)
        refuse_uncopyable_types();

    // Library errors are handled here, so that the temporary file is removed
    // and the cause reported on standard error.
    NcError errors(NcError::silent_nonfatal);
    NcError::set_err(NC_NOERR);
    WriteErrorsScope scope(errors);
    OutputFile out(name);
    NcFile *f = out.file();
    long nodes = 2L * run.object_count - 1;
    NcDim *dim = f->add_dim((prefix + "nodes").c_str(), nodes);
    out.check(dim != nullptr);
    const int32_t *values[6] = {run.leftnode, run.rightnode, run.start, run.end, run.old2new, run.new2old};
    NcVar *vars[7];
    for (int k = 0; k < 7; k++) {
        vars[k] = f->add_var((prefix + DENDROGRAM_SUFFIXES[k]).c_str(), k < 6 ? ncInt : ncDouble, dim);
        out.check(vars[k] != nullptr);
    }
    // Everything is defined before anything is written: leaving and
    // re-entering define mode would move all data written so far.
    std::vector<VarCopy> copies;
    if (with_data)
        copies = define_data_copy(out, run.object_count);

    for (int k = 0; k < 6; k++)
        out.check(vars[k]->put(values[k], nodes));
    out.check(vars[6]->put(run.dst, nodes));

    for (const VarCopy &c : copies) {
        if (c.has_permuted)
            std::cerr << MSG_PERMUTING << c.from->name() << std::endl;
        copy_var_typed(run, out, c);
    }
    out.commit();
}

void write_dendrogram(const Run &run)
{
    write_output(run);
}

