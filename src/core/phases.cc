// The run's course: the budget, the engine choice, the distance count and
// its plan, the distance phases and the clustering, with the lines they
// report.
//
//   check_input_budget        the engine choice and the refusal of a budget
//                             that cannot hold the input;
//   seed_random               the run's random sequence, from the seed or the
//                             clock;
//   compute_distances         the distance count (from -M, all pairs, or the
//                             time budget's plan) and the distances: the
//                             heuristics and random pairs, every pair, or the
//                             given ones; or the dense engine's matrix;
//   run_clustering            the clustering with the engine chosen, the
//                             caller's output written inside its phase.
//   memory_from_gigabytes, sample_count, bound_num_distances
//                             the arithmetic that turns the budgets into a
//                             number of distances.
#include "run.h"

#include <brivane/sink.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "Timer.h"
#include "dense.h"
#include "element.h"
#include "linear.h"
#include "plan.h"
#include "refuse.h"
#include "small_dist.h"

namespace {

// The messages of the run's course, each text once.
const char MSG_INPUT_MEMORY[] = "ERROR! Insufficient memory to hold all input data";
const char MSG_DISTANCES_MEMORY[] = "ERROR! Insufficient memory to calculate enough distances";
const char MSG_ALL_PAIRS_MEMORY[] = "ERROR! Insufficient memory to calculate all pairwise distances!";
const char MSG_GIVEN_MEMORY[] = "ERROR! Insufficient memory to store all given distances";
const char MSG_STORE_LIMIT[] = "ERROR! Too many distances for the distance store (at most 178956969 pairs)!";
const char MSG_MEMORY_NEED[] = "This run needs -m %.2f or more (gigabytes).";
const char MSG_EPSILON_HELD[] = "  Epsilon held at %g, so that the similarity heuristics fit the time budget";
const char MSG_JOIN_CUT[] = "    The join stopped at its share of the time budget; random pairs take the rest";
const char MSG_ENGINE_NO_EFFECT[] = "WARNING! --engine dense has no effect: the dense engine needs every pair (-a, "
                                    "or -C distmat); the distance store clusters this one.";
const char MSG_COMPACT_LIMIT[] = "ERROR! Too many distances for the compact engine (at most %lld pairs)!";
const char MSG_ENGINE_STORE[] = "Clustering engine: store";
const char MSG_ENGINE_COMPACT[] = "Clustering engine: compact (the known pairs in a graph of clusters)";
const char MSG_ENGINE_DENSE[] = "Clustering engine: dense (all pairs in a condensed matrix)";
const char MSG_ENGINE_LINEAR[] = "Clustering engine: linear (exact; each distance computed when the tree "
                                 "needs it)";
// The exact engines that need every distance finite: "%s" is "dense" or
// "linear".
const char MSG_DENSE_NOT_FINITE[] = "ERROR! %lld distances are NaN or infinite; the %s engine needs every "
                                    "distance finite.";
const char MSG_DENSE_WITHOUT_DISTANCE[] = "ERROR! %lld pairs have no distance (their objects share too few "
                                          "values); the %s engine needs every distance finite.";

const char MSG_DENSE_STORE_TAKES[] = "The distance store (-E store) clusters such distances.";

// Objects in the join's subsample, and pairs of the planning bound sample at
// most (the epsilon estimate may take more; the plan takes their quantile).
const int PLAN_SAMPLE_OBJECTS = 16384;
const int PLAN_SAMPLE_PAIRS = 2000000;
// The join timed on the sample finds and examines about this many pairs at
// most: a few milliseconds.
const double JOIN_SAMPLE_FOUND = 10000;
const double JOIN_SAMPLE_TESTS = 2e7;
// The join may overrun its planned seconds by this factor and this much.
const double JOIN_OVERRUN = 1.5;
const double JOIN_SLACK_SECONDS = 0.5;
// The store's room above the planned count, for the re-plan to raise it.
const double STORE_ROOM = 1.5;
// The random pairs timed before the re-plan: this share of those planned,
// at least one per object.
const double RANDOM_FIRST_SHARE = 0.125;
// The first random pairs enter a store smaller than the rest will; what
// follows them is priced this much higher per pair.
const double RANDOM_LATER_COST = 1.15;

// Wall seconds of one random pair as the calibration prices it: its
// distance on the run's threads, its entry and its draw.
double calibrated_random_pair(const UnitCosts &unit)
{
    return unit.distance / unit.threads + unit.insert + unit.draw;
}

double steady_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}


