// Distance store and clustering engine of brivane.
//
// What lives here, in file order:
//   - the distance store: a fixed pool of twin pair records, an open hash
//     table on the ordered pair and one list per object (init_distances,
//     getdist, getdist_given, add_dist, hash_lookup, change_hash);
//   - the candidate heap: a 1-based binary min-heap of pair records whose
//     positions are mirrored in the records (build_heap, move_down, move_up,
//     heap_take_top, heap_resift, heap_remove);
//   - the merge loop: agglomerative clustering with single, average or
//     complete linkage over the known pairs only, the remaining clusters
//     joined at +infinity in random order (cluster_merge);
//   - the leaf order and the output file (permute, write_output).
//
// The merge loop is the classic "stored matrix" agglomeration (Lance and
// Williams' update rules restricted to MIN, AVE and MAX) on a sparse matrix:
// a pair that is not stored stays unknown, and a pair known on one side only
// carries over unchanged.
#include "distances.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <netcdfcpp.h>

#include "Distance.h"
#include "brivane.h"
#include "brivane_arg.h"

// Messages of this module.
static const char *const MSG_STORE_FULL =
    "WARNING! Distance memory full, discarding some of the distances!";
static const char *const MSG_TOO_MANY_DISTANCES = "ERROR! Too many distances for the distance store: ";
static const char *const MSG_NO_OBJECTS = "ERROR! There are no objects to cluster!";
static const char *const MSG_TOO_MANY_OBJECTS = "ERROR! Too many objects for one dendrogram: ";
static const char *const MSG_WRITE_FAILED = "ERROR! Error writing output file ";
static const char *const MSG_UNSUPPORTED_TYPE_1 = "ERROR! Variable '";
static const char *const MSG_UNSUPPORTED_TYPE_2 = "' is of unsupported type and cannot be output!";
static const char *const MSG_PERMUTING = "Permuting ";

// Store state.
dist_t *dist = nullptr;            // record pool; records 2k and 2k+1 are one pair
int32_t n_dist = 0;                // records in use, always even
int32_t dist_size = 0;             // capacity of the pool in records
dist_t **dist_hash = nullptr;      // chain heads, indexed by key mod dist_hash_size
int32_t dist_hash_size = 0;        // 6 * dist_size + 1
node_t *node = nullptr;            // one entry per object, later per cluster slot
int32_t abstract_time = 0;         // phase counter stamped into records
int32_t getdist_time = 0;          // stamp seen by the last getdist call
int32_t distance_warning = 0;      // 1 once the store-full warning is out

// Candidate heap state.
dist_t **heap = nullptr;
int32_t heap_size = 0;
// heap_key[p] == heap[p]->dist for p = 1...heap_size: the sift loops compare
// keys in this contiguous array instead of following a pointer per child.
static double *heap_key = nullptr;

// Dendrogram arrays.
int32_t *leftnode = nullptr;
int32_t *rightnode = nullptr;
double *dst = nullptr;
int32_t *start = nullptr;
int32_t *end = nullptr;
int32_t *new2old = nullptr;
int32_t *old2new = nullptr;

// Largest record pool whose hash table (6 heads per record, plus one) still
// has a 32-bit count.
static const int64_t MAX_DIST_SIZE = (INT32_MAX - 1) / 6;

// ---------------------------------------------------------------------------
// Memory access helpers.  The store, its hash table and the candidate heap are
// read at random places over gigabytes, so the hot loops fetch what they will
// need a few steps ahead.  No helper changes any value the program computes.
//
// (Huge pages for these arrays were tried: fewer address translation misses
// in the merge loop, but on the virtual machine it was measured on, the
// kernel's clearing of 2 MiB pages cost more system time than they saved.)

// A hint to fetch the cache line at p for writing; p may be null or stale.
static inline void prefetch_write(const void *p)
{
    __builtin_prefetch(p, 1, 3);
}

