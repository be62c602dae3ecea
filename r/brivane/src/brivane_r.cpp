// The R side of brivane: hands an R matrix, a dist object or a character
// vector to the library, and gives the tree back in hclust's form.
//
// It converts and nothing more.  The options arrive as the library's fields
// (R/brivane.R maps R's names onto them); the run's report is kept for R,
// which turns its WARNING lines into R warnings; an error comes back as a
// value, so that R raises it with its own condition class; an interrupt
// stops the run through the sink.
#include <Rcpp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <brivane/brivane.hpp>

namespace {

void check_interrupt(void *)
{
    R_CheckUserInterrupt();
}

// Keeps the run's report; with `verbose`, writes it to R's console as it
// comes.  R may be called from R's own thread only, so a piece that another
// thread reports waits for the next call on R's thread.
class RSink : public brivane::Sink {
  public:
    explicit RSink(bool verbose) : verbose_(verbose), r_thread_(std::this_thread::get_id()) {}

    std::string report;
    bool interrupted = false;

    void text(const std::string &piece) override
    {
        report += piece;
        echo(piece);
    }
    void summary(const std::string &line) override
    {
        report += line + "\n";
        echo(line + "\n");
    }
    void flush() override { echo(""); }

    // An interrupt that R holds is taken inside R_ToplevelExec, whose jump
    // ends there instead of unwinding through the engine's frames.
    bool stop() override
    {
        if (std::this_thread::get_id() != r_thread_)
            return false;
        if (!interrupted && !R_ToplevelExec(check_interrupt, nullptr))
            interrupted = true;
        return interrupted;
    }

  private:
    void echo(const std::string &piece)
    {
        if (!verbose_)
            return;
        pending_ += piece;
        if (std::this_thread::get_id() == r_thread_ && !pending_.empty()) {
            REprintf("%s", pending_.c_str());
            pending_.clear();
        }
    }

    bool verbose_;
    std::thread::id r_thread_;
    std::string pending_;
};

// The library's options from R's list of them (names as the fields).
brivane::Options options_from(const Rcpp::List &given)
{
    brivane::Options o;
    Rcpp::CharacterVector names = given.names();
    for (R_xlen_t k = 0; k < given.size(); k++) {
        std::string name = Rcpp::as<std::string>(names[k]);
        SEXP value = given[k];
        if (name == "distance") o.distance = Rcpp::as<std::string>(value);
        else if (name == "linkage") o.linkage = Rcpp::as<std::string>(value);
        else if (name == "minkowski_p") o.minkowski_p = Rcpp::as<double>(value);
        else if (name == "memory") o.memory = Rcpp::as<double>(value);
        else if (name == "time") o.time = Rcpp::as<double>(value);
        else if (name == "num_distances") o.num_distances = (int64_t)Rcpp::as<double>(value);
        else if (name == "all_pairwise") o.all_pairwise = Rcpp::as<bool>(value);
        else if (name == "prop_similar") o.prop_similar = Rcpp::as<double>(value);
        else if (name == "num_pivots") o.num_pivots = Rcpp::as<int>(value);
        else if (name == "random_seed") o.random_seed = Rcpp::as<int>(value);
        else if (name == "sample_size") o.sample_size = Rcpp::as<int>(value);
        else if (name == "pivot_strategy") o.pivot_strategy = Rcpp::as<std::string>(value);
        else if (name == "pivot_quantile") o.pivot_quantile = Rcpp::as<double>(value);
        else if (name == "split_threshold") o.split_threshold = Rcpp::as<int>(value);
        else if (name == "threads") o.threads = Rcpp::as<int>(value);
        else if (name == "engine") o.engine = Rcpp::as<std::string>(value);
        else if (name == "missing") o.missing = Rcpp::as<std::string>(value);
        else if (name == "cluster") o.cluster = Rcpp::as<std::string>(value);
        else Rcpp::stop("unknown option '" + name + "'");
    }
    return o;
}

// hclust's code of a node: -(object + 1) for a leaf, the merge's row (from 1)
// for a merge.
int r_code(int32_t node, int n, const std::vector<int32_t> &new2old)
{
    return node < n ? -(new2old[node] + 1) : node - n + 1;
}

// Whether hclust puts `a` before `b` in a row of merge: leaves before
// merges, leaves by object, merges by row.
bool r_first(int a, int b)
{
    if ((a < 0) != (b < 0))
        return a < 0;
    return a < 0 ? a > b : a < b;
}

// merge, height and order as hclust has them.  The library numbers merges as
// hclust does (the k-th merge is node n + k - 1) but names a leaf child by
// its leaf position; hclust orients each row as r_first says and its order
// is the leaves of that orientation, first column first.
Rcpp::List as_hclust(const brivane::Tree &tree, const std::string &report)
{
    int n = (int)(tree.distance.size() + 1) / 2;
    Rcpp::IntegerMatrix merge(n - 1, 2);
    Rcpp::NumericVector height(n - 1);
    for (int k = 0; k < n - 1; k++) {
        int a = r_code(tree.left[n + k], n, tree.new2old), b = r_code(tree.right[n + k], n, tree.new2old);
        if (!r_first(a, b))
            std::swap(a, b);
        merge(k, 0) = a;
        merge(k, 1) = b;
        height[k] = tree.distance[n + k];
    }
    Rcpp::IntegerVector order(n);
    std::vector<int> stack{n - 1};
    int placed = 0;
    while (!stack.empty()) {
        int code = stack.back();
        stack.pop_back();
        if (code < 0) {
            order[placed++] = -code;
        } else {
            stack.push_back(merge(code - 1, 1));
            stack.push_back(merge(code - 1, 0));
        }
    }
    return Rcpp::List::create(Rcpp::Named("merge") = merge, Rcpp::Named("height") = height,
                              Rcpp::Named("order") = order, Rcpp::Named("report") = report);
}

Rcpp::List failure(const std::string &message, int status, const std::string &report, bool interrupted)
{
    return Rcpp::List::create(Rcpp::Named("error") = message, Rcpp::Named("status") = status,
                              Rcpp::Named("report") = report, Rcpp::Named("interrupted") = interrupted);
}

template <class F> Rcpp::List guarded(RSink &sink, F run)
{
    try {
        return as_hclust(run(), sink.report);
    } catch (const brivane::Error &e) {
        std::string message = e.what();
        const std::string opening = "ERROR! ";
        if (message.compare(0, opening.size(), opening) == 0)
            message.erase(0, opening.size());
        return failure(message, e.status(), sink.report, sink.interrupted);
    } catch (const std::bad_alloc &) {
        return failure("Out of memory!", 1, sink.report, false);
    }
}

} // namespace

