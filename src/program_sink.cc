// The programs' sink (program_sink.h).
#include "program_sink.h"

#include <iostream>

namespace {

class ProgramSink : public brivane::Sink {
  public:
    void text(const std::string &piece) override { std::cerr << piece; }
    void summary(const std::string &line) override { std::cout << line << '\n'; }
};

} // namespace

brivane::Sink &program_sink()
{
    static ProgramSink sink;
    return sink;
}