// ---------------------------------------------------------------------------
// Distance store

static inline int64_t pair_key(int i, int j)
{
    return static_cast<int64_t>(i) * N + j;
}

static inline dist_t **chain_of(int64_t key)
{
    return &dist_hash[key % dist_hash_size];
}

void init_distances()
{
    int mode = opt_int(INDEX_OPT_CLUSTER);
    int64_t n = N;
    int64_t size;
    if (mode == CLUSTER_DISTMAT || ((mode == CLUSTER_ROWS || mode == CLUSTER_COLS) &&
                                    opt_given(INDEX_OPT_ALL_PAIRWISE)))
        size = n * n - n;
    else if (mode == CLUSTER_DISTLIST)
        size = 2 * static_cast<int64_t>(M);
    else
        size = 2 * static_cast<int64_t>(num_distances) + 2;

    if (size < 0 || size > MAX_DIST_SIZE) {
        std::cerr << MSG_TOO_MANY_DISTANCES << size << " records asked for, at most "
                  << MAX_DIST_SIZE << " fit" << std::endl;
        brivane_exit(1);
    }
    // A dendrogram needs one object at least: its root is node 2N-2.
    if (N < 1) {
        std::cerr << MSG_NO_OBJECTS << std::endl;
        brivane_exit(1);
    }
    if (2 * n - 1 > INT32_MAX) {
        std::cerr << MSG_TOO_MANY_OBJECTS << N << std::endl;
        brivane_exit(1);
    }

    dist_size = static_cast<int32_t>(size);
    dist_hash_size = 6 * dist_size + 1;
    std::cerr << "dist_size=" << dist_size << std::endl;

    dist = new dist_t[dist_size];
    dist_hash = new dist_t *[dist_hash_size]();
    node = new node_t[N];
    for (int i = 0; i < N; i++) {
        node[i].dist_start = nullptr;
        node[i].dist_count = 0;
        node[i].size = 1;
        node[i].number = i;
        node[i].merged = 0;
    }
    n_dist = 0;
    abstract_time = 1;
}

double calc_distance(int point1, int point2)
{
    int64_t a = static_cast<int64_t>(point1) * C;
    int64_t b = static_cast<int64_t>(point2) * C;
    switch (type) {
    case ncChar:
        return dc->distance(xc + a, xc + b, C, C);
    case ncInt:
        return di->distance(xi + a, xi + b, C, C);
    case ncFloat:
        return df->distance(xf + a, xf + b, C, C);
    case ncDouble:
        return dd->distance(xd + a, xd + b, C, C);
    default:
        return std::numeric_limits<double>::quiet_NaN();
    }
}

// Pushes the record at the head of slot i's list.
static inline void list_push(int i, dist_t *r)
{
    r->prev = nullptr;
    r->next = node[i].dist_start;
    if (r->next)
        r->next->prev = r;
    node[i].dist_start = r;
    node[i].dist_count++;
}

static inline void list_unlink(int i, dist_t *r)
{
    if (r->prev)
        r->prev->next = r->next;
    else
        node[i].dist_start = r->next;
    if (r->next)
        r->next->prev = r->prev;
    node[i].dist_count--;
}

void add_dist(int i, int j, double distance)
{
    dist_t *r = &dist[n_dist];
    r->key = pair_key(i, j);
    r->x = i;
    r->y = j;
    r->dist = distance;
    dist_t **chain = chain_of(r->key);
    r->more = *chain;
    *chain = r;
    list_push(i, r);
    r->heap_loc = 0;
    r->multi = 1;
    r->time = abstract_time;
    r->symmetric = i < j ? r + 1 : r - 1;
    n_dist++;
}

dist_t *hash_lookup(int i, int j)
{
    int64_t key = pair_key(i, j);
    for (dist_t *r = *chain_of(key); r; r = r->more)
        if (r->key == key)
            return r;
    return nullptr;
}

