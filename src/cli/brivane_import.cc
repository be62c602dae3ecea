// brivane-import: a tab-delimited or CSV table into the NetCDF layout that
// brivane clusters directly.
//
// The table is the layout of gene-expression tools such as Cluster 3.0: a
// header row of column names, one row per object, a first column of row names,
// optionally text annotation columns right after it and rows or columns of
// weights.  The output is one classic-format file with
//   data(rows, cols)                    the values, ncFloat or ncDouble
//   row_name(rows, row_name_len)        the row names, ncChar
//   col_name(cols, col_name_len)        the data column names, ncChar
//   HEADER(rows, HEADER_len)            one ncChar variable per annotation column
//   NAME(rows) / NAME(cols)             the kept weight columns / weight rows
// (all names but the annotations and weights can be chosen on the command line).
//
// Where things are, in reading order:
//   messages       every text the program writes, in one table
//   Settings       the command line, read by getopt_long
//   LineReader     whole lines of a stream, read in large blocks
//   split_tsv/csv  one record into cells
//   parse_cell     a strict number parser on std::from_chars
//   RowChunks      the growing matrix, in chunks of whole rows
//   TextColumn     a growing column of names
//   Table          everything one pass over the input collects
//   write_netcdf   the output file, written to a temporary file and put in place
//
// The input is read in one pass; memory is the matrix itself plus the names.
#include <getopt.h>
#include <netcdfcpp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "program_exit.h"
#include "safe_output.h"

namespace {

// ---------------------------------------------------------------------------
// Messages.  Each text the program writes lives here and nowhere else.

const char *const USAGE =
    "Usage: brivane-import [OPTION]... INPUT OUTPUT\n"
    "Read a table of numbers with a header row of column names and a first\n"
    "column of row names, tab-delimited or CSV, and write it as the classic-format\n"
    "NetCDF file OUTPUT that brivane clusters directly.  With INPUT '-' the table\n"
    "is read from standard input.\n"
    "\n"
    "The file holds the values as a two-dimensional variable over a row and a\n"
    "column dimension, and the row and column names (and any annotation columns)\n"
    "as ncChar variables, which brivane's --output-data carries into leaf order.\n"
    "As ncChar matrices count as data for brivane too, name the values when you\n"
    "cluster:  brivane -i OUTPUT -D data ...\n"
    "\n"
    "Table:\n"
    "  -f, --format=FORMAT   'tsv' (tab-delimited) or 'csv'; by default taken from\n"
    "                        INPUT's extension: .tsv, .txt and .tab are tsv, .csv\n"
    "                        is csv, and standard input is tsv\n"
    "  -a, --annotations=N   the N columns after the row names hold text, kept as\n"
    "                        ncChar variables named after their header (default 0)\n"
    "      --keep-row=NAME   the row whose name is NAME holds numbers per column,\n"
    "                        such as weights: keep it as a vector NAME over the\n"
    "                        column dimension, not as data (may be repeated)\n"
    "      --keep-col=NAME   the column headed NAME likewise, as a vector NAME over\n"
    "                        the row dimension (may be repeated)\n"
    "      --skip-row=NAME   leave out the row whose name is NAME (may be repeated)\n"
    "      --skip-col=NAME   leave out the column headed NAME (may be repeated)\n"
    "      --plain           no special Cluster 3.0 names; by default the rows\n"
    "                        EWEIGHT and EORDER and the columns GWEIGHT and GORDER\n"
    "                        are kept as vectors, and a row AID is left out\n"
    "\n"
    "Output:\n"
    "  -t, --type=TYPE       'float' (ncFloat, the default) or 'double' (ncDouble)\n"
    "  -V, --variable=NAME   name of the values variable (default 'data')\n"
    "  -r, --row-dim=NAME    name of the row dimension (default 'rows')\n"
    "  -c, --col-dim=NAME    name of the column dimension (default 'cols')\n"
    "      --row-names=NAME  name of the row names variable (default 'row_name');\n"
    "                        its length dimension is NAME_len\n"
    "      --col-names=NAME  name of the column names variable (default 'col_name')\n"
    "\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "\n"
    "Empty cells and NA, N/A, NaN (any case) are missing values and become NaN;\n"
    "blanks around a cell are ignored.  A cell that is not a number, a row with\n"
    "more or fewer cells than the header, or a repeated column name ends the\n"
    "import with status 1, and OUTPUT is left as it was.  CSV cells may be quoted\n"
    "with \"...\", holding commas, line breaks and doubled quotes; tab-delimited\n"
    "cells are taken as they are, quotes and all.\n";

const char *const VERSION = "brivane-import 1.6.0\n";
const char *const TRY_HELP = "Try 'brivane-import --help' for more information.\n";

const char *const ERR_OPERANDS = "ERROR! Expected an input and an output file name, got %d names\n";
const char *const ERR_FORMAT_WORD = "ERROR! Unknown format '%s'; use 'tsv' or 'csv'\n";
const char *const ERR_TYPE_WORD = "ERROR! Unknown type '%s'; use 'float' or 'double'\n";
const char *const ERR_COUNT_WORD = "ERROR! '%s' is not a count of annotation columns\n";
const char *const ERR_FORMAT_UNKNOWN =
    "ERROR! Cannot tell the format of '%s' from its extension; use --format=tsv or --format=csv\n";
const char *const ERR_BAD_NAME = "ERROR! '%s' is not a usable NetCDF name for --%s\n";
const char *const ERR_NAME_TWICE =
    "ERROR! The name '%s' is given to more than one dimension or variable, or is one of brivane's output names\n";
const char *const ERR_OPEN_INPUT = "ERROR! Could not open input file %s: %s\n";
const char *const ERR_READ_INPUT = "ERROR! Could not read input file %s: %s\n";
const char *const ERR_NO_HEADER = "ERROR! The input holds no header row\n";
const char *const ERR_FEW_COLUMNS =
    "ERROR! Line %ld: the header has %zu columns, too few for the row names and %d annotation columns\n";
const char *const ERR_DUPLICATE_COLUMN =
    "ERROR! Line %ld, column %zu: the column name '%s' is already that of column %zu\n";
const char *const ERR_NAME_TAKEN =
    "ERROR! Line %ld, column %zu: the column '%s' would be stored as '%s', a name already in use\n";
const char *const ERR_ROW_NAME_TAKEN =
    "ERROR! Line %ld, column 1: the row '%s' would be stored as '%s', a name already in use\n";
const char *const ERR_NO_DATA_COLUMNS = "ERROR! Line %ld: the header names no data column\n";
const char *const ERR_NO_DATA_ROWS = "ERROR! The table holds no data rows\n";
const char *const ERR_RAGGED =
    "ERROR! Line %ld, column %zu: the row has %zu cells where the header on line %ld has %zu\n";
const char *const ERR_NOT_NUMBER = "ERROR! Line %ld, column %zu ('%s'): '%s' is not a number\n";
const char *const ERR_OUT_OF_RANGE = "ERROR! Line %ld, column %zu ('%s'): '%s' is out of the range of %s\n";
const char *const ERR_OPEN_QUOTE = "ERROR! Line %ld, column %zu: the quoted cell is never closed\n";
const char *const ERR_NUL_BYTE = "ERROR! Line %ld, column %zu: the cell holds a NUL byte\n";
const char *const ERR_AFTER_QUOTE = "ERROR! Line %ld, column %zu: text after the closing quote\n";
const char *const ERR_KEPT_ROW_TWICE = "ERROR! Line %ld: the row '%s' was kept already on line %ld\n";
const char *const ERR_WRITE = "ERROR! Error writing output file %s: %s\n";
const char *const ERR_OUTPUT_IS_INPUT = "ERROR! The output file is the input file itself! Choose another output file.\n";
const char *const WARN_NO_ROW = "WARNING! No row is named '%s'\n";
const char *const WARN_NO_COLUMN = "WARNING! No column is headed '%s'\n";
const char *const SUMMARY = "Imported %zu rows x %zu columns into %s: %zu missing values became NaN\n";

// ---------------------------------------------------------------------------
// Ending the run.  The temporary output file is removed at every end but
// success, interrupts included (safe_output.h).

[[noreturn]] void fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    brivane_exit(1);
}

