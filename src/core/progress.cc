// Progress of a run's long phases and its caller's stop requests, through the run's sink.
#include "run.h"

#include <brivane/error.hpp>

#include <chrono>

#include "threads.h"

namespace {

// Seconds between two reports to the sink (and questions whether to stop).
const double SECONDS_PER_LOOK = 0.25;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

void Run::progress_begin(const char *text, double first, double total)
{
    progress_on = total > first;
    progress_first = first;
    progress_total = total;
    progress_done = first;
    progress_started = progress_reported = now();
    progress_countdown = TICKS;
    if (progress_on)
        run_sink->progress_begin(text);
}

void Run::progress_look(double done)
{
    progress_countdown = TICKS;
    progress_done = done;
    double t = now();
    // A phase's first report comes a quarter of a second after it began.
    if (progress_on && t - progress_reported >= SECONDS_PER_LOOK) {
        progress_reported = t;
        run_sink->progress((done - progress_first) / (progress_total - progress_first), t - progress_started);
    }
    if (t - stop_asked >= SECONDS_PER_LOOK) {
        stop_asked = t;
        if (run_sink->stop())
            throw brivane::Stopped();
    }
}

void Run::progress_end()
{
    if (progress_on)
        run_sink->progress_end();
    progress_on = false;
}