dist_t *change_hash(int i1, int j1, int i2, int j2)
{
    int64_t key = pair_key(i1, j1);
    dist_t **link = chain_of(key);
    while ((*link)->key != key)
        link = &(*link)->more;
    dist_t *r = *link;
    *link = r->more;
    r->key = pair_key(i2, j2);
    dist_t **chain = chain_of(r->key);
    r->more = *chain;
    *chain = r;
    return r;
}

// Stores a new pair (both twins, the smaller object first) when two records
// still fit; a full store drops the pair and says so once per run.
static inline double store_new_pair(int i, int j, double d)
{
    getdist_time = abstract_time;
    if (n_dist + 2 > dist_size) {
        if (!distance_warning) {
            std::cerr << MSG_STORE_FULL << std::endl;
            distance_warning = 1;
        }
        return d;
    }
    if (i < j) {
        add_dist(i, j, d);
        add_dist(j, i, d);
    } else {
        add_dist(j, i, d);
        add_dist(i, j, d);
    }
    return d;
}

void getdist_prefetch(int i, int j)
{
    // Before init_distances there is no table to look into.
    if (i == j || dist_hash_size == 0)
        return;
    __builtin_prefetch(chain_of(pair_key(i, j)));
    prefetch_write(chain_of(pair_key(j, i)));
    prefetch_write(&node[i]);
    prefetch_write(&node[j]);
    // The distance reads row j whole; row i is usually the one just read.
    const char *row = nullptr;
    int64_t at = static_cast<int64_t>(j) * C;
    switch (type) {
    case ncChar: row = reinterpret_cast<const char *>(xc + at); break;
    case ncInt: row = reinterpret_cast<const char *>(xi + at); break;
    case ncFloat: row = reinterpret_cast<const char *>(xf + at); break;
    case ncDouble: row = reinterpret_cast<const char *>(xd + at); break;
    default: return;
    }
    int64_t bytes = std::min<int64_t>(static_cast<int64_t>(C) * typesize[type], 4096);
    for (int64_t b = 0; b < bytes; b += 64)
        __builtin_prefetch(row + b);
}

// A known pair is returned as stored and stamped with the current phase.
static inline bool known_pair(int i, int j, double &d)
{
    dist_t *r = hash_lookup(i, j);
    if (!r)
        return false;
    getdist_time = r->time;
    r->time = abstract_time;
    d = r->dist;
    return true;
}

double getdist(int i, int j, double dd)
{
    if (i == j) {
        getdist_time = 0;
        return 0.0;
    }
    double d;
    if (known_pair(i, j, d))
        return d;
    // The twin's hash chain and the list heads that the new records will
    // displace are fetched while the distance is computed.
    prefetch_write(chain_of(pair_key(j, i)));
    prefetch_write(node[i].dist_start);
    prefetch_write(node[j].dist_start);
    // NaN fails the comparison too and is computed.
    return store_new_pair(i, j, dd > NO_DISTANCE ? dd : calc_distance(i, j));
}

double getdist_given(int i, int j, double dd)
{
    if (i == j) {
        getdist_time = 0;
        return 0.0;
    }
    double d;
    if (known_pair(i, j, d))
        return d;
    return store_new_pair(i, j, dd);
}

// ---------------------------------------------------------------------------
// Candidate heap.  Every comparison is a strict '>' that fails on NaN, so
// equal keys never swap and a NaN key neither moves nor displaces anything.

void build_heap()
{
    heap_size = n_dist / 2;
    heap = new dist_t *[heap_size + 1];
    delete[] heap_key;
    heap_key = new double[heap_size + 1];
    heap[0] = nullptr;
    heap_key[0] = 0;
    for (int p = 1; p <= heap_size; p++) {
        heap[p] = &dist[2 * (p - 1)];
        heap_key[p] = heap[p]->dist;
    }
    for (int p = heap_size / 2; p >= 1; p--)
        move_down(p);
    for (int p = 1; p <= heap_size; p++)
        heap[p]->heap_loc = p;
}

