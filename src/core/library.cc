// The library's entry points (include/brivane/brivane.hpp): one run of the program's course over an array in memory.
//
// A call makes a Run of its own, fills its settings from the options as the
// program fills them from its command line (the same keywords, defaults and
// checks, in the same order), points its data view at the caller's array,
// charges the input to the memory budget as the program charges what it
// loads, and takes the program's course.  The tree is the dendrogram the
// program writes.
#include <brivane/brivane.hpp>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <strings.h>
#include <vector>

#include "Timer.h"
#include "element.h"
#include "refuse.h"
#include "run.h"
#include "run_checks.h"
#include "threads.h"

namespace brivane {

namespace {

const char MSG_KEYWORD_REFUSED[] = " is not allowed, legal values are non-ambiguous prefixes of the following "
                                   "keywords:";
const char MSG_CLUSTER_LIST[] = "ERROR! A distance list is clustered through its own call (objects, from, to, "
                                "distance, entries), not with --cluster distlist.";
const char MSG_SHAPE[] = "ERROR! The matrix has %lld rows and %lld columns; both must be 1 or more.";
const char MSG_NOT_SQUARE[] = "ERROR! A distance matrix must be square: this one has %lld rows and %lld columns.";
const char MSG_CHAR_DISTANCES[] = "ERROR! A distance matrix must hold int, float or double values, not char.";
const char MSG_OBJECT_OUT_OF_RANGE[] = "ERROR! Entry %lld of the %s vector names object %d, but the objects are "
                                       "0..%d!";
const char MSG_NO_ARRAY[] = "ERROR! The data pointer is null.";
const char MSG_OUT_OF_MEMORY[] = "Out of memory!";

// The index of the one keyword that `word` is a prefix of, ignoring case; an
// empty word is the default keyword.  The keywords are the program's.
int keyword(const std::string &word, const char *option, const std::vector<const char *> &keys, int empty)
{
    if (word.empty())
        return empty;
    int found = -1, matches = 0, index = 0;
    for (const char *key : keys) {
        if (strncasecmp(word.c_str(), key, word.size()) == 0) {
            found = index;
            matches++;
        }
        index++;
    }
    if (matches == 1)
        return found;
    std::string message = std::string("ERROR! Value '") + word + "' of --" + option + MSG_KEYWORD_REFUSED;
    for (const char *key : keys)
        message += std::string(" '") + key + "'";
    refuse(message);
}

// The settings of a run from the options, checked in the program's order.
void apply(const Options &o, Run &run, bool list)
{
    EngineSettings &s = run.settings;
    s.cluster = list ? CLUSTER_DISTLIST
                     : keyword(o.cluster, "cluster", {"ROWS", "COLS", "DISTMAT", "DISTLIST"}, CLUSTER_ROWS);
    if (!list && s.cluster == CLUSTER_DISTLIST)
        refuse(MSG_CLUSTER_LIST);
    s.linkage = keyword(o.linkage, "linkage", std::vector<const char *>(LINKAGE_KEYS, LINKAGE_KEYS + LINKAGE_KEY_COUNT), LINKAGE_AVE);
    s.pivot_strategy = keyword(o.pivot_strategy, "pivot-strategy", {"RANDOM", "QUANTILE"}, PIVOT_RANDOM);
    s.engine = keyword(o.engine, "engine", {"AUTO", "STORE", "DENSE", "COMPACT", "LINEAR"}, ENGINE_AUTO);
    s.missing = keyword(o.missing, "missing", {"PROPAGATE", "PAIRWISE"}, MISSING_PROPAGATE);
    bool data = s.cluster == CLUSTER_ROWS || s.cluster == CLUSTER_COLS;
    if (!o.distance.empty() && !data)
        refuse(MSG_DISTANCE_NOT_APPLICABLE);
    if (o.distance.empty() && data)
        refuse(MSG_DISTANCE_MISSING);
    check_finite(o.memory, "memory");
    check_finite(o.time, "time");
    check_finite(o.prop_similar, "prop-similar");
    check_finite(o.pivot_quantile, "pivot-quantile");
    check_time_budget(o.time);
    check_at_least_one(o.num_pivots, "num-pivots");
    check_at_least_one(o.split_threshold, "split-threshold");
    if (o.sample_size != 0)
        check_at_least_one(o.sample_size, "sample-size");
    int threads = o.threads == 0 ? machine_cores() : o.threads;
    check_at_least_one(threads, "threads");
    check_threads(threads);

    run.num_threads = threads;
    s.all_pairwise = o.all_pairwise;
    s.num_pivots = o.num_pivots;
    s.pivot_quantile = o.pivot_quantile;
    s.prop_similar = o.prop_similar;
    s.sample_size = o.sample_size;
    s.split_threshold = o.split_threshold;
    s.missing_given = !o.missing.empty();
    s.memory = o.memory;
    s.time = o.time;
    s.num_distances = o.num_distances;
    s.num_distances_given = o.num_distances != 0;
    s.random_seed = o.random_seed;
    s.engine_given = !o.engine.empty() && strcasecmp(o.engine.c_str(), "auto") != 0;
    s.quality = false;
    check_linkage(s, data ? o.distance.c_str() : nullptr);
    check_engine(s);
    run.memory = memory_from_gigabytes(o.memory);
}

int type_code(Type type)
{
    switch (type) {
    case Type::Char: return TYPE_CHAR;
    case Type::Int: return TYPE_INT;
    case Type::Float: return TYPE_FLOAT;
    default: return TYPE_DOUBLE;
    }
}

void check_count(int64_t count)
{
    if (count > INT32_MAX)
        refuse(MSG_TOO_LARGE);
}

std::string numbers(const char *format, long long a, long long b)
{
    char message[256];
    std::snprintf(message, sizeof message, format, a, b);
    return message;
}

// A transposed copy of the matrix's columns, in `copy`.
template <class T> const void *transposed(const Matrix &data, std::vector<char> &copy)
{
    copy.resize((size_t)data.rows * (size_t)data.cols * sizeof(T));
    transpose(static_cast<const T *>(data.data), data.rows, data.cols, reinterpret_cast<T *>(copy.data()));
    return copy.data();
}

// The data view of a run over `values`, of the run's type.
void view(Run &run, const void *values)
{
    switch (run.type) {
    case TYPE_CHAR: run.data_char = static_cast<const char *>(values); break;
    case TYPE_INT: run.data_int = static_cast<const int *>(values); break;
    case TYPE_FLOAT: run.data_float = static_cast<const float *>(values); break;
    default: run.data_double = static_cast<const double *>(values);
    }
}

// The rest of the program's course once the data view is set, and the tree.
Tree finish(Run &run, const Options &options, Timer &timer)
{
    if (run.data_mode())
        run.make_measure(options.distance.c_str(),
                         checked_minkowski_p(options.distance.c_str(), options.minkowski_p != 0, options.minkowski_p));
    run.prepare_missing_values(run.data_mode() ? options.distance.c_str() : nullptr);
    run.seed_random();
    run.compute_distances(timer);
    run.run_clustering();
    int64_t nodes = 2 * (int64_t)run.object_count - 1;
    Tree tree;
    tree.left.assign(run.leftnode, run.leftnode + nodes);
    tree.right.assign(run.rightnode, run.rightnode + nodes);
    tree.start.assign(run.start, run.start + nodes);
    tree.end.assign(run.end, run.end + nodes);
    tree.old2new.assign(run.old2new, run.old2new + nodes);
    tree.new2old.assign(run.new2old, run.new2old + nodes);
    tree.distance.assign(run.dst, run.dst + nodes);
    return tree;
}

// Runs `body` with allocation failures turned into the program's error.
template <class F> Tree guarded(F body)
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        throw Error(MSG_OUT_OF_MEMORY);
    }
}

} // namespace

