// The thread count's limit and the try-out of a team before a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "run_error.h"
#include "threads.h"

namespace {

TEST(ThreadLimit, IsTheCapOrTheCoresWhereThereAreMore)
{
    EXPECT_EQ(thread_limit(), std::max(THREAD_CAP, machine_cores()));
    EXPECT_GE(thread_limit(), 1024);
}

TEST(StartableThreads, AWholeTeamThatTheSystemAllowsStarts)
{
    for (int wanted : {1, 2, 16}) {
        std::string reason;
        EXPECT_EQ(startable_threads(wanted, reason), wanted) << wanted;
        EXPECT_EQ(reason, "");
    }
}

// In a child process whose address space holds about a hundred thread
// stacks (of 8 MiB, glibc's default) or a few hundred (2 MiB): the count
// that did start, and the system's reason.
void start_a_team_in_one_gigabyte()
{
    rlimit space = {1UL << 30, 1UL << 30};
    setrlimit(RLIMIT_AS, &space);
    std::string reason;
    int started = startable_threads(1000, reason);
    fprintf(stderr, "%s\n", reason.c_str());
    _exit(started >= 1 && started < 1000 ? 0 : 1);
}

TEST(StartableThreads, ATeamBeyondTheProcessLimitsReportsWhatStarted)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the cap";
#endif
    EXPECT_EXIT(start_a_team_in_one_gigabyte(), ::testing::ExitedWithCode(0), "Resource temporarily unavailable");
}

// The store enters found pairs on the main thread inside a parallel region,
// where its lists may fail; the error must reach the caller after the
// region, never end the program inside it.
TEST(ParallelRegions, ARunErrorArrivesAfterTheRegionWithItsStatus)
{
    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        EXPECT_RUN_ERROR(parallel_for_beside(
                             threads, [] { refuse("ERROR! Too many list entries\n2 blocks"); }, 0, 1000,
                             [](int64_t) {}),
                         1, "^ERROR! Too many list entries\n2 blocks\n$");
        EXPECT_RUN_ERROR(parallel_for(threads, 0, 1000, 1,
                                      [](int64_t i) {
                                          if (i == 500)
                                              throw brivane::Error("a body's error", 3);
                                      }),
                         3, "^ERROR! a body's error\n$");
    }
}

} // namespace
