// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/channel_minutes.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace session {

namespace {

// Floor division: a time before 1970 still falls in its own minute.
int64_t MinuteOf(int64_t wallMs) {
    return wallMs >= 0 ? wallMs / 60000 : -((-wallMs + 59999) / 60000);
}

} // namespace

std::string MinuteStamp(int64_t wallMs) {
    const std::time_t t = static_cast<std::time_t>(MinuteOf(wallMs) * 60);
    std::tm f{};
    gmtime_r(&t, &f);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:00Z", f.tm_year + 1900, f.tm_mon + 1,
                  f.tm_mday, f.tm_hour, f.tm_min);
    return text;
}

std::optional<analysis::ChannelRow> ChannelMinutes::Row(analysis::MeasurementStage& stage) {
    if (stage.MinuteBlocks() == 0) return std::nullopt;
    analysis::ChannelRow row = stage.FinishMinute();
    row.Utc = MinuteStamp(MinuteMs());
    row.StartS = startS_;
    return row;
}

std::optional<analysis::ChannelRow> ChannelMinutes::Before(analysis::MeasurementStage& stage,
                                                           int64_t wallMs, double inputS) {
    const int64_t minute = MinuteOf(wallMs);
    if (minute == minute_) return std::nullopt;
    // A clock set back starts a new row as well: each row is one run of blocks.
    std::optional<analysis::ChannelRow> row = Row(stage);
    minute_ = minute;
    startS_ = std::max(inputS, 0.0); // the first block takes one sample less
    return row;
}

std::optional<analysis::ChannelRow> ChannelMinutes::Finish(analysis::MeasurementStage& stage) {
    std::optional<analysis::ChannelRow> row = Row(stage);
    minute_ = NoMinute;
    return row;
}

} // namespace session