// Both sift entry i by its key heap_key[i], so that no record is read on the
// way; whoever changes a record's distance in the heap refreshes its key.
void move_down(int i)
{
    dist_t *e = heap[i];
    double v = heap_key[i];
    int c = i;
    while (2 * c <= heap_size) {
        // The grandchildren's keys share a cache line; fetch it a level early.
        __builtin_prefetch(&heap_key[4 * static_cast<int64_t>(c)]);
        int child = 0;
        double d = v;
        if (v > heap_key[2 * c]) {
            child = 2 * c;
            d = heap_key[child];
        }
        if (2 * c + 1 <= heap_size && d > heap_key[2 * c + 1])
            child = 2 * c + 1;
        if (!child)
            break;
        heap[c] = heap[child];
        heap_key[c] = heap_key[child];
        heap[c]->heap_loc = c;
        c = child;
    }
    heap[c] = e;
    heap_key[c] = v;
    e->heap_loc = c;
}

void move_up(int i)
{
    dist_t *e = heap[i];
    double v = heap_key[i];
    int c = i;
    while (c / 2 >= 1 && heap_key[c / 2] > v) {
        heap[c] = heap[c / 2];
        heap_key[c] = heap_key[c / 2];
        heap[c]->heap_loc = c;
        c /= 2;
    }
    heap[c] = e;
    heap_key[c] = v;
    e->heap_loc = c;
}

dist_t *heap_take_top()
{
    dist_t *top = heap[1];
    heap[1] = heap[heap_size];
    heap_key[1] = heap_key[heap_size];
    heap[1]->heap_loc = 1;
    heap_size--;
    move_down(1);
    return top;
}

// Of a live pair only one twin is in the heap; the other has heap_loc 0.
static inline int heap_position(const dist_t *r)
{
    return r->heap_loc ? r->heap_loc : r->symmetric->heap_loc;
}

void heap_resift(dist_t *r, double old_key, double new_key)
{
    int p = heap_position(r);
    heap_key[p] = heap[p]->dist;
    if (new_key > old_key)
        move_down(p);
    else
        move_up(p);
}

void heap_remove(dist_t *r, double key)
{
    int p = heap_position(r);
    if (p < heap_size) {
        dist_t *moved = heap[heap_size];
        heap[p] = moved;
        heap_key[p] = heap_key[heap_size];
        moved->heap_loc = p;
        heap_size--;
        if (heap_key[p] > key)
            move_down(p);
        else
            move_up(p);
    } else {
        heap_size--;
    }
}

// ---------------------------------------------------------------------------
// Merge loop

// Linkage update rules: the distance of the merged cluster to z from the
// distances (and their object-pair counts) of its two halves to z.
static inline double link_min(double old, double d) { return old > d ? d : old; }
static inline double link_max(double old, double d) { return old > d ? old : d; }
static inline double link_ave(double old, int32_t m_old, double d, int32_t m_d)
{
    return (m_old * old + m_d * d) / static_cast<double>(m_old + m_d);
}

static inline double linkage_update(int linkage, double old, int32_t m_old, double d, int32_t m_d)
{
    switch (linkage) {
    case LINKAGE_MIN:
        return link_min(old, d);
    case LINKAGE_MAX:
        return link_max(old, d);
    default:
        return link_ave(old, m_old, d, m_d);
    }
}

// Records merge n of slots x (absorbed) and y (surviving) at distance d; the
// larger cluster becomes the left child, the absorbed one on equal sizes.
static inline void record_merge(int n, int x, int y, double d)
{
    bool y_left = node[x].size < node[y].size;
    leftnode[n] = node[y_left ? y : x].number;
    rightnode[n] = node[y_left ? x : y].number;
    dst[n] = d;
    node[y].size += node[x].size;
    node[y].number = n;
    node[x].merged = 1;
}

