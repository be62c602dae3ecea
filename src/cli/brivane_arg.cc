// The option table of brivane, its handlers and main, on the AutoOpts library.
//
// The library only sees flags: every program option is declared to it as a
// flag without an argument.  The words that follow a flag, up to the next
// flag, are the option's values; a word that follows no value-taking flag is
// an operand (the driver refuses operands).  So one flag may take several
// values (-d) or none, and values may be negative numbers.  main parses the
// command line twice:
//   first pass   the library walks the flags, each handler names the option
//                that the next words extend, and main files every non-flag
//                word into that option's value list or among the operands;
//   second pass  the library sees the flag words alone, from the state saved
//                before the first pass, and counts occurrences and checks the
//                requires / conflicts relations (and stops on any fault).
// The internal-error messages call this scheme Xarn.
#include "brivane_arg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "brivane.h"

// ---------------------------------------------------------------------------
// Front-end state

// Value kinds of the options; a list kind is its one-value kind plus ARG_LIST.
// ARG_INT holds a 32-bit value, ARG_COUNT a 64-bit one (a count of pairs).
enum { ARG_NONE = 0, ARG_INT = 1, ARG_REAL = 2, ARG_TEXT = 3, ARG_COUNT = 4, ARG_LIST = 10 };

// Descriptor index of the option that the next value word extends, or -1 when
// the next value word is an operand.
static int arg_index = -1;
// Value kind of that option.
static int arg_type = ARG_NONE;
// The flag words of the second pass; the library keeps pointing at them after
// the pass, so they live as long as the run.
static std::vector<char *> argv2;

// Classification of each command-line word during main (the argp entries).
enum {
    WORD_OPERAND = -1,
    WORD_FLAG = -2,          // never classified: the flags and the program name
    WORD_LONE_DASH = -3,     // "-" ends a value list and is dropped
    WORD_END_OF_OPTIONS = -4 // the first lone "--", dropped; operands follow
};

static const char ERR_NO_HANDLER[] =
    "Internal error! Flag-code is required to be defined for option %s by Xarn!\n";
static const char ERR_UNSUPPORTED[] =
    "Internal error! Option %s uses autoopts features that are not supported by Xarn!\n";
static const char ERR_NUMERIC_FLAG[] =
    "Internal error! Option %s uses numeric option name which is not supported by Xarn!\n";
static const char ERR_FLAG_TAKEN[] =
    "Internal error! Option %s uses short option name %c which is already occupied!\n";

// ---------------------------------------------------------------------------
// The option table

// The only state a program option may be declared with: disabled, no argument.
const unsigned PROGRAM_OPTION_STATE = OPTST_DISABLED;
// Ends the requires and conflicts lists.
const int END_OF_LIST = NO_EQUIVALENT;

static const int must_minkowski_p[] = {INDEX_OPT_DISTANCE, END_OF_LIST};
static const int must_prop_similar[] = {INDEX_OPT_NUM_DISTANCES, END_OF_LIST};
static const int cant_time[] = {INDEX_OPT_ALL_PAIRWISE, INDEX_OPT_NUM_DISTANCES, END_OF_LIST};
static const int cant_num_distances[] = {INDEX_OPT_ALL_PAIRWISE, INDEX_OPT_TIME, END_OF_LIST};
static const int cant_all_pairwise[] = {INDEX_OPT_NUM_DISTANCES, INDEX_OPT_TIME, END_OF_LIST};

#define PROGRAM_OPTION(index, flag, NAME, name, must, cant, handler, text)          \
    {index, flag, index, flag, NO_EQUIVALENT, 0, 1, 0, PROGRAM_OPTION_STATE,        \
     AOUSE_USER_DEFINED, {nullptr}, nullptr, must, cant, handler, text, NAME, name, \
     nullptr, nullptr}
#define LIBRARY_OPTION(index, flag, state, usage, handler, text, name)             \
    {index, flag, index, flag, NO_EQUIVALENT, 0, 1, 0, state, usage, {nullptr},    \
     nullptr, nullptr, nullptr, handler, text, nullptr, name, nullptr, nullptr}

