// The silent sink (include/brivane/sink.hpp).
#include <brivane/sink.hpp>

namespace brivane {

// Out of line, so that the type's identity lives in one object file.
Sink::~Sink() = default;

void Sink::text(const std::string &) {}

void Sink::summary(const std::string &) {}

void Sink::flush() {}

void Sink::progress_begin(const std::string &) {}

void Sink::progress(double, double) {}

void Sink::progress_end() {}

bool Sink::stop()
{
    return false;
}

Sink &silent_sink()
{
    static Sink silent;
    return silent;
}

} // namespace brivane