// Numbers in the report as the program has always printed them: integers in
// full, reals in six significant digits ("%g").
std::string text_of(int v)
{
    return std::to_string(v);
}
std::string text_of(long v)
{
    return std::to_string(v);
}
std::string text_of(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

} // namespace

bool Run::data_mode() const
{
    return settings.cluster == CLUSTER_ROWS || settings.cluster == CLUSTER_COLS;
}

// Whether the run knows every pair, and so may cluster with either engine.
bool Run::exact_run() const
{
    return settings.cluster == CLUSTER_DISTMAT || (data_mode() && settings.all_pairwise);
}

// The dense engine reads a distance matrix in row blocks, never holding it
// whole, unless the quality pass will read it afterwards.
bool Run::dense_reads_blocks() const
{
    return settings.cluster == CLUSTER_DISTMAT && !settings.quality;
}

// A budget that cannot hold the input is refused once the shapes are read
// (read_shapes), where the need of the whole run is known.
void Run::charge_input(int64_t bytes)
{
    memory -= bytes;
}

std::string Run::memory_need_line(int64_t bytes)
{
    int64_t input = memory_from_gigabytes(settings.memory) - memory;
    double gigabytes = std::ceil((double)(bytes + input) / (1024.0 * 1024 * 1024) * 100) / 100;
    char line[96];
    snprintf(line, sizeof line, MSG_MEMORY_NEED, gigabytes);
    return line;
}

void Run::check_input_budget(int64_t matrix_input)
{
    // A run that knows every pair is refused here by the engine choice when
    // its input does not fit, with the need of the engine it would take.
    choose_engine(matrix_input);
    if (memory < 0) {
        std::string message = std::string(MSG_INPUT_MEMORY) + "\n" + memory_need_line(least_distance_bytes());
        if (settings.cluster == CLUSTER_DISTLIST && list_entries > STORE_MAX_PAIRS)
            message += std::string("\n") + MSG_STORE_LIMIT;
        refuse(message);
    }
}

void Run::seed_random()
{
    int seed = settings.random_seed;
    if (seed > 0) {
        run_random.seed(seed);
        run_sink->text("Random seed from user = " + text_of(seed) + "\n");
    } else {
        seed = Timer::randomness();
        run_sink->text("Random seed from time = " + text_of(seed) + "\n");
        run_random.seed(seed);
    }
}

