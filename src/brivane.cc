// The run driver of brivane.
//
//   main_arg                 one run: keyword options and defaults, the option
//                            checks, the input phase, the seed, the distance
//                            count, the distance phases and the clustering.
//   read_shapes, load_input  the input's shapes and values, read by
//                            input_file.cc, with the engine choice and the
//                            refusal of a budget that cannot hold the input.
//   memory_from_gigabytes, all_pairs, sample_count, bound_num_distances
//                            the arithmetic that turns the budgets into a
//                            number of distances.
// The module also owns the global run state of brivane.h and the four measure
// registries, built during static initialisation.
#include "brivane.h"

#include <brivane/error.hpp>
#include <brivane/sink.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <netcdfcpp.h>

#include "Argumentyzer.h"
#include "Distance.h"
#include "Timer.h"
#include "brivane_arg.h"
#include "dense.h"
#include "element.h"
#include "input_file.h"
#include "output_layout.h"
#include "plan.h"
#include "program_sink.h"
#include "progress.h"
#include "quality.h"
#include "safe_output.h"
#include "small_dist.h"
#include "threads.h"
#include "tree_file.h"

NcFile *in = nullptr;
NcDim *clust_dim = nullptr;
int matvar = -1;
int fromvar = -1;
int tovar = -1;

ProgramRun::ProgramRun()
{
    read_distance_blocks = [this] { return read_distance_matrix(); };
}

void brivane_exit(int status)
{
    std::exit(status);
}

// A message with its one %s filled in.
std::string filled(const char *format, const std::string &text)
{
    std::string message = format;
    size_t at = message.find("%s");
    return message.replace(at, 2, text);
}

int cluster_mode()
{
    return opt_int(INDEX_OPT_CLUSTER);
}

