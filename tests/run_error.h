// Expectations on the brivane::Error that ends a run: EXPECT_RUN_ERROR(call,
// status, pattern) runs `call` in this process and expects it to throw a
// brivane::Error with that status, whose lines as the program prints them
// ("ERROR! ", the message, a newline) match `pattern`, a POSIX extended
// regular expression as a death test's would be.
#ifndef RUN_ERROR_H
#define RUN_ERROR_H

#include <gtest/gtest.h>

#include <regex.h>

#include <string>

#include <brivane/error.hpp>

#include "brivane.h"

namespace run_error {

struct Outcome {
    bool thrown = false;
    int status = 0;
    std::string lines; // what the program prints for the error
};

template <class F> Outcome outcome_of(F call)
{
    Outcome outcome;
    try {
        call();
    } catch (const brivane::Error &error) {
        outcome.thrown = true;
        outcome.status = error.status();
        outcome.lines = error_lines(error);
    }
    return outcome;
}

// The C library's matcher, as death tests use: std::regex draws a false
// "may be used uninitialized" from GCC 12 in the sanitizer build.
inline bool matches(const std::string &lines, const std::string &pattern)
{
    regex_t compiled;
    if (regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    bool found = regexec(&compiled, lines.c_str(), 0, nullptr, 0) == 0;
    regfree(&compiled);
    return found;
}

} // namespace run_error

#define EXPECT_RUN_ERROR(call, expected_status, pattern)                                                         \
    do {                                                                                                         \
        ::run_error::Outcome outcome_ = ::run_error::outcome_of([&] { call; });                                  \
        EXPECT_TRUE(outcome_.thrown) << #call " threw no brivane::Error";                                       \
        EXPECT_EQ(expected_status, outcome_.status) << #call;                                                    \
        EXPECT_TRUE(::run_error::matches(outcome_.lines, pattern))                                              \
            << #call " printed\n" << outcome_.lines << "which does not match\n" << (pattern);                   \
    } while (0)

#endif
