// The programs' sink: a run's report on standard error and the join's summary
// line on standard output, as brivane has always printed them.
#ifndef PROGRAM_SINK_H
#define PROGRAM_SINK_H

#include <brivane/sink.hpp>

// Writes through std::cerr and std::cout, so that the driver's redirect of
// standard output (when the output file is standard output) still holds the
// summary line; valid for the whole process.
brivane::Sink &program_sink();

// Standard output is the output file: from here on what the program writes
// there is held, and the sink's flush prints it on standard error instead.
void hold_standard_output();

#endif
