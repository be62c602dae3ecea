// Live progress of a long phase on a terminal: the share done and the time
// left, drawn on the phase's own open line and rewritten in place.
//
// Only when standard error is a terminal; logs and pipes see the phase lines
// unchanged.  When the phase ends its line reads exactly as before the
// progress (the open text alone), so that the phase's time follows it.
#ifndef PROGRESS_H
#define PROGRESS_H

#include <cstdint>

// Progress state: whether a phase's progress is being drawn, and how many
// ticks are left before the clock is read again.
extern bool progress_shown;
extern int32_t progress_countdown;

// The phase whose open line is `text` (already written, without its end)
// runs from `first` to `total` units of work.
void progress_begin(const char *text, double first, double total);
// The loops' hook (main thread only): `done` units are done.  Costs a test and a decrement
// unless a phase is drawn; redraws at most a few times a second.
inline void progress_tick(double done);
void progress_redraw(double done);
// The phase is over: its line is the open text again.
void progress_end();

// The text drawn after the open line: "  45% done, 12 s left".
// `elapsed` seconds since the phase began; share in [0, 1].
void progress_text(double share, double elapsed, char *out, int size);

inline void progress_tick(double done)
{
    if (progress_shown && --progress_countdown <= 0)
        progress_redraw(done);
}

// The hook of loops that finish a whole batch of work at a time: the clock
// is read at every batch.
inline void progress_batch(double done)
{
    if (progress_shown)
        progress_redraw(done);
}

#endif
