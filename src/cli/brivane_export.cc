// brivane-export: turns a dendrogram file written by brivane into the formats
// that other tools read.
//
//   linkage   the SciPy linkage matrix as text (scipy.cluster.hierarchy)
//   newick    the tree in Newick notation with branch lengths (phylogenetics
//             tools, Bio.Phylo, ete, R's ape)
//   treeview  the Cluster 3.0 file pair .cdt + .gtr/.atr that Java TreeView
//             opens (Eisen et al. 1998 format, de Hoon's Cluster 3.0)
//   picture   a PNG or SVG of the dendrogram beside a heatmap of the data in
//             leaf order, drawn with cairo
//   clusters  flat clusters cut from the tree, one line per object, with the
//             semantics of SciPy's fcluster (maxclust, distance)
//
// The file is read once into a `Dendrogram` whose node numbers follow SciPy:
// leaves are object indices, merge k (k = 0 ... N-2) is node N+k, the root is
// 2N-2.  brivane stores a leaf child by its leaf position instead; the
// conversion through new2old happens in one place, `read_dendrogram`, and
// every writer works with object indices only.  Nothing here recurses along
// the tree: chain-like dendrograms of a million leaves are walked with
// explicit stacks.
#include <cairo-svg.h>
#include <cairo.h>
#include <getopt.h>
#include <netcdfcpp.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "header_check.h"
#include "program_exit.h"
#include "safe_output.h"

// The export program is not linked with the clustering modules; its fatal
// ends go through the same hook as brivane's.
void brivane_exit(int status)
{
    std::exit(status);
}

namespace {

// ---------------------------------------------------------------------------
// Messages.  Each text lives here once; the callers add only the names.

const char USAGE[] =
    "Usage: brivane-export FORMAT -t TREE.nc -o OUT [options]\n"
    "Converts a dendrogram file written by brivane for other tools.\n"
    "\n"
    "FORMAT is one of:\n"
    "  linkage   SciPy linkage matrix as text, one row per merge in merge order:\n"
    "            child id, child id, merge distance, cluster size.  Leaves are\n"
    "            object indices, merge k (from 0) is N+k; +infinity is \"inf\".\n"
    "  newick    Newick tree; branch length = parent height - child height, leaves\n"
    "            at height 0.  Lengths below 0 (non-monotone trees: approximate\n"
    "            ones, centroid and median linkage) are written as 0.  Leaves are\n"
    "            labelled with -L, else object indices.\n"
    "  treeview  Cluster 3.0 / Java TreeView files OUT.cdt (data rows in leaf\n"
    "            order) and OUT.gtr (rows clustered) or OUT.atr (columns\n"
    "            clustered); node similarity = 1 - merge distance.  Needs data;\n"
    "            its other indices are named from col_name (or row_name) when the\n"
    "            data's file has it, as brivane-import writes them.\n"
    "  picture   dendrogram beside a heatmap of the data (when there is data);\n"
    "            OUT ending in .png gives a PNG, in .svg an SVG.  Rows beyond the\n"
    "            pixel height are averaged into pixel rows.\n"
    "  clusters  flat clusters, one line per object in object order: its label\n"
    "            (-L) or index, a tab, its cluster number 1...k, numbered in leaf\n"
    "            order.  -k K: the lowest cut that leaves at most K clusters;\n"
    "            -H HEIGHT: clusters whose merges all lie at HEIGHT or below (as\n"
    "            SciPy's fcluster with maxclust and distance).  A NaN merge\n"
    "            lies above every finite height and below +infinity: a +infinity\n"
    "            or NaN merge is inside no cluster cut at a finite height.\n"
    "\n"
    "Heights for newick, treeview and picture: a +infinity merge (brivane's\n"
    "random joins) is drawn at twice the largest finite merge distance (at 1 when\n"
    "that is 0, at the largest double when twice would overflow); a NaN merge at\n"
    "the height of its higher child.\n"
    "\n"
    "Options:\n"
    "  -t, --tree FILE      dendrogram file written by brivane (required)\n"
    "  -o, --output NAME    output file; \"-\" writes linkage, newick or clusters to\n"
    "                       standard output; for treeview the base name of the pair\n"
    "  -X, --prefix TEXT    prefix of the dendrogram variables (row_, col_ or\n"
    "                       empty); found from the dimension <prefix>nodes\n"
    "  -i, --input FILE     file with the data and labels in object order\n"
    "                       (brivane's input).  Without it they are read from the\n"
    "                       tree file, where brivane --output-data left them in\n"
    "                       leaf order.\n"
    "  -D, --data VAR       two-dimensional data variable; default: the only\n"
    "                       numeric matrix with N entries along the objects\n"
    "  -C, --cluster WHICH  rows or cols: which dimension of the data runs over\n"
    "                       the objects; default cols for prefix col_, else rows\n"
    "  -L, --labels VAR     char variable (objects x characters) of leaf labels\n"
    "  -W, --width PIXELS   picture width (default from the data size)\n"
    "  -H, --height PIXELS  picture height (default from the number of objects);\n"
    "                       for clusters the cut height\n"
    "  -k, --count K        clusters: at most K clusters\n"
    "  -h, --help           this text\n";

const char MSG_BAD_FORMAT[] = "ERROR! Unknown export format '";  // + word + "'"
const char MSG_NO_FORMAT[] = "ERROR! Name one export format: linkage, newick, treeview, picture or clusters";
const char MSG_NO_TREE[] = "ERROR! The dendrogram file must be given with -t";
const char MSG_NO_OUTPUT[] = "ERROR! The output name must be given with -o";
const char MSG_BAD_CLUSTER[] = "ERROR! -C takes rows or cols, not '";  // + word + "'"
const char MSG_BAD_SIZE[] = "ERROR! Picture width and height must be whole numbers from 64 to 20000";
const char MSG_BAD_PICTURE_NAME[] = "ERROR! The picture name must end in .png or .svg: ";
const char MSG_OPEN_TREE[] = "ERROR! Could not open dendrogram file ";
const char MSG_OPEN_INPUT[] = "ERROR! Could not open input file ";
const char MSG_WRITE[] = "ERROR! Could not write output file ";
const char MSG_NO_DENDROGRAM[] = "ERROR! No dendrogram found (no dimension named <prefix>nodes with a <prefix>left variable) in ";
const char MSG_SEVERAL_DENDROGRAMS[] = "ERROR! Several dendrograms, choose one with -X, in ";
const char MSG_NO_NODES_DIM[] = "ERROR! No dimension named '";  // + name + "' in " + file
const char MSG_MISSING_VAR[] = "ERROR! Missing or malformed dendrogram variable '";  // + name + "' in " + file
const char MSG_DAMAGED[] = "ERROR! The dendrogram is damaged: ";  // + reason + " in " + file
const char WHY_EVEN[] = "its node count is not odd";
const char WHY_NEW2OLD[] = "new2old is not a permutation of the objects";
const char WHY_CHILD[] = "a merge has a child that is not an earlier node";
const char WHY_REUSED[] = "a node is the child of two merges";
const char MSG_VARIABLE[] = "ERROR! Variable '";  // + name + one of the four endings below
const char MSG_NOT_IN[] = "' not found in ";
const char MSG_NOT_MATRIX[] = "' is not a two-dimensional numeric matrix";
const char MSG_WRONG_LENGTH[] = "' does not have one entry per object along its clustered dimension, objects: ";
const char MSG_BAD_LABELS[] = "' is not a char variable with one label per object along its first dimension";
const char MSG_NO_DATA[] = "ERROR! No data matrix with one entry per object found; name it with -D (and its file with -i) in ";
const char MSG_SEVERAL_DATA[] = "ERROR! Several data matrices, name one with -D, in ";
const char MSG_OUT_OF_MEMORY[] = "ERROR! Out of memory!";
const char MSG_OUTPUT_IS_INPUT[] = "ERROR! The output file is an input file itself! Choose another output file: ";
const char WHY_TOO_MANY_NODES[] = "its node count exceeds 2^31";
const char MSG_CUT_NEEDED[] = "ERROR! clusters needs exactly one of -k K and -H HEIGHT";
const char MSG_CUT_ONLY[] = "ERROR! -k is for the clusters format only";
const char MSG_BAD_COUNT[] = "ERROR! -k takes a whole number of clusters from 1 on, not '";  // + word + "'"
const char MSG_BAD_CUT[] = "ERROR! -H for clusters takes a height (a number), not '";      // + word + "'"
const char MSG_EMPTY_COUNT[] = "ERROR! -k takes a whole number of clusters from 1 on, not an empty word";
const char MSG_EMPTY_CUT[] = "ERROR! -H for clusters takes a height (a number), not an empty word";
const char MSG_INFINITE_CUT[] = "WARNING! At most %d clusters takes joins at +infinity or NaN: some clusters are "
                                "joined that no known distance connects";

[[noreturn]] void fail(const std::string &text)
{
    std::cerr << text << std::endl;
    brivane_exit(1);
}

// The fault (unless getopt has named it already), then the usage text.
[[noreturn]] void bad_usage(const std::string &text)
{
    if (!text.empty())
        std::cerr << text << '\n';
    std::cerr << USAGE;
    std::cerr.flush();
    brivane_exit(1);
}

// ---------------------------------------------------------------------------
// Settings from the command line.

enum Format { LINKAGE, NEWICK, TREEVIEW, PICTURE, CLUSTERS };
const char *const FORMAT_NAMES[] = {"linkage", "newick", "treeview", "picture", "clusters"};

struct Settings {
    Format format = LINKAGE;
    std::string tree, output, input, data, labels, prefix;
    bool prefix_given = false;
    int objects_axis = -1;  // 0: rows of the data are the objects, 1: columns; -1: from the prefix
    int width = 0, height = 0;  // picture size; 0: from the data
    std::string height_text;    // -H as given: picture height or cut height
    std::string count_text;     // -k as given
    bool height_given = false;  // an empty word given is a fault, not an absent option
    bool count_given = false;
    long count = 0;             // -k as read
};

// ---------------------------------------------------------------------------
// The dendrogram, in SciPy's numbering.

struct Dendrogram {
    int n = 0;                   // objects
    std::vector<int> left;       // merge k's children (node numbers), k = 0 ... n-2
    std::vector<int> right;
    std::vector<double> dist;    // merge k's distance as stored (+inf, NaN possible)
    std::vector<int> size;       // objects below each node, 2n-1 entries
    std::vector<int> leaf_order; // objects from left to right
    std::vector<int> new2old;    // object at each leaf position, as stored

