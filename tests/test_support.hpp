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

#ifdef QT_CORE_LIB
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <functional>

namespace korvex::testing {

// Runs the Qt event loop until `done` holds; false once `limit` has passed, which only turns a
// hang into a failure. Needs a QCoreApplication.
inline bool runEventsUntil(const std::function<bool()>& done,
                           std::chrono::seconds limit = std::chrono::seconds(120)) {
    QTimer wake;  // `done` may change without an event of its own
    wake.start(20);
    for (const auto end = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace korvex::testing
#endif