// Moves x's pairs over to y: pairs that y also knows are combined by the
// linkage rule and x's side retired, the others are re-keyed to y.
static void absorb(int x, int y, dist_t *xy, int linkage)
{
    dist_t *next;
    for (dist_t *xz = node[x].dist_start; xz; xz = next) {
        next = xz->next;
        int z = xz->y;
        // The next entry's hash chain is fetched while this one is worked on;
        // its address waits for the record, the work here does not.
        if (next)
            __builtin_prefetch(chain_of(pair_key(y, next->y)), 1);
        if (z == y) {
            list_unlink(y, xy->x == y ? xy : xy->symmetric);
            continue;
        }
        dist_t *zx = xz->symmetric;
        dist_t *yz = hash_lookup(y, z);
        if (!yz) {
            change_hash(x, z, y, z);
            xz->x = y;
            list_push(y, xz);
            change_hash(z, x, z, y);
            zx->y = y;
            continue;
        }
        double old = yz->dist;
        double merged = linkage_update(linkage, old, yz->multi, xz->dist, xz->multi);
        int32_t multi = yz->multi + xz->multi;
        yz->dist = yz->symmetric->dist = merged;
        yz->multi = yz->symmetric->multi = multi;
        heap_resift(yz, old, merged);
        list_unlink(z, zx);
        heap_remove(zx, zx->dist);
    }
}

void new_dendrogram()
{
    int nodes = 2 * N - 1;
    leftnode = new int32_t[nodes];
    rightnode = new int32_t[nodes];
    dst = new double[nodes];
    start = new int32_t[nodes];
    end = new int32_t[nodes];
    new2old = new int32_t[nodes];
    old2new = new int32_t[nodes];
    for (int n = 0; n < nodes; n++) {
        leftnode[n] = rightnode[n] = -1;
        dst[n] = 0.0;
        start[n] = end[n] = n;
        new2old[n] = old2new[n] = -1;
    }
}

void cluster_merge()
{
    int linkage = opt_int(INDEX_OPT_LINKAGE);
    build_heap();
    new_dendrogram();

    int merge = 0;
    while (heap_size > 0) {
        merge++;
        dist_t *xy = heap_take_top();
        int x = xy->x, y = xy->y;
        // The slot with more stored pairs survives, so that each merge walks
        // the shorter list.
        if (node[x].dist_count > node[y].dist_count)
            std::swap(x, y);
        record_merge(N + merge - 1, x, y, xy->dist);
        absorb(x, y, xy, linkage);
    }

    // Clusters that no known pair connects: join them in random order.
    int t = N - merge - 1;
    if (t > 0) {
        int32_t *live = new int32_t[t + 1];
        for (int i = 0, k = 0; i < N; i++)
            if (!node[i].merged)
                live[k++] = i;
        for (int k = 0; k < t; k++) {
            int m = t - k + 1;
            int r = rand();
            std::swap(live[k], live[k + r % m]);
            r = rand();
            std::swap(live[k + 1], live[k + 1 + r % (m - 1)]);
            merge++;
            record_merge(N + merge - 1, live[k], live[k + 1],
                         std::numeric_limits<double>::infinity());
        }
        delete[] live;
    }
}

// ---------------------------------------------------------------------------
// Leaf order

// Walks the subtree of nd depth first with an explicit stack, so that a chain
// of N leaves needs no call depth.  Entries >= 0 are nodes still to enter,
// entries ~n (negative) mark the exit from internal node n.
int permute(int nd, int st)
{
    std::vector<int32_t> stack;
    stack.push_back(nd);
    int pos = st;
    while (!stack.empty()) {
        int32_t n = stack.back();
        stack.pop_back();
        if (n < 0) {
            n = ~n;
            end[n] = pos - 1;
            // A leaf child is given by its position.
            if (leftnode[n] < N)
                leftnode[n] = old2new[leftnode[n]];
            if (rightnode[n] < N)
                rightnode[n] = old2new[rightnode[n]];
        } else if (n < N) {
            new2old[pos] = n;
            old2new[n] = pos;
            pos++;
        } else {
            start[n] = pos;
            stack.push_back(~n);
            stack.push_back(rightnode[n]);
            stack.push_back(leftnode[n]);
        }
    }
    return pos - st;
}