    int root() const { return 2 * n - 2; }
    bool is_leaf(int node) const { return node < n; }
};

// Opens a NetCDF file for reading, or ends the run with `open_failed` + its
// name.  The header is checked before the library reads it, and a classic
// file cut short is refused: the library would read the missing bytes as
// zeros, and every allocation below is then bounded by the file's size.
void open_checked(NcFile *&f, const std::string &file, const char *open_failed)
{
    HeaderCheck header = check_header(file.c_str());
    if (!header.openable)
        fail(header.limit.empty() ? open_failed + file : header.limit);
    f = new NcFile(file.c_str(), NcFile::ReadOnly);
    if (!f->is_valid() || !holds_every_byte(f->id(), file.c_str()))
        fail(open_failed + file);
}

// A one-dimensional variable along `dim`; null when it is absent or has
// another shape.
NcVar *node_var(NcFile &f, const std::string &name, NcDim *dim)
{
    NcVar *v = f.get_var(name.c_str());
    if (!v || v->num_dims() != 1 || std::strcmp(v->get_dim(0)->name(), dim->name()) != 0)
        return nullptr;
    return v;
}

std::vector<int> read_ints(NcFile &f, const std::string &file, const std::string &name, NcDim *dim)
{
    NcVar *v = node_var(f, name, dim);
    if (!v)
        fail(std::string(MSG_MISSING_VAR) + name + "' in " + file);
    std::vector<int> out(dim->size());
    if (!v->get(out.data(), dim->size()))
        fail(std::string(MSG_MISSING_VAR) + name + "' in " + file);
    return out;
}

std::string find_prefix(NcFile &f, const std::string &file)
{
    std::vector<std::string> found;
    const std::string suffix = "nodes";
    for (int i = 0; i < f.num_dims(); i++) {
        std::string name = f.get_dim(i)->name();
        if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::string prefix = name.substr(0, name.size() - suffix.size());
        if (f.get_var((prefix + "left").c_str()))
            found.push_back(prefix);
    }
    if (found.empty())
        fail(std::string(MSG_NO_DENDROGRAM) + file);
    if (found.size() > 1)
        fail(std::string(MSG_SEVERAL_DENDROGRAMS) + file);
    return found[0];
}

[[noreturn]] void damaged(const char *why, const std::string &file)
{
    fail(std::string(MSG_DAMAGED) + why + " in " + file);
}

// Reads and checks the dendrogram.  A file that is not a tree (a child that
// is out of range, later than its parent or shared by two merges) is refused
// here, so that the writers may rely on a proper binary tree: the 2N-2 child
// slots then name every node but the root exactly once.
Dendrogram read_dendrogram(const std::string &file, std::string &prefix, bool prefix_given)
{
    NcFile *opened;
    open_checked(opened, file, MSG_OPEN_TREE);
    NcFile &f = *opened;
    if (!prefix_given)
        prefix = find_prefix(f, file);
    NcDim *dim = f.get_dim((prefix + "nodes").c_str());
    if (!dim)
        fail(std::string(MSG_NO_NODES_DIM) + prefix + "nodes' in " + file);
    long nodes = dim->size();
    if (nodes % 2 == 0)
        damaged(WHY_EVEN, file);
    if (nodes > std::numeric_limits<int>::max())
        damaged(WHY_TOO_MANY_NODES, file);

    std::vector<int> left = read_ints(f, file, prefix + "left", dim);
    std::vector<int> right = read_ints(f, file, prefix + "right", dim);
    std::vector<int> new2old = read_ints(f, file, prefix + "new2old", dim);
    std::vector<double> dist(nodes);
    NcVar *dv = node_var(f, prefix + "distance", dim);
    if (!dv || !dv->get(dist.data(), nodes))
        fail(std::string(MSG_MISSING_VAR) + prefix + "distance' in " + file);

    Dendrogram t;
    t.n = static_cast<int>((nodes + 1) / 2);
    const int n = t.n;
    std::vector<char> seen(nodes, 0);
    for (int p = 0; p < n; p++) {
        if (new2old[p] < 0 || new2old[p] >= n || seen[new2old[p]])
            damaged(WHY_NEW2OLD, file);
        seen[new2old[p]] = 1;
    }
    std::fill(seen.begin(), seen.end(), 0);
    t.new2old.assign(new2old.begin(), new2old.begin() + n);
    t.left.resize(n - 1);
    t.right.resize(n - 1);
    t.dist.resize(n - 1);
    t.size.assign(nodes, 1);
    for (int k = 0; k < n - 1; k++) {
        const int node = n + k;
        int child[2] = {left[node], right[node]};
        for (int &c : child) {
            if (c < 0 || c >= node)
                damaged(WHY_CHILD, file);
            if (c < n)
                c = new2old[c];  // a leaf child is stored by its leaf position
            if (seen[c])
                damaged(WHY_REUSED, file);
            seen[c] = 1;
        }
        t.left[k] = child[0];
        t.right[k] = child[1];
        t.dist[k] = dist[node];
        t.size[node] = t.size[child[0]] + t.size[child[1]];
    }

    // Left subtrees come before right subtrees.
    t.leaf_order.reserve(n);
    std::vector<int> stack{t.root()};
    while (!stack.empty()) {
        int node = stack.back();
        stack.pop_back();
        if (t.is_leaf(node)) {
            t.leaf_order.push_back(node);
        } else {
            stack.push_back(t.right[node - n]);
            stack.push_back(t.left[node - n]);
        }
    }
    delete opened;
    return t;
}

// Heights for the drawn and Newick trees: leaves at 0, merges at their
// distance, +infinity at a finite stand-in above every finite merge (at the
// largest double when twice the top would overflow), NaN at the height of the
// higher child.  Children precede parents in node order.
std::vector<double> display_heights(const Dendrogram &t)
{
    double top = 0;
    for (double d : t.dist)
        if (std::isfinite(d))
            top = std::max(top, d);
    const double largest = std::numeric_limits<double>::max();
    const double infinite_height = top > largest / 2 ? largest : top > 0 ? 2 * top : 1;
    std::vector<double> h(t.size.size(), 0.0);
    for (int k = 0; k < t.n - 1; k++) {
        double d = t.dist[k];
        if (d == std::numeric_limits<double>::infinity())
            d = infinite_height;
        else if (!std::isfinite(d))
            d = std::max(h[t.left[k]], h[t.right[k]]);
        h[t.n + k] = d;
    }
    return h;
}

// ---------------------------------------------------------------------------
// Number text: the shortest form that reads back to the same value.

std::string number(double v, bool single = false)
{
    char buf[40];
    for (int digits = single ? 6 : 15; digits <= 17; digits++) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        double back = std::strtod(buf, nullptr);
        if (single ? static_cast<float>(back) == static_cast<float>(v) : back == v)
            break;
        if (std::isnan(v))
            break;
    }
    return buf;
}

