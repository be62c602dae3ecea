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
#include "quality_file.h"
#include "run_checks.h"
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

namespace {

// The messages of the driver and of the input inspection, each text once.
const char MSG_OPERANDS[] = "ERROR! Operands not allowed! All arguments must belong to some flags.\n"
                            "Currently you have specified the following operands:";
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
const char MSG_VALUE_MISSING[] = "ERROR! Option --%s requires a value!";
const char MSG_STEERING_NO_EFFECT[] = "WARNING! -%c/--%s has no effect on given distances: they are read and "
                                      "clustered as they are.";
const char MSG_OUT_OF_MEMORY[] = "Out of memory!";

const char *const cluster_keys[] = {"ROWS", "COLS", "DISTMAT", "DISTLIST"};
const char *const pivot_strategy_keys[] = {"RANDOM", "QUANTILE"};
const char *const engine_keys[] = {"AUTO", "STORE", "DENSE", "COMPACT", "LINEAR"};
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

[[noreturn]] void refuse_with_usage()
{
    optionUsage(&brivaneOptions, 1);
    brivane_exit(1);
}

// Whether -C names a data matrix (rows or columns); the run's data_mode
// tells the same once the settings are filled.
bool option_data_mode()
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
    settings.memory = opt_double(INDEX_OPT_MEMORY);
    settings.time = opt_double(INDEX_OPT_TIME);
    settings.num_distances = opt_count(INDEX_OPT_NUM_DISTANCES);
    settings.num_distances_given = opt_given(INDEX_OPT_NUM_DISTANCES);
    settings.random_seed = opt_int(INDEX_OPT_RANDOM_SEED);
    settings.engine = opt_int(INDEX_OPT_ENGINE);
    settings.engine_given = opt_given(INDEX_OPT_ENGINE);
    settings.quality = opt_given(INDEX_OPT_QUALITY);
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
    if (distance && !option_data_mode())
        refuse(MSG_DISTANCE_NOT_APPLICABLE);
    if (!distance && option_data_mode())
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

    check_finite(opt_double(INDEX_OPT_MEMORY), "memory");
    check_finite(opt_double(INDEX_OPT_TIME), "time");
    check_finite(opt_double(INDEX_OPT_PROP_SIMILAR), "prop-similar");
    check_finite(opt_double(INDEX_OPT_PIVOT_QUANTILE), "pivot-quantile");
    check_time_budget(opt_double(INDEX_OPT_TIME));
    check_at_least_one(opt_int(INDEX_OPT_NUM_PIVOTS), "num-pivots");
    check_at_least_one(opt_int(INDEX_OPT_SPLIT_THRESHOLD), "split-threshold");
    check_at_least_one(opt_int(INDEX_OPT_SAMPLE_SIZE), "sample-size");
    check_at_least_one(opt_int(INDEX_OPT_THREADS), "threads");
    num_threads = opt_int(INDEX_OPT_THREADS);
    check_threads(num_threads);

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
        hold_standard_output();
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
    if (!option_data_mode()) {
        for (int index : steering) {
            if (opt_given(index)) {
                char message[256];
                std::snprintf(message, sizeof message, MSG_STEERING_NO_EFFECT, optDesc[index].optValue,
                              optDesc[index].pz_Name);
                std::cerr << message << std::endl;
            }
        }
    }
    return true;
}

void ProgramRun::select_measure(const char *distkey)
{
    bool given = opt_given(INDEX_OPT_MINKOWSKI_P);
    make_measure(distkey, checked_minkowski_p(distkey, given, given ? opt_double(INDEX_OPT_MINKOWSKI_P) : 0));
}






int ProgramRun::run()
{
    Timer timer_global;

    resolve_keyword(INDEX_OPT_CLUSTER, 4, cluster_keys, default_cluster);
    resolve_keyword(INDEX_OPT_LINKAGE, LINKAGE_KEY_COUNT, LINKAGE_KEYS, default_linkage);
    resolve_keyword(INDEX_OPT_PIVOT_STRATEGY, 2, pivot_strategy_keys, default_pivot_strategy);
    resolve_keyword(INDEX_OPT_ENGINE, 5, engine_keys, default_engine);
    resolve_keyword(INDEX_OPT_MISSING, 2, missing_keys, default_missing);
    append_defaults();
    const char *distkey = nullptr;
    if (!check_options(distkey))
        return 0;
    fill_settings();
    check_linkage(settings, distkey);
    check_engine(settings);

    Timer timer_input;
    std::cerr << "Data input..." << std::flush;
    memory = memory_from_gigabytes(settings.memory);
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
    plan_output(object_count);

    seed_random();
    compute_distances(timer_global);
    write_tree = [this] { write_dendrogram(*this); };
    run_clustering();
    if (opt_given(INDEX_OPT_QUALITY)) {
        std::cerr << "Measuring clustering quality..." << std::flush;
        Timer timer_quality;
        // The exact engines know every pair, the store what it stored.
        long long stored = engine == ENGINE_DENSE || engine == ENGINE_LINEAR ? all_pairs(object_count) : n_dist / 2;
        write_quality(opt_text(INDEX_OPT_QUALITY), measure_merges(), object_count, stored,
                      quality_extras(settings, data_mode() && euclidean_measure(distkey)));
        std::cerr << " " << timer_quality.get_run_time() << " sec" << std::endl;
    }
    run_sink->flush();
    std::cerr << "Program running time was " << timer_global.get_run_time() << " sec" << std::endl;
    return 0;
}

void ProgramRun::read_shapes()
{
    check_input_budget(read_input_shapes());
}

void ProgramRun::load_input()
{
    if (engine == ENGINE_DENSE && dense_reads_blocks())
        return;
    read_input_values();
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
