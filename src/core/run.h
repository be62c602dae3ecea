// One clustering run: its data, settings, random sequence, sink, distance store, pivots, join and dendrogram.
//
// Everything a run reads or changes is a member of its Run object, so that
// several runs may live in one process, one after another or at once on
// different threads, without touching each other.  The methods are spread
// over the engine's modules, one concern each:
//
//   distances.cc     the store (init_distances, getdist, ...), the candidate
//                    heap, the merge loop (cluster_merge) and the leaf order
//   record_lists.cc  the store's per-object record lists
//   store_fill.cc    every pair into an empty store at once, on the threads
//   small_dist.cc    the pair sources: random, all and given pairs, the
//                    pivots, the epsilon estimate and the join
//   missing.cc       missing values skipped pair by pair
//   dense.cc         the exact dense engine
//   linear.cc        the exact engine in linear memory
//   quality.cc       the quality pass over the finished dendrogram
//   plan.cc, calibrate.cc  the time plan's measurements on the run's data
//
// The caller fills the data view and the settings, installs a sink and seeds
// the random sequence; the run owns what it allocates and frees it when it
// ends.
#ifndef RUN_H
#define RUN_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <brivane/sink.hpp>

#include "compact.h"
#include "distances.h"
#include "plan.h"
#include "random.h"
#include "record_lists.h"
#include "settings.h"

template <class T> class Distance;
struct PairSlot;
struct JoinTask;
struct JoinFound;
struct merge_quality_t;
struct dense_merge_t;
class Timer;

// The value that getdist takes as "no distance offered, compute it".
const double NO_DISTANCE = -1e100;

// All distinct pairs of n objects, n(n-1)/2; 0 for fewer than two.
inline int64_t all_pairs(int n)
{
    return n < 2 ? 0 : static_cast<int64_t>(n) * (n - 1) / 2;
}

// Memory charged per stored distance, in bytes.
const int64_t BYTES_PER_DISTANCE = 250;
// The most pairs the distance store can hold: its pool of two records per pair
// and its hash table of six heads per record are counted in 32 bits.
const int64_t STORE_MAX_PAIRS = ((INT32_MAX - 1) / 6 - 2) / 2;

// What an engine's known pairs cost in memory, and the most it holds.
struct EngineCost {
    int64_t per_pair;    // bytes per pair of its capacity
    int64_t per_object;  // bytes per object beside the pairs
    int64_t max_pairs;   // the most it holds
};
const EngineCost STORE_COST{BYTES_PER_DISTANCE, 0, STORE_MAX_PAIRS};
const EngineCost COMPACT_COST{COMPACT_BYTES_PER_PAIR, COMPACT_BYTES_PER_OBJECT, COMPACT_MAX_PAIRS};

class Run {
  public:
    Run();
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    // ---- The data view: set by the caller, never copied or freed here.
    int object_count = 0;     // objects to cluster (N in the comments)
    int row_length = 0;       // elements per object (data matrices only)
    int list_entries = 0;     // entries of a distance list
    int type = 0;             // element type code of the data or distance values (element.h)
    // The values; only the array that matches `type` is set.  A data matrix
    // holds object i at elements i*row_length ... (i+1)*row_length-1.
    const char *data_char = nullptr;
    const int *data_int = nullptr;
    const float *data_float = nullptr;
    const double *data_double = nullptr;
    const int *distfrom = nullptr;  // start object of each distance-list entry
    const int *distto = nullptr;    // end object of each distance-list entry
    // The selected measure, one per element type; only the one of `type` is
    // read.  Owned when make_measure made it.
    Distance<double> *measure_double = nullptr;
    Distance<float> *measure_float = nullptr;
    Distance<char> *measure_char = nullptr;
    Distance<int> *measure_int = nullptr;

    // Makes the run's measure for the data's element type (`type`) from its
    // keyword (any unambiguous prefix), owned by the run; `minkowski_p`, when
    // not 0, is the Minkowski measure's p.
    void make_measure(const char *distkey, double minkowski_p);

