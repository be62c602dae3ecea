// Live progress of a long phase on a terminal (terminal_progress.h).
#include "terminal_progress.h"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

bool shown = false;        // the phase's progress is drawn
bool drawn = false;        // and has been drawn at least once
std::string open_text;     // the phase's open line

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

void terminal_progress_begin(const char *text)
{
    shown = isatty(STDERR_FILENO) == 1;
    drawn = false;
    if (!shown)
        return;
    // What is buffered goes out first, so that the redraws land after it.
    std::fflush(stderr);
    open_text = text;
}

void terminal_progress(double share, double elapsed)
{
    if (!shown)
        return;
    char tail[64];
    progress_text(share, elapsed, tail, sizeof tail);
    draw(tail);
    drawn = true;
}

void terminal_progress_end()
{
    if (shown && drawn)
        draw("");
    shown = false;
}

bool terminal_progress_shown()
{
    return shown;
}