// ---------------------------------------------------------------------------
// Output files.  "-" is standard output (linkage and newick); every other
// output is written to a temporary file and put in place when complete
// (safe_output.h), so that a failed export leaves the earlier file as it was.

[[noreturn]] void write_failed(const std::string &name, const std::string &why)
{
    fail(std::string(MSG_WRITE) + name + (why.empty() ? "" : ": " + why));
}

struct Output {
    std::string name;
    FILE *fp;
    std::unique_ptr<SafeOutput> file;  // null for standard output
    explicit Output(const std::string &n) : name(n)
    {
        fp = stdout;
        if (name == "-")
            return;
        file.reset(new SafeOutput(name));
        fp = file->ok() ? std::fopen(file->path().c_str(), "w") : nullptr;
        if (!fp)
            write_failed(name, file->ok() ? std::strerror(errno) : file->error());
    }
    void put(const std::string &s) { std::fwrite(s.data(), 1, s.size(), fp); }
    // Ends the writing; the file is put in place unless `later`, when the
    // caller commits it together with the files it belongs with.
    void close(bool later = false)
    {
        bool bad = std::ferror(fp) != 0;
        bad |= (fp == stdout ? std::fflush(fp) : std::fclose(fp)) != 0;
        if (bad)
            write_failed(name, std::strerror(errno ? errno : EIO));
        if (!later)
            commit();
    }
    void commit()
    {
        if (file && !file->commit())
            write_failed(name, file->error());
    }
};

// ---------------------------------------------------------------------------
// Data and labels.

// The data values in object order: object i's values are
// values[i*m ... i*m+m-1], m values per object.
struct Table {
    int m = 0;
    std::vector<double> values;
    bool single = false;  // float data: written with float precision
    std::string name;
    std::vector<std::string> other_names;  // of the m other indices; empty: unnamed
};

