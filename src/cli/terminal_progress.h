// Live progress of a long phase on a terminal: the share done and the time left, on the phase's open line.
//
// Only when standard error is a terminal; logs and pipes see the phase lines
// unchanged.  When the phase ends its line reads exactly as before the
// progress (the open text alone), so that the phase's time follows it.
#ifndef TERMINAL_PROGRESS_H
#define TERMINAL_PROGRESS_H

// The phase whose open line is `text` (already written, without its end)
// begins; nothing is drawn unless standard error is a terminal.
void terminal_progress_begin(const char *text);
// Rewrites the phase's line: `share` of the phase done after `elapsed`
// seconds.
void terminal_progress(double share, double elapsed);
// The phase is over: its line is the open text again.
void terminal_progress_end();
// Whether the phase's progress is drawn.
bool terminal_progress_shown();

// The text drawn after the open line: "  45% done, 12 s left".
// `elapsed` seconds since the phase began; share in [0, 1].
void progress_text(double share, double elapsed, char *out, int size);

#endif
