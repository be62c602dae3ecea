// Wall-clock timer; see Timer.h.
#include "Timer.h"

#include <cstdint>
#include <sys/time.h>

Timer::Timer() : is_running(1), total_run(0), total_pause(0), start_run(0), start_pause(0)
{
    restart();
}

double Timer::get_absolute_time()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1000000.0;
}

void Timer::restart()
{
    start_run = get_absolute_time();
    is_running = 1;
    total_run = 0;
    total_pause = 0;
}

void Timer::pause()
{
    if (!is_running)
        return;
    double now = get_absolute_time();
    is_running = 0;
    start_pause = now;
    total_run = now - start_run + total_run;
}

void Timer::run()
{
    if (is_running)
        return;
    double now = get_absolute_time();
    is_running = 1;
    start_run = now;
    total_pause = now - start_pause + total_pause;
}

double Timer::get_run_time()
{
    if (is_running)
        return get_absolute_time() + total_run - start_run;
    return total_run;
}

double Timer::get_pause_time()
{
    if (!is_running)
        return get_absolute_time() + total_pause - start_pause;
    return total_pause;
}

int Timer::randomness()
{
    Timer clock;
    double t = clock.get_absolute_time();
    int s = (int)t;
    int u = (int)((t - s) * 1000000);
    // The product wraps modulo 2^32, as unsigned arithmetic does without
    // undefined behaviour.
    return (int)(uint32_t)((uint32_t)s * (uint32_t)u);
}
