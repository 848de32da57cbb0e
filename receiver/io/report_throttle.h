// SPDX-License-Identifier: GPL-3.0-or-later
// Messages that repeat (a stream's losses, late and bad datagrams, restarts):
// the first of a cause is told at once; the later ones are counted and told as
// one line per interval ("udp 127.0.0.1:7355: 41 losses, 874 ms filled in the
// last 10 min"). An interval without any makes the cause quiet again, so the
// next one is told at once. Each cause has its own count.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace io {

inline constexpr int64_t ReportIntervalNs = 600'000'000'000; // 10 min

// Nanoseconds of the monotonic clock.
int64_t SteadyNs();

class ReportThrottle {
  public:
    using Tell = std::function<void(const std::string&)>;
    using Clock = std::function<int64_t()>;
    // The sum of an interval from its count and summed amount, without the
    // interval ("udp 127.0.0.1:7355: 41 losses, 874 ms filled").
    using Sum = std::function<std::string(int64_t count, int64_t amount)>;

    explicit ReportThrottle(Tell tell, int64_t intervalNs = ReportIntervalNs,
                            Clock clock = SteadyNs);

    // One occurrence of `cause`: `line` is told now when the cause is quiet,
    // else the occurrence (and `amount`) is counted towards `sum`.
    void Note(const std::string& cause, const std::string& line, int64_t amount, Sum sum);
    // Tells the sums of the intervals that are over; call it now and then.
    void Poll();
    // Tells what is counted now (the input closes) and makes every cause quiet.
    void Flush();

  private:
    struct Cause {
        int64_t Count = 0;
        int64_t Amount = 0;
        int64_t SinceNs = 0; // the interval's start
        Sum Summary;
    };
    void TellSum(Cause& cause, int64_t nowNs);

    Tell tell_;
    int64_t intervalNs_;
    Clock clock_;
    std::map<std::string, Cause> causes_; // those not quiet
};

} // namespace io
