// The run's error type (include/brivane/error.hpp) and the one way the
// engine raises it.
#include <brivane/error.hpp>

#include <utility>

#include "refuse.h"

namespace brivane {

Error::Error(std::string message, int status) : std::runtime_error(std::move(message)), status_(status) {}

// Out of line, so that the type's identity lives in one object file.
Error::~Error() = default;

Stopped::Stopped() : Error("The run was stopped by its caller.", 130) {}

Stopped::~Stopped() = default;

} // namespace brivane

namespace {

const char ERROR_OPENING[] = "ERROR! ";

} // namespace

void refuse(const std::string &message)
{
    const std::string opening = ERROR_OPENING;
    if (message.compare(0, opening.size(), opening) == 0)
        throw brivane::Error(message.substr(opening.size()));
    throw brivane::Error(message);
}

std::string error_lines(const brivane::Error &error)
{
    return ERROR_OPENING + std::string(error.what()) + "\n";
}