bool numeric_matrix(NcVar *v)
{
    NcType ty = v->type();
    return v->num_dims() == 2 && (ty == ncByte || ty == ncShort || ty == ncInt || ty == ncFloat ||
                                  ty == ncDouble || ty == ncChar);
}

// Where the labels and data come from: brivane's input (object order) or the
// tree file with the --output-data copy (leaf order along every dimension of
// the clustered dimension's name).
struct Source {
    std::string file;
    NcFile *f;
    bool leaf_ordered;
};

// Chooses the data variable: the one named, else the only numeric matrix
// (char matrices only by name) with n entries along the objects' axis.
NcVar *find_data(const Source &src, const Settings &s, int n, bool required)
{
    if (!s.data.empty()) {
        NcVar *v = src.f->get_var(s.data.c_str());
        if (!v)
            fail(std::string(MSG_VARIABLE) + s.data + MSG_NOT_IN + src.file);
        if (!numeric_matrix(v))
            fail(std::string(MSG_VARIABLE) + s.data + MSG_NOT_MATRIX);
        if (v->get_dim(s.objects_axis)->size() != n)
            fail(std::string(MSG_VARIABLE) + s.data + MSG_WRONG_LENGTH + std::to_string(n));
        return v;
    }
    NcVar *found = nullptr;
    for (int i = 0; i < src.f->num_vars(); i++) {
        NcVar *v = src.f->get_var(i);
        if (!numeric_matrix(v) || v->type() == ncChar || v->get_dim(s.objects_axis)->size() != n)
            continue;
        if (found)
            fail(std::string(MSG_SEVERAL_DATA) + src.file);
        found = v;
    }
    if (!found && required)
        fail(std::string(MSG_NO_DATA) + src.file);
    return found;
}

Table read_table(NcVar *v, const Source &src, int axis, const std::vector<int> &object_at)
{
    const long rows = v->get_dim(0)->size(), cols = v->get_dim(1)->size();
    std::vector<double> raw(rows * cols);
    bool ok;
    if (v->type() == ncChar) {
        // brivane reads char data as signed 8-bit numbers.
        std::vector<char> chars(rows * cols);
        ok = v->get(chars.data(), rows, cols);
        for (size_t i = 0; i < chars.size(); i++)
            raw[i] = static_cast<signed char>(chars[i]);
    } else {
        ok = v->get(raw.data(), rows, cols);
    }
    if (!ok)
        fail(std::string(MSG_VARIABLE) + v->name() + MSG_NOT_MATRIX);

    // Index along each axis of the file -> object (or other index) order.
    const long len[2] = {rows, cols};
    std::vector<int> index[2];
    for (int a = 0; a < 2; a++) {
        index[a].resize(len[a]);
        bool permuted = src.leaf_ordered && std::strcmp(v->get_dim(a)->name(), v->get_dim(axis)->name()) == 0;
        for (long i = 0; i < len[a]; i++)
            index[a][i] = permuted ? object_at[i] : static_cast<int>(i);
    }
    Table t;
    t.name = v->name();
    t.single = v->type() == ncFloat;
    t.m = static_cast<int>(len[1 - axis]);
    t.values.resize(raw.size());
    for (long r = 0; r < rows; r++)
        for (long c = 0; c < cols; c++) {
            long object = axis == 0 ? index[0][r] : index[1][c];
            long other = axis == 0 ? index[1][c] : index[0][r];
            t.values[object * t.m + other] = raw[r * cols + c];
        }
    return t;
}

// The texts of a char variable over (count, characters), in file order,
// without NetCDF's padding of fixed-width strings (NULs or blanks).
std::vector<std::string> read_texts(NcVar *v, long count)
{
    const long width = v->num_dims() == 2 ? v->get_dim(1)->size() : 1;
    std::vector<char> chars(count * width);
    std::vector<std::string> texts;
    if (!v->get(chars.data(), count, width))
        return texts;
    for (long i = 0; i < count; i++) {
        std::string text(&chars[i * width], width);
        text = text.substr(0, text.find('\0'));
        text.erase(text.find_last_not_of(' ') + 1);
        texts.push_back(text);
    }
    return texts;
}

// The names of the data's other indices (columns when the objects are rows)
// from the char variable `name` over the same dimension, as brivane-import
// writes row_name and col_name; empty when the source has no such variable.
std::vector<std::string> read_other_names(const Source &src, NcVar *data, int objects_axis, const char *name,
                                          const std::vector<int> &object_at)
{
    NcDim *dim = data->get_dim(1 - objects_axis);
    NcVar *v = src.f->get_var(name);
    if (!v || v->type() != ncChar || v->num_dims() < 1 || v->num_dims() > 2 ||
        std::strcmp(v->get_dim(0)->name(), dim->name()) != 0)
        return {};
    std::vector<std::string> texts = read_texts(v, dim->size());
    // In the --output-data copy a dimension named like the clustered one is
    // in leaf order.
    if (src.leaf_ordered && !texts.empty() && std::strcmp(dim->name(), data->get_dim(objects_axis)->name()) == 0) {
        std::vector<std::string> by_object(texts.size());
        for (size_t i = 0; i < texts.size(); i++)
            by_object[object_at[i]] = texts[i];
        texts.swap(by_object);
    }
    return texts;
}

// Labels by object; object indices when no label variable is named.
std::vector<std::string> read_labels(const Source &src, const std::string &name, int n,
                                     const std::vector<int> &object_at)
{
    std::vector<std::string> labels(n);
    if (name.empty()) {
        for (int i = 0; i < n; i++)
            labels[i] = std::to_string(i);
        return labels;
    }
    NcVar *v = src.f->get_var(name.c_str());
    if (!v)
        fail(std::string(MSG_VARIABLE) + name + MSG_NOT_IN + src.file);
    if (v->type() != ncChar || v->num_dims() < 1 || v->num_dims() > 2 || v->get_dim(0)->size() != n)
        fail(std::string(MSG_VARIABLE) + name + MSG_BAD_LABELS);
    std::vector<std::string> texts = read_texts(v, n);
    if (texts.empty())
        fail(std::string(MSG_VARIABLE) + name + MSG_BAD_LABELS);
    for (int i = 0; i < n; i++)
        labels[src.leaf_ordered ? object_at[i] : i] = texts[i];
    return labels;
}

// ---------------------------------------------------------------------------
// linkage

