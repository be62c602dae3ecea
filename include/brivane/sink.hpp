// Where a run's messages and progress go, and where it asks whether to stop.
//
// The engine never writes to a stream itself: the lines and warnings it
// reports while it works, the join's summary line and the progress of its
// long phases go to the sink that its caller gives.  This base class is the
// silent sink: it drops them all and never asks the run to stop.
#ifndef BRIVANE_SINK_HPP
#define BRIVANE_SINK_HPP

#include <string>

namespace brivane {

class Sink {
  public:
    virtual ~Sink();

    // A piece of the run's report.  The pieces come in the order the program
    // prints them on standard error, and a piece may hold part of a line
    // (a phase's timing follows its name later) or several lines, each with
    // its '\n': a sink that writes every piece as it comes, unchanged, writes
    // exactly the program's report.
    virtual void text(const std::string &piece);

    // The join's summary line, without its '\n'; the program prints it on
    // standard output.
    virtual void summary(const std::string &line);
    // The run has reached a point where what a sink holds back may go out:
    // after the join's lines and at the end of the run.  (The programs hold
    // the summary line while standard output is their output file, and
    // print it on standard error here.)
    virtual void flush();

    // Progress and stopping.  A long phase whose opening piece was `text`
    // begins (it is the report's last piece, its line still open).
    virtual void progress_begin(const std::string &text);
    // `share` (0 ... 1) of the phase is done after `seconds`; about four
    // times a second at most.
    virtual void progress(double share, double seconds);
    // The phase is over; its timing follows in the report.
    virtual void progress_end();
    // Whether the caller wants the run to stop.  The run asks at least every
    // half second while it works; a run asked to stop throws brivane::Stopped
    // and leaves nothing behind.  Called on the thread that started the run.
    virtual bool stop();
};

// A sink that drops everything; valid for the whole process.
Sink &silent_sink();

} // namespace brivane

#endif