    // ---- Settings and what the run derives from them.
    EngineSettings settings;
    int num_threads = 1;     // threads a parallel loop may use, at least 1
    int64_t num_distances = 0;  // object pairs to compute before clustering
    double epsilon = 0;      // threshold of the similarity heuristics
    int64_t memory = 0;      // memory budget in bytes, less the input
    int engine = ENGINE_STORE;  // the engine that clusters: ENGINE_STORE, ENGINE_DENSE, ENGINE_COMPACT or ENGINE_LINEAR
    // The plan of the run: made before the count is fixed when the time
    // budget decides it, otherwise (a count given, all pairs) just before
    // the distances.
    Plan run_plan;
    bool plan_made = false;
    // What the store would need beside the input when the dense engine runs
    // where the store does not fit; 0 when it would fit, -1 when no budget
    // would do (too many pairs).
    int64_t store_need = 0;
    // Writes the run's output once the clustering has put the leaves in
    // order, inside the clustering phase (its time includes the writing);
    // empty: nothing is written.
    std::function<void()> write_tree;
    // The run's random sequence: seeded once before the first draw and drawn
    // from on the main thread only, so that a seed gives the same run for
    // every number of threads.
    Random run_random;
    // Where the run's lines go; the silent sink unless the caller installs
    // one.  Never null.
    brivane::Sink *run_sink = &brivane::silent_sink();

    // ---- The distance store (distances.cc).
    dist_t *dist = nullptr;            // record pool; records 2k and 2k+1 are one pair
    // Records in use (two per pair, always even) and the capacity in records;
    // the compact engine counts its pairs in the same units.
    int64_t n_dist = 0;
    int64_t dist_size = 0;
    int32_t *dist_hash = nullptr;      // chain heads (even records) by chain_of(i, j)
    int32_t dist_hash_size = 0;        // 6 * dist_size + 1
    int32_t *dist_time = nullptr;      // by record: abstract_time when stored or last returned
    node_t *node = nullptr;            // one entry per object, later per cluster slot
    int32_t abstract_time = 0;         // phase counter stamped into records
    int32_t getdist_time = 0;          // stamp seen by the last getdist call
    int32_t distance_warning = 0;      // 1 once the store-full warning is out

    // The compact engine's pairs (compact.h), in place of the store's pool,
    // hash table and lists when it clusters.
    std::unique_ptr<PairTable> pair_table;

    // The record lists' block pool (record_lists.cc).
    int32_t *list_pool = nullptr;      // blocks of 16 entries: the link, then the records; 64-byte aligned
    int64_t list_capacity = 0;         // blocks in the pool
    int64_t list_used = 0;             // blocks ever handed out (the high-water mark)
    int32_t list_free = NO_BLOCK;      // first block of the free chain, linked through entry 0
    int32_t list_slots = 0;            // slots whose lists live in the pool
    int64_t list_compactions = 0;      // times the pool ran out and was compacted
    int64_t list_growths = 0;          // times compaction freed too little and the pool grew

    // The candidate heap (1-based; slot 0 unused).  heap_loc holds, for
    // every stored pair, its heap position, or 0 while it has never been
    // placed.
    heap_entry_t *heap = nullptr;
    int32_t heap_size = 0;
    int32_t *heap_loc = nullptr;

    // The dendrogram, 2N-1 entries each, indexed by node number.
    int32_t *leftnode = nullptr;
    int32_t *rightnode = nullptr;
    double *dst = nullptr;
    int32_t *start = nullptr;
    int32_t *end = nullptr;
    int32_t *new2old = nullptr;
    int32_t *old2new = nullptr;

    // ---- Missing values skipped pair by pair (missing.cc).
    // Per object, 1 when its row holds a NaN; null unless the pairwise
    // measures are in use (then calc_distance sends every pair with such a
    // row to pairwise_calc_distance).
    const unsigned char *rows_with_missing = nullptr;
    // True in pairwise mode: a NaN distance means "no distance" and is not stored.
    bool skip_pairs_without_distance = false;

    // ---- Pivot tables, alive from choose_pivots until delete_pivots.
    int *pivots = nullptr;            // object of each pivot, in order of choice
    double *pivot_dists = nullptr;    // entry p*N+o: distance of object o to pivot p
    // Join statistics of the last small_dists_work call (64 bits: a join may
    // examine more pairs than an int counts).
    int64_t neg_res1 = 0;             // pairs rejected without the exact test
    int64_t neg_res2 = 0;             // pairs rejected by the exact pivot test
    int64_t join_pairs_examined = 0;  // pairs of the leaf block pairs
    // A time-budget run's join takes no batch past this steady-clock second
    // (its pairs so far stay, the random pairs fill the rest); infinite in
    // every other run, whose join is whole.  join_cut: the last join stopped so.
    double join_deadline = std::numeric_limits<double>::infinity();
    bool join_cut = false;
    // Where the join sends each pair that passes both tests, on the main
    // thread and in the order a single thread finds them; empty: into the
    // store (getdist).
    std::function<void(int i, int j, double d)> join_pair_sink;
    // How the join computes the distance of a pair it found, on any thread;
    // empty: calc_distance.
    std::function<double(int i, int j)> join_pair_value;