[[noreturn]] void usage_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs(TRY_HELP, stderr);
    brivane_exit(1);
}

void warn(const char *format, const std::string &what)
{
    std::fprintf(stderr, format, what.c_str());
}

// ---------------------------------------------------------------------------
// Settings: the command line.

enum class Format { unknown, tsv, csv };

struct Settings {
    std::string input, output;
    Format format = Format::unknown;
    bool as_double = false;
    int annotations = 0;
    std::string variable = "data", row_dim = "rows", col_dim = "cols";
    std::string row_names = "row_name", col_names = "col_name";
    std::set<std::string> keep_rows, keep_cols, skip_rows, skip_cols;
    // The names the user gave; a default Cluster 3.0 name that is absent is no news.
    std::set<std::string> asked_rows, asked_cols;
};

// A name that netCDF accepts and that a later tool will not stumble over:
// letters, digits and _ . @ + -, never starting with a digit or sign.
std::string netcdf_name(std::string_view text)
{
    std::string name;
    for (char c : text)
        name += (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) ||
                        std::strchr("_.@+-", c) ? c : '_';
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        name.insert(0, "_");
    return name;
}

bool ends_with_ignoring_case(const std::string &text, const char *suffix)
{
    size_t n = std::strlen(suffix);
    return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

Format format_from_name(const std::string &input)
{
    if (input == "-")
        return Format::tsv;
    for (const char *ext : {".tsv", ".txt", ".tab"})
        if (ends_with_ignoring_case(input, ext))
            return Format::tsv;
    if (ends_with_ignoring_case(input, ".csv"))
        return Format::csv;
    return Format::unknown;
}

Settings parse_command_line(int argc, char **argv)
{
    enum { OPT_KEEP_ROW = 256, OPT_KEEP_COL, OPT_SKIP_ROW, OPT_SKIP_COL, OPT_PLAIN, OPT_ROW_NAMES,
           OPT_COL_NAMES, OPT_VERSION };
    static const option long_options[] = {
        {"format", required_argument, nullptr, 'f'},
        {"annotations", required_argument, nullptr, 'a'},
        {"keep-row", required_argument, nullptr, OPT_KEEP_ROW},
        {"keep-col", required_argument, nullptr, OPT_KEEP_COL},
        {"skip-row", required_argument, nullptr, OPT_SKIP_ROW},
        {"skip-col", required_argument, nullptr, OPT_SKIP_COL},
        {"plain", no_argument, nullptr, OPT_PLAIN},
        {"type", required_argument, nullptr, 't'},
        {"variable", required_argument, nullptr, 'V'},
        {"row-dim", required_argument, nullptr, 'r'},
        {"col-dim", required_argument, nullptr, 'c'},
        {"row-names", required_argument, nullptr, OPT_ROW_NAMES},
        {"col-names", required_argument, nullptr, OPT_COL_NAMES},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0}};
    Settings s;
    bool plain = false;
    int opt;
    while ((opt = getopt_long(argc, argv, "f:a:t:V:r:c:h", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'f':
            if (std::strcmp(optarg, "tsv") == 0)
                s.format = Format::tsv;
            else if (std::strcmp(optarg, "csv") == 0)
                s.format = Format::csv;
            else
                usage_error(ERR_FORMAT_WORD, optarg);
            break;
        case 'a': {
            char *end;
            errno = 0;
            long n = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || n < 0 || n > 10000 || errno)
                usage_error(ERR_COUNT_WORD, optarg);
            s.annotations = static_cast<int>(n);
            break;
        }
        case 't':
            if (std::strcmp(optarg, "float") == 0)
                s.as_double = false;
            else if (std::strcmp(optarg, "double") == 0)
                s.as_double = true;
            else
                usage_error(ERR_TYPE_WORD, optarg);
            break;
        case 'V': s.variable = optarg; break;
        case 'r': s.row_dim = optarg; break;
        case 'c': s.col_dim = optarg; break;
        case OPT_ROW_NAMES: s.row_names = optarg; break;
        case OPT_COL_NAMES: s.col_names = optarg; break;
        case OPT_KEEP_ROW: s.keep_rows.insert(optarg); s.asked_rows.insert(optarg); break;
        case OPT_KEEP_COL: s.keep_cols.insert(optarg); s.asked_cols.insert(optarg); break;
        case OPT_SKIP_ROW: s.skip_rows.insert(optarg); s.asked_rows.insert(optarg); break;
        case OPT_SKIP_COL: s.skip_cols.insert(optarg); s.asked_cols.insert(optarg); break;
        case OPT_PLAIN: plain = true; break;
        case 'h': std::fputs(USAGE, stdout); brivane_exit(0);
        case OPT_VERSION: std::fputs(VERSION, stdout); brivane_exit(0);
        default: std::fputs(TRY_HELP, stderr); brivane_exit(1);  // getopt has said what was wrong
        }
    }
    if (argc - optind != 2)
        usage_error(ERR_OPERANDS, argc - optind);
    s.input = argv[optind];
    s.output = argv[optind + 1];
    if (s.format == Format::unknown)
        s.format = format_from_name(s.input);
    if (s.format == Format::unknown)
        usage_error(ERR_FORMAT_UNKNOWN, s.input.c_str());
    if (!plain) {
        // A name the user placed elsewhere keeps the user's choice.
        auto placed = [](const std::set<std::string> &a, const std::set<std::string> &b, const char *n) {
            return a.count(n) || b.count(n);
        };
        for (const char *row : {"EWEIGHT", "EORDER"})
            if (!placed(s.keep_rows, s.skip_rows, row))
                s.keep_rows.insert(row);
        for (const char *col : {"GWEIGHT", "GORDER"})
            if (!placed(s.keep_cols, s.skip_cols, col))
                s.keep_cols.insert(col);
        if (!placed(s.keep_rows, s.skip_rows, "AID"))
            s.skip_rows.insert("AID");
    }
    const std::pair<const std::string *, const char *> chosen[] = {
        {&s.variable, "variable"}, {&s.row_dim, "row-dim"}, {&s.col_dim, "col-dim"},
        {&s.row_names, "row-names"}, {&s.col_names, "col-names"}};
    for (const auto &[name, option] : chosen)
        if (netcdf_name(*name) != *name)
            usage_error(ERR_BAD_NAME, name->c_str(), option);
    return s;
}