void write_linkage(const Dendrogram &t, const std::string &out_name)
{
    Output out(out_name);
    for (int k = 0; k < t.n - 1; k++)
        out.put(std::to_string(t.left[k]) + ' ' + std::to_string(t.right[k]) + ' ' + number(t.dist[k]) + ' ' +
                std::to_string(t.size[t.n + k]) + '\n');
    out.close();
}

// ---------------------------------------------------------------------------
// newick

// A label as Newick needs it: quoted when it holds a character with a
// meaning in the notation (an unquoted '_' reads as a blank), with inner
// quotes doubled.
std::string newick_label(const std::string &label)
{
    if (!label.empty() && label.find_first_of(" \t\r\n()[]':;,_") == std::string::npos)
        return label;
    std::string q = "'";
    for (char c : label) {
        q += c;
        if (c == '\'')
            q += '\'';
    }
    return q + "'";
}

void write_newick(const Dendrogram &t, const std::vector<std::string> &labels, const std::string &out_name)
{
    const std::vector<double> h = display_heights(t);
    std::vector<double> length(h.size(), 0.0);
    for (int k = 0; k < t.n - 1; k++)
        for (int c : {t.left[k], t.right[k]}) {
            // Heights of both signs near the largest double differ by more
            // than it: such a length is written as the largest.
            double l = std::min(h[t.n + k] - h[c], std::numeric_limits<double>::max());
            length[c] = l > 0 ? l : 0;
        }

    Output out(out_name);
    std::string text;
    // Each entry: a node and how many of its children are written.
    std::vector<std::pair<int, int>> stack{{t.root(), 0}};
    while (!stack.empty()) {
        auto &[node, done] = stack.back();
        if (t.is_leaf(node) || done == 2) {
            text += t.is_leaf(node) ? newick_label(labels[node]) : ")";
            if (node != t.root())
                text += ':' + number(length[node]);
            stack.pop_back();
            continue;
        }
        text += done == 0 ? '(' : ',';
        int child = done == 0 ? t.left[node - t.n] : t.right[node - t.n];
        done++;
        stack.push_back({child, 0});  // invalidates node and done
        if (text.size() > (1 << 16)) {
            out.put(text);
            text.clear();
        }
    }
    out.put(text + ";\n");
    out.close();
}

// ---------------------------------------------------------------------------
// treeview

// Cluster 3.0's text cells hold no tabs or line ends.
std::string cell(std::string s)
{
    for (char &c : s)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return s;
}

// The two file names of a treeview export: OUT.cdt and OUT.gtr (objects
// are rows) or OUT.atr; a given ".cdt" ending is not doubled.
std::vector<std::string> treeview_names(std::string base, bool objects_are_rows)
{
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".cdt") == 0)
        base.resize(base.size() - 4);
    return {base + ".cdt", base + (objects_are_rows ? ".gtr" : ".atr")};
}

void write_treeview(const Dendrogram &t, const Table &data, const std::vector<std::string> &labels, bool objects_are_rows,
                    const std::string &base)
{
    const std::vector<std::string> names = treeview_names(base, objects_are_rows);
    const std::vector<double> h = display_heights(t);
    const char *id = objects_are_rows ? "GENE" : "ARRY";
    auto leaf_id = [&](int node) {
        return t.is_leaf(node) ? id + std::to_string(node) + "X" : "NODE" + std::to_string(node - t.n + 1) + "X";
    };

    Output tree(names[1]);
    for (int k = 0; k < t.n - 1; k++)
        tree.put(leaf_id(t.n + k) + '\t' + leaf_id(t.left[k]) + '\t' + leaf_id(t.right[k]) + '\t' +
                 number(1 - h[t.n + k]) + '\n');
    tree.close(true);

    auto value = [&](int object, int other) {
        double v = data.values[static_cast<size_t>(object) * data.m + other];
        return std::isnan(v) ? std::string() : number(v, data.single);  // an empty cell is a missing value
    };
    // The data's other indices by their names in the input, else by number.
    auto other = [&](int j) {
        return data.other_names.empty() ? std::to_string(j) : cell(data.other_names[j]);
    };
    Output cdt(names[0]);
    std::string line;
    if (objects_are_rows) {
        line = "GID\tUNIQID\tNAME\tGWEIGHT";
        for (int j = 0; j < data.m; j++)
            line += '\t' + other(j);
        line += "\nEWEIGHT\t\t\t";
        for (int j = 0; j < data.m; j++)
            line += "\t1";
        cdt.put(line + '\n');
        for (int object : t.leaf_order) {
            line = leaf_id(object) + '\t' + cell(labels[object]) + '\t' + cell(labels[object]) + "\t1";
            for (int j = 0; j < data.m; j++)
                line += '\t' + value(object, j);
            cdt.put(line + '\n');
        }
    } else {
        line = "UNIQID\tNAME\tGWEIGHT";
        for (int object : t.leaf_order)
            line += '\t' + cell(labels[object]);
        line += "\nAID\t\t";
        for (int object : t.leaf_order)
            line += '\t' + leaf_id(object);
        line += "\nEWEIGHT\t\t";
        for (int i = 0; i < t.n; i++)
            line += "\t1";
        cdt.put(line + '\n');
        for (int j = 0; j < data.m; j++) {
            line = other(j) + '\t' + other(j) + "\t1";
            for (int object : t.leaf_order)
                line += '\t' + value(object, j);
            cdt.put(line + '\n');
        }
    }
    // Both files or neither: each is put in place once both are written.
    cdt.close(true);
    tree.commit();
    cdt.commit();
}

// ---------------------------------------------------------------------------
// clusters

// Heights in cutting order: numbers ascending, NaN above every number, and
// +infinity above NaN.  brivane merges NaN pairs after every finite pair and
// before the joins that no known distance connects, and a cut follows that
// order, so that no NaN merge ever holds back a join at +infinity above it.
bool cuts_before(double a, double b)
{
    const double inf = std::numeric_limits<double>::infinity();
    if (std::isnan(a))
        return b == inf;
    if (std::isnan(b))
        return a != inf;
    return a < b;
}