    // ---- The dense engine's condensed matrix (dense.cc).
    double *dense = nullptr;
    // Reads a distance matrix that was not loaded, block by block, into the
    // condensed matrix (copy_rows); the result is the count of values that
    // are not finite.  Set by a caller that leaves the matrix in its file.
    std::function<int64_t()> read_distance_blocks;

    // ---- Progress of the long phases and the caller's stop requests
    // (progress.cc).  The loops of the main thread tick; every TICKS ticks
    // the clock is read, and every quarter of a second at most the sink
    // hears the phase's progress and is asked whether to stop (at the
    // run's first tick already).
    // The phase whose opening piece was `text` runs from `first` to `total`
    // units of work.
    void progress_begin(const char *text, double first, double total);
    // The loops' hook (main thread only): `done` units are done.  Costs a
    // decrement unless the clock is due.
    void progress_tick(double done)
    {
        if (--progress_countdown <= 0)
            progress_look(done);
    }
    // The same after a batch of work: the clock is read at once.
    void progress_batch(double done) { progress_look(done); }
    // A loop without a measure of its work asks only whether to stop.
    void poll() { progress_tick(progress_done); }
    // The phase is over.
    void progress_end();

    // ---- The run's course (phases.cc), in the order a run takes it: the
    // caller sets the data view and the settings, charges the input
    // (charge_input) and checks the budget (check_input_budget), makes the
    // measure, prepares the missing values, seeds the random sequence, then
    // compute_distances and run_clustering.
    // Takes `bytes` of input off the memory budget.
    void charge_input(int64_t bytes);
    // The engine choice, then the refusal of a budget that cannot hold the
    // input, with the need of the engine it would take.  `matrix_input` is
    // the size of a distance matrix input, which the engine choice charges.
    void check_input_budget(int64_t matrix_input);
    // The line that follows a memory refusal: the memory budget that would
    // hold `bytes` for the distances beside what the input takes.
    std::string memory_need_line(int64_t bytes);
    // Seeds run_random from settings.random_seed, or from the clock when it
    // is 0, and says which.
    void seed_random();
    // The distance count and the distances (or the dense engine's matrix).
    // `timer_global` has run since the run began: the time budget counts it.
    void compute_distances(Timer &timer_global);
    // The clustering with the engine chosen, and write_tree.
    void run_clustering();
    // Whether the run clusters a data matrix (rows or columns).
    bool data_mode() const;
    // Whether the run knows every pair, and so may cluster with either engine.
    bool exact_run() const;
    // The dense engine reads a distance matrix in row blocks (through
    // read_distance_blocks), never holding it whole, unless the quality pass
    // will read it afterwards.
    bool dense_reads_blocks() const;

    // ---- The store (distances.cc).
    void init_distances();
    // Frees the store, the candidate heap and the dendrogram arrays, leaving
    // every pointer null and every size 0, as before init_distances.
    void free_distances();
    double calc_distance(int point1, int point2);
    // Spearman's measures rank each row once, not each row of every pair:
    // the rows' centred ranks (half integers, exact in floats, 4 bytes an
    // element charged to the budget) and which rows hold a NaN.  A distance
    // from them is the measure's to the last bit.  Empty under the other
    // measures.
    std::vector<float> row_ranks;
    std::vector<unsigned char> row_ranks_nan;
    bool ranks_absolute = false;
    void rank_rows(const char *distkey);
    double ranked_distance(int point1, int point2) const;
    void add_dist(int i, int j, double distance);
    // Distance of the pair, computed with the selected measure and stored if
    // the pair is new.  An offered value greater than NO_DISTANCE is taken
    // as the distance.
    double getdist(int i, int j, double offered);
    // The same for a given distance: `offered` is stored as it is, whatever
    // its value, and nothing is ever computed.
    double getdist_given(int i, int j, double offered);
    // A hint that getdist(i, j, ...) will follow soon: starts fetching the
    // hash chain head, the object entries and the data row it will read.
    // Changes no state and no result.
    void getdist_prefetch(int i, int j);
    // The same without the data row, for a pair whose value comes with it
    // (computed on the threads, found by the join, given): fetching the row
    // there would only take memory bandwidth from the threads.
    void prefetch_entry(int i, int j);
    dist_t *hash_lookup(int i, int j);
    // Re-keys the record of (i1, j1), which must exist, to (i2, j2) and its
    // twin to (j2, i2): the pair moves to its new hash chain and the
    // records' x and y change with it.  No list changes.
    dist_t *change_hash(int i1, int j1, int i2, int j2);