// ---------------------------------------------------------------------------
// Output file

static bool copyable_type(NcType t)
{
    return t == ncByte || t == ncChar || t == ncShort || t == ncInt || t == ncFloat ||
           t == ncDouble;
}

// The output is written under a temporary name in the output's folder and
// renamed over the output name only when complete, so that a failed run
// never destroys an earlier result nor leaves a truncated one.
class OutputFile {
  public:
    explicit OutputFile(const char *name) : name_(name), tmp_(std::string(name) + ".tmpXXXXXX")
    {
        int fd = mkstemp(&tmp_[0]);
        if (fd < 0)
            fail_before_create();
        created_ = true;
        // mkstemp makes the file private; the result gets the usual mode.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        close(fd);
        file_ = new NcFile(tmp_.c_str(), NcFile::Replace, nullptr, 0, NcFile::Classic);
        if (!file_->is_valid())
            fail();
    }

    ~OutputFile()
    {
        delete file_;
        if (created_)
            unlink(tmp_.c_str());
    }

    NcFile *file() { return file_; }

    void check(bool ok)
    {
        if (!ok)
            fail();
    }

    void commit()
    {
        check(file_->close());
        delete file_;
        file_ = nullptr;
        check(rename(tmp_.c_str(), name_) == 0);
        created_ = false;
    }

    [[noreturn]] void fail()
    {
        unlink(tmp_.c_str());
        created_ = false;
        fail_before_create();
    }

  private:
    [[noreturn]] void fail_before_create()
    {
        std::cerr << MSG_WRITE_FAILED << name_ << std::endl;
        brivane_exit(1);
    }

    const char *name_;
    std::string tmp_;
    NcFile *file_ = nullptr;
    bool created_ = false;
};

// One input variable and its copy, with the block layout of the copy: a
// block spans every dimension but the clustered one, which it crosses one
// index at a time.
struct VarCopy {
    NcVar *from;
    NcVar *to;
    int ndims;
    std::vector<bool> permuted;  // by dimension: is it the clustered one
    std::vector<long> extent;    // block extent along each dimension
    int64_t blocks = 1;          // N ^ (number of permuted dimensions)
    int64_t block_len = 1;       // elements per block
    bool has_permuted = false;   // the variable has the clustered dimension
};

template <class T> static void copy_var(OutputFile &out, const VarCopy &c)
{
    if (c.block_len == 0)
        return;
    T *buf = new T[c.block_len];
    std::vector<long> in_corner(c.ndims, 0), out_corner(c.ndims, 0);
    for (int64_t b = 0; b < c.blocks; b++) {
        int64_t kk = b;
        for (int k = 0; k < c.ndims; k++) {
            if (c.permuted[k]) {
                out_corner[k] = kk % N;
                in_corner[k] = new2old[kk % N];
                kk /= N;
            }
        }
        out.check(c.from->set_cur(in_corner.data()));
        out.check(c.from->get(buf, c.extent.data()));
        out.check(c.to->set_cur(out_corner.data()));
        out.check(c.to->put(buf, c.extent.data()));
    }
    delete[] buf;
}

static void copy_var_typed(OutputFile &out, const VarCopy &c)
{
    switch (c.from->type()) {
    case ncByte:
        copy_var<ncbyte>(out, c);
        break;
    case ncChar:
        copy_var<char>(out, c);
        break;
    case ncShort:
        copy_var<short>(out, c);
        break;
    case ncInt:
        copy_var<int>(out, c);
        break;
    case ncFloat:
        copy_var<float>(out, c);
        break;
    default:
        copy_var<double>(out, c);
        break;
    }
}