tOptDesc optDesc[OPTION_CT] = {
    PROGRAM_OPTION(INDEX_OPT_INPUT, 'i', "INPUT", "input", nullptr, nullptr, doOptInput,
                   "Input file (NetCDF format)"),
    PROGRAM_OPTION(INDEX_OPT_DATA, 'D', "DATA", "data", nullptr, nullptr, doOptData,
                   "Name of NetCDF variable containing data or distance values (automatic "
                   "detection by default)."),
    PROGRAM_OPTION(INDEX_OPT_CLUSTER, 'C', "CLUSTER", "cluster", nullptr, nullptr, doOptCluster,
                   "What to cluster: 'rows' (cluster rows of data, default), 'cols' (columns), "
                   "'distmat' (distance matrix), 'distlist' (list of distances)"),
    PROGRAM_OPTION(INDEX_OPT_NUM_OBJECTS, 'N', "NUM_OBJECTS", "num-objects", nullptr, nullptr,
                   doOptNum_Objects,
                   "Name of NetCDF dimension containing number of objects to cluster "
                   "(applicable only for --cluster distlist)"),
    PROGRAM_OPTION(INDEX_OPT_FROM, 'F', "FROM", "from", nullptr, nullptr, doOptFrom,
                   "Name of NetCDF variable containing start-objects of distances (applicable "
                   "only for --cluster distlist)"),
    PROGRAM_OPTION(INDEX_OPT_TO, 'T', "TO", "to", nullptr, nullptr, doOptTo,
                   "Name of NetCDF variable containing end-objects of distances (applicable "
                   "only for --cluster distlist)"),
    PROGRAM_OPTION(INDEX_OPT_OUTPUT, 'o', "OUTPUT", "output", nullptr, nullptr, doOptOutput,
                   "Output file"),
    PROGRAM_OPTION(INDEX_OPT_PREFIX, 'X', "PREFIX", "prefix", nullptr, nullptr, doOptPrefix,
                   "Prefix for the dendrogram data variables in the output NetCDF file"),
    PROGRAM_OPTION(INDEX_OPT_OUTPUT_DATA, 'O', "OUTPUT_DATA", "output-data", nullptr, nullptr,
                   doOptOutput_Data,
                   "In addition to the dendrogram, output the original data in the "
                   "left-to-right ordering (affects all NetCDF variables with the clustered "
                   "dimension)"),
    PROGRAM_OPTION(INDEX_OPT_LINKAGE, 'l', "LINKAGE", "linkage", nullptr, nullptr, doOptLinkage,
                   "Clustering method: 'min' (single linkage), 'ave' (average linkage, "
                   "default), 'max' (complete linkage), 'weighted' (McQuitty), 'ward', "
                   "'centroid', 'median' (the last three on euclidean distances: a data "
                   "matrix with -d euclidean, or -C distmat with every pair)"),
    PROGRAM_OPTION(INDEX_OPT_DISTANCE, 'd', "DISTANCE", "distance", nullptr, nullptr,
                   doOptDistance,
                   "Distance measure (applicable only for --cluster rows or cols, for help run "
                   "-d with no arguments)"),
    PROGRAM_OPTION(INDEX_OPT_MINKOWSKI_P, 'p', "MINKOWSKI_P", "minkowski-p", must_minkowski_p,
                   nullptr, doOptMinkowski_P,
                   "Parameter p for Minkowski distance (default 2.0)"),
    PROGRAM_OPTION(INDEX_OPT_MEMORY, 'm', "MEMORY", "memory", nullptr, nullptr, doOptMemory,
                   "Brivane must fit into this amount of memory in gigabytes (default 2.0)"),
    PROGRAM_OPTION(INDEX_OPT_TIME, 't', "TIME", "time", nullptr, cant_time, doOptTime,
                   "Brivane should try to fit into this amount of time in seconds (30 by "
                   "default)"),
    PROGRAM_OPTION(INDEX_OPT_NUM_DISTANCES, 'M', "NUM_DISTANCES", "num-distances", nullptr,
                   cant_num_distances, doOptNum_Distances,
                   "Number of distances to calculate (default 0)"),
    PROGRAM_OPTION(INDEX_OPT_ALL_PAIRWISE, 'a', "ALL_PAIRWISE", "all-pairwise", nullptr,
                   cant_all_pairwise, doOptAll_Pairwise, "Calculate all pairwise distances"),
    PROGRAM_OPTION(INDEX_OPT_PROP_SIMILAR, 's', "PROP_SIMILAR", "prop-similar",
                   must_prop_similar, nullptr, doOptProp_Similar,
                   "Proportion of similarity heuristics based distances (default 0.5)"),
    PROGRAM_OPTION(INDEX_OPT_NUM_PIVOTS, 'q', "NUM_PIVOTS", "num-pivots", nullptr, nullptr,
                   doOptNum_Pivots,
                   "The number of pivots used for similarity heuristics (default 20)"),
    PROGRAM_OPTION(INDEX_OPT_RANDOM_SEED, 'R', "RANDOM_SEED", "random-seed", nullptr, nullptr,
                   doOptRandom_Seed,
                   "The random seed (integer), default is 0 (time-based seed); with a seed, runs "
                   "with -M or -a are reproducible, time-budget runs are not"),
    PROGRAM_OPTION(INDEX_OPT_SAMPLE_SIZE, 'Z', "SAMPLE_SIZE", "sample-size", nullptr, nullptr,
                   doOptSample_Size, "Sample size when estimating epsilon (default 100000)"),
    PROGRAM_OPTION(INDEX_OPT_PIVOT_STRATEGY, 'P', "PIVOT_STRATEGY", "pivot-strategy", nullptr,
                   nullptr, doOptPivot_Strategy,
                   "Strategy for choosing the pivots: 'random' (default) or 'quantile'"),
    PROGRAM_OPTION(INDEX_OPT_PIVOT_QUANTILE, 'Q', "PIVOT_QUANTILE", "pivot-quantile", nullptr,
                   nullptr, doOptPivot_Quantile,
                   "Pivot choice quantile - default 0.9, min 0 (nearest), max 1 (furthest)"),
    PROGRAM_OPTION(INDEX_OPT_SPLIT_THRESHOLD, 'S', "SPLIT_THRESHOLD", "split-threshold",
                   nullptr, nullptr, doOptSplit_Threshold,
                   "Split threshold for EGO algorithm (minimum 1, default 1000)"),
    PROGRAM_OPTION(INDEX_OPT_QUALITY, 'Y', "QUALITY", "quality", nullptr, nullptr, doOptQuality,
                   "File where to write the clustering quality measurements (slow!!!)"),
    PROGRAM_OPTION(INDEX_OPT_THREADS, 'j', "THREADS", "threads", nullptr, nullptr, doOptThreads,
                   "Number of threads computing distances (default: the machine's cores, at most "
                   "1024); a run with -M or -a writes the same output for every number"),
    PROGRAM_OPTION(INDEX_OPT_ENGINE, 'E', "ENGINE", "engine", nullptr, nullptr, doOptEngine,
                   "Clustering engine: 'auto' (default), 'store' (the distance store), 'dense' "
                   "(a condensed distance matrix; every pair known), 'compact' (the known pairs "
                   "in about a quarter of the store's memory), 'linear' (exact single, Ward, "
                   "centroid or median linkage of a data matrix with -a, in memory linear in "
                   "the objects)"),
    PROGRAM_OPTION(INDEX_OPT_MISSING, 'U', "MISSING", "missing", nullptr, nullptr, doOptMissing,
                   "Missing (NaN) data elements: 'propagate' (a NaN makes the distance NaN, "
                   "default) or 'pairwise' (skipped pair by pair)"),
    LIBRARY_OPTION(INDEX_OPT_VERSION, 'v', OPTST_ARG_OPTIONAL | OPTST_SET_ARGTYPE(OPARG_TYPE_STRING),
                   AOUSE_VERSION, optionPrintVersion, "Output version information and exit",
                   "version"),
    LIBRARY_OPTION(INDEX_OPT_HELP, '?', OPTST_IMM, AOUSE_HELP, doUsageOpt,
                   "Display usage information and exit", "help"),
    LIBRARY_OPTION(INDEX_OPT_MORE_HELP, '!', OPTST_IMM, AOUSE_MORE_HELP, optionPagedUsage,
                   "Extended usage information passed thru pager", "more-help"),
};

