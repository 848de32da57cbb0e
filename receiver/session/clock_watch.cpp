// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/clock_watch.h"

#include <QDateTime>

#include <cstdlib>
#include <ctime>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <unistd.h>

#include "receiver/analysis/measurement.h"
#include "receiver/session/events.h"

namespace session {

namespace {

// Asked of the kernel at most this often (a system call per block is cheap,
// but there is no need).
constexpr int64_t SyncCheckIntervalMs = 1000;

int64_t BootMs() {
    // The system call itself: a library interposed to fake the time (as for
    // tests of clock steps) changes what the C library's clock_gettime says.
    timespec now{};
    ::syscall(SYS_clock_gettime, CLOCK_BOOTTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool KernelSaysSynchronised() {
    timex state{};
    const int result = ::adjtimex(&state);
    return result != -1 && result != TIME_ERROR && !(state.status & STA_UNSYNC);
}

} // namespace

QString StepText(int64_t ms) {
    const char sign = ms < 0 ? '-' : '+';
    // Rounded to the tenth shown first: 3599.96 s is 1 h 00 min 00.0 s, not 59 min 60.0 s.
    const int64_t size = (std::llabs(ms) + 50) / 100 * 100;
    const double seconds = (size % 60000) / 1000.0;
    const int64_t minutes = size / 60000 % 60;
    const int64_t hours = size / 3600000;
    if (hours > 0)
        return QStringLiteral("%1%2 h %3 min %4 s")
            .arg(sign)
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(seconds, 4, 'f', 1, QLatin1Char('0'));
    if (minutes > 0)
        return QStringLiteral("%1%2 min %3 s")
            .arg(sign)
            .arg(minutes)
            .arg(seconds, 4, 'f', 1, QLatin1Char('0'));
    return QStringLiteral("%1%2 s").arg(sign).arg(seconds, 0, 'f', 1);
}

ClockWatch::Clocks ClockWatch::SystemClocks() {
    return {[] { return QDateTime::currentMSecsSinceEpoch(); }, BootMs, KernelSaysSynchronised};
}

ClockWatch::ClockWatch(Clocks clocks, Sink tell, int64_t stepMs)
    : clocks_(std::move(clocks)), tell_(tell ? std::move(tell) : Sink(ReportEvent)),
      stepMs_(stepMs) {}

bool ClockWatch::Synchronised() const {
    if (!syncKnown_) {
        synchronised_ = clocks_.Synchronised();
        syncKnown_ = true;
    }
    return synchronised_;
}

uint32_t ClockWatch::Check() {
    const int64_t steady = clocks_.SteadyMs();
    const int64_t offset = clocks_.WallMs() - steady;
    uint32_t flags = 0;
    if (started_ && std::llabs(offset - offsetMs_) > stepMs_) {
        lastStepMs_ = offset - offsetMs_;
        ++steps_;
        flags |= analysis::FlagClockStep;
        tell_(QStringLiteral("the system clock stepped %1 (%2 to %3 UTC); rows keep its "
                             "times, the first after the step is flagged clock-step")
                  .arg(StepText(lastStepMs_),
                       QDateTime::fromMSecsSinceEpoch(offsetMs_ + steady, Qt::UTC)
                           .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                       QDateTime::fromMSecsSinceEpoch(offset + steady, Qt::UTC)
                           .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    }
    // Slow corrections (a clock slewed by NTP) follow along unnoticed.
    offsetMs_ = offset;
    if (!started_ || steady - lastSyncCheckMs_ >= SyncCheckIntervalMs) {
        const bool was = started_ ? synchronised_ : true;
        synchronised_ = clocks_.Synchronised();
        syncKnown_ = true;
        lastSyncCheckMs_ = steady;
        if (started_ && was != synchronised_)
            tell_(synchronised_ ? QStringLiteral("the system clock is synchronised again")
                                : QStringLiteral("the system clock is not synchronised: rows are "
                                                 "flagged clock-unsynced until it is"));
    }
    started_ = true;
    if (!synchronised_) flags |= analysis::FlagClockUnsynced;
    return flags;
}

} // namespace session