// The merge heights as SciPy's fcluster cuts them: the highest merge at or
// below each node in cutting order (a non-monotone tree, approximate or of
// centroid or median linkage, can merge a child higher than its parent).
// Leaves have none.  Children precede parents in node order.
std::vector<double> highest_below(const Dendrogram &t)
{
    std::vector<double> h(t.n - 1);
    auto below = [&](int node) { return t.is_leaf(node) ? -std::numeric_limits<double>::infinity() : h[node - t.n]; };
    auto higher = [](double a, double b) { return cuts_before(a, b) ? b : a; };
    for (int k = 0; k < t.n - 1; k++)
        h[k] = higher(t.dist[k], higher(below(t.left[k]), below(t.right[k])));
    return h;
}

// The lowest cut that leaves at most k clusters: merge m is inside a cluster
// when its height does not cut after the (n-k)-th lowest (maxclust).  Ties
// may leave fewer than k clusters.
std::vector<char> inside_by_count(const std::vector<double> &h, int k)
{
    const int n = static_cast<int>(h.size()) + 1;
    std::vector<char> inside(h.size(), 0);
    if (k >= n)
        return inside;
    std::vector<double> sorted = h;
    std::sort(sorted.begin(), sorted.end(), cuts_before);
    const double cut = sorted[n - k - 1];
    if (!std::isfinite(cut)) {
        char text[256];
        std::snprintf(text, sizeof text, MSG_INFINITE_CUT, k);
        std::cerr << text << std::endl;
    }
    for (size_t m = 0; m < h.size(); m++)
        inside[m] = !cuts_before(cut, h[m]);
    return inside;
}

// Merges whose heights all lie at `height` or below (distance) in cutting
// order: a NaN height is inside a cut at +infinity only.
std::vector<char> inside_by_height(const std::vector<double> &h, double height)
{
    std::vector<char> inside(h.size());
    for (size_t m = 0; m < h.size(); m++)
        inside[m] = !cuts_before(height, h[m]);
    return inside;
}

// Each object's cluster, numbered 1... in leaf order.  `inside` is closed
// under children (heights only grow towards the root), so every cluster is
// the subtree of its highest inside merge, or a lone leaf.
std::vector<int> number_clusters(const Dendrogram &t, const std::vector<char> &inside)
{
    const int nodes = 2 * t.n - 1;
    std::vector<int> top(nodes);   // the node that stands for a node's cluster
    for (int node = 0; node < nodes; node++)
        top[node] = node;
    for (int k = t.n - 2; k >= 0; k--)
        if (inside[k])
            for (int c : {t.left[k], t.right[k]})
                top[c] = top[t.n + k];
    std::vector<int> number(nodes, 0), cluster(t.n);
    int next = 0;
    for (int object : t.leaf_order) {
        int &n = number[top[object]];
        if (n == 0)
            n = ++next;
        cluster[object] = n;
    }
    return cluster;
}

void write_clusters(const Dendrogram &t, const std::vector<std::string> &labels, const std::vector<int> &cluster,
                    const std::string &out_name)
{
    Output out(out_name);
    std::string text;
    for (int i = 0; i < t.n; i++) {
        text += cell(labels[i]) + '\t' + std::to_string(cluster[i]) + '\n';
        if (text.size() > (1 << 16)) {
            out.put(text);
            text.clear();
        }
    }
    out.put(text);
    out.close();
}

// ---------------------------------------------------------------------------
// picture

