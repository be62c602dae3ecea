// Where a run's messages go.
//
// The engine never writes to a stream itself: the lines and warnings it
// reports while it works, and the join's summary line, go to the sink that
// its caller gives.  This base class is the silent sink: it drops both.
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
};

// A sink that drops everything; valid for the whole process.
Sink &silent_sink();

} // namespace brivane

#endif
