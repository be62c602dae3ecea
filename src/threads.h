// Worker threads for the distance computations: how many run, and the one
// parallel loop the program uses.
//
// The threads are GCC's OpenMP (libgomp ships with the compiler, so the
// program gains no dependency, and its loops need no pool or queue of our
// own).  A parallel loop only computes values into slots that belong to its
// index; everything that orders the run (the random generator, the store's
// insertions) stays on the main thread, so the output is the same for every
// number of threads.  Without OpenMP the loop runs on the main thread.
#ifndef THREADS_H
#define THREADS_H

#include <cstdint>

extern int num_threads;   // threads a parallel loop may use, at least 1

int machine_cores();

// body(i) for every i in [begin, end), in any order and on any of the
// num_threads threads, handed out `chunk` indices at a time.  The bodies must
// not share anything they write.
template <class F> void parallel_for(int64_t begin, int64_t end, int64_t chunk, F body)
{
#pragma omp parallel for schedule(dynamic, chunk) num_threads(num_threads) if (num_threads > 1)
    for (int64_t i = begin; i < end; i++)
        body(i);
}

#endif
