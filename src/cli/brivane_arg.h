// The option table of brivane and its handlers, on the AutoOpts library.
//
// Every program option is declared to the library as a flag without an
// argument; the words that follow a flag on the command line become its value
// list (see main in brivane_arg.cc).  After main has run, option k is given
// when opt_given(k) holds, and its setting is element 0 of its value list.
// The three keyword options hold one integer, the keyword's index.
#ifndef BRIVANE_ARG_H
#define BRIVANE_ARG_H

#include <autoopts/options.h>
#include <cstdint>

#include "Argumentyzer.h"

typedef enum {
    INDEX_OPT_INPUT = 0,
    INDEX_OPT_DATA = 1,
    INDEX_OPT_CLUSTER = 2,
    INDEX_OPT_NUM_OBJECTS = 3,
    INDEX_OPT_FROM = 4,
    INDEX_OPT_TO = 5,
    INDEX_OPT_OUTPUT = 6,
    INDEX_OPT_PREFIX = 7,
    INDEX_OPT_OUTPUT_DATA = 8,
    INDEX_OPT_LINKAGE = 9,
    INDEX_OPT_DISTANCE = 10,
    INDEX_OPT_MINKOWSKI_P = 11,
    INDEX_OPT_MEMORY = 12,
    INDEX_OPT_TIME = 13,
    INDEX_OPT_NUM_DISTANCES = 14,
    INDEX_OPT_ALL_PAIRWISE = 15,
    INDEX_OPT_PROP_SIMILAR = 16,
    INDEX_OPT_NUM_PIVOTS = 17,
    INDEX_OPT_RANDOM_SEED = 18,
    INDEX_OPT_SAMPLE_SIZE = 19,
    INDEX_OPT_PIVOT_STRATEGY = 20,
    INDEX_OPT_PIVOT_QUANTILE = 21,
    INDEX_OPT_SPLIT_THRESHOLD = 22,
    INDEX_OPT_QUALITY = 23,
    INDEX_OPT_THREADS = 24,
    INDEX_OPT_ENGINE = 25,
    INDEX_OPT_MISSING = 26,
    INDEX_OPT_VERSION = 27,
    INDEX_OPT_HELP = 28,
    INDEX_OPT_MORE_HELP = 29
} teOptIndex;

// The last of the program's own options; the library's options follow it.
const int LAST_PROGRAM_OPTION = INDEX_OPT_MISSING;
const int OPTION_CT = 30;

extern tOptions brivaneOptions;
extern tOptDesc optDesc[OPTION_CT];

// Handlers, with the library's handler signature.
void doOptInput(tOptions *, tOptDesc *);
void doOptData(tOptions *, tOptDesc *);
void doOptCluster(tOptions *, tOptDesc *);
void doOptNum_Objects(tOptions *, tOptDesc *);
void doOptFrom(tOptions *, tOptDesc *);
void doOptTo(tOptions *, tOptDesc *);
void doOptOutput(tOptions *, tOptDesc *);
void doOptPrefix(tOptions *, tOptDesc *);
void doOptOutput_Data(tOptions *, tOptDesc *);
void doOptLinkage(tOptions *, tOptDesc *);
void doOptDistance(tOptions *, tOptDesc *);
void doOptMinkowski_P(tOptions *, tOptDesc *);
void doOptMemory(tOptions *, tOptDesc *);
void doOptTime(tOptions *, tOptDesc *);
void doOptNum_Distances(tOptions *, tOptDesc *);
void doOptAll_Pairwise(tOptions *, tOptDesc *);
void doOptProp_Similar(tOptions *, tOptDesc *);
void doOptNum_Pivots(tOptions *, tOptDesc *);
void doOptRandom_Seed(tOptions *, tOptDesc *);
void doOptSample_Size(tOptions *, tOptDesc *);
void doOptPivot_Strategy(tOptions *, tOptDesc *);
void doOptPivot_Quantile(tOptions *, tOptDesc *);
void doOptSplit_Threshold(tOptions *, tOptDesc *);
void doOptQuality(tOptions *, tOptDesc *);
void doOptThreads(tOptions *, tOptDesc *);
void doOptEngine(tOptions *, tOptDesc *);
void doOptMissing(tOptions *, tOptDesc *);
void doUsageOpt(tOptions *, tOptDesc *);

// What main does before the run: checks the option table and parses the
// command line into the options' value lists and the operands.  Refusals end
// the process (the library's usage text, status 1); -? and -v end it too.
void arg_parse_command_line(int argc, char **argv);

// Reading the settings.  opt_given: any of the three low set-state bits is on.
// The value readers return element 0 of the option's list; the list must not
// be empty (the driver checks that before anything reads a setting).
bool opt_given(int index);
int opt_int(int index);
int64_t opt_count(int index);   // an ARG_COUNT option's 64-bit value
double opt_double(int index);
char *opt_text(int index);

// The option's value list, as the handlers and the driver keep it in optArg.
int_vector *opt_int_list(int index);
double_vector *opt_double_list(int index);
string_vector *opt_text_list(int index);
void opt_set_list(int index, void *list);

// Setting an option without a command line (for programs that drive the
// modules directly, such as the tests): the option becomes given and its list
// holds the one value.
void opt_set_int(int index, int value);
void opt_set_double(int index, double value);
void opt_set_text(int index, char *value);
void opt_clear(int index);

#endif
