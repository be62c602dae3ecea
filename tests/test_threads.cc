// The thread count's limit and the try-out of a team before a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

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

} // namespace
