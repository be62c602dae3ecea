// Live progress of a long phase on a terminal.
#include "progress.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

bool progress_shown = false;
int32_t progress_countdown = 0;

namespace {

// Ticks between two looks at the clock, and seconds between two redraws.
const int32_t TICKS_PER_LOOK = 4096;
const double SECONDS_PER_DRAW = 0.25;

std::string open_text;     // the phase's open line
double first_done = 0;     // units done when the phase began
double total_done = 0;     // units done when it ends
double started = 0;        // when it began, seconds
double drawn = 0;          // when progress was last drawn, 0 if never

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void draw(const char *tail)
{
    // Back to the line's start, the open text, the tail, the rest cleared.
    std::string line = "\r" + open_text + tail + "\033[K";
    ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    (void)written;
}

} // namespace

void progress_text(double share, double elapsed, char *out, int size)
{
    if (share < 0)
        share = 0;
    if (share > 0.99)
        share = 0.99;   // the work was predicted; the end is known only at the end
    if (share > 0.01 && elapsed > 0)
        std::snprintf(out, size, "  %.0f%% done, %.0f s left", 100 * share, elapsed * (1 - share) / share);
    else
        std::snprintf(out, size, "  %.0f%% done", 100 * share);
}

void progress_begin(const char *text, double first, double total)
{
    progress_shown = isatty(STDERR_FILENO) == 1 && total > first;
    if (!progress_shown)
        return;
    // What is buffered goes out first, so that the redraws land after it.
    std::fflush(stderr);
    open_text = text;
    first_done = first;
    total_done = total;
    started = now();
    drawn = 0;
    progress_countdown = TICKS_PER_LOOK;
}

void progress_redraw(double done)
{
    progress_countdown = TICKS_PER_LOOK;
    double t = now();
    if (t - (drawn > 0 ? drawn : started) < SECONDS_PER_DRAW)
        return;
    drawn = t;
    char tail[64];
    progress_text((done - first_done) / (total_done - first_done), t - started, tail, sizeof tail);
    draw(tail);
}

void progress_end()
{
    if (progress_shown && drawn > 0)
        draw("");
    progress_shown = false;
}