    // The twin record of the same pair, in the other direction.
    dist_t *symmetric(const dist_t *r) { return &dist[(r - dist) ^ 1]; }
    // abstract_time when the record was stored or last returned by getdist.
    // It is kept beside the pool: only the pair sources read it, never the
    // merge loop.
    int32_t &record_time(const dist_t *r) { return dist_time[r - dist]; }
    // Chain head index of the unordered pair keyed min * N + max.
    int64_t chain_index(int64_t key) const { return ::chain_index(key, dist_hash_size); }

    // ---- The candidate heap (distances.cc).
    void build_heap();
    void move_down(int i);
    void move_up(int i);
    // The three changes the merge loop makes to the heap: take the closest
    // pair; re-sift the pair of record r (either twin) after its key went
    // from old_key to new_key; remove the pair of record r (either twin),
    // whose key is key.
    dist_t *heap_take_top();
    void heap_resift(dist_t *r, double old_key, double new_key);
    void heap_remove(dist_t *r, double key);
    // The record the heap holds at position p: the even twin of its pair.
    dist_t *heap_record(int p) { return &dist[2 * static_cast<int64_t>(heap[p].pair)]; }
    // Heap position of a stored pair, through either of its records.
    int32_t &pair_heap_loc(const dist_t *r) { return heap_loc[(r - dist) >> 1]; }

    // ---- The merge loop and the leaf order (distances.cc).
    // The whole clustering: cluster_merge and the leaf order.
    void cluster();
    // Allocates the dendrogram arrays for N objects: every node a leaf of
    // its own (children -1, distance 0, start = end = its number).
    void new_dendrogram();
    // The merge loop alone: builds the heap, fills the dendrogram arrays
    // (leaf children still given by object index) and joins unconnected
    // clusters in an order drawn from run_random.
    void cluster_merge();
    int permute(int nd, int st);
    // The compact engine's table for `capacity` pairs (compact.cc), in
    // place of the store that init_distances makes.
    void init_pair_table(int64_t capacity);
    // The compact engine's merge loop (compact.cc), in place of cluster_merge.
    void compact_merge();
    // Whether the pair {i, j} is stored, in either engine.
    bool stored(int i, int j);

    // ---- The record lists (record_lists.cc; see record_lists.h).
    // Empties every list of `slots` slots and sizes the pool at `blocks`
    // blocks (at most MAX_LIST_BLOCKS).  The memory is reserved, not
    // touched: only blocks handed out count.
    void list_pool_init(int32_t slots, int64_t blocks);
    // Gives the pool back: no lists, every count 0, as before list_pool_init.
    void list_pool_free();
    // A fresh block from the free chain or the unused part of the pool;
    // compacts or grows the pool when both are empty.
    int32_t list_new_block();
    // Pushes record r at the head of slot i's list.
    inline void list_push(int i, int32_t r);
    // Takes record r, which is on slot i's list, off it.
    void list_unlink(int i, int32_t r)
    {
        list_pool[dist[r].at] = NO_RECORD;
        node[i].dist_count--;
    }
    // Where an unlink of record r will write; r's record has arrived.
    const void *list_entry_address(int32_t r) const { return &list_pool[dist[r].at]; }
    // A hint that a push onto slot i's list will follow soon.  Forced
    // inline: a function that only prefetches would otherwise be dropped as
    // one without effect, hint and all.
    __attribute__((always_inline)) void list_prefetch_push(int i)
    {
        int32_t h = node[i].list_head;
        if (h != NO_RECORD)
            __builtin_prefetch(&list_pool[h - 1], 1, 3);
    }
    // Calls f(r) for every record on slot i's list, from its head.  f must
    // not change slot i's list.
    template <class F> void list_walk(int i, F f) const;
    // Empties slot i's list: its records are appended to `out` in walk order
    // and its blocks go back to the free chain.
    void list_take(int i, std::vector<int32_t> &out);
    // Squeezes the holes out of every list, in place and in order, and
    // returns the blocks left empty to the free chain.  A list with records
    // keeps its head where it was; a list of holes only becomes empty.
    void list_compact();

