// Timer: running and paused time, and the clock-based seed.
#include <gtest/gtest.h>

#include <unistd.h>

#include "Timer.h"

namespace {

void sleep_ms(int ms)
{
    usleep(ms * 1000);
}

TEST(Timer, NewTimerRunsAndHasNoPauseTime)
{
    Timer t;
    double first = t.get_run_time();
    sleep_ms(5);
    EXPECT_GT(t.get_run_time(), first);
    EXPECT_EQ(t.get_pause_time(), 0.0);
}

TEST(Timer, PausedRunTimeStaysConstantAndPauseTimeGrows)
{
    Timer t;
    sleep_ms(2);
    t.pause();
    double run = t.get_run_time();
    double pause = t.get_pause_time();
    sleep_ms(5);
    EXPECT_EQ(t.get_run_time(), run);
    EXPECT_GT(t.get_pause_time(), pause);
}

TEST(Timer, SecondPauseAndRunOnRunningTimerChangeNothing)
{
    Timer t;
    t.pause();
    double run = t.get_run_time();
    sleep_ms(3);
    t.pause();  // already paused: the pause started earlier still counts
    EXPECT_EQ(t.get_run_time(), run);
    EXPECT_GE(t.get_pause_time(), 0.002);

    t.run();
    double pause = t.get_pause_time();
    t.run();  // already running: the paused total is kept
    sleep_ms(3);
    EXPECT_EQ(t.get_pause_time(), pause);
    EXPECT_GT(t.get_run_time(), run);
}

TEST(Timer, RestartOnPausedTimerRunsWithTotalsCleared)
{
    Timer t;
    sleep_ms(3);
    t.pause();
    sleep_ms(3);
    t.restart();
    EXPECT_EQ(t.get_pause_time(), 0.0);
    EXPECT_LT(t.get_run_time(), 0.003);
    sleep_ms(2);
    EXPECT_GT(t.get_run_time(), 0.0);
}

TEST(Timer, AbsoluteTimeIsTheWallClockInSeconds)
{
    Timer t;
    double now = t.get_absolute_time();
    EXPECT_GT(now, 1.7e9);  // after 2023
    EXPECT_NEAR(now, (double)time(nullptr), 2.0);
}

TEST(Timer, RandomnessVariesWithTheClock)
{
    // Two seeds a few microseconds apart almost never agree.
    int a = Timer::randomness();
    sleep_ms(1);
    int b = Timer::randomness();
    EXPECT_NE(a, b);
}

}  // namespace