// The program's name, purpose and version: the version output, the first line
// of the copyright output and of the usage text.
#define FULL_VERSION \
    "brivane - Approximate hierarchical clustering using similarity heuristics - Ver. 1.6.0"

tOptions brivaneOptions = {
    0x1B006,                                // interface 27.6 of the library
    0, nullptr,                             // the command line, set by the library
    OPTPROC_LONGOPT | OPTPROC_SHORTOPT | OPTPROC_ERRSTOP | OPTPROC_NO_REQ_OPT |
        OPTPROC_GNUUSAGE,
    0, nullptr,                             // parse position, set by the library
    "brivane",                              // pzProgPath
    "brivane",                              // pzProgName
    "BRIVANE",                              // pzPROGNAME
    nullptr,                                // no configuration file
    FULL_VERSION "\nCopyright (C) the brivane developers",
    "\nbrivane is free software; you may redistribute and modify it under the terms\n"
    "of the licence that comes with its sources.  It comes WITHOUT ANY WARRANTY.\n",
    FULL_VERSION,
    nullptr,                                // no configuration folders
    FULL_VERSION "\nUSAGE:  %s [ -<flag> | --<name> ]... []\n",
    nullptr, nullptr,                       // no explanation, no details
    optDesc,
    "the brivane developers",               // contact address
    nullptr, nullptr,                       // no extensions, no saved state yet
    optionUsage,
    nullptr,                                // no translation
    {INDEX_OPT_MORE_HELP, NO_EQUIVALENT, NO_EQUIVALENT, NO_EQUIVALENT},
    OPTION_CT,
    LAST_PROGRAM_OPTION + 1,                // the program options are presettable
    nullptr, nullptr,                       // the library builds the usage texts
    nullptr, nullptr, nullptr, nullptr,
};

