// The run's error: its message and status, and the lines the program prints
// for it.
#include <gtest/gtest.h>

#include <string>

#include <brivane/error.hpp>

#include "brivane.h"
#include "run_error.h"

namespace {

TEST(Error, StatusIsOneUnlessGiven)
{
    EXPECT_EQ(1, brivane::Error("no").status());
    EXPECT_EQ(3, brivane::Error("no", 3).status());
    EXPECT_STREQ("no", brivane::Error("no", 3).what());
}

TEST(Error, IsARuntimeErrorWithItsMessage)
{
    try {
        throw brivane::Error("The input is too large");
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ("The input is too large", error.what());
    }
}

TEST(Refuse, MessageIsWhatFollowsTheOpeningOfItsFirstLine)
{
    struct Case {
        const char *what;
        std::string message;
        std::string expected;
    } cases[] = {
        {"one line", "ERROR! Input file not specified!", "Input file not specified!"},
        {"several lines", "ERROR! Insufficient memory\nThis run needs -m 0.01 or more (gigabytes).",
         "Insufficient memory\nThis run needs -m 0.01 or more (gigabytes)."},
        {"an opening further on stays", "ERROR! a\nERROR! b", "a\nERROR! b"},
        {"an empty message", "ERROR! ", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        try {
            refuse(c.message);
            ADD_FAILURE() << "refuse returned";
        } catch (const brivane::Error &error) {
            EXPECT_EQ(c.expected, error.what());
            EXPECT_EQ(1, error.status());
            EXPECT_EQ(c.message + "\n", error_lines(error));
        }
    }
}

TEST(Refuse, LinesArePrintedAsTheMessageWasGiven)
{
    EXPECT_RUN_ERROR(refuse("ERROR! Operands not allowed!\nstray\nwords"), 1,
                     "^ERROR! Operands not allowed!\nstray\nwords\n$");
}

} // namespace
