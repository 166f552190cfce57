// Death-test matchers for the tool's messages, which go to standard output.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

// Runs `statement` in a death test with standard output joined to standard error, and
// expects it to end the process with `status` after printing text matching `pattern`.
#define EXPECT_EXIT_SAYING(statement, status, pattern)                                             \
    EXPECT_EXIT(                                                                                   \
        {                                                                                          \
            dup2(STDERR_FILENO, STDOUT_FILENO);                                                    \
            statement;                                                                             \
            std::exit(250);                                                                        \
        },                                                                                         \
        testing::ExitedWithCode(status), pattern)