// Clusters the objects of `x`: a numeric or integer matrix (R's layout, so
// that its columns are rows of the library's row-major view: `options`
// says "cols" to cluster R's rows), the values of a dist object (the lower
// triangle by columns), or the strings of a character vector (rows of
// characters padded with zeros).
// [[Rcpp::export(name = ".brivane_run")]]
Rcpp::List brivane_run(SEXP x, std::string kind, Rcpp::List options, bool verbose)
{
    brivane::Options o = options_from(options);
    RSink sink(verbose);
    if (kind == "matrix") {
        SEXP dim = Rf_getAttrib(x, R_DimSymbol);
        int64_t rows = INTEGER(dim)[0], cols = INTEGER(dim)[1];
        brivane::Matrix m{nullptr, brivane::Type::Double, cols, rows};
        if (TYPEOF(x) == INTSXP) {
            m.data = INTEGER(x);
            m.type = brivane::Type::Int;
        } else {
            m.data = REAL(x);
        }
        return guarded(sink, [&] { return brivane::cluster(m, o, sink); });
    }
    if (kind == "dist") {
        // The library takes given distances as a square matrix; a dist
        // holds the pairs i < j once, column after column.
        int64_t n = Rf_asInteger(Rf_getAttrib(x, Rf_install("Size")));
        const double *d = REAL(x);
        std::vector<double> square;
        try {
            square.assign((size_t)(n * n), 0.0);
        } catch (const std::bad_alloc &) {
            return failure("Out of memory!", 1, "", false);
        }
        int64_t at = 0;
        for (int64_t j = 0; j < n; j++)
            for (int64_t i = j + 1; i < n; i++, at++)
                square[i * n + j] = square[j * n + i] = d[at];
        o.cluster = "distmat";
        brivane::Matrix m{square.data(), brivane::Type::Double, n, n};
        return guarded(sink, [&] { return brivane::cluster(m, o, sink); });
    }
    // Strings: one row each, as long as the longest, padded with zeros.
    Rcpp::CharacterVector strings(x);
    int64_t n = strings.size(), width = 1;
    for (int64_t k = 0; k < n; k++)
        width = std::max<int64_t>(width, (int64_t)std::strlen(CHAR(STRING_ELT(x, k))));
    std::vector<char> rows((size_t)(n * width), 0);
    for (int64_t k = 0; k < n; k++) {
        const char *s = CHAR(STRING_ELT(x, k));
        std::memcpy(&rows[(size_t)(k * width)], s, std::strlen(s));
    }
    brivane::Matrix m{rows.data(), brivane::Type::Char, n, width};
    return guarded(sink, [&] { return brivane::cluster(m, o, sink); });
}