    // ---- Every pair into an empty store at once, on all threads, into
    // exactly the state that entering the pairs one by one gives (store_fill.cc).
    // Whether fill_all_pairs leaves the store as getdist would, entering
    // every pair (i, j), i < j, row by row: the store is empty, has room for
    // every pair, and no pair can be left out for want of a distance.
    bool fill_all_pairs_applies();
    // Stores every pair of the N objects, stamped with abstract_time: pair k
    // of the upper triangle in row-major order is records 2k (from i to j)
    // and 2k+1 (from j to i), with the hash chains, lists, stamps and heap
    // places that getdist gives.  Only when fill_all_pairs_applies().
    void fill_all_pairs();
    // The steps of fill_all_pairs, each on the threads but the lists.
    // The records of rows [first, last): both twins, distance, stamp, heap
    // place 0; no chain or list links yet.
    void fill_records(int first, int last);
    // Links the even record of every pair whose chain head is in [lo, hi)
    // into its chain, in pair order.
    void fill_chain_heads(int64_t lo, int64_t hi);
    // Pushes every record onto its object's list, in record order.
    void fill_lists();

    // ---- The pair sources, the pivots, the estimate and the join (small_dist.cc).
    void random_dist();
    void all_dist();
    void input_dist();
    void choose_pivots();
    void delete_pivots();
    // Objects that are never taken as pivots: those with a NaN or infinite
    // element, when at least one object has none (else no object is passed
    // over).  Entry o is 1 for a passed-over object; `passed` is their number.
    std::vector<char> unfit_pivots(int &passed);
    double estimate_epsilon();
    // Largest difference of the two objects' distances to the same pivot,
    // from 0 upward; a NaN difference never raises it.
    double pivot_lower_bound(int a, int b);
    // How many of the smallest sampled bounds epsilon covers: the wanted
    // share of heuristic pairs scaled to the sample, at least 1.
    int threshold_location(int sample_size);
    void small_dists_work(double eps);
    // Packed fine cells (width eps/3) of object o over the first
    // PACKED_PIVOTS pivots, pivot 0 in the highest field.
    void pack_fine_cells(double eps, int o, int64_t &packed, int64_t &packed_inc);
    // The same over the PACKED_PIVOTS pivots from `first` on (fewer when the
    // pivots end before); the join tests a second word from pivot
    // PACKED_PIVOTS on, which rejects before the exact test what the first
    // word lets through.
    void pack_fine_cells_from(double eps, int o, int first, int64_t &packed, int64_t &packed_inc);
    // An object takes part in the join only when all its pivot distances are finite.
    bool join_member(int o);
    // More pivots than objects must repeat an object; the run uses at most
    // one per object.
    int num_pivots() const;

    // ---- Missing values (NaN) in a data matrix (missing.cc).  With
    // settings.missing == MISSING_PAIRWISE every numeric measure compares two
    // objects over the positions where both hold a value.  Which rows hold a
    // NaN is noted once per object, so that a pair of complete rows keeps the
    // plain measure and its speed.  A pair that shares too few values has no
    // distance: it is never stored and never counts as a known pair, like a
    // NaN given distance; it is remembered so that it is not computed twice
    // and so that the random pairs know when no further pair can be had.
    //
    // Counts the data's NaN elements and sets the run up for the missing
    // setting: the warning when NaNs propagate by default, the note that the
    // option has no effect on char and int data or on given distances, and
    // in pairwise mode the per-object flags and the pairwise measure.
    // `distkey` is the measure's keyword in the data modes, null for given
    // distances.  Call after the data are set and before any distance is
    // computed.
    void prepare_missing_values(const char *distkey);
    // The pairwise measure's distance of two objects (at least one with a NaN).
    double pairwise_calc_distance(int point1, int point2);
    // Pairs without distance.  known_without_distance: the pair was found to
    // have none, or one of its objects holds too few values to have any.
    bool known_without_distance(int i, int j);
    void note_without_distance(int i, int j);
    // Distinct pairs known to have no distance, of all N(N-1)/2; 0 outside
    // pairwise mode.
    int64_t pairs_without_distance();
    // The progress line with that count, in pairwise mode when it is not 0.
    void report_pairs_without_distance();
    // Whether object o may serve as a pivot: not when it holds too few
    // values to have any distance, which would leave every object without a
    // grid cell (unless no object has enough).
    bool pivot_candidate(int o);
    // Forgets everything above.
    void reset_missing_values();

