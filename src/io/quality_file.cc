// The quality file: the tab-separated report of the quality pass, written under a temporary name and renamed when complete.
//
//   write_quality        the file itself;
//   check_quality_file   the checks that let a run refuse a quality file it
//                        could not write before any work is done.
#include "quality_file.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Argumentyzer.h"
#include "brivane_arg.h"
#include "refuse.h"
#include "safe_output.h"

namespace {

const char MSG_WRITE_FAILED[] = "ERROR! Error writing quality file ";
const char MSG_IS_FOLDER[] = "ERROR! The quality file is a folder: ";
const char MSG_CLASH[] = "ERROR! The quality file must be another file than the input and the output file!";

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();


// Numbers of the file read back as the same double, in the fewest of 15, 16
// or 17 significant digits; "nan" whatever NaN's sign.
std::string number(double v)
{
    if (std::isnan(v))
        return "nan";
    char text[64];
    for (int digits = 15; digits <= 17; digits++) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v)
            break;
    }
    return text;
}

// A '#' line must stay one line whatever a file name holds.
std::string one_line(std::string text)
{
    for (char &c : text)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

// The folder part and the last part of a path, the folder made absolute, so
// that two names of a file that does not exist yet can be compared.
std::string absolute_path(const char *name)
{
    std::string path = name;
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    char *real = realpath(folder.c_str(), nullptr);
    if (!real)
        return path;
    std::string result = std::string(real) + "/" + last;
    std::free(real);
    return result;
}

bool same_path(const char *a, const char *b)
{
    struct stat sa, sb;
    if (stat(a, &sa) == 0 && stat(b, &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return absolute_path(a) == absolute_path(b);
}

} // namespace

std::string command_line_text()
{
    std::string text;
    if (!arg_argv_vector)
        return text;
    for (size_t k = 1; k < arg_argv_vector->size(); k++) {
        std::string word = (*arg_argv_vector)[k];
        if (!word.empty() && word[0] == NEGATIVE_MARK)
            word[0] = '-';
        if (k > 1)
            text += ' ';
        text += word;
    }
    return one_line(text);
}

void write_quality(const char *name, const std::vector<merge_quality_t> &merges, int objects,
                   long long stored, const quality_extras_t &extras)
{
    SafeOutput out(name);
    FILE *f = out.ok() ? std::fopen(out.path().c_str(), "w") : nullptr;
    if (!f) {
        std::string reason = out.ok() ? std::strerror(errno) : out.error();
        out.discard();
        refuse(MSG_WRITE_FAILED + one_line(name) + ": " + reason);
    }

    int64_t infinite = 0, pairs = 0, unmeasured = 0;
    double joint_cost = 0, merge_sum = 0;
    // Merge k (from 1) adds its increase to the sums of squares of the
    // N - k levels from its own up to the root's.
    double ward_cost = 0;
    for (const merge_quality_t &m : merges)
        ward_cost += (double)(2 * objects - 1 - m.node) * m.ward_increase;
    for (const merge_quality_t &m : merges) {
        if (m.merge_distance == INF)
            infinite++;
        pairs += m.pairs;
        if (m.pairs)
            joint_cost += m.average;
        else
            unmeasured++;
        merge_sum += m.merge_distance;
    }

    std::fprintf(f, "# brivane clustering quality\n");
    std::fprintf(f, "# input\t%s\n", one_line(opt_text(INDEX_OPT_INPUT)).c_str());
    std::fprintf(f, "# options\t%s\n", command_line_text().c_str());
    std::fprintf(f, "# objects\t%d\n", objects);
    std::fprintf(f, "# stored distances\t%lld\n", stored);
    std::fprintf(f, "# merges at +infinity\t%lld\n", (long long)infinite);
    std::string column;
    if (extras.linkage >= 0) {
        column = LINKAGE_KEYS[extras.linkage];
        for (char &c : column)
            c = (char)std::tolower((unsigned char)c);
    }
    std::fprintf(f, "# node\tleft_size\tright_size\tmerge_distance\tmin\taverage\tmax\tpairs%s%s\n",
                 column.empty() ? "" : "\t", column.c_str());
    for (const merge_quality_t &m : merges) {
        std::fprintf(f, "%d\t%d\t%d\t%s\t%s\t%s\t%s\t%lld", m.node, m.left_size, m.right_size,
                     number(m.merge_distance).c_str(), number(m.min).c_str(),
                     number(m.average).c_str(), number(m.max).c_str(), (long long)m.pairs);
        if (!column.empty())
            std::fprintf(f, "\t%s", number(m.linkage_value).c_str());
        std::fprintf(f, "\n");
    }
    // A cost over no measured pair is unknown, as a row's average is.
    if (unmeasured == (int64_t)merges.size())
        joint_cost = NaN;
    std::fprintf(f, "# joint cost\t%s\n", number(joint_cost).c_str());
    std::fprintf(f, "# sum of merge distances\t%s\n", number(merge_sum).c_str());
    std::fprintf(f, "# pairs measured\t%lld\n", (long long)pairs);
    std::fprintf(f, "# merges without a known pair\t%lld\n", (long long)unmeasured);
    if (extras.ward_cost)
        std::fprintf(f, "# level-summed Ward cost\t%s\n", number(ward_cost).c_str());

    errno = 0;
    bool written = std::fflush(f) == 0 && !std::ferror(f) && fsync(fileno(f)) == 0;
    int error_number = written ? 0 : errno ? errno : EIO;
    if (std::fclose(f) != 0 && !error_number)
        error_number = errno;
    if (error_number || !out.commit()) {
        std::string reason = error_number ? std::strerror(error_number) : out.error();
        out.discard();
        refuse(MSG_WRITE_FAILED + one_line(name) + ": " + reason);
    }
}

void check_quality_file(const char *name, const char *input, const char *output)
{
    struct stat s;
    if (stat(name, &s) == 0 && S_ISDIR(s.st_mode))
        refuse(MSG_IS_FOLDER + one_line(name));
    if (same_path(name, input) || same_path(name, output))
        refuse(MSG_CLASH);
    SafeOutput probe(name);
    if (!probe.ok())
        refuse(MSG_WRITE_FAILED + one_line(name) + ": " + probe.error());
}