// Viridis, sampled at five points: perceptually even and legible in grey.
void colour(double t, double rgb[3])
{
    static const double stops[5][3] = {
        {68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
    t = std::min(1.0, std::max(0.0, t)) * 4;
    int i = std::min(3, static_cast<int>(t));
    double f = t - i;
    for (int c = 0; c < 3; c++)
        rgb[c] = (stops[i][c] * (1 - f) + stops[i + 1][c] * f) / 255;
}

const double MARGIN = 10, LEGEND = 34, MIN_ROW_FOR_LABEL = 7, MIN_ROWS_FOR_BRANCH = 3;

// The heatmap as an image of at most `cols` x `rows` cells; rows (leaves)
// and columns beyond that are averaged into one cell, NaN left out.
cairo_surface_t *heatmap(const Dendrogram &t, const Table &data, int rows, int cols, double lo, double hi)
{
    cairo_surface_t *img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, cols, rows);
    cairo_surface_flush(img);
    unsigned char *px = cairo_image_surface_get_data(img);
    const int stride = cairo_image_surface_get_stride(img);
    for (int y = 0; y < rows; y++) {
        long p0 = static_cast<long>(y) * t.n / rows, p1 = static_cast<long>(y + 1) * t.n / rows;
        for (int x = 0; x < cols; x++) {
            long c0 = static_cast<long>(x) * data.m / cols, c1 = static_cast<long>(x + 1) * data.m / cols;
            double sum = 0;
            long count = 0;
            for (long p = p0; p < p1; p++)
                for (long c = c0; c < c1; c++) {
                    double v = data.values[static_cast<size_t>(t.leaf_order[p]) * data.m + c];
                    if (!std::isnan(v)) {
                        sum += v;
                        count++;
                    }
                }
            double rgb[3] = {0.8, 0.8, 0.8};  // no value: light grey
            if (count)
                colour(hi > lo ? (sum / count - lo) / (hi - lo) : 0.5, rgb);
            uint32_t pixel = (static_cast<uint32_t>(rgb[0] * 255) << 16) | (static_cast<uint32_t>(rgb[1] * 255) << 8) |
                             static_cast<uint32_t>(rgb[2] * 255);
            std::memcpy(px + y * stride + 4 * x, &pixel, 4);
        }
    }
    cairo_surface_mark_dirty(img);
    return img;
}

void draw_picture(cairo_t *cr, const Dendrogram &t, const Table *data, const std::vector<std::string> &labels,
                  double width, double height)
{
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);

    const double plot_h = height - 2 * MARGIN - (data ? LEGEND : 0);
    const double row_h = plot_h / t.n;
    const bool show_labels = row_h >= MIN_ROW_FOR_LABEL;
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, std::min(12.0, row_h * 0.8));
    double label_w = 0;
    if (show_labels)
        for (const std::string &l : labels) {
            cairo_text_extents_t e;
            cairo_text_extents(cr, l.c_str(), &e);
            label_w = std::max(label_w, e.x_advance);
        }
    label_w = std::min(label_w + MARGIN, width / 3);
    const double rest = width - 2 * MARGIN - label_w;
    const double tree_w = data ? std::min(rest * 0.4, 400.0) : rest;
    const double heat_x = MARGIN + tree_w, heat_w = rest - tree_w;
    const double top = MARGIN;

    // Dendrogram: root on the left, leaves at the heatmap's edge.
    const std::vector<double> h = display_heights(t);
    double h_lo = 0, h_hi = 0;
    for (double v : h) {
        h_lo = std::min(h_lo, v);
        h_hi = std::max(h_hi, v);
    }
    if (h_hi <= h_lo)
        h_hi = h_lo + 1;
    // In halves, so that heights near the largest double do not overflow.
    const double span = h_hi / 2 - h_lo / 2;
    std::vector<double> y(h.size());
    for (int p = 0; p < t.n; p++)
        y[t.leaf_order[p]] = top + (p + 0.5) * row_h;
    auto x_of = [&](int node) { return MARGIN + (h_hi / 2 - h[node] / 2) / span * (tree_w - 2); };
    // A cluster thinner than a few pixel rows is drawn as one leaf, so that
    // large trees do not end in a solid black band.
    auto thin = [&](int node) { return t.size[node] * row_h < MIN_ROWS_FOR_BRANCH; };
    auto x_end = [&](int node) { return thin(node) ? x_of(0) : x_of(node); };
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, row_h < 2 ? 0.5 : 1.0);
    for (int k = 0; k < t.n - 1; k++) {
        int node = t.n + k, l = t.left[k], r = t.right[k];
        y[node] = (y[l] + y[r]) / 2;
        if (thin(node))
            continue;
        double x = x_of(node);
        cairo_move_to(cr, x_end(l), y[l]);
        cairo_line_to(cr, x, y[l]);
        cairo_line_to(cr, x, y[r]);
        cairo_line_to(cr, x_end(r), y[r]);
        if (k % 4096 == 4095)
            cairo_stroke(cr);  // bounds cairo's path memory on huge trees
    }
    cairo_stroke(cr);

    if (data && data->m > 0 && heat_w >= 1) {
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (double v : data->values)
            if (std::isfinite(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        if (!(lo <= hi))
            lo = hi = 0;
        int rows = std::max(1, std::min(t.n, static_cast<int>(plot_h)));
        int cols = std::max(1, std::min(data->m, static_cast<int>(heat_w)));
        cairo_surface_t *img = heatmap(t, *data, rows, cols, lo, hi);
        cairo_save(cr);
        cairo_translate(cr, heat_x, top);
        cairo_scale(cr, heat_w / cols, plot_h / rows);
        cairo_set_source_surface(cr, img, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
        cairo_rectangle(cr, 0, 0, cols, rows);
        cairo_fill(cr);
        cairo_restore(cr);
        cairo_surface_destroy(img);

        // Colour scale under the heatmap, with its end values.
        const double bar_y = top + plot_h + 6, bar_h = 10;
        for (int i = 0; i < 64; i++) {
            double rgb[3];
            colour(i / 63.0, rgb);
            cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
            cairo_rectangle(cr, heat_x + heat_w * i / 64, bar_y, heat_w / 64 + 0.5, bar_h);
            cairo_fill(cr);
        }
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_font_size(cr, 10);
        char lo_text[32], hi_text[32];
        std::snprintf(lo_text, sizeof lo_text, "%.4g", lo);
        std::snprintf(hi_text, sizeof hi_text, "%.4g", hi);
        cairo_text_extents_t e;
        cairo_text_extents(cr, hi_text, &e);
        cairo_move_to(cr, heat_x, bar_y + bar_h + 11);
        cairo_show_text(cr, lo_text);
        cairo_move_to(cr, heat_x + heat_w - e.x_advance, bar_y + bar_h + 11);
        cairo_show_text(cr, hi_text);
    }

    if (show_labels) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_font_size(cr, std::min(12.0, row_h * 0.8));
        for (int p = 0; p < t.n; p++) {
            const std::string &l = labels[t.leaf_order[p]];
            cairo_text_extents_t e;
            cairo_text_extents(cr, l.c_str(), &e);
            cairo_move_to(cr, heat_x + heat_w + 4, top + (p + 0.5) * row_h - e.y_bearing - e.height / 2);
            cairo_show_text(cr, l.c_str());
        }
    }
}

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

void write_picture(const Dendrogram &t, const Table *data, const std::vector<std::string> &labels, const Settings &s)
{
    const bool svg = ends_with(s.output, ".svg");
    // Default size: 12 pixels a row up to 1600 rows of pixels, 12 a column
    // up to 800 columns of pixels.
    const double rows_h = std::min(1600.0, std::max(200.0, 12.0 * t.n));
    const double heat_w = data ? std::min(800.0, std::max(120.0, 12.0 * data->m)) : 0;
    const int width = s.width ? s.width : static_cast<int>(2 * MARGIN + 300 + heat_w + (rows_h / t.n >= MIN_ROW_FOR_LABEL ? 120 : 0));
    const int height = s.height ? s.height : static_cast<int>(rows_h + 2 * MARGIN + (data ? LEGEND : 0));

    SafeOutput file(s.output);
    if (!file.ok())
        write_failed(s.output, file.error());
    cairo_surface_t *surface = svg ? cairo_svg_surface_create(file.path().c_str(), width, height)
                                   : cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t *cr = cairo_create(surface);
    draw_picture(cr, t, data, labels, width, height);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && !svg)
        status = cairo_surface_write_to_png(surface, file.path().c_str());
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status == CAIRO_STATUS_NO_MEMORY)
        fail(MSG_OUT_OF_MEMORY);
    if (status != CAIRO_STATUS_SUCCESS)
        write_failed(s.output, cairo_status_to_string(status));
    if (!file.commit())
        write_failed(s.output, file.error());
}

// ---------------------------------------------------------------------------
// Command line

int picture_size(const char *text)
{
    char *end;
    long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 64 || v > 20000)
        bad_usage(MSG_BAD_SIZE);
    return static_cast<int>(v);
}

// A count from 1 to 2^31-1: a plain integer, or a decimal number that is
// exactly one (1e3, 2.0), as brivane reads its counts; -1 for anything else.
long parse_count(const std::string &text)
{
    char *end;
    errno = 0;
    long k = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0') {
        // strtod would also read hexadecimal, inf and nan: decimal words only.
        if (text.find_first_not_of("+-.0123456789eE") != std::string::npos)
            return -1;
        double v = std::strtod(text.c_str(), &end);
        if (*end != '\0' || !(v >= 1 && v <= INT32_MAX) || v != std::floor(v))
            return -1;
        k = static_cast<long>(v);
    }
    return errno != 0 || k < 1 || k > INT32_MAX ? -1 : k;
}