    // ---- The dense engine (dense.cc).
    // Allocates `dense` for N objects and fills it: each pair of the data matrix
    // by calc_distance, as the store has it under every -U setting (in parallel
    // on num_threads threads), or from the distance matrix input (the loaded
    // values when the run holds them, else read_distance_blocks).  Returns
    // how many values are NaN or infinite.
    int64_t dense_fill_measure();
    int64_t dense_fill_given();
    // Rows first ... first+count-1 of an n by n distance matrix into the
    // condensed matrix; the count of values that are not finite.
    template <class T> int64_t copy_rows(const T *rows, int64_t first, int64_t count, int64_t n);
    // Fills the dendrogram arrays from the merges of a linkage of N objects:
    // sorted by height (stably) when `by_height`, numbered N ... 2N-2 in
    // that order, the larger cluster the left child.  The nearest-neighbour
    // chain's merges need the sort; the generic algorithm's are in merge
    // order already, which its inversions keep from being by height.
    void dense_dendrogram(std::vector<dense_merge_t> merges, bool by_height);
    // The whole clustering of `dense` with the run's linkage: merges, the
    // dendrogram arrays and the leaf order.
    void dense_cluster();

    // ---- The linear engine (linear.cc): a data matrix, every distance
    // computed by calc_distance when needed and not kept.
    // Single linkage by Prim's algorithm on num_threads threads: the N-1
    // edges of the minimum spanning tree in the order they joined it, as
    // dense_mst gives them on the matrix of the same distances.  Counts the
    // distances that are NaN or infinite (`not_finite`) and those NaN
    // (`nan`); each pair is computed once.
    std::vector<dense_merge_t> linear_mst(int64_t &not_finite, int64_t &nan);
    // The distances the last linear_mst computed: fewer than the pairs where
    // bounds showed that a distance could not shorten a reach.
    int64_t linear_pairs_computed = 0;
    // Ward linkage of the data matrix's euclidean distances by the
    // nearest-neighbour chain over cluster centroids, on num_threads
    // threads: the N-1 merges in the order the chain found them, as
    // dense_nn_chain gives them (heights the square roots of the merge
    // values).  The data must be finite.
    std::vector<dense_merge_t> linear_ward();
    // Centroid or median linkage (the run's) of the data matrix's euclidean
    // distances by the generic algorithm over cluster centroids, on
    // num_threads threads: the N-1 merges in the order they were made, as
    // dense_generic gives them, heights free to go down.  The data must be
    // finite.
    std::vector<dense_merge_t> linear_generic();
    // The first centroids: the data matrix's rows in doubles.
    std::vector<double> rows_as_centroids();
    // Objects of the data matrix with an element that is NaN or infinite.
    int64_t rows_not_finite();
    // The whole clustering with the run's linkage: the merges, the
    // dendrogram arrays and the leaf order; a distance that is not finite
    // ends the run.
    void linear_cluster();
    // Ends the run of an exact engine whose distances were not all finite:
    // `not_finite` of them, `without` of which are pairs without a distance
    // (their objects share too few values); names the store where it could
    // take the run.
    void refuse_not_finite(int64_t not_finite, int64_t without);

    // ---- The quality pass (quality.cc).
    std::vector<merge_quality_t> measure_merges();

    // ---- The time plan's calibration on the run itself (plan.cc): needs the
    // data; the join sample needs the pivot tables, alive between
    // choose_pivots and delete_pivots.  Nothing here prints or draws from
    // run_random.
    // The unit costs of this run: its measure on random pairs of its data,
    // and the store's and the merge loop's work priced at this machine's far
    // load.
    UnitCosts measure_unit_costs(int pivots);
    // Up to `size` objects spread evenly over all, with their pivot distances.
    JoinSample join_sample(int size, int pivots, int split_threshold);
    // The object that row k of join_sample(size, ...) is.
    int join_sample_object(int k, int size) const;
    // The real join (small_dists_work, on the run's threads, on a run of its
    // own) over `objects` of a sample's objects, spread evenly over them, at
    // eps: wall seconds with the distances of the pairs it finds and without
    // (their distances taken as 0), the pairs it examined and found.  `size`
    // is the size join_sample was asked for.
    JoinTiming time_sample_join(const JoinSample &sample, double eps, int size, int objects);
    // The store's costs per pair (insertion and merge loop, by the store's
    // size) timed on scratch stores shaped like a run of n objects and
    // `count` pairs, `found` of them the join's at eps: their near pairs
    // neighbours in the sample's grid order, their distances the sample's
    // pivot bounds.  Costs about 0.5 % of the budget, at most a few tenths
    // of a second.  `far_load`: processor seconds of one far load.
    StoreCosts measure_store_costs(JoinSample &sample, int64_t count, double found, double eps, int n,
                                   double budget, double far_load);
    // Threads the distance computations may count on: num_threads, at most
    // the cores.
    double parallel_share();

