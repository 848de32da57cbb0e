// SPDX-License-Identifier: GPL-3.0-or-later
// Files that cannot be written: told once per cause, again every hour while
// nothing is saved, and their recovery once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "receiver/session/events.h"

namespace {

std::vector<std::string> Told(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

TEST(ProblemReporter, TellsACauseOnceRemindsHourlyWhileItLastsAndTellsTheRecoveryOnce) {
    session::ProblemReporter problems;
    constexpr int64_t minute = 60 * 1000;
    ::testing::internal::CaptureStderr();
    for (int64_t t = 0; t <= 150 * minute; t += minute) {
        // A row fails every block for two and a half hours, for one cause.
        problems.Failed("the block log", "logs/propmon-2026-12-09.csv", "No space left on device");
        problems.Remind(t);
    }
    problems.Succeeded("the block log");
    for (int64_t t = 151 * minute; t <= 400 * minute; t += minute) {
        problems.Succeeded("the block log");
        problems.Remind(t);
    }
    const std::vector<std::string> lines = Told(::testing::internal::GetCapturedStderr());
    const std::string failed =
        "propmon: cannot write logs/propmon-2026-12-09.csv: No space left on device";
    EXPECT_EQ(lines, (std::vector<std::string>{
                         failed,
                         "propmon: still not saved: cannot write logs/propmon-2026-12-09.csv: "
                         "No space left on device",
                         "propmon: still not saved: cannot write logs/propmon-2026-12-09.csv: "
                         "No space left on device",
                         "propmon: the block log written again",
                     }));
    EXPECT_TRUE(problems.Outstanding("the block log").isEmpty());
}

} // namespace
