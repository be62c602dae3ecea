// The programs' sink (program_sink.h).
#include "program_sink.h"

#include <iostream>
#include <sstream>

#include "terminal_progress.h"

namespace {

// What the program writes to standard output while that is the output file;
// written to standard error when the run flushes its sink.  Never freed: the
// stream flushes it at exit, after static objects are gone.
std::stringbuf *held_output = nullptr;

class ProgramSink : public brivane::Sink {
  public:
    void text(const std::string &piece) override { std::cerr << piece; }
    void summary(const std::string &line) override { std::cout << line << '\n'; }
    void flush() override
    {
        if (!held_output)
            return;
        std::cerr << held_output->str();
        held_output->str("");
    }
    void progress_begin(const std::string &text) override { terminal_progress_begin(text.c_str()); }
    void progress(double share, double seconds) override { terminal_progress(share, seconds); }
    void progress_end() override { terminal_progress_end(); }
};

} // namespace

brivane::Sink &program_sink()
{
    static ProgramSink sink;
    return sink;
}

void hold_standard_output()
{
    if (!held_output)
        std::cout.rdbuf(held_output = new std::stringbuf);
}