Tree cluster(const Matrix &data, const Options &options, Sink &sink)
{
    return guarded([&] {
        Timer timer;
        Run run;
        run.run_sink = &sink;
        apply(options, run, false);
        if (data.rows < 1 || data.cols < 1)
            refuse(numbers(MSG_SHAPE, data.rows, data.cols));
        if (!data.data)
            refuse(MSG_NO_ARRAY);
        check_count(data.rows);
        check_count(data.cols);
        check_count(data.rows * data.cols);
        run.type = type_code(data.type);
        std::vector<char> copy;
        const void *values = data.data;
        int64_t matrix_input = 0;
        if (run.settings.cluster == CLUSTER_DISTMAT) {
            if (data.rows != data.cols)
                refuse(numbers(MSG_NOT_SQUARE, data.rows, data.cols));
            if (data.type == Type::Char)
                refuse(MSG_CHAR_DISTANCES);
            run.object_count = (int)data.rows;
            matrix_input = element_size(run.type) * data.rows * data.rows;
        } else if (run.settings.cluster == CLUSTER_COLS) {
            run.object_count = (int)data.cols;
            run.row_length = (int)data.rows;
            run.charge_input(element_size(run.type) * data.rows * data.cols);
            // The objects are the columns: a transposed copy, as the program
            // makes of the columns it reads.
            switch (run.type) {
            case TYPE_CHAR: values = transposed<char>(data, copy); break;
            case TYPE_INT: values = transposed<int>(data, copy); break;
            case TYPE_FLOAT: values = transposed<float>(data, copy); break;
            default: values = transposed<double>(data, copy);
            }
        } else {
            run.object_count = (int)data.rows;
            run.row_length = (int)data.cols;
            run.charge_input(element_size(run.type) * data.rows * data.cols);
        }
        view(run, values);
        run.check_input_budget(matrix_input);
        return finish(run, options, timer);
    });
}

Tree cluster(const Matrix &data, const Options &options)
{
    return cluster(data, options, silent_sink());
}

Tree cluster(int32_t objects, const int32_t *from, const int32_t *to, const double *distance, int64_t entries,
             const Options &options, Sink &sink)
{
    return guarded([&] {
        Timer timer;
        Run run;
        run.run_sink = &sink;
        apply(options, run, true);
        check_count(entries);
        if (objects < 1)
            refuse(MSG_NO_OBJECTS);
        if (entries < 0 || (entries > 0 && (!from || !to || !distance)))
            refuse(MSG_NO_ARRAY);
        for (int64_t k = 0; k < entries; k++) {
            const int32_t *side = from[k] < 0 || from[k] >= objects ? from : to;
            if (side[k] < 0 || side[k] >= objects) {
                char message[256];
                std::snprintf(message, sizeof message, MSG_OBJECT_OUT_OF_RANGE, (long long)k,
                              side == from ? "start-objects (from)" : "end-objects (to)", side[k], objects - 1);
                refuse(message);
            }
        }
        run.object_count = objects;
        run.list_entries = (int)entries;
        run.type = TYPE_DOUBLE;
        run.data_double = distance;
        run.distfrom = from;
        run.distto = to;
        run.charge_input((int64_t)(4 + 4 + 8) * entries);
        run.check_input_budget(0);
        return finish(run, options, timer);
    });
}

Tree cluster(int32_t objects, const int32_t *from, const int32_t *to, const double *distance, int64_t entries,
             const Options &options)
{
    return cluster(objects, from, to, distance, entries, options, silent_sink());
}

} // namespace brivane