  private:
    // Progress state (progress.cc).
    static const int32_t TICKS = 4096;
    int32_t progress_countdown = 1;      // ticks before the clock is read again; a new run reads it at once
    bool progress_on = false;            // a phase with work to report is on
    double progress_first = 0;           // units done when the phase began
    double progress_total = 0;           // units done when it ends
    double progress_done = 0;            // units done at the last tick
    double progress_started = 0;         // when it began, seconds
    double progress_reported = 0;        // when the sink last heard of the phase's progress
    double stop_asked = 0;               // when the sink was last asked whether to stop
    void progress_look(double done);

    // The measures make_measure made.
    std::unique_ptr<Distance<double>> owned_double;
    std::unique_ptr<Distance<float>> owned_float;
    std::unique_ptr<Distance<int>> owned_int;
    std::unique_ptr<Distance<char>> owned_char;

    // Missing-value state (missing.cc), alive for the run once
    // prepare_missing_values has set it.
    std::vector<unsigned char> row_flags;       // per object: its row holds a NaN
    std::vector<unsigned char> too_few;         // per object: fewer values than the measure needs
    int64_t pairs_with_too_few = 0;             // pairs with at least one object of too_few
    int64_t sufficient_objects = 0;             // objects not too_few
    std::unordered_set<int64_t> found_without;  // pairs of other objects found to have no distance
    std::unique_ptr<Distance<float>> pairwise_float;
    std::unique_ptr<Distance<double>> pairwise_double;

    // The absorbed slot's records while absorb works on them.
    std::vector<int32_t> absorbed;

    // The join's work arrays (small_dist.cc), alive during small_dists_work.
    int *order = nullptr;              // objects in epsilon grid order; join members first
    int64_t *opt = nullptr;            // per object: packed fine cells of the first pivots
    int64_t *optinc = nullptr;         // the same, each field shifted by 3 and tagged with 32
    int64_t *opt_ordered = nullptr;    // entry k: opt[order[k]], read in order by the tests
    int64_t *inc_ordered = nullptr;    // entry k: optinc[order[k]]
    int64_t *opt2_ordered = nullptr;   // entry k: packed cells of order[k] from pivot 10 on
    int64_t *inc2_ordered = nullptr;   // the same, shifted and tagged
    double *pd_ordered = nullptr;      // entry k*P+p: pivot distance p of order[k]
    int64_t c1 = 0;                    // 31 in every packed field
    int64_t c2 = 0;                    // 24 in every packed field
    int64_t c1_second = 0;             // c1 and c2 over the fields of the second word
    int64_t c2_second = 0;
    int join_pivots = 0;               // pivots the join works with
    int split_threshold = 1;           // a block 1 of at most this many positions is not split
    double join_eps = 0;               // the join's epsilon
    void free_join();

    int32_t *chain_of(int i, int j)
    {
        int64_t key = i < j ? static_cast<int64_t>(i) * object_count + j : static_cast<int64_t>(j) * object_count + i;
        return &dist_hash[chain_index(key)];
    }
    int32_t find_record(int i, int j);
    void rekey(int32_t r, int i2, int j2);
    double store_new_pair(int i, int j, double d);
    bool known_pair(int i, int j, double &d);
    void record_merge(int n, int x, int y, double d);
    void fetch_entry(int x, int y, int32_t xz);
    void fetch_entry_more(int y, int32_t xz);
    void absorb(int x, int y, int32_t xy, int linkage);

    void free_block(int32_t b);
    void grow_pool(int64_t blocks);
    void compact_list(int i);

    int64_t row_start(int i) const;
    void step_progress(double from, double share, int64_t done, int64_t total);

    size_t at(int p, int o) const { return (size_t)p * (size_t)object_count + (size_t)o; }
    void enter_pairs(const std::vector<PairSlot> &batch);
    double pair_value(int i, int j);
    void screen_known(std::vector<PairSlot> &batch);
    double given_value(int64_t k);
    void offer_given(int i, int j, double value);
    template <class T> void mark_unfit(const T *x, std::vector<char> &unfit, int &passed);
    int draw_pivot(Random &random, const std::vector<char> &unfit);
    void choose_random_pivots(Random &random, int P, const std::vector<char> &unfit);
    void choose_quantile_pivots(Random &random, int P, const std::vector<char> &unfit);
    void prefetch_row(int o);
    bool blocks_may_join(int start1, int end1, int start2, int end2, int &d);
    int window_pivot(const JoinTask &t);
    void simple_join(const JoinTask &t, JoinFound &found);
    void enter_found(const std::vector<JoinFound> &found, size_t count);
    void sink_join_pair(int i, int j, double d)
    {
        if (join_pair_sink)
            join_pair_sink(i, j, d);
        else
            getdist(i, j, d);
    }
    void run_join(int members);
    const double *ordered_row(int k) const;
    int ordered_cell(int k, int p) const;
    bool exact_close(int i, int j, int d) const;
    bool second_word_close(int i, int j) const;
    int next_packed_close(const int64_t *packed, int64_t inc, int from, int to) const;