// ---------------------------------------------------------------------------
// Handlers

// The value list of option `index` after the converter of its kind has taken
// `word` (none: the list only made sure of); null when the word is refused,
// which the converter has said naming the option.
static void *convert_into_list(int kind, int index, char *word)
{
    const char *name = optDesc[index].pz_Name;
    switch (kind % ARG_LIST) {
    case ARG_INT:
        return arg_arg_to_int_vector(word, opt_int_list(index), name);
    case ARG_COUNT:
        return arg_arg_to_int_vector(word, opt_int_list(index), name, true);
    case ARG_REAL:
        return arg_arg_to_double_vector(word, opt_double_list(index), name);
    case ARG_TEXT:
        return arg_arg_to_string_vector(word, opt_text_list(index));
    }
    return nullptr;
}

// Names the option that the following words extend and makes sure it has a
// value list (an empty one when it has none yet).
static void start_values(tOptions *options, tOptDesc *desc, int kind)
{
    arg_type = kind;
    arg_index = desc->optIndex;
    void *list = convert_into_list(kind, arg_index, nullptr);
    if (list == nullptr)
        (*options->pUsageProc)(options, EXIT_FAILURE);
    opt_set_list(arg_index, list);
}

// An option without values: the words after it are operands.
static void no_values()
{
    arg_type = ARG_NONE;
    arg_index = -1;
}

void doOptInput(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptData(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptCluster(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptNum_Objects(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptFrom(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptTo(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptOutput(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptPrefix(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptOutput_Data(tOptions *, tOptDesc *) { no_values(); }
void doOptLinkage(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptDistance(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_LIST + ARG_TEXT); }
void doOptMinkowski_P(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_REAL); }
void doOptMemory(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_REAL); }
void doOptTime(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_REAL); }
void doOptNum_Distances(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_COUNT); }
void doOptAll_Pairwise(tOptions *, tOptDesc *) { no_values(); }
void doOptProp_Similar(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_REAL); }
void doOptNum_Pivots(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_INT); }
void doOptRandom_Seed(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_INT); }
void doOptSample_Size(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_INT); }
void doOptPivot_Strategy(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptPivot_Quantile(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_REAL); }
void doOptSplit_Threshold(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_INT); }
void doOptQuality(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptThreads(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_INT); }
void doOptEngine(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }
void doOptMissing(tOptions *o, tOptDesc *d) { start_values(o, d, ARG_TEXT); }

void doUsageOpt(tOptions *options, tOptDesc *)
{
    (*options->pUsageProc)(options, EXIT_SUCCESS);
}

// ---------------------------------------------------------------------------
// Settings

bool opt_given(int index)
{
    return (optDesc[index].fOptState & 0x7) != 0;
}

int_vector *opt_int_list(int index)
{
    return reinterpret_cast<int_vector *>(optDesc[index].optArg.argIntptr);
}

double_vector *opt_double_list(int index)
{
    return reinterpret_cast<double_vector *>(optDesc[index].optArg.argIntptr);
}