// Defines the copy of every input variable in the output file.
static std::vector<VarCopy> define_data_copy(OutputFile &out)
{
    NcFile *f = out.file();
    for (int i = 0; i < in->num_dims(); i++) {
        NcDim *d = in->get_dim(i);
        // The legacy interface hands back a dimension object even when the
        // library refused the name; only a lookup tells whether it exists.
        f->add_dim(d->name(), d->size());
        out.check(f->get_dim(d->name()) != nullptr);
    }
    std::vector<VarCopy> copies;
    for (int i = 0; i < in->num_vars(); i++) {
        VarCopy c;
        c.from = in->get_var(i);
        c.ndims = c.from->num_dims();
        std::vector<const NcDim *> dims;
        for (int k = 0; k < c.ndims; k++) {
            NcDim *d = c.from->get_dim(k);
            bool permuted = std::strcmp(d->name(), clust_dim->name()) == 0;
            c.permuted.push_back(permuted);
            c.extent.push_back(permuted ? 1 : d->size());
            if (permuted) {
                c.blocks *= N;
                c.has_permuted = true;
            } else {
                c.block_len *= d->size();
            }
            dims.push_back(f->get_dim(d->name()));
        }
        c.to = f->add_var(c.from->name(), c.from->type(), c.ndims, dims.data());
        out.check(c.to != nullptr && c.to->is_valid());
        copies.push_back(c);
    }
    return copies;
}

static void write_output()
{
    const char *name = opt_text(INDEX_OPT_OUTPUT);
    string_vector *prefix_list = opt_text_list(INDEX_OPT_PREFIX);
    std::string prefix = prefix_list && !prefix_list->empty() ? (*prefix_list)[0] : "";
    bool with_data = opt_given(INDEX_OPT_OUTPUT_DATA);

    if (with_data) {
        for (int i = 0; i < in->num_vars(); i++) {
            NcVar *v = in->get_var(i);
            if (!copyable_type(v->type())) {
                std::cerr << MSG_UNSUPPORTED_TYPE_1 << v->name() << MSG_UNSUPPORTED_TYPE_2
                          << std::endl;
                brivane_exit(1);
            }
        }
    }

    // Library errors are reported by the library and then handled here, so
    // that the temporary file is removed.
    NcError errors(NcError::verbose_nonfatal);
    OutputFile out(name);
    NcFile *f = out.file();
    long nodes = 2L * N - 1;
    NcDim *dim = f->add_dim((prefix + "nodes").c_str(), nodes);
    out.check(dim != nullptr);
    static const char *const suffixes[7] = {"left", "right", "start", "end",
                                            "old2new", "new2old", "distance"};
    const int32_t *values[6] = {leftnode, rightnode, start, end, old2new, new2old};
    NcVar *vars[7];
    for (int k = 0; k < 7; k++) {
        vars[k] = f->add_var((prefix + suffixes[k]).c_str(), k < 6 ? ncInt : ncDouble, dim);
        out.check(vars[k] != nullptr);
    }
    // Everything is defined before anything is written: leaving and
    // re-entering define mode would move all data written so far.
    std::vector<VarCopy> copies;
    if (with_data)
        copies = define_data_copy(out);

    for (int k = 0; k < 6; k++)
        out.check(vars[k]->put(values[k], nodes));
    out.check(vars[6]->put(dst, nodes));

    for (const VarCopy &c : copies) {
        if (c.has_permuted)
            std::cerr << MSG_PERMUTING << c.from->name() << std::endl;
        copy_var_typed(out, c);
    }
    out.commit();
}

void write_dendrogram()
{
    permute(2 * N - 2, 0);
    write_output();
}

void cluster()
{
    cluster_merge();
    write_dendrogram();
}