    template <class T>
    void prepare_missing(const T *x, Distance<T> *selected, int measure_id, bool pairwise,
                         std::unique_ptr<Distance<T>> &pairwise_measure_out);
    int64_t missing_pair_key(int i, int j) const;

    int64_t fill_tiles();

    // The phases of the run's course (phases.cc).
    void choose_engine(int64_t matrix_input);
    int64_t least_distance_bytes();
    EngineCost pair_cost() const;
    EngineCost compact_cost() const;
    int64_t pairs_bytes(int64_t pairs) const;
    std::string limit_message() const;
    bool store_holds_count();
    double time_sample(Random &random);
    int pivot_count();
    int epsilon_sample_size();
    bool all_pairs_run();
    bool budget_decides();
    bool heuristics_wanted();
    void plan_distance_count();
    void dense_distances();
    void engine_line();
    double choose_pivots_phase();
    void plan_for_time_budget(Timer &timer_global, bool &pivots_chosen);
    void plan_for_count();
    double join_share();
    PhaseSeconds replan_random_pairs();
    void print_plan();
    void distances_from_data(bool pivots_chosen);
    void given_distances();

    StoreCosts store_costs(JoinSample &sample, int64_t count, double found, double eps, int n, double budget,
                           double far_load);

    void child_range(int child, int &first, int &last);
    template <class F> std::vector<merge_quality_t> measure_all_pairs(F distance);
    struct GivenPairs;
    GivenPairs given_pairs();
    std::vector<merge_quality_t> measure_given_pairs();
    double given_value_of(int64_t k);

    friend class JoinWalk;
};

// ---------------------------------------------------------------------------
// Budget arithmetic (phases.cc); every count is 64-bit until it is bounded.

// The memory budget in bytes of `gigabytes` (units of 2^30 bytes), truncated
// toward zero and held within +-2^62 so that the input's charge cannot
// overflow it.  The value must be finite.
int64_t memory_from_gigabytes(double gigabytes);
// The distance count that half of `time_budget` seconds allows when 100
// distances took `sample_seconds`; a sample that measured no time allows
// every pair.  Held within +-2^62.
int64_t sample_count(double time_budget, double sample_seconds, int n);
// The count `wanted` bounded by memory (250 bytes per distance), raised to
// 20 per object, capped at all pairs of n objects and at what the store can
// hold (STORE_MAX_PAIRS).
int64_t bound_num_distances(int64_t wanted, int64_t memory, int n);
// The same for an engine of the given cost.
int64_t bound_num_distances(int64_t wanted, int64_t memory, int n, const EngineCost &cost);

// ---------------------------------------------------------------------------

inline void Run::list_push(int i, int32_t r)
{
    int32_t h = node[i].list_head;
    if (h == NO_RECORD || (h & 15) == 1) {
        int32_t b = list_new_block();
        // A compaction on the way keeps every head where it was.
        h = node[i].list_head;
        list_pool[16 * b] = h == NO_RECORD ? NO_BLOCK : h >> 4;
        h = 16 * b + 16;
    }
    h--;
    list_pool[h] = r;
    dist[r].at = h;
    node[i].list_head = h;
    node[i].dist_count++;
}

template <class F> void Run::list_walk(int i, F f) const
{
    int32_t h = node[i].list_head;
    if (h == NO_RECORD)
        return;
    int32_t b = h >> 4;
    int k = h & 15;
    for (;;) {
        const int32_t *block = &list_pool[16 * b];
        for (; k < 16; k++)
            if (block[k] != NO_RECORD)
                f(block[k]);
        b = block[0];
        if (b == NO_BLOCK)
            return;
        k = 1;
    }
}

// Installs a sink on a run for the scope's life and gives the previous one
// back when the scope ends, also when an exception passes.
class SinkScope {
  public:
    SinkScope(Run &run, brivane::Sink &sink) : run_(run), previous_(run.run_sink) { run.run_sink = &sink; }
    ~SinkScope() { run_.run_sink = previous_; }
    SinkScope(const SinkScope &) = delete;
    SinkScope &operator=(const SinkScope &) = delete;

  private:
    Run &run_;
    brivane::Sink *previous_;
};

#endif
