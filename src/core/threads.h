// Worker threads for the distance computations: how many run, and the two
// parallel loops the program uses.
//
// The threads are GCC's OpenMP (libgomp ships with the compiler, so the
// program gains no dependency, and its loops need no pool or queue of our
// own).  A parallel loop only computes values into slots that belong to its
// index; everything that orders the run (the random generator, the store's
// insertions) stays on the main thread, or is split so that each part is
// written in the one order (the all-pairs fill), so the output is the same
// for every number of threads.  Without OpenMP the loops run on the main thread.
//
// An exception thrown by a body (an allocation failure) must not leave an
// OpenMP region, where it would end the process; the loops catch the first
// one, let the other threads run out of work and throw it again on the main
// thread after the region.
#ifndef THREADS_H
#define THREADS_H

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

#ifdef _OPENMP
#include <omp.h>
#endif

int machine_cores();

// The most threads -j may ask for: 1024, or the machine's cores where there
// are more.  The loops are bound by the processor, so threads beyond the
// cores bring no speed; a fixed cap (not a multiple of the cores) lets a
// command line written for a large machine run unchanged on a small one,
// while the counts that the thread library cannot start (its start-up data
// for tens of thousands of threads overruns the main stack, and their stacks
// the process's limits) are refused before it meets them.
const int THREAD_CAP = 1024;
int thread_limit();

// How many of `wanted` threads (the caller's included) can run at once: the
// others are started and held until all are up, as a parallel loop's team
// is, then ended.  The thread library ends the process without a word when
// it cannot start its team, so a run asks here first.  Less than `wanted`
// when the system refused a thread; `reason` is then its message.
int startable_threads(int wanted, std::string &reason);

// Whether the caller is the main thread (thread 0 of a parallel loop, or
// any caller outside one): only it may write to the terminal.
inline bool on_main_thread()
{
#ifdef _OPENMP
    return omp_get_thread_num() == 0;
#else
    return true;
#endif
}

// The first exception of a parallel region, thrown again after it.
class ThreadError {
  public:
    void keep()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_)
            error_ = std::current_exception();
    }
    void rethrow()
    {
        if (error_)
            std::rethrow_exception(error_);
    }

  private:
    std::mutex mutex_;
    std::exception_ptr error_;
};

// body(i) for every i in [begin, end), in any order and on any of
// `num_threads` threads (at least 1), handed out `chunk` indices at a time.  The bodies must
// not share anything they write.
template <class F> void parallel_for(int num_threads, int64_t begin, int64_t end, int64_t chunk, F body)
{
    ThreadError error;
    std::atomic<bool> failed(false);
#pragma omp parallel for schedule(dynamic, chunk) num_threads(num_threads) if (num_threads > 1)
    for (int64_t i = begin; i < end; i++) {
        if (failed.load(std::memory_order_relaxed))
            continue;
        try {
            body(i);
        } catch (...) {
            error.keep();
            failed = true;
        }
    }
    error.rethrow();
}

// first() on the main thread while the other threads (`num_threads` in all)
// start on body(i) for i in [begin, end), one index at a time; the main thread takes its share of
// the indices once first() has returned.  This lets the main thread enter
// the results of one batch into the store, in order, while the next batch is
// computed.  first() may write what the bodies never read.
template <class G, class F> void parallel_for_beside(int num_threads, G first, int64_t begin, int64_t end, F body)
{
    ThreadError error;
    std::atomic<int64_t> next(begin);
#pragma omp parallel num_threads(num_threads) if (num_threads > 1)
    {
        try {
#ifdef _OPENMP
            bool main_thread = omp_get_thread_num() == 0;
#else
            bool main_thread = true;
#endif
            if (main_thread)
                first();
            for (int64_t i; (i = next.fetch_add(1)) < end;)
                body(i);
        } catch (...) {
            error.keep();
            next = end;
        }
    }
    error.rethrow();
}

#endif