string_vector *opt_text_list(int index)
{
    return reinterpret_cast<string_vector *>(optDesc[index].optArg.argIntptr);
}

void opt_set_list(int index, void *list)
{
    optDesc[index].optArg.argIntptr = reinterpret_cast<uintptr_t>(list);
}

int opt_int(int index)
{
    return (int)(*opt_int_list(index))[0];
}

int64_t opt_count(int index)
{
    return (*opt_int_list(index))[0];
}

double opt_double(int index)
{
    return (*opt_double_list(index))[0];
}

char *opt_text(int index)
{
    return (*opt_text_list(index))[0];
}

void opt_set_int(int index, int value)
{
    opt_set_list(index, new int_vector(1, value));
    optDesc[index].fOptState |= OPTST_SET;
}

void opt_set_double(int index, double value)
{
    opt_set_list(index, new double_vector(1, value));
    optDesc[index].fOptState |= OPTST_SET;
}

void opt_set_text(int index, char *value)
{
    opt_set_list(index, new string_vector(1, value));
    optDesc[index].fOptState |= OPTST_SET;
}

void opt_clear(int index)
{
    opt_set_list(index, nullptr);
    optDesc[index].fOptState &= ~OPTST_SET_MASK;
}

// ---------------------------------------------------------------------------
// main

// Every program option must be a plain flag with a handler and a letter of its
// own; each handler runs once so that every value-taking option starts with an
// empty list.
static void check_table()
{
    bool flag_taken[256] = {};
    for (int k = 0; k < brivaneOptions.presetOptCt; k++) {
        tOptDesc &desc = optDesc[k];
        unsigned flag = desc.optValue & 0xff;
        if (desc.pOptProc == nullptr) {
            fprintf(stderr, ERR_NO_HANDLER, desc.pz_NAME);
            brivane_exit(1);
        }
        if (desc.fOptState != PROGRAM_OPTION_STATE) {
            fprintf(stderr, ERR_UNSUPPORTED, desc.pz_NAME);
            brivane_exit(1);
        }
        if (flag >= '0' && flag <= '9') {
            fprintf(stderr, ERR_NUMERIC_FLAG, desc.pz_NAME);
            brivane_exit(1);
        }
        if (flag_taken[flag]) {
            fprintf(stderr, ERR_FLAG_TAKEN, desc.pz_NAME, static_cast<char>(flag));
            brivane_exit(1);
        }
        flag_taken[flag] = true;
        (*desc.pOptProc)(&brivaneOptions, &desc);
    }
}

// Appends one value word to the option that arg_index names, by its kind.
// A one-value option takes this word only.
static void take_value(char *word)
{
    int index = arg_index;
    if (arg_type < ARG_LIST)
        arg_index = -1;
    if (arg_type % ARG_LIST == ARG_NONE)
        return;
    if (convert_into_list(arg_type, index, word) == nullptr)
        (*brivaneOptions.pUsageProc)(&brivaneOptions, EXIT_FAILURE);
}

// One step of the first pass: the library parses flags from its current
// position and returns the position of the next non-flag word.  Its fault
// messages are held back here, since the second pass meets every fault of the
// flags again and reports it once; what the library writes to standard output
// (help, version) goes through.  Some faults end the process inside the
// library (a bad argument of the version option): what it wrote then is shown
// after all, by held_back_shown, as the process exits.
static int held_back_fd = -1;    // the held-back messages while a step runs
static int real_stderr_fd = -1;  // the real standard error meanwhile

static void held_back_shown()
{
    if (held_back_fd < 0)
        return;
    fflush(stderr);
    dup2(real_stderr_fd, STDERR_FILENO);
    char buf[4096];
    ssize_t n;
    lseek(held_back_fd, 0, SEEK_SET);
    while ((n = read(held_back_fd, buf, sizeof buf)) > 0)
        if (write(STDERR_FILENO, buf, (size_t)n) != n)
            break;
}