// A budget that cannot hold the input is refused once the shapes are read
// (read_shapes), where the need of the whole run is known.
void ProgramRun::charge_input(int64_t bytes)
{
    memory -= bytes;
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
const char MSG_TIME_TOO_SHORT[] = "ERROR! Option --time must be at least 0.001 (seconds)!";
const char MSG_THREADS_ABOVE_LIMIT[] = "ERROR! Option --threads must be at most %d (this machine has %d core%s)!";
const char MSG_THREADS_NOT_STARTED[] = "ERROR! Only %d of the %d threads of --threads could start (%s); use -j %d "
                                       "or fewer!";
const char MSG_STEERING_NO_EFFECT[] = "WARNING! -%c/--%s has no effect on given distances: they are read and "
                                      "clustered as they are.";
const char MSG_OUT_OF_MEMORY[] = "Out of memory!";
const char MSG_MEMORY_NEED[] = "This run needs -m %.2f or more (gigabytes).";
const char MSG_EPSILON_HELD[] = "  Epsilon held at %g, so that the similarity heuristics fit the time budget";
const char MSG_ENGINE_NO_EFFECT[] = "WARNING! --engine has no effect: only a run that knows every pair (-a, or "
                                    "-C distmat) has a choice; the distance store clusters this one.";
const char MSG_ENGINE_STORE[] = "Clustering engine: store";
const char MSG_ENGINE_DENSE[] = "Clustering engine: dense (all pairs in a condensed matrix)";
const char MSG_DENSE_NOT_FINITE[] = "ERROR! %lld distances are NaN or infinite; the dense engine needs every "
                                    "distance finite.";
const char MSG_DENSE_WITHOUT_DISTANCE[] = "ERROR! %lld pairs have no distance (their objects share too few "
                                          "values); the dense engine needs every distance finite.";
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

// The shortest time budget, in seconds (MSG_TIME_TOO_SHORT names it).
const double MIN_TIME_BUDGET = 0.001;

// Objects in the join's subsample, and pairs of the planning bound sample at
// most (the epsilon estimate may take more; the plan takes their quantile).
const int PLAN_SAMPLE_OBJECTS = 16384;
const int PLAN_SAMPLE_PAIRS = 2000000;
// The join timed on the sample finds and examines about this many pairs at
// most: a few milliseconds.
const double JOIN_SAMPLE_FOUND = 10000;
const double JOIN_SAMPLE_TESTS = 2e7;

[[noreturn]] void refuse_with_usage()
{
    optionUsage(&brivaneOptions, 1);
    brivane_exit(1);
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

// What the program writes to standard output while that is the output file;
// written to standard error between the progress lines (release_held_output).
// Never freed: the stream flushes it at exit, after static objects are gone.
std::stringbuf *held_output = nullptr;

void release_held_output()
{
    if (!held_output)
        return;
    std::cerr << held_output->str();
    held_output->str("");
}

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

} // namespace

// The engine's copy of the checked options, keywords resolved and defaults
// completed.
void ProgramRun::fill_settings()
{
    settings.cluster = opt_int(INDEX_OPT_CLUSTER);
    settings.linkage = opt_int(INDEX_OPT_LINKAGE);
    settings.all_pairwise = opt_given(INDEX_OPT_ALL_PAIRWISE);
    settings.num_pivots = opt_int(INDEX_OPT_NUM_PIVOTS);
    settings.pivot_strategy = opt_int(INDEX_OPT_PIVOT_STRATEGY);
    settings.pivot_quantile = opt_double(INDEX_OPT_PIVOT_QUANTILE);
    settings.prop_similar = opt_double(INDEX_OPT_PROP_SIMILAR);
    settings.sample_size = opt_given(INDEX_OPT_SAMPLE_SIZE) ? opt_int(INDEX_OPT_SAMPLE_SIZE) : 0;
    settings.split_threshold = opt_int(INDEX_OPT_SPLIT_THRESHOLD);
    settings.missing = opt_int(INDEX_OPT_MISSING);
    settings.missing_given = opt_given(INDEX_OPT_MISSING);
}

// The checks of the option combinations, in the order the user meets them; on
// return every setting that the run reads is there and sound, and `distkey`
// is the measure keyword (data modes only, else null).  False when the run
// ends here without a failure: the measures were listed.
bool ProgramRun::check_options(const char *&distkey)
{
    if (!arg_argv_vector || arg_argv_vector->size() <= 1)
        refuse_with_usage();
    if (arg_operands_vector && !arg_operands_vector->empty()) {
        std::string message = MSG_OPERANDS;
        for (char *operand : *arg_operands_vector)
            message += std::string("\n") + operand;
        refuse(message);
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
            std::cerr << DistanceFactory<int>().distanceListing();
            return false;
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
    // The plan cannot tell a budget below a millisecond from none, and its
    // shortfall, a share of the budget, would be infinite.
    if (!(opt_double(INDEX_OPT_TIME) >= MIN_TIME_BUDGET))
        refuse(MSG_TIME_TOO_SHORT);
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
    // Counts the thread library cannot start end the run inside it, without
    // an ERROR line (or crash it): the cap first, then the system's limits.
    char message[256];
    if (num_threads > thread_limit()) {
        int cores = machine_cores();
        std::snprintf(message, sizeof message, MSG_THREADS_ABOVE_LIMIT, thread_limit(), cores, cores == 1 ? "" : "s");
        refuse(message);
    }
#ifdef _OPENMP
    std::string reason;
    int startable = startable_threads(num_threads, reason);
    if (startable < num_threads) {
        std::snprintf(message, sizeof message, MSG_THREADS_NOT_STARTED, startable, num_threads, reason.c_str(),
                      startable);
        refuse(message);
    }
#endif

    // Writing the output would destroy the input while it is being read.
    if (same_file(opt_text(INDEX_OPT_INPUT), opt_text(INDEX_OPT_OUTPUT)))
        refuse(MSG_OUTPUT_IS_INPUT);
    // The output is written after the whole run: one that cannot be written
    // is refused before any work is done.
    check_output_file(opt_text(INDEX_OPT_OUTPUT));
    // An output file that is standard output (/dev/stdout into a pipe) must
    // hold the file alone: what the program writes to standard output, the
    // join's summary line, goes to standard error instead.
    if (names_descriptor(opt_text(INDEX_OPT_OUTPUT), STDOUT_FILENO))
        std::cout.rdbuf(held_output = new std::stringbuf);
    // The quality file comes last in a long run: refuse one that cannot be
    // written before any work is done.
    if (opt_given(INDEX_OPT_QUALITY))
        check_quality_file(opt_text(INDEX_OPT_QUALITY), opt_text(INDEX_OPT_INPUT), opt_text(INDEX_OPT_OUTPUT));

    // Given distances are stored as they come: the options that steer the
    // computing of distances have nothing to steer.
    static const int steering[] = {INDEX_OPT_NUM_DISTANCES, INDEX_OPT_TIME,
                                   INDEX_OPT_PROP_SIMILAR,  INDEX_OPT_NUM_PIVOTS,
                                   INDEX_OPT_PIVOT_STRATEGY, INDEX_OPT_PIVOT_QUANTILE,
                                   INDEX_OPT_SPLIT_THRESHOLD, INDEX_OPT_SAMPLE_SIZE};
    if (!data_mode()) {
        for (int index : steering) {
            if (opt_given(index)) {
                std::snprintf(message, sizeof message, MSG_STEERING_NO_EFFECT, optDesc[index].optValue,
                              optDesc[index].pz_Name);
                std::cerr << message << std::endl;
            }
        }
    }
    return true;
}

// What the distances of a run that knows only some pairs need at the least
// beside the input: a list's entries, or a data matrix's least count (20 per
// object, at most every pair), which any budget above it may raise.
int64_t ProgramRun::least_distance_bytes()
{
    int64_t count = cluster_mode() == CLUSTER_DISTLIST ? M : bound_num_distances(0, 0, N);
    return count * BYTES_PER_DISTANCE;
}

void ProgramRun::select_measure(const char *distkey)
{
    double minkowski_p = 0;
    if (DistanceFactory<char>().getDistanceID(distkey) == MINKOWSKI_ID) {
        if (!opt_given(INDEX_OPT_MINKOWSKI_P))
            refuse(MSG_MINKOWSKI_P_MISSING);
        minkowski_p = opt_double(INDEX_OPT_MINKOWSKI_P);
        if (std::isinf(minkowski_p))
            refuse(filled(MSG_NOT_FINITE, "minkowski-p"));
        if (!(minkowski_p > 0))
            refuse(MSG_MINKOWSKI_P_NOT_POSITIVE);
    }
    make_measure(distkey, minkowski_p);
}

// 100 distances between random distinct objects, timed; draws the first 200
// numbers of the generator.  Needs two objects or more.
double ProgramRun::time_sample(Random &random)
{
    Timer timer;
    for (int k = 0; k < 100; k++) {
        int a = random.next() % N;
        int b = random.next() % (N - 1);
        if (a <= b)
            calc_distance(a, b + 1);
        else
            calc_distance(b, a);
    }
    return timer.get_run_time();
}

int ProgramRun::pivot_count()
{
    return std::min(opt_int(INDEX_OPT_NUM_PIVOTS), N);
}

int ProgramRun::epsilon_sample_size()
{
    return opt_given(INDEX_OPT_SAMPLE_SIZE) ? opt_int(INDEX_OPT_SAMPLE_SIZE) : N;
}

// Every pair of a data matrix is computed: asked for, or the time budget's
// plan found room for all of them.
bool ProgramRun::all_pairs_run()
{
    return opt_given(INDEX_OPT_ALL_PAIRWISE) || (plan_made && run_plan.all_pairs);
}

// The time budget fixes the count: a data matrix, neither a count nor all
// pairs asked for, and two objects or more to pair.
bool ProgramRun::budget_decides()
{
    return data_mode() && !opt_given(INDEX_OPT_NUM_DISTANCES) && !opt_given(INDEX_OPT_ALL_PAIRWISE) && N >= 2;
}

bool ProgramRun::heuristics_wanted()
{
    return !all_pairs_run() && num_distances > 0 && opt_double(INDEX_OPT_PROP_SIMILAR) > 0;
}

// Fixes num_distances from the options and the memory budget, or ends the
// run.  When the time budget decides, this is the most that memory allows;
// plan_for_time_budget then fixes the count.
void ProgramRun::plan_distance_count()
{
    bool all_pairwise = opt_given(INDEX_OPT_ALL_PAIRWISE);
    if (!data_mode()) {
        // The given distances are stored as they are; the count has no use.
        num_distances = opt_int(INDEX_OPT_NUM_DISTANCES);
        int64_t given = cluster_mode() == CLUSTER_DISTMAT ? all_pairs(N) : M;
        // For a list the budget is told first: raising -m is the remedy the
        // user has at hand, and the store's limit follows when it also holds.
        if (cluster_mode() == CLUSTER_DISTLIST && given * BYTES_PER_DISTANCE > memory) {
            std::string message = std::string(MSG_GIVEN_MEMORY) + "\n" + memory_need_line(given * BYTES_PER_DISTANCE);
            if (given > STORE_MAX_PAIRS)
                message += std::string("\n") + MSG_STORE_LIMIT;
            refuse(message);
        }
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
        if (opt_given(INDEX_OPT_NUM_DISTANCES)) {
            wanted = opt_int(INDEX_OPT_NUM_DISTANCES);
        } else if (N >= 2) {
            // The sample's draws stay first in the random sequence; the
            // plan measures the costs itself.
            time_sample(run_random);
            wanted = memory / BYTES_PER_DISTANCE;
        }
        num_distances = bound_num_distances(wanted, memory, N);
        if (num_distances * BYTES_PER_DISTANCE > memory)
            refuse(std::string(MSG_DISTANCES_MEMORY) + "\n" +
                   memory_need_line((int64_t)num_distances * BYTES_PER_DISTANCE));
    }
    if (all_pairwise && 125 * (int64_t)N * (N - 1) > memory)
        refuse(MSG_ALL_PAIRS_MEMORY);
}

// Which engine clusters the run: the store wherever it fits (and always
// when asked for), else the dense matrix where that fits; a budget that
// holds neither is refused with the memory the run needs.  `matrix_input`
// is the size of a distance matrix input, not yet charged to `memory`.
void ProgramRun::choose_engine(int64_t matrix_input)
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
                          (dense_reads_blocks() ? dense_block_bytes(N, (int)element_size(type)) : matrix_input);
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
void ProgramRun::dense_distances()
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
        // Read in blocks, the matrix shows its fill cells only now.
        if (dense_reads_blocks())
            report_fill_cells();
        std::cerr << "Distance input took " << timer_distances.get_run_time() << " sec" << std::endl;
        std::cerr << "  Values of " << all_pairs(N) << " distances were input" << std::endl;
    }
    if (not_finite > 0) {
        // When missing values are skipped pair by pair, a NaN distance is a
        // pair without one, as the store counts it.
        int64_t without = 0;
        if (skip_pairs_without_distance)
            without = std::count_if(dense, dense + all_pairs(N), [](double d) { return std::isnan(d); });
        const char *format = without == not_finite ? MSG_DENSE_WITHOUT_DISTANCE : MSG_DENSE_NOT_FINITE;
        char message[256];
        std::snprintf(message, sizeof message, format, (long long)not_finite);
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
void ProgramRun::engine_line()
{
    if (engine == ENGINE_DENSE)
        std::cerr << MSG_ENGINE_DENSE << std::endl;
    else if (opt_given(INDEX_OPT_ENGINE))
        std::cerr << (exact_run() ? MSG_ENGINE_STORE : MSG_ENGINE_NO_EFFECT) << std::endl;
}

// The pivots and their distances; the result is the seconds they took.
double ProgramRun::choose_pivots_phase()
{
    Timer timer_pivots;
    std::cerr << "Choosing pivots for similarity heuristics..." << std::endl;
    choose_pivots();
    double seconds = timer_pivots.get_run_time();
    std::cerr << "Choosing pivots took " << seconds << " sec" << std::endl;
    return seconds;
}

// Fixes num_distances so that the whole run is predicted to fit the time
// budget: the pivots are chosen first, since their distances give the
// epsilon of every candidate count and the join's work at it.
void ProgramRun::plan_for_time_budget(Timer &timer_global, bool &pivots_chosen)
{
    bool heuristics = heuristics_wanted();
    double prop = opt_double(INDEX_OPT_PROP_SIMILAR);
    double pivot_seconds = 0;
    if (heuristics) {
        pivot_seconds = choose_pivots_phase();
        pivots_chosen = true;
    }
    int P = heuristics ? pivot_count() : 0;
    UnitCosts unit = measure_unit_costs(P);
    // The pivots timed P*N distances; a random pair's adds the fetch of two
    // data rows.  The larger sample bounds a short measurement that lost
    // the processor or met cold pages.
    if (heuristics && pivot_seconds > 0)
        unit.distance = std::min(unit.distance, pivot_seconds * parallel_share() / ((double)P * N) + 2 * unit.far_load);
    int sample_size = epsilon_sample_size();
    int64_t least = std::min<int64_t>(20 * (int64_t)N, all_pairs(N));
    least = std::min<int64_t>(least, num_distances);
    int64_t most = num_distances;
    JoinSample sample = heuristics ? join_sample(PLAN_SAMPLE_OBJECTS, P, opt_int(INDEX_OPT_SPLIT_THRESHOLD))
                                   : JoinSample({}, 0, 0, N, 1);
    BoundSample bounds(sample.sample_bounds(std::min(std::max(sample_size, 1000), PLAN_SAMPLE_PAIRS), 1));
    if (heuristics)
        unit.join_test = unit.slowdown * sample.seconds_per_test(bounds.epsilon(least, prop, sample_size, N));
    double pairs = (double)all_pairs(N);
    auto epsilon_of = [&](int64_t count) { return bounds.epsilon(count, prop, sample_size, N); };
    auto join_of = [&](double eps, double &tests, double &found) {
        tests = sample.examined(eps);
        found = bounds.share_within(eps) * pairs;
    };
    double budget = opt_double(INDEX_OPT_TIME);
    auto plan = [&] {
        return plan_time_budget(unit, budget, timer_global.get_run_time(), least, most, N,
                                heuristics ? sample_size : 0, heuristics, prop < 1, epsilon_of, join_of);
    };
    run_plan = plan();
    // The join is timed on the sample at that plan's epsilon, the store and
    // the merge loop on scratch stores shaped like the run it foresees, and
    // the run planned again with what they cost.
    double eps = heuristics ? std::min(epsilon_of(run_plan.count), run_plan.epsilon_cap) : 0;
    double tests = 0, found = 0;
    if (heuristics) {
        join_of(eps, tests, found);
        // As many sample objects as keep the sample join within about
        // JOIN_SAMPLE_FOUND found pairs and JOIN_SAMPLE_TESTS candidates
        // (pairs of the sample go with the square of its objects).
        double share = (double)sample.objects() / N;
        double sample_found = found * share * share, sample_tests = tests * share * share;
        double thin = std::min({1.0, std::sqrt(JOIN_SAMPLE_FOUND / std::max(1.0, sample_found)),
                                std::sqrt(JOIN_SAMPLE_TESTS / std::max(1.0, sample_tests))});
        int objects = std::max(std::min(500, sample.objects()), (int)(thin * sample.objects()));
        set_join_costs(unit, time_sample_join(sample, eps, PLAN_SAMPLE_OBJECTS, objects), objects);
    }
    unit.store = measure_store_costs(sample, run_plan.count, found, eps, N, budget, unit.far_load / unit.slowdown);
    // The scratch stores took longer than the first measurements: the share
    // of the machine the run gets is the one they got.
    set_slowdown(unit, unit.store.slowdown);
    run_plan = plan();
    num_distances = (int)run_plan.count;
    if (run_plan.all_pairs) {
        // The pivots were for the join, which a run of every pair has not.
        delete_pivots();
        pivots_chosen = false;
    }
    // The estimate of the run samples its own pairs; an epsilon above the
    // planned one would let the join overrun what was planned for it.
    if (heuristics)
        run_plan.epsilon_cap = std::min(run_plan.epsilon_cap, 1.05 * epsilon_of(run_plan.count));
    plan_made = true;
}

// The plan of a run whose count is fixed already: what each phase is
// predicted to cost, for the plan line.
void ProgramRun::plan_for_count()
{
    bool heuristics = heuristics_wanted();
    int P = heuristics ? pivot_count() : 0;
    UnitCosts unit = measure_unit_costs(P);
    run_plan = Plan();
    run_plan.count = num_distances;
    if (opt_given(INDEX_OPT_ALL_PAIRWISE)) {
        run_plan.all_pairs = true;
        run_plan.seconds = predict_all_pairs(unit, N);
    } else {
        double tests = 0, found = 0;
        if (heuristics) {
            JoinSample sample = join_sample(PLAN_SAMPLE_OBJECTS, P, opt_int(INDEX_OPT_SPLIT_THRESHOLD));
            BoundSample bounds(sample.sample_bounds(std::min(std::max(N, 1000), PLAN_SAMPLE_PAIRS), 1));
            unit.join_test = unit.slowdown * sample.seconds_per_test(epsilon);
            tests = sample.examined(epsilon);
            found = bounds.share_within(epsilon) * (double)all_pairs(N);
        }
        run_plan.join_tests = tests;
        run_plan.seconds = predict(unit, num_distances, found, tests, N, 0, heuristics,
                                   opt_double(INDEX_OPT_PROP_SIMILAR) < 1);
    }
    plan_made = true;
}

void ProgramRun::print_plan()
{
    std::cerr << plan_line(run_plan) << std::endl;
    std::string shortfall = shortfall_line(run_plan);
    if (!shortfall.empty())
        std::cerr << shortfall << std::endl;
}

void ProgramRun::distances_from_data(bool pivots_chosen)
{
    bool all_pairwise = all_pairs_run();
    double prop_similar = opt_double(INDEX_OPT_PROP_SIMILAR);
    // Every pair is computed anyway when all are asked for, so the heuristics
    // have nothing to choose.
    bool heuristics = heuristics_wanted();
    if (heuristics) {
        if (!pivots_chosen)
            choose_pivots_phase();
        Timer timer_epsilon;
        std::cerr << "Estimating epsilon for similarity heuristics..." << std::flush;
        epsilon = estimate_epsilon();
        std::cerr << " " << timer_epsilon.get_run_time() << " sec" << std::endl;
        std::cerr << "  Estimated epsilon is " << epsilon << std::endl;
        if (epsilon > run_plan.epsilon_cap) {
            epsilon = run_plan.epsilon_cap;
            char line[160];
            std::snprintf(line, sizeof line, MSG_EPSILON_HELD, epsilon);
            std::cerr << line << std::endl;
        }
    }
    if (num_distances <= 0 && !all_pairwise)
        return;
    if (!plan_made)
        plan_for_count();
    print_plan();
    Timer timer_distances;
    std::cerr << "Calculating distances..." << std::endl;
    if (!all_pairwise) {
        if (heuristics) {
            std::cerr << "  Calculating similarity heuristics based pairs..." << std::flush;
            Timer timer_heuristics;
            progress_begin("  Calculating similarity heuristics based pairs...", 0, run_plan.join_tests);
            small_dists_work(epsilon);
            progress_end();
            std::cerr << " " << timer_heuristics.get_run_time() << " sec" << std::endl;
            std::cerr << "    " << n_dist / 2 << " distances calculated" << std::endl;
            release_held_output();
            delete_pivots();
        }
        // A skipped join leaves its share to the random pairs, whatever
        // share the heuristics were given.
        bool join_left_out = heuristics && join_skipped(epsilon);
        if ((prop_similar < 1 || join_left_out) && num_distances - n_dist / 2 > 0) {
            Timer timer_random;
            std::cerr << "  Calculating random pairs..." << std::flush;
            progress_begin("  Calculating random pairs...", n_dist / 2, num_distances);
            random_dist();
            progress_end();
            std::cerr << " " << timer_random.get_run_time() << " sec" << std::endl;
        }
    } else {
        Timer timer_all;
        std::cerr << "  Calculating all pairwise distances..." << std::flush;
        progress_begin("  Calculating all pairwise distances...", 0, (double)all_pairs(N));
        all_dist();
        progress_end();
        std::cerr << " " << timer_all.get_run_time() << " sec" << std::endl;
    }
    std::cerr << "Distance calculation took " << timer_distances.get_run_time() << " sec" << std::endl;
    std::cerr << "  Values of " << n_dist / 2 << " distances were calculated" << std::endl;
    report_pairs_without_distance();
}

void ProgramRun::given_distances()
{
    Timer timer_distances;
    std::cerr << "Inputting distances..." << std::endl;
    input_dist();
    std::cerr << "Distance input took " << timer_distances.get_run_time() << " sec" << std::endl;
    std::cerr << "  Values of " << n_dist / 2 << " distances were input" << std::endl;
}

int ProgramRun::run()
{
    Timer timer_global;

    resolve_keyword(INDEX_OPT_CLUSTER, 4, cluster_keys, default_cluster);
    resolve_keyword(INDEX_OPT_LINKAGE, 3, linkage_keys, default_linkage);
    resolve_keyword(INDEX_OPT_PIVOT_STRATEGY, 2, pivot_strategy_keys, default_pivot_strategy);
    resolve_keyword(INDEX_OPT_ENGINE, 3, engine_keys, default_engine);
    resolve_keyword(INDEX_OPT_MISSING, 2, missing_keys, default_missing);
    append_defaults();
    const char *distkey = nullptr;
    if (!check_options(distkey))
        return 0;
    fill_settings();

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
    report_fill_cells();
    prepare_missing_values(data_mode() ? distkey : nullptr);
    // What the output cannot hold is refused before the run spends its time.
    plan_output(N);

    int seed = opt_int(INDEX_OPT_RANDOM_SEED);
    if (seed > 0) {
        run_random.seed(seed);
        std::cerr << "Random seed from user = " << seed << std::endl;
    } else {
        seed = Timer::randomness();
        std::cerr << "Random seed from time = " << seed << std::endl;
        run_random.seed(seed);
    }

    if (engine == ENGINE_DENSE) {
        dense_distances();
    } else {
        plan_distance_count();
        bool pivots_chosen = false;
        if (budget_decides())
            plan_for_time_budget(timer_global, pivots_chosen);
        init_distances();
        if (data_mode())
            distances_from_data(pivots_chosen);
        else
            given_distances();
    }

    engine_line();
    std::cerr << "Running hierarchical clustering..." << std::flush;
    Timer timer_clustering;
    if (engine == ENGINE_DENSE) {
        dense_cluster();
        write_dendrogram(*this);
    } else {
        progress_begin("Running hierarchical clustering...", 0, N - 1);
        cluster();
        write_dendrogram(*this);
        progress_end();
    }
    std::cerr << " " << timer_clustering.get_run_time() << " sec" << std::endl;
    if (opt_given(INDEX_OPT_QUALITY)) {
        std::cerr << "Measuring clustering quality..." << std::flush;
        Timer timer_quality;
        // The dense engine holds every pair, the store what it stored.
        long long stored = engine == ENGINE_DENSE ? all_pairs(N) : n_dist / 2;
        write_quality(opt_text(INDEX_OPT_QUALITY), measure_merges(), N, stored);
        std::cerr << " " << timer_quality.get_run_time() << " sec" << std::endl;
    }
    release_held_output();
    std::cerr << "Program running time was " << timer_global.get_run_time() << " sec" << std::endl;
    return 0;
}

void ProgramRun::read_shapes()
{
    int64_t matrix_input = read_input_shapes();
    // A run that knows every pair is refused here by the engine choice when
    // its input does not fit, with the need of the engine it would take.
    choose_engine(matrix_input);
    if (memory < 0) {
        std::string message = std::string(MSG_INPUT_MEMORY) + "\n" + memory_need_line(least_distance_bytes());
        if (cluster_mode() == CLUSTER_DISTLIST && M > STORE_MAX_PAIRS)
            message += std::string("\n") + MSG_STORE_LIMIT;
        refuse(message);
    }
}

void ProgramRun::load_input()
{
    if (engine == ENGINE_DENSE && dense_reads_blocks())
        return;
    read_input_values();
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

std::string ProgramRun::memory_need_line(int64_t bytes)
{
    int64_t input = memory_from_gigabytes(opt_double(INDEX_OPT_MEMORY)) - memory;
    double gigabytes = std::ceil((double)(bytes + input) / (1024.0 * 1024 * 1024) * 100) / 100;
    char line[96];
    snprintf(line, sizeof line, MSG_MEMORY_NEED, gigabytes);
    return line;
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
    ProgramRun program;
    SinkScope report(program, program_sink());
    try {
        return program.run();
    } catch (const brivane::Error &error) {
        std::cerr << error_lines(error);
        return error.status();
    } catch (const std::bad_alloc &) {
        std::cerr << MSG_OUT_OF_MEMORY << std::endl;
        return 1;
    }
}
