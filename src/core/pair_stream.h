// Distances of a stream of pairs, computed on the worker threads and handed
// back on the main thread in the order of the stream.
//
// The main thread draws the pairs (it alone draws from the run's generator)
// and consumes the results, one batch behind: while the workers compute
// batch k, the main thread consumes batch k-1.  The consumer therefore sees
// exactly the pairs and values a single thread would, in the same order,
// whatever the number of threads.
#ifndef PAIR_STREAM_H
#define PAIR_STREAM_H

#include <cstdint>
#include <utility>
#include <vector>

#include "threads.h"

// One pair of the stream and its value; a pair whose value is already known
// (compute false) is passed through as it is.
struct PairSlot {
    int i, j;
    double value;
    bool compute;
};

// Pairs per batch, and per piece of work a thread takes at a time.
const size_t PAIR_BATCH = 1 << 16;
const int64_t PAIR_CHUNK = 256;
// Batches of fewer values to compute than this are computed on the main
// thread.
const int64_t PAIR_PARALLEL_VALUES = 8192;

// On `threads` threads: next(slot) yields the stream's next pair on the main thread, or false at
// its end; screen(batch), on the main thread before the batch is computed,
// may clear `compute` of the pairs whose value is known already (and give the
// value); value(i, j) computes a pair's value on any thread; take(batch)
// consumes a batch on the main thread.  take may write what value never
// reads (the store, the tallies); next and screen run while no batch is
// being computed.
template <class Next, class Screen, class Value, class Take>
void pair_stream(int threads, Next next, Screen screen, Value value, Take take)
{
    std::vector<PairSlot> ready, work;
    auto fill = [&](std::vector<PairSlot> &batch) {
        batch.clear();
        PairSlot s;
        for (;;) {
            s.value = 0;
            s.compute = true;
            if (batch.size() == PAIR_BATCH || !next(s))
                break;
            batch.push_back(s);
        }
        screen(batch);
    };
    fill(work);
    auto compute = [&](int64_t c) {
        int64_t end = std::min<int64_t>((c + 1) * PAIR_CHUNK, (int64_t)work.size());
        for (int64_t k = c * PAIR_CHUNK; k < end; k++)
            if (work[k].compute)
                work[k].value = value(work[k].i, work[k].j);
    };
    while (!work.empty()) {
        int64_t chunks = ((int64_t)work.size() + PAIR_CHUNK - 1) / PAIR_CHUNK;
        int64_t computed = 0;
        for (const PairSlot &s : work)
            computed += s.compute;
        // A batch of few values is not worth waking the threads for.
        if (computed < PAIR_PARALLEL_VALUES) {
            take(ready);
            for (int64_t c = 0; c < chunks; c++)
                compute(c);
        } else {
            parallel_for_beside(threads, [&] { take(ready); }, 0, chunks, compute);
        }
        std::swap(ready, work);
        fill(work);
    }
    take(ready);
}

// The same for streams whose every pair is computed.
template <class Next, class Value, class Take> void pair_stream(int threads, Next next, Value value, Take take)
{
    pair_stream(threads, next, [](std::vector<PairSlot> &) {}, value, take);
}

#endif