// ---------------------------------------------------------------------------
// Reading lines and cells.

// Whole lines of a stream, read in blocks of a megabyte or more; a line comes
// without its end and stays valid until the next call.  The first line end
// decides what ends lines: LF (a CR before it is dropped, CR LF), or CR alone
// as old Mac files and some spreadsheets write them.
class LineReader {
public:
    LineReader(FILE *f, const std::string &name) : f_(f), name_(name), buf_(1 << 20) {}
    bool next(std::string_view &line);
    long line_number() const { return line_; }

private:
    FILE *f_;
    const std::string &name_;
    std::vector<char> buf_;
    size_t begin_ = 0, end_ = 0;  // the unread bytes are buf_[begin_, end_)
    bool eof_ = false;
    long line_ = 0;               // lines handed out so far, counting from 1
    char eol_ = '\n';             // the byte that ends a line
    bool decided_ = false;        // eol_ is known
};

bool LineReader::next(std::string_view &line)
{
    for (;;) {
        char *start = buf_.data() + begin_;
        const size_t left = end_ - begin_;
        if (!decided_) {
            const char *lf = static_cast<const char *>(std::memchr(start, '\n', left));
            const char *cr = static_cast<const char *>(std::memchr(start, '\r', left));
            if (cr && (!lf || cr < lf)) {
                // CR LF or a CR alone: the byte after it tells.
                if (cr + 1 < start + left || eof_) {
                    eol_ = cr + 1 < start + left && cr[1] == '\n' ? '\n' : '\r';
                    decided_ = true;
                }
            } else if (lf || eof_) {
                decided_ = true;
            }
        }
        char *stop = decided_ ? static_cast<char *>(std::memchr(start, eol_, left)) : nullptr;
        if (stop || (eof_ && begin_ < end_)) {
            if (!stop)
                stop = buf_.data() + end_;
            line = std::string_view(start, stop - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            begin_ = std::min(end_, static_cast<size_t>(stop - buf_.data()) + 1);
            ++line_;
            return true;
        }
        if (eof_)
            return false;
        std::memmove(buf_.data(), start, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        if (end_ == buf_.size())
            buf_.resize(buf_.size() * 2);  // a line longer than the buffer
        size_t got = std::fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
        if (got == 0) {
            if (std::ferror(f_))
                fail(ERR_READ_INPUT, name_.c_str(), std::strerror(errno));
            eof_ = true;
        }
        end_ += got;
    }
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Tab-delimited: every tab ends a cell, nothing is quoted (as Cluster 3.0 reads it).
void split_tsv(std::string_view line, std::vector<std::string_view> &cells)
{
    cells.clear();
    for (;;) {
        const char *tab = static_cast<const char *>(std::memchr(line.data(), '\t', line.size()));
        if (!tab) {
            cells.push_back(trim(line));
            return;
        }
        size_t n = tab - line.data();
        cells.push_back(trim(line.substr(0, n)));
        line.remove_prefix(n + 1);
    }
}

enum class Split { done, open_quote, after_quote };

// Follows the quoting of a CSV record line by line, with the rules of
// split_csv, to tell whether a line end falls inside a quoted cell.  Each
// byte is looked at once, so that a quote that is never closed costs time in
// proportion to the input (splitting the growing record again at every line
// made it quadratic).
class CsvScan {
public:
    // Follows one more line of the record, which begins on line `line`.
    void feed(std::string_view text, long line)
    {
        if (state_ != State::quoted && std::memchr(text.data(), '"', text.size()) == nullptr)
            return;  // without quotes only the cell count changes, which a closed record does not need
        for (char c : text) {
            switch (state_) {
            case State::cell_start:
                if (c == '"') {
                    state_ = State::quoted;
                    quote_line_ = line;
                    quote_column_ = column_;
                } else if (c == ',') {
                    ++column_;
                } else if (!is_blank(c)) {
                    state_ = State::unquoted;
                }
                break;
            case State::unquoted:
            case State::after_quote:
                if (c == ',') {
                    ++column_;
                    state_ = State::cell_start;
                } else if (state_ == State::after_quote && !is_blank(c)) {
                    state_ = State::text_after_quote;
                    return;  // split_csv names this fault
                }
                break;
            case State::quoted:
                if (c == '"')
                    state_ = State::quote_in_quoted;
                break;
            case State::quote_in_quoted:
                if (c == '"') {
                    state_ = State::quoted;  // a doubled quote
                } else if (c == ',') {
                    ++column_;
                    state_ = State::cell_start;
                } else {
                    state_ = is_blank(c) ? State::after_quote : State::text_after_quote;
                    if (state_ == State::text_after_quote)
                        return;
                }
                break;
            case State::text_after_quote:
                return;
            }
        }
    }
    // Whether the line end after the text fed so far is inside a quoted cell.
    bool open() const { return state_ == State::quoted; }
    long quote_line() const { return quote_line_; }
    size_t quote_column() const { return quote_column_; }

private:
    enum class State { cell_start, unquoted, quoted, quote_in_quoted, after_quote, text_after_quote };
    State state_ = State::cell_start;
    size_t column_ = 1;
    long quote_line_ = 0;
    size_t quote_column_ = 0;
};

// CSV: a cell that starts with a double quote runs to the matching quote, and
// a doubled quote inside stands for one.  Unquoted quoted cells are copied into
// `unquoted`, which is sized up front so that the views into it stay valid.
// On failure `bad_column` is the 1-based column of the faulty cell.
Split split_csv(std::string_view record, std::vector<std::string_view> &cells, std::string &unquoted,
                size_t &bad_column)
{
    cells.clear();
    unquoted.clear();
    unquoted.reserve(record.size());
    size_t i = 0, n = record.size();
    for (;;) {
        size_t j = i;
        while (j < n && is_blank(record[j]))
            ++j;
        if (j < n && record[j] == '"') {
            size_t from = unquoted.size();
            for (++j;; ++j) {
                if (j >= n) {
                    bad_column = cells.size() + 1;
                    return Split::open_quote;
                }
                if (record[j] == '"') {
                    if (j + 1 < n && record[j + 1] == '"')
                        ++j;
                    else
                        break;
                }
                unquoted.push_back(record[j]);
            }
            for (++j; j < n && is_blank(record[j]); ++j) {
            }
            if (j < n && record[j] != ',') {
                bad_column = cells.size() + 1;
                return Split::after_quote;
            }
            cells.push_back(std::string_view(unquoted.data() + from, unquoted.size() - from));
            if (j >= n)
                return Split::done;
            i = j + 1;
            continue;
        }
        const char *comma = static_cast<const char *>(std::memchr(record.data() + i, ',', n - i));
        size_t stop = comma ? comma - record.data() : n;
        cells.push_back(trim(record.substr(i, stop - i)));
        if (!comma)
            return Split::done;
        i = stop + 1;
    }
}

// Reads records: one line for TSV, as many lines as a quoted CSV cell spans.
class RecordReader {
public:
    RecordReader(FILE *f, const std::string &name, Format format) : lines_(f, name), csv_(format == Format::csv) {}

    // The next non-empty record's cells, or false at the end of the input.
    bool next(std::vector<std::string_view> &cells)
    {
        std::string_view line;
        do {
            if (!lines_.next(line))
                return false;
            if (lines_.line_number() == 1 && line.substr(0, 3) == "\xEF\xBB\xBF")
                line.remove_prefix(3);  // the byte-order mark that spreadsheets write
        } while (line.empty());
        first_line_ = lines_.line_number();
        if (!csv_) {
            split_tsv(line, cells);
            check_bytes(line, cells);
            return true;
        }
        CsvScan scan;
        scan.feed(line, first_line_);
        std::string_view record = line;
        if (scan.open()) {
            joined_.assign(line);
            while (scan.open()) {
                if (!lines_.next(line))
                    fail(ERR_OPEN_QUOTE, scan.quote_line(), scan.quote_column());
                joined_ += '\n';
                joined_ += line;
                scan.feed(line, lines_.line_number());
            }
            record = joined_;
        }
        size_t bad_column = 0;
        Split result = split_csv(record, cells, unquoted_, bad_column);
        if (result == Split::open_quote)  // not reached: the scan has closed every quote
            fail(ERR_OPEN_QUOTE, scan.quote_line(), bad_column);
        if (result == Split::after_quote)
            fail(ERR_AFTER_QUOTE, lines_.line_number(), bad_column);
        check_bytes(record, cells);
        return true;
    }

    // The line on which the last record began.
    long line() const { return first_line_; }

private:
    // A NUL byte would cut a name short in every C reader and is no digit:
    // the cell holding one is named as such.
    void check_bytes(std::string_view record, const std::vector<std::string_view> &cells) const
    {
        if (std::memchr(record.data(), '\0', record.size()) == nullptr)
            return;
        for (size_t c = 0; c < cells.size(); ++c)
            if (cells[c].find('\0') != std::string_view::npos)
                fail(ERR_NUL_BYTE, first_line_, c + 1);
    }

    LineReader lines_;
    bool csv_;
    long first_line_ = 0;
    std::string joined_, unquoted_;
};

// ---------------------------------------------------------------------------
// Numbers.

enum class Cell { number, missing, not_number, out_of_range };

bool is_missing_word(std::string_view s)
{
    for (const char *word : {"na", "nan", "n/a"})
        if (s.size() == std::strlen(word) && strncasecmp(s.data(), word, s.size()) == 0)
            return true;
    return false;
}

// The whole (trimmed) cell must be one decimal number; a value too small for T
// becomes zero or a subnormal as in strtod, one too large is refused.
template <class T>
Cell parse_cell(std::string_view s, T &value)
{
    s = trim(s);  // a quoted cell comes untrimmed
    if (s.empty() || is_missing_word(s)) {
        value = std::numeric_limits<T>::quiet_NaN();
        return Cell::missing;
    }
    const char *first = s.data(), *last = s.data() + s.size();
    if (*first == '+') {  // from_chars takes no plus sign
        ++first;
        if (first == last || *first == '-')
            return Cell::not_number;
    }
    auto [stop, ec] = std::from_chars(first, last, value);
    if (stop != last)
        return Cell::not_number;
    if (ec == std::errc::result_out_of_range) {
        double near = std::strtod(std::string(first, last).c_str(), nullptr);
        if (!(std::fabs(near) <= 1.0))
            return Cell::out_of_range;
        value = static_cast<T>(near);
    } else if (ec != std::errc()) {
        return Cell::not_number;
    }
    return std::isnan(value) ? Cell::missing : Cell::number;
}

// ---------------------------------------------------------------------------
// What the pass over the input collects.

// The matrix, row after row, in chunks of whole rows (about 4 MiB each), so
// that it grows without the copy of a growing vector and its twice-the-size peak.
template <class T>
class RowChunks {
public:
    explicit RowChunks(size_t cols) : cols_(cols), rows_per_chunk_(std::max<size_t>(1, (1 << 20) / cols)) {}

    T *append_row()
    {
        if (rows_ % rows_per_chunk_ == 0)
            chunks_.emplace_back(new T[rows_per_chunk_ * cols_]);
        return chunks_.back().get() + (rows_++ % rows_per_chunk_) * cols_;
    }
    size_t rows() const { return rows_; }
    size_t chunk_count() const { return chunks_.size(); }
    size_t first_row(size_t chunk) const { return chunk * rows_per_chunk_; }
    size_t rows_in(size_t chunk) const { return std::min(rows_per_chunk_, rows_ - chunk * rows_per_chunk_); }
    const T *chunk(size_t k) const { return chunks_[k].get(); }

private:
    size_t cols_, rows_per_chunk_;
    size_t rows_ = 0;
    std::vector<std::unique_ptr<T[]>> chunks_;
};

// A column of texts in one pool; text i is pool[start[i], start[i + 1]).
class TextColumn {
public:
    TextColumn() : start_{0} {}
    void append(std::string_view text)
    {
        pool_.append(text);
        start_.push_back(pool_.size());
        longest_ = std::max(longest_, text.size());
    }
    size_t size() const { return start_.size() - 1; }
    std::string_view at(size_t i) const
    {
        return std::string_view(pool_.data() + start_[i], start_[i + 1] - start_[i]);
    }
    // The length of the padded rows in the file: a dimension of length zero
    // would be taken as the unlimited one.
    size_t width() const { return std::max<size_t>(1, longest_); }

private:
    std::string pool_;
    std::vector<size_t> start_;
    size_t longest_ = 0;
};

// What a column of the table is for.
enum class Role { row_name, annotation, data, kept, skipped };

template <class T>
struct Table {
    long header_line = 0;
    size_t header_cells = 0;
    std::vector<std::string> header;  // the header's cells, for the messages
    std::vector<Role> role;          // by cell position
    std::vector<size_t> slot;        // index among the columns of that role
    TextColumn col_names;            // of the data columns
    std::vector<std::string> annotation_names, kept_col_names;  // as stored in the file
    std::vector<std::string> kept_row_names;
    std::unique_ptr<RowChunks<T>> values;
    TextColumn row_names;
    std::vector<TextColumn> annotations;
    std::vector<std::vector<T>> kept_cols;  // one value per data row
    std::vector<std::vector<T>> kept_rows;  // one value per data column
    size_t missing = 0;
};

// Every dimension and variable name in the file, so that no two collide.
// Brivane's own output names are reserved too: --output-data copies the
// input's names beside them.
struct Names {
    std::set<std::string> taken;

    // The names on the command line come first; a clash among them is bad usage.
    explicit Names(const Settings &s)
    {
        for (const char *prefix : {"row_", "col_", ""})
            for (const char *suffix : {"nodes", "left", "right", "start", "end", "old2new", "new2old", "distance"})
                taken.insert(std::string(prefix) + suffix);
        for (const std::string &name : {s.variable, s.row_dim, s.col_dim, s.row_names, s.row_names + "_len",
                                        s.col_names, s.col_names + "_len"})
            if (!claim(name))
                usage_error(ERR_NAME_TWICE, name.c_str());
    }
    bool claim(const std::string &name) { return taken.insert(name).second; }
};

// ---------------------------------------------------------------------------
// The pass over the input.

template <class T>
void read_header(const Settings &s, RecordReader &reader, Names &names, Table<T> &t)
{
    std::vector<std::string_view> cells;
    if (!reader.next(cells))
        fail(ERR_NO_HEADER);
    long line = reader.line();
    t.header_line = line;
    t.header_cells = cells.size();
    for (std::string_view cell : cells)
        t.header.emplace_back(cell);
    if (cells.size() < 1 + static_cast<size_t>(s.annotations))
        fail(ERR_FEW_COLUMNS, line, cells.size(), s.annotations);
    std::unordered_map<std::string_view, size_t> seen;  // column name -> 1-based column
    t.role.assign(cells.size(), Role::data);
    t.slot.assign(cells.size(), 0);
    t.role[0] = Role::row_name;
    std::set<std::string> found;
    for (size_t c = 1; c < cells.size(); ++c) {
        std::string header(cells[c]);
        auto [at, fresh] = seen.emplace(cells[c], c + 1);
        if (!fresh)
            fail(ERR_DUPLICATE_COLUMN, line, c + 1, header.c_str(), at->second);
        if (c <= static_cast<size_t>(s.annotations)) {
            t.role[c] = Role::annotation;
            t.slot[c] = t.annotation_names.size();
            std::string name = netcdf_name(header);
            if (!names.claim(name) || !names.claim(name + "_len"))
                fail(ERR_NAME_TAKEN, line, c + 1, header.c_str(), name.c_str());
            t.annotation_names.push_back(name);
        } else if (s.keep_cols.count(header)) {
            found.insert(header);
            t.role[c] = Role::kept;
            t.slot[c] = t.kept_col_names.size();
            std::string name = netcdf_name(header);
            if (!names.claim(name))
                fail(ERR_NAME_TAKEN, line, c + 1, header.c_str(), name.c_str());
            t.kept_col_names.push_back(name);
        } else if (s.skip_cols.count(header)) {
            found.insert(header);
            t.role[c] = Role::skipped;
        } else {
            t.slot[c] = t.col_names.size();
            t.col_names.append(cells[c]);
        }
    }
    for (const std::string &name : s.asked_cols)
        if (!found.count(name))
            warn(WARN_NO_COLUMN, name);
    if (t.col_names.size() == 0)
        fail(ERR_NO_DATA_COLUMNS, line);
    t.values.reset(new RowChunks<T>(t.col_names.size()));
    t.annotations.resize(t.annotation_names.size());
    t.kept_cols.resize(t.kept_col_names.size());
}

// Parses the cell at the 1-based `column` of `line`, or ends the run naming both.
template <class T>
void parse_into(std::string_view cell, T &value, const Table<T> &t, long line, size_t column)
{
    Cell kind = parse_cell(cell, value);
    if (kind == Cell::number || kind == Cell::missing)
        return;
    std::string text(cell);
    const char *name = t.header[column - 1].c_str();
    if (kind == Cell::out_of_range)
        fail(ERR_OUT_OF_RANGE, line, column, name, text.c_str(), sizeof(T) == sizeof(float) ? "ncFloat" : "ncDouble");
    fail(ERR_NOT_NUMBER, line, column, name, text.c_str());
}

template <class T>
void read_rows(const Settings &s, RecordReader &reader, Names &names, Table<T> &t)
{
    std::vector<std::string_view> cells;
    std::map<std::string, long> kept_on_line;
    std::set<std::string> found;
    const size_t width = t.header_cells;
    while (reader.next(cells)) {
        long line = reader.line();
        if (cells.size() != width)
            fail(ERR_RAGGED, line, std::min(cells.size(), width) + 1, cells.size(), t.header_line, width);
        std::string name(cells[0]);
        if (s.skip_rows.count(name)) {
            found.insert(name);
            continue;
        }
        if (s.keep_rows.count(name)) {
            found.insert(name);
            auto [at, fresh] = kept_on_line.emplace(name, line);
            if (!fresh)
                fail(ERR_KEPT_ROW_TWICE, line, name.c_str(), at->second);
            std::string stored = netcdf_name(name);
            if (!names.claim(stored))
                fail(ERR_ROW_NAME_TAKEN, line, name.c_str(), stored.c_str());
            t.kept_row_names.push_back(stored);
            std::vector<T> row(t.col_names.size());
            for (size_t c = 1; c < width; ++c)
                if (t.role[c] == Role::data)
                    parse_into(cells[c], row[t.slot[c]], t, line, c + 1);
            t.kept_rows.push_back(std::move(row));
            continue;
        }
        T *row = t.values->append_row();
        for (size_t c = 1; c < width; ++c) {
            switch (t.role[c]) {
            case Role::data:
                parse_into(cells[c], row[t.slot[c]], t, line, c + 1);
                t.missing += std::isnan(row[t.slot[c]]);
                break;
            case Role::annotation:
                t.annotations[t.slot[c]].append(cells[c]);
                break;
            case Role::kept: {
                T value;
                parse_into(cells[c], value, t, line, c + 1);
                t.kept_cols[t.slot[c]].push_back(value);
                break;
            }
            default:
                break;
            }
        }
        t.row_names.append(cells[0]);
    }
    for (const std::string &name : s.asked_rows)
        if (!found.count(name))
            warn(WARN_NO_ROW, name);
    if (t.values->rows() == 0)
        fail(ERR_NO_DATA_ROWS);
}

// ---------------------------------------------------------------------------
// The output file.

// Errors of the netCDF layer end the run here, after the temporary file is gone.
void check(bool ok, const Settings &s, NcError &errors)
{
    if (!ok)
        fail(ERR_WRITE, s.output.c_str(), nc_strerror(errors.get_err()));
}

NcVar *add_text(NcFile &nc, const std::string &name, NcDim *along, const TextColumn &texts, const Settings &s,
                NcError &errors)
{
    NcDim *len = nc.add_dim((name + "_len").c_str(), static_cast<long>(texts.width()));
    check(len != nullptr, s, errors);
    NcVar *var = nc.add_var(name.c_str(), ncChar, along, len);
    check(var != nullptr, s, errors);
    return var;
}

// Writes the texts padded with NULs to the variable's width, some rows at a time.
void put_text(NcVar *var, const TextColumn &texts, const Settings &s, NcError &errors)
{
    const size_t width = texts.width(), step = std::max<size_t>(1, (1 << 22) / width);
    std::vector<char> block;
    for (size_t first = 0; first < texts.size(); first += step) {
        size_t rows = std::min(step, texts.size() - first);
        block.assign(rows * width, '\0');
        for (size_t i = 0; i < rows; ++i) {
            std::string_view text = texts.at(first + i);
            std::memcpy(block.data() + i * width, text.data(), text.size());
        }
        check(var->set_cur(static_cast<long>(first), 0L), s, errors);
        check(var->put(block.data(), static_cast<long>(rows), static_cast<long>(width)), s, errors);
    }
}

template <class T>
void write_netcdf(const Settings &s, const Table<T> &t)
{
    const NcType value_type = sizeof(T) == sizeof(double) ? ncDouble : ncFloat;
    const size_t R = t.values->rows(), C = t.col_names.size();
    // The classic format places every variable below 2 GiB.  A larger file
    // takes its 64-bit offset variant, which still bounds every variable but the
    // last to 4 GiB: there the values are defined last.
    double bytes = static_cast<double>(R) * C * sizeof(T) + static_cast<double>(R) * t.row_names.width();
    for (const TextColumn &texts : t.annotations)
        bytes += static_cast<double>(R) * texts.width();
    const bool large = bytes > 2.0e9;
    SafeOutput out(s.output);
    if (!out.ok())
        fail(ERR_WRITE, s.output.c_str(), out.error().c_str());
    const std::string &temp = out.path();
    {
        NcError errors(NcError::silent_nonfatal);
        NcFile nc(temp.c_str(), NcFile::Replace, nullptr, 0, large ? NcFile::Offset64Bits : NcFile::Classic);
        check(nc.is_valid(), s, errors);
        nc.set_fill(NcFile::NoFill);  // every value is written
        NcDim *rows = nc.add_dim(s.row_dim.c_str(), static_cast<long>(R));
        NcDim *cols = nc.add_dim(s.col_dim.c_str(), static_cast<long>(C));
        check(rows && cols, s, errors);
        NcVar *data = nullptr;
        if (!large) {
            data = nc.add_var(s.variable.c_str(), value_type, rows, cols);
            check(data != nullptr, s, errors);
        }
        NcVar *row_names = add_text(nc, s.row_names, rows, t.row_names, s, errors);
        NcVar *col_names = add_text(nc, s.col_names, cols, t.col_names, s, errors);
        std::vector<NcVar *> annotations, kept_cols, kept_rows;
        for (size_t k = 0; k < t.annotations.size(); ++k)
            annotations.push_back(add_text(nc, t.annotation_names[k], rows, t.annotations[k], s, errors));
        for (const std::string &name : t.kept_col_names) {
            kept_cols.push_back(nc.add_var(name.c_str(), value_type, rows));
            check(kept_cols.back() != nullptr, s, errors);
        }
        for (const std::string &name : t.kept_row_names) {
            kept_rows.push_back(nc.add_var(name.c_str(), value_type, cols));
            check(kept_rows.back() != nullptr, s, errors);
        }
        if (large) {
            data = nc.add_var(s.variable.c_str(), value_type, rows, cols);
            check(data != nullptr, s, errors);
        }

        for (size_t k = 0; k < t.values->chunk_count(); ++k) {
            check(data->set_cur(static_cast<long>(t.values->first_row(k)), 0L), s, errors);
            check(data->put(t.values->chunk(k), static_cast<long>(t.values->rows_in(k)), static_cast<long>(C)),
                  s, errors);
        }
        put_text(row_names, t.row_names, s, errors);
        put_text(col_names, t.col_names, s, errors);
        for (size_t k = 0; k < annotations.size(); ++k)
            put_text(annotations[k], t.annotations[k], s, errors);
        for (size_t k = 0; k < kept_cols.size(); ++k)
            check(kept_cols[k]->put(t.kept_cols[k].data(), static_cast<long>(R)), s, errors);
        for (size_t k = 0; k < kept_rows.size(); ++k)
            check(kept_rows[k]->put(t.kept_rows[k].data(), static_cast<long>(C)), s, errors);
        check(nc.close(), s, errors);
    }
    if (!out.commit())
        fail(ERR_WRITE, s.output.c_str(), out.error().c_str());
}

template <class T>
void import(const Settings &s)
{
    Names names(s);
    // Writing the output would destroy the input while it is being read.
    if (s.input != "-" && same_file(s.input.c_str(), s.output.c_str()))
        fail(ERR_OUTPUT_IS_INPUT);
    // An output that cannot be made is told before the whole input is read.
    {
        SafeOutput probe(s.output);
        if (!probe.ok())
            fail(ERR_WRITE, s.output.c_str(), probe.error().c_str());
    }
    FILE *f = s.input == "-" ? stdin : std::fopen(s.input.c_str(), "rb");
    if (!f)
        fail(ERR_OPEN_INPUT, s.input.c_str(), std::strerror(errno));
    Table<T> t;
    RecordReader reader(f, s.input, s.format);
    read_header(s, reader, names, t);
    read_rows(s, reader, names, t);
    if (f != stdin)
        std::fclose(f);
    write_netcdf(s, t);
    std::fprintf(stderr, SUMMARY, t.values->rows(), t.col_names.size(), s.output.c_str(), t.missing);
}

}  // namespace

// One place decides what ending the run means; the temporary output goes
// with the exit, whatever was there before under the output's name stays.
void brivane_exit(int status)
{
    std::exit(status);
}

int main(int argc, char **argv)
{
    Settings s = parse_command_line(argc, argv);
    if (s.as_double)
        import<double>(s);
    else
        import<float>(s);
    return 0;
}
