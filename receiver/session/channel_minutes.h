// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement stage's blocks cut into minutes of the clock, one row of the
// channel table each (analysis/channel_table.h): a block belongs to the UTC
// minute of its last sample; the row's utc is the start of that minute and
// its start_s the input seconds at the first sample of the minute's first
// block.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "receiver/analysis/channel_table.h"
#include "receiver/analysis/measurement.h"

namespace session {

// "2026-12-09T10:01:00Z": the UTC minute that holds `wallMs`.
std::string MinuteStamp(int64_t wallMs);

class ChannelMinutes {
  public:
    // Before `stage` takes the block that ends at `wallMs` (ms since the
    // epoch) and starts `inputS` seconds into the input: the row of the
    // minute before, when this block is the first of a new minute.
    std::optional<analysis::ChannelRow> Before(analysis::MeasurementStage& stage, int64_t wallMs,
                                               double inputS);
    // At the end of the input: the row of the minute under way, if it has
    // any block.
    std::optional<analysis::ChannelRow> Finish(analysis::MeasurementStage& stage);
    // The start of the minute under way, ms since the epoch (0 before any).
    int64_t MinuteMs() const { return minute_ == NoMinute ? 0 : minute_ * 60000; }

  private:
    std::optional<analysis::ChannelRow> Row(analysis::MeasurementStage& stage);

    static constexpr int64_t NoMinute = std::numeric_limits<int64_t>::min();
    int64_t minute_ = NoMinute;
    double startS_ = 0.0;
};

} // namespace session
