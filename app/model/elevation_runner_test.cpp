#include "app/model/elevation_runner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace korvex {
namespace {

// Catches the runner sharing our session, its reason lost behind blank lines, escapes passed on.
TEST(ElevationRunner, StartsInASessionOfItsOwnAndReportsItsLastErrorLineAsPlainText) {
    const std::string longLine(600, 'x');
    const std::pair<std::string, std::string> cases[] = {
        // A session of its own keeps the terminal's signals from the writer; the launcher's other
        // guarantees are the launcher's tests'.
        {"read -r pid comm state parent group session rest < /proc/$$/stat;"
         "echo session:$((session == $$)) >&2",
         "session:1"},
        {"printf 'first\\nsudo: a password is required\\n\\n  \\n' >&2",
         "sudo: a password is required"},
        {"printf 'red \\033[31mtext\\r' >&2; echo out", "red  [31mtext"},
        {"printf '\\303\\050 bad' >&2", "\xEF\xBF\xBD( bad"},
        {"printf '%s' " + longLine + " >&2", longLine.substr(0, ElevationRunner::kLineLimit)},
        {"echo only-standard-output", ""},
    };
    for (const auto& [script, line] : cases) {
        ElevationRunner runner({"/bin/sh", "-c", script});
        EXPECT_EQ(runner.wait(), 0) << script;
        EXPECT_EQ(runner.lastErrorLine(), line) << script;
    }
}

}  // namespace
}  // namespace korvex
