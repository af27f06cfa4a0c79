// The fixtures (tests/fixtures.hpp) and what only a GoogleTest program needs besides.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/fixtures.hpp"

// Skips the current test visibly when not root; under CI (CI set) a missing root fails instead.
#define KVI_REQUIRE_ROOT()                                                               \
    do {                                                                                 \
        if (!::korvex::testing::isRoot()) {                                              \
            if (std::getenv("CI") != nullptr) FAIL() << "CI must run this test as root"; \
            GTEST_SKIP() << "needs root";                                                \
        }                                                                                \
    } while (0)