void Run::compute_distances(Timer &timer_global)
{
    if (engine == ENGINE_DENSE) {
        dense_distances();
        return;
    }
    // The linear engine computes each distance when the tree needs it.
    if (engine == ENGINE_LINEAR)
        return;
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

void Run::run_clustering()
{
    engine_line();
    run_sink->text("Running hierarchical clustering...");
    Timer timer_clustering;
    if (engine == ENGINE_DENSE || engine == ENGINE_LINEAR) {
        if (engine == ENGINE_DENSE)
            dense_cluster();
        else
            linear_cluster();
        if (write_tree)
            write_tree();
    } else {
        progress_begin("Running hierarchical clustering...", 0, object_count - 1);
        cluster();
        if (write_tree)
            write_tree();
        progress_end();
    }
    run_sink->text(" " + text_of(timer_clustering.get_run_time()) + " sec\n");
    if (engine == ENGINE_LINEAR)
        run_sink->text(std::string("  Values of ") + text_of((long)all_pairs(object_count)) +
                       " distances were calculated\n");
}

// What the distances of a run that knows only some pairs need at the least
// beside the input: a list's entries, or a data matrix's least count (20 per
// object, at most every pair), which any budget above it may raise.
int64_t Run::least_distance_bytes()
{
    int64_t count = settings.cluster == CLUSTER_DISTLIST ? list_entries : bound_num_distances(0, 0, object_count);
    // Unless the store was asked for, the compact engine takes a run the
    // store cannot hold.
    bool compact = settings.engine == ENGINE_AUTO || settings.engine == ENGINE_COMPACT;
    if (compact && count <= COMPACT_COST.max_pairs)
        return count * COMPACT_COST.per_pair + compact_cost().per_object * object_count;
    return count * BYTES_PER_DISTANCE;
}

// 100 distances between random distinct objects, timed; draws the first 200
// numbers of the generator.  Needs two objects or more.
double Run::time_sample(Random &random)
{
    Timer timer;
    for (int k = 0; k < 100; k++) {
        int a = random.next() % object_count;
        int b = random.next() % (object_count - 1);
        if (a <= b)
            calc_distance(a, b + 1);
        else
            calc_distance(b, a);
    }
    return timer.get_run_time();
}

int Run::pivot_count()
{
    return std::min(settings.num_pivots, object_count);
}

int Run::epsilon_sample_size()
{
    return settings.sample_size > 0 ? settings.sample_size : object_count;
}

// Every pair of a data matrix is computed: asked for, or the time budget's
// plan found room for all of them.
bool Run::all_pairs_run()
{
    return settings.all_pairwise || (plan_made && run_plan.all_pairs);
}

// The time budget fixes the count: a data matrix, neither a count nor all
// pairs asked for, and two objects or more to pair.
bool Run::budget_decides()
{
    return data_mode() && !settings.num_distances_given && !settings.all_pairwise && object_count >= 2;
}

bool Run::heuristics_wanted()
{
    return !all_pairs_run() && num_distances > 0 && settings.prop_similar > 0;
}

// Fixes num_distances from the options and the memory budget, or ends the
// run.  When the time budget decides, this is the most that memory allows;
// plan_for_time_budget then fixes the count.
void Run::plan_distance_count()
{
    bool all_pairwise = settings.all_pairwise;
    if (!data_mode()) {
        // The given distances are stored as they are; the count has no use.
        num_distances = settings.num_distances;
        int64_t given = settings.cluster == CLUSTER_DISTMAT ? all_pairs(object_count) : list_entries;
        // For a list the budget is told first: raising -m is the remedy the
        // user has at hand, and the engine's limit follows when it also holds.
        if (settings.cluster == CLUSTER_DISTLIST && pairs_bytes(given) > memory) {
            std::string message = std::string(MSG_GIVEN_MEMORY) + "\n" + memory_need_line(pairs_bytes(given));
            if (given > pair_cost().max_pairs)
                message += "\n" + limit_message();
            refuse(message);
        }
        if (given > pair_cost().max_pairs)
            refuse(limit_message());
        if (pairs_bytes(given) > memory)
            refuse(MSG_GIVEN_MEMORY);
    } else if (all_pairwise) {
        if (all_pairs(object_count) > pair_cost().max_pairs)
            refuse(limit_message());
        num_distances = all_pairs(object_count);
    } else {
        int64_t wanted = 0;
        if (settings.num_distances_given) {
            wanted = settings.num_distances;
        } else if (object_count >= 2) {
            // The sample's draws stay first in the random sequence; the
            // plan measures the costs itself.
            time_sample(run_random);
            wanted = memory / pair_cost().per_pair;
        }
        num_distances = bound_num_distances(wanted, memory, object_count, pair_cost());
        if (pairs_bytes(num_distances) > memory)
            refuse(std::string(MSG_DISTANCES_MEMORY) + "\n" + memory_need_line(pairs_bytes(num_distances)));
    }
    if (all_pairwise && pairs_bytes(all_pairs(object_count)) > memory)
        refuse(MSG_ALL_PAIRS_MEMORY);
}

EngineCost Run::pair_cost() const
{
    return engine == ENGINE_COMPACT ? compact_cost() : STORE_COST;
}

// The compact engine's cost for this run: its pairs and objects, and the
// centroids of Ward, centroid and median linkage.
EngineCost Run::compact_cost() const
{
    EngineCost cost = COMPACT_COST;
    cost.per_object += compact_centroid_bytes(settings.linkage, row_length);
    return cost;
}

// What `pairs` known pairs cost the engine that clusters.
int64_t Run::pairs_bytes(int64_t pairs) const
{
    return pairs * pair_cost().per_pair + pair_cost().per_object * object_count;
}

std::string Run::limit_message() const
{
    if (engine != ENGINE_COMPACT)
        return MSG_STORE_LIMIT;
    char line[128];
    std::snprintf(line, sizeof line, MSG_COMPACT_LIMIT, (long long)COMPACT_COST.max_pairs);
    return line;
}

// Whether the store holds the count a run asks for, at its 250 bytes a
// pair and within its limit: -M's count (at least 20 per object, at most
// every pair) or a list's entries.  A run whose count the time budget
// decides asks for 20 per object at the least.
bool Run::store_holds_count()
{
    int64_t least = std::min<int64_t>(20 * (int64_t)object_count, all_pairs(object_count));
    int64_t count = least;
    if (settings.cluster == CLUSTER_DISTLIST)
        count = list_entries;
    else if (settings.num_distances_given)
        count = std::min<int64_t>(std::max<int64_t>(settings.num_distances, least), all_pairs(object_count));
    return count <= STORE_MAX_PAIRS && count * BYTES_PER_DISTANCE <= memory;
}

// Which engine clusters the run: the store wherever it fits (and always
// when asked for), else the dense matrix where that fits; a budget that
// holds neither is refused with the memory the run needs.  `matrix_input`
// is the size of a distance matrix input, not yet charged to `memory`.
void Run::choose_engine(int64_t matrix_input)
{
    int requested = settings.engine;
    engine = ENGINE_STORE;
    if (!exact_run()) {
        // The compact engine where asked for, where the store would hold
        // fewer pairs than the run asks for, and for the linkages whose
        // merges only it works out over some pairs (from centroids).
        bool only_compact = centroid_linkage(settings.linkage);
        if (requested == ENGINE_COMPACT || (requested == ENGINE_AUTO && (only_compact || !store_holds_count())))
            engine = ENGINE_COMPACT;
        return;
    }
    int64_t pairs = all_pairs(object_count);
    int64_t store_bytes = matrix_input + pairs * BYTES_PER_DISTANCE;
    int64_t dense_bytes = pairs * DENSE_BYTES_PER_PAIR +
                          (dense_reads_blocks() ? dense_block_bytes(object_count, (int)element_size(type))
                                                : matrix_input);
    bool store_fits = pairs <= STORE_MAX_PAIRS && store_bytes <= memory;
    bool dense_fits = dense_bytes <= memory;
    const char *too_small = matrix_input > memory ? MSG_INPUT_MEMORY
                            : data_mode()         ? MSG_ALL_PAIRS_MEMORY
                                                  : MSG_GIVEN_MEMORY;
    // The linkages that came after the store's three go to the dense engine
    // where it fits: the store clusters weighted linkage only when asked to,
    // and Ward, centroid and median not at all (check_linkage).
    bool store_first = settings.linkage <= LINKAGE_MAX;
    // What the store would need where an exact engine runs instead: for the
    // message that refuses distances that are not finite.
    int64_t store_instead = store_fits ? 0 : pairs > STORE_MAX_PAIRS ? -1 : store_bytes;
    // The linear engine keeps no pair: the data matrix (charged already) and
    // its arrays per object.
    int64_t linear_bytes = linear_bytes_per_object(settings.linkage, row_length) * (int64_t)object_count;
    if (requested == ENGINE_LINEAR) {
        if (linear_bytes > memory)
            refuse(std::string(too_small) + "\n" + memory_need_line(linear_bytes));
        engine = ENGINE_LINEAR;
        store_need = store_instead;
        return;
    }
    if (requested == ENGINE_COMPACT) {
        int64_t compact_bytes = matrix_input + pairs * COMPACT_COST.per_pair + compact_cost().per_object * object_count;
        if (compact_bytes > memory)
            refuse(std::string(too_small) + "\n" + memory_need_line(compact_bytes));
        engine = ENGINE_COMPACT;
        if (pairs > COMPACT_COST.max_pairs)
            refuse(limit_message());
        charge_input(matrix_input);
        return;
    }
    if (requested == ENGINE_STORE || (requested == ENGINE_AUTO && store_fits && store_first)) {
        // A budget that is too small is what the user can change, so it is
        // named before the store's own limit.
        if (store_bytes > memory)
            refuse(std::string(too_small) + "\n" + memory_need_line(store_bytes));
        if (pairs > STORE_MAX_PAIRS)
            refuse(MSG_STORE_LIMIT);
        charge_input(matrix_input);
        return;
    }
    // A data matrix whose condensed matrix does not fit goes to the linear
    // engine where it has the linkage; a budget too small for that as well
    // is refused with the linear engine's need, the least of the three.
    if (requested == ENGINE_AUTO && !dense_fits && data_mode() && linear_linkage(settings.linkage)) {
        if (linear_bytes > memory)
            refuse(std::string(too_small) + "\n" + memory_need_line(linear_bytes));
        engine = ENGINE_LINEAR;
        store_need = store_instead;
        return;
    }
    if (!dense_fits)
        refuse(std::string(too_small) + "\n" + memory_need_line(dense_bytes));
    // `memory` stays as it is: nothing later draws on it, and the lines
    // that name a budget measure their need against it.
    engine = ENGINE_DENSE;
    store_need = store_instead;
}

// Every pair into the dense matrix, with the progress lines of the store's
// phases; a value that is not finite ends the run.  The automatic choice
// takes the dense engine only where the store does not fit, so no store can
// take over then.
void Run::dense_distances()
{
    Timer timer_distances;
    int64_t not_finite;
    if (data_mode()) {
        run_sink->text("Calculating distances...\n");
        run_sink->text("  Calculating all pairwise distances...");
        Timer timer_all;
        not_finite = dense_fill_measure();
        run_sink->text(std::string(" ") + text_of(timer_all.get_run_time()) + " sec\n");
        run_sink->text(std::string("Distance calculation took ") + text_of(timer_distances.get_run_time()) + " sec\n");
        run_sink->text(std::string("  Values of ") + text_of(all_pairs(object_count)) + " distances were calculated\n");
    } else {
        run_sink->text("Inputting distances...\n");
        not_finite = dense_fill_given();
        run_sink->text(std::string("Distance input took ") + text_of(timer_distances.get_run_time()) + " sec\n");
        run_sink->text(std::string("  Values of ") + text_of(all_pairs(object_count)) + " distances were input\n");
    }
    if (not_finite > 0) {
        // When missing values are skipped pair by pair, a NaN distance is a
        // pair without one, as the store counts it.
        int64_t without = 0;
        if (skip_pairs_without_distance)
            without = std::count_if(dense, dense + all_pairs(object_count), [](double d) { return std::isnan(d); });
        refuse_not_finite(not_finite, without);
    }
}

void Run::refuse_not_finite(int64_t not_finite, int64_t without)
{
    const char *format = without == not_finite ? MSG_DENSE_WITHOUT_DISTANCE : MSG_DENSE_NOT_FINITE;
    char message[256];
    std::snprintf(message, sizeof message, format, (long long)not_finite,
                  engine == ENGINE_LINEAR ? "linear" : "dense");
    std::string text = message;
    // The store does not know Ward, centroid or median linkage: no use
    // pointing there.
    if (store_need >= 0 && !centroid_linkage(settings.linkage))
        text += std::string("\n") + MSG_DENSE_STORE_TAKES;
    if (store_need > 0 && !centroid_linkage(settings.linkage))
        text += "\n" + memory_need_line(store_need);
    refuse(text);
}

// The line before clustering names the engine when the dense one runs or
// the user chose one.
void Run::engine_line()
{
    if (engine == ENGINE_DENSE)
        run_sink->text(std::string(MSG_ENGINE_DENSE) + "\n");
    else if (engine == ENGINE_LINEAR)
        run_sink->text(std::string(MSG_ENGINE_LINEAR) + "\n");
    else if (engine == ENGINE_COMPACT)
        run_sink->text(std::string(MSG_ENGINE_COMPACT) + "\n");
    else if (settings.engine_given)
        run_sink->text(std::string(settings.engine == ENGINE_DENSE && !exact_run() ? MSG_ENGINE_NO_EFFECT
                                                                                   : MSG_ENGINE_STORE) + "\n");
}

// The pivots and their distances; the result is the seconds they took.
double Run::choose_pivots_phase()
{
    Timer timer_pivots;
    run_sink->text("Choosing pivots for similarity heuristics...\n");
    choose_pivots();
    double seconds = timer_pivots.get_run_time();
    run_sink->text(std::string("Choosing pivots took ") + text_of(seconds) + " sec\n");
    return seconds;
}

// Fixes num_distances so that the whole run is predicted to fit the time
// budget: the pivots are chosen first, since their distances give the
// epsilon of every candidate count and the join's work at it.
void Run::plan_for_time_budget(Timer &timer_global, bool &pivots_chosen)
{
    // Ward, centroid and median linkage over the known pairs make their
    // best trees from mostly similar pairs with a few random ones to join
    // the groups, and a join cut short for time would leave random pairs
    // only, the poorest trees of all (bench/ward_cost.py's figures).
    const bool centroids = centroid_linkage(settings.linkage);
    if (centroids)
        settings.prop_similar = CENTROID_PROP_SIMILAR;
    bool heuristics = heuristics_wanted();
    double prop = settings.prop_similar;
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
        unit.distance = std::min(unit.distance,
                                 pivot_seconds * parallel_share() / ((double)P * object_count) + 2 * unit.far_load);
    int sample_size = epsilon_sample_size();
    int64_t least = std::min<int64_t>(20 * (int64_t)object_count, all_pairs(object_count));
    least = std::min<int64_t>(least, num_distances);
    int64_t most = num_distances;
    JoinSample sample = heuristics ? join_sample(PLAN_SAMPLE_OBJECTS, P, settings.split_threshold)
                                   : JoinSample({}, 0, 0, object_count, 1);
    BoundSample bounds(sample.sample_bounds(std::min(std::max(sample_size, 1000), PLAN_SAMPLE_PAIRS), 1));
    if (heuristics)
        unit.join_test =
            unit.slowdown * sample.seconds_per_test(bounds.epsilon(least, prop, sample_size, object_count));
    double pairs = (double)all_pairs(object_count);
    auto epsilon_of = [&](int64_t count) { return bounds.epsilon(count, prop, sample_size, object_count); };
    auto join_of = [&](double eps, double &tests, double &found) {
        tests = sample.examined(eps);
        found = bounds.share_within(eps) * pairs;
    };
    double budget = settings.time;
    auto plan = [&] {
        return plan_time_budget(unit, budget, timer_global.get_run_time(), least, most, object_count,
                                heuristics ? sample_size : 0, heuristics, prop < 1, !centroids, epsilon_of,
                                join_of);
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
        double share = (double)sample.objects() / object_count;
        double sample_found = found * share * share, sample_tests = tests * share * share;
        double thin = std::min({1.0, std::sqrt(JOIN_SAMPLE_FOUND / std::max(1.0, sample_found)),
                                std::sqrt(JOIN_SAMPLE_TESTS / std::max(1.0, sample_tests))});
        int objects = std::max(std::min(500, sample.objects()), (int)(thin * sample.objects()));
        set_join_costs(unit, time_sample_join(sample, eps, PLAN_SAMPLE_OBJECTS, objects), objects);
    }
    unit.store =
        measure_store_costs(sample, run_plan.count, found, eps, object_count, budget, unit.far_load / unit.slowdown);
    // The scratch stores took longer than the first measurements: the share
    // of the machine the run gets is the one they got.
    set_slowdown(unit, unit.store.slowdown);
    run_plan = plan();
    // Where memory holds the store to fewer pairs than the time allows,
    // the compact engine may hold more in the same time: -E auto takes the
    // engine whose plan has the larger count.
    if (settings.engine == ENGINE_AUTO && engine == ENGINE_STORE && !run_plan.all_pairs && run_plan.count >= most) {
        int64_t store_most = most;
        UnitCosts store_unit = unit;
        engine = ENGINE_COMPACT;
        most = bound_num_distances(memory / COMPACT_COST.per_pair, memory, object_count, compact_cost());
        unit.merge_scale = COMPACT_MERGE_SCALE;
        Plan compact_plan = plan();
        if (compact_plan.count > run_plan.count) {
            run_plan = compact_plan;
        } else {
            engine = ENGINE_STORE;
            most = store_most;
            unit = store_unit;
        }
    }
    run_plan.clock = steady_seconds();
    run_plan.spent = timer_global.get_run_time();
    run_plan.unit = unit;
    run_plan.least = least;
    // The store is made with room above the planned count, so that the
    // re-plan after the first random pairs may raise it where the plan
    // proved too careful; the room costs its hash heads (48 bytes a pair)
    // and is charged to -m like the count.
    run_plan.capacity = run_plan.all_pairs
                            ? run_plan.count
                            : std::min<int64_t>(most, std::max<int64_t>(run_plan.count,
                                                                         (int64_t)(STORE_ROOM * run_plan.count)));
    num_distances = run_plan.capacity;
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
void Run::plan_for_count()
{
    bool heuristics = heuristics_wanted();
    int P = heuristics ? pivot_count() : 0;
    UnitCosts unit = measure_unit_costs(P);
    run_plan = Plan();
    run_plan.count = num_distances;
    if (settings.all_pairwise) {
        run_plan.all_pairs = true;
        run_plan.seconds = predict_all_pairs(unit, object_count);
    } else {
        double tests = 0, found = 0;
        if (heuristics) {
            JoinSample sample = join_sample(PLAN_SAMPLE_OBJECTS, P, settings.split_threshold);
            BoundSample bounds(sample.sample_bounds(std::min(std::max(object_count, 1000), PLAN_SAMPLE_PAIRS), 1));
            unit.join_test = unit.slowdown * sample.seconds_per_test(epsilon);
            tests = sample.examined(epsilon);
            found = bounds.share_within(epsilon) * (double)all_pairs(object_count);
        }
        run_plan.join_tests = tests;
        run_plan.seconds = predict(unit, num_distances, found, tests, object_count, 0, heuristics,
                                   settings.prop_similar < 1);
    }
    plan_made = true;
}

void Run::print_plan()
{
    run_sink->text(plan_line(run_plan) + "\n");
    std::string shortfall = shortfall_line(run_plan);
    if (!shortfall.empty())
        run_sink->text(shortfall + "\n");
}

void Run::distances_from_data(bool pivots_chosen)
{
    bool all_pairwise = all_pairs_run();
    double prop_similar = settings.prop_similar;
    // Every pair is computed anyway when all are asked for, so the heuristics
    // have nothing to choose.
    bool heuristics = heuristics_wanted();
    // A time-budget run's store has room above its count (plan_for_time_budget);
    // the count itself sets the epsilon and the random pairs' target.
    bool replanned = plan_made && run_plan.budget > 0 && !run_plan.all_pairs && !all_pairwise;
    if (replanned)
        num_distances = run_plan.count;
    if (heuristics) {
        if (!pivots_chosen)
            choose_pivots_phase();
        Timer timer_epsilon;
        run_sink->text("Estimating epsilon for similarity heuristics...");
        epsilon = estimate_epsilon();
        run_sink->text(std::string(" ") + text_of(timer_epsilon.get_run_time()) + " sec\n");
        run_sink->text(std::string("  Estimated epsilon is ") + text_of(epsilon) + "\n");
        if (epsilon > run_plan.epsilon_cap) {
            epsilon = run_plan.epsilon_cap;
            char line[160];
            std::snprintf(line, sizeof line, MSG_EPSILON_HELD, epsilon);
            run_sink->text(std::string(line) + "\n");
        }
    }
    if (num_distances <= 0 && !all_pairwise)
        return;
    if (!plan_made)
        plan_for_count();
    print_plan();
    Timer timer_distances;
    run_sink->text("Calculating distances...\n");
    if (!all_pairwise) {
        if (heuristics) {
            run_sink->text("  Calculating similarity heuristics based pairs...");
            Timer timer_heuristics;
            progress_begin("  Calculating similarity heuristics based pairs...", 0, run_plan.join_tests);
            if (replanned)
                join_deadline = steady_seconds() + join_share();
            small_dists_work(epsilon);
            join_deadline = std::numeric_limits<double>::infinity();
            progress_end();
            run_sink->text(std::string(" ") + text_of(timer_heuristics.get_run_time()) + " sec\n");
            run_sink->text(std::string("    ") + text_of(n_dist / 2) + " distances calculated\n");
            if (join_cut)
                run_sink->text(std::string(MSG_JOIN_CUT) + "\n");
            run_sink->flush();
            delete_pivots();
        }
        // A skipped join leaves its share to the random pairs, whatever
        // share the heuristics were given.
        bool join_left_out = heuristics && join_skipped(epsilon);
        if ((prop_similar < 1 || join_left_out) && num_distances - n_dist / 2 > 0) {
            Timer timer_random;
            run_sink->text("  Calculating random pairs...");
            progress_begin("  Calculating random pairs...", n_dist / 2, num_distances);
            PhaseSeconds rest;
            if (replanned)
                rest = replan_random_pairs();
            else
                random_dist();
            progress_end();
            run_sink->text(std::string(" ") + text_of(timer_random.get_run_time()) + " sec\n");
            if (replanned)
                run_sink->text(replan_line(rest, num_distances) + "\n");
        }
    } else {
        Timer timer_all;
        run_sink->text("  Calculating all pairwise distances...");
        progress_begin("  Calculating all pairwise distances...", 0, (double)all_pairs(object_count));
        all_dist();
        progress_end();
        run_sink->text(std::string(" ") + text_of(timer_all.get_run_time()) + " sec\n");
    }
    run_sink->text(std::string("Distance calculation took ") + text_of(timer_distances.get_run_time()) + " sec\n");
    run_sink->text(std::string("  Values of ") + text_of(n_dist / 2) + " distances were calculated\n");
    report_pairs_without_distance();
}

// Seconds the join of a time-budget run may take from now: what the plan
// gave it, with room for a plan that fell a little short, and never so
// much that the least count's random pairs, clustering and output (priced
// as the re-plan prices them, the random pairs at the calibration's rate)
// no longer fit in what is left of the budget.  A join on data
// whose pivot bounds tell little examines far more candidates than its
// sample foresaw; past its share its pairs so far stay.
double Run::join_share()
{
    double elapsed = run_plan.spent + steady_seconds() - run_plan.clock;
    const UnitCosts &unit = run_plan.unit;
    double least_rest = predict_rest(unit, calibrated_random_pair(unit), 0, run_plan.least, object_count).total();
    double by_budget = run_plan.budget - elapsed - least_rest;
    // The join keeps the seconds the plan gave it whatever the budget: where
    // even the least count does not fit, cutting it would trade the pairs
    // that make the tree for random ones that take as long.
    return std::max(0.0, std::min(JOIN_OVERRUN * run_plan.seconds.join + JOIN_SLACK_SECONDS,
                                  std::max(by_budget, run_plan.seconds.join)));
}

// The random pairs of a time-budget run, in two steps: a first share,
// timed, then the count re-planned from the time left, the pairs' measured
// rate and a clustering cost that no input has exceeded (clustering_seconds),
// and the rest up to it.  By then the join, the pivots and the epsilon have
// taken what they took, whatever the plan foresaw for them: the count is the
// knob left.  The result is the rest's predicted seconds, from the re-plan on.
PhaseSeconds Run::replan_random_pairs()
{
    int64_t planned = num_distances, stored = n_dist / 2;
    int64_t first = stored + std::min<int64_t>(planned - stored,
                                               std::max<int64_t>(object_count,
                                                                 (int64_t)(RANDOM_FIRST_SHARE * (planned - stored))));
    num_distances = first;
    double start = steady_seconds();
    random_dist();
    double seconds = steady_seconds() - start;
    int64_t added = n_dist / 2 - stored;
    // With no pair added (every pair stored, or none with a distance) the
    // plan's own price stands.
    const UnitCosts &unit = run_plan.unit;
    double per_random = added > 0 ? RANDOM_LATER_COST * seconds / (double)added : calibrated_random_pair(unit);
    double left = run_plan.budget - (run_plan.spent + steady_seconds() - run_plan.clock);
    int64_t now_stored = n_dist / 2;
    auto rest = [&](int64_t count) {
        return predict_rest(unit, per_random, now_stored, count, object_count).total();
    };
    int64_t count = replan_count(left, now_stored, run_plan.least, std::min<int64_t>(run_plan.capacity, dist_size / 2),
                                 rest);
    PhaseSeconds predicted = predict_rest(unit, per_random, now_stored, count, object_count);
    num_distances = count;
    if (count > now_stored)
        random_dist();
    return predicted;
}

void Run::given_distances()
{
    Timer timer_distances;
    run_sink->text("Inputting distances...\n");
    input_dist();
    run_sink->text(std::string("Distance input took ") + text_of(timer_distances.get_run_time()) + " sec\n");
    run_sink->text(std::string("  Values of ") + text_of(n_dist / 2) + " distances were input\n");
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

int64_t sample_count(double time_budget, double sample_seconds, int n)
{
    if (!(sample_seconds > 0))
        return all_pairs(n);
    double count = 100 * 0.5 * time_budget / sample_seconds + 1.0;
    const double limit = 4611686018427387904.0; // 2^62
    if (count > limit)
        return INT64_C(4611686018427387904);
    if (count < -limit)
        return -INT64_C(4611686018427387904);
    return (int64_t)count;
}

int64_t bound_num_distances(int64_t wanted, int64_t memory, int n)
{
    return bound_num_distances(wanted, memory, n, STORE_COST);
}

int64_t bound_num_distances(int64_t wanted, int64_t memory, int n, const EngineCost &cost)
{
    int64_t count = wanted;
    int64_t room = memory - cost.per_object * n;
    if (count * cost.per_pair > room)
        count = room / cost.per_pair;
    if (count < 20 * (int64_t)n)
        count = 20 * (int64_t)n;
    if (count > all_pairs(n))
        count = all_pairs(n);
    if (count > cost.max_pairs)
        count = cost.max_pairs;
    return count;
}
