// The pair stream: every pair reaches the consumer once, in stream order,
// with its value, whatever the number of threads; pairs screened as known
// keep their given value.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "pair_stream.h"
#include "threads.h"

namespace {

class PairStream : public ::testing::Test {
  protected:
    int num_threads = 1;   // the threads each stream and loop is given
};

// A value no thread can get from the wrong pair.
double pair_code(int i, int j)
{
    return i * 1000003.0 + j;
}

TEST_F(PairStream, DeliversEveryPairInOrderForAnyThreadCount)
{
    // Lengths around the batch size and the threshold for waking threads.
    const int64_t lengths[] = {0, 1, 100, (int64_t)PAIR_PARALLEL_VALUES + 1, (int64_t)PAIR_BATCH,
                               2 * (int64_t)PAIR_BATCH + 77};
    for (int threads : {1, 2, 3}) {
        for (int64_t length : lengths) {
            SCOPED_TRACE("threads=" + std::to_string(threads) + " length=" + std::to_string(length));
            num_threads = threads;
            int64_t drawn = 0, taken = 0;
            bool in_order = true;
            pair_stream(
                num_threads,
                [&](PairSlot &s) {
                    if (drawn == length)
                        return false;
                    s.i = (int)(drawn % 997);
                    s.j = (int)(drawn / 997);
                    drawn++;
                    return true;
                },
                pair_code,
                [&](const std::vector<PairSlot> &batch) {
                    for (const PairSlot &s : batch) {
                        in_order &= s.i == (int)(taken % 997) && s.j == (int)(taken / 997) &&
                                    s.value == pair_code(s.i, s.j);
                        taken++;
                    }
                });
            EXPECT_EQ(taken, length);
            EXPECT_TRUE(in_order);
        }
    }
}

TEST_F(PairStream, ScreenedPairsKeepTheirValueAndAreNotComputed)
{
    num_threads = 2;
    int64_t drawn = 0, computed_odd = 0, wrong = 0;
    pair_stream(
        num_threads,
        [&](PairSlot &s) {
            if (drawn == 50000)
                return false;
            s.i = (int)drawn++;
            s.j = 0;
            return true;
        },
        [](std::vector<PairSlot> &batch) {
            for (PairSlot &s : batch)
                if (s.i % 2) {
                    s.compute = false;
                    s.value = -1;
                }
        },
        [&](int i, int j) {
            if (i % 2) {
#pragma omp atomic
                computed_odd++;
            }
            return pair_code(i, j);
        },
        [&](const std::vector<PairSlot> &batch) {
            for (const PairSlot &s : batch)
                wrong += s.value != (s.i % 2 ? -1 : pair_code(s.i, s.j));
        });
    EXPECT_EQ(computed_odd, 0);
    EXPECT_EQ(wrong, 0);
}

TEST_F(PairStream, AFailingComputationReachesTheMainThread)
{
    // An allocation failure on a worker must end the run through the
    // program's own handler, not inside the thread library.
    for (int threads : {1, 2}) {
        num_threads = threads;
        int64_t drawn = 0;
        EXPECT_THROW(pair_stream(
                         num_threads,
                         [&](PairSlot &s) {
                             if (drawn == 100000)
                                 return false;
                             s.i = (int)drawn++;
                             s.j = 1;
                             return true;
                         },
                         [](int i, int) -> double {
                             if (i == 77777)
                                 throw std::bad_alloc();
                             return 0;
                         },
                         [](const std::vector<PairSlot> &) {}),
                     std::bad_alloc);
    }
}

TEST_F(PairStream, ParallelForCoversEveryIndexOnceAndPassesOnAFailure)
{
    for (int threads : {1, 3}) {
        num_threads = threads;
        std::vector<int> hits(10000, 0);
        parallel_for(num_threads, 0, (int64_t)hits.size(), 7, [&](int64_t i) { hits[i]++; });
        EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), (long)hits.size());
        EXPECT_THROW(parallel_for(num_threads, 0, 1000, 1,
                                  [](int64_t i) {
                                      if (i == 500)
                                          throw std::runtime_error("no");
                                  }),
                     std::runtime_error);
    }
}

} // namespace