// The clusters format takes one of -k (a count from 1) and -H (a height).
void check_cut(Settings &s)
{
    if (s.count_given == s.height_given)
        bad_usage(MSG_CUT_NEEDED);
    char *end;
    if (s.count_given) {
        if (s.count_text.empty())
            bad_usage(MSG_EMPTY_COUNT);
        s.count = parse_count(s.count_text);
        if (s.count < 1)
            bad_usage(std::string(MSG_BAD_COUNT) + s.count_text + "'");
    } else {
        if (s.height_text.empty())
            bad_usage(MSG_EMPTY_CUT);
        double h = std::strtod(s.height_text.c_str(), &end);
        if (*end != '\0' || std::isnan(h))
            bad_usage(std::string(MSG_BAD_CUT) + s.height_text + "'");
    }
}

Settings parse(int argc, char **argv)
{
    static const option longs[] = {
        {"tree", required_argument, nullptr, 't'},   {"output", required_argument, nullptr, 'o'},
        {"prefix", required_argument, nullptr, 'X'}, {"input", required_argument, nullptr, 'i'},
        {"data", required_argument, nullptr, 'D'},   {"cluster", required_argument, nullptr, 'C'},
        {"labels", required_argument, nullptr, 'L'}, {"width", required_argument, nullptr, 'W'},
        {"height", required_argument, nullptr, 'H'}, {"count", required_argument, nullptr, 'k'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    Settings s;
    int c;
    while ((c = getopt_long(argc, argv, "t:o:X:i:D:C:L:W:H:k:h", longs, nullptr)) != -1) {
        switch (c) {
        case 't': s.tree = optarg; break;
        case 'o': s.output = optarg; break;
        case 'X': s.prefix = optarg; s.prefix_given = true; break;
        case 'i': s.input = optarg; break;
        case 'D': s.data = optarg; break;
        case 'L': s.labels = optarg; break;
        case 'W': s.width = picture_size(optarg); break;
        case 'H': s.height_text = optarg; s.height_given = true; break;
        case 'k': s.count_text = optarg; s.count_given = true; break;
        case 'C':
            if (std::strcmp(optarg, "rows") == 0)
                s.objects_axis = 0;
            else if (std::strcmp(optarg, "cols") == 0)
                s.objects_axis = 1;
            else
                bad_usage(std::string(MSG_BAD_CLUSTER) + optarg + "'");
            break;
        case 'h':
            std::cout << USAGE;
            std::cout.flush();
            brivane_exit(0);
        default:  // getopt has named the fault
            bad_usage("");
        }
    }
    if (optind != argc - 1)
        bad_usage(MSG_NO_FORMAT);
    const std::string word = argv[optind];
    auto known = std::find(std::begin(FORMAT_NAMES), std::end(FORMAT_NAMES), word);
    if (known == std::end(FORMAT_NAMES))
        bad_usage(std::string(MSG_BAD_FORMAT) + word + "'");
    s.format = static_cast<Format>(known - std::begin(FORMAT_NAMES));
    if (s.tree.empty())
        bad_usage(MSG_NO_TREE);
    if (s.output.empty())
        bad_usage(MSG_NO_OUTPUT);
    if (s.format == PICTURE && !ends_with(s.output, ".png") && !ends_with(s.output, ".svg"))
        bad_usage(MSG_BAD_PICTURE_NAME + s.output);
    if (s.format == CLUSTERS)
        check_cut(s);
    else if (s.count_given)
        bad_usage(MSG_CUT_ONLY);
    else if (s.height_given)
        s.height = picture_size(s.height_text.c_str());
    return s;
}

int run(int argc, char **argv)
{
    Settings s = parse(argc, argv);
    // netCDF faults are reported here, with the file's name, not by the library.
    NcError quiet(NcError::silent_nonfatal);
    Dendrogram t = read_dendrogram(s.tree, s.prefix, s.prefix_given);
    if (s.objects_axis < 0)
        s.objects_axis = s.prefix == "col_" ? 1 : 0;
    // Writing an output over an input would destroy it while it is read.
    std::vector<std::string> outputs{s.output};
    if (s.format == TREEVIEW)
        outputs = treeview_names(s.output, s.objects_axis == 0);
    for (const std::string &output : outputs)
        for (const std::string &input : {s.tree, s.input})
            if (output != "-" && !input.empty() && same_file(output.c_str(), input.c_str()))
                fail(MSG_OUTPUT_IS_INPUT + output);
    // An output that cannot be made is told before the labels and data are read.
    for (const std::string &output : outputs)
        if (output != "-") {
            SafeOutput probe(output);
            if (!probe.ok())
                write_failed(output, probe.error());
        }

    if (s.format == LINKAGE) {
        write_linkage(t, s.output);
        return 0;
    }

    const bool from_input = !s.input.empty();
    NcFile *file;
    open_checked(file, from_input ? s.input : s.tree, from_input ? MSG_OPEN_INPUT : MSG_OPEN_TREE);
    Source src{from_input ? s.input : s.tree, file, !from_input};
    const std::vector<int> &object_at = t.new2old;  // of each index of a leaf-ordered variable
    std::vector<std::string> labels = read_labels(src, s.labels, t.n, object_at);

    if (s.format == NEWICK) {
        write_newick(t, labels, s.output);
        return 0;
    }
    if (s.format == CLUSTERS) {
        const std::vector<double> h = highest_below(t);
        std::vector<char> inside = !s.count_given
                                       ? inside_by_height(h, std::strtod(s.height_text.c_str(), nullptr))
                                       : inside_by_count(h, static_cast<int>(s.count));
        write_clusters(t, labels, number_clusters(t, inside), s.output);
        return 0;
    }
    // The picture shows the data when there is some; named data must exist.
    NcVar *v = find_data(src, s, t.n, s.format == TREEVIEW || from_input);
    Table data;
    if (v)
        data = read_table(v, src, s.objects_axis, object_at);
    if (v && s.format == TREEVIEW)
        data.other_names = read_other_names(src, v, s.objects_axis, s.objects_axis == 0 ? "col_name" : "row_name",
                                            object_at);
    if (s.format == TREEVIEW)
        write_treeview(t, data, labels, s.objects_axis == 0, s.output);
    else
        write_picture(t, v ? &data : nullptr, labels, s);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        fail(MSG_OUT_OF_MEMORY);
    }
}