static int first_pass_process(int argc, char **argv)
{
    static bool exit_hook = false;
    if (!exit_hook)
        exit_hook = std::atexit(held_back_shown) == 0;
    fflush(stderr);
    // Without a temporary file the messages are dropped, never shown twice.
    FILE *held = std::tmpfile();
    int fd = held ? fileno(held) : open("/dev/null", O_WRONLY);
    real_stderr_fd = dup(STDERR_FILENO);
    bool holding = fd >= 0 && real_stderr_fd >= 0;
    if (holding) {
        dup2(fd, STDERR_FILENO);
        if (held && exit_hook)
            held_back_fd = fd;
    }
    int pos = optionProcess(&brivaneOptions, argc, argv);
    fflush(stderr);
    if (holding)
        dup2(real_stderr_fd, STDERR_FILENO);
    held_back_fd = -1;
    if (held)
        std::fclose(held);
    else if (fd >= 0)
        close(fd);
    if (real_stderr_fd >= 0)
        close(real_stderr_fd);
    real_stderr_fd = -1;
    return pos;
}

void arg_parse_command_line(int argc, char **argv)
{
    check_table();
    arg_index = -1;
    optionSaveState(&brivaneOptions);

    arg_argv_vector = new string_vector(argv, argv + argc);
    arg_operands_vector = new string_vector;
    std::vector<int> argp(argc, WORD_FLAG);

    // A word after the first lone "--" is an operand, whatever it looks like.
    int options_end = argc;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) {
            options_end = i;
            break;
        }
    }

    // "-" and a digit starts a number, not a flag: the mark hides it from the
    // library until both passes are over.
    std::vector<bool> marked(argc, false);
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '-' && argv[i][1] >= '0' && argv[i][1] <= '9') {
            argv[i][0] = NEGATIVE_MARK;
            marked[i] = true;
        }
    }

    // First pass: the library stops at every non-flag word, which then joins
    // the option named by the last flag's handler.  A word right after another
    // non-flag word saw no handler run, so it continues where that word left.
    brivaneOptions.fOptSet &= ~OPTPROC_ERRSTOP;
    int oldindex = -1;
    int oldpos = 0;
    int pos = first_pass_process(options_end, argv);
    if (pos == 0) {
        // The library's early scan for -? and -! met a fault; the words are
        // still to be read, and the second pass reports the fault.
        brivaneOptions.curOptIdx = 1;
        brivaneOptions.pzCurOpt = nullptr;
        pos = first_pass_process(options_end, argv);
    }
    while (pos < options_end) {
        if (pos == oldpos + 1)
            arg_index = oldindex;
        argp[pos] = arg_index;
        if (arg_index == -1) {
            arg_operands_vector->push_back(argv[pos]);
        } else if (strcmp(argv[pos], "-") == 0) {
            arg_index = -1;
            argp[pos] = WORD_LONE_DASH;
        } else {
            take_value(argv[pos]);
        }
        oldindex = arg_index;
        oldpos = pos;
        arg_index = -1;
        brivaneOptions.curOptIdx = pos + 1;
        brivaneOptions.pzCurOpt = nullptr;
        pos = first_pass_process(options_end, argv);
    }
    if (options_end < argc) {
        argp[options_end] = WORD_END_OF_OPTIONS;
        for (int i = options_end + 1; i < argc; i++) {
            argp[i] = WORD_OPERAND;
            arg_operands_vector->push_back(argv[i]);
        }
    }

    uintptr_t arg_vectors[OPTION_CT] = {};
    for (int i = 0; i < argc; i++) {
        if (argp[i] >= 0)
            arg_vectors[argp[i]] = optDesc[argp[i]].optArg.argIntptr;
    }

    // Second pass, over the flag words alone.
    argv2.clear();
    for (int i = 0; i < argc; i++) {
        if (argp[i] == WORD_FLAG)
            argv2.push_back(argv[i]);
    }
    int argc2 = static_cast<int>(argv2.size());
    argv2.push_back(nullptr);
    brivaneOptions.fOptSet |= OPTPROC_ERRSTOP;
    optionRestore(&brivaneOptions);
    // Every word here is a flag, so stopping short of the end is a fault the
    // library has reported (some faults it reports without ending the run).
    if (optionProcess(&brivaneOptions, argc2, argv2.data()) != argc2)
        (*brivaneOptions.pUsageProc)(&brivaneOptions, EXIT_FAILURE);

    for (int k = 0; k < OPTION_CT; k++) {
        if (arg_vectors[k] != 0)
            optDesc[k].optArg.argIntptr = arg_vectors[k];
    }
    for (int i = 1; i < argc; i++) {
        if (marked[i])
            argv[i][0] = '-';
    }
}

int main(int argc, char **argv)
{
    arg_parse_command_line(argc, argv);
    return main_arg();
}
