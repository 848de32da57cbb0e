// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/report_throttle.h"

#include <chrono>
#include <cmath>
#include <utility>

namespace io {

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ReportThrottle::ReportThrottle(Tell tell, int64_t intervalNs, Clock clock)
    : tell_(std::move(tell)), intervalNs_(intervalNs), clock_(std::move(clock)) {}

void ReportThrottle::Note(const std::string& cause, const std::string& line, int64_t amount,
                          Sum sum) {
    Poll();
    const auto found = causes_.find(cause);
    if (found == causes_.end()) {
        if (tell_) tell_(line);
        causes_.emplace(cause, Cause{0, 0, clock_(), std::move(sum)});
        return;
    }
    ++found->second.Count;
    found->second.Amount += amount;
}

void ReportThrottle::TellSum(Cause& cause, int64_t nowNs) {
    const auto minutes = std::llround(double(nowNs - cause.SinceNs) / 60e9);
    if (tell_ && cause.Summary)
        tell_(cause.Summary(cause.Count, cause.Amount) + " in the last " + std::to_string(minutes) +
              " min");
}

void ReportThrottle::Poll() {
    const int64_t now = clock_();
    for (auto it = causes_.begin(); it != causes_.end();) {
        Cause& cause = it->second;
        if (now - cause.SinceNs < intervalNs_) {
            ++it;
            continue;
        }
        if (cause.Count == 0) {
            it = causes_.erase(it); // a quiet interval: the next one is told at once
            continue;
        }
        TellSum(cause, now);
        cause.Count = 0;
        cause.Amount = 0;
        cause.SinceNs = now;
        ++it;
    }
}

void ReportThrottle::Flush() {
    const int64_t now = clock_();
    for (auto& [name, cause] : causes_)
        if (cause.Count > 0) TellSum(cause, now);
    causes_.clear();
}

} // namespace io
