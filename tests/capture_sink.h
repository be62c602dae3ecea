// A sink that keeps what a run reports, for tests that check the engine's
// lines without reading standard error.
#ifndef CAPTURE_SINK_H
#define CAPTURE_SINK_H

#include <string>
#include <vector>

#include <brivane/sink.hpp>

class CaptureSink : public brivane::Sink {
  public:
    std::string report;                  // the text pieces, joined
    std::vector<std::string> summaries;  // the summary lines, in order

    void text(const std::string &piece) override { report += piece; }
    void summary(const std::string &line) override { summaries.push_back(line); }
};

#endif
