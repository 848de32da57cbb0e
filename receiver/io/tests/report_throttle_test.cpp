// SPDX-License-Identifier: GPL-3.0-or-later
// Repeating messages against a clock the test moves: the first of a cause at
// once, the rest as one sum per 10 minutes, quiet again after an empty interval.
#include "receiver/io/report_throttle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace io {
namespace {

constexpr int64_t Minute = 60'000'000'000;

TEST(ReportThrottle, FirstAtOnceThenOneSumEveryTenMinutesPerCause) {
    int64_t now = 0;
    std::vector<std::string> lines;
    ReportThrottle throttle([&](const std::string& line) { lines.push_back(line); },
                            ReportIntervalNs, [&] { return now; });
    const auto losses = [](int64_t count, int64_t ms) {
        return "udp 127.0.0.1:7355: " + std::to_string(count) + " losses, " + std::to_string(ms) +
               " ms filled";
    };
    const auto late = [](int64_t count, int64_t) {
        return "udp 127.0.0.1:7355: " + std::to_string(count) + " late";
    };
    // A loss every 5 s for 25 minutes; one late datagram at 3 min.
    for (now = 0; now < 25 * Minute; now += Minute / 12) {
        throttle.Note("loss", "first loss", 21, losses);
        if (now == 3 * Minute) throttle.Note("late", "first late", 1, late);
        throttle.Poll();
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "first loss", "first late",
                         "udp 127.0.0.1:7355: 119 losses, 2499 ms filled in the last 10 min",
                         "udp 127.0.0.1:7355: 120 losses, 2520 ms filled in the last 10 min"}));
    // Quiet for longer than an interval: the rest is summed, then the next
    // loss is told at once again.
    lines.clear();
    now += 11 * Minute;
    throttle.Poll();
    now += 10 * Minute;
    throttle.Poll();
    throttle.Note("loss", "a loss again", 21, losses);
    throttle.Note("loss", "not told", 21, losses);
    throttle.Flush();
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "udp 127.0.0.1:7355: 60 losses, 1260 ms filled in the last 16 min",
                  "a loss again", "udp 127.0.0.1:7355: 1 losses, 21 ms filled in the last 0 min"}));
}

} // namespace
} // namespace io
